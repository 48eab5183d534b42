// The chosen camera unplugged and plugged in again: the preview comes back by itself.
#include "VideoCapture.h"

#include "CaptureUtils.h"

#include <utility>

namespace {

// Tries after one arrival, RestoreIntervalMs apart: about three seconds in all.
constexpr int RestoreAttemptsPerArrival = 6;

} // namespace

void TVideoCapture::WaitForLostDevice() {
    if (FLostConfig || !FVideoDevice)
        return;
    // Taken now, while the lists still hold the lost camera's entry, so its unique name is known.
    TGraphConfig config;
    SaveConfig(&config);
    if (config.VCapSource.isEmpty())
        return;
    FLostConfig = config;
    FArrivals = Platform->WatchDeviceArrivals([this] {
        FRestoreAttempts = 0;
        if (!FRestoreTimer->isActive()) {
            FRestoreTimer->start();
            TryRestoreLostDevice();
        }
    });
}

void TVideoCapture::StopWaitingForLostDevice() {
    FArrivals.reset();
    FRestoreTimer->stop();
    FLostConfig.reset();
}

void TVideoCapture::TryRestoreLostDevice() {
    if (!FLostConfig || ++FRestoreAttempts > RestoreAttemptsPerArrival) {
        FRestoreTimer->stop();
        return;
    }
    TCapDeviceList& cameras = VideoCaptureDevices();
    EnumerateDevices(*Platform, TDeviceCategory::VideoInputDevice, cameras);
    if (!FindDeviceMoniker(cameras, FLostConfig->VCapSource))
        return;
    // The user saw one message when the camera went; the attempts to bring it back stay quiet.
    auto box = std::exchange(ShowErrorBox, nullptr);
    ApplyConfig(*FLostConfig);
    ShowErrorBox = std::move(box);
    if (FPreviewing || (!WantPreview && FGraphBuilt))
        StopWaitingForLostDevice();
}
