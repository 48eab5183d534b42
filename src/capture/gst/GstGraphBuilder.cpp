#include "GstGraphBuilder.h"

#include "GstFilters.h"
#include "GstGraph.h"
#include "GstUniqueFd.h"

#include <fcntl.h>

#include <algorithm>
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
        if (gstFilter->Offers(iid)) {
            found = gstFilter;
            return S_OK;
        }
        // FIXME: only the filter and its own pins are searched, not the filters up- or
        // downstream of it.
        const std::optional<TMediaKind> kind = KindOfMajorType(type);
        for (const std::shared_ptr<TGstPin>& pin : gstFilter->Pins())
            if (kind && CategoryMatches(*gstFilter, *pin, category) &&
                KindMatches(pin->Kind(), *kind) && pin->Offers(iid)) {
                found = pin;
                return S_OK;
            }
        return E_NOINTERFACE;
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

    // The file keeps its size: the space is reserved for the capture that overwrites it.
    HRESULT AllocCapFile(const std::string& fileName, std::uint64_t bytes) override {
        const TUniqueFd file(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (file.Get() < 0)
            return E_FAIL;
        if (bytes == 0)
            return S_OK;
        return ::posix_fallocate(file.Get(), 0, static_cast<off_t>(bytes)) == 0 ? S_OK : E_FAIL;
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

    bool LinkInto(const std::shared_ptr<TGstPin>& output, const std::shared_ptr<TGstFilter>& to,
                  TMediaKind kind, TRenderUndo& undo) const {
        if (!to || !Graph->Holds(to) || FAILED(to->CanConnect()))
            return false;
        const std::shared_ptr<TGstPin> input = to->InputFor(KindOf(*output, kind), output->Pad());
        if (!input)
            return false;
        if (gst_pad_link(output->Pad(), input->Pad()) != GST_PAD_LINK_OK) {
            to->ReleaseInput(input);
            return false;
        }
        undo.Linked(output, input);
        return true;
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
