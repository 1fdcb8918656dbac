// The X plumbing of the drag: the connection, atoms, the source window, the
// target search, pointer polling and the loop's handles; the error traps
// (traps.h) and the icon window (icon.h) are units of their own. What to say
// to a target is the state machine's (statemachine.h), what to answer a
// selection request is the selection server's (selection.h): this file turns
// X events into their events and their answers into requests.
#include "xdnd/xdnd.h"

#include <uv.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

#include "handles/x11.h"
#include "xdnd/guarded.h"
#include "xdnd/icon.h"
#include "xdnd/selection.h"
#include "xdnd/statemachine.h"
#include "xdnd/traps.h"

// Xlib last: its macros (None, Bool, Status, SelectionRequest) would rewrite
// the names above.
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>  // xcb_poll_for_reply

namespace xdnd {

namespace {

// XCB replies and errors are malloc'd and freed by the caller.
struct FreeXcb {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeXcb>;

}  // namespace

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(Display* dpy) : dpy_(dpy) {}

platform::Result<std::unique_ptr<Connection>> Connection::open() {
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr)
        return platform::Failure{
            "cannot open display \"" + std::string(XDisplayName(nullptr)) + "\"",
            "opening the X display"};
    traps::watch(dpy);
    return std::unique_ptr<Connection>(new Connection(dpy));
}

Connection::~Connection() {
    bool dead = traps::broken(dpy_);
    // A broken connection cannot be closed cleanly; its memory is left behind.
    if (!dead) XCloseDisplay(dpy_);
    traps::forget(dpy_);
}

bool Connection::windowExists(WindowId window) {
    // X resource ids have 29 bits; a larger value would be cut short on the wire
    // and could name some other window.
    if (window == 0 || window > 0x1FFFFFFFul || traps::broken(dpy_)) return false;
    XWindowAttributes attrs;
    Status ok = 0;
    bool clean = traps::trapped(dpy_, [&] { ok = XGetWindowAttributes(dpy_, window, &attrs); });
    return clean && ok != 0;
}

std::optional<Connection::Pointer> Connection::pointerIn(WindowId window) {
    if (traps::broken(dpy_)) return std::nullopt;
    Window root = DefaultRootWindow(dpy_), rootRet = 0, childRet = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    Window child = 0;
    int ox = 0, oy = 0;
    bool found = false;
    bool clean = traps::trapped(dpy_, [&] {
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

// ---------------------------------------------------------------------------
// The drag session

namespace {

struct Atoms {
    Atom aware, proxy, enter, position, status, leave, drop, finished, selection, typeList,
        actionCopy, actionMove, actionLink, actionPrivate, actionAsk, targets, incr, wmPid, stamp;

    explicit Atoms(Display* dpy) {
        const char* names[] = {
            "XdndAware",      "XdndProxy",         "XdndEnter",        "XdndPosition",
            "XdndStatus",     "XdndLeave",         "XdndDrop",         "XdndFinished",
            "XdndSelection",  "XdndTypeList",      "XdndActionCopy",   "XdndActionMove",
            "XdndActionLink", "XdndActionPrivate", "XdndActionAsk",    "TARGETS",
            "INCR",           "_NET_WM_PID",       "_DRAG_SOURCE_TIME"};
        Atom* fields[] = {&aware,      &proxy,      &enter,      &position,      &status,
                          &leave,      &drop,       &finished,   &selection,     &typeList,
                          &actionCopy, &actionMove, &actionLink, &actionPrivate, &actionAsk,
                          &targets,    &incr,       &wmPid,      &stamp};
        static_assert(std::size(names) == std::size(fields));
        Atom out[std::size(names)];
        XInternAtoms(dpy, const_cast<char**>(names), int(std::size(names)), False, out);
        for (std::size_t i = 0; i < std::size(fields); ++i)
            *fields[i] = out[i];
    }

    Atom of(Action action) const {
        switch (action) {
            case Action::copy:
                return actionCopy;
            case Action::move:
                return actionMove;
            case Action::link:
                return actionLink;
            case Action::private_:
                return actionPrivate;
            case Action::ask:
                return actionAsk;
            case Action::none:
            case Action::other:
                break;
        }
        return None;
    }

    Action action(Atom atom) const {
        if (atom == None) return Action::none;
        for (Action a : {Action::copy, Action::move, Action::link, Action::private_, Action::ask})
            if (atom == of(a)) return a;
        return Action::other;
    }
};

class Session {
  public:
    Session(uv_loop_t* loop, std::unique_ptr<Connection> conn, Request request)
        : loop_(loop),
          conn_(std::move(conn)),
          dpy_(conn_->display()),
          atoms_(dpy_),
          req_(std::move(request)) {}
    ~Session();

    platform::Result<void> setUp();
    platform::Result<void> startWatching();
    // Ends the drag (Leave to a target that has no Drop); with notify false
    // `finished` is not called.
    void end(Outcome outcome, bool notify = true);

    // Entry points from the loop, each behind the trampoline.
    static void onPoll(uv_poll_t* handle, int status, int events);
    static void onTimer(uv_timer_t* handle);
    static void onClosed(uv_handle_t* handle);

  private:
    bool over() const { return machine_->status() == DragStatus::ended; }
    bool dragging() const { return machine_->dragging(); }
    std::uint64_t now() const { return uv_now(loop_); }
    void guardedCall(void (Session::*entry)());

    // Set-up
    Time serverTime();
    platform::Result<void> takeSelection();
    long hostPid(Window w);

    // X events in
    void onTick();
    void settle();
    void drain();
    void handle(XEvent& ev);
    void onClientMessage(const XClientMessageEvent& cm);
    void onSelectionRequest(const XSelectionRequestEvent& rq);
    void onPropertyNotify(const XPropertyEvent& ev);
    bool followPointer();
    void pointerAt(int x, int y);
    Target findTarget(int x, int y);
    Window proxyOf(Window w);
    std::optional<int> awareVersion(Window w);
    bool isInside(Window w);

    // Requests out
    void apply(const Effects& effects);
    void send(const Effect& message);
    void write(const PropertyWrite& property);
    void followTarget();
    void watch(Window w);
    void schedule();
    void close(Outcome outcome);
    void releaseX();

    uv_loop_t* loop_;
    std::unique_ptr<Connection> conn_;
    Display* dpy_;
    Atoms atoms_;
    Request req_;
    std::vector<Atom> typeAtoms_;
    Window root_ = None;
    handles::XWindow source_;  // owns XdndSelection
    IconWindow icon_;
    Time time_ = CurrentTime;  // when the selection was taken
    long hostPid_ = 0;
    bool pointerGrabbed_ = false;
    bool keyboardGrabbed_ = false;
    KeyCode escape_ = 0;
    bool escapeArmed_ = false;  // Escape was seen up since the drag began
    // The pointer and keyboard queries in flight (XCB sequence numbers), 0 for none.
    unsigned pointerAsked_ = 0, keymapAsked_ = 0;
    bool notify_ = true;
    bool polling_ = false;  // the timer repeats every tick (the button is held)
    std::optional<StateMachine> machine_;
    std::optional<SelectionServer> server_;
    Target watched_;                // the target whose destruction is watched
    std::map<Window, long> masks_;  // our event masks on others' windows
    uv_poll_t poll_{};
    uv_timer_t timer_{};
    int openHandles_ = 0;  // the session is deleted when both handles have closed
};

Session* current = nullptr;  // the running drag (one at a time)

Session::~Session() {
    // Until the drag has begun the session owns its connection: closing that
    // frees every X resource made on it, and a broken one takes no requests.
    if (conn_) {
        icon_.abandon();
        source_.release();
    }
}

// ---- Set-up

long Session::hostPid(Window w) {
    // The pid of the first window up from w (w included) that carries _NET_WM_PID.
    for (int depth = 0; w != None && depth < 32; ++depth) {
        auto pid = handles::windowProperty32(dpy_, w, atoms_.wmPid, XA_CARDINAL);
        if (!pid.empty() && pid[0] != 0) return long(pid[0]);
        Window rootRet = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy_, w, &rootRet, &parent, &children, &count)) return 0;
        handles::XMemory<Window> owned(children);
        if (parent == rootRet) break;  // a top-level window: nothing above it is the host's
        w = parent;
    }
    return 0;
}

Time Session::serverTime() {
    // ICCCM: selection ownership needs a real timestamp; a zero-length append
    // to our own window makes the server send one in a PropertyNotify.
    XChangeProperty(dpy_, source_.get(), atoms_.stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent ev;
    auto isStamp = [](Display*, XEvent* e, XPointer) -> Bool { return e->type == PropertyNotify; };
    XIfEvent(dpy_, &ev, isStamp, nullptr);
    return ev.xproperty.time;
}

platform::Result<void> Session::takeSelection() {
    XSetWindowAttributes attrs{};
    attrs.event_mask = PropertyChangeMask;
    source_ = handles::XWindow(dpy_, XCreateWindow(dpy_, root_, -1, -1, 1, 1, 0, 0, InputOnly,
                                                   CopyFromParent, CWEventMask, &attrs));
    time_ = serverTime();
    if (typeAtoms_.size() > 3)
        XChangeProperty(dpy_, source_.get(), atoms_.typeList, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(typeAtoms_.data()),
                        int(typeAtoms_.size()));
    XSetSelectionOwner(dpy_, atoms_.selection, source_.get(), time_);
    if (XGetSelectionOwner(dpy_, atoms_.selection) != source_.get())
        return platform::Result<void>::failure("another client holds XdndSelection",
                                               "taking the drag selection");
    return platform::Result<void>::success();
}

platform::Result<void> Session::setUp() {
    root_ = DefaultRootWindow(dpy_);
    for (const auto& t : req_.types)
        typeAtoms_.push_back(XInternAtom(dpy_, t.c_str(), False));
    hostPid_ = hostPid(req_.window);
    if (auto owned = takeSelection(); !owned.ok()) return owned;

    long maxRequest = XExtendedMaxRequestSize(dpy_);
    if (maxRequest == 0) maxRequest = XMaxRequestSize(dpy_);
    SelectionServer::Offer offer{
        source_.get(),         time_,
        std::move(req_.types), typeAtoms_,
        std::move(req_.data),  std::size_t(std::min<long>(maxRequest, 65536)) * 4 - 128};
    server_.emplace(SelectionAtoms{atoms_.selection, atoms_.targets, atoms_.incr, XA_ATOM},
                    std::move(offer), req_.timeouts.transfer);

    Window rootRet = None, child = None;
    int x = -1, y = -1, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(dpy_, root_, &rootRet, &child, &x, &y, &wx, &wy, &mask);
    auto allowed = [&](bool inside) {
        return req_.operationMask ? req_.operationMask(inside) : (unsigned long)opCopy;
    };
    machine_.emplace(req_.timeouts, allowed(false), allowed(true), x, y);
    icon_ = IconWindow::show(dpy_, req_.icon, x, y);

    // The host usually holds the pointer grab from the button press; then the
    // pointer is followed by polling alone.
    pointerGrabbed_ = XGrabPointer(dpy_, root_, False, ButtonReleaseMask | PointerMotionMask,
                                   GrabModeAsync, GrabModeAsync, None, None, time_) == GrabSuccess;
    keyboardGrabbed_ =
        XGrabKeyboard(dpy_, root_, False, GrabModeAsync, GrabModeAsync, time_) == GrabSuccess;
    escape_ = XKeysymToKeycode(dpy_, XK_Escape);
    XFlush(dpy_);
    if (traps::broken(dpy_))
        return platform::Result<void>::failure("the X connection broke", "setting up the drag");
    return platform::Result<void>::success();
}

// Hands the session to the loop: from here on it deletes itself once both
// handles are closed.
platform::Result<void> Session::startWatching() {
    if (int rc = uv_poll_init(loop_, &poll_, ConnectionNumber(dpy_)); rc != 0)
        return platform::Result<void>::failure(uv_strerror(rc), "watching the X connection");
    poll_.data = this;
    uv_timer_init(loop_, &timer_);
    timer_.data = this;
    openHandles_ = 2;
    current = this;
    uv_poll_start(&poll_, UV_READABLE, onPoll);
    schedule();
    guardedCall(&Session::settle);  // events that arrived during set-up
    return platform::Result<void>::success();
}

// ---- The loop's callbacks

void Session::guardedCall(void (Session::*entry)()) {
    guarded([&] { (this->*entry)(); }, [&] { end(Outcome::failed); });
}

void Session::onPoll(uv_poll_t* handle, int status, int) {
    auto* s = static_cast<Session*>(handle->data);
    if (status < 0)
        guarded([&] { s->end(Outcome::failed); }, [] {});
    else
        s->guardedCall(&Session::settle);
}

void Session::onTimer(uv_timer_t* handle) {
    static_cast<Session*>(handle->data)->guardedCall(&Session::onTick);
}

void Session::onClosed(uv_handle_t* handle) {
    auto* s = static_cast<Session*>(handle->data);
    if (--s->openHandles_ == 0) delete s;
}

// ---- X events in

void Session::drain() {
    while (!over() && !traps::broken(dpy_) && XPending(dpy_) > 0) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        handle(ev);
    }
    if (!over() && traps::broken(dpy_)) end(Outcome::failed);
}

// Handles every event there is and sends what that made. A flush that would
// block reads the server's events into Xlib's queue, where the poll handle
// does not see them: they are handled before the loop waits again.
void Session::settle() {
    do {
        drain();
        if (over()) return;
        XFlush(dpy_);
    } while (XEventsQueued(dpy_, QueuedAlready) > 0);
    schedule();
}

void Session::onTick() {
    if (traps::broken(dpy_)) return end(Outcome::failed);
    bool held = !dragging() || followPointer();
    if (over()) return;
    apply(machine_->tick(now()));
    if (!held && dragging()) apply(machine_->release(now()));
    if (over()) return;
    for (Window w : server_->tick(now()))
        watch(w);
    settle();
}

// Follows the pointer and the keyboard while the button is held: Escape, a
// move. Returns whether Button1 is still down. The queries never wait for
// the server (the loop is the host's): each tick takes the answers to the
// ones sent before, when they are in, and asks again; until then nothing
// changed. Xlib's XQueryPointer would block the host while the server is
// slow or stopped, so they go through the connection's XCB side.
bool Session::followPointer() {
    xcb_connection_t* c = XGetXCBConnection(dpy_);
    auto ask = [&] {
        pointerAsked_ = xcb_query_pointer(c, xcb_window_t(root_)).sequence;
        keymapAsked_ = xcb_query_keymap(c).sequence;
        xcb_flush(c);
    };
    if (pointerAsked_ == 0) {
        ask();
        return true;
    }
    // Replies come in order: once the keymap's is in, so is the pointer's.
    void* keymapReply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(c, keymapAsked_, &keymapReply, &error)) return true;
    XcbReply<xcb_query_keymap_reply_t> keymap(static_cast<xcb_query_keymap_reply_t*>(keymapReply));
    XcbReply<xcb_generic_error_t> keymapError(error);
    void* pointerReply = nullptr;
    error = nullptr;
    xcb_poll_for_reply(c, pointerAsked_, &pointerReply, &error);
    XcbReply<xcb_query_pointer_reply_t> pointer(
        static_cast<xcb_query_pointer_reply_t*>(pointerReply));
    XcbReply<xcb_generic_error_t> pointerError(error);
    pointerAsked_ = keymapAsked_ = 0;
    if (!pointer || !keymap || !pointer->same_screen) {
        end(Outcome::failed);
        return true;
    }
    ask();
    const std::uint8_t* keys = keymap->keys;
    bool escapeDown = escape_ && (keys[escape_ / 8] & (1 << (escape_ % 8)));
    if (escapeDown && escapeArmed_) {
        apply(machine_->escape());
        return true;
    }
    if (!escapeDown) escapeArmed_ = true;
    if (pointer->root_x != machine_->x() || pointer->root_y != machine_->y())
        pointerAt(pointer->root_x, pointer->root_y);
    return (pointer->mask & XCB_BUTTON_MASK_1) != 0;
}

void Session::handle(XEvent& ev) {
    switch (ev.type) {
        case ClientMessage:
            return onClientMessage(ev.xclient);
        case SelectionRequest:
            return onSelectionRequest(ev.xselectionrequest);
        case SelectionClear:
            // A newer owner took the selection: our data is no longer what a drop gets.
            if (ev.xselectionclear.selection == atoms_.selection &&
                ev.xselectionclear.window == source_.get())
                apply(machine_->selectionLost());
            return;
        case PropertyNotify:
            return onPropertyNotify(ev.xproperty);
        case DestroyNotify:
            masks_.erase(ev.xdestroywindow.window);
            return apply(machine_->destroyed(ev.xdestroywindow.window));
        case ButtonRelease:
            if (!dragging() || ev.xbutton.button != Button1) return;
            if (ev.xbutton.x_root != machine_->x() || ev.xbutton.y_root != machine_->y())
                pointerAt(ev.xbutton.x_root, ev.xbutton.y_root);
            return apply(machine_->release(now()));
        case MotionNotify:
            if (dragging() &&
                (ev.xmotion.x_root != machine_->x() || ev.xmotion.y_root != machine_->y()))
                pointerAt(ev.xmotion.x_root, ev.xmotion.y_root);
            return;
        case KeyPress:
            if (ev.xkey.keycode == escape_) apply(machine_->escape());
            return;
        default:
            return;
    }
}

void Session::onClientMessage(const XClientMessageEvent& cm) {
    if (cm.format != 32) return;
    auto from = WindowId(cm.data.l[0]);
    if (cm.message_type == atoms_.status)
        apply(machine_->status(now(), from, cm.data.l[1] & 1, atoms_.action(Atom(cm.data.l[4]))));
    else if (cm.message_type == atoms_.finished)
        apply(machine_->finished(from, cm.data.l[1] & 1));
}

void Session::onSelectionRequest(const XSelectionRequestEvent& rq) {
    SelectionAnswer answer = server_->request(
        now(),
        ConversionRequest{rq.owner, rq.requestor, rq.selection, rq.target, rq.property, rq.time});
    watch(rq.requestor);  // before INCR is written: the first deletion must not be missed
    if (answer.write) write(*answer.write);
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = dpy_;
    reply.xselection.requestor = rq.requestor;
    reply.xselection.selection = rq.selection;
    reply.xselection.target = rq.target;
    reply.xselection.property = answer.property;  // None: refused
    reply.xselection.time = rq.time;
    XSendEvent(dpy_, rq.requestor, False, NoEventMask, &reply);
}

void Session::onPropertyNotify(const XPropertyEvent& ev) {
    if (ev.state != PropertyDelete) return;
    if (auto chunk = server_->propertyDeleted(now(), ev.window, ev.atom)) {
        write(*chunk);
        watch(ev.window);
    }
}

void Session::pointerAt(int x, int y) {
    Target under = findTarget(x, y);
    const Target& was = machine_->target();
    // Whether a target is one of the host's windows is asked once, when it is found.
    under.inside = under.window == was.window ? was.inside : isInside(under.window);
    apply(machine_->pointer(now(), x, y, under));
}

Window Session::proxyOf(Window w) {
    auto proxy = handles::windowProperty32(dpy_, w, atoms_.proxy, XA_WINDOW);
    return proxy.empty() ? None : Window(proxy[0]);
}

std::optional<int> Session::awareVersion(Window w) {
    auto version = handles::windowProperty32(dpy_, w, atoms_.aware, XA_ATOM);
    if (version.empty()) return std::nullopt;
    return int(version[0]);
}

bool Session::isInside(Window w) {
    return w != None && (w == req_.window || (hostPid_ != 0 && hostPid(w) == hostPid_));
}

Target Session::findTarget(int x, int y) {
    Target found;
    // Descend from the root to the deepest window under the point; the deepest
    // XDND-aware window on the way is the target. A window that vanishes on
    // the way makes it no target.
    bool clean = traps::trapped(dpy_, [&] {
        Window w = root_;
        for (int depth = 0; depth < 64; ++depth) {
            Window child = None;
            int cx = 0, cy = 0;
            if (!XTranslateCoordinates(dpy_, root_, w, x, y, &cx, &cy, &child)) break;
            if (child == None || child == icon_.window()) break;
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
            if (version && *version >= oldestVersion) found = Target{w, sendTo, *version, false};
        }
    });
    return clean ? found : Target{};
}

// ---- Requests out

void Session::apply(const Effects& effects) {
    for (const Effect& e : effects) {
        switch (e.kind) {
            case Effect::moveIcon:
                icon_.moveTo(e.x, e.y);
                break;
            case Effect::hideIcon:
                icon_.hide();
                break;
            case Effect::ended:
                return close(e.outcome);  // the last effect
            default:
                send(e);
        }
    }
    followTarget();
}

void Session::send(const Effect& message) {
    if (traps::broken(dpy_)) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.display = dpy_;
    ev.xclient.window = message.target;
    ev.xclient.format = 32;
    long* l = ev.xclient.data.l;
    l[0] = long(source_.get());
    switch (message.kind) {
        case Effect::enter:
            ev.xclient.message_type = atoms_.enter;
            l[1] = (long(message.version) << 24) | (typeAtoms_.size() > 3 ? 1 : 0);
            for (std::size_t i = 0; i < 3 && i < typeAtoms_.size(); ++i)
                l[2 + i] = long(typeAtoms_[i]);
            break;
        case Effect::position:
            ev.xclient.message_type = atoms_.position;
            l[2] = (long(message.x & 0xffff) << 16) | long(message.y & 0xffff);
            l[3] = long(time_);
            l[4] = long(atoms_.of(message.action));
            break;
        case Effect::leave:
            ev.xclient.message_type = atoms_.leave;
            break;
        case Effect::drop:
            ev.xclient.message_type = atoms_.drop;
            l[2] = long(time_);
            break;
        default:
            return;
    }
    XSendEvent(dpy_, message.to, False, NoEventMask, &ev);
}

void Session::write(const PropertyWrite& property) {
    // Xlib takes format-32 items as longs.
    const auto* data = property.format == 32
                           ? reinterpret_cast<const unsigned char*>(property.items.data())
                           : reinterpret_cast<const unsigned char*>(property.bytes.data());
    int count = int(property.format == 32 ? property.items.size() : property.bytes.size());
    XChangeProperty(dpy_, property.window, property.property, property.type, property.format,
                    PropModeReplace, data, count);
}

// The current target's window (and proxy) are watched for their destruction.
void Session::followTarget() {
    const Target& target = machine_->target();
    if (target == watched_ || traps::broken(dpy_)) return;
    Target old = std::exchange(watched_, target);
    for (Window w : {old.window, old.sendTo, target.window, target.sendTo})
        watch(w);
}

// Sets our event mask on another client's window to what the drag needs of
// it: property deletions while a transfer waits on it, destruction while it
// is the target.
void Session::watch(Window w) {
    if (w == None || traps::broken(dpy_)) return;
    long wanted = server_->watching(w) ? PropertyChangeMask : NoEventMask;
    if (w == watched_.window || w == watched_.sendTo) wanted |= StructureNotifyMask;
    auto found = masks_.find(w);
    long has = found == masks_.end() ? NoEventMask : found->second;
    if (wanted == has) return;
    XSelectInput(dpy_, w, wanted);
    if (wanted == NoEventMask)
        masks_.erase(w);
    else
        masks_[w] = wanted;
}

// While the button is held the timer polls the pointer every tick; after the
// release it wakes only for the next timeout.
void Session::schedule() {
    if (dragging()) {
        if (!polling_) uv_timer_start(&timer_, onTimer, req_.timeouts.tick, req_.timeouts.tick);
        polling_ = true;
        return;
    }
    polling_ = false;
    std::uint64_t next = std::min(machine_->nextDeadline(), server_->nextDeadline());
    if (next == std::numeric_limits<std::uint64_t>::max()) {
        uv_timer_stop(&timer_);
        return;
    }
    uv_timer_start(&timer_, onTimer, next > now() ? next - now() : 0, 0);
}

void Session::end(Outcome outcome, bool notify) {
    notify_ = notify;
    apply(machine_->stop(outcome));
}

void Session::releaseX() {
    // Answers still to come are dropped as they arrive.
    xcb_connection_t* c = XGetXCBConnection(dpy_);
    for (unsigned* asked : {&pointerAsked_, &keymapAsked_})
        if (*asked != 0) xcb_discard_reply(c, std::exchange(*asked, 0u));
    if (traps::broken(dpy_)) {  // no requests on a broken connection
        icon_.abandon();
        source_.release();
        return;
    }
    if (pointerGrabbed_) XUngrabPointer(dpy_, CurrentTime);
    if (keyboardGrabbed_) XUngrabKeyboard(dpy_, CurrentTime);
    for (const auto& [w, mask] : masks_)
        XSelectInput(dpy_, w, NoEventMask);
    masks_.clear();
    icon_.destroy();
    source_.reset();  // also gives up XdndSelection
    XSync(dpy_, False);
}

void Session::close(Outcome outcome) {
    if (current == this) current = nullptr;
    uv_poll_stop(&poll_);
    uv_timer_stop(&timer_);
    releaseX();
    conn_.reset();  // the poll handle is stopped: the fd may close now
    dpy_ = nullptr;
    auto finished = std::move(req_.finished);
    uv_close(reinterpret_cast<uv_handle_t*>(&poll_), onClosed);
    uv_close(reinterpret_cast<uv_handle_t*>(&timer_), onClosed);
    // `this` lives until both close callbacks have run on a later loop turn.
    if (notify_ && finished) finished(outcome);
}

}  // namespace

platform::Result<void> begin(uv_loop_s* loop, std::unique_ptr<Connection> connection,
                             Request request) {
    cancel();
    const char* step = "beginning the drag";
    if (loop == nullptr) return platform::Result<void>::failure("no event loop", step);
    if (connection == nullptr) return platform::Result<void>::failure("no X connection", step);
    if (traps::broken(connection->display()))
        return platform::Result<void>::failure("the X connection is broken", step);
    auto session = std::make_unique<Session>(loop, std::move(connection), std::move(request));
    if (auto ready = session->setUp(); !ready.ok()) return ready;
    if (auto watching = session->startWatching(); !watching.ok()) return watching;
    session.release();  // the loop's handles own it now
    return platform::Result<void>::success();
}

void cancel(bool notify) {
    if (current) current->end(Outcome::cancelled, notify);
}

bool running() {
    return current != nullptr;
}

}  // namespace xdnd
