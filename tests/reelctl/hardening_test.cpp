// reelctl under hostile conditions: inputs the fuzzer found, a full disk,
// unreadable paths, a named pipe, input that shrinks while it is read, a ten-hour
// header and huge sample counts. Every run is bounded by `timeout` only to
// catch a hang; the checks are statuses, messages and outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "frames/frames.h"
#include "handles/handles.h"
#include "image_check.h"
#include "jpeg/jpeg.h"
#include "media/asset.h"
#include "proc.h"
#include "sanitizer.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
namespace fs = std::filesystem;

namespace {

constexpr int kTimedOut = 124;

// Standard error of a frames run that succeeded: only failed grabs, one line each.
const std::regex kGrabErrors(R"((frame \d+ @[0-9.e-]+s failed: [^\n]+\n)*)");

std::string fixtureFile(const std::string& name) {
    return testsupport::fixture("reelctl/hardening/" + name);
}

// reelctl with `prologue` run first in the shell that execs it (limits, a
// writer in the background), killed after five minutes.
testsupport::Run limited(const std::string& prologue, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {
        "/usr/bin/timeout",         "-k",      "10",          "300", "/bin/bash", "-c",
        prologue + "\nexec \"$@\"", "reelctl", bin("reelctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

testsupport::Run reelctl(const std::vector<std::string>& arguments) {
    return limited("", arguments);
}

// The prologue for a file size limit of `kib` KiB, SIGXFSZ ignored so that a
// write past it fails with EFBIG instead of killing the process.
std::string fileSizeLimit(int kib) {
    return "trap '' XFSZ; ulimit -f " + std::to_string(kib);
}

// A prefix that runs a program as nobody, or empty when this system allows neither.
std::vector<std::string> unprivileged() {
    const std::vector<std::vector<std::string>> ways = {
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
        {"/usr/sbin/runuser", "-u", "nobody", "--"},
    };
    for (const auto& way : ways) {
        if (!testsupport::exists(way[0])) continue;
        std::vector<std::string> probe = way;
        probe.push_back(bin("reelctl"));
        // Usage error (64) proves the program starts and runs as that user.
        if (run(probe).status == 64) return way;
    }
    return {};
}

int lineCount(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

// The end of a run that may or may not have succeeded: success writes what it
// promises; a failure is one stderr line, nothing on stdout; never a signal.
void expectProperEnd(const testsupport::Run& r, const std::string& what) {
    EXPECT_NE(r.status, kTimedOut) << what << ": hung";
    EXPECT_LT(r.status, 128) << what << ": killed by a signal\n" << r.err;
    if (r.status == 0) return;
    EXPECT_TRUE(r.status == 65 || r.status == 74) << what << ": status " << r.status << "\n"
                                                  << r.err;
    EXPECT_EQ(lineCount(r.err), 1) << what << ": " << r.err;
    EXPECT_EQ(r.err.back(), '\n') << what;
    EXPECT_EQ(r.out, "") << what;
}

}  // namespace

// Inputs the frame grabber fuzzer derived from the seed videos (a cut
// header, an unknown codec tag, damaged pictures, a stream without duration):
// every grab returns an image or an error text, and each command ends with its
// output or one error line.
TEST(Reproducers, FuzzedInputsEndProperly) {
    std::string dir = fixtureFile("reproducers");
    ASSERT_TRUE(fs::is_directory(dir));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        ++files;
        std::string path = entry.path().string();
        {
            media::Asset asset(path);
            frames::Generator generator(asset, 64);
            for (double t : {0.0, 0.5, 1.0e4}) {
                auto image = generator.copyFrame(t);
                if (!image.ok()) {
                    EXPECT_FALSE(image.error().empty()) << path;
                    continue;
                }
                const frames::Image& im = image.value();
                ASSERT_EQ(im.rgb.size(), size_t(im.width) * im.height * 3) << path;
                EXPECT_TRUE(
                    jpeg::encode(im.rgb.data(), im.width, im.height, im.width * 3, 85).ok());
            }
        }
        std::string out = testsupport::scratchDir("repro");
        expectProperEnd(reelctl({"probe", path}), "probe " + path);
        expectProperEnd(reelctl({"poster", path, out + "/p.jpg"}), "poster " + path);
        auto r = reelctl({"frames", path, out + "/f"});
        if (r.status == 0) {
            EXPECT_TRUE(std::regex_match(r.err, kGrabErrors)) << path << ": " << r.err;
            json manifest;
            EXPECT_NO_THROW(manifest = json::parse(r.out)) << path;
        }
        expectProperEnd(r, "frames " + path);
    }
    EXPECT_GE(files, 8);
}

// A disk that fills up: the writes fail with the file system's error text and
// status 73, no success is claimed, and no truncated image is left behind.
TEST(FullDisk, PosterAndFramesReportFailedWrites) {
    std::string out = testsupport::scratchDir("fulldisk");
    for (int kib : {0, 1}) {
        std::string jpg = out + "/poster" + std::to_string(kib) + ".jpg";
        auto r = limited(fileSizeLimit(kib), {"poster", fixtureFile("clip.mp4"), jpg});
        EXPECT_EQ(r.status, 73) << r.err;
        EXPECT_EQ(r.err, "failed to write " + jpg + ": File too large\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(testsupport::exists(jpg)) << "a truncated poster stays behind";
    }

    std::string dir = out + "/frames";
    auto r = limited(fileSizeLimit(1), {"frames", fixtureFile("clip.mp4"), dir});
    EXPECT_EQ(r.status, 73);
    EXPECT_EQ(r.err, "failed to write " + dir + "/frame_0.jpg: File too large\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(testsupport::exists(dir + "/frame_0.jpg"));
    EXPECT_FALSE(testsupport::exists(dir + "/manifest.json"));
}

// Frames small enough to fit but a manifest that does not: the saved copy is
// optional (its write error is ignored) but never left half written.
TEST(FullDisk, ManifestThatDoesNotFitIsNotLeftTruncated) {
    std::vector<std::string> arguments = {
        "frames", fixtureFile("long10h.mp4"), "", "--count", "20", "--max-edge", "8"};
    arguments[2] = testsupport::scratchDir("manifest-free");
    auto free = reelctl(arguments);
    ASSERT_EQ(free.status, 0) << free.err;
    // Preconditions of the limit below: each frame under 1 KiB, the manifest over.
    ASSERT_GT(free.out.size(), 1025u);
    for (const auto& entry : fs::directory_iterator(arguments[2]))
        if (entry.path().extension() == ".jpg") {
            ASSERT_LT(fs::file_size(entry.path()), 1024u);
        }

    arguments[2] = testsupport::scratchDir("manifest-full");
    auto r = limited(fileSizeLimit(1), arguments);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, free.out);
    EXPECT_EQ(json::parse(r.out)["count"], 20);
    EXPECT_TRUE(testsupport::exists(arguments[2] + "/frame_19.jpg"));
    EXPECT_FALSE(testsupport::exists(arguments[2] + "/manifest.json"));
}

// Results that cannot be delivered on standard output (a redirection to a
// full disk) end the run with the file-writing status, never as a success.
TEST(FullDisk, UndeliveredStandardOutputIsAFailure) {
    std::string out = testsupport::scratchDir("stdout-full");
    const std::string message = "failed to write standard output: No space left on device\n";
    std::vector<std::vector<std::string>> runs = {
        {"probe", fixtureFile("clip.mp4")},
        {"frames", fixtureFile("clip.mp4"), out + "/frames", "--count", "3"},
        {"transcode", fixtureFile("clip.mp4"), out + "/clip.mp4"},
    };
    for (const auto& arguments : runs) {
        auto r = limited("exec >/dev/full", arguments);
        EXPECT_EQ(r.status, 73) << arguments[0] << ": " << r.err;
        EXPECT_EQ(r.err, message) << arguments[0];
    }
    // The files themselves were written in full before the report.
    EXPECT_TRUE(testsupport::exists(out + "/frames/manifest.json"));
    EXPECT_EQ(reelctl({"probe", out + "/clip.mp4"}).status, 0);
}

// Permission bits, honoured by running the tool as nobody (tests may run as root).
TEST(Permissions, UnreadableInputAndUnwritableOutput) {
    std::vector<std::string> as = unprivileged();
    if (as.empty()) GTEST_SKIP() << "cannot run a program as nobody here (setpriv/runuser)";
    std::string dir = testsupport::scratchDir("perm");
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    std::string secret = dir + "/secret.mp4";
    fs::copy_file(fixtureFile("clip.mp4"), secret);
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    std::string open = dir + "/open.mp4";
    fs::copy_file(fixtureFile("clip.mp4"), open);
    ASSERT_EQ(::chmod(open.c_str(), 0644), 0);
    std::string locked = dir + "/locked";
    fs::create_directory(locked);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);

    auto asNobody = [&](std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"/usr/bin/timeout", "-k", "10", "300"};
        argv.insert(argv.end(), as.begin(), as.end());
        argv.push_back(bin("reelctl"));
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run(argv);
    };
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"probe", secret},
                                               {"poster", secret, dir + "/p.jpg"},
                                               {"frames", secret, dir + "/f"}}) {
        auto r = asNobody(arguments);
        EXPECT_EQ(r.status, 65) << arguments[0];
        EXPECT_EQ(r.err, "failed to load tracks: Permission denied\n") << arguments[0];
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(testsupport::exists(dir + "/p.jpg"));

    auto poster = asNobody({"poster", open, locked + "/p.jpg"});
    EXPECT_EQ(poster.status, 73);
    EXPECT_EQ(poster.err, "failed to write " + locked + "/p.jpg: Permission denied\n");
    auto frames = asNobody({"frames", open, locked});
    EXPECT_EQ(frames.status, 73);
    EXPECT_EQ(frames.err, "failed to write " + locked + "/frame_0.jpg: Permission denied\n");
    EXPECT_EQ(frames.out, "");
    EXPECT_TRUE(fs::is_empty(locked));
}

// A named pipe is no file to read media from, whatever its writer does: one
// with a writer and data waiting in it is refused at once, as one without
// (tests/reelctl/inputs_test.cpp), and nothing is read from it.
TEST(NamedPipe, RefusedEvenWithAWriter) {
    std::string dir = testsupport::scratchDir("fifo");
    std::string pipe = dir + "/in.mp4";
    std::string clip = testsupport::readFile(fixtureFile("clip.mp4"));
    for (size_t bytes : {size_t(0), size_t(100), size_t(3000), clip.size()}) {
        for (std::string command : {"probe", "poster", "frames"}) {
            ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
            // Held open for writing here (read-write, so the open does not
            // wait for a reader), with as much of the clip as the pipe takes.
            handles::FileDescriptor writer(::open(pipe.c_str(), O_RDWR | O_NONBLOCK));
            ASSERT_TRUE(writer);
            ssize_t written = bytes ? ::write(writer.get(), clip.data(), bytes) : 0;
            ASSERT_GE(written, 0);
            std::vector<std::string> arguments = {command, pipe};
            if (command == "poster") arguments.push_back(dir + "/p.jpg");
            if (command == "frames") arguments.push_back(dir + "/f");
            auto r = reelctl(arguments);
            std::string what = command + " of " + std::to_string(bytes) + " bytes";
            EXPECT_EQ(r.status, 65) << what;
            EXPECT_EQ(r.err, "failed to load tracks: not a regular file\n") << what;
            EXPECT_EQ(r.out, "") << what;
            int waiting = 0;
            EXPECT_EQ(::ioctl(writer.get(), FIONREAD, &waiting), 0);
            EXPECT_EQ(waiting, written) << what << ": read from the pipe";
            ::unlink(pipe.c_str());
        }
    }
    EXPECT_FALSE(testsupport::exists(dir + "/p.jpg"));
    EXPECT_FALSE(testsupport::exists(dir + "/f"));
}

// A file truncated by another process while the tool reads it, at several
// moments; whatever the moment, the run ends properly.
TEST(ShrinkingInput, FileTruncatedWhileRead) {
    std::string dir = testsupport::scratchDir("truncate");
    for (std::string delay : {"0", "0.02", "0.1", "0.3"}) {
        for (std::string command : {"poster", "frames"}) {
            std::string file = dir + "/in.mp4";
            fs::copy_file(fixtureFile("big.mp4"), file, fs::copy_options::overwrite_existing);
            std::string writer = "(sleep " + delay + "; truncate -s 20000 '" + file + "') &";
            std::vector<std::string> arguments = {command, file};
            arguments.push_back(command == "poster" ? dir + "/p.jpg" : dir + "/f");
            if (command == "frames") arguments.insert(arguments.end(), {"--count", "30"});
            auto r = limited(writer, arguments);
            std::string what = command + " truncated after " + delay + " s";
            if (command == "frames" && r.status == 0) {
                EXPECT_TRUE(std::regex_match(r.err, kGrabErrors)) << what << ": " << r.err;
                json m = json::parse(r.out);
                for (const auto& entry : m["frames"])
                    EXPECT_TRUE(
                        testsupport::exists(dir + "/f/" + entry["filename"].get<std::string>()));
            }
            expectProperEnd(r, what);
        }
    }
}

// A header that claims ten hours around one frame, and sample counts far
// beyond any video: answered within bounded memory (an address-space limit
// where sanitizers do not need their shadow memory).
TEST(ResourceLimits, TenHourHeaderAndHugeCounts) {
    std::string memory = kSanitized ? "" : "ulimit -v 1048576";  // 1 GiB
    std::string clip = fixtureFile("long10h.mp4");

    auto probe = limited(memory, {"probe", clip});
    ASSERT_EQ(probe.status, 0) << probe.err;
    EXPECT_DOUBLE_EQ(json::parse(probe.out)["duration"].get<double>(), 36000.0);

    std::string dir = testsupport::scratchDir("tenhours");
    auto poster = limited(memory, {"poster", clip, dir + "/p.jpg"});
    EXPECT_EQ(poster.status, 0) << poster.err;
    frames::Image image = imagecheck::decodeJpeg(dir + "/p.jpg");
    EXPECT_EQ(image.width, 64);
    EXPECT_EQ(image.height, 48);

    auto frames = limited(memory, {"frames", clip, dir + "/f", "--count", "20"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    json m = json::parse(frames.out);
    EXPECT_EQ(m["count"], 20);
    EXPECT_EQ(m["frames"][19]["time"], 36000.0 - 0.1);

    struct Case {
        std::string input;
        std::vector<std::string> options;
        size_t frames;
    } cases[] = {
        // Capped by the default --max.
        {clip, {"--count", "9223372036854775807"}, 20},
        {clip, {"--interval", "1e-300"}, 20},
        {clip, {"--interval", "4.9e-324", "--max", "40"}, 40},
        // Two seconds hold at most nine samples a quarter second apart.
        {fixtureFile("clip.mp4"), {"--count", "1000000000000", "--max", "1000000000000"}, 8},
        {fixtureFile("clip.mp4"), {"--interval", "1e-9", "--max", "-1"}, 8},
    };
    for (const Case& c : cases) {
        std::string out = testsupport::scratchDir("huge");
        std::vector<std::string> arguments = {"frames", c.input, out};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        auto r = limited(memory, arguments);
        ASSERT_EQ(r.status, 0) << c.options[1] << ": " << r.err;
        EXPECT_EQ(json::parse(r.out)["count"], c.frames) << c.options[1];
        EXPECT_EQ(size_t(std::distance(fs::directory_iterator(out), fs::directory_iterator())),
                  c.frames + 1);
    }
}
