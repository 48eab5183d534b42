#include "GstFilters.h"

#include "GstPropertyEditor.h"
#include "GstPropertyState.h"

#include <atomic>

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
        GstElement* previewQueue = AddElement("queue", "preview-queue");
        // The valve sits in front of its queue, so frames it drops never wake another thread.
        if (!tee || !LinkElements(tee, valve) || !LinkElements(valve, captureQueue) ||
            !LinkElements(tee, previewQueue))
            return false;
        // The preview must never hold up the source: it keeps the newest two frames.
        gst_util_set_object_arg(G_OBJECT(previewQueue), "leaky", "downstream");
        g_object_set(previewQueue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time",
                     guint64{0}, nullptr);
        const auto input =
            AddPin(StaticPad(tee, "sink").Get(), "Input", TGstPin::In(TMediaKind::Video));
        const auto capture =
            AddPin<TValvePin>(StaticPad(captureQueue, "src").Get(), "Capture",
                              TGstPin::Out(TMediaKind::Video, TPinCategory::Capture), valve);
        const auto preview = AddPin(StaticPad(previewQueue, "src").Get(), "Preview",
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

// The frame grabber: converts to the asked-for raw format and hands every buffer to the
// callback on the streaming thread, through a probe on the converter's output.
class TSampleGrabber : public TGstFilter, public ISampleGrabber {
  public:
    ~TSampleGrabber() override {
        if (Probe)
            gst_pad_remove_probe(ProbedPad.Get(), Probe);
    }

    bool Offers(TIID iid) const override {
        return iid == TIID::ISampleGrabber || TGstFilter::Offers(iid);
    }

    bool Build() {
        GstElement* convert = AddElement("videoconvert", "convert");
        Format = TGstElementRef::Retain(AddElement("capsfilter", "format"));
        if (!LinkElements(convert, Format.Get()))
            return false;
        ProbedPad = StaticPad(Format.Get(), "src");
        // Added before the output pin exists, so that it runs ahead of the pin's own probe
        // and sees every frame even while nothing is connected behind the grabber.
        Probe =
            gst_pad_add_probe(ProbedPad.Get(), GST_PAD_PROBE_TYPE_BUFFER, OnBuffer, this, nullptr);
        return Probe != 0 &&
               AddPin(StaticPad(convert, "sink").Get(), "Input", TGstPin::In(TMediaKind::Video)) &&
               AddPin(ProbedPad.Get(), "Output", TGstPin::Out(TMediaKind::Video));
    }

    // Formats without a GStreamer equivalent (RGB1, RGB4) cannot be delivered at all.
    HRESULT CanConnect() const override { return NoRawFormat ? VFW_E_CANNOT_CONNECT : S_OK; }

    HRESULT SetMediaType(const TAMMediaType& type) override {
        const TGstCapsRef caps = type.subtype.IsNull() ? TGstCapsRef::Adopt(gst_caps_new_any())
                                                       : CapsForSubtype(type.subtype);
        NoRawFormat = !caps;
        if (caps)
            g_object_set(Format.Get(), "caps", caps.Get(), nullptr);
        return S_OK;
    }

    HRESULT GetConnectedMediaType(TAMMediaType& type) override {
        const TGstCapsRef caps = TGstCapsRef::Adopt(gst_pad_get_current_caps(ProbedPad.Get()));
        const std::optional<TAMMediaType> connected =
            VideoMediaTypeFromCaps(caps.Get(), TRowOrder::TopDown);
        if (!connected)
            return VFW_E_NOT_CONNECTED;
        type = *connected;
        return S_OK;
    }

    HRESULT SetBufferSamples(bool) override { return S_OK; }

    // FIXME: a one-shot grabber stops calling back after its first frame but does not end the
    // stream, as nothing in this program waits for that.
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

  private:
    static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer self) {
        static_cast<TSampleGrabber*>(self)->Deliver(GST_PAD_PROBE_INFO_BUFFER(info));
        return GST_PAD_PROBE_OK;
    }

    // Streaming thread: the callback copies what it wants; nothing else happens here.
    void Deliver(GstBuffer* buffer) {
        ISampleGrabberCB* const callback = Callback;
        if (!callback || (OneShot && Delivered.exchange(true)))
            return;
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        const double time =
            GST_CLOCK_TIME_IS_VALID(pts) ? static_cast<double>(pts) / GST_SECOND : 0.0;
        if (Which == 0) {
            callback->SampleCB(time);
            return;
        }
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
            return;
        callback->BufferCB(time, map.data, static_cast<long>(map.size));
        gst_buffer_unmap(buffer, &map);
    }

    TGstElementRef Format;
    TGstPadRef ProbedPad;
    gulong Probe = 0;
    bool NoRawFormat = false;
    std::atomic<ISampleGrabberCB*> Callback = nullptr;
    std::atomic<int> Which = 1;
    std::atomic<bool> OneShot = false;
    std::atomic<bool> Delivered = false;
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

// The DV decoder, with its output size on a capsfilter after a scaler.
class TDvDecoder : public TGstFilter, public IIPDVDec {
  public:
    bool Offers(TIID iid) const override {
        return iid == TIID::IIPDVDec || TGstFilter::Offers(iid);
    }

    bool Build() {
        GstElement* decoder = AddElement("dvdec", "decoder");
        GstElement* scale = AddElement("videoscale", "scale");
        Size = TGstElementRef::Retain(AddElement("capsfilter", "size"));
        if (!decoder || !LinkElements(decoder, scale) || !LinkElements(scale, Size.Get()))
            return false;
        return AddPin(StaticPad(decoder, "sink").Get(), "Input", TGstPin::In(TMediaKind::Any)) &&
               AddPin(StaticPad(Size.Get(), "src").Get(), "Output",
                      TGstPin::Out(TMediaKind::Video));
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
    TGstElementRef Size;
    int Display = DVRESOLUTION_FULL;
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
std::shared_ptr<TGstFilter> CreateDvDecoder() {
    return MakeFilter<TDvDecoder>();
}
