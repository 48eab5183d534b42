#include "GstDeviceFormat.h"

#include "GstUniqueFd.h"
#include "GstV4l2Ioctl.h"

#include <linux/videodev2.h>

#include <fcntl.h>

namespace {

// The V4L2 names of the formats the media types know.
struct TV4l2Format {
    std::uint32_t PixelFormat;
    const char* Media;
    const char* Format;
};

constexpr TV4l2Format V4l2Formats[] = {
    {V4L2_PIX_FMT_YUYV, "video/x-raw", "YUY2"},    {V4L2_PIX_FMT_UYVY, "video/x-raw", "UYVY"},
    {V4L2_PIX_FMT_YVYU, "video/x-raw", "YVYU"},    {V4L2_PIX_FMT_YUV420, "video/x-raw", "I420"},
    {V4L2_PIX_FMT_YVU420, "video/x-raw", "YV12"},  {V4L2_PIX_FMT_NV12, "video/x-raw", "NV12"},
    {V4L2_PIX_FMT_BGR24, "video/x-raw", "BGR"},    {V4L2_PIX_FMT_XBGR32, "video/x-raw", "BGRx"},
    {V4L2_PIX_FMT_RGB565, "video/x-raw", "RGB16"}, {V4L2_PIX_FMT_GREY, "video/x-raw", "GRAY8"},
    {V4L2_PIX_FMT_MJPEG, "image/jpeg", nullptr},   {V4L2_PIX_FMT_JPEG, "image/jpeg", nullptr},
    {V4L2_PIX_FMT_DV, "video/x-dv", nullptr},
};

TGstCapsRef ReadV4l2Format(const std::string& node) {
    const TUniqueFd device(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!device)
        return {};
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (V4l2Ioctl(device.Get(), VIDIOC_G_FMT, &format) != 0)
        return {};
    // Drivers that cannot tell the rate leave it out; the caps then carry none.
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool paced = V4l2Ioctl(device.Get(), VIDIOC_G_PARM, &parameters) == 0;
    const v4l2_fract perFrame = parameters.parm.capture.timeperframe;
    return CapsOfV4l2Format(format.fmt.pix.pixelformat, format.fmt.pix.width, format.fmt.pix.height,
                            paced ? perFrame.denominator : 0, paced ? perFrame.numerator : 1);
}

TGstCapsRef StatedFormat(GstDevice* device) {
    const auto properties = TGstHandle<GstStructure>::Adopt(gst_device_get_properties(device));
    const char* text =
        properties ? gst_structure_get_string(properties.Get(), "device.current-caps") : nullptr;
    if (!text)
        return {};
    TGstCapsRef caps = TGstCapsRef::Adopt(gst_caps_from_string(text));
    return caps && gst_caps_is_fixed(caps.Get()) ? caps : TGstCapsRef();
}

} // namespace

TGstCapsRef CapsOfV4l2Format(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                             std::uint32_t rateNum, std::uint32_t rateDen) {
    for (const TV4l2Format& known : V4l2Formats) {
        if (known.PixelFormat != pixelFormat)
            continue;
        GstCaps* caps = gst_caps_new_empty_simple(known.Media);
        if (known.Format)
            gst_caps_set_simple(caps, "format", G_TYPE_STRING, known.Format, nullptr);
        if (pixelFormat == V4L2_PIX_FMT_DV)
            gst_caps_set_simple(caps, "systemstream", G_TYPE_BOOLEAN, TRUE, nullptr);
        else
            gst_caps_set_simple(caps, "width", G_TYPE_INT, static_cast<int>(width), "height",
                                G_TYPE_INT, static_cast<int>(height), nullptr);
        if (rateNum > 0 && rateDen > 0)
            gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, static_cast<int>(rateNum),
                                static_cast<int>(rateDen), nullptr);
        return TGstCapsRef::Adopt(caps);
    }
    return {};
}

TGstCapsRef CurrentDeviceFormat(GstDevice* device, const std::string& node) {
    if (!node.empty())
        return ReadV4l2Format(node);
    return device ? StatedFormat(device) : TGstCapsRef();
}
