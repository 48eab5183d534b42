// Start and Stop Capture, the countdown, the error log, help and closing.
#include "ErrorLog.h"
#include "Splash.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ControllerTest : public testing::Test {
  protected:
    void SetUp() override { ShownMessages().clear(); }

    QList<QWidget*> CaptureSettings() const {
        return {w->Interval,           w->edtFilename1, w->spnArchive, w->chkTS1,
                w->edtLocalDirectory1, w->spnLag,       w->spnSense};
    }

    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

TEST_F(ControllerTest, StartLocksTheCaptureSettingsAndStopFreesThem) {
    w->btnStart->click();
    EXPECT_TRUE(w->Capturing);
    EXPECT_EQ(w->ArchiveIndex, -1);
    EXPECT_FALSE(w->btnStart->isEnabled());
    EXPECT_TRUE(w->btnStop->isEnabled());
    for (QWidget* control : CaptureSettings())
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    // Settings of other groups stay as they were.
    EXPECT_TRUE(w->Sensitivity1->isEnabled());
    EXPECT_TRUE(w->cbPixelFormat->isEnabled());

    w->btnStop->click();
    EXPECT_FALSE(w->Capturing);
    EXPECT_TRUE(w->btnStart->isEnabled());
    EXPECT_FALSE(w->btnStop->isEnabled());
    for (QWidget* control : CaptureSettings())
        EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
}

TEST_F(ControllerTest, CountdownRunsWhileCapturingAndClearsAtStop) {
    w->btnStart->click();
    ASSERT_TRUE(w->CountdownTimer->isActive());
    EXPECT_EQ(w->CountdownTimer->interval(), 1000);
    EXPECT_TRUE(w->FTPTimer->isActive());
    EXPECT_EQ(w->FTPTimer->interval(), 600000);

    w->CountdownTimerTimer();
    EXPECT_EQ(w->StatusBar->PanelText(0), "Next FTP: 599 sec");
    w->CountdownTimerTimer();
    EXPECT_EQ(w->StatusBar->PanelText(0), "Next FTP: 598 sec");

    // The two panels stand side by side, so the countdown and the motion text both show.
    w->show();
    const auto panels = w->StatusBar->findChildren<QLabel*>();
    ASSERT_EQ(panels.size(), 2);
    EXPECT_GE(panels[1]->geometry().left(), panels[0]->geometry().right());

    w->btnStop->click();
    EXPECT_EQ(w->StatusBar->PanelText(0), "");
    EXPECT_FALSE(w->CountdownTimer->isActive());
    EXPECT_FALSE(w->FTPTimer->isActive());
}

TEST_F(ControllerTest, CountdownTicksOnItsOwnTimer) {
    w->btnStart->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w->StatusBar->PanelText(0) == QString("Next FTP: 599 sec"); }, 3000));
}

TEST_F(ControllerTest, HalfAMinuteIntervalArmsThirtySeconds) {
    w->Interval->setValue(0.5);
    w->btnStart->click();
    EXPECT_EQ(w->FTPTimer->interval(), 30000);
    EXPECT_EQ(w->CountdownSecs, 30);
    w->CountdownTimerTimer();
    EXPECT_EQ(w->StatusBar->PanelText(0), "Next FTP: 29 sec");
}

TEST_F(ControllerTest, FTPTickRestartsTheCountdownAndIsBusyOnlyWhileItRuns) {
    w->btnStart->click();
    for (int i = 0; i < 5; ++i)
        w->CountdownTimerTimer();
    EXPECT_EQ(w->CountdownSecs, 595);
    w->FTPTimerTimer();
    EXPECT_EQ(w->CountdownSecs, 600);
    EXPECT_FALSE(w->FTPBusy);
}

TEST_F(ControllerTest, EachLoggedErrorAddsOneDatedLine) {
    const QString log = Folder.File("errors.txt");
    WriteTextFile(log, "an older line\n");
    w->LogError("first failure");
    w->LogError("second failure");

    const QStringList lines = QString::fromUtf8(ReadTextFile(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "an older line");
    const QRegularExpression form("^(.+) : (first|second) failure$");
    for (const QString& line : lines.mid(1)) {
        const auto match = form.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        // The stamp is the locale's date and time of now.
        const QDateTime stamp = QLocale().toDateTime(
            match.captured(1), QLocale().dateFormat(QLocale::ShortFormat) + ' ' +
                                   QLocale().timeFormat(QLocale::LongFormat).remove('t').trimmed());
        ASSERT_TRUE(stamp.isValid()) << line.toStdString();
        EXPECT_LE(std::abs(stamp.secsTo(QDateTime::currentDateTime())), 5);
    }
    EXPECT_TRUE(lines[1].endsWith(" : first failure"));
    EXPECT_TRUE(lines[2].endsWith(" : second failure"));
}

// The log is only ever appended to: a deleted log begins again with the next line.
TEST_F(ControllerTest, ADeletedLogBeginsAgainWithTheNextLine) {
    const QString log = Folder.File("errors.txt");
    w->LogError("one");
    w->LogError("two");
    ASSERT_TRUE(QFile::remove(log));
    w->LogError("three");
    const QStringList lines = QString::fromUtf8(ReadTextFile(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(" : three"));
}

// The log used to grow without bound.
// The bytes this process has read and written through system calls so far.
std::pair<qint64, qint64> BytesReadAndWritten() {
    QFile io(QStringLiteral("/proc/self/io"));
    qint64 read = -1;
    qint64 written = -1;
    if (io.open(QIODevice::ReadOnly))
        for (const QByteArray& line : io.readAll().split('\n')) {
            if (line.startsWith("rchar: "))
                read = line.mid(7).toLongLong();
            if (line.startsWith("wchar: "))
                written = line.mid(7).toLongLong();
        }
    return {read, written};
}

TEST_F(ControllerTest, ALogThatANewLineWouldTakePastTenMebibytesMovesAside) {
    const QString log = Folder.File("errors.txt");
    const QString old = Folder.File("errors.old.txt");
    WriteTextFile(old, "the oldest lines\n");
    // Just under the limit, a line costs what it costs in an empty log: nothing is read back.
    WriteTextFile(log, QByteArray(TErrorLog::MaxFileBytes - 4096, 'x'));
    const auto [readBefore, writtenBefore] = BytesReadAndWritten();
    w->LogError("almost full");
    const auto [readAfter, writtenAfter] = BytesReadAndWritten();
    EXPECT_LT(readAfter - readBefore, 64 * 1024);
    EXPECT_LT(writtenAfter - writtenBefore, 64 * 1024);

    const QByteArray full(TErrorLog::MaxFileBytes, 'x');
    WriteTextFile(log, full);
    w->LogError("next");
    EXPECT_EQ(ReadTextFile(old), full);
    const QStringList lines = QString::fromUtf8(ReadTextFile(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(" : next"));
}

TEST(LogTime, LeavesOutTheTimeAtMidnight) {
    const QLocale c = QLocale::c();
    const QDate day(2026, 12, 8);
    EXPECT_EQ(FormatLogTime(QDateTime(day, QTime(0, 0)), c), c.toString(day, QLocale::ShortFormat));
    EXPECT_TRUE(FormatLogTime(QDateTime(day, QTime(13, 4, 5)), c).endsWith("13:04:05"));
}

TEST_F(ControllerTest, CloseWhileCapturingStopsCapturingAndWritesTheSettings) {
    w->btnStart->click();
    ASSERT_TRUE(w->close());
    EXPECT_FALSE(w->Capturing);
    EXPECT_FALSE(w->FTPTimer->isActive());
    EXPECT_FALSE(w->CountdownTimer->isActive());
    EXPECT_TRUE(QFile::exists(Folder.File("kamvero.ini")));
}

TEST_F(ControllerTest, UnwritableSettingsKeepTheWindowOpenWithCapturingStopped) {
    // A folder in the settings file's place cannot be replaced by a file, not even by root.
    ASSERT_TRUE(QDir(Folder.QPath()).mkdir("kamvero.ini"));
    w->show();
    w->btnStart->click();
    EXPECT_FALSE(w->close());
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->Capturing);
    EXPECT_FALSE(w->FTPTimer->isActive());
    EXPECT_TRUE(ShownMessages().contains("Unable to write to " + Folder.File("kamvero.ini")))
        << ShownMessages().join('|').toStdString();
}

TEST_F(ControllerTest, HelpOpensTheGuideBesideTheProgram) {
    w->btnHelp->click();
    EXPECT_TRUE(w.OpenedUrls.isEmpty()) << "nothing to open yet";

    ASSERT_TRUE(QDir(Folder.QPath()).mkpath("Help"));
    WriteTextFile(Folder.File("Help/index.html"), "<html></html>");
    w->btnHelp->click();
    WriteTextFile(Folder.File("Help/Kamvera.chm"), "compiled help");
    w->btnHelp->click();
    ASSERT_EQ(w.OpenedUrls.size(), 2);
    EXPECT_EQ(w.OpenedUrls[0], QUrl::fromLocalFile(Folder.File("Help/index.html")));
    EXPECT_EQ(w.OpenedUrls[1], QUrl::fromLocalFile(Folder.File("Help/Kamvera.chm")));
}

TEST_F(ControllerTest, ShowingTheWindowStartsTheTimersAndReportsTheMissingCamera) {
    TfrmSplash splash;
    w->SetSplash(&splash);
    splash.show();
    w->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ShownMessages().isEmpty(); }, 2000));
    EXPECT_EQ(ShownMessages(), QStringList{"Can't init 1st capture!"});
    EXPECT_TRUE(splash.Timer->isActive());
    EXPECT_TRUE(w->Timer->isActive());

    // The main timer applies the capture configuration once and stops; with no camera stored
    // the capture component says so itself.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->Timer->isActive(); }, 3000));
    ASSERT_EQ(ShownMessages().size(), 2);
    EXPECT_TRUE(ShownMessages()[1].startsWith("Error 0.\r\nCan't create video capture filter"));
}

TEST_F(ControllerTest, MotionTimerBeatsOncePerTick) {
    EXPECT_TRUE(w->MotionTimer->isActive());
    const auto beat = [&] {
        w->MotionTimerTimer();
        return w->lblSens1->palette().color(QPalette::WindowText);
    };
    const QColor first = beat();
    const QColor second = beat();
    EXPECT_EQ(QSet<QRgb>({first.rgb(), second.rgb()}),
              QSet<QRgb>({QColor(Qt::black).rgb(), QColor(Qt::blue).rgb()}));
    EXPECT_EQ(beat(), first);
}

} // namespace
