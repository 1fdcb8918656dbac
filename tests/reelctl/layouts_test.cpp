// Files laid out as other writers lay them out: program streams, transport
// streams with data before the picture, an elementary stream without a
// container rate, phone display matrices, an ASF whose picture starts late.
// ffmpeg's decode from the start is the oracle of what a player shows.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "image_check.h"
#include "proc.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/layouts/" + name);
}

json probe(const std::string& name) {
    return probeDocument(clip(name));
}

json ffprobe(const std::vector<std::string>& options, const std::string& path) {
    std::vector<std::string> argv{"/usr/bin/ffprobe", "-v", "error"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-of", "json", path});
    auto r = run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

// Frame n of the clip's picture as ffmpeg decodes the whole file from the
// start, in RGB (the counter clips are standard definition: BT.601).
frames::Image reference(const std::string& name, int n) {
    std::string out = testsupport::scratchDir("layouts-ref") + "/ref.ppm";
    auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip(name), "-map",
                  "0:v", "-vf",
                  "select=eq(n\\," + std::to_string(n) +
                      "),scale=in_color_matrix=bt601:flags=lanczos+accurate_rnd+full_chroma_int,"
                      "format=rgb24",
                  "-frames:v", "1", "-f", "image2", "-c:v", "ppm", out});
    EXPECT_EQ(f.status, 0) << f.err;
    return readPpm(out);
}

void framesOf(const std::string& name, int count, std::vector<Written>& out) {
    framesWritten(clip(name), count, "layouts-frames", out);
}

frames::Image poster(const std::string& name) {
    std::string out = testsupport::scratchDir("layouts-poster") + "/poster.jpg";
    auto r = reelctl({"poster", clip(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return r.status == 0 ? decodeJpeg(out) : frames::Image{};
}

// The band of the counter clips: the top 64 rows of 240 or 288, read inside.
double bandBottom(const frames::Image& image) {
    return (64.0 - 8) / image.height;
}

// Every grab of a counter clip is the frame a player shows at its time, whole:
// its counter is that frame's number, and it matches ffmpeg's own decode of
// that frame far better than grey or a picture decoded without its references.
void expectShownFrames(const std::string& name, int frameCount,
                       const std::vector<std::string>& options) {
    std::vector<Written> written;
    ASSERT_NO_FATAL_FAILURE(framesWrittenWith(clip(name), options, "layouts-shown", written));
    ASSERT_GE(written.size(), 8u);
    double lead = pictureStart(clip(name));  // sound a few milliseconds first
    for (const auto& [t, image] : written) {
        int n = expectedCounterFrame(t, frameCount, lead);
        EXPECT_EQ(bandCounterFrame(image, 8.0 / image.height, bandBottom(image)), n) << "t " << t;
        EXPECT_GT(psnr(image, reference(name, n)), 30.0) << "t " << t;
    }
    frames::Image p = poster(name);
    int at = expectedCounterFrame(1.0, frameCount, lead);  // 1.0 s in
    EXPECT_EQ(bandCounterFrame(p, 8.0 / p.height, bandBottom(p)), at);
    EXPECT_GT(psnr(p, reference(name, at)), 30.0);
}

std::string transcoded(const std::string& name) {
    std::string out = testsupport::scratchDir("layouts-transcode") + "/out.mp4";
    auto r = reelctl({"transcode", clip(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return out;
}

double number(const json& value) {
    return std::stod(value.get<std::string>());
}

}  // namespace

// DVD and MPEG-1 program streams (MPEG-2 with open GOPs and B-frames, MP2 or
// AC-3 sound): probe, the frame for each time, the poster and the export.
TEST(Layouts, ProgramStreams) {
    for (std::string name : {"counter.vob", "counter.mpg"}) {
        SCOPED_TRACE(name);
        json doc = probe(name);
        EXPECT_EQ(doc["width"], 320);
        EXPECT_EQ(doc["height"], 240);
        EXPECT_EQ(doc["fps"], 25.0);
        EXPECT_EQ(doc["codec"], "m2v1");
        EXPECT_EQ(doc["hasAudio"], true);
        EXPECT_NEAR(doc["duration"].get<double>(), 4.0, 0.05);
        // Every 0.44 s: frames 11 and 22 (.vob) and 44 (.mpg) are B-frames
        // shown before the keyframe that follows them in the stream (open
        // GOPs), and others lie just after keyframes, between them and at the
        // end.
        expectShownFrames(name, 100, {"--interval", "0.44"});

        std::string out = transcoded(name);
        json counted = ffprobe({"-count_frames", "-show_entries",
                                "stream=codec_type,nb_read_frames,duration,start_time"},
                               out)["streams"];
        ASSERT_EQ(counted.size(), 2u);
        EXPECT_EQ(counted[0]["nb_read_frames"], "100");
        EXPECT_NEAR(number(counted[0]["duration"]), 4.0, 0.05);
        EXPECT_LT(number(counted[0]["start_time"]), 0.05);
        EXPECT_EQ(counted[1]["codec_type"], "audio");
        EXPECT_NEAR(number(counted[1]["duration"]), 4.0, 0.1);
    }
}

// A transport stream whose data stream (KLV metadata, SCTE-35 cues) starts
// 0.73 s before its picture: the poster works, and times count from the
// container's start (the data's), as on a player's timeline.
TEST(Layouts, DataStreamStartingBeforeThePicture) {
    for (std::string name : {"klv.ts", "scte35.ts"}) {
        SCOPED_TRACE(name);
        json streams = ffprobe({"-show_entries", "stream=codec_type,start_time"}, clip(name));
        ASSERT_EQ(streams["streams"].size(), 2u);  // the fixture is what it claims
        EXPECT_EQ(streams["streams"][1]["codec_type"], "data");
        EXPECT_NEAR(number(streams["streams"][0]["start_time"]) -
                        number(streams["streams"][1]["start_time"]),
                    0.73, 0.001);

        frames::Image p = poster(name);
        EXPECT_EQ(counterFrame(p), 6);  // 1.0 s after the container's start
        std::vector<Written> written;
        ASSERT_NO_FATAL_FAILURE(framesOf(name, 5, written));
        for (const auto& [t, image] : written)
            EXPECT_EQ(counterFrame(image), expectedCounterFrame(t, 75, 0.73)) << "t " << t;
    }
}

// A stream whose container gives no rate (a raw MPEG-4 Part 2 stream: the
// rate is only in its VOL header): fps is the stream's base rate, 25.
TEST(Layouts, RateFromTheBitstreamWhereTheContainerHasNone) {
    json stream = ffprobe({"-show_entries", "stream=avg_frame_rate,r_frame_rate"},
                          clip("rate.m4v"))["streams"][0];
    EXPECT_EQ(stream["avg_frame_rate"], "0/0");  // the fixture is what it claims
    EXPECT_EQ(stream["r_frame_rate"], "25/1");
    EXPECT_EQ(probe("rate.m4v")["fps"], 25.0);
}

// Phone track headers: a coded size, track size and 'pasp' that disagree, and
// a display matrix that scales as it turns. Probe, poster, frames and export
// show the same shape.
TEST(Layouts, PhoneTrackHeadersGiveOneShape) {
    struct Case {
        const char* name;
        int width, height;  // as probe reports them
    };
    for (Case c : {Case{"phone.mp4", 320, 180}, Case{"scaled.mp4", 240, 240}}) {
        SCOPED_TRACE(c.name);
        json doc = probe(c.name);
        EXPECT_EQ(doc["width"], c.width);
        EXPECT_EQ(doc["height"], c.height);
        frames::Image p = poster(c.name);
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
        std::vector<Written> written;
        ASSERT_NO_FATAL_FAILURE(framesOf(c.name, 3, written));
        EXPECT_EQ(written[0].image.width, c.width);
        EXPECT_EQ(written[0].image.height, c.height);
        // The export: square pixels, a pure turn, the same shape once turned.
        json out = ffprobe({"-show_entries", "stream=width,height,sample_aspect_ratio"},
                           transcoded(c.name))["streams"][0];
        EXPECT_EQ(out["sample_aspect_ratio"], "1:1");
        EXPECT_EQ(out["width"], c.height);  // stored upright, turned on display
        EXPECT_EQ(out["height"], c.width);
    }
}

// An ASF whose picture starts 0.6 s in (its sound a little earlier): frames
// count from the container's start, and the export keeps every frame and the
// length of what is there, starting at 0. ffprobe's duration of the input
// (3.65 s) counts the 0.55 s before the first packet as well; probe's length
// is the export's.
TEST(Layouts, AsfStartingLateKeepsItsLength) {
    std::vector<Written> written;
    ASSERT_NO_FATAL_FAILURE(framesOf("late.asf", 5, written));
    double lead = pictureStart(clip("late.asf"));
    for (const auto& [t, image] : written)
        EXPECT_EQ(bandCounterFrame(image, 8.0 / image.height, bandBottom(image)),
                  expectedCounterFrame(t, 75, lead))
            << "t " << t;

    // What the input holds: from its first packet to the end of its last.
    json packets = ffprobe({"-show_entries", "packet=pts_time,duration_time"}, clip("late.asf"));
    double first = 1e9, last = 0;
    for (const auto& p : packets["packets"]) {
        double t = number(p["pts_time"]);
        first = std::min(first, t);
        last = std::max(last, t + (p.contains("duration_time") ? number(p["duration_time"]) : 0));
    }
    std::string out = transcoded("late.asf");
    json counted = ffprobe({"-count_frames", "-show_entries",
                            "stream=codec_type,nb_read_frames,duration,start_time:format=duration"},
                           out);
    ASSERT_EQ(counted["streams"].size(), 2u);
    EXPECT_EQ(counted["streams"][0]["nb_read_frames"], "75");
    EXPECT_NEAR(number(counted["streams"][0]["duration"]), 3.0, 0.05);
    EXPECT_LT(number(counted["streams"][0]["start_time"]), 0.1);
    EXPECT_EQ(counted["streams"][1]["codec_type"], "audio");
    EXPECT_NEAR(number(counted["format"]["duration"]), last - first, 0.1);
    EXPECT_NEAR(probe("late.asf")["duration"].get<double>(), last - first, 0.05);
}
