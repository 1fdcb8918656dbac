// Outputs appear whole or not at all: a path that takes no file is refused
// and left as it was; a failed, stopped or killed run leaves the previous
// output and no temporary file; a transcode whose host goes away ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "destinations.h"
#include "files/files.h"

extern char** environ;

using namespace testsupport;

namespace {

std::string media(const std::string& name) {
    return fixture("reelctl/outputs/" + name);
}

std::string sizeLimit(int kib) {
    return "trap '' XFSZ; ulimit -f " + std::to_string(kib);
}

// reelctl run after `prologue` in the shell that execs it; killed after two
// minutes (a run blocked in open(2)).
Run reelctl(const std::vector<std::string>& arguments, const std::string& prologue = "") {
    std::vector<std::string> argv = {
        "/usr/bin/timeout",         "-k",      "5",           "120", "/bin/bash", "-c",
        prologue + "\nexec \"$@\"", "reelctl", bin("reelctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

// A bash script started without waiting, output into logs/out and logs/err.
pid_t startShell(const std::string& script, std::vector<std::string> args,
                 const std::string& logs) {
    args.insert(args.begin(), {"/bin/bash", "-c", script});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (logs + "/out").c_str(), O_WRONLY | O_CREAT,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (logs + "/err").c_str(), O_WRONLY | O_CREAT,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Polls until `ready` holds (true) or `pid` ends (false); with `ready` null,
// waits for the end: then the exit status, or 128 + signal, or -1 when it
// is still running after a minute (then it is killed).
int await(pid_t pid, const std::function<bool()>& ready = {}) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    int status = 0;
    // ECHILD: an orphan not yet handed to this process.
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (ready && ready()) return true;
        if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ready) return false;
    if (std::chrono::steady_clock::now() > deadline) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Each kind of path that takes no file, as each command's destination: the
// command's write failure, the thing there and the input untouched, no
// temporary file. A manifest that cannot be saved is only printed.
TEST(Outputs, RefusedDestinationsAreLeftAsTheyWere) {
    struct Command {
        std::string name, file;  // the destination in the output folder
        int status;
    } commands[] = {{"poster", "p.jpg", 73},
                    {"frames", "frame_0.jpg", 73},
                    {"frames", "manifest.json", 73},
                    {"transcode", "t.mp4", 75}};
    int made = 0;
    for (const Destination& kind : refusedDestinations)
        for (const Command& c : commands) {
            SCOPED_TRACE(kind.kind + ", " + c.name + " " + c.file);
            std::string dir = scratchDir("outputs-refused"), out = dir + "/out";
            std::string dest = out + "/" + c.file;
            std::filesystem::create_directory(out);
            std::string in = makeDestination(kind.kind, dest, media("clip.mp4"), dir + "/in.mp4");
            if (in.empty()) continue;
            ++made;
            std::string node = nodeAt(dest), input = nodeAt(in);
            auto before = namesIn(out);
            auto r = reelctl({c.name, in, c.name == "frames" ? out : dest});

            bool printed = c.file == "manifest.json" && !kind.isInput;
            std::string prefix =
                c.status == 75 ? "transcode failed: " : "failed to write " + dest + ": ";
            EXPECT_EQ(r.status, printed ? 0 : c.status) << r.err;
            EXPECT_EQ(r.err, printed ? "" : prefix + kind.description + "\n");
            EXPECT_EQ(nodeAt(dest), node);
            EXPECT_EQ(nodeAt(in), input);
            for (const std::string& name : namesIn(out))
                EXPECT_TRUE(before.count(name) || (printed && name.rfind("frame_", 0) == 0))
                    << name;
        }
    EXPECT_GE(made, 6 * 4) << "only the devices may need rights this system lacks";
}

// What a run leaves at a destination that holds a file (mode 0640), a link to
// one, or nothing: a failed run (damaged input, full disk) leaves it as it
// was; a good one puts a new file there (a link replaced, its target kept),
// with the replaced file's mode or 0666 under the umask.
TEST(Outputs, FailedRunsKeepThePreviousOutputGoodOnesReplaceIt) {
    std::string good = scratchDir("outputs-good");
    ASSERT_EQ(reelctl({"poster", media("clip.mp4"), good + "/poster"}).status, 0);
    ASSERT_EQ(reelctl({"transcode", media("clip.mp4"), good + "/transcode"}).status, 0);
    struct Case {
        std::string command, input, prologue, before;
        int status;
        std::string err;  // its start; <out> for the destination
    } cases[] = {
        {"poster", "damaged.mp4", "", "file", 74, "poster extraction failed: "},
        {"poster", "clip.mp4", sizeLimit(1), "file", 73, "failed to write <out>: File too large\n"},
        {"poster", "clip.mp4", sizeLimit(1), "link", 73, "failed to write <out>: File too large\n"},
        {"transcode", "damaged.mp4", "", "file", 75, "transcode failed: End of file\n"},
        {"transcode", "clip.mp4", sizeLimit(8), "file", 75, "transcode failed: File too large\n"},
        {"transcode", "clip.mp4", sizeLimit(8), "link", 75, "transcode failed: File too large\n"},
        {"poster", "clip.mp4", "", "file", 0, ""},
        {"poster", "clip.mp4", "", "link", 0, ""},
        {"poster", "clip.mp4", "", "nothing", 0, ""},
        {"transcode", "clip.mp4", "", "file", 0, ""},
        {"transcode", "clip.mp4", "", "link", 0, ""},
    };
    struct Umask {
        mode_t previous = ::umask(002);
        ~Umask() { ::umask(previous); }
    } umask002;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " " + c.input + " over " + c.before + " " + c.prologue);
        std::string dir = scratchDir("outputs-left"), dest = dir + "/out", target = dir + "/target";
        std::filesystem::copy_file(good + "/" + c.command, target);
        if (c.before == "link") {
            ASSERT_EQ(::symlink("target", dest.c_str()), 0);
        } else if (c.before == "file") {
            std::filesystem::copy_file(target, dest);
            ::chmod(dest.c_str(), 0640);
        }
        std::string node = nodeAt(dest), targetNode = nodeAt(target);

        auto r = reelctl({c.command, media(c.input), dest}, c.prologue);
        std::string err = c.err;
        if (auto at = err.find("<out>"); at != std::string::npos) err.replace(at, 5, dest);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, err.size()), err);
        EXPECT_EQ(nodeAt(target), targetNode);
        EXPECT_EQ(namesIn(dir), (std::set<std::string>{"out", "target"}));
        if (c.status != 0) {
            EXPECT_EQ(nodeAt(dest), node);
            continue;
        }
        struct stat st {};
        ASSERT_EQ(::lstat(dest.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, c.before == "file" ? 0640u : 0664u);
    }
}

// SIGTERM, SIGINT or SIGHUP while a transcode writes, or its host (a shell)
// killed: the transcode stops as a failed export (75), removes its unfinished
// file and keeps the earlier export. This process adopts the orphan.
TEST(Outputs, StoppedTranscodesLeaveNoTrace) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, 0}) {
        SCOPED_TRACE(sig ? strsignal(sig) : "host killed");
        std::string dir = scratchDir("outputs-stop"), logs = scratchDir("outputs-stop-logs");
        std::string previous = dir + "/out.mp4", pidFile = logs + "/pid";
        std::filesystem::copy_file(media("clip.mp4"), previous);
        pid_t host = startShell(
            "set -m; exec 3>&2 2>/dev/null; \"$0\" transcode \"$1\" \"$2\" 2>&3 & echo $! >\"$3\"; "
            "wait $!",
            {bin("reelctl"), media("long.mp4"), previous, pidFile}, logs);
        ASSERT_TRUE(await(host, [&] {
            return namesIn(dir).size() > 1 && !readFile(pidFile).empty();
        })) << "the transcode ended before it was stopped";
        pid_t transcode = std::stoi(readFile(pidFile));
        kill(sig ? transcode : host, sig ? sig : SIGKILL);
        if (!sig) await(host);
        EXPECT_EQ(await(sig ? host : transcode), 75);
        EXPECT_EQ(readFile(logs + "/err"), "transcode failed: Immediate exit requested\n");
        EXPECT_EQ(readFile(logs + "/out"), "");
        EXPECT_EQ(namesIn(dir), std::set<std::string>{"out.mp4"});
        EXPECT_EQ(nodeAt(previous), nodeAt(media("clip.mp4")));
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// A host that stops reading the progress lines (its end of the pipe closed
// after the first) does not end the transcode by SIGPIPE with its unfinished
// file left: the lines stop, the movie is made and its path printed.
TEST(Outputs, ProgressReaderGoneLeavesTheRunWhole) {
    std::string dir = scratchDir("outputs-progress"), logs = scratchDir("outputs-progress-logs");
    pid_t host = startShell(
        "\"$0\" transcode \"$1\" \"$2\" --progress 2>&1 >\"$3\" | head -n 1 >/dev/null; "
        "exit ${PIPESTATUS[0]}",
        {bin("reelctl"), media("long.mp4"), dir + "/out.mp4", logs + "/result"}, logs);
    EXPECT_EQ(await(host), 0);
    EXPECT_EQ(readFile(logs + "/result"), dir + "/out.mp4\n");
    EXPECT_EQ(namesIn(dir), std::set<std::string>{"out.mp4"});
}

// frames into a folder an earlier run filled, killed (SIGKILL) once its first
// new frame is there: the earlier manifest is never left to describe it.
TEST(Outputs, FramesKilledMidwayNeverKeepTheEarlierManifest) {
    std::string dir = scratchDir("outputs-killed"), logs = scratchDir("outputs-killed-logs");
    std::string script = "exec \"$0\" frames \"$1\" \"$2\" --count 40 --max 40 --max-edge \"$3\"";
    std::vector<std::string> args = {bin("reelctl"), media("long.mp4"), dir, "16"};
    ASSERT_EQ(await(startShell(script, args, logs)), 0);
    std::string manifest = readFile(dir + "/manifest.json"), frame = readFile(dir + "/frame_0.jpg");
    args.back() = "320";
    pid_t pid = startShell(script, args, logs);
    bool midway = await(pid, [&] { return readFile(dir + "/frame_0.jpg") != frame; });
    kill(pid, SIGKILL);
    await(pid);
    if (!midway) GTEST_SKIP() << "the run ended before its first frame was seen";
    EXPECT_FALSE(exists(dir + "/manifest.json") && readFile(dir + "/manifest.json") == manifest)
        << "the earlier run's manifest stands beside a new frame";
}

// Temporary files being written go however the process ends: exit(), or
// SIGTERM, SIGINT, SIGHUP (then by that signal); an ignored signal stays so.
TEST(OutputsDeathTest, TemporaryFilesGoWithTheProcess) {
    struct Case {
        int sig;  // 0: exit(3)
        bool ignored;
        std::function<bool(int)> ended;
    } cases[] = {
        {SIGTERM, false, testing::KilledBySignal(SIGTERM)},
        {SIGINT, false, testing::KilledBySignal(SIGINT)},
        {SIGHUP, false, testing::KilledBySignal(SIGHUP)},
        {SIGHUP, true, testing::ExitedWithCode(3)},
        {0, false, testing::ExitedWithCode(3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sig) + (c.ignored ? " ignored" : ""));
        std::string dir = scratchDir("outputs-temporaries");
        EXPECT_EXIT(
            {
                if (c.ignored) signal(c.sig, SIG_IGN);
                files::removeTemporariesOnSignals();
                auto output = files::Output::create(dir + "/x.jpg");
                if (!output.ok() || !output.value().write("jpeg", 4).ok()) std::exit(99);
                if (c.sig) raise(c.sig);
                std::exit(3);
            },
            c.ended, "");
        EXPECT_TRUE(namesIn(dir).empty());
    }
}
