#include "xdnd/icon.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// Xlib last: its macros (None, Bool, Status) would rewrite the names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

namespace xdnd {

namespace {

// The server's pixels of an icon: 0xAARRGGBB, premultiplied. Without an alpha
// channel (argb false) the icon is composed over white.
std::vector<uint32_t> serverPixels(const Icon& icon, bool argb) {
    std::vector<uint32_t> px(std::size_t(icon.width) * std::size_t(icon.height));
    for (std::size_t i = 0; i < px.size(); ++i) {
        uint32_t r = icon.rgba[4 * i], g = icon.rgba[4 * i + 1], b = icon.rgba[4 * i + 2],
                 a = icon.rgba[4 * i + 3];
        if (!argb) {
            r += 255 - a;
            g += 255 - a;
            b += 255 - a;
            a = 0;
        }
        px[i] =
            (a << 24) | (std::min(r, 255u) << 16) | (std::min(g, 255u) << 8) | std::min(b, 255u);
    }
    return px;
}

handles::XPixmap pixmapOf(Display* dpy, const Icon& ic, Visual* visual, int depth, bool argb) {
    std::vector<uint32_t> px = serverPixels(ic, argb);
    XImage* image =
        XCreateImage(dpy, visual, unsigned(depth), ZPixmap, 0, reinterpret_cast<char*>(px.data()),
                     unsigned(ic.width), unsigned(ic.height), 32, 0);
    if (image == nullptr) return {};
    handles::XPixmap pixmap(dpy, XCreatePixmap(dpy, DefaultRootWindow(dpy), unsigned(ic.width),
                                               unsigned(ic.height), unsigned(depth)));
    GC gc = XCreateGC(dpy, pixmap.get(), 0, nullptr);
    XPutImage(dpy, pixmap.get(), gc, image, 0, 0, 0, 0, unsigned(ic.width), unsigned(ic.height));
    XFreeGC(dpy, gc);
    image->data = nullptr;  // px owns the pixels
    XDestroyImage(image);
    return pixmap;
}

}  // namespace

IconWindow IconWindow::show(Display* dpy, const Icon& ic, int x, int y) {
    IconWindow icon;
    if (ic.width < 1 || ic.height < 1 ||
        ic.rgba.size() != std::size_t(ic.width) * std::size_t(ic.height) * 4)
        return icon;
    int screen = DefaultScreen(dpy);
    Window root = DefaultRootWindow(dpy);
    XVisualInfo vi;
    bool argb = XMatchVisualInfo(dpy, screen, 32, TrueColor, &vi) != 0;
    Visual* visual = argb ? vi.visual : DefaultVisual(dpy, screen);
    int depth = argb ? 32 : DefaultDepth(dpy, screen);
    if (!argb && depth != 24) return icon;  // no icon on unusual visuals
    icon.dpy_ = dpy;
    icon.hotX_ = ic.hotX;
    icon.hotY_ = ic.hotY;
    icon.pixmap_ = pixmapOf(dpy, ic, visual, depth, argb);
    if (!icon.pixmap_) return icon;

    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixmap = icon.pixmap_.get();
    attrs.border_pixel = 0;
    unsigned long mask = CWOverrideRedirect | CWBackPixmap | CWBorderPixel;
    if (argb) {
        icon.colormap_ = handles::XColormap(dpy, XCreateColormap(dpy, root, visual, AllocNone));
        attrs.colormap = icon.colormap_.get();
        mask |= CWColormap;
    }
    icon.window_ = handles::XWindow(
        dpy, XCreateWindow(dpy, root, x - ic.hotX, y - ic.hotY, unsigned(ic.width),
                           unsigned(ic.height), 0, depth, InputOutput, visual, mask, &attrs));
    XStoreName(dpy, icon.window_.get(), "dragbridge drag icon");
    // The icon must not catch the pointer: an empty input shape lets the target
    // search (and the pointer) pass through it.
    int eventBase = 0, errorBase = 0;
    if (XShapeQueryExtension(dpy, &eventBase, &errorBase))
        XShapeCombineRectangles(dpy, icon.window_.get(), ShapeInput, 0, 0, nullptr, 0, ShapeSet,
                                Unsorted);
    XMapRaised(dpy, icon.window_.get());
    return icon;
}

void IconWindow::moveTo(int x, int y) {
    if (window_) XMoveWindow(dpy_, window_.get(), x - hotX_, y - hotY_);
}

void IconWindow::hide() {
    if (window_) XUnmapWindow(dpy_, window_.get());
}

void IconWindow::destroy() {
    window_.reset();
    pixmap_.reset();
    colormap_.reset();
}

void IconWindow::abandon() {
    window_.release();
    pixmap_.release();
    colormap_.release();
}

}  // namespace xdnd
