// The drag icon's window (folder-private): the icon's pixels in an
// override-redirect window that the pointer passes through, its hot spot kept
// under the pointer.
#pragma once

#include "handles/x11.h"
#include "xdnd/xdnd.h"

namespace xdnd {

class IconWindow {
  public:
    IconWindow() = default;
    // Maps the icon with its hot spot at (x, y) on dpy's default screen. No
    // window for an empty or malformed icon, or on a screen with neither a
    // 32-bit nor a 24-bit true-colour visual.
    static IconWindow show(_XDisplay* dpy, const Icon& icon, int x, int y);

    explicit operator bool() const { return bool(window_); }
    unsigned long window() const { return window_.get(); }
    void moveTo(int x, int y);  // the hot spot's new place
    void hide();
    void destroy();  // frees the window and what it shows
    void abandon();  // forgets them: their connection takes no more requests

  private:
    _XDisplay* dpy_ = nullptr;
    int hotX_ = 0, hotY_ = 0;
    handles::XPixmap pixmap_;
    handles::XColormap colormap_;
    handles::XWindow window_;
};

}  // namespace xdnd
