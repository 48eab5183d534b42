#pragma once

#include <cstdint>

// The sum of squared differences of the bytes of two equal rows: the least any comparison of
// those bytes costs.
std::uint32_t FloorRow(const std::uint8_t* a, const std::uint8_t* b, int bytes);
std::uint32_t FloorRowAtBuildFlags(const std::uint8_t* a, const std::uint8_t* b, int bytes);
