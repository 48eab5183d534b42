#include "GstFilters.h"

#include "GstDeviceFormat.h"
#include "GstModeDialog.h"
#include "GstPropertyEditor.h"
#include "GstV4l2Controls.h"

#include <array>
#include <string>
#include <string_view>

namespace {

// The built-in test pattern's modes: three formats at three sizes, 30 fps.
TGstCapsRef TestPatternModes() {
    std::string text;
    for (const char* format : {"YUY2", "I420", "BGR"})
        for (const char* size :
             {"width=160,height=120", "width=320,height=240", "width=640,height=480"})
            text += std::string("video/x-raw,format=") + format + "," + size + ",framerate=30/1;";
    return TGstCapsRef::Adopt(gst_caps_from_string(text.c_str()));
}

TGstCapsRef TestPatternDefault() {
    return TGstCapsRef::Adopt(
        gst_caps_from_string("video/x-raw,format=YUY2,width=320,height=240,framerate=30/1"));
}

TGstCapsRef TestToneDefault() {
    return TGstCapsRef::Adopt(
        gst_caps_from_string("audio/x-raw,format=S16LE,rate=44100,channels=2,layout=interleaved"));
}

// One mode per offered structure, fixed at CD quality where the device leaves the choice.
// FIXME: a device that offers ranges of rates and channels gets one mode, not a list.
std::vector<TAMMediaType> ListAudioModes(const GstCaps* caps) {
    std::vector<TAMMediaType> modes;
    if (!caps || gst_caps_is_any(caps))
        return modes;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstStructure* mode = gst_structure_copy(gst_caps_get_structure(caps, i));
        gst_structure_fixate_field_string(mode, "format", "S16LE");
        gst_structure_fixate_field_nearest_int(mode, "rate", 44100);
        gst_structure_fixate_field_nearest_int(mode, "channels", 2);
        const TGstCapsRef fixed =
            TGstCapsRef::Adopt(gst_caps_fixate(gst_caps_new_full(mode, nullptr)));
        if (const std::optional<TAMMediaType> type = AudioMediaTypeFromCaps(fixed.Get()))
            modes.push_back(*type);
    }
    return modes;
}

// What a source pin needs to know about its medium: the caps that a media type chooses among
// those the source accepts (empty when it accepts none of them), and back.
struct TSourceMedia {
    TGstCapsRef (*ChosenCaps)(const GstCaps* accepted, const TAMMediaType&);
    std::optional<TAMMediaType> (*TypeFromCaps)(const GstCaps*);
    std::vector<TAMMediaType> (*Modes)(const GstCaps*);
};

// A sound mode is taken as it is, when the source can deliver it.
TGstCapsRef AcceptedAudioCaps(const GstCaps* accepted, const TAMMediaType& type) {
    TGstCapsRef caps = AudioCapsFromMediaType(type);
    return caps && gst_caps_can_intersect(caps.Get(), accepted) ? caps : TGstCapsRef();
}

const TSourceMedia VideoMedia{
    OfferedModeCaps,
    [](const GstCaps* caps) { return VideoMediaTypeFromCaps(caps); },
    ListVideoModes,
};
const TSourceMedia AudioMedia{AcceptedAudioCaps, AudioMediaTypeFromCaps, ListAudioModes};

// What the Test Pattern's dialog offers: the picture and its colours, not its timing.
constexpr std::array<const char*, 5> TestPatternSettings{"pattern", "motion", "foreground-color",
                                                         "background-color", "horizontal-speed"};

// The capture pin of a source filter, with its stream configuration: the device's modes
// (offered), what its source element can do at all (accepted), and the chosen mode held by
// the capsfilter. Its dialog chooses among the modes.
class TSourcePin : public TGstPin, public IAMStreamConfig, public TGstPropertyPages {
  public:
    struct TCapabilities {
        TGstCapsRef Accepted;
        TGstCapsRef Offered;
        TGstCapsRef Chosen;
    };
    TSourcePin(const std::shared_ptr<TGstFilter>& filter, TGstPadRef ghost, TShape shape,
               const TSourceMedia& media, GstElement* capsFilter, TCapabilities capabilities)
        : TGstPin(filter, std::move(ghost), shape), Media(media),
          CapsFilter(TGstElementRef::Retain(capsFilter)), Caps(std::move(capabilities)),
          Modes(Media.Modes(Caps.Offered.Get())) {}

    bool Offers(TIID iid) const override {
        return iid == TIID::IAMStreamConfig || iid == TIID::ISpecifyPropertyPages;
    }

    bool HasPages() override { return !Modes.empty(); }

    std::unique_ptr<QDialog> MakeDialog(QWidget* owner) override {
        auto self = std::dynamic_pointer_cast<IAMStreamConfig>(shared_from_this());
        if (&Media == &VideoMedia)
            return MakeVideoModeDialog(owner, std::move(self), Caps.Offered);
        return MakeAudioModeDialog(owner, std::move(self));
    }

    // A camcorder delivers interleaved DV; what it delivers follows the chosen mode.
    TMediaKind Kind() const override {
        return KindOfCaps(Caps.Chosen ? Caps.Chosen.Get() : Caps.Offered.Get());
    }

    // The format in force: what the running stream negotiated, else what was chosen (at first
    // the device's own current format, when it can tell). A device that offers one mode can be
    // in no other.
    HRESULT GetFormat(TAMMediaType& type) override {
        std::optional<TAMMediaType> format;
        if (const TGstCapsRef negotiated = TGstCapsRef::Adopt(gst_pad_get_current_caps(Pad())))
            format = Media.TypeFromCaps(negotiated.Get());
        if (!format && Caps.Chosen)
            format = Media.TypeFromCaps(Caps.Chosen.Get());
        if (!format && Modes.size() == 1)
            format = Modes.front();
        if (!format)
            return E_FAIL;
        type = *format;
        return S_OK;
    }

    // A video mode runs at the offered rate nearest to the type's, or at its highest.
    HRESULT SetFormat(const TAMMediaType& type) override {
        TGstCapsRef caps = Media.ChosenCaps(Caps.Accepted.Get(), type);
        if (!caps)
            return VFW_E_INVALIDMEDIATYPE;
        g_object_set(CapsFilter.Get(), "caps", caps.Get(), nullptr);
        Caps.Chosen = std::move(caps);
        return S_OK;
    }

    HRESULT GetNumberOfCapabilities(int& count) override {
        count = static_cast<int>(Modes.size());
        return S_OK;
    }

    HRESULT GetStreamCaps(int index, TAMMediaType& type) override {
        if (index < 0 || index >= static_cast<int>(Modes.size()))
            return E_INVALIDARG;
        type = Modes[static_cast<std::size_t>(index)];
        return S_OK;
    }

  private:
    const TSourceMedia& Media;
    TGstElementRef CapsFilter;
    TCapabilities Caps;
    const std::vector<TAMMediaType> Modes;
};

// A capture source: the device's element (or a built-in generator) and a capsfilter; sound
// passes a volume element between them. Its dialog edits a video device's controls, the Test
// Pattern's picture, or the sound's volume.
class TSourceFilter : public TGstFilter, public TGstPropertyPages {
  public:
    TSourceFilter(TGstDeviceRef device, const TSourceMedia& media)
        : DeviceRef(std::move(device)), Media(media) {}

    bool Offers(TIID iid) const override {
        return iid == TIID::ISpecifyPropertyPages || TGstFilter::Offers(iid);
    }

    bool HasPages() override {
        if (!IsVideo())
            return static_cast<bool>(Volume);
        if (!DeviceRef)
            return true;
        const std::shared_ptr<IControlSource> controls = DeviceControls();
        return controls && !controls->Controls().empty();
    }

    std::unique_ptr<QDialog> MakeDialog(QWidget* owner) override {
        if (!IsVideo() && Volume)
            return MakeLiveDialog(owner, Title(), [this](QWidget* parent) {
                return new TVolumeEditor(Volume.Get(), parent);
            });
        if (IsVideo() && !DeviceRef)
            return MakeLiveDialog(owner, Title(), [this](QWidget* parent) {
                return new TPropertyEditor(
                    Source.Get(), EditableProperties(Source.Get(), TestPatternSettings), parent);
            });
        // The device stays open while the dialog shows, and closes with it.
        std::shared_ptr<IControlSource> controls = IsVideo() ? DeviceControls() : nullptr;
        if (!controls || controls->Controls().empty())
            return nullptr;
        return MakeLiveDialog(owner, Title(), [controls](QWidget* parent) {
            return new TControlsEditor(controls, parent);
        });
    }

    GstElement* CaptureSource() const override { return Source.Get(); }
    GstDevice* Device() const override { return DeviceRef.Get(); }

    bool Build() {
        Source = DeviceRef
                     ? TGstElementRef::RefSink(gst_device_create_element(DeviceRef.Get(), "source"))
                     : MakeBuiltIn();
        if (!Source || !gst_bin_add(GST_BIN(Bin()), Source.Get()))
            return false;
        GstElement* capsFilter = AddElement("capsfilter", "mode");
        GstElement* last = Source.Get();
        if (!IsVideo()) {
            // Every sound source has one, so that its dialog is the same whatever the device.
            Volume = TGstElementRef::Retain(AddElement("volume", "volume"));
            if (!LinkElements(last, Volume.Get()))
                return false;
            last = Volume.Get();
        }
        if (!LinkElements(last, capsFilter))
            return false;
        TSourcePin::TCapabilities caps = Capabilities();
        if (caps.Chosen)
            g_object_set(capsFilter, "caps", caps.Chosen.Get(), nullptr);
        const TMediaKind kind = IsVideo() ? TMediaKind::Video : TMediaKind::Audio;
        return AddPin<TSourcePin>(StaticPad(capsFilter, "src").Get(), "Capture",
                                  {TPinDirection::Output, TPinCategory::Capture, kind}, Media,
                                  capsFilter, std::move(caps)) != nullptr;
    }

  private:
    bool IsVideo() const { return &Media == &VideoMedia; }

    QString Title() const {
        if (!DeviceRef)
            return IsVideo() ? "Test Pattern" : "Test Tone";
        const TGstString name = TGstString::Adopt(gst_device_get_display_name(DeviceRef.Get()));
        return QString::fromUtf8(name ? name.Get() : "");
    }

    // The V4L2 node behind the device: PipeWire and the V4L2 provider both name it among the
    // device's properties, and a v4l2src knows its own.
    std::string DeviceNode() const {
        const auto properties =
            TGstHandle<GstStructure>::Adopt(gst_device_get_properties(DeviceRef.Get()));
        for (const char* key : {"api.v4l2.path", "device.path"}) {
            const char* path =
                properties ? gst_structure_get_string(properties.Get(), key) : nullptr;
            if (path && std::string_view(path).starts_with("/dev/"))
                return path;
        }
        GstElementFactory* const factory = gst_element_get_factory(Source.Get());
        if (!factory || std::string_view(GST_OBJECT_NAME(factory)) != "v4l2src")
            return {};
        gchar* node = nullptr;
        g_object_get(Source.Get(), "device", &node, nullptr);
        const TGstString owned = TGstString::Adopt(node);
        return owned ? owned.Get() : "";
    }

    std::shared_ptr<IControlSource> DeviceControls() const {
        const std::string node = DeviceNode();
        return node.empty() ? nullptr : OpenV4l2Controls(node);
    }

    TGstElementRef MakeBuiltIn() const {
        TGstElementRef source = MakeElement(IsVideo() ? "videotestsrc" : "audiotestsrc", "source");
        if (!source)
            return source;
        g_object_set(source.Get(), "is-live", TRUE, nullptr);
        // A moving ball, so that the motion detector has something to see.
        if (IsVideo())
            gst_util_set_object_arg(G_OBJECT(source.Get()), "pattern", "ball");
        return source;
    }

    TSourcePin::TCapabilities Capabilities() const {
        TSourcePin::TCapabilities caps;
        if (DeviceRef) {
            caps.Accepted = TGstCapsRef::Adopt(gst_device_get_caps(DeviceRef.Get()));
            if (!caps.Accepted)
                caps.Accepted = TGstCapsRef::Adopt(gst_caps_new_any());
            caps.Offered = caps.Accepted;
            // Until a mode is chosen the device stays in the format it is in, as its driver keeps
            // it, rather than in whatever negotiation would pick.
            TGstCapsRef current =
                IsVideo() ? CurrentDeviceFormat(DeviceRef.Get(), DeviceNode()) : TGstCapsRef();
            if (current && gst_caps_can_intersect(current.Get(), caps.Accepted.Get()))
                caps.Chosen = std::move(current);
            return caps;
        }
        const TGstPadRef pad = StaticPad(Source.Get(), "src");
        caps.Accepted = TGstCapsRef::Adopt(gst_pad_query_caps(pad.Get(), nullptr));
        caps.Offered = IsVideo() ? TestPatternModes() : TestToneDefault();
        caps.Chosen = IsVideo() ? TestPatternDefault() : TestToneDefault();
        return caps;
    }

    TGstDeviceRef DeviceRef;
    const TSourceMedia& Media;
    TGstElementRef Source;
    TGstElementRef Volume;
};

} // namespace

std::shared_ptr<TGstFilter> CreateVideoSourceFilter(const TGstDeviceRef& device) {
    return MakeFilter<TSourceFilter>(device, VideoMedia);
}

std::shared_ptr<TGstFilter> CreateAudioSourceFilter(const TGstDeviceRef& device) {
    return MakeFilter<TSourceFilter>(device, AudioMedia);
}
