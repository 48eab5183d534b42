#pragma once

// The fixed palettes of the reduced detect depths and the nearest palette entry of a colour.
//
// The reduced depths use fixed palettes, so that both working copies reduce a colour in the same
// way and the result never depends on what the frame shows: the classic 16-colour VGA/Windows
// palette, and for 256 colours a 6x6x6 colour cube followed by a 40-step grey ramp. "Nearest"
// is the first entry at the least squared distance in red, green and blue.

#include "FrameKernels.h"

#include <QList>
#include <QRgb>

#include <array>
#include <cstdint>
#include <vector>

namespace WorkingPalettes {

struct TRgb {
    int R, G, B;
};

constexpr std::array<TRgb, 16> Vga16{{{0, 0, 0},
                                      {128, 0, 0},
                                      {0, 128, 0},
                                      {128, 128, 0},
                                      {0, 0, 128},
                                      {128, 0, 128},
                                      {0, 128, 128},
                                      {192, 192, 192},
                                      {128, 128, 128},
                                      {255, 0, 0},
                                      {0, 255, 0},
                                      {255, 255, 0},
                                      {0, 0, 255},
                                      {255, 0, 255},
                                      {0, 255, 255},
                                      {255, 255, 255}}};

constexpr int CubeSteps = 6;
constexpr int CubeStepValue = 51;
constexpr int CubeColors = CubeSteps * CubeSteps * CubeSteps;
constexpr int RampColors = 256 - CubeColors;

// The ramp cuts 0..255 into 41 equal parts, so none of its greys repeats a grey of the cube.
constexpr int RampValue(int k) {
    return ((k + 1) * 2 * 255 + 41) / 82;
}

constexpr TRgb Palette256(int index) {
    if (index >= CubeColors) {
        const int grey = RampValue(index - CubeColors);
        return {grey, grey, grey};
    }
    return {index / 36 * CubeStepValue, index / 6 % 6 * CubeStepValue, index % 6 * CubeStepValue};
}

constexpr int Square(int v) {
    return v * v;
}

constexpr int Distance(TRgb c, int r, int g, int b) {
    return Square(c.R - r) + Square(c.G - g) + Square(c.B - b);
}

constexpr int ColorBrightness(TRgb c) {
    return (c.R + c.G + c.B) / 3;
}

constexpr std::array<std::uint8_t, 256> BrightnessTable(TDetectDepth depth) {
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        if (depth == TDetectDepth::Colors256)
            table[i] = static_cast<std::uint8_t>(ColorBrightness(Palette256(i)));
        else if (i < 16)
            table[i] = static_cast<std::uint8_t>(ColorBrightness(Vga16[i]));
    }
    return table;
}

constexpr auto Vga16Brightness = BrightnessTable(TDetectDepth::Colors16);
constexpr auto Palette256Brightness = BrightnessTable(TDetectDepth::Colors256);

inline QList<QRgb> ColorTable(TDetectDepth depth) {
    QList<QRgb> table;
    if (depth == TDetectDepth::Colors2)
        table = {qRgb(0, 0, 0), qRgb(255, 255, 255)};
    else if (depth == TDetectDepth::Colors16)
        for (const TRgb c : Vga16)
            table.append(qRgb(c.R, c.G, c.B));
    else if (depth == TDetectDepth::Colors256)
        for (int i = 0; i < 256; ++i)
            table.append(qRgb(Palette256(i).R, Palette256(i).G, Palette256(i).B));
    return table;
}

// The first palette entry at the least squared distance.
inline std::uint8_t NearestVgaBySearch(int r, int g, int b) {
    int best = 0;
    int bestDistance = Distance(Vga16[0], r, g, b);
    for (int i = 1; i < 16; ++i)
        if (const int distance = Distance(Vga16[i], r, g, b); distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    return static_cast<std::uint8_t>(best);
}

// Nearest VGA colours through a table of 8x8x8 cells. The set of colours that an entry wins is
// convex, so a cell whose eight corners all go to one entry goes to it entirely; the other cells
// (near a border between two entries) are searched.
class TVgaLookup {
  public:
    TVgaLookup() {
        // The nearest entry at every corner value: 8c for even indices, 8c + 7 for odd ones.
        std::vector<std::uint8_t> corners(64 * 64 * 64);
        const auto value = [](int i) {
            return i / 2 * 8 + i % 2 * 7;
        };
        for (int r = 0; r < 64; ++r)
            for (int g = 0; g < 64; ++g)
                for (int b = 0; b < 64; ++b)
                    corners[(r * 64 + g) * 64 + b] =
                        NearestVgaBySearch(value(r), value(g), value(b));
        for (int cell = 0; cell < CellCount; ++cell) {
            const int r = cell >> 10, g = cell >> 5 & 31, b = cell & 31;
            const std::uint8_t first = corners[(r * 2 * 64 + g * 2) * 64 + b * 2];
            bool same = true;
            for (int corner = 1; corner < 8; ++corner)
                same = same &&
                       corners[((r * 2 + (corner >> 2)) * 64 + g * 2 + (corner >> 1 & 1)) * 64 +
                               b * 2 + (corner & 1)] == first;
            Cells[cell] = same ? first : Undecided;
        }
    }

    std::uint8_t Nearest(int r, int g, int b) const {
        const std::uint8_t cell = Cells[(r >> 3) << 10 | (g >> 3) << 5 | b >> 3];
        return cell != Undecided ? cell : NearestVgaBySearch(r, g, b);
    }

  private:
    static constexpr int CellCount = 32 * 32 * 32;
    static constexpr std::uint8_t Undecided = 0xFF;
    std::array<std::uint8_t, CellCount> Cells{};
};

inline const TVgaLookup& VgaLookup() {
    static const TVgaLookup lookup;
    return lookup;
}

// For every channel value: the nearest step of the cube and the square of the distance to it.
struct TCubeChannel {
    std::uint8_t Step;
    std::uint16_t Error;
};

constexpr std::array<TCubeChannel, 256> CubeChannels = [] {
    std::array<TCubeChannel, 256> table{};
    for (int v = 0; v < 256; ++v) {
        const int step = (v * (CubeSteps - 1) + 127) / 255;
        table[v] = {static_cast<std::uint8_t>(step),
                    static_cast<std::uint16_t>(Square(v - step * CubeStepValue))};
    }
    return table;
}();

// For every sum of the three bytes, the ramp grey nearest to their mean.
constexpr std::array<std::uint8_t, 766> RampBySum = [] {
    std::array<std::uint8_t, 766> table{};
    for (int sum = 0; sum < 766; ++sum) {
        int best = 0;
        for (int k = 1; k < RampColors; ++k)
            if (Square(3 * RampValue(k) - sum) < Square(3 * RampValue(best) - sum))
                best = k;
        table[sum] = static_cast<std::uint8_t>(best);
    }
    return table;
}();

// The cube's nearest colour is the nearest step of each channel, the ramp's the grey nearest to
// the mean; the nearer of the two (the cube on a tie) is the nearest entry of the whole palette.
inline std::uint8_t Nearest256(int r, int g, int b) {
    const TCubeChannel cr = CubeChannels[r], cg = CubeChannels[g], cb = CubeChannels[b];
    const int ramp = RampBySum[r + g + b];
    const int grey = RampValue(ramp);
    const bool greyNearer =
        Square(r - grey) + Square(g - grey) + Square(b - grey) < cr.Error + cg.Error + cb.Error;
    return static_cast<std::uint8_t>(greyNearer ? CubeColors + ramp
                                                : cr.Step * 36 + cg.Step * 6 + cb.Step);
}

} // namespace WorkingPalettes
