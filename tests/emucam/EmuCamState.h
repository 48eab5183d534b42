#pragma once

// What every provider and source of the plugin shares: the faults the tests switch on and
// whether the USB camera is plugged in. Plugin-wide rather than per provider, so that a test
// reaches the running sources and monitors whichever provider object it sets the properties on.

#include "EmuCamRef.h"

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace emucam {

struct TPlugging {
    bool Plugged = true;
    // Counts the unplugs: a source opened before the latest one has lost its camera even when
    // it is back.
    std::uint64_t Generation = 0;
};

class TEmuCamState {
  public:
    static TEmuCamState& Instance();

    std::atomic<unsigned> TruncateEvery{0};
    std::atomic<bool> Corrupt{false};
    std::atomic<std::uint64_t> FramesSent{0};

    TPlugging Plugging() const;

    // Plugs or unplugs the camera and hands back the running providers, each with a reference,
    // so that they bring their devices up to date.
    std::vector<TObjectRef<GstDeviceProvider>> SetPlugged(bool plugged);

    // A provider starts or stops listing. Starting tells it the plugging it begins with, read in
    // the same step so that no plug change falls between the two.
    TPlugging AddRunning(GstDeviceProvider* provider);
    void RemoveRunning(GstDeviceProvider* provider);

  private:
    mutable std::mutex Lock;
    TPlugging Plug;
    std::vector<GstDeviceProvider*> Running;
};

} // namespace emucam
