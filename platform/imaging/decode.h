// Images decoded for the feature-print network: any format libvips reads
// (first page of multi-page files), turned upright by its EXIF orientation,
// converted to 8-bit sRGB with three channels (transparency flattened onto
// white, greyscale and CMYK converted), and resized to an exact square
// ignoring the aspect ratio with an anti-aliased filter. Large JPEGs are
// shrunk while they are decoded, never held at full size.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "result.h"

namespace imaging {

// A value or the imaging library's error text (on one line).
template <class T>
using Result = platform::Result<T>;

// A file whose header declares more pixels than this is not decoded: a small
// file can declare a huge image, and formats without shrink-on-load decode at
// full size. 2^28 pixels is 16384 x 16384, well above any camera.
constexpr long long maxSourcePixels = 1LL << 28;

// Starts libvips once per process; later calls do nothing.
void startImaging();

// The image at `path` (used exactly as given) as size x size pixels, row by
// row, R, G, B each scaled to [0,1].
Result<std::vector<float>> networkInput(const std::string& path, int size);

// The same pixels as 8-bit values (size * size * 3 bytes).
Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size);

}  // namespace imaging
