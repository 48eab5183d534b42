#include "FrameKernels.h"

#include "BrightnessRows.h"
#include "WorkingPalettes.h"

#include <algorithm>
#include <bit>
#include <cstring>

using namespace WorkingPalettes;

namespace {

// ---- Reducing rows ------------------------------------------------------------------------------

// Writes `width` pixels from blue-green-red bytes into a working-copy row from pixel x0 on. When
// x0 is not 0 or the pixels end before the row does, the row is blank (the frame does not cover
// the whole area), which lets the 1-bit writer write whole bytes.
using TRowReducer = void (*)(const uchar* bgr, uchar* row, int x0, int width);

void ReduceToMono(const uchar* bgr, uchar* row, int x0, int width) {
    uchar bits = 0;
    int x = x0;
    for (int i = 0; i < width; ++i, ++x, bgr += 3) {
        // Pixels fill a byte from its top bit down.
        if (bgr[0] + bgr[1] + bgr[2] >= 3 * 128)
            bits |= static_cast<uchar>(0x80 >> (x & 7));
        if ((x & 7) == 7) {
            row[x >> 3] = bits;
            bits = 0;
        }
    }
    if (x & 7)
        row[x >> 3] = bits;
}

void ReduceToVga16(const uchar* bgr, uchar* row, int x0, int width) {
    const TVgaLookup& lookup = VgaLookup();
    for (int i = 0; i < width; ++i, bgr += 3)
        row[x0 + i] = lookup.Nearest(bgr[2], bgr[1], bgr[0]);
}

void ReduceTo256(const uchar* bgr, uchar* row, int x0, int width) {
    for (int i = 0; i < width; ++i, bgr += 3)
        row[x0 + i] = Nearest256(bgr[2], bgr[1], bgr[0]);
}

void ReduceToRgb16(const uchar* bgr, uchar* row, int x0, int width) {
    auto* out = reinterpret_cast<quint16*>(row) + x0;
    for (int i = 0; i < width; ++i, bgr += 3)
        out[i] = static_cast<quint16>((bgr[2] >> 3) << 11 | (bgr[1] >> 2) << 5 | bgr[0] >> 3);
}

void CopyBgr(const uchar* bgr, uchar* row, int x0, int width) {
    std::memcpy(row + 3 * static_cast<qsizetype>(x0), bgr, 3 * static_cast<std::size_t>(width));
}

TRowReducer ReducerFor(TDetectDepth depth) {
    switch (depth) {
    case TDetectDepth::Colors2:
        return &ReduceToMono;
    case TDetectDepth::Colors16:
        return &ReduceToVga16;
    case TDetectDepth::Colors256:
        return &ReduceTo256;
    case TDetectDepth::Colors65535:
        return &ReduceToRgb16;
    case TDetectDepth::Colors16M:
        break;
    }
    return &CopyBgr;
}

// Reduces the rectangle of a Format_BGR888 image into the copy, its top-left corner to `to`.
void ReduceInto(const QImage& bgr, const QRect& rect, QImage& copy, QPoint to, TDetectDepth depth) {
    const TRowReducer reduce = ReducerFor(depth);
    const qsizetype byteOffset = 3 * static_cast<qsizetype>(rect.left());
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        reduce(bgr.constScanLine(y) + byteOffset, copy.scanLine(to.y() + y - rect.top()), to.x(),
               rect.width());
}

TDetectDepth RequireDepth(const QImage& copy) {
    const std::optional<TDetectDepth> depth = DepthOfWorkingCopy(copy);
    if (!depth)
        throw EFrameError("The image is not a working copy of the motion detector");
    return *depth;
}

void Blank(QImage& image) {
    std::memset(image.bits(), 0, static_cast<std::size_t>(image.sizeInBytes()));
}

// ---- Brightness differences of rows ------------------------------------------------------------

std::uint64_t MonoRows(const std::uint8_t* a, const std::uint8_t* b, int width) {
    const int fullBytes = width / 8;
    std::uint64_t differing = 0;
    int i = 0;
    for (; i + 8 <= fullBytes; i += 8) {
        std::uint64_t wordA = 0, wordB = 0;
        std::memcpy(&wordA, a + i, 8);
        std::memcpy(&wordB, b + i, 8);
        differing += static_cast<std::uint64_t>(std::popcount(wordA ^ wordB));
    }
    for (; i < fullBytes; ++i)
        differing += static_cast<std::uint64_t>(std::popcount(static_cast<uchar>(a[i] ^ b[i])));
    if (width % 8) {
        const auto used = static_cast<uchar>(0xFF00 >> (width % 8));
        differing +=
            static_cast<std::uint64_t>(std::popcount(static_cast<uchar>((a[i] ^ b[i]) & used)));
    }
    // A differing pixel is black against white: (255 - 0)^2.
    return differing * 255 * 255;
}

template <const std::array<std::uint8_t, 256>& Table>
std::uint64_t IndexedRows(const std::uint8_t* a, const std::uint8_t* b, int width) {
    std::uint32_t total = 0;
    for (int x = 0; x < width; ++x) {
        const int d = Table[a[x]] - Table[b[x]];
        total += static_cast<std::uint32_t>(d * d);
    }
    return total;
}

// Five and six bits widen to eight by repeating their top bits, so white stays 255. The sum
// fits 16 bits and a third of it is (sum * 21846) >> 16, so the loop below vectorises.
inline std::uint16_t Brightness565(std::uint16_t p) {
    const int r = p >> 11, g = p >> 5 & 63, b = p & 31;
    const auto sum =
        static_cast<std::uint16_t>((r << 3 | r >> 2) + (g << 2 | g >> 4) + (b << 3 | b >> 2));
    return static_cast<std::uint16_t>(std::uint32_t{sum} * 21846u >> 16);
}

std::uint64_t Rgb16Rows(const std::uint8_t* a, const std::uint8_t* b, int width) {
    const auto* pa = reinterpret_cast<const quint16*>(a);
    const auto* pb = reinterpret_cast<const quint16*>(b);
    std::uint32_t total = 0;
    for (int x = 0; x < width; ++x) {
        const auto d = static_cast<std::int16_t>(Brightness565(pa[x]) - Brightness565(pb[x]));
        total += static_cast<std::uint32_t>(d * d);
    }
    return total;
}

BrightnessRows::TRowDifference RowDifferenceFor(TDetectDepth depth) {
    static const BrightnessRows::TRowDifference fastestBgr =
        BrightnessRows::AvailableBgrKernels().front();
    switch (depth) {
    case TDetectDepth::Colors2:
        return &MonoRows;
    case TDetectDepth::Colors16:
        return &IndexedRows<Vga16Brightness>;
    case TDetectDepth::Colors256:
        return &IndexedRows<Palette256Brightness>;
    case TDetectDepth::Colors65535:
        return &Rgb16Rows;
    case TDetectDepth::Colors16M:
        break;
    }
    return fastestBgr;
}

QString SizeText(QSize size) {
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

} // namespace

QImage::Format WorkingFormat(TDetectDepth depth) {
    switch (depth) {
    case TDetectDepth::Colors2:
        return QImage::Format_Mono;
    case TDetectDepth::Colors16:
    case TDetectDepth::Colors256:
        return QImage::Format_Indexed8;
    case TDetectDepth::Colors65535:
        return QImage::Format_RGB16;
    case TDetectDepth::Colors16M:
        break;
    }
    return QImage::Format_BGR888;
}

std::optional<TDetectDepth> DepthOfWorkingCopy(const QImage& copy) {
    switch (copy.format()) {
    case QImage::Format_Mono:
        if (copy.colorTable() == ColorTable(TDetectDepth::Colors2))
            return TDetectDepth::Colors2;
        break;
    case QImage::Format_Indexed8:
        for (const TDetectDepth depth : {TDetectDepth::Colors16, TDetectDepth::Colors256})
            if (copy.colorTable() == ColorTable(depth))
                return depth;
        break;
    case QImage::Format_RGB16:
        return TDetectDepth::Colors65535;
    case QImage::Format_BGR888:
        return TDetectDepth::Colors16M;
    default:
        break;
    }
    return std::nullopt;
}

QImage BlankWorkingCopy(QSize size, TDetectDepth depth) {
    if (size.isEmpty())
        return {};
    QImage copy(size, WorkingFormat(depth));
    if (copy.isNull())
        throw EFrameError(("Cannot make a working copy of " + SizeText(size)).toStdString());
    copy.setColorTable(ColorTable(depth));
    Blank(copy);
    return copy;
}

void ResizeWorkingCopy(QImage& copy, QSize size) {
    if (copy.size() == size)
        return;
    if (size.isEmpty()) {
        copy = QImage();
        return;
    }
    QImage resized = BlankWorkingCopy(size, RequireDepth(copy));
    const int width = std::min(size.width(), copy.width());
    const int height = std::min(size.height(), copy.height());
    const qsizetype wholeBytes = static_cast<qsizetype>(width) * copy.depth() / 8;
    const int spareBits = width * copy.depth() % 8;
    for (int y = 0; y < height; ++y) {
        uchar* row = resized.scanLine(y);
        const uchar* old = copy.constScanLine(y);
        std::memcpy(row, old, static_cast<std::size_t>(wholeBytes));
        // Only a 1-bit copy ends inside a byte; its pixels run from the top bit down.
        if (spareBits)
            row[wholeBytes] = old[wholeBytes] & static_cast<uchar>(0xFF00 >> spareBits);
    }
    copy = std::move(resized);
}

void SetWorkingDepth(QImage& copy, TDetectDepth depth) {
    if (copy.isNull() || RequireDepth(copy) == depth)
        return;
    const QImage bgr = copy.convertToFormat(QImage::Format_BGR888);
    QImage reduced = BlankWorkingCopy(copy.size(), depth);
    ReduceInto(bgr, bgr.rect(), reduced, {0, 0}, depth);
    copy = std::move(reduced);
}

void CopyAreaInto(const QImage& frame, const QRect& area, QImage& copy) {
    if (area.isEmpty() && copy.isNull())
        return;
    if (copy.size() != area.size())
        throw EFrameError(
            ("The working copy is " + SizeText(copy.size()) + ", the area " + SizeText(area.size()))
                .toStdString());
    const TDetectDepth depth = RequireDepth(copy);
    const QImage bgr = frame.format() == QImage::Format_BGR888
                           ? frame
                           : frame.convertToFormat(QImage::Format_BGR888);
    const QRect inside = area.intersected(bgr.rect());
    // Whatever of the area lies outside the frame stays blank.
    if (inside != area)
        Blank(copy);
    if (!inside.isEmpty())
        ReduceInto(bgr, inside, copy, inside.topLeft() - area.topLeft(), depth);
}

std::int64_t BrightnessDifference(const QImage& reference, const QImage& current) {
    if (reference.size() != current.size())
        throw EFrameError(("The working copies differ in size: " + SizeText(reference.size()) +
                           " and " + SizeText(current.size()))
                              .toStdString());
    if (reference.isNull())
        return 0;
    const TDetectDepth depth = RequireDepth(reference);
    if (RequireDepth(current) != depth)
        throw EFrameError("The working copies differ in depth");

    const BrightnessRows::TRowDifference rows = RowDifferenceFor(depth);
    const int bits = reference.depth();
    const int width = reference.width();
    std::uint64_t total = 0;
    for (int y = 0; y < reference.height(); ++y) {
        const uchar* a = reference.constScanLine(y);
        const uchar* b = current.constScanLine(y);
        for (int x = 0; x < width; x += BrightnessRows::MaxPixelsPerCall) {
            // Chunks start at multiples of 2^16 pixels, so on a byte at every depth.
            const qsizetype offset = static_cast<qsizetype>(x) * bits / 8;
            total +=
                rows(a + offset, b + offset, std::min(BrightnessRows::MaxPixelsPerCall, width - x));
        }
    }
    return static_cast<std::int64_t>(total);
}
