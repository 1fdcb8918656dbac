#include "thumbnails/thumbnails.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vips/vips8>

#include "vips/input.h"
#include "vips/rendering.h"

namespace thumbnails {

using vips::VError;
using vips::VImage;

struct Image::Pixels {
    VImage image;
};

namespace {

std::string colorModel(int interpretation) {
    switch (VipsInterpretation(interpretation)) {
        case VIPS_INTERPRETATION_sRGB:
        case VIPS_INTERPRETATION_RGB:
        case VIPS_INTERPRETATION_RGB16:
        case VIPS_INTERPRETATION_scRGB:
            return "RGB";
        case VIPS_INTERPRETATION_B_W:
        case VIPS_INTERPRETATION_GREY16:
            return "Gray";
        case VIPS_INTERPRETATION_CMYK:
            return "CMYK";
        case VIPS_INTERPRETATION_LAB:
        case VIPS_INTERPRETATION_LABQ:
        case VIPS_INTERPRETATION_LABS:
            return "Lab";
        default:
            return "";
    }
}

int bitsPerSample(int format) {
    switch (VipsBandFormat(format)) {
        case VIPS_FORMAT_UCHAR:
        case VIPS_FORMAT_CHAR:
            return 8;
        case VIPS_FORMAT_USHORT:
        case VIPS_FORMAT_SHORT:
            return 16;
        case VIPS_FORMAT_UINT:
        case VIPS_FORMAT_INT:
        case VIPS_FORMAT_FLOAT:
        case VIPS_FORMAT_COMPLEX:
            return 32;
        default:
            return 64;
    }
}

struct BlobDeleter {
    void operator()(VipsBlob* blob) const { vips_area_unref(VIPS_AREA(blob)); }
};

// Puts an EXIF segment holding only the orientation tag after the JPEG's
// start marker and JFIF segment. Written by hand: the library's EXIF writer
// always adds resolution, version and colour-space tags of its own.
void insertOrientation(std::string& jpeg, int orientation) {
    // APP1, length 34: "Exif\0\0", little-endian TIFF header, IFD0 with one
    // entry (0x0112 Orientation, SHORT, count 1), no next IFD.
    static const unsigned char segment[] = {0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0x00,
                                            0x00, 'I',  'I',  0x2A, 0x00, 0x08, 0x00, 0x00, 0x00,
                                            0x01, 0x00, 0x12, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::string exif(reinterpret_cast<const char*>(segment), sizeof segment);
    exif[28] = char(orientation);
    size_t at = 2;  // after SOI
    if (jpeg.size() > 6 && uint8_t(jpeg[2]) == 0xFF && uint8_t(jpeg[3]) == 0xE0)
        at = 4 + (size_t(uint8_t(jpeg[4])) << 8 | uint8_t(jpeg[5]));
    jpeg.insert(std::min(at, jpeg.size()), exif);
}

// libvips' thumbnail of an image file, pixels as stored. Throws its error.
VImage libraryThumbnail(const vips::Input& file, const ThumbnailOptions& options) {
    // The source first: options handed to no operation would never be freed.
    vips::VSource source(file.source(), vips::NOSTEAL);
    auto* opts = VImage::option()
                     ->set("height", options.maxPixelSize)
                     ->set("size", VIPS_SIZE_DOWN)
                     ->set("no_rotate", true)
                     // libvips 8.14's thumbnail of a source hands its own
                     // fail_on to no loader: the loader gets it here.
                     ->set("option_string", "fail_on=error");
    if (options.toSRGB) opts->set("export_profile", "srgb");
    return VImage::thumbnail_source(source, options.maxPixelSize, opts);
}

}  // namespace

Image::Image() = default;
Image::~Image() = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;

int Image::width() const {
    return pixels_ ? pixels_->image.width() : 0;
}
int Image::height() const {
    return pixels_ ? pixels_->image.height() : 0;
}

platform::Result<Source> Source::open(const std::string& path) {
    auto file = vips::Input::open(path);
    if (!file.ok()) return file.failed();
    Source source(std::move(file.value()));
    if (auto raw = raw::RawFile::open(source.file_.descriptor()))
        source.raw_ = std::make_unique<raw::RawFile>(std::move(*raw));
    return source;
}

platform::Result<Properties> Source::properties() const {
    if (raw_) {
        const raw::Picture& picture = raw_->picture();
        return Properties{.colorModel = "RGB",
                          .depth = 8,
                          .width = picture.width,
                          .height = picture.height,
                          .orientation = picture.orientation};
    }
    auto header = file_.header();
    if (!header.ok()) return header.failed();
    const vips::Header& h = header.value();
    Properties p;
    p.colorModel = colorModel(h.interpretation);
    p.hasAlpha = h.hasAlpha;
    p.depth = bitsPerSample(h.format);
    p.width = h.width;
    p.height = h.height;
    p.orientation = h.orientation;
    p.hasColorProfile = h.hasColorProfile;
    return p;
}

platform::Result<Image> Source::thumbnail(const ThumbnailOptions& options) const {
    if (options.maxPixelSize < 1)
        return platform::Result<Image>::failure("thumbnail size " +
                                                std::to_string(options.maxPixelSize));
    // A RAW's picture at the thumbnail's size at least; held until decoded.
    std::optional<raw::Rendering> rendering;
    if (raw_) {
        const raw::Picture& p = raw_->picture();
        double scale =
            std::min(1.0, double(options.maxPixelSize) / double(std::max(p.width, p.height)));
        auto rendered = raw_->render(std::llround(double(p.width) * scale),
                                     std::llround(double(p.height) * scale));
        if (!rendered.ok()) return rendered.failed();
        rendering = std::move(rendered.value());
    } else if (auto covered = file_.checkDecodable(); !covered.ok()) {
        return covered.failed();
    }
    try {
        VImage thumb =
            rendering ? vips::renderingThumbnail(*rendering, options.maxPixelSize, VIPS_SIZE_DOWN)
                      : libraryThumbnail(file_, options);
        if (thumb.bands() != 3 || thumb.format() != VIPS_FORMAT_UCHAR)
            thumb = thumb.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
        if (thumb.bands() != 3) thumb = thumb.extract_band(0, VImage::option()->set("n", 3));
        // Decode now, so that a corrupt file fails here rather than while
        // encoding. The decode is sequential: a turn by 90 degrees reads its
        // input column by column, which only pixels already in memory allow.
        thumb = thumb.copy_memory();
        if (options.orientation >= 2 && options.orientation <= 8) {
            thumb = thumb.copy();
            thumb.set(VIPS_META_ORIENTATION, options.orientation);
            thumb = thumb.autorot().copy_memory();
        }
        Image result;
        result.pixels_ = std::make_unique<Image::Pixels>(Image::Pixels{thumb});
        return result;
    } catch (const VError& e) {
        return platform::Result<Image>::failure(file_.failure(e.what()));
    }
}

platform::Result<Image> stretched(const Image& image, int width, int height) {
    if (!image.pixels_ || width < 1 || height < 1)
        return platform::Result<Image>::failure("no image to stretch");
    try {
        const VImage& in = image.pixels_->image;
        double hscale = double(width) / in.width();
        double vscale = double(height) / in.height();
        VImage out = in.resize(
            hscale, VImage::option()->set("vscale", vscale)->set("kernel", VIPS_KERNEL_LANCZOS3));
        // The scaled size is rounded; settle the last pixel by cropping or
        // repeating the edge.
        if (out.width() != width || out.height() != height)
            out = out.embed(0, 0, width, height, VImage::option()->set("extend", VIPS_EXTEND_COPY));
        Image result;
        result.pixels_ = std::make_unique<Image::Pixels>(Image::Pixels{out});
        return result;
    } catch (const VError& e) {
        return platform::Result<Image>::failure(vips::errorText(e.what()));
    }
}

platform::Result<std::string> encodeJPEG(const Image& image, int quality, int orientation) {
    if (!image.pixels_) return platform::Result<std::string>::failure("no image to encode");
    std::string jpeg;
    try {
        VipsBlob* raw =
            image.pixels_->image.jpegsave_buffer(VImage::option()
                                                     ->set("Q", std::clamp(quality, 1, 100))
                                                     ->set("strip", true)
                                                     ->set("optimize_coding", true));
        std::unique_ptr<VipsBlob, BlobDeleter> blob(raw);
        size_t length = 0;
        const void* data = vips_blob_get(blob.get(), &length);
        jpeg.assign(static_cast<const char*>(data), length);
    } catch (const VError& e) {
        return platform::Result<std::string>::failure(vips::errorText(e.what()));
    }
    if (orientation >= 2 && orientation <= 8) insertOrientation(jpeg, orientation);
    return jpeg;
}

}  // namespace thumbnails
