#pragma once

#include "NetConnection.h"
#include "NetHTTPRequest.h"

#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <netinet/in.h>

// One accepted connection of a server (non-blocking socket, plain poll/recv/send: connection
// threads never pump GUI events). Every wait is bounded by the idle limit.
class TNetTCPServerConnection : public TNetByteSource {
  public:
    // The peer's address as accept gave it, or none to ask the socket.
    TNetTCPServerConnection(TUniqueFd socket, std::chrono::milliseconds idleTimeout,
                            std::optional<sockaddr_in> peer = std::nullopt);
    TNetTCPServerConnection(const TNetTCPServerConnection&) = delete;
    TNetTCPServerConnection& operator=(const TNetTCPServerConnection&) = delete;

    QString LocalIP() const;
    int LocalPort() const;
    QString PeerIP() const;
    int PeerPort() const;

    // Nothing for the idle limit or until the deadline: socket error 10060. After Close: 0.
    qsizetype Receive(char* buffer, qsizetype size) override;
    void SetDeadline(TClock::time_point deadline) override { ReceiveDeadline = deadline; }
    // Sends all bytes; socket errors as ENetSocketError (the peer going away: 10053/10054/10058).
    // With moreFollows the bytes may wait for the next write (or Close) to share its packets.
    void Write(QByteArrayView bytes, bool moreFollows = false);
    // Sends `count` bytes of the file from `offset` straight from the page cache (sendfile);
    // answers how many went out, 0 when the file ended early.
    qint64 WriteFromFile(int fileFd, qint64 offset, qint64 count);
    bool Connected() const;
    // Our side is done: what already arrived unread is drained (so the close is a FIN, not a
    // reset), then the socket closes.
    void Close();
    // From another thread (deactivation): wakes every wait of the owner, which then ends.
    void Interrupt();

  private:
    mutable std::mutex SocketLock; // Close against Interrupt: never shut down a reused number
    TUniqueFd Socket;
    std::chrono::milliseconds IdleTimeout;
    TClock::time_point ReceiveDeadline = TClock::time_point::max();
    sockaddr_in PeerAddress{};
    bool YieldedOnce = false; // the first wait for input gives the CPU away before it polls

    // Within the idle limit and, when given, the deadline.
    void WaitUntilReady(short events, TClock::time_point deadline = TClock::time_point::max());
};

// One connection and the thread serving it. The server runs connections on a pool of at most
// MaxConnections worker threads, so a thread is not created per connection; to the handler a
// TNetPeerThread is simply the connection's thread.
class TNetPeerThread {
  public:
    TNetPeerThread(TUniqueFd socket, std::chrono::milliseconds idleTimeout,
                   std::optional<sockaddr_in> peer = std::nullopt);
    TNetPeerThread(const TNetPeerThread&) = delete;
    TNetPeerThread& operator=(const TNetPeerThread&) = delete;

    TNetTCPServerConnection& Connection() { return Link; }
    // The message of an unexpected exception that ended the connection; empty otherwise.
    QString TerminatingMessage() const;
    // The connection will keep its thread for long (a stream that goes on until the peer
    // leaves): the server's pool then grows beyond MaxConnections for as long as it lasts, so
    // that short requests keep every worker they had.
    void HoldThreadForLong();

  private:
    friend class TNetTCPServer;

    TNetTCPServerConnection Link;
    std::function<void()> OnHoldForLong; // set by the server while it serves the connection
    mutable std::mutex MessageLock;
    QString Message;

    void RecordTermination(const QString& message);
};

// Where a server listens; an empty IP means every local address.
struct TNetBinding {
    QString IP;
    int Port = 0;
};

// Listens on its bindings (SO_REUSEADDR, backlog 64) and serves every connection on a thread of
// its own, taken from a pool that grows to MaxConnections; the pool's threads accept by
// themselves. Settings are taken at activation; changing them while active affects the next
// activation. Activate and deactivate from one thread (the GUI thread).
class TNetTCPServer {
  public:
    TNetTCPServer();
    virtual ~TNetTCPServer();
    TNetTCPServer(const TNetTCPServer&) = delete;
    TNetTCPServer& operator=(const TNetTCPServer&) = delete;

    std::vector<TNetBinding> Bindings; // empty: all local addresses on DefaultPort
    int DefaultPort = 80;
    int TerminateWaitTime = 5000; // ms that deactivation waits for live connections
    // A connection that sends (or takes) nothing for this long is closed.
    std::chrono::milliseconds IdleTimeout{30000};
    // Connections served at once; further ones wait in the listen backlog.
    int MaxConnections = 64;

    bool Active() const { return IsActive; }
    // true: bind, listen, start the listener (ENetCouldNotBindSocket when the address is in
    // use, ENetSocketError otherwise; the server then stays inactive). false: stop the listener,
    // close the bindings and live connections, wait up to TerminateWaitTime for them.
    void SetActive(bool active);
    // The port of the first listening socket (the system's pick for port 0); 0 when inactive.
    int BoundPort() const;
    // Connections accepted and not yet ended.
    int LiveConnections() const;

  protected:
    using TPeerJob = std::function<void(TNetPeerThread& thread)>;
    // What is run for every connection, made at activation. It must hold copies of what it
    // needs, never `this`: a thread that outlives deactivation's wait is let go.
    virtual TPeerJob MakePeerJob() const;
    // Derived destructors call this first, so no thread runs a job of a half-destroyed server.
    void Deactivate();

  private:
    struct TShared;
    struct TWorker;
    std::shared_ptr<TShared> Shared;
    bool IsActive = false;
    int Port = 0;

    void Activate();
    static void StartWorker(const std::shared_ptr<TShared>& shared);
    static void RunWorker(const std::shared_ptr<TShared>& shared, TWorker& worker);
    static bool AcceptConnection(TShared& shared, TUniqueFd& socket, sockaddr_in& address);
    static void WaitForConnection(const TWorker& worker);
    static bool TakeSlot(const std::shared_ptr<TShared>& shared, TWorker& worker,
                         TNetPeerThread& peer);
    enum class TAfterRelease { Serving, Retired };
    static TAfterRelease ReleaseSlot(TShared& shared, TWorker& worker);
    static void HoldForLong(const std::shared_ptr<TShared>& shared, TWorker& worker);
    // Under TShared::Lock: one more worker when every one is busy and the pool may grow.
    static void GrowWhenFull(const std::shared_ptr<TShared>& shared);
    static void Serve(TShared& shared, TNetPeerThread& peer);
};
