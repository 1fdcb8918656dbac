// Owning handles for what the drag gets from Xlib.
//
// Xlib's own header is not included here: its macros (None, Bool, Status, ...)
// break other code. Displays are `_XDisplay*` (what Xlib calls Display*), X
// resource ids (windows, pixmaps, colormaps, atoms) are `unsigned long`.
#pragma once

#include <memory>
#include <vector>

struct _XDisplay;

namespace handles {

// The 32-bit items (at most `maxItems`) of a window's property when it has the
// given type and format 32; empty when the window lacks it, holds another type
// or format, or is gone. Property data is XFree'd here.
std::vector<unsigned long> windowProperty32(_XDisplay* dpy, unsigned long window,
                                            unsigned long property, unsigned long type,
                                            long maxItems = 1);

// An X resource freed on the display that made it. release() forgets it without
// a request, for a connection that is already broken.
template <class Free>
class XResource {
  public:
    XResource() = default;
    XResource(_XDisplay* dpy, unsigned long id) : dpy_(dpy), id_(id) {}
    ~XResource() { reset(); }
    XResource(XResource&& other) noexcept : dpy_(other.dpy_), id_(other.release()) {}
    XResource& operator=(XResource&& other) noexcept {
        if (this != &other) {
            reset();
            dpy_ = other.dpy_;
            id_ = other.release();
        }
        return *this;
    }
    XResource(const XResource&) = delete;
    XResource& operator=(const XResource&) = delete;

    unsigned long get() const { return id_; }
    explicit operator bool() const { return id_ != 0; }
    unsigned long release() {
        unsigned long id = id_;
        id_ = 0;
        return id;
    }
    void reset() noexcept {
        if (id_ != 0) Free{}(dpy_, id_);
        id_ = 0;
    }

  private:
    _XDisplay* dpy_ = nullptr;
    unsigned long id_ = 0;
};

struct XWindowFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
struct XPixmapFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
struct XColormapFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
using XWindow = XResource<XWindowFree>;      // XDestroyWindow
using XPixmap = XResource<XPixmapFree>;      // XFreePixmap
using XColormap = XResource<XColormapFree>;  // XFreeColormap

// Memory Xlib handed over (XFree'd).
struct XMemoryFree {
    void operator()(void* p) const noexcept;
};
template <class T>
using XMemory = std::unique_ptr<T, XMemoryFree>;

}  // namespace handles
