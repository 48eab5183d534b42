#include "NetSockets.h"

#include "NetErrors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using namespace NetSockets;

// A failed name lookup as a socket error. Host-not-found has no number of its own in the
// table; "No route to host." says what it means for the caller.
int LookupErrorNumber(int lookupError) {
    switch (lookupError) {
    case EAI_SYSTEM:
        return SocketErrorNumber(errno);
    case EAI_AGAIN:
        return ErrTimedOut;
    case EAI_MEMORY:
        return SocketErrorNumber(ENOMEM);
    case EAI_FAMILY:
        return SocketErrorNumber(EAFNOSUPPORT);
    case EAI_SOCKTYPE:
        return SocketErrorNumber(ESOCKTNOSUPPORT);
    case EAI_BADFLAGS:
    case EAI_SERVICE:
        return ErrInvalidArgument;
    default:
        return ErrNoRouteToHost;
    }
}

// How a lookup ended: the first IPv4 address, or the socket error number of its failure.
struct TLookupOutcome {
    in_addr Address{};
    int Error = 0;
};

TLookupOutcome LookUp(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error != 0)
        return {.Address = {}, .Error = LookupErrorNumber(error)};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    return {.Address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, .Error = 0};
}

// What a lookup thread shares with the waiting side. The thread holds its own reference, so a
// wait that gives up (time limit, Abort) may drop its reference at once: a lookup stuck in the
// resolver finishes later and touches nothing freed.
struct TLookupState {
    TUniqueFd Done; // an eventfd, readable once Outcome is set
    std::mutex Lock;
    std::optional<TLookupOutcome> Outcome;
};

std::shared_ptr<TLookupState> StartLookUp(const QString& host) {
    auto state = std::make_shared<TLookupState>();
    state->Done.Reset(::eventfd(0, EFD_CLOEXEC));
    if (!state->Done.Valid())
        throw ENetSocketError(SocketErrorNumber(errno));
    try {
        std::thread([state, name = host.toUtf8().toStdString()] {
            const TLookupOutcome outcome = LookUp(name);
            {
                const std::lock_guard lock(state->Lock);
                state->Outcome = outcome;
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(state->Done.Get(), &one, sizeof one);
        }).detach();
    } catch (const std::system_error& error) {
        throw ENetSocketError(SocketErrorNumber(error.code().value()));
    }
    return state;
}

in_addr LookUpWithin(const QString& host, const std::function<void(int fd)>& waitUntilReadable) {
    const std::shared_ptr<TLookupState> state = StartLookUp(host);
    waitUntilReadable(state->Done.Get());
    const std::lock_guard lock(state->Lock);
    if (!state->Outcome)
        throw ENetSocketError(ErrTimedOut);
    if (state->Outcome->Error != 0)
        throw ENetSocketError(state->Outcome->Error);
    return state->Outcome->Address;
}

TEndpoint EndpointOf(int fd, int (*query)(int, sockaddr*, socklen_t*)) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return {AddressText(address.sin_addr), ntohs(address.sin_port)};
}

} // namespace

namespace NetSockets {

std::optional<in_addr> ParseDottedQuad(const QString& text) {
    const QStringList fields = text.split(QLatin1Char('.'));
    if (fields.size() != 4)
        return std::nullopt;
    std::uint32_t address = 0;
    for (const QString& field : fields) {
        if (field.isEmpty() || field.size() > 3 ||
            !std::all_of(field.begin(), field.end(),
                         [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            return std::nullopt;
        const int value = field.toInt();
        if (value > 255)
            return std::nullopt;
        address = (address << 8) | static_cast<std::uint32_t>(value);
    }
    return in_addr{htonl(address)};
}

QString AddressText(const in_addr& address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    ::inet_ntop(AF_INET, &address, text.data(), text.size());
    return QString::fromLatin1(text.data());
}

sockaddr_in SocketAddress(const in_addr& address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr = address;
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    return result;
}

TUniqueFd AllocateSocket(int flags) {
    TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    if (!socket.Valid())
        throw ENetInvalidSocket();
    return socket;
}

void Bind(int fd, const QString& ip, int port) {
    const std::optional<in_addr> address =
        ip.isEmpty() ? std::optional<in_addr>(in_addr{htonl(INADDR_ANY)}) : ParseDottedQuad(ip);
    if (!address || port < 0 || port > 65535)
        throw ENetSocketError(ErrAddressNotAvailable);
    const sockaddr_in local = SocketAddress(*address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
        return;
    if (errno == EADDRINUSE)
        throw ENetCouldNotBindSocket();
    throw ENetSocketError(SocketErrorNumber(errno));
}

void SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

in_addr ResolveHost(const QString& host, const std::function<void()>& reportResolving,
                    const std::function<void(int fd)>& waitUntilReadable) {
    if (const std::optional<in_addr> dotted = ParseDottedQuad(host))
        return *dotted;
    reportResolving();
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0)
        return in_addr{htonl(INADDR_LOOPBACK)};
    return LookUpWithin(host, waitUntilReadable);
}

TEndpoint LocalEndpoint(int fd) {
    return EndpointOf(fd, &::getsockname);
}

TEndpoint PeerEndpoint(int fd) {
    return EndpointOf(fd, &::getpeername);
}

} // namespace NetSockets
