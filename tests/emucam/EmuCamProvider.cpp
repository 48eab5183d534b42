#include "EmuCamProvider.h"

#include "EmuCamDevice.h"
#include "EmuCamState.h"

#include <memory>
#include <mutex>

using namespace emucam;

namespace {

enum { PropPlugged = 1, PropTruncateEvery, PropCorrupt, PropFramesSent };

struct TProviderState {
    // Orders starting, stopping and plug changes, so that a device is added once and removed
    // once whatever the threads do.
    std::mutex Lock;
    bool Started = false;
    TObjectRef<GstDevice> Usb;
    // The unplug count the listed USB device belongs to.
    std::uint64_t UsbGeneration = 0;
    TObjectRef<GstDevice> Dv;
};

} // namespace

struct KamveroEmuCamProvider {
    GstDeviceProvider Parent;
};

struct KamveroEmuCamProviderClass {
    GstDeviceProviderClass ParentClass;
};

// GLib allocates it with the instance; init constructs it and finalize destroys it.
using KamveroEmuCamProviderPrivate = TProviderState;

G_DEFINE_TYPE_WITH_PRIVATE(KamveroEmuCamProvider, kamvero_emu_cam_provider,
                           GST_TYPE_DEVICE_PROVIDER)

static_assert(alignof(TProviderState) <= 2 * sizeof(gsize), "GLib aligns private data to this");

namespace {

TProviderState& State(gpointer provider) {
    return *static_cast<TProviderState*>(
        kamvero_emu_cam_provider_get_instance_private(G_TYPE_CHECK_INSTANCE_CAST(
            provider, kamvero_emu_cam_provider_get_type(), KamveroEmuCamProvider)));
}

void AddDevice(GstDeviceProvider* provider, TObjectRef<GstDevice>& slot, TCamera camera) {
    slot.reset(GST_DEVICE(gst_object_ref_sink(NewCameraDevice(camera))));
    gst_device_provider_device_add(provider, slot.get());
}

// Brings the listed USB camera in line with the plugging: an unplug removes it, a plug adds a
// new device object, as udev gives a new device for every plug.
void SyncUsb(GstDeviceProvider* provider, TProviderState& state, const TPlugging& plugging) {
    if (state.Usb && (!plugging.Plugged || state.UsbGeneration != plugging.Generation)) {
        gst_device_provider_device_remove(provider, state.Usb.get());
        state.Usb.reset();
    }
    if (plugging.Plugged && !state.Usb) {
        AddDevice(provider, state.Usb, TCamera::Usb);
        state.UsbGeneration = plugging.Generation;
    }
}

void Update(GstDeviceProvider* provider) {
    TProviderState& state = State(provider);
    const std::lock_guard lock(state.Lock);
    if (state.Started)
        SyncUsb(provider, state, TEmuCamState::Instance().Plugging());
}

GList* Probe(GstDeviceProvider*) {
    GList* devices = nullptr;
    if (TEmuCamState::Instance().Plugging().Plugged)
        devices = g_list_append(devices, NewCameraDevice(TCamera::Usb));
    if (DvFile())
        devices = g_list_append(devices, NewCameraDevice(TCamera::Dv));
    return devices;
}

gboolean Start(GstDeviceProvider* provider) {
    TProviderState& state = State(provider);
    const std::lock_guard lock(state.Lock);
    state.Started = true;
    SyncUsb(provider, state, TEmuCamState::Instance().AddRunning(provider));
    if (DvFile())
        AddDevice(provider, state.Dv, TCamera::Dv);
    return TRUE;
}

// The base class drops the listed devices after this.
void Stop(GstDeviceProvider* provider) {
    TProviderState& state = State(provider);
    const std::lock_guard lock(state.Lock);
    TEmuCamState::Instance().RemoveRunning(provider);
    state.Started = false;
    state.Usb.reset();
    state.Dv.reset();
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    TEmuCamState& shared = TEmuCamState::Instance();
    switch (id) {
    case PropPlugged:
        for (const TObjectRef<GstDeviceProvider>& running :
             shared.SetPlugged(g_value_get_boolean(value)))
            Update(running.get());
        break;
    case PropTruncateEvery:
        shared.TruncateEvery = g_value_get_uint(value);
        break;
    case PropCorrupt:
        shared.Corrupt = g_value_get_boolean(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    const TEmuCamState& shared = TEmuCamState::Instance();
    switch (id) {
    case PropPlugged:
        g_value_set_boolean(value, shared.Plugging().Plugged);
        break;
    case PropTruncateEvery:
        g_value_set_uint(value, shared.TruncateEvery);
        break;
    case PropCorrupt:
        g_value_set_boolean(value, shared.Corrupt);
        break;
    case PropFramesSent:
        g_value_set_uint64(value, shared.FramesSent);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
}

void Finalize(GObject* object) {
    std::destroy_at(&State(object));
    G_OBJECT_CLASS(kamvero_emu_cam_provider_parent_class)->finalize(object);
}

constexpr auto ReadWrite = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);

} // namespace

static void kamvero_emu_cam_provider_class_init(KamveroEmuCamProviderClass* klass) {
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = SetProperty;
    objectClass->get_property = GetProperty;
    objectClass->finalize = Finalize;
    // The properties are the plugin's, not this object's: every provider object and every
    // source sees the same values.
    g_object_class_install_property(
        objectClass, PropPlugged,
        g_param_spec_boolean("plugged", "Plugged",
                             "Whether the USB camera is plugged in; unplugging fails its "
                             "running sources",
                             TRUE, ReadWrite));
    g_object_class_install_property(
        objectClass, PropTruncateEvery,
        g_param_spec_uint("truncate-every", "Truncate every",
                          "Cut every N-th MJPEG frame of a source to half, without EOI (0: none)",
                          0, G_MAXUINT, 0, ReadWrite));
    g_object_class_install_property(
        objectClass, PropCorrupt,
        g_param_spec_boolean("corrupt", "Corrupt",
                             "Send MJPEG frames whose headers no decoder accepts", FALSE,
                             ReadWrite));
    g_object_class_install_property(
        objectClass, PropFramesSent,
        g_param_spec_uint64("frames-sent", "Frames sent", "Buffers sent by all sources", 0,
                            G_MAXUINT64, 0,
                            static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    GstDeviceProviderClass* providerClass = GST_DEVICE_PROVIDER_CLASS(klass);
    providerClass->probe = Probe;
    providerClass->start = Start;
    providerClass->stop = Stop;
    gst_device_provider_class_set_static_metadata(
        providerClass, "Emulated camera provider", "Video/Source",
        "Lists Kamvero's emulated USB camera and DV camcorder", "Kamvero developers");
}

static void kamvero_emu_cam_provider_init(KamveroEmuCamProvider* provider) {
    std::construct_at(&State(provider));
}
