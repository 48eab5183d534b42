#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

enum class TNetStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsText
};
enum class TWorkMode { wmRead = 0, wmWrite = 1 };

class TNetComponent;
using TNetStatusEvent =
    std::function<void(TNetComponent& sender, TNetStatus status, const QString& statusText)>;
using TWorkBeginEvent =
    std::function<void(TNetComponent& sender, TWorkMode mode, std::int64_t countMax)>;
using TWorkEvent = std::function<void(TNetComponent& sender, TWorkMode mode, std::int64_t count)>;
using TWorkEndEvent = std::function<void(TNetComponent& sender, TWorkMode mode)>;
using TNotifyEvent = std::function<void(TNetComponent& sender)>;

// Owns one file descriptor (a socket or a file) and closes it.
class TUniqueFd {
  public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : Fd(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& other) noexcept : Fd(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    int Get() const { return Fd; }
    bool Valid() const { return Fd >= 0; }
    int Release() { return std::exchange(Fd, -1); }
    // Closes the descriptor held, then holds `fd`.
    void Reset(int fd = -1);

  private:
    int Fd = -1;
};

// Carries the status event.
class TNetComponent {
  public:
    virtual ~TNetComponent() = default;
    TNetStatusEvent OnStatus;

  protected:
    // Fires OnStatus, when set, with the kind's text filled with the argument.
    void DoStatus(TNetStatus status, const QString& argument = {});
};

// One connected TCP socket (IPv4, blocking) with its input buffer, reply reader, send routine
// and work events. The socket is closed by the destructor.
class TNetTCPConnection : public TNetComponent {
  public:
    TNetTCPConnection();
    ~TNetTCPConnection() override;
    TNetTCPConnection(const TNetTCPConnection&) = delete;
    TNetTCPConnection& operator=(const TNetTCPConnection&) = delete;

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    TNotifyEvent OnDisconnected;
    int SendBufferSize = 32768;
    int RecvBufferSize = 32768;
    // The longest a reply, a send or a connect may go without progress before the operation
    // fails with socket error 10060.
    std::chrono::milliseconds Timeout{60000};

    bool Allocated() const;
    // True while a socket is allocated; a connection the peer has closed (or reset) is closed
    // here first and reported as not connected. Data already sent by the peer is kept.
    bool IsConnected();
    QString LocalIP() const;
    int LocalPort() const;
    QString PeerIP() const;
    int PeerPort() const;

    // The last reply: its trimmed lines and its code.
    QStringList ReplyLines() const { return LastReplyLines; }
    int ReplyCode() const { return LastReplyCode; }

    // Reads one reply (multi-line aware) and checks its code against `accepted` (empty: all).
    int ReadReply(const std::vector<int>& accepted);
    // Sends the bytes with repeated send calls, servicing the GUI after each.
    void SendBytes(const QByteArray& bytes);
    // Sends a whole file from its current position under a write work level.
    void SendFile(int fd);
    // Closes the socket: disconnecting and disconnected status, OnDisconnected.
    void Disconnect();

    // Makes the wait in progress, and every later one until the socket is closed, fail at its
    // next slice with socket error 10004; the wait that sees it closes its socket (TNetFTP also
    // closes the control connection when a data transfer is cut). For a window that must close
    // while an operation waits; callable from a handler run during the wait or another thread.
    void Abort();
    // Makes this connection's waits follow the owner's Abort as well (a data connection follows
    // its control connection). The owner must outlive this connection.
    void FollowAbortOf(const TNetTCPConnection& owner);

  protected:
    // For derived classes: the socket, adopting or releasing it.
    int Socket() const;
    void AdoptSocket(int fd);
    // Step 2 of connecting: no socket, an empty input buffer, the closed-gracefully flag
    // cleared, and an Abort meant for the previous socket forgotten.
    void ResetConnection();
    // Waits until `fd` is ready for `events` (poll flags): sliced for the GUI, bounded by
    // Timeout (socket error 10060), cut short by Abort (socket error 10004).
    void WaitUntilReady(int fd, short events);
    // The same, bounded by `deadline` instead of Timeout from now.
    void WaitUntilReady(int fd, short events, std::chrono::steady_clock::time_point deadline);
    // Raises the socket error of a failed call; 10058 (shut down) closes the socket first.
    [[noreturn]] void FailSocketCall(int errnoValue);
    // After an Abort (this connection's or the one it follows): closes the socket and raises
    // socket error 10004. Otherwise nothing.
    void ThrowIfAborted();

    void BeginWork(TWorkMode mode, std::int64_t countMax);
    void DoWork(TWorkMode mode, std::int64_t count);
    void EndWork(TWorkMode mode);

  private:
    struct TState;
    std::unique_ptr<TState> State;
    QStringList LastReplyLines;
    int LastReplyCode = 0;

    void SendRaw(const char* data, std::int64_t size);
    void ReceiveMore();
    QString ReadLn();
    QString ReadReplyLine();
    [[noreturn]] void ThrowNotConnected() const;
};

// Adds connecting to a host.
class TNetTCPClient : public TNetTCPConnection {
  public:
    QString Host;
    int Port = 0;
    QString BoundIP;
    bool UseNagle = true;
    TNotifyEvent OnConnected;

    // Looks the host up (bounded by Timeout like every other wait) and connects. A failure
    // after the resolving or connecting status closes with the disconnecting and disconnected
    // statuses, as a closed connection does.
    void Connect();

  private:
    void ConnectSocket(std::optional<QString>& closingName);
    void ReportClosedBeforeConnected(const QString& closingName);
};

// Listens for exactly one incoming connection and then behaves as a connection.
class TNetSimpleServer : public TNetTCPConnection {
  public:
    QString BoundIP;
    int BoundPort = 0;
    // When set, only a connection from this IPv4 address is taken; any other is closed and the
    // wait goes on within the same bound.
    QString AcceptFrom;

    void BeginListen(); // bind (the system picks a port for 0) and listen with a backlog of 1
    void Listen();      // waits (bounded by Timeout) for the connection and accepts it
    QString ListenIP() const;
    int ListenPort() const;

  private:
    TUniqueFd Listener;
};
