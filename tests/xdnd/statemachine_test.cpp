// The drag source's protocol state machine driven by scripted events, without
// an X server: what each target is told and when, the drop, the timeouts,
// Escape, late answers, a lost selection and a vanished target. Also the
// trampoline that keeps exceptions out of C callers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "xdnd/guarded.h"
#include "xdnd/statemachine.h"

namespace {

using xdnd::Action;
using xdnd::DragStatus;
using xdnd::Effect;
using xdnd::Effects;
using xdnd::Target;

const char* actionName(Action a) {
    switch (a) {
        case Action::none:
            return "none";
        case Action::copy:
            return "copy";
        case Action::move:
            return "move";
        case Action::link:
            return "link";
        case Action::private_:
            return "private";
        case Action::ask:
            return "ask";
        case Action::other:
            return "other";
    }
    return "?";
}

// One line per effect, e.g. "position 21>20 (5,6) copy": sent to 21, about 20.
std::string describe(const Effect& e) {
    auto to = [&] { return std::to_string(e.to) + ">" + std::to_string(e.target); };
    switch (e.kind) {
        case Effect::enter:
            return "enter " + to() + " v" + std::to_string(e.version);
        case Effect::position:
            return "position " + to() + " (" + std::to_string(e.x) + "," + std::to_string(e.y) +
                   ") " + actionName(e.action);
        case Effect::leave:
            return "leave " + to();
        case Effect::drop:
            return "drop " + to();
        case Effect::moveIcon:
            return "icon (" + std::to_string(e.x) + "," + std::to_string(e.y) + ")";
        case Effect::hideIcon:
            return "hide icon";
        case Effect::ended:
            return std::string("ended ") + xdnd::outcomeName(e.outcome);
    }
    return "?";
}

using Lines = std::vector<std::string>;

Lines lines(const Effects& effects, bool withIcon = false) {
    Lines out;
    for (const auto& e : effects)
        if (withIcon || e.kind != Effect::moveIcon) out.push_back(describe(e));
    return out;
}

const Target A{20, 20, 5, false};
const Target B{30, 31, 5, false};  // messages go to its proxy, 31
const Target nothing{};

xdnd::Timeouts shortTimeouts() {
    xdnd::Timeouts t;
    t.restingPosition = 50;
    t.status = 100;
    t.releaseStatus = 200;
    t.finished = 300;
    return t;
}

struct XdndStateMachine : ::testing::Test {
    xdnd::StateMachine m{shortTimeouts(), xdnd::opCopy, xdnd::opEvery, 0, 0};

    // Over a target whose Position is answered.
    void overAccepting(const Target& t, std::uint64_t now = 0) {
        m.pointer(now, 5, 6, t);
        m.status(now, t.window, true, Action::copy);
    }
};

TEST_F(XdndStateMachine, EnterAndLeaveComeInPairsAndNameTheTarget) {
    EXPECT_EQ(lines(m.pointer(0, 5, 6, A), true),
              (Lines{"icon (5,6)", "enter 20>20 v5", "position 20>20 (5,6) copy"}));
    EXPECT_EQ(m.status(), DragStatus::motionWait);
    // To another target: the first is left before the second hears anything.
    EXPECT_EQ(lines(m.pointer(1, 7, 8, B)),
              (Lines{"leave 20>20", "enter 31>30 v5", "position 31>30 (7,8) copy"}));
    EXPECT_EQ(lines(m.pointer(2, 9, 9, nothing)), (Lines{"leave 31>30"}));
    // Over no target nothing is sent, and nothing is left twice.
    EXPECT_EQ(lines(m.pointer(3, 10, 10, nothing), true), (Lines{"icon (10,10)"}));
    EXPECT_EQ(lines(m.release(4)), (Lines{"ended refused"}));
}

TEST_F(XdndStateMachine, VersionIsTheOlderOfTheirsAndOursAndOldTargetsAreNone) {
    EXPECT_EQ(lines(m.pointer(0, 1, 1, Target{20, 20, 9, false}))[0], "enter 20>20 v5");
    EXPECT_EQ(lines(m.pointer(1, 2, 2, Target{30, 30, 4, false}))[1], "enter 30>30 v4");
    EXPECT_EQ(lines(m.pointer(2, 3, 3, Target{40, 40, 2, false})), (Lines{"leave 30>30"}));
    EXPECT_EQ(m.target().window, 0u);
}

TEST_F(XdndStateMachine, OnePositionInFlightAndTheLatestPointerFollowsItsStatus) {
    m.pointer(0, 1, 1, A);
    EXPECT_TRUE(lines(m.pointer(10, 2, 2, A)).empty());
    EXPECT_TRUE(lines(m.pointer(20, 3, 3, A)).empty());
    EXPECT_EQ(lines(m.status(30, A.window, true, Action::copy)),
              (Lines{"position 20>20 (3,3) copy"}));
    EXPECT_EQ(m.status(), DragStatus::motionWait);
    EXPECT_TRUE(lines(m.status(40, A.window, true, Action::copy)).empty());
    EXPECT_EQ(m.status(), DragStatus::idle);
}

TEST_F(XdndStateMachine, DropOnAnAcceptingTargetThenFinished) {
    overAccepting(B);
    EXPECT_EQ(lines(m.release(10)), (Lines{"drop 31>30", "hide icon"}));
    EXPECT_EQ(m.status(), DragStatus::dropWait);
    // Neither the pointer nor Escape change a drop that is under way.
    EXPECT_TRUE(lines(m.pointer(11, 50, 50, A)).empty());
    EXPECT_TRUE(lines(m.escape()).empty());
    EXPECT_EQ(lines(m.finished(B.window, true)), (Lines{"ended dropped"}));
    EXPECT_EQ(m.status(), DragStatus::ended);
    // Once ended, nothing more happens.
    EXPECT_TRUE(lines(m.finished(B.window, true)).empty());
    EXPECT_TRUE(lines(m.tick(100000)).empty());
    EXPECT_TRUE(lines(m.stop(xdnd::Outcome::cancelled)).empty());
}

TEST_F(XdndStateMachine, FinishedReportsFailureOnlyFromVersionFive) {
    overAccepting(A);
    m.release(0);
    EXPECT_EQ(lines(m.finished(A.window, false)), (Lines{"ended refused"}));

    xdnd::StateMachine old(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    old.pointer(0, 1, 1, Target{20, 20, 4, false});
    old.status(0, 20, true, Action::copy);
    old.release(0);
    EXPECT_EQ(lines(old.finished(20, false)), (Lines{"ended dropped"}));
}

TEST_F(XdndStateMachine, ReleaseOverARefusingTargetLeavesIt) {
    m.pointer(0, 1, 1, A);
    m.status(0, A.window, false, Action::none);
    EXPECT_EQ(lines(m.release(1)), (Lines{"leave 20>20", "ended refused"}));
}

TEST_F(XdndStateMachine, ReleaseWhileAStatusIsDueWaitsForIt) {
    m.pointer(0, 1, 1, A);
    EXPECT_TRUE(lines(m.release(5)).empty());
    EXPECT_EQ(m.status(), DragStatus::releaseWait);
    EXPECT_EQ(lines(m.status(6, A.window, true, Action::copy)), (Lines{"drop 20>20", "hide icon"}));

    xdnd::StateMachine refused(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    refused.pointer(0, 1, 1, A);
    refused.pointer(1, 2, 2, A);  // a Position due behind the one in flight
    refused.release(2);
    EXPECT_EQ(lines(refused.status(3, A.window, true, Action::copy)),
              (Lines{"position 20>20 (2,2) copy"}));
    EXPECT_EQ(refused.status(), DragStatus::releaseWait);
    EXPECT_EQ(lines(refused.status(4, A.window, false, Action::none)),
              (Lines{"leave 20>20", "ended refused"}));
}

TEST_F(XdndStateMachine, AnUnansweredPositionCountsAsRefusedAndIsSentAgain) {
    m.pointer(0, 1, 1, A);
    EXPECT_EQ(m.nextDeadline(), 101u);
    EXPECT_TRUE(lines(m.tick(100)).empty());
    EXPECT_EQ(m.status(), DragStatus::motionWait);
    // Past the status timeout the target counts as refusing; past the resting
    // interval since the last Position it gets a fresh one.
    EXPECT_EQ(lines(m.tick(101)), (Lines{"position 20>20 (1,1) copy"}));
    EXPECT_EQ(m.status(), DragStatus::motionWait);
    m.status(110, A.window, false, Action::none);
    EXPECT_EQ(m.nextDeadline(), 152u);  // the resting pointer's next Position
    EXPECT_TRUE(lines(m.tick(151)).empty());
    EXPECT_EQ(lines(m.tick(152)), (Lines{"position 20>20 (1,1) copy"}));
}

TEST_F(XdndStateMachine, AnUnansweredReleaseAndAMissingFinishedTimeOut) {
    m.pointer(0, 1, 1, A);
    m.release(10);
    EXPECT_EQ(m.nextDeadline(), 211u);
    EXPECT_TRUE(lines(m.tick(210)).empty());
    EXPECT_EQ(lines(m.tick(211)), (Lines{"leave 20>20", "ended timedOut"}));

    xdnd::StateMachine silent(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    silent.pointer(0, 1, 1, A);
    silent.status(0, A.window, true, Action::copy);
    silent.release(1000);
    EXPECT_EQ(silent.nextDeadline(), 1301u);
    EXPECT_TRUE(lines(silent.tick(1300)).empty());
    EXPECT_EQ(lines(silent.tick(1301)), (Lines{"ended timedOut"}));  // no Leave after a Drop
}

TEST_F(XdndStateMachine, EscapeCancelsUntilTheDrop) {
    m.pointer(0, 1, 1, A);
    EXPECT_EQ(lines(m.escape()), (Lines{"leave 20>20", "ended cancelled"}));

    xdnd::StateMachine waiting(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    waiting.pointer(0, 1, 1, A);
    waiting.release(1);
    EXPECT_EQ(lines(waiting.escape()), (Lines{"leave 20>20", "ended cancelled"}));
}

TEST_F(XdndStateMachine, LateAnswersFromATargetAlreadyLeftAreIgnored) {
    m.pointer(0, 1, 1, A);
    m.pointer(1, 2, 2, B);
    // A's Status for its Position arrives after B has the pointer.
    EXPECT_TRUE(lines(m.status(2, A.window, true, Action::copy)).empty());
    EXPECT_EQ(m.status(), DragStatus::motionWait);
    m.status(3, B.window, false, Action::none);
    m.status(4, A.window, true, Action::copy);
    EXPECT_EQ(lines(m.release(5)), (Lines{"leave 31>30", "ended refused"}));

    xdnd::StateMachine dropping(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    dropping.pointer(0, 1, 1, A);
    dropping.pointer(1, 2, 2, B);
    dropping.status(2, B.window, true, Action::copy);
    dropping.release(3);
    EXPECT_TRUE(lines(dropping.finished(A.window, true)).empty());
    EXPECT_TRUE(lines(dropping.finished(B.sendTo, true)).empty());  // the proxy is not the target
    EXPECT_EQ(lines(dropping.finished(B.window, true)), (Lines{"ended dropped"}));
}

TEST_F(XdndStateMachine, ANewSelectionOwnerEndsTheDrag) {
    m.pointer(0, 1, 1, A);
    EXPECT_EQ(lines(m.selectionLost()), (Lines{"leave 20>20", "ended cancelled"}));

    xdnd::StateMachine dropped(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    dropped.pointer(0, 1, 1, A);
    dropped.status(0, A.window, true, Action::copy);
    dropped.release(1);
    EXPECT_EQ(lines(dropped.selectionLost()), (Lines{"ended cancelled"}));
}

TEST_F(XdndStateMachine, ADestroyedTargetIsForgottenWithoutALeave) {
    m.pointer(0, 1, 1, B);
    EXPECT_TRUE(lines(m.destroyed(99)).empty());  // some other window
    EXPECT_EQ(m.target().window, B.window);
    EXPECT_TRUE(lines(m.destroyed(B.sendTo)).empty());
    EXPECT_EQ(m.target().window, 0u);
    EXPECT_EQ(m.status(), DragStatus::idle);
    EXPECT_EQ(lines(m.release(1)), (Lines{"ended refused"}));

    xdnd::StateMachine waiting(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    waiting.pointer(0, 1, 1, A);
    waiting.release(1);
    EXPECT_EQ(lines(waiting.destroyed(A.window)), (Lines{"ended refused"}));

    xdnd::StateMachine dropped(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    dropped.pointer(0, 1, 1, A);
    dropped.status(0, A.window, true, Action::copy);
    dropped.release(1);
    EXPECT_EQ(lines(dropped.destroyed(A.window)), (Lines{"ended timedOut"}));
}

TEST_F(XdndStateMachine, TheActionDependsOnWhereTheTargetIs) {
    // Copy only outside the host; any action within it.
    Target inside{40, 40, 5, true};
    xdnd::StateMachine moveInside(shortTimeouts(), xdnd::opCopy, xdnd::opMove, 0, 0);
    EXPECT_EQ(lines(moveInside.pointer(0, 1, 1, inside))[1], "position 40>40 (1,1) move");
    moveInside.status(0, inside.window, true, Action::move);
    EXPECT_EQ(lines(moveInside.release(1))[0], "drop 40>40");

    // A target that answers with an action not allowed outside refuses.
    m.pointer(0, 1, 1, A);
    m.status(0, A.window, true, Action::move);
    EXPECT_EQ(lines(m.release(1)), (Lines{"leave 20>20", "ended refused"}));

    // Ask is allowed where copy, move or link is; an unknown action never.
    xdnd::StateMachine asked(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    asked.pointer(0, 1, 1, A);
    asked.status(0, A.window, true, Action::ask);
    EXPECT_EQ(lines(asked.release(1))[0], "drop 20>20");
    xdnd::StateMachine unknown(shortTimeouts(), xdnd::opCopy, xdnd::opCopy, 0, 0);
    unknown.pointer(0, 1, 1, A);
    unknown.status(0, A.window, true, Action::other);
    EXPECT_EQ(lines(unknown.release(1))[1], "ended refused");
}

TEST_F(XdndStateMachine, NoPositionWithoutAnAllowedAction) {
    xdnd::StateMachine none(shortTimeouts(), 0, 0, 0, 0);
    EXPECT_EQ(lines(none.pointer(0, 1, 1, A)), (Lines{"enter 20>20 v5"}));
    EXPECT_EQ(none.status(), DragStatus::idle);
    EXPECT_TRUE(lines(none.tick(1000)).empty());
}

TEST_F(XdndStateMachine, StopEndsWithTheGivenOutcome) {
    m.pointer(0, 1, 1, A);
    EXPECT_EQ(lines(m.stop(xdnd::Outcome::failed)), (Lines{"leave 20>20", "ended failed"}));
}

// ---- The trampoline

TEST(XdndGuarded, PassesResultsAndStopsEveryException) {
    static_assert(noexcept(xdnd::guarded([] { return 1; }, [] { return 2; })));
    EXPECT_EQ(xdnd::guarded([] { return 1; }, [] { return 2; }), 1);
    EXPECT_EQ(xdnd::guarded([]() -> int { throw std::runtime_error("x"); }, [] { return 2; }), 2);
    EXPECT_EQ(xdnd::guarded([]() -> int { throw 5; }, []() -> int { throw std::bad_alloc(); }), 0);
    int fallbacks = 0;
    xdnd::guarded([] { throw std::logic_error("y"); }, [&] { ++fallbacks; });
    xdnd::guarded([] {}, [&] { ++fallbacks; });
    EXPECT_EQ(fallbacks, 1);
}

}  // namespace
