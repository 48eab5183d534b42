#include "GstFilters.h"
#include "GstPreviewConvert.h"
#include "GstPreviewWidget.h"
#include "GstUniqueFd.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>

namespace {

// The default video renderer: scales to the window's size, converts to BGRx and keeps the
// newest frame for the video window. Its appsink drops what the window cannot keep up with.
// Planar 4:2:0 frames (what JPEG cameras decode to) reach the appsink as they are and are
// converted by the renderer itself, into pictures it reuses.
class TVideoRenderer : public TGstFilter {
  public:
    ~TVideoRenderer() override {
        if (Sink) {
            GstAppSinkCallbacks none{};
            gst_app_sink_set_callbacks(GST_APP_SINK(Sink.Get()), &none, nullptr, nullptr);
        }
    }

    std::shared_ptr<TFrameSlot> VideoFrames() const override { return Frames; }

    void SetVideoSize(int width, int height) override {
        const TGstCapsRef caps = TGstCapsRef::Adopt(gst_caps_new_empty_simple("video/x-raw"));
        if (width > 0 && height > 0)
            gst_caps_set_simple(caps.Get(), "width", G_TYPE_INT, width, "height", G_TYPE_INT,
                                height, nullptr);
        // A running pipeline renegotiates on its own when the capsfilter changes.
        g_object_set(Size.Get(), "caps", caps.Get(), nullptr);
    }

    bool Build() {
        // Scaled first, in the camera's own format, so that only the pixels shown are converted:
        // one pass that does both converts every pixel of the frame first.
        GstElement* scale = AddElement("videoscale", "scale");
        Size = TGstElementRef::Retain(AddElement("capsfilter", "size"));
        GstElement* convert = AddElement("videoconvert", "convert");
        Format = TGstElementRef::Retain(AddElement("capsfilter", "format"));
        if (!LinkElements(scale, Size.Get()) || !LinkElements(Size.Get(), convert) ||
            !LinkElements(convert, Format.Get()))
            return false;
        // The preview only has to look right at a glance; the frames that matter come through
        // the grabber. The cheapest scaling keeps the preview off the CPU budget.
        gst_util_set_object_arg(G_OBJECT(scale), "method", "nearest-neighbour");
        gst_util_set_object_arg(G_OBJECT(convert), "dither", "none");
        // videoconvert passes I420 through and turns every other format into BGRx, as before.
        const TGstCapsRef shown =
            TGstCapsRef::Adopt(gst_caps_from_string("video/x-raw,format={BGRx,I420}"));
        g_object_set(Format.Get(), "caps", shown.Get(), nullptr);
        Sink = TGstElementRef::Retain(AddElement("appsink", "sink"));
        if (!LinkElements(Format.Get(), Sink.Get()))
            return false;
        SetVideoSize(0, 0);
        // Every source of this program is live: the camera paces the stream, so a frame is
        // shown the moment it is ready instead of waiting for the clock on the camera's thread.
        // The grabber in front then tells the window of the frame after the frame is already
        // in the slot, and the window wakes once for both.
        g_object_set(Sink.Get(), "sync", FALSE, "max-buffers", 1u, "drop", TRUE, "emit-signals",
                     FALSE, "enable-last-sample", FALSE, nullptr);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = OnNewSample;
        // The filter outlives the sink's streaming: it is released only once its bin stopped,
        // and it takes its callbacks back first.
        gst_app_sink_set_callbacks(GST_APP_SINK(Sink.Get()), &callbacks, this, nullptr);
        return AddPin(StaticPad(scale, "sink").Get(), "Input", TGstPin::In(TMediaKind::Video)) !=
               nullptr;
    }

  private:
    // Streaming thread: hand the frame to the slot, nothing more.
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer self) {
        const TGstHandle<GstSample> sample =
            TGstHandle<GstSample>::Adopt(gst_app_sink_pull_sample(sink));
        if (!sample)
            return GST_FLOW_EOS;
        static_cast<TVideoRenderer*>(self)->Show(sample.Get());
        return GST_FLOW_OK;
    }

    // Streaming thread: the frame's layout is read once per caps, not parsed for every frame.
    void Show(GstSample* sample) {
        GstCaps* const caps = gst_sample_get_caps(sample);
        if (caps != ShownCaps.Get()) {
            if (!caps || !gst_video_info_from_caps(&ShownInfo, caps))
                return;
            ShownCaps = TGstCapsRef::Retain(caps);
            Converter.reset();
            if (GST_VIDEO_INFO_FORMAT(&ShownInfo) == GST_VIDEO_FORMAT_I420)
                Converter.emplace(ShownInfo);
        }
        std::unique_ptr<TPreviewFrame> frame =
            Converter ? Convert(sample) : TPreviewFrame::Map(sample, ShownInfo);
        if (!frame)
            return;
        std::unique_ptr<TPreviewFrame> replaced = Frames->Deliver(std::move(frame));
        if (replaced && replaced->OwnPicture())
            Spare = std::move(replaced);
    }

    // Streaming thread: the frame converted into the spare picture, or a new one.
    std::unique_ptr<TPreviewFrame> Convert(GstSample* sample) {
        GstVideoFrame mapped;
        if (!gst_video_frame_map(&mapped, &ShownInfo, gst_sample_get_buffer(sample), GST_MAP_READ))
            return nullptr;
        const QSize size(GST_VIDEO_INFO_WIDTH(&ShownInfo), GST_VIDEO_INFO_HEIGHT(&ShownInfo));
        std::unique_ptr<TPreviewFrame> frame = std::move(Spare);
        if (!frame || frame->Image().size() != size)
            frame = std::make_unique<TPreviewFrame>(size);
        const bool converted = Converter->Convert(mapped, *frame->OwnPicture());
        gst_video_frame_unmap(&mapped);
        return converted ? std::move(frame) : nullptr;
    }

    const std::shared_ptr<TFrameSlot> Frames = std::make_shared<TFrameSlot>();
    TGstElementRef Size;
    TGstElementRef Format;
    TGstElementRef Sink;
    // Streaming thread only.
    TGstCapsRef ShownCaps;
    GstVideoInfo ShownInfo{};
    std::optional<TI420Converter> Converter;
    std::unique_ptr<TPreviewFrame> Spare;
};

class TAudioRenderer : public TGstFilter {
  public:
    bool Build() {
        GstElement* convert = AddElement("audioconvert", "convert");
        GstElement* resample = AddElement("audioresample", "resample");
        const TGstHandle<GstElementFactory> automatic =
            TGstHandle<GstElementFactory>::Adopt(gst_element_factory_find("autoaudiosink"));
        GstElement* sink = AddElement(automatic ? "autoaudiosink" : "fakesink", "sink");
        if (!LinkElements(convert, resample) || !LinkElements(resample, sink))
            return false;
        if (!automatic)
            g_object_set(sink, "sync", TRUE, nullptr);
        return AddPin(StaticPad(convert, "sink").Get(), "Input", TGstPin::In(TMediaKind::Audio)) !=
               nullptr;
    }
};

// The AVI multiplexer. Its inputs are made on demand, one request pad per stream, with a
// converter in front of raw streams so that any raw format reaches avimux in one it takes.
class TAviMux : public TGstFilter, public IConfigAviMux {
  public:
    bool Offers(TIID iid) const override {
        return iid == TIID::IConfigAviMux || TGstFilter::Offers(iid);
    }

    bool Build() {
        Mux = TGstElementRef::Retain(AddElement("avimux", "mux"));
        return Mux && AddPin(StaticPad(Mux.Get(), "src").Get(), "AVI Out",
                             TGstPin::Out(TMediaKind::Stream));
    }

    std::shared_ptr<TGstPin> InputFor(TMediaKind kind, GstPad* upstream) override {
        if (kind == TMediaKind::Any)
            kind = KindOfCaps(TGstCapsRef::Adopt(gst_pad_query_caps(upstream, nullptr)).Get());
        if (kind != TMediaKind::Video && kind != TMediaKind::Interleaved &&
            kind != TMediaKind::Audio)
            return nullptr;
        const bool audio = kind == TMediaKind::Audio;
        TStream stream;
        stream.Request = TGstPadRef::Adopt(
            gst_element_request_pad_simple(Mux.Get(), audio ? "audio_%u" : "video_%u"));
        if (!stream.Request)
            return nullptr;
        GstPad* target = stream.Request.Get();
        TGstPadRef convertSink;
        if (IsRaw(upstream)) {
            stream.Convert =
                TGstElementRef::Retain(AddElement(audio ? "audioconvert" : "videoconvert"));
            const TGstPadRef convertSrc = StaticPad(stream.Convert.Get(), "src");
            convertSink = StaticPad(stream.Convert.Get(), "sink");
            if (!convertSrc || gst_pad_link(convertSrc.Get(), target) != GST_PAD_LINK_OK) {
                Release(stream);
                return nullptr;
            }
            target = convertSink.Get();
        }
        const std::string name = "Input " + std::to_string(++InputsMade);
        stream.Pin = AddPin(target, name.c_str(), TGstPin::In(kind));
        if (!stream.Pin) {
            Release(stream);
            return nullptr;
        }
        Streams.push_back(std::move(stream));
        return Streams.back().Pin;
    }

    void ReleaseInput(const std::shared_ptr<TGstPin>& pin) override {
        const auto found = std::find_if(Streams.begin(), Streams.end(),
                                        [&](const TStream& stream) { return stream.Pin == pin; });
        if (found == Streams.end())
            return;
        TStream stream = std::move(*found);
        Streams.erase(found);
        Release(stream);
    }

    // avimux writes the AVI 1.0 index in every file, which is what the compatibility index
    // asks for; it cannot leave that index out.
    HRESULT SetOutputCompatibilityIndex(bool oldIndex) override {
        return oldIndex ? S_OK : E_NOTIMPL;
    }
    // avimux interleaves its streams by their timestamps; no stream leads the others, which is
    // what "no master stream" (-1) means and all it can do.
    HRESULT SetMasterStream(int stream) override { return stream < 0 ? S_OK : E_NOTIMPL; }

  private:
    struct TStream {
        std::shared_ptr<TGstPin> Pin;
        TGstElementRef Convert;
        TGstPadRef Request;
    };

    static bool IsRaw(GstPad* upstream) {
        const TGstCapsRef offered = TGstCapsRef::Adopt(gst_pad_query_caps(upstream, nullptr));
        const TGstCapsRef raw = TGstCapsRef::Adopt(gst_caps_from_string("video/x-raw;audio/x-raw"));
        return !offered || gst_caps_is_any(offered.Get()) ||
               gst_caps_can_intersect(offered.Get(), raw.Get());
    }

    void Release(TStream& stream) {
        if (stream.Pin)
            RemovePin(stream.Pin);
        if (stream.Convert) {
            gst_element_set_state(stream.Convert.Get(), GST_STATE_NULL);
            gst_bin_remove(GST_BIN(Bin()), stream.Convert.Get());
        }
        if (stream.Request)
            gst_element_release_request_pad(Mux.Get(), stream.Request.Get());
    }

    TGstElementRef Mux;
    std::vector<TStream> Streams;
    int InputsMade = 0;
};

// The file writer. Not waiting for preroll matters: the valve in front of the multiplexer
// holds every buffer back, and a sink that waits would keep the whole graph from running.
// The file is opened when the graph first runs. Without AM_FILE_OVERWRITE it is not truncated,
// so that space reserved for it beforehand is what the recording writes into; what the
// recording did not use is cut off when the writer closes the file.
class TFileWriter : public TGstFilter, public IFileSinkFilter, public IFileSinkFilter2 {
  public:
    explicit TFileWriter(std::string fileName) : FileName(std::move(fileName)) {}
    ~TFileWriter() override {
        if (Probe)
            gst_pad_remove_probe(SinkPad.Get(), Probe);
        Close();
    }

    bool Offers(TIID iid) const override {
        return iid == TIID::IFileSinkFilter || iid == TIID::IFileSinkFilter2 ||
               TGstFilter::Offers(iid);
    }

    bool Build() {
        Sink = TGstElementRef::Retain(AddElement("fdsink", "file"));
        if (!Sink)
            return false;
        g_object_set(Sink.Get(), "async", FALSE, nullptr);
        SinkPad = StaticPad(Sink.Get(), "sink");
        Probe = gst_pad_add_probe(SinkPad.Get(),
                                  static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                               GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                                  OnWrite, this, nullptr);
        return AddPin(SinkPad.Get(), "in", TGstPin::In(TMediaKind::Any)) != nullptr;
    }

    HRESULT PrepareToRun() override {
        if (File)
            return S_OK;
        const int truncate = (Mode & AM_FILE_OVERWRITE) != 0 ? O_TRUNC : 0;
        File = TUniqueFd(::open(FileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | truncate, 0644));
        if (!File) {
            // Said on the bus as well, as a sink that cannot open its file says it.
            const TGstErrorPtr error = TGstErrorPtr::Adopt(
                g_error_new(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_WRITE,
                            "Could not open file \"%s\" for writing.", FileName.c_str()));
            gst_element_post_message(
                Sink.Get(), gst_message_new_error(GST_OBJECT(Sink.Get()), error.Get(), nullptr));
            return E_FAIL;
        }
        WrittenEnd = 0;
        Position = 0;
        g_object_set(Sink.Get(), "fd", File.Get(), nullptr);
        return S_OK;
    }

    // The name takes effect at the next run, so it can change until the graph runs.
    HRESULT SetFileName(const std::string& fileName) override {
        if (GST_STATE(Sink.Get()) > GST_STATE_READY)
            return VFW_E_WRONG_STATE;
        Close();
        FileName = fileName;
        return S_OK;
    }

    HRESULT SetMode(long flags) override {
        Mode = flags;
        return S_OK;
    }

  private:
    // Streaming thread: where the multiplexer writes, and how far the file reaches.
    static GstPadProbeReturn OnWrite(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto* const writer = static_cast<TFileWriter*>(self);
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
            writer->Position += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
        } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
                   GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment* segment = nullptr;
            gst_event_parse_segment(event, &segment);
            if (segment->format == GST_FORMAT_BYTES)
                writer->Position = segment->start;
        }
        if (writer->Position > writer->WrittenEnd)
            writer->WrittenEnd = writer->Position.load();
        return GST_PAD_PROBE_OK;
    }

    void Close() {
        if (File && (Mode & AM_FILE_OVERWRITE) == 0)
            static_cast<void>(::ftruncate(File.Get(), static_cast<off_t>(WrittenEnd.load())));
        File = TUniqueFd();
    }

    std::string FileName;
    TGstElementRef Sink;
    TGstPadRef SinkPad;
    gulong Probe = 0;
    long Mode = 0;
    TUniqueFd File;
    std::atomic<std::uint64_t> Position = 0;
    std::atomic<std::uint64_t> WrittenEnd = 0;
};

} // namespace

std::shared_ptr<TGstFilter> CreateVideoRenderer() {
    return MakeFilter<TVideoRenderer>();
}
std::shared_ptr<TGstFilter> CreateAudioRenderer() {
    return MakeFilter<TAudioRenderer>();
}
std::shared_ptr<TGstFilter> CreateAviMux() {
    return MakeFilter<TAviMux>();
}
std::shared_ptr<TGstFilter> CreateFileWriter(const std::string& fileName) {
    return MakeFilter<TFileWriter>(fileName);
}
