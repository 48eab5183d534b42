#include "GstGraphBuilder.h"

#include "GstFilters.h"
#include "GstGraph.h"
#include "GstUniqueFd.h"

#include <fcntl.h>

#include <cerrno>

#include <algorithm>
#include <set>
#include <utility>

namespace {

// A category narrows the choice only on filters that label their pins (capture devices, the
// smart tee); on the others, such as the infinite tee, every pin serves every category.
bool CategoryMatches(const TGstFilter& filter, const TGstPin& pin, TPinCategory wanted) {
    if (wanted == TPinCategory::None || pin.Category() == wanted)
        return true;
    const auto labelled = [](const std::shared_ptr<TGstPin>& any) {
        return any->Category() != TPinCategory::None;
    };
    return pin.Category() == TPinCategory::None &&
           std::none_of(filter.Pins().begin(), filter.Pins().end(), labelled);
}

// What one RenderStream call changed, so that a failure can put everything back.
class TRenderUndo {
  public:
    explicit TRenderUndo(TGstGraph& graph) : Graph(graph) {}
    ~TRenderUndo() {
        if (!Done)
            Rollback();
    }
    TRenderUndo(const TRenderUndo&) = delete;
    TRenderUndo& operator=(const TRenderUndo&) = delete;

    void Linked(std::shared_ptr<TGstPin> output, std::shared_ptr<TGstPin> input) {
        Links.emplace_back(std::move(output), std::move(input));
    }
    void Added(std::shared_ptr<TGstFilter> filter) { Filters.push_back(std::move(filter)); }
    void Commit() { Done = true; }

  private:
    void Rollback() {
        for (auto link = Links.rbegin(); link != Links.rend(); ++link) {
            gst_pad_unlink(link->first->Pad(), link->second->Pad());
            if (const auto filter = link->second->Filter())
                filter->ReleaseInput(link->second);
        }
        for (auto filter = Filters.rbegin(); filter != Filters.rend(); ++filter)
            Graph.RemoveFilter(*filter);
    }

    TGstGraph& Graph;
    std::vector<std::pair<std::shared_ptr<TGstPin>, std::shared_ptr<TGstPin>>> Links;
    std::vector<std::shared_ptr<TGstFilter>> Filters;
    bool Done = false;
};

class TGstGraphBuilder : public ICaptureGraphBuilder2 {
  public:
    bool Offers(TIID iid) const override { return iid == TIID::ICaptureGraphBuilder2; }

    HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) override {
        const auto gstGraph = std::dynamic_pointer_cast<TGstGraph>(graph);
        if (!gstGraph)
            return E_POINTER;
        Graph = gstGraph;
        return S_OK;
    }

    HRESULT FindInterface(TPinCategory category, const TGuid* type,
                          const std::shared_ptr<IBaseFilter>& filter, TIID iid,
                          std::shared_ptr<IUnknown>& found) override {
        found.reset();
        const auto gstFilter = AsGstFilter(filter);
        if (!gstFilter)
            return E_POINTER;
        const std::optional<TMediaKind> kind = KindOfMajorType(type);
        if (!kind)
            return E_NOINTERFACE;
        found = FindFrom(*gstFilter, category, *kind, iid);
        return found ? S_OK : E_NOINTERFACE;
    }

    HRESULT RenderStream(TPinCategory category, const TGuid* type,
                         const std::shared_ptr<IBaseFilter>& source,
                         const std::shared_ptr<IBaseFilter>& intermediate,
                         const std::shared_ptr<IBaseFilter>& sink) override {
        const auto from = AsGstFilter(source);
        if (!from)
            return E_POINTER;
        const std::optional<TMediaKind> kind = KindOfMajorType(type);
        if (!Graph || !kind || !Graph->Holds(from))
            return VFW_E_CANNOT_CONNECT;
        TRenderUndo undo(*Graph);
        std::shared_ptr<TGstPin> output = SourcePin(*from, category, *kind);
        if (output && intermediate)
            output = LinkThrough(output, AsGstFilter(intermediate), *kind, undo);
        if (!output)
            return VFW_E_CANNOT_CONNECT;
        const std::shared_ptr<TGstFilter> to =
            sink ? AsGstFilter(sink) : AddRenderer(KindOf(*output, *kind), undo);
        if (!LinkInto(output, to, *kind, undo))
            return VFW_E_CANNOT_CONNECT;
        undo.Commit();
        return S_OK;
    }

    HRESULT SetOutputFileName(const TGuid& subtype, const std::string& fileName,
                              std::shared_ptr<IBaseFilter>& mux,
                              std::shared_ptr<IFileSinkFilter>& sink) override {
        mux.reset();
        sink.reset();
        if (subtype != MEDIASUBTYPE_Avi || fileName.empty())
            return E_INVALIDARG;
        if (!Graph)
            return E_FAIL;
        const std::shared_ptr<TGstFilter> muxFilter = CreateAviMux();
        const std::shared_ptr<TGstFilter> writer = CreateFileWriter(fileName);
        if (!muxFilter || !writer)
            return REGDB_E_CLASSNOTREG;
        TRenderUndo undo(*Graph);
        if (FAILED(Add(muxFilter, "AVI Mux", undo)) || FAILED(Add(writer, "File writer", undo)))
            return E_FAIL;
        const std::shared_ptr<TGstPin> muxOutput = muxFilter->Pins().front();
        if (!LinkInto(muxOutput, writer, TMediaKind::Any, undo))
            return E_FAIL;
        undo.Commit();
        mux = muxFilter;
        sink = QueryInterface<IFileSinkFilter>(writer);
        return S_OK;
    }

    // The space is reserved without being written; a file system that cannot reserve space
    // gets none reserved rather than megabytes of zeros. The file writer writes into it.
    HRESULT AllocCapFile(const std::string& fileName, std::uint64_t bytes) override {
        const TUniqueFd file(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (file.Get() < 0)
            return E_FAIL;
        if (bytes == 0 || ::fallocate(file.Get(), 0, 0, static_cast<off_t>(bytes)) == 0)
            return S_OK;
        return errno == EOPNOTSUPP ? S_OK : E_FAIL;
    }

    HRESULT FindPin(const std::shared_ptr<IBaseFilter>& filter, TPinDirection direction,
                    TPinCategory category, const TGuid* type, bool unconnected, int index,
                    std::shared_ptr<IPin>& pin) override {
        pin.reset();
        const auto gstFilter = AsGstFilter(filter);
        const std::optional<TMediaKind> kind = KindOfMajorType(type);
        if (!gstFilter)
            return E_POINTER;
        int seen = 0;
        for (const std::shared_ptr<TGstPin>& candidate : gstFilter->Pins())
            if (kind && candidate->Direction() == direction &&
                CategoryMatches(*gstFilter, *candidate, category) &&
                KindMatches(candidate->Kind(), *kind) &&
                !(unconnected && candidate->IsConnected()) && seen++ == index) {
                pin = candidate;
                return S_OK;
            }
        return E_FAIL;
    }

  private:
    using TVisited = std::set<const TGstFilter*>;

    // The filter, its pins of the category and type and what lies downstream of them, then
    // what lies upstream of the filter (where a tuner feeds a capture card). Without a category
    // every pin counts and the search goes both ways from each.
    static std::shared_ptr<IUnknown> FindFrom(const TGstFilter& filter, TPinCategory category,
                                              TMediaKind kind, TIID iid) {
        TVisited visited{&filter};
        if (filter.Offers(iid))
            return const_cast<TGstFilter&>(filter).shared_from_this();
        for (const std::shared_ptr<TGstPin>& pin : filter.Pins()) {
            if (!CategoryMatches(filter, *pin, category) || !KindMatches(pin->Kind(), kind))
                continue;
            if (pin->Offers(iid))
                return pin;
            if (pin->Direction() == TPinDirection::Output)
                if (auto found = SearchDownstream(*pin, iid, visited))
                    return found;
        }
        return SearchUpstream(filter, iid, visited);
    }

    // The filter itself or one of its pins.
    static std::shared_ptr<IUnknown> SearchFilter(const TGstFilter& filter, TIID iid) {
        if (filter.Offers(iid))
            return const_cast<TGstFilter&>(filter).shared_from_this();
        for (const std::shared_ptr<TGstPin>& pin : filter.Pins())
            if (pin->Offers(iid))
                return pin;
        return nullptr;
    }

    // The filter an output feeds, and on down.
    static std::shared_ptr<IUnknown> SearchDownstream(const TGstPin& output, TIID iid,
                                                      TVisited& visited) {
        const std::shared_ptr<TGstFilter> next = PeerFilter(output);
        if (!next || !visited.insert(next.get()).second)
            return nullptr;
        if (auto found = SearchFilter(*next, iid))
            return found;
        for (const std::shared_ptr<TGstPin>& pin : next->Pins())
            if (pin->Direction() == TPinDirection::Output)
                if (auto found = SearchDownstream(*pin, iid, visited))
                    return found;
        return nullptr;
    }

    // The filters that feed this one, and on up.
    static std::shared_ptr<IUnknown> SearchUpstream(const TGstFilter& filter, TIID iid,
                                                    TVisited& visited) {
        for (const std::shared_ptr<TGstPin>& pin : filter.Pins()) {
            if (pin->Direction() != TPinDirection::Input)
                continue;
            const std::shared_ptr<TGstFilter> previous = PeerFilter(*pin);
            if (!previous || !visited.insert(previous.get()).second)
                continue;
            if (auto found = SearchFilter(*previous, iid))
                return found;
            if (auto found = SearchUpstream(*previous, iid, visited))
                return found;
        }
        return nullptr;
    }

    static std::shared_ptr<TGstFilter> PeerFilter(const TGstPin& pin) {
        const TGstPadRef peer = TGstPadRef::Adopt(gst_pad_get_peer(pin.Pad()));
        const std::shared_ptr<TGstPin> connected = peer ? TGstPin::FromPad(peer.Get()) : nullptr;
        return connected ? connected->Filter() : nullptr;
    }

    // With a category: the output of that category; without one: the first free output.
    // Either way of the asked-for kind, and free to connect.
    static std::shared_ptr<TGstPin> SourcePin(const TGstFilter& filter, TPinCategory category,
                                              TMediaKind kind) {
        for (const std::shared_ptr<TGstPin>& pin : filter.Pins())
            if (pin->Direction() == TPinDirection::Output && !pin->IsConnected() &&
                CategoryMatches(filter, *pin, category) && KindMatches(pin->Kind(), kind))
                return pin;
        return nullptr;
    }

    static TMediaKind KindOf(const TGstPin& output, TMediaKind asked) {
        return asked == TMediaKind::Any ? output.Kind() : asked;
    }

    // Links the output into the filter. A compressed video stream meets a filter that takes
    // raw video only through a decoder put in between, as a capture graph builder does.
    bool LinkInto(const std::shared_ptr<TGstPin>& output, const std::shared_ptr<TGstFilter>& to,
                  TMediaKind kind, TRenderUndo& undo) const {
        if (!to || !Graph->Holds(to) || FAILED(to->CanConnect()))
            return false;
        const std::shared_ptr<TGstPin> input = to->InputFor(KindOf(*output, kind), output->Pad());
        if (!input)
            return false;
        if (const std::shared_ptr<TGstFilter> decoder = DecoderBetween(*output, *input)) {
            to->ReleaseInput(input);
            return SUCCEEDED(Add(decoder, "MJPEG Decompressor", undo)) &&
                   LinkInto(output, decoder, kind, undo) &&
                   LinkInto(decoder->Pins().back(), to, kind, undo);
        }
        if (gst_pad_link(output->Pad(), input->Pad()) != GST_PAD_LINK_OK) {
            to->ReleaseInput(input);
            return false;
        }
        undo.Linked(output, input);
        return true;
    }

    // A decoder for what the output offers when the input takes none of it; nullptr when the
    // two meet as they are, or when no decoder would help.
    static std::shared_ptr<TGstFilter> DecoderBetween(const TGstPin& output, const TGstPin& input) {
        const TGstCapsRef offered = TGstCapsRef::Adopt(gst_pad_query_caps(output.Pad(), nullptr));
        const TGstCapsRef accepted = TGstCapsRef::Adopt(gst_pad_query_caps(input.Pad(), nullptr));
        const TGstCapsRef raw = TGstCapsRef::Adopt(gst_caps_new_empty_simple("video/x-raw"));
        if (!offered || !accepted || gst_caps_can_intersect(offered.Get(), accepted.Get()) ||
            !gst_caps_can_intersect(accepted.Get(), raw.Get()))
            return nullptr;
        return CreateVideoDecompressor(offered.Get());
    }

    std::shared_ptr<TGstPin> LinkThrough(const std::shared_ptr<TGstPin>& output,
                                         const std::shared_ptr<TGstFilter>& through,
                                         TMediaKind kind, TRenderUndo& undo) const {
        if (!LinkInto(output, through, kind, undo))
            return nullptr;
        return SourcePin(*through, TPinCategory::None, TMediaKind::Any);
    }

    std::shared_ptr<TGstFilter> AddRenderer(TMediaKind kind, TRenderUndo& undo) const {
        std::shared_ptr<TGstFilter> renderer;
        if (kind == TMediaKind::Video)
            renderer = CreateVideoRenderer();
        else if (kind == TMediaKind::Audio)
            renderer = CreateAudioRenderer();
        const char* name = kind == TMediaKind::Video ? "Video Renderer" : "Audio Renderer";
        return renderer && SUCCEEDED(Add(renderer, name, undo)) ? renderer : nullptr;
    }

    HRESULT Add(const std::shared_ptr<TGstFilter>& filter, const char* name,
                TRenderUndo& undo) const {
        const HRESULT result = Graph->AddFilter(filter, name);
        if (SUCCEEDED(result))
            undo.Added(filter);
        return result;
    }

    std::shared_ptr<TGstGraph> Graph;
};

} // namespace

std::shared_ptr<ICaptureGraphBuilder2> CreateGstGraphBuilder() {
    return std::make_shared<TGstGraphBuilder>();
}
