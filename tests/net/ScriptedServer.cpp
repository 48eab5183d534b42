#include "ScriptedServer.h"

#include <chrono>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using std::chrono::steady_clock;

// The longest any single wait of the server lasts; far above what a passing test needs.
constexpr std::chrono::milliseconds IdleLimit{3000};
constexpr int SliceMs = 20;
// Small, so a client that sends more than a little gets stuck when nobody reads.
constexpr int DataReceiveBufferBytes = 4096;

TUniqueFd ListenOnLoopback(int receiveBufferBytes = 0) {
    TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBufferBytes > 0)
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes,
                     sizeof receiveBufferBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.Get(), 4) != 0)
        throw std::runtime_error("the scripted server cannot listen");
    return socket;
}

int PortOf(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// Waits for `events` on fd in short slices; false when stopped or after IdleLimit.
bool WaitFor(int fd, short events, const std::atomic<bool>& stop) {
    const auto deadline = steady_clock::now() + IdleLimit;
    while (!stop && steady_clock::now() < deadline) {
        pollfd poll{fd, events, 0};
        if (::poll(&poll, 1, SliceMs) > 0)
            return true;
    }
    return false;
}

TUniqueFd Accept(int listener, const std::atomic<bool>& stop) {
    if (!WaitFor(listener, POLLIN, stop))
        return TUniqueFd();
    TUniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    // Replies go out as the script splits them, not as Nagle would join them.
    const int on = 1;
    ::setsockopt(accepted.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return accepted;
}

bool SendAll(int fd, const QByteArray& bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = ::send(fd, bytes.constData() + sent,
                                   static_cast<std::size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (put <= 0)
            return false;
        sent += put;
    }
    return true;
}

// Appends what arrives to `into`; false at the end of the stream, on an error, or on giving up.
bool ReceiveSome(int fd, QByteArray& into, const std::atomic<bool>& stop) {
    if (!WaitFor(fd, POLLIN, stop))
        return false;
    char buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0)
        return false;
    into.append(buffer, got);
    return true;
}

// One command line without its line end (kept otherwise as sent, trailing blanks included).
bool ReadLine(int fd, QByteArray& pending, QString& line, const std::atomic<bool>& stop) {
    for (;;) {
        const qsizetype end = pending.indexOf('\n');
        if (end >= 0) {
            QByteArray bytes = pending.left(end);
            pending.remove(0, end + 1);
            if (bytes.endsWith('\r'))
                bytes.chop(1);
            line = QString::fromUtf8(bytes);
            return true;
        }
        if (!ReceiveSome(fd, pending, stop))
            return false;
    }
}

// Reads until the stream ends or `limit` bytes (below 0: no limit) have come.
void ReceiveAll(int fd, QByteArray& into, qsizetype limit, const std::atomic<bool>& stop) {
    const qsizetype start = into.size();
    while ((limit < 0 || into.size() - start < limit) && ReceiveSome(fd, into, stop)) {
    }
}

// Closes with a reset instead of an orderly end, as a server dropping a transfer does.
void Reset(TUniqueFd& socket) {
    const linger abort{1, 0};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socket.Reset();
}

// Connects from `source` (any 127.x address works on loopback) to a PORT command's address.
TUniqueFd ConnectTo(const QString& portArgument, const char* source) {
    const QStringList fields = portArgument.split(QLatin1Char(','));
    if (fields.size() != 6)
        return TUniqueFd();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, fields.mid(0, 4).join(QLatin1Char('.')).toLatin1().constData(),
                &address.sin_addr);
    address.sin_port =
        htons(static_cast<std::uint16_t>(fields[4].toInt() * 256 + fields[5].toInt()));
    TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return TUniqueFd();
    return socket;
}

} // namespace

TScriptedServer::TScriptedServer()
    : ControlListener(ListenOnLoopback()), DataListener(ListenOnLoopback(DataReceiveBufferBytes)),
      ControlPort(PortOf(ControlListener.Get())), DataPort(PortOf(DataListener.Get())) {}

TScriptedServer::~TScriptedServer() {
    Stop = true;
    Finish();
}

QByteArray TScriptedServer::PasvReply(const QString& hostFields) const {
    return QStringLiteral("227 Entering Passive Mode (%1,%2,%3)")
        .arg(hostFields)
        .arg(DataPort / 256)
        .arg(DataPort % 256)
        .toLatin1();
}

void TScriptedServer::Run(std::vector<TStep> script) {
    Thread = std::thread([this, script = std::move(script)] { Serve(script); });
}

void TScriptedServer::Finish() {
    if (Thread.joinable())
        Thread.join();
}

QStringList TScriptedServer::Commands() {
    Finish();
    return ReceivedCommands;
}

QByteArray TScriptedServer::Data() {
    Finish();
    return ReceivedData;
}

QByteArray TScriptedServer::StrangerData() {
    Finish();
    return ReceivedByStranger;
}

void TScriptedServer::Serve(const std::vector<TStep>& script) {
    TUniqueFd control = Accept(ControlListener.Get(), Stop);
    QByteArray pending;
    for (const TStep& step : script)
        if (!control.Valid() || !RunStep(step, control, pending))
            return;
    QString line;
    while (control.Valid() && ReadLine(control.Get(), pending, line, Stop))
        ReceivedCommands << line;
}

QString TScriptedServer::LastPortArgument() const {
    QString argument;
    for (const QString& command : ReceivedCommands)
        if (command.startsWith(QLatin1String("PORT ")))
            argument = command.mid(5);
    return argument;
}

bool TScriptedServer::RunStep(const TStep& step, TUniqueFd& control, QByteArray& pending) {
    using TKind = TStep::TKind;
    switch (step.Kind) {
    case TKind::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.Count));
        return true;
    case TKind::Say:
        return SendAll(control.Get(), step.Bytes);
    case TKind::SayInPieces:
        for (qsizetype at = 0; at < step.Bytes.size(); at += step.Count) {
            if (!SendAll(control.Get(), step.Bytes.mid(at, step.Count)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    case TKind::Reply: {
        QString line;
        if (!ReadLine(control.Get(), pending, line, Stop))
            return false;
        ReceivedCommands << line;
        return SendAll(control.Get(), step.Bytes + "\r\n");
    }
    case TKind::ReceiveData:
    case TKind::ReceiveDataThenDrop: {
        TUniqueFd data = Accept(DataListener.Get(), Stop);
        if (!data.Valid())
            return false;
        const bool drop = step.Kind == TKind::ReceiveDataThenDrop;
        ReceiveAll(data.Get(), ReceivedData, drop ? step.Count : -1, Stop);
        if (drop)
            Reset(data);
        return true;
    }
    case TKind::HoldData: {
        const TUniqueFd data = Accept(DataListener.Get(), Stop);
        WaitFor(control.Get(), POLLIN, Stop);
        return true;
    }
    case TKind::ConnectToPort:
    case TKind::StrangerDialsPort: {
        const bool stranger = step.Kind == TKind::StrangerDialsPort;
        const TUniqueFd data = ConnectTo(LastPortArgument(), stranger ? "127.0.0.2" : "127.0.0.1");
        if (!data.Valid())
            return false;
        ReceiveAll(data.Get(), stranger ? ReceivedByStranger : ReceivedData, -1, Stop);
        return true;
    }
    case TKind::StrangersKeepDialling: {
        const auto deadline = steady_clock::now() + IdleLimit;
        while (!Stop && steady_clock::now() < deadline) {
            const TUniqueFd data = ConnectTo(LastPortArgument(), "127.0.0.2");
            if (!data.Valid())
                return true; // the client has stopped listening
            ReceiveAll(data.Get(), ReceivedByStranger, -1, Stop);
        }
        return true;
    }
    case TKind::Close:
        control.Reset();
        return true;
    }
    return false;
}
