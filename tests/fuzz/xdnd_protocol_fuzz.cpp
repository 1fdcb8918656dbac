// Arbitrary event sequences through the drag source's protocol state machine,
// against a small world of windows that appear, change XdndAware and
// XdndProxy, and vanish. Checked on every step (a violation traps):
// - messages go only to the current target's proxy (or itself), about that
//   target, and only after an Enter to it; never two Enters without a Leave
//   between; a Leave or a Drop ends every Enter (or the target's window went
//   away); never a second Position while one waits for its Status;
// - "ended" comes once, last, and nothing at all follows it;
// - a released drag ends within its deadlines: ticks are driven up to
//   nextDeadline() and past the sum of the timeouts;
// - each event makes a bounded number of effects.
//
// Input: a header (timeouts, operation masks, pointer), then one event per
// 4 bytes: kind, then three argument bytes.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "xdnd/statemachine.h"

namespace {

using xdnd::Effect;
using xdnd::Effects;
using xdnd::StateMachine;
using xdnd::Target;
using xdnd::WindowId;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();
constexpr int windows = 4;

struct Reader {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    bool more() const { return at < size; }
};

// The windows under the pointer: each has an id (a new one when it comes
// back after being destroyed), an XdndAware version and perhaps a proxy.
struct World {
    struct Window {
        WindowId id = 0;
        bool alive = true;
        int version = 5;
        int proxy = -1;  // index of the window that is its proxy, or -1
    };
    Window w[windows];
    WindowId nextId = 0x400001;
    World() {
        for (auto& one : w)
            one.id = nextId++;
    }
    // What the plumbing would find under the pointer over window i.
    Target at(int i) const {
        if (i < 0 || i >= windows || !w[i].alive) return Target{};
        const Window& win = w[i];
        WindowId sendTo = win.id;
        int version = win.version;
        if (win.proxy >= 0 && w[win.proxy].alive) {
            sendTo = w[win.proxy].id;
            version = w[win.proxy].version;
        }
        if (version < xdnd::oldestVersion) return Target{};
        return Target{win.id, sendTo, version, false};
    }
};

// What the peers were told so far, kept independently of the machine.
struct Model {
    std::optional<Target> entered;  // the target of the last Enter not yet ended
    bool positionInFlight = false;
    std::uint64_t positionAt = 0;
    bool ended = false;
    std::optional<std::uint64_t> releasedAt;
};

void checkEffects(const Effects& effects, Model& m, const StateMachine& machine) {
    check(effects.size() <= 4);
    if (m.ended) check(effects.empty());
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const Effect& e = effects[i];
        check(!m.ended);
        switch (e.kind) {
            case Effect::enter:
                check(!m.entered);
                check(e.to != 0 && e.target != 0);
                check(e.version >= xdnd::oldestVersion && e.version <= xdnd::newestVersion);
                m.entered = Target{e.target, e.to, e.version, false};
                m.positionInFlight = false;
                break;
            case Effect::position:
            case Effect::leave:
            case Effect::drop:
                check(m.entered.has_value());
                check(e.to == m.entered->sendTo && e.target == m.entered->window);
                if (e.kind == Effect::position) {
                    check(!m.positionInFlight);
                    check(e.action != xdnd::Action::none);
                    m.positionInFlight = true;
                } else {
                    m.entered.reset();
                    m.positionInFlight = false;
                }
                break;
            case Effect::moveIcon:
            case Effect::hideIcon:
                break;
            case Effect::ended:
                check(i + 1 == effects.size());
                m.ended = true;
                break;
        }
    }
    check(m.ended == (machine.status() == xdnd::DragStatus::ended));
    if (!m.ended && m.entered) check(machine.target() == *m.entered);
    // A target the machine still speaks to had its Enter (after a Drop it hears nothing more).
    if (!m.ended && machine.status() != xdnd::DragStatus::dropWait && machine.target().window != 0)
        check(m.entered.has_value());
}

// Ticks until the session must have ended; it ends within its deadlines.
void drainTicks(StateMachine& machine, Model& m, std::uint64_t& now,
                const xdnd::Timeouts& timeouts) {
    std::uint64_t limit = *m.releasedAt + timeouts.releaseStatus + timeouts.finished + 2;
    for (int round = 0; round < 8 && !m.ended; ++round) {
        std::uint64_t next = machine.nextDeadline();
        check(next != never);  // a released drag always waits for something
        check(next <= limit);
        if (next > now) now = next;
        checkEffects(machine.tick(now), m, machine);
    }
    check(m.ended);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    xdnd::Timeouts timeouts;
    timeouts.restingPosition = 1 + in.byte() * 4u;
    timeouts.status = 1 + in.byte() * 8u;
    timeouts.releaseStatus = 1 + in.byte() * 16u;
    timeouts.finished = 1 + in.byte() * 32u;
    unsigned long maskOutside = in.byte(), maskInside = in.byte();
    StateMachine machine(timeouts, maskOutside, maskInside, 0, 0);
    World world;
    Model m;
    std::uint64_t now = 1000;

    while (in.more()) {
        std::uint8_t kind = in.byte() % 12;
        std::uint8_t a = in.byte(), b = in.byte(), c = in.byte();
        bool wasDragging = machine.dragging();
        Effects out;
        switch (kind) {
            case 0: {  // pointer motion over window a (or none)
                Target under = world.at(int(a % (windows + 1)) - 1);
                under.inside = b & 1;
                // Versions beyond ours are spoken down to ours.
                if (under.window != 0 && (b & 2)) under.version += c;
                out = machine.pointer(now, int(b) - 128, int(c) - 128, under);
                break;
            }
            case 1:
                out = machine.release(now);
                if (wasDragging) m.releasedAt = now;
                break;
            case 2:
                out = machine.escape();
                break;
            case 3: {  // time passes
                now += std::uint64_t(a) * (b & 0x80 ? 64u : 1u) + 1;
                if (m.positionInFlight && now - m.positionAt > timeouts.status)
                    m.positionInFlight = false;  // unanswered: the drag goes on
                out = machine.tick(now);
                break;
            }
            case 4: {  // XdndStatus from window a, any flags and action
                WindowId from = a < 200 ? world.w[a % windows].id : WindowId(a) << (b % 24);
                if (m.entered && from == m.entered->window) m.positionInFlight = false;
                out = machine.status(now, from, b & 1, xdnd::Action(c % 7));
                break;
            }
            case 5: {  // XdndFinished
                WindowId from = a < 200 ? world.w[a % windows].id : WindowId(a);
                out = machine.finished(from, b & 1);
                break;
            }
            case 6: {  // a window destroyed
                World::Window& w = world.w[a % windows];
                if (!w.alive) break;
                w.alive = false;
                if (m.entered && (w.id == m.entered->window || w.id == m.entered->sendTo)) {
                    m.entered.reset();  // gone: no Leave is owed to it
                    m.positionInFlight = false;
                }
                out = machine.destroyed(w.id);
                break;
            }
            case 7: {  // a destroyed window comes back (a new id), or a stranger's id dies
                World::Window& w = world.w[a % windows];
                if (!w.alive) {
                    w = World::Window{};
                    w.id = world.nextId++;
                } else {
                    out = machine.destroyed(0x100000 + b);
                }
                break;
            }
            case 8:  // XdndAware changes
                world.w[a % windows].version = int(b % 8);
                break;
            case 9:  // XdndProxy changes
                world.w[a % windows].proxy = b % (windows + 1) - 1;
                break;
            case 10:
                out = machine.selectionLost();
                break;
            case 11:
                out = machine.stop(xdnd::Outcome(a % 5));
                break;
        }
        for (const Effect& e : out)
            if (e.kind == Effect::position) m.positionAt = now;
        checkEffects(out, m, machine);
        if (m.releasedAt && !m.ended && kind == 3)
            check(now <= *m.releasedAt + timeouts.releaseStatus + timeouts.finished + 1);
    }

    if (!m.ended) {
        if (machine.dragging()) {
            checkEffects(machine.release(now), m, machine);
            m.releasedAt = now;
        }
        if (!m.ended) drainTicks(machine, m, now, timeouts);
    }
    // Nothing follows the end.
    checkEffects(machine.tick(now + 1000000), m, machine);
    checkEffects(machine.status(now, world.w[0].id, true, xdnd::Action::copy), m, machine);
    checkEffects(machine.escape(), m, machine);
    return 0;
}
