#pragma once

// Owning pointers for the GStreamer objects the emulated camera keeps.

#include <gst/gst.h>

#include <memory>

namespace emucam {

struct TObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct TMiniObjectUnref {
    void operator()(gpointer object) const { gst_mini_object_unref(GST_MINI_OBJECT_CAST(object)); }
};

struct TStructureFree {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};

template <typename T> using TObjectRef = std::unique_ptr<T, TObjectUnref>;
using TCapsRef = std::unique_ptr<GstCaps, TMiniObjectUnref>;
using TMemoryRef = std::unique_ptr<GstMemory, TMiniObjectUnref>;
using TStructurePtr = std::unique_ptr<GstStructure, TStructureFree>;

// Another reference to an object someone else holds.
template <typename T> TObjectRef<T> Retain(T* object) {
    return TObjectRef<T>(static_cast<T*>(gst_object_ref(object)));
}

inline TMemoryRef Retain(GstMemory* memory) {
    return TMemoryRef(gst_memory_ref(memory));
}

} // namespace emucam
