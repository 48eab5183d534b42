// The capture component on the real GStreamer platform, with the built-in Test Pattern.
#include "GstCaptureFixture.h"

#include <gtest/gtest.h>

namespace {

class GstCaptureTest : public GstCaptureFixture {
  protected:
    void SetUp() override {
        GstCaptureFixture::SetUp();
        Capture = MakeCapture();
    }

    std::unique_ptr<TVideoCapture> Capture;
};

TEST_F(GstCaptureTest, TestPatternPreviewsAndGrabsOneFramePerRequest) {
    ASSERT_TRUE(Capture->InitGraph());
    EXPECT_EQ(VideoCaptureDevices().back().UniqueName, "Test Pattern");
    WriteTextFile(Folder.File("capture.avi"), "left from before");

    Capture->LoadConfig(&Config);
    ASSERT_TRUE(Capture->Previewing()) << Messages.join('|').toStdString();
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rendered > 0; }, 2000));
    EXPECT_EQ(QFileInfo(Folder.File("capture.avi")).size(), 0) << "the build replaced it";

    EXPECT_TRUE(Capture->RequestFrame());
    EXPECT_TRUE(Capture->RequestFrame());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Grabbed.size() == std::size_t{1}; }, 2000));
    // Let a few more frames pass: two requests before a frame still give one bitmap.
    const int seen = Rendered;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rendered > seen + 3; }, 2000));
    EXPECT_EQ(Grabbed.size(), 1u);
    const QImage& frame = Grabbed.front();
    EXPECT_EQ(frame.size(), QSize(320, 240));
    EXPECT_EQ(frame.format(), QImage::Format_BGR888);
    EXPECT_GT(frame.pixelColor(160, 120).alpha(), 0);

    // Taking the graph down stops it and removes the temporary file; the next start rebuilds.
    WriteTextFile(Folder.File("captemp.avi"), "temporary");
    Capture->TearDownGraph();
    EXPECT_FALSE(Capture->Previewing());
    EXPECT_FALSE(Capture->RequestFrame());
    EXPECT_FALSE(QFile::exists(Folder.File("captemp.avi")));
    ASSERT_TRUE(Capture->StartPreview());
    EXPECT_TRUE(Capture->RequestFrame());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Grabbed.size() == std::size_t{2}; }, 2000));
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
}

TEST_F(GstCaptureTest, ChosenModeDecidesTheFrameSize) {
    Config.VCapMode = {MEDIASUBTYPE_I420, 160, 120, 12};
    Capture->LoadConfig(&Config);
    ASSERT_TRUE(Capture->Previewing()) << Messages.join('|').toStdString();
    EXPECT_EQ(Capture->GetCurrentVideoMode().Width, 160);
    Capture->RequestFrame();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Grabbed.size() == std::size_t{1}; }, 2000));
    EXPECT_EQ(Grabbed.front().size(), QSize(160, 120));

    TGraphConfig saved;
    Capture->SaveConfig(&saved);
    EXPECT_EQ(saved.VCapSource, "Test Pattern");
    EXPECT_EQ(saved.VCapMode, Config.VCapMode);
}

TEST_F(GstCaptureTest, DepthsWithoutARawFormatPreviewWithoutTheGrabber) {
    Config.PixelFormat = TPixelFormat::pf4bit;
    Capture->LoadConfig(&Config);
    EXPECT_EQ(Messages,
              QStringList{"Can't install SampleGrabber. Probably wrong color depth used?"});
    EXPECT_TRUE(Capture->Previewing());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Capture->findChildren<QWidget*>().size() > 0; }, 2000));
}

} // namespace
