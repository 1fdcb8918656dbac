// Images decoded for the feature-print network: any format libvips reads
// (first page of multi-page files), turned upright by its EXIF orientation,
// converted to 8-bit sRGB with three channels (transparency flattened onto
// white, greyscale and CMYK converted), and resized to an exact square
// ignoring the aspect ratio with an anti-aliased filter. Large JPEGs are
// shrunk while they are decoded, never held at full size; a progressive one
// that libvips decodes at 1/8 of its size is decoded from its DC scans alone
// (imaging/dcscans.h), to the same pixels.
//
// Failures carry libvips's own text on one line.
#pragma once

#include <string>
#include <vector>

#include "result/result.h"

namespace imaging {

// Starts libvips once per process (handles::startVips: operation cache off,
// warnings off standard error) with one worker thread; later calls do
// nothing. Also sets the process's allocator policy for the library's worker
// threads (see imaging.cpp): call it before any image work starts.
void startImaging();

// Hands the heap pages that finished images left free back to the system.
// For a long-running process that has gone idle: it costs the next image
// the page faults of touching them again.
void releaseIdleMemory();

// Checks, without decoding pixels, that the file can be decoded in bounded
// memory and time. Decoders that stream (JPEG, PNG, TIFF, and those that
// render at the output's scale: SVG, PDF) take any size. Decoders that hold
// the whole frame (or whole tile) in memory (GIF, HEIF, JPEG XL, JPEG 2000,
// WebP, ImageMagick's) are
// refused an image of more than maxFramePixels.
//
// Decompression bombs, small files that declare huge images, are refused by
// what they are: a file whose data ends before its declared pixels. Most
// decoders stop with an error where the data ends; a JPEG decoder instead
// makes up the missing blocks, which would cost the time of decoding the
// whole declared size. A Huffman-coded JPEG spends at least one bit on every
// 8x8 block of its most finely sampled component, so one smaller than that
// is truncated or forged. (Arithmetic-coded JPEGs have no such floor.)
//
// A file libvips cannot read at all passes: the decoder says what is wrong.
platform::Result<void> checkDecodable(const std::string& path);

// The largest frame a whole-frame decoder is given: 2^28 pixels (16384 x
// 16384, 1 GiB at four bytes a pixel).
constexpr long long maxFramePixels = 1LL << 28;

// The image at `path` (used exactly as given) as size x size pixels, row by
// row, R, G, B each scaled to [0,1].
platform::Result<std::vector<float>> networkInput(const std::string& path, int size);

// The same pixels as 8-bit values (size * size * 3 bytes).
platform::Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size);

}  // namespace imaging
