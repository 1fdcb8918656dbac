#include "imaging/imaging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vips/vips8>

#include "handles/glib.h"
#include "imaging/dcscans.h"
#include "raw/raw.h"
#include "vips/input.h"
#include "vips/rendering.h"

namespace imaging {

namespace {

using Pixels = platform::Result<std::vector<unsigned char>>;

bool isJpeg(const vips::Header& h) {
    return h.loader.rfind("jpegload", 0) == 0;
}

// The whole of the file when it holds at most `limit` bytes (what could be
// read of it, when it shrinks meanwhile).
std::optional<std::string> readWhole(const vips::Input& file, off_t limit) {
    struct stat st {};
    if (::fstat(file.descriptor(), &st) != 0 || st.st_size > limit) return std::nullopt;
    return file.readAt(0, size_t(st.st_size));
}

// A progressive JPEG that libvips decodes at 1/8, as its DC scans alone.
std::optional<DcScans> dcScansOf(const vips::Input& file, const vips::Header& h, int size) {
    // Far above any photo; a larger file goes the whole way.
    constexpr off_t largest = 256 << 20;
    if (!isJpeg(h) || !h.interlaced || !decodedAtEighth(h.width, h.height, size))
        return std::nullopt;
    std::optional<std::string> bytes = readWhole(file, largest);
    if (!bytes) return std::nullopt;
    std::optional<DcScans> scans = dcScansOnly(*bytes);
    if (!scans || scans->width != h.width || scans->height != h.height) return std::nullopt;
    return scans;
}

// libvips's squashed thumbnail: shrink-on-load, EXIF orientation; from the
// DC scans when there are any (kept alive by the caller while the pixels are
// computed). Throws the library's error.
vips::VImage thumbnailOf(const vips::Input& file, const std::optional<DcScans>& scans, int size) {
    using vips::VImage;
    // A damaged file (truncated, corrupt data) is an error, not an image
    // padded with grey. libvips 8.14's thumbnail of a source hands its own
    // fail_on to no loader: the loader gets it in the option string.
    auto options = [&] {
        return VImage::option()
            ->set("height", size)
            ->set("size", VIPS_SIZE_FORCE)
            ->set("option_string", "fail_on=error");
    };
    // The source is made before the options are: options handed to no
    // operation (making it threw) would never be freed.
    vips::VSource source =
        scans ? vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size())
              : vips::VSource(file.source(), vips::NOSTEAL);
    return VImage::thumbnail_source(source, size, options());
}

// The thumbnail as 8-bit sRGB, three bands, transparency on white.
Pixels pixelsOf(vips::VImage image, int size) {
    using vips::VImage;
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.has_alpha()) {
        // colourspace() has made it 8-bit sRGB: white is 255.
        const double white = 255;
        image = image.flatten(
            VImage::option()->set("background", std::vector<double>{white, white, white}));
    }
    image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() < 3) image = image[0].bandjoin({image[0], image[0]});
    if (image.bands() > 3) image = image.extract_band(0, VImage::option()->set("n", 3));
    if (image.width() != size || image.height() != size)
        return Pixels::failure("image resized to the wrong size");
    size_t length = 0;
    handles::GlibString bytes(static_cast<char*>(image.write_to_memory(&length)));
    const auto* first = reinterpret_cast<const unsigned char*>(bytes.get());
    std::vector<unsigned char> pixels(first, first + length);
    if (pixels.size() != size_t(size) * size * 3) return Pixels::failure("unexpected pixel layout");
    return pixels;
}

// The network's square of a camera RAW: its preview (the camera's own
// rendering, as its JPEG twin is squashed) or its development, squashed and
// turned by the RAW's orientation (a quarter turn of a square after the
// squash is the squash of the turned picture).
Pixels rawPixels(const vips::Input& file, raw::RawFile& rawFile, int size) {
    auto rendered = rawFile.render(size, size);
    if (!rendered.ok()) return Pixels::failure(file.path() + ": " + rendered.described());
    const raw::Rendering& r = rendered.value();
    vips::VImage square = vips::renderingThumbnail(r, size, VIPS_SIZE_FORCE);
    square = square.copy_memory().copy();
    square.set(VIPS_META_ORIENTATION, rawFile.picture().orientation);
    return pixelsOf(square.autorot(), size);
}

}  // namespace

Pixels networkPixels(const std::string& path, int size) {
    auto file = vips::Input::open(path);
    if (!file.ok()) return file.failed();
    // A camera RAW is read by LibRaw, through the same descriptor; libvips's
    // header and checks are for everything else.
    std::optional<raw::RawFile> rawFile = raw::RawFile::open(file.value().descriptor());
    std::optional<vips::Header> header;
    if (!rawFile) {
        auto read = file.value().header();
        if (!read.ok()) return read.failed();
        if (auto covered = file.value().checkDecodable(); !covered.ok()) return covered.failed();
        header = read.value();
    }
    try {
        if (rawFile) return rawPixels(file.value(), *rawFile, size);
        std::optional<DcScans> scans = dcScansOf(file.value(), *header, size);
        return pixelsOf(thumbnailOf(file.value(), scans, size), size);
    } catch (const vips::VError& e) {
        return Pixels::failure(file.value().failure(e.what()));
    }
}

platform::Result<std::vector<float>> networkInput(const std::string& path, int size) {
    Pixels pixels = networkPixels(path, size);
    if (!pixels.ok()) return pixels.failed();
    std::vector<float> values(pixels.value().size());
    for (size_t i = 0; i < values.size(); i++)
        values[i] = float(pixels.value()[i]) / 255.0f;
    return values;
}

}  // namespace imaging
