// XDND (protocol version 5) drag source on Xlib, driven by a libuv loop.
//
// A drag owns its own X connection: an unmapped input-only source window that
// owns XdndSelection and answers the target's selection requests, and an
// override-redirect icon window that follows the pointer. The X connection's
// file descriptor is watched with uv_poll and the pointer is followed with a
// uv_timer, so the drag runs on the loop's thread while the caller goes on.
// One drag runs at a time; beginning another ends the running one first, and
// so does another client taking XdndSelection.
//
// X errors on these connections are trapped and never end the process (Xlib's
// default handler would exit); errors on other connections go to whatever
// handler was installed before, unless that is Xlib's default.
//
// Three units make the drag: the protocol state machine (statemachine.h: what
// is said to which target, and when), the selection server (selection.h: what
// a peer gets when it asks for the data) and the X plumbing (xdnd.cpp: the
// connection, error traps, atoms, the icon window, the target search, polling).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "result/result.h"

struct _XDisplay;
struct uv_loop_s;

namespace xdnd {

using WindowId = unsigned long;

// A connection to the X server named by $DISPLAY.
class Connection {
  public:
    // Fails when no display can be opened.
    static platform::Result<std::unique_ptr<Connection>> open();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    _XDisplay* display() const { return dpy_; }

    // Whether the id names an existing window on this display.
    bool windowExists(WindowId window);

    // The pointer position relative to the window's origin, and the window's
    // origin on the root window.
    struct Pointer {
        int x = 0, y = 0;              // in the window
        int windowX = 0, windowY = 0;  // window origin on the root
    };
    std::optional<Pointer> pointerIn(WindowId window);

  private:
    explicit Connection(_XDisplay* dpy);
    _XDisplay* dpy_;
};

// Premultiplied RGBA icon pixels and where the pointer sits on them.
struct Icon {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
    int hotX = 0;  // pointer position relative to the icon's top-left corner
    int hotY = 0;
};

enum class Outcome {
    dropped,    // a target accepted the drop and reported success
    refused,    // released where no target accepted (or the target reported failure)
    cancelled,  // Escape, a newer drag or selection owner, or the loop's environment went away
    timedOut,   // the target stopped answering (or went away after the drop)
    failed,     // the drag could not go on: the X connection broke, or a callback threw
};

// Drag operation bits, as the dragging source reports them.
enum Operation : unsigned long {
    opCopy = 1,
    opLink = 2,
    opGeneric = 4,
    opPrivate = 8,
    opMove = 16,
    opDelete = 32,
    opEvery = ~0ul,
};

// How long the drag waits, in milliseconds of the loop's clock.
struct Timeouts {
    std::uint64_t tick = 16;              // pointer polling while the button is held
    std::uint64_t restingPosition = 250;  // Position again while the pointer rests
    std::uint64_t status = 1500;          // a Position left unanswered counts as refused
    std::uint64_t releaseStatus = 3000;   // released while a Status was due
    std::uint64_t finished = 10000;       // Drop sent, waiting for Finished
    std::uint64_t transfer = 10000;       // an INCR transfer whose requestor stalled
};

struct Request {
    WindowId window = 0;             // the host window the drag leaves from
    std::vector<std::string> types;  // offered data types, best first
    // The bytes for one of `types`; nothing refuses the request.
    std::function<std::optional<std::string>(const std::string& type)> data;
    // Allowed operations; inside is true over the host application's own
    // windows. Asked once for each case when the drag begins.
    std::function<unsigned long(bool inside)> operationMask;
    Icon icon;
    std::function<void(Outcome)> finished;  // called once, when the drag has ended
    Timeouts timeouts;
};

// Begins a drag on the connection, after ending any running drag. Fails (and
// calls nothing) when the drag cannot be set up, with the step that failed.
platform::Result<void> begin(uv_loop_s* loop, std::unique_ptr<Connection> connection,
                             Request request);

// Ends the running drag, if any, as cancelled. With notify false its
// `finished` is not called.
void cancel(bool notify = true);

bool running();

}  // namespace xdnd
