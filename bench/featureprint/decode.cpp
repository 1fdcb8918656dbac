// Where a print's decode time goes: for each JPEG, the median of 3 runs of
// pixsig's own network input (decode with shrink-on-load, resize to 224x224,
// conversion to sRGB) against the floor, the JPEG decoded alone at the
// largest DCT scale (1/2, 1/4, 1/8) whose image still covers 224x224.
// Processor time, so that other load on the machine counts less. Prints one
// JSON line per image and one with the totals.
//
//   featureprint_decode <image>...

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <vips/vips8>

#include "imaging/imaging.h"
#include "vips/input.h"

namespace {

double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

template <class F>
double medianMs(F f) {
    std::vector<double> ms;
    for (int i = 0; i < 3; i++) {
        double start = cpuMs();
        f();
        ms.push_back(cpuMs() - start);
    }
    std::sort(ms.begin(), ms.end());
    return ms[1];
}

}  // namespace

int main(int argc, char** argv) {
    (void)vips::start();
    vips_concurrency_set(1);
    double ours = 0, floor = 0;
    for (int i = 1; i < argc; i++) {
        const char* path = argv[i];
        vips::VImage header = vips::VImage::new_from_file(path);
        int width = header.width(), height = header.height();
        int shrink = 1;
        while (shrink < 8 && width / (shrink * 2) >= 224 && height / (shrink * 2) >= 224)
            shrink *= 2;
        double pixels = medianMs([&] {
            auto input = imaging::networkPixels(path, 224);
            if (!input.ok()) std::fprintf(stderr, "%s: %s\n", path, input.error().c_str());
        });
        double decoded = medianMs([&] {
            vips::VImage image =
                vips::VImage::jpegload(path, vips::VImage::option()
                                                 ->set("shrink", shrink)
                                                 ->set("access", VIPS_ACCESS_SEQUENTIAL));
            size_t length = 0;
            g_free(image.write_to_memory(&length));
        });
        ours += pixels;
        floor += decoded;
        std::printf(
            "{\"image\":\"%s\",\"size\":[%d,%d],\"shrink\":%d,\"pixsig_ms\":%.2f,"
            "\"floor_ms\":%.2f}\n",
            path, width, height, shrink, pixels, decoded);
    }
    std::printf("{\"images\":%d,\"pixsig_ms\":%.1f,\"floor_ms\":%.1f,\"ratio\":%.2f}\n", argc - 1,
                ours, floor, floor > 0 ? ours / floor : 0);
    return 0;
}
