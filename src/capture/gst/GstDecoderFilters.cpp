// The filters that turn a camera's compressed stream into pictures: the MJPEG decompressor
// the builder puts in front of filters that take raw video, and the DV decoder and splitter
// of a camcorder.
#include "GstFilters.h"

#include <atomic>
#include <string_view>

namespace {

// A stream whose frames all fail to decode for this long is broken, not merely damaged.
constexpr gint64 UndecodableLimitUs = 3 * G_USEC_PER_SEC;

// A JPEG frame is whole when it runs from its start marker to its end marker. Some cameras pad
// a frame with zeros after the end marker.
bool IsWholeJpeg(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return false;
    const std::uint8_t* data = map.data;
    std::size_t end = map.size;
    while (end > 4 && data[end - 1] == 0x00)
        --end;
    const bool whole = end >= 4 && data[0] == 0xFF && data[1] == 0xD8 && data[end - 2] == 0xFF &&
                       data[end - 1] == 0xD9;
    gst_buffer_unmap(buffer, &map);
    return whole;
}

// Decodes MJPEG. A truncated or corrupt frame (common when a USB bus runs short of bandwidth)
// is dropped and the stream goes on; only when no frame at all decodes for a few seconds does
// the decoder post an error, which stops the capture as any graph error does.
class TVideoDecompressor : public TGstFilter {
  public:
    ~TVideoDecompressor() override {
        if (InputProbe)
            gst_pad_remove_probe(Input.Get(), InputProbe);
        if (OutputProbe)
            gst_pad_remove_probe(Output.Get(), OutputProbe);
    }

    bool Build() {
        Decoder = AddElement("jpegdec", "decoder");
        if (!Decoder)
            return false;
        // A damaged frame must never end the stream; the watch below judges the stream.
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(Decoder), "max-errors"))
            g_object_set(Decoder, "max-errors", -1, nullptr);
        Input = StaticPad(Decoder, "sink");
        Output = StaticPad(Decoder, "src");
        InputProbe =
            gst_pad_add_probe(Input.Get(),
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                           GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                           GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                              OnInput, this, nullptr);
        OutputProbe =
            gst_pad_add_probe(Output.Get(), GST_PAD_PROBE_TYPE_BUFFER, OnDecoded, this, nullptr);
        return InputProbe != 0 && OutputProbe != 0 &&
               AddPin(Input.Get(), "Input", TGstPin::In(TMediaKind::Video)) &&
               AddPin(Output.Get(), "Output", TGstPin::Out(TMediaKind::Video));
    }

  private:
    // Streaming thread.
    static GstPadProbeReturn OnInput(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto* const decompressor = static_cast<TVideoDecompressor*>(self);
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
            return decompressor->Judge(GST_PAD_PROBE_INFO_BUFFER(info));
        const GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
        if (type == GST_EVENT_STREAM_START || type == GST_EVENT_FLUSH_STOP)
            decompressor->LastDecodedUs = 0; // A new stream gets its own grace.
        return GST_PAD_PROBE_OK;
    }

    static GstPadProbeReturn OnDecoded(GstPad*, GstPadProbeInfo*, gpointer self) {
        auto* const decompressor = static_cast<TVideoDecompressor*>(self);
        decompressor->LastDecodedUs = g_get_monotonic_time();
        decompressor->Reported = false;
        return GST_PAD_PROBE_OK;
    }

    GstPadProbeReturn Judge(GstBuffer* frame) {
        const gint64 now = g_get_monotonic_time();
        gint64 expected = 0;
        LastDecodedUs.compare_exchange_strong(expected, now);
        if (now - LastDecodedUs > UndecodableLimitUs && !Reported.exchange(true))
            ReportUndecodable();
        return IsWholeJpeg(frame) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
    }

    void ReportUndecodable() {
        const TGstErrorPtr error = TGstErrorPtr::Adopt(
            g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE,
                                "The camera's pictures could not be decoded for seconds."));
        gst_element_post_message(
            Decoder, gst_message_new_error(GST_OBJECT(Decoder), error.Get(), "no frame decoded"));
    }

    GstElement* Decoder = nullptr; // Held by the bin.
    TGstPadRef Input;
    TGstPadRef Output;
    gulong InputProbe = 0;
    gulong OutputProbe = 0;
    // When the last frame came out of the decoder (0: none yet in this stream), and whether
    // the present silence has been reported.
    std::atomic<gint64> LastDecodedUs = 0;
    std::atomic<bool> Reported = false;
};

bool HasName(GstPad* pad, std::string_view prefix) {
    const TGstString name = TGstString::Adopt(gst_pad_get_name(pad));
    return name && std::string_view(name.Get()).starts_with(prefix);
}

// The DV decoder, with its output size on a capsfilter after a scaler. It takes what the
// camcorder gives: a system stream goes through a demultiplexer of its own first, since dvdec
// takes DV video alone.
class TDvDecoder : public TGstFilter, public IIPDVDec {
  public:
    bool Offers(TIID iid) const override {
        return iid == TIID::IIPDVDec || TGstFilter::Offers(iid);
    }

    bool Build() {
        Decoder = AddElement("dvdec", "decoder");
        GstElement* scale = AddElement("videoscale", "scale");
        Size = TGstElementRef::Retain(AddElement("capsfilter", "size"));
        if (!Decoder || !LinkElements(Decoder, scale) || !LinkElements(scale, Size.Get()))
            return false;
        Input = AddPendingPin("Input", TGstPin::In(TMediaKind::Any), "video/x-dv");
        return Input && AddPin(StaticPad(Size.Get(), "src").Get(), "Output",
                               TGstPin::Out(TMediaKind::Video));
    }

    std::shared_ptr<TGstPin> InputFor(TMediaKind, GstPad* upstream) override {
        if (Input->IsConnected())
            return nullptr;
        const TGstCapsRef offered = TGstCapsRef::Adopt(gst_pad_query_caps(upstream, nullptr));
        const TGstCapsRef videoAlone =
            TGstCapsRef::Adopt(gst_caps_from_string("video/x-dv,systemstream=false"));
        if (offered && gst_caps_can_intersect(offered.Get(), videoAlone.Get()))
            return SetPinTarget(*Input, StaticPad(Decoder, "sink").Get()) ? Input : nullptr;
        GstElement* demux = Demultiplexer();
        return demux && SetPinTarget(*Input, StaticPad(demux, "sink").Get()) ? Input : nullptr;
    }

    HRESULT get_IPDisplay(int& display) override {
        display = Display;
        return S_OK;
    }

    HRESULT put_IPDisplay(int display) override {
        static constexpr struct {
            int Display, Width, Height;
        } sizes[] = {{DVRESOLUTION_FULL, 720, 576},
                     {DVRESOLUTION_HALF, 360, 288},
                     {DVRESOLUTION_QUARTER, 180, 144},
                     {DVRESOLUTION_DC, 88, 72}};
        for (const auto& size : sizes)
            if (size.Display == display) {
                const TGstCapsRef caps = TGstCapsRef::Adopt(
                    gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, size.Width, "height",
                                        G_TYPE_INT, size.Height, nullptr));
                g_object_set(Size.Get(), "caps", caps.Get(), nullptr);
                Display = display;
                return S_OK;
            }
        return E_INVALIDARG;
    }

  private:
    GstElement* Demultiplexer() {
        if (Demux)
            return Demux;
        Demux = AddElement("dvdemux", "demux");
        if (Demux)
            g_signal_connect(Demux, "pad-added", G_CALLBACK(OnDemuxPad), Decoder);
        return Demux;
    }

    // Streaming thread: the demultiplexer found the video in the stream.
    static void OnDemuxPad(GstElement*, GstPad* pad, gpointer decoder) {
        const TGstPadRef sink = StaticPad(static_cast<GstElement*>(decoder), "sink");
        if (HasName(pad, "video") && !gst_pad_is_linked(sink.Get()))
            gst_pad_link(pad, sink.Get());
    }

    GstElement* Decoder = nullptr; // Held by the bin, as is Demux.
    GstElement* Demux = nullptr;
    TGstElementRef Size;
    std::shared_ptr<TGstPin> Input;
    int Display = DVRESOLUTION_FULL;
};

// The DV splitter: DV video and sound out of a camcorder's system stream. Its outputs exist
// from the start, so that the graph can be wired before the stream runs; they are tied to the
// demultiplexer's pads once the stream shows them.
class TDvSplitter : public TGstFilter {
  public:
    ~TDvSplitter() override {
        if (Demux)
            g_signal_handlers_disconnect_by_data(Demux, this);
    }

    bool Build() {
        Demux = AddElement("dvdemux", "demux");
        if (!Demux ||
            !AddPin(StaticPad(Demux, "sink").Get(), "Input", TGstPin::In(TMediaKind::Interleaved)))
            return false;
        Video = AddPendingPin("DV Video", TGstPin::Out(TMediaKind::Video),
                              "video/x-dv,systemstream=false");
        Audio = AddPendingPin("Audio", TGstPin::Out(TMediaKind::Audio), "audio/x-raw");
        if (!Video || !Audio)
            return false;
        g_signal_connect(Demux, "pad-added", G_CALLBACK(OnDemuxPad), this);
        return true;
    }

  private:
    static void OnDemuxPad(GstElement*, GstPad* pad, gpointer self) {
        const auto* splitter = static_cast<TDvSplitter*>(self);
        if (HasName(pad, "video"))
            SetPinTarget(*splitter->Video, pad);
        else if (HasName(pad, "audio"))
            SetPinTarget(*splitter->Audio, pad);
    }

    GstElement* Demux = nullptr; // Held by the bin.
    std::shared_ptr<TGstPin> Video;
    std::shared_ptr<TGstPin> Audio;
};

} // namespace

std::shared_ptr<TGstFilter> CreateVideoDecompressor(const GstCaps* compressed) {
    const TGstCapsRef jpeg = TGstCapsRef::Adopt(gst_caps_new_empty_simple("image/jpeg"));
    if (!compressed || !gst_caps_can_intersect(compressed, jpeg.Get()))
        return nullptr;
    return MakeFilter<TVideoDecompressor>();
}

std::shared_ptr<TGstFilter> CreateDvDecoder() {
    return MakeFilter<TDvDecoder>();
}

std::shared_ptr<TGstFilter> CreateDvSplitter() {
    return MakeFilter<TDvSplitter>();
}
