// Arbitrary bytes as an image file for the thumbnail renderer. The first four
// bytes choose the request (size, orientation, transform, an exact size);
// the rest is the file. Every request either throws ThumbnailError with a
// message, leaving the output file as it was, or writes a JPEG of the size
// it reports. Never a crash, hang or leak.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vips/vips8>

#include "input_file.h"
#include "pixsig.h"

namespace {

std::string input, output;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz-thumbnail-XXXXXX";
    if (!mkdtemp(dir)) abort();
    input = std::string(dir) + "/in";
    output = std::string(dir) + "/out.jpg";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return -1;
    long long box = 1 + data[0] % 64;
    std::optional<long long> orientation;
    if (data[1] & 0x10) orientation = data[1] & 0x0f;
    bool transform = data[1] & 0x20;
    std::optional<std::pair<long long, long long>> exact;
    if (data[1] & 0x40) exact = std::make_pair<long long, long long>(data[2] % 48, data[3] % 48);
    writeBytes(input, data + 4, size - 4);
    static const uint8_t marker[] = {'o', 'l', 'd'};
    writeBytes(output, marker, sizeof marker);

    try {
        auto [w, h] = thumbnail(input, output, box, 0.5, transform, orientation, exact);
        if (w < 1 || h < 1) __builtin_trap();
        if (exact && exact->first > 0 && exact->second > 0) {
            if (w != exact->first || h != exact->second) __builtin_trap();
        } else if (std::max(w, h) > box) {
            __builtin_trap();
        }
        // The file written is a JPEG of the size reported.
        vips::VImage written = vips::VImage::new_from_file(output.c_str());
        if (written.width() != w || written.height() != h) __builtin_trap();
    } catch (const ThumbnailError& e) {
        if (e.message.empty()) __builtin_trap();
        int fd = open(output.c_str(), O_RDONLY | O_CLOEXEC);
        char bytes[8];
        ssize_t n = read(fd, bytes, sizeof bytes);
        close(fd);
        if (n != 3 || std::string(bytes, 3) != "old") __builtin_trap();  // untouched
    } catch (const vips::VError&) {
        __builtin_trap();  // the JPEG reported as written does not read back
    }
    return 0;
}
