#include <X11/Xlib.h>

#include "handles/x11.h"

namespace handles {

std::vector<unsigned long> windowProperty32(Display* dpy, unsigned long window,
                                            unsigned long property, unsigned long type,
                                            long maxItems) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    int status = XGetWindowProperty(dpy, window, property, 0, maxItems, False, type, &actualType,
                                    &format, &count, &after, &raw);
    XMemory<unsigned char> data(raw);
    if (status != Success || !data || actualType != type || format != 32) return {};
    // Format-32 items arrive as longs, whatever the size of long.
    const auto* items = reinterpret_cast<const unsigned long*>(data.get());
    return std::vector<unsigned long>(items, items + count);
}

void XWindowFree::operator()(Display* dpy, unsigned long id) const noexcept {
    XDestroyWindow(dpy, id);
}
void XPixmapFree::operator()(Display* dpy, unsigned long id) const noexcept {
    XFreePixmap(dpy, id);
}
void XColormapFree::operator()(Display* dpy, unsigned long id) const noexcept {
    XFreeColormap(dpy, id);
}
void XMemoryFree::operator()(void* p) const noexcept {
    XFree(p);
}

}  // namespace handles
