// The whole loop in the real program: the Test Pattern's moving ball becomes stamped snapshots
// in the archive ring, they reach a real FTP server with their history, the web server hands out
// the newest, and closing the window writes the settings back.
#include "FtpServerPeer.h"
#include "HttpRawClient.h"
#include "IniFile.h"
#include "ProgramRun.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// The stamp's two greys stand in the picture's bottom-left corner.
bool ShowsTheStamp(const QString& fileName) {
    const QImage picture(fileName);
    int light = 0, dark = 0;
    for (int y = picture.height() - 14; y >= 0 && y < picture.height(); ++y)
        for (int x = 0; x < std::min(150, picture.width()); ++x) {
            const int grey = qGray(picture.pixel(x, y));
            light += grey > 180 && grey < 230;
            dark += grey > 30 && grey < 75;
        }
    return light > 30 && dark > 30;
}

QByteArray Body(const QByteArray& answer) {
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

TEST(EndToEndTest, StartCaptureRunsTheWholeLoop) {
    TTempDir remote;
    const TFtpServerPeer server(remote.QPath(), "kamvero", "secret");
    TListeningSocket webPort;
    webPort.Release();
    const QByteArray settings = TestPatternCamera() + "History=3\nArchive=5\nFTP=1\nWWW=1\n" +
                                FtpHostSection(server.Port()) +
                                "[WWWHost]\nPort=" + QByteArray::number(webPort.Port()) + "\n";
    TProgramRun run(settings);
    const QString snaps = run.File("snaps/");
    ASSERT_TRUE(QDir().mkpath(snaps));
    ASSERT_TRUE(run.Start()) << run.Output().toStdString();
    ASSERT_EQ(run.Command("click btnStart"), "ok");

    // The second FTP pass, a minute in, is the first to find a snapshot to move into history.
    EXPECT_TRUE(WaitUntil([&] { return QFile::exists(remote.File("camera0001.jpg")); }, 90s))
        << run.LoggedErrors().join('\n').toStdString();
    ASSERT_EQ(run.Command("click btnStop"), "ok");

    const QStringList local = QDir(snaps).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(local, QStringList({"camera.jpg", "camera0001.jpg", "camera0002.jpg",
                                  "camera0003.jpg", "camera0004.jpg", "camera0005.jpg"}));
    for (const QString& name : local) {
        EXPECT_TRUE(IsWholeJpeg(snaps + name)) << name.toStdString();
        EXPECT_TRUE(ShowsTheStamp(snaps + name)) << name.toStdString();
    }
    for (const QString name : {"camera.jpg", "camera0001.jpg"})
        EXPECT_TRUE(IsWholeJpeg(remote.File(name))) << name.toStdString();

    const QByteArray answer =
        Exchange(webPort.Port(), "GET /camera.jpg HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.left(200).toStdString();
    EXPECT_TRUE(answer.contains("\r\nContent-Type: image/jpeg\r\n"));
    EXPECT_EQ(Body(answer), ReadTextFile(snaps + "camera.jpg"));

    EXPECT_EQ(run.CloseWindow(), 0) << run.Output().toStdString();
    const TIniFile written(run.File("kamvero.ini").toStdString());
    EXPECT_EQ(written.ReadString("Camera", "Interval", ""), "0.5");
    EXPECT_EQ(written.ReadString("Camera", "Sense", ""), "0.5");
    EXPECT_EQ(written.ReadString("Camera", "History", ""), "3");
    EXPECT_EQ(written.ReadString("Camera", "Archive", ""), "5");
    EXPECT_EQ(written.ReadString("Camera", "Directory", ""), snaps.toStdString());
    EXPECT_EQ(written.ReadString("FTPHost", "Host", ""),
              "127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(written.ReadString("FTPHost", "Password", ""), "$24%2#");
    EXPECT_EQ(written.ReadString("WWWHost", "Port", ""), std::to_string(webPort.Port()));
    EXPECT_EQ(written.ReadString("WWWHost", "WWW", ""), "1");
    for (const char* key : {"Framerate", "Filename", "Timestamp", "Sensitivity", "Colors", "Left",
                            "Top", "Right", "Bottom", "UseGrid", "ShowGrid", "Config"})
        EXPECT_TRUE(written.ValueExists("Camera", key)) << key;

    // Only the server's refusals of history files that do not exist yet, repeats counted.
    const QStringList errors = run.LoggedErrors();
    EXPECT_FALSE(errors.isEmpty());
    for (const QString& line : errors)
        EXPECT_TRUE(line.contains("550") ||
                    line.contains(QRegularExpression("Last message repeated \\d+ times\\.$")))
            << line.toStdString();
    EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().join('\n').toStdString();
}

} // namespace
