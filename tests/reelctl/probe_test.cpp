// reelctl's entry, asset access and probe, run as the host runs them, with
// ffprobe as the oracle wherever it reports the same fact.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "proc.h"
#include "reelctl.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;

namespace {

std::string mediaFile(const std::string& name) {
    return testsupport::fixture("reelctl/probe/" + name);
}

json probe(const std::string& name) {
    auto r = reelctl({"probe", mediaFile(name)});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    return json::parse(r.out);
}

json ffprobe(const std::string& name) {
    auto r = run({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json",
                  mediaFile(name)});
    EXPECT_EQ(r.status, 0) << r.err;
    return json::parse(r.out);
}

double ratio(const std::string& text) {
    auto slash = text.find('/');
    double num = std::stod(text.substr(0, slash));
    double den = slash == std::string::npos ? 1 : std::stod(text.substr(slash + 1));
    return den == 0 ? 0 : num / den;
}

// What ffprobe says the first video track (not cover art) looks like on screen.
struct Expected {
    int64_t width, height;
    double fps;
    bool hasAudio;
};

Expected expectedFromFfprobe(const json& info) {
    Expected e{0, 0, 0, false};
    bool seenVideo = false;
    for (const auto& st : info["streams"]) {
        if (st["codec_type"] == "audio") e.hasAudio = true;
        if (st["codec_type"] != "video" || seenVideo) continue;
        if (st.contains("disposition") && st["disposition"].value("attached_pic", 0) == 1) continue;
        seenVideo = true;
        double w = st["width"].get<double>(), h = st["height"].get<double>();
        if (st.contains("sample_aspect_ratio") && st["sample_aspect_ratio"] != "0:1") {
            std::string sar = st["sample_aspect_ratio"];
            sar[sar.find(':')] = '/';
            w *= ratio(sar);
        }
        double a = 1, b = 0, c = 0, d = 1;
        for (const auto& side : st.value("side_data_list", json::array())) {
            if (!side.contains("displaymatrix")) continue;
            std::istringstream text(side["displaymatrix"].get<std::string>());
            std::vector<double> m;
            std::string token;
            while (text >> token)
                if (token.back() != ':') m.push_back(std::stod(token));
            a = m[0] / 65536, b = m[1] / 65536, c = m[3] / 65536, d = m[4] / 65536;
        }
        e.width = int64_t(std::trunc(std::fabs(a * w + c * h)));
        e.height = int64_t(std::trunc(std::fabs(b * w + d * h)));
        e.fps = double(float(ratio(st["avg_frame_rate"])));
    }
    return e;
}

}  // namespace

TEST(Entry, UsageAndDispatch) {
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const std::string general = "usage: reelctl <probe|poster|frames|transcode> <input> [args]\n";
    const std::vector<Case> cases = {
        {{}, general},
        {{"probe"}, general},
        {{"foo"}, general},  // no subcommand check with two elements
        {{"foo", "x"}, "unknown subcommand: foo\n"},
        {{"Probe", mediaFile("silent.mp4")}, "unknown subcommand: Probe\n"},
        // Usage is checked before the input is touched: it does not exist here.
        {{"poster", "/nonexistent/in.mp4"}, "usage: reelctl poster <input> <out.jpg>\n"},
        {{"frames", "/nonexistent/in.mp4"}, "usage: reelctl frames <input> <out-dir>\n"},
        {{"transcode", "/nonexistent/in.mp4"}, "usage: reelctl transcode <input> <out.mp4>\n"},
    };
    for (const auto& c : cases) {
        auto r = reelctl(c.arguments);
        EXPECT_EQ(r.status, 64) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Entry, ProbeIgnoresFurtherArguments) {
    auto r = reelctl({"probe", mediaFile("silent.mp4"), "out.jpg", "--max-edge", "abc", "--bogus"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["width"], 320);
}

TEST(Entry, IntegerRule) {
    EXPECT_EQ(integerValue("300"), 300);
    EXPECT_EQ(integerValue("+300"), 300);
    EXPECT_EQ(integerValue("-5"), -5);
    EXPECT_EQ(integerValue("007"), 7);
    EXPECT_EQ(integerValue("-0"), 0);
    EXPECT_EQ(integerValue("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(integerValue("-9223372036854775808"), INT64_MIN);
    for (const char* bad :
         {"", "+", "-", "abc", "1e3", "12.5", " 1", "1 ", "+-1", "--1", "9223372036854775808",
          "-9223372036854775809", "99999999999999999999", "\xd9\xa3"})
        EXPECT_EQ(integerValue(bad), std::nullopt) << bad;
}

TEST(AssetAccess, MissingInput) {
    auto r = reelctl({"probe", mediaFile("nothing-here.mp4")});
    EXPECT_EQ(r.status, 66);
    EXPECT_EQ(r.err, "input not found: " + mediaFile("nothing-here.mp4") + "\n");
    EXPECT_EQ(r.out, "");

    r = reelctl({"probe", ""});
    EXPECT_EQ(r.status, 66);
    EXPECT_EQ(r.err, "input not found: \n");
}

TEST(AssetAccess, UnusableInputsFailWithOneLine) {
    for (const char* name : {"notes.txt", "truncated.mp4", "empty.mp4", "folder.mp4"}) {
        auto r = reelctl({"probe", mediaFile(name)});
        EXPECT_EQ(r.status, 65) << name;
        EXPECT_EQ(r.out, "") << name;
        ASSERT_FALSE(r.err.empty()) << name;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << name << ": " << r.err;
        EXPECT_TRUE(r.err.rfind("failed to load tracks: ", 0) == 0 || r.err == "no video track\n")
            << name << ": " << r.err;
    }
    auto r = reelctl({"probe", mediaFile("folder.mp4")});
    EXPECT_EQ(r.err, "failed to load tracks: Is a directory\n");
}

TEST(AssetAccess, NoVideoTrack) {
    // Cover art in an audio file is not a video track.
    for (const char* name : {"audio.m4a", "cover.mp3"}) {
        auto r = reelctl({"probe", mediaFile(name)});
        EXPECT_EQ(r.status, 65) << name;
        EXPECT_EQ(r.err, "no video track\n") << name;
        EXPECT_EQ(r.out, "");
    }
}

TEST(Probe, DocumentHasExactlySevenTypedMembers) {
    json doc = probe("h264_aac.mp4");
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc.size(), 7u);
    EXPECT_TRUE(doc["duration"].is_number());
    EXPECT_TRUE(doc["width"].is_number_integer());
    EXPECT_TRUE(doc["height"].is_number_integer());
    EXPECT_TRUE(doc["fps"].is_number());
    EXPECT_TRUE(doc["codec"].is_string());
    EXPECT_TRUE(doc["hasAudio"].is_boolean());
    EXPECT_TRUE(doc["creationDate"].is_string());
    // Pretty-printed: one member per line.
    auto r = reelctl({"probe", mediaFile("h264_aac.mp4")});
    EXPECT_GE(std::count(r.out.begin(), r.out.end(), '\n'), 8);
}

TEST(Probe, AgreesWithFfprobe) {
    for (const char* name :
         {"h264_aac.mp4",   "silent.mp4",   "ntsc.mp4",       "r2997.mp4",      "rotated90.mp4",
          "rotated180.mp4", "mirrored.mp4", "transposed.mp4", "anamorphic.mp4", "fractional.mp4",
          "h264.mkv",       "h264.mov",     "hev1.mp4",       "hvc1.mp4",       "mpeg4.mp4",
          "raw.mov",        "vp9.webm",     "vp8.webm",       "av1.mkv",        "two_video.mp4"}) {
        SCOPED_TRACE(name);
        json doc = probe(name);
        json info = ffprobe(name);
        Expected e = expectedFromFfprobe(info);
        EXPECT_EQ(doc["width"], e.width);
        EXPECT_EQ(doc["height"], e.height);
        EXPECT_EQ(doc["fps"].get<double>(), e.fps);
        EXPECT_EQ(doc["hasAudio"], e.hasAudio);
        double duration = std::stod(info["format"]["duration"].get<std::string>());
        EXPECT_NEAR(doc["duration"].get<double>(), duration, 1e-6);
    }
}

TEST(AssetAccess, PathsAreFilesWhateverTheyLookLike) {
    // A colon does not make the path a protocol name; a relative path resolves
    // against the working directory.
    auto r = run({bin("reelctl"), "probe", "clip:1.mp4"}, "", mediaFile(""));
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({bin("reelctl"), "probe", "./clip:1.mp4"}, "", mediaFile(""));
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Probe, DisplaySize) {
    EXPECT_EQ(probe("rotated90.mp4")["width"], 240);
    EXPECT_EQ(probe("rotated90.mp4")["height"], 320);
    // A mirroring matrix does not make the size negative.
    EXPECT_EQ(probe("mirrored.mp4")["width"], 320);
    // Sample aspect ratio 3:2 widens the picture.
    EXPECT_EQ(probe("anamorphic.mp4")["width"], 480);
    // 1280 x 9997/10000 = 1279.616: truncated, not rounded.
    EXPECT_EQ(probe("fractional.mp4")["width"], 1279);
    // Two video tracks: the first one counts.
    EXPECT_EQ(probe("two_video.mp4")["width"], 160);
}

TEST(Probe, FrameRateIsSinglePrecision) {
    EXPECT_EQ(probe("r2997.mp4")["fps"].get<double>(), 29.969999313354492);
    EXPECT_EQ(probe("ntsc.mp4")["fps"].get<double>(), double(float(30000.0 / 1001.0)));
    EXPECT_EQ(probe("silent.mp4")["fps"].get<double>(), 30.0);
}

TEST(Probe, CodecFourCharacterCodes) {
    EXPECT_EQ(probe("silent.mp4")["codec"], "avc1");
    EXPECT_EQ(probe("h264.mov")["codec"], "avc1");
    EXPECT_EQ(probe("hev1.mp4")["codec"], "hev1");
    EXPECT_EQ(probe("hvc1.mp4")["codec"], "hvc1");
    EXPECT_EQ(probe("mpeg4.mp4")["codec"], "mp4v");
    EXPECT_EQ(probe("raw.mov")["codec"], "raw");  // 'raw ' with its blank trimmed
    // Containers without sample entries: the code a QuickTime file would carry.
    EXPECT_EQ(probe("h264.mkv")["codec"], "avc1");
    EXPECT_EQ(probe("vp9.webm")["codec"], "vp09");
    EXPECT_EQ(probe("vp8.webm")["codec"], "vp08");
    EXPECT_EQ(probe("av1.mkv")["codec"], "av01");
}

TEST(Probe, AudioAndCreationDate) {
    json doc = probe("h264_aac.mp4");
    EXPECT_EQ(doc["hasAudio"], true);
    EXPECT_EQ(doc["creationDate"], "2024-03-01T09:15:00Z");  // whole seconds
    doc = probe("h264.mkv");
    EXPECT_EQ(doc["hasAudio"], true);
    EXPECT_EQ(doc["creationDate"], "2023-12-31T23:59:59Z");
    doc = probe("silent.mp4");
    EXPECT_EQ(doc["hasAudio"], false);
    ASSERT_TRUE(doc.contains("creationDate"));
    EXPECT_TRUE(doc["creationDate"].is_null());
}

TEST(Probe, IndefiniteDurationIsIntegerZero) {
    json doc = probe("raw.h264");
    EXPECT_TRUE(doc["duration"].is_number_integer());
    EXPECT_EQ(doc["duration"], 0);
    EXPECT_EQ(doc["width"], 160);
}
