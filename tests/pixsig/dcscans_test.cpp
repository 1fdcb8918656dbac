// Progressive JPEGs that libvips decodes at 1/8 for a print are decoded from
// their DC scans alone: the same pixels as the whole file, bit for bit, for
// every kind of JPEG; anything else, and any damaged file, goes the whole way.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <vips/vips8>

#include "gtest/gtest.h"
#include "imaging/dcscans.h"
#include "imaging/imaging.h"
#include "proc.h"
#include "vips/input.h"

using vips::VImage;

namespace {

std::string fixture(const std::string& name) {
    return testsupport::fixture("pixsig/dcscans/" + name);
}

std::string bytesOf(VImage image) {
    size_t length = 0;
    void* data = image.write_to_memory(&length);
    std::string bytes(static_cast<const char*>(data), length);
    g_free(data);
    return bytes;
}

// The thumbnail a print starts from, as pixsig asks libvips for it.
vips::VOption* printThumbnail() {
    return VImage::option()
        ->set("height", 224)
        ->set("size", VIPS_SIZE_FORCE)
        ->set("fail_on", VIPS_FAIL_ON_ERROR);
}

const std::vector<std::string> eligible = {"edge.jpg", "tagged.jpg", "sub420.jpg",  "sub422.jpg",
                                           "grey.jpg", "cmyk.jpg",   "restart.jpg", "profile.jpg"};

}  // namespace

// The decoder's own 1/8 picture, and libvips's thumbnail for the network
// (which picks that scale itself), are those of the whole file.
TEST(DcScans, DecodeToTheWholeFilesPixels) {
    (void)vips::start();
    for (const std::string& name : eligible) {
        std::string file = testsupport::readFile(fixture(name));
        auto scans = imaging::dcScansOnly(file);
        ASSERT_TRUE(scans) << name;
        VImage header = VImage::new_from_file(fixture(name).c_str());
        EXPECT_EQ(scans->width, header.width()) << name;
        EXPECT_EQ(scans->height, header.height()) << name;
        EXPECT_LT(scans->jpeg.size(), file.size() / 2) << name << ": AC scans left in";

        vips::VSource eighth =
            vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size());
        std::string whole =
            bytesOf(VImage::jpegload(fixture(name).c_str(), VImage::option()->set("shrink", 8)));
        std::string dc =
            bytesOf(VImage::jpegload_source(eighth, VImage::option()->set("shrink", 8)));
        EXPECT_TRUE(whole == dc) << name << ": the 1/8 pictures differ";

        vips::VSource again =
            vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size());
        std::string wholeThumb =
            bytesOf(VImage::thumbnail(fixture(name).c_str(), 224, printThumbnail()));
        std::string dcThumb = bytesOf(VImage::thumbnail_source(again, 224, printThumbnail()));
        EXPECT_TRUE(wholeThumb == dcThumb) << name << ": the thumbnails differ";
    }
}

// What a print is made from: libvips's thumbnail of the whole file (for these
// sRGB images the conversions after it change nothing), on both sides of the
// size where libvips turns to 1/8.
TEST(DcScans, NetworkPixelsAreTheThumbnailOfTheWholeFile) {
    (void)vips::start();
    EXPECT_TRUE(imaging::decodedAtEighth(3584, 3584, 224));
    EXPECT_FALSE(imaging::decodedAtEighth(4000, 3583, 224));
    for (const std::string name : {"edge.jpg", "below.jpg", "tagged.jpg", "restart.jpg"}) {
        auto pixels = imaging::networkPixels(fixture(name), 224);
        ASSERT_TRUE(pixels.ok()) << name << ": " << pixels.error();
        std::string expected =
            bytesOf(VImage::thumbnail(fixture(name).c_str(), 224, printThumbnail()));
        ASSERT_EQ(pixels.value().size(), expected.size()) << name;
        EXPECT_EQ(std::memcmp(pixels.value().data(), expected.data(), expected.size()), 0) << name;
    }
}

// The same picture saved baseline and progressive holds the same
// coefficients: the whole baseline file and the progressive one's DC scans
// give the same pixels (restart markers change nothing either).
TEST(DcScans, BaselineAndProgressiveCopiesGiveTheSamePixels) {
    (void)vips::start();
    auto baseline = imaging::networkPixels(fixture("baseline.jpg"), 224);
    ASSERT_TRUE(baseline.ok()) << baseline.error();
    for (const std::string name : {"progressive.jpg", "restart.jpg"}) {
        auto progressive = imaging::networkPixels(fixture(name), 224);
        ASSERT_TRUE(progressive.ok()) << name << ": " << progressive.error();
        EXPECT_TRUE(progressive.value() == baseline.value()) << name;
    }
}

// A baseline JPEG, another format, and progressive files whose scans are not
// all in place (cut short, a DC refinement missing or out of sequence, a
// scan header damaged) are left to the decoder, which fails on the damaged
// ones as it always has.
TEST(DcScans, EverythingElseGoesTheWholeWay) {
    (void)vips::start();
    EXPECT_FALSE(imaging::dcScansOnly(testsupport::readFile(fixture("baseline.jpg"))));
    EXPECT_FALSE(imaging::dcScansOnly("\x89PNG\r\n\x1a\n"));
    EXPECT_FALSE(imaging::dcScansOnly(""));
    std::string cut = testsupport::readFile(fixture("truncated.jpg"));
    EXPECT_FALSE(imaging::dcScansOnly(cut));
    auto pixels = imaging::networkPixels(fixture("truncated.jpg"), 224);
    EXPECT_FALSE(pixels.ok()) << "a truncated file made a print";

    std::string edge = testsupport::readFile(fixture("edge.jpg"));
    ASSERT_TRUE(imaging::dcScansOnly(edge));
    std::vector<size_t> scans;  // offsets of the scan headers
    for (size_t i = 0; i + 1 < edge.size(); i++)
        if (uint8_t(edge[i]) == 0xFF && uint8_t(edge[i + 1]) == 0xDA) scans.push_back(i);
    size_t refinement = 0;  // the DC refinement: Ss 0, Ah 1
    for (size_t at : scans) {
        size_t count = uint8_t(edge[at + 4]);
        if (edge[at + 5 + 2 * count] == 0 && (uint8_t(edge[at + 7 + 2 * count]) >> 4) == 1)
            refinement = at;
    }
    ASSERT_GT(refinement, 0u);
    size_t next = *std::upper_bound(scans.begin(), scans.end(), refinement);
    std::string missing = edge.substr(0, refinement) + edge.substr(next);
    EXPECT_FALSE(imaging::dcScansOnly(missing)) << "DC refinement missing";
    std::string skewed = edge;
    size_t count = uint8_t(edge[refinement + 4]);
    skewed[refinement + 7 + 2 * count] = char(0x21);  // Ah 2, Al 1: not what came before
    EXPECT_FALSE(imaging::dcScansOnly(skewed)) << "refinement out of sequence";
    std::string damaged = edge;
    damaged[scans[1] + 4] = char(9);  // nine components
    EXPECT_FALSE(imaging::dcScansOnly(damaged)) << "scan header damaged";
    EXPECT_FALSE(imaging::dcScansOnly(edge.substr(0, edge.size() - 2))) << "no end marker";
}

// A progressive file may leave AC coefficients out (libjpeg requires only the
// DC ones) or never refine them. The decoder then smooths the blocks, DC
// values included, so such a file must go the whole way: its print is that
// of the whole file, not of its DC scans with zero AC scans added.
TEST(DcScans, FilesWithIncompleteAcCoefficientsGoTheWholeWay) {
    (void)vips::start();
    std::string edge = testsupport::readFile(fixture("edge.jpg"));
    // The scans, as [header, next marker) pieces; the AC ones have Ss > 0.
    std::vector<std::pair<size_t, size_t>> scans;
    for (size_t i = 0; i + 1 < edge.size(); i++)
        if (uint8_t(edge[i]) == 0xFF && uint8_t(edge[i + 1]) == 0xDA) scans.push_back({i, 0});
    for (size_t k = 0; k < scans.size(); k++)
        scans[k].second = k + 1 < scans.size() ? scans[k + 1].first : edge.size() - 2;
    auto isAc = [&](size_t at) { return edge[at + 5 + 2 * size_t(uint8_t(edge[at + 4]))] != 0; };
    std::string dcOnly = edge.substr(0, scans[0].first), lastAcLeftOut;
    size_t lastAc = 0;
    for (size_t k = 0; k < scans.size(); k++)
        if (isAc(scans[k].first)) lastAc = k;
    for (size_t k = 0; k < scans.size(); k++) {
        std::string piece = edge.substr(scans[k].first, scans[k].second - scans[k].first);
        if (!isAc(scans[k].first)) dcOnly += piece;
        if (k != lastAc) lastAcLeftOut += piece;
    }
    dcOnly += "\xFF\xD9";
    lastAcLeftOut = edge.substr(0, scans[0].first) + lastAcLeftOut + "\xFF\xD9";

    std::string dir = testsupport::scratchDir("dcscans-incomplete");
    for (const auto& [name, file] : {std::pair<std::string, std::string>{"dc-only", dcOnly},
                                     {"last AC scan left out", lastAcLeftOut}}) {
        EXPECT_FALSE(imaging::dcScansOnly(file)) << name;
        std::string path = dir + "/" + std::to_string(file.size()) + ".jpg";
        testsupport::writeFile(path, file);
        auto pixels = imaging::networkPixels(path, 224);
        ASSERT_TRUE(pixels.ok()) << name << ": " << pixels.error();
        std::string expected = bytesOf(VImage::thumbnail(path.c_str(), 224, printThumbnail()));
        ASSERT_EQ(pixels.value().size(), expected.size()) << name;
        EXPECT_EQ(std::memcmp(pixels.value().data(), expected.data(), expected.size()), 0) << name;
    }
}
