#include "NetConnection.h"

#include "NetAntiFreeze.h"
#include "NetErrors.h"
#include "NetSockets.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using namespace NetSockets;

constexpr int ErrInterrupted = 10004;
constexpr int ErrNotSocket = 10038;
constexpr int ErrMessageTooLong = 10040;

// Even where the GUI asks for no slicing, a wait looks at Abort this often, so an Abort from
// another thread is seen promptly.
constexpr int AbortCheckMs = 100;

// A reply line longer than this is not FTP; refusing it keeps a broken peer from filling memory.
constexpr qsizetype MaxLineBytes = 1024 * 1024;

bool Interrupted(int error) {
    return error == EINTR;
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Leading and trailing white space and control characters go.
QString TrimLine(const QString& line) {
    qsizetype first = 0;
    qsizetype last = line.size();
    while (first < last && line[first].unicode() <= u' ')
        ++first;
    while (last > first && line[last - 1].unicode() <= u' ')
        --last;
    return line.sliced(first, last - first);
}

// 1 for "+OK", 0 for "-ERR", else the first three characters as a number (0 when they are not).
int ReplyCodeOf(const QString& line) {
    if (line.left(3).compare(QLatin1String("+OK"), Qt::CaseInsensitive) == 0)
        return 1;
    if (line.left(4).compare(QLatin1String("-ERR"), Qt::CaseInsensitive) == 0)
        return 0;
    try {
        return StrToInt(line.left(3));
    } catch (const EConvertError&) {
        return 0;
    }
}

// Reads up to `size` bytes; 0 at the end of the file or on a read error.
ssize_t ReadFile(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || !Interrupted(errno))
            return std::max<ssize_t>(got, 0);
    }
}

struct TWorkCounter {
    int Level = 0;
    std::int64_t CountMax = 0;
    std::int64_t Count = 0;
};

} // namespace

// ---- TUniqueFd -------------------------------------------------------------------------------

void TUniqueFd::Reset(int fd) {
    if (Fd >= 0)
        ::close(Fd);
    Fd = fd;
}

// ---- TNetComponent ---------------------------------------------------------------------------

void TNetComponent::DoStatus(TNetStatus status, const QString& argument) {
    if (!OnStatus)
        return;
    static constexpr std::array<const char*, 6> Formats = {
        "Resolving hostname %1.", "Connecting to %1.", "Connected.",
        "Disconnecting from %1.", "Not connected.",    "%1"};
    const QString format = QString::fromLatin1(Formats[static_cast<std::size_t>(status)]);
    OnStatus(*this, status, format.contains(QLatin1String("%1")) ? format.arg(argument) : format);
}

// ---- TNetTCPConnection -----------------------------------------------------------------------

struct TNetTCPConnection::TState {
    TUniqueFd Socket;
    // Counts sockets adopted and closed, so a wait can tell that its socket was replaced while
    // the GUI was serviced, even when the new one got the same descriptor number.
    std::uint64_t Generation = 0;
    TEndpoint Local;
    TEndpoint Peer;
    QByteArray Input;
    bool ClosedGracefully = false;
    std::array<TWorkCounter, 2> Work;
    std::atomic<bool> AbortRequested{false};
    const TNetTCPConnection* AbortSource = nullptr;
};

TNetTCPConnection::TNetTCPConnection() : State(std::make_unique<TState>()) {
    State->AbortSource = this;
}

TNetTCPConnection::~TNetTCPConnection() = default;

bool TNetTCPConnection::Allocated() const {
    return State->Socket.Valid();
}

QString TNetTCPConnection::LocalIP() const {
    return State->Local.IP;
}

int TNetTCPConnection::LocalPort() const {
    return State->Local.Port;
}

QString TNetTCPConnection::PeerIP() const {
    return State->Peer.IP;
}

int TNetTCPConnection::PeerPort() const {
    return State->Peer.Port;
}

int TNetTCPConnection::Socket() const {
    return State->Socket.Get();
}

void TNetTCPConnection::AdoptSocket(int fd) {
    State->Socket.Reset(fd);
    ++State->Generation;
    State->ClosedGracefully = false;
    State->Local = LocalEndpoint(fd);
    State->Peer = PeerEndpoint(fd);
}

void TNetTCPConnection::ResetConnection() {
    State->Socket.Reset();
    ++State->Generation;
    State->Local = State->Peer = {};
    State->Input.clear();
    State->ClosedGracefully = false;
    State->AbortRequested = false;
}

bool TNetTCPConnection::IsConnected() {
    if (!Allocated())
        return false;
    pollfd poll{Socket(), POLLIN, 0};
    if (::poll(&poll, 1, 0) <= 0)
        return true;
    // Readable: either data, which is kept for the next read, or the peer's close.
    const qsizetype kept = State->Input.size();
    State->Input.resize(kept + std::max(1, RecvBufferSize));
    const ssize_t got =
        ::recv(Socket(), State->Input.data() + kept, std::max(1, RecvBufferSize), MSG_DONTWAIT);
    State->Input.resize(kept + std::max<ssize_t>(got, 0));
    if (got == 0 || (got < 0 && !WouldBlock(errno) && !Interrupted(errno)))
        Disconnect();
    return Allocated();
}

void TNetTCPConnection::Disconnect() {
    if (!Allocated())
        return;
    DoStatus(TNetStatus::hsDisconnecting, PeerIP());
    ::shutdown(Socket(), SHUT_WR);
    State->Socket.Reset();
    ++State->Generation;
    State->Local = State->Peer = {};
    State->ClosedGracefully = true;
    if (State->AbortSource == this)
        State->AbortRequested = false;
    DoStatus(TNetStatus::hsDisconnected);
    if (OnDisconnected)
        OnDisconnected(*this);
}

void TNetTCPConnection::Abort() {
    State->AbortRequested = true;
}

void TNetTCPConnection::FollowAbortOf(const TNetTCPConnection& owner) {
    State->AbortSource = &owner;
}

void TNetTCPConnection::ThrowIfAborted() {
    if (!State->AbortSource->State->AbortRequested)
        return;
    Disconnect();
    if (State->AbortSource == this)
        State->AbortRequested = false;
    throw ENetSocketError(ErrInterrupted);
}

void TNetTCPConnection::ThrowNotConnected() const {
    if (State->ClosedGracefully)
        throw ENetConnClosedGracefully();
    throw ENetSocketError(ErrNotSocket);
}

void TNetTCPConnection::FailSocketCall(int errnoValue) {
    const int code = SocketErrorNumber(errnoValue);
    if (code == 10058)
        Disconnect();
    throw ENetSocketError(code);
}

void TNetTCPConnection::WaitUntilReady(int fd, short events) {
    WaitUntilReady(fd, events, steady_clock::now() + Timeout);
}

void TNetTCPConnection::WaitUntilReady(int fd, short events, steady_clock::time_point deadline) {
    const bool ownSocket = fd == Socket();
    const std::uint64_t generation = State->Generation;
    for (;;) {
        ThrowIfAborted();
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        const int leftMs = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
        pollfd poll{fd, events, 0};
        const int ready = ::poll(&poll, 1, std::min(TNetAntiFreeze::SliceMs(leftMs), AbortCheckMs));
        if (ready < 0 && !Interrupted(errno))
            FailSocketCall(errno);
        TNetAntiFreeze::DoProcess();
        ThrowIfAborted();
        // A handler run meanwhile may have closed the socket.
        if (ownSocket && State->Generation != generation)
            ThrowNotConnected();
        if (ready > 0)
            return;
        if (steady_clock::now() >= deadline)
            throw ENetSocketError(ErrTimedOut);
    }
}

void TNetTCPConnection::ReceiveMore() {
    for (;;) {
        if (!Allocated())
            ThrowNotConnected();
        WaitUntilReady(Socket(), POLLIN);
        QByteArray& input = State->Input;
        const qsizetype kept = input.size();
        const int wanted = std::max(1, RecvBufferSize);
        input.resize(kept + wanted);
        const ssize_t got = ::recv(Socket(), input.data() + kept, wanted, MSG_DONTWAIT);
        const int error = errno;
        input.resize(kept + std::max<ssize_t>(got, 0));
        if (got > 0)
            return;
        if (got == 0) {
            // The peer closed: the socket goes too, and the reader decides what that means.
            Disconnect();
            return;
        }
        if (!WouldBlock(error) && !Interrupted(error))
            FailSocketCall(error);
    }
}

QString TNetTCPConnection::ReadLn() {
    QByteArray& input = State->Input;
    for (;;) {
        const qsizetype end = input.indexOf('\n');
        if (end >= 0 || !Allocated()) {
            if (end < 0 && input.isEmpty())
                ThrowNotConnected();
            // Without a line feed the peer has closed, which ends the last line too.
            QByteArray line = end >= 0 ? input.left(end) : input;
            input.remove(0, end >= 0 ? end + 1 : input.size());
            if (line.endsWith('\r'))
                line.chop(1);
            return QString::fromUtf8(line);
        }
        if (input.size() > MaxLineBytes)
            throw ENetSocketError(ErrMessageTooLong);
        ReceiveMore();
    }
}

QString TNetTCPConnection::ReadReplyLine() {
    for (;;) {
        const QString line = TrimLine(ReadLn());
        if (!line.isEmpty())
            return line;
    }
}

int TNetTCPConnection::ReadReply(const std::vector<int>& accepted) {
    LastReplyLines.clear();
    LastReplyLines << ReadReplyLine();
    const QString& first = LastReplyLines.first();
    if (first.size() > 3 && first[3] == QLatin1Char('-')) {
        const QString endMarker = first.left(3) + QLatin1Char(' ');
        for (;;) {
            LastReplyLines << ReadReplyLine();
            const QString& line = LastReplyLines.last();
            if (line.size() < 4 || line.left(4).compare(endMarker, Qt::CaseInsensitive) == 0)
                break;
        }
    }
    LastReplyCode = ReplyCodeOf(LastReplyLines.last());
    if (!accepted.empty() &&
        std::find(accepted.begin(), accepted.end(), LastReplyCode) == accepted.end())
        throw ENetProtocolReplyError(LastReplyCode, LastReplyLines.last());
    return LastReplyCode;
}

void TNetTCPConnection::SendBytes(const QByteArray& bytes) {
    SendRaw(bytes.constData(), bytes.size());
}

void TNetTCPConnection::SendRaw(const char* data, std::int64_t size) {
    std::int64_t sent = 0;
    while (sent < size) {
        ThrowIfAborted();
        if (!Allocated())
            ThrowNotConnected();
        // Never blocking in send itself: a peer that stops reading is met by the bounded wait.
        const ssize_t put = ::send(Socket(), data + sent, static_cast<std::size_t>(size - sent),
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put < 0) {
            const int error = errno;
            if (WouldBlock(error))
                WaitUntilReady(Socket(), POLLOUT);
            else if (!Interrupted(error))
                FailSocketCall(error);
            continue;
        }
        sent += put;
        TNetAntiFreeze::DoProcess();
        DoWork(TWorkMode::wmWrite, put);
    }
}

void TNetTCPConnection::SendFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw ENetNoDataToRead();
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    std::int64_t remaining = std::max<std::int64_t>(0, info.st_size - std::max<off_t>(position, 0));
    const int blockSize = std::max(1, SendBufferSize);
    BeginWork(TWorkMode::wmWrite, remaining);
    try {
        QByteArray block(blockSize, Qt::Uninitialized);
        while (remaining > 0) {
            const auto wanted =
                static_cast<std::size_t>(std::min<std::int64_t>(remaining, blockSize));
            const ssize_t got = ReadFile(fd, block.data(), wanted);
            if (got <= 0)
                throw ENetNoDataToRead();
            SendRaw(block.constData(), got);
            remaining -= got;
        }
    } catch (...) {
        EndWork(TWorkMode::wmWrite);
        throw;
    }
    EndWork(TWorkMode::wmWrite);
}

void TNetTCPConnection::BeginWork(TWorkMode mode, std::int64_t countMax) {
    TWorkCounter& work = State->Work[static_cast<std::size_t>(mode)];
    if (++work.Level != 1)
        return;
    work.CountMax = countMax;
    work.Count = 0;
    if (OnWorkBegin)
        OnWorkBegin(*this, mode, countMax);
}

void TNetTCPConnection::DoWork(TWorkMode mode, std::int64_t count) {
    TWorkCounter& work = State->Work[static_cast<std::size_t>(mode)];
    if (work.Level < 1)
        return;
    work.Count += count;
    if (OnWork)
        OnWork(*this, mode, work.Count);
}

void TNetTCPConnection::EndWork(TWorkMode mode) {
    TWorkCounter& work = State->Work[static_cast<std::size_t>(mode)];
    const bool outermost = work.Level == 1;
    work.Level = std::max(0, work.Level - 1);
    if (outermost && OnWorkEnd)
        OnWorkEnd(*this, mode);
}

// ---- TNetTCPClient ---------------------------------------------------------------------------

void TNetTCPClient::Connect() {
    ResetConnection();
    // What the closing status names once a step has been reported: the address being dialled,
    // or before the lookup has given one, the host as asked for.
    std::optional<QString> closingName;
    try {
        ConnectSocket(closingName);
    } catch (...) {
        if (closingName)
            ReportClosedBeforeConnected(*closingName);
        throw;
    }
    DoStatus(TNetStatus::hsConnected);
    if (OnConnected)
        OnConnected(*this);
}

void TNetTCPClient::ConnectSocket(std::optional<QString>& closingName) {
    TUniqueFd socket = AllocateSocket();
    Bind(socket.Get(), BoundIP, 0);
    const in_addr peer = ResolveHost(
        Host,
        [&] {
            closingName = Host;
            DoStatus(TNetStatus::hsResolving, Host);
        },
        [this](int lookupDone) { WaitUntilReady(lookupDone, POLLIN); });
    if (!UseNagle) {
        const int on = 1;
        ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (Port < 1 || Port > 65535)
        throw ENetSocketError(ErrAddressNotAvailable);
    closingName = AddressText(peer);
    DoStatus(TNetStatus::hsConnecting, *closingName);

    // Connecting without blocking, so the wait is bounded by Timeout and the GUI is serviced.
    SetBlocking(socket.Get(), false);
    const sockaddr_in address = SocketAddress(peer, Port);
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS && !Interrupted(errno))
            FailSocketCall(errno);
        WaitUntilReady(socket.Get(), POLLOUT);
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0)
            FailSocketCall(error);
    }
    SetBlocking(socket.Get(), true);
    AdoptSocket(socket.Release());
}

// A failure after "Resolving hostname" or "Connecting to" ends as a closed connection does, so
// the status shown does not go on claiming that a connection is being made.
void TNetTCPClient::ReportClosedBeforeConnected(const QString& closingName) {
    DoStatus(TNetStatus::hsDisconnecting, closingName);
    DoStatus(TNetStatus::hsDisconnected);
    if (OnDisconnected)
        OnDisconnected(*this);
}

// ---- TNetSimpleServer ------------------------------------------------------------------------

void TNetSimpleServer::BeginListen() {
    ResetConnection();
    // Non-blocking, so a connection that vanishes between the wait and the accept cannot
    // leave the accept blocked.
    Listener = AllocateSocket(SOCK_NONBLOCK);
    Bind(Listener.Get(), BoundIP, BoundPort);
    if (::listen(Listener.Get(), 1) != 0)
        FailSocketCall(errno);
}

void TNetSimpleServer::Listen() {
    if (!Listener.Valid())
        throw ENetSocketError(ErrInvalidArgument);
    // One bound for the whole wait: strangers dialling in must not extend it.
    const auto deadline = steady_clock::now() + Timeout;
    for (;;) {
        WaitUntilReady(Listener.Get(), POLLIN, deadline);
        TUniqueFd accepted(::accept4(Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (accepted.Valid()) {
            if (!AcceptFrom.isEmpty() && PeerEndpoint(accepted.Get()).IP != AcceptFrom)
                continue; // closed by `accepted`; the expected peer may still come
            AdoptSocket(accepted.Release());
            Listener.Reset();
            return;
        }
        const int error = errno;
        if (!WouldBlock(error) && !Interrupted(error) && error != ECONNABORTED)
            FailSocketCall(error);
    }
}

QString TNetSimpleServer::ListenIP() const {
    return Listener.Valid() ? LocalEndpoint(Listener.Get()).IP : QString();
}

int TNetSimpleServer::ListenPort() const {
    return Listener.Valid() ? LocalEndpoint(Listener.Get()).Port : 0;
}
