// Arbitrary bytes as the image file of a feature print, taken the way the
// print takes it: checked, decoded (large progressive JPEGs from their DC
// scans alone), turned upright, converted and squashed to the network's
// square. The request either fails with a message on one line or gives
// exactly the square's pixels. Never a crash, hang or leak.
//
// Each input is also checked against the promise of the DC-scan reduction:
// whenever the decoder reads the whole file at 1/8 of its size, the reduced
// file reads at that scale too, to the very same pixels, and the reduction
// is never much larger than the file. The square is small (16 x 16), so that
// files of 256 x 256 and up take the reduced path as 3584 x 3584 ones do for
// the real network, and stay quick to decode.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vips/vips8>

#include "imaging/dcscans.h"
#include "imaging/imaging.h"
#include "input_file.h"
#include "vips/input.h"

namespace {

constexpr int square = 16;
std::string input;

// The decoder's picture at 1/8 of the size, or nothing when it fails.
std::optional<std::string> eighth(vips::VSource source) {
    try {
        vips::VImage image = vips::VImage::jpegload_source(
            source, vips::VImage::option()->set("shrink", 8)->set("fail_on", VIPS_FAIL_ON_ERROR));
        size_t length = 0;
        void* data = image.write_to_memory(&length);
        std::string bytes(static_cast<const char*>(data), length);
        g_free(data);
        return bytes;
    } catch (const vips::VError&) {
        return std::nullopt;
    }
}

void checkReduction(std::string_view file) {
    std::optional<imaging::DcScans> scans = imaging::dcScansOnly(file);
    if (!scans) return;
    if (scans->width < 1 || scans->height < 1) __builtin_trap();
    // The zero-coefficient scans cost a few bytes per 32767 blocks.
    long long blocks = (scans->width / 8 + 1) * (scans->height / 8 + 1);
    if (scans->jpeg.size() > file.size() + 4 * (64 + size_t(blocks / 32767 + 1) * 3))
        __builtin_trap();
    // Declared sizes far above the data are refused before any decode (see
    // checkDecodable); these are compared only where that decode is quick.
    if (scans->width * scans->height > (1LL << 24)) return;
    auto opened = vips::Input::open(input);
    if (!opened.ok() || !opened.value().checkDecodable().ok()) return;
    std::optional<std::string> whole = eighth(vips::VSource::new_from_file(input.c_str()));
    if (!whole) return;
    std::optional<std::string> reduced =
        eighth(vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size()));
    if (!reduced || *reduced != *whole) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz-imaging-XXXXXX";
    if (!mkdtemp(dir)) abort();
    input = std::string(dir) + "/in";
    (void)vips::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeBytes(input, data, size);
    checkReduction(std::string_view(reinterpret_cast<const char*>(data), size));

    auto pixels = imaging::networkPixels(input, square);
    if (pixels.ok()) {
        if (pixels.value().size() != size_t(square) * square * 3) __builtin_trap();
    } else {
        const std::string& text = pixels.error();
        if (text.empty() || text.find('\n') != std::string::npos) __builtin_trap();
    }
    return 0;
}
