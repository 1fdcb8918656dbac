#include "xdnd/statemachine.h"

#include <algorithm>
#include <limits>

namespace xdnd {

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

namespace {

constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

// The action a Position asks for: the first allowed of copy, move, link, private.
Action requestedAction(unsigned long mask) {
    if (mask & opCopy) return Action::copy;
    if (mask & opMove) return Action::move;
    if (mask & opLink) return Action::link;
    if (mask & (opGeneric | opPrivate)) return Action::private_;
    return Action::none;
}

}  // namespace

StateMachine::StateMachine(const Timeouts& timeouts, unsigned long maskOutside,
                           unsigned long maskInside, int x, int y)
    : timeouts_(timeouts), maskOutside_(maskOutside), maskInside_(maskInside), x_(x), y_(y) {}

std::uint64_t StateMachine::nextDeadline() const {
    switch (status_) {
        case DragStatus::idle:
            if (target_.window == 0) return never;
            return positionDue_ ? positionSentAt_ : positionSentAt_ + timeouts_.restingPosition + 1;
        case DragStatus::motionWait:
            return positionSentAt_ + timeouts_.status + 1;
        case DragStatus::releaseWait:
        case DragStatus::dropWait:
            return deadline_ + 1;
        case DragStatus::ended:
            break;
    }
    return never;
}

bool StateMachine::allowed(Action action) const {
    unsigned long m = mask();
    switch (action) {
        case Action::none:
            return m != 0;
        case Action::copy:
            return m & opCopy;
        case Action::move:
            return m & opMove;
        case Action::link:
            return m & opLink;
        case Action::private_:
            return m & (opPrivate | opGeneric);
        case Action::ask:
            return (m & (opCopy | opMove | opLink)) != 0;
        case Action::other:
            break;
    }
    return false;
}

// ---- One function per message

void StateMachine::sendEnter(Effects& out) {
    Effect e{Effect::enter};
    e.to = target_.sendTo;
    e.target = target_.window;
    e.version = target_.version;
    out.push_back(e);
    status_ = DragStatus::idle;
    accepted_ = false;
}

void StateMachine::sendPosition(std::uint64_t now, Effects& out) {
    Action action = requestedAction(mask());
    positionDue_ = false;
    if (action == Action::none) {
        accepted_ = false;
        return;
    }
    Effect e{Effect::position};
    e.to = target_.sendTo;
    e.target = target_.window;
    e.x = x_;
    e.y = y_;
    e.action = action;
    out.push_back(e);
    if (status_ == DragStatus::idle) status_ = DragStatus::motionWait;
    positionSentAt_ = now;
}

void StateMachine::sendLeave(Effects& out) {
    Effect e{Effect::leave};
    e.to = target_.sendTo;
    e.target = target_.window;
    out.push_back(e);
    target_ = Target{};
    status_ = DragStatus::idle;
    positionDue_ = accepted_ = false;
}

void StateMachine::sendDrop(std::uint64_t now, Effects& out) {
    Effect e{Effect::drop};
    e.to = target_.sendTo;
    e.target = target_.window;
    out.push_back(e);
    out.push_back(Effect{Effect::hideIcon});
    status_ = DragStatus::dropWait;
    deadline_ = now + timeouts_.finished;
}

void StateMachine::end(Outcome outcome, Effects& out) {
    if (target_.window != 0 && status_ != DragStatus::dropWait && outcome != Outcome::dropped)
        sendLeave(out);
    status_ = DragStatus::ended;
    Effect e{Effect::ended};
    e.outcome = outcome;
    out.push_back(e);
}

// ---- Events

Effects StateMachine::pointer(std::uint64_t now, int x, int y, const Target& under) {
    Effects out;
    if (!dragging()) return out;
    x_ = x;
    y_ = y;
    Effect move{Effect::moveIcon};
    move.x = x;
    move.y = y;
    out.push_back(move);
    bool speaks = under.window != 0 && under.version >= oldestVersion;
    Target next = speaks ? under : Target{};
    if (!(next == target_)) {
        if (target_.window != 0) sendLeave(out);
        if (next.window == 0) return out;
        target_ = next;
        target_.version = std::min(under.version, newestVersion);
        sendEnter(out);
    }
    if (target_.window == 0) return out;
    if (status_ == DragStatus::motionWait)
        positionDue_ = true;
    else
        sendPosition(now, out);
    return out;
}

Effects StateMachine::release(std::uint64_t now) {
    Effects out;
    if (!dragging()) return out;
    if (target_.window == 0) {
        end(Outcome::refused, out);
    } else if (status_ == DragStatus::motionWait || positionDue_) {
        // Decided when the target has answered the last position.
        bool inFlight = status_ == DragStatus::motionWait;
        status_ = DragStatus::releaseWait;
        deadline_ = now + timeouts_.releaseStatus;
        if (!inFlight) sendPosition(now, out);
    } else if (accepted_) {
        sendDrop(now, out);
    } else {
        end(Outcome::refused, out);
    }
    return out;
}

Effects StateMachine::escape() {
    Effects out;
    if (status_ != DragStatus::ended && status_ != DragStatus::dropWait)
        end(Outcome::cancelled, out);
    return out;
}

Effects StateMachine::tick(std::uint64_t now) {
    Effects out;
    if (status_ == DragStatus::releaseWait || status_ == DragStatus::dropWait) {
        if (now > deadline_) end(Outcome::timedOut, out);
        return out;
    }
    if (!dragging()) return out;
    if (status_ == DragStatus::motionWait && now - positionSentAt_ > timeouts_.status) {
        // The target did not answer: it counts as refusing, and the drag goes on.
        status_ = DragStatus::idle;
        accepted_ = false;
    }
    // Targets that scroll or expand under a resting pointer need fresh positions.
    if (target_.window != 0 && status_ == DragStatus::idle &&
        (positionDue_ || now - positionSentAt_ > timeouts_.restingPosition))
        sendPosition(now, out);
    return out;
}

Effects StateMachine::status(std::uint64_t now, WindowId from, bool accepts, Action action) {
    Effects out;
    if (target_.window == 0 || from != target_.window) return out;  // a target already left
    if (dragging()) {
        status_ = DragStatus::idle;
        accepted_ = accepts && allowed(action);
        if (positionDue_) sendPosition(now, out);
    } else if (status_ == DragStatus::releaseWait) {
        accepted_ = accepts && allowed(action);
        if (positionDue_)
            sendPosition(now, out);
        else if (accepted_)
            sendDrop(now, out);
        else
            end(Outcome::refused, out);
    }
    return out;
}

Effects StateMachine::finished(WindowId from, bool success) {
    Effects out;
    if (status_ != DragStatus::dropWait || target_.window == 0 || from != target_.window)
        return out;
    // Before version 5 Finished says nothing about success.
    bool ok = target_.version < 5 || success;
    end(ok ? Outcome::dropped : Outcome::refused, out);
    return out;
}

Effects StateMachine::selectionLost() {
    return stop(Outcome::cancelled);
}

Effects StateMachine::destroyed(WindowId window) {
    Effects out;
    if (status_ == DragStatus::ended || target_.window == 0 ||
        (window != target_.window && window != target_.sendTo))
        return out;
    DragStatus was = status_;
    target_ = Target{};  // gone: nothing more is sent to it
    positionDue_ = accepted_ = false;
    if (was == DragStatus::releaseWait)
        end(Outcome::refused, out);
    else if (was == DragStatus::dropWait)
        end(Outcome::timedOut, out);
    else
        status_ = DragStatus::idle;
    return out;
}

Effects StateMachine::stop(Outcome outcome) {
    Effects out;
    if (status_ != DragStatus::ended) end(outcome, out);
    return out;
}

}  // namespace xdnd
