// Live view on real GStreamer: the frame grabber's live pictures from the emulated USB camera,
// and the whole program showing the Test Pattern live to browsers.
#include "BrowserRun.h"
#include "EmulatedCamera.h"
#include "GstCaptureFixture.h"
#include "HttpRawClient.h"
#include "MainWindow.h"

#include <QDir>
#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Takes the pictures while the test says someone watches.
class TPictureCollector : public ILivePictureSink {
  public:
    bool Watched() const override { return Watching; }
    void Deliver(TLiveJpeg jpeg) override {
        const std::lock_guard lock(Lock);
        Newest = std::move(jpeg);
        ++Count;
    }
    void Ended() override { ++Ends; }

    int Delivered() const {
        const std::lock_guard lock(Lock);
        return Count;
    }
    QImage NewestDecoded() const {
        const std::lock_guard lock(Lock);
        if (!Newest)
            return {};
        return QImage::fromData(Newest->data(), static_cast<int>(Newest->size()), "JPEG");
    }

    std::atomic<bool> Watching = false;
    std::atomic<int> Ends = 0;

  private:
    mutable std::mutex Lock;
    TLiveJpeg Newest;
    int Count = 0;
};

class LiveViewTest : public GstCaptureFixture {};

// Each mode's frames come as JPEG pictures of the mode's size, scaled down to 1280 wide at
// most, ten a second at most, and none at all while nobody watches; stopping says so.
TEST_F(LiveViewTest, PicturesAreTheCameraAtItsSizeOnlyWhileWatched) {
    const struct {
        const char* Name;
        TVCapMode Mode;
        QSize Picture;
    } cases[] = {
        {"MJPEG 1280x720", {MEDIASUBTYPE_MJPG, 1280, 720, 24}, {1280, 720}},
        {"MJPEG 1920x1080, scaled", {MEDIASUBTYPE_MJPG, 1920, 1080, 24}, {1280, 720}},
        {"YUY2 640x480", {MEDIASUBTYPE_YUY2, 640, 480, 16}, {640, 480}},
    };
    Config.VCapSource = EmulatedCameraName;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Name);
        const auto sink = std::make_shared<TPictureCollector>();
        Config.VCapMode = test.Mode;
        auto capture = MakeCapture();
        capture->LiveSink = sink;
        capture->LoadConfig(&Config);
        ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
        QTest::qWait(1000);
        EXPECT_EQ(sink->Delivered(), 0);

        sink->Watching = true;
        QTest::qWait(2000);
        // The camera sends 30 a second; a tenth of a second apart leaves about 20.
        const int watched = sink->Delivered();
        EXPECT_GE(watched, 12);
        EXPECT_LE(watched, 22);
        const QImage picture = sink->NewestDecoded();
        EXPECT_EQ(picture.size(), test.Picture);
        EXPECT_TRUE(ShowsTheEmulatedPicture(picture));

        sink->Watching = false;
        QTest::qWait(300); // one picture may still be in the encoder
        const int unwatched = sink->Delivered();
        QTest::qWait(1000);
        EXPECT_EQ(sink->Delivered(), unwatched);

        EXPECT_TRUE(capture->StopPreview());
        EXPECT_EQ(sink->Ends, 1);
        EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
    }
}

// Stopping the preview and unplugging the camera each end the pictures once; they come again
// when the preview starts again and when the camera is back. A new run's frame times start from
// 0 again, which once held the pictures back for as long as the first run had lasted.
TEST_F(LiveViewTest, PicturesEndWithThePreviewOrTheCameraAndComeBackWithThem) {
    const auto sink = std::make_shared<TPictureCollector>();
    sink->Watching = true;
    Config.VCapSource = EmulatedCameraName;
    Config.VCapMode = {MEDIASUBTYPE_MJPG, 1280, 720, 24};
    auto capture = MakeCapture();
    capture->LiveSink = sink;
    capture->LoadConfig(&Config);
    ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
    const auto picturesCome = [&](int ms) {
        const int before = sink->Delivered();
        return QTest::qWaitFor([&] { return sink->Delivered() > before + 2; }, ms);
    };
    ASSERT_TRUE(picturesCome(3000));
    QTest::qWait(2000); // a run long enough to hold a restarted one back

    ASSERT_TRUE(capture->StopPreview());
    EXPECT_EQ(sink->Ends, 1);
    ASSERT_TRUE(capture->StartPreview());
    EXPECT_TRUE(picturesCome(1500));

    TEmulatedCameraFaults faults;
    faults.SetPlugged(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !capture->Previewing(); }, 5000));
    EXPECT_EQ(sink->Ends, 2);
    faults.SetPlugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return capture->Previewing(); }, 8000));
    EXPECT_TRUE(picturesCome(3000));
}

// A viewer of the stream on a thread of its own, reading as fast as the server sends.
class TStreamReader {
  public:
    explicit TStreamReader(int port)
        : Reader([this, port](std::stop_token stop) {
              THttpRawClient client(port);
              client.Send("GET /live.mjpg HTTP/1.0\r\n\r\n");
              while (!stop.stop_requested() && !client.Closed()) {
                  const QByteArray bytes = client.ReadUntilClosed(100ms);
                  const std::lock_guard lock(Lock);
                  Received += bytes;
              }
          }) {}

    qsizetype Pictures() const {
        const std::lock_guard lock(Lock);
        return Received.count("Content-Type: image/jpeg\r\n");
    }
    QByteArray Head() const {
        const std::lock_guard lock(Lock);
        return Received.left(Received.indexOf("\r\n"));
    }

  private:
    mutable std::mutex Lock;
    QByteArray Received;
    std::jthread Reader; // last: it stops and joins before the rest goes
};

// The screen a browser shows for the page, as a picture.
QImage BrowserScreenshot(const QString& folder, const QString& url) {
    const QString file = folder + "/screenshot.png";
    QFile::remove(file);
    // The stream never finishes loading: the time limit stops the page and takes the shot.
    const TBrowserRun run =
        RunChromium(folder, {"--window-size=400,300", "--force-device-scale-factor=1",
                             "--hide-scrollbars", "--timeout=3000", "--screenshot=" + file, url});
    EXPECT_TRUE(RanToTheEnd(run));
    return QImage(file);
}

// The program as a user runs it, with Live View ticked in its settings: a browser shows the
// moving Test Pattern from /live.mjpg in a page, eight viewers watch at once and a ninth is
// turned away, and the snapshots keep their pace while they watch.
TEST_F(LiveViewTest, BrowsersWatchTheProgramWhileSnapshotsKeepTheirPace) {
    ShownMessages().clear();
    ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
    WriteTextFile(Folder.File("snaps/live.html"), R"(<!DOCTYPE html>
<html><body style="margin:0;background:#fff"><img src="live.mjpg" width="320" height="240"></body></html>)");
    TListeningSocket port;
    port.Release();
    WriteTextFile(Folder.File("kamvero.ini"),
                  "[Camera]\nFTP=0\nWWW=1\nSense=0.5\nSensitivity=0\nArchive=1000\nDirectory=" +
                      Folder.File("snaps/").toUtf8() +
                      "\n[WWWHost]\nLive=1\nPort=" + QByteArray::number(port.Port()) + "\n");
    const auto program = MakeWindow();
    TfrmMain& window = *program;
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.cap1->Previewing(); }, 5000));
    ASSERT_TRUE(window.chkLive->isChecked());
    const QString page = QStringLiteral("http://127.0.0.1:%1/live.html").arg(port.Port());

    const QImage first = BrowserScreenshot(Folder.File("browser"), page);
    QTest::qWait(1000);
    const QImage second = BrowserScreenshot(Folder.File("browser"), page);
    ASSERT_FALSE(first.isNull());
    ASSERT_EQ(first.size(), second.size());
    // The picture is there (not the white page around it) and it moved.
    EXPECT_NE(first.pixelColor(160, 120), QColor(Qt::white));
    EXPECT_NE(first.copy(0, 0, 320, 240), second.copy(0, 0, 320, 240));

    window.btnStart->click();
    const auto snapshots = [&] {
        return QDir(Folder.File("snaps")).entryList({"camera0*.jpg"}).size();
    };
    const auto snapshotsOver = [&](std::chrono::milliseconds time) {
        const qsizetype before = snapshots();
        QTest::qWait(static_cast<int>(time.count()));
        return snapshots() - before;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return snapshots() >= 1; }, 10000));
    const qsizetype unwatched = snapshotsOver(5s);
    EXPECT_GE(unwatched, 2);

    std::vector<std::unique_ptr<TStreamReader>> viewers;
    for (int i = 0; i < 8; ++i)
        viewers.push_back(std::make_unique<TStreamReader>(port.Port()));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return std::ranges::all_of(viewers, [](const auto& v) { return v->Pictures() >= 2; });
        },
        5000));
    const QByteArray turnedAway = Exchange(port.Port(), "GET /live.mjpg HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(turnedAway.startsWith("HTTP/1.1 503 Service Unavailable\r\n"))
        << turnedAway.left(200).constData();
    const qsizetype watched = snapshotsOver(5s);
    EXPECT_GE(watched, unwatched - 1);

    window.btnStop->click();
    viewers.clear();
    EXPECT_TRUE(ShownMessages().isEmpty()) << ShownMessages().join('|').toStdString();
    ASSERT_TRUE(window.close());
}

} // namespace
