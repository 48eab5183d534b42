// libFuzzer target for the FTP reply reader: arbitrary bytes sent by a server over a real
// socket are read as replies, single- and multi-line, until the server's close
// ends them; the last line of each goes through the passive-mode reply parser. Failures are the
// net layer's errors (or a conversion error of the parser), never anything else.

#include "FuzzSupport.h"
#include "NetErrors.h"
#include "NetFTP.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <vector>

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

  private:
    int Fd;
};

// A connected pair of stream sockets: the client's end and the server's. A socket pair rather
// than TCP on loopback: a million connections a run would use up the ports waiting out their
// TIME_WAIT, and the reader sees the same stream either way.
std::pair<int, int> Connect() {
    int ends[2] = {-1, -1};
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    return {ends[0], ends[1]};
}

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
    const auto [client, serverEnd] = Connect();
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
