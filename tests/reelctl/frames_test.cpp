// Frame grabbing (exact time, orientation, colour, fitting, forward decoding)
// and the frames command run as the host runs it, with ffmpeg as the oracle
// for what lies at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "frames/frames.h"
#include "frames/testing.h"
#include "image_check.h"
#include "media/asset.h"
#include "proc.h"
#include "reelctl.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/frames/" + name);
}

frames::Image grab(frames::Generator& generator, double t) {
    auto image = generator.copyFrame(t);
    EXPECT_TRUE(image.ok()) << "at " << t << ": " << (image.ok() ? "" : image.error());
    return image.ok() ? image.value() : frames::Image{};
}

frames::Image grabOnce(const std::string& name, double t, int64_t maxEdge = 0) {
    media::Asset asset(clip(name));
    frames::Generator generator(asset, maxEdge);
    return grab(generator, t);
}

const std::vector<double> kTimes = {0.0,  0.01, 0.039, 0.04, 0.5,  0.51, 0.99, 1.0,
                                    1.03, 1.99, 2.5,   3.96, 3.97, 4.0,  10.0};

}  // namespace

// The frame shown at t is the last frame at or before t (never the nearest
// keyframe, never the next frame); at or past the end it is the last frame.
TEST(FrameGrab, ShowsTheFrameAPlayerShowsAtEachTime) {
    for (std::string name :
         {"counter_long.mp4", "counter_gop.mp4", "counter_gop.mkv", "counter_gop.ts"}) {
        SCOPED_TRACE(name);
        media::Asset asset(clip(name));
        frames::Generator ascending(asset, 0);
        for (double t : kTimes)
            EXPECT_EQ(counterFrame(grab(ascending, t)), expectedCounterFrame(t, 100)) << "t " << t;

        media::Asset other(clip(name));
        frames::Generator descending(other, 0);
        for (auto it = kTimes.rbegin(); it != kTimes.rend(); ++it)
            EXPECT_EQ(counterFrame(grab(descending, *it)), expectedCounterFrame(*it, 100))
                << "t " << *it;

        for (double t : {0.03, 1.47, 2.01})
            EXPECT_EQ(counterFrame(grabOnce(name, t)), expectedCounterFrame(t, 100)) << "t " << t;
    }
}

// Ascending times in one keyframe interval decode every frame at most once,
// and give exactly what a fresh seek for each time gives.
TEST(FrameGrab, AscendingTimesDecodeForwardWithTheSamePixels) {
    media::Asset asset(clip("counter_long.mp4"));
    frames::Generator forward(asset, 0);
    std::vector<double> times;
    for (int i = 1; i < 20; ++i)
        times.push_back(i * 0.2);
    for (double t : times) {
        frames::Image a = grab(forward, t);
        frames::Image b = grabOnce("counter_long.mp4", t);
        EXPECT_EQ(a.rgb, b.rgb) << "t " << t;
    }
    // 100 frames in one keyframe interval; seeking for each time would decode
    // the interval's start again and again (hundreds of frames).
    EXPECT_LE(frames::decodedFrames(forward), 100);
    EXPECT_GT(frames::decodedFrames(forward), 0);
}

// A plan lets the grabber skip every frame none of its times shows and stop
// at the frame of the last time of a keyframe interval, and decode its later
// keyframe intervals in a second lane (counter_gop has a keyframe a second);
// the frames it gives stay the ones a player shows, also for times asked out
// of the plan (the neighbours of planned times, skipped for the plan's sake,
// a later time first) or after it, and a plan asked in full never decodes
// more than the same times asked without one.
TEST(FrameGrab, PlannedTimesAndOthersShowTheirFrames) {
    struct Case {
        std::string name;
        std::vector<double> plan, asked;
    } cases[] = {
        {"counter_long.mp4", {0.5, 1.0, 2.5, 3.97}, {0.5, 1.0, 2.5, 3.97}},
        {"counter_long.mp4", {1.0, 1.08, 1.12, 1.2}, {1.0, 1.08, 1.12, 1.2}},
        {"counter_gop.mp4", {0.5, 1.0, 2.5, 3.97}, {0.5, 1.0, 2.5, 3.97}},
        {"counter_gop.ts", {0.03, 1.47, 2.01, 3.96}, {0.03, 1.47, 2.01, 3.96}},
        {"counter_long.mp4", {1.0, 3.0}, {1.0, 1.04, 1.08, 3.0}},
        {"counter_gop.mp4", {1.0, 3.0}, {1.0, 1.04, 1.08, 3.0}},
        {"counter_long.mp4", {1.0}, {1.0, 1.04, 0.96}},
        {"counter_gop.mkv", {3.0, 1.0, 0.0}, {3.0, 1.0, 0.0}},
        {"counter_gop.mp4", {2.0, 2.0, 2.02}, {2.0, 2.0, 2.02, 10.0}},
        {"counter_gop.mp4", {0.5, 1.0, 2.5, 2.5, 3.97}, {0.5, 1.0, 2.5, 2.5, 3.97}},
        {"counter_gop.mp4", {0.2, 1.2, 2.2, 3.2}, {0.2, 3.2, 1.2}},
        {"counter_gop.mp4", {0.5, 1.0, 2.5, 3.97}, {0.5}},  // the rest never asked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " planned " + testing::PrintToString(c.plan));
        media::Asset asset(clip(c.name));
        frames::Generator generator(asset, 0);
        generator.plan(c.plan);
        for (double t : c.asked)
            EXPECT_EQ(counterFrame(grab(generator, t)), expectedCounterFrame(t, 100)) << "t " << t;
        if (c.asked != c.plan) continue;
        media::Asset again(clip(c.name));
        frames::Generator unplanned(again, 0);
        for (double t : c.asked)
            grab(unplanned, t);
        EXPECT_LE(frames::decodedFrames(generator), frames::decodedFrames(unplanned));
    }
}

// A picture that changes size mid-stream (frames 0-24 at 160x120, 25-49 at
// 320x240) gives each time its own frame at its own size, decoded on from the
// first size or found after a seek, planned or not.
TEST(FrameGrab, PictureChangingSizeGivesEachFrameAtItsSize) {
    const std::vector<double> times = {0.5, 0.98, 1.02, 1.5, 1.96};
    for (bool planned : {false, true}) {
        SCOPED_TRACE(planned ? "planned" : "unplanned");
        media::Asset asset(clip("counter_resize.ts"));
        frames::Generator generator(asset, 0);
        if (planned) generator.plan(times);
        for (double t : times) {
            frames::Image image = grab(generator, t);
            EXPECT_EQ(counterFrame(image), expectedCounterFrame(t, 50)) << "t " << t;
            EXPECT_EQ(image.width, t < 1 ? 160 : 320) << "t " << t;
        }
        for (double t : {1.5, 0.5})  // back across the change
            EXPECT_EQ(grab(generator, t).width, t < 1 ? 160 : 320) << "t " << t;
    }
}

// The second lane reads the file the first one opened, even when its path
// names another file by the time the lane starts.
TEST(FrameGrab, SecondLaneReadsTheFileFirstOpened) {
    std::filesystem::path dir = testing::TempDir() + "second_lane";
    std::filesystem::create_directories(dir);
    std::filesystem::path path = dir / "clip.mp4";
    std::filesystem::copy_file(clip("counter_gop.mp4"), path,
                               std::filesystem::copy_options::overwrite_existing);
    media::Asset asset(path.string());
    ASSERT_TRUE(asset.loadTracks(media::MediaType::video).ok());
    std::filesystem::copy_file(clip("quad.mp4"), dir / "other.mp4",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::rename(dir / "other.mp4", path);
    frames::Generator generator(asset, 0);
    const std::vector<double> times = {0.5, 1.5, 2.5, 3.5};
    generator.plan(times);
    for (double t : times)
        EXPECT_EQ(counterFrame(grab(generator, t)), expectedCounterFrame(t, 100)) << "t " << t;
    std::filesystem::remove_all(dir);
}

TEST(FrameGrab, DisplayMatrixTurnsAndMirrorsPixels) {
    // quad.mp4: 320x180, top-left red, top-right green, bottom-left blue,
    // bottom-right white.
    const std::vector<int> R = {255, 0, 0}, G = {0, 255, 0}, B = {0, 0, 255}, W = {255, 255, 255};
    struct Case {
        std::string name;
        int width, height;
        std::vector<int> tl, tr, bl, br;
    } cases[] = {
        {"quad.mp4", 320, 180, R, G, B, W},        {"quad_rot90.mp4", 180, 320, G, W, R, B},
        {"quad_rot180.mp4", 320, 180, W, B, G, R}, {"quad_rot270.mp4", 180, 320, B, R, W, G},
        {"quad_mirror.mp4", 320, 180, G, R, W, B}, {"quad_transpose.mp4", 180, 320, R, B, G, W},
    };
    auto near = [](const std::vector<int>& got, const std::vector<int>& want) {
        if (got.size() != 3) return false;
        for (int i = 0; i < 3; ++i)
            if (std::abs(got[i] - want[i]) > 40) return false;
        return true;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        frames::Image image = grabOnce(c.name, 0.5);
        EXPECT_EQ(image.width, c.width);
        EXPECT_EQ(image.height, c.height);
        EXPECT_TRUE(near(pixelAt(image, 0.25, 0.25), c.tl));
        EXPECT_TRUE(near(pixelAt(image, 0.75, 0.25), c.tr));
        EXPECT_TRUE(near(pixelAt(image, 0.25, 0.75), c.bl));
        EXPECT_TRUE(near(pixelAt(image, 0.75, 0.75), c.br));
    }
}

// #C02040 stored through each matrix and range comes back as #C02040; reading
// BT.709 as BT.601, or limited range as full, is off by 15 or more.
TEST(FrameGrab, ColourMatrixRangeAndDepthGiveSrgb) {
    for (std::string name :
         {"colour_709tv.mp4", "colour_601tv.mp4", "colour_709pc.mp4", "colour_709tv10.mp4"}) {
        SCOPED_TRACE(name);
        auto px = pixelAt(grabOnce(name, 0.5), 0.5, 0.5);
        ASSERT_EQ(px.size(), 3u);
        EXPECT_NEAR(px[0], 0xC0, 6);
        EXPECT_NEAR(px[1], 0x20, 6);
        EXPECT_NEAR(px[2], 0x40, 6);
    }
}

TEST(FrameGrab, FitsIntoMaxEdgeWithoutEnlarging) {
    struct Case {
        std::string name;
        int64_t maxEdge;
        int width, height;
    } cases[] = {
        {"hd.mp4", 512, 512, 288},      {"hd.mp4", 1024, 1024, 576}, {"hd.mp4", 4000, 1920, 1080},
        {"hd.mp4", 0, 1920, 1080},      {"hd.mp4", -3, 1920, 1080},  {"wide.mp4", 500, 500, 167},
        {"quad_rot90.mp4", 64, 36, 64},
    };
    for (const Case& c : cases) {
        frames::Image image = grabOnce(c.name, 0.2, c.maxEdge);
        EXPECT_EQ(image.width, c.width) << c.name << " " << c.maxEdge;
        EXPECT_EQ(image.height, c.height) << c.name << " " << c.maxEdge;
    }
}

// The benchmarks' decode statistics are one stderr line after the result,
// asked for by REELCTL_DECODE_STATS (not by an empty value or 0), and change
// nothing else a host reads.
TEST(FramesCommand, DecodeStatisticsOnlyWhenAskedAndBesideTheResult) {
    const struct {
        const char* value;
        bool line;
    } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}};
    std::string plain;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value)
            setenv("REELCTL_DECODE_STATS", c.value, 1);
        else
            unsetenv("REELCTL_DECODE_STATS");
        std::string out = testsupport::scratchDir("stats");
        auto framed = reelctl({"frames", clip("counter_gop.mp4"), out, "--count", "4"});
        auto poster = reelctl({"poster", clip("counter_gop.mp4"), out + "/p.jpg"});
        unsetenv("REELCTL_DECODE_STATS");
        ASSERT_EQ(framed.status, 0) << framed.err;
        ASSERT_EQ(poster.status, 0) << poster.err;
        if (plain.empty()) plain = framed.out;
        EXPECT_EQ(framed.out, plain);
        EXPECT_EQ(poster.out, "");
        for (const std::string& err : {framed.err, poster.err}) {
            if (!c.line) {
                EXPECT_EQ(err, "");
                continue;
            }
            ASSERT_TRUE(err.starts_with("decode-stats {") && err.ends_with("}\n")) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            json stats = json::parse(err.substr(13));
            EXPECT_GT(stats["decoded"].get<int>(), 0) << err;
        }
    }
}

TEST(FramesCommand, WritesFramesAndTheManifest) {
    std::string out = testsupport::scratchDir("frames") + "/new/dir/";
    auto r = reelctl({"frames", clip("hd.mp4"), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out, testsupport::readFile(out + "manifest.json") + "\n");
    json m = json::parse(r.out);
    EXPECT_EQ(m["duration"], 2.0);
    EXPECT_EQ(m["count"], 3);
    ASSERT_EQ(m["frames"].size(), 3u);
    const double times[] = {0.0, 1.0, 1.96};
    for (int i = 0; i < 3; ++i) {
        const json& f = m["frames"][i];
        EXPECT_EQ(f["index"], i);
        EXPECT_TRUE(f["index"].is_number_integer());
        EXPECT_EQ(f["time"], times[i]);
        EXPECT_EQ(f["filename"], "frame_" + std::to_string(i) + ".jpg");
        frames::Image image = decodeJpeg(out + "frame_" + std::to_string(i) + ".jpg");
        EXPECT_EQ(image.width, 512);
        EXPECT_EQ(image.height, 288);
    }
    EXPECT_NE(r.out.find("\"time\": 0.0,"), std::string::npos) << r.out;

    // An existing directory is reused; files not written again stay.
    testsupport::writeFile(out + "keep.txt", "x");
    r = reelctl({"frames", clip("hd.mp4"), out, "--max-edge", "4000", "--count", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(testsupport::exists(out + "keep.txt"));
    EXPECT_EQ(decodeJpeg(out + "frame_1.jpg").width, 1920);
}

// Each frame is the one ffmpeg gives at that time (times on frame boundaries,
// where "the frame at t" means the same for both), and not its neighbour.
TEST(FramesCommand, FramesMatchFfmpegAtTheSameTimes) {
    std::string out = testsupport::scratchDir("frames-psnr");
    auto r = reelctl({"frames", clip("hd.mp4"), out, "--interval", "0.4"});
    ASSERT_EQ(r.status, 0) << r.err;
    json m = json::parse(r.out);
    ASSERT_EQ(m["count"], 6);  // 0, 0.4, 0.8, 1.2, 1.6, 1.96 (1.0 lies too close to 0.8)
    auto reference = [&](const std::string& time, const std::string& name) {
        std::string ppm = out + "/" + name;
        auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", time, "-i",
                      clip("hd.mp4"), "-frames:v", "1", "-vf",
                      "scale=512:288:in_color_matrix=bt709:flags=lanczos+accurate_rnd+"
                      "full_chroma_int,format=rgb24",
                      "-f", "image2", "-c:v", "ppm", ppm});
        EXPECT_EQ(f.status, 0) << f.err;
        return readPpm(ppm);
    };
    for (const json& f : m["frames"]) {
        double t = f["time"];
        SCOPED_TRACE(t);
        frames::Image ours = decodeJpeg(out + "/" + f["filename"].get<std::string>());
        double same = psnr(ours, reference(json(t).dump(), "ref.ppm"));
        EXPECT_GE(same, 35.0);
        if (t + 0.04 < 2.0) {
            double next = psnr(ours, reference(json(t + 0.04).dump(), "next.ppm"));
            EXPECT_GT(same, next + 3.0);
        }
    }
}

// Sample times between frames: each file holds the last frame at or before
// its time (0.3 s lies in frame 7, which starts at 0.28 s).
TEST(FramesCommand, EachFrameIsTheOneShownAtItsTime) {
    std::string out = testsupport::scratchDir("frames-counter");
    auto r = reelctl({"frames", clip("counter_long.mp4"), out, "--interval", "0.3", "--max", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    json m = json::parse(r.out);
    ASSERT_EQ(m["count"], 14);  // 0, 0.3, ..., 1.8, 2.1, ..., 3.9 (2.0 lies too close to 1.8)
    for (const json& f : m["frames"]) {
        double t = f["time"];
        frames::Image image = decodeJpeg(out + "/" + f["filename"].get<std::string>());
        EXPECT_EQ(counterFrame(image), expectedCounterFrame(t, 100)) << "t " << t;
    }
}

TEST(FramesCommand, CorruptFrameIsSkippedWithItsLine) {
    std::string out = testsupport::scratchDir("frames-bad");
    auto r = reelctl({"frames", clip("bad.mp4"), out, "--interval", "0.5", "--max", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "frame 4 @2.0s failed: Invalid data found when processing input\n");
    json m = json::parse(r.out);
    EXPECT_EQ(m["count"], 8);
    std::vector<int> indexes;
    for (const json& f : m["frames"])
        indexes.push_back(f["index"]);
    EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2, 3, 5, 6, 7, 8}));
    EXPECT_FALSE(testsupport::exists(out + "/frame_4.jpg"));
    EXPECT_TRUE(testsupport::exists(out + "/frame_5.jpg"));
}

TEST(FramesCommand, EveryGrabFailingStillEndsWithAnEmptyManifest) {
    std::string out = testsupport::scratchDir("frames-none");
    auto r = reelctl({"frames", clip("nodecoder.mp4"), out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "frame 0 @0.0s failed: Decoder not found\n"
              "frame 1 @0.5s failed: Decoder not found\n"
              "frame 2 @0.98s failed: Decoder not found\n");
    json m = json::parse(r.out);
    EXPECT_EQ(m["count"], 0);
    EXPECT_TRUE(m["frames"].is_array());
    EXPECT_TRUE(m["frames"].empty());
}

TEST(FramesCommand, FailuresEndWithTheirStatusAndLine) {
    std::string out = testsupport::scratchDir("frames-fail");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    } cases[] = {
        {{"frames", out + "/missing.mp4", out}, 66, "input not found: " + out + "/missing.mp4\n"},
        {{"frames", clip("audio.m4a"), out}, 65, "no video track\n"},
        {{"frames", clip("raw.h264"), out}, 65, "invalid duration\n"},
        {{"frames", clip("hd.mp4")}, 64, "usage: reelctl frames <input> <out-dir>\n"},
    };
    for (const Case& c : cases) {
        auto r = reelctl(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(out));

    // A directory that cannot be made: the first JPEG write fails, no manifest.
    testsupport::writeFile(out + "/file", "x");
    auto r = reelctl({"frames", clip("hd.mp4"), out + "/file/sub"});
    EXPECT_EQ(r.status, 73);
    EXPECT_EQ(r.err, "failed to write " + out + "/file/sub/frame_0.jpg: Not a directory\n");
    EXPECT_EQ(r.out, "");
}
