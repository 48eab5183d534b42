#include "GstDevices.h"

#include "GstFilters.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <string>
#include <string_view>

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

std::vector<std::shared_ptr<IMoniker>> SourceMonikers(TGstDeviceMonitor& monitor,
                                                      const char* deviceClass,
                                                      const char* builtInName, bool video) {
    std::vector<std::shared_ptr<IMoniker>> monikers;
    const auto create = video ? CreateVideoSourceFilter : CreateAudioSourceFilter;
    for (TGstDeviceRef& device : monitor.Devices(deviceClass)) {
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

std::vector<std::shared_ptr<IMoniker>> EnumerateCategory(TGstDeviceMonitor& monitor,
                                                         TDeviceCategory category) {
    switch (category) {
    case TDeviceCategory::VideoInputDevice:
        return SourceMonikers(monitor, VideoSourceClass, "Test Pattern", true);
    case TDeviceCategory::AudioInputDevice:
        return SourceMonikers(monitor, AudioSourceClass, "Test Tone", false);
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

struct TGstDeviceMonitor::TWatcher {
    TReport Removed;
    TReport Added;
};

class TGstDeviceMonitor::TWatchHandle : public TWatch {
  public:
    explicit TWatchHandle(std::shared_ptr<TWatcher> watcher) : Watcher(std::move(watcher)) {}

  private:
    std::shared_ptr<TWatcher> Watcher;
};

std::shared_ptr<TGstDeviceMonitor> TGstDeviceMonitor::Shared() {
    // The one instance lives as long as someone holds it; the next user after that starts a
    // new one.
    static std::weak_ptr<TGstDeviceMonitor> shared;
    std::shared_ptr<TGstDeviceMonitor> monitor = shared.lock();
    if (!monitor) {
        monitor = std::make_shared<TGstDeviceMonitor>();
        shared = monitor;
    }
    return monitor;
}

TGstDeviceMonitor::TGstDeviceMonitor() = default;

TGstDeviceMonitor::~TGstDeviceMonitor() {
    for (TClassMonitor* monitor : {&Video, &Audio}) {
        monitor->BusWatch.reset();
        if (monitor->Started)
            gst_device_monitor_stop(monitor->Monitor.Get());
    }
}

// Started on first use and then kept running: a program that never lists sound devices never
// starts the sound server's provider.
TGstDeviceMonitor::TClassMonitor& TGstDeviceMonitor::Running(const char* deviceClass) {
    const bool video = std::string_view(deviceClass) == VideoSourceClass;
    TClassMonitor& monitor = video ? Video : Audio;
    if (!monitor.Monitor)
        Start(monitor, video ? VideoSourceClass : AudioSourceClass);
    return monitor;
}

void TGstDeviceMonitor::Start(TClassMonitor& monitor, const char* deviceClass) {
    monitor.Monitor = TGstHandle<GstDeviceMonitor>::Adopt(gst_device_monitor_new());
    monitor.Bus = TGstBusRef::Adopt(gst_device_monitor_get_bus(monitor.Monitor.Get()));
    gst_device_monitor_add_filter(monitor.Monitor.Get(), deviceClass, nullptr);
    if (QCoreApplication::instance()) {
        GPollFD poll{};
        gst_bus_get_pollfd(monitor.Bus.Get(), &poll);
        monitor.BusWatch = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
        QObject::connect(monitor.BusWatch.get(), &QSocketNotifier::activated,
                         [this, &monitor] { Drain(monitor); });
    }
    monitor.Started = gst_device_monitor_start(monitor.Monitor.Get());
}

std::vector<TGstDeviceRef> TGstDeviceMonitor::Devices(const char* deviceClass) {
    TClassMonitor& monitor = Running(deviceClass);
    // News of devices that came or went meanwhile is handed out first.
    Drain(monitor);
    std::vector<TGstDeviceRef> devices;
    if (!monitor.Started)
        return devices;
    // Only providers that run are asked: asking one that could not start makes it probe
    // afresh each time (and a sound provider without its server leaks doing so). Providers
    // hidden by another that covers their devices are left out, as the monitor does.
    const auto names =
        TGstHandle<gchar*>::Adopt(gst_device_monitor_get_providers(monitor.Monitor.Get()));
    std::vector<TGstHandle<GstDeviceProvider>> running;
    std::vector<std::string> hidden;
    for (gchar** name = names.Get(); name && *name; ++name) {
        auto provider =
            TGstHandle<GstDeviceProvider>::Adopt(gst_device_provider_factory_get_by_name(*name));
        if (!provider || !gst_device_provider_is_started(provider.Get()))
            continue;
        const auto hides =
            TGstHandle<gchar*>::Adopt(gst_device_provider_get_hidden_providers(provider.Get()));
        for (gchar** other = hides.Get(); other && *other; ++other)
            hidden.emplace_back(*other);
        running.push_back(std::move(provider));
    }
    for (const auto& provider : running) {
        GstDeviceProviderFactory* factory = gst_device_provider_get_factory(provider.Get());
        const char* factoryName = factory ? GST_OBJECT_NAME(factory) : "";
        if (std::find(hidden.begin(), hidden.end(), factoryName) != hidden.end())
            continue;
        GList* const list = gst_device_provider_get_devices(provider.Get());
        for (GList* item = list; item; item = item->next) {
            TGstDeviceRef device = TGstDeviceRef::Adopt(GST_DEVICE(item->data));
            if (gst_device_has_classes(device.Get(), deviceClass))
                devices.push_back(std::move(device));
        }
        g_list_free(list);
    }
    return devices;
}

std::unique_ptr<TGstDeviceMonitor::TWatch> TGstDeviceMonitor::Watch(TReport removed,
                                                                    TReport added) {
    auto watcher = std::make_shared<TWatcher>(TWatcher{std::move(removed), std::move(added)});
    std::erase_if(Watchers, [](const std::weak_ptr<TWatcher>& gone) { return gone.expired(); });
    Watchers.push_back(watcher);
    return std::make_unique<TWatchHandle>(std::move(watcher));
}

void TGstDeviceMonitor::Drain(TClassMonitor& monitor) {
    while (const auto message = TGstHandle<GstMessage>::Adopt(gst_bus_pop(monitor.Bus.Get()))) {
        const GstMessageType type = GST_MESSAGE_TYPE(message.Get());
        if (type != GST_MESSAGE_DEVICE_REMOVED && type != GST_MESSAGE_DEVICE_ADDED)
            continue;
        GstDevice* parsed = nullptr;
        if (type == GST_MESSAGE_DEVICE_REMOVED)
            gst_message_parse_device_removed(message.Get(), &parsed);
        else
            gst_message_parse_device_added(message.Get(), &parsed);
        const TGstDeviceRef device = TGstDeviceRef::Adopt(parsed);
        // A report may end any watch, its own included; each is held while it runs.
        const std::vector<std::weak_ptr<TWatcher>> watchers = Watchers;
        for (const std::weak_ptr<TWatcher>& weak : watchers) {
            const std::shared_ptr<TWatcher> watcher = weak.lock();
            if (!watcher)
                continue;
            const TReport& report =
                type == GST_MESSAGE_DEVICE_REMOVED ? watcher->Removed : watcher->Added;
            if (report)
                report(device.Get());
        }
    }
}
