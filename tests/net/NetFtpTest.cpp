#include "NetFTP.h"
#include "NetAntiFreeze.h"
#include "NetErrors.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TServer = TScriptedServer;
using TScript = std::vector<TServer::TStep>;

const QStringList LoginCommands = {"user bob", "pass secret", "type I", "syst"};

TScript LoginScript() {
    return {TServer::Say("220 Ready\r\n"), TServer::Reply("331 Password required"),
            TServer::Reply("230 Logged in"), TServer::Reply("200 Type set to I"),
            TServer::Reply("215 UNIX Type: L8")};
}

TScript operator+(TScript first, const TScript& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

QByteArray RandomBytes(qsizetype size) {
    std::vector<quint32> words(static_cast<std::size_t>(size / 4 + 1));
    QRandomGenerator::global()->fillRange(words.data(), static_cast<qsizetype>(words.size()));
    return QByteArray(reinterpret_cast<const char*>(words.data()), size);
}

// The message of the ENetError `operation` throws, or "" when it throws none.
QString ErrorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const ENetError& error) {
        return error.Message();
    }
    return {};
}

class FtpTest : public testing::Test {
  protected:
    FtpTest() {
        Ftp.Host = QStringLiteral("127.0.0.1");
        Ftp.Port = Server.Port();
        Ftp.User = QStringLiteral("bob");
        Ftp.Password = QStringLiteral("secret");
        Ftp.Passive = true;
        Ftp.Timeout = 300ms;
        Ftp.SendBufferSize = 8192;
        Ftp.OnWorkBegin = [this](TNetComponent& sender, TWorkMode mode, std::int64_t countMax) {
            EXPECT_NE(&sender, &Ftp) << "work belongs to the data connection";
            EXPECT_EQ(mode, TWorkMode::wmWrite);
            WorkMax = countMax;
            ++WorkBegins;
        };
        Ftp.OnWork = [this](TNetComponent&, TWorkMode, std::int64_t count) {
            WorkCount = count;
        };
        Ftp.OnWorkEnd = [this](TNetComponent&, TWorkMode mode) {
            EXPECT_EQ(mode, TWorkMode::wmWrite);
            ++WorkEnds;
        };
    }

    QString LocalFile(const QByteArray& content) {
        const QString name = Dir.File(QStringLiteral("camera.jpg"));
        WriteTextFile(name, content);
        return name;
    }

    TTempDir Dir;
    // Declared before the client, so the client closes before the server waits for it to.
    TServer Server;
    TNetFTP Ftp;
    std::int64_t WorkMax = -1;
    std::int64_t WorkCount = 0;
    int WorkBegins = 0;
    int WorkEnds = 0;
};

// ---- Logging in --------------------------------------------------------------------------------

TEST(FtpLoginTest, LoginFollowsTheRepliesAndAnyFailureCloses) {
    struct TCase {
        const char* Name;
        TScript Script;
        QStringList Commands;
        QString Error = {}; // empty: connected
        QString System = {};
        TFtpTransferType Type = TFtpTransferType::ftBinary;
    };
    const TCase cases[] = {
        {"password asked", LoginScript(), LoginCommands, "", "UNIX Type: L8"},
        {"230 to user skips the password",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("230 Logged in"), TServer::Reply("200 OK"),
          TServer::Reply("215 UNIX")},
         {"user bob", "type I", "syst"},
         "",
         "UNIX"},
        {"multi-line greeting",
         {TServer::Say("220-Welcome\r\n220-Be nice\r\n220 Ready\r\n"), TServer::Reply("230 In"),
          TServer::Reply("200 OK"), TServer::Reply("215 Windows_NT")},
         {"user bob", "type I", "syst"},
         "",
         "Windows_NT"},
        {"ASCII transfers",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("230 In"), TServer::Reply("200 OK"),
          TServer::Reply("215 UNIX")},
         {"user bob", "type A", "syst"},
         "",
         "UNIX",
         TFtpTransferType::ftASCII},
        {"SYST 500 is accepted",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("230 In"), TServer::Reply("200 OK"),
          TServer::Reply("500 Unknown command")},
         {"user bob", "type I", "syst"},
         "",
         "Unknown"},
        {"SYST 502 fails",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("230 In"), TServer::Reply("200 OK"),
          TServer::Reply("502 Command not implemented.")},
         {"user bob", "type I", "syst"},
         "502 Command not implemented."},
        {"preliminary greeting fails",
         {TServer::Say("120 Service ready in 5 minutes.\r\n")},
         {},
         "120 Service ready in 5 minutes."},
        {"account request fails",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("331 Password required"),
          TServer::Reply("332 Need account for login.")},
         {"user bob", "pass secret"},
         "332 Need account for login."},
        {"wrong password fails",
         {TServer::Say("220 Ready\r\n"), TServer::Reply("331 Password required"),
          TServer::Reply("530 Login incorrect.")},
         {"user bob", "pass secret"},
         "530 Login incorrect."},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TServer server;
        server.Run(test.Script);
        TNetFTP ftp;
        ftp.Host = QStringLiteral("127.0.0.1");
        ftp.Port = server.Port();
        ftp.User = QStringLiteral("bob");
        ftp.Password = QStringLiteral("secret");
        ftp.TransferType = test.Type;
        ftp.Timeout = 1s;
        EXPECT_EQ(ErrorOf([&] { ftp.ConnectServer(true); }), test.Error);
        EXPECT_EQ(ftp.Allocated(), test.Error.isEmpty());
        if (test.Error.isEmpty()) {
            EXPECT_EQ(ftp.SystemDescription(), test.System);
        }
        ftp.DisconnectServer();
        EXPECT_EQ(server.Commands(), test.Commands);
    }
}

TEST_F(FtpTest, ConnectingTwiceClosesAndFails) {
    Server.Run(LoginScript());
    Ftp.ConnectServer(true);
    EXPECT_EQ(ErrorOf([&] { Ftp.ConnectServer(true); }), QStringLiteral("Already connected."));
    EXPECT_FALSE(Ftp.Allocated());
    EXPECT_EQ(Server.Commands(), LoginCommands);
}

// ---- Commands ----------------------------------------------------------------------------------

TEST_F(FtpTest, CommandsGoOutAsWrittenAndARefusalLeavesTheConnectionUsable) {
    Server.Run(LoginScript() + TScript{TServer::Reply("250 OK"), TServer::Reply("250 OK"),
                                       TServer::Reply("550 gone.jpg: No such file"),
                                       TServer::Reply("250 Deleted"), TServer::Reply("350 Ready"),
                                       TServer::Reply("250 Renamed")});
    Ftp.ConnectServer(true);
    Ftp.ChangeDirectory(QString());
    Ftp.ChangeDirectory(QStringLiteral("Bilder/Größe"));
    EXPECT_EQ(ErrorOf([&] { Ftp.DeleteRemoteFile(QStringLiteral("gone.jpg")); }),
              QStringLiteral("550 gone.jpg: No such file"));
    EXPECT_EQ(Ftp.ReplyCode(), 550);
    Ftp.DeleteRemoteFile(QStringLiteral("camera0010.jpg"));
    Ftp.RenameRemoteFile(QStringLiteral("camera0009.jpg"), QStringLiteral("camera0010.jpg"));
    Ftp.DisconnectServer();
    EXPECT_EQ(Server.Commands(),
              LoginCommands +
                  QStringList({"CWD ", "CWD Bilder/Größe", "DELE gone.jpg", "DELE camera0010.jpg",
                               "RNFR camera0009.jpg", "RNTO camera0010.jpg"}));
}

// A fault this guards against: a name holding CR LF would end the command early and send the
// rest as a command of its own ("a\r\nDELE x" deletes x).
TEST_F(FtpTest, ArgumentsWithLineBreaksAreRefusedBeforeAnythingIsSent) {
    Server.Run(LoginScript() + TScript{TServer::Reply("250 OK")});
    Ftp.ConnectServer(true);
    const QString file = LocalFile("x");
    const std::function<void()> operations[] = {
        [&] { Ftp.ChangeDirectory(QStringLiteral("a\r\nDELE x")); },
        [&] { Ftp.DeleteRemoteFile(QStringLiteral("x\nDELE y")); },
        [&] { Ftp.RenameRemoteFile(QStringLiteral("ok.jpg"), QStringLiteral("b\rDELE c")); },
        [&] { Ftp.UploadFile(file, QStringLiteral("n.jpg\nDELE x"), false); },
        [&] { Ftp.SendCommand(QStringLiteral("NOOP\r\nDELE x"), {}); },
    };
    for (const auto& operation : operations)
        EXPECT_THROW(operation(), ENetUnsafeArgument);
    EXPECT_EQ(
        ErrorOf(operations[0]),
        QStringLiteral("The FTP directory \"a\\r\\nDELE x\" holds a line break and is refused."));
    Ftp.ChangeDirectory(QStringLiteral("safe"));
    Ftp.DisconnectServer();
    EXPECT_EQ(Server.Commands(), LoginCommands + QStringList({"CWD safe"}));

    // Credentials are checked before connecting; the password is not repeated in the message.
    QStringList statuses;
    Ftp.OnStatus = [&](TNetComponent&, TNetStatus, const QString& text) {
        statuses << text;
    };
    Ftp.Password = QStringLiteral("se\ncret");
    EXPECT_EQ(ErrorOf([&] { Ftp.ConnectServer(true); }),
              QStringLiteral("The FTP password holds a line break and is refused."));
    Ftp.Password = QStringLiteral("secret");
    Ftp.User = QStringLiteral("bob\r\nDELE x");
    EXPECT_THROW(Ftp.ConnectServer(true), ENetUnsafeArgument);
    EXPECT_TRUE(statuses.isEmpty()) << statuses.join(", ").toStdString();
}

// ---- Storing files -----------------------------------------------------------------------------

TEST(PasvReplyTest, DataAddressComesFromTheLastLine) {
    struct TCase {
        QString Line;
        QString Host;
        int Port;
    };
    const TCase cases[] = {
        {"227 Entering Passive Mode (10,0,0,1,19,137)", "10.0.0.1", 5001},
        {"227 Entering Passive Mode 10,0,0,1,19,137", "10.0.0.1", 5001},
        {"227 Entering Passive Mode (10,0,0,1,19,137).  ", "10.0.0.1", 5001},
        {"10,0,0,1,19,137", "10.0.0.1", 5001},
        // The host fields are taken as text, the port fields as numbers.
        {"227 =(192,168,000,5,4,210)", "192.168.000.5", 1234},
    };
    for (const TCase& test : cases) {
        const TPasvAddress address = ParsePasvReply(test.Line);
        EXPECT_EQ(address.Host, test.Host) << test.Line.toStdString();
        EXPECT_EQ(address.Port, test.Port) << test.Line.toStdString();
    }
    const std::pair<QString, QString> failures[] = {
        {"227 Entering Passive Mode (10,0,0,1,1x,137)", "'1x' is not a valid integer value"},
        {"227 Entering Passive Mode (10,0,0,1,19)", "'' is not a valid integer value"},
        {"227 Entering Passive Mode (10,0,0,1,1111111112,0)",
         "'1111111112' is out of range for a port"},
        {"227 Entering Passive Mode (10,0,0,1,4,-1)", "'-1' is out of range for a port"},
    };
    for (const auto& [line, message] : failures)
        EXPECT_EQ(ErrorOf([&] { ParsePasvReply(line); }), message) << line.toStdString();
}

TEST_F(FtpTest, StoreCompletesInBothModesWithOneWorkLevel) {
    const QByteArray content = RandomBytes(100000);
    const QString file = LocalFile(content);
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TServer server;
        const TScript transfer =
            passive ? TScript{TServer::Reply(server.PasvReply()), TServer::Reply("150 Opening"),
                              TServer::ReceiveData(), TServer::Say("226 Transfer complete\r\n")}
                    : TScript{TServer::Reply("200 PORT command successful"),
                              TServer::Reply("150 Opening"), TServer::ConnectToPort(),
                              TServer::Say("226 Transfer complete\r\n")};
        server.Run(LoginScript() + transfer);
        Ftp.Port = server.Port();
        Ftp.Passive = passive;
        WorkBegins = WorkEnds = 0;
        Ftp.ConnectServer(true);
        Ftp.UploadFile(file, QStringLiteral("camera.jpg"), false);
        EXPECT_EQ(Ftp.ReplyCode(), 226);
        EXPECT_EQ(WorkBegins, 1);
        EXPECT_EQ(WorkMax, content.size());
        EXPECT_EQ(WorkCount, content.size());
        EXPECT_EQ(WorkEnds, 1);
        Ftp.DisconnectServer();
        const QStringList commands = server.Commands();
        EXPECT_EQ(server.Data(), content);
        ASSERT_EQ(commands.size(), LoginCommands.size() + 2);
        EXPECT_EQ(commands.last(), QStringLiteral("STOR camera.jpg"));
        const QString dataCommand = commands[commands.size() - 2];
        EXPECT_TRUE(passive ? dataCommand == QStringLiteral("PASV")
                            : dataCommand.startsWith(QStringLiteral("PORT 127,0,0,1,")))
            << dataCommand.toStdString();
    }
}

// A fault this guards against: the passive data connection went to whatever address the 227
// reply named, and in active mode whoever dialled the port first got the file, so a hostile
// server or a stranger could take it. 127.0.0.2 stands for another host; nothing leaves loopback.
TEST_F(FtpTest, TheFileGoesOnlyToTheControlConnectionsPeer) {
    const QByteArray content = RandomBytes(100000);
    const QString file = LocalFile(content);
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "227 naming another host" : "a stranger dials the PORT first");
        TServer server;
        const TScript transfer =
            passive ? TScript{TServer::Reply(server.PasvReply("127,0,0,2")),
                              TServer::Reply("150 Opening"), TServer::ReceiveData(),
                              TServer::Say("226 Transfer complete\r\n")}
                    : TScript{TServer::Reply("200 PORT command successful"),
                              TServer::Reply("150 Opening"), TServer::StrangerDialsPort(),
                              TServer::ConnectToPort(), TServer::Say("226 Transfer complete\r\n")};
        server.Run(LoginScript() + transfer);
        Ftp.Port = server.Port();
        Ftp.Passive = passive;
        Ftp.ConnectServer(true);
        EXPECT_EQ(ErrorOf([&] { Ftp.UploadFile(file, QStringLiteral("camera.jpg"), false); }),
                  QString());
        Ftp.DisconnectServer();
        EXPECT_EQ(server.Data(), content);
        EXPECT_TRUE(server.StrangerData().isEmpty());
    }
}

TEST_F(FtpTest, StoreCommandAndFinalRepliesDecideTheOutcome) {
    struct TCase {
        const char* Name;
        QString RemoteName;
        bool Append;
        QByteArray FinalReplies;
        QString Command;
        QString Error;
    };
    const TCase cases[] = {
        {"store", "camera.jpg", false, "226 Done\r\n", "STOR camera.jpg", ""},
        {"append", "camera.jpg", true, "250 Done\r\n", "APPE camera.jpg", ""},
        {"unique name", "", false, "225 Done\r\n", "STOU ", ""},
        {"426 then 226", "camera.jpg", false, "426 Closed\r\n226 Done\r\n", "STOR camera.jpg", ""},
        {"426 then 550", "camera.jpg", false, "426 Closed\r\n550 No room\r\n", "STOR camera.jpg",
         "550 No room"},
        {"451 fails", "camera.jpg", false, "451 Local error\r\n", "STOR camera.jpg",
         "451 Local error"},
    };
    const QByteArray content = RandomBytes(5000);
    const QString file = LocalFile(content);
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TServer server;
        server.Run(LoginScript() + TScript{TServer::Reply(server.PasvReply()),
                                           TServer::Reply("150 Opening"), TServer::ReceiveData(),
                                           TServer::Say(test.FinalReplies)});
        Ftp.Port = server.Port();
        Ftp.ConnectServer(true);
        EXPECT_EQ(ErrorOf([&] { Ftp.UploadFile(file, test.RemoteName, test.Append); }), test.Error);
        Ftp.DisconnectServer();
        EXPECT_EQ(server.Commands(), LoginCommands + QStringList({"PASV", test.Command}));
        EXPECT_EQ(server.Data(), content);
    }
}

TEST_F(FtpTest, UnopenableLocalFileFailsBeforeAnyCommand) {
    Server.Run(LoginScript() + TScript{TServer::Reply("250 OK")});
    Ftp.ConnectServer(true);
    for (const QString& path : {Dir.File(QStringLiteral("missing.jpg")), Dir.QPath()}) {
        EXPECT_EQ(ErrorOf([&] { Ftp.UploadFile(path, QStringLiteral("camera.jpg"), false); }),
                  QStringLiteral("Cannot open file ") + path);
        EXPECT_TRUE(Ftp.Allocated());
    }
    Ftp.ChangeDirectory(QStringLiteral("still/usable"));
    Ftp.DisconnectServer();
    EXPECT_EQ(Server.Commands(), LoginCommands + QStringList({"CWD still/usable"}));
    EXPECT_EQ(WorkBegins, 0);
}

TEST_F(FtpTest, TransferCutShortStillEndsTheWorkOnce) {
    // Larger than what the socket buffers on both ends can take in, so the send must fail.
    const QString file = LocalFile(RandomBytes(12 * 1024 * 1024));
    Server.Run(LoginScript() + TScript{TServer::Reply(Server.PasvReply()),
                                       TServer::Reply("150 Opening"),
                                       TServer::ReceiveDataThenDrop(65536),
                                       TServer::Say("426 Aborted\r\n451 Failed\r\n")});
    Ftp.Timeout = 2s;
    Ftp.ConnectServer(true);
    EXPECT_FALSE(
        ErrorOf([&] { Ftp.UploadFile(file, QStringLiteral("camera.jpg"), false); }).isEmpty());
    EXPECT_EQ(WorkBegins, 1);
    EXPECT_EQ(WorkEnds, 1);
    EXPECT_LT(WorkCount, WorkMax);
}

TEST_F(FtpTest, ServerThatStopsAnsweringFailsWithin10060) {
    const QString bigFile = LocalFile(RandomBytes(12 * 1024 * 1024));
    struct TCase {
        const char* Name;
        std::function<TScript(TServer&)> Script;
        bool Passive;
        bool LogIn;
        std::function<void()> Operation;
        bool Connected; // after the failure
    };
    const TCase cases[] = {
        {"no greeting", [](TServer&) { return TScript{}; }, true, false,
         [&] { Ftp.ConnectServer(true); }, false},
        {"no reply to a command", [](TServer&) { return LoginScript(); }, true, true,
         [&] { Ftp.ChangeDirectory(QStringLiteral("x")); }, true},
        {"passive data never read",
         [](TServer& server) {
             return LoginScript() + TScript{TServer::Reply(server.PasvReply()),
                                            TServer::Reply("150 Opening"), TServer::HoldData()};
         },
         true, true, [&] { Ftp.UploadFile(bigFile, QStringLiteral("camera.jpg"), false); }, true},
        {"active data connection never made",
         [](TServer&) {
             return LoginScript() +
                    TScript{TServer::Reply("200 PORT OK"), TServer::Reply("150 Opening")};
         },
         false, true, [&] { Ftp.UploadFile(bigFile, QStringLiteral("camera.jpg"), false); }, true},
        // Each stranger turned away must not start the wait afresh.
        {"only strangers dial the active port",
         [](TServer&) {
             return LoginScript() + TScript{TServer::Reply("200 PORT OK"),
                                            TServer::Reply("150 Opening"),
                                            TServer::StrangersKeepDialling()};
         },
         false, true, [&] { Ftp.UploadFile(bigFile, QStringLiteral("camera.jpg"), false); }, true},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TServer server;
        server.Run(test.Script(server));
        Ftp.Port = server.Port();
        Ftp.Passive = test.Passive;
        if (test.LogIn)
            Ftp.ConnectServer(true);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ErrorOf(test.Operation),
                  QStringLiteral("Socket Error # 10060\r\nConnection timed out."));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
        EXPECT_EQ(Ftp.Allocated(), test.Connected);
        Ftp.DisconnectServer();
    }
    EXPECT_EQ(WorkBegins, WorkEnds);
}

TEST_F(FtpTest, AbortDuringTheDataTransferClosesBothConnections) {
    const QString file = LocalFile(RandomBytes(12 * 1024 * 1024));
    Server.Run(LoginScript() + TScript{TServer::Reply(Server.PasvReply()),
                                       TServer::Reply("150 Opening"), TServer::HoldData()});
    Ftp.Timeout = 5s;
    Ftp.ConnectServer(true);
    // As a window closing mid-pass does: from a handler run while the transfer waits.
    const TNetAntiFreeze freeze([&] {
        if (WorkBegins > 0)
            Ftp.Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { Ftp.UploadFile(file, QStringLiteral("camera.jpg"), false); }),
              QStringLiteral("Socket Error # 10004\r\nInterrupted system call."));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(Ftp.Allocated());
    EXPECT_EQ(WorkEnds, 1);
}

} // namespace
