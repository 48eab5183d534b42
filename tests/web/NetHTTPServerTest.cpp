#include "NetHTTPServer.h"
#include "HttpRawClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Stops the server however the test ends.
class TServerGuard {
  public:
    explicit TServerGuard(TNetTCPServer& server) : Server(server) {}
    ~TServerGuard() { Server.SetActive(false); }
    TServerGuard(const TServerGuard&) = delete;
    TServerGuard& operator=(const TServerGuard&) = delete;

  private:
    TNetTCPServer& Server;
};

// What the handlers saw, written on connection threads and read by the test.
class TSeen {
  public:
    void Request(const TNetHTTPRequestInfo& request) {
        const std::lock_guard lock(Lock);
        Requests.push_back(request);
    }
    void Other(const QStringList& words) {
        const std::lock_guard lock(Lock);
        Others.push_back(words);
    }
    std::vector<TNetHTTPRequestInfo> TakeRequests() {
        const std::lock_guard lock(Lock);
        return std::exchange(Requests, {});
    }
    std::vector<QStringList> TakeOthers() {
        const std::lock_guard lock(Lock);
        return std::exchange(Others, {});
    }

  private:
    std::mutex Lock;
    std::vector<TNetHTTPRequestInfo> Requests;
    std::vector<QStringList> Others;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    const auto deadline = TClock::now() + limit;
    while (!condition()) {
        if (TClock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::chrono::milliseconds Since(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start);
}

class HTTPServerTest : public testing::Test {
  protected:
    HTTPServerTest() {
        Server.DefaultPort = 0;
        Server.ServerSoftware = QStringLiteral("Kamvera");
        Server.OnCommandOther = [this](TNetPeerThread&, const QString& command,
                                       const QString& target, const QString& version) {
            Seen.Other({command, target, version});
        };
    }

    // Answers every request with "ok" after recording it.
    void AnswerOk() {
        Server.OnCommandGet = [this](TNetPeerThread&, TNetHTTPRequestInfo& request,
                                     TNetHTTPResponseInfo& response) {
            Seen.Request(request);
            response.ContentText = QStringLiteral("ok");
        };
    }
    void Start() {
        Server.SetActive(true);
        Port = Server.BoundPort();
        ASSERT_GT(Port, 0);
    }

    TSeen Seen;
    TNetHTTPServer Server;
    TServerGuard Guard{Server};
    int Port = 0;
};

const QByteArray OkAnswer = "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\n"
                            "Content-Length: 2\r\n\r\nok";

// ---- Activation ---------------------------------------------------------------------------------

TEST_F(HTTPServerTest, ActivationBindsOnceAndABusyPortIsRefused) {
    AnswerOk();
    Start();
    Server.SetActive(true); // already active: nothing changes
    EXPECT_EQ(Server.BoundPort(), Port);
    EXPECT_EQ(Exchange(Port, "GET / HTTP/1.0\r\n\r\n"), OkAnswer);

    TNetHTTPServer second;
    second.DefaultPort = Port;
    try {
        second.SetActive(true);
        ADD_FAILURE() << "bound a port in use";
    } catch (const ENetCouldNotBindSocket& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(second.Active());

    Server.SetActive(false);
    EXPECT_FALSE(Server.Active());
    EXPECT_EQ(Server.BoundPort(), 0);
    Start(); // a fresh port from the system, served as before
    EXPECT_EQ(Exchange(Port, "GET / HTTP/1.0\r\n\r\n"), OkAnswer);
}

// ---- Responses byte for byte --------------------------------------------------------------------

struct TAnswerCase {
    const char* Name;
    std::function<void(TNetHTTPResponseInfo&)> Handler;
    QByteArray Expected;
};

const TAnswerCase AnswerCases[] = {
    {"text body", [](auto& r) { r.ContentText = "hello"; },
     "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\nContent-Length: "
     "5\r\n\r\nhello"},
    {"length without body, as for HEAD", [](auto& r) { r.ContentLength = 1234; },
     "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\nContent-Length: "
     "1234\r\n\r\n"},
    {"nothing set", [](auto&) {},
     "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\n\r\n"},
    {"404 page with its reason",
     [](auto& r) {
         r.SetResponseNo(404);
         r.ContentText = "<h1>" + r.StatusText + "</h1>";
     },
     "HTTP/1.1 404 Not Found\r\nServer: Kamvera\r\nContent-Type: text/html\r\nContent-Length: "
     "18\r\n\r\n<h1>Not Found</h1>"},
    {"unknown code",
     [](auto& r) {
         r.SetResponseNo(299);
         r.ContentType.clear();
     },
     "HTTP/1.1 299 Unknown Response Code\r\nServer: Kamvera\r\n\r\n"},
    {"cookies and extra headers",
     [](auto& r) {
         r.Cookies << "a=1";
         r.ResponseHeaders.SetValue("X-Extra", "yes");
         r.ContentText = "é";
     },
     "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nX-Extra: yes\r\nServer: Kamvera\r\n"
     "Content-Type: text/html\r\nContent-Length: 2\r\n\r\n\xC3\xA9"},
    // The handler failed before the header: its length is dropped so the text fits. The text
    // is fixed: a handler's message may name local paths.
    {"exception before the header",
     [](auto& r) {
         r.ContentLength = 999;
         throw ENetError("Broken handler in /home/someone/cam.");
     },
     "HTTP/1.1 500 Internal Server Error\r\nServer: Kamvera\r\nContent-Type: "
     "text/html\r\nContent-Length: 21\r\n\r\nInternal Server Error"},
    {"exception after the header",
     [](auto& r) {
         r.ContentLength = 0;
         r.SendHeader();
         r.SendHeader();
     },
     "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\nContent-Length: "
     "0\r\n\r\nHeader has already been written."},
};

TEST_F(HTTPServerTest, AnswersCarryExactlyTheseBytesAndTheConnectionCloses) {
    std::mutex lock;
    const TAnswerCase* current = nullptr;
    Server.OnCommandGet = [&](TNetPeerThread&, TNetHTTPRequestInfo&,
                              TNetHTTPResponseInfo& response) {
        const std::lock_guard guard(lock);
        current->Handler(response);
    };
    Start();
    for (const TAnswerCase& answer : AnswerCases) {
        SCOPED_TRACE(answer.Name);
        {
            const std::lock_guard guard(lock);
            current = &answer;
        }
        // Keep-alive asked for, yet one answer and a close, with no Connection or Date header.
        EXPECT_EQ(Exchange(Port, "GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"),
                  answer.Expected);
    }
}

TEST_F(HTTPServerTest, SendFileSendsTheWholeFileAfterItsHeader) {
    TTempDir folder;
    QByteArray content(100000, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 % 251);
    WriteTextFile(folder.File("camera.jpg"), content);
    std::atomic<qint64> sent = -1;
    std::atomic<bool> emptyType = false;
    Server.MimeTypeForFile = [](const QString& name) {
        return name.endsWith(".jpg") ? QStringLiteral("image/jpeg") : QString();
    };
    Server.OnCommandGet = [&](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                              TNetHTTPResponseInfo& response) {
        if (emptyType)
            response.ContentType.clear();
        sent = TNetHTTPServer::SendFile(thread, response, folder.QPath() + request.Document);
    };
    Start();

    const QByteArray header = "HTTP/1.1 200 OK\r\nServer: Kamvera\r\nContent-Type: text/html\r\n"
                              "Content-Length: 100000\r\n\r\n";
    EXPECT_EQ(Exchange(Port, "GET /camera.jpg HTTP/1.1\r\n\r\n"), header + content);
    EXPECT_EQ(sent, 100000);

    emptyType = true;
    QByteArray typed = header;
    typed.replace("text/html", "image/jpeg");
    EXPECT_EQ(Exchange(Port, "GET /camera.jpg HTTP/1.1\r\n\r\n"), typed + content);

    // The answer names the failure, the error log gets the path.
    std::mutex logLock;
    QStringList logged;
    Server.OnCommandError = [&](const QString& message) {
        const std::lock_guard guard(logLock);
        logged << message;
    };
    Server.SetActive(false);
    Start();
    const QByteArray missing = Exchange(Port, "GET /gone.jpg HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(missing.startsWith("HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_TRUE(missing.endsWith("\r\n\r\nCannot open file."));
    EXPECT_FALSE(missing.contains(folder.QPath().toUtf8()));
    const std::lock_guard guard(logLock);
    EXPECT_EQ(logged, QStringList{"Cannot open file " + folder.File("gone.jpg")});
}

// ---- Requests on the wire -----------------------------------------------------------------------

struct TWireCase {
    const char* Name;
    QByteArray Request;
    bool CloseSending = false;             // the client ends its side after the request
    std::optional<QStringList> Seen = {};  // Command, Document, Version, ParamText; none: no answer
    std::optional<QStringList> Other = {}; // what OnCommandOther got
};

const TWireCase WireCases[] = {
    {.Name = "lower-case method",
     .Request = "get /a.jpg HTTP/1.0\r\n\r\n",
     .Seen = QStringList{"GET", "/a.jpg", "HTTP/1.0", ""}},
    {.Name = "no blank", .Request = "GET\r\n\r\n"},
    {.Name = "stray line end first", .Request = "\r\nGET / HTTP/1.1\r\n\r\n"},
    {.Name = "single blank",
     .Request = "GET /x\r\n\r\n",
     .Seen = QStringList{"GET", "/", "/x", ""}},
    {.Name = "OPTIONS",
     .Request = "OPTIONS * HTTP/1.1\r\n\r\n",
     .Other = QStringList{"OPTIONS", "*", "HTTP/1.1"}},
    {.Name = "DELETE",
     .Request = "delete /a.jpg HTTP/1.1\r\n\r\n",
     .Other = QStringList{"DELETE", "/a.jpg", "HTTP/1.1"}},
    {.Name = "POST without length",
     .Request = "POST /form HTTP/1.0\r\n\r\nname=cam&x=1",
     .CloseSending = true,
     .Seen = QStringList{"POST", "/form", "HTTP/1.0", "name=cam&x=1"}},
    {.Name = "GET with a length",
     .Request = "GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody",
     .Seen = QStringList{"GET", "/", "HTTP/1.1", "body"}},
    {.Name = "query",
     .Request = "HEAD /a.jpg?t=123 HTTP/1.1\r\n\r\n",
     .Seen = QStringList{"HEAD", "/a.jpg", "HTTP/1.1", "t=123"}},
    {.Name = "backslashes and fragment",
     .Request = "GET \\a\\b.jpg#top HTTP/1.1\r\n\r\n",
     .Seen = QStringList{"GET", "/a/b.jpg", "HTTP/1.1", ""}},
    {.Name = "folded header",
     .Request = "GET / HTTP/1.1\r\nX-Folded: one\r\n two\r\n\r\n",
     .Seen = QStringList{"GET", "/", "HTTP/1.1", ""}},
    {.Name = "Digest credentials",
     .Request = "GET / HTTP/1.1\r\nAuthorization: Digest username=\"a\"\r\n\r\n"},
};

TEST_F(HTTPServerTest, RequestsSplitAtRandomAreAnsweredOrLeftUnansweredAsTheirKindSays) {
    AnswerOk();
    Start();
    std::mt19937 random(11);
    for (const TWireCase& wire : WireCases) {
        SCOPED_TRACE(wire.Name);
        THttpRawClient client(Port);
        client.SendInPieces(wire.Request, random);
        if (wire.CloseSending)
            client.ShutdownWrite();
        const QByteArray answer = client.ReadUntilClosed();
        EXPECT_TRUE(client.Closed());
        EXPECT_EQ(answer, wire.Seen ? OkAnswer : QByteArray());

        const std::vector<TNetHTTPRequestInfo> requests = Seen.TakeRequests();
        ASSERT_EQ(requests.size(), wire.Seen ? 1u : 0u);
        if (wire.Seen) {
            const TNetHTTPRequestInfo& request = requests.front();
            EXPECT_EQ(QStringList(
                          {request.Command, request.Document, request.Version, request.ParamText}),
                      *wire.Seen);
            EXPECT_EQ(request.RemoteIP, QStringLiteral("127.0.0.1"));
        }
        const std::vector<QStringList> others = Seen.TakeOthers();
        EXPECT_EQ(others.size(), wire.Other ? 1u : 0u);
        if (wire.Other && !others.empty()) {
            EXPECT_EQ(others.front(), *wire.Other);
        }
    }
}

TEST_F(HTTPServerTest, FoldedHeaderAndQueryParamsReachTheHandler) {
    AnswerOk();
    Start();
    EXPECT_EQ(Exchange(Port, "GET /a.jpg?t=1&n=a+b HTTP/1.1\r\nX-Folded: one\r\n two\r\n\r\n"),
              OkAnswer);
    const std::vector<TNetHTTPRequestInfo> requests = Seen.TakeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].RequestHeaders.Value("x-folded"), QStringLiteral("one two"));
    EXPECT_EQ(requests[0].Params, QStringList({"t=1", "n=a b"}));
}

TEST_F(HTTPServerTest, WithoutAGetHandlerEveryMethodIsLeftToOnCommandOther) {
    Start();
    EXPECT_EQ(Exchange(Port, "GET /x HTTP/1.1\r\n\r\n"), QByteArray());
    EXPECT_EQ(Seen.TakeOthers(), std::vector<QStringList>({{"GET", "/x", "HTTP/1.1"}}));
}

// ---- Limits -------------------------------------------------------------------------------------

TEST_F(HTTPServerTest, AnIdleConnectionIsClosedAfterTheLimitWhileOthersAreServed) {
    Server.IdleTimeout = 300ms;
    AnswerOk();
    Start();
    const auto start = TClock::now();
    THttpRawClient idle(Port);
    EXPECT_EQ(Exchange(Port, "GET / HTTP/1.0\r\n\r\n"), OkAnswer);
    // Half a request is not progress enough to be served; it is closed like silence.
    THttpRawClient partial(Port);
    partial.Send("GET / HTT");
    EXPECT_EQ(idle.ReadUntilClosed(), QByteArray());
    EXPECT_TRUE(idle.Closed());
    EXPECT_GE(Since(start), 250ms);
    EXPECT_LT(Since(start), 2s);
    EXPECT_EQ(partial.ReadUntilClosed(), QByteArray());
    EXPECT_TRUE(partial.Closed());
}

TEST_F(HTTPServerTest, OversizeRequestsAreClosedUnansweredAndTheServerGoesOn) {
    AnswerOk();
    Start();
    QByteArray manyHeaders = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 101; ++i)
        manyHeaders += "X-H" + QByteArray::number(i) + ": v\r\n";
    const QByteArray oversize[] = {
        "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n",
        manyHeaders + "\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 2097152\r\n\r\n" + QByteArray(2097152, 'b'),
        "POST / HTTP/1.1\r\n\r\n" + QByteArray(2097152, 'b'),
    };
    for (const QByteArray& request : oversize) {
        SCOPED_TRACE(request.left(40).toStdString());
        THttpRawClient client(Port);
        client.Send(request); // may fail half-way: the server stops reading
        EXPECT_EQ(client.ReadUntilClosed(), QByteArray());
        EXPECT_TRUE(client.Closed());
    }
    EXPECT_TRUE(Seen.TakeRequests().empty());
    EXPECT_EQ(Exchange(Port, "GET / HTTP/1.0\r\n\r\n"), OkAnswer);
}

// Seventy clients that each sent a header byte every few seconds held all 64 workers for as long
// as they went on: the limit was per receive. The head of a request now has 30 s in all.
TEST_F(HTTPServerTest, DribblingClientsLoseTheirWorkersAtTheHeadLimit) {
    AnswerOk();
    Start();
    std::vector<std::unique_ptr<THttpRawClient>> dribblers;
    for (int i = 0; i < 70; ++i) {
        dribblers.push_back(std::make_unique<THttpRawClient>(Port));
        dribblers.back()->Send("GET / HTTP/1.1\r\nX-Slow: ");
    }
    ASSERT_TRUE(WaitFor([&] { return Server.LiveConnections() == 64; }));
    const auto start = TClock::now();
    while (Since(start) < Server.Limits.MaxHeadTime + 3s) {
        for (const auto& dribbler : dribblers)
            dribbler->Send("a"); // fails once the server has closed it
        std::this_thread::sleep_for(2s);
    }
    THttpRawClient normal(Port);
    normal.Send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(normal.ReadUntilClosed(10s), OkAnswer);
    EXPECT_EQ(dribblers.front()->ReadUntilClosed(1s), QByteArray());
    EXPECT_TRUE(dribblers.front()->Closed());
}

TEST_F(HTTPServerTest, ABodySlowerThanTheLeastRateIsClosedUnanswered) {
    AnswerOk();
    Start();
    THttpRawClient slow(Port);
    slow.Send("POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n");
    // 200 bytes a second: the grace and the few bytes sent run out within seconds.
    const auto start = TClock::now();
    while (!slow.WaitReadable(0ms) && Since(start) < 20s) {
        slow.Send(QByteArray(100, 'b'));
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(slow.ReadUntilClosed(1s), QByteArray());
    EXPECT_TRUE(slow.Closed());
    EXPECT_TRUE(Seen.TakeRequests().empty());
}

TEST_F(HTTPServerTest, TheSixtyFifthConnectionWaitsForAFreeSlot) {
    Server.IdleTimeout = 10s;
    AnswerOk();
    Start();
    std::vector<std::unique_ptr<THttpRawClient>> idle;
    // One at a time: a burst would overflow the backlog of 5 and cost SYN retries of seconds.
    for (int i = 1; i <= 64; ++i) {
        idle.push_back(std::make_unique<THttpRawClient>(Port));
        ASSERT_TRUE(WaitFor([&] { return Server.LiveConnections() == i; }));
    }

    THttpRawClient waiting(Port);
    waiting.Send("GET / HTTP/1.0\r\n\r\n");
    EXPECT_FALSE(waiting.WaitReadable(300ms));
    EXPECT_EQ(Server.LiveConnections(), 64);

    idle.front()->Close();
    EXPECT_EQ(waiting.ReadUntilClosed(), OkAnswer);
}

// The pool grows while connections come in faster than workers free up, stops at the limit, and
// the connections left in the backlog are served as workers come back for them.
TEST_F(HTTPServerTest, ABurstBeyondTheLimitIsServedInFullAndDeactivationStaysBounded) {
    Server.IdleTimeout = 10s;
    AnswerOk();
    Start();
    std::vector<std::unique_ptr<THttpRawClient>> clients;
    for (int i = 0; i < 80; ++i)
        clients.push_back(std::make_unique<THttpRawClient>(Port));
    ASSERT_TRUE(WaitFor([&] { return Server.LiveConnections() == 64; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Server.LiveConnections(), 64);

    for (const auto& client : clients)
        client->Send("GET / HTTP/1.0\r\n\r\n");
    for (const auto& client : clients)
        EXPECT_EQ(client->ReadUntilClosed(), OkAnswer);
    EXPECT_EQ(Seen.TakeRequests().size(), 80u);

    THttpRawClient stuck(Port);
    ASSERT_TRUE(WaitFor([&] { return Server.LiveConnections() == 1; }));
    const auto start = TClock::now();
    Server.SetActive(false);
    EXPECT_LT(Since(start), 1s);
    EXPECT_EQ(stuck.ReadUntilClosed(1s), QByteArray());
}

// ---- Deactivation -------------------------------------------------------------------------------

TEST_F(HTTPServerTest, DeactivationClosesStuckClientsWithoutWaitingForThem) {
    Server.IdleTimeout = 10s;
    AnswerOk();
    Start();
    std::vector<std::unique_ptr<THttpRawClient>> stuck;
    for (int i = 0; i < 3; ++i)
        stuck.push_back(std::make_unique<THttpRawClient>(Port));
    stuck.back()->Send("GET / HTTP/1.1\r\nHost: a\r\n");
    ASSERT_TRUE(WaitFor([&] { return Server.LiveConnections() == 3; }));

    const auto start = TClock::now();
    Server.SetActive(false);
    EXPECT_LT(Since(start), 1s);
    EXPECT_EQ(Server.LiveConnections(), 0);
    for (const auto& client : stuck) {
        EXPECT_EQ(client->ReadUntilClosed(1s), QByteArray());
        EXPECT_TRUE(client->Closed());
    }
}

// A handler that never returns must not hold deactivation beyond TerminateWaitTime.
TEST_F(HTTPServerTest, DeactivationWithAStuckHandlerReturnsWithinTerminateWaitTime) {
    struct TGate {
        std::mutex Lock;
        std::condition_variable Changed;
        bool Entered = false;
        bool Open = false;
    };
    auto gate = std::make_shared<TGate>();
    const std::weak_ptr<TGate> watch = gate;
    Server.TerminateWaitTime = 500;
    Server.OnCommandGet = [gate](TNetPeerThread&, TNetHTTPRequestInfo&, TNetHTTPResponseInfo&) {
        std::unique_lock lock(gate->Lock);
        gate->Entered = true;
        gate->Changed.notify_all();
        gate->Changed.wait_for(lock, 10s, [&] { return gate->Open; });
    };
    Start();
    THttpRawClient client(Port);
    client.Send("GET / HTTP/1.0\r\n\r\n");
    {
        std::unique_lock lock(gate->Lock);
        ASSERT_TRUE(gate->Changed.wait_for(lock, 3s, [&] { return gate->Entered; }));
    }

    const auto start = TClock::now();
    Server.SetActive(false);
    EXPECT_GE(Since(start), 400ms);
    EXPECT_LT(Since(start), 1500ms);

    {
        const std::lock_guard lock(gate->Lock);
        gate->Open = true;
    }
    gate->Changed.notify_all();
    gate.reset();
    Server.OnCommandGet = nullptr;
    // The thread let go ends on its own and frees what it held, the handler included.
    EXPECT_TRUE(WaitFor([&] { return watch.expired(); }));
}

TEST(HTTPStatusText, CodesHaveTheirReasonPhrases) {
    const std::pair<int, const char*> cases[] = {
        {200, "OK"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {413, "Request Entity To Long"},
        {414, "Request-URI Too Long. 256 Chars max"},
        {500, "Internal Server Error"},
        {504, "Gateway timeout"},
        {418, "Unknown Response Code"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_EQ(HTTPStatusText(code), QString::fromLatin1(text)) << code;
}

} // namespace
