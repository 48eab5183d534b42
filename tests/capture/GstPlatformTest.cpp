// The GStreamer platform layer against real GStreamer, with the built-in Test Pattern and the
// tests' emulated USB camera as cameras (the build machines have none).

#include "gst/GstPlatform.h"
#include "EmulatedCamera.h"
#include "gst/GstHandle.h"
#include "gst/GstMediaType.h"
#include "gst/GstPreviewConvert.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::shared_ptr<ICapturePlatform> Platform() {
    // The leak tracer can only be switched on before GStreamer starts; it lets the cycle test
    // count live GStreamer objects.
    if (!gst_is_initialized())
        g_setenv("GST_TRACERS", "leaks", FALSE);
    return CreateGstPlatform();
}

TAMMediaType MediaType(const TGuid& major, const TGuid& subtype, const TGuid& format) {
    TAMMediaType type;
    type.majortype = major;
    type.subtype = subtype;
    type.formattype = format;
    return type;
}

std::shared_ptr<IMoniker> LastMoniker(ICapturePlatform& platform, TDeviceCategory category) {
    std::vector<std::shared_ptr<IMoniker>> monikers;
    platform.CreateClassEnumerator(category, monikers);
    return monikers.empty() ? nullptr : monikers.back();
}

std::string NameOf(IMoniker& moniker) {
    std::string name;
    moniker.ReadFriendlyName(name);
    return name;
}

std::shared_ptr<IBaseFilter> Filter(ICapturePlatform& platform, TCLSID clsid) {
    std::shared_ptr<IBaseFilter> filter;
    CreateInstance(platform, clsid, filter);
    return filter;
}

// Spins the event loop until the condition holds; false after the timeout.
template <typename Condition> bool WaitFor(Condition condition, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Counts frames on the streaming thread and copies one when asked, as the component does.
class TFrameCounter : public ISampleGrabberCB {
  public:
    HRESULT SampleCB(double) override { return S_OK; }
    HRESULT BufferCB(double, const std::uint8_t* buffer, long length) override {
        LastLength = length;
        if (GrabNext.exchange(false)) {
            const std::lock_guard lock(Lock);
            Copy.assign(buffer, buffer + length);
        }
        ++Frames;
        return S_OK;
    }
    std::vector<std::uint8_t> Grabbed() {
        const std::lock_guard lock(Lock);
        return Copy;
    }
    std::atomic<int> Frames = 0;
    std::atomic<long> LastLength = 0;
    std::atomic<bool> GrabNext = false;

  private:
    std::mutex Lock;
    std::vector<std::uint8_t> Copy;
};

// A graph built the way the capture component builds it: capture filter, smart tee, AVI
// branch held by stream control, frame grabber and video renderer.
struct TGraph {
    std::shared_ptr<ICapturePlatform> Platform;
    std::shared_ptr<IGraphBuilder> Graph;
    std::shared_ptr<ICaptureGraphBuilder2> Builder;
    std::shared_ptr<IBaseFilter> Capture;
    std::shared_ptr<IAMStreamConfig> Config;
    std::shared_ptr<IBaseFilter> Grabber;

    // The Test Pattern unless another camera is named.
    explicit TGraph(std::shared_ptr<ICapturePlatform> platform, const std::string& camera = {})
        : Platform(std::move(platform)) {
        EXPECT_EQ(CreateInstance(*Platform, TCLSID::FilterGraph, Graph), S_OK);
        EXPECT_EQ(CreateInstance(*Platform, TCLSID::CaptureGraphBuilder2, Builder), S_OK);
        EXPECT_EQ(Builder->SetFiltergraph(Graph), S_OK);
        std::vector<std::shared_ptr<IMoniker>> cameras;
        Platform->CreateClassEnumerator(TDeviceCategory::VideoInputDevice, cameras);
        const auto named = std::find_if(cameras.begin(), cameras.end(), [&](const auto& moniker) {
            return NameOf(*moniker) == camera;
        });
        const auto device = camera.empty() || named == cameras.end() ? cameras.back() : *named;
        EXPECT_TRUE(camera.empty() || named != cameras.end()) << camera << " is not listed";
        EXPECT_EQ(device->BindToObject(Capture), S_OK);
        EXPECT_EQ(Graph->AddFilter(Capture, ""), S_OK);
        std::shared_ptr<IUnknown> found;
        EXPECT_EQ(Builder->FindInterface(TPinCategory::Capture, &MEDIATYPE_Interleaved, Capture,
                                         TIID::IAMStreamConfig, found),
                  E_NOINTERFACE);
        EXPECT_EQ(Builder->FindInterface(TPinCategory::Capture, &MEDIATYPE_Video, Capture,
                                         TIID::IAMStreamConfig, found),
                  S_OK);
        Config = QueryInterface<IAMStreamConfig>(found);
    }

    // Answers the RenderStream result of the grabber (the rest must succeed).
    HRESULT Build(const fs::path& aviFile, const TGuid& grabberFormat, TFrameCounter* frames) {
        const auto tee = Filter(*Platform, TCLSID::SmartTee);
        EXPECT_EQ(Graph->AddFilter(tee, "MySmartTee"), S_OK);
        EXPECT_EQ(
            Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, Capture, nullptr, tee),
            S_OK);
        std::shared_ptr<IBaseFilter> mux;
        std::shared_ptr<IFileSinkFilter> sink;
        EXPECT_EQ(Builder->SetOutputFileName(MEDIASUBTYPE_Avi, aviFile.string(), mux, sink), S_OK);
        EXPECT_EQ(Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, tee, nullptr, mux),
                  S_OK);
        Grabber = Filter(*Platform, TCLSID::SampleGrabber);
        EXPECT_EQ(Graph->AddFilter(Grabber, "MyBitmapGrabber"), S_OK);
        const auto grabber = QueryInterface<ISampleGrabber>(Grabber);
        grabber->SetMediaType(MediaType(MEDIATYPE_Video, grabberFormat, FORMAT_VideoInfo));
        const HRESULT grabbed =
            Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, tee, nullptr, Grabber);
        const auto previewSource = SUCCEEDED(grabbed) ? Grabber : tee;
        if (SUCCEEDED(grabbed))
            grabber->SetCallback(frames, 1);
        EXPECT_EQ(Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, previewSource,
                                        nullptr, nullptr),
                  S_OK);
        std::shared_ptr<IPin> teeCapture;
        EXPECT_EQ(Builder->FindPin(tee, TPinDirection::Output, TPinCategory::None, nullptr, false,
                                   0, teeCapture),
                  S_OK);
        const auto control = QueryInterface<IAMStreamControl>(teeCapture);
        EXPECT_TRUE(control && control->StopAt(true) == S_OK);
        return grabbed;
    }

    HRESULT Run() { return QueryInterface<IMediaControl>(Graph)->Run(); }
    HRESULT Stop() { return QueryInterface<IMediaControl>(Graph)->Stop(); }

    // The component's RemoveDownstream: a pin walk that disconnects and removes every filter
    // below the given one.
    void RemoveDownstream(const std::shared_ptr<IBaseFilter>& filter) {
        std::vector<std::shared_ptr<IPin>> pins;
        ASSERT_EQ(filter->EnumPins(pins), S_OK);
        for (const auto& pin : pins) {
            std::shared_ptr<IPin> peer;
            if (FAILED(pin->ConnectedTo(peer)))
                continue;
            TPinInfo info;
            ASSERT_EQ(peer->QueryPinInfo(info), S_OK);
            if (info.Direction != TPinDirection::Input)
                continue;
            RemoveDownstream(info.Filter);
            EXPECT_EQ(Graph->Disconnect(peer), S_OK);
            EXPECT_EQ(Graph->Disconnect(pin), S_FALSE); // The link is already gone.
            EXPECT_EQ(Graph->RemoveFilter(info.Filter), S_OK);
        }
    }

    void TearDown() {
        if (const auto window = QueryInterface<IVideoWindow>(Graph)) {
            window->put_Visible(false);
            window->put_Owner(nullptr);
        }
        Grabber.reset();
        RemoveDownstream(Capture);
    }
};

class GstPlatformTest : public testing::Test {
  protected:
    void SetUp() override {
        Folder = fs::temp_directory_path() /
                 ("kamvero-gst-" + std::to_string(::getpid()) + "-" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Folder);
    }
    void TearDown() override { fs::remove_all(Folder); }

    fs::path Folder;
    std::shared_ptr<ICapturePlatform> Gst = Platform();
};

// ---- Media types ------------------------------------------------------------------------------

// Caps need GStreamer started, which making the platform does.
class GstMediaTypes : public testing::Test {
  protected:
    void SetUp() override { Platform(); }
};

TEST_F(GstMediaTypes, SubtypesRoundTripThroughCapsWithTheirBitmapHeaders) {
    struct TCase {
        TGuid Subtype;
        const char* Caps;
        std::uint16_t BitCount;
    };
    const TCase cases[] = {
        {MEDIASUBTYPE_YUY2, "video/x-raw, format=(string)YUY2", 16},
        {MEDIASUBTYPE_I420, "video/x-raw, format=(string)I420", 12},
        {MEDIASUBTYPE_NV12, "video/x-raw, format=(string)NV12", 12},
        {MEDIASUBTYPE_YVU9, "video/x-raw, format=(string)YVU9", 9},
        {MEDIASUBTYPE_Y411, "video/x-raw, format=(string)IYU1", 12},
        {MEDIASUBTYPE_RGB24, "video/x-raw, format=(string)BGR", 24},
        {MEDIASUBTYPE_RGB32, "video/x-raw, format=(string)BGRx", 32},
        {MEDIASUBTYPE_ARGB32, "video/x-raw, format=(string)BGRA", 32},
        {MEDIASUBTYPE_RGB565, "video/x-raw, format=(string)RGB16", 16},
        {MEDIASUBTYPE_RGB555, "video/x-raw, format=(string)RGB15", 16},
        {MEDIASUBTYPE_RGB8, "video/x-raw, format=(string)GRAY8", 8},
        {MEDIASUBTYPE_MJPG, "image/jpeg", 24},
    };
    for (const TCase& c : cases) {
        const TGstCapsRef caps = CapsForSubtype(c.Subtype);
        ASSERT_TRUE(caps) << c.Caps;
        const TGstString text = TGstString::Adopt(gst_caps_to_string(caps.Get()));
        EXPECT_STREQ(text.Get(), c.Caps);

        TAMMediaType type = MediaType(MEDIATYPE_Video, c.Subtype, FORMAT_VideoInfo);
        type.Bitmap = TBitmapInfoHeader{.biWidth = 160, .biHeight = -120};
        type.AvgTimePerFrame = 400'000;
        const auto back = VideoMediaTypeFromCaps(VideoCapsFromMediaType(type).Get());
        ASSERT_TRUE(back) << c.Caps;
        EXPECT_EQ(back->subtype, c.Subtype) << c.Caps;
        EXPECT_EQ(back->formattype, FORMAT_VideoInfo);
        EXPECT_EQ(back->Bitmap->biWidth, 160);
        EXPECT_EQ(back->Bitmap->biHeight, 120) << "the size takes the absolute height";
        EXPECT_EQ(back->Bitmap->biBitCount, c.BitCount) << c.Caps;
        EXPECT_EQ(back->AvgTimePerFrame, 400'000);
    }
    EXPECT_FALSE(CapsForSubtype(MEDIASUBTYPE_RGB1));
    EXPECT_FALSE(CapsForSubtype(MEDIASUBTYPE_RGB4));
    EXPECT_FALSE(CapsForSubtype(MEDIASUBTYPE_Y41P));
}

TEST_F(GstMediaTypes, FrameRatesConvertBothWays) {
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(333'333), (TFraction{30, 1}));
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(400'000), (TFraction{25, 1}));
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(333'667), (TFraction{30000, 1001}));
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(20'000'000), (TFraction{1, 2}));
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(1'234'567), (TFraction{10'000'000, 1'234'567}));
    EXPECT_EQ(FrameRateFromAvgTimePerFrame(0), (TFraction{0, 1}));
    EXPECT_EQ(AvgTimePerFrameFromFrameRate({30, 1}), 333'333);
    EXPECT_EQ(AvgTimePerFrameFromFrameRate({30000, 1001}), 333'667);
    EXPECT_EQ(AvgTimePerFrameFromFrameRate({0, 1}), 0);
}

TEST_F(GstMediaTypes, GrabbedFramesAreTopDownWithGStreamersRowStride) {
    // 322 BGR pixels are 966 bytes; rows are padded to 968 like a bitmap's.
    const TGstCapsRef caps = TGstCapsRef::Adopt(
        gst_caps_from_string("video/x-raw,format=BGR,width=322,height=10,framerate=30/1"));
    const auto type = VideoMediaTypeFromCaps(caps.Get(), TRowOrder::TopDown);
    ASSERT_TRUE(type);
    EXPECT_EQ(type->Bitmap->biHeight, -10);
    EXPECT_EQ(type->Bitmap->biSizeImage, 968u * 10);
    EXPECT_EQ(type->AvgTimePerFrame, 333'333);
}

// The preview converts 4:2:0 frames itself; it must agree with GStreamer's own converter for
// the colour matrices and ranges cameras send, odd sizes included.
TEST_F(GstMediaTypes, PreviewConversionOfI420MatchesGStreamersConverter) {
    // Full-range BT.601 as JPEG decodes, then the two limited-range matrices.
    for (const char* colorimetry : {"1:4:0:0", "bt601", "bt709"}) {
        SCOPED_TRACE(colorimetry);
        GstVideoInfo in;
        GstVideoInfo out;
        gst_video_info_set_format(&in, GST_VIDEO_FORMAT_I420, 37, 9);
        ASSERT_TRUE(gst_video_colorimetry_from_string(&in.colorimetry, colorimetry));
        gst_video_info_set_format(&out, GST_VIDEO_FORMAT_BGRx, 37, 9);
        const TGstHandle<GstBuffer> source =
            TGstHandle<GstBuffer>::Adopt(gst_buffer_new_allocate(nullptr, in.size, nullptr));
        const TGstHandle<GstBuffer> expected =
            TGstHandle<GstBuffer>::Adopt(gst_buffer_new_allocate(nullptr, out.size, nullptr));
        GstMapInfo bytes;
        ASSERT_TRUE(gst_buffer_map(source.Get(), &bytes, GST_MAP_WRITE));
        for (gsize i = 0; i < bytes.size; ++i)
            bytes.data[i] = static_cast<guint8>(i * 37 % 251);
        gst_buffer_unmap(source.Get(), &bytes);

        GstVideoFrame input;
        GstVideoFrame reference;
        ASSERT_TRUE(gst_video_frame_map(&input, &in, source.Get(), GST_MAP_READ));
        ASSERT_TRUE(gst_video_frame_map(&reference, &out, expected.Get(), GST_MAP_WRITE));
        GstVideoConverter* converter = gst_video_converter_new(&in, &out, nullptr);
        gst_video_converter_frame(converter, &input, &reference);
        gst_video_converter_free(converter);
        QImage picture(37, 9, QImage::Format_RGB32);
        EXPECT_TRUE(TI420Converter(in).Convert(input, picture));
        int worst = 0;
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 37; ++x) {
                const auto* want =
                    static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&reference, 0)) +
                    y * GST_VIDEO_FRAME_PLANE_STRIDE(&reference, 0) + x * 4;
                const QRgb got = picture.pixel(x, y);
                worst = std::max({worst, std::abs(qBlue(got) - want[0]),
                                  std::abs(qGreen(got) - want[1]), std::abs(qRed(got) - want[2])});
            }
        gst_video_frame_unmap(&reference);
        gst_video_frame_unmap(&input);
        // GStreamer's fast path rounds its limited-range matrix to 8 bits, ours to 12.
        EXPECT_LE(worst, 6);
    }
}

TEST_F(GstMediaTypes, OfferedModesExpandFormatListsAndSizeRangesInOrder) {
    const TGstCapsRef caps = TGstCapsRef::Adopt(gst_caps_from_string(
        "video/x-raw,format={YUY2,I420},width=[100,400],height=[100,300],framerate=[1/1,60/1];"
        "video/x-raw,format=YUY2,width=320,height=240,framerate=15/1;"
        "image/jpeg,width=1280,height=720,framerate={30/1,15/1};"
        "video/x-dv,systemstream=true"));
    const auto modes = ListVideoModes(caps.Get());
    // The four-character code, the size and the time per frame of each mode.
    std::vector<std::string> seen;
    for (const auto& mode : modes) {
        const std::uint32_t code = mode.Bitmap->biCompression;
        seen.push_back(std::string(reinterpret_cast<const char*>(&code), 4) + " " +
                       std::to_string(mode.Bitmap->biWidth) + "x" +
                       std::to_string(mode.Bitmap->biHeight) + " " +
                       std::to_string(mode.AvgTimePerFrame));
    }
    // The duplicate 320x240 YUY2 of the second structure is left out. Each mode comes at the
    // highest rate offered for it: 60 fps from the range, 30 from the list.
    const std::vector<std::string> expected = {
        "YUY2 160x120 166667",  "YUY2 176x144 166667", "YUY2 320x240 166667", "YUY2 352x288 166667",
        "I420 160x120 166667",  "I420 176x144 166667", "I420 320x240 166667", "I420 352x288 166667",
        "MJPG 1280x720 333333", "dvsd 720x576 0"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(modes.back().majortype, MEDIATYPE_Interleaved);
}

TEST_F(GstMediaTypes, AudioFormatsRoundTripAsPcm) {
    TAMMediaType type = MediaType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx);
    type.Wave = TWaveFormatEx{.nChannels = 2, .nSamplesPerSec = 22050, .wBitsPerSample = 16};
    const auto back = AudioMediaTypeFromCaps(AudioCapsFromMediaType(type).Get());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->formattype, FORMAT_WaveFormatEx);
    EXPECT_EQ(back->Wave->nChannels, 2);
    EXPECT_EQ(back->Wave->nSamplesPerSec, 22050u);
    EXPECT_EQ(back->Wave->nAvgBytesPerSec, 88200u);
    type.Wave->wBitsPerSample = 12;
    EXPECT_FALSE(AudioCapsFromMediaType(type));
}

// ---- Enumeration and stream configuration ------------------------------------------------------

TEST_F(GstPlatformTest, EnumerationsEndWithTheBuiltInSourcesAndBindFreshFilters) {
    const auto pattern = LastMoniker(*Gst, TDeviceCategory::VideoInputDevice);
    const auto tone = LastMoniker(*Gst, TDeviceCategory::AudioInputDevice);
    ASSERT_TRUE(pattern && tone);
    EXPECT_EQ(NameOf(*pattern), "Test Pattern");
    EXPECT_EQ(NameOf(*tone), "Test Tone");
    std::shared_ptr<IBaseFilter> first, second;
    EXPECT_EQ(pattern->BindToObject(first), S_OK);
    EXPECT_EQ(pattern->BindToObject(second), S_OK);
    EXPECT_NE(first, second);

    std::vector<std::shared_ptr<IMoniker>> compressors;
    ASSERT_EQ(Gst->CreateClassEnumerator(TDeviceCategory::VideoCompressor, compressors), S_OK);
    for (std::size_t i = 1; i < compressors.size(); ++i)
        EXPECT_LE(NameOf(*compressors[i - 1]), NameOf(*compressors[i])) << "sorted by name";
    std::shared_ptr<IBaseFilter> compressor;
    ASSERT_EQ(compressors.front()->BindToObject(compressor), S_OK);
    std::vector<std::shared_ptr<IPin>> pins;
    compressor->EnumPins(pins);
    ASSERT_EQ(pins.size(), 2u);
    TPinDirection direction;
    pins[1]->QueryDirection(direction);
    EXPECT_EQ(direction, TPinDirection::Output);
}

TEST_F(GstPlatformTest, TestPatternOffersItsModesAndTakesWhatItCanProduce) {
    TGraph graph(Gst);
    ASSERT_TRUE(graph.Config);
    TAMMediaType format;
    ASSERT_EQ(graph.Config->GetFormat(format), S_OK);
    EXPECT_EQ(format.majortype, MEDIATYPE_Video);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(format.Bitmap->biWidth, 320);
    EXPECT_EQ(format.Bitmap->biHeight, 240);
    EXPECT_EQ(format.AvgTimePerFrame, 333'333);

    int count = 0;
    ASSERT_EQ(graph.Config->GetNumberOfCapabilities(count), S_OK);
    ASSERT_EQ(count, 9);
    TAMMediaType mode;
    ASSERT_EQ(graph.Config->GetStreamCaps(5, mode), S_OK);
    EXPECT_EQ(mode.subtype, MEDIASUBTYPE_I420);
    EXPECT_EQ(mode.Bitmap->biWidth, 640);
    EXPECT_EQ(graph.Config->GetStreamCaps(9, mode), E_INVALIDARG);

    // A rate the list does not name is still one the generator can make.
    mode.AvgTimePerFrame = 400'000;
    ASSERT_EQ(graph.Config->SetFormat(mode), S_OK);
    ASSERT_EQ(graph.Config->GetFormat(format), S_OK);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_I420);
    EXPECT_EQ(format.AvgTimePerFrame, 400'000);

    mode.subtype = MEDIASUBTYPE_MJPG; // A generator of raw video cannot deliver JPEG.
    EXPECT_EQ(graph.Config->SetFormat(mode), VFW_E_INVALIDMEDIATYPE);
    mode.subtype = MEDIASUBTYPE_RGB4;
    EXPECT_EQ(graph.Config->SetFormat(mode), VFW_E_INVALIDMEDIATYPE);
    ASSERT_EQ(graph.Config->GetFormat(format), S_OK);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_I420) << "a refused format changes nothing";
}

// ---- Whole graphs ------------------------------------------------------------------------------

TEST_F(GstPlatformTest, GraphBuiltLikeTheComponentDeliversFramesAndRebuildsAfterTeardown) {
    TGraph graph(Gst);
    TFrameCounter frames;
    const fs::path avi = Folder / "capture.avi";
    ASSERT_EQ(graph.Build(avi, MEDIASUBTYPE_RGB24, &frames), S_OK);
    ASSERT_EQ(graph.Run(), S_OK);
    EXPECT_TRUE(fs::exists(avi)) << "the file writer opens its file when the graph starts";

    frames.GrabNext = true;
    ASSERT_TRUE(WaitFor([&] { return frames.Frames >= 3 && !frames.GrabNext; }));
    EXPECT_EQ(frames.LastLength, 320 * 3 * 240);
    const auto grabbed = frames.Grabbed();
    ASSERT_EQ(grabbed.size(), 320u * 3 * 240);
    EXPECT_TRUE(std::any_of(grabbed.begin(), grabbed.end(), [](auto b) { return b != 0; }))
        << "the ball is drawn";

    TAMMediaType connected;
    ASSERT_EQ(QueryInterface<ISampleGrabber>(graph.Grabber)->GetConnectedMediaType(connected),
              S_OK);
    EXPECT_EQ(connected.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(connected.formattype, FORMAT_VideoInfo);
    EXPECT_EQ(connected.Bitmap->biWidth, 320);
    EXPECT_EQ(connected.Bitmap->biHeight, -240);
    EXPECT_EQ(connected.Bitmap->biBitCount, 24);
    EXPECT_EQ(connected.Bitmap->biSizeImage, 320u * 3 * 240);

    ASSERT_EQ(graph.Stop(), S_OK);
    graph.TearDown();
    std::shared_ptr<IBaseFilter> gone;
    for (const char* name : {"MySmartTee", "MyBitmapGrabber", "Video Renderer", "AVI Mux"})
        EXPECT_EQ(graph.Graph->FindFilterByName(name, gone), VFW_E_NOT_FOUND) << name;
    EXPECT_FALSE(QueryInterface<IVideoWindow>(graph.Graph)) << "no renderer, no video window";
    std::vector<std::shared_ptr<IPin>> pins;
    graph.Capture->EnumPins(pins);
    std::shared_ptr<IPin> peer;
    EXPECT_EQ(pins.front()->ConnectedTo(peer), VFW_E_NOT_CONNECTED);

    TFrameCounter again;
    ASSERT_EQ(graph.Build(avi, MEDIASUBTYPE_RGB32, &again), S_OK);
    ASSERT_EQ(graph.Run(), S_OK);
    ASSERT_TRUE(WaitFor([&] { return again.Frames >= 2; }));
    EXPECT_EQ(again.LastLength, 320 * 4 * 240);
    EXPECT_EQ(graph.Stop(), S_OK);
}

TEST_F(GstPlatformTest, GrabberWithoutRawFormatRefusesToConnectWhileThePreviewStillRuns) {
    TGraph graph(Gst);
    TFrameCounter frames;
    EXPECT_EQ(graph.Build(Folder / "capture.avi", MEDIASUBTYPE_RGB4, &frames),
              VFW_E_CANNOT_CONNECT);
    std::vector<std::shared_ptr<IPin>> pins;
    graph.Grabber->EnumPins(pins);
    std::shared_ptr<IPin> peer;
    for (const auto& pin : pins)
        EXPECT_EQ(pin->ConnectedTo(peer), VFW_E_NOT_CONNECTED) << "nothing was left linked";
    TAMMediaType connected;
    EXPECT_EQ(QueryInterface<ISampleGrabber>(graph.Grabber)->GetConnectedMediaType(connected),
              VFW_E_NOT_CONNECTED);

    const auto window = QueryInterface<IVideoWindow>(graph.Graph);
    ASSERT_TRUE(window);
    QWidget owner;
    owner.resize(320, 240);
    owner.show();
    ASSERT_EQ(window->put_Owner(&owner), S_OK);
    ASSERT_EQ(window->SetWindowPosition(0, 0, 160, 120), S_OK);
    ASSERT_EQ(window->put_Visible(true), S_OK);
    QPointer<QWidget> preview = GstPreviewWidgetForTest(graph.Graph);
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->parentWidget(), &owner);
    EXPECT_EQ(preview->geometry(), QRect(0, 0, 160, 120));

    ASSERT_EQ(graph.Run(), S_OK);
    const auto painted = [&](int width, int height) {
        const TGstPreviewStats stats = GstPreviewStatsForTest(graph.Graph);
        return stats.PaintedFrames >= 3 && stats.FrameWidth == width && stats.FrameHeight == height;
    };
    // The renderer delivers frames at the window's size, and follows it while running.
    EXPECT_TRUE(WaitFor([&] { return painted(160, 120); }));
    ASSERT_EQ(window->SetWindowPosition(0, 0, 240, 180), S_OK);
    EXPECT_EQ(preview->geometry(), QRect(0, 0, 240, 180));
    EXPECT_TRUE(WaitFor([&] { return painted(240, 180); }));
    EXPECT_EQ(frames.Frames, 0);
    ASSERT_EQ(graph.Stop(), S_OK);
    ASSERT_EQ(window->put_Owner(nullptr), S_OK);
    EXPECT_FALSE(preview) << "detaching the owner deletes the video window";
}

TEST_F(GstPlatformTest, GrabberAtTheEndOfABranchStillSeesEveryFrame) {
    TGraph graph(Gst);
    const auto grabber = Filter(*Gst, TCLSID::SampleGrabber);
    ASSERT_EQ(graph.Graph->AddFilter(grabber, "MyBitmapGrabber"), S_OK);
    ASSERT_EQ(graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, graph.Capture,
                                          nullptr, grabber),
              S_OK);
    TFrameCounter frames;
    QueryInterface<ISampleGrabber>(grabber)->SetCallback(&frames, 1);
    ASSERT_EQ(graph.Run(), S_OK);
    // Nothing behind the grabber: its frames fall on the floor after the callback saw them.
    EXPECT_TRUE(WaitFor([&] { return frames.Frames >= 3; }));
    EXPECT_EQ(frames.LastLength, 320 * 3 * 240)
        << "no format asked for: the camera's YUY2 is no bitmap, so it comes as 24-bit";
    EXPECT_EQ(graph.Stop(), S_OK);
    long code = 0;
    std::intptr_t param1 = 0, param2 = 0;
    EXPECT_EQ(QueryInterface<IMediaEventEx>(graph.Graph)->GetEvent(code, param1, param2), E_FAIL)
        << "an unconnected output is no error";
}

TEST_F(GstPlatformTest, FailedRenderStreamUndoesWhatItLinkedAndAdded) {
    TGraph graph(Gst);
    const auto tee = Filter(*Gst, TCLSID::SmartTee);
    const auto grabber = Filter(*Gst, TCLSID::SampleGrabber);
    graph.Graph->AddFilter(tee, "MySmartTee");
    graph.Graph->AddFilter(grabber, "MyBitmapGrabber");
    QueryInterface<ISampleGrabber>(grabber)->SetMediaType(
        MediaType(MEDIATYPE_Video, MEDIASUBTYPE_RGB1, FORMAT_VideoInfo));
    // The source links into the tee, then the grabber refuses: the first link must go too.
    EXPECT_EQ(graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, graph.Capture, tee,
                                          grabber),
              VFW_E_CANNOT_CONNECT);
    std::vector<std::shared_ptr<IPin>> pins;
    graph.Capture->EnumPins(pins);
    std::shared_ptr<IPin> peer;
    EXPECT_EQ(pins.front()->ConnectedTo(peer), VFW_E_NOT_CONNECTED);

    // No audio leaves a video pin: the renderer made for the attempt is removed again.
    EXPECT_EQ(graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Audio, graph.Capture,
                                          nullptr, nullptr),
              VFW_E_CANNOT_CONNECT);
    std::shared_ptr<IBaseFilter> renderer;
    EXPECT_EQ(graph.Graph->FindFilterByName("Audio Renderer", renderer), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph.Builder->RenderStream(TPinCategory::Preview, &MEDIATYPE_Video, graph.Capture,
                                          nullptr, nullptr),
              VFW_E_CANNOT_CONNECT)
        << "a capture device has no preview pin";

    EXPECT_EQ(graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, graph.Capture,
                                          nullptr, tee),
              S_OK);
}

TEST_F(GstPlatformTest, GraphNamesFiltersAndOffersTheVideoWindowOnlyWithARenderer) {
    TGraph graph(Gst);
    const auto first = Filter(*Gst, TCLSID::InfTee);
    const auto second = Filter(*Gst, TCLSID::InfTee);
    EXPECT_EQ(graph.Graph->AddFilter(first, "Tee"), S_OK);
    EXPECT_EQ(graph.Graph->AddFilter(second, "Tee"), S_OK);
    EXPECT_EQ(graph.Graph->AddFilter(second, "Again"), E_INVALIDARG) << "already in the graph";
    std::shared_ptr<IBaseFilter> found;
    ASSERT_EQ(graph.Graph->FindFilterByName("Tee", found), S_OK);
    EXPECT_EQ(found, first);
    ASSERT_EQ(graph.Graph->FindFilterByName("Tee 0001", found), S_OK);
    EXPECT_EQ(found, second);
    EXPECT_EQ(graph.Graph->RemoveFilter(second), S_OK);
    EXPECT_EQ(graph.Graph->RemoveFilter(second), VFW_E_NOT_FOUND);

    EXPECT_FALSE(QueryInterface<IVideoWindow>(graph.Graph));
    ASSERT_EQ(graph.Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, graph.Capture,
                                          nullptr, nullptr),
              S_OK);
    EXPECT_TRUE(QueryInterface<IVideoWindow>(graph.Graph));
    EXPECT_EQ(graph.Graph->FindFilterByName("Video Renderer", found), S_OK);
}

TEST_F(GstPlatformTest, AviBranchMakesMuxInputsOnDemandAndWriterOpensItsFileOnRun) {
    TGraph graph(Gst);
    const auto tee = Filter(*Gst, TCLSID::SmartTee);
    graph.Graph->AddFilter(tee, "MySmartTee");
    graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, graph.Capture, nullptr, tee);
    std::shared_ptr<IBaseFilter> mux;
    std::shared_ptr<IFileSinkFilter> sink;
    EXPECT_EQ(graph.Builder->SetOutputFileName(MEDIASUBTYPE_YUY2, "x.avi", mux, sink),
              E_INVALIDARG);
    ASSERT_EQ(graph.Builder->SetOutputFileName(MEDIASUBTYPE_Avi, (Folder / "old.avi").string(), mux,
                                               sink),
              S_OK);
    EXPECT_TRUE(QueryInterface<IConfigAviMux>(mux));
    ASSERT_TRUE(QueryInterface<IFileSinkFilter2>(sink));
    EXPECT_EQ(QueryInterface<IFileSinkFilter2>(sink)->SetMode(AM_FILE_OVERWRITE), S_OK);
    EXPECT_EQ(sink->SetFileName((Folder / "new.avi").string()), S_OK);

    std::vector<std::shared_ptr<IPin>> pins;
    mux->EnumPins(pins);
    EXPECT_EQ(pins.size(), 1u) << "only the output before anything is rendered into it";
    ASSERT_EQ(
        graph.Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, tee, nullptr, mux),
        S_OK);
    mux->EnumPins(pins);
    ASSERT_EQ(pins.size(), 2u);
    TPinInfo info;
    pins[1]->QueryPinInfo(info);
    EXPECT_EQ(info.Direction, TPinDirection::Input);
    EXPECT_EQ(info.Filter, mux);

    ASSERT_EQ(graph.Run(), S_OK);
    EXPECT_TRUE(fs::exists(Folder / "new.avi"));
    EXPECT_FALSE(fs::exists(Folder / "old.avi"));
    EXPECT_EQ(sink->SetFileName((Folder / "late.avi").string()), VFW_E_WRONG_STATE);
    EXPECT_EQ(graph.Stop(), S_OK);
}

TEST_F(GstPlatformTest, RunFailsWhenAnElementCannotStartAndTheErrorBecomesAnEvent) {
    TGraph graph(Gst);
    TFrameCounter frames;
    graph.Build(Folder / "missing" / "capture.avi", MEDIASUBTYPE_RGB24, &frames);
    const auto events = QueryInterface<IMediaEventEx>(graph.Graph);
    int notified = 0;
    events->SetNotifyWindow([&] { ++notified; });
    EXPECT_EQ(graph.Run(), E_FAIL);
    EXPECT_EQ(graph.Stop(), S_OK);
    ASSERT_TRUE(WaitFor([&] { return notified >= 1; }));
    long code = 0;
    std::intptr_t param1 = 0, param2 = 0;
    ASSERT_EQ(events->GetEvent(code, param1, param2), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
}

TEST_F(GstPlatformTest, TestToneRunsThroughTheInfiniteTeeToItsRendererAndTheMux) {
    TGraph graph(Gst);
    std::shared_ptr<IBaseFilter> tone;
    ASSERT_EQ(LastMoniker(*Gst, TDeviceCategory::AudioInputDevice)->BindToObject(tone), S_OK);
    ASSERT_EQ(graph.Graph->AddFilter(tone, ""), S_OK);
    std::shared_ptr<IUnknown> found;
    ASSERT_EQ(graph.Builder->FindInterface(TPinCategory::None, &MEDIATYPE_Audio, tone,
                                           TIID::IAMStreamConfig, found),
              S_OK);
    TAMMediaType format;
    ASSERT_EQ(QueryInterface<IAMStreamConfig>(found)->GetFormat(format), S_OK);
    EXPECT_EQ(format.subtype, MEDIASUBTYPE_PCM);
    EXPECT_EQ(format.Wave->nChannels, 2);
    EXPECT_EQ(format.Wave->nSamplesPerSec, 44100u);
    EXPECT_EQ(format.Wave->wBitsPerSample, 16);

    const auto tee = Filter(*Gst, TCLSID::InfTee);
    ASSERT_EQ(graph.Graph->AddFilter(tee, "MyInfTee"), S_OK);
    ASSERT_EQ(graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Audio, tone, nullptr, tee),
              S_OK);
    ASSERT_EQ(
        graph.Builder->RenderStream(TPinCategory::None, &MEDIATYPE_Audio, tee, nullptr, nullptr),
        S_OK);
    std::shared_ptr<IBaseFilter> mux;
    std::shared_ptr<IFileSinkFilter> sink;
    ASSERT_EQ(
        graph.Builder->SetOutputFileName(MEDIASUBTYPE_Avi, (Folder / "a.avi").string(), mux, sink),
        S_OK);
    // The infinite tee labels no pins, so its free output serves the capture category.
    EXPECT_EQ(
        graph.Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Audio, tee, nullptr, mux),
        S_OK);
    EXPECT_EQ(
        graph.Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Audio, tee, nullptr, mux),
        VFW_E_CANNOT_CONNECT)
        << "both outputs are taken";
    EXPECT_EQ(graph.Run(), S_OK);
    EXPECT_EQ(graph.Stop(), S_OK);
}

TEST_F(GstPlatformTest, CompressedVideoReachesTheMuxWithoutAConverter) {
    std::vector<std::shared_ptr<IMoniker>> compressors;
    Gst->CreateClassEnumerator(TDeviceCategory::VideoCompressor, compressors);
    const auto vp8 = std::find_if(compressors.begin(), compressors.end(), [](const auto& moniker) {
        return NameOf(*moniker) == "On2 VP8 Encoder";
    });
    if (vp8 == compressors.end())
        GTEST_SKIP() << "no VP8 encoder installed";
    TGraph graph(Gst);
    std::shared_ptr<IBaseFilter> compressor;
    ASSERT_EQ((*vp8)->BindToObject(compressor), S_OK);
    ASSERT_EQ(graph.Graph->AddFilter(compressor, "MyVideoCompressor"), S_OK);
    std::shared_ptr<IBaseFilter> mux;
    std::shared_ptr<IFileSinkFilter> sink;
    ASSERT_EQ(
        graph.Builder->SetOutputFileName(MEDIASUBTYPE_Avi, (Folder / "v.avi").string(), mux, sink),
        S_OK);
    ASSERT_EQ(graph.Builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, graph.Capture,
                                          compressor, mux),
              S_OK);
    GstBin* const muxBin = GST_BIN(GstFilterBinForTest(mux));
    EXPECT_EQ(muxBin->numchildren, 1) << "avimux alone, no converter in front";
    ASSERT_EQ(graph.Run(), S_OK);
    QTest::qWait(500);
    // Nothing holds this branch back; stopping closes the file with what was written.
    ASSERT_EQ(graph.Stop(), S_OK);
    EXPECT_GT(fs::file_size(Folder / "v.avi"), 0u);
}

// A webcam's MJPEG goes into the file as it comes, while the preview and the grabber get it
// decoded; the held branch writes nothing. The builder finds interfaces up- and downstream.
TEST_F(GstPlatformTest, MjpegCameraIsDecodedForThePreviewAndMultiplexedAsItComes) {
    TGraph graph(Gst, EmulatedCameraName);
    int count = 0;
    graph.Config->GetNumberOfCapabilities(count);
    TAMMediaType mode;
    for (int i = 0; i < count; ++i)
        if (SUCCEEDED(graph.Config->GetStreamCaps(i, mode)) && mode.subtype == MEDIASUBTYPE_MJPG &&
            mode.Bitmap->biWidth == 1280)
            break;
    ASSERT_EQ(graph.Config->SetFormat(mode), S_OK);
    TFrameCounter frames;
    ASSERT_EQ(graph.Build(Folder / "capture.avi", MEDIASUBTYPE_RGB24, &frames), S_OK);
    std::shared_ptr<IBaseFilter> mux, decoder;
    ASSERT_EQ(graph.Graph->FindFilterByName("AVI Mux", mux), S_OK);
    EXPECT_EQ(GST_BIN(GstFilterBinForTest(mux))->numchildren, 1) << "no converter before avimux";
    EXPECT_EQ(graph.Graph->FindFilterByName("MJPEG Decompressor", decoder), S_OK);

    std::shared_ptr<IUnknown> found;
    EXPECT_EQ(graph.Builder->FindInterface(TPinCategory::Capture, &MEDIATYPE_Video, graph.Capture,
                                           TIID::IConfigAviMux, found),
              S_OK);
    EXPECT_EQ(found, std::shared_ptr<IUnknown>(mux)) << "downstream of the capture pin";
    EXPECT_EQ(graph.Builder->FindInterface(TPinCategory::None, nullptr, mux, TIID::IAMStreamConfig,
                                           found),
              S_OK);
    EXPECT_EQ(found, std::shared_ptr<IUnknown>(graph.Config)) << "upstream of the mux";

    ASSERT_EQ(graph.Run(), S_OK);
    ASSERT_TRUE(WaitFor([&] { return frames.Frames >= 3; }));
    EXPECT_EQ(frames.LastLength, 1280 * 3 * 720);
    ASSERT_EQ(graph.Stop(), S_OK);
    graph.TearDown();
    EXPECT_EQ(fs::file_size(Folder / "capture.avi"), 0u);
}

// ---- Graph events ------------------------------------------------------------------------------

void PostSourceError(const std::shared_ptr<IBaseFilter>& capture, GQuark domain, int code) {
    const TGstElementRef source =
        TGstElementRef::Adopt(gst_bin_get_by_name(GST_BIN(GstFilterBinForTest(capture)), "source"));
    ASSERT_TRUE(source);
    TGstErrorPtr error = TGstErrorPtr::Adopt(g_error_new_literal(domain, code, "test"));
    gst_element_post_message(source.Get(),
                             gst_message_new_error(GST_OBJECT(source.Get()), error.Get(), "test"));
}

TEST_F(GstPlatformTest, ErrorsReachGetEventThroughOneNotificationEachOnTheGuiThread) {
    TGraph graph(Gst);
    TFrameCounter frames;
    graph.Build(Folder / "capture.avi", MEDIASUBTYPE_RGB24, &frames);
    const auto events = QueryInterface<IMediaEventEx>(graph.Graph);
    int notified = 0;
    bool onGuiThread = true;
    events->SetNotifyWindow([&] {
        ++notified;
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
    });
    long code = 0;
    std::intptr_t param1 = 0, param2 = 0;
    EXPECT_EQ(events->GetEvent(code, param1, param2), E_FAIL) << "nothing queued yet";
    ASSERT_EQ(graph.Run(), S_OK);

    PostSourceError(graph.Capture, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED);
    // A source that can no longer read its device has lost it.
    PostSourceError(graph.Capture, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ);
    ASSERT_TRUE(WaitFor([&] { return notified >= 2; }));
    QTest::qWait(50);
    EXPECT_EQ(notified, 2);
    EXPECT_TRUE(onGuiThread);

    ASSERT_EQ(events->GetEvent(code, param1, param2), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(param1, E_FAIL);
    EXPECT_EQ(events->FreeEventParams(code, param1, param2), S_OK);
    ASSERT_EQ(events->GetEvent(code, param1, param2), S_OK);
    EXPECT_EQ(code, EC_DEVICE_LOST);
    EXPECT_EQ(events->GetEvent(code, param1, param2), E_FAIL);
    EXPECT_EQ(graph.Stop(), S_OK);
}

// ---- Small interfaces --------------------------------------------------------------------------

TEST_F(GstPlatformTest, DvDecoderSizes) {
    std::shared_ptr<IUnknown> object;
    ASSERT_EQ(Gst->CoCreateInstance(TCLSID::DVVideoCodec, object), S_OK);
    const auto decoder = QueryInterface<IIPDVDec>(object);
    ASSERT_TRUE(decoder);
    int display = 0;
    EXPECT_EQ(decoder->get_IPDisplay(display), S_OK);
    EXPECT_EQ(display, DVRESOLUTION_FULL);
    EXPECT_EQ(decoder->put_IPDisplay(DVRESOLUTION_QUARTER), S_OK);
    EXPECT_EQ(decoder->put_IPDisplay(999), E_INVALIDARG);
    decoder->get_IPDisplay(display);
    EXPECT_EQ(display, DVRESOLUTION_QUARTER);
}

// Reserved space is what the file writer writes into: it once truncated the file on opening,
// so that every build wrote the reservation only to throw it away.
TEST_F(GstPlatformTest, ReservedSpaceIsKeptWhileTheGraphRunsAndTrimmedToWhatWasWritten) {
    TGraph graph(Gst);
    const fs::path file = Folder / "capture.avi";
    ASSERT_EQ(graph.Builder->AllocCapFile(file.string(), 3 * 1'048'576), S_OK);
    EXPECT_EQ(fs::file_size(file), 3u * 1'048'576);
    EXPECT_EQ(graph.Builder->AllocCapFile((Folder / "no" / "such.avi").string(), 1), E_FAIL);

    TFrameCounter frames;
    graph.Build(file, MEDIASUBTYPE_RGB24, &frames);
    ASSERT_EQ(graph.Run(), S_OK);
    ASSERT_TRUE(WaitFor([&] { return frames.Frames > 0; }));
    EXPECT_EQ(fs::file_size(file), 3u * 1'048'576) << "opened without truncating";
    ASSERT_EQ(graph.Stop(), S_OK);
    graph.TearDown();
    EXPECT_EQ(fs::file_size(file), 0u) << "the held branch wrote nothing";
}

// ---- Resources over many cycles ----------------------------------------------------------------

std::size_t Entries(const char* folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// GLib keeps a few idle streaming threads for reuse, so their number moves by one or two from
// run to run; a leak would add one every cycle.
constexpr std::size_t IdleThreadSlack = 2;

// Counts GStreamer objects made and destroyed through the leak tracer's activity tracking.
// (Its list of live objects cannot be used: in 1.22 freeing that list drops references it
// never took.)
class TObjectActivity {
  public:
    TObjectActivity() {
        GList* const tracers = gst_tracing_get_active_tracers();
        for (GList* item = tracers; item; item = item->next)
            if (std::string_view(G_OBJECT_TYPE_NAME(item->data)) == "GstLeaksTracer")
                Tracer = G_OBJECT(g_object_ref(item->data));
        g_list_free_full(tracers, gst_object_unref);
        if (Tracer)
            g_signal_emit_by_name(Tracer, "activity-start-tracking");
    }
    ~TObjectActivity() {
        if (Tracer) {
            g_signal_emit_by_name(Tracer, "activity-stop-tracking");
            g_object_unref(Tracer);
        }
    }
    TObjectActivity(const TObjectActivity&) = delete;
    TObjectActivity& operator=(const TObjectActivity&) = delete;

    bool Running() const { return Tracer != nullptr; }

    // The types of which more objects were made than destroyed since tracking started.
    std::map<std::string, int> Grown() const {
        GstStructure* checkpoint = nullptr;
        g_signal_emit_by_name(Tracer, "activity-get-checkpoint", &checkpoint);
        const auto owned = TGstHandle<GstStructure>::Adopt(checkpoint);
        std::map<std::string, int> net;
        Count(checkpoint, "objects-created-list", +1, net);
        Count(checkpoint, "objects-removed-list", -1, net);
        std::erase_if(net, [](const auto& entry) { return entry.second <= 0; });
        return net;
    }

  private:
    static void Count(const GstStructure* checkpoint, const char* field, int step,
                      std::map<std::string, int>& net) {
        const GValue* list = gst_structure_get_value(checkpoint, field);
        for (guint i = 0; list && i < gst_value_list_get_size(list); ++i) {
            const GstStructure* object = gst_value_get_structure(gst_value_list_get_value(list, i));
            net[gst_structure_get_string(object, "type-name")] += step;
        }
    }

    GObject* Tracer = nullptr;
};

TEST_F(GstPlatformTest, TwoHundredCyclesLeaveNoDescriptorsThreadsOrObjectsBehind) {
    QWidget owner;
    owner.resize(320, 240);
    owner.show();
    const auto cycle = [&] {
        TGraph graph(Gst);
        TFrameCounter frames;
        graph.Build(Folder / "capture.avi", MEDIASUBTYPE_RGB24, &frames);
        QueryInterface<IVideoWindow>(graph.Graph)->put_Owner(&owner);
        ASSERT_EQ(graph.Run(), S_OK);
        ASSERT_TRUE(WaitFor([&] { return frames.Frames > 0; }));
        ASSERT_EQ(graph.Stop(), S_OK);
        graph.TearDown();
        QCoreApplication::processEvents();
    };
    for (int i = 0; i < 5; ++i)
        cycle();
    const std::size_t fds = Entries("/proc/self/fd");
    const std::size_t threads = Entries("/proc/self/task");
    const TObjectActivity objects;
    ASSERT_TRUE(objects.Running()) << "the leak tracer is not running";
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i)
        cycle();
    EXPECT_LE(Entries("/proc/self/fd"), fds);
    EXPECT_LE(Entries("/proc/self/task"), threads + IdleThreadSlack);
    // A streaming task's own thread drops its last reference just after the task was joined,
    // so the last cycle's task may outlive its graph by a moment; a leak stays.
    WaitFor([&] { return objects.Grown().empty(); }, 2000);
    EXPECT_EQ(objects.Grown(), (std::map<std::string, int>{}));
}

} // namespace
