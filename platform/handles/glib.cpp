#include <glib-object.h>
#include <glib.h>

#include "handles/glib.h"

namespace handles {

void GlibFree::operator()(char* p) const noexcept {
    g_free(p);
}

void GObjectUnref::operator()(void* object) const noexcept {
    g_object_unref(object);
}

}  // namespace handles
