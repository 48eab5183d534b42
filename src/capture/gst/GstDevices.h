#pragma once

// Devices and compressors as the enumeration lists them, and the program's one device monitor,
// which both lists the devices and reports them coming and going.

#include "CapturePlatform.h"
#include "GstHandle.h"

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// The program's running device monitors, one for video and one for sound sources, shared by
// everything that lists or watches devices for as long as any of it lives. A monitor is never
// started and stopped for a single listing: with GStreamer 1.22 that silences another running
// monitor, and an unplugged camera would then go unnoticed. Used on the GUI thread only.
class TGstDeviceMonitor {
  public:
    using TReport = std::function<void(GstDevice*)>;
    // Keeps its reports coming while it lives.
    class TWatch {
      public:
        virtual ~TWatch() = default;
    };

    static std::shared_ptr<TGstDeviceMonitor> Shared();
    TGstDeviceMonitor();
    ~TGstDeviceMonitor();
    TGstDeviceMonitor(const TGstDeviceMonitor&) = delete;
    TGstDeviceMonitor& operator=(const TGstDeviceMonitor&) = delete;

    // The devices of one class ("Video/Source", "Audio/Source") in the providers' order; none
    // when no provider of that class could start (no sound server, for one).
    std::vector<TGstDeviceRef> Devices(const char* deviceClass);
    // Reports each device removed or added, on the GUI thread; either report may be empty. A
    // class is watched from its first listing on, as its devices are known from then.
    std::unique_ptr<TWatch> Watch(TReport removed, TReport added);

  private:
    struct TWatcher;
    class TWatchHandle;
    // One class of devices: its monitor, started once, and the watch on its bus.
    struct TClassMonitor {
        TGstHandle<GstDeviceMonitor> Monitor;
        TGstBusRef Bus;
        std::unique_ptr<QSocketNotifier> BusWatch;
        bool Started = false;
    };
    TClassMonitor& Running(const char* deviceClass);
    void Start(TClassMonitor& monitor, const char* deviceClass);
    void Drain(TClassMonitor& monitor);

    TClassMonitor Video;
    TClassMonitor Audio;
    std::vector<std::weak_ptr<TWatcher>> Watchers;
};

// The monikers of one category, in a stable order: the devices GStreamer finds, then the
// built-in source of the category; compressors sorted by name.
std::vector<std::shared_ptr<IMoniker>> EnumerateCategory(TGstDeviceMonitor& monitor,
                                                         TDeviceCategory category);

// Whether two device objects (from different listings) stand for the same device.
bool SameDevice(GstDevice* a, GstDevice* b);
