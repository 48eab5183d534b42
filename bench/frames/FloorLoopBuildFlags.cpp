#include "FloorLoop.h"

// The same loop as FloorRow, at the flags the rest of the build uses.
std::uint32_t FloorRowAtBuildFlags(const std::uint8_t* a, const std::uint8_t* b, int bytes) {
    std::uint32_t total = 0;
    for (int i = 0; i < bytes; ++i) {
        const int d = a[i] - b[i];
        total += static_cast<std::uint32_t>(d * d);
    }
    return total;
}
