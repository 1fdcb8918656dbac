// Thumbnail requests of pixsig's serve mode, end to end: request lines in,
// response lines and JPEG files out, the files read back with the vips and
// ImageMagick command-line tools.

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "proc.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::exists;
using testsupport::fixture;
using testsupport::readFile;
using testsupport::run;
using testsupport::scratchDir;
using testsupport::writeFile;

namespace {

std::string img(const std::string& name) {
    return fixture("pixsig/thumbnail/" + name);
}

// One serve process for all the lines; one parsed response per output line.
std::vector<json> serve(const std::vector<json>& requests, std::string* err = nullptr) {
    std::string input;
    for (const auto& r : requests)
        input += r.dump() + "\n";
    auto r = run({bin("pixsig"), "--serve"}, input);
    EXPECT_EQ(r.status, 0);
    if (err) *err = r.err;
    std::vector<json> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line))
        out.push_back(json::parse(line));
    return out;
}

json serveOne(const json& request) {
    auto out = serve({request});
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? json() : out[0];
}

json thumb(const std::string& path, const std::string& out, json extra = json::object()) {
    json r = {{"op", "thumb"}, {"path", path}, {"out", out}};
    r.update(extra);
    return r;
}

// A header field of an image file as vipsheader prints it; empty when the
// file has no such field.
std::string header(const std::string& path, const std::string& field) {
    auto r = run({"/usr/bin/vipsheader", "-f", field, path});
    if (r.status != 0) return "";
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' '))
        r.out.pop_back();
    return r.out;
}

std::vector<int> pixel(const std::string& path, int x, int y) {
    auto r = run({"/usr/bin/vips", "getpoint", path, std::to_string(x), std::to_string(y)});
    std::istringstream in(r.out);
    std::vector<int> v;
    double d;
    while (in >> d)
        v.push_back(int(d + 0.5));
    return v;
}

std::string size(const std::string& path) {
    return header(path, "width") + "x" + header(path, "height");
}

void expectSuccess(const json& r, const std::string& id, int width, int height) {
    EXPECT_EQ(r, (json{{"id", id}, {"ok", true}, {"width", width}, {"height", height}})) << r;
}

void expectFailure(const json& r, const std::string& id, const std::string& error, bool declined) {
    json want = {{"id", id}, {"ok", false}, {"error", error}};
    if (declined) want["declined"] = true;
    EXPECT_EQ(r, want) << r;
}

}  // namespace

TEST(ThumbnailProtocol, DefaultsAndKeyReading) {
    std::string dir = scratchDir("thumb-keys");
    std::string src = img("rgb.jpg"), big = img("big.jpg");
    auto out = serve({
        thumb(src, dir + "/default.jpg"),
        thumb(src, dir + "/string-size.jpg", {{"size", "256"}}),
        thumb(big, dir + "/whole.jpg", {{"size", 256.0}}),
        thumb(big, dir + "/fraction.jpg", {{"size", 256.5}}),
        thumb(src, dir + "/bool-size.jpg", {{"size", true}}),
        thumb(src, dir + "/huge-size.jpg", {{"size", 18446744073709551615ULL}}),
        thumb(src, dir + "/large-size.jpg", {{"size", 4611686018427387904LL}}),
        thumb(src, dir + "/numeric-id.jpg", {{"id", 7}}),
        thumb(src, dir + "/named.jpg", {{"id", "a/b \"c\""}, {"size", 100}}),
        {{"op", "thumb"}, {"path", src}},
        {{"op", "thumb"}, {"path", src}, {"out", 5}, {"id", "x"}},
    });
    ASSERT_EQ(out.size(), 11u);
    // Only op, path and out: size 512, the path as id, no orientation tag.
    expectSuccess(out[0], src, 512, 384);
    EXPECT_EQ(size(dir + "/default.jpg"), "512x384");
    EXPECT_EQ(header(dir + "/default.jpg", "orientation"), "");
    expectSuccess(out[1], src, 512, 384);  // "256" is not a number
    expectSuccess(out[2], big, 256, 192);  // 256.0 reads as 256
    expectSuccess(out[3], big, 512, 384);  // 256.5 counts as absent
    expectSuccess(out[4], src, 512, 384);  // a Boolean is not an integer
    expectSuccess(out[5], src, 512, 384);  // beyond 64 bits counts as absent
    expectSuccess(out[6], src, 640, 480);  // 2^62: never larger than the image
    expectSuccess(out[7], src, 512, 384);  // numeric id: the path answers
    expectSuccess(out[8], "a/b \"c\"", 100, 75);
    expectFailure(out[9], src, "thumb needs path and out", false);
    expectFailure(out[10], "x", "thumb needs path and out", false);
}

TEST(ThumbnailProtocol, ThumbWithoutPathIsABadLine) {
    std::string err;
    auto out = serve({{{"op", "thumb"}, {"out", "/tmp/x.jpg"}},
                      {{"op", "thumb"}, {"path", 3}, {"out", "/tmp/x.jpg"}}},
                     &err);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(err, "pixsig: bad request line\npixsig: bad request line\n");
}

TEST(ThumbnailRenderer, SizeIsBoundedAndNeverEnlarged) {
    std::string dir = scratchDir("thumb-size");
    auto out = serve({
        thumb(img("big.jpg"), dir + "/big.jpg"),
        thumb(img("small.jpg"), dir + "/small.jpg"),
        thumb(img("rgb.png"), dir + "/png.jpg", {{"size", 160}}),
        thumb(img("palette.png"), dir + "/palette.jpg"),
        thumb(img("rgb.jpg"), dir + "/zero.jpg", {{"size", 0}}),
    });
    ASSERT_EQ(out.size(), 5u);
    expectSuccess(out[0], img("big.jpg"), 512, 384);
    EXPECT_EQ(size(dir + "/big.jpg"), "512x384");
    expectSuccess(out[1], img("small.jpg"), 300, 200);
    EXPECT_EQ(size(dir + "/small.jpg"), "300x200");
    expectSuccess(out[2], img("rgb.png"), 160, 120);
    expectSuccess(out[3], img("palette.png"), 64, 48);
    expectFailure(out[4], img("rgb.jpg"), "can't decode " + img("rgb.jpg"), false);
    EXPECT_FALSE(exists(dir + "/zero.jpg"));
}

TEST(ThumbnailRenderer, DeclinesKindsItDoesNotRender) {
    std::string dir = scratchDir("thumb-declined");
    struct Case {
        const char* file;
        const char* error;
    } cases[] = {
        {"gray.jpg", "colour model Gray"}, {"cmyk.jpg", "colour model CMYK"},
        {"lab.tif", "colour model Lab"},   {"xyz.tif", "colour model unknown"},
        {"alpha.png", "transparency"},     {"trns.png", "transparency"},
        {"deep.png", "16 bits a channel"}, {"float.tif", "32 bits a channel"},
    };
    std::vector<json> requests;
    for (const auto& c : cases)
        requests.push_back(thumb(img(c.file), dir + "/" + c.file + ".jpg"));
    auto out = serve(requests);
    ASSERT_EQ(out.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        expectFailure(out[i], img(cases[i].file), cases[i].error, true);
        EXPECT_FALSE(exists(dir + "/" + cases[i].file + ".jpg")) << cases[i].file;
    }
}

TEST(ThumbnailRenderer, UnusableFilesFailWithoutTheDeclinedMark) {
    std::string dir = scratchDir("thumb-failed");
    std::string kept = dir + "/kept.jpg";
    writeFile(kept, "previous thumbnail");
    std::string missingDir = dir + "/no/such/dir/t.jpg";
    auto out = serve({
        thumb(dir + "/missing.jpg", dir + "/a.jpg"),
        thumb(img("folder.jpg"), dir + "/b.jpg"),
        thumb(img("text.txt"), dir + "/c.jpg"),
        thumb(img("truncated.jpg"), kept),
        thumb(img("bomb.jpg"), kept),
        thumb(img("rgb.jpg"), missingDir),
        thumb(img("rgb.jpg"), dir + "/after.jpg"),
    });
    ASSERT_EQ(out.size(), 7u);
    expectFailure(out[0], dir + "/missing.jpg", "can't open " + dir + "/missing.jpg", false);
    expectFailure(out[1], img("folder.jpg"), "can't open " + img("folder.jpg"), false);
    expectFailure(out[2], img("text.txt"), "can't read " + img("text.txt"), false);
    expectFailure(out[3], img("truncated.jpg"), "can't decode " + img("truncated.jpg"), false);
    expectFailure(out[4], img("bomb.jpg"), "can't decode " + img("bomb.jpg"), false);
    expectFailure(out[5], img("rgb.jpg"), "can't write " + missingDir, false);
    // A failure leaves the file at out as it was; serving goes on.
    EXPECT_EQ(readFile(kept), "previous thumbnail");
    expectSuccess(out[6], img("rgb.jpg"), 512, 384);
}

TEST(ThumbnailRenderer, OrientationIsTaggedOrApplied) {
    std::string dir = scratchDir("thumb-orientation");
    std::string src = img("o6.jpg");
    auto out = serve({
        thumb(src, dir + "/tagged.jpg"),
        thumb(src, dir + "/turned.jpg", {{"transform", true}}),
        thumb(src, dir + "/string.jpg", {{"transform", "true"}}),
        thumb(src, dir + "/override.jpg", {{"orientation", 3}}),
        thumb(src, dir + "/upright.jpg", {{"orientation", 1}}),
        thumb(src, dir + "/turned-3.jpg", {{"transform", true}, {"orientation", 3}}),
        thumb(src, dir + "/invalid.jpg", {{"orientation", 9}}),
    });
    ASSERT_EQ(out.size(), 7u);
    // Pixels as stored, orientation 6 in the JPEG.
    expectSuccess(out[0], src, 300, 200);
    EXPECT_EQ(size(dir + "/tagged.jpg"), "300x200");
    EXPECT_EQ(header(dir + "/tagged.jpg", "orientation"), "6");
    // Turned a quarter clockwise: the stored top-left red square is now at
    // the top right; no tag.
    expectSuccess(out[1], src, 200, 300);
    EXPECT_EQ(size(dir + "/turned.jpg"), "200x300");
    EXPECT_EQ(header(dir + "/turned.jpg", "orientation"), "");
    auto topRight = pixel(dir + "/turned.jpg", 185, 15);
    auto topLeft = pixel(dir + "/turned.jpg", 15, 15);
    ASSERT_EQ(topRight.size(), 3u);
    ASSERT_EQ(topLeft.size(), 3u);
    EXPECT_GT(topRight[0], 200);
    EXPECT_LT(topRight[2], 60);
    EXPECT_GT(topLeft[2], 200);
    // A string is not a Boolean: transform stays false.
    expectSuccess(out[2], src, 300, 200);
    EXPECT_EQ(header(dir + "/string.jpg", "orientation"), "6");
    // A given orientation replaces the file's.
    EXPECT_EQ(header(dir + "/override.jpg", "orientation"), "3");
    expectSuccess(out[4], src, 300, 200);
    EXPECT_EQ(header(dir + "/upright.jpg", "orientation"), "");
    // With transform a given orientation turns nothing: the pixels are
    // turned by the file's own 6, and no orientation is written.
    expectSuccess(out[5], src, 200, 300);
    EXPECT_EQ(header(dir + "/turned-3.jpg", "orientation"), "");
    auto turnedTopRight = pixel(dir + "/turned-3.jpg", 185, 15);
    ASSERT_EQ(turnedTopRight.size(), 3u);
    EXPECT_GT(turnedTopRight[0], 200);
    EXPECT_LT(turnedTopRight[2], 60);
    // No orientation 9 exists: the file's own is written.
    EXPECT_EQ(header(dir + "/invalid.jpg", "orientation"), "6");
}

TEST(ThumbnailRenderer, WritesNoOtherMetadata) {
    std::string dir = scratchDir("thumb-metadata");
    auto out =
        serve({thumb(img("o6.jpg"), dir + "/o6.jpg"), thumb(img("p3.jpg"), dir + "/p3.jpg")});
    ASSERT_EQ(out.size(), 2u);
    // ImageMagick lists the EXIF tags actually stored: the orientation alone.
    auto tags = run({"/usr/bin/identify", "-format", "%[EXIF:*]", dir + "/o6.jpg"});
    EXPECT_EQ(tags.out, "exif:Orientation=6\n");
    EXPECT_EQ(header(dir + "/o6.jpg", "exif-ifd0-Make"), "");
    EXPECT_EQ(header(dir + "/p3.jpg", "exif-data"), "");
    EXPECT_EQ(header(dir + "/p3.jpg", "icc-profile-data"), "");
}

TEST(ThumbnailRenderer, ConvertsAnEmbeddedProfileToSRGB) {
    std::string dir = scratchDir("thumb-icc");
    // The fixture stores sRGB (200, 100, 50) as Display P3 values.
    auto stored = pixel(img("p3.jpg"), 10, 10);
    ASSERT_EQ(stored.size(), 3u);
    ASSERT_GT(std::abs(stored[0] - 200) + std::abs(stored[2] - 50), 12);
    auto out = serveOne(thumb(img("p3.jpg"), dir + "/t.jpg"));
    expectSuccess(out, img("p3.jpg"), 64, 48);
    auto shown = pixel(dir + "/t.jpg", 10, 10);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_NEAR(shown[0], 200, 5);
    EXPECT_NEAR(shown[1], 100, 5);
    EXPECT_NEAR(shown[2], 50, 5);
}

TEST(ThumbnailRenderer, ExactSizeStretches) {
    std::string dir = scratchDir("thumb-exact");
    std::string src = img("r200x150.jpg");
    auto out = serve({
        thumb(src, dir + "/square.jpg", {{"width", 200}, {"height", 200}}),
        thumb(src, dir + "/zero.jpg", {{"width", 200}, {"height", 0}}),
        thumb(src, dir + "/width-only.jpg", {{"width", 120}}),
        thumb(src, dir + "/string-height.jpg", {{"width", 120}, {"height", "90"}}),
        thumb(src, dir + "/same.jpg", {{"width", 200}, {"height", 150}}),
        thumb(src, dir + "/odd.jpg", {{"width", 333}, {"height", 7}}),
        thumb(src, dir + "/absurd.jpg", {{"width", 100000}, {"height", 100000}}),
        thumb(img("o6.jpg"), dir + "/tagged.jpg", {{"width", 100}, {"height", 100}}),
    });
    ASSERT_EQ(out.size(), 8u);
    expectSuccess(out[0], src, 200, 200);
    EXPECT_EQ(size(dir + "/square.jpg"), "200x200");
    expectSuccess(out[1], src, 200, 150);
    EXPECT_EQ(size(dir + "/zero.jpg"), "200x150");
    expectSuccess(out[2], src, 200, 150);
    expectSuccess(out[3], src, 200, 150);
    expectSuccess(out[4], src, 200, 150);
    expectSuccess(out[5], src, 333, 7);
    EXPECT_EQ(size(dir + "/odd.jpg"), "333x7");
    expectFailure(out[6], src, "can't resize to 100000 × 100000", true);
    EXPECT_FALSE(exists(dir + "/absurd.jpg"));
    // The redraw keeps the orientation tag of an untransformed thumbnail.
    expectSuccess(out[7], img("o6.jpg"), 100, 100);
    EXPECT_EQ(header(dir + "/tagged.jpg", "orientation"), "6");
}

TEST(ThumbnailRenderer, QualityIsScaledAndClamped) {
    std::string dir = scratchDir("thumb-quality");
    std::string src = img("rgb.jpg");
    auto out = serve({
        thumb(src, dir + "/default.jpg"),
        thumb(src, dir + "/q50.jpg", {{"quality", 0.5}}),
        thumb(src, dir + "/q0.jpg", {{"quality", 0}}),
        thumb(src, dir + "/q7.jpg", {{"quality", 7}}),
        thumb(src, dir + "/q-string.jpg", {{"quality", "0.3"}}),
    });
    ASSERT_EQ(out.size(), 5u);
    auto q = [&](const std::string& name) {
        return run({"/usr/bin/identify", "-format", "%Q", dir + "/" + name}).out;
    };
    EXPECT_EQ(q("default.jpg"), "80");
    EXPECT_EQ(q("q50.jpg"), "50");
    EXPECT_EQ(q("q0.jpg"), "1");
    EXPECT_EQ(q("q7.jpg"), "100");
    EXPECT_EQ(q("q-string.jpg"), "80");
}
