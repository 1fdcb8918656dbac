// Answers on media of the kinds people have (made at test time, and small
// real files from other projects): sound in every track kind, lengths the
// headers leave unknown, frame rates, dates, codec codes, the last frame's
// hold, one displayed size and one time origin. ffprobe and ffmpeg are the
// oracle throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "image_check.h"
#include "proc.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::run;
using namespace imagecheck;

namespace {

// A fixture of this group, or a real file (a name with a source prefix).
std::string input(const std::string& name) {
    if (name.find('-') != std::string::npos)
        return std::string(SOURCE_DIR) + "/tests/data/real/video/" + name;
    return testsupport::fixture("reelctl/answers/" + name);
}

json ffprobe(const std::string& path, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"/usr/bin/ffprobe", "-v", "quiet", "-of", "json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(path);
    auto r = run(argv);
    return r.status == 0 ? json::parse(r.out) : json::object();
}

double number(const json& v, double otherwise = 0) {
    return v.is_string() ? std::stod(v.get<std::string>()) : otherwise;
}

json stream(const json& info, const std::string& type) {
    for (const auto& s : info.value("streams", json::array()))
        if (s["codec_type"] == type) return s;
    return json::object();
}

// `reelctl transcode`, and ffprobe's view of the movie (empty when it failed).
json exported(const std::string& name) {
    std::string out = testsupport::scratchDir("answers") + "/out.mp4";
    auto r = reelctl({"transcode", input(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return r.status == 0 ? ffprobe(out, {"-show_streams", "-show_format"}) : json::object();
}

// Presentation times of the first video track's packets, ascending.
std::vector<double> pictureTimes(const std::string& path) {
    json packets =
        ffprobe(path, {"-select_streams", "v:0", "-show_entries", "packet=pts_time"})["packets"];
    std::vector<double> times;
    for (const auto& p : packets)
        times.push_back(number(p.value("pts_time", json())));
    std::sort(times.begin(), times.end());
    return times;
}

}  // namespace

// Sound of every kind that decodes is in the movie (as AAC); a track nothing
// decodes (no sample description) is left out and the video still exported.
TEST(Answers, EveryDecodableSoundReachesTheExport) {
    struct Case {
        const char* file;
        const char* codec;  // of the source's sound, as ffprobe names it ("none": no codec)
        bool decodes;
    };
    for (Case c : {Case{"dts.ts", "dts", true}, Case{"pal.dv", "pcm_s16le", true},
                   Case{"androidx-sample_h264_dts_audio.ts", "dts", true},
                   Case{"androidx-sample_missing_stsd.mp4", "none", false}}) {
        SCOPED_TRACE(c.file);
        json source = stream(ffprobe(input(c.file), {"-show_streams"}), "audio");
        ASSERT_TRUE(source.contains("index"));  // the fixture is what it claims
        ASSERT_EQ(source.value("codec_name", "none"), c.codec);
        auto decoded = run({"/usr/bin/ffmpeg", "-v", "quiet", "-i", input(c.file), "-map", "0:a:0",
                            "-f", "null", "-"});
        ASSERT_EQ(decoded.status == 0, c.decodes);
        json movie = exported(c.file);
        EXPECT_EQ(stream(movie, "audio").value("codec_name", "none"), c.decodes ? "aac" : "none");
        EXPECT_NEAR(number(stream(movie, "video")["duration"]),
                    number(stream(ffprobe(input(c.file), {"-show_streams"}), "video")["duration"]),
                    0.05);
    }
}

// All ones in a fragmented MP4's track headers is "unknown": the length is
// the packets', and the export of the whole file is no cut-off copy.
TEST(Answers, UnknownHeaderLengthComesFromThePackets) {
    for (const char* name : {"frag_ones.mp4", "androidx-sample_fragmented.mp4"}) {
        SCOPED_TRACE(name);
        json info = ffprobe(input(name),
                            {"-show_format", "-show_entries", "packet=pts_time,duration_time"});
        ASSERT_GT(number(info["format"]["duration"]), 1e4);  // ffprobe takes the ones as ticks
        double first = 1e9, end = 0;
        for (const auto& p : info["packets"]) {
            double t = number(p["pts_time"]);
            first = std::min(first, t);
            end = std::max(end, t + number(p.value("duration_time", json())));
        }
        EXPECT_NEAR(probeDocument(input(name))["duration"].get<double>(), end - first, 0.02);
        EXPECT_NEAR(number(exported(name)["format"]["duration"]), end - first, 0.05);
    }
}

// Where the container gives no average rate: frames over the time they span,
// not the millisecond time base's 1000 (nor 120); a single frame has none.
TEST(Answers, FrameRateFromThePicturesWhereTheContainerHasNone) {
    for (const char* name :
         {"vfr.asf", "filetype-fixture.asf", "androidx-sample.mkv", "small-webm.webm"}) {
        SCOPED_TRACE(name);
        std::vector<double> t = pictureTimes(input(name));
        ASSERT_FALSE(t.empty());
        double rate = t.size() < 2 ? 0 : double(t.size() - 1) / (t.back() - t.front());
        EXPECT_NEAR(probeDocument(input(name))["fps"].get<double>(), rate, rate * 0.005);
    }
    EXPECT_NEAR(probeDocument(input("vfr.asf"))["fps"].get<double>(), 49 / 4.8, 0.01);
}

// Matroska's date: DateUTC, else a CREATION_TIME tag of the segment, else of
// a track.
TEST(Answers, MatroskaCreationDateFromDateUtcOrTags) {
    struct Case {
        const char* file;
        const char* date;
    };
    for (Case c : {Case{"date_utc.mkv", "2021-04-05T06:07:08Z"},
                   Case{"date_segment.mkv", "2022-05-06T07:08:09Z"},
                   Case{"date_video.mkv", "2023-06-07T08:09:10Z"},
                   Case{"date_audio.mkv", "2024-07-08T09:10:11Z"},
                   Case{"androidx-sample.mkv", "2016-05-31T17:01:35Z"}})
        EXPECT_EQ(probeDocument(input(c.file))["creationDate"], c.date) << c.file;
}

// A codec without an MPEG-4 code: the code FFmpeg's MOV writer gives it when
// it copies the stream.
TEST(Answers, CodecCodeOfAStreamCopyIntoMov) {
    for (const char* name : {"rv10.rm", "rv20.rm"}) {
        std::string mov = testsupport::scratchDir("answers-codec") + "/copy.mov";
        ASSERT_EQ(run({"/usr/bin/ffmpeg", "-v", "quiet", "-i", input(name), "-map", "0:v", "-c",
                       "copy", mov})
                      .status,
                  0);
        std::string code = stream(ffprobe(mov, {"-show_streams"}), "video")["codec_tag_string"];
        EXPECT_EQ(code.size(), 4u);
        EXPECT_EQ(probeDocument(input(name))["codec"], code) << name;
    }
}

// An edit list (or a container) that presents the last frame longer than its
// own duration: the export lasts the whole presentation.
TEST(Answers, ExportKeepsTheLastFramesHold) {
    for (const char* name : {"androidx-iibbibb_editlist_videoonly.mp4", "filetype-fixture.asf"}) {
        double presented = number(ffprobe(input(name), {"-show_format"})["format"]["duration"]);
        EXPECT_NEAR(number(exported(name)["format"]["duration"]), presented, 0.05) << name;
    }
}

// Non-square pixels: probe, poster and frames give the displayed width cut to
// whole pixels, the export that width made even.
TEST(Answers, OneDisplayedSizeEverywhere) {
    for (const char* name : {"sar4445.ts", "sar1011.mkv"}) {
        SCOPED_TRACE(name);
        json v = stream(ffprobe(input(name), {"-show_streams"}), "video");
        int num = 0, den = 0;
        std::sscanf(v["sample_aspect_ratio"].get<std::string>().c_str(), "%d:%d", &num, &den);
        int width = int(v["width"].get<int>() * num / den);  // truncated
        ASSERT_NE(v["width"].get<int>() * num % den, 0);     // a fraction is cut
        EXPECT_EQ(probeDocument(input(name))["width"], width);
        std::string dir = testsupport::scratchDir("answers-size");
        ASSERT_EQ(reelctl({"poster", input(name), dir + "/p.jpg"}).status, 0);
        EXPECT_EQ(decodeJpeg(dir + "/p.jpg").width, width);
        std::vector<Written> written;
        ASSERT_NO_FATAL_FAILURE(
            framesWrittenWith(input(name), {"--count", "1", "--max-edge", "2000"}, dir, written));
        EXPECT_EQ(written.at(0).image.width, width);
        EXPECT_EQ(stream(exported(name), "video")["width"], width & ~1);
    }
}

// Time 0 is the container's start, as on a player's timeline: the poster of a
// transport stream whose sound starts first is the picture shown 1 s after
// the sound begins, and the export keeps the picture's offset.
TEST(Answers, TimeCountsFromTheContainersStart) {
    for (const char* name : {"early_audio.ts", "androidx-sample_scte35.ts"}) {
        SCOPED_TRACE(name);
        json info = ffprobe(input(name), {"-show_streams", "-show_format"});
        double start = number(info["format"]["start_time"]);
        double offset = number(stream(info, "video")["start_time"]) - start;
        ASSERT_GT(offset, 0.02);  // the picture starts late
        double duration = number(info["format"]["duration"]);
        EXPECT_DOUBLE_EQ(probeDocument(input(name))["duration"].get<double>(), duration);
        // The frame a player shows at t: the last one at or before it, else the first.
        std::vector<double> times = pictureTimes(input(name));
        double t = std::min(duration / 2, 1.0);
        auto shown = std::upper_bound(times.begin(), times.end(), start + t + 1e-6);
        int index = int(std::max<std::ptrdiff_t>(shown - times.begin() - 1, 0));
        std::string dir = testsupport::scratchDir("answers-origin");
        ASSERT_EQ(reelctl({"poster", input(name), dir + "/p.jpg"}).status, 0);
        frames::Image poster = decodeJpeg(dir + "/p.jpg");
        auto ref = [&](int n) {
            auto f = run({"/usr/bin/ffmpeg", "-v", "quiet", "-y", "-i", input(name), "-map", "0:v",
                          "-vf",
                          "select=eq(n\\," + std::to_string(n) +
                              "),scale=in_color_matrix=bt601:flags=lanczos+accurate_rnd+"
                              "full_chroma_int,format=rgb24",
                          "-frames:v", "1", "-c:v", "ppm", dir + "/ref.ppm"});
            EXPECT_EQ(f.status, 0);
            return psnr(poster, readPpm(dir + "/ref.ppm"));
        };
        double at = ref(index);
        EXPECT_GT(at, 30.0) << "frame " << index;
        if (index > 0 && size_t(index + 1) < times.size()) {  // not a neighbour's
            EXPECT_GT(at, ref(index - 1) + 1.0);
            EXPECT_GT(at, ref(index + 1) + 1.0);
        }
        EXPECT_NEAR(number(stream(exported(name), "video")["start_time"]), offset, 0.02);
    }
}
