#pragma once

// Owning handles for the GStreamer and GLib objects the platform layer holds. A handle either
// adopts a reference the caller already owns (what most "transfer full" calls hand out) or
// retains a borrowed one; floating elements are sunk so that ownership is never ambiguous.

#include <gst/gst.h>

#include <utility>

namespace gsthandle_detail {

template <typename T> struct TObjectTraits {
    static constexpr bool Counted = true;
    static constexpr bool Sinkable = true;
    static T* Ref(T* object) { return static_cast<T*>(gst_object_ref(object)); }
    static T* RefSink(T* object) { return static_cast<T*>(gst_object_ref_sink(object)); }
    static void Unref(T* object) { gst_object_unref(object); }
};

template <typename T> struct TMiniObjectTraits {
    static constexpr bool Counted = true;
    static constexpr bool Sinkable = false;
    static T* Ref(T* object) {
        return reinterpret_cast<T*>(gst_mini_object_ref(GST_MINI_OBJECT_CAST(object)));
    }
    static void Unref(T* object) { gst_mini_object_unref(GST_MINI_OBJECT_CAST(object)); }
};

} // namespace gsthandle_detail

template <typename T> struct TGstTraits;
template <> struct TGstTraits<GstElement> : gsthandle_detail::TObjectTraits<GstElement> {};
template <> struct TGstTraits<GstBus> : gsthandle_detail::TObjectTraits<GstBus> {};
template <> struct TGstTraits<GstPad> : gsthandle_detail::TObjectTraits<GstPad> {};
template <> struct TGstTraits<GstDevice> : gsthandle_detail::TObjectTraits<GstDevice> {};
template <>
struct TGstTraits<GstDeviceMonitor> : gsthandle_detail::TObjectTraits<GstDeviceMonitor> {};
template <>
struct TGstTraits<GstElementFactory> : gsthandle_detail::TObjectTraits<GstElementFactory> {};
template <> struct TGstTraits<GstPadTemplate> : gsthandle_detail::TObjectTraits<GstPadTemplate> {};
template <> struct TGstTraits<GstCaps> : gsthandle_detail::TMiniObjectTraits<GstCaps> {};
template <> struct TGstTraits<GstSample> : gsthandle_detail::TMiniObjectTraits<GstSample> {};
template <> struct TGstTraits<GstBuffer> : gsthandle_detail::TMiniObjectTraits<GstBuffer> {};
template <> struct TGstTraits<GstMessage> : gsthandle_detail::TMiniObjectTraits<GstMessage> {};

// Plain owned memory: one owner, released with its own free function.
template <> struct TGstTraits<GError> {
    static constexpr bool Counted = false;
    static constexpr bool Sinkable = false;
    static void Unref(GError* error) { g_error_free(error); }
};
template <> struct TGstTraits<gchar> {
    static constexpr bool Counted = false;
    static constexpr bool Sinkable = false;
    static void Unref(gchar* text) { g_free(text); }
};
template <>
struct TGstTraits<GstDeviceProvider> : gsthandle_detail::TObjectTraits<GstDeviceProvider> {};
// A NULL-terminated array of strings.
template <> struct TGstTraits<gchar*> {
    static constexpr bool Counted = false;
    static constexpr bool Sinkable = false;
    static void Unref(gchar** strings) { g_strfreev(strings); }
};
template <> struct TGstTraits<GstStructure> {
    static constexpr bool Counted = false;
    static constexpr bool Sinkable = false;
    static void Unref(GstStructure* structure) { gst_structure_free(structure); }
};

// One reference to a T, released when the handle dies. Reference-counted types copy by taking
// another reference; plain owned memory (GError, gchar) only moves.
template <typename T> class TGstHandle {
  public:
    using Traits = TGstTraits<T>;

    TGstHandle() = default;
    TGstHandle(std::nullptr_t) {}

    // Takes over a reference the caller owns.
    static TGstHandle Adopt(T* object) { return TGstHandle(object); }
    // Takes a new reference to a borrowed object.
    static TGstHandle Retain(T* object) requires Traits::Counted {
        return TGstHandle(object ? Traits::Ref(object) : nullptr);
    }
    // Sinks a floating reference (a freshly made element) or takes a new one.
    static TGstHandle RefSink(T* object) requires Traits::Sinkable {
        return TGstHandle(object ? Traits::RefSink(object) : nullptr);
    }

    TGstHandle(const TGstHandle& other) requires Traits::Counted
        : Object(other.Object ? Traits::Ref(other.Object) : nullptr) {}
    TGstHandle& operator=(const TGstHandle& other) requires Traits::Counted {
        TGstHandle copy(other);
        Swap(copy);
        return *this;
    }
    TGstHandle(TGstHandle&& other) noexcept : Object(std::exchange(other.Object, nullptr)) {}
    TGstHandle& operator=(TGstHandle&& other) noexcept {
        TGstHandle moved(std::move(other));
        Swap(moved);
        return *this;
    }
    ~TGstHandle() { Reset(); }

    T* Get() const { return Object; }
    T* operator->() const { return Object; }
    explicit operator bool() const { return Object != nullptr; }

    // For "out" parameters such as GError**: the old object is released first.
    T** OutParam() {
        Reset();
        return &Object;
    }
    void Reset() {
        if (Object)
            Traits::Unref(std::exchange(Object, nullptr));
    }
    void Swap(TGstHandle& other) noexcept { std::swap(Object, other.Object); }

    friend bool operator==(const TGstHandle& a, const TGstHandle& b) {
        return a.Object == b.Object;
    }

  private:
    explicit TGstHandle(T* object) : Object(object) {}
    T* Object = nullptr;
};

using TGstElementRef = TGstHandle<GstElement>;
using TGstPadRef = TGstHandle<GstPad>;
using TGstCapsRef = TGstHandle<GstCaps>;
using TGstBusRef = TGstHandle<GstBus>;
using TGstDeviceRef = TGstHandle<GstDevice>;
using TGstErrorPtr = TGstHandle<GError>;
using TGstString = TGstHandle<gchar>;
