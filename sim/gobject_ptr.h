#pragma once
// Owning pointers for GLib objects: one reference, dropped with
// g_object_unref when the pointer goes.

#include <glib-object.h>

#include <memory>

namespace sovra::sim {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a new reference to an object someone else owns.
template <class T>
GObjectPtr<T> GObjectRef(T* object) {
    return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

}  // namespace sovra::sim
