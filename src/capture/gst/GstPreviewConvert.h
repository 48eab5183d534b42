#pragma once

// The preview's colour conversion of planar 4:2:0 frames, which is what JPEG cameras decode to:
// the renderer converts them itself, in vector code, for less than videoconvert's own path costs
// on every frame.

#include <gst/video/video.h>

#include <QImage>

#include <cstdint>
#include <vector>

// Made once per stream layout: the colour matrix and range of `info` (I420, already at the
// preview's size) in fixed point, and a row of work space.
class TI420Converter {
  public:
    explicit TI420Converter(const GstVideoInfo& info);

    // Paints `frame` into `picture` (RGB32). False when the frame is not of the layout the
    // converter was made for or the picture is not its size.
    bool Convert(const GstVideoFrame& frame, QImage& picture);

    struct TMatrix {
        std::int32_t YOffset;
        std::int32_t Luma;
        std::int32_t RFromV;
        std::int32_t GFromU;
        std::int32_t GFromV;
        std::int32_t BFromU;
    };

  private:
    GstVideoInfo Info;
    TMatrix Matrix;
    std::vector<std::uint8_t> WideChroma;
};
