#include "FloorLoop.h"

// Cloned like the kernel it is measured against: AVX-512, AVX2 and the baseline.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) std::uint32_t
FloorRow(const std::uint8_t* a, const std::uint8_t* b, int bytes) {
    std::uint32_t total = 0;
    for (int i = 0; i < bytes; ++i) {
        const int d = a[i] - b[i];
        total += static_cast<std::uint32_t>(d * d);
    }
    return total;
}
