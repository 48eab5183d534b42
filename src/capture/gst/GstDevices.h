#pragma once

// Devices and compressors as the enumeration lists them, and the watch that notices a device
// going away while a graph uses it.

#include "CapturePlatform.h"
#include "GstHandle.h"

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// The monikers of one category, in a stable order: the devices GStreamer finds, then the
// built-in source of the category; compressors sorted by name.
std::vector<std::shared_ptr<IMoniker>> EnumerateCategory(TDeviceCategory category);

// Whether two device objects (from different monitors) stand for the same device.
bool SameDevice(GstDevice* a, GstDevice* b);

// Watches capture devices on the GUI thread and reports each one that is removed or added.
class TDeviceWatch {
  public:
    using TReport = std::function<void(GstDevice*)>;
    explicit TDeviceWatch(TReport removed, TReport added = {});
    ~TDeviceWatch();
    TDeviceWatch(const TDeviceWatch&) = delete;
    TDeviceWatch& operator=(const TDeviceWatch&) = delete;

  private:
    void Drain();

    TReport Removed;
    TReport Added;
    TGstHandle<GstDeviceMonitor> Monitor;
    TGstBusRef Bus;
    std::unique_ptr<QSocketNotifier> Watch;
    bool Started = false;
};
