#pragma once

// Lists the emulated cameras as the v4l2 provider lists real ones, and carries the properties
// through which the tests plug the USB camera in and out and break its MJPEG stream.

#include <gst/gst.h>

G_BEGIN_DECLS
GType kamvero_emu_cam_provider_get_type(void);
G_END_DECLS

namespace emucam {
inline constexpr const char* ProviderFactoryName = "kamveroemucamprovider";
} // namespace emucam
