// Thumbnails appear whole or not at all: an `out` that takes no file is
// refused and left as it was; a failed request leaves the previous thumbnail
// and no temporary file; a good one replaces a link, not its target.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "destinations.h"

using namespace testsupport;

namespace {

std::string image(const std::string& name) {
    return fixture("pixsig/outputs/" + name);
}

// One thumbnail request to a server started after `prologue`: its response.
nlohmann::json thumbnail(const std::string& path, const std::string& out,
                         const std::string& prologue = "") {
    nlohmann::json request = {{"op", "thumb"}, {"path", path}, {"out", out}, {"size", 200}};
    auto r = run({"/usr/bin/timeout", "-k", "5", "120", "/bin/bash", "-c",
                  prologue + "\nexec \"$@\" --serve", "pixsig", bin("pixsig")},
                 request.dump() + "\n");
    return nlohmann::json::parse(r.out, nullptr, false);
}

mode_t umaskNow() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

TEST(ThumbnailOutputs, RefusedDestinationsAreLeftAsTheyWere) {
    for (const Destination& kind : refusedDestinations) {
        SCOPED_TRACE(kind.kind);
        std::string dir = scratchDir("thumb-refused"), dest = dir + "/t.jpg";
        std::string in = makeDestination(kind.kind, dest, image("photo.jpg"), dir + "/in.jpg");
        if (in.empty()) continue;
        std::string node = nodeAt(dest), input = nodeAt(in);
        auto before = namesIn(dir);
        auto response = thumbnail(in, dest);
        EXPECT_EQ(response["ok"], false);
        EXPECT_EQ(response["error"], "can't write " + dest);
        EXPECT_EQ(nodeAt(dest), node);
        EXPECT_EQ(nodeAt(in), input);
        EXPECT_EQ(namesIn(dir), before);
    }
}

// A destination holding a thumbnail (mode 0640) or a link to one: a failed
// request (an unreadable image, a full disk) leaves it as it was; a good one
// puts a new file there, with the replaced file's mode, the link's target kept.
TEST(ThumbnailOutputs, FailedRequestsKeepThePreviousThumbnail) {
    std::string good = scratchDir("thumb-good") + "/t.jpg";
    ASSERT_EQ(thumbnail(image("photo.jpg"), good)["ok"], true);
    struct Case {
        std::string input, prologue, before;
        bool ok;
    } cases[] = {
        {"broken.jpg", "", "file", false},
        {"photo.jpg", "trap '' XFSZ; ulimit -f 1", "file", false},
        {"photo.jpg", "trap '' XFSZ; ulimit -f 1", "link", false},
        {"photo.jpg", "", "file", true},
        {"photo.jpg", "", "link", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " over " + c.before + " " + c.prologue);
        std::string dir = scratchDir("thumb-left"), dest = dir + "/out", target = dir + "/target";
        std::filesystem::copy_file(good, target);
        if (c.before == "link") {
            ASSERT_EQ(::symlink("target", dest.c_str()), 0);
        } else {
            std::filesystem::copy_file(target, dest);
            ::chmod(dest.c_str(), 0640);
        }
        std::string node = nodeAt(dest), targetNode = nodeAt(target);
        EXPECT_EQ(thumbnail(image(c.input), dest, c.prologue)["ok"], c.ok);
        EXPECT_EQ(nodeAt(target), targetNode);
        EXPECT_EQ(namesIn(dir), (std::set<std::string>{"out", "target"}));
        struct stat st {};
        ASSERT_EQ(::lstat(dest.c_str(), &st), 0);
        if (!c.ok) {
            EXPECT_EQ(nodeAt(dest), node);
        } else {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, c.before == "file" ? 0640u : 0666u & ~umaskNow());
        }
    }
}
