// Large JPEGs of every kind are shrunk while decoded for a print, and the
// print stays that of libvips's whole thumbnail (its own shrink-on-load) to
// cosine 0.9999: a finer DCT scale than the one it picks (the smallest
// picture that covers 224x224) moves prints by more than that
// (bench/featureprint/agreement.cpp). A damaged file still fails.

#include <cmath>
#include <string>
#include <vector>
#include <vips/vips8>

#include "gtest/gtest.h"
#include "imaging/imaging.h"
#include "proc.h"
#include "vips/input.h"
#include "vision/vision.h"

using vips::VImage;

namespace {

std::string fixture(const std::string& name) {
    return testsupport::fixture("pixsig/shrinkonload/" + name);
}

// The network input as prints were made before: libvips's thumbnail of the
// whole file (its own shrink-on-load), then 8-bit sRGB in three bands.
std::vector<float> wholeThumbnailInput(const std::string& path) {
    VImage image = VImage::thumbnail(path.c_str(), 224,
                                     VImage::option()
                                         ->set("height", 224)
                                         ->set("size", VIPS_SIZE_FORCE)
                                         ->set("fail_on", VIPS_FAIL_ON_ERROR));
    image = image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
    if (image.bands() < 3) image = image[0].bandjoin({image[0], image[0]});
    if (image.bands() > 3) image = image.extract_band(0, VImage::option()->set("n", 3));
    size_t length = 0;
    auto* bytes = static_cast<unsigned char*>(image.write_to_memory(&length));
    std::vector<float> values(bytes, bytes + length);
    g_free(bytes);
    for (float& v : values)
        v /= 255.0f;
    return values;
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double dot = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        dot += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
    return dot / std::sqrt(aa * bb);
}

}  // namespace

// Baseline, progressive, EXIF-rotated, CMYK, greyscale, with an ICC
// profile, and middle sizes: the print against the one made from libvips's
// whole thumbnail.
TEST(ShrinkOnLoad, PrintsStayThoseOfTheWholeThumbnail) {
    (void)vips::start();
    vision::FeaturePrintRequest request(testsupport::bin("../share/pixsig/mobilenet_v2_mid.pxnet"));
    for (const std::string name : {"baseline.jpg", "progressive.jpg", "tagged.jpg", "cmyk.jpg",
                                   "grey.jpg", "profile.jpg", "mid.jpg", "small.jpg"}) {
        auto input = imaging::networkInput(fixture(name), 224);
        ASSERT_TRUE(input.ok()) << name << ": " << input.error();
        auto print = request.perform(input.value());
        auto before = request.perform(wholeThumbnailInput(fixture(name)));
        ASSERT_TRUE(print.ok() && before.ok()) << name;
        EXPECT_GE(cosine(print.value(), before.value()), 0.9999) << name;
    }
}

// The same picture saved baseline and progressive holds the same
// coefficients, so gives the same pixels; the rotated copy is upright.
TEST(ShrinkOnLoad, ProgressiveAndRotatedCopiesGiveTheBaselinePixels) {
    (void)vips::start();
    auto baseline = imaging::networkPixels(fixture("baseline.jpg"), 224);
    auto progressive = imaging::networkPixels(fixture("progressive.jpg"), 224);
    auto tagged = imaging::networkPixels(fixture("tagged.jpg"), 224);
    ASSERT_TRUE(baseline.ok() && progressive.ok() && tagged.ok());
    EXPECT_TRUE(progressive.value() == baseline.value());
    double sum = 0;
    for (size_t i = 0; i < baseline.value().size(); i++)
        sum += std::abs(int(tagged.value()[i]) - int(baseline.value()[i]));
    EXPECT_LT(sum / double(baseline.value().size()), 4.0) << "the rotated copy is not upright";
}

// A file cut short at any scale is an error, not a picture padded with grey.
TEST(ShrinkOnLoad, TruncatedFilesStillFail) {
    (void)vips::start();
    for (const std::string name : {"baseline.jpg", "progressive.jpg", "mid.jpg", "small.jpg"}) {
        std::string bytes = testsupport::readFile(fixture(name));
        std::string cut = testing::TempDir() + "/cut-" + name;
        testsupport::writeFile(cut, bytes.substr(0, bytes.size() * 2 / 3));
        auto pixels = imaging::networkPixels(cut, 224);
        EXPECT_FALSE(pixels.ok()) << name << ": a truncated file made a picture";
    }
}
