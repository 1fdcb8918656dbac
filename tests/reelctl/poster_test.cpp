// The poster command run as the host runs it, and writeJPEG's size rule and
// failures called directly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "image_check.h"
#include "proc.h"
#include "reelctl.h"
#include "run_reelctl.h"

using testsupport::bin;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/poster/" + name);
}

frames::Image poster(const std::string& name, std::vector<std::string> options = {}) {
    std::string out = testsupport::scratchDir("poster") + "/poster.jpg";
    std::vector<std::string> arguments = {"poster", clip(name), out};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto r = reelctl(arguments);
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    return decodeJpeg(out);
}

frames::Image pattern(int width, int height) {
    frames::Image image{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
    for (size_t i = 0; i < image.rgb.size(); ++i)
        image.rgb[i] = uint8_t(i * 7 % 251);
    return image;
}

}  // namespace

// One second in, or half the duration below two seconds, or the first frame
// when the duration is unknown.
TEST(PosterCommand, PicksTheFrameAtItsTime) {
    EXPECT_EQ(counterFrame(poster("counter_4s.mp4")), 25);
    EXPECT_EQ(counterFrame(poster("counter_1.6s.mp4")), 20);  // half of 1.6 s
    EXPECT_EQ(counterFrame(poster("counter_2s.mp4")), 25);
    EXPECT_EQ(counterFrame(poster("counter.h264")), 0);
}

TEST(PosterCommand, SizeAndOrientation) {
    frames::Image image = poster("hd.mp4");
    EXPECT_EQ(image.width, 1024);
    EXPECT_EQ(image.height, 576);
    image = poster("hd.mp4", {"--max-edge", "4000"});
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1080);
    image = poster("hd.mp4", {"--max-edge", "300"});
    EXPECT_EQ(image.width, 300);
    EXPECT_EQ(image.height, 169);  // 168.75
    image = poster("portrait.mp4");
    EXPECT_EQ(image.width, 576);
    EXPECT_EQ(image.height, 1024);
}

TEST(PosterCommand, MatchesFfmpegAtOneSecond) {
    std::string dir = testsupport::scratchDir("poster-psnr");
    frames::Image ours = poster("hd.mp4");
    auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", "1.0", "-i",
                  clip("hd.mp4"), "-frames:v", "1", "-vf",
                  "scale=1024:576:in_color_matrix=bt709:flags=lanczos+accurate_rnd+"
                  "full_chroma_int,format=rgb24",
                  "-f", "image2", "-c:v", "ppm", dir + "/ref.ppm"});
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_GE(psnr(ours, readPpm(dir + "/ref.ppm")), 35.0);
}

TEST(PosterCommand, ReplacesAnExistingFile) {
    std::string out = testsupport::scratchDir("poster-replace") + "/p.jpg";
    testsupport::writeFile(out, std::string(500000, 'x'));
    auto r = reelctl({"poster", clip("counter_4s.mp4"), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(counterFrame(decodeJpeg(out)), 25);
    EXPECT_LT(testsupport::readFile(out).size(), 100000u);
}

TEST(PosterCommand, FailuresEndWithTheirStatusAndLine) {
    std::string dir = testsupport::scratchDir("poster-fail");
    std::string out = dir + "/p.jpg";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    } cases[] = {
        {{"poster", dir + "/missing.mp4", out}, 66, "input not found: " + dir + "/missing.mp4\n"},
        {{"poster", clip("audio.m4a"), out}, 65, "no video track\n"},
        {{"poster", clip("bad.mp4"), out},
         74,
         "poster extraction failed: Invalid data found when processing input\n"},
        {{"poster", clip("nodecoder.mp4"), out},
         74,
         "poster extraction failed: Decoder not found\n"},
        {{"poster", clip("hd.mp4"), dir + "/no/such/dir/p.jpg"},
         73,
         "failed to write " + dir + "/no/such/dir/p.jpg: No such file or directory\n"},
        {{"poster", clip("hd.mp4")}, 64, "usage: reelctl poster <input> <out.jpg>\n"},
    };
    for (const Case& c : cases) {
        auto r = reelctl(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(testsupport::exists(out));
    }
}

TEST(WriteJpeg, ShrinksByTheSizeRuleOnly) {
    std::string dir = testsupport::scratchDir("writejpeg");
    struct Case {
        int width, height;
        int64_t maxEdge;
        int wantWidth, wantHeight;
    } cases[] = {
        {1920, 1080, 512, 512, 288},  // 1080 x 0.2667 = 288.0
        {1000, 333, 500, 500, 167},   // 166.5 rounds away from zero
        {640, 480, 640, 640, 480},    // the longest side equals maxEdge: unscaled
        {640, 480, 0, 640, 480},      // no bound
        {640, 480, -1, 640, 480},     // no bound
        {300, 200, 1000, 300, 200},   // never enlarged
        {1000, 1, 100, 1000, 1},      // the short side rounds to 0: unscaled
    };
    for (const Case& c : cases) {
        std::string path = dir + "/out.jpg";
        writeJPEG(pattern(c.width, c.height), path, c.maxEdge);
        frames::Image back = decodeJpeg(path);
        EXPECT_EQ(back.width, c.wantWidth) << c.width << "x" << c.height << " " << c.maxEdge;
        EXPECT_EQ(back.height, c.wantHeight) << c.width << "x" << c.height << " " << c.maxEdge;
    }
    // Quality 85 keeps a smooth frame close to its source.
    frames::Image smooth{64, 64, std::vector<uint8_t>(64 * 64 * 3)};
    for (size_t i = 0; i < smooth.rgb.size(); ++i)
        smooth.rgb[i] = uint8_t(i / 3 % 64 * 2 + 40);
    writeJPEG(smooth, dir + "/smooth.jpg", 0);
    EXPECT_GE(psnr(decodeJpeg(dir + "/smooth.jpg"), smooth), 40.0);
}

TEST(WriteJpegDeathTest, FailuresEndTheProcess) {
    std::string dir = testsupport::scratchDir("writejpeg-fail");
    EXPECT_EXIT(writeJPEG(pattern(8, 8), dir + "/none/x.jpg", 0), testing::ExitedWithCode(73),
                "^failed to write " + dir + "/none/x.jpg: No such file or directory\n$");
    EXPECT_EXIT(writeJPEG(frames::Image{}, dir + "/empty.jpg", 0), testing::ExitedWithCode(72),
                "^failed to encode JPEG for " + dir + "/empty.jpg\n$");
    ::chmod(dir.c_str(), 0500);
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_EXIT(writeJPEG(pattern(8, 8), dir + "/ro.jpg", 0), testing::ExitedWithCode(73),
                    "Permission denied");
    }
    ::chmod(dir.c_str(), 0700);
}
