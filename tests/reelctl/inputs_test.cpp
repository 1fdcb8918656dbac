// An input is the one file at its path. Files that name other files
// (playlists, concat scripts) are no media; FIFOs, devices, sockets and
// directories are refused at once; names that look like patterns are the
// files they name. Every run is bounded by `timeout` only to catch a hang.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "handles/file.h"
#include "image_check.h"
#include "media/asset.h"
#include "proc.h"

extern "C" {
#include <libavformat/avformat.h>
}

using nlohmann::json;
using testsupport::bin;

namespace {

std::string fixtureFile(const std::string& name) {
    return testsupport::fixture("reelctl/inputs/" + name);
}

// reelctl killed after a minute (a live playlist was re-read for ever).
testsupport::Run reelctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"/usr/bin/timeout", "-k", "10", "60", bin("reelctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::run(argv);
}

}  // namespace

// Every subcommand fails on each of these with one line, before writing
// anything: no JPEG, no frames folder, no movie.
TEST(Inputs, FilesNamingOtherFilesAndNonFilesAreRefused) {
    std::string dir = testsupport::scratchDir("inputs");
    std::string fifo = dir + "/fifo.mp4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer ever
    std::string socket = dir + "/socket.mp4";
    handles::FileDescriptor bound(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket.c_str());
    ASSERT_EQ(::bind(bound.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string folder = dir + "/folder.mp4";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

    const std::string notMedia =
        "failed to load tracks: Invalid data found when processing input\n";
    const std::string notAFile = "failed to load tracks: not a regular file\n";
    struct Case {
        std::string input, err;
    } cases[] = {
        {fixtureFile("holiday.mp4"), notMedia},
        {fixtureFile("live.mp4"), notMedia},
        {fixtureFile("master.mp4"), notMedia},
        {fixtureFile("concat.mp4"), notMedia},
        {fifo, notAFile},
        {"/dev/null", notAFile},
        {"/dev/zero", notAFile},
        {socket, "failed to load tracks: No such device or address\n"},
        {folder, "failed to load tracks: Is a directory\n"},
    };
    for (const Case& c : cases) {
        std::string out = testsupport::scratchDir("inputs-out");
        const std::vector<std::vector<std::string>> runs = {
            {"probe", c.input},
            {"poster", c.input, out + "/p.jpg"},
            {"frames", c.input, out + "/frames"},
            {"transcode", c.input, out + "/t.mp4"},
        };
        for (const auto& arguments : runs) {
            std::string what = arguments[0] + " " + c.input;
            auto r = reelctl(arguments);
            ASSERT_NE(r.status, 124) << what << ": hung";
            EXPECT_EQ(r.status, 65) << what << ": " << r.err;
            EXPECT_EQ(r.err, c.err) << what;
            EXPECT_EQ(r.out, "") << what;
        }
        EXPECT_FALSE(testsupport::exists(out + "/p.jpg")) << c.input;
        EXPECT_FALSE(testsupport::exists(out + "/frames")) << c.input;
        EXPECT_FALSE(testsupport::exists(out + "/t.mp4")) << c.input;
    }
}

// A name holding '%' is the file of that name: its own picture, never the
// numbered files beside it.
TEST(Inputs, NamesAreTheFilesTheyName) {
    struct Case {
        std::string name;
        int width, height;
    } cases[] = {
        {"100%.mp4", 96, 64},
        {"clip%d.mp4", 96, 64},
        {"clip%d.jpg", 48, 32},  // clip0.jpg and clip1.jpg beside it are 64x48
    };
    for (const Case& c : cases) {
        std::string input = fixtureFile(c.name);
        auto probe = reelctl({"probe", input});
        ASSERT_EQ(probe.status, 0) << c.name << ": " << probe.err;
        json doc = json::parse(probe.out);
        EXPECT_EQ(doc["width"], c.width) << c.name;
        EXPECT_EQ(doc["height"], c.height) << c.name;

        std::string jpg = testsupport::scratchDir("inputs-named") + "/p.jpg";
        auto poster = reelctl({"poster", input, jpg});
        ASSERT_EQ(poster.status, 0) << c.name << ": " << poster.err;
        frames::Image image = imagecheck::decodeJpeg(jpg);
        EXPECT_EQ(image.width, c.width) << c.name;
        EXPECT_EQ(image.height, c.height) << c.name;
    }
    std::string movie = testsupport::scratchDir("inputs-named") + "/t.mp4";
    auto transcode = reelctl({"transcode", fixtureFile("clip%d.mp4"), movie});
    EXPECT_EQ(transcode.status, 0) << transcode.err;
    EXPECT_EQ(transcode.out, movie + "\n");
}

// The list given to FFmpeg names demuxers it has: a misspelt name would shut
// its container out without a word.
TEST(Inputs, ContainerListNamesKnownDemuxers) {
    std::stringstream list(media::kSingleFileContainers);
    int names = 0;
    for (std::string name; std::getline(list, name, ',');) {
        ++names;
        EXPECT_NE(av_find_input_format(name.c_str()), nullptr) << name;
    }
    EXPECT_GE(names, 10);
}
