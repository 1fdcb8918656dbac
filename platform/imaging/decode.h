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

// Starts libvips once per process; later calls do nothing. Also sets the
// process's allocator policy for the library's worker threads (see
// decode.cpp): call it before any image work starts.
void startImaging();

// Hands the heap pages that finished images left free back to the system.
// For a long-running process that has gone idle: it costs the next image
// the page faults of touching them again.
void releaseIdleMemory();

// Checks that the file's compressed data could hold the pixels its header
// declares, without decoding them. A decompression bomb is a small file that
// declares a huge image; most decoders stop where the data ends, but a JPEG
// decoder makes up the missing blocks, which would cost the time of decoding
// the full declared size. A Huffman-coded JPEG spends at least one bit on
// every 8x8 block of its most finely sampled component, so a file smaller
// than that can only be truncated or forged. Files of other kinds (and
// arithmetic-coded JPEGs, which have no such floor) pass.
Result<bool> checkDataCoversPixels(const std::string& path);

// The image at `path` (used exactly as given) as size x size pixels, row by
// row, R, G, B each scaled to [0,1].
Result<std::vector<float>> networkInput(const std::string& path, int size);

// The same pixels as 8-bit values (size * size * 3 bytes).
Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size);

}  // namespace imaging
