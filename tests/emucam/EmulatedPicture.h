#pragma once

// What the emulated USB camera shows, shared by the camera and the tests that check what they
// grabbed: four flat quadrants and a dark square that moves along the horizontal middle band
// only, so that anything well away from that band never changes. Plain C++ on purpose: a test
// includes it without GStreamer or Qt.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace emucam {

struct TRgb {
    std::uint8_t R;
    std::uint8_t G;
    std::uint8_t B;
    friend constexpr bool operator==(const TRgb&, const TRgb&) = default;
};

inline constexpr TRgb TopLeftColour{200, 40, 40};
inline constexpr TRgb TopRightColour{40, 180, 60};
inline constexpr TRgb BottomLeftColour{50, 70, 210};
inline constexpr TRgb BottomRightColour{220, 220, 220};
inline constexpr TRgb SquareColour{20, 20, 20};

// The square crosses the picture from left to right in this many frames and starts over; the
// camera sends loop frame n % LoopFrames as its n-th frame.
inline constexpr int LoopFrames = 30;

// An eighth of the height, kept even so that the square covers whole YUY2 pixel pairs
// vertically too (MJPEG blocks blur its edges anyway).
constexpr int SquareSide(int height) {
    const int side = (height / 8) & ~1;
    return side < 2 ? 2 : side;
}

// The rows the square can cover: [SquareBandTop, SquareBandBottom).
constexpr int SquareBandTop(int height) {
    return (height - SquareSide(height)) / 2;
}
constexpr int SquareBandBottom(int height) {
    return SquareBandTop(height) + SquareSide(height);
}

// The square reaches every column, so only the row decides. A margin widens the band on both
// sides, for frames whose compression smears the square's edges.
constexpr bool OutsideSquareBand(int y, int height, int margin = 0) {
    return y < SquareBandTop(height) - margin || y >= SquareBandBottom(height) + margin;
}

// The square's left column in loop frame `frame` (taken modulo LoopFrames).
constexpr int SquareLeft(int frame, int width, int height) {
    const int step = ((frame % LoopFrames) + LoopFrames) % LoopFrames;
    const int travel = width - SquareSide(height);
    return travel <= 0 ? 0 : step * travel / (LoopFrames - 1);
}

// The quadrant's colour at a point, whatever the square covers.
constexpr TRgb QuadrantColour(int x, int y, int width, int height) {
    const bool left = x < width / 2;
    if (y < height / 2)
        return left ? TopLeftColour : TopRightColour;
    return left ? BottomLeftColour : BottomRightColour;
}

constexpr bool InSquare(int frame, int x, int y, int width, int height) {
    const int left = SquareLeft(frame, width, height);
    return !OutsideSquareBand(y, height) && x >= left && x < left + SquareSide(height);
}

// The colour of one pixel of loop frame `frame`.
constexpr TRgb PixelAt(int frame, int x, int y, int width, int height) {
    return InSquare(frame, x, y, width, height) ? SquareColour
                                                : QuadrantColour(x, y, width, height);
}

// Loop frame `frame` as 24-bit RGB rows, top row first, `stride` bytes apart (at least
// width * 3) into `rgb`.
inline void RenderFrame(int frame, int width, int height, std::uint8_t* rgb, std::size_t stride) {
    const auto put = [](std::uint8_t* pixel, TRgb colour) {
        pixel[0] = colour.R;
        pixel[1] = colour.G;
        pixel[2] = colour.B;
    };
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    // All rows of a half are alike, so each half is drawn once and copied down; that keeps
    // the sanitizer builds, which instrument every pixel written, quick.
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = rgb + static_cast<std::size_t>(y) * stride;
        if (y == 0 || y == height / 2)
            for (int x = 0; x < width; ++x)
                put(row + 3 * x, QuadrantColour(x, y, width, height));
        else
            std::memcpy(row, row - stride, rowBytes);
    }
    const int left = SquareLeft(frame, width, height);
    const int right = left + SquareSide(height);
    for (int y = SquareBandTop(height); y < SquareBandBottom(height) && y < height; ++y)
        for (int x = left; x < right && x < width; ++x)
            put(rgb + static_cast<std::size_t>(y) * stride + 3 * x, SquareColour);
}

inline std::vector<std::uint8_t> RenderFrame(int frame, int width, int height) {
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> rgb(stride * static_cast<std::size_t>(height));
    RenderFrame(frame, width, height, rgb.data(), stride);
    return rgb;
}

} // namespace emucam
