// Live view on real GStreamer: the frame grabber's live pictures from the emulated USB camera.
#include "EmulatedCamera.h"
#include "GstCaptureFixture.h"

#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Takes the pictures while the test says someone watches.
class TPictureCollector : public ILivePictureSink {
  public:
    bool Watched() const override { return Watching; }
    void Deliver(TLivePicture picture) override {
        const std::lock_guard lock(Lock);
        Newest = std::move(picture);
        ++Count;
    }
    void Ended() override { ++Ends; }

    int Delivered() const {
        const std::lock_guard lock(Lock);
        return Count;
    }
    QImage NewestDecoded() const {
        const std::lock_guard lock(Lock);
        if (!Newest.Jpeg)
            return {};
        return QImage::fromData(Newest.Jpeg->data(), static_cast<int>(Newest.Jpeg->size()), "JPEG");
    }

    std::atomic<bool> Watching = false;
    std::atomic<int> Ends = 0;

  private:
    mutable std::mutex Lock;
    TLivePicture Newest;
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

} // namespace
