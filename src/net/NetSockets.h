#pragma once

#include "NetConnection.h"

#include <QString>

#include <functional>
#include <optional>

#include <netinet/in.h>
#include <sys/socket.h>

// The POSIX calls under the connection classes: IPv4 addresses, name lookup, allocating and
// binding sockets. Failures are raised as the net layer's exceptions.
namespace NetSockets {

constexpr int ErrInvalidArgument = 10022;
constexpr int ErrAddressNotAvailable = 10049;
constexpr int ErrTimedOut = 10060;
constexpr int ErrNoRouteToHost = 10065;

// Four dot-separated fields, each a whole number from 0 to 255.
std::optional<in_addr> ParseDottedQuad(const QString& text);
QString AddressText(const in_addr& address);
sockaddr_in SocketAddress(const in_addr& address, int port);

// "LOCALHOST" (any letter case) and dotted addresses need no lookup; for any other name
// `reportResolving` runs first and the first IPv4 address found is taken. The lookup runs on a
// thread of its own; `waitUntilReadable` gets a descriptor that becomes readable when it ends,
// so the caller bounds the wait and services the GUI meanwhile. A wait that gives up by throwing
// leaves the lookup to finish unseen.
in_addr ResolveHost(const QString& host, const std::function<void()>& reportResolving,
                    const std::function<void(int fd)>& waitUntilReadable);

// A TCP socket (close-on-exec, plus `flags`); ENetInvalidSocket when none can be had.
TUniqueFd AllocateSocket(int flags = 0);
// Binds to an IPv4 address (empty: any) and port (0: the system picks).
void Bind(int fd, const QString& ip, int port);
void SetBlocking(int fd, bool blocking);

struct TEndpoint {
    QString IP;
    int Port = 0;
};
TEndpoint LocalEndpoint(int fd);
TEndpoint PeerEndpoint(int fd);

} // namespace NetSockets
