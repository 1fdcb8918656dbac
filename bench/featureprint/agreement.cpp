// How far a print's own shrink-on-load moves the print: for each image, the
// cosine between pixsig's print and the print made from libvips's whole
// thumbnail (its own shrink-on-load, as prints were made before), and the
// DCT scale each decodes a JPEG at. One JSON line per image, then the lowest.
//
//   featureprint_agreement <network file> <image>...

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>
#include <vips/vips8>

#include "imaging/dcscans.h"
#include "imaging/imaging.h"
#include "vision/vision.h"

using vips::VImage;

namespace {

std::vector<float> wholeThumbnailInput(const char* path) {
    VImage image = VImage::thumbnail(path, 224,
                                     VImage::option()
                                         ->set("height", 224)
                                         ->set("size", VIPS_SIZE_FORCE)
                                         ->set("fail_on", VIPS_FAIL_ON_ERROR));
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.has_alpha())
        image = image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}));
    image = image.cast(VIPS_FORMAT_UCHAR);
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

// libvips 8.14's thumbnail: 1/8 from a shrink of 16, 1/4 from 8, 1/2 from 4.
int libvipsScale(long long width, long long height) {
    double shrink = double(std::min(width, height)) / 224;
    return shrink >= 16 ? 8 : shrink >= 8 ? 4 : shrink >= 4 ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: featureprint_agreement <network file> <image>...\n");
        return 2;
    }
    imaging::startImaging();
    vision::FeaturePrintRequest request(argv[1]);
    double lowest = 1;
    for (int i = 2; i < argc; i++) {
        auto input = imaging::networkInput(argv[i], 224);
        if (!input.ok()) {
            std::fprintf(stderr, "%s: %s\n", argv[i], input.error().c_str());
            return 1;
        }
        auto ours = request.perform(input.value());
        auto before = request.perform(wholeThumbnailInput(argv[i]));
        if (!ours.ok() || !before.ok()) {
            std::fprintf(stderr, "%s: no print\n", argv[i]);
            return 1;
        }
        double dot = 0;  // both are of unit length
        for (size_t k = 0; k < ours.value().size(); k++)
            dot += double(ours.value()[k]) * before.value()[k];
        lowest = std::min(lowest, dot);
        VImage header = VImage::new_from_file(argv[i]);
        bool jpeg = std::string(header.get_string("vips-loader")).rfind("jpegload", 0) == 0;
        std::printf("{\"image\":\"%s\",\"size\":[%d,%d],\"scale\":%d,\"libvips_scale\":%d,"
                    "\"cosine\":%.9f}\n",
                    argv[i], header.width(), header.height(),
                    jpeg ? imaging::jpegScale(header.width(), header.height(), 224) : 1,
                    jpeg ? libvipsScale(header.width(), header.height()) : 1, dot);
    }
    std::printf("{\"images\":%d,\"lowest_cosine\":%.9f}\n", argc - 2, lowest);
    return 0;
}
