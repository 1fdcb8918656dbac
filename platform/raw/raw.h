// Camera RAW photos on LibRaw: DNG, CR2, CR3, NEF, ARW, RAF, ORF, RW2, PEF,
// SRW and the other kinds whose file begins as one of them.
//
// A RawFile is read from a descriptor the caller has opened (read with
// pread from its own place: the descriptor's offset never moves and the
// file is never opened again by name). Opening it reads the header alone:
// the picture's size, its orientation, the camera's embedded preview.
// Rendering gives the picture at no less than a requested size, one of two
// ways:
// - the preview, the camera's own JPEG rendering, when it shows the whole
//   picture at that size or larger (so a RAW renders as its camera JPEG
//   twin does);
// - else the picture developed from the sensor data: the camera's white
//   balance, sRGB primaries and transfer curve, 8 bits a channel, at half
//   size (two by two photosites to a pixel, no demosaicing) whenever that
//   still covers the request.
// Pixels come as stored: the orientation is the caller's to apply.
//
// Bounds: a development needs about 13 bytes a photosite at full size and 5
// at half size; a picture whose full development would take more than
// maxDevelopBytes is developed at half size whatever the request, and one
// whose half-size development would too is refused. A file far smaller than
// the photosites it declares is refused before its data is read: one bit per
// 8x8 block of photosites is the best case of any coding a RAW holds (lossy
// DNG's JPEG; lossless and uncompressed data take far more).
//
// Failures carry LibRaw's own text (libraw_strerror) and the step.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result/result.h"

namespace raw {

// The most memory a development may take (see above): a 60-megapixel
// sensor develops at half size within it.
constexpr long long maxDevelopBytes = 320LL << 20;

// Whether the first bytes of a file (16 are enough) are those of a kind that
// holds camera RAW pictures: TIFF (DNG, CR2, NEF, ARW, PEF, SRW and most
// others), Olympus' ORF and Panasonic's RW2 (TIFF with a magic of their own),
// Fujifilm's RAF, Canon's CR3 (ISO base media, brand "crx ").
bool mayBeRaw(std::string_view head);

// The picture a RAW holds, from its header.
struct Picture {
    long long width = 0;  // pixels of the developed picture as stored
    long long height = 0;
    int orientation = 1;  // EXIF orientation, 1 to 8
    std::string camera;   // maker and model
};

// What a rendering gives.
struct Rendering {
    enum class Kind { preview, developed };
    Kind kind = Kind::developed;
    std::string jpeg;                // the preview: the camera's JPEG, whole
    std::vector<unsigned char> rgb;  // developed: 8-bit sRGB, R, G, B a pixel, row by row
    int width = 0;                   // pixels of either
    int height = 0;
};

class RawFile {
  public:
    // The RAW on `fd`; none when its first bytes are of no RAW kind or
    // LibRaw finds no camera RAW picture in it (the caller then reads it as
    // any other image, which says what is wrong with it).
    static std::optional<RawFile> open(int fd);

    RawFile(RawFile&&) noexcept;
    RawFile& operator=(RawFile&&) noexcept;
    ~RawFile();

    const Picture& picture() const { return picture_; }

    // Fails when the file cannot hold the data it declares, or its
    // development would exceed the memory bound even at half size.
    platform::Result<void> checkDecodable() const;

    // The picture at no less than width x height pixels as stored (or
    // whole, when it is smaller): the preview when it covers that, else the
    // development. A damaged file (data that end early) fails.
    platform::Result<Rendering> render(long long width, long long height);

  private:
    struct Stream;
    struct Library;  // LibRaw's libraw_data_t, closed with it
    RawFile(std::unique_ptr<Stream> stream, std::unique_ptr<Library> library);
    platform::Result<std::optional<Rendering>> preview(long long width, long long height);
    platform::Result<Rendering> develop(long long width, long long height);

    // The stream outlives LibRaw's handle, which reads through it.
    std::unique_ptr<Stream> stream_;
    std::unique_ptr<Library> library_;
    Picture picture_;
    long long fileBytes_ = 0;
};

}  // namespace raw
