#include "EmuCamSrc.h"

#include "EmuCamDevice.h"
#include "EmuCamFrames.h"
#include "EmuCamState.h"

#include <gst/base/gstpushsrc.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(kamvero_emu_cam_src_debug);
#define GST_CAT_DEFAULT kamvero_emu_cam_src_debug

using namespace emucam;

namespace {

enum { PropSerial = 1 };

// Anything a camera of these kinds could send, as v4l2src's template says.
constexpr const char* TemplateCaps =
    "video/x-raw, format=(string)YUY2, width=(int)[ 1, 32768 ], height=(int)[ 1, 32768 ], "
    "framerate=(fraction)[ 0/1, 2147483647/1 ]; "
    "image/jpeg; "
    "video/x-dv, systemstream=(boolean)true";

struct TSourceState {
    std::mutex SerialLock;
    std::string Serial = UsbCameraSerial;

    // Read by queries from any thread.
    std::atomic<bool> Opened{false};
    std::atomic<GstClockTime> Latency{GST_CLOCK_TIME_NONE};

    // Set by start and the caps; the streaming thread's own after that.
    TCamera Camera = TCamera::Usb;
    std::uint64_t Generation = 0;
    std::vector<TMemoryRef> DvFrames;
    std::optional<TMode> Mode;
    std::vector<TMemoryRef> Frames;
    TMemoryRef Corrupt;
    // Timestamps continue across a change of mode: the frames since the change are counted
    // from where the old mode's last frame ended.
    GstClockTime TimeBase = 0;
    std::uint64_t SinceBase = 0;
    std::uint64_t Sent = 0;
    std::uint64_t JpegSent = 0;
};

} // namespace

struct KamveroEmuCamSrc {
    GstPushSrc Parent;
};

struct KamveroEmuCamSrcClass {
    GstPushSrcClass ParentClass;
};

// GLib allocates it with the instance; init constructs it and finalize destroys it.
using KamveroEmuCamSrcPrivate = TSourceState;

G_DEFINE_TYPE_WITH_PRIVATE(KamveroEmuCamSrc, kamvero_emu_cam_src, GST_TYPE_PUSH_SRC)

static_assert(alignof(TSourceState) <= 2 * sizeof(gsize), "GLib aligns private data to this");

namespace {

KamveroEmuCamSrc* Self(gpointer object) {
    return G_TYPE_CHECK_INSTANCE_CAST(object, kamvero_emu_cam_src_get_type(), KamveroEmuCamSrc);
}

TSourceState& State(gpointer object) {
    return *static_cast<TSourceState*>(kamvero_emu_cam_src_get_instance_private(Self(object)));
}

std::string Serial(gpointer object) {
    TSourceState& state = State(object);
    const std::lock_guard lock(state.SerialLock);
    return state.Serial;
}

// The camera the source is bound to, if it is there now; otherwise the error v4l2src posts
// for a device node that does not exist.
std::optional<TCamera> OpenCamera(KamveroEmuCamSrc* src) {
    const std::string serial = Serial(src);
    const std::optional<TCamera> camera = CameraOfSerial(serial);
    const bool present =
        camera && (*camera == TCamera::Usb ? TEmuCamState::Instance().Plugging().Plugged
                                           : DvFile().has_value());
    if (present)
        return camera;
    GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("Cannot identify device '%s'.", serial.c_str()),
                      ("system error: %s", g_strerror(ENOENT)));
    return std::nullopt;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    if (id != PropSerial) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        return;
    }
    TSourceState& state = State(object);
    const char* serial = g_value_get_string(value);
    const std::lock_guard lock(state.SerialLock);
    state.Serial = serial ? serial : "";
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    if (id != PropSerial) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        return;
    }
    g_value_set_string(value, Serial(object).c_str());
}

void Finalize(GObject* object) {
    std::destroy_at(&State(object));
    G_OBJECT_CLASS(kamvero_emu_cam_src_parent_class)->finalize(object);
}

// Opening comes first, as v4l2src opens its node on the way to READY.
GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    TSourceState& state = State(element);
    if (transition == GST_STATE_CHANGE_NULL_TO_READY) {
        if (!OpenCamera(Self(element)))
            return GST_STATE_CHANGE_FAILURE;
        state.Opened = true;
    }
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(kamvero_emu_cam_src_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_READY_TO_NULL ||
        (transition == GST_STATE_CHANGE_NULL_TO_READY && result == GST_STATE_CHANGE_FAILURE))
        state.Opened = false;
    return result;
}

gboolean Start(GstBaseSrc* base) {
    KamveroEmuCamSrc* src = Self(base);
    TSourceState& state = State(src);
    const std::optional<TCamera> camera = OpenCamera(src);
    if (!camera)
        return FALSE;
    state.Camera = *camera;
    state.Generation = TEmuCamState::Instance().Plugging().Generation;
    if (state.Camera == TCamera::Dv) {
        std::string error;
        const std::optional<std::string> path = DvFile();
        state.DvFrames = path ? LoadDvFrames(*path, error) : std::vector<TMemoryRef>();
        if (state.DvFrames.empty()) {
            GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("Could not open the camcorder's file."),
                              ("%s", error.c_str()));
            return FALSE;
        }
    }
    state.Corrupt = MakeCorruptJpeg();
    state.Mode.reset();
    state.Frames.clear();
    state.Latency = GST_CLOCK_TIME_NONE;
    state.TimeBase = 0;
    state.SinceBase = 0;
    state.Sent = 0;
    state.JpegSent = 0;
    return TRUE;
}

gboolean Stop(GstBaseSrc* base) {
    TSourceState& state = State(base);
    state.Frames.clear();
    state.DvFrames.clear();
    state.Corrupt.reset();
    state.Mode.reset();
    state.Latency = GST_CLOCK_TIME_NONE;
    return TRUE;
}

// What the camera offers once it is open; before that, what the template says, as v4l2src
// answers before it opens its node. Caps the camera lacks therefore link and then fail to
// negotiate, as they do with v4l2src.
GstCaps* GetCaps(GstBaseSrc* base, GstCaps* filter) {
    const std::optional<TCamera> camera = CameraOfSerial(Serial(base));
    TCapsRef caps(camera && State(base).Opened
                      ? CameraCaps(*camera).release()
                      : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base)));
    if (!filter)
        return caps.release();
    return gst_caps_intersect_full(filter, caps.get(), GST_CAPS_INTERSECT_FIRST);
}

// Left a choice, a camera stays in the format it is in, as a driver keeps its current format.
GstCaps* Fixate(GstBaseSrc* base, GstCaps* caps) {
    const std::optional<TCamera> camera = CameraOfSerial(Serial(base));
    const TCapsRef current = camera ? CurrentFormat(*camera) : nullptr;
    if (current && gst_caps_can_intersect(caps, current.get())) {
        GstCaps* preferred = gst_caps_intersect_full(current.get(), caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = preferred;
    } else {
        caps = gst_caps_make_writable(caps);
        for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
            // A camcorder's DV names no size or rate at all.
            GstStructure* structure = gst_caps_get_structure(caps, i);
            if (gst_structure_has_field(structure, "width"))
                gst_structure_fixate_field_nearest_int(structure, "width", 640);
            if (gst_structure_has_field(structure, "height"))
                gst_structure_fixate_field_nearest_int(structure, "height", 480);
            if (gst_structure_has_field(structure, "framerate"))
                gst_structure_fixate_field_nearest_fraction(structure, "framerate", 30, 1);
        }
    }
    caps = GST_BASE_SRC_CLASS(kamvero_emu_cam_src_parent_class)->fixate(base, caps);
    // The driver names the YUV flavour it sends, so that a 720p frame is not taken for BT.709.
    if (gst_caps_is_empty(caps))
        return caps;
    caps = gst_caps_make_writable(caps);
    GstStructure* structure = gst_caps_get_structure(caps, 0);
    if (gst_structure_has_name(structure, "video/x-raw") &&
        !gst_structure_has_field(structure, "colorimetry"))
        gst_structure_set(structure, "colorimetry", G_TYPE_STRING, "bt601", nullptr);
    return caps;
}

// All frames of the mode are made here, once, so that sending one costs nothing.
gboolean SetCaps(GstBaseSrc* base, GstCaps* caps) {
    KamveroEmuCamSrc* src = Self(base);
    TSourceState& state = State(src);
    const std::optional<TMode> mode = ModeOfCaps(caps);
    if (!mode || (mode->Encoding == TEncoding::Dv) != (state.Camera == TCamera::Dv)) {
        GST_WARNING_OBJECT(src, "the camera has no mode %" GST_PTR_FORMAT, caps);
        return FALSE;
    }
    if (state.Mode != mode || state.Frames.empty()) {
        const gint64 began = g_get_monotonic_time();
        std::vector<TMemoryRef> frames;
        std::string error;
        switch (mode->Encoding) {
        case TEncoding::Yuy2:
            frames = MakeYuy2Loop(mode->Width, mode->Height);
            break;
        case TEncoding::Jpeg:
            frames = MakeJpegLoop(mode->Width, mode->Height, error);
            break;
        case TEncoding::Dv:
            for (const TMemoryRef& frame : state.DvFrames)
                frames.push_back(Retain(frame.get()));
            break;
        }
        if (frames.empty()) {
            GST_ELEMENT_ERROR(src, LIBRARY, ENCODE, ("Could not prepare the camera's frames."),
                              ("%s", error.empty() ? "out of memory" : error.c_str()));
            return FALSE;
        }
        state.Frames = std::move(frames);
        GST_DEBUG_OBJECT(src, "prepared %zu frames in %" G_GINT64_FORMAT " us", state.Frames.size(),
                         g_get_monotonic_time() - began);
    }
    if (state.Mode && state.SinceBase > 0)
        state.TimeBase += gst_util_uint64_scale_int(
            state.SinceBase * GST_SECOND, state.Mode->RateDenominator, state.Mode->RateNumerator);
    state.SinceBase = 0;
    state.Mode = mode;
    state.Latency = FrameDuration(*mode);
    return TRUE;
}

// A camera delivers a frame once it has it whole: one frame late.
gboolean Query(GstBaseSrc* base, GstQuery* query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        const GstClockTime latency = State(base).Latency;
        if (!GST_CLOCK_TIME_IS_VALID(latency))
            return FALSE;
        gst_query_set_latency(query, TRUE, latency, GST_CLOCK_TIME_NONE);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(kamvero_emu_cam_src_parent_class)->query(base, query);
}

// Base class waits for each frame's time before sending it, so frames leave at the mode's rate.
void GetTimes(GstBaseSrc*, GstBuffer* buffer, GstClockTime* start, GstClockTime* end) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(pts))
        return;
    *start = pts;
    if (GST_BUFFER_DURATION_IS_VALID(buffer))
        *end = pts + GST_BUFFER_DURATION(buffer);
}

// The frame to send: the prepared one, or what a fault makes of a JPEG frame. The prepared
// frames themselves never change.
GstMemory* FrameToSend(TSourceState& state, const TEmuCamState& faults) {
    GstMemory* frame = state.Frames[state.Sent % state.Frames.size()].get();
    if (state.Mode->Encoding != TEncoding::Jpeg)
        return gst_memory_ref(frame);
    const std::uint64_t count = ++state.JpegSent;
    if (faults.Corrupt)
        return gst_memory_ref(state.Corrupt.get());
    const unsigned every = faults.TruncateEvery;
    if (every > 0 && count % every == 0) {
        // What arrives of a frame when the bus drops the rest: its first half, no EOI.
        gsize size = 0;
        gst_memory_get_sizes(frame, nullptr, &size);
        return gst_memory_share(frame, 0, static_cast<gssize>(size / 2));
    }
    return gst_memory_ref(frame);
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out) {
    KamveroEmuCamSrc* src = Self(push);
    TSourceState& state = State(src);
    TEmuCamState& shared = TEmuCamState::Instance();
    if (state.Camera == TCamera::Usb) {
        const TPlugging plugging = shared.Plugging();
        if (!plugging.Plugged || plugging.Generation != state.Generation) {
            GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Could not read from resource."),
                              ("poll error 1: No such device (19)"));
            return GST_FLOW_ERROR;
        }
    }
    if (!state.Mode || state.Frames.empty())
        return GST_FLOW_NOT_NEGOTIATED;

    GstBuffer* buffer = gst_buffer_new();
    gst_buffer_append_memory(buffer, FrameToSend(state, shared));
    const auto at = [&state](std::uint64_t frames) {
        return state.TimeBase + gst_util_uint64_scale_int(frames * GST_SECOND,
                                                          state.Mode->RateDenominator,
                                                          state.Mode->RateNumerator);
    };
    const GstClockTime pts = at(state.SinceBase);
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = pts;
    GST_BUFFER_DURATION(buffer) = at(state.SinceBase + 1) - pts;
    GST_BUFFER_OFFSET(buffer) = state.Sent;
    GST_BUFFER_OFFSET_END(buffer) = state.Sent + 1;
    ++state.SinceBase;
    ++state.Sent;
    ++shared.FramesSent;
    *out = buffer;
    return GST_FLOW_OK;
}

} // namespace

static void kamvero_emu_cam_src_class_init(KamveroEmuCamSrcClass* klass) {
    GST_DEBUG_CATEGORY_INIT(kamvero_emu_cam_src_debug, "kamveroemucamsrc", 0,
                            "Emulated camera source");

    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = SetProperty;
    objectClass->get_property = GetProperty;
    objectClass->finalize = Finalize;
    g_object_class_install_property(
        objectClass, PropSerial,
        g_param_spec_string("serial", "Serial",
                            "Serial number of the camera to open; takes effect when it opens",
                            UsbCameraSerial,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_READY)));

    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    elementClass->change_state = ChangeState;
    gst_element_class_set_static_metadata(elementClass, "Emulated camera source", "Source/Video",
                                          "Sends the pictures of Kamvero's emulated cameras",
                                          "Kamvero developers");
    const TCapsRef any(gst_caps_from_string(TemplateCaps));
    gst_element_class_add_pad_template(
        elementClass, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, any.get()));

    GstBaseSrcClass* baseClass = GST_BASE_SRC_CLASS(klass);
    baseClass->start = Start;
    baseClass->stop = Stop;
    baseClass->get_caps = GetCaps;
    baseClass->fixate = Fixate;
    baseClass->set_caps = SetCaps;
    baseClass->query = Query;
    baseClass->get_times = GetTimes;

    GST_PUSH_SRC_CLASS(klass)->create = Create;
}

static void kamvero_emu_cam_src_init(KamveroEmuCamSrc* src) {
    std::construct_at(&State(src));
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}
