#include <glib.h>

#include "handles/handles.h"

namespace handles {

void GlibFree::operator()(char* p) const noexcept { g_free(p); }

}  // namespace handles
