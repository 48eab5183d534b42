// Faults the running program must survive without losing its loop: a server that goes away and
// comes back, a snapshot folder removed under it, a camera unplugged, a web port already taken,
// a settings file that is garbage.
#include "FtpServerPeer.h"
#include "ProgramRun.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace std::chrono_literals;

const QByteArray TestPattern = TestPatternCamera() + "Archive=2\n";

bool LoggedLineContains(const TProgramRun& run, const QString& text) {
    return run.LoggedErrors().join('\n').contains(text);
}

TEST(FaultTest, FtpServerStoppedAndStartedAgain) {
    TTempDir remote;
    TFtpServerPeer server(remote.QPath(), "kamvero", "secret");
    TProgramRun run(TestPattern + "FTP=1\nHistory=1\n" + FtpHostSection(server.Port()));
    ASSERT_TRUE(QDir().mkpath(run.File("snaps")));
    ASSERT_TRUE(run.Start()) << run.Output().toStdString();
    ASSERT_EQ(run.Command("click btnStart"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(remote.File("camera.jpg")); }, 45s));

    server.Stop();
    const int loggedBefore = static_cast<int>(run.LoggedErrors().size());
    // The next pass cannot connect: logged, and the snapshot waits for the one after.
    ASSERT_TRUE(WaitUntil([&] { return run.LoggedErrors().size() > loggedBefore; }, 45s));
    EXPECT_TRUE(run.LoggedErrors().last().contains("Connection refused"))
        << run.LoggedErrors().last().toStdString();
    server.ClearCommands();
    server.Start();
    EXPECT_TRUE(WaitUntil([&] { return server.Commands().contains("STOR camera.jpg"); }, 45s))
        << run.LoggedErrors().join('\n').toStdString();
    EXPECT_TRUE(WaitUntil([&] { return IsWholeJpeg(remote.File("camera0001.jpg")); }, 5s));
    EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().join('\n').toStdString();
    EXPECT_EQ(run.CloseWindow(), 0);
}

TEST(FaultTest, SnapshotFolderRemovedAndMadeAgain) {
    TProgramRun run(TestPattern + "FTP=0\n");
    const QString snaps = run.File("snaps/");
    ASSERT_TRUE(QDir().mkpath(snaps));
    ASSERT_TRUE(run.Start()) << run.Output().toStdString();
    ASSERT_EQ(run.Command("click btnStart"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(snaps + "camera0001.jpg"); }, 20s));

    ASSERT_TRUE(QDir(snaps).removeRecursively());
    ASSERT_TRUE(WaitUntil([&] { return LoggedLineContains(run, snaps + "camera"); }, 10s));
    ASSERT_TRUE(QDir().mkpath(snaps));
    EXPECT_TRUE(WaitUntil([&] { return QFile::exists(snaps + "camera0001.jpg"); }, 10s))
        << run.LoggedErrors().join('\n').toStdString();
    ASSERT_EQ(run.Command("click btnStop"), "ok");
    EXPECT_TRUE(IsWholeJpeg(snaps + "camera.jpg"));
    // No bitmap or temporary left behind.
    for (const QString& name : QDir(snaps).entryList(QDir::Files))
        EXPECT_TRUE(QRegularExpression("^camera(000[12])?\\.jpg$").match(name).hasMatch())
            << name.toStdString();
    EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().join('\n').toStdString();
    EXPECT_EQ(run.CloseWindow(), 0);
}

TEST(FaultTest, WebPortTakenAtStartIsShownAndTheWindowStillOpens) {
    const TListeningSocket taken;
    TProgramRun run(TestPattern +
                    "FTP=0\nWWW=1\n[WWWHost]\nPort=" + QByteArray::number(taken.Port()) + "\n");
    ASSERT_TRUE(run.Start()) << run.Output().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return !run.Messages().isEmpty(); }, 10s));
    EXPECT_TRUE(run.Messages().join('\n').contains(
        "Could not bind socket. Address and port are already in use."))
        << run.Messages().join('\n').toStdString();
    EXPECT_EQ(run.Command("visible frmMain"), "yes");
    EXPECT_EQ(run.CloseWindow(), 0);
}

TEST(FaultTest, GarbageSettingsFileGivesTheDefaults) {
    std::mt19937 random(7);
    QByteArray garbage(4096, Qt::Uninitialized);
    for (char& byte : garbage)
        byte = static_cast<char>(random());
    TProgramRun run(garbage);
    ASSERT_TRUE(run.Start()) << run.Output().toStdString();
    EXPECT_EQ(run.Command("text edtFilename1"), "camera");
    EXPECT_EQ(run.Command("text edtPort"), "8080");
    EXPECT_EQ(run.Command("text spnArchive"), "100");
    EXPECT_EQ(run.CloseWindow(), 0) << run.Output().toStdString();
}

// Camera hot-plug cannot be staged with a real device here, so the window runs on the scripted
// platform: the camera goes, the user is told once, and when it comes back the preview and the
// snapshots go on by themselves.
TEST(CameraFaultTest, ALostCameraRestartsThePreviewWhenItComesBack) {
    ShownMessages().clear();
    TTempDir folder;
    ASSERT_TRUE(QDir(folder.QPath()).mkpath("snaps"));
    WriteTextFile(folder.File("kamvero.ini"),
                  "[Camera]\nConfig=\"VCapSource=Test Camera\",WantAudio=0\nFTP=0\nDirectory=" +
                      folder.File("snaps/").toUtf8() + "\n");
    TWindowUnderTest w(folder);
    auto& cameras = w.Platform->Devices[TDeviceCategory::VideoInputDevice];
    cameras = {{"Test Camera", "cam", false, {VideoType(MEDIASUBTYPE_RGB24, 160, 120, 24)}}};
    w.Platform->GrabberFormat = VideoType(MEDIASUBTYPE_RGB24, 160, -120, 24);
    w->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->cap1->Previewing(); }, 3000));
    QTest::mouseClick(w->btnStart, Qt::LeftButton);

    const auto saved = cameras;
    cameras.clear();
    w.Platform->Script->Failures["Run"] = E_FAIL;
    w.Platform->RaiseEvent(EC_DEVICE_LOST);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->cap1->Previewing(); }, 3000));
    EXPECT_EQ(ShownMessages().size(), 1);

    cameras = saved;
    w.Platform->Script->Failures.clear();
    w.Platform->DeviceArrived();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->cap1->Previewing(); }, 5000));
    EXPECT_EQ(ShownMessages().size(), 1) << ShownMessages().join('|').toStdString();

    // Snapshots go on: two different frames make a detection and a snapshot.
    for (const int grey : {0x10, 0xF0}) {
        w->MotionTimerTimer();
        w.Platform->DeliverFrame(std::vector<std::uint8_t>(160 * 120 * 3, grey));
        QTest::qWait(100);
    }
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QFile::exists(folder.File("snaps/camera.jpg")); }, 3000));
    ASSERT_TRUE(w->close());
}

} // namespace
