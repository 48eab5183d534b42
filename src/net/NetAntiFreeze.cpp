#include "NetAntiFreeze.h"

#include "NetErrors.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace {

// The one of the application. Atomic because threads other than the GUI thread (the web
// server's) ask for it on every wait.
std::atomic<TNetAntiFreeze*> TheInstance{nullptr};

} // namespace

TNetAntiFreeze::TNetAntiFreeze(std::function<void()> pump)
    : Pump(std::move(pump)), GuiThread(std::this_thread::get_id()) {
    TNetAntiFreeze* none = nullptr;
    if (!TheInstance.compare_exchange_strong(none, this))
        throw ENetAntiFreezeOnlyOne();
}

TNetAntiFreeze::~TNetAntiFreeze() {
    TNetAntiFreeze* self = this;
    TheInstance.compare_exchange_strong(self, nullptr);
}

TNetAntiFreeze* TNetAntiFreeze::Instance() {
    return TheInstance.load();
}

// OnlyWhenIdle is kept as a setting only: the injected pump decides what "pending" means.
int TNetAntiFreeze::SliceMs(int wanted) {
    const TNetAntiFreeze* const freeze = Instance();
    // The thread is compared first, so no other thread reads the settings of the GUI thread.
    if (!freeze || std::this_thread::get_id() != freeze->GuiThread || !freeze->Active ||
        !freeze->ApplicationHasPriority)
        return wanted;
    return std::min(wanted, std::max(0, freeze->IdleTimeOut));
}

void TNetAntiFreeze::DoProcess() {
    const TNetAntiFreeze* const freeze = Instance();
    if (freeze && std::this_thread::get_id() == freeze->GuiThread && freeze->Active && freeze->Pump)
        freeze->Pump();
}
