#include "xdnd/xdnd.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <X11/keysym.h>
#include <uv.h>

#include <algorithm>
#include <cstring>
#include <utility>

// Xlib's own handlers (exported by libX11, declared in its internal header):
// the ones that end the process.
extern "C" int _XDefaultError(Display*, XErrorEvent*);
extern "C" int _XDefaultIOError(Display*);

namespace xdnd {

namespace {

constexpr int kVersion = 5;
constexpr uint64_t kTickMs = 16;
constexpr uint64_t kRestingPositionMs = 250;     // Position again while the pointer rests
constexpr uint64_t kStatusTimeoutMs = 1500;      // a Position left unanswered
constexpr uint64_t kDropStatusTimeoutMs = 3000;  // released while a Status is due
constexpr uint64_t kFinishedTimeoutMs = 10000;   // Drop sent, waiting for Finished
constexpr uint64_t kIncrTimeoutMs = 10000;       // an INCR transfer that stalled

// ---------------------------------------------------------------------------
// Error trapping. Xlib has one process-wide error handler, and its default one
// exits the process. Ours records errors on the connections opened here (the
// list below) and forwards others to the handler installed before ours, unless
// that was Xlib's default.
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

// Runs fn and reports whether it raised no X error (waits for the server).
template <class F>
bool trapped(Display* dpy, F&& fn) {
    Trap* t = trapFor(dpy);
    XSync(dpy, False);
    t->lastError = 0;
    fn();
    XSync(dpy, False);
    return t->lastError == 0;
}

bool broken(Display* dpy) {
    Trap* t = trapFor(dpy);
    return t == nullptr || t->broken;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(Display* dpy) : dpy_(dpy) {}

std::unique_ptr<Connection> Connection::open() {
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) return nullptr;
    installHandlers();
    traps.push_back(Trap{dpy, 0, false});
    XSetIOErrorExitHandler(dpy, onIOErrorExit, nullptr);
    return std::unique_ptr<Connection>(new Connection(dpy));
}

Connection::~Connection() {
    bool dead = broken(dpy_);
    // A broken connection cannot be closed cleanly; its memory is left behind.
    if (!dead) XCloseDisplay(dpy_);
    traps.erase(
        std::remove_if(traps.begin(), traps.end(), [this](const Trap& t) { return t.dpy == dpy_; }),
        traps.end());
}

bool Connection::windowExists(WindowId window) {
    // X resource ids have 29 bits; a larger value would be cut short on the wire
    // and could name some other window.
    if (window == 0 || window > 0x1FFFFFFFul || broken(dpy_)) return false;
    XWindowAttributes attrs;
    Status ok = 0;
    bool clean = trapped(dpy_, [&] { ok = XGetWindowAttributes(dpy_, window, &attrs); });
    return clean && ok != 0;
}

std::optional<Connection::Pointer> Connection::pointerIn(WindowId window) {
    if (broken(dpy_)) return std::nullopt;
    Window root = DefaultRootWindow(dpy_), rootRet = 0, childRet = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    Window child = 0;
    int ox = 0, oy = 0;
    bool found = false;
    bool clean = trapped(dpy_, [&] {
        found = XQueryPointer(dpy_, root, &rootRet, &childRet, &rx, &ry, &wx, &wy, &mask) &&
                XTranslateCoordinates(dpy_, window, root, 0, 0, &ox, &oy, &child);
    });
    if (!clean || !found) return std::nullopt;
    Pointer p;
    p.x = rx - ox;
    p.y = ry - oy;
    p.windowX = ox;
    p.windowY = oy;
    return p;
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::dropped:
            return "dropped";
        case Outcome::refused:
            return "refused";
        case Outcome::cancelled:
            return "cancelled";
        case Outcome::timedOut:
            return "timedOut";
        case Outcome::failed:
            return "failed";
    }
    return "failed";
}

// ---------------------------------------------------------------------------
// The drag session

namespace {

struct Atoms {
    Atom aware, proxy, enter, position, status, leave, drop, finished, selection, typeList,
        actionCopy, actionMove, actionLink, actionPrivate, actionAsk, targets, incr, multiple,
        timestamp, wmState, wmPid, stamp;

    explicit Atoms(Display* dpy) {
        const char* names[] = {
            "XdndAware",      "XdndProxy",         "XdndEnter",      "XdndPosition",
            "XdndStatus",     "XdndLeave",         "XdndDrop",       "XdndFinished",
            "XdndSelection",  "XdndTypeList",      "XdndActionCopy", "XdndActionMove",
            "XdndActionLink", "XdndActionPrivate", "XdndActionAsk",  "TARGETS",
            "INCR",           "MULTIPLE",          "TIMESTAMP",      "WM_STATE",
            "_NET_WM_PID",    "_DRAG_SOURCE_TIME"};
        Atom out[std::size(names)];
        XInternAtoms(dpy, const_cast<char**>(names), int(std::size(names)), False, out);
        Atom* fields[] = {&aware,      &proxy,      &enter,      &position,      &status,
                          &leave,      &drop,       &finished,   &selection,     &typeList,
                          &actionCopy, &actionMove, &actionLink, &actionPrivate, &actionAsk,
                          &targets,    &incr,       &multiple,   &timestamp,     &wmState,
                          &wmPid,      &stamp};
        for (std::size_t i = 0; i < std::size(fields); ++i)
            *fields[i] = out[i];
    }
};

// A selection answer too big for one request, sent in chunks (ICCCM INCR).
struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::string data;
    std::size_t offset;
    uint64_t lastActivity;
};

enum class Phase { dragging, awaitingStatus, dropped, ended };

class Session {
  public:
    Session(uv_loop_t* loop, std::unique_ptr<Connection> conn, Request request)
        : loop_(loop),
          conn_(std::move(conn)),
          dpy_(conn_->display()),
          atoms_(dpy_),
          req_(std::move(request)) {}

    bool setUp();
    void end(Outcome outcome, bool notify = true);

    // Entry points from the loop.
    void onReadable();
    void onTick();

    int fd() const { return ConnectionNumber(dpy_); }

    uv_poll_t poll_{};
    uv_timer_t timer_{};
    int openHandles_ = 0;

  private:
    uint64_t now() const { return uv_now(loop_); }
    long hostPid(Window w);
    void createIcon();
    Time serverTime();
    void drain();
    void handle(XEvent& ev);
    void moveTo(int x, int y);
    void release(int x, int y);
    struct Target {
        Window window = None;  // the XDND-aware window under the pointer
        Window sendTo = None;  // where messages go (its proxy, or itself)
        int version = 0;
    };
    Target findTarget(int x, int y);
    std::optional<int> awareVersion(Window w);
    void send(Atom type, long l1, long l2, long l3, long l4);
    void sendPosition();
    void sendLeave();
    void sendDrop();
    Atom requestedAction(unsigned long mask) const;
    bool actionAllowed(Atom action) const;
    void onSelectionRequest(const XSelectionRequestEvent& rq);
    void onPropertyNotify(const XPropertyEvent& ev);
    void finishTransfer(std::size_t index);

    uv_loop_t* loop_;
    std::unique_ptr<Connection> conn_;
    Display* dpy_;
    Atoms atoms_;
    Request req_;
    std::vector<Atom> typeAtoms_;
    Window root_ = None;
    Window source_ = None;
    Window icon_ = None;
    Pixmap iconPixmap_ = None;
    Colormap iconColormap_ = None;
    Time time_ = CurrentTime;
    long hostPid_ = 0;
    bool pointerGrabbed_ = false;
    bool keyboardGrabbed_ = false;
    KeyCode escape_ = 0;
    bool escapeArmed_ = false;  // Escape was seen up since the drag began
    std::size_t maxChunk_ = 0;

    Phase phase_ = Phase::dragging;
    uint64_t deadline_ = 0;
    int x_ = -1, y_ = -1;
    bool moved_ = true;
    Target target_;
    bool inside_ = false;
    bool positionInFlight_ = false;
    bool positionPending_ = false;
    uint64_t positionSentAt_ = 0;
    bool accepted_ = false;
    std::vector<Transfer> transfers_;
};

Session* current = nullptr;  // the running drag (one at a time)

void closed(uv_handle_t* handle) {
    auto* s = static_cast<Session*>(handle->data);
    if (--s->openHandles_ == 0) delete s;
}

long Session::hostPid(Window w) {
    // The pid of the first window up from w (w included) that carries _NET_WM_PID.
    for (int depth = 0; w != None && depth < 32; ++depth) {
        Atom type = None;
        int format = 0;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy_, w, atoms_.wmPid, 0, 1, False, XA_CARDINAL, &type, &format, &n,
                               &after, &data) == Success &&
            data) {
            long pid = format == 32 && n == 1 ? long(*reinterpret_cast<unsigned long*>(data)) : 0;
            XFree(data);
            if (pid) return pid;
        }
        Window rootRet = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy_, w, &rootRet, &parent, &children, &count)) return 0;
        if (children) XFree(children);
        if (parent == rootRet) break;  // a top-level window: nothing above it is the host's
        w = parent;
    }
    return 0;
}

Time Session::serverTime() {
    // ICCCM: selection ownership needs a real timestamp; a zero-length append
    // to our own window makes the server send one in a PropertyNotify.
    XChangeProperty(dpy_, source_, atoms_.stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent ev;
    auto isStamp = [](Display*, XEvent* e, XPointer) -> Bool { return e->type == PropertyNotify; };
    XIfEvent(dpy_, &ev, isStamp, nullptr);
    return ev.xproperty.time;
}

void Session::createIcon() {
    const Icon& ic = req_.icon;
    if (ic.width < 1 || ic.height < 1 ||
        ic.rgba.size() != std::size_t(ic.width) * std::size_t(ic.height) * 4)
        return;
    int screen = DefaultScreen(dpy_);
    XVisualInfo vi;
    bool argb = XMatchVisualInfo(dpy_, screen, 32, TrueColor, &vi) != 0;
    Visual* visual = argb ? vi.visual : DefaultVisual(dpy_, screen);
    int depth = argb ? 32 : DefaultDepth(dpy_, screen);
    if (!argb && depth != 24) return;  // no icon on unusual visuals

    // Pixels in the server's 32-bit layout: 0xAARRGGBB, premultiplied. Without
    // an alpha channel the icon is composed over white.
    std::vector<uint32_t> px(std::size_t(ic.width) * ic.height);
    for (std::size_t i = 0; i < px.size(); ++i) {
        uint32_t r = ic.rgba[4 * i], g = ic.rgba[4 * i + 1], b = ic.rgba[4 * i + 2],
                 a = ic.rgba[4 * i + 3];
        if (!argb) {
            r += 255 - a;
            g += 255 - a;
            b += 255 - a;
            a = 0;
        }
        px[i] =
            (a << 24) | (std::min(r, 255u) << 16) | (std::min(g, 255u) << 8) | std::min(b, 255u);
    }
    XImage* image =
        XCreateImage(dpy_, visual, unsigned(depth), ZPixmap, 0, reinterpret_cast<char*>(px.data()),
                     unsigned(ic.width), unsigned(ic.height), 32, 0);
    if (image == nullptr) return;
    iconPixmap_ =
        XCreatePixmap(dpy_, root_, unsigned(ic.width), unsigned(ic.height), unsigned(depth));
    GC gc = XCreateGC(dpy_, iconPixmap_, 0, nullptr);
    XPutImage(dpy_, iconPixmap_, gc, image, 0, 0, 0, 0, unsigned(ic.width), unsigned(ic.height));
    XFreeGC(dpy_, gc);
    image->data = nullptr;  // px owns the pixels
    XDestroyImage(image);

    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixmap = iconPixmap_;
    attrs.border_pixel = 0;
    unsigned long mask = CWOverrideRedirect | CWBackPixmap | CWBorderPixel;
    if (argb) {
        iconColormap_ = XCreateColormap(dpy_, root_, visual, AllocNone);
        attrs.colormap = iconColormap_;
        mask |= CWColormap;
    }
    icon_ = XCreateWindow(dpy_, root_, x_ - ic.hotX, y_ - ic.hotY, unsigned(ic.width),
                          unsigned(ic.height), 0, depth, InputOutput, visual, mask, &attrs);
    XStoreName(dpy_, icon_, "dragbridge drag icon");
    // The icon must not catch the pointer: an empty input shape lets the target
    // search (and the pointer) pass through it.
    int eventBase = 0, errorBase = 0;
    if (XShapeQueryExtension(dpy_, &eventBase, &errorBase))
        XShapeCombineRectangles(dpy_, icon_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    XMapRaised(dpy_, icon_);
}

bool Session::setUp() {
    root_ = DefaultRootWindow(dpy_);
    for (const auto& t : req_.types)
        typeAtoms_.push_back(XInternAtom(dpy_, t.c_str(), False));
    hostPid_ = hostPid(req_.window);

    XSetWindowAttributes attrs{};
    attrs.event_mask = PropertyChangeMask;
    source_ = XCreateWindow(dpy_, root_, -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask,
                            &attrs);
    time_ = serverTime();
    if (typeAtoms_.size() > 3)
        XChangeProperty(dpy_, source_, atoms_.typeList, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(typeAtoms_.data()),
                        int(typeAtoms_.size()));
    XSetSelectionOwner(dpy_, atoms_.selection, source_, time_);
    if (XGetSelectionOwner(dpy_, atoms_.selection) != source_) return false;

    long maxRequest = XExtendedMaxRequestSize(dpy_);
    if (maxRequest == 0) maxRequest = XMaxRequestSize(dpy_);
    maxChunk_ = std::size_t(std::min<long>(maxRequest, 65536)) * 4 - 128;

    Window rootRet = None, child = None;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(dpy_, root_, &rootRet, &child, &x_, &y_, &wx, &wy, &mask);
    createIcon();

    // The host usually holds the pointer grab from the button press; then the
    // pointer is followed by polling alone.
    pointerGrabbed_ = XGrabPointer(dpy_, root_, False, ButtonReleaseMask | PointerMotionMask,
                                   GrabModeAsync, GrabModeAsync, None, None, time_) == GrabSuccess;
    keyboardGrabbed_ =
        XGrabKeyboard(dpy_, root_, False, GrabModeAsync, GrabModeAsync, time_) == GrabSuccess;
    escape_ = XKeysymToKeycode(dpy_, XK_Escape);
    XFlush(dpy_);
    return !broken(dpy_);
}

void Session::end(Outcome outcome, bool notify) {
    if (phase_ == Phase::ended) return;
    bool dead = broken(dpy_);
    if (!dead && target_.window != None && phase_ != Phase::dropped && outcome != Outcome::dropped)
        sendLeave();
    phase_ = Phase::ended;
    if (current == this) current = nullptr;
    uv_poll_stop(&poll_);
    uv_timer_stop(&timer_);
    if (!dead) {
        if (pointerGrabbed_) XUngrabPointer(dpy_, CurrentTime);
        if (keyboardGrabbed_) XUngrabKeyboard(dpy_, CurrentTime);
        for (const auto& t : transfers_)
            XSelectInput(dpy_, t.requestor, NoEventMask);
        if (icon_) XDestroyWindow(dpy_, icon_);
        if (iconPixmap_) XFreePixmap(dpy_, iconPixmap_);
        if (iconColormap_) XFreeColormap(dpy_, iconColormap_);
        if (source_) XDestroyWindow(dpy_, source_);  // also gives up XdndSelection
        XSync(dpy_, False);
    }
    transfers_.clear();
    conn_.reset();  // the poll handle is stopped: the fd may close now
    dpy_ = nullptr;
    auto finished = std::move(req_.finished);
    uv_close(reinterpret_cast<uv_handle_t*>(&poll_), closed);
    uv_close(reinterpret_cast<uv_handle_t*>(&timer_), closed);
    // `this` lives until both close callbacks have run on a later loop turn.
    if (notify && finished) finished(outcome);
}

void Session::drain() {
    while (phase_ != Phase::ended && !broken(dpy_) && XPending(dpy_) > 0) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        handle(ev);
    }
    if (phase_ != Phase::ended && broken(dpy_)) end(Outcome::failed);
}

void Session::onReadable() {
    drain();
    if (phase_ != Phase::ended) XFlush(dpy_);
}

void Session::onTick() {
    if (broken(dpy_)) return end(Outcome::failed);
    uint64_t t = now();
    if (phase_ == Phase::dragging) {
        Window rootRet = None, child = None;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        if (!XQueryPointer(dpy_, root_, &rootRet, &child, &rx, &ry, &wx, &wy, &mask))
            return end(Outcome::failed);
        char keys[32];
        XQueryKeymap(dpy_, keys);
        bool escapeDown = escape_ && (keys[escape_ / 8] & (1 << (escape_ % 8)));
        if (escapeDown && escapeArmed_) return end(Outcome::cancelled);
        if (!escapeDown) escapeArmed_ = true;
        if (rx != x_ || ry != y_) moveTo(rx, ry);
        if (positionInFlight_ && t - positionSentAt_ > kStatusTimeoutMs) {
            // The target did not answer: treat it as refusing and go on.
            positionInFlight_ = false;
            accepted_ = false;
        }
        // Targets that scroll or expand under a resting pointer need fresh positions.
        if (phase_ == Phase::dragging && target_.window != None && !positionInFlight_ &&
            (positionPending_ || t - positionSentAt_ > kRestingPositionMs))
            sendPosition();
        if (phase_ == Phase::dragging && !(mask & Button1Mask)) release(rx, ry);
    } else if (phase_ == Phase::awaitingStatus || phase_ == Phase::dropped) {
        if (t > deadline_) return end(Outcome::timedOut);
    }
    for (std::size_t i = transfers_.size(); i-- > 0;)
        if (t - transfers_[i].lastActivity > kIncrTimeoutMs) finishTransfer(i);
    drain();
    if (phase_ != Phase::ended) XFlush(dpy_);
}

std::optional<int> Session::awareVersion(Window w) {
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, w, atoms_.aware, 0, 1, False, XA_ATOM, &type, &format, &n, &after,
                           &data) != Success)
        return std::nullopt;
    std::optional<int> version;
    if (data && type == XA_ATOM && format == 32 && n == 1)
        version = int(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return version;
}

Session::Target Session::findTarget(int x, int y) {
    Target found;
    auto proxyOf = [&](Window w) -> Window {
        Atom type = None;
        int format = 0;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        Window p = None;
        if (XGetWindowProperty(dpy_, w, atoms_.proxy, 0, 1, False, XA_WINDOW, &type, &format, &n,
                               &after, &data) == Success &&
            data) {
            if (type == XA_WINDOW && format == 32 && n == 1)
                p = Window(*reinterpret_cast<unsigned long*>(data));
            XFree(data);
        }
        return p;
    };
    // Descend from the root to the deepest window under the point; the deepest
    // XDND-aware window on the way is the target.
    Window w = root_;
    for (int depth = 0; depth < 64; ++depth) {
        Window child = None;
        int cx = 0, cy = 0;
        if (!XTranslateCoordinates(dpy_, root_, w, x, y, &cx, &cy, &child)) break;
        if (child == None || child == icon_) break;
        w = child;
        Window sendTo = w;
        // XdndProxy counts only when the proxy names itself as its own proxy.
        Window proxy = proxyOf(w);
        if (proxy != None && proxyOf(proxy) == proxy) sendTo = proxy;
        std::optional<int> version = awareVersion(sendTo);
        if (!version && sendTo != w) {
            sendTo = w;
            version = awareVersion(w);
        }
        if (version && *version >= 3) {
            found.window = w;
            found.sendTo = sendTo;
            found.version = std::min(*version, kVersion);
        }
    }
    return found;
}

void Session::send(Atom type, long l1, long l2, long l3, long l4) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.display = dpy_;
    ev.xclient.window = target_.window;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(source_);
    ev.xclient.data.l[1] = l1;
    ev.xclient.data.l[2] = l2;
    ev.xclient.data.l[3] = l3;
    ev.xclient.data.l[4] = l4;
    XSendEvent(dpy_, target_.sendTo, False, NoEventMask, &ev);
}

Atom Session::requestedAction(unsigned long mask) const {
    if (mask & opCopy) return atoms_.actionCopy;
    if (mask & opMove) return atoms_.actionMove;
    if (mask & opLink) return atoms_.actionLink;
    if (mask & (opGeneric | opPrivate)) return atoms_.actionPrivate;
    return None;
}

bool Session::actionAllowed(Atom action) const {
    unsigned long mask = req_.operationMask ? req_.operationMask(inside_) : opCopy;
    if (action == None) return mask != 0;
    if (action == atoms_.actionCopy) return mask & opCopy;
    if (action == atoms_.actionMove) return mask & opMove;
    if (action == atoms_.actionLink) return mask & opLink;
    if (action == atoms_.actionPrivate) return mask & (opPrivate | opGeneric);
    if (action == atoms_.actionAsk) return (mask & (opCopy | opMove | opLink)) != 0;
    return false;
}

void Session::sendPosition() {
    unsigned long mask = req_.operationMask ? req_.operationMask(inside_) : opCopy;
    Atom action = requestedAction(mask);
    positionPending_ = false;
    if (action == None) {
        accepted_ = false;
        return;
    }
    send(atoms_.position, 0, (long(x_ & 0xffff) << 16) | long(y_ & 0xffff), long(time_),
         long(action));
    positionInFlight_ = true;
    positionSentAt_ = now();
}

void Session::sendLeave() {
    send(atoms_.leave, 0, 0, 0, 0);
    target_ = Target{};
    positionInFlight_ = positionPending_ = accepted_ = false;
}

void Session::sendDrop() {
    send(atoms_.drop, 0, long(time_), 0, 0);
    phase_ = Phase::dropped;
    deadline_ = now() + kFinishedTimeoutMs;
    if (icon_) XUnmapWindow(dpy_, icon_);
}

void Session::moveTo(int x, int y) {
    x_ = x;
    y_ = y;
    if (icon_) XMoveWindow(dpy_, icon_, x - req_.icon.hotX, y - req_.icon.hotY);
    Target t = findTarget(x, y);
    if (t.window != target_.window || t.sendTo != target_.sendTo) {
        if (target_.window != None) sendLeave();
        target_ = t;
        if (t.window == None) return;
        inside_ = t.window == req_.window || (hostPid_ != 0 && hostPid(t.window) == hostPid_);
        long flags = long(t.version) << 24;
        if (typeAtoms_.size() > 3) flags |= 1;
        long ty[3] = {0, 0, 0};
        for (std::size_t i = 0; i < 3 && i < typeAtoms_.size(); ++i)
            ty[i] = long(typeAtoms_[i]);
        send(atoms_.enter, flags, ty[0], ty[1], ty[2]);
        positionInFlight_ = accepted_ = false;
    }
    if (target_.window == None) return;
    if (positionInFlight_)
        positionPending_ = true;
    else
        sendPosition();
}

void Session::release(int x, int y) {
    if (x != x_ || y != y_) moveTo(x, y);
    if (target_.window == None) return end(Outcome::refused);
    if (positionInFlight_ || positionPending_) {
        // Decide when the target has answered the last position.
        phase_ = Phase::awaitingStatus;
        deadline_ = now() + kDropStatusTimeoutMs;
        if (!positionInFlight_) sendPosition();
        return;
    }
    if (accepted_) return sendDrop();
    end(Outcome::refused);
}

void Session::handle(XEvent& ev) {
    switch (ev.type) {
        case ClientMessage: {
            const auto& cm = ev.xclient;
            if (cm.format != 32 || Window(cm.data.l[0]) != target_.window || target_.window == None)
                return;
            if (cm.message_type == atoms_.status) {
                if (phase_ == Phase::dropped) return;
                positionInFlight_ = false;
                accepted_ = (cm.data.l[1] & 1) && actionAllowed(Atom(cm.data.l[4]));
                if (phase_ == Phase::awaitingStatus) {
                    if (positionPending_) return sendPosition();
                    if (accepted_) return sendDrop();
                    return end(Outcome::refused);
                }
                if (positionPending_) sendPosition();
            } else if (cm.message_type == atoms_.finished && phase_ == Phase::dropped) {
                bool ok = target_.version < 5 || (cm.data.l[1] & 1);
                end(ok ? Outcome::dropped : Outcome::refused);
            }
            return;
        }
        case SelectionRequest:
            return onSelectionRequest(ev.xselectionrequest);
        case PropertyNotify:
            return onPropertyNotify(ev.xproperty);
        case ButtonRelease:
            if (phase_ == Phase::dragging && ev.xbutton.button == Button1)
                release(ev.xbutton.x_root, ev.xbutton.y_root);
            return;
        case MotionNotify:
            if (phase_ == Phase::dragging && (ev.xmotion.x_root != x_ || ev.xmotion.y_root != y_))
                moveTo(ev.xmotion.x_root, ev.xmotion.y_root);
            return;
        case KeyPress:
            if (phase_ != Phase::dropped && ev.xkey.keycode == escape_) end(Outcome::cancelled);
            return;
        default:
            return;
    }
}

void Session::onSelectionRequest(const XSelectionRequestEvent& rq) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = dpy_;
    reply.xselection.requestor = rq.requestor;
    reply.xselection.selection = rq.selection;
    reply.xselection.target = rq.target;
    reply.xselection.property = None;  // refusal unless answered below
    reply.xselection.time = rq.time;
    Atom property = rq.property != None ? rq.property : rq.target;  // obsolete clients
    bool ours = rq.selection == atoms_.selection && rq.owner == source_ &&
                (rq.time == CurrentTime || rq.time >= time_);
    if (ours && rq.target == atoms_.targets) {
        std::vector<Atom> list{atoms_.targets};
        list.insert(list.end(), typeAtoms_.begin(), typeAtoms_.end());
        XChangeProperty(dpy_, rq.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
        reply.xselection.property = property;
    } else if (ours && rq.target != None) {
        auto it = std::find(typeAtoms_.begin(), typeAtoms_.end(), rq.target);
        std::optional<std::string> bytes;
        if (it != typeAtoms_.end() && req_.data)
            bytes = req_.data(req_.types[std::size_t(it - typeAtoms_.begin())]);
        if (bytes && bytes->size() > maxChunk_) {
            XSelectInput(dpy_, rq.requestor, PropertyChangeMask);
            long size = long(bytes->size());
            XChangeProperty(dpy_, rq.requestor, property, atoms_.incr, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&size), 1);
            transfers_.push_back(
                Transfer{rq.requestor, property, rq.target, std::move(*bytes), 0, now()});
            reply.xselection.property = property;
        } else if (bytes) {
            XChangeProperty(dpy_, rq.requestor, property, rq.target, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(bytes->data()),
                            int(bytes->size()));
            reply.xselection.property = property;
        }
    }
    XSendEvent(dpy_, rq.requestor, False, NoEventMask, &reply);
}

void Session::onPropertyNotify(const XPropertyEvent& ev) {
    if (ev.state != PropertyDelete) return;
    for (std::size_t i = 0; i < transfers_.size(); ++i) {
        Transfer& t = transfers_[i];
        if (t.requestor != ev.window || t.property != ev.atom) continue;
        std::size_t n = std::min(maxChunk_, t.data.size() - t.offset);
        XChangeProperty(dpy_, t.requestor, t.property, t.type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(t.data.data() + t.offset), int(n));
        t.offset += n;
        t.lastActivity = now();
        // The zero-length chunk (n == 0) ends the transfer.
        if (n == 0) finishTransfer(i);
        return;
    }
}

void Session::finishTransfer(std::size_t index) {
    Window w = transfers_[index].requestor;
    transfers_.erase(transfers_.begin() + long(index));
    bool stillUsed = std::any_of(transfers_.begin(), transfers_.end(),
                                 [w](const Transfer& t) { return t.requestor == w; });
    if (!stillUsed) XSelectInput(dpy_, w, NoEventMask);
}

}  // namespace

bool begin(uv_loop_s* loop, std::unique_ptr<Connection> connection, Request request) {
    cancel();
    if (loop == nullptr || connection == nullptr || broken(connection->display())) return false;
    auto* s = new Session(loop, std::move(connection), std::move(request));
    // Until the handles exist, deleting the session closes its connection, and
    // with it every X resource made so far.
    if (!s->setUp() || uv_poll_init(loop, &s->poll_, s->fd()) != 0) {
        delete s;
        return false;
    }
    s->poll_.data = s;
    uv_timer_init(loop, &s->timer_);
    s->timer_.data = s;
    s->openHandles_ = 2;
    current = s;
    uv_poll_start(&s->poll_, UV_READABLE, [](uv_poll_t* h, int status, int) {
        auto* session = static_cast<Session*>(h->data);
        if (status < 0)
            session->end(Outcome::failed);
        else
            session->onReadable();
    });
    uv_timer_start(
        &s->timer_, [](uv_timer_t* h) { static_cast<Session*>(h->data)->onTick(); }, kTickMs,
        kTickMs);
    s->onReadable();  // events that arrived during set-up
    return true;
}

void cancel(bool notify) {
    if (current) current->end(Outcome::cancelled, notify);
}

bool running() {
    return current != nullptr;
}

}  // namespace xdnd
