// Image sources and JPEG thumbnails on libvips.
//
// A camera RAW (raw::RawFile) is rendered through LibRaw instead: its
// properties are those of the picture it renders (RGB, no alpha, 8 bits, the
// developed picture's size and the RAW's own orientation), and its thumbnail
// is its camera preview or its development, resized by libvips.
//
// A Source is an image file opened once (vips::Input: a regular file, never
// waited on; only the loaders vips::start allows read it). Its properties
// come from the file's header alone, read once (nothing is decoded); a
// thumbnail decodes the primary image with shrink-on-load, so that a large
// JPEG, WebP or HEIF is decoded at close to the thumbnail's size rather than
// at full size. Images are 8-bit
// sRGB pixels; a JPEG is encoded into memory, so that its file
// (files::writeWholeFile) is written only once it is complete.
//
// Every call returns a value or the library's error text. Images release their
// pixels when the last handle to them goes away.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "raw/raw.h"
#include "result/result.h"
#include "vips/input.h"

namespace thumbnails {

// Properties of a file's primary image, as its header states them.
struct Properties {
    // "RGB" (palette images included), "Gray", "CMYK" or "Lab"; empty when the
    // colour model is none of these.
    std::string colorModel;
    bool hasAlpha = false;  // an alpha channel, PNG transparency chunks included
    int depth = 0;          // bits per sample as stored: 8, 16, 32 or 64
    long long width = 0;    // pixels
    long long height = 0;
    int orientation = 1;           // EXIF orientation, 1 to 8; 1 when absent
    bool hasColorProfile = false;  // an embedded ICC profile
};

// 8-bit RGB pixels, three bands: a decoded thumbnail held in memory, or a
// stretched one computed while it is encoded.
class Image {
  public:
    Image();
    ~Image();
    Image(Image&&) noexcept;
    Image& operator=(Image&&) noexcept;

    int width() const;
    int height() const;

    struct Pixels;  // the library's image handle

  private:
    friend class Source;
    friend platform::Result<Image> stretched(const Image&, int, int);
    friend platform::Result<std::string> encodeJPEG(const Image&, int, int);
    std::unique_ptr<Pixels> pixels_;
};

struct ThumbnailOptions {
    int maxPixelSize = 512;  // longer side of the result; never enlarges the image
    int orientation = 1;  // EXIF orientation (1 to 8) applied to the pixels; 1 keeps them as stored
    bool toSRGB = true;   // convert from an embedded ICC profile to sRGB
};

class Source {
  public:
    // Opens the file at `path` (fails when it is no regular file that can
    // be opened); decodes nothing.
    static platform::Result<Source> open(const std::string& path);

    const std::string& path() const { return file_.path(); }

    // Reads the primary image's header.
    platform::Result<Properties> properties() const;

    // Decodes the primary image at reduced size (shrink-on-load where the
    // format has it), scales it so that its longer side is
    // options.maxPixelSize, turns it by options.orientation and converts it
    // to sRGB. A truncated or corrupt file is an error, not a partial image.
    platform::Result<Image> thumbnail(const ThumbnailOptions& options) const;

  private:
    explicit Source(vips::Input file) : file_(std::move(file)) {}
    vips::Input file_;  // every read goes through its one descriptor
    // Set when the file is a camera RAW, read through the same descriptor.
    std::unique_ptr<raw::RawFile> raw_;
};

// The image stretched to exactly width x height pixels (aspect ratio not
// kept): Lanczos3 along an axis that shrinks, bicubic along one that grows.
platform::Result<Image> stretched(const Image& image, int width, int height);

// Baseline JPEG at quality 1 to 100 with no metadata (not even an ICC
// profile) except, when `orientation` is 2 to 8, an EXIF segment whose only
// tag is that orientation.
platform::Result<std::string> encodeJPEG(const Image& image, int quality, int orientation);

}  // namespace thumbnails
