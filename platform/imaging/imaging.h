// Images decoded for the feature-print network: any kind libvips is let
// read (vips::start; the first page of multi-page files), turned
// upright by its EXIF orientation, converted to 8-bit sRGB with three
// channels (transparency flattened onto white, greyscale and CMYK
// converted), and resized to an exact square ignoring the aspect ratio with
// an anti-aliased filter. Large JPEGs are
// shrunk while they are decoded, never held at full size; a progressive one
// that libvips decodes at 1/8 of its size is decoded from its DC scans alone
// (imaging/dcscans.h), to the same pixels.
//
// The file is a vips::Input: opened once, its header read once, checked
// before it is decoded. Failures are one line that names the file by the
// path given and says what is wrong ("<path>: not a known file format",
// "<path>: image too large (W x H pixels)", "<path>: Premature end of input
// file", ...).
#pragma once

#include <string>
#include <vector>

#include "result/result.h"

namespace imaging {

// The image at `path` (opened as vips::Input::open opens it) as size x size
// pixels, row by row, R, G, B each scaled to [0,1].
platform::Result<std::vector<float>> networkInput(const std::string& path, int size);

// The same pixels as 8-bit values (size * size * 3 bytes).
platform::Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size);

}  // namespace imaging
