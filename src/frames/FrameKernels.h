#pragma once

#include <QImage>
#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>

// Raised when a frame or snapshot file cannot be processed; the message says what and where.
class EFrameError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The detect depths of the motion detector, by their list index.
enum class TDetectDepth {
    Colors2 = 0,
    Colors16 = 1,
    Colors256 = 2,
    Colors65535 = 3,
    Colors16M = 4
};

// The image format a working copy of that depth is kept in.
QImage::Format WorkingFormat(TDetectDepth depth);

// The depth of a working copy, or none for an image that is not one. Both 16 and 256 colours are
// kept in Format_Indexed8, so the format alone cannot tell; the colour table does.
std::optional<TDetectDepth> DepthOfWorkingCopy(const QImage& copy);

// A blank working copy of the size in the depth's format, all zero (black). An empty size gives
// a null image: an image of no pixels cannot keep a format.
QImage BlankWorkingCopy(QSize size, TDetectDepth depth);

// Resizes a working copy keeping its depth and the content that still fits (top-left); the new
// part is blank. An empty size gives a null image. EFrameError for an image that is not a
// working copy.
void ResizeWorkingCopy(QImage& copy, QSize size);

// Changes the depth of a working copy, reducing its colours to the depth's palette. A null
// image stays null.
void SetWorkingDepth(QImage& copy, TDetectDepth depth);

// Copies the area of the frame pixel for pixel into the top-left corner of the working copy,
// reduced to the copy's depth; whatever of the area lies outside the frame is left blank. The
// copy already has the area's size (a null copy for an empty area); otherwise EFrameError.
void CopyAreaInto(const QImage& frame, const QRect& area, QImage& copy);

// The sum over all pixels of (brightness of current - brightness of reference)^2, brightness
// being (blue + green + red) div 3 of the pixel's colour at the copies' depth. Both copies have
// the same size and depth; otherwise EFrameError. Two null copies differ by 0.
std::int64_t BrightnessDifference(const QImage& reference, const QImage& current);
