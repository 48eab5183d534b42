#include "HttpRawClient.h"

#include "NetSockets.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

} // namespace

THttpRawClient::THttpRawClient(int port) : Socket(NetSockets::AllocateSocket(SOCK_NONBLOCK)) {
    const sockaddr_in server = NetSockets::SocketAddress(in_addr{htonl(INADDR_LOOPBACK)}, port);
    const int noDelay = 1;
    ::setsockopt(Socket.Get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    if (::connect(Socket.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0)
        return;
    EXPECT_EQ(errno, EINPROGRESS) << "connect to port " << port;
    pollfd entry{Socket.Get(), POLLOUT, 0};
    EXPECT_EQ(::poll(&entry, 1, 3000), 1) << "connect to port " << port << " timed out";
}

bool THttpRawClient::Send(const QByteArray& bytes) {
    const auto deadline = TClock::now() + 5s;
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t count = ::send(Socket.Get(), bytes.constData() + sent,
                                     static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (count > 0) {
            sent += count;
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd entry{Socket.Get(), POLLOUT, 0};
        if (::poll(&entry, 1, MsLeft(deadline)) <= 0)
            return false;
    }
    return true;
}

bool THttpRawClient::SendInPieces(const QByteArray& bytes, std::mt19937& random,
                                  int maxPieceBytes) {
    std::uniform_int_distribution<int> pieceSize(1, maxPieceBytes);
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype count = std::min<qsizetype>(pieceSize(random), bytes.size() - at);
        if (!Send(bytes.mid(at, count)))
            return false;
        at += count;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void THttpRawClient::ShutdownWrite() {
    ::shutdown(Socket.Get(), SHUT_WR);
}

bool THttpRawClient::WaitReadable(std::chrono::milliseconds limit) {
    pollfd entry{Socket.Get(), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
}

QByteArray THttpRawClient::ReadUntilClosed(std::chrono::milliseconds limit) {
    const auto deadline = TClock::now() + limit;
    QByteArray received;
    char chunk[16384];
    for (;;) {
        const ssize_t count = ::recv(Socket.Get(), chunk, sizeof chunk, 0);
        if (count > 0) {
            received.append(chunk, count);
            continue;
        }
        // A reset after refusing a request counts as closing it.
        if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
            PeerClosed = true;
            return received;
        }
        pollfd entry{Socket.Get(), POLLIN, 0};
        if (::poll(&entry, 1, MsLeft(deadline)) <= 0)
            return received;
    }
}

QByteArray Exchange(int port, const QByteArray& request) {
    THttpRawClient client(port);
    client.Send(request);
    const QByteArray answer = client.ReadUntilClosed();
    EXPECT_TRUE(client.Closed()) << "the server did not close the connection";
    return answer;
}
