// The capture component's graph logic, frame path and events, on the scripted platform.
#include "VideoCapture.h"
#include "CaptureUtils.h"
#include "FakeCapturePlatform.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

namespace {

class VideoCaptureTest : public testing::Test {
  protected:
    void SetUp() override {
        platform->Devices[TDeviceCategory::VideoInputDevice] = {
            {"Test Camera",
             "cam-1",
             false,
             {VideoType(MEDIASUBTYPE_YUY2, 320, 240, 16),
              VideoType(MEDIASUBTYPE_RGB24, 640, 480, 24)}}};
        platform->Devices[TDeviceCategory::AudioInputDevice] = {{"Microphone", "mic-1", false, {}}};
        platform->Devices[TDeviceCategory::VideoCompressor] = {{"Motion JPEG", "mjpeg", false, {}}};
        Config.VCapSource = "Test Camera";
        Config.WantAudio = false;
        Config.WantDVAudio = false;
        Config.WantAudioPreview = false;
        Config.WantCapture = true;
        Config.WantPreview = true;
        Config.WantBitmaps = true;
        Config.CaptureFileName = "capture.avi";
        Config.TempCaptureFileName = "captemp.avi";
    }

    // A component placed in the test's folder, recording its message boxes.
    TVideoCapture& Capture() {
        if (!Component) {
            Component = std::make_unique<TVideoCapture>(platform);
            Component->FileFolder = Folder.QPath();
            Component->ShowErrorBox = [this](const QString& text) {
                Messages << text;
            };
            Component->OnBitmapGrabbed = [this](const TCapturedBitmap& bitmap) {
                Grabbed.push_back(bitmap.copy());
            };
        }
        return *Component;
    }

    void Fail(const std::string& call, HRESULT result = E_FAIL) {
        platform->Script->Failures[call] = result;
    }

    static void Pump() { QCoreApplication::processEvents(); }

    std::vector<std::uint8_t> Frame(int width, int height, std::uint8_t firstRowValue) const {
        const std::size_t stride = static_cast<std::size_t>((width * 3 + 3) / 4 * 4);
        std::vector<std::uint8_t> bytes(stride * static_cast<std::size_t>(height), 0x40);
        std::fill_n(bytes.begin(), stride, firstRowValue);
        return bytes;
    }

    TTempDir Folder;
    std::shared_ptr<TFakeCapturePlatform> platform = std::make_shared<TFakeCapturePlatform>();
    TGraphConfig Config;
    QStringList Messages;
    std::vector<QImage> Grabbed;
    // Last, so it goes first: its teardown may still report into the members above.
    std::unique_ptr<TVideoCapture> Component;
};

struct TMessageCase {
    const char* name;
    std::vector<std::pair<std::string, HRESULT>> failures;
    std::function<void(TGraphConfig&, TFakeCapturePlatform&, TVideoCapture&)> arrange;
    QStringList messages;
    bool previewing;
};

const std::string NoAudioStreamConfig = "FindInterface(None,Audio";

// Every failure the graph logic reports, with the text the user sees and whether the
// preview still runs.
std::vector<TMessageCase> MessageCases() {
    const auto withAudio = [](TGraphConfig& c, TFakeCapturePlatform&, TVideoCapture&) {
        c.WantAudio = true;
        c.ACapSource = "Microphone";
    };
    const auto withAudioPreview = [](TGraphConfig& c, TFakeCapturePlatform&, TVideoCapture&) {
        c.WantAudio = true;
        c.WantAudioPreview = true;
        c.ACapSource = "Microphone";
    };
    const auto dvCamera = [](TGraphConfig&, TFakeCapturePlatform& p, TVideoCapture&) {
        TAMMediaType dv = VideoType(MEDIASUBTYPE_dvsd, 720, 576, 24);
        dv.majortype = MEDIATYPE_Interleaved;
        p.Devices[TDeviceCategory::VideoInputDevice] = {{"Test Camera", "dv", true, {dv}}};
    };
    const QString noFilter = "Can't create video capture filter - propably you havn't video "
                             "capture device!";
    return {
        {"no graph builder",
         {{"CoCreateInstance(CaptureGraphBuilder2)", E_FAIL}},
         {},
         {"Can't init graph builder. Probably DirectShow is not installed!"},
         false},
        {"device cannot be bound",
         {{"BindToObject(Test Camera)", static_cast<HRESULT>(0x80070005)}},
         {},
         {"Error 80070005.\r\n" + noFilter},
         false},
        {"no device chosen",
         {},
         [](TGraphConfig& c, TFakeCapturePlatform&, TVideoCapture&) { c.VCapSource = "Nothing"; },
         {"Error 0.\r\n" + noFilter},
         false},
        {"no filter graph",
         {{"CoCreateInstance(FilterGraph)", E_FAIL}},
         {},
         {"Can't init graph. Probably DirectShow is not installed!"},
         false},
        {"graph not joined", {{"SetFiltergraph", E_FAIL}}, {}, {"Can't set filter graph!"}, false},
        {"capture filter not added",
         {{"AddFilter(VideoCapture,)", static_cast<HRESULT>(0x8004020A)}},
         {},
         {"Error 8004020A: Can't add video capture filter into graph!"},
         false},
        {"no stream configuration",
         {{"FindInterface(Capture,Video,VideoCapture,IAMStreamConfig)", E_NOINTERFACE}},
         {},
         {"Error 80004002: Can't find VCapture:IAMStreamConfig!"},
         true},
        {"no DV decoder",
         {{"CoCreateInstance(DVVideoCodec)", E_FAIL}},
         dvCamera,
         {"Can't add DV Decoder"},
         false},
        {"no DV splitter",
         {{"CoCreateInstance(DVSplitter)", E_FAIL}},
         [&](TGraphConfig& c, TFakeCapturePlatform& p, TVideoCapture& v) {
             dvCamera(c, p, v);
             c.WantAudio = true;
             c.WantDVAudio = true;
         },
         {"Can't add DV Splitter"},
         false},
        {"audio device cannot be bound",
         {{"BindToObject(Microphone)", E_FAIL}},
         withAudio,
         {"Can't create audio capture filter!"},
         false},
        {"audio filter not added",
         {{"AddFilter(AudioCapture,)", E_FAIL}},
         withAudio,
         {"Error 80004005: Can't add audio capture filter into graph!"},
         false},
        {"no audio stream configuration",
         {},
         withAudio,
         {"Can't find ACapture:IAMStreamConfig!"},
         true},
        {"no capture file name",
         {},
         [](TGraphConfig& c, TFakeCapturePlatform&, TVideoCapture&) { c.CaptureFileName.clear(); },
         {"Capture filename required!"},
         false},
        {"no room for the capture file",
         {{"AllocCapFile", E_FAIL}},
         [](TGraphConfig& c, TFakeCapturePlatform&, TVideoCapture&) { c.DoPreallocFile = true; },
         {"Can't allocate space for capture file! Disk full?"},
         false},
        {"DV stream not rendered",
         {{"RenderStream(None,Interleaved", E_FAIL}},
         dvCamera,
         {"Can't render video capture stream!"},
         false},
        {"smart tee not created",
         {{"CoCreateInstance(SmartTee)", E_FAIL}},
         {},
         {"Can't add SmartTee"},
         false},
        {"smart tee not added",
         {{"AddFilter(SmartTee", E_FAIL}},
         {},
         {"Can't add SmartTee"},
         false},
        {"smart tee not connected",
         {{"RenderStream(None,Video,VideoCapture,-,SmartTee)", E_FAIL}},
         {},
         {"Can't add SmartTee"},
         false},
        {"infinite tee not created",
         {{"CoCreateInstance(InfTee)", E_FAIL}},
         withAudioPreview,
         {"Can't find ACapture:IAMStreamConfig!", "Can't add InfiniteTee"},
         false},
        {"audio preview not rendered",
         {{"RenderStream(None,Audio,InfTee,-,-)", E_FAIL}},
         withAudioPreview,
         {"Can't find ACapture:IAMStreamConfig!", "Can't render audio preview stream!"},
         false},
        {"capture file not set",
         {{"SetOutputFileName", E_FAIL}},
         {},
         {"Can't set capture file!"},
         false},
        {"master stream refused",
         {{"SetMasterStream", E_FAIL}},
         withAudio,
         {"Can't find ACapture:IAMStreamConfig!", "SetMasterStream failed!"},
         true},
        {"video capture stream not rendered",
         {{"RenderStream(Capture,Video,SmartTee,-,AviMux)", E_FAIL}},
         {},
         {"Can't render video capture stream!"},
         false},
        {"audio capture stream not rendered",
         {{"RenderStream(Capture,Audio,AudioCapture,-,AviMux)", E_FAIL}},
         withAudio,
         {"Can't find ACapture:IAMStreamConfig!", "Can't render audio capture stream!"},
         false},
        {"grabber refused",
         {{"RenderStream(None,Video,SmartTee,-,SampleGrabber)", E_FAIL}},
         {},
         {"Can't install SampleGrabber. Probably wrong color depth used?"},
         true},
        {"preview not rendered",
         {{"RenderStream(None,Video,SampleGrabber,-,-)", E_FAIL}},
         {},
         {"Can't render preview stream!"},
         false},
        {"no video window",
         {},
         [](TGraphConfig&, TFakeCapturePlatform& p, TVideoCapture&) {
             p.Script->Refusals.insert({"Graph", TIID::IVideoWindow});
         },
         {"This graph cannot preview!"},
         true},
        {"frame rate refused",
         {{"SetFormat(VideoCapture", static_cast<HRESULT>(0x80040200)}},
         [](TGraphConfig&, TFakeCapturePlatform&, TVideoCapture& v) { v.UseFrameRate = true; },
         {"80040200: can't set preview frame rate!", "Cannot set frame rate for capture!"},
         true},
        {"frame rate without stream configuration",
         {{"FindInterface(Capture,Video,VideoCapture,IAMStreamConfig)", E_NOINTERFACE}},
         [](TGraphConfig&, TFakeCapturePlatform&, TVideoCapture& v) { v.UseFrameRate = true; },
         {"Error 80004002: Can't find VCapture:IAMStreamConfig!",
          "Cannot set frame rate for capture!"},
         true},
        {"graph does not run",
         {{"Run", E_FAIL}},
         {},
         {"Error 80004005: Cannot run preview graph!"},
         false},
    };
}

TEST_F(VideoCaptureTest, EveryFailureShowsItsMessage) {
    for (const TMessageCase& c : MessageCases()) {
        SCOPED_TRACE(c.name);
        platform = std::make_shared<TFakeCapturePlatform>();
        SetUp();
        Component.reset();
        Messages.clear();
        for (const auto& [call, result] : c.failures)
            Fail(call, result);
        if (c.arrange)
            c.arrange(Config, *platform, Capture());
        Capture().LoadConfig(&Config);
        EXPECT_EQ(Messages, c.messages);
        EXPECT_EQ(Capture().Previewing(), c.previewing);
    }
}

TEST_F(VideoCaptureTest, AppliedConfigurationBuildsTheWholeGraphAndPreviews) {
    int changes = 0;
    Capture().OnChangeDevice = [&](TVideoCapture*) {
        ++changes;
    };
    Capture().OnChangeCompressor = [&](TVideoCapture*) {
        changes += 10;
    };
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
    EXPECT_TRUE(Capture().GraphBuilt());
    EXPECT_TRUE(Capture().Previewing());
    EXPECT_EQ(changes, 11);
    const auto& script = *platform->Script;
    for (const char* call :
         {"AddFilter(SmartTee,MySmartTee)", "AddFilter(SampleGrabber,MyBitmapGrabber)",
          "RenderStream(Capture,Video,SmartTee,-,AviMux)", "SetMode(1)",
          "SetOutputCompatibilityIndex(1)", "SetCallback(1)", "StopAt(SmartTee.Capture,1)",
          "put_Owner(window)", "SetNotifyWindow", "Run"})
        EXPECT_TRUE(script.Called(call)) << call;
    EXPECT_TRUE(
        script.Called("SetOutputFileName(" + Folder.File("capture.avi").toStdString() + ")"));
    // Without audio the master stream is left alone.
    EXPECT_FALSE(script.Called("SetMasterStream"));
    // A second start while previewing changes nothing.
    const auto runs = script.CallCount("Run");
    EXPECT_TRUE(Capture().StartPreview());
    EXPECT_EQ(script.CallCount("Run"), runs);
}

TEST_F(VideoCaptureTest, EmptyConfigurationChoosesNoDevice) {
    TGraphConfig empty;
    empty.LoadFromString("");
    Capture().LoadConfig(&empty);
    ASSERT_EQ(Messages.size(), 1);
    EXPECT_TRUE(Messages[0].startsWith("Error 0.\r\n"));
    EXPECT_FALSE(Capture().GraphBuilt());
    // Nothing to build: no further message.
    EXPECT_FALSE(Capture().StartPreview());
    EXPECT_EQ(Messages.size(), 1);
}

TEST_F(VideoCaptureTest, StopFailureKeepsPreviewing) {
    Capture().LoadConfig(&Config);
    Fail("Stop");
    EXPECT_FALSE(Capture().StopPreview());
    EXPECT_EQ(Messages, QStringList{"Error 80004005: Cannot stop preview graph!"});
    EXPECT_TRUE(Capture().Previewing());
}

TEST_F(VideoCaptureTest, FrameRateIsForcedOnTheCapturePin) {
    Capture().UseFrameRate = true;
    Capture().SetFrameRate(25);
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(platform->Script->Called("SetFormat(VideoCapture,400000)"));
    Capture().TearDownGraph();
    Capture().SetFrameRate(30);
    EXPECT_TRUE(Capture().StartPreview());
    EXPECT_TRUE(platform->Script->Called("SetFormat(VideoCapture,333333)"));

    for (const auto& [given, kept] :
         std::vector<std::pair<double, double>>{{0.5, 25}, {50.1, 25}, {1, 1}, {50, 50}, {0, 25}}) {
        Capture().SetFrameRate(given);
        EXPECT_EQ(Capture().FrameRate(), kept) << given;
    }
}

TEST_F(VideoCaptureTest, PreallocationReservesWholeMegabytes) {
    Config.DoPreallocFile = true;
    Config.PreallocFileSize = 3000;
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(platform->Script->Called(
        "AllocCapFile(" + Folder.File("capture.avi").toStdString() + ",3145728000)"));
    // Overwriting the file would throw the reserved space away.
    EXPECT_TRUE(platform->Script->Called("SetMode(0)"));
}

// A relative capture file name once meant the process's current folder, so building the
// graph deleted a user's own capture.avi wherever the program was started.
TEST_F(VideoCaptureTest, CaptureFilesLiveInTheProgramFolderOnly) {
    TTempDir elsewhere;
    const QString startedFrom = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(elsewhere.QPath()));
    WriteTextFile(elsewhere.File("capture.avi"), "the user's own");
    WriteTextFile(elsewhere.File("captemp.avi"), "the user's own");
    WriteTextFile(Folder.File("capture.avi"), "stale");
    WriteTextFile(Folder.File("captemp.avi"), "stale");

    Capture().LoadConfig(&Config);
    EXPECT_FALSE(QFile::exists(Folder.File("capture.avi")));
    EXPECT_TRUE(QFile::exists(Folder.File("captemp.avi")));
    Capture().TearDownGraph();
    EXPECT_FALSE(QFile::exists(Folder.File("captemp.avi")));
    EXPECT_TRUE(QFile::exists(elsewhere.File("capture.avi")));
    EXPECT_TRUE(QFile::exists(elsewhere.File("captemp.avi")));
    QDir::setCurrent(startedFrom);
}

TEST_F(VideoCaptureTest, TeardownTakesEverythingDownstreamApart) {
    const int before = TFakeCapturePlatform::LiveFilters();
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(Capture().SetVideoMode(1));
    EXPECT_FALSE(Capture().GraphBuilt());
    EXPECT_FALSE(Capture().Previewing());
    EXPECT_EQ(platform->GraphFilterKinds(), std::vector<std::string>{"VideoCapture"});
    EXPECT_TRUE(platform->Script->Called("put_Visible(0)"));
    EXPECT_TRUE(platform->Script->Called("put_Owner(none)"));

    // The next start builds again on the same capture filter, in the new mode.
    EXPECT_TRUE(Capture().StartPreview());
    EXPECT_EQ(Capture().GetCurrentVideoMode().Width, 640);
    Component.reset();
    EXPECT_EQ(TFakeCapturePlatform::LiveFilters(), before);
    EXPECT_TRUE(VideoCaptureDevices().empty());
}

TEST_F(VideoCaptureTest, ConfigurationComesBackFromTheComponent) {
    platform->Devices[TDeviceCategory::VideoInputDevice].push_back(
        {"Test Camera", "cam-2", false, {VideoType(MEDIASUBTYPE_RGB24, 640, 480, 24)}});
    Config.VCapSource = "Test Camera (2)";
    Config.VComp = "Motion JPEG";
    Config.PixelFormat = TPixelFormat::pf32bit;
    Capture().LoadConfig(&Config);

    // The lists may be enumerated again in between, as a setup dialog does.
    RefreshAllDevices(*platform);
    TGraphConfig saved;
    Capture().SaveConfig(&saved);
    EXPECT_EQ(saved.VCapSource, "Test Camera (2)");
    EXPECT_EQ(saved.VComp, "Motion JPEG");
    EXPECT_EQ(saved.ACapSource, "");
    EXPECT_EQ(saved.PixelFormat, TPixelFormat::pf32bit);
    EXPECT_EQ(saved.VCapMode.Width, 640);
    EXPECT_EQ(saved.VCapMode.SubType, MEDIASUBTYPE_RGB24);
    EXPECT_TRUE(saved.WantCapture);
    EXPECT_FALSE(saved.WantAudio);
    EXPECT_EQ(saved.CaptureFileName, "capture.avi");
}

TEST_F(VideoCaptureTest, StoredModeIsSelectedBeforeTheBuild) {
    Config.VCapMode = {MEDIASUBTYPE_RGB24, 640, 480, 24};
    Capture().LoadConfig(&Config);
    EXPECT_EQ(Capture().GetCurrentVideoMode(), Config.VCapMode);
    EXPECT_EQ(Capture().CurrentVideoModeIndex(), 1);
    // A mode the device does not offer changes nothing.
    EXPECT_FALSE(Capture().SelectVideoMode({MEDIASUBTYPE_YUY2, 1920, 1080, 16}));
}

TEST_F(VideoCaptureTest, DVDecoderGetsTheChosenSize) {
    TAMMediaType dv = VideoType(MEDIASUBTYPE_dvsd, 720, 576, 24);
    dv.majortype = MEDIATYPE_Interleaved;
    platform->Devices[TDeviceCategory::VideoInputDevice] = {{"Test Camera", "dv", true, {dv}}};
    Config.DVResolution = TDVResolution::dvrHalf;
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join('|').toStdString();
    EXPECT_TRUE(platform->Script->Called("put_IPDisplay(1001)"));
    EXPECT_EQ(Capture().VideoModeCount(), 4);
    EXPECT_EQ(Capture().GetCurrentVideoMode(), (TVCapMode{{}, 360, 288, 24}));
}

TEST_F(VideoCaptureTest, RequestedFrameArrivesOnceAsABitmap) {
    EXPECT_FALSE(Capture().RequestFrame()) << "nothing runs yet";
    Capture().LoadConfig(&Config);
    int rendered = 0;
    Capture().OnFrameRendered = [&](TVideoCapture*) {
        ++rendered;
    };

    platform->GrabberFormat = VideoType(MEDIASUBTYPE_RGB24, 320, -240, 24);
    EXPECT_TRUE(Capture().RequestFrame());
    EXPECT_TRUE(Capture().RequestFrame());
    platform->DeliverFrame(Frame(320, 240, 0x11));
    platform->DeliverFrame(Frame(320, 240, 0x22));
    Pump();
    ASSERT_EQ(Grabbed.size(), 1u) << "two requests before a frame give one bitmap";
    EXPECT_EQ(rendered, 2);
    const QImage& first = Grabbed.front();
    EXPECT_EQ(first.size(), QSize(320, 240));
    EXPECT_EQ(first.format(), QImage::Format_BGR888);
    EXPECT_EQ(first.constScanLine(0)[0], 0x11);
    EXPECT_EQ(first.constScanLine(239)[0], 0x40);

    // Rows of a bitmap with a positive height run from the bottom up.
    platform->GrabberFormat = VideoType(MEDIASUBTYPE_RGB24, 320, 240, 24);
    Capture().RequestFrame();
    platform->DeliverFrame(Frame(320, 240, 0x33));
    Pump();
    ASSERT_EQ(Grabbed.size(), 2u);
    EXPECT_EQ(Grabbed.back().constScanLine(239)[0], 0x33);
}

TEST_F(VideoCaptureTest, SixteenBitFramesFollowTheirColourMasks) {
    Capture().LoadConfig(&Config);
    for (const auto& [compression, format] :
         {std::pair{0u, QImage::Format_RGB555}, std::pair{3u, QImage::Format_RGB16}}) {
        platform->GrabberFormat = VideoType(MEDIASUBTYPE_RGB565, 8, 2, 16);
        platform->GrabberFormat.Bitmap->biCompression = compression;
        Capture().RequestFrame();
        platform->DeliverFrame(std::vector<std::uint8_t>(16 * 2, 0x1F));
        Pump();
        ASSERT_FALSE(Grabbed.empty());
        EXPECT_EQ(Grabbed.back().format(), format) << compression;
    }
}

TEST_F(VideoCaptureTest, AFailingFrameHandlerDoesNotStopLaterFrames) {
    Capture().LoadConfig(&Config);
    int calls = 0;
    Capture().OnBitmapGrabbed = [&](const TCapturedBitmap&) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    for (int i = 0; i < 2; ++i) {
        Capture().RequestFrame();
        platform->DeliverFrame(Frame(320, 240, 0));
        Pump();
    }
    EXPECT_EQ(calls, 2);
    // A frame shorter than its format says is dropped without a message.
    Capture().RequestFrame();
    platform->DeliverFrame(std::vector<std::uint8_t>(100));
    Pump();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(VideoCaptureTest, NoFrameWithoutBitmapsOrWithARefusedGrabber) {
    Config.WantBitmaps = false;
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(Capture().Previewing());
    EXPECT_FALSE(Capture().RequestFrame());

    // A grabber that could not be connected is still asked, but nothing comes of it.
    Component.reset();
    Config.WantBitmaps = true;
    Fail("RenderStream(None,Video,SmartTee,-,SampleGrabber)");
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(Capture().RequestFrame());
    EXPECT_TRUE(platform->Script->Called("RenderStream(None,Video,SmartTee,-,-)"));
    EXPECT_FALSE(platform->Script->Called("SetCallback"));
}

TEST_F(VideoCaptureTest, LostDeviceStopsThePreviewAndTriesAgain) {
    Capture().LoadConfig(&Config);
    int lost = 0;
    int aborted = 0;
    Capture().OnDeviceLost = [&](TVideoCapture* sender) {
        ++lost;
        EXPECT_TRUE(sender->Previewing()) << "fired before the preview stops";
    };
    Capture().OnAborted = [&](TVideoCapture*) {
        ++aborted;
    };
    const int runs = platform->Script->CallCount("Run");

    platform->RaiseEvent(EC_DEVICE_LOST);
    Pump();
    EXPECT_EQ(lost, 1);
    const auto& calls = platform->Script->Calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Stop"), 1);
    EXPECT_EQ(platform->Script->CallCount("Run"), runs + 1);
    EXPECT_TRUE(Capture().Previewing());

    platform->RaiseEvent(EC_ERRORABORT);
    Pump();
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(platform->Script->CallCount("Run"), runs + 1) << "nothing changed, nothing restarts";

    // Without preview wanted, a lost device stays stopped.
    Capture().WantPreview = false;
    platform->RaiseEvent(EC_DEVICE_LOST);
    Pump();
    EXPECT_FALSE(Capture().Previewing());
}

// The kinds offered, as the window lists them.
std::vector<int> OfferedKinds(const TVideoCapture& capture) {
    std::vector<int> kinds;
    for (int kind = 0; kind < DialogKindCount; ++kind)
        if (capture.HasDialog(kind))
            kinds.push_back(kind);
    return kinds;
}

TEST_F(VideoCaptureTest, DialogsOfferedFollowWhatTheDevicesBring) {
    auto& camera = platform->Devices[TDeviceCategory::VideoInputDevice][0];
    camera.Interfaces = {TIID::ISpecifyPropertyPages, TIID::IAMTVTuner};
    camera.PinPages = true;
    platform->Devices[TDeviceCategory::AudioInputDevice][0].Interfaces = {
        TIID::ISpecifyPropertyPages, TIID::IAMTVAudio};
    platform->Devices[TDeviceCategory::VideoCompressor][0].Interfaces = {
        TIID::IAMVfwCompressDialogs};
    platform->Devices[TDeviceCategory::AudioCompressor] = {
        {"MP3", "mp3", false, {}, {TIID::ISpecifyPropertyPages}}};
    Config.ACapSource = "Microphone";
    Config.WantAudio = true;
    Config.VComp = "Motion JPEG";
    Config.AComp = "MP3";
    Capture().LoadConfig(&Config);
    EXPECT_EQ(OfferedKinds(Capture()), (std::vector<int>{3, 5, 6, 8, 9, 12, 13}));
    EXPECT_EQ(DialogKindName(9), "Video Capture Pin");
    EXPECT_EQ(DialogKindName(14), "");

    // A driver with a format dialog of its own hides the filter, pin, tuner and TV kinds.
    platform->Script->Failures["ShowDialog(VideoCompressor,4)"] = S_FALSE;
    camera.Interfaces.insert(TIID::IAMVfwCaptureDialogs);
    camera.VfwDialogs = VfwCaptureDialog_Format | VfwCaptureDialog_Display;
    Capture().LoadConfig(&Config);
    EXPECT_EQ(OfferedKinds(Capture()), (std::vector<int>{0, 2, 6}));
}

TEST_F(VideoCaptureTest, ShowingADialogStopsOrRebuildsAsItsKindNeeds) {
    auto& camera = platform->Devices[TDeviceCategory::VideoInputDevice][0];
    camera.Interfaces = {TIID::ISpecifyPropertyPages};
    camera.PinPages = true;
    platform->Devices[TDeviceCategory::VideoCompressor][0].Interfaces = {
        TIID::IAMVfwCompressDialogs};
    Config.VComp = "Motion JPEG";
    Capture().LoadConfig(&Config);
    auto& calls = platform->Script->Calls;
    const auto shownAfter = [&](std::size_t from) {
        return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(from),
                                        calls.end());
    };
    const auto has = [](const std::vector<std::string>& list, const std::string& prefix) {
        return std::any_of(list.begin(), list.end(),
                           [&](const std::string& c) { return c.starts_with(prefix); });
    };

    // The filter's own dialog opens over the running preview.
    std::size_t from = calls.size();
    EXPECT_TRUE(Capture().ShowDialog(3));
    EXPECT_EQ(shownAfter(from),
              std::vector<std::string>{"OleCreatePropertyFrame(VideoCapture,30,30)"});

    // The pin's format dialog needs the graph taken down and built again.
    from = calls.size();
    EXPECT_TRUE(Capture().ShowDialog(9));
    const auto pin = shownAfter(from);
    const auto frame =
        std::find(pin.begin(), pin.end(),
                  std::string("OleCreatePropertyFrame(StreamConfig.VideoCapture,30,30)"));
    ASSERT_NE(frame, pin.end());
    EXPECT_TRUE(has({pin.begin(), frame}, "Disconnect("));
    EXPECT_TRUE(has({frame, pin.end()}, "Run"));
    EXPECT_TRUE(Capture().Previewing());

    // The compressor's own dialog is shown with the preview stopped.
    from = calls.size();
    EXPECT_TRUE(Capture().ShowDialog(12));
    const auto compressor = shownAfter(from);
    ASSERT_GE(compressor.size(), 3u);
    EXPECT_EQ(compressor[0], "Stop");
    EXPECT_EQ(compressor[1], "ShowDialog(VideoCompressor,1)");
    EXPECT_EQ(compressor.back(), "Run");

    // A kind the devices do not bring does nothing.
    from = calls.size();
    EXPECT_FALSE(Capture().ShowDialog(6));
    EXPECT_FALSE(Capture().ShowDialog(16));
    EXPECT_EQ(calls.size(), from);
}

TEST_F(VideoCaptureTest, CompressorStateTravelsWithTheConfiguration) {
    platform->Devices[TDeviceCategory::VideoCompressor][0].Interfaces = {
        TIID::IAMVfwCompressDialogs};
    Config.VComp = "Motion JPEG";
    Config.VCompState = "quality=75";
    Capture().LoadConfig(&Config);
    EXPECT_TRUE(platform->Script->Called("SetState(VideoCompressor,quality=75)"));
    TGraphConfig saved;
    Capture().SaveConfig(&saved);
    EXPECT_EQ(saved.VCompState, "quality=75");

    // Without a compressor there is no state to keep.
    Config.VComp.clear();
    Capture().LoadConfig(&Config);
    Capture().SaveConfig(&saved);
    EXPECT_TRUE(saved.VCompState.isEmpty());
}

TEST_F(VideoCaptureTest, UnpluggedCameraComesBackWhenPluggedInAgain) {
    Config.VCapMode = {MEDIASUBTYPE_RGB24, 640, 480, 24};
    Capture().LoadConfig(&Config);
    const auto cameras = platform->Devices[TDeviceCategory::VideoInputDevice];

    // Unplugged: the restart that follows the loss fails, with the one message the user sees.
    platform->Devices[TDeviceCategory::VideoInputDevice].clear();
    Fail("Run");
    platform->RaiseEvent(EC_DEVICE_LOST);
    Pump();
    EXPECT_FALSE(Capture().Previewing());
    EXPECT_EQ(Messages.size(), 1);
    ASSERT_TRUE(platform->WatchingArrivals());

    // Another device arriving changes nothing; ours arriving before its driver is ready is
    // tried again quietly until it opens.
    platform->Devices[TDeviceCategory::AudioInputDevice].push_back({"Headset", "h", false, {}});
    platform->DeviceArrived();
    EXPECT_FALSE(Capture().Previewing());
    platform->Devices[TDeviceCategory::VideoInputDevice] = cameras;
    platform->DeviceArrived();
    EXPECT_FALSE(Capture().Previewing());
    platform->Script->Failures.clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Capture().Previewing(); }, 3000));
    EXPECT_EQ(Messages.size(), 1) << Messages.join('|').toStdString();
    EXPECT_EQ(Capture().GetCurrentVideoMode(), Config.VCapMode) << "the same mode as before";
    EXPECT_FALSE(platform->WatchingArrivals());

    // A configuration the user applies meanwhile ends the wait.
    Fail("Run");
    platform->RaiseEvent(EC_DEVICE_LOST);
    Pump();
    ASSERT_TRUE(platform->WatchingArrivals());
    Capture().LoadConfig(&Config);
    EXPECT_FALSE(platform->WatchingArrivals());
}

TEST(CaptureModeNames, VideoAndAudioModesReadAsTheListsShowThem) {
    EXPECT_EQ(VCapModeName({MEDIASUBTYPE_YUY2, 320, 240, 16}), "320x240x16b (YUY2)");
    EXPECT_EQ(VCapModeName({MEDIASUBTYPE_ARGB32, 64, 48, 32}), "64x48x32b (ARGB32)");
    EXPECT_EQ(VCapModeName({MEDIASUBTYPE_I420, 640, 480, 12}), "640x480x12b");
    EXPECT_EQ(VCapModeName({{}, 720, 576, 24}), "720x576x24b");
    EXPECT_EQ(ACapModeName({MEDIASUBTYPE_PCM, 44100, 16, 2, 176400}), "44100Hzx16bx2");
    const TGuid mp3 = FourCCGuid(0x55);
    EXPECT_EQ(ACapModeName({mp3, 22050, 0, 1, 16000}), "128kBits/s, 22050Hz, 1");
    // Compressed modes match on their rates, PCM ones on rate and sample size.
    EXPECT_TRUE(SameACapMode({mp3, 22050, 0, 1, 16000}, {mp3, 22050, 16, 1, 16000}));
    EXPECT_FALSE(SameACapMode({mp3, 22050, 0, 1, 16000}, {mp3, 22050, 0, 1, 8000}));
    EXPECT_TRUE(
        SameACapMode({MEDIASUBTYPE_PCM, 44100, 16, 2, 1}, {MEDIASUBTYPE_PCM, 44100, 16, 2, 2}));
}

TEST(CaptureDevices, SameNamesAreNumberedAndBlankNamesSkipped) {
    TFakeCapturePlatform platform;
    platform.Devices[TDeviceCategory::VideoInputDevice] = {{"USB Camera", "a", false, {}},
                                                           {"   ", "b", false, {}},
                                                           {"USB Camera", "c", false, {}},
                                                           {"Other", "d", false, {}},
                                                           {"USB Camera", "e", false, {}}};
    EXPECT_EQ(VideoCaptureDeviceNames(platform, true),
              QStringList({"USB Camera", "USB Camera (2)", "Other", "USB Camera (3)"}));
    EXPECT_TRUE(FindDeviceMoniker(VideoCaptureDevices(), "USB Camera (2)"));
    EXPECT_FALSE(FindDeviceMoniker(VideoCaptureDevices(), "usb camera"));
    ClearAllDevices();

    // The stored unique name finds the second camera again after a restart.
    platform.Devices[TDeviceCategory::VideoInputDevice][2].Modes = {
        VideoType(MEDIASUBTYPE_RGB24, 640, 480, 24)};
    const auto shared = std::make_shared<TFakeCapturePlatform>(platform);
    TGraphConfig config;
    config.VCapSource = "USB Camera (2)";
    TGraphConfig saved;
    {
        TVideoCapture capture(shared);
        capture.ShowErrorBox = [](const QString&) {
        };
        capture.LoadConfig(&config);
        capture.SaveConfig(&saved);
    }
    EXPECT_EQ(saved.VCapSource, "USB Camera (2)");
    TVideoCapture restarted(shared);
    restarted.ShowErrorBox = [](const QString&) {
    };
    restarted.LoadConfig(&saved);
    EXPECT_EQ(restarted.GetCurrentVideoMode(), (TVCapMode{MEDIASUBTYPE_RGB24, 640, 480, 24}));
}

} // namespace
