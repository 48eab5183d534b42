#include "NetConnection.h"
#include "NetAntiFreeze.h"
#include "NetErrors.h"
#include "ResolverSandbox.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using namespace std::chrono_literals;
using TServer = TScriptedServer;

struct TReply {
    int Code;
    QStringList Lines;
};

// Runs `operation`, expecting an ENetSocketError with `code`; answers how long it took.
template <typename TOperation>
std::chrono::milliseconds ExpectSocketError(int code, TOperation&& operation) {
    const auto start = std::chrono::steady_clock::now();
    try {
        operation();
        ADD_FAILURE() << "no socket error " << code;
    } catch (const ENetSocketError& error) {
        EXPECT_EQ(error.ErrorCode(), code) << error.what();
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class ConnectionTest : public testing::Test {
  protected:
    ConnectionTest() {
        Client.Host = QStringLiteral("127.0.0.1");
        Client.Port = Server.Port();
        Client.Timeout = 300ms;
        Client.OnStatus = [this](TNetComponent&, TNetStatus status, const QString& text) {
            Statuses.emplace_back(status, text);
        };
    }

    // Declared first, so the client closes before the server waits for it to.
    TServer Server;
    TNetTCPClient Client;
    std::vector<std::pair<TNetStatus, QString>> Statuses;
};

// ---- Reading replies ---------------------------------------------------------------------------

TEST_F(ConnectionTest, RepliesAreReadLineByLineWhateverTheLineEndsAndPieces) {
    struct TCase {
        const char* Name;
        QByteArray Bytes;
        int PieceBytes; // 0: all at once
        bool CloseAfter;
        std::vector<TReply> Replies;
    };
    const QByteArray greeting = "220-Welcome\r\n220-to the test\r\n220 Ready\r\n";
    const QStringList greetingLines = {"220-Welcome", "220-to the test", "220 Ready"};
    const TCase cases[] = {
        {"multi-line greeting", greeting, 0, false, {{220, greetingLines}}},
        {"multi-line greeting byte by byte", greeting, 1, false, {{220, greetingLines}}},
        {"short continuation line ends the reply early",
         "250-first\r\nok\r\n250 last\r\n",
         0,
         false,
         {{0, {"250-first", "ok"}}, {250, {"250 last"}}}},
        {"lines of another code inside a multi-line reply",
         "211-Features\r\n212 x\r\n211 End\r\n",
         0,
         false,
         {{211, {"211-Features", "212 x", "211 End"}}}},
        {"end marker without letter case, +OK and -ERR",
         "+OK-first\r\n+ok last\r\n-ERR no\r\n",
         0,
         false,
         {{1, {"+OK-first", "+ok last"}}, {0, {"-ERR no"}}}},
        {"LF-only lines and blank lines between replies",
         "\r\n\n \t\r\n200 one\n\n331 two\r\n",
         0,
         false,
         {{200, {"200 one"}}, {331, {"331 two"}}}},
        {"blanks and control characters trimmed",
         "\x01 226 done \t\r\n",
         0,
         false,
         {{226, {"226 done"}}}},
        {"no number gives code 0", "abc\r\n", 0, false, {{0, {"abc"}}}},
        {"last line ended by the close", "226 done", 0, true, {{226, {"226 done"}}}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TServer server;
        const TServer::TStep say = test.PieceBytes > 0
                                       ? TServer::SayInPieces(test.Bytes, test.PieceBytes)
                                       : TServer::Say(test.Bytes);
        server.Run(test.CloseAfter ? std::vector{say, TServer::Close()} : std::vector{say});
        TNetTCPClient client;
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = server.Port();
        client.Timeout = 1s;
        client.Connect();
        for (const TReply& reply : test.Replies) {
            EXPECT_EQ(client.ReadReply({}), reply.Code);
            EXPECT_EQ(client.ReplyCode(), reply.Code);
            EXPECT_EQ(client.ReplyLines(), reply.Lines);
        }
    }
}

TEST_F(ConnectionTest, RefusedCodeCarriesTheLineAndLeavesTheConnectionUsable) {
    Server.Run({TServer::Say("550 gone.jpg: No such file\r\n200 fine\r\n")});
    Client.Connect();
    try {
        Client.ReadReply({250, 226});
        FAIL() << "accepted 550";
    } catch (const ENetProtocolReplyError& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("550 gone.jpg: No such file"));
        EXPECT_EQ(error.ReplyCode(), 550);
    }
    EXPECT_EQ(Client.ReadReply({200}), 200);
}

TEST_F(ConnectionTest, PeerCloseEndsTheReadAndClosesTheSocket) {
    Server.Run({TServer::Close()});
    int disconnected = 0;
    Client.OnDisconnected = [&](TNetComponent&) {
        ++disconnected;
    };
    Client.Connect();
    Statuses.clear();
    try {
        Client.ReadReply({});
        FAIL() << "read past the close";
    } catch (const ENetConnClosedGracefully& error) {
        EXPECT_STREQ(error.what(), "Connection Closed Gracefully.");
    }
    EXPECT_FALSE(Client.Allocated());
    EXPECT_EQ(disconnected, 1);
    const decltype(Statuses) expected = {
        {TNetStatus::hsDisconnecting, "Disconnecting from 127.0.0.1."},
        {TNetStatus::hsDisconnected, "Not connected."}};
    EXPECT_EQ(Statuses, expected);
}

// A fault this guards against: probing the socket for the close must not throw away the reply
// the server sent just before closing.
TEST_F(ConnectionTest, IsConnectedFindsThePeersCloseAndKeepsWhatCameBefore) {
    Server.Run({TServer::Say("421 Bye\r\n"), TServer::Close()});
    Client.Connect();
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (Client.IsConnected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(Client.IsConnected());
    EXPECT_FALSE(Client.Allocated());
    EXPECT_EQ(Client.ReadReply({}), 421);
}

// ---- Connecting --------------------------------------------------------------------------------

TEST_F(ConnectionTest, ConnectingReportsItsStepsAndRecordsBothEnds) {
    struct TCase {
        QString Host;
        QStringList Texts;
    };
    const TCase cases[] = {
        {"127.0.0.1", {"Connecting to 127.0.0.1.", "Connected."}},
        // Any letter case, and no lookup.
        {"LocalHost", {"Resolving hostname LocalHost.", "Connecting to 127.0.0.1.", "Connected."}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Host.toStdString());
        TServer server;
        server.Run({});
        TNetTCPClient client;
        QStringList texts;
        client.OnStatus = [&](TNetComponent&, TNetStatus, const QString& text) {
            texts << text;
        };
        int connected = 0;
        client.OnConnected = [&](TNetComponent&) {
            ++connected;
        };
        client.Host = test.Host;
        client.Port = server.Port();
        client.Connect();
        EXPECT_EQ(texts, test.Texts);
        EXPECT_EQ(connected, 1);
        EXPECT_EQ(client.PeerIP(), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(client.PeerPort(), server.Port());
        EXPECT_EQ(client.LocalIP(), QStringLiteral("127.0.0.1"));
        EXPECT_GT(client.LocalPort(), 0);

        texts.clear();
        client.Disconnect();
        EXPECT_EQ(texts, QStringList({"Disconnecting from 127.0.0.1.", "Not connected."}));
        EXPECT_TRUE(client.PeerIP().isEmpty());
    }
}

TEST_F(ConnectionTest, RefusedConnectIsSocketError10061) {
    // A bound socket that does not listen: its port refuses connections.
    const TUniqueFd closedPort(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closedPort.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(closedPort.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    Client.Port = ntohs(address.sin_port);
    try {
        Client.Connect();
        FAIL() << "connected to a closed port";
    } catch (const ENetSocketError& error) {
        EXPECT_STREQ(error.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(Client.Allocated());
    // Not left showing "Connecting to": the status ends as a closed connection's does.
    const decltype(Statuses) expected = {
        {TNetStatus::hsConnecting, "Connecting to 127.0.0.1."},
        {TNetStatus::hsDisconnecting, "Disconnecting from 127.0.0.1."},
        {TNetStatus::hsDisconnected, "Not connected."}};
    EXPECT_EQ(Statuses, expected);
}

// Faults this guards against: the lookup blocked the window without a bound, and a failed one
// left "Resolving hostname" showing. The system's own resolver is used, inside namespaces where
// a scripted DNS server on loopback answers (see ResolverSandbox.h).
TEST(NameLookupTest, LookupsRunBoundedWithTheWindowServicedAndEndWithAClosingStatus) {
    if (!ResolverSandbox::InSandbox()) {
        const ResolverSandbox::TRun run = ResolverSandbox::RunCurrentTestInSandbox();
        if (!run.Started)
            GTEST_SKIP() << run.Output.toStdString();
        EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
        EXPECT_TRUE(run.Output.contains(QLatin1String("[  PASSED  ] 1 test")))
            << run.Output.toStdString();
        return;
    }
    ResolverSandbox::Enter();
    TScriptedResolver resolver;
    struct TCase {
        const char* Host;
        const char* Error; // empty: connected
        QStringList Statuses;
    };
    const auto failed = [](const QString& host) {
        return QStringList{"Resolving hostname " + host + ".", "Disconnecting from " + host + ".",
                           "Not connected."};
    };
    const TCase cases[] = {
        {"camera.kamvero.invalid",
         "",
         {"Resolving hostname camera.kamvero.invalid.", "Connecting to 127.0.0.1.", "Connected."}},
        {"missing.kamvero.invalid", "Socket Error # 10065\r\nNo route to host.",
         failed("missing.kamvero.invalid")},
        // The resolver itself would wait 5 s; our bound ends it first.
        {"silent.kamvero.invalid", "Socket Error # 10060\r\nConnection timed out.",
         failed("silent.kamvero.invalid")},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Host);
        TServer server;
        server.Run({});
        int pumped = 0;
        const TNetAntiFreeze freeze([&] { ++pumped; });
        TNetTCPClient client;
        client.Host = QString::fromLatin1(test.Host);
        client.Port = server.Port();
        client.Timeout = 500ms;
        QStringList statuses;
        client.OnStatus = [&](TNetComponent&, TNetStatus, const QString& text) {
            statuses << text;
        };
        QString error;
        try {
            client.Connect();
        } catch (const ENetError& failure) {
            error = failure.Message();
        }
        EXPECT_EQ(error, QString::fromLatin1(test.Error));
        EXPECT_EQ(statuses, test.Statuses);
        EXPECT_EQ(client.Allocated(), error.isEmpty());
        if (QString::fromLatin1(test.Host).startsWith(QLatin1String("silent."))) {
            EXPECT_GE(pumped, 5) << "the window was not serviced while the lookup waited";
        }
    }
    // The lookup given up on is still inside the resolver, its client gone; letting it finish
    // now must touch nothing freed (the sanitizer builds see it if it does).
    resolver.Release();
    std::this_thread::sleep_for(200ms);
}

TEST(NetErrorsTest, ErrnoValuesBecomeTheKnownSocketErrorTexts) {
    const std::pair<int, const char*> cases[] = {
        {ECONNREFUSED, "Socket Error # 10061\r\nConnection refused."},
        {ETIMEDOUT, "Socket Error # 10060\r\nConnection timed out."},
        {ECONNRESET, "Socket Error # 10054\r\nConnection reset by peer."},
        {EPIPE, "Socket Error # 10058\r\nCannot send or receive after socket is closed."},
        {EWOULDBLOCK, "Socket Error # 10035\r\nOperation would block. "},
        {EADDRINUSE, "Socket Error # 10048\r\nAddress already in use."},
        {EHOSTUNREACH, "Socket Error # 10065\r\nNo route to host."},
        {EBADF, "Socket Error # 10038\r\nSocket operation on non-socket."},
        {ENOTEMPTY, "Socket Error # 10066\r\nDirectory not empty"},
        // Outside the table: its own number, no text.
        {ENOENT, "Socket Error # 2\r\n"},
    };
    for (const auto& [errnoValue, message] : cases)
        EXPECT_STREQ(ENetSocketError(SocketErrorNumber(errnoValue)).what(), message) << errnoValue;
}

TEST(NetErrorsTest, StrToIntTakesWholeDecimalNumbersOnly) {
    const std::pair<QString, int> numbers[] = {{"42", 42}, {" 7", 7}, {"-3", -3}, {"+5", 5}};
    for (const auto& [text, value] : numbers)
        EXPECT_EQ(StrToInt(text), value) << text.toStdString();
    for (const QString text : {"1x", "", "7 ", "0x10", "99999999999"}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "took " << text.toStdString();
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(),
                      QStringLiteral("'%1' is not a valid integer value").arg(text));
        }
    }
}

// ---- Time limits and Abort ---------------------------------------------------------------------

TEST_F(ConnectionTest, SilentServerTimesOutWithin10060) {
    Server.Run({});
    Client.Connect();
    const auto took = ExpectSocketError(10060, [&] { Client.ReadReply({}); });
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1500ms);
    // Only a close by the peer or a shut-down socket closes it; the caller closes the rest.
    EXPECT_TRUE(Client.Allocated());
}

TEST_F(ConnectionTest, ConnectWaitIsBoundedByTimeout) {
    // A listener whose queue is full and that never accepts: the kernel leaves further
    // handshakes unanswered, so connecting hangs until our limit ends it.
    const TUniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    socklen_t size = sizeof address;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    std::vector<TUniqueFd> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back().Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    std::this_thread::sleep_for(20ms);
    Client.Port = ntohs(address.sin_port);
    const auto took = ExpectSocketError(10060, [&] { Client.Connect(); });
    EXPECT_LT(took, 1500ms);
    EXPECT_FALSE(Client.Allocated());
}

TEST_F(ConnectionTest, AbortFromAnotherThreadEndsTheWaitWith10004) {
    Server.Run({});
    Client.Timeout = 5s;
    Client.Connect();
    std::thread aborter([this] {
        std::this_thread::sleep_for(100ms);
        Client.Abort();
    });
    const auto took = ExpectSocketError(10004, [&] { Client.ReadReply({}); });
    aborter.join();
    EXPECT_LT(took, 1s);
    EXPECT_FALSE(Client.Allocated());
    EXPECT_STREQ(ENetSocketError(10004).what(), "Socket Error # 10004\r\nInterrupted system call.");
}

// ---- The anti-freeze ---------------------------------------------------------------------------

TEST(AntiFreezeTest, OnlyOnePerApplication) {
    {
        const TNetAntiFreeze first([] {});
        EXPECT_EQ(TNetAntiFreeze::Instance(), &first);
        try {
            const TNetAntiFreeze second([] {});
            FAIL() << "a second anti-freeze was made";
        } catch (const ENetAntiFreezeOnlyOne& error) {
            EXPECT_STREQ(error.what(), "Only one TNetAntiFreeze can exist per application.");
        }
        EXPECT_EQ(TNetAntiFreeze::Instance(), &first);
    }
    EXPECT_EQ(TNetAntiFreeze::Instance(), nullptr);
    const TNetAntiFreeze again([] {});
    EXPECT_EQ(TNetAntiFreeze::Instance(), &again);
}

TEST_F(ConnectionTest, WaitsAndSendsServiceTheGuiOnlyOnItsThread) {
    std::vector<std::thread::id> pumpThreads;
    const TNetAntiFreeze freeze([&] { pumpThreads.push_back(std::this_thread::get_id()); });
    EXPECT_EQ(TNetAntiFreeze::SliceMs(1000), 50);

    Server.Run({TServer::Pause(200), TServer::Say("220 late\r\n")});
    Client.Timeout = 2s;
    Client.Connect();
    Client.ReadReply({220});
    // A 200 ms wait cut into slices of at most 50 ms, each followed by the pump.
    EXPECT_GE(pumpThreads.size(), 3u);
    const std::size_t afterWait = pumpThreads.size();
    Client.SendBytes("NOOP\r\n");
    EXPECT_GT(pumpThreads.size(), afterWait);
    for (const std::thread::id id : pumpThreads)
        EXPECT_EQ(id, std::this_thread::get_id());

    // The same kind of wait on another thread is neither sliced nor pumped.
    pumpThreads.clear();
    TServer other;
    other.Run({TServer::Pause(200), TServer::Say("220 late\r\n")});
    int otherSlice = 0;
    std::thread worker([&] {
        otherSlice = TNetAntiFreeze::SliceMs(1000);
        TNetTCPClient client;
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = other.Port();
        client.Timeout = 2s;
        client.Connect();
        client.ReadReply({220});
    });
    worker.join();
    EXPECT_EQ(otherSlice, 1000);
    EXPECT_TRUE(pumpThreads.empty());
}

TEST_F(ConnectionTest, AbortFromTheGuiEndsTheWaitAtTheNextSlice) {
    bool armed = false;
    const TNetAntiFreeze freeze([&] {
        if (armed)
            Client.Abort();
    });
    Server.Run({});
    Client.Timeout = 5s;
    Client.Connect();
    armed = true;
    const auto took = ExpectSocketError(10004, [&] { Client.ReadReply({}); });
    EXPECT_LT(took, 500ms);
    EXPECT_FALSE(Client.Allocated());
}

} // namespace
