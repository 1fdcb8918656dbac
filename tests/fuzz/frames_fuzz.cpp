// Arbitrary bytes as a video: the frame grabber must return an image or an
// error text for every request (at 0, the middle, past the end, in ascending
// order, planned as the tools plan them and out of the plan), and every image
// must fit its box and encode as JPEG; never crash, hang or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "frames/frames.h"
#include "jpeg/jpeg.h"
#include "media/asset.h"

namespace {

constexpr int64_t kMaxEdge = 64;

void check(platform::Result<frames::Image>& image) {
    if (!image.ok()) {
        if (image.error().empty()) __builtin_trap();  // an error always has a text
        return;
    }
    const frames::Image& im = image.value();
    if (im.width < 1 || im.height < 1 || std::max(im.width, im.height) > kMaxEdge ||
        im.rgb.size() != size_t(im.width) * im.height * 3)
        __builtin_trap();
    // Fitted further, as the tool does for a smaller box, then encoded.
    auto small = frames::resized(im, std::max(1, im.width / 2), std::max(1, im.height / 2));
    if (!small.ok()) __builtin_trap();
    auto bytes = jpeg::encode(im.rgb.data(), im.width, im.height, im.width * 3, 85);
    if (!bytes.ok() || bytes.value().size() < 4) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("frames-input", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    media::Asset asset("/proc/self/fd/" + std::to_string(fd));
    auto duration = asset.loadDuration();
    double d = duration.ok() && std::isfinite(duration.value()) && duration.value() > 0
                   ? std::min(duration.value(), 1.0e6)
                   : 1.0;

    frames::Generator generator(asset, kMaxEdge);
    for (double t : {0.0, 0.5 * d, d + 10.0}) {
        auto image = generator.copyFrame(t);
        check(image);
    }
    // Planned requests skip what none of them shows and stop at the frame of
    // each run's last; one out of the plan starts decoding again.
    frames::Generator planned(asset, kMaxEdge);
    planned.plan({0.1 * d, 0.5 * d, 0.6 * d});
    for (double t : {0.1 * d, 0.5 * d, 0.55 * d, 0.6 * d}) {
        auto image = planned.copyFrame(t);
        check(image);
    }
    // Ascending requests continue decoding from where the previous one stopped.
    frames::Generator ascending(asset, kMaxEdge);
    for (double t : {0.0, 0.25 * d, 0.5 * d, 0.75 * d, d}) {
        auto image = ascending.copyFrame(t);
        check(image);
    }
    return 0;
}
