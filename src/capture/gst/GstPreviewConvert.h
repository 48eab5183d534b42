#pragma once

// The preview's colour conversion of planar 4:2:0 frames, which is what JPEG cameras decode to:
// the renderer converts them itself, in vector code, for less than videoconvert's own path costs
// on every frame.

#include <gst/video/video.h>

#include <QImage>

// Paints `frame` (I420, already at the preview's size) into `picture` (RGB32, the same size),
// with the frame's own colour matrix and range. False when the sizes or formats do not match.
bool ConvertI420ToBgrx(const GstVideoFrame& frame, QImage& picture);
