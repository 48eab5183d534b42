#pragma once

#include <functional>
#include <thread>

// Keeps the GUI alive while a socket call waits on the GUI thread: waits are cut into slices of
// at most IdleTimeOut ms and the pump (the application's event processing, injected so this
// layer knows no widgets) runs after every slice and every send. Off the GUI thread -- the
// thread that created it -- nothing is processed. One per application.
class TNetAntiFreeze {
  public:
    // Throws ENetAntiFreezeOnlyOne when another one exists.
    explicit TNetAntiFreeze(std::function<void()> pump);
    ~TNetAntiFreeze();
    TNetAntiFreeze(const TNetAntiFreeze&) = delete;
    TNetAntiFreeze& operator=(const TNetAntiFreeze&) = delete;

    bool Active = true;
    bool ApplicationHasPriority = true;
    int IdleTimeOut = 50;
    bool OnlyWhenIdle = false;

    // The one of the application, or none.
    static TNetAntiFreeze* Instance();
    // The longest single wait the socket layer may make now (IdleTimeOut on the GUI thread
    // while active; otherwise `wanted`), and the pump run after it when that applies.
    static int SliceMs(int wanted);
    static void DoProcess();

  private:
    std::function<void()> Pump;
    std::thread::id GuiThread;
};
