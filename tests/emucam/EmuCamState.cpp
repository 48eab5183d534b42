#include "EmuCamState.h"

#include <algorithm>

namespace emucam {

TEmuCamState& TEmuCamState::Instance() {
    static TEmuCamState state;
    return state;
}

TPlugging TEmuCamState::Plugging() const {
    const std::lock_guard lock(Lock);
    return Plug;
}

std::vector<TObjectRef<GstDeviceProvider>> TEmuCamState::SetPlugged(bool plugged) {
    const std::lock_guard lock(Lock);
    if (Plug.Plugged && !plugged)
        ++Plug.Generation;
    Plug.Plugged = plugged;
    std::vector<TObjectRef<GstDeviceProvider>> running;
    for (GstDeviceProvider* provider : Running)
        running.push_back(Retain(provider));
    return running;
}

TPlugging TEmuCamState::AddRunning(GstDeviceProvider* provider) {
    const std::lock_guard lock(Lock);
    Running.push_back(provider);
    return Plug;
}

void TEmuCamState::RemoveRunning(GstDeviceProvider* provider) {
    const std::lock_guard lock(Lock);
    std::erase(Running, provider);
}

} // namespace emucam
