// What containers other than MP4 say, and what containers say over their
// bitstreams: codec codes, pixel aspect, capture dates, durations missing
// from the header, audio kept in transcode, times in transport streams.
#include <gtest/gtest.h>

#include <vector>

#include <nlohmann/json.hpp>

#include "image_check.h"
#include "proc.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/containers/" + name);
}

json probe(const std::string& name) {
    auto r = reelctl({"probe", clip(name)});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

frames::Image poster(const std::string& name) {
    std::string out = testsupport::scratchDir("containers-poster") + "/poster.jpg";
    auto r = reelctl({"poster", clip(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return r.status == 0 ? decodeJpeg(out) : frames::Image{};
}

json ffprobe(const std::string& path) {
    auto r = run(
        {"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

std::string transcoded(const std::string& name) {
    std::string out = testsupport::scratchDir("containers-transcode") + "/out.mp4";
    auto r = reelctl({"transcode", clip(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return out;
}

// `reelctl frames --count 5` of a clip into a scratch folder.
void fiveFrames(const std::string& name, const std::string& scratch, std::vector<Written>& out) {
    framesWritten(clip(name), 5, scratch, out);
}

}  // namespace

// Transport streams, AVI and Matroska report the code an MPEG-4 file would
// carry, never their own stream type or registry code.
TEST(Containers, CodecIsTheMpeg4CodeWhateverTheContainer) {
    EXPECT_EQ(probe("h264_aac.ts")["codec"], "avc1");  // stream type 0x1b in the TS
    EXPECT_EQ(probe("h264.avi")["codec"], "avc1");     // "H264" in the AVI
    EXPECT_EQ(probe("mpeg4.avi")["codec"], "mp4v");    // "FMP4" in the AVI
    EXPECT_EQ(probe("aspect.mkv")["codec"], "avc1");
    EXPECT_EQ(probe("live.webm")["codec"], "vp08");
    EXPECT_EQ(probe("h263.3gp")["codec"], "s263");     // the 3GP's own sample entry
    EXPECT_EQ(probe("msmpeg4.asf")["codec"], "3IVD");  // "MP43" in the ASF
    EXPECT_EQ(probe("raw.avi")["codec"], "raw");       // the QuickTime code "raw "
    // No MPEG-4 file carries Sorenson Spark: the code AVI files name it by,
    // never the empty string.
    EXPECT_EQ(probe("flv1.flv")["codec"], "FLV1");
}

// The container's presentation size and aspect win over the bitstream's, in
// probe, poster, frames and transcode alike.
TEST(Containers, PixelAspectOfTheContainerWinsEverywhere) {
    json h263 = probe("h263.3gp");  // picture header 12:11, 'pasp' 1:1
    EXPECT_EQ(h263["width"], 176);
    EXPECT_EQ(h263["height"], 144);
    frames::Image image = poster("h263.3gp");
    EXPECT_EQ(image.width, 176);
    EXPECT_EQ(image.height, 144);
    std::string dir = testsupport::scratchDir("containers-frames");
    auto r = reelctl({"frames", clip("h263.3gp"), dir});
    ASSERT_EQ(r.status, 0) << r.err;
    image = decodeJpeg(dir + "/frame_0.jpg");
    EXPECT_EQ(image.width, 176);
    json out = ffprobe(transcoded("h263.3gp"));
    EXPECT_EQ(out["streams"][0]["width"], 176);
    EXPECT_EQ(out["streams"][0]["height"], 144);

    json mkv = probe("aspect.mkv");  // square pixels shown 16:9 by the display size
    EXPECT_EQ(mkv["width"], 426);    // 320 x 4/3 = 426.67, truncated
    EXPECT_EQ(mkv["height"], 240);
    image = poster("aspect.mkv");
    EXPECT_EQ(image.width, 426);  // the same whole pixels
    EXPECT_EQ(image.height, 240);
    out = ffprobe(transcoded("aspect.mkv"));
    EXPECT_EQ(out["streams"][0]["width"], 426);
    EXPECT_EQ(out["streams"][0]["height"], 240);

    // 'pasp' 63:44 over the picture header's 12:11: 504x288, never 384x288.
    json wide = probe("wide.3gp");
    EXPECT_EQ(wide["width"], 504);
    EXPECT_EQ(wide["height"], 288);
    image = poster("wide.3gp");
    EXPECT_EQ(image.width, 504);
    EXPECT_EQ(image.height, 288);
    dir = testsupport::scratchDir("containers-frames-wide");
    r = reelctl({"frames", clip("wide.3gp"), dir, "--count", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    image = decodeJpeg(dir + "/frame_1.jpg");
    EXPECT_EQ(image.width, 504);
    EXPECT_EQ(image.height, 288);
    out = ffprobe(transcoded("wide.3gp"));
    EXPECT_EQ(out["streams"][0]["width"], 504);
    EXPECT_EQ(out["streams"][0]["height"], 288);
}

// Where the container says nothing, the bitstream's aspect counts, in the
// export too: an MPEG-2 720x576 at 16:15 in MXF is shown, and exported, 768x576.
TEST(Containers, BitstreamAspectCountsWhereTheContainerSaysNothing) {
    json mxf = probe("aspect.mxf");
    EXPECT_EQ(mxf["width"], 768);
    EXPECT_EQ(mxf["height"], 576);
    frames::Image image = poster("aspect.mxf");
    EXPECT_EQ(image.width, 768);
    EXPECT_EQ(image.height, 576);
    json out = ffprobe(transcoded("aspect.mxf"));
    EXPECT_EQ(out["streams"][0]["width"], 768);
    EXPECT_EQ(out["streams"][0]["height"], 576);
    EXPECT_EQ(out["streams"][0]["sample_aspect_ratio"], "1:1");
}

// An ASF with sound exports whole: every frame, the sound, the length.
TEST(Containers, AsfExportKeepsItsLengthAndSound) {
    std::string out = transcoded("msmpeg4.asf");
    auto count = run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                      "stream=codec_type,nb_read_frames,duration", "-of", "json", out});
    ASSERT_EQ(count.status, 0) << count.err;
    json streams = json::parse(count.out)["streams"];
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["nb_read_frames"], "75");
    EXPECT_NEAR(std::stod(streams[0]["duration"].get<std::string>()), 3.0, 0.05);
    EXPECT_EQ(streams[1]["codec_type"], "audio");
    EXPECT_NEAR(std::stod(streams[1]["duration"].get<std::string>()), 3.0, 0.1);
}

// The capture item (its zone honoured), then the user-data date, then the
// container's creation time; a text that is no date counts as none.
TEST(Containers, CreationDateIsTheMomentOfCapture) {
    EXPECT_EQ(probe("captured.mov")["creationDate"], "2023-05-09T11:41:46Z");
    EXPECT_EQ(probe("userdate.mp4")["creationDate"], "2021-02-03T04:05:06Z");
    EXPECT_EQ(probe("baddate.mov")["creationDate"], "2023-05-09T11:48:30Z");
    EXPECT_TRUE(probe("h264.avi")["creationDate"].is_null());
}

// Recorded WebM and Matroska without a duration in the header: the duration is
// the end of the last packet, and poster and frames work on them.
TEST(Containers, DurationMissingFromTheHeaderIsFoundFromThePackets) {
    for (std::string name : {"live.webm", "live.mkv"}) {
        SCOPED_TRACE(name);
        json header = ffprobe(clip(name));
        EXPECT_FALSE(header["format"].contains("duration"));  // the fixture is what it claims
        EXPECT_NEAR(probe(name)["duration"].get<double>(), 3.12, 0.05);
        EXPECT_GT(poster(name).width, 0);
        std::string dir = testsupport::scratchDir("containers-live");
        auto r = reelctl({"frames", clip(name), dir, "--count", "4"});
        ASSERT_EQ(r.status, 0) << r.err;
        json manifest = json::parse(r.out);
        EXPECT_EQ(manifest["count"], 4);
        EXPECT_NEAR(manifest["frames"][3]["time"].get<double>(), 3.06, 0.05);
    }
}

// Sound in a transport stream (no track flagged default) reaches the export;
// of two tracks the default-flagged one is kept.
TEST(Containers, TranscodeKeepsTheDefaultElseTheFirstAudioTrack) {
    json ts = ffprobe(transcoded("h264_aac.ts"));
    ASSERT_EQ(ts["streams"].size(), 2u);
    EXPECT_EQ(ts["streams"][1]["codec_type"], "audio");
    EXPECT_NEAR(std::stod(ts["streams"][1]["duration"].get<std::string>()), 2.5, 0.1);

    std::string out = transcoded("default2.mkv");
    auto pcm = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "info", "-i", out, "-map", "0:a", "-af",
                    "astats", "-f", "null", "-"});
    ASSERT_EQ(pcm.status, 0) << pcm.err;
    // 1 kHz at 48 kHz crosses zero about 2000 times a second (rate 0.042); 440 Hz 0.018.
    std::string all = pcm.out + pcm.err;
    size_t pos = all.rfind("Zero crossings rate:");
    ASSERT_NE(pos, std::string::npos) << all;
    double rate = std::stod(all.substr(pos + 21));
    EXPECT_GT(rate, 0.03) << "the 440 Hz track was kept instead of the default one";
}

// A transport stream whose sound starts 0.74 s before its picture: time 0 is
// the container's start (the sound's), as on a player's timeline, so one
// second in is frame 6 of the picture, and time 0 shows its first frame.
TEST(Containers, TransportStreamTimesCountFromTheContainersStart) {
    auto ref = [](double seconds) {
        std::string out = testsupport::scratchDir("containers-ref") + "/ref.ppm";
        auto f =
            run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip("early_audio.ts"),
                 "-map", "0:v", "-vf",
                 "select=eq(n\\," + std::to_string(int(seconds * 25)) +
                     "),scale=in_color_matrix=bt601:flags=lanczos+accurate_rnd+full_chroma_int,"
                     "format=rgb24",
                 "-frames:v", "1", "-f", "image2", "-c:v", "ppm", out});
        EXPECT_EQ(f.status, 0) << f.err;
        return readPpm(out);
    };
    // The poster matches frame 6 of the picture better than its neighbours
    // and than frame 25, which a count from the picture's start would give.
    double lead = pictureStart(clip("early_audio.ts"));
    ASSERT_NEAR(lead, 0.74, 0.01);  // the fixture is what it claims
    frames::Image p = poster("early_audio.ts");
    double at6 = psnr(p, ref(1.0 - lead));
    for (double other : {0.2, 0.28, 1.0})
        EXPECT_GT(at6, psnr(p, ref(other)) + 1.0) << other;
    std::string dir = testsupport::scratchDir("containers-early");
    auto r = reelctl({"frames", clip("early_audio.ts"), dir, "--count", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["count"], 5);
    frames::Image first = decodeJpeg(dir + "/frame_0.jpg");
    EXPECT_GT(psnr(first, ref(0)), psnr(first, ref(0.04)) + 1.0);
}

// An edit list is applied once: probe's duration, the frame shown at a time
// and the export all follow what it presents (ffmpeg as the oracle).
TEST(Containers, EditListIsAppliedOnceEverywhere) {
    json header = ffprobe(clip("edit.mp4"));
    EXPECT_EQ(header["streams"][0]["nb_frames"], "100");  // every sample is still there
    EXPECT_DOUBLE_EQ(probe("edit.mp4")["duration"].get<double>(),
                     std::stod(header["format"]["duration"].get<std::string>()));
    // What the edit presents, 2.7 s: neither the 100 samples' 4 s (edit
    // ignored) nor 1.4 s (the cut taken off twice).
    EXPECT_NEAR(probe("edit.mp4")["duration"].get<double>(), 2.7, 0.03);
    std::vector<Written> written;
    ASSERT_NO_FATAL_FAILURE(fiveFrames("edit.mp4", "containers-edit", written));
    for (const auto& [t, image] : written)
        EXPECT_EQ(counterFrame(image), 33 + expectedCounterFrame(t, 67)) << "t " << t;
    std::string out = transcoded("edit.mp4");
    auto count = run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                      "stream=nb_read_frames,duration", "-of", "json", out});
    ASSERT_EQ(count.status, 0) << count.err;
    json counted = json::parse(count.out)["streams"][0];
    EXPECT_EQ(counted["nb_read_frames"], "67");
    EXPECT_NEAR(std::stod(counted["duration"].get<std::string>()), 2.68, 0.02);
}

// The init segment of a fragmented MP4 has a track but no frame: the poster
// fails with its status and says so.
TEST(Containers, InitSegmentHasNoFrameToShow) {
    std::string out = testsupport::scratchDir("containers-init") + "/poster.jpg";
    auto r = reelctl({"poster", clip("init.mp4"), out});
    EXPECT_EQ(r.status, 74);
    EXPECT_EQ(r.err, "poster extraction failed: the video track has no frames\n");
    EXPECT_FALSE(testsupport::exists(out));
    json doc = probe("init.mp4");
    EXPECT_EQ(doc["fps"], 0);  // no frame, no rate
    EXPECT_EQ(doc["duration"], 0);
}

// A transport stream segment that starts with pictures whose references are
// gone: the decoder fills them in grey. Time 0 shows the first whole picture
// (the first keyframe, as ffmpeg decodes it), never the grey one.
TEST(Containers, SegmentStartingWithoutReferencesShowsNoGreyPicture) {
    std::string dir = testsupport::scratchDir("containers-cut");
    auto r = reelctl({"frames", clip("hevc_cut.ts"), dir, "--count", "4"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(json::parse(r.out)["count"], 4);
    std::string ref = testsupport::scratchDir("containers-cut-ref") + "/key.ppm";
    auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "quiet", "-y", "-skip_frame", "nokey", "-i",
                  clip("hevc_cut.ts"), "-frames:v", "1", "-vf",
                  "scale=in_color_matrix=bt601:flags=lanczos+accurate_rnd+full_chroma_int,"
                  "format=rgb24",
                  "-f", "image2", "-c:v", "ppm", ref});
    ASSERT_EQ(f.status, 0) << f.err;
    frames::Image first = decodeJpeg(dir + "/frame_0.jpg");
    EXPECT_GT(psnr(first, readPpm(ref)), 30.0);
    double mean = meanLevel(first), spread = 0;
    for (uint8_t v : first.rgb)
        spread += (v - mean) * (v - mean);
    EXPECT_GT(std::sqrt(spread / double(first.rgb.size())), 20.0);  // not flat grey
}

// H.264 in MPEG-TS without access-unit delimiters: pictures are still told
// apart, so five frames and a poster come out, each the picture ffmpeg shows.
TEST(Containers, TransportStreamWithoutAccessUnitDelimiters) {
    auto ref = [](double seconds) {
        std::string out = testsupport::scratchDir("containers-noaud-ref") + "/ref.ppm";
        auto f =
            run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip("noaud.ts"), "-map",
                 "0:v", "-vf",
                 "select=eq(n\\," + std::to_string(int(seconds * 25 + 1e-6)) +
                     "),scale=in_color_matrix=bt601:flags=lanczos+accurate_rnd+full_chroma_int,"
                     "format=rgb24",
                 "-frames:v", "1", "-f", "image2", "-c:v", "ppm", out});
        EXPECT_EQ(f.status, 0) << f.err;
        return readPpm(out);
    };
    std::vector<Written> written;
    ASSERT_NO_FATAL_FAILURE(fiveFrames("noaud.ts", "containers-noaud", written));
    // Times count from the container's start: the sound's, 21 ms before the picture.
    double lead = pictureStart(clip("noaud.ts"));
    for (const auto& [t, image] : written)
        EXPECT_GT(psnr(image, ref(std::max(t - lead, 0.0))), 30.0) << "t " << t;
    EXPECT_GT(psnr(poster("noaud.ts"), ref(1.0 - lead)), 30.0);
}
