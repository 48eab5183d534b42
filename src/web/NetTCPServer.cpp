#include "NetTCPServer.h"

#include "NetErrors.h"
#include "NetSockets.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <exception>
#include <list>
#include <optional>
#include <system_error>
#include <utility>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Room for the connections that wait while the most that are served at once run.
constexpr int ListenBacklog = 64;
constexpr int AcceptWaitMs = 1000;
constexpr auto TerminateWaitStep = 250ms;
// Bytes a closing connection still reads without waiting, so that a stray line end after the
// request does not turn our close into a reset that could cost the client the answer.
constexpr int DrainBytesOnClose = 65536;

[[noreturn]] void ThrowSocketError(int errnoValue) {
    throw ENetSocketError(SocketErrorNumber(errnoValue));
}

void SignalEvent(int eventFd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventFd, &one, sizeof one);
}

void ClearEvent(int eventFd) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(eventFd, &count, sizeof count);
}

void DrainWithoutWaiting(int fd) {
    char sink[4096];
    for (int drained = 0; drained < DrainBytesOnClose;) {
        const ssize_t count = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (count <= 0)
            return;
        drained += static_cast<int>(count);
    }
}

TUniqueFd OpenListener(const TNetBinding& binding) {
    TUniqueFd socket = NetSockets::AllocateSocket(SOCK_NONBLOCK);
    const int reuse = 1;
    if (::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0)
        ThrowSocketError(errno);
    NetSockets::Bind(socket.Get(), binding.IP, binding.Port);
    if (::listen(socket.Get(), ListenBacklog) != 0)
        ThrowSocketError(errno);
    return socket;
}

} // namespace

// ---- Connection ---------------------------------------------------------------------------------

TNetTCPServerConnection::TNetTCPServerConnection(TUniqueFd socket,
                                                 std::chrono::milliseconds idleTimeout,
                                                 std::optional<sockaddr_in> peer)
    : Socket(std::move(socket)), IdleTimeout(idleTimeout) {
    if (peer) {
        PeerAddress = *peer;
        return;
    }
    socklen_t size = sizeof PeerAddress;
    ::getpeername(Socket.Get(), reinterpret_cast<sockaddr*>(&PeerAddress), &size);
}

// The local end is asked for only when wanted: one system call less per connection.
QString TNetTCPServerConnection::LocalIP() const {
    return NetSockets::LocalEndpoint(Socket.Get()).IP;
}

int TNetTCPServerConnection::LocalPort() const {
    return NetSockets::LocalEndpoint(Socket.Get()).Port;
}

QString TNetTCPServerConnection::PeerIP() const {
    return NetSockets::AddressText(PeerAddress.sin_addr);
}

int TNetTCPServerConnection::PeerPort() const {
    return ntohs(PeerAddress.sin_port);
}

void TNetTCPServerConnection::WaitUntilReady(short events) {
    pollfd entry{Socket.Get(), events, 0};
    const auto deadline = std::chrono::steady_clock::now() + IdleTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready =
            ::poll(&entry, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
        if (ready > 0)
            return;
        if (ready == 0)
            throw ENetSocketError(NetSockets::ErrTimedOut);
        if (errno != EINTR)
            ThrowSocketError(errno);
    }
}

qsizetype TNetTCPServerConnection::Receive(char* buffer, qsizetype size) {
    for (;;) {
        if (!Socket.Valid())
            return 0;
        const ssize_t count = ::recv(Socket.Get(), buffer, static_cast<size_t>(size), 0);
        if (count >= 0)
            return count;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            WaitUntilReady(POLLIN);
        else if (errno != EINTR)
            ThrowSocketError(errno);
    }
}

void TNetTCPServerConnection::Write(QByteArrayView bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        if (!Socket.Valid())
            ThrowSocketError(ESHUTDOWN);
        const ssize_t count = ::send(Socket.Get(), bytes.data() + sent,
                                     static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (count >= 0)
            sent += count;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            WaitUntilReady(POLLOUT);
        else if (errno != EINTR)
            ThrowSocketError(errno);
    }
}

qint64 TNetTCPServerConnection::WriteFromFile(int fileFd, qint64 offset, qint64 count) {
    qint64 sent = 0;
    while (sent < count) {
        if (!Socket.Valid())
            ThrowSocketError(ESHUTDOWN);
        off_t from = static_cast<off_t>(offset + sent);
        const ssize_t moved =
            ::sendfile(Socket.Get(), fileFd, &from, static_cast<std::size_t>(count - sent));
        if (moved > 0)
            sent += moved;
        else if (moved == 0)
            break;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            WaitUntilReady(POLLOUT);
        else if (errno != EINTR)
            ThrowSocketError(errno);
    }
    return sent;
}

bool TNetTCPServerConnection::Connected() const {
    return Socket.Valid();
}

void TNetTCPServerConnection::Close() {
    const std::lock_guard lock(SocketLock);
    if (!Socket.Valid())
        return;
    ::shutdown(Socket.Get(), SHUT_WR);
    DrainWithoutWaiting(Socket.Get());
    Socket.Reset();
}

void TNetTCPServerConnection::Interrupt() {
    const std::lock_guard lock(SocketLock);
    if (Socket.Valid())
        ::shutdown(Socket.Get(), SHUT_RDWR);
}

// ---- Threads ------------------------------------------------------------------------------------

namespace {

void* RunThreadBody(void* body) {
    const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(body));
    (*owned)();
    return nullptr;
}

// A joinable OS thread with a small stack: the C library keeps finished threads' stacks for
// reuse only up to 40 MiB, which the 8 MiB default fills with five.
class TSmallStackThread {
  public:
    static constexpr std::size_t StackBytes = 512 * 1024;

    // Throws std::system_error when no thread can be had.
    explicit TSmallStackThread(std::function<void()> body) {
        pthread_attr_t attributes;
        if (const int error = ::pthread_attr_init(&attributes); error != 0)
            throw std::system_error(error, std::generic_category());
        ::pthread_attr_setstacksize(&attributes, StackBytes);
        auto owned = std::make_unique<std::function<void()>>(std::move(body));
        const int error = ::pthread_create(&Handle, &attributes, &RunThreadBody, owned.get());
        ::pthread_attr_destroy(&attributes);
        if (error != 0)
            throw std::system_error(error, std::generic_category());
        owned.release(); // the thread owns it now
        IsJoinable = true;
    }
    // As with std::thread: dropping a running thread unjoined is a bug, never a silent leak.
    ~TSmallStackThread() {
        if (IsJoinable)
            std::terminate();
    }
    TSmallStackThread(const TSmallStackThread&) = delete;
    TSmallStackThread& operator=(const TSmallStackThread&) = delete;

    void Join() {
        if (std::exchange(IsJoinable, false))
            ::pthread_join(Handle, nullptr);
    }
    void Detach() {
        if (std::exchange(IsJoinable, false))
            ::pthread_detach(Handle);
    }

  private:
    pthread_t Handle{};
    bool IsJoinable = false;
};

} // namespace

// ---- Connection thread --------------------------------------------------------------------------

TNetPeerThread::TNetPeerThread(TUniqueFd socket, std::chrono::milliseconds idleTimeout,
                               std::optional<sockaddr_in> peer)
    : Link(std::move(socket), idleTimeout, peer) {}

QString TNetPeerThread::TerminatingMessage() const {
    const std::lock_guard lock(MessageLock);
    return Message;
}

void TNetPeerThread::RecordTermination(const QString& message) {
    const std::lock_guard lock(MessageLock);
    Message = message;
}

// ---- Server -------------------------------------------------------------------------------------

// One thread of the pool; it serves queued connections until the server stops.
struct TNetTCPServer::TWorker {
    std::optional<TSmallStackThread> Thread;
    bool Busy = false; // under TShared::Lock
};

// Everything the listener and the workers share. It lives as long as the last of them, so a
// worker let go at deactivation never touches freed memory.
struct TNetTCPServer::TShared {
    std::mutex Lock;
    std::condition_variable WorkQueued;
    std::condition_variable PeerEnded;
    std::deque<std::shared_ptr<TNetPeerThread>> Queue; // accepted, waiting for a worker
    std::list<std::shared_ptr<TNetPeerThread>> Live;   // accepted, not yet ended
    std::list<TWorker> Workers;                        // stable addresses for the threads
    int IdleWorkers = 0;
    std::atomic<bool> Stopping{false};
    TUniqueFd Wake; // eventfd: a stop request or a freed connection slot
    std::vector<TUniqueFd> Listeners;
    TPeerJob Job;
    std::chrono::milliseconds IdleTimeout{};
    int MaxConnections = 1;
};

TNetTCPServer::TNetTCPServer() = default;

TNetTCPServer::~TNetTCPServer() {
    Deactivate();
}

TNetTCPServer::TPeerJob TNetTCPServer::MakePeerJob() const {
    return [](TNetPeerThread&) {
    };
}

void TNetTCPServer::SetActive(bool active) {
    if (active && !IsActive)
        Activate();
    else if (!active && IsActive)
        Deactivate();
}

int TNetTCPServer::BoundPort() const {
    return IsActive ? Port : 0;
}

int TNetTCPServer::LiveConnections() const {
    if (!Shared)
        return 0;
    const std::lock_guard lock(Shared->Lock);
    return static_cast<int>(Shared->Live.size());
}

void TNetTCPServer::Activate() {
    auto shared = std::make_shared<TShared>();
    const std::vector<TNetBinding> bindings =
        Bindings.empty() ? std::vector<TNetBinding>{{QString(), DefaultPort}} : Bindings;
    for (const TNetBinding& binding : bindings)
        shared->Listeners.push_back(OpenListener(binding));
    shared->Wake.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared->Wake.Valid())
        ThrowSocketError(errno);
    shared->Job = MakePeerJob();
    shared->IdleTimeout = IdleTimeout;
    shared->MaxConnections = std::max(1, MaxConnections);
    Port = NetSockets::LocalEndpoint(shared->Listeners.front().Get()).Port;
    Listener = std::thread(&TNetTCPServer::RunListener, shared);
    Shared = std::move(shared);
    IsActive = true;
}

void TNetTCPServer::Deactivate() {
    if (!IsActive)
        return;
    IsActive = false;
    const std::shared_ptr<TShared> shared = std::move(Shared);
    shared->Stopping = true;
    SignalEvent(shared->Wake.Get());
    Listener.join();
    for (TUniqueFd& listener : shared->Listeners)
        ::shutdown(listener.Get(), SHUT_RDWR);
    shared->Listeners.clear();

    std::unique_lock lock(shared->Lock);
    for (const auto& peer : shared->Live)
        peer->Link.Interrupt();
    shared->WorkQueued.notify_all();
    for (int pass = 0; pass < TerminateWaitTime / 250 && !shared->Live.empty(); ++pass)
        shared->PeerEnded.wait_for(lock, TerminateWaitStep, [&] { return shared->Live.empty(); });
    std::vector<TSmallStackThread*> idle;
    for (TWorker& worker : shared->Workers) {
        // A worker still busy after the wait (a handler that does not return) is let go: it
        // owns what it uses, and deactivation must return within its bound.
        if (worker.Busy)
            worker.Thread->Detach();
        else
            idle.push_back(&*worker.Thread);
    }
    lock.unlock();
    for (TSmallStackThread* thread : idle)
        thread->Join();
}

void TNetTCPServer::RunListener(const std::shared_ptr<TShared>& shared) {
    while (!shared->Stopping) {
        std::vector<pollfd> waits{{shared->Wake.Get(), POLLIN, 0}};
        if (HasRoom(*shared))
            for (const TUniqueFd& listener : shared->Listeners)
                waits.push_back({listener.Get(), POLLIN, 0});
        if (::poll(waits.data(), waits.size(), AcceptWaitMs) <= 0 || shared->Stopping)
            continue;
        if (waits.front().revents != 0)
            ClearEvent(shared->Wake.Get());
        for (std::size_t i = 1; i < waits.size(); ++i)
            if (waits[i].revents != 0)
                AcceptConnections(shared, waits[i].fd);
    }
}

bool TNetTCPServer::HasRoom(TShared& shared) {
    const std::lock_guard lock(shared.Lock);
    return std::ssize(shared.Live) < shared.MaxConnections;
}

void TNetTCPServer::AcceptConnections(const std::shared_ptr<TShared>& shared, int listener) {
    while (HasRoom(*shared)) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        TUniqueFd socket(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // nothing waiting, or out of descriptors: the next pass tries again
        }
        Enqueue(shared, std::move(socket), peer);
    }
}

void TNetTCPServer::Enqueue(const std::shared_ptr<TShared>& shared, TUniqueFd socket,
                            const sockaddr_in& address) {
    auto peer = std::make_shared<TNetPeerThread>(std::move(socket), shared->IdleTimeout, address);
    std::unique_lock lock(shared->Lock);
    shared->Live.push_back(peer);
    shared->Queue.push_back(std::move(peer));
    // Every live connection has a worker of its own, so the pool never exceeds MaxConnections.
    if (std::ssize(shared->Queue) > shared->IdleWorkers) {
        TWorker& worker = shared->Workers.emplace_back();
        try {
            worker.Thread.emplace([shared, &worker] { RunWorker(shared, worker); });
            ++shared->IdleWorkers;
        } catch (const std::system_error&) {
            // No thread to be had: the connection waits for a worker that is already there,
            // or is closed unanswered when there is none.
            shared->Workers.pop_back();
            if (shared->Workers.empty()) {
                shared->Live.pop_back();
                shared->Queue.pop_back();
                return;
            }
        }
    }
    lock.unlock();
    shared->WorkQueued.notify_one();
}

void TNetTCPServer::RunWorker(const std::shared_ptr<TShared>& shared, TWorker& worker) {
    // sendfile cannot be told MSG_NOSIGNAL: a client that leaves mid-file would raise SIGPIPE
    // and end the program. Blocked on this thread, it stays pending and sendfile gets EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock lock(shared->Lock);
    for (;;) {
        shared->WorkQueued.wait(lock, [&] { return !shared->Queue.empty() || shared->Stopping; });
        if (shared->Queue.empty())
            return;
        const std::shared_ptr<TNetPeerThread> peer = std::move(shared->Queue.front());
        shared->Queue.pop_front();
        --shared->IdleWorkers;
        worker.Busy = true;
        lock.unlock();
        // Once stopping, a connection still queued is closed unserved: its handler could
        // otherwise start after deactivation decided which workers to wait for.
        if (shared->Stopping)
            peer->Link.Close();
        else
            Serve(*shared, *peer);
        lock.lock();
        worker.Busy = false;
        ++shared->IdleWorkers;
        shared->Live.remove(peer);
        shared->PeerEnded.notify_all();
        // Only a full server has stopped listening; it must hear that a slot is free.
        if (std::ssize(shared->Live) + 1 == shared->MaxConnections)
            SignalEvent(shared->Wake.Get());
    }
}

void TNetTCPServer::Serve(TShared& shared, TNetPeerThread& peer) {
    try {
        shared.Job(peer);
    } catch (const ENetSocketError&) {
        // The peer went away or the connection was cut: nothing to report.
    } catch (const ENetConnClosedGracefully&) {
    } catch (const std::exception& error) {
        peer.RecordTermination(QString::fromUtf8(error.what()));
    } catch (...) {
        peer.RecordTermination(QStringLiteral("Unknown exception."));
    }
    peer.Link.Close();
}
