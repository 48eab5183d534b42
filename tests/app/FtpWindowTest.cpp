// FTP publishing from the window: the pass behind Start Capture and the timer, its status
// texts, its failures, and what the window does while a pass waits on the network.
#include "FtpServerPeer.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class FtpWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        ShownMessages().clear();
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
        w->edtLocalDirectory1->setText(Folder.QPath() + "/snaps/");
        w->edtHost->setText("localhost:" + QString::number(Server.Port()));
        w->edtLogin->setText("kamvero");
        w->edtPassword->setText("secret");
        w->chkFTP->setChecked(true);
        w->spnThumbs->setValue(2);
        WriteTextFile(Folder.File("snaps/camera.jpg"), "snapshot");
        QObject::connect(w->StatusBar, &TStatusBar::PanelTextChanged,
                         [this](int panel, const QString& text) {
                             if (panel == 1)
                                 Statuses << text;
                         });
    }

    QStringList LoggedLines() const {
        return QString::fromUtf8(ReadTextFile(Folder.File("errors.txt")))
            .split('\n', Qt::SkipEmptyParts);
    }

    TTempDir Folder;
    TTempDir Remote;
    TFtpServerPeer Server{Remote.QPath(), "kamvero", "secret"};
    TWindowUnderTest w{Folder};
    QStringList Statuses;
};

TEST_F(FtpWindowTest, StartCaptureUploadsTheWaitingSnapshotWithTheStatusTexts) {
    w->NewSnapshot = true;
    w->btnStart->click();
    EXPECT_EQ(ReadTextFile(Remote.File("camera.jpg")), "snapshot");
    EXPECT_FALSE(w->NewSnapshot);
    EXPECT_FALSE(w->FTPBusy);
    const QString local = Folder.QPath() + "/snaps/camera.jpg";
    EXPECT_EQ(Statuses, QStringList({"Starting FTP Processes", "Resolving hostname localhost.",
                                     "Connecting to 127.0.0.1.", "Connected.",
                                     "FTPing " + local + " 8 bytes", "Transfer complete",
                                     "Disconnecting from 127.0.0.1.", "Not connected."}));
    // First pass: the two history images and the current one do not exist yet. The server
    // answers the same for each, so the first answer is written and the others counted.
    EXPECT_EQ(LoggedLines().size(), 1);
    ASSERT_TRUE(w->close());
    const QStringList logged = LoggedLines();
    ASSERT_EQ(logged.size(), 2);
    EXPECT_TRUE(logged[1].endsWith(" : Last message repeated 2 times.")) << logged[1].toStdString();
}

TEST_F(FtpWindowTest, NoNewSnapshotOrPublishingOffMakesNoConnection) {
    w->btnStart->click();
    w->NewSnapshot = true;
    w->chkFTP->setChecked(false);
    w->FTPTimerTimer();
    EXPECT_TRUE(Server.Commands().isEmpty());
    EXPECT_TRUE(Statuses.isEmpty());
}

TEST_F(FtpWindowTest, FailedPassIsLoggedAndTheNextTickTriesAgain) {
    w->edtPassword->setText("wrong");
    w->btnStart->click();
    w->NewSnapshot = true;
    w->FTPTimerTimer();
    EXPECT_TRUE(w->NewSnapshot);
    EXPECT_FALSE(QFile::exists(Remote.File("camera.jpg")));
    ASSERT_FALSE(LoggedLines().isEmpty());
    EXPECT_TRUE(LoggedLines().last().contains("530")) << LoggedLines().last().toStdString();

    w->NetFTP.Password = "secret";
    w->FTPTimerTimer();
    EXPECT_FALSE(w->NewSnapshot);
    EXPECT_EQ(ReadTextFile(Remote.File("camera.jpg")), "snapshot");
}

TEST_F(FtpWindowTest, TickDuringAPassIsSkippedAndCloseWaitsForThePassToEnd) {
    w->btnStart->click();
    const TListeningSocket silent;
    w->NetFTP.Port = silent.Port();
    w->NetFTP.Timeout = std::chrono::milliseconds(20000);
    w->NewSnapshot = true;
    bool closedAtOnce = true;
    // Both arrive while the tick's pass waits for a greeting that never comes.
    QTimer::singleShot(100, w.Window.get(), [&] { w->FTPTimerTimer(); });
    QTimer::singleShot(300, w.Window.get(), [&] {
        closedAtOnce = w->close();
        EXPECT_TRUE(w->FTPBusy);
    });
    QElapsedTimer clock;
    clock.start();
    w->FTPTimerTimer();
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_FALSE(closedAtOnce);
    EXPECT_TRUE(w->Capturing) << "the window closed under the running pass";
    EXPECT_TRUE(w->NewSnapshot);
    const QString logged = QString::fromUtf8(ReadTextFile(Folder.File("errors.txt")));
    const auto skipped = logged.indexOf("FTP pass skipped: the previous pass is still running.");
    EXPECT_GE(skipped, 0) << logged.toStdString();
    EXPECT_GT(logged.indexOf("Socket Error # 10004"), skipped) << logged.toStdString();
    EXPECT_EQ(logged.count(" : "), 2) << logged.toStdString();

    // Once the pass has left the stack, the close completes and writes the settings.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->Capturing; }, 3000));
    EXPECT_TRUE(QFile::exists(w->SettingsFilePath()));
}

} // namespace
