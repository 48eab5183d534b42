// The capture component and the window on a USB webcam as GStreamer shows one: the emulated
// camera of tests/emucam, with its MJPEG and YUY2 modes, its rates, its damaged frames and its
// unplugging.
#include "EmulatedCamera.h"
#include "GraphConfigDialog.h"
#include "GstCaptureFixture.h"
#include "gst/GstHandle.h"
#include "gst/GstPreviewWidget.h"

#include <QDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

constexpr TVCapMode Yuy2At480{MEDIASUBTYPE_YUY2, 640, 480, 16};
constexpr TVCapMode Yuy2At720{MEDIASUBTYPE_YUY2, 1280, 720, 16};
constexpr TVCapMode MjpegAt480{MEDIASUBTYPE_MJPG, 640, 480, 24};
constexpr TVCapMode MjpegAt720{MEDIASUBTYPE_MJPG, 1280, 720, 24};
constexpr TVCapMode MjpegAt1080{MEDIASUBTYPE_MJPG, 1920, 1080, 24};

TGstPreviewWidget* PreviewOf(const QWidget& owner) {
    for (QWidget* child : owner.findChildren<QWidget*>())
        if (auto* preview = dynamic_cast<TGstPreviewWidget*>(child))
            return preview;
    return nullptr;
}

std::uint64_t PaintedFrames(const QWidget& owner) {
    const TGstPreviewWidget* preview = PreviewOf(owner);
    return preview ? preview->PaintedFrames() : 0;
}

// The emulated camera's frames sent over a while, as a rate.
double MeasuredFrameRate(int ms) {
    const std::uint64_t before = EmulatedFramesSent();
    QTest::qWait(ms);
    return static_cast<double>(EmulatedFramesSent() - before) * 1000.0 / ms;
}

class EmulatedCameraTest : public GstCaptureFixture {
  protected:
    void SetUp() override {
        GstCaptureFixture::SetUp();
        Config.VCapSource = EmulatedCameraName;
    }

    struct TModeCase {
        std::string Name;
        TVCapMode Mode;
        TPixelFormat Format = TPixelFormat::pf24bit;
    };

    // Each mode previews, yields one 24-bit bitmap of its size (the preview and the bitmap
    // showing the emulated camera's picture when asked to check it) and is chosen again by a
    // restarted component.
    void ExpectEveryModeWorks(const QString& camera, const std::vector<TModeCase>& cases,
                              bool knownPicture) {
        Config.VCapSource = camera;
        for (const TModeCase& test : cases) {
            SCOPED_TRACE(test.Name);
            Messages.clear();
            Config.VCapMode = test.Mode;
            Config.PixelFormat = test.Format;
            auto capture = MakeCapture();
            capture->LoadConfig(&Config);
            ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
            EXPECT_TRUE(QTest::qWaitFor([&] { return PaintedFrames(*capture) > 2; }, 3000));

            const QImage frame = GrabOne(*capture);
            ASSERT_FALSE(frame.isNull());
            EXPECT_EQ(frame.size(), QSize(test.Mode.Width, test.Mode.Height));
            EXPECT_EQ(frame.format(), QImage::Format_BGR888);
            if (knownPicture) {
                EXPECT_TRUE(ShowsTheEmulatedPicture(frame));
                EXPECT_TRUE(ShowsTheEmulatedPicture(PreviewOf(*capture)->grab().toImage()));
            }

            TGraphConfig saved;
            capture->SaveConfig(&saved);
            EXPECT_EQ(saved.VCapMode, test.Mode);
            capture.reset();
            const auto restarted = MakeCapture();
            restarted->LoadConfig(&saved);
            EXPECT_TRUE(restarted->Previewing());
            EXPECT_EQ(restarted->GetCurrentVideoMode(), test.Mode);
            EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
        }
    }
};

TEST_F(EmulatedCameraTest, EveryModePreviewsGrabsItsPictureAndIsChosenAgainAfterARestart) {
    ExpectEveryModeWorks(
        EmulatedCameraName,
        {
            {"YUY2 640x480", Yuy2At480},
            {"YUY2 1280x720", Yuy2At720},
            {"MJPEG 640x480", MjpegAt480},
            {"MJPEG 1280x720", MjpegAt720},
            {"MJPEG 1920x1080", MjpegAt1080},
            // The device's own format asked for: YUY2 is no bitmap layout, so it
            // comes as 24-bit (it came as YUY2 bytes under a 24-bit header).
            {"YUY2 640x480 as the device gives it", Yuy2At480, TPixelFormat::pfDevice},
        },
        true);
}

// The same on a camera of this machine, when it has one.
TEST_F(EmulatedCameraTest, RealCameraRunsEveryModeItOffers) {
    TVideoCapture lister(CreateGstPlatform());
    lister.InitGraph();
    QString camera;
    for (const TCapDeviceInfo& device : VideoCaptureDevices()) {
        std::string path;
        if (SUCCEEDED(device.Moniker->GetDisplayName(path)) && path.starts_with("/dev/video"))
            camera = device.UniqueName;
    }
    if (camera.isEmpty())
        GTEST_SKIP() << "no V4L2 camera at /dev/video* on this machine";
    Config.VCapSource = camera;
    lister.LoadConfig(&Config);
    std::vector<TModeCase> cases;
    for (int i = 0; i < lister.VideoModeCount(); ++i)
        cases.push_back(
            {VCapModeName(lister.GetVideoMode(i)).toStdString(), lister.GetVideoMode(i)});
    lister.TearDownGraph();
    ExpectEveryModeWorks(camera, cases, false);
}

TEST_F(EmulatedCameraTest, ModeRunsAtTheRateAskedForOrElseAtTheHighestOffered) {
    // Before anything chose a mode, the camera is in the format its driver reports, not in the
    // first one it lists.
    auto capture = MakeCapture();
    ASSERT_TRUE(capture->InitGraph());
    Config.VCapMode = {};
    capture->LoadConfig(&Config);
    EXPECT_EQ(capture->GetCurrentVideoMode(), Yuy2At480);

    Config.VCapMode = MjpegAt720;
    capture->LoadConfig(&Config);
    ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
    EXPECT_NEAR(MeasuredFrameRate(2000), 30, 3);

    capture->UseFrameRate = true;
    capture->SetFrameRate(15);
    capture->LoadConfig(&Config);
    ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
    EXPECT_NEAR(MeasuredFrameRate(2000), 15, 2);
    EXPECT_EQ(capture->GetCurrentVideoMode(), MjpegAt720) << "the rate is no part of the mode";
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
}

TEST_F(EmulatedCameraTest, DamagedFramesAreDroppedAndOnlyAStreamThatStaysUndecodableAborts) {
    TEmulatedCameraFaults faults;
    faults.SetTruncateEvery(2);
    Config.VCapMode = MjpegAt480;
    const auto capture = MakeCapture();
    capture->LoadConfig(&Config);
    ASSERT_TRUE(capture->Previewing());
    for (int grab = 0; grab < 5; ++grab) {
        const QImage frame = GrabOne(*capture);
        ASSERT_FALSE(frame.isNull());
        EXPECT_TRUE(ShowsTheEmulatedPicture(frame)) << "a cut frame was shown";
    }
    EXPECT_EQ(Aborted, 0);

    faults.SetCorrupt(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Aborted > 0; }, 8000));
    EXPECT_EQ(Aborted, 1);
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
}

// A PAL DV stream with sound, made by the DV encoder of Debian's libav plugins; false without it.
bool WriteDvFile(const QString& fileName) {
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    for (const char* needed : {"avenc_dvvideo", "avmux_dv"})
        if (const auto factory =
                TGstHandle<GstElementFactory>::Adopt(gst_element_factory_find(needed));
            !factory)
            return false;
    const std::string description =
        "videotestsrc num-buffers=25 pattern=ball ! "
        "video/x-raw,width=720,height=576,framerate=25/1,format=I420 ! avenc_dvvideo ! mux. "
        "audiotestsrc num-buffers=48 samplesperbuffer=1000 ! "
        "audio/x-raw,rate=48000,channels=2,format=S16LE ! mux. "
        "avmux_dv name=mux ! filesink location=" +
        fileName.toStdString();
    const TGstElementRef pipeline =
        TGstElementRef::RefSink(gst_parse_launch(description.c_str(), nullptr));
    if (!pipeline)
        return false;
    gst_element_set_state(pipeline.Get(), GST_STATE_PLAYING);
    const TGstBusRef bus = TGstBusRef::Adopt(gst_element_get_bus(pipeline.Get()));
    const auto end = TGstHandle<GstMessage>::Adopt(gst_bus_timed_pop_filtered(
        bus.Get(), 20 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    gst_element_set_state(pipeline.Get(), GST_STATE_NULL);
    return end && GST_MESSAGE_TYPE(end.Get()) == GST_MESSAGE_EOS;
}

// A camcorder's system stream: the DV splitter takes the sound out, the decoder makes pictures
// at the size chosen among the decoder's four.
TEST_F(EmulatedCameraTest, CamcorderPreviewsThroughTheDvSplitterAndDecoderAtEachDecoderSize) {
    const QString stream = Folder.File("camcorder.dv");
    if (!WriteDvFile(stream))
        GTEST_SKIP() << "no DV encoder here (gstreamer1.0-libav) to make a camcorder's stream";
    ::setenv("KAMVERO_EMUCAM_DV_FILE", stream.toLocal8Bit().constData(), 1);
    Config.VCapSource = "Emulated DV Camcorder";
    Config.WantAudio = true;
    Config.WantDVAudio = true;
    Config.WantAudioPreview = true;
    const auto capture = MakeCapture();
    capture->LoadConfig(&Config);
    ASSERT_TRUE(capture->Previewing()) << Messages.join('|').toStdString();
    EXPECT_EQ(capture->VideoModeCount(), 4);
    EXPECT_EQ(GrabOne(*capture).size(), QSize(720, 576));

    // A camcorder's size goes to its decoder when the graph is built again.
    capture->SelectVideoMode({{}, 180, 144, 24});
    ASSERT_TRUE(capture->StartPreview()) << Messages.join('|').toStdString();
    EXPECT_EQ(GrabOne(*capture).size(), QSize(180, 144));
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
}

// The whole program on the camera: the camera is unplugged while it previews and captures
// at 1280x720 MJPEG, after Camera Setup read the device lists again. Listing devices with a
// monitor of its own once kept the program from ever hearing of the unplugging.
TEST_F(EmulatedCameraTest, UnpluggedCameraComesBackInItsModeAndSnapshotsGoOn) {
    ShownMessages().clear();
    ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
    WriteTextFile(Folder.File("kamvero.ini"),
                  "[Camera]\nFTP=0\nSense=0.5\nSensitivity=0\nArchive=1000\nDirectory=" +
                      Folder.File("snaps/").toUtf8() + "\n");
    Config.VCapMode = MjpegAt720;
    const auto program = MakeWindow();
    TfrmMain& window = *program;
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.cap1->Previewing(); }, 5000));
    ASSERT_EQ(window.cap1->GetCurrentVideoMode(), MjpegAt720);
    window.btnStart->click();

    QTimer::singleShot(200, &window, [&] {
        if (auto* dialog = window.findChild<TFGraphConfig*>())
            dialog->reject();
    });
    window.btnConfigure1->click();
    ASSERT_TRUE(window.cap1->Previewing());
    const auto snapshots = [&] {
        return QDir(Folder.File("snaps")).entryList({"camera*.jpg"}).size();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return snapshots() >= 2; }, 10000));

    TEmulatedCameraFaults faults;
    faults.SetPlugged(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.cap1->Previewing(); }, 5000));
    QTest::qWait(500);
    EXPECT_EQ(ShownMessages().size(), 1) << ShownMessages().join('|').toStdString();

    faults.SetPlugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.cap1->Previewing(); }, 8000));
    EXPECT_EQ(window.cap1->GetCurrentVideoMode(), MjpegAt720);
    const qsizetype before = snapshots();
    ASSERT_TRUE(QTest::qWaitFor([&] { return snapshots() > before + 1; }, 10000));
    EXPECT_EQ(QImage(Folder.File("snaps/camera.jpg")).size(), QSize(1280, 720));
    EXPECT_EQ(ShownMessages().size(), 1) << ShownMessages().join('|').toStdString();
    window.btnStop->click();
    ASSERT_TRUE(window.close());
}

} // namespace
