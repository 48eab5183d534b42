#include "EmuCamDevice.h"

#include "EmuCamSrc.h"

#include <filesystem>
#include <fstream>

struct KamveroEmuCamDevice {
    GstDevice Parent;
};

struct KamveroEmuCamDeviceClass {
    GstDeviceClass ParentClass;
};

G_DEFINE_TYPE(KamveroEmuCamDevice, kamvero_emu_cam_device, GST_TYPE_DEVICE)

namespace emucam {
namespace {

// As a UVC camera lists them through v4l2: raw modes first, then MJPEG, each size with its
// rates fastest first.
constexpr const char* UsbModes =
    "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, "
    "pixel-aspect-ratio=(fraction)1/1, framerate=(fraction){ 30/1, 15/1 }; "
    "video/x-raw, format=(string)YUY2, width=(int)1280, height=(int)720, "
    "pixel-aspect-ratio=(fraction)1/1, framerate=(fraction)10/1; "
    "image/jpeg, width=(int)640, height=(int)480, "
    "pixel-aspect-ratio=(fraction)1/1, framerate=(fraction){ 30/1, 15/1 }; "
    "image/jpeg, width=(int)1280, height=(int)720, "
    "pixel-aspect-ratio=(fraction)1/1, framerate=(fraction){ 30/1, 15/1 }; "
    "image/jpeg, width=(int)1920, height=(int)1080, "
    "pixel-aspect-ratio=(fraction)1/1, framerate=(fraction){ 30/1, 15/1 }";

constexpr const char* UsbCurrentFormat =
    "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, framerate=(fraction)30/1";

// What a FireWire DV source gives: whole DV frames, video and sound interleaved.
constexpr const char* DvModes = "video/x-dv, systemstream=(boolean)true, format=(string)PAL";

TCapsRef ParseCaps(const char* text) {
    return TCapsRef(gst_caps_from_string(text));
}

std::string DeviceSerial(GstDevice* device) {
    const TStructurePtr properties(gst_device_get_properties(device));
    const char* serial =
        properties ? gst_structure_get_string(properties.get(), "device.serial") : nullptr;
    return serial ? serial : "";
}

// A source bound to this camera, as a v4l2 device makes a v4l2src for its node.
GstElement* CreateElement(GstDevice* device, const gchar* name) {
    GstElement* element = gst_element_factory_make(SourceFactoryName, name);
    if (element)
        g_object_set(element, "serial", DeviceSerial(device).c_str(), nullptr);
    return element;
}

gboolean ReconfigureElement(GstDevice* device, GstElement* element) {
    if (!G_TYPE_CHECK_INSTANCE_TYPE(element, kamvero_emu_cam_src_get_type()))
        return FALSE;
    g_object_set(element, "serial", DeviceSerial(device).c_str(), nullptr);
    return TRUE;
}

} // namespace

std::optional<TCamera> CameraOfSerial(std::string_view serial) {
    if (serial == UsbCameraSerial)
        return TCamera::Usb;
    if (serial == DvCameraSerial)
        return TCamera::Dv;
    return std::nullopt;
}

const char* SerialOf(TCamera camera) {
    return camera == TCamera::Usb ? UsbCameraSerial : DvCameraSerial;
}

const char* NameOf(TCamera camera) {
    return camera == TCamera::Usb ? UsbCameraName : DvCameraName;
}

TCapsRef CameraCaps(TCamera camera) {
    return ParseCaps(camera == TCamera::Usb ? UsbModes : DvModes);
}

TCapsRef CurrentFormat(TCamera camera) {
    return camera == TCamera::Usb ? ParseCaps(UsbCurrentFormat) : nullptr;
}

std::optional<std::string> DvFile() {
    const char* path = g_getenv(DvFileVariable);
    if (!path || !*path)
        return std::nullopt;
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size < DvFrameSize || !std::ifstream(path, std::ios::binary))
        return std::nullopt;
    return std::string(path);
}

GstDevice* NewCameraDevice(TCamera camera) {
    const TStructurePtr properties(gst_structure_new("kamveroemucam", "device.api", G_TYPE_STRING,
                                                     "emulated", "device.serial", G_TYPE_STRING,
                                                     SerialOf(camera), nullptr));
    // A driver reports the format it is in; the camcorder sends whatever it recorded.
    if (camera == TCamera::Usb)
        gst_structure_set(properties.get(), "device.current-caps", G_TYPE_STRING, UsbCurrentFormat,
                          nullptr);
    const TCapsRef caps = CameraCaps(camera);
    return GST_DEVICE(g_object_new(kamvero_emu_cam_device_get_type(), "display-name",
                                   NameOf(camera), "caps", caps.get(), "device-class",
                                   "Video/Source", "properties", properties.get(), nullptr));
}

} // namespace emucam

static void kamvero_emu_cam_device_class_init(KamveroEmuCamDeviceClass* klass) {
    GstDeviceClass* deviceClass = GST_DEVICE_CLASS(klass);
    deviceClass->create_element = emucam::CreateElement;
    deviceClass->reconfigure_element = emucam::ReconfigureElement;
}

static void kamvero_emu_cam_device_init(KamveroEmuCamDevice*) {}
