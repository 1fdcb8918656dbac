// A camera RAW's rendering (raw/raw.h) through libvips's thumbnail, for
// thumbnails and prints alike.
#pragma once

#include <vips/vips8>

#include "raw/raw.h"

namespace vips {

// The rendering shrunk into `box` pixels of height (`size` VIPS_SIZE_DOWN:
// fitted, never enlarged; VIPS_SIZE_FORCE: squashed to box x box), pixels as
// stored: the preview's JPEG with shrink-on-load, or the developed pixels
// resized. Throws libvips's error. The rendering must outlive the image's
// decode.
VImage renderingThumbnail(const raw::Rendering& rendering, int box, VipsSize size);

}  // namespace vips
