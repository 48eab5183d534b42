// One whole snapshot as the writer makes it with the program's default archive ring of 100: the
// newest JPEG linked into its slot, the timestamp drawn on a copy of the frame as the program draws
// it, the temporary bitmap written, the JPEG encoded from the bitmap's pixels as read back from the
// file and written through a temporary file renamed to the newest snapshot's name, the bitmap
// deleted. The peer is a bare libjpeg-turbo quality-100 encode of the same pixels to memory. Both
// get the same warm-up and run in this process, alternately, the same number of times, and the
// medians are compared, in wall time (the target) and, for information, in the processor time of
// the thread, which a machine busy with other work hardly disturbs. The steps follow; then the
// same snapshot without the ring, whose rename replaces the newest JPEG in place; then, measured
// apart so that its flushes do not fall between the snapshots, the cost of writing the JPEG's
// bytes to the disk. Usage: frames_snapshot [folder for the files]

#include "BenchTable.h"
#include "SnapshotFiles.h"
#include "SnapshotStamp.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

constexpr double Target = 1.5;

// Smooth light with a little sensor noise, which is what a camera gives the encoder.
QImage CameraLikeFrame(int width, int height) {
    QImage frame(width, height, QImage::Format_BGR888);
    std::mt19937 random(5);
    for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int noise = static_cast<int>(random() % 7) - 3;
            row[3 * x] = static_cast<uchar>(std::clamp(64 + 128 * x / width + noise, 0, 255));
            row[3 * x + 1] = static_cast<uchar>(std::clamp(32 + 160 * y / height + noise, 0, 255));
            row[3 * x + 2] = static_cast<uchar>(
                std::clamp(200 - 100 * (x + y) / (width + height) + noise, 0, 255));
        }
    }
    return frame;
}

constexpr int WarmUps = 3;

// The processor time of the calling thread, in milliseconds.
double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct TTimes {
    std::vector<double> Wall, Cpu;
};

constexpr int ArchiveSlots = 100; // the program's default

// The steps of one snapshot, each timed; the snapshot's time is their sum. A slot of 0 leaves
// the ring out, as an archive of 0 does.
TTimes Snapshot(const QImage& frame, const QString& base, int slot) {
    const QString bitmap = base + QStringLiteral(".bmp");
    QImage stamped;
    const std::function<void()> steps[] = {
        [&] {
            if (slot > 0)
                PutNewestIntoSlot(base, slot);
        },
        [&] {
            stamped = frame.copy();
            DrawStamp(stamped, QStringLiteral(" 08 Dec 2026  01:34:11"), stamped.height());
        },
        [&] { WriteBitmapFile(stamped, bitmap); },
        [&] { WriteJpegFileFromBitmap(bitmap, base + QStringLiteral(".jpg")); },
        [&] { QFile::remove(bitmap); },
    };
    TTimes times;
    for (const auto& step : steps) {
        const double cpuStart = ThreadCpuMs();
        times.Wall.push_back(TimeMs(step));
        times.Cpu.push_back(ThreadCpuMs() - cpuStart);
    }
    return times;
}

double Sum(const std::vector<double>& times) {
    return std::accumulate(times.begin(), times.end(), 0.0);
}

// What the disk alone costs the JPEG file: its bytes written to a fresh file and flushed.
void WriteAndFlush(const QString& fileName, const QByteArray& bytes) {
    const int fd =
        ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) < 0 ||
        ::fsync(fd) != 0)
        std::perror("flush");
    ::close(fd);
    ::unlink(QFile::encodeName(fileName).constData());
}

// libjpeg-turbo as its own example uses it: memory destination, defaults, quality 100.
unsigned long BareEncode(const QImage& frame) {
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(frame.width());
    info.image_height = static_cast<JDIMENSION>(frame.height());
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(frame.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return size;
}

} // namespace

int main(int argc, char** argv) {
    KeepFrameBuffersInHeap(); // as the program does
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir folder(parent + QStringLiteral("/kamvero-snapshot-XXXXXX"));
    if (!folder.isValid()) {
        std::fprintf(stderr, "Cannot make a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QString base = folder.filePath(QStringLiteral("camera"));
    std::printf("files in %s\n", qPrintable(folder.path()));
    PrintHeader();
    const char* const stepNames[] = {"  newest linked into its archive slot",
                                     "  timestamp on a copy", "  bitmap written",
                                     "  JPEG from bitmap (read, encode, tmp+rename)",
                                     "  bitmap deleted"};
    int slot = 0;
    const auto nextSlot = [&slot] { return slot = slot % ArchiveSlots + 1; };
    for (const auto& [width, height, runs] : {std::tuple{640, 480, 41}, {1920, 1080, 21}}) {
        const QImage frame = CameraLikeFrame(width, height);
        volatile unsigned long sink = 0;
        // Warm-up alike for both: fonts, page cache, the files under their names, the heap.
        for (int i = 0; i < WarmUps; ++i) {
            Snapshot(frame, base, nextSlot());
            Snapshot(frame, base, 0);
            sink = sink + BareEncode(frame);
        }
        std::vector<std::vector<double>> steps(std::size(stepNames));
        std::vector<double> totals, totalsCpu, peers, peersCpu, inPlace, flushes;
        for (int i = 0; i < runs; ++i) {
            const TTimes times = Snapshot(frame, base, nextSlot());
            for (std::size_t step = 0; step < times.Wall.size(); ++step)
                steps[step].push_back(times.Wall[step]);
            totals.push_back(Sum(times.Wall));
            totalsCpu.push_back(Sum(times.Cpu));
            const double cpuStart = ThreadCpuMs();
            peers.push_back(TimeMs([&] { sink = sink + BareEncode(frame); }));
            peersCpu.push_back(ThreadCpuMs() - cpuStart);
            inPlace.push_back(Sum(Snapshot(frame, base, 0).Wall));
        }
        const QByteArray jpeg = EncodeJpeg(frame);
        for (int i = 0; i < runs; ++i)
            flushes.push_back(
                TimeMs([&] { WriteAndFlush(base + QStringLiteral(".flush"), jpeg); }));
        const double peer = Median(peers);
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        PrintRow("snapshot " + size + " vs bare q100 encode", Median(totals), peer, Target);
        PrintRow("  the same in thread processor time", Median(totalsCpu), Median(peersCpu), 0);
        for (std::size_t step = 0; step < steps.size(); ++step)
            PrintRow(stepNames[step], Median(steps[step]), peer, 0);
        PrintRow("  without the ring: the newest replaced", Median(inPlace), peer, 0);
        PrintRow("  the disk: the JPEG written + fsync alone", Median(flushes), peer, 0);
        std::printf("  (JPEG of %lld bytes)\n", static_cast<long long>(jpeg.size()));
    }
    return 0;
}
