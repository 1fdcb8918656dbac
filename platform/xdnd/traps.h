// X error traps for the connections the drag opens (folder-private). Xlib has
// one process-wide error handler, and its default one exits the process. Ours
// records errors on the connections registered here and forwards others to
// the handler installed before ours, unless that was Xlib's default.
#pragma once

#include <functional>

struct _XDisplay;

namespace xdnd::traps {

// Installs the handlers (once) and registers dpy.
void watch(_XDisplay* dpy);
void forget(_XDisplay* dpy);
// Whether an I/O error broke dpy, or dpy is not registered.
bool broken(_XDisplay* dpy);
// Runs fn and reports whether it raised no X error (waits for the server).
bool trapped(_XDisplay* dpy, const std::function<void()>& fn);

}  // namespace xdnd::traps
