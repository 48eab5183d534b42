// CPU cost of the live preview: the Test Pattern at 640x480, 30 fps through our platform layer
// as the program builds it (smart tee, held AVI branch, frame grabber at 24 bits with one copy
// a second, renderer painting into a shown widget), against a bare GStreamer pipeline that
// converts the same picture and throws it away. Both run in this process, one after the other,
// with the Qt event loop running; the table compares the process CPU time of each.

#include "CapturePlatform.h"
#include "gst/GstHandle.h"
#include "gst/GstPlatform.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WarmUpMs = 2000;
constexpr int GrabIntervalMs = 1000;
constexpr double Target = 1.5;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct TResult {
    double CpuSeconds = 0;
    long Frames = 0;
    std::string Format;
};

void SpinEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop for the given time after a warm-up and measures what it cost.
TResult Measure(int seconds, const std::function<long()>& frames) {
    SpinEventLoop(WarmUpMs);
    const long framesBefore = frames();
    const double cpuBefore = ProcessCpuSeconds();
    SpinEventLoop(seconds * 1000);
    TResult result;
    result.CpuSeconds = ProcessCpuSeconds() - cpuBefore;
    result.Frames = frames() - framesBefore;
    return result;
}

// Copies a frame when one was asked for, as the capture component's callback does.
class TGrabber : public ISampleGrabberCB {
  public:
    HRESULT SampleCB(double) override { return S_OK; }
    HRESULT BufferCB(double, const std::uint8_t* buffer, long length) override {
        if (GrabNext.exchange(false)) {
            const std::lock_guard lock(Lock);
            Copy.assign(buffer, buffer + length);
        }
        ++Frames;
        return S_OK;
    }
    std::atomic<bool> GrabNext = false;
    std::atomic<long> Frames = 0;

  private:
    std::mutex Lock;
    std::vector<std::uint8_t> Copy;
};

// The camera's format. BGR is what the bare pipeline's generator picks when left alone, so both
// sides start from the same picture; YUY2 is what webcams deliver, and then both convert.
struct TCamera {
    TGuid Subtype;
    const char* Name;
};
constexpr TCamera Bgr{MEDIASUBTYPE_RGB24, "BGR"};
constexpr TCamera Yuy2{MEDIASUBTYPE_YUY2, "YUY2"};

bool Check(HRESULT result, const char* what) {
    if (SUCCEEDED(result))
        return true;
    std::fprintf(stderr, "%s failed: %08X\n", what, static_cast<unsigned>(result));
    return false;
}

// Finds the offered mode with this subtype and size.
bool ChooseMode(IAMStreamConfig& config, const TGuid& subtype, int width, int height) {
    int count = 0;
    config.GetNumberOfCapabilities(count);
    for (int i = 0; i < count; ++i) {
        TAMMediaType mode;
        if (SUCCEEDED(config.GetStreamCaps(i, mode)) && mode.subtype == subtype &&
            mode.Bitmap->biWidth == width && mode.Bitmap->biHeight == height)
            return SUCCEEDED(config.SetFormat(mode));
    }
    return false;
}

std::optional<TResult> MeasureOurs(int seconds, const TCamera& camera,
                                   const std::filesystem::path& aviFile) {
    TGrabber callback; // Outlives the graph, whose streaming thread calls it.
    const auto platform = CreateGstPlatform();
    std::shared_ptr<IGraphBuilder> graph;
    std::shared_ptr<ICaptureGraphBuilder2> builder;
    std::vector<std::shared_ptr<IMoniker>> devices;
    std::shared_ptr<IBaseFilter> capture, tee, mux, grabber;
    std::shared_ptr<IFileSinkFilter> sink;
    std::shared_ptr<IUnknown> found;
    if (!Check(CreateInstance(*platform, TCLSID::FilterGraph, graph), "filter graph") ||
        !Check(CreateInstance(*platform, TCLSID::CaptureGraphBuilder2, builder), "builder") ||
        !Check(builder->SetFiltergraph(graph), "SetFiltergraph") ||
        !Check(platform->CreateClassEnumerator(TDeviceCategory::VideoInputDevice, devices),
               "enumeration") ||
        !Check(devices.back()->BindToObject(capture), "Test Pattern") ||
        !Check(graph->AddFilter(capture, ""), "AddFilter") ||
        !Check(builder->FindInterface(TPinCategory::Capture, &MEDIATYPE_Video, capture,
                                      TIID::IAMStreamConfig, found),
               "stream configuration"))
        return std::nullopt;
    if (!ChooseMode(*QueryInterface<IAMStreamConfig>(found), camera.Subtype, 640, 480)) {
        std::fprintf(stderr, "640x480 %s is not offered\n", camera.Name);
        return std::nullopt;
    }
    if (!Check(CreateInstance(*platform, TCLSID::SmartTee, tee), "smart tee") ||
        !Check(graph->AddFilter(tee, "MySmartTee"), "AddFilter") ||
        !Check(builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, capture, nullptr, tee),
               "capture to tee") ||
        !Check(builder->SetOutputFileName(MEDIASUBTYPE_Avi, aviFile.string(), mux, sink),
               "SetOutputFileName") ||
        !Check(builder->RenderStream(TPinCategory::Capture, &MEDIATYPE_Video, tee, nullptr, mux),
               "tee to mux") ||
        !Check(CreateInstance(*platform, TCLSID::SampleGrabber, grabber), "grabber") ||
        !Check(graph->AddFilter(grabber, "MyBitmapGrabber"), "AddFilter"))
        return std::nullopt;
    TAMMediaType rgb24;
    rgb24.majortype = MEDIATYPE_Video;
    rgb24.subtype = MEDIASUBTYPE_RGB24;
    rgb24.formattype = FORMAT_VideoInfo;
    QueryInterface<ISampleGrabber>(grabber)->SetMediaType(rgb24);
    std::shared_ptr<IPin> teeCapture;
    if (!Check(builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, tee, nullptr, grabber),
               "tee to grabber") ||
        !Check(QueryInterface<ISampleGrabber>(grabber)->SetCallback(&callback, 1), "callback") ||
        !Check(
            builder->RenderStream(TPinCategory::None, &MEDIATYPE_Video, grabber, nullptr, nullptr),
            "grabber to renderer") ||
        !Check(builder->FindPin(tee, TPinDirection::Output, TPinCategory::None, nullptr, false, 0,
                                teeCapture),
               "tee capture pin") ||
        !Check(QueryInterface<IAMStreamControl>(teeCapture)->StopAt(true), "StopAt"))
        return std::nullopt;

    QWidget owner;
    owner.resize(320, 240);
    owner.show();
    const auto window = QueryInterface<IVideoWindow>(graph);
    window->put_Owner(&owner);
    window->SetWindowPosition(0, 0, 320, 240);
    window->put_Visible(true);
    QTimer requests;
    QObject::connect(&requests, &QTimer::timeout, [&] { callback.GrabNext = true; });
    requests.start(GrabIntervalMs);

    const auto control = QueryInterface<IMediaControl>(graph);
    if (!Check(control->Run(), "Run"))
        return std::nullopt;
    TResult result = Measure(seconds, [&] { return callback.Frames.load(); });
    result.Format = std::string(camera.Name) +
                    " 640x480 → BGR (grabber), BGRx 320x240 (renderer, painted " +
                    std::to_string(GstPreviewStatsForTest(graph).PaintedFrames) + " times)";
    control->Stop();
    window->put_Owner(nullptr);
    return result;
}

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer frames) {
    ++*static_cast<std::atomic<long>*>(frames);
    return GST_PAD_PROBE_OK;
}

std::optional<TResult> MeasurePeer(int seconds, const TCamera& camera) {
    const std::string format = &camera == &Bgr ? "" : std::string(",format=") + camera.Name;
    const std::string description = "videotestsrc name=source is-live=true pattern=ball ! "
                                    "video/x-raw,width=640,height=480,framerate=30/1" +
                                    format +
                                    " ! videoconvert ! video/x-raw,format=BGR ! "
                                    "fakesink name=sink sync=true";
    TGstErrorPtr error;
    const TGstElementRef pipeline =
        TGstElementRef::RefSink(gst_parse_launch(description.c_str(), error.OutParam()));
    if (!pipeline) {
        std::fprintf(stderr, "peer pipeline: %s\n", error ? error->message : "?");
        return std::nullopt;
    }
    std::atomic<long> frames = 0;
    const TGstElementRef sink =
        TGstElementRef::Adopt(gst_bin_get_by_name(GST_BIN(pipeline.Get()), "sink"));
    const TGstPadRef sinkPad = TGstPadRef::Adopt(gst_element_get_static_pad(sink.Get(), "sink"));
    gst_pad_add_probe(sinkPad.Get(), GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, &frames, nullptr);
    if (gst_element_set_state(pipeline.Get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::fprintf(stderr, "peer pipeline does not run\n");
        return std::nullopt;
    }
    TResult result = Measure(seconds, [&] { return frames.load(); });
    const TGstElementRef source =
        TGstElementRef::Adopt(gst_bin_get_by_name(GST_BIN(pipeline.Get()), "source"));
    const TGstPadRef sourcePad = TGstPadRef::Adopt(gst_element_get_static_pad(source.Get(), "src"));
    const TGstCapsRef caps = TGstCapsRef::Adopt(gst_pad_get_current_caps(sourcePad.Get()));
    const char* negotiated =
        caps ? gst_structure_get_string(gst_caps_get_structure(caps.Get(), 0), "format") : nullptr;
    result.Format = std::string(negotiated ? negotiated : "?") + " 640x480 → BGR";
    gst_element_set_state(pipeline.Get(), GST_STATE_NULL);
    return result;
}

void PrintTable(int seconds, const TResult& ours, const TResult& peer) {
    const double ratio = ours.CpuSeconds / peer.CpuSeconds;
    std::printf("ours: %s\npeer: %s\n\n", ours.Format.c_str(), peer.Format.c_str());
    std::printf("%-28s %10s %10s %8s %8s\n", "metric", "ours", "peer", "ratio", "target");
    std::printf("%-28s %10.2f %10.2f %7.2fx %7s\n",
                ("CPU seconds over " + std::to_string(seconds) + " s").c_str(), ours.CpuSeconds,
                peer.CpuSeconds, ratio, "<= 1.5x");
    std::printf("%-28s %9.1f%% %9.1f%% %8s %8s\n", "CPU of one core",
                100 * ours.CpuSeconds / seconds, 100 * peer.CpuSeconds / seconds, "", "");
    std::printf("%-28s %10ld %10ld %8s %8s\n", "frames", ours.Frames, peer.Frames, "", "");
    std::printf("\n%s\n", ratio <= Target ? "within target" : "OVER TARGET");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Usage: capture_cpu [seconds per side] [bgr|yuy2]
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const TCamera& camera = argc > 2 && std::string(argv[2]) == "yuy2" ? Yuy2 : Bgr;
    const std::filesystem::path avi = std::filesystem::temp_directory_path() /
                                      ("kamvero-bench-" + std::to_string(::getpid()) + ".avi");
    const std::optional<TResult> ours = MeasureOurs(seconds, camera, avi);
    std::filesystem::remove(avi);
    const std::optional<TResult> peer = ours ? MeasurePeer(seconds, camera) : std::nullopt;
    if (!ours || !peer)
        return 1;
    PrintTable(seconds, *ours, *peer);
    return 0;
}
