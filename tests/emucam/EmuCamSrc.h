#pragma once

// The emulated cameras' source element: a live source of prepared frames, bound to a camera by
// its serial, that fails as v4l2src does when its camera goes away.

#include <gst/gst.h>

G_BEGIN_DECLS
GType kamvero_emu_cam_src_get_type(void);
G_END_DECLS

namespace emucam {
inline constexpr const char* SourceFactoryName = "kamveroemucamsrc";
} // namespace emucam
