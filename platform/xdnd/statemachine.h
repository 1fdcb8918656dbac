// The drag source's side of the XDND protocol, as a state machine: events in
// (what the X plumbing saw or looked up), effects out (the messages to send,
// the icon to move, the end of the drag). No Xlib and no clock: every event
// carries the loop's time in milliseconds, and nextDeadline() says when a
// tick is next due, so it runs the same under a test script as on a server.
//
// Transitions (status: event -> effects, next status). "Position" sends the
// pointer and the action asked for; with no action to ask for, nothing is
// sent and the target counts as refusing.
//
//   idle, motionWait: pointer moved             -> moveIcon; then, when the target
//                                                  under it changed: Leave to the old
//                                                  one, Enter to the new one, idle;
//                                                  then over a target: idle -> Position,
//                                                  motionWait; motionWait -> Position due
//   idle, motionWait: Status from the target    -> its answer kept; idle; Position if due
//   motionWait: tick, Position unanswered for `status` ms  -> refused so far; idle
//   idle: tick, `restingPosition` ms since the last Position, or one due -> Position
//   idle, motionWait: release over no target    -> ended(refused)
//   idle: release, the target accepted          -> Drop, hideIcon; dropWait
//   idle: release, the target refused           -> Leave, ended(refused)
//   motionWait (or a Position due): release     -> Position if none in flight; releaseWait
//   releaseWait: Status                         -> Position if due (stays); else
//                                                  accepted: Drop, hideIcon; dropWait
//                                                  refused: Leave, ended(refused)
//   releaseWait: tick past `releaseStatus` ms   -> Leave, ended(timedOut)
//   dropWait: Finished                          -> ended(dropped), or ended(refused)
//                                                  when a version 5 target failed
//   dropWait: tick past `finished` ms           -> ended(timedOut)
//   any but dropWait: Escape                    -> Leave, ended(cancelled)
//   any: selection lost to a newer owner        -> Leave (not in dropWait), ended(cancelled)
//   idle, motionWait: the target window destroyed -> no target; idle
//   releaseWait: the target window destroyed    -> ended(refused)
//   dropWait: the target window destroyed       -> ended(timedOut)
//   any: stop(outcome)                          -> Leave (not in dropWait), ended(outcome)
//   Status and Finished from any other window than the current target (a
//   late answer from a target already left) are ignored; so is every event
//   once ended. Leave and Drop go only to a target that had an Enter.
#pragma once

#include <cstdint>
#include <vector>

#include "xdnd/xdnd.h"

namespace xdnd {

// The outcome's name, as the tests and logs print it.
const char* outcomeName(Outcome outcome);

// The protocol versions this source speaks: the older of the target's and ours.
constexpr int oldestVersion = 3;
constexpr int newestVersion = 5;

enum class DragStatus {
    idle,         // dragging, no Position waiting for its Status
    motionWait,   // dragging, a Position sent and its Status not yet in
    releaseWait,  // released while a Status was due: its answer decides Drop or Leave
    dropWait,     // Drop sent, waiting for Finished
    ended,
};

// The actions of XdndPosition and XdndStatus (the plumbing maps their atoms).
enum class Action { none, copy, move, link, private_, ask, other };

// The XDND-aware window under the pointer, as the plumbing found it.
struct Target {
    WindowId window = 0;  // the target itself; 0 for none
    WindowId sendTo = 0;  // where its messages go: its proxy, or itself
    int version = 0;      // its XdndAware version
    bool inside = false;  // one of the host application's own windows

    bool operator==(const Target& other) const {
        return window == other.window && sendTo == other.sendTo;
    }
};

struct Effect {
    enum Kind { enter, position, leave, drop, moveIcon, hideIcon, ended };
    Kind kind;
    WindowId to = 0;               // messages: where it is sent (the target's proxy, or itself)
    WindowId target = 0;           // messages: the target it is about
    int version = 0;               // enter: the version spoken
    int x = 0, y = 0;              // position, moveIcon: the pointer on the root window
    Action action = Action::none;  // position: the action asked for
    Outcome outcome = Outcome::failed;  // ended
};
using Effects = std::vector<Effect>;

class StateMachine {
  public:
    // maskOutside and maskInside: the operations allowed over other
    // applications' windows and over the host's own. (x, y): the pointer.
    StateMachine(const Timeouts& timeouts, unsigned long maskOutside, unsigned long maskInside,
                 int x, int y);

    DragStatus status() const { return status_; }
    // The button is still held: idle or motionWait.
    bool dragging() const {
        return status_ == DragStatus::idle || status_ == DragStatus::motionWait;
    }
    const Target& target() const { return target_; }
    int x() const { return x_; }
    int y() const { return y_; }
    // The loop time at which tick() next has something to do; UINT64_MAX for never.
    std::uint64_t nextDeadline() const;

    Effects pointer(std::uint64_t now, int x, int y, const Target& under);
    Effects release(std::uint64_t now);
    Effects escape();
    Effects tick(std::uint64_t now);
    Effects status(std::uint64_t now, WindowId from, bool accepts, Action action);
    Effects finished(WindowId from, bool success);
    Effects selectionLost();
    Effects destroyed(WindowId window);
    Effects stop(Outcome outcome);

  private:
    void sendEnter(Effects& out);
    void sendPosition(std::uint64_t now, Effects& out);
    void sendLeave(Effects& out);
    void sendDrop(std::uint64_t now, Effects& out);
    void end(Outcome outcome, Effects& out);
    unsigned long mask() const { return target_.inside ? maskInside_ : maskOutside_; }
    bool allowed(Action action) const;

    Timeouts timeouts_;
    unsigned long maskOutside_, maskInside_;
    DragStatus status_ = DragStatus::idle;
    Target target_;
    int x_, y_;
    bool positionDue_ = false;  // the pointer moved while a Position was in flight
    bool accepted_ = false;     // the target's last answer
    std::uint64_t positionSentAt_ = 0;
    std::uint64_t deadline_ = 0;  // releaseWait and dropWait: when the wait is given up
};

}  // namespace xdnd
