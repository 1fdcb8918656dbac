// Arbitrary bytes as a media file: every load probe makes must return a value
// or an error text, never crash, hang or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "media/asset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("probe-input", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    media::Asset asset("/proc/self/fd/" + std::to_string(fd));

    auto video = asset.loadTracks(media::MediaType::video);
    if (!video.ok()) {
        if (video.error().empty()) __builtin_trap();  // an error always has a text
        return 0;
    }
    auto duration = asset.loadDuration();
    if (duration.ok() && std::isinf(duration.value()) && duration.value() < 0) return 0;
    for (const media::Track& track : video.value()) {
        auto metadata = asset.loadTrackMetadata(track);
        if (metadata.ok() && metadata.value().formatSubtypes.size() > 1) __builtin_trap();
    }
    (void)asset.loadTracks(media::MediaType::audio);
    (void)asset.creationTime();
    return 0;
}
