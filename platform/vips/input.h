// libvips for the tools: its one start-up policy, its error texts, and the
// image file a request reads.
//
// (The header is not named vips.h: the include root would then hide
// libvips's own <vips/vips.h>. The namespace is the folder's, beside
// libvips's C++ classes, whose names all begin with V.)
//
// start() starts libvips once per process with the one policy of the layer:
// the operation cache off (every image is read once; a cache would only hold
// decoded pixels and open files in a long-running process), the library's
// warnings, info and messages kept off standard error (which belongs to the
// tool's own messages, or to the host application; failures come back as
// errors instead), and only the loaders of the image kinds the tools read
// allowed to load anything: JPEG, PNG, WebP, TIFF, GIF, HEIF (HEIC and
// AVIF) and JPEG XL. Every other loader libvips has (ImageMagick's coders,
// OpenSlide, PDF, SVG, JPEG 2000, OpenEXR, FITS, MATLAB, Analyze, Radiance,
// PPM, CSV, matrix, raw and libvips's own format) is blocked, so that no
// parser written for another purpose reads an untrusted file. Process-wide
// settings that only one tool wants (worker threads, the allocator) are that
// tool's to make.
//
// An Input is one image file opened for one request: opened once
// (files::openInput: a regular file, or a symbolic link to one; a FIFO,
// device, socket or directory is refused at once, never waited on), its
// loader found and its header read once, and every later read (the checks,
// the decode) made through that one descriptor. libvips never sees the path,
// so it never opens it again, and neither does anything else.
//
// Failures carry one line of text that names the file by the path given and
// says what is wrong with it, in the library's words but without the
// library's class names or source locations.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "handles/glib.h"
#include "result/result.h"

struct _VipsSource;
struct _VipsImage;

namespace vips {

// Starts libvips (see above); later calls return the first call's outcome.
platform::Result<void> start();

// The number of worker threads libvips computes an image with: a process
// that runs one request at a time sets 1 (a host that wants more runs more
// processes).
void setWorkerThreads(int count);

// The names of the loaders start() allows (libvips's class names, each
// covering its file, buffer and source variants).
const std::vector<std::string>& allowedLoaders();

// The loader (its nickname, e.g. "jpegload_source") that reads the data of
// `source`: the first allowed one whose sniffer claims it, in libvips's
// order, and the one libvips's own search picks too; nullopt otherwise.
// Only the allowed loaders' sniffers run here, while libvips 8.14's search
// runs those of blocked loaders as well (one reads a whole file of zeros
// looking for a line feed) and, when no source loader claims the data, maps
// it whole for its buffer loaders' sniffers (ImageMagick's among them). Hand
// libvips a source only after this has found its loader.
std::optional<std::string> allowedLoaderOf(_VipsSource* source);

// A failed libvips call's error text (`what` of the exception, or the error
// buffer when null) on one line: the buffer's lines joined with "; ", each
// without the class or function name libvips puts before it ("VipsJpeg: ",
// "tiff2vips: "), source locations ("@ error/tga.c/ReadTGAImage/224",
// "(tif_read.c:412)") and libheif's error numbers; a line naming only the
// function that failed ("error JxlDecoderProcessInput") says that the
// decoder failed on the data; the source's "bad seek" lines and repeated
// lines are left out. Clears the error buffer.
std::string errorText(const char* what = nullptr);

// The owning handle of a libvips source.
using SourcePtr = std::unique_ptr<_VipsSource, handles::GObjectUnref>;

// What an image file's header says, read once, nothing decoded.
struct Header {
    std::string loader;  // libvips's loader nickname, e.g. "jpegload_source"
    long long width = 0, height = 0;
    int bands = 0;
    int format = 0;          // VipsBandFormat
    int interpretation = 0;  // VipsInterpretation, as libvips guesses it
    bool hasAlpha = false;   // an alpha band, PNG transparency included
    int orientation = 1;     // EXIF orientation, 1 to 8
    bool hasColorProfile = false;
    bool interlaced = false;      // a progressive JPEG (interlaced PNG)
    std::string heifCompression;  // "hevc" or "av1" for HEIF
};

// The largest frame a whole-frame decoder is given: 2^28 pixels (16384 x
// 16384, 1 GiB at four bytes a pixel).
constexpr long long maxFramePixels = 1LL << 28;

// The largest picture a request decodes: 2^30 pixels (32768 x 32768). A
// streaming decoder (JPEG, PNG, TIFF) holds only a few rows of a larger one,
// so memory does not bound it; time does: every pixel is still decoded and
// shrunk, one thread at about 190 million pixels a second for a PNG (a
// 20000 x 20000 one takes 2 s of processor time to thumbnail), so the
// largest picture let through costs about 6 s where a 65536 x 65536 one
// cost 25 to 30 s and held the server that long.
constexpr long long maxPicturePixels = 1LL << 30;

class Input {
  public:
    // Opens the file; reads nothing yet. Fails, naming the path, when it is
    // no regular file that can be opened ("<path>: No such file or
    // directory", "<path>: not a regular file", "<path>: file name holds a
    // NUL byte", ...).
    static platform::Result<Input> open(const std::string& path);

    const std::string& path() const;
    int descriptor() const;
    _VipsSource* source() const;
    // Up to `length` bytes of the file from `offset`, read without moving the
    // descriptor's offset (libvips's source over it keeps its own place there).
    std::string readAt(long long offset, std::size_t length) const;

    // The header, read on the first call (later calls return the same
    // outcome). Fails naming the path: "<path>: not a known file format"
    // when no loader start() allows claims the data, else "<path>: " and
    // the loader's reason.
    platform::Result<Header> header() const;

    // Checks, without decoding pixels, that the picture can be decoded in
    // bounded memory and time, and that the file's data can hold the
    // picture it declares (checks.cpp lists the bounds; camera RAWs, which
    // libvips does not read, have theirs in raw/raw.h). Fails with one line
    // naming the path: "<path>: image too large (W x H pixels)", "<path>: N
    // bytes cannot hold the data of a W x H <kind>", or the header's failure.
    platform::Result<void> checkDecodable() const;

    // A libvips failure met while decoding this file, on one line, naming
    // it by its path: "<path>: <reason>".
    std::string failure(const char* what) const;

    struct State;  // input.cpp

  private:
    explicit Input(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace vips
