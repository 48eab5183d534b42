#include "BenchCapture.h"

#include "FrameKernels.h"
#include "gst/GstPlatform.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <utility>

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void SpinEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TWindowLikeCapture::TWindowLikeCapture(QString device, TVCapMode mode,
                                       std::shared_ptr<ILivePictureSink> live)
    : Device(std::move(device)), Mode(mode), Capture(CreateGstPlatform()) {
    Capture.resize(320, 240);
    Capture.FileFolder = Files.path();
    Capture.LiveSink = std::move(live);
    Capture.ShowErrorBox = [this](const QString& text) {
        Messages << text;
    };
    Capture.OnFrameRendered = [this](TVideoCapture*) {
        ++FrameCount;
    };
    Capture.OnBitmapGrabbed = [this](const TCapturedBitmap& bitmap) {
        Compare(bitmap);
    };
    Capture.show();
}

bool TWindowLikeCapture::Start() {
    if (!Configured) {
        Configured = true;
        TGraphConfig config;
        config.VCapSource = Device;
        config.VCapMode = Mode;
        config.WantPreview = true;
        config.WantCapture = true;
        config.WantBitmaps = true;
        config.CaptureFileName = "capture.avi";
        config.TempCaptureFileName = "captemp.avi";
        config.PixelFormat = TPixelFormat::pf24bit;
        Capture.InitGraph();
        Capture.LoadConfig(&config);
    }
    if (!Capture.StartPreview() || Capture.GetCurrentVideoMode() != Mode) {
        std::fprintf(stderr, "%s does not preview in its mode: %s\n", qPrintable(Device),
                     qPrintable(Messages.join(" | ")));
        return false;
    }
    return true;
}

void TWindowLikeCapture::Compare(const TCapturedBitmap& bitmap) {
    if (Current.size() != bitmap.size()) {
        Current = BlankWorkingCopy(bitmap.size(), TDetectDepth::Colors16M);
        Reference = BlankWorkingCopy(bitmap.size(), TDetectDepth::Colors16M);
    }
    CopyAreaInto(bitmap, bitmap.rect(), Current);
    static_cast<void>(BrightnessDifference(Reference, Current));
    std::swap(Reference, Current);
    ++GrabCount;
}

TBarePipeline::TBarePipeline(const std::string& description) {
    TGstErrorPtr error;
    Pipeline = TGstElementRef::RefSink(gst_parse_launch(description.c_str(), error.OutParam()));
    if (!Pipeline)
        std::fprintf(stderr, "bare pipeline: %s\n", error ? error->message : "?");
}

TBarePipeline::~TBarePipeline() {
    Stop();
}

TGstElementRef TBarePipeline::Element(const char* name) const {
    return TGstElementRef::Adopt(gst_bin_get_by_name(GST_BIN(Pipeline.Get()), name));
}

bool TBarePipeline::Start() {
    if (!Pipeline ||
        gst_element_set_state(Pipeline.Get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::fprintf(stderr, "bare pipeline does not run\n");
        return false;
    }
    return true;
}

void TBarePipeline::Stop() {
    if (Pipeline)
        gst_element_set_state(Pipeline.Get(), GST_STATE_NULL);
}
