#pragma once

// Conversions between the layer's media types (GUIDs and bitmap headers) and GStreamer caps.
// Pure functions over values, so they are tested without a pipeline.

#include "CapturePlatform.h"
#include "GstHandle.h"

#include <cstdint>
#include <optional>
#include <vector>

// What flows through a pin, in the terms RenderStream and FindInterface ask for.
enum class TMediaKind { Any, Video, Audio, Interleaved, Stream };

// The kind a major type asks for: a null type asks for any kind, an unknown one for none.
std::optional<TMediaKind> KindOfMajorType(const TGuid* majorType);
// Whether a pin of kind `offered` serves a request for `wanted`.
bool KindMatches(TMediaKind offered, TMediaKind wanted);
// The kind of the first structure of caps: DV is interleaved, other video and images are video.
TMediaKind KindOfCaps(const GstCaps* caps);

struct TFraction {
    int Num = 0;
    int Den = 1;
    friend bool operator==(const TFraction&, const TFraction&) = default;
};

inline bool SameRate(TFraction a, TFraction b) {
    return static_cast<std::int64_t>(a.Num) * b.Den == static_cast<std::int64_t>(b.Num) * a.Den;
}
inline double RateValue(TFraction rate) {
    return rate.Den == 0 ? 0.0 : static_cast<double>(rate.Num) / rate.Den;
}

// 10,000,000 / AvgTimePerFrame as a fraction. The usual rates come back exact (333,333 is 30/1,
// 333,667 is 30000/1001), because cameras offer those and nothing close to them.
TFraction FrameRateFromAvgTimePerFrame(std::int64_t avgTimePerFrame);
// 100 ns units per frame, rounded; 0 for a rate of 0.
std::int64_t AvgTimePerFrameFromFrameRate(TFraction rate);

// The caps a subtype stands for, without size or rate; empty for subtypes with no GStreamer
// equivalent (RGB1, RGB4 and anything unknown).
TGstCapsRef CapsForSubtype(const TGuid& subtype);
// Video caps for a media type: subtype, size from the bitmap header (absolute height) and the
// frame rate when AvgTimePerFrame is set; empty when the subtype has no equivalent.
TGstCapsRef VideoCapsFromMediaType(const TAMMediaType& type);

enum class TRowOrder { BottomUp, TopDown };

// The media type of fixed video caps (the first structure): FORMAT_VideoInfo with the bitmap
// header of the format. TopDown gives a negative height and the image size from GStreamer's
// row stride, as the frame grabber hands its buffers out.
std::optional<TAMMediaType> VideoMediaTypeFromCaps(const GstCaps* caps,
                                                   TRowOrder order = TRowOrder::BottomUp);

// Audio: PCM of 8, 16, 24 or 32 bits as FORMAT_WaveFormatEx.
TGstCapsRef AudioCapsFromMediaType(const TAMMediaType& type);
std::optional<TAMMediaType> AudioMediaTypeFromCaps(const GstCaps* caps);

// The modes a device offers, in the order its caps list them, one entry per (format, width,
// height). Fixed sizes are taken as they are; a size range gives the common sizes that fit
// in it. A mode offered at several rates is listed once, at the highest of them; another
// rate is chosen through SetFormat with AvgTimePerFrame.
std::vector<TAMMediaType> ListVideoModes(const GstCaps* caps);

// The frame rates `offered` lists for the format and size of `mode`, fastest first. A range
// gives the common rates inside it; a rate of 0 (variable) is left out.
std::vector<TFraction> OfferedFrameRates(const GstCaps* offered, const TAMMediaType& mode);

// Video caps of `mode` (format and size) at the rate `offered` has for it that is nearest to
// the mode's AvgTimePerFrame, or at the highest offered rate when the mode names none. Empty
// when `offered` does not hold the mode's format and size at all.
TGstCapsRef OfferedModeCaps(const GstCaps* offered, const TAMMediaType& mode);
