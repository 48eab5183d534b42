// CPU cost of live view: the capture component as the window runs it (preview in a shown
// 320x240 widget, the held AVI branch, one grab a second compared with the one before) with its
// live pictures going to the web server's live feed, watched by no viewer, by one and by eight,
// each a curl reading /live.mjpg over loopback in a process of its own (so that its CPU time is
// not ours). Against it, in the same run: the same component without a live sink, and two bare
// GStreamer pipelines on the same camera, one decoding only and one also encoding every third
// frame again as the live branch does (10 a second, quality 85), which isolates the cost that
// cannot be avoided. The camera is the tests' emulated USB camera at 1280x720 MJPEG 30 fps (its
// plugin on GST_PLUGIN_PATH). Every side runs in this process, taking turns in rounds so that a
// slow spell of the machine falls on all, with the Qt event loop running; the tables compare
// the process CPU time of each.
//
// Usage: live_view_cpu [seconds per side]

#include "BenchCapture.h"
#include "LiveFeed.h"
#include "NetHTTPServer.h"
#include "VideoCapture.h"
#include "WebRequestHandler.h"
#include "gst/GstHandle.h"
#include "gst/GstPlatform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int WarmUpMs = 1000;
constexpr int Rounds = 8;
constexpr int GrabIntervalMs = 1000;
constexpr int DefaultSecondsPerSide = 16;
// A viewer that outlives its turn by this much is taken for hung and ended.
constexpr int ViewerGraceMs = 10000;
constexpr double LiveCostTarget = 1.2;
constexpr double ManyViewersTarget = 1.1;

// What one side did over its measured turns, and what its viewers received over theirs.
struct TResult {
    double CpuSeconds = 0;
    double CpuSquares = 0; // of each turn's CPU seconds, for the spread between turns
    int Turns = 0;
    long Frames = 0;   // painted by the component, decoded by a bare pipeline
    long Grabs = 0;    // full-size frames grabbed and compared
    long Pictures = 0; // JPEG pictures made: published to the feed, or encoded by a bare pipeline
    long long PictureBytes = 0;
    int Viewers = 0;    // viewer runs over all turns
    int ViewersFed = 0; // those that were streamed any bytes
    long long ViewerBytes = 0;
    double ViewerSeconds = 0; // viewer runs times how long each was connected
};

// The window's adapter from the grabber's live pictures to the feed, counting what passes.
class TCountingFeedSink : public ILivePictureSink {
  public:
    explicit TCountingFeedSink(std::shared_ptr<TLiveFeed> feed) : Feed(std::move(feed)) {}
    bool Watched() const override { return Feed->Watched(); }
    void Deliver(TLiveJpeg jpeg) override {
        ++Pictures;
        Bytes += jpeg ? static_cast<long long>(jpeg->size()) : 0;
        Feed->Publish(std::move(jpeg));
    }
    void Ended() override { Feed->End(); }

    std::atomic<long> Pictures = 0;
    std::atomic<long long> Bytes = 0;

  private:
    std::shared_ptr<TLiveFeed> Feed;
};

// The web server as the window runs it with live view on, on loopback at a port of the
// system's choice, serving nothing but the live names.
class TLiveWebServer {
  public:
    explicit TLiveWebServer(std::shared_ptr<TLiveFeed> feed) {
        Server.Bindings = {{QStringLiteral("127.0.0.1"), 0}};
        Server.ServerSoftware = QStringLiteral("Kamvera");
        Server.OnCommandGet = [feed](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                     TNetHTTPResponseInfo& response) {
            const TWebRequestContext context{
                .DocumentRoot = QString(),
                .MimeTypeForFile = [](const QString&) { return QString(); },
                .ShowStatus = [](const QString&) {},
                .Live = feed,
            };
            AnswerWebRequest(thread, request, response, context);
        };
        Server.SetActive(true);
    }
    int Port() const { return Server.BoundPort(); }

  private:
    TNetHTTPServer Server;
};

// Viewers of /live.mjpg, each a curl of its own that reports the status and the bytes it
// received when the stream ends (the side stopping ends it) or, at the latest, when its time
// is up. Only a stream answered with 200 counts as fed: a viewer turned away gets a short page.
class TViewers {
  public:
    TViewers(int port, int count, int maxMs) : MaxMs(maxMs) {
        const QString url = QStringLiteral("http://127.0.0.1:%1/live.mjpg").arg(port);
        const QString maxTime = QString::number(maxMs / 1000.0, 'f', 1);
        for (int i = 0; i < count; ++i) {
            auto& viewer = *Processes.emplace_back(std::make_unique<QProcess>());
            viewer.start(QStringLiteral("curl"), {"-s", "-o", "/dev/null", "--max-time", maxTime,
                                                  "-w", "%{http_code} %{size_download}", url});
        }
        Connected.start();
    }
    ~TViewers() {
        for (const auto& viewer : Processes)
            if (viewer->state() != QProcess::NotRunning) {
                viewer->kill();
                viewer->waitForFinished();
            }
    }

    // Waits for every viewer to end and adds what each received.
    void Finish(TResult& result) {
        const double seconds = static_cast<double>(Connected.elapsed()) / 1000;
        for (const auto& viewer : Processes) {
            viewer->waitForFinished(MaxMs + ViewerGraceMs);
            const QList<QByteArray> report = viewer->readAllStandardOutput().trimmed().split(' ');
            const bool streamed = report.size() == 2 && report[0] == "200";
            const long long bytes = streamed ? report[1].toLongLong() : 0;
            ++result.Viewers;
            result.ViewersFed += bytes > 0 ? 1 : 0;
            result.ViewerBytes += bytes;
            result.ViewerSeconds += seconds;
        }
    }

  private:
    const int MaxMs;
    std::vector<std::unique_ptr<QProcess>> Processes;
    QElapsedTimer Connected;
};

// One side of the comparison, started and stopped for each of its turns.
class ISide {
  public:
    virtual ~ISide() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    virtual long Frames() const = 0;
    virtual long Grabs() const = 0;
    virtual long Pictures() const = 0;
    virtual long long PictureBytes() const = 0;
    virtual void RequestGrab() = 0;
};

// The sides, in the order they take their turns.
enum TSideName : std::size_t {
    NoLiveSink,
    Unwatched,
    OneViewer,
    EightViewers,
    BareEncode,
    BareDecode
};

// A side together with the viewers it gets in each of its turns.
struct TSideRun {
    const char* Label;
    ISide& Side;
    int Viewers;
    bool MakesPictures;
    TResult Result;
};

// One turn: started, viewers connected, warmed up, then measured for the given time. Grabs
// are asked for half a second into the measured time and every second after, so that each
// side's grabs fall inside it whatever the turn's length.
bool MeasureTurn(TSideRun& run, int port, int ms) {
    ISide& side = run.Side;
    if (!side.Start())
        return false;
    TViewers viewers(port, run.Viewers, WarmUpMs + ms + ViewerGraceMs);
    SpinEventLoop(WarmUpMs);
    const long frames = side.Frames();
    const long grabs = side.Grabs();
    const long pictures = side.Pictures();
    const long long pictureBytes = side.PictureBytes();
    QTimer requests;
    QObject::connect(&requests, &QTimer::timeout, [&] {
        side.RequestGrab();
        requests.setInterval(GrabIntervalMs);
    });
    const double cpu = ProcessCpuSeconds();
    requests.start(GrabIntervalMs / 2);
    SpinEventLoop(ms);
    requests.stop();
    TResult& total = run.Result;
    const double turnCpu = ProcessCpuSeconds() - cpu;
    total.CpuSeconds += turnCpu;
    total.CpuSquares += turnCpu * turnCpu;
    ++total.Turns;
    total.Frames += side.Frames() - frames;
    total.Grabs += side.Grabs() - grabs;
    total.Pictures += side.Pictures() - pictures;
    total.PictureBytes += side.PictureBytes() - pictureBytes;
    side.Stop();
    viewers.Finish(total);
    return true;
}

// The program's side: the capture component, configured as the window configures it, its live
// pictures going to `live` (none: a component without live view, as before it existed).
class TComponent : public ISide {
  public:
    explicit TComponent(std::shared_ptr<TCountingFeedSink> live)
        : Live(live), Capture(QStringLiteral("Emulated USB Camera"), Mode, std::move(live)) {}

    bool Start() override { return Capture.Start(); }
    // Only stopped, as the window's dialogs stop it: the next turn runs the same graph again,
    // and its live pictures must start again with it.
    void Stop() override { Capture.Stop(); }
    long Frames() const override { return Capture.Frames(); }
    long Grabs() const override { return Capture.Grabs(); }
    long Pictures() const override { return Live ? Live->Pictures.load() : 0; }
    long long PictureBytes() const override { return Live ? Live->Bytes.load() : 0; }
    void RequestGrab() override { Capture.RequestGrab(); }

  private:
    static constexpr TVCapMode Mode{MEDIASUBTYPE_MJPG, 1280, 720, 24};
    const std::shared_ptr<TCountingFeedSink> Live;
    TWindowLikeCapture Capture;
};

// The buffers that passed a pad and their bytes, counted on the streaming thread.
struct TBufferCount {
    std::atomic<long> Buffers = 0;
    std::atomic<long long> Bytes = 0;

    static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto& count = *static_cast<TBufferCount*>(self);
        ++count.Buffers;
        count.Bytes += static_cast<long long>(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
        return GST_PAD_PROBE_OK;
    }
};

// The floor: the same camera's JPEG frames decoded (element "decoder"), then whatever `rest`
// does with them, into a fakesink ("sink") that does not wait on the clock.
class TBare : public ISide {
  public:
    TBare(const std::string& rest, bool encodes)
        : Encodes(encodes),
          Pipeline("kamveroemucamsrc ! image/jpeg,width=1280,height=720,framerate=30/1 ! "
                   "jpegdec name=decoder ! " +
                   rest + "fakesink name=sink sync=false") {
        if (!Pipeline)
            return;
        Count("decoder", "src", Decoded);
        Count("sink", "sink", Sunk);
    }

    bool Start() override { return Pipeline.Start(); }
    void Stop() override { Pipeline.Stop(); }
    long Frames() const override { return Decoded.Buffers; }
    long Grabs() const override { return 0; }
    long Pictures() const override { return Encodes ? Sunk.Buffers.load() : 0; }
    long long PictureBytes() const override { return Encodes ? Sunk.Bytes.load() : 0; }
    void RequestGrab() override {}

  private:
    void Count(const char* element, const char* pad, TBufferCount& count) {
        const TGstElementRef named = Pipeline.Element(element);
        const TGstPadRef target = TGstPadRef::Adopt(gst_element_get_static_pad(named.Get(), pad));
        gst_pad_add_probe(target.Get(), GST_PAD_PROBE_TYPE_BUFFER, TBufferCount::OnBuffer, &count,
                          nullptr);
    }

    const bool Encodes;
    TBufferCount Decoded;
    TBufferCount Sunk;
    TBarePipeline Pipeline; // last: it stops before the counts its threads update go
};

// Every side in turns, each measured for `seconds` in all. Every other round runs the sides
// in reverse, so that none always follows the same one.
bool MeasureAll(std::vector<TSideRun>& runs, int port, int seconds) {
    const int turnMs = seconds * 1000 / Rounds;
    for (int round = 0; round < Rounds; ++round) {
        for (std::size_t i = 0; i < runs.size(); ++i) {
            TSideRun& run = runs[round % 2 == 0 ? i : runs.size() - 1 - i];
            if (!MeasureTurn(run, port, turnMs))
                return false;
        }
    }
    return true;
}

// One standard error of a side's CPU seconds, from the spread of its turns: the noise that
// the sums carry into the comparisons.
double CpuError(const TResult& r) {
    if (r.Turns < 2)
        return 0;
    const double mean = r.CpuSeconds / r.Turns;
    const double variance = (r.CpuSquares / r.Turns - mean * mean) * r.Turns / (r.Turns - 1);
    return std::sqrt(std::max(0.0, variance) * r.Turns);
}

// A number, or "-" where the side has none.
std::string Cell(double value, bool present) {
    char text[32] = "-";
    if (present)
        std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

void PrintSides(const std::vector<TSideRun>& runs, int seconds) {
    std::printf("%-28s %7s %6s %9s %7s %6s %8s %7s %8s %9s\n", "side", "CPU s", "+-", "CPU/s",
                "frames", "grabs", "pictures", "KB/pic", "viewers", "pic/s/vw");
    for (const TSideRun& run : runs) {
        const TResult& r = run.Result;
        const double pictureKb =
            r.Pictures > 0 ? static_cast<double>(r.PictureBytes) / r.Pictures / 1024 : 0;
        // Pictures each viewer received a second while connected, by their mean size.
        const double viewerRate =
            r.ViewerSeconds > 0 && pictureKb > 0
                ? static_cast<double>(r.ViewerBytes) / 1024 / pictureKb / r.ViewerSeconds
                : 0;
        const std::string fed =
            run.Viewers > 0 ? std::to_string(r.ViewersFed) + "/" + std::to_string(r.Viewers) : "-";
        std::printf("%-28s %7.2f %6.2f %9.3f %7ld %6ld %8ld %7s %8s %9s\n", run.Label, r.CpuSeconds,
                    CpuError(r), r.CpuSeconds / seconds, r.Frames, r.Grabs, r.Pictures,
                    Cell(pictureKb, r.Pictures > 0).c_str(), fed.c_str(),
                    Cell(viewerRate, run.Viewers > 0).c_str());
    }
}

// A side that did not do its work makes the comparison meaningless: no frames, no pictures
// where it makes them, a viewer that was not streamed to.
bool DidItsWork(const TSideRun& run) {
    const TResult& r = run.Result;
    return r.Frames > 0 && (!run.MakesPictures || r.Pictures > 0) && r.ViewersFed == r.Viewers;
}

// One row as bench/run-all reads it: metric, ours, peer, ratio, target. A ratio of two
// differences is shown only when both are positive: otherwise the noise was larger.
bool PrintRatioRow(const char* metric, double ours, double peer, const char* target, double bound) {
    const bool known = ours > 0 && peer > 0;
    const double ratio = known ? ours / peer : 0;
    const bool missed = known && bound > 0 && ratio > bound;
    char ratioText[32] = "-";
    if (known)
        std::snprintf(ratioText, sizeof ratioText, "%.2fx", ratio);
    std::printf("%-52s %8.3f %8.3f %8s %8s%s\n", metric, ours, peer, ratioText, target,
                missed ? " MISSED" : "");
    return !missed;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultSecondsPerSide;

    const auto feed = std::make_shared<TLiveFeed>();
    const auto live = std::make_shared<TCountingFeedSink>(feed);
    std::unique_ptr<TLiveWebServer> web;
    try {
        web = std::make_unique<TLiveWebServer>(feed);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "the web server does not start: %s\n", error.what());
        return 1;
    }
    TComponent plain(nullptr);
    TComponent watched(live);
    TBare encoding("videorate drop-only=true max-rate=10 ! jpegenc quality=85 ! ", true);
    TBare decoding("", false);
    // In the order of TSideName.
    std::vector<TSideRun> runs = {
        {"component, no live sink", plain, 0, false, {}},
        {"live view, no viewer", watched, 0, false, {}},
        {"live view, 1 viewer", watched, 1, true, {}},
        {"live view, 8 viewers", watched, TLiveFeed::MaxViewers, true, {}},
        {"bare decode + encode 10/s", encoding, 0, true, {}},
        {"bare decode only", decoding, 0, false, {}},
    };
    std::printf("camera: emulated USB camera 1280x720 MJPEG 30 fps; %d s per side in %d rounds\n"
                "component: preview painted at 320x240, held AVI branch, one grab a second "
                "compared with the one before\n"
                "viewers: curl reading /live.mjpg from 127.0.0.1:%d, in processes of their own\n"
                "bare: the same source, jpegdec, [videorate max-rate=10, jpegenc quality=85,] "
                "fakesink\n\n",
                seconds, Rounds, web->Port());
    if (!MeasureAll(runs, web->Port(), seconds))
        return 1;

    PrintSides(runs, seconds);
    const auto cpu = [&runs](TSideName side) {
        return runs[side].Result.CpuSeconds;
    };
    std::printf("\n%-52s %8s %8s %8s %8s\n", "metric", "ours", "peer", "ratio", "target");
    bool met = PrintRatioRow("live cost, CPU s (1 viewer - none; bare: encode)",
                             cpu(OneViewer) - cpu(Unwatched), cpu(BareEncode) - cpu(BareDecode),
                             "<=1.2x", LiveCostTarget);
    met = PrintRatioRow("8 viewers against 1 viewer, CPU s", cpu(EightViewers), cpu(OneViewer),
                        "<=1.1x", ManyViewersTarget) &&
          met;
    PrintRatioRow("live view unwatched against no live sink, CPU s", cpu(Unwatched),
                  cpu(NoLiveSink), "info", 0);
    const auto error = [&runs](TSideName one, TSideName other) {
        return std::hypot(CpuError(runs[one].Result), CpuError(runs[other].Result));
    };
    std::printf("\nnoise (one standard error, from the spread of the turns): live cost +-%.3f, "
                "bare encode cost +-%.3f CPU s\n",
                error(OneViewer, Unwatched), error(BareEncode, BareDecode));
    std::printf("\n%s\n", met ? "within target" : "OVER TARGET");
    if (!std::all_of(runs.begin(), runs.end(), DidItsWork)) {
        std::printf("A SIDE DID NOT DO ITS WORK: no frames, no pictures or a viewer not streamed "
                    "to; the comparison means nothing\n");
        return 1;
    }
    return 0;
}
