#include "xdnd/traps.h"

#include <algorithm>
#include <vector>

#include <X11/Xlib.h>

// Xlib's own handlers (exported by libX11, declared in its internal header):
// the ones that end the process.
extern "C" int _XDefaultError(Display*, XErrorEvent*);
extern "C" int _XDefaultIOError(Display*);

namespace xdnd::traps {

namespace {

struct Trap {
    Display* dpy;
    unsigned char lastError;
    bool broken;  // the connection hit an I/O error
};
std::vector<Trap> traps;
XErrorHandler previousHandler = nullptr;
XIOErrorHandler previousIOHandler = nullptr;

Trap* trapFor(Display* dpy) {
    for (auto& t : traps)
        if (t.dpy == dpy) return &t;
    return nullptr;
}

int onXError(Display* dpy, XErrorEvent* event) {
    if (Trap* t = trapFor(dpy)) {
        t->lastError = event->error_code;
        return 0;
    }
    return previousHandler ? previousHandler(dpy, event) : 0;
}

int onIOError(Display* dpy) {
    if (Trap* t = trapFor(dpy)) {
        t->broken = true;
        return 0;  // the exit handler below keeps Xlib from ending the process
    }
    return previousIOHandler ? previousIOHandler(dpy) : 0;
}

void onIOErrorExit(Display* dpy, void*) {
    if (Trap* t = trapFor(dpy)) t->broken = true;
}

void installHandlers() {
    XErrorHandler current = XSetErrorHandler(onXError);
    if (current != onXError) previousHandler = current == _XDefaultError ? nullptr : current;
    XIOErrorHandler currentIO = XSetIOErrorHandler(onIOError);
    if (currentIO != onIOError)
        previousIOHandler = currentIO == _XDefaultIOError ? nullptr : currentIO;
}

}  // namespace

void watch(Display* dpy) {
    installHandlers();
    traps.push_back(Trap{dpy, 0, false});
    XSetIOErrorExitHandler(dpy, onIOErrorExit, nullptr);
}

void forget(Display* dpy) {
    std::erase_if(traps, [dpy](const Trap& t) { return t.dpy == dpy; });
}

bool broken(Display* dpy) {
    Trap* t = trapFor(dpy);
    return t == nullptr || t->broken;
}

bool trapped(Display* dpy, const std::function<void()>& fn) {
    Trap* t = trapFor(dpy);
    XSync(dpy, False);
    t->lastError = 0;
    fn();
    XSync(dpy, False);
    return t->lastError == 0;
}

}  // namespace xdnd::traps
