#include "GstPreviewConvert.h"

#include <algorithm>

// ThreadSanitizer instruments the resolver that picks a clone, and the resolver runs while the
// program is loaded, before the sanitizer is set up: such builds get the plain loop only.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAMVERO_THREAD_SANITIZER
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KAMVERO_THREAD_SANITIZER)
#define KAMVERO_VECTOR_CLONES
#else
#define KAMVERO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace {

constexpr int FractionBits = 12;

std::int32_t Fixed(double value) {
    return static_cast<std::int32_t>(value * (1 << FractionBits) + (value < 0 ? -0.5 : 0.5));
}

// Y' = (Y - YOffset) * Luma, and the colour differences around 128.
TI420Converter::TMatrix MatrixOf(const GstVideoInfo& info) {
    gdouble kr = 0.299;
    gdouble kb = 0.114;
    // Frames that name no YUV matrix are taken as BT.601, as JPEG decoders deliver them.
    if (!gst_video_color_matrix_get_Kr_Kb(GST_VIDEO_INFO_COLORIMETRY(&info).matrix, &kr, &kb)) {
        kr = 0.299;
        kb = 0.114;
    }
    gint offsets[GST_VIDEO_MAX_COMPONENTS];
    gint scales[GST_VIDEO_MAX_COMPONENTS];
    gst_video_color_range_offsets(GST_VIDEO_INFO_COLORIMETRY(&info).range, info.finfo, offsets,
                                  scales);
    const double chroma = 255.0 / scales[1];
    const double kg = 1.0 - kr - kb;
    return {offsets[0],
            Fixed(255.0 / scales[0]),
            Fixed(2.0 * (1.0 - kr) * chroma),
            Fixed(2.0 * kb * (1.0 - kb) / kg * chroma),
            Fixed(2.0 * kr * (1.0 - kr) / kg * chroma),
            Fixed(2.0 * (1.0 - kb) * chroma)};
}

// One row. The chroma samples are first widened to one per pixel so that the main loop reads
// three plain arrays, which compilers turn into vector code; the AVX2 clone does eight pixels
// a step where the processor has it. The widening is written as pairs: indexing by x / 2
// keeps it scalar, and then it costs as much as the conversion itself. The work space holds
// one byte more than the row for an odd width.
KAMVERO_VECTOR_CLONES void
ConvertRow(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* wideU,
           std::uint8_t* wideV, std::uint32_t* out, int width, TI420Converter::TMatrix m) {
    const int chromaWidth = (width + 1) / 2;
    for (int x = 0; x < chromaWidth; ++x) {
        wideU[2 * x] = wideU[2 * x + 1] = u[x];
        wideV[2 * x] = wideV[2 * x + 1] = v[x];
    }
    constexpr std::int32_t Half = 1 << (FractionBits - 1);
    for (int x = 0; x < width; ++x) {
        const std::int32_t luma = (y[x] - m.YOffset) * m.Luma + Half;
        const std::int32_t cb = wideU[x] - 128;
        const std::int32_t cr = wideV[x] - 128;
        const std::int32_t r = std::clamp((luma + m.RFromV * cr) >> FractionBits, 0, 255);
        const std::int32_t g =
            std::clamp((luma - m.GFromU * cb - m.GFromV * cr) >> FractionBits, 0, 255);
        const std::int32_t b = std::clamp((luma + m.BFromU * cb) >> FractionBits, 0, 255);
        out[x] = 0xff000000u | static_cast<std::uint32_t>(r) << 16 |
                 static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b);
    }
}

} // namespace

TI420Converter::TI420Converter(const GstVideoInfo& info)
    : Info(info), Matrix(MatrixOf(info)),
      WideChroma(2 * (static_cast<std::size_t>(GST_VIDEO_INFO_WIDTH(&info)) + 1)) {}

bool TI420Converter::Convert(const GstVideoFrame& frame, QImage& picture) {
    const int width = GST_VIDEO_INFO_WIDTH(&Info);
    const int height = GST_VIDEO_INFO_HEIGHT(&Info);
    if (GST_VIDEO_INFO_FORMAT(&Info) != GST_VIDEO_FORMAT_I420 ||
        !gst_video_info_is_equal(&frame.info, &Info) ||
        picture.format() != QImage::Format_RGB32 || picture.size() != QSize(width, height))
        return false;
    const auto plane = [&frame](int index, int row) {
        return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, index)) +
               static_cast<std::ptrdiff_t>(row) * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, index);
    };
    for (int row = 0; row < height; ++row)
        ConvertRow(plane(0, row), plane(1, row / 2), plane(2, row / 2), WideChroma.data(),
                   WideChroma.data() + width + 1,
                   reinterpret_cast<std::uint32_t*>(picture.scanLine(row)), width, Matrix);
    return true;
}
