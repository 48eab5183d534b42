#pragma once

// The emulated USB camera of tests/emucam, which GStreamer lists for this suite because the
// suite puts the camera's plugin on GStreamer's path before GStreamer starts. The program sees
// it like any other camera.

#include "GraphConfig.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cstdint>

inline constexpr char EmulatedCameraName[] = "Emulated USB Camera";

// What a camera's faults are set to for a scope: unplugged, every n-th frame cut short, every
// frame undecodable. Everything is put right again when the scope ends.
class TEmulatedCameraFaults {
  public:
    TEmulatedCameraFaults() = default;
    ~TEmulatedCameraFaults();
    TEmulatedCameraFaults(const TEmulatedCameraFaults&) = delete;
    TEmulatedCameraFaults& operator=(const TEmulatedCameraFaults&) = delete;

    void SetPlugged(bool plugged);
    void SetTruncateEvery(unsigned frames);
    void SetCorrupt(bool corrupt);
};

// Frames the emulated camera has sent since its plugin was loaded.
std::uint64_t EmulatedFramesSent();

// Whether a grabbed frame shows the emulated camera's picture: each quadrant's colour at its
// centre, within what JPEG and YUV sampling change.
testing::AssertionResult ShowsTheEmulatedPicture(const QImage& frame);
