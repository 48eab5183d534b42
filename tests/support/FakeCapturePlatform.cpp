#include "FakeCapturePlatform.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>

namespace {

std::atomic<int> LiveFilterCount = 0;

std::string CategoryText(TPinCategory category) {
    switch (category) {
    case TPinCategory::Capture:
        return "Capture";
    case TPinCategory::Preview:
        return "Preview";
    case TPinCategory::None:
        break;
    }
    return "None";
}

std::string TypeText(const TGuid* type) {
    if (type == nullptr)
        return "-";
    if (*type == MEDIATYPE_Video)
        return "Video";
    if (*type == MEDIATYPE_Audio)
        return "Audio";
    if (*type == MEDIATYPE_Interleaved)
        return "Interleaved";
    return "Other";
}

std::string IIDText(TIID iid) {
    switch (iid) {
    case TIID::IAMStreamConfig:
        return "IAMStreamConfig";
    case TIID::IAMVfwCaptureDialogs:
        return "IAMVfwCaptureDialogs";
    case TIID::IAMVfwCompressDialogs:
        return "IAMVfwCompressDialogs";
    case TIID::ISpecifyPropertyPages:
        return "ISpecifyPropertyPages";
    case TIID::IAMTVTuner:
        return "IAMTVTuner";
    case TIID::IAMTVAudio:
        return "IAMTVAudio";
    default:
        return "Other";
    }
}

} // namespace

HRESULT TFakeScript::Result(const std::string& call) {
    Calls.push_back(call);
    for (const auto& [prefix, result] : Failures)
        if (call.starts_with(prefix))
            return result;
    return S_OK;
}

bool TFakeScript::Called(const std::string& prefix) const {
    return CallCount(prefix) > 0;
}

int TFakeScript::CallCount(const std::string& prefix) const {
    return static_cast<int>(std::count_if(
        Calls.begin(), Calls.end(), [&](const std::string& c) { return c.starts_with(prefix); }));
}

TAMMediaType VideoType(const TGuid& subtype, int width, int height, int bits,
                       std::int64_t avgTimePerFrame) {
    TAMMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    type.Bitmap = TBitmapInfoHeader{width, height, 1, static_cast<std::uint16_t>(bits), 0, 0, 0};
    type.AvgTimePerFrame = avgTimePerFrame;
    return type;
}

// ---- objects ---------------------------------------------------------------------------

// Every object can carry the dialog interfaces; it offers those in its Offered set.
class TFakeObject : public virtual IUnknown,
                    public ISpecifyPropertyPages,
                    public IAMVfwCaptureDialogs,
                    public IAMVfwCompressDialogs,
                    public IAMTVTuner,
                    public IAMTVAudio {
  public:
    TFakeObject(std::string kind, std::shared_ptr<TFakeScript> script, std::set<TIID> offered)
        : Kind(std::move(kind)), Script(std::move(script)), Offered(std::move(offered)) {}
    bool Offers(TIID iid) const override {
        return Offered.contains(iid) && !Script->Refusals.contains({Kind, iid});
    }
    virtual std::string Label() const { return Kind; }

    HRESULT GetPages(int& count) override {
        count = 1;
        return Script->Result("GetPages(" + Label() + ")");
    }
    HRESULT HasDialog(int dialog) override {
        const HRESULT hr =
            Script->Result("HasDialog(" + Label() + "," + std::to_string(dialog) + ")");
        return FAILED(hr) ? hr : (VfwDialogs & dialog) != 0 ? S_OK : S_FALSE;
    }
    HRESULT ShowDialog(int dialog, QWidget*) override {
        return Script->Result("ShowDialog(" + Label() + "," + std::to_string(dialog) + ")");
    }
    HRESULT GetState(std::vector<std::uint8_t>& state) override {
        state = State;
        return Script->Result("GetState(" + Label() + ")");
    }
    HRESULT SetState(const std::vector<std::uint8_t>& state) override {
        State = state;
        return Script->Result("SetState(" + Label() + "," +
                              std::string(state.begin(), state.end()) + ")");
    }

    std::string Kind;
    std::shared_ptr<TFakeScript> Script;
    std::set<TIID> Offered;
    int VfwDialogs = 0;
    std::vector<std::uint8_t> State;
};

enum class TMediaKind { Video, Audio, Interleaved };

class TFakePin : public TFakeObject, public IPin, public IAMStreamControl {
  public:
    TFakePin(std::shared_ptr<TFakeScript> script, std::weak_ptr<TFakeFilter> owner,
             std::string name, TPinDirection direction, TPinCategory category, TMediaKind kind,
             bool streamControl)
        : TFakeObject("Pin", std::move(script),
                      streamControl ? std::set<TIID>{TIID::IAMStreamControl} : std::set<TIID>{}),
          Owner(std::move(owner)), Name(std::move(name)), Direction(direction), Category(category),
          Kind(kind) {}

    HRESULT ConnectedTo(std::shared_ptr<IPin>& peer) override {
        peer = Peer.lock();
        return peer ? S_OK : VFW_E_NOT_CONNECTED;
    }
    HRESULT QueryPinInfo(TPinInfo& info) override;
    HRESULT QueryDirection(TPinDirection& direction) override {
        direction = Direction;
        return S_OK;
    }
    HRESULT StartAt() override { return Script->Result("StartAt(" + FullName() + ")"); }
    HRESULT StopAt(bool sendExtra) override {
        return Script->Result("StopAt(" + FullName() + "," + (sendExtra ? "1" : "0") + ")");
    }
    std::string FullName() const;

    std::weak_ptr<TFakeFilter> Owner;
    std::string Name;
    TPinDirection Direction;
    TPinCategory Category;
    TMediaKind Kind;
    std::weak_ptr<TFakePin> Peer;
};

class TFakeStreamConfig : public TFakeObject, public IAMStreamConfig {
  public:
    TFakeStreamConfig(std::shared_ptr<TFakeScript> script, std::string owner,
                      std::vector<TAMMediaType> modes)
        : TFakeObject("StreamConfig", std::move(script), {TIID::IAMStreamConfig}),
          OwnerKind(std::move(owner)), Modes(std::move(modes)) {
        if (!Modes.empty())
            Current = Modes.front();
    }
    HRESULT GetFormat(TAMMediaType& type) override {
        const HRESULT hr = Script->Result("GetFormat(" + OwnerKind + ")");
        if (SUCCEEDED(hr))
            type = Current;
        return hr;
    }
    HRESULT SetFormat(const TAMMediaType& type) override {
        const HRESULT hr = Script->Result("SetFormat(" + OwnerKind + "," +
                                          std::to_string(type.AvgTimePerFrame) + ")");
        if (SUCCEEDED(hr))
            Current = type;
        return hr;
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
    std::string Label() const override { return "StreamConfig." + OwnerKind; }
    std::string OwnerKind;
    std::vector<TAMMediaType> Modes;
    TAMMediaType Current;
};

class TFakeFilter : public TFakeObject, public IBaseFilter {
  public:
    TFakeFilter(std::string kind, std::shared_ptr<TFakeScript> script, std::set<TIID> offered = {})
        : TFakeObject(std::move(kind), std::move(script), Offering(std::move(offered))) {
        ++LiveFilterCount;
    }
    ~TFakeFilter() override { --LiveFilterCount; }

    static std::set<TIID> Offering(std::set<TIID> offered) {
        offered.insert(TIID::IBaseFilter);
        return offered;
    }

    HRESULT EnumPins(std::vector<std::shared_ptr<IPin>>& pins) override {
        const HRESULT hr = Script->Result("EnumPins(" + Kind + ")");
        if (SUCCEEDED(hr))
            pins.assign(Pins.begin(), Pins.end());
        return hr;
    }

    std::shared_ptr<TFakePin> AddPin(const std::string& name, TPinDirection direction,
                                     TPinCategory category, TMediaKind kind,
                                     bool streamControl = false) {
        auto pin = std::make_shared<TFakePin>(
            Script, std::dynamic_pointer_cast<TFakeFilter>(shared_from_this()), name, direction,
            category, kind, streamControl);
        Pins.push_back(pin);
        return pin;
    }

    std::shared_ptr<TFakePin> FreePin(TPinDirection direction, TPinCategory category,
                                      const TGuid* type) const {
        for (const auto& pin : Pins) {
            if (pin->Direction != direction || !pin->Peer.expired())
                continue;
            if (category != TPinCategory::None && pin->Category != category)
                continue;
            if (type != nullptr && !KindMatches(pin->Kind, *type))
                continue;
            return pin;
        }
        return nullptr;
    }

    static bool KindMatches(TMediaKind kind, const TGuid& type) {
        return (kind == TMediaKind::Video && type == MEDIATYPE_Video) ||
               (kind == TMediaKind::Audio && type == MEDIATYPE_Audio) ||
               (kind == TMediaKind::Interleaved && type == MEDIATYPE_Interleaved);
    }

    std::vector<std::shared_ptr<TFakePin>> Pins;
    std::shared_ptr<TFakeStreamConfig> StreamConfig;
    std::string GraphName;
    bool AcceptsMoreInputs = false; // a multiplexer grows an input per connection
};

HRESULT TFakePin::QueryPinInfo(TPinInfo& info) {
    const HRESULT hr = Script->Result("QueryPinInfo(" + FullName() + ")");
    if (SUCCEEDED(hr))
        info = {Owner.lock(), Direction, Name};
    return hr;
}

std::string TFakePin::FullName() const {
    const auto owner = Owner.lock();
    return (owner ? owner->Kind : std::string("?")) + "." + Name;
}

class TFakeGrabber : public TFakeFilter, public ISampleGrabber {
  public:
    TFakeGrabber(std::shared_ptr<TFakeScript> script, const TAMMediaType* format)
        : TFakeFilter("SampleGrabber", std::move(script), {TIID::ISampleGrabber}), Format(format) {}
    HRESULT SetMediaType(const TAMMediaType& type) override {
        Wanted = type;
        return Script->Result("SetMediaType(" + std::to_string(type.subtype.Data1) + ")");
    }
    HRESULT GetConnectedMediaType(TAMMediaType& type) override {
        const HRESULT hr = Script->Result("GetConnectedMediaType");
        if (SUCCEEDED(hr))
            type = *Format;
        return hr;
    }
    HRESULT SetBufferSamples(bool buffer) override {
        return Script->Result(std::string("SetBufferSamples(") + (buffer ? "1" : "0") + ")");
    }
    HRESULT SetOneShot(bool oneShot) override {
        return Script->Result(std::string("SetOneShot(") + (oneShot ? "1" : "0") + ")");
    }
    HRESULT SetCallback(ISampleGrabberCB* callback, int which) override {
        Callback = callback;
        return Script->Result("SetCallback(" + std::to_string(which) + ")");
    }
    TAMMediaType Wanted;
    const TAMMediaType* Format;
    ISampleGrabberCB* Callback = nullptr;
};

class TFakeMux : public TFakeFilter, public IConfigAviMux {
  public:
    explicit TFakeMux(std::shared_ptr<TFakeScript> script)
        : TFakeFilter("AviMux", std::move(script), {TIID::IConfigAviMux}) {
        AcceptsMoreInputs = true;
    }
    HRESULT SetMasterStream(int stream) override {
        return Script->Result("SetMasterStream(" + std::to_string(stream) + ")");
    }
    HRESULT SetOutputCompatibilityIndex(bool oldIndex) override {
        return Script->Result(std::string("SetOutputCompatibilityIndex(") + (oldIndex ? "1" : "0") +
                              ")");
    }
};

class TFakeFileWriter : public TFakeFilter, public IFileSinkFilter, public IFileSinkFilter2 {
  public:
    explicit TFakeFileWriter(std::shared_ptr<TFakeScript> script)
        : TFakeFilter("FileWriter", std::move(script),
                      {TIID::IFileSinkFilter, TIID::IFileSinkFilter2}) {}
    HRESULT SetFileName(const std::string& fileName) override {
        return Script->Result("SetFileName(" + fileName + ")");
    }
    HRESULT SetMode(long flags) override {
        return Script->Result("SetMode(" + std::to_string(flags) + ")");
    }
};

class TFakeDVDecoder : public TFakeFilter, public IIPDVDec {
  public:
    explicit TFakeDVDecoder(std::shared_ptr<TFakeScript> script)
        : TFakeFilter("DVVideoCodec", std::move(script), {TIID::IIPDVDec}) {}
    HRESULT get_IPDisplay(int& display) override {
        display = Display;
        return S_OK;
    }
    HRESULT put_IPDisplay(int display) override {
        Display = display;
        return Script->Result("put_IPDisplay(" + std::to_string(display) + ")");
    }
    int Display = DVRESOLUTION_FULL;
};

class TFakeGraph : public TFakeObject,
                   public IGraphBuilder,
                   public IMediaControl,
                   public IMediaEventEx,
                   public IVideoWindow {
  public:
    explicit TFakeGraph(std::shared_ptr<TFakeScript> script)
        : TFakeObject("Graph", std::move(script),
                      {TIID::IGraphBuilder, TIID::IMediaControl, TIID::IMediaEventEx,
                       TIID::IVideoWindow}) {}

    HRESULT AddFilter(const std::shared_ptr<IBaseFilter>& filter,
                      const std::string& name) override {
        const auto fake = std::dynamic_pointer_cast<TFakeFilter>(filter);
        const HRESULT hr =
            Script->Result("AddFilter(" + (fake ? fake->Kind : "?") + "," + name + ")");
        if (SUCCEEDED(hr) && fake) {
            fake->GraphName = name;
            Filters.push_back(fake);
        }
        return hr;
    }
    HRESULT RemoveFilter(const std::shared_ptr<IBaseFilter>& filter) override {
        const auto fake = std::dynamic_pointer_cast<TFakeFilter>(filter);
        std::erase(Filters, fake);
        return Script->Result("RemoveFilter(" + (fake ? fake->Kind : "?") + ")");
    }
    HRESULT FindFilterByName(const std::string& name,
                             std::shared_ptr<IBaseFilter>& filter) override {
        const HRESULT hr = Script->Result("FindFilterByName(" + name + ")");
        if (FAILED(hr))
            return hr;
        const auto found = std::find_if(Filters.begin(), Filters.end(),
                                        [&](const auto& f) { return f->GraphName == name; });
        if (found == Filters.end())
            return VFW_E_NOT_FOUND;
        filter = *found;
        return S_OK;
    }
    HRESULT Disconnect(const std::shared_ptr<IPin>& pin) override {
        const auto fake = std::dynamic_pointer_cast<TFakePin>(pin);
        if (!fake)
            return E_POINTER;
        const bool connected = !fake->Peer.expired();
        fake->Peer.reset();
        Script->Result("Disconnect(" + fake->FullName() + ")");
        return connected ? S_OK : S_FALSE;
    }
    HRESULT Run() override { return Script->Result("Run"); }
    HRESULT Stop() override { return Script->Result("Stop"); }
    HRESULT SetNotifyWindow(std::function<void()> notify) override {
        Notify = std::move(notify);
        return Script->Result("SetNotifyWindow");
    }
    HRESULT GetEvent(long& code, std::intptr_t& param1, std::intptr_t& param2) override {
        if (Events.empty())
            return E_FAIL;
        code = Events.front();
        Events.pop_front();
        param1 = param2 = 0;
        return S_OK;
    }
    HRESULT FreeEventParams(long, std::intptr_t, std::intptr_t) override { return S_OK; }
    HRESULT put_Owner(QWidget* owner) override {
        return Script->Result(owner ? "put_Owner(window)" : "put_Owner(none)");
    }
    HRESULT put_WindowStyle(long) override { return Script->Result("put_WindowStyle"); }
    HRESULT SetWindowPosition(int left, int top, int width, int height) override {
        return Script->Result("SetWindowPosition(" + std::to_string(left) + "," +
                              std::to_string(top) + "," + std::to_string(width) + "," +
                              std::to_string(height) + ")");
    }
    HRESULT put_Visible(bool visible) override {
        return Script->Result(std::string("put_Visible(") + (visible ? "1" : "0") + ")");
    }

    std::vector<std::shared_ptr<TFakeFilter>> Filters;
    std::deque<long> Events;
    std::function<void()> Notify;
};

// ---- wiring ----------------------------------------------------------------------------

namespace {

std::shared_ptr<TFakeFilter> MakeFilter(const std::string& kind,
                                        const std::shared_ptr<TFakeScript>& script,
                                        const TAMMediaType* grabberFormat) {
    if (kind == "SampleGrabber") {
        auto grabber = std::make_shared<TFakeGrabber>(script, grabberFormat);
        grabber->AddPin("In", TPinDirection::Input, TPinCategory::None, TMediaKind::Video);
        grabber->AddPin("Out", TPinDirection::Output, TPinCategory::None, TMediaKind::Video);
        return grabber;
    }
    if (kind == "DVVideoCodec") {
        auto decoder = std::make_shared<TFakeDVDecoder>(script);
        decoder->AddPin("In", TPinDirection::Input, TPinCategory::None, TMediaKind::Interleaved);
        decoder->AddPin("Out", TPinDirection::Output, TPinCategory::None, TMediaKind::Video);
        return decoder;
    }
    auto filter = std::make_shared<TFakeFilter>(kind, script);
    const auto in = [&](TMediaKind media) {
        filter->AddPin("In", TPinDirection::Input, TPinCategory::None, media);
    };
    const auto out = [&](const char* name, TPinCategory category, TMediaKind media,
                         bool control = false) {
        filter->AddPin(name, TPinDirection::Output, category, media, control);
    };
    if (kind == "SmartTee") {
        in(TMediaKind::Video);
        out("Capture", TPinCategory::Capture, TMediaKind::Video, true);
        out("Preview", TPinCategory::Preview, TMediaKind::Video);
    } else if (kind == "InfTee") {
        in(TMediaKind::Audio);
        out("Out1", TPinCategory::None, TMediaKind::Audio);
        out("Out2", TPinCategory::None, TMediaKind::Audio);
    } else if (kind == "DVSplitter") {
        in(TMediaKind::Interleaved);
        out("DVVidOut", TPinCategory::None, TMediaKind::Interleaved);
        out("AudOut", TPinCategory::None, TMediaKind::Audio);
    } else if (kind == "VideoRenderer" || kind == "VideoCompressor") {
        in(TMediaKind::Video);
        if (kind == "VideoCompressor")
            out("Out", TPinCategory::None, TMediaKind::Video);
    } else if (kind == "AudioRenderer" || kind == "AudioCompressor") {
        in(TMediaKind::Audio);
        if (kind == "AudioCompressor")
            out("Out", TPinCategory::None, TMediaKind::Audio);
    }
    return filter;
}

void Connect(const std::shared_ptr<TFakePin>& out, const std::shared_ptr<TFakePin>& in) {
    out->Peer = in;
    in->Peer = out;
}

class TFakeMoniker : public IMoniker {
  public:
    TFakeMoniker(std::shared_ptr<TFakeScript> script, TFakeDevice device, TDeviceCategory category)
        : Script(std::move(script)), Device(std::move(device)), Category(category) {}
    HRESULT ReadFriendlyName(std::string& name) override {
        name = Device.FriendlyName;
        return Script->Result("ReadFriendlyName(" + Device.FriendlyName + ")");
    }
    HRESULT GetDisplayName(std::string& name) override {
        name = Device.DisplayName.empty() ? Device.FriendlyName : Device.DisplayName;
        return S_OK;
    }
    HRESULT BindToObject(std::shared_ptr<IBaseFilter>& filter) override {
        const HRESULT hr = Script->Result("BindToObject(" + Device.FriendlyName + ")");
        if (FAILED(hr))
            return hr;
        const bool video = Category == TDeviceCategory::VideoInputDevice;
        const bool audio = Category == TDeviceCategory::AudioInputDevice;
        const std::string kind = video                                          ? "VideoCapture"
                                 : audio                                        ? "AudioCapture"
                                 : Category == TDeviceCategory::VideoCompressor ? "VideoCompressor"
                                                                                : "AudioCompressor";
        auto made = MakeFilter(kind, Script, nullptr);
        made->Offered.insert(Device.Interfaces.begin(), Device.Interfaces.end());
        made->VfwDialogs = Device.VfwDialogs;
        if (video || audio) {
            const TMediaKind media = audio       ? TMediaKind::Audio
                                     : Device.DV ? TMediaKind::Interleaved
                                                 : TMediaKind::Video;
            made->AddPin("Capture", TPinDirection::Output, TPinCategory::Capture, media);
            if (!Device.Modes.empty())
                made->StreamConfig =
                    std::make_shared<TFakeStreamConfig>(Script, kind, Device.Modes);
            if (made->StreamConfig && Device.PinPages)
                made->StreamConfig->Offered.insert(TIID::ISpecifyPropertyPages);
        }
        filter = made;
        return S_OK;
    }
    std::shared_ptr<TFakeScript> Script;
    TFakeDevice Device;
    TDeviceCategory Category;
};

class TFakeBuilder : public TFakeObject, public ICaptureGraphBuilder2 {
  public:
    TFakeBuilder(std::shared_ptr<TFakeScript> script, const TAMMediaType* grabberFormat)
        : TFakeObject("Builder", std::move(script), {TIID::ICaptureGraphBuilder2}),
          GrabberFormat(grabberFormat) {}

    HRESULT SetFiltergraph(const std::shared_ptr<IGraphBuilder>& graph) override {
        Graph = std::dynamic_pointer_cast<TFakeGraph>(graph);
        return Script->Result("SetFiltergraph");
    }

    HRESULT FindInterface(TPinCategory category, const TGuid* type,
                          const std::shared_ptr<IBaseFilter>& filter, TIID iid,
                          std::shared_ptr<IUnknown>& found) override {
        const auto fake = std::dynamic_pointer_cast<TFakeFilter>(filter);
        const HRESULT hr =
            Script->Result("FindInterface(" + CategoryText(category) + "," + TypeText(type) + "," +
                           (fake ? fake->Kind : "-") + "," + IIDText(iid) + ")");
        if (FAILED(hr) || !fake)
            return FAILED(hr) ? hr : E_POINTER;
        if (fake->Offers(iid)) {
            found = fake;
            return S_OK;
        }
        const bool pinMatches =
            std::any_of(fake->Pins.begin(), fake->Pins.end(), [&](const auto& p) {
                return p->Direction == TPinDirection::Output &&
                       (category == TPinCategory::None || p->Category == category) &&
                       (type == nullptr || TFakeFilter::KindMatches(p->Kind, *type));
            });
        if (iid == TIID::IAMStreamConfig && pinMatches && fake->StreamConfig &&
            !Script->Refusals.contains({fake->Kind, iid})) {
            found = fake->StreamConfig;
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    HRESULT RenderStream(TPinCategory category, const TGuid* type,
                         const std::shared_ptr<IBaseFilter>& source,
                         const std::shared_ptr<IBaseFilter>& intermediate,
                         const std::shared_ptr<IBaseFilter>& sink) override {
        const auto from = std::dynamic_pointer_cast<TFakeFilter>(source);
        const auto through = std::dynamic_pointer_cast<TFakeFilter>(intermediate);
        auto to = std::dynamic_pointer_cast<TFakeFilter>(sink);
        const HRESULT hr =
            Script->Result("RenderStream(" + CategoryText(category) + "," + TypeText(type) + "," +
                           (from ? from->Kind : "-") + "," + (through ? through->Kind : "-") + "," +
                           (to ? to->Kind : "-") + ")");
        if (FAILED(hr))
            return hr;
        if (!from || !Graph)
            return E_POINTER;
        auto out = from->FreePin(TPinDirection::Output, category, type);
        if (!out)
            return VFW_E_CANNOT_CONNECT;
        if (through) {
            Connect(out, through->FreePin(TPinDirection::Input, TPinCategory::None, nullptr));
            out = through->FreePin(TPinDirection::Output, TPinCategory::None, nullptr);
        }
        if (!to) {
            const bool audio = out->Kind == TMediaKind::Audio;
            to = MakeFilter(audio ? "AudioRenderer" : "VideoRenderer", Script, nullptr);
            Graph->Filters.push_back(to);
        }
        auto in = to->FreePin(TPinDirection::Input, TPinCategory::None, nullptr);
        if (!in && to->AcceptsMoreInputs)
            in = to->AddPin("In" + std::to_string(to->Pins.size()), TPinDirection::Input,
                            TPinCategory::None, out->Kind, true);
        if (!in)
            return VFW_E_CANNOT_CONNECT;
        Connect(out, in);
        return S_OK;
    }

    HRESULT SetOutputFileName(const TGuid& /*subtype*/, const std::string& fileName,
                              std::shared_ptr<IBaseFilter>& mux,
                              std::shared_ptr<IFileSinkFilter>& sink) override {
        const HRESULT hr = Script->Result("SetOutputFileName(" + fileName + ")");
        if (FAILED(hr) || !Graph)
            return FAILED(hr) ? hr : E_POINTER;
        auto fakeMux = std::make_shared<TFakeMux>(Script);
        fakeMux->AddPin("AVI Out", TPinDirection::Output, TPinCategory::None, TMediaKind::Video);
        auto writer = std::make_shared<TFakeFileWriter>(Script);
        writer->AddPin("In", TPinDirection::Input, TPinCategory::None, TMediaKind::Video);
        Connect(fakeMux->Pins.front(), writer->Pins.front());
        Graph->Filters.push_back(fakeMux);
        Graph->Filters.push_back(writer);
        mux = fakeMux;
        sink = writer;
        return S_OK;
    }

    HRESULT AllocCapFile(const std::string& fileName, std::uint64_t bytes) override {
        return Script->Result("AllocCapFile(" + fileName + "," + std::to_string(bytes) + ")");
    }

    HRESULT FindPin(const std::shared_ptr<IBaseFilter>& filter, TPinDirection direction,
                    TPinCategory /*category*/, const TGuid* /*type*/, bool unconnected, int index,
                    std::shared_ptr<IPin>& pin) override {
        const auto fake = std::dynamic_pointer_cast<TFakeFilter>(filter);
        const HRESULT hr = Script->Result("FindPin(" + (fake ? fake->Kind : "-") + "," +
                                          std::to_string(index) + ")");
        if (FAILED(hr) || !fake)
            return FAILED(hr) ? hr : E_POINTER;
        for (const auto& candidate : fake->Pins) {
            if (candidate->Direction != direction || (unconnected && !candidate->Peer.expired()))
                continue;
            if (index-- == 0) {
                pin = candidate;
                return S_OK;
            }
        }
        return VFW_E_NOT_FOUND;
    }

    std::shared_ptr<TFakeGraph> Graph;
    const TAMMediaType* GrabberFormat;
};

std::string ClassText(TCLSID clsid) {
    switch (clsid) {
    case TCLSID::FilterGraph:
        return "FilterGraph";
    case TCLSID::CaptureGraphBuilder2:
        return "CaptureGraphBuilder2";
    case TCLSID::SampleGrabber:
        return "SampleGrabber";
    case TCLSID::SmartTee:
        return "SmartTee";
    case TCLSID::InfTee:
        return "InfTee";
    case TCLSID::DVVideoCodec:
        return "DVVideoCodec";
    case TCLSID::DVSplitter:
        return "DVSplitter";
    }
    return "?";
}

} // namespace

TFakeCapturePlatform::TFakeCapturePlatform() {
    GrabberFormat = VideoType(MEDIASUBTYPE_RGB24, 320, 240, 24);
}

HRESULT TFakeCapturePlatform::CoCreateInstance(TCLSID clsid, std::shared_ptr<IUnknown>& object) {
    const std::string name = ClassText(clsid);
    const HRESULT hr = Script->Result("CoCreateInstance(" + name + ")");
    if (FAILED(hr))
        return hr;
    switch (clsid) {
    case TCLSID::FilterGraph: {
        auto graph = std::make_shared<TFakeGraph>(Script);
        LastGraph = graph;
        object = graph;
        break;
    }
    case TCLSID::CaptureGraphBuilder2:
        object = std::make_shared<TFakeBuilder>(Script, &GrabberFormat);
        break;
    default: {
        auto filter = MakeFilter(name, Script, &GrabberFormat);
        if (const auto grabber = std::dynamic_pointer_cast<TFakeGrabber>(filter))
            LastGrabber = grabber;
        object = filter;
        break;
    }
    }
    return S_OK;
}

HRESULT
TFakeCapturePlatform::CreateClassEnumerator(TDeviceCategory category,
                                            std::vector<std::shared_ptr<IMoniker>>& monikers) {
    const auto& devices = Devices[category];
    for (const TFakeDevice& device : devices)
        monikers.push_back(std::make_shared<TFakeMoniker>(Script, device, category));
    return devices.empty() ? S_FALSE : S_OK;
}

HRESULT TFakeCapturePlatform::OleCreatePropertyFrame(QWidget* /*owner*/, int x, int y,
                                                     const std::shared_ptr<IUnknown>& object) {
    const auto fake = std::dynamic_pointer_cast<TFakeObject>(object);
    return Script->Result("OleCreatePropertyFrame(" + (fake ? fake->Label() : "?") + "," +
                          std::to_string(x) + "," + std::to_string(y) + ")");
}

namespace {

class TFakeArrivalWatch : public IDeviceArrivalWatch {
  public:
    explicit TFakeArrivalWatch(std::shared_ptr<std::function<void()>> slot)
        : Slot(std::move(slot)) {}
    ~TFakeArrivalWatch() override { *Slot = nullptr; }
    TFakeArrivalWatch(const TFakeArrivalWatch&) = delete;
    TFakeArrivalWatch& operator=(const TFakeArrivalWatch&) = delete;

  private:
    std::shared_ptr<std::function<void()>> Slot;
};

} // namespace

std::unique_ptr<IDeviceArrivalWatch>
TFakeCapturePlatform::WatchDeviceArrivals(std::function<void()> arrived) {
    Script->Result("WatchDeviceArrivals");
    *Arrival = std::move(arrived);
    return std::make_unique<TFakeArrivalWatch>(Arrival);
}

void TFakeCapturePlatform::DeviceArrived() {
    // A copy: the handler may end the watch it was called through.
    if (const std::function<void()> arrived = *Arrival)
        arrived();
}

void TFakeCapturePlatform::RaiseEvent(long code) {
    const auto graph = LastGraph.lock();
    if (!graph)
        return;
    graph->Events.push_back(code);
    if (graph->Notify)
        graph->Notify();
}

void TFakeCapturePlatform::DeliverFrame(const std::vector<std::uint8_t>& bytes) {
    const auto grabber = LastGrabber.lock();
    if (!grabber || grabber->Callback == nullptr)
        return;
    std::thread streaming(
        [&] { grabber->Callback->BufferCB(0.0, bytes.data(), static_cast<long>(bytes.size())); });
    streaming.join();
}

int TFakeCapturePlatform::LiveFilters() {
    return LiveFilterCount;
}

std::vector<std::string> TFakeCapturePlatform::GraphFilterKinds() const {
    std::vector<std::string> kinds;
    if (const auto graph = LastGraph.lock())
        for (const auto& filter : graph->Filters)
            kinds.push_back(filter->Kind);
    return kinds;
}
