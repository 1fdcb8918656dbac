// Outputs appear whole or not at all: a path that takes no file (a device,
// FIFO, socket, folder, or the input itself) is refused and left as it was; a
// failed, stopped or killed run leaves the previous output as it was and no
// temporary file; a transcode whose host goes away ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "destinations.h"
#include "files/files.h"
#include "proc.h"

extern char** environ;

namespace fs = std::filesystem;
using testsupport::bin;
using testsupport::namesIn;
using testsupport::readFile;

namespace {

std::string media(const std::string& name) {
    return testsupport::fixture("reelctl/outputs/" + name);
}

// reelctl run after `prologue` (a file size limit) in the shell that execs
// it; killed after two minutes (a run blocked in open(2)).
testsupport::Run reelctl(const std::vector<std::string>& arguments,
                         const std::string& prologue = "") {
    std::vector<std::string> argv = {
        "/usr/bin/timeout",         "-k",      "5",           "120", "/bin/bash", "-c",
        prologue + "\nexec \"$@\"", "reelctl", bin("reelctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::run(argv);
}

std::string fileSizeLimit(int kib) {
    return "trap '' XFSZ; ulimit -f " + std::to_string(kib);
}

// Starts a program without waiting; its standard output and error go to
// logs/out and logs/err.
pid_t start(std::vector<std::string> argv, const std::string& logs) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (logs + "/out").c_str(), O_WRONLY | O_CREAT,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (logs + "/err").c_str(), O_WRONLY | O_CREAT,
                                     0644);
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Exit status, or 128 + signal; -1 when the process is still running after
// `seconds` (then it is killed).
int finished(pid_t pid, int seconds = 120) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // ECHILD: an orphan not yet handed to this process.
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Polls until `ready` holds; false when `pid` ended first.
bool awaitWhileRunning(pid_t pid, const std::function<bool()>& ready) {
    while (!ready()) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Some entry of `dir` besides `known` (an output under way).
std::function<bool()> newEntryIn(const std::string& dir, std::set<std::string> known = {}) {
    return [dir, known] { return namesIn(dir).size() > known.size(); };
}

}  // namespace

// Every kind of path that takes no file, as each command's destination: the
// command's write failure, the thing there and the input untouched, no
// temporary file. A manifest that cannot be saved is only printed, unless its
// path is the input.
TEST(Outputs, RefusedDestinationsAreLeftAsTheyWere) {
    struct Command {
        const char* name;
        const char* file;  // the destination inside the output folder
        int status;
    } commands[] = {
        {"poster", "p.jpg", 73},
        {"frames", "frame_0.jpg", 73},
        {"frames", "manifest.json", 73},
        {"transcode", "t.mp4", 75},
    };
    int unsupported = 0;
    for (const auto& kind : testsupport::refusedDestinations())
        for (const Command& c : commands) {
            SCOPED_TRACE(std::string(kind.kind) + ", " + c.name + " " + c.file);
            std::string dir = testsupport::scratchDir("outputs-refused"), out = dir + "/out";
            fs::create_directory(out);
            std::string dest = out + "/" + c.file;
            std::string in =
                testsupport::makeDestination(kind.kind, dest, media("clip.mp4"), dir + "/in.mp4");
            if (in.empty()) {
                ++unsupported;
                continue;
            }
            std::string node = testsupport::nodeAt(dest), input = readFile(in);
            auto before = namesIn(out);
            auto r = reelctl({c.name, in, c.name == std::string("frames") ? out : dest});

            bool onlyPrinted = c.file == std::string("manifest.json") && !kind.isInput;
            std::string prefix =
                c.status == 75 ? "transcode failed: " : "failed to write " + dest + ": ";
            EXPECT_EQ(r.status, onlyPrinted ? 0 : c.status) << r.err;
            EXPECT_EQ(r.err, onlyPrinted ? "" : prefix + kind.description + "\n");
            EXPECT_EQ(testsupport::nodeAt(dest), node);
            EXPECT_TRUE(readFile(in) == input) << "the input changed";
            for (const std::string& name : namesIn(out))
                EXPECT_TRUE(before.count(name) || (onlyPrinted && name.rfind("frame_", 0) == 0))
                    << name;
        }
    EXPECT_LE(unsupported, 2 * 4) << "only the devices may be beyond this system's rights";
}

// A run that fails (damaged input, a full disk) keeps the earlier output as
// it was, a symbolic link's target included, and leaves no temporary file.
TEST(Outputs, PreviousOutputSurvivesAFailedRun) {
    std::string good = testsupport::scratchDir("outputs-good");
    ASSERT_EQ(reelctl({"poster", media("clip.mp4"), good + "/p.jpg"}).status, 0);
    ASSERT_EQ(reelctl({"transcode", media("clip.mp4"), good + "/t.mp4"}).status, 0);
    struct Case {
        const char* command;
        const char* input;
        std::string prologue;
        bool throughLink;
        int status;
        std::string err;  // with <out> for the destination
    } cases[] = {
        {"poster", "damaged.mp4", "", false, 74, "poster extraction failed: "},
        {"poster", "clip.mp4", fileSizeLimit(1), false, 73,
         "failed to write <out>: File too large"},
        {"poster", "clip.mp4", fileSizeLimit(1), true, 73, "failed to write <out>: File too large"},
        {"transcode", "damaged.mp4", "", false, 75, "transcode failed: End of file"},
        {"transcode", "clip.mp4", fileSizeLimit(8), false, 75, "transcode failed: File too large"},
        {"transcode", "clip.mp4", fileSizeLimit(8), true, 75, "transcode failed: File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.input + " " + c.prologue +
                     (c.throughLink ? " (link)" : ""));
        std::string dir = testsupport::scratchDir("outputs-survive");
        std::string previous =
            readFile(good + (c.command == std::string("poster") ? "/p.jpg" : "/t.mp4"));
        testsupport::writeFile(dir + "/target", previous);
        std::string dest = dir + "/target";
        if (c.throughLink) {
            dest = dir + "/link";
            ASSERT_EQ(::symlink("target", dest.c_str()), 0);
        }
        auto before = namesIn(dir);
        auto r = reelctl({c.command, media(c.input), dest}, c.prologue);
        EXPECT_EQ(r.status, c.status);
        std::string err = c.err;
        if (auto at = err.find("<out>"); at != std::string::npos) err.replace(at, 5, dest);
        EXPECT_EQ(r.err.rfind(err, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(readFile(dir + "/target") == previous) << "the earlier output changed";
        EXPECT_EQ(namesIn(dir), before);
        EXPECT_EQ(fs::is_symlink(dest), c.throughLink);
    }
}

// A symbolic link at the destination is replaced itself (its target stays);
// a new file gets 0666 under the umask, a replaced one keeps its mode.
TEST(Outputs, ReplacesLinksNotTargetsAndGivesUsualModes) {
    struct Umask {
        mode_t previous = ::umask(002);
        ~Umask() { ::umask(previous); }
    } umask002;
    for (const char* command : {"poster", "transcode"})
        for (const char* before : {"nothing", "symlink", "file 0640"}) {
            SCOPED_TRACE(std::string(command) + " over " + before);
            std::string dir = testsupport::scratchDir("outputs-replace");
            std::string dest = dir + "/out", target = dir + "/target";
            testsupport::writeFile(target, "previous");
            if (before == std::string("symlink")) {
                ASSERT_EQ(::symlink("target", dest.c_str()), 0);
            }
            if (before == std::string("file 0640")) {
                testsupport::writeFile(dest, "previous");
                ASSERT_EQ(::chmod(dest.c_str(), 0640), 0);
            }
            auto r = reelctl({command, media("clip.mp4"), dest});
            ASSERT_EQ(r.status, 0) << r.err;
            struct stat st {};
            ASSERT_EQ(::lstat(dest.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, before == std::string("file 0640") ? 0640u : 0664u);
            EXPECT_TRUE(readFile(dest) != "previous") << "not replaced";
            EXPECT_TRUE(readFile(target) == "previous") << "the link's target changed";
            EXPECT_EQ(namesIn(dir), (std::set<std::string>{"out", "target"}));
        }
}

// SIGTERM, SIGINT or SIGHUP while a transcode writes: it stops as a failed
// export (75), removes its unfinished file and keeps the earlier export.
TEST(Outputs, StopSignalsEndATranscodeWithoutTrace) {
    std::string previous = readFile(media("clip.mp4"));
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        std::string dir = testsupport::scratchDir("outputs-stop");
        std::string logs = testsupport::scratchDir("outputs-stop-logs");
        testsupport::writeFile(dir + "/out.mp4", previous);
        pid_t pid = start({bin("reelctl"), "transcode", media("long.mp4"), dir + "/out.mp4"}, logs);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(awaitWhileRunning(pid, newEntryIn(dir, {"out.mp4"})))
            << "the transcode ended before it was signalled";
        kill(pid, sig);
        EXPECT_EQ(finished(pid), 75);
        EXPECT_EQ(readFile(logs + "/err"), "transcode failed: Immediate exit requested\n");
        EXPECT_EQ(readFile(logs + "/out"), "");
        EXPECT_EQ(namesIn(dir), std::set<std::string>{"out.mp4"});
        EXPECT_TRUE(readFile(dir + "/out.mp4") == previous) << "the earlier export changed";
    }
}

// A host that dies (its shell killed) ends the transcode it started, which
// leaves no file behind. This process adopts the orphan to see its end.
TEST(Outputs, TranscodeEndsWhenItsHostDies) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string dir = testsupport::scratchDir("outputs-orphan");
    std::string logs = testsupport::scratchDir("outputs-orphan-logs");
    pid_t host = start({"/bin/bash", "-c", "\"$0\" transcode \"$1\" \"$2\" & echo $! >\"$3\"; wait",
                        bin("reelctl"), media("long.mp4"), dir + "/out.mp4", logs + "/pid"},
                       logs);
    ASSERT_GT(host, 0);
    ASSERT_TRUE(awaitWhileRunning(
        host, [&] { return !readFile(logs + "/pid").empty() && newEntryIn(dir)(); }));
    pid_t transcode = std::stoi(readFile(logs + "/pid"));
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_EQ(finished(transcode, 20), 75) << "the transcode outlived its host";
    EXPECT_TRUE(namesIn(dir).empty());
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// frames into a folder an earlier run filled, killed (SIGKILL) once its first
// new frame is there: the earlier manifest is never left to describe it.
TEST(Outputs, FramesKilledMidwayNeverKeepTheEarlierManifest) {
    std::string dir = testsupport::scratchDir("outputs-killed");
    std::string logs = testsupport::scratchDir("outputs-killed-logs");
    auto first = reelctl(
        {"frames", media("long.mp4"), dir, "--count", "40", "--max", "40", "--max-edge", "16"});
    ASSERT_EQ(first.status, 0) << first.err;
    std::string manifest = readFile(dir + "/manifest.json"), frame = readFile(dir + "/frame_0.jpg");
    pid_t pid = start({bin("reelctl"), "frames", media("long.mp4"), dir, "--count", "40", "--max",
                       "40", "--max-edge", "320"},
                      logs);
    ASSERT_GT(pid, 0);
    bool midway = awaitWhileRunning(pid, [&] { return readFile(dir + "/frame_0.jpg") != frame; });
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!midway) GTEST_SKIP() << "the run ended before its first frame was seen";
    EXPECT_FALSE(testsupport::exists(dir + "/manifest.json") &&
                 readFile(dir + "/manifest.json") == manifest)
        << "the earlier run's manifest stands beside a new frame";
}

// Temporary files being written are removed however the process ends: exit(),
// or SIGTERM, SIGINT, SIGHUP (the process then ends by that signal); a signal
// the process ignores stays ignored.
TEST(OutputsDeathTest, TemporaryFilesGoWithTheProcess) {
    struct Case {
        const char* how;
        std::function<void()> end;
        std::function<bool(int)> ended;
    } cases[] = {
        {"SIGTERM", [] { raise(SIGTERM); }, testing::KilledBySignal(SIGTERM)},
        {"SIGINT", [] { raise(SIGINT); }, testing::KilledBySignal(SIGINT)},
        {"SIGHUP", [] { raise(SIGHUP); }, testing::KilledBySignal(SIGHUP)},
        {"exit", [] { std::exit(3); }, testing::ExitedWithCode(3)},
        {"ignored SIGHUP", [] { raise(SIGHUP), std::exit(4); }, testing::ExitedWithCode(4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::string dir = testsupport::scratchDir("outputs-temporaries");
        EXPECT_EXIT(
            {
                if (c.how == std::string("ignored SIGHUP")) signal(SIGHUP, SIG_IGN);
                files::removeTemporariesOnSignals();
                auto output = files::Output::create(dir + "/x.jpg");
                if (!output.ok() || !output.value().write("jpeg", 4).ok()) std::exit(99);
                c.end();
                std::exit(98);
            },
            c.ended, "");
        EXPECT_TRUE(namesIn(dir).empty());
    }
}
