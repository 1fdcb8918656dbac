// Images decoded for the feature-print network: any kind libvips is let
// read (handles::startVips; the first page of multi-page files), turned
// upright by its EXIF orientation, converted to 8-bit sRGB with three
// channels (transparency flattened onto white, greyscale and CMYK
// converted), and resized to an exact square ignoring the aspect ratio with
// an anti-aliased filter. Large JPEGs are
// shrunk while they are decoded, never held at full size; a progressive one
// that libvips decodes at 1/8 of its size is decoded from its DC scans alone
// (imaging/dcscans.h), to the same pixels.
//
// Failures carry libvips's own text on one line; texts about the file as a
// whole (it cannot be opened, its format is unknown, its data too small)
// name it by the path given.
#pragma once

#include <string>
#include <vector>

#include "handles/handles.h"
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

// An image file opened for one request: once (files::openInput: a regular
// file, or a symbolic link to one; a FIFO, device, socket or directory is
// refused at once, never waited on), and read only through that descriptor:
// the header, the checks below, the DC-scan reduction (pread) and the
// decode, all through one libvips source over it. libvips never sees the
// path, so it never opens it again, and neither does anything else.
class ImageFile {
  public:
    // Fails, naming the path, when it is no regular file that can be opened
    // ("<path>: No such file or directory", "<path>: not a regular file",
    // "<path>: file name holds a NUL byte", ...).
    static platform::Result<ImageFile> open(const std::string& path);

    const std::string& path() const { return path_; }
    int descriptor() const { return fd_; }
    _VipsSource* source() const { return source_.get(); }

    // The loader that reads the file (libvips's nickname, such as
    // "jpegload_source"): one that handles::startVips allows, claiming the
    // file by its data. Fails for anything else with the text libvips gives
    // a file of no format it knows: VipsForeignLoad: "<path>" is not a known
    // file format.
    platform::Result<std::string> loader() const;

    // libvips's text with the path in place of the name it gives the source
    // (it knows the file by no other).
    std::string named(std::string libraryText) const;

  private:
    ImageFile(std::string path, int fd, handles::VipsSourcePtr source)
        : path_(std::move(path)), fd_(fd), source_(std::move(source)) {}
    std::string path_;
    int fd_;                         // owned by the source, which reads it
    handles::VipsSourcePtr source_;  // libvips may hold it a while after this
};

// Checks, without decoding pixels, that the file can be decoded in bounded
// memory and time, and that its data can hold the picture it declares.
// Decoders that stream (JPEG, PNG, TIFF) take any size. Decoders that hold
// the whole frame (or whole tile) in memory (GIF, WebP, HEIF, JPEG XL) are
// refused an image of more than maxFramePixels.
//
// Decompression bombs, small files that declare huge pictures, are refused
// by what they are: a file smaller than the best case of its format's coding
// for the picture it declares is truncated or forged. A decoder would
// otherwise make up what is missing (a JPEG decoder fills in blocks, GIF's
// leaves the rest of the screen empty), after the time of decoding the whole
// declared size. The floors, each the fewest bytes a W x H picture can be
// coded in:
// - JPEG, Huffman-coded: one bit per 8x8 block of the most finely sampled
//   component (one at full size): W/8 x H/8 bits.
// - JPEG, arithmetic-coded: one binary decision per block at least (its DC),
//   which the QM coder codes in no less than 1/(65536 ln 2) bits: one byte
//   per 2^19 blocks, a floor only against the crudest forgeries.
// - PNG: deflate codes at most 258 bytes in two bits (1032:1) of the raw
//   rows, which hold W x H x channels x bit depth bits (IHDR).
// - GIF: an LZW code of w bits (at most 12) stands for at most 2^w pixels,
//   so 12 bits for 4096 pixels at best: 3 bytes per 8192 pixels of the
//   logical screen, which is the picture libvips decodes.
// - WebP, lossy (VP8): every macroblock of 16x16 pixels codes its luma mode
//   (the first decision alone, at the key frame's fixed probability 145/256,
//   is 0.82 bits) and its chroma mode (0.85 bits at best): 1.6 bits each.
//   Lossless WebP can code a flat picture in no bits at all per pixel, and
//   animations are composed of frames of any size: no floor; libwebp fails
//   on data that ends early.
// - TIFF, by compression of the first directory, over the raw samples
//   (W x H x samples x bits): none 1:1, PackBits 64:1 (128 bytes in two),
//   LZW 2731:1 (a 12-bit code stands for at most 4096 bytes), Deflate
//   1032:1, ZSTD 43691:1 (a block of at most 128 KiB in three bytes of
//   header at least); JPEG one bit per 64 pixels; CCITT fax one bit per row.
//   Other compressions (LZMA, WebP, LERC, JBIG, ...): no floor; libtiff
//   fails on strips that end early.
// - HEIF with HEVC: every coding unit (at most 64x64) of an intra picture
//   codes its luma mode with at least one bypass bin, one whole bit: one bit
//   per 64x64 block. HEIF with AV1 (AVIF) and JPEG XL code a flat picture in
//   next to nothing: no floor; libheif reads the coded data whole before
//   decoding, and libjxl fails on a codestream that ends early.
//
// A file whose loader cannot read its header passes: the decoder says what
// is wrong. (Camera RAWs, which libvips does not read, have their floor in
// raw/raw.h.)
platform::Result<void> checkDecodable(const ImageFile& file);

// The largest frame a whole-frame decoder is given: 2^28 pixels (16384 x
// 16384, 1 GiB at four bytes a pixel).
constexpr long long maxFramePixels = 1LL << 28;

// The image at `path` (opened as ImageFile::open opens it) as size x size
// pixels, row by row, R, G, B each scaled to [0,1].
platform::Result<std::vector<float>> networkInput(const std::string& path, int size);

// The same pixels as 8-bit values (size * size * 3 bytes).
platform::Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size);

}  // namespace imaging
