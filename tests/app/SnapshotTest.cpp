// The snapshot writer: archive ring, timestamp, JPEG output and its failures.
#include "ErrorLog.h"
#include "TestSupport.h"

#include <QDir>
#include <QImageReader>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

class SnapshotTest : public testing::Test {
  protected:
    void SetUp() override {
        ShownMessages().clear();
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
        w->edtLocalDirectory1->setText(Snaps());
        w->chkFTP->setChecked(false);
    }

    QString Snaps() const { return Folder.QPath() + "/snaps/"; }
    QString Base() const { return Snaps() + "camera"; }
    QString File(const QString& name) const { return Snaps() + name; }
    QByteArray Bytes(const QString& name) const { return ReadTextFile(File(name)); }

    void Start(int archive) {
        w->spnArchive->setValue(archive);
        w->btnStart->click();
    }

    void Snapshot(int grey, QSize size = {64, 48}) {
        w->FrameHeight = size.height();
        w->WriteSnapshot(UniformFrame(size, grey), Base());
    }

    QStringList LoggedLines() const {
        return QString::fromUtf8(ReadTextFile(Folder.File("errors.txt")))
            .split('\n', Qt::SkipEmptyParts);
    }

    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

TEST_F(SnapshotTest, ArchiveRingKeepsTheNewestAndRotatesTheSlots) {
    Start(3);
    std::vector<QByteArray> written;
    for (int k = 1; k <= 5; ++k) {
        Snapshot(40 * k);
        written.push_back(Bytes("camera.jpg"));
        EXPECT_TRUE(w->NewSnapshot);
    }
    EXPECT_EQ(Bytes("camera.jpg"), written[4]);
    EXPECT_EQ(Bytes("camera0001.jpg"), written[3]);
    EXPECT_EQ(Bytes("camera0002.jpg"), written[1]);
    EXPECT_EQ(Bytes("camera0003.jpg"), written[2]);
    EXPECT_EQ(QDir(Snaps()).entryList(QDir::Files).size(), 4) << "no .bmp or temporary left";
    EXPECT_EQ(w->ArchiveIndex, 2);
    EXPECT_TRUE(LoggedLines().isEmpty());
}

// The ring used to move the newest file into its slot before the next one was written, so a
// web request in that gap found no camera.jpg.
TEST_F(SnapshotTest, AReaderNeverFindsTheNewestMissingOrPartial) {
    Start(5);
    Snapshot(10);
    std::atomic<long> reads = 0, missing = 0, partial = 0;
    std::jthread reader([&](std::stop_token stop) {
        const QByteArray path = QFile::encodeName(File("camera.jpg"));
        while (!stop.stop_requested()) {
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                ++missing;
                continue;
            }
            QByteArray bytes;
            char buffer[8192];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                bytes.append(buffer, got);
            ::close(fd);
            ++reads;
            if (!bytes.startsWith("\xFF\xD8") || !bytes.endsWith("\xFF\xD9"))
                ++partial;
        }
    });
    for (int k = 0; k < 200; ++k)
        Snapshot(k % 250, {160, 120});
    reader.request_stop();
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(partial.load(), 0);
    EXPECT_EQ(QDir(Snaps()).entryList(QDir::Files).size(), 6) << "no .bmp or temporary left";
}

TEST_F(SnapshotTest, NoArchiveKeepsOnlyTheNewest) {
    Start(0);
    for (int k = 1; k <= 3; ++k)
        Snapshot(50 * k);
    EXPECT_EQ(QDir(Snaps()).entryList(QDir::Files), QStringList{"camera.jpg"});
}

TEST_F(SnapshotTest, NewestFromAnEarlierRunMovesToSlotMinusOne) {
    WriteTextFile(File("camera.jpg"), "from the last run");
    WriteTextFile(File("camera-0001.jpg"), "older still");
    Start(100);
    Snapshot(90);
    EXPECT_EQ(Bytes("camera-0001.jpg"), "from the last run");
    EXPECT_EQ(w->ArchiveIndex, 1);
    Snapshot(120);
    EXPECT_TRUE(QFile::exists(File("camera0001.jpg")));
}

TEST_F(SnapshotTest, ASlotThatCannotBeDeletedIsLoggedAndTheNewestStillWritten) {
    Start(2);
    Snapshot(40);
    ASSERT_TRUE(QDir(Snaps()).mkpath("camera0001.jpg/kept"));
    Snapshot(80);
    const QStringList logged = LoggedLines();
    ASSERT_EQ(logged.size(), 1);
    EXPECT_TRUE(logged[0].contains("Cannot delete file " + File("camera0001.jpg")))
        << qPrintable(logged[0]);
    EXPECT_TRUE(QDir(File("camera0001.jpg/kept")).exists());
    EXPECT_TRUE(w->NewSnapshot);
    EXPECT_EQ(w->ArchiveIndex, 2);
}

TEST_F(SnapshotTest, TimestampSitsInTheBottomLeftCorner) {
    // August: the month's "g" reaches as low as the stamp's text goes.
    w.Clock = [] {
        return QDateTime(QDate(2026, 8, 17), QTime(9, 5, 7));
    };
    w->FrameHeight = 120;
    const QImage picture = w->StampSnapshot(UniformFrame({160, 120}, 0), Base());
    int lowestLight = -1;
    bool outlineOnLastLine = false;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y) & 0xFFFFFF;
            if (pixel == 0xCCCCCC)
                lowestLight = std::max(lowestLight, y);
            if (pixel == 0x333333 && y == 119)
                outlineOnLastLine = true;
        }
    EXPECT_EQ(lowestLight, 118);
    EXPECT_TRUE(outlineOnLastLine);
    EXPECT_EQ(picture.pixel(159, 0) & 0xFFFFFF, 0u) << "nothing drawn outside the corner";
    EXPECT_TRUE(QFile::exists(Base() + ".bmp"));
}

TEST_F(SnapshotTest, WithoutTimestampTheJpegShowsTheFrame) {
    w->chkTS1->setChecked(false);
    EXPECT_EQ(w->lblUseTimestamp1->text(), "No");
    Start(5);
    QImage frame(96, 64, QImage::Format_BGR888);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            frame.setPixelColor(x, y, QColor(x * 2, y * 3, 128));
    w->FrameHeight = 64;
    w->WriteSnapshot(frame, Base());
    const QImage decoded(File("camera.jpg"));
    ASSERT_EQ(decoded.size(), frame.size());
    double error = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x) {
            const QColor a = frame.pixelColor(x, y);
            const QColor b = decoded.pixelColor(x, y);
            error += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                     std::abs(a.blue() - b.blue());
        }
    EXPECT_LT(error / (frame.width() * frame.height() * 3), 2.0);
}

// A folder that does not exist used to lose snapshots without a trace.
TEST_F(SnapshotTest, AMissingFolderIsLoggedAndTheNextGoodSnapshotWorks) {
    Start(100);
    ASSERT_TRUE(QDir(Snaps()).removeRecursively());
    Snapshot(60);
    EXPECT_FALSE(w->NewSnapshot);
    EXPECT_EQ(w->ArchiveIndex, 0);
    const QStringList lines = LoggedLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("camera.bmp")) << lines[0].toStdString();

    ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
    Snapshot(70);
    EXPECT_TRUE(w->NewSnapshot);
    EXPECT_EQ(QDir(Snaps()).entryList(QDir::Files), QStringList{"camera.jpg"});
    EXPECT_EQ(w->ArchiveIndex, 1);
}

// A folder on a disk that is gone used to log a line per detection, each rewriting the whole log.
TEST_F(SnapshotTest, TenThousandFailedSnapshotsLeaveAFewLogLines) {
    QDateTime now(QDate(2026, 12, 8), QTime(14, 0, 0));
    w.Clock = [&] {
        return now;
    };
    w->chkTS1->setChecked(false);
    Start(100);
    ASSERT_TRUE(QDir(Snaps()).removeRecursively());
    for (int k = 0; k < 10000; ++k)
        Snapshot(k % 250);
    ASSERT_EQ(LoggedLines().size(), 1);
    EXPECT_TRUE(w->ErrorLogTimer->isActive());

    // The minute ends: the count follows as a line of its own.
    now = now.addSecs(60);
    w->ErrorLogTimerTimer();
    EXPECT_FALSE(w->ErrorLogTimer->isActive());
    // The same failure after the minute is written again; another message ends its repeats.
    for (int k = 0; k < 3; ++k)
        Snapshot(k);
    w->LogError("another failure");

    const QStringList lines = LoggedLines();
    ASSERT_EQ(lines.size(), 5);
    const QString stamp = FormatLogTime(QDateTime(QDate(2026, 12, 8), QTime(14, 0, 0)));
    const QString later = FormatLogTime(now);
    EXPECT_TRUE(lines[0].startsWith(stamp + " : Cannot create file")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], stamp + " : Last message repeated 9999 times.");
    EXPECT_EQ(lines[2].mid(later.size()), lines[0].mid(stamp.size()));
    EXPECT_EQ(lines[3], later + " : Last message repeated 2 times.");
    EXPECT_EQ(lines[4], later + " : another failure");
}

TEST_F(SnapshotTest, OnlyCapturingWritesSnapshots) {
    w->cap1BitmapGrabbed(UniformFrame({32, 24}, 200)); // motion, but not capturing
    EXPECT_EQ(w->StatusBar->PanelText(1), "Motion Detected");
    EXPECT_TRUE(QDir(Snaps()).isEmpty());
    Start(10);
    w->cap1BitmapGrabbed(UniformFrame({32, 24}, 10));  // the reference
    w->cap1BitmapGrabbed(UniformFrame({32, 24}, 250)); // motion while capturing
    EXPECT_TRUE(QFile::exists(File("camera.jpg")));
}

TEST_F(SnapshotTest, SettingsLabelsFollowTheirControls) {
    w->spnArchive->setValue(7);
    EXPECT_EQ(w->lblLocalQTY->text(), "7");
    EXPECT_EQ(w->ArchiveMax, 7);
    w->edtFilename1->setText("porch");
    EXPECT_EQ(w->lblImageFilename1->text(), "porch");
    QString chosen = "/media/cam";
    w->edtLocalDirectory1AfterDialog(chosen);
    EXPECT_EQ(chosen, "/media/cam/");
}

} // namespace
