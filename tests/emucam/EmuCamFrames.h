#pragma once

// The frames a source sends, made once when its mode is set and then shared, read-only, by
// every buffer it sends: a frame costs a buffer and a reference, never a copy or an encoding.

#include "EmuCamRef.h"

#include <gst/gst.h>

#include <optional>
#include <string>
#include <vector>

namespace emucam {

enum class TEncoding { Yuy2, Jpeg, Dv };

struct TMode {
    TEncoding Encoding = TEncoding::Yuy2;
    int Width = 0;
    int Height = 0;
    int RateNumerator = 0;
    int RateDenominator = 1;
    friend bool operator==(const TMode&, const TMode&) = default;
};

// The mode fixed caps name, if the cameras have it at all.
std::optional<TMode> ModeOfCaps(const GstCaps* caps);

// How long one frame of the mode lasts.
GstClockTime FrameDuration(const TMode& mode);

// The picture's loop in YUY2 (BT.601, limited range).
std::vector<TMemoryRef> MakeYuy2Loop(int width, int height);

// The picture's loop as baseline JPEG images, quality 85, 4:2:2, as an MJPEG camera sends them.
// Empty, with the reason in `error`, when libjpeg fails.
std::vector<TMemoryRef> MakeJpegLoop(int width, int height, std::string& error);

// A JPEG image whose headers no decoder accepts: SOI, a quantisation table of an index that
// does not exist, a frame header of no size, EOI.
TMemoryRef MakeCorruptJpeg();

// The whole frames of a raw DV file, read once. Empty, with the reason in `error`, when the
// file cannot be read.
std::vector<TMemoryRef> LoadDvFrames(const std::string& path, std::string& error);

} // namespace emucam
