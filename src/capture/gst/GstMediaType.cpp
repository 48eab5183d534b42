#include "GstMediaType.h"

#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string_view>

namespace {

constexpr std::uint32_t BI_RGB = 0;
constexpr std::uint32_t BI_BITFIELDS = 3;
constexpr double UnitsPerSecond = 10'000'000.0;

// One subtype and what it is called on the GStreamer side.
struct TSubtypeEntry {
    TGuid Subtype;
    const char* Media;
    const char* Format; // nullptr for compressed media
    std::uint16_t BitCount;
    std::uint32_t Compression;
};

// RGB subtypes keep the bitmap's byte order (blue first), hence BGR for RGB24. RGB555 has a
// bit count of 16, as its published bitmap header says. Y411 is the packed 4:1:1 layout that
// GStreamer calls IYU1; Y41P and Y211 have no GStreamer format, so no device offers them here.
const std::array<TSubtypeEntry, 16>& SubtypeTable() {
    static const std::array<TSubtypeEntry, 16> table{{
        {MEDIASUBTYPE_YUY2, "video/x-raw", "YUY2", 16, MEDIASUBTYPE_YUY2.Data1},
        {MEDIASUBTYPE_UYVY, "video/x-raw", "UYVY", 16, MEDIASUBTYPE_UYVY.Data1},
        {MEDIASUBTYPE_YVYU, "video/x-raw", "YVYU", 16, MEDIASUBTYPE_YVYU.Data1},
        {MEDIASUBTYPE_I420, "video/x-raw", "I420", 12, MEDIASUBTYPE_I420.Data1},
        {MEDIASUBTYPE_NV12, "video/x-raw", "NV12", 12, MEDIASUBTYPE_NV12.Data1},
        {MEDIASUBTYPE_YV12, "video/x-raw", "YV12", 12, MEDIASUBTYPE_YV12.Data1},
        {MEDIASUBTYPE_YVU9, "video/x-raw", "YVU9", 9, MEDIASUBTYPE_YVU9.Data1},
        {MEDIASUBTYPE_Y411, "video/x-raw", "IYU1", 12, MEDIASUBTYPE_Y411.Data1},
        {MEDIASUBTYPE_RGB24, "video/x-raw", "BGR", 24, BI_RGB},
        {MEDIASUBTYPE_RGB32, "video/x-raw", "BGRx", 32, BI_RGB},
        {MEDIASUBTYPE_ARGB32, "video/x-raw", "BGRA", 32, BI_RGB},
        {MEDIASUBTYPE_RGB565, "video/x-raw", "RGB16", 16, BI_BITFIELDS},
        {MEDIASUBTYPE_RGB555, "video/x-raw", "RGB15", 16, BI_RGB},
        {MEDIASUBTYPE_RGB8, "video/x-raw", "GRAY8", 8, BI_RGB},
        {MEDIASUBTYPE_MJPG, "image/jpeg", nullptr, 24, MEDIASUBTYPE_MJPG.Data1},
        {MEDIASUBTYPE_dvsd, "video/x-dv", nullptr, 24, MEDIASUBTYPE_dvsd.Data1},
    }};
    return table;
}

const TSubtypeEntry* EntryForSubtype(const TGuid& subtype) {
    for (const TSubtypeEntry& entry : SubtypeTable())
        if (entry.Subtype == subtype)
            return &entry;
    return nullptr;
}

const TSubtypeEntry* EntryForStructure(const GstStructure* structure) {
    const std::string_view media = gst_structure_get_name(structure);
    const char* format = gst_structure_get_string(structure, "format");
    for (const TSubtypeEntry& entry : SubtypeTable()) {
        if (media != entry.Media)
            continue;
        if (!entry.Format || (format && std::string_view(format) == entry.Format))
            return &entry;
    }
    return nullptr;
}

std::int64_t AvgTimePerFrameOf(const GstStructure* structure) {
    int num = 0;
    int den = 1;
    if (!gst_structure_get_fraction(structure, "framerate", &num, &den))
        return 0;
    return AvgTimePerFrameFromFrameRate({num, den});
}

// Raw formats know their own image size and row stride; compressed ones get an upper bound.
std::uint32_t ImageSize(const GstCaps* caps, int width, int height, std::uint16_t bitCount,
                        TRowOrder order, const TSubtypeEntry& entry) {
    GstVideoInfo info;
    if (entry.Format && gst_video_info_from_caps(&info, caps)) {
        if (order == TRowOrder::TopDown && GST_VIDEO_INFO_N_PLANES(&info) == 1)
            return static_cast<std::uint32_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) * height);
        return static_cast<std::uint32_t>(GST_VIDEO_INFO_SIZE(&info));
    }
    return static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) * bitCount / 8;
}

struct TSize {
    int Width;
    int Height;
};

// The sizes a size range is narrowed to; a range gives only those of them that it holds.
constexpr std::array<TSize, 8> CommonSizes{{{160, 120},
                                            {176, 144},
                                            {320, 240},
                                            {352, 288},
                                            {640, 480},
                                            {800, 600},
                                            {1280, 720},
                                            {1920, 1080}}};

bool ValueHolds(const GValue* value, int number) {
    if (G_VALUE_HOLDS_INT(value))
        return g_value_get_int(value) == number;
    if (GST_VALUE_HOLDS_INT_RANGE(value)) {
        const int step = std::max(1, gst_value_get_int_range_step(value));
        return number >= gst_value_get_int_range_min(value) &&
               number <= gst_value_get_int_range_max(value) &&
               (number - gst_value_get_int_range_min(value)) % step == 0;
    }
    return false;
}

std::vector<TSize> SizesOf(const GstStructure* structure) {
    int width = 0;
    int height = 0;
    if (gst_structure_get_int(structure, "width", &width) &&
        gst_structure_get_int(structure, "height", &height))
        return {{width, height}};
    if (gst_structure_has_name(structure, "video/x-dv") &&
        !gst_structure_has_field(structure, "width"))
        return {{720, 576}}; // The stream carries its size; PAL is the usual capture.
    const GValue* widths = gst_structure_get_value(structure, "width");
    const GValue* heights = gst_structure_get_value(structure, "height");
    std::vector<TSize> sizes;
    if (!widths || !heights)
        return sizes;
    for (const TSize& size : CommonSizes)
        if (ValueHolds(widths, size.Width) && ValueHolds(heights, size.Height))
            sizes.push_back(size);
    return sizes;
}

// The format names of a structure: one string or a list of them; none for compressed media.
std::vector<const char*> FormatsOf(const GstStructure* structure) {
    const GValue* value = gst_structure_get_value(structure, "format");
    if (!value)
        return {nullptr};
    if (G_VALUE_HOLDS_STRING(value))
        return {g_value_get_string(value)};
    std::vector<const char*> formats;
    if (GST_VALUE_HOLDS_LIST(value))
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            const GValue* item = gst_value_list_get_value(value, i);
            if (G_VALUE_HOLDS_STRING(item))
                formats.push_back(g_value_get_string(item));
        }
    return formats;
}

void AddRate(TFraction rate, std::vector<TFraction>& rates) {
    const auto same = [rate](TFraction known) {
        return SameRate(known, rate);
    };
    if (rate.Num > 0 && rate.Den > 0 && std::none_of(rates.begin(), rates.end(), same))
        rates.push_back(rate);
}

TFraction FractionOf(const GValue* value) {
    return {gst_value_get_fraction_numerator(value), gst_value_get_fraction_denominator(value)};
}

bool InRange(TFraction rate, const GValue* range) {
    const double value = RateValue(rate);
    return value >= RateValue(FractionOf(gst_value_get_fraction_range_min(range))) &&
           value <= RateValue(FractionOf(gst_value_get_fraction_range_max(range)));
}

// The rates a framerate field names: a range gives the common rates inside it.
void AddRates(const GValue* value, std::vector<TFraction>& rates) {
    if (!value)
        return;
    if (GST_VALUE_HOLDS_FRACTION(value)) {
        AddRate(FractionOf(value), rates);
    } else if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            AddRates(gst_value_list_get_value(value, i), rates);
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
        static constexpr TFraction Common[] = {{60, 1}, {50, 1}, {30, 1}, {30000, 1001},
                                               {25, 1}, {24, 1}, {20, 1}, {15, 1},
                                               {10, 1}, {15, 2}, {5, 1}};
        for (const TFraction rate : Common)
            if (InRange(rate, value))
                AddRate(rate, rates);
    }
}

std::optional<TFraction> NearestRate(const std::vector<TFraction>& rates, TFraction wanted) {
    const auto distance = [wanted](TFraction rate) {
        return std::abs(RateValue(rate) - RateValue(wanted));
    };
    const auto nearest =
        std::min_element(rates.begin(), rates.end(),
                         [&](TFraction a, TFraction b) { return distance(a) < distance(b); });
    return nearest == rates.end() ? std::nullopt : std::optional(*nearest);
}

// The rates of a framerate field that may serve for `wanted`: a range holds every rate between
// its ends, so it serves with the nearest of them.
void AddRatesFor(const GValue* value, TFraction wanted, std::vector<TFraction>& rates) {
    if (!value || !GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
        AddRates(value, rates);
        return;
    }
    const TFraction low = FractionOf(gst_value_get_fraction_range_min(value));
    const TFraction high = FractionOf(gst_value_get_fraction_range_max(value));
    AddRate(InRange(wanted, value)               ? wanted
            : RateValue(wanted) < RateValue(low) ? low
                                                 : high,
            rates);
}

std::optional<TFraction> HighestRate(const std::vector<TFraction>& rates) {
    const auto highest = std::max_element(rates.begin(), rates.end(), [](TFraction a, TFraction b) {
        return RateValue(a) < RateValue(b);
    });
    return highest == rates.end() ? std::nullopt : std::optional(*highest);
}

// One fixed mode cut out of a structure of offered modes, at the highest rate it offers.
TGstCapsRef FixedMode(const GstStructure* offered, const char* format, TSize size) {
    GstStructure* mode = gst_structure_copy(offered);
    if (format)
        gst_structure_set(mode, "format", G_TYPE_STRING, format, nullptr);
    gst_structure_set(mode, "width", G_TYPE_INT, size.Width, "height", G_TYPE_INT, size.Height,
                      nullptr);
    std::vector<TFraction> rates;
    AddRates(gst_structure_get_value(mode, "framerate"), rates);
    if (const std::optional<TFraction> highest = HighestRate(rates))
        gst_structure_set(mode, "framerate", GST_TYPE_FRACTION, highest->Num, highest->Den,
                          nullptr);
    // Both calls take over what they are given: the structure, then the caps.
    return TGstCapsRef::Adopt(gst_caps_fixate(gst_caps_new_full(mode, nullptr)));
}

bool SameMode(const TAMMediaType& a, const TAMMediaType& b) {
    return a.subtype == b.subtype && a.Bitmap && b.Bitmap &&
           a.Bitmap->biWidth == b.Bitmap->biWidth && a.Bitmap->biHeight == b.Bitmap->biHeight;
}

const char* WaveFormatName(std::uint16_t bits) {
    switch (bits) {
    case 8:
        return "U8";
    case 16:
        return "S16LE";
    case 24:
        return "S24LE";
    case 32:
        return "S32LE";
    default:
        return nullptr;
    }
}

std::uint16_t WaveBitsOf(std::string_view format) {
    if (format == "U8" || format == "S8")
        return 8;
    if (format == "S16LE" || format == "U16LE")
        return 16;
    if (format == "S24LE" || format == "U24LE")
        return 24;
    if (format == "S32LE" || format == "U32LE" || format == "F32LE")
        return 32;
    if (format == "F64LE")
        return 64;
    return 0;
}

} // namespace

std::optional<TMediaKind> KindOfMajorType(const TGuid* majorType) {
    if (!majorType)
        return TMediaKind::Any;
    if (*majorType == MEDIATYPE_Video)
        return TMediaKind::Video;
    if (*majorType == MEDIATYPE_Audio)
        return TMediaKind::Audio;
    if (*majorType == MEDIATYPE_Interleaved)
        return TMediaKind::Interleaved;
    return std::nullopt;
}

bool KindMatches(TMediaKind offered, TMediaKind wanted) {
    return wanted == TMediaKind::Any || offered == TMediaKind::Any || offered == wanted;
}

TMediaKind KindOfCaps(const GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps))
        return TMediaKind::Any;
    const std::string_view name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    if (name == "video/x-dv")
        return TMediaKind::Interleaved;
    if (name.starts_with("video/") || name.starts_with("image/"))
        return TMediaKind::Video;
    if (name.starts_with("audio/"))
        return TMediaKind::Audio;
    return TMediaKind::Stream;
}

TFraction FrameRateFromAvgTimePerFrame(std::int64_t avgTimePerFrame) {
    if (avgTimePerFrame <= 0)
        return {0, 1};
    const double fps = UnitsPerSecond / static_cast<double>(avgTimePerFrame);
    for (const int den : {1, 1001}) {
        const double num = std::round(fps * den);
        if (num >= 1 && std::abs(num / den - fps) <= fps * 1e-5)
            return {static_cast<int>(num), den};
    }
    const std::int64_t divisor = std::gcd(std::int64_t{10'000'000}, avgTimePerFrame);
    return {static_cast<int>(10'000'000 / divisor), static_cast<int>(avgTimePerFrame / divisor)};
}

std::int64_t AvgTimePerFrameFromFrameRate(TFraction rate) {
    if (rate.Num <= 0 || rate.Den <= 0)
        return 0;
    return std::llround(UnitsPerSecond * rate.Den / rate.Num);
}

TGstCapsRef CapsForSubtype(const TGuid& subtype) {
    const TSubtypeEntry* entry = EntryForSubtype(subtype);
    if (!entry)
        return {};
    GstCaps* caps = gst_caps_new_empty_simple(entry->Media);
    if (entry->Format)
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, entry->Format, nullptr);
    else if (subtype == MEDIASUBTYPE_dvsd)
        gst_caps_set_simple(caps, "systemstream", G_TYPE_BOOLEAN, TRUE, nullptr);
    return TGstCapsRef::Adopt(caps);
}

TGstCapsRef VideoCapsFromMediaType(const TAMMediaType& type) {
    TGstCapsRef caps = CapsForSubtype(type.subtype);
    if (!caps)
        return {};
    // DV carries its size in the stream; the system stream caps say nothing about it.
    if (type.Bitmap && type.subtype != MEDIASUBTYPE_dvsd)
        gst_caps_set_simple(caps.Get(), "width", G_TYPE_INT, type.Bitmap->biWidth, "height",
                            G_TYPE_INT, std::abs(type.Bitmap->biHeight), nullptr);
    const TFraction rate = FrameRateFromAvgTimePerFrame(type.AvgTimePerFrame);
    if (type.AvgTimePerFrame > 0 && type.subtype != MEDIASUBTYPE_dvsd)
        gst_caps_set_simple(caps.Get(), "framerate", GST_TYPE_FRACTION, rate.Num, rate.Den,
                            nullptr);
    return caps;
}

std::optional<TAMMediaType> VideoMediaTypeFromCaps(const GstCaps* caps, TRowOrder order) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps))
        return std::nullopt;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const TSubtypeEntry* entry = EntryForStructure(structure);
    if (!entry)
        return std::nullopt;
    int width = 0;
    int height = 0;
    gst_structure_get_int(structure, "width", &width);
    gst_structure_get_int(structure, "height", &height);
    if (entry->Subtype == MEDIASUBTYPE_dvsd && (width == 0 || height == 0)) {
        width = 720; // A DV stream is PAL or NTSC full frame; PAL is the usual capture.
        height = 576;
    }
    TAMMediaType type;
    type.majortype = entry->Subtype == MEDIASUBTYPE_dvsd ? MEDIATYPE_Interleaved : MEDIATYPE_Video;
    type.subtype = entry->Subtype;
    type.formattype = FORMAT_VideoInfo;
    TBitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = order == TRowOrder::TopDown ? -height : height;
    header.biBitCount = entry->BitCount;
    header.biCompression = entry->Compression;
    header.biSizeImage = ImageSize(caps, width, height, entry->BitCount, order, *entry);
    type.Bitmap = header;
    type.AvgTimePerFrame = AvgTimePerFrameOf(structure);
    return type;
}

TGstCapsRef AudioCapsFromMediaType(const TAMMediaType& type) {
    if (!type.Wave)
        return {};
    const char* format = WaveFormatName(type.Wave->wBitsPerSample);
    if (!format || type.Wave->nChannels == 0 || type.Wave->nSamplesPerSec == 0)
        return {};
    return TGstCapsRef::Adopt(gst_caps_new_simple(
        "audio/x-raw", "format", G_TYPE_STRING, format, "rate", G_TYPE_INT,
        static_cast<int>(type.Wave->nSamplesPerSec), "channels", G_TYPE_INT,
        static_cast<int>(type.Wave->nChannels), "layout", G_TYPE_STRING, "interleaved", nullptr));
}

std::optional<TAMMediaType> AudioMediaTypeFromCaps(const GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps))
        return std::nullopt;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(structure, "format");
    int rate = 0;
    int channels = 0;
    if (!gst_structure_has_name(structure, "audio/x-raw") || !format ||
        !gst_structure_get_int(structure, "rate", &rate) ||
        !gst_structure_get_int(structure, "channels", &channels))
        return std::nullopt;
    TWaveFormatEx wave;
    wave.nChannels = static_cast<std::uint16_t>(channels);
    wave.nSamplesPerSec = static_cast<std::uint32_t>(rate);
    wave.wBitsPerSample = WaveBitsOf(format);
    wave.nAvgBytesPerSec = wave.nSamplesPerSec * wave.nChannels * wave.wBitsPerSample / 8;
    TAMMediaType type;
    type.majortype = MEDIATYPE_Audio;
    type.subtype = MEDIASUBTYPE_PCM;
    type.formattype = FORMAT_WaveFormatEx;
    type.Wave = wave;
    return type;
}

std::vector<TAMMediaType> ListVideoModes(const GstCaps* caps) {
    std::vector<TAMMediaType> modes;
    if (!caps || gst_caps_is_any(caps))
        return modes;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        for (const char* format : FormatsOf(structure))
            for (const TSize& size : SizesOf(structure)) {
                const TGstCapsRef mode = FixedMode(structure, format, size);
                const std::optional<TAMMediaType> type = VideoMediaTypeFromCaps(mode.Get());
                if (!type)
                    continue;
                const auto seen = [&](const TAMMediaType& known) {
                    return SameMode(known, *type);
                };
                if (std::none_of(modes.begin(), modes.end(), seen))
                    modes.push_back(*type);
            }
    }
    return modes;
}

namespace {

// The caps of the mode's format and size, at no particular rate.
TGstCapsRef UnpacedCaps(const TAMMediaType& mode) {
    TAMMediaType unpaced = mode;
    unpaced.AvgTimePerFrame = 0;
    return VideoCapsFromMediaType(unpaced);
}

// The offered structures with that format and size; empty when there are none.
TGstCapsRef OfferedMatching(const GstCaps* offered, const GstCaps* unpaced) {
    if (!offered || !unpaced)
        return {};
    TGstCapsRef matching = TGstCapsRef::Adopt(
        gst_caps_intersect(const_cast<GstCaps*>(offered), const_cast<GstCaps*>(unpaced)));
    return matching && !gst_caps_is_empty(matching.Get()) ? matching : TGstCapsRef();
}

const GValue* FrameRateOf(const GstCaps* caps, guint index) {
    return gst_structure_get_value(gst_caps_get_structure(caps, index), "framerate");
}

} // namespace

std::vector<TFraction> OfferedFrameRates(const GstCaps* offered, const TAMMediaType& mode) {
    std::vector<TFraction> rates;
    const TGstCapsRef matching = OfferedMatching(offered, UnpacedCaps(mode).Get());
    for (guint i = 0; matching && i < gst_caps_get_size(matching.Get()); ++i)
        AddRates(FrameRateOf(matching.Get(), i), rates);
    std::stable_sort(rates.begin(), rates.end(),
                     [](TFraction a, TFraction b) { return RateValue(a) > RateValue(b); });
    return rates;
}

TGstCapsRef OfferedModeCaps(const GstCaps* offered, const TAMMediaType& mode) {
    TGstCapsRef caps = UnpacedCaps(mode);
    const TGstCapsRef matching = OfferedMatching(offered, caps.Get());
    if (!matching)
        return {};
    const bool asked = mode.AvgTimePerFrame > 0;
    const TFraction wanted = FrameRateFromAvgTimePerFrame(mode.AvgTimePerFrame);
    std::vector<TFraction> rates;
    for (guint i = 0; i < gst_caps_get_size(matching.Get()); ++i) {
        if (asked)
            AddRatesFor(FrameRateOf(matching.Get(), i), wanted, rates);
        else
            AddRates(FrameRateOf(matching.Get(), i), rates);
    }
    if (const std::optional<TFraction> rate =
            asked ? NearestRate(rates, wanted) : HighestRate(rates))
        gst_caps_set_simple(caps.Get(), "framerate", GST_TYPE_FRACTION, rate->Num, rate->Den,
                            nullptr);
    return caps;
}
