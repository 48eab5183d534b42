#include "GstFilters.h"

#include "GstPropertyEditor.h"
#include "GstPropertyState.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace {

// The smart tee's capture output holds its branch with a valve.
class TValvePin : public TGstPin, public IAMStreamControl {
  public:
    TValvePin(const std::shared_ptr<TGstFilter>& filter, TGstPadRef ghost, TShape shape,
              GstElement* valve)
        : TGstPin(filter, std::move(ghost), shape), Valve(TGstElementRef::Retain(valve)) {}

    bool Offers(TIID iid) const override { return iid == TIID::IAMStreamControl; }
    HRESULT StartAt() override { return SetDrop(false); }
    HRESULT StopAt(bool) override { return SetDrop(true); }

  private:
    HRESULT SetDrop(bool drop) {
        g_object_set(Valve.Get(), "drop", drop ? TRUE : FALSE, nullptr);
        return S_OK;
    }
    TGstElementRef Valve;
};

class TSmartTee : public TGstFilter {
  public:
    bool Build() {
        GstElement* tee = AddElement("tee", "tee");
        GstElement* valve = AddElement("valve", "capture-valve");
        GstElement* captureQueue = AddElement("queue", "capture-queue");
        // The valve sits in front of its queue, so frames it drops never wake another thread.
        if (!tee || !LinkElements(tee, valve) || !LinkElements(valve, captureQueue))
            return false;
        // The preview runs on the source's own thread: handing each frame to another thread
        // cost more than the preview's own work. A preview slower than the camera makes the
        // device drop frames, which the capture branch would miss too; this program only
        // ever holds that branch stopped, and the renderer never waits for the window.
        const TGstPadRef previewPad =
            TGstPadRef::Adopt(gst_element_request_pad_simple(tee, "src_%u"));
        if (!previewPad)
            return false;
        const auto input =
            AddPin(StaticPad(tee, "sink").Get(), "Input", TGstPin::In(TMediaKind::Video));
        const auto capture =
            AddPin<TValvePin>(StaticPad(captureQueue, "src").Get(), "Capture",
                              TGstPin::Out(TMediaKind::Video, TPinCategory::Capture), valve);
        const auto preview = AddPin(previewPad.Get(), "Preview",
                                    TGstPin::Out(TMediaKind::Video, TPinCategory::Preview));
        return input && capture && preview;
    }
};

class TInfTee : public TGstFilter {
  public:
    bool Build() {
        GstElement* tee = AddElement("tee", "tee");
        if (!tee || !AddPin(StaticPad(tee, "sink").Get(), "Input", TGstPin::In(TMediaKind::Audio)))
            return false;
        for (const char* name : {"Output1", "Output2"}) {
            GstElement* queue = AddElement("queue");
            if (!LinkElements(tee, queue))
                return false;
            if (!AddPin(StaticPad(queue, "src").Get(), name, TGstPin::Out(TMediaKind::Audio)))
                return false;
        }
        return true;
    }
};

// Owns a GstVideoConverter.
struct TConverterFree {
    void operator()(GstVideoConverter* converter) const { gst_video_converter_free(converter); }
};
using TConverterPtr = std::unique_ptr<GstVideoConverter, TConverterFree>;

// Formats that a grabber asking for the device's own format hands out as they come: bitmaps
// with these layouts exist. Anything else (YUV, grey) becomes 24-bit.
bool IsBitmapFormat(GstVideoFormat format) {
    switch (format) {
    case GST_VIDEO_FORMAT_BGR:
    case GST_VIDEO_FORMAT_BGRx:
    case GST_VIDEO_FORMAT_BGRA:
    case GST_VIDEO_FORMAT_RGB16:
    case GST_VIDEO_FORMAT_RGB15:
        return true;
    default:
        return false;
    }
}

// The grabber's live branch: a tee output that lets a frame through only while someone
// watches and at most LiveMaxRate times a second, then on its own thread scales it to at most
// LiveMaxWidth wide, encodes it once and hands the JPEG to the sink. Frames it lets through
// are dropped rather than queued when the encoder falls behind, so the camera's thread (the
// preview, the motion detector's grabs) never waits for it.
class TLiveBranch {
  public:
    static constexpr std::array<const char*, 6> Factories{
        "queue", "videoscale", "capsfilter", "videoconvert", "jpegenc", "appsink"};
    using TChain = std::array<GstElement*, Factories.size()>;

    // `chain` holds elements of Factories, already in the grabber's bin.
    static std::unique_ptr<TLiveBranch> Build(GstElement* tee, const TChain& chain) {
        const auto [queue, scale, size, convert, encoder, sink] = chain;
        for (std::size_t i = 0; i + 1 < chain.size(); ++i)
            if (!LinkElements(chain[i], chain[i + 1]))
                return nullptr;
        const TGstPadRef branch = TGstPadRef::Adopt(gst_element_request_pad_simple(tee, "src_%u"));
        const TGstPadRef queueInput = StaticPad(queue, "sink");
        if (!branch || gst_pad_link(branch.Get(), queueInput.Get()) != GST_PAD_LINK_OK)
            return nullptr;
        g_object_set(queue, "max-size-buffers", 1u, "max-size-bytes", 0u, "max-size-time",
                     guint64{0}, nullptr);
        gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
        // Wider frames are scaled to the limit, keeping their shape; others pass untouched.
        // Square pixels, as a JPEG has no other kind: the scaler then keeps the shape by
        // changing the height too, rather than by making the pixels wide.
        const TGstCapsRef limit = TGstCapsRef::Adopt(gst_caps_new_simple(
            "video/x-raw", "width", GST_TYPE_INT_RANGE, 1, ILiveTap::LiveMaxWidth,
            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
        g_object_set(size, "caps", limit.Get(), nullptr);
        g_object_set(encoder, "quality", ILiveTap::LiveQuality, nullptr);
        // Nobody may be watching when the graph starts: the sink must not hold the start for a
        // first frame, nor wait on the clock for any.
        g_object_set(sink, "sync", FALSE, "async", FALSE, "max-buffers", 1u, "drop", TRUE,
                     "emit-signals", FALSE, "enable-last-sample", FALSE, nullptr);

        auto live = std::make_unique<TLiveBranch>();
        live->Sink = TGstElementRef::Retain(sink);
        live->Gate = branch;
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = OnEncoded;
        // The branch object outlives the sink's streaming: the grabber detaches it first.
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, live.get(), nullptr);
        live->GateProbe = gst_pad_add_probe(branch.Get(), GST_PAD_PROBE_TYPE_BUFFER, LetThrough,
                                            live.get(), nullptr);
        return live;
    }

    void SetSink(std::shared_ptr<ILivePictureSink> sink) {
        const std::lock_guard lock(SinkLock);
        Target = std::move(sink);
    }

    void Detach() {
        GstAppSinkCallbacks none{};
        gst_app_sink_set_callbacks(GST_APP_SINK(Sink.Get()), &none, nullptr, nullptr);
        gst_pad_remove_probe(Gate.Get(), GateProbe);
        SetSink(nullptr);
    }

  private:
    static constexpr GstClockTime Interval = GST_SECOND / ILiveTap::LiveMaxRate;
    // A frame a little early still counts as due, so that a camera's jitter does not skip it.
    static constexpr GstClockTime Slack = 5 * GST_MSECOND;

    std::shared_ptr<ILivePictureSink> CurrentSink() const {
        const std::lock_guard lock(SinkLock);
        return Target;
    }

    // The camera's thread: a frame goes on only when someone watches and it is due.
    static GstPadProbeReturn LetThrough(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto* const self = static_cast<TLiveBranch*>(data);
        const std::shared_ptr<ILivePictureSink> sink = self->CurrentSink();
        if (!sink || !sink->Watched())
            return GST_PAD_PROBE_DROP;
        return self->Due(GST_BUFFER_PTS(gst_pad_probe_info_get_buffer(info))) ? GST_PAD_PROBE_OK
                                                                              : GST_PAD_PROBE_DROP;
    }

    // Frames are due one interval apart by their times: a 30-frame camera gives every third, a
    // 15-frame one alternately the next and the one after. Times that jump (a pause, or a new
    // run of the graph, whose times start again from 0) start the count again.
    bool Due(GstClockTime pts) {
        if (!GST_CLOCK_TIME_IS_VALID(pts))
            return true;
        const bool restart = !GST_CLOCK_TIME_IS_VALID(NextDue) || pts + Interval < NextDue ||
                             pts > NextDue + Interval;
        if (!restart && pts + Slack < NextDue)
            return false;
        NextDue = (restart ? pts : NextDue) + Interval;
        return true;
    }

    // The branch's own thread.
    static GstFlowReturn OnEncoded(GstAppSink* sink, gpointer data) {
        const TGstHandle<GstSample> sample =
            TGstHandle<GstSample>::Adopt(gst_app_sink_pull_sample(sink));
        if (!sample)
            return GST_FLOW_EOS;
        static_cast<TLiveBranch*>(data)->Hand(sample.Get());
        return GST_FLOW_OK;
    }

    void Hand(GstSample* sample) {
        const std::shared_ptr<ILivePictureSink> sink = CurrentSink();
        GstBuffer* const buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (!sink || !buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ))
            return;
        TLiveJpeg jpeg =
            std::make_shared<const std::vector<std::uint8_t>>(map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
        sink->Deliver(std::move(jpeg));
    }

    TGstElementRef Sink;
    TGstPadRef Gate; // the tee's output into the branch
    gulong GateProbe = 0;
    mutable std::mutex SinkLock;
    std::shared_ptr<ILivePictureSink> Target;
    GstClockTime NextDue = GST_CLOCK_TIME_NONE; // the camera's thread only
};

// The frame grabber: passes raw video through untouched and hands frames to the callback on
// the streaming thread, converted to the asked-for format only when the callback wants the
// frame, so that a stream costs nothing here between two requests.
class TSampleGrabber : public TGstFilter, public ISampleGrabber, public ILiveTap {
  public:
    ~TSampleGrabber() override {
        if (Input)
            gst_pad_set_chain_function(Input.Get(), gst_proxy_pad_chain_default);
        if (Live)
            Live->Detach();
    }

    bool Offers(TIID iid) const override {
        return iid == TIID::ISampleGrabber || (iid == TIID::ILiveTap && Live) ||
               TGstFilter::Offers(iid);
    }

    bool Build() {
        // Raw video only: a compressed stream gets a decoder in front when it is connected.
        GstElement* raw = AddElement("capsfilter", "raw");
        GstElement* tee = AddElement("tee", "tee");
        if (!raw || !tee || !LinkElements(raw, tee))
            return false;
        const TGstCapsRef rawCaps = TGstCapsRef::Adopt(gst_caps_new_empty_simple("video/x-raw"));
        g_object_set(raw, "caps", rawCaps.Get(), nullptr);
        RawOutput = StaticPad(raw, "src");
        const TGstPadRef output = TGstPadRef::Adopt(gst_element_request_pad_simple(tee, "src_%u"));
        const auto input =
            AddPin(StaticPad(raw, "sink").Get(), "Input", TGstPin::In(TMediaKind::Video));
        if (!output || !input || !AddPin(output.Get(), "Output", TGstPin::Out(TMediaKind::Video)))
            return false;
        // The callback hears of each frame once the filters behind the grabber are done with
        // it: the preview has then already handed its frame to the window, and the window
        // wakes once for both. Frames are seen here whether or not anything is connected.
        Input = TGstPadRef::Retain(input->Pad());
        gst_pad_set_element_private(Input.Get(), this);
        gst_pad_set_chain_function(Input.Get(), PassOnThenDeliver);
        BuildLiveBranch(tee);
        return true;
    }

    // Formats without a GStreamer equivalent (RGB1, RGB4) cannot be delivered at all.
    HRESULT CanConnect() const override { return NoRawFormat ? VFW_E_CANNOT_CONNECT : S_OK; }

    // No subtype asks for the device's format, which then only becomes 24-bit when it is not
    // already a bitmap layout.
    HRESULT SetMediaType(const TAMMediaType& type) override {
        GstVideoFormat wanted = GST_VIDEO_FORMAT_UNKNOWN;
        if (!type.subtype.IsNull()) {
            const TGstCapsRef caps = CapsForSubtype(type.subtype);
            const GstStructure* structure = caps ? gst_caps_get_structure(caps.Get(), 0) : nullptr;
            const char* format = structure && gst_structure_has_name(structure, "video/x-raw")
                                     ? gst_structure_get_string(structure, "format")
                                     : nullptr;
            wanted = format ? gst_video_format_from_string(format) : GST_VIDEO_FORMAT_UNKNOWN;
            NoRawFormat = wanted == GST_VIDEO_FORMAT_UNKNOWN;
        } else {
            NoRawFormat = false;
        }
        Wanted = wanted;
        return S_OK;
    }

    HRESULT GetConnectedMediaType(TAMMediaType& type) override {
        GstVideoInfo input;
        GstVideoInfo info;
        if (!InputInfo(input) || !DeliveredInfo(input, info))
            return VFW_E_NOT_CONNECTED;
        const TGstCapsRef caps = TGstCapsRef::Adopt(gst_video_info_to_caps(&info));
        const std::optional<TAMMediaType> connected =
            VideoMediaTypeFromCaps(caps.Get(), TRowOrder::TopDown);
        if (!connected)
            return VFW_E_NOT_CONNECTED;
        type = *connected;
        return S_OK;
    }

    HRESULT SetBufferSamples(bool) override { return S_OK; }

    // A one-shot grabber calls back for its first frame only. The stream itself goes on: the
    // preview behind the grabber shares it, and nothing in this program waits for its end.
    HRESULT SetOneShot(bool oneShot) override {
        OneShot = oneShot;
        Delivered = false;
        return S_OK;
    }

    HRESULT SetCallback(ISampleGrabberCB* callback, int which) override {
        if (which != 0 && which != 1)
            return E_INVALIDARG;
        Which = which;
        Callback = callback;
        return S_OK;
    }

    HRESULT SetLiveSink(std::shared_ptr<ILivePictureSink> sink) override {
        if (!Live)
            return E_NOTIMPL;
        Live->SetSink(std::move(sink));
        return S_OK;
    }

  private:
    // Without the elements it needs, the grabber is simply one without live view.
    void BuildLiveBranch(GstElement* tee) {
        TLiveBranch::TChain chain{};
        for (std::size_t i = 0; i < chain.size(); ++i)
            if (!(chain[i] = AddElement(TLiveBranch::Factories[i])))
                return;
        Live = TLiveBranch::Build(tee, chain);
    }

    // Streaming thread. Only a frame the callback asked for is kept past the push: a second
    // reference would make the filters behind copy every frame they change in place.
    static GstFlowReturn PassOnThenDeliver(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
        auto* const self = static_cast<TSampleGrabber*>(gst_pad_get_element_private(pad));
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        const TGstHandle<GstBuffer> wanted =
            self->WantsFrame() ? TGstHandle<GstBuffer>::Retain(buffer) : TGstHandle<GstBuffer>();
        const GstFlowReturn result = gst_proxy_pad_chain_default(pad, parent, buffer);
        self->Deliver(pts, wanted.Get());
        return result;
    }

    // The layout of the frames coming in, once they are negotiated.
    bool InputInfo(GstVideoInfo& info) const {
        const TGstCapsRef caps = TGstCapsRef::Adopt(gst_pad_get_current_caps(RawOutput.Get()));
        return caps && gst_video_info_from_caps(&info, caps.Get());
    }

    // The layout of the frames handed out: the input's size in the wanted format.
    bool DeliveredInfo(const GstVideoInfo& input, GstVideoInfo& info) const {
        GstVideoFormat format = Wanted;
        if (format == GST_VIDEO_FORMAT_UNKNOWN)
            format = IsBitmapFormat(GST_VIDEO_INFO_FORMAT(&input)) ? GST_VIDEO_INFO_FORMAT(&input)
                                                                   : GST_VIDEO_FORMAT_BGR;
        if (!gst_video_info_set_interlaced_format(
                &info, format, GST_VIDEO_INFO_INTERLACE_MODE(&input), GST_VIDEO_INFO_WIDTH(&input),
                GST_VIDEO_INFO_HEIGHT(&input)))
            return false;
        // Only the pixel layout changes (a camcorder's interlaced rows stay as they are); the
        // converter insists on the rest being equal.
        GST_VIDEO_INFO_FPS_N(&info) = GST_VIDEO_INFO_FPS_N(&input);
        GST_VIDEO_INFO_FPS_D(&info) = GST_VIDEO_INFO_FPS_D(&input);
        GST_VIDEO_INFO_PAR_N(&info) = GST_VIDEO_INFO_PAR_N(&input);
        GST_VIDEO_INFO_PAR_D(&info) = GST_VIDEO_INFO_PAR_D(&input);
        return true;
    }

    bool WantsFrame() const {
        ISampleGrabberCB* const callback = Callback;
        return callback && Which == 1 && callback->WantsBuffer();
    }

    // Streaming thread: the callback copies what it wants; nothing else happens here. `frame` is
    // null when the callback did not want it: it then hears only of the frame's time.
    void Deliver(GstClockTime pts, GstBuffer* frame) {
        ISampleGrabberCB* const callback = Callback;
        if (!callback || (OneShot && Delivered.exchange(true)))
            return;
        const double time =
            GST_CLOCK_TIME_IS_VALID(pts) ? static_cast<double>(pts) / GST_SECOND : 0.0;
        if (Which == 0) {
            callback->SampleCB(time);
            return;
        }
        const std::span<const std::uint8_t> converted =
            frame ? Convert(frame) : std::span<const std::uint8_t>();
        callback->BufferCB(time, converted.empty() ? nullptr : converted.data(),
                           static_cast<long>(converted.size()));
    }

    // The frame in the delivered layout (top-down rows, bitmap stride); empty when it cannot be
    // read. Frames already in that layout are copied only when their rows are padded.
    std::span<const std::uint8_t> Convert(GstBuffer* buffer) {
        GstVideoInfo input;
        GstVideoInfo output;
        if (!InputInfo(input) || !DeliveredInfo(input, output))
            return {};
        Converted.resize(GST_VIDEO_INFO_SIZE(&output));
        GstVideoFrame in;
        if (!gst_video_frame_map(&in, &input, buffer, GST_MAP_READ))
            return {};
        bool done = false;
        if (GST_VIDEO_INFO_FORMAT(&input) == GST_VIDEO_INFO_FORMAT(&output))
            done = CopyRows(in, output);
        else
            done = ConvertFrame(in, input, output);
        gst_video_frame_unmap(&in);
        return done ? std::span<const std::uint8_t>(Converted) : std::span<const std::uint8_t>();
    }

    bool CopyRows(const GstVideoFrame& in, const GstVideoInfo& output) {
        const auto rowBytes = static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&output, 0));
        const auto* source = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&in, 0));
        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&in, 0);
        const std::size_t copied =
            std::min<std::size_t>(rowBytes, static_cast<std::size_t>(stride));
        for (int row = 0; row < GST_VIDEO_INFO_HEIGHT(&output); ++row)
            std::memcpy(Converted.data() + static_cast<std::size_t>(row) * rowBytes,
                        source + static_cast<std::ptrdiff_t>(row) * stride, copied);
        return true;
    }

    bool ConvertFrame(const GstVideoFrame& in, const GstVideoInfo& input,
                      const GstVideoInfo& output) {
        if (!Converter || !gst_video_info_is_equal(&input, &ConverterInput) ||
            !gst_video_info_is_equal(&output, &ConverterOutput)) {
            Converter.reset(gst_video_converter_new(const_cast<GstVideoInfo*>(&input),
                                                    const_cast<GstVideoInfo*>(&output), nullptr));
            ConverterInput = input;
            ConverterOutput = output;
        }
        if (!Converter)
            return false;
        const TGstHandle<GstBuffer> target = TGstHandle<GstBuffer>::Adopt(
            gst_buffer_new_wrapped_full(GstMemoryFlags(0), Converted.data(), Converted.size(), 0,
                                        Converted.size(), nullptr, nullptr));
        GstVideoFrame out;
        if (!gst_video_frame_map(&out, const_cast<GstVideoInfo*>(&output), target.Get(),
                                 GST_MAP_WRITE))
            return false;
        gst_video_converter_frame(Converter.get(), &in, &out);
        gst_video_frame_unmap(&out);
        return true;
    }

    TGstPadRef RawOutput;
    TGstPadRef Input; // The input pin's pad, whose chain function tells the callback.
    std::unique_ptr<TLiveBranch> Live;
    bool NoRawFormat = false;
    // Set before the graph runs, read by the streaming thread.
    std::atomic<GstVideoFormat> Wanted = GST_VIDEO_FORMAT_UNKNOWN;
    std::atomic<ISampleGrabberCB*> Callback = nullptr;
    std::atomic<int> Which = 1;
    std::atomic<bool> OneShot = false;
    std::atomic<bool> Delivered = false;
    // Streaming thread only.
    std::vector<std::uint8_t> Converted;
    TConverterPtr Converter;
    GstVideoInfo ConverterInput{};
    GstVideoInfo ConverterOutput{};
};

// An encoder behind a converter. Its dialog edits the encoder's properties; its state is the
// text of those that differ from the values the encoder was made with.
class TCompressor : public TGstFilter, public TGstPropertyPages, public IAMVfwCompressDialogs {
  public:
    TCompressor(GstElementFactory* factory, TMediaKind kind)
        : Factory(TGstHandle<GstElementFactory>::Retain(factory)), Kind(kind) {}

    bool Offers(TIID iid) const override {
        return iid == TIID::ISpecifyPropertyPages || iid == TIID::IAMVfwCompressDialogs ||
               TGstFilter::Offers(iid);
    }

    bool HasPages() override { return !Settings.empty(); }

    std::unique_ptr<QDialog> MakeDialog(QWidget* owner) override {
        if (Settings.empty())
            return nullptr;
        const char* name =
            gst_element_factory_get_metadata(Factory.Get(), GST_ELEMENT_METADATA_LONGNAME);
        return MakeLiveDialog(owner, QString::fromUtf8(name ? name : ""), [this](QWidget* parent) {
            return new TPropertyEditor(Encoder.Get(), Settings, parent);
        });
    }

    HRESULT ShowDialog(int dialog, QWidget* owner) override {
        switch (dialog) {
        case VfwCompressDialog_QueryConfig:
            return HasPages() ? S_OK : S_FALSE;
        case VfwCompressDialog_Config:
            return HasPages() ? ShowModal(MakeDialog(owner)) : S_FALSE;
        case VfwCompressDialog_QueryAbout:
            return S_FALSE;
        case VfwCompressDialog_About:
            return E_NOTIMPL;
        default:
            return E_INVALIDARG;
        }
    }

    HRESULT GetState(std::vector<std::uint8_t>& state) override {
        const std::string text = PropertyStateText(Encoder.Get(), Defaults);
        state.assign(text.begin(), text.end());
        return S_OK;
    }

    HRESULT SetState(const std::vector<std::uint8_t>& state) override {
        const std::string_view text(reinterpret_cast<const char*>(state.data()), state.size());
        return ApplyPropertyStateText(Encoder.Get(), Defaults, text) ? S_OK : E_INVALIDARG;
    }

    bool Build() {
        const bool audio = Kind == TMediaKind::Audio;
        GstElement* convert = AddElement(audio ? "audioconvert" : "videoconvert", "convert");
        GstElement* last = convert;
        if (audio) {
            GstElement* resample = AddElement("audioresample", "resample");
            if (!LinkElements(convert, resample))
                return false;
            last = resample;
        }
        TGstElementRef encoder =
            TGstElementRef::RefSink(gst_element_factory_create(Factory.Get(), "encoder"));
        if (!encoder || !gst_bin_add(GST_BIN(Bin()), encoder.Get()) ||
            !LinkElements(last, encoder.Get()))
            return false;
        Encoder = encoder;
        Settings = EditableProperties(Encoder.Get());
        Defaults = TPropertyValues::Read(Encoder.Get(), Settings);
        return AddPin(StaticPad(convert, "sink").Get(), "Input", TGstPin::In(Kind)) &&
               AddPin(StaticPad(encoder.Get(), "src").Get(), "Output", TGstPin::Out(Kind));
    }

  private:
    TGstHandle<GstElementFactory> Factory;
    TMediaKind Kind;
    TGstElementRef Encoder;
    std::vector<GParamSpec*> Settings;
    TPropertyValues Defaults;
};

} // namespace

std::shared_ptr<TGstFilter> CreateCompressorFilter(GstElementFactory* factory, TMediaKind kind) {
    return MakeFilter<TCompressor>(factory, kind);
}

std::shared_ptr<TGstFilter> CreateSmartTee() {
    return MakeFilter<TSmartTee>();
}
std::shared_ptr<TGstFilter> CreateInfTee() {
    return MakeFilter<TInfTee>();
}
std::shared_ptr<TGstFilter> CreateSampleGrabber() {
    return MakeFilter<TSampleGrabber>();
}
