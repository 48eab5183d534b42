// One publishing pass against a real FTP server on loopback.
#include "FtpPublisher.h"
#include "FtpServerPeer.h"
#include "NetErrors.h"
#include "NetFTP.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

const QString User = QStringLiteral("kamvero");
const QString Secret = QStringLiteral("s3cret pass");

class FtpPublisherTest : public ::testing::TestWithParam<bool> {
  protected:
    TTempDir Remote;
    TTempDir Local;
    TFtpServerPeer Server{Remote.QPath(), User, Secret};
    TNetFTP Ftp;
    QStringList Logged;
    QStringList Statuses;
    int Uploads = 0;

    FtpPublisherTest() {
        Ftp.Host = QStringLiteral("127.0.0.1");
        Ftp.Port = Server.Port();
        Ftp.User = User;
        Ftp.Password = Secret;
        Ftp.Timeout = std::chrono::milliseconds(5000);
    }

    TFtpPassSettings Settings(int history) const {
        return {.Passive = GetParam(),
                .Directory = QStringLiteral("/"),
                .HistoryCount = history,
                .BaseName = QStringLiteral("camera"),
                .LocalDirectory = Local.QPath() + QLatin1Char('/')};
    }

    void Pass(const TFtpPassSettings& settings) {
        RunFtpPass(Ftp, settings,
                   {.LogError = [this](const QString& message) { Logged << message; },
                    .ShowStatus = [this](const QString& text) { Statuses << text; },
                    .Uploaded =
                        [this] {
                            ++Uploads;
                        }});
    }

    void Snapshot(const QByteArray& content) { WriteTextFile(Local.File("camera.jpg"), content); }

    QStringList RemoteFiles() const {
        return QDir(Remote.QPath()).entryList(QDir::Files, QDir::Name);
    }

    QByteArray RemoteFile(const QString& name) const { return ReadTextFile(Remote.File(name)); }

    // The commands after logging in, without the data connection's own.
    QStringList PassCommands() const {
        QStringList commands = Server.Commands();
        const auto start = commands.indexOf(QStringLiteral("syst"));
        commands = commands.mid(start + 1);
        commands.removeIf([](const QString& line) {
            return line == QLatin1String("PASV") || line.startsWith(QLatin1String("PORT "));
        });
        return commands;
    }
};

TEST_P(FtpPublisherTest, FivePassesKeepTheNewestAndThreeBeforeIt) {
    for (const char* content : {"S1", "S2", "S3", "S4", "S5"}) {
        Snapshot(content);
        Pass(Settings(3));
    }
    EXPECT_EQ(Uploads, 5);
    EXPECT_EQ(RemoteFiles(),
              QStringList({"camera.jpg", "camera0001.jpg", "camera0002.jpg", "camera0003.jpg"}));
    EXPECT_EQ(RemoteFile("camera.jpg"), "S5");
    EXPECT_EQ(RemoteFile("camera0001.jpg"), "S4");
    EXPECT_EQ(RemoteFile("camera0002.jpg"), "S3");
    EXPECT_EQ(RemoteFile("camera0003.jpg"), "S2");
    // Until the history is full, each missing image is one refused DELE or RNFR:
    // 4 + 3 + 2 + 1 + 0 over the five passes.
    EXPECT_EQ(Logged.size(), 10) << Logged.join('\n').toStdString();
    EXPECT_FALSE(Ftp.Allocated());
}

TEST_P(FtpPublisherTest, CommandsGoOutInRotationOrder) {
    for (const QString name : {"camera.jpg", "camera0001.jpg", "camera0002.jpg", "camera0003.jpg"})
        WriteTextFile(Remote.File(name), name.toUtf8());
    Snapshot("new");
    Pass(Settings(3));
    EXPECT_EQ(PassCommands(),
              QStringList({"CWD /", "DELE camera0003.jpg", "RNFR camera0002.jpg",
                           "RNTO camera0003.jpg", "RNFR camera0001.jpg", "RNTO camera0002.jpg",
                           "RNFR camera.jpg", "RNTO camera0001.jpg", "STOR camera.jpg"}));
    EXPECT_TRUE(Logged.isEmpty()) << Logged.join('\n').toStdString();

    Server.ClearCommands();
    Pass(Settings(1));
    EXPECT_EQ(PassCommands(), QStringList({"CWD /", "DELE camera0001.jpg", "RNFR camera.jpg",
                                           "RNTO camera0001.jpg", "STOR camera.jpg"}));

    Server.ClearCommands();
    Pass(Settings(0));
    EXPECT_EQ(PassCommands(), QStringList({"CWD /", "STOR camera.jpg"}));
    EXPECT_EQ(RemoteFile("camera0001.jpg"), "new");
}

TEST_P(FtpPublisherTest, LoginSequenceAndStatusTexts) {
    Snapshot("12345");
    Ftp.Host = QStringLiteral("LocalHost");
    Pass(Settings(0));
    const QStringList login = Server.Commands().mid(0, 4);
    EXPECT_EQ(login, QStringList({"user kamvero", "pass s3cret pass", "type I", "syst"}));
    EXPECT_EQ(Statuses, QStringList({"Starting FTP Processes",
                                     "FTPing " + Local.File("camera.jpg") + " 5 bytes"}));
}

TEST_P(FtpPublisherTest, WrongPasswordEndsThePassBeforeAnythingMoves) {
    WriteTextFile(Remote.File("camera.jpg"), "old");
    Snapshot("new");
    Ftp.Password = QStringLiteral("wrong");
    EXPECT_THROW(Pass(Settings(3)), ENetProtocolReplyError);
    EXPECT_EQ(Uploads, 0);
    EXPECT_FALSE(Ftp.Allocated());
    EXPECT_EQ(RemoteFiles(), QStringList({"camera.jpg"}));
    // The next pass with the right password goes through.
    Ftp.Password = Secret;
    Pass(Settings(3));
    EXPECT_EQ(Uploads, 1);
}

TEST_P(FtpPublisherTest, MissingLocalFileFailsAfterTheRotation) {
    WriteTextFile(Remote.File("camera.jpg"), "old");
    try {
        Pass(Settings(2));
        FAIL() << "the pass went through without a file";
    } catch (const EFileOpenError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + Local.File("camera.jpg"));
    }
    EXPECT_EQ(Statuses.last(), "FTPing " + Local.File("camera.jpg") + " 0 bytes");
    EXPECT_EQ(RemoteFiles(), QStringList({"camera0001.jpg"}));
    EXPECT_EQ(Uploads, 0);
    EXPECT_FALSE(Ftp.Allocated());
}

TEST_P(FtpPublisherTest, RefusedDirectoriesAreLoggedAndTheFileLandsWhereLoginLeft) {
    Snapshot("here");
    TFtpPassSettings settings = Settings(0);
    settings.Directory = QString();
    Pass(settings);
    EXPECT_EQ(PassCommands().first(), "CWD ");

    // A line break would start a command of its own; nothing of it reaches the server.
    Server.ClearCommands();
    Logged.clear();
    settings.Directory = QStringLiteral("x\r\nDELE camera.jpg");
    Pass(settings);
    ASSERT_EQ(Logged.size(), 1);
    EXPECT_FALSE(Server.Commands().contains("DELE camera.jpg"));
    EXPECT_EQ(PassCommands(), QStringList({"STOR camera.jpg"}));
    EXPECT_EQ(RemoteFile("camera.jpg"), "here");
}

TEST_P(FtpPublisherTest, StoppedServerFailsThePassAndTheNextOneAfterItsReturnUploads) {
    Snapshot("first");
    Server.Stop();
    EXPECT_THROW(Pass(Settings(1)), ENetSocketError);
    EXPECT_EQ(Uploads, 0);
    Server.Start();
    Ftp.Port = Server.Port();
    Pass(Settings(1));
    EXPECT_EQ(RemoteFile("camera.jpg"), "first");
}

INSTANTIATE_TEST_SUITE_P(PassiveAndActive, FtpPublisherTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST(HistoryImageNameTest, FourDigitsAtLeast) {
    EXPECT_EQ(HistoryImageName("camera", 1), "camera0001.jpg");
    EXPECT_EQ(HistoryImageName("camera", 100), "camera0100.jpg");
    EXPECT_EQ(HistoryImageName("c", 12345), "c12345.jpg");
}

} // namespace
