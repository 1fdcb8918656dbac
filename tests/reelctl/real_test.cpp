// Real video files made by others (tests/data/real/video, sources and
// licences in its README): probe, poster, frames and transcode against what
// ffprobe and ffmpeg make of the same file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>

#include "image_check.h"
#include "proc.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string real(const std::string& name) {
    return std::string(SOURCE_DIR) + "/tests/data/real/video/" + name;
}

json ffprobe(const std::string& path) {
    auto r = run(
        {"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

double number(const json& field) {
    return field.is_string() ? std::atof(field.get<std::string>().c_str()) : 0.0;
}

json firstStream(const json& doc, const std::string& type) {
    for (const auto& s : doc["streams"])
        if (s["codec_type"] == type) return s;
    return json::object();
}

// What ffmpeg shows at `seconds` from the container's start (the last frame
// at or before it, else the first), scaled to the size reelctl wrote.
frames::Image shownAt(const std::string& path, const json& format, const json& video,
                      double seconds, int width, int height) {
    // With the file's own timestamps (-copyts), the container starts at its
    // start_time (an MP4 at 0); reelctl counts from there.
    bool movie = format["format_name"].get<std::string>().rfind("mov,mp4", 0) == 0;
    double start = movie ? 0 : number(format.value("start_time", json("0")));
    std::string matrix = video.value("color_space", "unknown");
    if (matrix != "bt709" && matrix != "bt470bg" && matrix != "smpte170m")
        matrix = (video["width"].get<int>() >= 1280 || video["height"].get<int>() > 576) ? "bt709"
                                                                                         : "bt601";
    if (matrix == "bt470bg" || matrix == "smpte170m") matrix = "bt601";
    std::string scale = "scale=" + std::to_string(width) + ":" + std::to_string(height) +
                        ":in_color_matrix=" + matrix +
                        ":flags=lanczos+accurate_rnd+full_chroma_int,format=rgb24";
    char at[64];
    std::snprintf(at, sizeof at, "%.6f", start + seconds + 0.0005);
    std::string out = testsupport::scratchDir("real-ref") + "/ref.ppm";
    for (std::string select :
         {"select=lte(t\\," + std::string(at) + "),", std::string("select=eq(n\\,0),")}) {
        auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-copyts", "-i", path,
                      "-map", "0:v:0", "-vf", select + scale, "-update", "1", "-f", "image2",
                      "-c:v", "ppm", out});
        EXPECT_EQ(f.status, 0) << f.err;
        if (testsupport::exists(out) && !testsupport::readFile(out).empty()) return readPpm(out);
    }
    ADD_FAILURE() << "ffmpeg shows nothing at " << seconds << " in " << path;
    return {};
}

// The code an MPEG-4 file carries for the codec: the file's own where it is
// one of that family, else the sample entry ffmpeg's MP4 writer would use.
std::string mpeg4Code(const json& format, const json& video) {
    std::string name = video["codec_name"];
    if (format["format_name"].get<std::string>().rfind("mov,mp4", 0) == 0)
        return video["codec_tag_string"];
    if (name == "h264") return "avc1";
    if (name == "hevc") return "hev1";
    if (name == "vp8") return "vp08";
    if (name == "vp9") return "vp09";
    if (name == "mpeg4") return "mp4v";
    if (name == "mpeg2video") return "m2v1";
    return "?" + name;
}

struct Case {
    const char* file;
    bool hasFrames;
};

const Case kCases[] = {
    {"shaka-hls-ts-muxed-mp3-h264_seg-1-v1-a1.ts", true},  // ID3 and MP3 start 0.067 s early
    {"shaka-hls-ts-muxed-aac-h265_0.ts", true},            // HEVC portrait, AAC 0.046 s early
    {"shaka-video.ts", true},                              // bitstream aspect 110:109 only
    {"shaka-hls-ts-rollover_32.ts", true},                 // a segment 6.29 s into its stream
    {"shaka-hls-ts-b-frames_1.ts", true},
    {"gomp4-sample.mp4", true},
    {"gomp4-sample_fragmented.mp4", true},
    {"small-webm.webm", true},                    // one 8x8 VP8 frame
    {"gomp4-sample_init.encv.mp4", false},        // an encrypted init segment: no samples
    {"small-AudioVideoInterleave.avi", false},    // a header and no packets
    {"androidx-sample_h264_dts_audio.ts", true},  // DTS sound
    {"androidx-sample_scte35.ts", true},          // SCTE-35 cues 0.73 s first
    {"androidx-sample.mkv", true},                // starts at 0.067 s
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.file;
}

class RealVideo : public ::testing::TestWithParam<Case> {};

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.file;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

}  // namespace

// Size, codec code, duration and sound as ffprobe reads the file.
TEST_P(RealVideo, ProbeAgreesWithFfprobe) {
    std::string path = real(GetParam().file);
    json oracle = ffprobe(path);
    json video = firstStream(oracle, "video");
    ASSERT_FALSE(video.empty());
    auto r = reelctl({"probe", path});
    ASSERT_EQ(r.status, 0) << r.err;
    json doc = json::parse(r.out);
    double sar = 1;
    std::string aspect = video.value("sample_aspect_ratio", "1:1");
    int num = 0, den = 0;
    if (std::sscanf(aspect.c_str(), "%d:%d", &num, &den) == 2 && num > 0 && den > 0)
        sar = double(num) / den;
    EXPECT_EQ(doc["width"], std::lround(video["width"].get<int>() * sar));
    EXPECT_EQ(doc["height"], video["height"]);
    EXPECT_EQ(doc["codec"], mpeg4Code(oracle["format"], video));
    EXPECT_EQ(doc["hasAudio"], !firstStream(oracle, "audio").empty());
    if (GetParam().hasFrames) {
        EXPECT_NEAR(doc["duration"].get<double>(), number(oracle["format"]["duration"]), 0.01);
    }
}

// The poster and five frames are the pictures ffmpeg shows at their times;
// a file without a frame fails the poster with its status.
TEST_P(RealVideo, PosterAndFramesAreWhatFfmpegShows) {
    std::string path = real(GetParam().file);
    json oracle = ffprobe(path);
    json video = firstStream(oracle, "video");
    std::string out = testsupport::scratchDir("real-poster") + "/poster.jpg";
    auto r = reelctl({"poster", path, out});
    if (!GetParam().hasFrames) {
        EXPECT_EQ(r.status, 74);
        EXPECT_EQ(r.err, "poster extraction failed: the video track has no frames\n");
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    double duration = json::parse(reelctl({"probe", path}).out)["duration"];
    frames::Image poster = decodeJpeg(out);
    double t = std::min(duration / 2, 1.0);
    EXPECT_GT(psnr(poster, shownAt(path, oracle["format"], video, t, poster.width, poster.height)),
              30.0)
        << "t " << t;

    std::string dir = testsupport::scratchDir("real-frames");
    r = reelctl({"frames", path, dir, "--count", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    json manifest = json::parse(r.out);
    EXPECT_GE(manifest["count"].get<int>(), 1);
    for (const auto& entry : manifest["frames"]) {
        frames::Image image = decodeJpeg(dir + "/" + entry["filename"].get<std::string>());
        double at = entry["time"];
        EXPECT_GT(
            psnr(image, shownAt(path, oracle["format"], video, at, image.width, image.height)),
            30.0)
            << "t " << at;
    }
}

// The export keeps the sound and the length of the picture; a file without
// a frame fails it.
TEST_P(RealVideo, TranscodeKeepsSoundAndLength) {
    std::string path = real(GetParam().file);
    json oracle = ffprobe(path);
    std::string out = testsupport::scratchDir("real-transcode") + "/out.mp4";
    auto r = reelctl({"transcode", path, out});
    if (!GetParam().hasFrames) {  // nothing to export is a failed export
        EXPECT_EQ(r.status, 75);
        EXPECT_EQ(r.err, "transcode failed: the video track has no frames\n");
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    json exported = ffprobe(out);
    EXPECT_EQ(firstStream(exported, "audio").empty(), firstStream(oracle, "audio").empty());
    json in = firstStream(oracle, "video"), outVideo = firstStream(exported, "video");
    double inLength = number(in.value("duration", json("0")));
    if (inLength > 0.2) {  // a one-frame file has no length to keep
        EXPECT_NEAR(number(outVideo["duration"]), inLength, 0.1);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RealVideo, ::testing::ValuesIn(kCases), caseName);
