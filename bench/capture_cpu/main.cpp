// CPU cost of the live picture: the program's own capture graph (the capture component as the
// window runs it: preview in a shown 320x240 widget, the held AVI branch, one grab a second and
// the motion comparison of each grab) against a bare GStreamer pipeline that does only the work
// that cannot be avoided: the same source, decoding when the camera sends JPEG, scaling to the
// preview's size into an appsink, and one full-size conversion to BGR a second. Two cameras:
// the built-in Test Pattern at 640x480, and the tests' emulated USB camera at 1280x720 MJPEG
// 30 fps (its plugin on GST_PLUGIN_PATH). Both sides run in this process, taking turns in ten
// rounds so that a slow spell of the machine falls on both, with the Qt event loop running; the
// table compares the process CPU time of each.
//
// Usage: capture_cpu [seconds per side] [bgr|yuy2 (the Test Pattern's format)]

#include "BenchCapture.h"
#include "VideoCapture.h"
#include "gst/GstHandle.h"
#include "gst/GstPlatform.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int WarmUpMs = 1000;
constexpr int Rounds = 10;
constexpr int GrabIntervalMs = 1000;
constexpr double Target = 1.2;

struct TResult {
    double CpuSeconds = 0;
    long Frames = 0;
    long Grabs = 0;
};

// One side of the comparison, started and stopped for each of its turns.
class ISide {
  public:
    virtual ~ISide() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    virtual long Frames() const = 0;
    virtual long Grabs() const = 0;
    virtual void RequestGrab() = 0;
};

// One turn: started, warmed up, then measured for the given time. Grabs are asked for half a
// second into the measured time and every second after, so that each side's grabs fall inside
// it whatever the turn's length.
bool MeasureTurn(ISide& side, int ms, TResult& total) {
    if (!side.Start())
        return false;
    SpinEventLoop(WarmUpMs);
    const long frames = side.Frames();
    const long grabs = side.Grabs();
    QTimer requests;
    QObject::connect(&requests, &QTimer::timeout, [&] {
        side.RequestGrab();
        requests.setInterval(GrabIntervalMs);
    });
    const double cpu = ProcessCpuSeconds();
    requests.start(GrabIntervalMs / 2);
    SpinEventLoop(ms);
    requests.stop();
    total.CpuSeconds += ProcessCpuSeconds() - cpu;
    total.Frames += side.Frames() - frames;
    total.Grabs += side.Grabs() - grabs;
    side.Stop();
    return true;
}

// A camera and the mode both sides run it in.
struct TCamera {
    const char* Label;
    QString DeviceName;
    TVCapMode Mode;
    std::string SourceDescription; // the bare pipeline's source up to and including its caps
    bool Jpeg;
};

// The program's side: the capture component, configured as the window configures it.
class TOurs : public ISide {
  public:
    explicit TOurs(const TCamera& camera) : Capture(camera.DeviceName, camera.Mode) {}

    bool Start() override { return Capture.Start(); }
    void Stop() override { Capture.Stop(); }
    long Frames() const override { return Capture.Frames(); }
    long Grabs() const override { return Capture.Grabs(); }
    void RequestGrab() override { Capture.RequestGrab(); }

  private:
    TWindowLikeCapture Capture;
};

// The bare side's full-size conversion to BGR, once a second, on the streaming thread.
class TOneConversionASecond {
  public:
    ~TOneConversionASecond() {
        if (Converter)
            gst_video_converter_free(Converter);
    }
    std::atomic<bool> Wanted = false;
    std::atomic<long> Done = 0;

    static GstPadProbeReturn OnFrame(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
        static_cast<TOneConversionASecond*>(self)->Convert(pad, GST_PAD_PROBE_INFO_BUFFER(info));
        return GST_PAD_PROBE_OK;
    }

  private:
    void Convert(GstPad* pad, GstBuffer* buffer) {
        if (!Wanted.exchange(false))
            return;
        const TGstCapsRef caps = TGstCapsRef::Adopt(gst_pad_get_current_caps(pad));
        GstVideoInfo in;
        if (!caps || !gst_video_info_from_caps(&in, caps.Get()))
            return;
        GstVideoInfo out;
        gst_video_info_set_format(&out, GST_VIDEO_FORMAT_BGR, GST_VIDEO_INFO_WIDTH(&in),
                                  GST_VIDEO_INFO_HEIGHT(&in));
        GST_VIDEO_INFO_FPS_N(&out) = GST_VIDEO_INFO_FPS_N(&in);
        GST_VIDEO_INFO_FPS_D(&out) = GST_VIDEO_INFO_FPS_D(&in);
        GST_VIDEO_INFO_PAR_N(&out) = GST_VIDEO_INFO_PAR_N(&in);
        GST_VIDEO_INFO_PAR_D(&out) = GST_VIDEO_INFO_PAR_D(&in);
        if (!Converter)
            Converter = gst_video_converter_new(&in, &out, nullptr);
        Bytes.resize(GST_VIDEO_INFO_SIZE(&out));
        GstBuffer* target = gst_buffer_new_wrapped_full(
            GstMemoryFlags(0), Bytes.data(), Bytes.size(), 0, Bytes.size(), nullptr, nullptr);
        GstVideoFrame source;
        GstVideoFrame converted;
        if (gst_video_frame_map(&source, &in, buffer, GST_MAP_READ)) {
            if (gst_video_frame_map(&converted, &out, target, GST_MAP_WRITE)) {
                gst_video_converter_frame(Converter, &source, &converted);
                gst_video_frame_unmap(&converted);
                ++Done;
            }
            gst_video_frame_unmap(&source);
        }
        gst_buffer_unref(target);
    }

    GstVideoConverter* Converter = nullptr;
    std::vector<std::uint8_t> Bytes;
};

// The floor: the same source, decoded when it is JPEG, scaled to the preview's size into an
// appsink that takes each frame, and one full-size conversion to BGR a second.
class TBare : public ISide {
  public:
    explicit TBare(const TCamera& camera)
        : Pipeline(camera.SourceDescription + (camera.Jpeg ? " ! jpegdec" : "") +
                   " ! identity name=fullsize ! videoscale method=nearest-neighbour ! "
                   "video/x-raw,width=320,height=240 ! appsink name=sink sync=true "
                   "max-buffers=1 drop=true") {
        if (!Pipeline)
            return;
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = TakeSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(Pipeline.Element("sink").Get()), &callbacks,
                                   &FrameCount, nullptr);
        const TGstPadRef pad = TGstPadRef::Adopt(
            gst_element_get_static_pad(Pipeline.Element("fullsize").Get(), "src"));
        gst_pad_add_probe(pad.Get(), GST_PAD_PROBE_TYPE_BUFFER, TOneConversionASecond::OnFrame,
                          &Conversion, nullptr);
    }

    bool Start() override { return Pipeline.Start(); }
    void Stop() override { Pipeline.Stop(); }
    long Frames() const override { return FrameCount; }
    long Grabs() const override { return Conversion.Done; }
    void RequestGrab() override { Conversion.Wanted = true; }

  private:
    static GstFlowReturn TakeSample(GstAppSink* sink, gpointer frames) {
        const auto sample = TGstHandle<GstSample>::Adopt(gst_app_sink_pull_sample(sink));
        ++*static_cast<std::atomic<long>*>(frames);
        return sample ? GST_FLOW_OK : GST_FLOW_EOS;
    }

    std::atomic<long> FrameCount = 0;
    TOneConversionASecond Conversion;
    TBarePipeline Pipeline; // last: it stops before what its threads update goes
};

// Both sides in turns, each measured for `seconds` in all.
bool MeasureCamera(const TCamera& camera, int seconds, TResult& ours, TResult& bare) {
    TOurs program(camera);
    TBare floor(camera);
    const int turnMs = seconds * 1000 / Rounds;
    for (int round = 0; round < Rounds; ++round)
        if (!MeasureTurn(program, turnMs, ours) || !MeasureTurn(floor, turnMs, bare))
            return false;
    return true;
}

void PrintRow(const TCamera& camera, int seconds, const TResult& ours, const TResult& bare) {
    const double ratio = ours.CpuSeconds / bare.CpuSeconds;
    std::printf(
        "%-44s %10.2f %10.2f %7.2fx %8s%s\n",
        (std::string(camera.Label) + ", CPU s over " + std::to_string(seconds) + " s").c_str(),
        ours.CpuSeconds, bare.CpuSeconds, ratio, "<= 1.2x", ratio <= Target ? "" : " MISSED");
    std::printf("  %-42s %9.1f%% %9.1f%% %8s %8s\n", "CPU of one core",
                100 * ours.CpuSeconds / seconds, 100 * bare.CpuSeconds / seconds, "-", "info");
    std::printf("  %-42s %10ld %10ld %8s %8s\n", "frames", ours.Frames, bare.Frames, "-", "info");
    std::printf("  %-42s %10ld %10ld %8s %8s\n", "full-size frames grabbed/converted", ours.Grabs,
                bare.Grabs, "-", "info");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const bool yuy2 = argc > 2 && std::string(argv[2]) == "yuy2";
    const std::string patternFormat = yuy2 ? "YUY2" : "BGR";
    const std::vector<TCamera> cameras = {
        {yuy2 ? "Test Pattern 640x480 YUY2" : "Test Pattern 640x480 BGR",
         "Test Pattern",
         {yuy2 ? MEDIASUBTYPE_YUY2 : MEDIASUBTYPE_RGB24, 640, 480, std::uint16_t(yuy2 ? 16 : 24)},
         "videotestsrc is-live=true pattern=ball ! video/x-raw,format=" + patternFormat +
             ",width=640,height=480,framerate=30/1",
         false},
        {"USB camera 1280x720 MJPEG 30 fps",
         "Emulated USB Camera",
         {MEDIASUBTYPE_MJPG, 1280, 720, 24},
         "kamveroemucamsrc ! image/jpeg,width=1280,height=720,framerate=30/1",
         true},
    };
    std::printf("ours: the capture component (preview painted at 320x240, held AVI branch, one "
                "grab a second compared with the one before)\n"
                "peer: the same source%s, scaled to 320x240 into an appsink, one full-size BGR "
                "conversion a second\n\n",
                " (decoded when JPEG)");
    std::printf("%-44s %10s %10s %8s %8s\n", "metric", "ours", "peer", "ratio", "target");
    bool missed = false;
    for (const TCamera& camera : cameras) {
        TResult ours;
        TResult bare;
        if (!MeasureCamera(camera, seconds, ours, bare))
            return 1;
        PrintRow(camera, seconds, ours, bare);
        missed = missed || ours.CpuSeconds / bare.CpuSeconds > Target;
    }
    std::printf("\n%s\n", missed ? "OVER TARGET" : "within target");
    return 0;
}
