// Camera RAWs through pixsig's thumbnails and prints: DNGs written at test
// time (raw_fixtures.sh), each against its own answer: LibRaw's dcraw_emu
// development, the preview the file carries or the camera JPEG twin; hostile
// files refused.

#include <fcntl.h>
#include <glib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>
#include <vips/vips8>

#include "gtest/gtest.h"
#include "proc.h"
#include "sanitizer.h"
#include "vips/input.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::fixture;
using testsupport::run;
using testsupport::scratchDir;

namespace {

std::string fx(const std::string& name) {
    return fixture("pixsig/raw/" + name);
}

std::vector<json> serve(const std::vector<json>& requests) {
    std::string input;
    for (const auto& r : requests)
        input += r.dump() + "\n";
    auto r = run({bin("pixsig"), "--serve"}, input);
    std::vector<json> out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        out.push_back(json::parse(line));
    EXPECT_EQ(out.size(), requests.size()) << r.err;
    return out;
}

// libvips' thumbnail of an answer file as stored, turned by `orientation`.
vips::VImage oracle(const std::string& path, int size, int orientation) {
    EXPECT_TRUE(vips::start().ok());
    vips::VImage image =
        vips::VImage::new_from_file(path.c_str())
            .thumbnail_image(
                size, vips::VImage::option()->set("size", VIPS_SIZE_DOWN)->set("no_rotate", true));
    image = image.copy();
    image.set(VIPS_META_ORIENTATION, orientation);
    return image.autorot();
}

double psnr(const vips::VImage& a, const vips::VImage& b) {
    if (a.width() != b.width() || a.height() != b.height()) return -1;
    vips::VImage d =
        a.cast(VIPS_FORMAT_DOUBLE) -
        b.extract_band(0, vips::VImage::option()->set("n", 3)).cast(VIPS_FORMAT_DOUBLE);
    double mse = (d * d).avg();
    return mse <= 1e-12 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<float> printOf(const json& response) {
    gsize length = 0;
    guchar* bytes = g_base64_decode(response.value("b64", "").c_str(), &length);
    std::vector<float> v(length / 4);
    std::memcpy(v.data(), bytes, v.size() * 4);
    g_free(bytes);
    return v;
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double dot = 0;
    for (size_t i = 0; i < a.size() && a.size() == b.size(); i++)
        dot += double(a[i]) * b[i];
    return dot;
}

}  // namespace

// Every RAW kind and path, and the hostile files, in one table: the answer's
// size, orientation tag and pixels against the oracle of the path it must
// take (the preview's, the development's), or its error.
TEST(RawFiles, ThumbnailsTakeTheRightPath) {
    struct Case {
        std::string file;
        int size;
        bool transform;
        std::string want;    // "WxH", or the error
        int tag;             // orientation written into the JPEG (0: none)
        std::string answer;  // the oracle of the path it must take
        std::string other;   // that of the path it must not take
        int turn;            // the RAW's orientation, applied with transform
    };
    const std::vector<Case> cases = {
        // developed at full size: 12-bit packed CFA (libvips: "samples_per_pixel ...")
        {fx("cfa12.dng"), 512, false, "512x341", 6, fx("dev-cfa12.png"), "", 6},
        // developed at half size, turned
        {fx("cfa12.dng"), 128, true, "85x128", 0, fx("dev-cfa12-half.png"), "", 6},
        // the 300x200 preview covers 256, not 512 (libvips read the preview)
        {fx("preview.dng"), 256, false, "256x171", 8, fx("preview.jpg"), fx("dev-preview.png"), 8},
        {fx("preview.dng"), 512, true, "341x512", 0, fx("dev-preview.png"), fx("preview.jpg"), 8},
        {fx("photo.dng"), 512, false, "512x341", 6, fx("stored.jpg"), "", 6},
        {fx("bare.dng"), 300, true, "200x300", 0, fx("dev-bare-half.png"), "", 6},
        // not RAWs: a PNG by another name renders as a PNG
        {fx("renamed.nef"), 512, false, "512x341", 0, fx("renamed.nef"), "", 1},
        {fx("truncated.dng"), 512, false, "can't decode " + fx("truncated.dng"), 0, "", "", 1},
        {fx("absurd.dng"), 512, false, "can't decode " + fx("absurd.dng"), 0, "", "", 1},
        {fx("toolarge.dng"), 512, false, "can't decode " + fx("toolarge.dng"), 0, "", "", 1},
        {fx("text.cr2"), 512, false, "can't read " + fx("text.cr2"), 0, "", "", 1},
        {fx("tiffjunk.tif"), 512, false, "can't read " + fx("tiffjunk.tif"), 0, "", "", 1},
    };
    ASSERT_TRUE(vips::start().ok());
    std::string dir = scratchDir("raw-thumbs");
    std::vector<json> requests;
    for (size_t i = 0; i < cases.size(); i++)
        requests.push_back({{"op", "thumb"},
                            {"path", cases[i].file},
                            {"out", dir + "/" + std::to_string(i) + ".jpg"},
                            {"size", cases[i].size},
                            {"transform", cases[i].transform},
                            {"quality", 0.95}});
    auto out = serve(requests);
    ASSERT_EQ(out.size(), cases.size());
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        std::string what = c.file + " at " + std::to_string(c.size);
        if (c.answer.empty()) {
            EXPECT_EQ(out[i].value("error", ""), c.want) << what;
            EXPECT_FALSE(out[i].contains("declined")) << what;
            continue;
        }
        ASSERT_EQ(out[i]["ok"], true) << what << ": " << out[i];
        EXPECT_EQ(out[i]["width"].dump() + "x" + out[i]["height"].dump(), c.want) << what;
        vips::VImage got =
            vips::VImage::new_from_file((dir + "/" + std::to_string(i) + ".jpg").c_str());
        int tag = vips_image_get_typeof(got.get_image(), VIPS_META_ORIENTATION)
                      ? vips_image_get_orientation(got.get_image())
                      : 0;
        EXPECT_EQ(tag, c.tag) << what;
        int turn = c.transform ? c.turn : 1;
        EXPECT_GE(psnr(got, oracle(c.answer, c.size, turn)), 30) << what;
        if (!c.other.empty()) {
            EXPECT_LT(psnr(got, oracle(c.other, c.size, turn)), 25) << what << ": the other path";
        }
    }
}

// Prints: a RAW with a full-size preview prints as its camera JPEG twin; a
// developed one as LibRaw's development of it, turned upright; hostile files
// fail with the reason.
TEST(RawFiles, PrintsMatchTheirOracles) {
    ASSERT_TRUE(vips::start().ok());
    std::string dir = scratchDir("raw-prints");
    struct Case {
        std::string file, oracle;  // a picture file, or the error the print answers
        double atLeast;            // cosine to the oracle's print
    };
    const std::vector<Case> cases = {
        {fx("photo.dng"), fx("twin.jpg"), 0.9999},
        {fx("bare.dng"), fx("twin.jpg"), 0.90},  // a library still pairs them
        {fx("bare.dng"), fx("up-bare.png"), 0.99},
        {fx("cfa12.dng"), fx("up-cfa12.png"), 0.99},
        {fx("preview.dng"), fx("up-preview.png"), 0.99},  // 300x200 does not cover 224x224
        {fx("truncated.dng"),
         fx("truncated.dng") + ": unpacking the sensor data: Input/output error", 0},
        {fx("absurd.dng"),
         fx("absurd.dng") + ": 480426 bytes cannot hold the data of a 60000 x 60000 camera RAW", 0},
        {fx("toolarge.dng"), fx("toolarge.dng") + ": image too large (20000 x 15000 photosites)",
         0},
        {fx("text.cr2"), fx("text.cr2") + ": not a known file format", 0},
    };
    std::vector<json> requests;
    for (const Case& c : cases) {
        requests.push_back({{"path", c.file}});
        requests.push_back({{"path", c.oracle}});
    }
    auto out = serve(requests);
    ASSERT_EQ(out.size(), 2 * cases.size());
    for (size_t i = 0; i < cases.size(); i++) {
        const json& mine = out[2 * i];
        if (cases[i].atLeast == 0) {
            EXPECT_EQ(mine.value("error", ""), cases[i].oracle);
            continue;
        }
        ASSERT_EQ(mine["ok"], true) << mine;
        ASSERT_EQ(out[2 * i + 1]["ok"], true) << out[2 * i + 1];
        double c = cosine(printOf(mine), printOf(out[2 * i + 1]));
        EXPECT_GE(c, cases[i].atLeast) << cases[i].file << " against " << cases[i].oracle;
        std::printf("print cosine %s / %s: %.6f\n", cases[i].file.c_str(), cases[i].oracle.c_str(),
                    c);
    }
}

// A 60-megapixel RAW with no preview develops at half size within the
// bound (one request a process, peak resident memory).
TEST(RawFiles, SixtyMegapixelsDevelopWithinTheBound) {
    // The development's 320 MiB and the process's own; the address
    // sanitizer's shadow and redzones on top.
#if defined(TESTS_UNDER_ASAN)
    const long boundKiB = 480L << 10;
#else
    const long boundKiB = 360L << 10;
#endif
    std::string dir = scratchDir("raw-huge");
    std::string request =
        json{{"op", "thumb"}, {"path", fx("huge.dng")}, {"out", dir + "/t.jpg"}}.dump();
    for (const std::string& command :
         {"printf '%s\\n' '" + request + "' | " + bin("pixsig") + " --serve",
          bin("pixsig") + " '" + fx("huge.dng") + "'"}) {
        pid_t pid = fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl("/bin/sh", "sh", "-c", (command + " | grep -q '\"ok\":true'").c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        EXPECT_LT(usage.ru_maxrss, boundKiB) << command;
    }
}
