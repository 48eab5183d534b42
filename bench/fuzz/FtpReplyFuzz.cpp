// libFuzzer target for the FTP reply reader: arbitrary bytes sent by a server over a real
// loopback connection are read as replies, single- and multi-line, until the server's close
// ends them; the last line of each goes through the passive-mode reply parser. Failures are the
// net layer's errors (or a conversion error of the parser), never anything else.

#include "FuzzSupport.h"
#include "NetErrors.h"
#include "NetFTP.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connection that takes an already connected socket, as the client's connect step does.
class TReplyReader : public TNetTCPConnection {
  public:
    using TNetTCPConnection::AdoptSocket;
};

class TDescriptor {
  public:
    explicit TDescriptor(int fd = -1) : Fd(fd) {}
    ~TDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    int Get() const { return Fd; }
    int Release() { return std::exchange(Fd, -1); }

  private:
    int Fd;
};

// The server side: one listening socket on 127.0.0.1 for the whole run.
class TLoopbackServer {
  public:
    TLoopbackServer() : Listener(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        Require(::bind(Listener.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0);
        Require(::listen(Listener.Get(), 4) == 0);
        Require(::getsockname(Listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0);
        Address = address;
    }

    // A connected pair: the client's socket and the server's end of it.
    std::pair<int, int> Connect() const {
        TDescriptor client(::socket(AF_INET, SOCK_STREAM, 0));
        Require(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&Address),
                          sizeof Address) == 0);
        const int server = ::accept(Listener.Get(), nullptr, nullptr);
        Require(server >= 0);
        // The client's close resets the connection rather than ending it: with a million
        // connections a run, the ports waiting out their TIME_WAIT would run out.
        const linger reset{1, 0};
        Require(::setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0);
        return {client.Release(), server};
    }

  private:
    TDescriptor Listener;
    sockaddr_in Address{};
};

void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
        Require(put > 0);
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TLoopbackServer server;
    const auto [client, serverEnd] = server.Connect();
    {
        const TDescriptor peer(serverEnd);
        SendAll(peer.Get(), data, size);
    }
    TReplyReader reader;
    reader.Timeout = std::chrono::milliseconds(2000);
    reader.AdoptSocket(client);
    try {
        // Each reply takes at least one byte, so the input's size bounds the loop.
        for (std::size_t replies = 0; replies <= size; ++replies) {
            const int code = reader.ReadReply({});
            const QStringList lines = reader.ReplyLines();
            Require(!lines.isEmpty());
            Require(code == reader.ReplyCode());
            try {
                const TPasvAddress address = ParsePasvReply(lines.last());
                static_cast<void>(address);
            } catch (const EConvertError&) {
            }
        }
        Require(false); // the server's close must end the replies
    } catch (const ENetError&) {
    }
    return 0;
}
