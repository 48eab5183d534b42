// Brightness difference of two working copies per frame, at 640x480 and 1920x1080 and every
// detect depth, against the floor: a plain loop summing the squared differences of the same
// bytes. The 24-bit rows are the target; the other depths, the floor built at the build's own
// flags and the reduction of a frame into a working copy (against Qt's own conversion to the
// same format and palette) are for information. Medians of many runs.

#include "BenchTable.h"
#include "FloorLoop.h"
#include "FrameKernels.h"

#include <QImage>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>

namespace {

constexpr double Target = 1.5;

QImage RandomFrame(int width, int height, unsigned seed) {
    QImage frame(width, height, QImage::Format_BGR888);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x)
            frame.scanLine(y)[x] = static_cast<uchar>(random());
    return frame;
}

QImage Reduced(const QImage& frame, TDetectDepth depth) {
    QImage copy = BlankWorkingCopy(frame.size(), depth);
    CopyAreaInto(frame, frame.rect(), copy);
    return copy;
}

using TFloorRow = std::uint32_t (*)(const std::uint8_t*, const std::uint8_t*, int);

std::uint64_t Floor(const QImage& a, const QImage& b, TFloorRow row) {
    const int rowBytes = (a.width() * a.depth() + 7) / 8;
    std::uint64_t total = 0;
    for (int y = 0; y < a.height(); ++y)
        total += row(a.constScanLine(y), b.constScanLine(y), rowBytes);
    return total;
}

// Qt's conversion of the frame to the depth's format and palette, nearest colours undithered;
// a plain copy where the formats are the same.
QImage QtReduced(const QImage& frame, const QImage& copy) {
    if (copy.format() == frame.format())
        return frame.copy();
    return copy.colorCount() > 0
               ? frame.convertToFormat(copy.format(), copy.colorTable(), Qt::ThresholdDither)
               : frame.convertToFormat(copy.format());
}

} // namespace

int main() {
    const char* const names[] = {"2 colours", "16 colours", "256 colours", "65535 colours",
                                 "16M colours"};
    const TDetectDepth depths[] = {TDetectDepth::Colors16M, TDetectDepth::Colors65535,
                                   TDetectDepth::Colors256, TDetectDepth::Colors16,
                                   TDetectDepth::Colors2};
    volatile std::int64_t sink = 0;
    const auto floorOf = [&](const QImage& a, const QImage& b, TFloorRow row) {
        return [&sink, &a, &b, row] {
            sink = sink + static_cast<std::int64_t>(Floor(a, b, row));
        };
    };
    PrintHeader();
    for (const auto& [width, height, runs] : {std::tuple{640, 480, 500}, {1920, 1080, 150}}) {
        const QImage first = RandomFrame(width, height, 1);
        const QImage second = RandomFrame(width, height, 2);
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        for (const TDetectDepth depth : depths) {
            const QImage reference = Reduced(first, depth);
            const QImage current = Reduced(second, depth);
            const auto [ours, floor] = MedianPairMs(
                runs, [&] { sink = sink + BrightnessDifference(reference, current); },
                floorOf(reference, current, &FloorRow));
            const bool target = depth == TDetectDepth::Colors16M;
            PrintRow("difference " + size + " " + names[static_cast<int>(depth)], ours, floor,
                     target ? Target : 0);
            if (target) {
                const auto [plain, best] =
                    MedianPairMs(runs, floorOf(reference, current, &FloorRowAtBuildFlags),
                                 floorOf(reference, current, &FloorRow));
                PrintRow("  floor at the build's flags vs -O3 floor", plain, best, 0);
            }
        }
        for (const TDetectDepth depth : depths) {
            QImage copy = BlankWorkingCopy(first.size(), depth);
            const auto [ours, qt] = MedianPairMs(
                runs / 5, [&] { CopyAreaInto(first, first.rect(), copy); },
                [&] { sink = sink + QtReduced(first, copy).width(); });
            PrintRow("reduce " + size + " to " + names[static_cast<int>(depth)] + " vs Qt", ours,
                     qt, 0);
        }
    }
    return 0;
}
