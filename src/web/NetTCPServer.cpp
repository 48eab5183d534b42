#include "NetTCPServer.h"

#include "NetErrors.h"
#include "NetSockets.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <exception>
#include <list>
#include <optional>
#include <system_error>
#include <utility>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Room for the connections that wait while the most that are served at once run.
constexpr int ListenBacklog = 64;
// How long a waiting worker goes without looking at Stopping, should the wake-up be missed.
constexpr int AcceptWaitMs = 1000;
// The pause after accept failed for want of descriptors or memory.
constexpr int AcceptRetryMs = 100;
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

void DrainWithoutWaiting(int fd) {
    char sink[4096];
    for (int drained = 0; drained < DrainBytesOnClose;) {
        const ssize_t count = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        // A short read emptied the queue: asking again would only hear "nothing yet".
        if (count <= 0 || count < static_cast<ssize_t>(sizeof sink))
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

// Every request asks for it: the dotted quad is written here, as inet_ntop goes through sprintf.
QString TNetTCPServerConnection::PeerIP() const {
    const std::uint32_t address = ntohl(PeerAddress.sin_addr.s_addr);
    std::array<char, 16> text{};
    char* end = text.data();
    for (int shift = 24; shift >= 0; shift -= 8) {
        // Four numbers of at most three digits and three dots always fit; the checks are there
        // for the compiler, which cannot see that (GCC 12 warned at -O3).
        const auto written =
            std::to_chars(end, text.data() + text.size() - 1, (address >> shift) & 0xFF);
        if (written.ec != std::errc())
            return {};
        end = written.ptr;
        if (shift > 0)
            *end++ = '.';
    }
    return QString::fromLatin1(text.data(), end - text.data());
}

int TNetTCPServerConnection::PeerPort() const {
    return ntohs(PeerAddress.sin_port);
}

void TNetTCPServerConnection::WaitUntilReady(short events, TClock::time_point until) {
    pollfd entry{Socket.Get(), events, 0};
    const auto deadline = std::min(TClock::now() + IdleTimeout, until);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
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
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && !YieldedOnce) {
            // Nearly always the request follows the accepted connection within microseconds,
            // written by a client that waits for the CPU, often this one. Giving the CPU away
            // once lets it write, and costs less than a sleep in poll and its wake-up.
            YieldedOnce = true;
            ::sched_yield();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK)
            WaitUntilReady(POLLIN, ReceiveDeadline);
        else if (errno != EINTR)
            ThrowSocketError(errno);
    }
}

void TNetTCPServerConnection::Write(QByteArrayView bytes, bool moreFollows) {
    const int flags = MSG_NOSIGNAL | (moreFollows ? MSG_MORE : 0);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        if (!Socket.Valid())
            ThrowSocketError(ESHUTDOWN);
        const ssize_t count = ::send(Socket.Get(), bytes.data() + sent,
                                     static_cast<size_t>(bytes.size() - sent), flags);
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
    // close itself sends the FIN once nothing unread is left: no shutdown call of its own.
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

void TNetPeerThread::HoldThreadForLong() {
    if (OnHoldForLong)
        OnHoldForLong();
}

void TNetPeerThread::RecordTermination(const QString& message) {
    const std::lock_guard lock(MessageLock);
    Message = message;
}

// ---- Server -------------------------------------------------------------------------------------

// One thread of the pool. It accepts a connection itself, serves it, and goes back to accepting
// until the server stops: no hand-over to another thread, so no wake-up between accept and
// answer.
struct TNetTCPServer::TWorker {
    std::optional<TSmallStackThread> Thread;
    TUniqueFd AcceptWait;           // epoll set: the listening sockets and TShared::Wake
    TNetPeerThread* Peer = nullptr; // under TShared::Lock: the connection being served
    bool HeldLong = false;          // under TShared::Lock: that connection holds it for long
};

// Everything the workers share. It lives as long as the last of them, so a worker let go at
// deactivation never touches freed memory.
struct TNetTCPServer::TShared {
    std::mutex Lock;
    std::condition_variable PeerEnded;
    std::list<TWorker> Workers; // stable addresses for the threads
    int BusyWorkers = 0;        // the live connections
    int HeldLong = 0;           // of those, the ones that hold their worker for long
    std::atomic<bool> Stopping{false};
    TUniqueFd Wake; // eventfd: signalled once at deactivation and never cleared
    std::vector<TUniqueFd> Listeners;
    TPeerJob Job;
    std::chrono::milliseconds IdleTimeout{};
    int MaxConnections = 1;
};

namespace {

// Every worker waits in an epoll set of its own in which the listening sockets are exclusive:
// a new connection wakes one waiting worker, not all of them. The wake-up descriptor is not
// exclusive, so deactivation reaches every waiting worker.
TUniqueFd MakeAcceptWait(const std::vector<TUniqueFd>& listeners, int wake) {
    TUniqueFd set(::epoll_create1(EPOLL_CLOEXEC));
    if (!set.Valid())
        ThrowSocketError(errno);
    auto add = [&set](int fd, std::uint32_t events) {
        epoll_event entry{};
        entry.events = events;
        entry.data.fd = fd;
        if (::epoll_ctl(set.Get(), EPOLL_CTL_ADD, fd, &entry) != 0)
            ThrowSocketError(errno);
    };
    for (const TUniqueFd& listener : listeners)
        add(listener.Get(), EPOLLIN | EPOLLEXCLUSIVE);
    add(wake, EPOLLIN);
    return set;
}

enum class TAcceptOutcome { Accepted, NothingWaiting, Failed };

TAcceptOutcome AcceptFrom(int listener, TUniqueFd& socket, sockaddr_in& address) {
    for (;;) {
        socklen_t size = sizeof address;
        socket.Reset(::accept4(listener, reinterpret_cast<sockaddr*>(&address), &size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (socket.Valid())
            return TAcceptOutcome::Accepted;
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return TAcceptOutcome::NothingWaiting;
        return TAcceptOutcome::Failed; // out of descriptors or memory
    }
}

void BlockSigPipe() {
    // sendfile cannot be told MSG_NOSIGNAL: a client that leaves mid-file would raise SIGPIPE
    // and end the program. Blocked on this thread, it stays pending and sendfile gets EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

} // namespace

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
    return Shared->BusyWorkers;
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
    {
        const std::lock_guard lock(shared->Lock);
        StartWorker(shared);
    }
    Shared = std::move(shared);
    IsActive = true;
}

void TNetTCPServer::Deactivate() {
    if (!IsActive)
        return;
    IsActive = false;
    const std::shared_ptr<TShared> shared = std::move(Shared);
    std::unique_lock lock(shared->Lock);
    // Under the lock: a worker that accepts from now on closes its connection unserved, so
    // every connection served is one of those interrupted here.
    shared->Stopping = true;
    SignalEvent(shared->Wake.Get());
    // Connections still in the backlog are refused now rather than after the wait.
    for (const TUniqueFd& listener : shared->Listeners)
        ::shutdown(listener.Get(), SHUT_RDWR);
    for (const TWorker& worker : shared->Workers)
        if (worker.Peer)
            worker.Peer->Link.Interrupt();
    for (int pass = 0; pass < TerminateWaitTime / 250 && shared->BusyWorkers > 0; ++pass)
        shared->PeerEnded.wait_for(lock, TerminateWaitStep,
                                   [&] { return shared->BusyWorkers == 0; });
    std::vector<TSmallStackThread*> idle;
    for (TWorker& worker : shared->Workers) {
        // A worker still busy after the wait (a handler that does not return) is let go: it
        // owns what it uses, and deactivation must return within its bound.
        if (worker.Peer)
            worker.Thread->Detach();
        else
            idle.push_back(&*worker.Thread);
    }
    lock.unlock();
    for (TSmallStackThread* thread : idle)
        thread->Join();
    // A worker let go sees Stopping when its connection ends and never accepts again, so the
    // bound ports are free once this returns.
    shared->Listeners.clear();
}

// Workers are made as connections need them, not all at activation: an idle one costs a stack
// and an epoll set, and most servers see a handful of clients. The last idle worker to take a
// connection starts the next, so one waits on the listening sockets until MaxConnections are
// served; then none does, and further connections wait in the listen backlog. The pool shrinks
// only back to MaxConnections after streams that held workers for long (thread start-up per
// connection is what the pool is for).
// Called under TShared::Lock; throws when no thread can be had.
void TNetTCPServer::StartWorker(const std::shared_ptr<TShared>& shared) {
    TWorker& worker = shared->Workers.emplace_back();
    try {
        worker.AcceptWait = MakeAcceptWait(shared->Listeners, shared->Wake.Get());
        worker.Thread.emplace([shared, &worker] { RunWorker(shared, worker); });
    } catch (...) {
        shared->Workers.pop_back();
        throw;
    }
}

void TNetTCPServer::RunWorker(const std::shared_ptr<TShared>& shared, TWorker& worker) {
    BlockSigPipe();
    while (!shared->Stopping) {
        TUniqueFd socket;
        sockaddr_in address{};
        // Accepting first: under load the next connection is already waiting, and the wait
        // would only cost a system call.
        if (!AcceptConnection(*shared, socket, address)) {
            WaitForConnection(worker);
            continue;
        }
        TNetPeerThread peer(std::move(socket), shared->IdleTimeout, address);
        if (!TakeSlot(shared, worker, peer)) {
            peer.Link.Close();
            return;
        }
        Serve(*shared, peer);
        if (ReleaseSlot(*shared, worker) == TAfterRelease::Retired)
            return; // `worker` is gone
    }
}

bool TNetTCPServer::AcceptConnection(TShared& shared, TUniqueFd& socket, sockaddr_in& address) {
    for (const TUniqueFd& listener : shared.Listeners) {
        switch (AcceptFrom(listener.Get(), socket, address)) {
        case TAcceptOutcome::Accepted:
            return true;
        case TAcceptOutcome::NothingWaiting:
            break;
        case TAcceptOutcome::Failed:
            // The listening socket stays readable: waiting on it would spin. The wake-up
            // descriptor alone bounds the pause and still hears deactivation.
            pollfd wake{shared.Wake.Get(), POLLIN, 0};
            ::poll(&wake, 1, AcceptRetryMs);
            return false;
        }
    }
    return false;
}

void TNetTCPServer::WaitForConnection(const TWorker& worker) {
    // Which descriptor woke it does not matter: the caller checks Stopping and tries every
    // listening socket. The timeout is a backstop for the deactivation bound.
    std::array<epoll_event, 4> ready{};
    [[maybe_unused]] const int count =
        ::epoll_wait(worker.AcceptWait.Get(), ready.data(), ready.size(), AcceptWaitMs);
}

bool TNetTCPServer::TakeSlot(const std::shared_ptr<TShared>& shared, TWorker& worker,
                             TNetPeerThread& peer) {
    const std::lock_guard lock(shared->Lock);
    if (shared->Stopping)
        return false;
    worker.Peer = &peer;
    peer.OnHoldForLong = [shared, &worker] {
        HoldForLong(shared, worker);
    };
    ++shared->BusyWorkers;
    GrowWhenFull(shared);
    return true;
}

void TNetTCPServer::GrowWhenFull(const std::shared_ptr<TShared>& shared) {
    if (shared->BusyWorkers < std::ssize(shared->Workers) ||
        std::ssize(shared->Workers) >= shared->MaxConnections + shared->HeldLong)
        return;
    try {
        StartWorker(shared);
    } catch (const std::exception&) {
        // No thread to be had now: connections wait for a worker that is already there, and
        // the next worker to take a connection tries again.
    }
}

void TNetTCPServer::HoldForLong(const std::shared_ptr<TShared>& shared, TWorker& worker) {
    const std::lock_guard lock(shared->Lock);
    if (worker.HeldLong || shared->Stopping)
        return;
    worker.HeldLong = true;
    ++shared->HeldLong;
    GrowWhenFull(shared);
}

TNetTCPServer::TAfterRelease TNetTCPServer::ReleaseSlot(TShared& shared, TWorker& worker) {
    const std::lock_guard lock(shared.Lock);
    worker.Peer = nullptr;
    if (std::exchange(worker.HeldLong, false))
        --shared.HeldLong;
    --shared.BusyWorkers;
    if (shared.Stopping) {
        shared.PeerEnded.notify_all();
        return TAfterRelease::Serving;
    }
    // A worker the pool grew by for a stream that has ended leaves it, with its descriptors:
    // streams leave nothing behind. The others stay, as a thread per connection is what the
    // pool saves.
    if (std::ssize(shared.Workers) <= shared.MaxConnections + shared.HeldLong)
        return TAfterRelease::Serving;
    worker.Thread->Detach();
    shared.Workers.remove_if([&worker](const TWorker& each) { return &each == &worker; });
    return TAfterRelease::Retired;
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
