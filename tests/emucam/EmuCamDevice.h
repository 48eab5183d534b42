#pragma once

// The emulated cameras as the provider lists them and as their source needs to know them.

#include "EmuCamRef.h"

#include <gst/gst.h>

#include <optional>
#include <string>
#include <string_view>

namespace emucam {

enum class TCamera { Usb, Dv };

inline constexpr const char* UsbCameraName = "Emulated USB Camera";
inline constexpr const char* UsbCameraSerial = "KAMVERO-EMU-0001";
inline constexpr const char* DvCameraName = "Emulated DV Camcorder";
inline constexpr const char* DvCameraSerial = "KAMVERO-EMU-DV01";
// Names the file of raw PAL DV frames the camcorder plays; without it there is no camcorder.
inline constexpr const char* DvFileVariable = "KAMVERO_EMUCAM_DV_FILE";
inline constexpr std::size_t DvFrameSize = 144000;

std::optional<TCamera> CameraOfSerial(std::string_view serial);
const char* SerialOf(TCamera camera);
const char* NameOf(TCamera camera);

// Every mode the camera offers, in the order a driver lists them.
TCapsRef CameraCaps(TCamera camera);
// The format the camera is in until someone asks for another; none for the camcorder.
TCapsRef CurrentFormat(TCamera camera);

// The camcorder's file when the variable names a readable one with at least a frame in it.
std::optional<std::string> DvFile();

// A new, floating device object for the camera.
GstDevice* NewCameraDevice(TCamera camera);

} // namespace emucam
