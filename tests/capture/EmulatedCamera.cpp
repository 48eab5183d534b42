#include "EmulatedCamera.h"

#include "EmulatedPicture.h"

#include <gst/gst.h>

#include <cstdlib>

namespace {

// Before main, so before anything starts GStreamer. The sanitizer builds load the plugin in
// process: its runtime keeps GStreamer's separate plugin scanner from loading it.
const bool PluginOnPath = [] {
    ::setenv("GST_PLUGIN_PATH", KAMVERO_TEST_GST_PLUGIN_DIR, 1);
    ::setenv("GST_REGISTRY_FORK", "no", 1);
    return true;
}();

// The provider of the emulated cameras: the object running device monitors use.
GstDeviceProvider* Provider() {
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    return gst_device_provider_factory_get_by_name("kamveroemucamprovider");
}

void SetOnProvider(const char* property, const GValue& value) {
    GstDeviceProvider* const provider = Provider();
    ASSERT_TRUE(provider) << "the emulated camera's plugin is not on GStreamer's path";
    g_object_set_property(G_OBJECT(provider), property, &value);
    gst_object_unref(provider);
}

void SetBoolean(const char* property, bool on) {
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_BOOLEAN);
    g_value_set_boolean(&value, on);
    SetOnProvider(property, value);
}

// Within this much per channel: YUV sampling and JPEG quantisation move flat colours a little.
constexpr int ColourTolerance = 16;

} // namespace

TEmulatedCameraFaults::~TEmulatedCameraFaults() {
    SetTruncateEvery(0);
    SetCorrupt(false);
    SetPlugged(true);
}

void TEmulatedCameraFaults::SetPlugged(bool plugged) {
    SetBoolean("plugged", plugged);
}

void TEmulatedCameraFaults::SetTruncateEvery(unsigned frames) {
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_UINT);
    g_value_set_uint(&value, frames);
    SetOnProvider("truncate-every", value);
}

void TEmulatedCameraFaults::SetCorrupt(bool corrupt) {
    SetBoolean("corrupt", corrupt);
}

std::uint64_t EmulatedFramesSent() {
    GstDeviceProvider* const provider = Provider();
    if (!provider)
        return 0;
    guint64 sent = 0;
    g_object_get(provider, "frames-sent", &sent, nullptr);
    gst_object_unref(provider);
    return sent;
}

testing::AssertionResult ShowsTheEmulatedPicture(const QImage& frame) {
    const int width = frame.width();
    const int height = frame.height();
    for (const int y : {height / 4, height * 3 / 4})
        for (const int x : {width / 4, width * 3 / 4}) {
            const emucam::TRgb expected = emucam::QuadrantColour(x, y, width, height);
            const QColor seen = frame.pixelColor(x, y);
            if (std::abs(seen.red() - expected.R) > ColourTolerance ||
                std::abs(seen.green() - expected.G) > ColourTolerance ||
                std::abs(seen.blue() - expected.B) > ColourTolerance)
                return testing::AssertionFailure()
                       << "at " << x << "," << y << " " << seen.name().toStdString()
                       << " instead of "
                       << QColor(expected.R, expected.G, expected.B).name().toStdString();
        }
    return testing::AssertionSuccess();
}
