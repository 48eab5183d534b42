#pragma once

// The format a capture device is in before anything chose one: what its V4L2 driver holds
// (VIDIOC_G_FMT with the rate of VIDIOC_G_PARM), or what its provider states about it.

#include "GstHandle.h"

#include <cstdint>
#include <string>

// Caps of a V4L2 pixel format at a size and rate (a rate of 0/x is left out); empty for
// formats this program has no media type for.
TGstCapsRef CapsOfV4l2Format(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                             std::uint32_t rateNum, std::uint32_t rateDen);

// The device's current format: its V4L2 node's (when `node` is not empty), else the caps the
// provider names as "device.current-caps" among the device's properties. Empty when neither
// can be read: the caller must not guess.
TGstCapsRef CurrentDeviceFormat(GstDevice* device, const std::string& node);
