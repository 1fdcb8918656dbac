// Owning handles for what the services get from GLib.
//
// Every library handle a service holds is a std::unique_ptr with one of the
// deleters below (or a guard of the same shape), so every early return frees
// what was made. The library types are only declared here: a service includes
// the library's own headers.
#pragma once

#include <memory>

namespace handles {

// A string GLib handed over (g_free'd).
struct GlibFree {
    void operator()(char* p) const noexcept;
};
using GlibString = std::unique_ptr<char, GlibFree>;

// A GObject reference (g_object_unref'd), such as a libvips source.
struct GObjectUnref {
    void operator()(void* object) const noexcept;
};

}  // namespace handles
