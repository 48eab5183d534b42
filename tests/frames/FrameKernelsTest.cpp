#include "FrameKernels.h"
#include "BrightnessRows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr TDetectDepth AllDepths[] = {TDetectDepth::Colors2, TDetectDepth::Colors16,
                                      TDetectDepth::Colors256, TDetectDepth::Colors65535,
                                      TDetectDepth::Colors16M};

QImage Frame(int width, int height, const std::vector<QRgb>& colors) {
    QImage frame(width, height, QImage::Format_BGR888);
    for (int i = 0; i < width * height; ++i)
        frame.setPixel(i % width, i / width, colors[static_cast<std::size_t>(i)]);
    return frame;
}

QImage RandomFrame(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<QRgb> colors(static_cast<std::size_t>(width * height));
    for (QRgb& color : colors)
        color = random() | 0xFF000000u;
    return Frame(width, height, colors);
}

QImage Reduced(const QImage& frame, TDetectDepth depth) {
    QImage copy = BlankWorkingCopy(frame.size(), depth);
    CopyAreaInto(frame, frame.rect(), copy);
    return copy;
}

int Brightness(QRgb color) {
    return (qRed(color) + qGreen(color) + qBlue(color)) / 3;
}

// The same copy over a buffer that ends exactly at the last pixel byte of each row.
QImage Tight(const QImage& copy, std::vector<uchar>& storage) {
    const qsizetype stride = (static_cast<qsizetype>(copy.width()) * copy.depth() + 7) / 8;
    storage.assign(static_cast<std::size_t>(stride * copy.height()), 0);
    for (int y = 0; y < copy.height(); ++y)
        std::memcpy(storage.data() + y * stride, copy.constScanLine(y),
                    static_cast<std::size_t>(stride));
    QImage tight(storage.data(), copy.width(), copy.height(), stride, copy.format());
    tight.setColorTable(copy.colorTable());
    return tight;
}

// ---- Working copies ---------------------------------------------------------------------------

TEST(WorkingCopies, EachDepthHasItsFormatAndIsRecognisedByItsPalette) {
    const QImage::Format formats[] = {QImage::Format_Mono, QImage::Format_Indexed8,
                                      QImage::Format_Indexed8, QImage::Format_RGB16,
                                      QImage::Format_BGR888};
    for (const TDetectDepth depth : AllDepths) {
        SCOPED_TRACE(static_cast<int>(depth));
        const QImage copy = BlankWorkingCopy({3, 2}, depth);
        EXPECT_EQ(copy.format(), formats[static_cast<int>(depth)]);
        EXPECT_EQ(WorkingFormat(depth), copy.format());
        EXPECT_EQ(DepthOfWorkingCopy(copy), depth);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(copy.pixel(x, y), qRgb(0, 0, 0));
    }
    EXPECT_TRUE(BlankWorkingCopy({0, 4}, TDetectDepth::Colors16M).isNull());
    EXPECT_EQ(DepthOfWorkingCopy(QImage(2, 2, QImage::Format_RGB32)), std::nullopt);
    QImage inverted(2, 2, QImage::Format_Mono);
    inverted.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    EXPECT_EQ(DepthOfWorkingCopy(inverted), std::nullopt);
    EXPECT_EQ(BlankWorkingCopy({3, 2}, TDetectDepth::Colors16).colorCount(), 16);
    EXPECT_EQ(BlankWorkingCopy({3, 2}, TDetectDepth::Colors256).colorCount(), 256);
}

// Nearest by squared distance, first entry on a tie, searched the long way.
int NearestEntry(const QList<QRgb>& table, QRgb color) {
    const auto distance = [color](QRgb entry) {
        const int r = qRed(entry) - qRed(color), g = qGreen(entry) - qGreen(color),
                  b = qBlue(entry) - qBlue(color);
        return r * r + g * g + b * b;
    };
    int best = 0;
    for (int i = 1; i < table.size(); ++i)
        if (distance(table[i]) < distance(table[best]))
            best = i;
    return best;
}

TEST(WorkingCopies, PalettedDepthsTakeTheNearestPaletteEntry) {
    // Every 15th value of each channel and random colours, in one odd-width frame.
    std::vector<QRgb> colors;
    for (int r = 0; r < 256; r += 15)
        for (int g = 0; g < 256; g += 15)
            for (int b = 0; b < 256; b += 15)
                colors.push_back(qRgb(r, g, b));
    std::mt19937 random(7);
    while (colors.size() < 61 * 131)
        colors.push_back(random() | 0xFF000000u);
    const QImage frame = Frame(61, 131, colors);
    for (const TDetectDepth depth : {TDetectDepth::Colors16, TDetectDepth::Colors256}) {
        const QImage copy = Reduced(frame, depth);
        int wrong = 0;
        for (int y = 0; y < frame.height(); ++y)
            for (int x = 0; x < frame.width(); ++x)
                wrong +=
                    copy.pixelIndex(x, y) != NearestEntry(copy.colorTable(), frame.pixel(x, y));
        EXPECT_EQ(wrong, 0) << static_cast<int>(depth);
    }
}

TEST(WorkingCopies, PureColoursReduceToTheExpectedColour) {
    const struct {
        TDetectDepth Depth;
        QRgb In, Out;
    } cases[] = {
        {TDetectDepth::Colors2, qRgb(128, 128, 128), qRgb(255, 255, 255)},
        {TDetectDepth::Colors2, qRgb(128, 128, 127), qRgb(0, 0, 0)},
        {TDetectDepth::Colors16, qRgb(250, 10, 10), qRgb(255, 0, 0)},
        {TDetectDepth::Colors16, qRgb(0, 0, 100), qRgb(0, 0, 128)},
        {TDetectDepth::Colors16, qRgb(170, 170, 170), qRgb(192, 192, 192)},
        {TDetectDepth::Colors16, qRgb(140, 140, 140), qRgb(128, 128, 128)},
        {TDetectDepth::Colors16, qRgb(0, 200, 200), qRgb(0, 255, 255)},
        {TDetectDepth::Colors256, qRgb(51, 102, 153), qRgb(51, 102, 153)},
        {TDetectDepth::Colors256, qRgb(128, 0, 0), qRgb(153, 0, 0)},
        {TDetectDepth::Colors65535, qRgb(255, 255, 255), qRgb(255, 255, 255)},
        {TDetectDepth::Colors65535, qRgb(15, 7, 8), qRgb(8, 4, 8)},
        {TDetectDepth::Colors16M, qRgb(1, 2, 3), qRgb(1, 2, 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Reduced(Frame(1, 1, {c.In}), c.Depth).pixel(0, 0), c.Out)
            << static_cast<int>(c.Depth) << " " << std::hex << c.In;
}

TEST(WorkingCopies, CopyAreaIntoPlacesTheAreaAndBlanksWhatLiesOutsideTheFrame) {
    const QImage frame = RandomFrame(11, 5, 3);
    const QRect areas[] = {
        {2, 1, 3, 2}, {0, 0, 11, 5}, {7, 3, 6, 4}, {-3, -1, 9, 3}, {20, 0, 4, 2}};
    for (const TDetectDepth depth : AllDepths)
        for (const QRect& area : areas) {
            SCOPED_TRACE(testing::Message()
                         << static_cast<int>(depth) << " " << area.x() << "," << area.y() << " "
                         << area.width() << "x" << area.height());
            const QImage whole = Reduced(frame, depth);
            QImage copy = Reduced(RandomFrame(area.width(), area.height(), 9), depth);
            CopyAreaInto(frame.convertToFormat(QImage::Format_RGB32), area, copy);
            for (int y = 0; y < area.height(); ++y)
                for (int x = 0; x < area.width(); ++x) {
                    const QPoint source = area.topLeft() + QPoint(x, y);
                    ASSERT_EQ(copy.pixel(x, y),
                              frame.rect().contains(source) ? whole.pixel(source) : qRgb(0, 0, 0))
                        << x << "," << y;
                }
        }
}

TEST(WorkingCopies, CopyAreaIntoRefusesACopyOfAnotherSize) {
    QImage copy = BlankWorkingCopy({3, 3}, TDetectDepth::Colors16M);
    EXPECT_THROW(CopyAreaInto(RandomFrame(8, 8, 1), QRect(0, 0, 4, 3), copy), EFrameError);
    QImage none;
    EXPECT_NO_THROW(CopyAreaInto(RandomFrame(8, 8, 1), QRect(5, 5, 0, 3), none));
    EXPECT_TRUE(none.isNull());
}

TEST(WorkingCopies, ResizeKeepsTheTopLeftAndBlanksTheRest) {
    const QImage frame = RandomFrame(13, 5, 4);
    for (const TDetectDepth depth : AllDepths) {
        SCOPED_TRACE(static_cast<int>(depth));
        const QImage original = Reduced(frame, depth);
        QImage copy = original;
        ResizeWorkingCopy(copy, {4, 6}); // narrower, so a 1-bit row ends inside a byte
        ResizeWorkingCopy(copy, {17, 3});
        EXPECT_EQ(DepthOfWorkingCopy(copy), depth);
        ASSERT_EQ(copy.size(), QSize(17, 3));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 17; ++x)
                ASSERT_EQ(copy.pixel(x, y), x < 4 ? original.pixel(x, y) : qRgb(0, 0, 0))
                    << x << "," << y;
        ResizeWorkingCopy(copy, {0, 3});
        EXPECT_TRUE(copy.isNull());
    }
    QImage foreign(4, 4, QImage::Format_RGB32);
    EXPECT_THROW(ResizeWorkingCopy(foreign, {2, 2}), EFrameError);
}

TEST(WorkingCopies, ChangingTheDepthOfAFullColourCopyEqualsReducingTheFrame) {
    const QImage frame = RandomFrame(9, 7, 5);
    for (const TDetectDepth depth : AllDepths) {
        QImage copy = Reduced(frame, TDetectDepth::Colors16M);
        SetWorkingDepth(copy, depth);
        EXPECT_EQ(copy, Reduced(frame, depth)) << static_cast<int>(depth);
        EXPECT_EQ(DepthOfWorkingCopy(copy), depth);
    }
    // From 16 colours to 256 the VGA colours go to their nearest cube colours.
    QImage vga = Reduced(Frame(2, 1, {qRgb(128, 0, 0), qRgb(128, 128, 0)}), TDetectDepth::Colors16);
    SetWorkingDepth(vga, TDetectDepth::Colors256);
    EXPECT_EQ(vga.pixel(0, 0), qRgb(153, 0, 0));
    EXPECT_EQ(vga.pixel(1, 0), qRgb(153, 153, 0));
    QImage none;
    SetWorkingDepth(none, TDetectDepth::Colors2);
    EXPECT_TRUE(none.isNull());
}

// ---- Brightness difference --------------------------------------------------------------------

TEST(BrightnessDifference, TinyFramesAtEveryDepth) {
    const std::vector<QRgb> black(4, qRgb(0, 0, 0));
    const struct {
        TDetectDepth Depth;
        std::vector<QRgb> Reference;
        std::int64_t Expected;
    } cases[] = {
        // The division drops the remainder: 60 -> 20, 764 -> 254, 2 -> 0, 301 -> 100.
        {TDetectDepth::Colors16M,
         {qRgb(30, 20, 10), qRgb(254, 255, 255), qRgb(1, 1, 0), qRgb(100, 100, 101)},
         20 * 20 + 254 * 254 + 0 + 100 * 100},
        // Brightness 255 and 128 are white, 127 black.
        {TDetectDepth::Colors2,
         {qRgb(255, 255, 255), qRgb(128, 128, 128), qRgb(127, 128, 128), qRgb(0, 0, 0)},
         2 * 65025},
        // Red 85, silver 192, maroon 42.
        {TDetectDepth::Colors16,
         {qRgb(255, 0, 0), qRgb(200, 200, 200), qRgb(100, 0, 0), qRgb(0, 0, 0)},
         85 * 85 + 192 * 192 + 42 * 42},
        {TDetectDepth::Colors256,
         {qRgb(255, 0, 0), qRgb(51, 102, 153), qRgb(0, 0, 0), qRgb(255, 255, 255)},
         85 * 85 + 102 * 102 + 255 * 255},
        // 5/6/5 bits widen by repeating their top bits: 31 -> 255, 1 -> 8 (red, blue), 1 -> 4.
        {TDetectDepth::Colors65535,
         {qRgb(255, 255, 255), qRgb(8, 4, 8), qRgb(7, 3, 7), qRgb(255, 0, 0)},
         65025 + 6 * 6 + 0 + 85 * 85},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Depth));
        const QImage reference = Reduced(Frame(2, 2, c.Reference), c.Depth);
        const QImage current = Reduced(Frame(2, 2, black), c.Depth);
        EXPECT_EQ(BrightnessDifference(reference, current), c.Expected);
        EXPECT_EQ(BrightnessDifference(current, reference), c.Expected);
        EXPECT_EQ(BrightnessDifference(reference, reference), 0);
    }
}

TEST(BrightnessDifference, MatchesTheCopiesOwnColoursOnTightOddRows) {
    for (const QSize size : {QSize(3, 4), QSize(5, 3), QSize(37, 5), QSize(130, 2)})
        for (const TDetectDepth depth : AllDepths) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(depth) << " " << size.width());
            const QImage reference = Reduced(RandomFrame(size.width(), size.height(), 1), depth);
            const QImage current = Reduced(RandomFrame(size.width(), size.height(), 2), depth);
            std::int64_t expected = 0;
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x) {
                    const int d =
                        Brightness(reference.pixel(x, y)) - Brightness(current.pixel(x, y));
                    expected += d * d;
                }
            std::vector<uchar> referenceBytes, currentBytes;
            const QImage tightReference = Tight(reference, referenceBytes);
            const QImage tightCurrent = Tight(current, currentBytes);
            ASSERT_EQ(tightReference.constBits(), referenceBytes.data());
            EXPECT_EQ(BrightnessDifference(tightReference, tightCurrent), expected);
            EXPECT_EQ(BrightnessDifference(reference, current), expected);
        }
}

TEST(BrightnessDifference, EveryRowKernelAgreesWithTheRuleAndStaysInsideTheRow) {
    std::mt19937 random(11);
    for (const BrightnessRows::TRowDifference kernel : BrightnessRows::AvailableBgrKernels())
        for (int width = 0; width < 90; ++width) {
            // Separate allocations, so a read past the row's last byte is an overflow.
            std::vector<std::uint8_t> a(static_cast<std::size_t>(3 * width));
            std::vector<std::uint8_t> b(a.size());
            for (std::size_t i = 0; i < a.size(); ++i) {
                a[i] = static_cast<std::uint8_t>(random());
                b[i] = static_cast<std::uint8_t>(width % 3 ? random() : 255 - a[i]);
            }
            std::uint64_t expected = 0;
            for (std::size_t p = 0; p < a.size(); p += 3) {
                const int d = (a[p] + a[p + 1] + a[p + 2]) / 3 - (b[p] + b[p + 1] + b[p + 2]) / 3;
                expected += static_cast<std::uint64_t>(d * d);
            }
            ASSERT_EQ(kernel(a.data(), b.data(), width), expected) << width;
        }
}

TEST(BrightnessDifference, RefusesCopiesThatDoNotMatch) {
    const QImage frame = RandomFrame(4, 4, 1);
    const QImage full = Reduced(frame, TDetectDepth::Colors16M);
    EXPECT_THROW(BrightnessDifference(full, Reduced(RandomFrame(4, 3, 1), TDetectDepth::Colors16M)),
                 EFrameError);
    EXPECT_THROW(BrightnessDifference(full, Reduced(frame, TDetectDepth::Colors65535)),
                 EFrameError);
    // 16 and 256 colours share a format but not a palette.
    EXPECT_THROW(BrightnessDifference(Reduced(frame, TDetectDepth::Colors16),
                                      Reduced(frame, TDetectDepth::Colors256)),
                 EFrameError);
    EXPECT_THROW(BrightnessDifference(frame.convertToFormat(QImage::Format_RGB32),
                                      frame.convertToFormat(QImage::Format_RGB32)),
                 EFrameError);
    EXPECT_THROW(BrightnessDifference(QImage(), full), EFrameError);
    EXPECT_EQ(BrightnessDifference(QImage(), QImage()), 0);
}

} // namespace
