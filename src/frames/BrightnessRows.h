#pragma once

// Row kernels of the 24-bit brightness difference: the sum over a row of
// ((b + g + r) div 3 of one row - the same of the other)^2, three bytes (blue, green, red) per
// pixel. A row holds exactly 3 * width readable bytes; no kernel reads beyond them.
//
// The plain kernel is the reference. The vector kernels divide by 3 as (sum * 21846) >> 16,
// which is exact for every sum up to 765, and leave the last pixels of a row to a narrower
// kernel, so that their loads never pass the row's end.

#include <array>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KAMVERO_X86_KERNELS 1
#endif

namespace BrightnessRows {

// A 32-bit lane adds at most one square of 255 per pixel, so no lane overflows in a call of
// this many pixels; callers split longer rows.
constexpr int MaxPixelsPerCall = 1 << 16;

using TRowDifference = std::uint64_t (*)(const std::uint8_t* a, const std::uint8_t* b, int width);

inline int Brightness(const std::uint8_t* pixel) {
    return (pixel[0] + pixel[1] + pixel[2]) / 3;
}

inline std::uint64_t BgrPlain(const std::uint8_t* a, const std::uint8_t* b, int width) {
    std::uint64_t total = 0;
    for (int x = 0; x < width; ++x) {
        const int d = Brightness(a + 3 * x) - Brightness(b + 3 * x);
        total += static_cast<std::uint64_t>(d * d);
    }
    return total;
}

#ifdef KAMVERO_X86_KERNELS

// Four pixels (12 of the 16 bytes) go into four 32-bit lanes as (b, g, r, 0); adding the byte
// pairs, and then the pairs multiplied by 21846, leaves 21846 * (b + g + r) in each lane: its
// upper 16-bit half is the brightness.
__attribute__((target("ssse3"))) inline __m128i ScaledSums4(const std::uint8_t* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i pairs = _mm_maddubs_epi16(_mm_shuffle_epi8(bytes, spread), _mm_set1_epi8(1));
    return _mm_madd_epi16(pairs, _mm_set1_epi16(21846));
}

// Subtracting 16-bit halves puts the brightness difference in the upper half of each lane;
// multiplying it by itself with the lower half cleared adds its square alone.
__attribute__((target("ssse3"))) inline std::uint64_t BgrSsse3(const std::uint8_t* a,
                                                               const std::uint8_t* b, int width) {
    const __m128i upper = _mm_set1_epi32(static_cast<int>(0xFFFF0000u));
    __m128i lanes = _mm_setzero_si128();
    int x = 0;
    // A step reads bytes 3x .. 3x + 15.
    for (; x + 6 <= width; x += 4) {
        const __m128i d = _mm_sub_epi16(ScaledSums4(a + 3 * x), ScaledSums4(b + 3 * x));
        lanes = _mm_add_epi32(lanes, _mm_madd_epi16(d, _mm_and_si128(d, upper)));
    }
    alignas(16) std::uint32_t parts[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(parts), lanes);
    const std::uint64_t total = std::uint64_t{parts[0]} + parts[1] + parts[2] + parts[3];
    return total + BgrPlain(a + 3 * x, b + 3 * x, width - x);
}

// The same with eight pixels, four in each 128-bit half.
__attribute__((target("avx2"))) inline __m256i ScaledSums8(const std::uint8_t* p) {
    const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 12),
                                              reinterpret_cast<const __m128i*>(p));
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i pairs =
        _mm256_maddubs_epi16(_mm256_shuffle_epi8(bytes, spread), _mm256_set1_epi8(1));
    return _mm256_madd_epi16(pairs, _mm256_set1_epi16(21846));
}

__attribute__((target("avx2"))) inline std::uint64_t BgrAvx2(const std::uint8_t* a,
                                                             const std::uint8_t* b, int width) {
    const __m256i upper = _mm256_set1_epi32(static_cast<int>(0xFFFF0000u));
    __m256i lanes = _mm256_setzero_si256();
    int x = 0;
    // A step reads bytes 3x .. 3x + 27.
    for (; x + 10 <= width; x += 8) {
        const __m256i d = _mm256_sub_epi16(ScaledSums8(a + 3 * x), ScaledSums8(b + 3 * x));
        lanes = _mm256_add_epi32(lanes, _mm256_madd_epi16(d, _mm256_and_si256(d, upper)));
    }
    alignas(32) std::uint32_t parts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), lanes);
    std::uint64_t total = 0;
    for (const std::uint32_t part : parts)
        total += part;
    return total + BgrSsse3(a + 3 * x, b + 3 * x, width - x);
}

// Sixteen pixels (48 of the 64 bytes) at once: one byte permutation spreads them into the
// sixteen lanes, zeroing every fourth byte.
__attribute__((target("avx512bw,avx512vbmi"))) inline __m512i ScaledSums16(const std::uint8_t* p) {
    static constexpr std::array<std::uint8_t, 64> spread = [] {
        std::array<std::uint8_t, 64> indices{};
        for (int i = 0; i < 64; ++i)
            indices[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i / 4 * 3 + i % 4);
        return indices;
    }();
    const __m512i bytes = _mm512_maskz_permutexvar_epi8(
        0x7777777777777777ull, _mm512_loadu_si512(spread.data()), _mm512_loadu_si512(p));
    const __m512i pairs = _mm512_maddubs_epi16(bytes, _mm512_set1_epi8(1));
    return _mm512_madd_epi16(pairs, _mm512_set1_epi16(21846));
}

__attribute__((target("avx512bw,avx512vbmi"))) inline std::uint64_t
BgrAvx512(const std::uint8_t* a, const std::uint8_t* b, int width) {
    const __m512i upper = _mm512_set1_epi32(static_cast<int>(0xFFFF0000u));
    __m512i lanes = _mm512_setzero_si512();
    int x = 0;
    // A step reads bytes 3x .. 3x + 63.
    for (; x + 22 <= width; x += 16) {
        const __m512i d = _mm512_sub_epi16(ScaledSums16(a + 3 * x), ScaledSums16(b + 3 * x));
        lanes = _mm512_add_epi32(lanes, _mm512_madd_epi16(d, _mm512_and_si512(d, upper)));
    }
    alignas(64) std::array<std::uint32_t, 16> parts{};
    _mm512_store_si512(parts.data(), lanes);
    std::uint64_t total = 0;
    for (const std::uint32_t part : parts)
        total += part;
    return total + BgrAvx2(a + 3 * x, b + 3 * x, width - x);
}

#endif

// The kernels this processor runs, fastest first; the plain one is always last.
inline std::vector<TRowDifference> AvailableBgrKernels() {
    std::vector<TRowDifference> kernels;
#ifdef KAMVERO_X86_KERNELS
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
        kernels.push_back(&BgrAvx512);
    if (__builtin_cpu_supports("avx2"))
        kernels.push_back(&BgrAvx2);
    if (__builtin_cpu_supports("ssse3"))
        kernels.push_back(&BgrSsse3);
#endif
    kernels.push_back(&BgrPlain);
    return kernels;
}

} // namespace BrightnessRows
