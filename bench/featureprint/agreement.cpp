// What a finer JPEG scale would do to the print: for each image, the cosine
// between pixsig's print (libvips's thumbnail, which decodes a JPEG at 1/2,
// 1/4 or 1/8 only when that leaves a shrink of two or more to its resize)
// and the print of the same picture decoded at the largest DCT scale whose
// result covers `margin` x 224 on its shorter side (margin 1: the smallest
// picture that covers the square, as sharp's fastShrinkOnLoad does), then
// squashed to 224x224 by the same thumbnail. The bound a print keeps is 0.9999.
// One JSON line per JPEG (a damaged one is skipped), then the lowest cosine
// and how many fell below.
//
//   featureprint_agreement <network file> <margin> <image>...

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <vips/vips8>

#include "imaging/imaging.h"
#include "vips/input.h"
#include "vision/vision.h"

using vips::VImage;

namespace {

// libvips's thumbnail options for a print.
vips::VOption* squashed() {
    return VImage::option()
        ->set("height", 224)
        ->set("size", VIPS_SIZE_FORCE)
        ->set("fail_on", VIPS_FAIL_ON_ERROR);
}

// 8-bit sRGB in three bands, scaled to [0,1], as pixsig's preprocessing.
std::vector<float> networkValues(VImage image) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.has_alpha())
        image =
            image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}));
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

int finestScale(long long width, long long height, double margin) {
    int scale = 1;
    while (scale < 8 && double(std::min(width, height)) >= margin * 224 * 2 * scale)
        scale *= 2;
    return scale;
}

// libvips 8.14's thumbnail: 1/8 from a shrink of 16, 1/4 from 8, 1/2 from 4.
int libvipsScale(long long width, long long height) {
    double shrink = double(std::min(width, height)) / 224;
    return shrink >= 16 ? 8 : shrink >= 8 ? 4 : shrink >= 4 ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: featureprint_agreement <network file> <margin> <image>...\n");
        return 2;
    }
    (void)vips::start();
    vision::FeaturePrintRequest request(argv[1]);
    const double margin = std::atof(argv[2]);
    double lowest = 1;
    int below = 0, changed = 0, images = 0;
    for (int i = 3; i < argc; i++) {
        VImage header = VImage::new_from_file(argv[i]);
        if (std::string(header.get_string("vips-loader")).rfind("jpegload", 0) != 0) continue;
        auto input = imaging::networkInput(argv[i], 224);
        if (!input.ok()) {  // a damaged file makes no print
            std::fprintf(stderr, "%s: %s\n", argv[i], input.error().c_str());
            continue;
        }
        const int scale = finestScale(header.width(), header.height(), margin);
        VImage finer = VImage::jpegload(
            argv[i], VImage::option()->set("shrink", scale)->set("fail_on", VIPS_FAIL_ON_ERROR));
        auto ours = request.perform(input.value());
        auto other = request.perform(networkValues(finer.thumbnail_image(224, squashed())));
        if (!ours.ok() || !other.ok()) {
            std::fprintf(stderr, "%s: no print\n", argv[i]);
            return 1;
        }
        double dot = 0;  // both are of unit length
        for (size_t k = 0; k < ours.value().size(); k++)
            dot += double(ours.value()[k]) * other.value()[k];
        const int before = libvipsScale(header.width(), header.height());
        images++;
        changed += scale != before;
        below += dot < 0.9999;
        lowest = std::min(lowest, dot);
        std::printf("{\"size\":[%d,%d],\"scale\":%d,\"libvips_scale\":%d,\"cosine\":%.9f}\n",
                    header.width(), header.height(), scale, before, dot);
    }
    std::printf("{\"jpegs\":%d,\"finer\":%d,\"lowest_cosine\":%.9f,\"below_bound\":%d}\n", images,
                changed, lowest, below);
    return 0;
}
