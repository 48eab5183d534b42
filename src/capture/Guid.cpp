#include "Guid.h"

std::array<std::uint8_t, 16> TGuid::ToBytes() const {
    std::array<std::uint8_t, 16> bytes{};
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(Data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        bytes[4 + i] = static_cast<std::uint8_t>(Data2 >> (8 * i));
        bytes[6 + i] = static_cast<std::uint8_t>(Data3 >> (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        bytes[8 + i] = Data4[i];
    return bytes;
}

TGuid TGuid::FromBytes(const std::array<std::uint8_t, 16>& bytes) {
    TGuid guid;
    for (int i = 0; i < 4; ++i)
        guid.Data1 |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    for (int i = 0; i < 2; ++i) {
        guid.Data2 = static_cast<std::uint16_t>(guid.Data2 | bytes[4 + i] << (8 * i));
        guid.Data3 = static_cast<std::uint16_t>(guid.Data3 | bytes[6 + i] << (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = bytes[8 + i];
    return guid;
}
