#include "GstDevices.h"

#include "GstFilters.h"

#include <QSocketNotifier>

#include <algorithm>
#include <string>

namespace {

constexpr const char* VideoSourceClass = "Video/Source";
constexpr const char* AudioSourceClass = "Audio/Source";

// A device or compressor: its name and how to make its filter.
class TFilterMoniker : public IMoniker {
  public:
    TFilterMoniker(std::string name, std::string identity,
                   std::function<std::shared_ptr<TGstFilter>()> bind)
        : Name(std::move(name)), Identity(std::move(identity)), Bind(std::move(bind)) {}

    HRESULT ReadFriendlyName(std::string& name) override {
        name = Name;
        return S_OK;
    }

    HRESULT GetDisplayName(std::string& name) override {
        name = Identity;
        return S_OK;
    }

    // Every call makes a fresh filter, as binding a moniker does.
    HRESULT BindToObject(std::shared_ptr<IBaseFilter>& filter) override {
        filter = Bind();
        return filter ? S_OK : E_FAIL;
    }

  private:
    std::string Name;
    std::string Identity;
    std::function<std::shared_ptr<TGstFilter>()> Bind;
};

std::string DisplayName(GstDevice* device) {
    const TGstString name = TGstString::Adopt(gst_device_get_display_name(device));
    return name ? name.Get() : "";
}

// What names the same device in every enumeration: its device node when it has one, else all
// its properties, else its name.
std::string DeviceIdentity(GstDevice* device) {
    const auto properties = TGstHandle<GstStructure>::Adopt(gst_device_get_properties(device));
    if (!properties)
        return DisplayName(device);
    if (const char* path = gst_structure_get_string(properties.Get(), "device.path"))
        return path;
    if (const char* path = gst_structure_get_string(properties.Get(), "api.v4l2.path"))
        return path;
    const TGstString text = TGstString::Adopt(gst_structure_to_string(properties.Get()));
    return text ? text.Get() : DisplayName(device);
}

// The devices of one class in the monitor's order. A monitor that cannot start (no sound
// server, for one) means there are none.
std::vector<TGstDeviceRef> ListDevices(const char* deviceClass) {
    const auto monitor = TGstHandle<GstDeviceMonitor>::Adopt(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor.Get(), deviceClass, nullptr);
    std::vector<TGstDeviceRef> devices;
    if (!gst_device_monitor_start(monitor.Get()))
        return devices;
    GList* const list = gst_device_monitor_get_devices(monitor.Get());
    for (GList* item = list; item; item = item->next)
        devices.push_back(TGstDeviceRef::Adopt(GST_DEVICE(item->data)));
    g_list_free(list);
    gst_device_monitor_stop(monitor.Get());
    return devices;
}

std::vector<std::shared_ptr<IMoniker>> SourceMonikers(const char* deviceClass,
                                                      const char* builtInName, bool video) {
    std::vector<std::shared_ptr<IMoniker>> monikers;
    const auto create = video ? CreateVideoSourceFilter : CreateAudioSourceFilter;
    for (TGstDeviceRef& device : ListDevices(deviceClass)) {
        std::string name = DisplayName(device.Get());
        std::string identity = DeviceIdentity(device.Get());
        monikers.push_back(std::make_shared<TFilterMoniker>(
            std::move(name), std::move(identity),
            [device = std::move(device), create] { return create(device); }));
    }
    monikers.push_back(std::make_shared<TFilterMoniker>(
        builtInName, builtInName, [create] { return create(TGstDeviceRef()); }));
    return monikers;
}

std::vector<std::shared_ptr<IMoniker>> CompressorMonikers(const char* klass, TMediaKind kind) {
    using TFactory = TGstHandle<GstElementFactory>;
    std::vector<std::pair<std::string, TFactory>> found;
    GList* const features =
        gst_registry_get_feature_list(gst_registry_get(), GST_TYPE_ELEMENT_FACTORY);
    for (GList* item = features; item; item = item->next) {
        auto* factory = GST_ELEMENT_FACTORY(item->data);
        const char* factoryClass =
            gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
        const char* longName =
            gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME);
        if (factoryClass && longName && std::string(factoryClass).find(klass) != std::string::npos)
            found.emplace_back(longName, TFactory::Retain(factory));
    }
    gst_plugin_feature_list_free(features);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<IMoniker>> monikers;
    for (auto& [name, factory] : found)
        monikers.push_back(
            std::make_shared<TFilterMoniker>(name, name, [factory = std::move(factory), kind] {
                return CreateCompressorFilter(factory.Get(), kind);
            }));
    return monikers;
}

} // namespace

std::vector<std::shared_ptr<IMoniker>> EnumerateCategory(TDeviceCategory category) {
    switch (category) {
    case TDeviceCategory::VideoInputDevice:
        return SourceMonikers(VideoSourceClass, "Test Pattern", true);
    case TDeviceCategory::AudioInputDevice:
        return SourceMonikers(AudioSourceClass, "Test Tone", false);
    case TDeviceCategory::VideoCompressor:
        return CompressorMonikers("Codec/Encoder/Video", TMediaKind::Video);
    case TDeviceCategory::AudioCompressor:
        return CompressorMonikers("Codec/Encoder/Audio", TMediaKind::Audio);
    }
    return {};
}

bool SameDevice(GstDevice* a, GstDevice* b) {
    if (a == b)
        return true;
    if (!a || !b || DisplayName(a) != DisplayName(b))
        return false;
    const TGstHandle<GstStructure> first =
        TGstHandle<GstStructure>::Adopt(gst_device_get_properties(a));
    const TGstHandle<GstStructure> second =
        TGstHandle<GstStructure>::Adopt(gst_device_get_properties(b));
    if (!first || !second)
        return !first && !second;
    return gst_structure_is_equal(first.Get(), second.Get());
}

TDeviceWatch::TDeviceWatch(TReport removed, TReport added)
    : Removed(std::move(removed)), Added(std::move(added)),
      Monitor(TGstHandle<GstDeviceMonitor>::Adopt(gst_device_monitor_new())),
      Bus(TGstBusRef::Adopt(gst_device_monitor_get_bus(Monitor.Get()))) {
    gst_device_monitor_add_filter(Monitor.Get(), VideoSourceClass, nullptr);
    gst_device_monitor_add_filter(Monitor.Get(), AudioSourceClass, nullptr);
    GPollFD poll{};
    gst_bus_get_pollfd(Bus.Get(), &poll);
    Watch = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
    QObject::connect(Watch.get(), &QSocketNotifier::activated, [this] { Drain(); });
    Started = gst_device_monitor_start(Monitor.Get());
}

TDeviceWatch::~TDeviceWatch() {
    Watch.reset();
    if (Started)
        gst_device_monitor_stop(Monitor.Get());
}

void TDeviceWatch::Drain() {
    while (const auto message = TGstHandle<GstMessage>::Adopt(gst_bus_pop(Bus.Get()))) {
        GstDevice* device = nullptr;
        if (GST_MESSAGE_TYPE(message.Get()) == GST_MESSAGE_DEVICE_REMOVED) {
            gst_message_parse_device_removed(message.Get(), &device);
            const TGstDeviceRef gone = TGstDeviceRef::Adopt(device);
            if (Removed)
                Removed(gone.Get());
        } else if (GST_MESSAGE_TYPE(message.Get()) == GST_MESSAGE_DEVICE_ADDED) {
            gst_message_parse_device_added(message.Get(), &device);
            const TGstDeviceRef arrived = TGstDeviceRef::Adopt(device);
            if (Added)
                Added(arrived.Get());
        }
    }
}
