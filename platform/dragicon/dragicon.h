// Drag icons: an image decoded from encoded bytes (any kind libvips is let
// read, vips::start: PNG, JPEG, WebP, GIF, TIFF, HEIF, JPEG XL) and
// rendered as premultiplied RGBA pixels at the size it is shown under the
// pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "result/result.h"

namespace dragicon {

// Premultiplied 8-bit RGBA, rows top to bottom, no padding.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

class Icon {
  public:
    // Decodes every pixel of the bytes. Fails, with libvips' text, when they
    // are not a whole image (a truncated or damaged one included).
    static platform::Result<Icon> decode(const void* data, std::size_t length);
    ~Icon();
    Icon(Icon&&) noexcept;
    Icon& operator=(Icon&&) noexcept;

    // The size the image decoded with, in pixels.
    int width() const;
    int height() const;

    // The image resampled to exactly width x height pixels (both at least 1).
    Pixels render(int width, int height) const;

  private:
    struct Impl;
    explicit Icon(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dragicon
