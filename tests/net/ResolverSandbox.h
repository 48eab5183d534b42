#pragma once

#include "NetConnection.h"

#include <QString>

#include <atomic>
#include <thread>

// Name lookups through the system's real resolver, without a byte leaving the machine: the test
// runs again inside new user, network and mount namespaces (util-linux `unshare`), where only a
// loopback interface exists and /etc/resolv.conf names a scripted DNS server on 127.0.0.1. The
// same executable is started again with only the calling test selected; that run finds
// InResolverSandbox() true and does the lookups.
namespace ResolverSandbox {

bool InSandbox();

struct TRun {
    bool Started = false; // false: this machine cannot make the namespaces (Output says why)
    int ExitCode = -1;
    QString Output;
};
// Runs the current test again inside the sandbox and waits for it (bounded; killed by its
// process id when it overstays).
TRun RunCurrentTestInSandbox();

// Inside the sandbox: brings loopback up and points the resolver at 127.0.0.1. Throws
// std::runtime_error when that cannot be done.
void Enter();

} // namespace ResolverSandbox

// A DNS server on 127.0.0.1:53 (inside the sandbox) that answers by the first label of the name
// asked for: "camera" gets 127.0.0.1, "silent" gets no answer until Release(), any other name
// is unknown (NXDOMAIN).
class TScriptedResolver {
  public:
    TScriptedResolver();
    ~TScriptedResolver();
    TScriptedResolver(const TScriptedResolver&) = delete;
    TScriptedResolver& operator=(const TScriptedResolver&) = delete;

    // Answers the queries held so far, and later ones, as unknown names.
    void Release();

  private:
    TUniqueFd Socket;
    std::atomic<bool> Stop{false};
    std::atomic<bool> Released{false};
    std::thread Thread;

    void Serve();
};
