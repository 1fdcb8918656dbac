// The drag source engine in a plain libuv loop against a private Xvfb: drops
// on a GTK 3 target, on a window that is no target, Escape, a drag replacing
// a running one, and the selection answers a peer gets. Plus drag icons.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <vips/vips8>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dragicon/dragicon.h"
#include "proc.h"
#include "xdnd/xdnd.h"

// Xlib last: its macros (None, Bool, Status) clash with GoogleTest.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

const std::string scripts = std::string(SOURCE_DIR) + "/tests/dragbridge/";

// A child process with pipes to its standard input and output.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string buffer;

    static Child spawn(const std::vector<std::string>& argv, int extraFd = -1) {
        int inPipe[2], outPipe[2];
        if (pipe(inPipe) || pipe(outPipe)) return {};
        Child c;
        c.pid = fork();
        if (c.pid == 0) {
            dup2(inPipe[0], 0);
            dup2(outPipe[1], extraFd >= 0 ? extraFd : 1);
            if (extraFd >= 0) {
                int devnull = open("/dev/null", O_WRONLY);
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]})
                if (fd > 2 && fd != extraFd) close(fd);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(inPipe[0]);
        close(outPipe[1]);
        c.in = inPipe[1];
        c.out = outPipe[0];
        fcntl(c.out, F_SETFL, O_NONBLOCK);
        return c;
    }

    // Reads what is there without waiting; returns complete lines.
    std::vector<std::string> lines() {
        char chunk[4096];
        ssize_t n;
        while (out >= 0 && (n = read(out, chunk, sizeof chunk)) > 0)
            buffer.append(chunk, size_t(n));
        std::vector<std::string> result;
        for (size_t i; (i = buffer.find('\n')) != std::string::npos;) {
            result.push_back(buffer.substr(0, i));
            buffer.erase(0, i + 1);
        }
        return result;
    }

    void stop() {
        if (pid <= 0) return;
        if (in >= 0) close(in);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        if (out >= 0) close(out);
        pid = -1;
        in = out = -1;
    }
};

// A connection to the test's X server; nullptr when none can be opened.
std::unique_ptr<xdnd::Connection> connect() {
    auto opened = xdnd::Connection::open();
    return opened.ok() ? std::move(opened.value()) : nullptr;
}

// Runs the loop for about `ms` milliseconds.
void pump(int ms) {
    uv_loop_t* loop = uv_default_loop();
    uv_timer_t timer;
    uv_timer_init(loop, &timer);
    uv_timer_start(
        &timer, [](uv_timer_t* t) { uv_stop(t->loop); }, uint64_t(ms), 0);
    uv_run(loop, UV_RUN_DEFAULT);
    uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
    uv_run(loop, UV_RUN_NOWAIT);
}

void xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = testsupport::run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

// Runs the loop until the child prints a line starting with `prefix`.
std::optional<std::string> awaitLine(Child& c, const std::string& prefix, int limitMs = 8000) {
    for (int waited = 0; waited < limitMs; waited += 20) {
        for (auto& l : c.lines())
            if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
        pump(20);
    }
    return std::nullopt;
}

class XdndEngine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xdotool", X_OK) != 0 ||
            access("/usr/bin/python3", X_OK) != 0) {
            reason = "Xvfb, xdotool or python3 is not installed (tools/setup.sh installs them)";
            return;
        }
        xvfb = Child::spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten",
                             "tcp", "-terminate"},
                            3);
        std::string number;
        for (int i = 0; i < 500 && number.find('\n') == std::string::npos; ++i) {
            pollfd p{xvfb.out, POLLIN, 0};
            poll(&p, 1, 20);
            char chunk[32];
            ssize_t n = read(xvfb.out, chunk, sizeof chunk);
            if (n > 0) number.append(chunk, size_t(n));
        }
        if (number.find('\n') == std::string::npos) {
            reason = "Xvfb did not start";
            xvfb.stop();
            return;
        }
        setenv("DISPLAY", (":" + number.substr(0, number.find('\n'))).c_str(), 1);
        host = Child::spawn(
            {"/usr/bin/python3", scripts + "host_window.py", "40", "100", "300", "300"});
        target = Child::spawn(
            {"/usr/bin/python3", scripts + "gtk_drop_target.py", "500", "100", "300", "300"});
        plain = Child::spawn(
            {"/usr/bin/python3", scripts + "host_window.py", "500", "450", "300", "250"});
        auto h = awaitLine(host, "READY "), t = awaitLine(target, "READY "),
             p = awaitLine(plain, "READY ");
        if (!h || !t || !p) {
            reason = "the test windows did not appear";
            return;
        }
        hostId = std::stoul(*h);
    }

    static void TearDownTestSuite() {
        xdnd::cancel(false);
        pump(10);
        for (Child* c : {&host, &target, &plain, &xvfb})
            c->stop();
    }

    void SetUp() override {
        if (!reason.empty()) GTEST_SKIP() << "no X server for the drag tests: " << reason;
        target.lines();  // forget earlier output
    }

    // A request offering text/uri-list (the given files) and text/plain.
    xdnd::Request request(const std::string& uris, std::vector<xdnd::Outcome>* outcomes,
                          std::vector<std::string>* asked = nullptr) {
        xdnd::Request r;
        r.window = hostId;
        r.types = {"text/uri-list", "text/plain;charset=utf-8"};
        r.data = [uris, asked](const std::string& type) -> std::optional<std::string> {
            if (asked) asked->push_back(type);
            return uris;
        };
        r.operationMask = [](bool inside) { return inside ? ~0ul : 1ul; };
        r.icon.width = r.icon.height = 8;
        r.icon.rgba.assign(8 * 8 * 4, 128);
        r.icon.hotX = r.icon.hotY = 4;
        r.finished = [outcomes](xdnd::Outcome o) { outcomes->push_back(o); };
        return r;
    }

    void press() {
        xdotool({"mousemove", "150", "200"});
        xdotool({"mousedown", "1"});
    }
    void moveTo(int x, int y) {
        xdotool({"mousemove", std::to_string(x - 20), std::to_string(y - 20)});
        pump(80);
        xdotool({"mousemove", std::to_string(x), std::to_string(y)});
        pump(150);
    }
    void release() { xdotool({"mouseup", "1"}); }

    static bool finishedWithin(const std::vector<xdnd::Outcome>& outcomes, int ms) {
        for (int waited = 0; waited < ms && outcomes.empty(); waited += 20)
            pump(20);
        return !outcomes.empty();
    }

    static inline std::string reason;
    static inline Child xvfb, host, target, plain;
    static inline unsigned long hostId = 0;
};

const std::string threeUris =
    "file:///tmp/a%20b.txt\r\nfile:///tmp/%C3%BC.png\r\nfile:///tmp/notes.txt\r\n";

TEST_F(XdndEngine, GtkTargetReceivesTheUrisInOrder) {
    std::vector<xdnd::Outcome> outcomes;
    std::vector<std::string> asked;
    press();
    ASSERT_TRUE(
        xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes, &asked)).ok());
    EXPECT_TRUE(xdnd::running());
    moveTo(650, 250);
    release();
    auto drop = awaitLine(target, "DROP ");
    ASSERT_TRUE(drop.has_value());
    EXPECT_EQ(*drop,
              R"(["file:///tmp/a%20b.txt", "file:///tmp/%C3%BC.png", "file:///tmp/notes.txt"])");
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::dropped});
    EXPECT_FALSE(xdnd::running());
    EXPECT_NE(std::find(asked.begin(), asked.end(), "text/uri-list"), asked.end());
}

TEST_F(XdndEngine, ReleaseOverAWindowThatIsNoTargetIsRefused) {
    std::vector<xdnd::Outcome> outcomes;
    std::vector<std::string> asked;
    press();
    ASSERT_TRUE(
        xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes, &asked)).ok());
    moveTo(650, 250);
    moveTo(650, 575);
    release();
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::refused});
    EXPECT_FALSE(awaitLine(target, "DROP ", 500).has_value());
}

TEST_F(XdndEngine, EscapeCancels) {
    std::vector<xdnd::Outcome> outcomes;
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    moveTo(650, 250);
    xdotool({"key", "Escape"});
    ASSERT_TRUE(finishedWithin(outcomes, 3000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::cancelled});
    release();
    EXPECT_FALSE(awaitLine(target, "DROP ", 500).has_value());
}

TEST_F(XdndEngine, ANewDragEndsTheRunningOneAndCancelCanStaySilent) {
    std::vector<xdnd::Outcome> first, second, third;
    press();
    ASSERT_TRUE(
        xdnd::begin(uv_default_loop(), connect(), request("file:///tmp/first\r\n", &first)).ok());
    moveTo(650, 250);
    ASSERT_TRUE(
        xdnd::begin(uv_default_loop(), connect(), request("file:///tmp/second\r\n", &second)).ok());
    EXPECT_EQ(first, std::vector<xdnd::Outcome>{xdnd::Outcome::cancelled});
    moveTo(660, 260);
    release();
    auto drop = awaitLine(target, "DROP ");
    ASSERT_TRUE(drop.has_value());
    EXPECT_EQ(*drop, R"(["file:///tmp/second"])");
    ASSERT_TRUE(finishedWithin(second, 5000));
    EXPECT_EQ(second, std::vector<xdnd::Outcome>{xdnd::Outcome::dropped});

    press();
    ASSERT_TRUE(
        xdnd::begin(uv_default_loop(), connect(), request("file:///tmp/third\r\n", &third)).ok());
    xdnd::cancel(false);
    EXPECT_FALSE(xdnd::running());
    release();
    pump(100);
    EXPECT_TRUE(third.empty());
}

// A peer asking for the drag's selection: TARGETS, an offered type, a type
// that is not offered, and a request older than the drag.
TEST_F(XdndEngine, SelectionAnswers) {
    std::vector<xdnd::Outcome> outcomes;
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    pump(50);

    Display* peer = XOpenDisplay(nullptr);
    ASSERT_NE(peer, nullptr);
    Window w = XCreateSimpleWindow(peer, DefaultRootWindow(peer), 0, 0, 1, 1, 0, 0, 0);
    Atom selection = XInternAtom(peer, "XdndSelection", False);
    Atom prop = XInternAtom(peer, "PEER_DATA", False);
    auto convert = [&](const char* targetName, Time time) -> std::optional<std::string> {
        Atom target = XInternAtom(peer, targetName, False);
        XConvertSelection(peer, selection, target, prop, w, time);
        XFlush(peer);
        XEvent ev;
        for (int waited = 0; waited < 3000; waited += 20) {
            pump(20);
            if (XCheckTypedWindowEvent(peer, w, SelectionNotify, &ev)) {
                if (ev.xselection.property == None) return std::nullopt;
                Atom type;
                int format;
                unsigned long n, after;
                unsigned char* data = nullptr;
                XGetWindowProperty(peer, w, prop, 0, 1 << 20, True, AnyPropertyType, &type, &format,
                                   &n, &after, &data);
                std::string out;
                if (type == XA_ATOM) {
                    for (unsigned long i = 0; i < n; ++i) {
                        char* name = XGetAtomName(peer, reinterpret_cast<Atom*>(data)[i]);
                        out += std::string(name) + ";";
                        XFree(name);
                    }
                } else if (data) {
                    out.assign(reinterpret_cast<char*>(data), n);
                }
                if (data) XFree(data);
                return out;
            }
        }
        return std::string("(no answer)");
    };
    EXPECT_EQ(convert("TARGETS", CurrentTime), "TARGETS;text/uri-list;text/plain;charset=utf-8;");
    EXPECT_EQ(convert("text/uri-list", CurrentTime), threeUris);
    EXPECT_EQ(convert("image/png", CurrentTime), std::nullopt);
    EXPECT_EQ(convert("MULTIPLE", CurrentTime), std::nullopt);
    EXPECT_EQ(convert("text/uri-list", 1), std::nullopt);  // before the drag owned it
    XDestroyWindow(peer, w);
    XCloseDisplay(peer);

    moveTo(650, 575);
    release();
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::refused});
}

// A drop target of our own on its own connection, served from the same loop:
// it records the XDND messages it gets and answers as told.
struct FakeTarget {
    Display* dpy = nullptr;
    Window window = 0;  // the top-level window under the pointer
    Window proxy = 0;   // receives the messages when set
    uv_poll_t poll{};
    bool accept = true;
    bool finish = true;  // answer Drop with Finished
    std::string action = "XdndActionCopy";
    std::vector<std::string> got;  // message names, in order
    std::vector<Window> addressedTo;

    FakeTarget(int x, int y, bool viaProxy, long pid = 0) {
        dpy = XOpenDisplay(nullptr);
        Window root = DefaultRootWindow(dpy);
        window = XCreateSimpleWindow(dpy, root, x, y, 150, 150, 0, 0, 0x808080);
        Atom aware = XInternAtom(dpy, "XdndAware", False);
        unsigned long version = 5;
        Window receiver = window;
        if (viaProxy) {
            proxy = XCreateSimpleWindow(dpy, root, -10, -10, 1, 1, 0, 0, 0);
            Atom proxyAtom = XInternAtom(dpy, "XdndProxy", False);
            XChangeProperty(dpy, window, proxyAtom, XA_WINDOW, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&proxy), 1);
            XChangeProperty(dpy, proxy, proxyAtom, XA_WINDOW, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&proxy), 1);
            receiver = proxy;
        }
        XChangeProperty(dpy, receiver, aware, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&version), 1);
        if (pid) {
            unsigned long value = static_cast<unsigned long>(pid);
            XChangeProperty(dpy, window, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                            PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
        }
        XMapRaised(dpy, window);
        XSync(dpy, False);
        uv_poll_init(uv_default_loop(), &poll, ConnectionNumber(dpy));
        poll.data = this;
        uv_poll_start(&poll, UV_READABLE,
                      [](uv_poll_t* h, int, int) { static_cast<FakeTarget*>(h->data)->serve(); });
    }

    ~FakeTarget() {
        uv_poll_stop(&poll);
        uv_close(reinterpret_cast<uv_handle_t*>(&poll), nullptr);
        uv_run(uv_default_loop(), UV_RUN_NOWAIT);
        XCloseDisplay(dpy);
    }

    void reply(Window source, const char* type, long l1, long l4) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = source;
        ev.xclient.message_type = XInternAtom(dpy, type, False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = long(window);
        ev.xclient.data.l[1] = l1;
        ev.xclient.data.l[4] = l4;
        XSendEvent(dpy, source, False, NoEventMask, &ev);
    }

    void serve() {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != ClientMessage) continue;
            char* name = XGetAtomName(dpy, ev.xclient.message_type);
            std::string type = name;
            XFree(name);
            got.push_back(type);
            addressedTo.push_back(ev.xclient.window);
            Window source = Window(ev.xclient.data.l[0]);
            if (type == "XdndPosition")
                reply(source, "XdndStatus", accept ? 1 : 0,
                      accept ? long(XInternAtom(dpy, action.c_str(), False)) : 0);
            else if (type == "XdndDrop" && finish)
                reply(source, "XdndFinished", 1, long(XInternAtom(dpy, "XdndActionCopy", False)));
        }
        XFlush(dpy);
    }

    bool saw(const std::string& type) const {
        return std::find(got.begin(), got.end(), type) != got.end();
    }
};

TEST_F(XdndEngine, ProxyIsHonouredAndMessagesNameTheRealTarget) {
    FakeTarget fake(850, 450, true);
    std::vector<xdnd::Outcome> outcomes;
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    moveTo(925, 525);
    release();
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::dropped});
    ASSERT_GE(fake.got.size(), 3u);
    EXPECT_EQ(fake.got.front(), "XdndEnter");
    EXPECT_EQ(fake.got.back(), "XdndDrop");
    for (Window w : fake.addressedTo)
        EXPECT_EQ(w, fake.window);
}

TEST_F(XdndEngine, RefusingTargetGetsLeaveNotDrop) {
    FakeTarget fake(850, 450, false);
    fake.accept = false;
    std::vector<xdnd::Outcome> outcomes;
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    moveTo(925, 525);
    release();
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::refused});
    EXPECT_TRUE(fake.saw("XdndPosition"));
    EXPECT_TRUE(fake.saw("XdndLeave"));
    EXPECT_FALSE(fake.saw("XdndDrop"));
}

TEST_F(XdndEngine, TargetThatNeverFinishesIsTimedOut) {
    FakeTarget fake(850, 450, false);
    fake.finish = false;
    std::vector<xdnd::Outcome> outcomes;
    press();
    // Given up in a fraction of a second rather than the usual 10 s.
    auto r = request(threeUris, &outcomes);
    r.timeouts.finished = 300;
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), std::move(r)).ok());
    moveTo(925, 525);
    release();
    ASSERT_TRUE(finishedWithin(outcomes, 20000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::timedOut});
    EXPECT_TRUE(fake.saw("XdndDrop"));
}

// A target that goes away after the drop is not waited for.
TEST_F(XdndEngine, TargetDestroyedAfterTheDropEndsTheWait) {
    std::vector<xdnd::Outcome> outcomes;
    {
        FakeTarget fake(850, 450, false);
        fake.finish = false;
        press();
        auto r = request(threeUris, &outcomes);
        r.timeouts.finished = 600000;
        ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), std::move(r)).ok());
        moveTo(925, 525);
        release();
        for (int waited = 0; waited < 5000 && !fake.saw("XdndDrop"); waited += 20)
            pump(20);
        ASSERT_TRUE(fake.saw("XdndDrop"));
        EXPECT_TRUE(outcomes.empty());
    }  // its window goes with its connection
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::timedOut});
}

// Another client taking XdndSelection ends the drag: a drop would get its data.
TEST_F(XdndEngine, ANewSelectionOwnerCancelsTheDrag) {
    std::vector<xdnd::Outcome> outcomes;
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    moveTo(650, 250);
    Display* peer = XOpenDisplay(nullptr);
    ASSERT_NE(peer, nullptr);
    Window w = XCreateSimpleWindow(peer, DefaultRootWindow(peer), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(peer, XInternAtom(peer, "XdndSelection", False), w, CurrentTime);
    XSync(peer, False);
    ASSERT_TRUE(finishedWithin(outcomes, 3000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::cancelled});
    EXPECT_FALSE(xdnd::running());
    XDestroyWindow(peer, w);
    XCloseDisplay(peer);
    release();
    EXPECT_FALSE(awaitLine(target, "DROP ", 500).has_value());
}

// Callbacks that throw inside the loop's callbacks end the drag as failed; the
// exception never reaches the loop, and the next drag works.
TEST_F(XdndEngine, ThrowingCallbacksEndTheDragAndStayInside) {
    std::vector<xdnd::Outcome> outcomes;
    press();
    auto r = request(threeUris, &outcomes);
    r.data = [](const std::string&) -> std::optional<std::string> {
        throw std::runtime_error("no data");
    };
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), std::move(r)).ok());
    Display* peer = XOpenDisplay(nullptr);
    ASSERT_NE(peer, nullptr);
    Window w = XCreateSimpleWindow(peer, DefaultRootWindow(peer), 0, 0, 1, 1, 0, 0, 0);
    XConvertSelection(peer, XInternAtom(peer, "XdndSelection", False),
                      XInternAtom(peer, "text/uri-list", False),
                      XInternAtom(peer, "PEER_DATA", False), w, CurrentTime);
    XFlush(peer);
    ASSERT_TRUE(finishedWithin(outcomes, 3000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::failed});
    EXPECT_FALSE(xdnd::running());
    XDestroyWindow(peer, w);
    XCloseDisplay(peer);
    release();
    pump(50);

    // A `finished` that throws, from the timer's callback (a release seen by polling).
    int calls = 0;
    press();
    auto thrower = request(threeUris, &outcomes);
    thrower.finished = [&calls](xdnd::Outcome) {
        ++calls;
        throw std::runtime_error("finished");
    };
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), std::move(thrower)).ok());
    moveTo(650, 575);
    release();
    for (int waited = 0; waited < 3000 && calls == 0; waited += 20)
        pump(20);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(xdnd::running());

    outcomes.clear();
    press();
    ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), request(threeUris, &outcomes)).ok());
    moveTo(650, 250);
    release();
    ASSERT_TRUE(awaitLine(target, "DROP ").has_value());
    ASSERT_TRUE(finishedWithin(outcomes, 5000));
    EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{xdnd::Outcome::dropped});
}

// Outside the host application only a copy is allowed; within it (the same
// _NET_WM_PID as the host window) any action.
TEST_F(XdndEngine, MoveIsAllowedOnlyWithinTheHostApplication) {
    for (bool inside : {false, true}) {
        FakeTarget host2(600, 600, false);  // a host window of our own with a pid
        unsigned long pid = 4242;
        XChangeProperty(host2.dpy, host2.window, XInternAtom(host2.dpy, "_NET_WM_PID", False),
                        XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pid),
                        1);
        XDeleteProperty(host2.dpy, host2.window, XInternAtom(host2.dpy, "XdndAware", False));
        XSync(host2.dpy, False);
        FakeTarget fake(850, 450, false, inside ? 4242 : 777);
        fake.action = "XdndActionMove";
        std::vector<xdnd::Outcome> outcomes;
        auto r = request(threeUris, &outcomes);
        r.window = host2.window;
        xdotool({"mousemove", "650", "650"});
        xdotool({"mousedown", "1"});
        ASSERT_TRUE(xdnd::begin(uv_default_loop(), connect(), std::move(r)).ok());
        moveTo(925, 525);
        release();
        ASSERT_TRUE(finishedWithin(outcomes, 5000));
        EXPECT_EQ(outcomes, std::vector<xdnd::Outcome>{inside ? xdnd::Outcome::dropped
                                                              : xdnd::Outcome::refused})
            << (inside ? "inside" : "outside");
        EXPECT_EQ(fake.saw("XdndDrop"), inside);
    }
}

int foreignErrors = 0;

// Errors on the drag's connections are kept; errors on the host's own
// connections go to the host's handler, and never to Xlib's exiting default.
TEST_F(XdndEngine, XErrorsNeverEndTheProcess) {
    Display* hostDpy = XOpenDisplay(nullptr);
    ASSERT_NE(hostDpy, nullptr);
    auto badWindow = [](Display* d) {
        XWindowAttributes a;
        XGetWindowAttributes(d, 0x7ffffff0, &a);
        XSync(d, False);
    };
    XSetErrorHandler([](Display*, XErrorEvent*) -> int { return ++foreignErrors, 0; });
    {
        auto ours = connect();
        ASSERT_NE(ours, nullptr);
        badWindow(ours->display());
        EXPECT_EQ(foreignErrors, 0);
        badWindow(hostDpy);
        EXPECT_EQ(foreignErrors, 1);
    }
    XSetErrorHandler(nullptr);  // Xlib's default, which exits
    {
        auto ours = connect();
        badWindow(hostDpy);  // would have ended the process
        badWindow(ours->display());
    }
    EXPECT_EQ(foreignErrors, 1);
    XCloseDisplay(hostDpy);
}

TEST_F(XdndEngine, NoDragWithoutALoopOrAConnection) {
    std::vector<xdnd::Outcome> outcomes;
    EXPECT_FALSE(xdnd::begin(nullptr, connect(), request(threeUris, &outcomes)).ok());
    EXPECT_FALSE(xdnd::begin(uv_default_loop(), nullptr, request(threeUris, &outcomes)).ok());
    EXPECT_TRUE(outcomes.empty());
    auto c = connect();
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->windowExists(0));
    EXPECT_FALSE(c->windowExists(0x7ffffff0));  // raises BadWindow, which is trapped
    EXPECT_TRUE(c->windowExists(hostId));
    auto p = c->pointerIn(hostId);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->windowX, 40);
    EXPECT_EQ(p->windowY, 100);
}

// ---------------------------------------------------------------------------

std::string encoded(int w, int h, const char* suffix) {
    VIPS_INIT("test");
    // A red square with half-transparent pixels.
    vips::VImage img =
        vips::VImage::black(w, h, vips::VImage::option()->set("bands", 4))
            .linear({1, 1, 1, 1}, {200, 40, 40, 128})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    void* buf = nullptr;
    size_t len = 0;
    img.write_to_buffer(suffix, &buf, &len);
    std::string out(static_cast<char*>(buf), len);
    g_free(buf);
    return out;
}

TEST(XdndDragIcon, DecodesAndRendersPremultipliedAtAnySize) {
    std::string png = encoded(20, 10, ".png");
    auto icon = dragicon::Icon::decode(png.data(), png.size());
    ASSERT_TRUE(icon.ok()) << icon.described();
    EXPECT_EQ(icon.value().width(), 20);
    EXPECT_EQ(icon.value().height(), 10);
    for (auto [w, h] : {std::pair{20, 10}, {7, 3}, {64, 64}, {1, 1}}) {
        auto px = icon.value().render(w, h);
        ASSERT_EQ(px.width, w);
        ASSERT_EQ(px.height, h);
        ASSERT_EQ(px.rgba.size(), size_t(w) * h * 4);
        // 200 at alpha 128 premultiplies to about 100.
        EXPECT_NEAR(px.rgba[0], 100, 2);
        EXPECT_NEAR(px.rgba[3], 128, 2);
    }
    std::string webp = encoded(12, 12, ".webp");
    auto other = dragicon::Icon::decode(webp.data(), webp.size());
    ASSERT_TRUE(other.ok()) << other.described();
    EXPECT_EQ(other.value().width(), 12);
}

TEST(XdndDragIcon, RefusesWhatIsNoWholeImage) {
    std::string png = encoded(64, 64, ".png");
    EXPECT_FALSE(dragicon::Icon::decode(nullptr, 0).ok());
    EXPECT_FALSE(dragicon::Icon::decode("not an image", 12).ok());
    EXPECT_FALSE(dragicon::Icon::decode(png.data(), png.size() - 30).ok());
    EXPECT_FALSE(dragicon::Icon::decode(png.data(), 40).ok());
    // A whole image of a kind no allowed loader reads.
    std::string ppm = encoded(8, 8, ".ppm");
    EXPECT_FALSE(dragicon::Icon::decode(ppm.data(), ppm.size()).ok());
}

}  // namespace
