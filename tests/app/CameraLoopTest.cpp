// The whole loop with the real GStreamer platform: the Test Pattern's moving ball is detected,
// written as stamped snapshots in the archive ring, and published to a real FTP server.
#include "FtpServerPeer.h"
#include "TestSupport.h"
#include "gst/GstPlatform.h"

#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A window on GStreamer's Test Pattern (other window tests see the scripted camera), with the
// settings given after the camera's own. The detector is at its most sensitive, as in the
// program runs: at the default, a ball that has fully left its reference spot looks still until
// it passes that spot again, which can take half a minute.
std::unique_ptr<TfrmMain> CapturingTestPattern(const TTempDir& folder, const QByteArray& settings) {
    WriteTextFile(
        folder.File("kamvero.ini"),
        "[Camera]\n"
        "Config=\"VCapSource=Test Pattern\",WantAudio=0,WantDVAudio=0,WantAudioPreview=0\n"
        "Sense=0.5\nSensitivity=0\nArchive=3\nDirectory=" +
            folder.File("snaps/").toUtf8() + "\n" + settings);
    TMainWindowEnvironment environment;
    environment.ExecutablePath = folder.File("kamvero");
    environment.CapturePlatform = [] {
        return CreateGstPlatform();
    };
    auto window = std::make_unique<TfrmMain>(std::move(environment));
    window->cap1->ShowErrorBox = [](const QString& text) {
        ShownMessages() << text;
    };
    return window;
}

TEST(CameraLoopTest, TestPatternFillsTheSnapshotFolder) {
    ShownMessages().clear();
    TTempDir folder;
    ASSERT_TRUE(QDir(folder.QPath()).mkpath("snaps"));
    const auto window = CapturingTestPattern(folder, "FTP=0\n");
    window->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->cap1->Previewing(); }, 5000));
    window->btnStart->click();
    const QString snaps = folder.File("snaps/");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(snaps + "camera0001.jpg"); }, 20000));
    window->btnStop->click();
    EXPECT_TRUE(ShownMessages().isEmpty()) << ShownMessages().join('|').toStdString();

    const QImage newest(snaps + "camera.jpg");
    ASSERT_EQ(newest.size(), QSize(320, 240));
    // The stamp's light grey stands in the bottom-left corner of the picture.
    int lightPixels = 0;
    for (int y = 220; y < 240; ++y)
        for (int x = 0; x < 150; ++x)
            if (qGray(newest.pixel(x, y)) > 150)
                ++lightPixels;
    EXPECT_GT(lightPixels, 30);
    EXPECT_FALSE(QFile::exists(snaps + "camera.bmp"));
    EXPECT_TRUE(window->NewSnapshot);
    ASSERT_TRUE(window->close());
}

TEST(CameraLoopTest, SnapshotsReachTheFtpServerWithTheirHistory) {
    ShownMessages().clear();
    TTempDir folder;
    TTempDir remote;
    const TFtpServerPeer server(remote.QPath(), "kamvero", "secret");
    ASSERT_TRUE(QDir(folder.QPath()).mkpath("snaps"));
    const auto window = CapturingTestPattern(
        folder, "FTP=1\nHistory=2\n[FTPHost]\nHost=127.0.0.1:" + QByteArray::number(server.Port()) +
                    "\nLogin=kamvero\nPassword=$24%2#\nDirectory=/\n");

    window->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->cap1->Previewing(); }, 5000));
    window->btnStart->click();
    // Passes every 1.5 s instead of every half minute; each finds a newer snapshot.
    window->FTPTimer->start(1500);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QFile::exists(remote.File("camera0002.jpg")); }, 30000));
    window->btnStop->click();
    EXPECT_TRUE(ShownMessages().isEmpty()) << ShownMessages().join('|').toStdString();
    for (const QString name : {"camera.jpg", "camera0001.jpg", "camera0002.jpg"})
        EXPECT_EQ(QImage(remote.File(name)).size(), QSize(320, 240)) << name.toStdString();
    EXPECT_NE(ReadTextFile(remote.File("camera.jpg")), ReadTextFile(remote.File("camera0001.jpg")));
    ASSERT_TRUE(window->close());
}

} // namespace
