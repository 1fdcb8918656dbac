// HDR and wide-gamut video brought to SDR BT.709: posters, frames and
// transcodes of HLG, PQ and BT.2020 clips made from one SDR source must look
// like that source; bright PQ highlights keep their hue; SDR BT.709 material
// goes the way it always went.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "frames/frames.h"
#include "image_check.h"
#include "media/asset.h"
#include "proc.h"
#include "run_reelctl.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dovi_meta.h>
}

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
using namespace imagecheck;

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/colour/" + name);
}

frames::Image poster(const std::string& name) {
    std::string out = testsupport::scratchDir("colour-poster") + "/poster.jpg";
    auto r = reelctl({"poster", clip(name), out});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    return decodeJpeg(out);
}

std::vector<frames::Image> framesOf(const std::string& name) {
    std::string dir = testsupport::scratchDir("colour-frames");
    auto r = reelctl({"frames", clip(name), dir, "--count", "4"});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    std::vector<frames::Image> images;
    json manifest = json::parse(r.out, nullptr, false);
    for (const auto& entry : manifest["frames"])
        images.push_back(decodeJpeg(dir + "/" + entry["filename"].get<std::string>()));
    EXPECT_EQ(images.size(), 4u) << name;
    return images;
}

// The frame ffmpeg decodes at a time, as 8-bit RGB with its plain BT.709
// conversion (what an SDR BT.709 file's pixels are).
frames::Image ffmpegFrame(const std::string& path, double seconds) {
    std::string out = testsupport::scratchDir("colour-ref") + "/ref.ppm";
    auto f = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-ss",
                  std::to_string(seconds), "-frames:v", "1", "-vf",
                  "scale=in_color_matrix=bt709:flags=lanczos+accurate_rnd+full_chroma_int,"
                  "format=rgb24",
                  "-f", "image2", "-c:v", "ppm", out});
    EXPECT_EQ(f.status, 0) << f.err;
    return readPpm(out);
}

// Mean colour of a box given in fractions of the picture.
std::array<double, 3> meanColour(const frames::Image& image, double x0, double y0, double x1,
                                 double y1) {
    std::array<double, 3> sum{};
    int n = 0;
    for (int y = int(y0 * image.height); y < int(y1 * image.height); ++y)
        for (int x = int(x0 * image.width); x < int(x1 * image.width); ++x, ++n)
            for (int c = 0; c < 3; ++c)
                sum[c] += image.rgb[(size_t(y) * image.width + x) * 3 + c];
    for (double& v : sum)
        v /= std::max(n, 1);
    return sum;
}

// Hue angle in degrees (HSV), 0 for red, 60 for yellow.
double hueOf(const std::array<double, 3>& c) {
    double r = c[0], g = c[1], b = c[2];
    double hi = std::max({r, g, b}), lo = std::min({r, g, b});
    if (hi - lo < 1e-9) return 0;
    double h = hi == r   ? 60 * (g - b) / (hi - lo)
               : hi == g ? 120 + 60 * (b - r) / (hi - lo)
                         : 240 + 60 * (r - g) / (hi - lo);
    return h < 0 ? h + 360 : h;
}

std::map<std::string, std::string> streamTags(const std::string& path) {
    auto p = run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                  "stream=color_primaries,color_transfer,color_space,color_range,pix_fmt", "-of",
                  "json", path});
    EXPECT_EQ(p.status, 0) << p.err;
    std::map<std::string, std::string> tags;
    json document = json::parse(p.out);
    for (auto& [key, value] : document["streams"][0].items())
        tags[key] = value.get<std::string>();
    return tags;
}

bool libraryMapped(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos) return true;
    return false;
}

const char* const kManaged[] = {"hlg", "pq", "bt2020"};

// The HLG clip's video remuxed with a Dolby Vision configuration record of
// the given profile and base-layer compatibility (no CLI option writes one).
std::string withDolbyVision(int profile, int compatibility) {
    std::string path = testsupport::scratchDir("colour-dovi") + "/dovi.mp4";
    AVFormatContext* in = nullptr;
    AVFormatContext* out = nullptr;
    EXPECT_GE(avformat_open_input(&in, clip("hlg.mp4").c_str(), nullptr, nullptr), 0);
    EXPECT_GE(avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()), 0);
    if (!in || !out) return path;
    AVStream* st = avformat_new_stream(out, nullptr);
    avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
    st->time_base = in->streams[0]->time_base;
    size_t size = 0;
    AVDOVIDecoderConfigurationRecord* dovi = av_dovi_alloc(&size);
    dovi->dv_version_major = 1;
    dovi->dv_profile = uint8_t(profile);
    dovi->dv_level = 4;
    dovi->rpu_present_flag = dovi->bl_present_flag = 1;
    dovi->dv_bl_signal_compatibility_id = uint8_t(compatibility);
    av_stream_add_side_data(st, AV_PKT_DATA_DOVI_CONF, reinterpret_cast<uint8_t*>(dovi), size);
    out->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    EXPECT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(avformat_write_header(out, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == 0) {
            av_packet_rescale_ts(pkt, in->streams[0]->time_base, st->time_base);
            av_interleaved_write_frame(out, pkt);
        }
        av_packet_unref(pkt);
    }
    av_write_trailer(out);
    av_packet_free(&pkt);
    avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    return path;
}

}  // namespace

// The round trip SDR -> HLG / PQ / BT.2020 -> SDR is exact to within the
// 10-bit coding: at least 35 dB against the SDR source's own poster and
// frames, upright or turned by the display matrix.
TEST(ColourManagement, PostersAndFramesOfHdrAndWideGamutLookLikeTheSdrSource) {
    for (std::string suffix : {"", "_rot"}) {
        frames::Image sdrPoster = poster("sdr" + suffix + ".mp4");
        std::vector<frames::Image> sdrFrames = framesOf("sdr" + suffix + ".mp4");
        ASSERT_EQ(sdrPoster.width, suffix.empty() ? 640 : 360);
        for (std::string name : kManaged) {
            SCOPED_TRACE(name + suffix);
            frames::Image p = poster(name + suffix + ".mp4");
            EXPECT_GE(psnr(p, sdrPoster), 35.0);
            std::vector<frames::Image> f = framesOf(name + suffix + ".mp4");
            for (size_t i = 0; i < std::min(f.size(), sdrFrames.size()); ++i)
                EXPECT_GE(psnr(f[i], sdrFrames[i]), 35.0) << "frame " << i;
        }
    }
}

// What a player without colour management shows (BT.2020 code values taken
// as BT.709) is far off; the conversion is what brings it back.
TEST(ColourManagement, UnmanagedPictureIsFarFromTheSource) {
    frames::Image sdr = ffmpegFrame(clip("sdr.mp4"), 0.6);
    frames::Image hlgAsIs = ffmpegFrame(clip("hlg.mp4"), 0.6);
    EXPECT_LT(psnr(hlgAsIs, sdr), 25.0);
    EXPECT_GE(psnr(poster("hlg.mp4"), sdr), 35.0);
}

// Orange patches at 5x and 10x reference white: tone-mapped below white with
// their hue (per-channel clipping would turn them yellow), the brighter one
// still the brighter; the rest of the picture stays near the source.
TEST(ColourManagement, BrightPqHighlightsKeepTheirHueBelowClipping) {
    frames::Image image = poster("pq_bright.mp4");
    ASSERT_EQ(image.width, 640);
    // Patches at (40, 40) and (440, 230), 160x90; boxes well inside them.
    auto five = meanColour(image, 60.0 / 640, 55.0 / 360, 180.0 / 640, 115.0 / 360);
    auto ten = meanColour(image, 460.0 / 640, 245.0 / 360, 580.0 / 640, 305.0 / 360);
    double sourceHue = hueOf({255, 128, 0});
    EXPECT_NEAR(hueOf(five), sourceHue, 10.0);
    EXPECT_NEAR(hueOf(ten), sourceHue, 10.0);
    EXPECT_LT(five[0], 254.5);  // below clipping
    EXPECT_GT(five[0], 200.0);  // and still bright
    EXPECT_GE(ten[0] + ten[1] + ten[2], five[0] + five[1] + five[2]);
    EXPECT_LT(five[2], 40.0);  // saturated, not washed out to white
}

// An HDR export is SDR BT.709, limited range, 8-bit, and looks like the
// source; 10-bit SDR BT.709 becomes 8-bit and stays BT.709.
TEST(ColourManagement, TranscodeOfHdrIsTaggedSdrBt709AndLooksLikeTheSource) {
    frames::Image sdr = ffmpegFrame(clip("sdr.mp4"), 0.6);
    for (std::string name : {"hlg.mp4", "pq.mp4", "sdr10.mp4"}) {
        SCOPED_TRACE(name);
        std::string out = testsupport::scratchDir("colour-transcode") + "/out.mp4";
        auto r = reelctl({"transcode", clip(name), out});
        ASSERT_EQ(r.status, 0) << r.err;
        auto tags = streamTags(out);
        EXPECT_EQ(tags["color_primaries"], "bt709");
        EXPECT_EQ(tags["color_transfer"], "bt709");
        EXPECT_EQ(tags["color_space"], "bt709");
        EXPECT_EQ(tags["color_range"], "tv");
        EXPECT_EQ(tags["pix_fmt"], "yuv420p");
        EXPECT_GE(psnr(ffmpegFrame(out, 0.6), sdr), 33.0);
    }
}

// The common case: an SDR BT.709 clip is converted by the scaler alone,
// exactly as ffmpeg's scale filter does with the same settings, and neither
// it nor HDR without highlights loads the filter library.
TEST(ColourManagement, SdrBt709TakesTheScalerPathPixelForPixel) {
    ASSERT_FALSE(libraryMapped("libavfilter.so"));
    media::Asset asset(clip("sdr.mp4"));
    frames::Generator generator(asset, 0);
    auto image = generator.copyFrame(0.6);
    ASSERT_TRUE(image.ok()) << image.error();
    EXPECT_FALSE(libraryMapped("libavfilter.so"));
    frames::Image ref = ffmpegFrame(clip("sdr.mp4"), 0.6);
    ASSERT_EQ(image.value().width, ref.width);
    EXPECT_TRUE(image.value().rgb == ref.rgb) << "PSNR " << psnr(image.value(), ref);

    // HDR without highlights needs no tone curve either; highlights load it.
    media::Asset hdr(clip("hlg.mp4"));
    frames::Generator managed(hdr, 0);
    ASSERT_TRUE(managed.copyFrame(0.6).ok());
    EXPECT_FALSE(libraryMapped("libavfilter.so"));
    media::Asset bright(clip("pq_bright.mp4"));
    frames::Generator mapped(bright, 0);
    ASSERT_TRUE(mapped.copyFrame(0.6).ok());
    EXPECT_TRUE(libraryMapped("libavfilter.so"));
}

// Profile 8.4 shows its HLG base layer as any HLG clip; profile 5 has no
// backward-compatible picture and fails cleanly instead of coming out green
// and purple.
TEST(ColourManagement, DolbyVisionProfile5FailsCleanlyAndProfile84ShowsItsBaseLayer) {
    frames::Image sdr = poster("sdr.mp4");
    std::string out = testsupport::scratchDir("colour-dovi-out") + "/poster.jpg";
    auto r = reelctl({"poster", withDolbyVision(8, 4), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(psnr(decodeJpeg(out), sdr), 35.0);

    std::string five = withDolbyVision(5, 0);
    r = reelctl({"poster", five, out + ".5"});
    EXPECT_EQ(r.status, 74);
    EXPECT_EQ(r.err,
              "poster extraction failed: Dolby Vision profile 5 has no backward-compatible "
              "picture\n");
    EXPECT_FALSE(testsupport::exists(out + ".5"));
    r = reelctl({"transcode", five, out + ".mp4"});
    EXPECT_EQ(r.status, 75);
    EXPECT_EQ(r.err, "cannot create export session\n");
}
