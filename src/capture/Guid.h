#pragma once

#include <array>
#include <compare>
#include <cstdint>

// A GUID with the published field layout, so that subtype values stored in the
// configuration text mean the same thing everywhere.
struct TGuid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    constexpr bool IsNull() const { return *this == TGuid{}; }
    friend constexpr bool operator==(const TGuid&, const TGuid&) = default;
    friend constexpr auto operator<=>(const TGuid&, const TGuid&) = default;

    // The 16 bytes as they lie in memory: Data1, Data2 and Data3 least significant byte first.
    std::array<std::uint8_t, 16> ToBytes() const;
    static TGuid FromBytes(const std::array<std::uint8_t, 16>& bytes);
};

// The media-type GUID family XXXXXXXX-0000-0010-8000-00AA00389B71 built from a FOURCC.
constexpr TGuid FourCCGuid(std::uint32_t fourcc) {
    return {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr std::uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// Published major types, format types and subtypes.
inline constexpr TGuid MEDIATYPE_Video = FourCCGuid(MakeFourCC('v', 'i', 'd', 's'));
inline constexpr TGuid MEDIATYPE_Audio = FourCCGuid(MakeFourCC('a', 'u', 'd', 's'));
inline constexpr TGuid MEDIATYPE_Interleaved = FourCCGuid(MakeFourCC('i', 'a', 'v', 's'));

inline constexpr TGuid FORMAT_VideoInfo = {
    0x05589f80, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
inline constexpr TGuid FORMAT_VideoInfo2 = {
    0xf72a76a0, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
inline constexpr TGuid FORMAT_WaveFormatEx = {
    0x05589f81, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};

namespace guid_detail {
constexpr TGuid RgbGuid(std::uint32_t data1) {
    return {data1, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}};
}
} // namespace guid_detail

inline constexpr TGuid MEDIASUBTYPE_RGB1 = guid_detail::RgbGuid(0xe436eb78);
inline constexpr TGuid MEDIASUBTYPE_RGB4 = guid_detail::RgbGuid(0xe436eb79);
inline constexpr TGuid MEDIASUBTYPE_RGB8 = guid_detail::RgbGuid(0xe436eb7a);
inline constexpr TGuid MEDIASUBTYPE_RGB565 = guid_detail::RgbGuid(0xe436eb7b);
inline constexpr TGuid MEDIASUBTYPE_RGB555 = guid_detail::RgbGuid(0xe436eb7c);
inline constexpr TGuid MEDIASUBTYPE_RGB24 = guid_detail::RgbGuid(0xe436eb7d);
inline constexpr TGuid MEDIASUBTYPE_RGB32 = guid_detail::RgbGuid(0xe436eb7e);
inline constexpr TGuid MEDIASUBTYPE_Avi = guid_detail::RgbGuid(0xe436eb88);
inline constexpr TGuid MEDIASUBTYPE_ARGB32 = {
    0x773c9ac0, 0x3274, 0x11d0, {0xb7, 0x24, 0x00, 0xaa, 0x00, 0x6c, 0x1a, 0x01}};
inline constexpr TGuid MEDIASUBTYPE_PCM = FourCCGuid(0x00000001);
inline constexpr TGuid MEDIASUBTYPE_YUY2 = FourCCGuid(MakeFourCC('Y', 'U', 'Y', '2'));
inline constexpr TGuid MEDIASUBTYPE_UYVY = FourCCGuid(MakeFourCC('U', 'Y', 'V', 'Y'));
inline constexpr TGuid MEDIASUBTYPE_YVYU = FourCCGuid(MakeFourCC('Y', 'V', 'Y', 'U'));
inline constexpr TGuid MEDIASUBTYPE_Y41P = FourCCGuid(MakeFourCC('Y', '4', '1', 'P'));
inline constexpr TGuid MEDIASUBTYPE_Y411 = FourCCGuid(MakeFourCC('Y', '4', '1', '1'));
inline constexpr TGuid MEDIASUBTYPE_Y211 = FourCCGuid(MakeFourCC('Y', '2', '1', '1'));
inline constexpr TGuid MEDIASUBTYPE_YVU9 = FourCCGuid(MakeFourCC('Y', 'V', 'U', '9'));
inline constexpr TGuid MEDIASUBTYPE_NV12 = FourCCGuid(MakeFourCC('N', 'V', '1', '2'));
inline constexpr TGuid MEDIASUBTYPE_I420 = FourCCGuid(MakeFourCC('I', '4', '2', '0'));
inline constexpr TGuid MEDIASUBTYPE_YV12 = FourCCGuid(MakeFourCC('Y', 'V', '1', '2'));
inline constexpr TGuid MEDIASUBTYPE_MJPG = FourCCGuid(MakeFourCC('M', 'J', 'P', 'G'));
inline constexpr TGuid MEDIASUBTYPE_dvsd = FourCCGuid(MakeFourCC('d', 'v', 's', 'd'));
