// An emulated USB webcam, and a DV camcorder when given a DV file, for the tests: a device
// provider that lists them as the v4l2 provider lists real cameras, and the source element
// their devices make.

#include "EmuCamProvider.h"
#include "EmuCamSrc.h"

#include <gst/gst.h>

namespace {

gboolean PluginInit(GstPlugin* plugin) {
    return gst_element_register(plugin, emucam::SourceFactoryName, GST_RANK_NONE,
                                kamvero_emu_cam_src_get_type()) &&
           gst_device_provider_register(plugin, emucam::ProviderFactoryName, GST_RANK_PRIMARY,
                                        kamvero_emu_cam_provider_get_type());
}

} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kamveroemucam,
                  "Emulated cameras for Kamvero's tests", PluginInit, KAMVERO_VERSION,
                  "Proprietary", "Kamvero", "Kamvero tests")
