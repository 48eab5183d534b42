// Soak of the whole program loop in one process: the real main window on the GStreamer Test
// Pattern, comparing at the shortest interval, writing snapshots into a ring of 5, uploading
// to a local FTP server at the shortest FTP interval with a history of 3, and serving
// camera.jpg to a client that fetches it once a second. Every 10 s it samples the process's
// resident memory, open descriptors and threads; after the warm-up none may grow (memory by at
// most 5 MB), and every channel must have worked. Exit code 1 when any of that fails.
//
// Usage: soak [duration: minutes, or a number ending in s, m or h; default 10]

#include "Application.h"
#include "FtpServerPeer.h"
#include "IniFile.h"
#include "MainWindow.h"
#include "NetConnection.h"
#include "SnapshotFiles.h"

#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto DefaultDuration = 10min;
constexpr auto SampleInterval = 10s;
constexpr auto ModalCheckInterval = 200ms;
constexpr auto FetchInterval = 1s;
constexpr auto FetchTimeout = 10s;
// A user looks at the running preview before pressing Start.
constexpr auto StartDelay = 3s;
// A close during an FTP pass waits for the pass, whose waits end within 60 s.
constexpr auto CloseTimeout = 90s;
constexpr auto LongestWarmUp = 120s;
constexpr double WarmUpShare = 0.2;
constexpr long RssGrowthLimitKb = 5 * 1024;
constexpr std::chrono::duration<double> TrendSpan = 5min;

constexpr auto FtpUser = "soak";
constexpr auto FtpPassword = "soak-pass";
const QString BaseName = QStringLiteral("camera");

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "10" and "10m" are minutes, "90s" seconds, "8h" hours; fractions are allowed.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || !(value > 0))
        return std::nullopt;
    const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    double seconds = 0;
    if (unit.empty() || unit == "m")
        seconds = value * 60;
    else if (unit == "s")
        seconds = value;
    else if (unit == "h")
        seconds = value * 3600;
    else
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

void SpinEventLoop(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Condition>
bool SpinUntil(const Condition& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        SpinEventLoop(50ms);
    }
    return true;
}

// STOR lines the server received: one per upload.
long CountUploads(const TFtpServerPeer& server) {
    const QStringList commands = server.Commands();
    return static_cast<long>(
        std::count_if(commands.begin(), commands.end(),
                      [](const QString& line) { return line.startsWith(QLatin1String("STOR ")); }));
}

// ---- Ports, settings ------------------------------------------------------------------------

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the system picks on 127.0.0.1, released again for the web server to take.
int FreeLoopbackPort() {
    const TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (!socket.Valid() ||
        ::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot pick a free port on 127.0.0.1");
    return ntohs(address.sin_port);
}

char DecimalSeparator() {
    const QString point = QLocale().decimalPoint();
    return point.size() == 1 && point.at(0).unicode() < 0x80
               ? static_cast<char>(point.at(0).unicode())
               : '.';
}

struct TSoakSettings {
    QString SettingsFile;
    QString SnapshotFolder; // with the trailing slash the window expects
    int WebPort = 0;
    int FtpPort = 0;
};

// Every interval at the minimum its spin box allows: compare every 0.5 s ("Sense"), upload
// every 0.5 minutes ("Interval"). Sensitivity 0 takes any change of the picture for motion,
// so the moving ball gives a snapshot at every other compare.
void WriteSettings(const TSoakSettings& soak) {
    TIniFile ini(soak.SettingsFile.toStdString());
    const std::string camera = "Camera";
    ini.WriteString(camera, "Config",
                    "\"VCapSource=Test Pattern\",WantAudio=0,WantDVAudio=0,WantAudioPreview=0");
    ini.WriteFloat(camera, "Sense", 0.5, DecimalSeparator());
    ini.WriteFloat(camera, "Interval", 0.5, DecimalSeparator());
    ini.WriteInteger(camera, "Sensitivity", 0);
    ini.WriteInteger(camera, "Archive", 5);
    ini.WriteInteger(camera, "History", 3);
    ini.WriteBool(camera, "FTP", true);
    ini.WriteBool(camera, "WWW", true);
    ini.WriteBool(camera, "Timestamp", true);
    ini.WriteString(camera, "Filename", BaseName.toStdString());
    ini.WriteString(camera, "Directory", soak.SnapshotFolder.toStdString());

    const std::string ftp = "FTPHost";
    ini.WriteString(ftp, "Host", "127.0.0.1:" + std::to_string(soak.FtpPort));
    ini.WriteString(ftp, "Login", FtpUser);
    TXorCipher cipher(87);
    ini.WriteString(ftp, "Password", cipher.XorText(FtpPassword));
    ini.WriteBool(ftp, "PASV", true);
    ini.WriteString(ftp, "Directory", "/");

    const std::string web = "WWWHost";
    ini.WriteString(web, "Port", std::to_string(soak.WebPort));
    ini.WriteString(web, "Directory", soak.SnapshotFolder.toStdString());
    ini.UpdateFile();
}

// ---- The process's figures ------------------------------------------------------------------

struct TProcessFigures {
    long RssKb = 0;
    long Fds = 0;
    long Threads = 0;
};

long CountEntries(const char* folder) {
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

TProcessFigures ReadProcessFigures() {
    TProcessFigures figures;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            figures.RssKb = std::atol(line.c_str() + 6);
    // The listing's own descriptor is counted in every sample alike.
    figures.Fds = CountEntries("/proc/self/fd");
    figures.Threads = CountEntries("/proc/self/task");
    return figures;
}

// ---- Snapshots: every replacement of camera.jpg, seen through inotify -----------------------

class TSnapshotWatch {
  public:
    explicit TSnapshotWatch(const QString& folder)
        : Inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // A snapshot replaces the newest file by renaming its temporary file onto it.
        if (!Inotify.Valid() ||
            ::inotify_add_watch(Inotify.Get(), folder.toLocal8Bit().constData(), IN_MOVED_TO) < 0)
            throw std::runtime_error("cannot watch " + folder.toStdString());
        Notifier = std::make_unique<QSocketNotifier>(Inotify.Get(), QSocketNotifier::Read);
        QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    }

    long Replacements() const { return Count.load(); }

  private:
    TUniqueFd Inotify;
    std::unique_ptr<QSocketNotifier> Notifier;
    std::atomic<long> Count = 0;

    void Drain() {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t size = ::read(Inotify.Get(), buffer, sizeof buffer);
            if (size <= 0)
                return;
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 &&
                    QString::fromLocal8Bit(event->name) == BaseName + QStringLiteral(".jpg"))
                    ++Count;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
};

// ---- The web client: GET /camera.jpg once a second, one connection each --------------------

struct TFetchResult {
    bool Ok = false;
    int Status = 0; // 0: no answer
    std::string Problem;
};

void SetTimeouts(int fd) {
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(FetchTimeout).count(), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // Bounds the connect as well.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool SendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

// The whole answer up to the server's close; false on an error or a timeout.
bool ReceiveAll(int fd, std::string& answer) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            return true;
        answer.append(buffer, static_cast<std::size_t>(count));
    }
}

// A 200 whose body is a whole JPEG of the announced length.
TFetchResult CheckAnswer(const std::string& answer) {
    TFetchResult result;
    const std::size_t headerEnd = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.", 0) != 0 || headerEnd == std::string::npos) {
        result.Problem = "no complete header (" + std::to_string(answer.size()) + " bytes)";
        return result;
    }
    result.Status = std::atoi(answer.c_str() + answer.find(' ') + 1);
    if (result.Status != 200) {
        result.Problem = "status " + std::to_string(result.Status);
        return result;
    }
    const std::string body = answer.substr(headerEnd + 4);
    std::string header = answer.substr(0, headerEnd);
    std::transform(header.begin(), header.end(), header.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t length = header.find("\r\ncontent-length:");
    if (length == std::string::npos ||
        std::strtoul(header.c_str() + length + 17, nullptr, 10) != body.size()) {
        result.Problem = "body of " + std::to_string(body.size()) + " bytes, not as announced";
        return result;
    }
    if (body.size() < 4 || body.compare(0, 2, "\xFF\xD8") != 0 ||
        body.compare(body.size() - 2, 2, "\xFF\xD9") != 0) {
        result.Problem = "body is not a whole JPEG";
        return result;
    }
    result.Ok = true;
    return result;
}

TFetchResult FetchSnapshot(int port) {
    const TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.Valid())
        return {false, 0, std::string("socket: ") + std::strerror(errno)};
    SetTimeouts(socket.Get());
    const sockaddr_in address = Loopback(port);
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {false, 0, std::string("connect: ") + std::strerror(errno)};
    const std::string request = "GET /" + BaseName.toStdString() +
                                ".jpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    if (!SendAll(socket.Get(), request))
        return {false, 0, std::string("send: ") + std::strerror(errno)};
    std::string answer;
    if (!ReceiveAll(socket.Get(), answer))
        return {false, 0, std::string("receive: ") + std::strerror(errno)};
    return CheckAnswer(answer);
}

class TWebFetcher {
  public:
    // Fetches until destroyed. Answers before the first snapshot (404) are not counted.
    TWebFetcher(int port, const TSnapshotWatch& snapshots, Clock::time_point start)
        : Port(port), Snapshots(snapshots), Start(start),
          Worker([this](std::stop_token stop) { Run(stop); }) {}

    long Ok() const { return OkCount.load(); }
    long Failed() const { return FailedCount.load(); }
    // Of the failed: answered 404, the snapshot missing from the folder at that moment.
    long NotFound() const { return NotFoundCount.load(); }
    // Held for a whole fetch: a sample taken under it sees no socket of the fetch.
    std::mutex& InFlight() { return FetchLock; }

  private:
    const int Port;
    const TSnapshotWatch& Snapshots;
    const Clock::time_point Start;
    std::atomic<long> OkCount = 0;
    std::atomic<long> FailedCount = 0;
    std::atomic<long> NotFoundCount = 0;
    std::mutex FetchLock;
    std::mutex WaitLock;
    std::condition_variable_any Wake;
    std::jthread Worker; // last: it stops and joins before the members it uses go

    void Run(std::stop_token stop) {
        auto next = Clock::now();
        while (!stop.stop_requested()) {
            FetchOnce();
            next += FetchInterval;
            std::unique_lock lock(WaitLock);
            Wake.wait_until(lock, stop, next, [] { return false; });
        }
    }

    void FetchOnce() {
        const bool snapshotBefore = Snapshots.Replacements() > 0;
        const std::lock_guard fetching(FetchLock);
        const TFetchResult result = FetchSnapshot(Port);
        if (result.Ok) {
            ++OkCount;
        } else if (snapshotBefore || result.Status != 404) {
            if (result.Status == 404)
                ++NotFoundCount;
            if (++FailedCount <= 20)
                std::printf("soak: web fetch failed at %.1f s: %s\n", SecondsSince(Start),
                            result.Problem.c_str());
        }
    }
};

// ---- Samples and the verdict ----------------------------------------------------------------

// What the three channels did so far.
struct TChannels {
    long Snapshots = 0;
    long Uploads = 0;
    long WebOk = 0;
    long WebFailed = 0;
    long WebNotFound = 0;
};

struct TSample {
    double Seconds = 0;
    TProcessFigures Figures;
    TChannels Channels;
};

void PrintSampleHeader() {
    std::printf("%8s %8s %6s %8s %10s %8s %8s %11s\n", "time s", "RSS MB", "fds", "threads",
                "snapshots", "uploads", "web ok", "web failed");
}

void PrintSample(const TSample& sample) {
    std::printf("%8.0f %8.1f %6ld %8ld %10ld %8ld %8ld %11ld\n", sample.Seconds,
                static_cast<double>(sample.Figures.RssKb) / 1024.0, sample.Figures.Fds,
                sample.Figures.Threads, sample.Channels.Snapshots, sample.Channels.Uploads,
                sample.Channels.WebOk, sample.Channels.WebFailed);
    std::fflush(stdout);
}

// Least-squares slope of RSS over time, in MB per hour.
double RssSlopeMbPerHour(const std::vector<TSample>& samples) {
    if (samples.size() < 2)
        return 0;
    double sumT = 0, sumR = 0;
    for (const TSample& sample : samples) {
        sumT += sample.Seconds;
        sumR += static_cast<double>(sample.Figures.RssKb);
    }
    const double n = static_cast<double>(samples.size());
    const double meanT = sumT / n, meanR = sumR / n;
    double covariance = 0, variance = 0;
    for (const TSample& sample : samples) {
        covariance +=
            (sample.Seconds - meanT) * (static_cast<double>(sample.Figures.RssKb) - meanR);
        variance += (sample.Seconds - meanT) * (sample.Seconds - meanT);
    }
    return variance > 0 ? covariance / variance / 1024.0 * 3600.0 : 0;
}

template <typename Field> long MaxOf(const std::vector<TSample>& samples, Field field) {
    long most = 0;
    for (const TSample& sample : samples)
        most = std::max(most, field(sample));
    return most;
}

template <typename Field> long MinOf(const std::vector<TSample>& samples, Field field) {
    long least = samples.empty() ? 0 : field(samples.front());
    for (const TSample& sample : samples)
        least = std::min(least, field(sample));
    return least;
}

// Prints the curve's summary; answers the reasons for failing, none when it passed.
std::vector<std::string> JudgeCurve(const std::vector<TSample>& samples, double runSeconds) {
    std::vector<std::string> failures;
    const double warmUp =
        std::min(std::chrono::duration<double>(LongestWarmUp).count(), WarmUpShare * runSeconds);
    const auto baseline = std::find_if(samples.begin(), samples.end(),
                                       [&](const TSample& s) { return s.Seconds >= warmUp; });
    if (baseline == samples.end() || baseline + 1 == samples.end()) {
        failures.emplace_back("too short: no sample after the warm-up's end");
        return failures;
    }
    const std::vector<TSample> after(baseline + 1, samples.end());
    const auto rss = [](const TSample& s) {
        return s.Figures.RssKb;
    };
    const auto fds = [](const TSample& s) {
        return s.Figures.Fds;
    };
    const auto threads = [](const TSample& s) {
        return s.Figures.Threads;
    };
    const long rssGrowth = MaxOf(after, rss) - baseline->Figures.RssKb;

    std::printf("\nwarm-up: the first %.0f s; its end is the sample at %.0f s\n", warmUp,
                baseline->Seconds);
    std::printf("RSS MB: %.1f at the first sample, %.1f at the warm-up's end, max %.1f after it "
                "(%+.1f), %.1f at the end\n",
                static_cast<double>(samples.front().Figures.RssKb) / 1024.0,
                static_cast<double>(baseline->Figures.RssKb) / 1024.0,
                static_cast<double>(MaxOf(after, rss)) / 1024.0,
                static_cast<double>(rssGrowth) / 1024.0,
                static_cast<double>(samples.back().Figures.RssKb) / 1024.0);
    // Over a few minutes one step of the allocator reads as a steep line; say it only then.
    if (samples.back().Seconds - baseline->Seconds >= TrendSpan.count())
        std::printf("RSS trend after the warm-up (least squares): %+.2f MB/hour\n",
                    RssSlopeMbPerHour(std::vector<TSample>(baseline, samples.end())));
    std::printf("fds: %ld at the warm-up's end, %ld..%ld after it\n", baseline->Figures.Fds,
                MinOf(after, fds), MaxOf(after, fds));
    std::printf("threads: %ld at the warm-up's end, %ld..%ld after it\n", baseline->Figures.Threads,
                MinOf(after, threads), MaxOf(after, threads));

    if (rssGrowth > RssGrowthLimitKb)
        failures.push_back("RSS grew by " + std::to_string(rssGrowth / 1024) +
                           " MB after the warm-up (limit 5 MB)");
    for (const TSample& sample : after) {
        if (sample.Figures.Fds > baseline->Figures.Fds)
            failures.push_back("open descriptors " + std::to_string(sample.Figures.Fds) + " at " +
                               std::to_string(static_cast<long>(sample.Seconds)) +
                               " s, above the warm-up's " + std::to_string(baseline->Figures.Fds));
        if (sample.Figures.Threads > baseline->Figures.Threads)
            failures.push_back("threads " + std::to_string(sample.Figures.Threads) + " at " +
                               std::to_string(static_cast<long>(sample.Seconds)) +
                               " s, above the warm-up's " +
                               std::to_string(baseline->Figures.Threads));
    }
    return failures;
}

std::vector<std::string> JudgeChannels(const TChannels& atEnd, double runSeconds) {
    std::printf("at the end: %ld snapshots (%.2f/s), %ld FTP uploads, web %ld ok / %ld failed "
                "(%ld of them 404)\n",
                atEnd.Snapshots, static_cast<double>(atEnd.Snapshots) / runSeconds, atEnd.Uploads,
                atEnd.WebOk, atEnd.WebFailed, atEnd.WebNotFound);
    std::vector<std::string> failures;
    if (atEnd.Snapshots == 0)
        failures.emplace_back("no snapshot was written");
    if (atEnd.Uploads == 0)
        failures.emplace_back("no FTP upload happened");
    if (atEnd.WebOk == 0)
        failures.emplace_back("no web fetch succeeded");
    // Once the first snapshot is written camera.jpg always exists and is whole: any answer but
    // a 200 with the whole JPEG (a 404 too) fails the run.
    if (atEnd.WebFailed > 0)
        failures.push_back(std::to_string(atEnd.WebFailed) + " web fetches of camera.jpg failed (" +
                           std::to_string(atEnd.WebNotFound) + " of them 404)");
    return failures;
}

// ---- The run --------------------------------------------------------------------------------

// A modal box would hold the event loop on the offscreen platform, where nobody clicks.
class TModalCloser {
  public:
    explicit TModalCloser(Clock::time_point start) : Start(start) {
        Timer.setInterval(ModalCheckInterval);
        QObject::connect(&Timer, &QTimer::timeout, [this] { Check(); });
        Timer.start();
        Beat.start();
    }
    int Closed() const { return Count; }
    // The longest the event loop went without running this timer since the last restart.
    qint64 LongestStallMs() const { return LongestStall; }
    void RestartStallWatch() {
        LongestStall = 0;
        Beat.restart();
    }

  private:
    Clock::time_point Start;
    QTimer Timer;
    QElapsedTimer Beat;
    int Count = 0;
    qint64 LongestStall = 0;

    void Check() {
        LongestStall = std::max(LongestStall, Beat.restart());
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            return;
        ++Count;
        const auto* box = qobject_cast<QMessageBox*>(modal);
        std::printf("soak: message box at %.1f s: %s\n", SecondsSince(Start),
                    box ? qPrintable(box->text()) : qPrintable(modal->windowTitle()));
        std::fflush(stdout);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
};

QStringList LastLines(const QString& fileName, int count) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines =
        QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.mid(std::max<qsizetype>(0, lines.size() - count));
}

long LineCount(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

int RunSoak(std::chrono::milliseconds duration) {
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/kamvero-soak-XXXXXX"));
    if (!folder.isValid())
        throw std::runtime_error("no temporary folder");
    const QString snapshots = folder.filePath(QStringLiteral("snapshots")) + QLatin1Char('/');
    const QString ftpRoot = folder.filePath(QStringLiteral("ftp"));
    QDir().mkpath(snapshots);
    QDir().mkpath(ftpRoot);
    TFtpServerPeer ftp(ftpRoot, FtpUser, FtpPassword);

    TMainWindowEnvironment environment = TMainWindowEnvironment::ForRunningProgram();
    environment.ExecutablePath = folder.filePath(QStringLiteral("kamvero"));
    const TSoakSettings soak{folder.filePath(QStringLiteral("kamvero.ini")), snapshots,
                             FreeLoopbackPort(), ftp.Port()};
    WriteSettings(soak);
    std::printf("soak: %.0f s in %s; web port %d, FTP port %d\n",
                std::chrono::duration<double>(duration).count(), qPrintable(folder.path()),
                soak.WebPort, ftp.Port());
    std::fflush(stdout);

    const Clock::time_point launched = Clock::now();
    TModalCloser closer(launched);
    auto window = std::make_unique<TfrmMain>(std::move(environment));
    TSnapshotWatch snapshotWatch(snapshots);
    window->show();
    SpinEventLoop(std::chrono::duration_cast<std::chrono::milliseconds>(StartDelay));
    auto* start = window->findChild<QPushButton*>(QStringLiteral("btnStart"));
    if (start == nullptr || !start->isEnabled())
        throw std::runtime_error("Start Capture is not there to press");
    QTest::mouseClick(start, Qt::LeftButton);
    closer.RestartStallWatch();

    const Clock::time_point started = Clock::now();
    std::vector<TSample> samples;
    std::optional<TWebFetcher> fetcher(std::in_place, soak.WebPort, snapshotWatch, started);
    const auto channels = [&] {
        return TChannels{snapshotWatch.Replacements(), CountUploads(ftp), fetcher->Ok(),
                         fetcher->Failed(), fetcher->NotFound()};
    };
    QTimer sampler;
    // Sampled at a quiet point: no fetch and no FTP pass holding sockets at that moment.
    std::function<void()> sample = [&] {
        if (!sampler.isActive())
            return;
        std::unique_lock quiet(fetcher->InFlight(), std::try_to_lock);
        if (!quiet.owns_lock() || window->FTPPassRunning) {
            QTimer::singleShot(20ms, &sampler, sample);
            return;
        }
        samples.push_back({SecondsSince(started), ReadProcessFigures(), channels()});
        PrintSample(samples.back());
    };
    PrintSampleHeader();
    QObject::connect(&sampler, &QTimer::timeout, [&] { sample(); });
    sampler.start(SampleInterval);
    SpinEventLoop(duration);
    sampler.stop();
    const double runSeconds = SecondsSince(started);
    // The fetcher's totals, before it goes; snapshots and uploads are counted after the close.
    const TChannels last = channels();
    fetcher.reset();

    // Closed as a user closes it, so the settings file is written.
    window->close();
    const bool closed = SpinUntil([&] { return !window->isVisible(); }, CloseTimeout);
    const bool settingsWritten =
        TIniFile(soak.SettingsFile.toStdString()).ValueExists("Camera", "Framerate");
    const TChannels atEnd{snapshotWatch.Replacements(), CountUploads(ftp), last.WebOk,
                          last.WebFailed, last.WebNotFound};
    window.reset();
    ftp.Stop();

    std::vector<std::string> failures = JudgeCurve(samples, runSeconds);
    for (std::string& failure : JudgeChannels(atEnd, runSeconds))
        failures.push_back(std::move(failure));
    std::printf("files on the FTP server: %s\n",
                qPrintable(QDir(ftpRoot).entryList(QDir::Files).join(QLatin1Char(' '))));
    std::printf("message boxes closed: %d; longest event-loop stall: %lld ms\n", closer.Closed(),
                static_cast<long long>(closer.LongestStallMs()));
    const QString errors = folder.filePath(QStringLiteral("errors.txt"));
    std::printf("errors.txt: %ld lines\n", LineCount(errors));
    for (const QString& line : LastLines(errors, 5))
        std::printf("  %s\n", qPrintable(line));
    if (!closed)
        failures.emplace_back("the window did not close");
    else if (!settingsWritten)
        failures.emplace_back("closing the window did not write the settings file");

    if (failures.empty()) {
        std::printf("\nsoak: PASS\n");
        return 0;
    }
    std::printf("\nsoak: FAIL\n");
    for (const std::string& failure : failures)
        std::printf("  %s\n", failure.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    KeepFrameBuffersInHeap(); // as the program does
    Q_INIT_RESOURCE(kamvero);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [minutes, or a number ending in s, m or h]\n", argv[0]);
        return 2;
    }
    std::optional<std::chrono::milliseconds> duration = DefaultDuration;
    if (argc == 2)
        duration = ParseDuration(argv[1]);
    if (!duration) {
        std::fprintf(stderr, "soak: not a duration: %s\n", argv[1]);
        return 2;
    }
    TApplication app(argc, argv);
    TApplication::setApplicationName(QStringLiteral("kamvero"));
    TApplication::setApplicationDisplayName(QStringLiteral("Kamvero"));
    TApplication::setQuitOnLastWindowClosed(false);
    try {
        return RunSoak(*duration);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return 1;
    }
}
