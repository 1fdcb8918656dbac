// The decodability checks of an Input, made without decoding pixels.
//
// Checks, without decoding pixels, that the file can be decoded in bounded
// memory and time, and that its data can hold the picture it declares.
// Decoders that stream (JPEG, PNG, TIFF) take any size. Decoders that hold
// the whole frame (or whole tile) in memory (GIF, WebP, HEIF, JPEG XL) are
// refused an image of more than maxFramePixels. No picture of more than
// maxPicturePixels is decoded at all.
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

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>

#include "vips/input.h"

// libjpeg's header declares no linkage of its own.
extern "C" {
#include <jpeglib.h>
}
#include <tiffio.h>
#include <webp/decode.h>

namespace vips {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf exit;
};

// libjpeg's data source over a descriptor. Written by hand: libjpeg reads
// only a FILE* (whose reads would move the offset libvips's source relies
// on) or bytes in memory (the whole file, to find a header at its start).
struct DescriptorSource {
    jpeg_source_mgr manager;
    int fd;
    off_t offset;
    JOCTET buffer[16384];

    static boolean fill(j_decompress_ptr info) {
        auto* self = reinterpret_cast<DescriptorSource*>(info->src);
        ssize_t n;
        do
            n = ::pread(self->fd, self->buffer, sizeof self->buffer, self->offset);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // The end of the data reads as an end marker, as in libjpeg's
            // own sources.
            self->buffer[0] = 0xFF;
            self->buffer[1] = JPEG_EOI;
            n = 2;
        } else {
            self->offset += n;
        }
        self->manager.next_input_byte = self->buffer;
        self->manager.bytes_in_buffer = size_t(n);
        return TRUE;
    }

    static void skip(j_decompress_ptr info, long count) {
        auto* self = reinterpret_cast<DescriptorSource*>(info->src);
        if (count <= 0) return;
        if (size_t(count) <= self->manager.bytes_in_buffer) {
            self->manager.next_input_byte += count;
            self->manager.bytes_in_buffer -= size_t(count);
            return;
        }
        self->offset += off_t(size_t(count) - self->manager.bytes_in_buffer);
        self->manager.bytes_in_buffer = 0;
    }
};

// The JPEG frame header: size, whether the data is arithmetic-coded. False
// when the file is not a JPEG or its header cannot be read (the decoder then
// reports what is wrong). Nothing here may need a destructor: error_exit
// leaves the function through longjmp.
bool readJpegHeader(int fd, long long& width, long long& height, bool& arithmetic) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    DescriptorSource source{};
    source.fd = fd;
    source.manager.init_source = [](j_decompress_ptr) {};
    source.manager.fill_input_buffer = DescriptorSource::fill;
    source.manager.skip_input_data = DescriptorSource::skip;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = [](j_decompress_ptr) {};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<JpegErrors*>(common->err)->exit, 1);
    };
    errors.manager.output_message = [](j_common_ptr) {};
    if (setjmp(errors.exit)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    info.src = &source.manager;
    bool read = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
    if (read) {
        width = info.image_width;
        height = info.image_height;
        arithmetic = info.arith_code;
    }
    jpeg_destroy_decompress(&info);
    return read;
}

// The fewest bytes in which a file's format can code the picture it
// declares (listed above), with the format's name and the
// declared size.
struct Floor {
    long double bytes = 0;
    const char* kind = "";
    long long width = 0, height = 0;
};

std::optional<Floor> jpegFloor(const Input& file) {
    long long width = 0, height = 0;
    bool arithmetic = false;
    if (!readJpegHeader(file.descriptor(), width, height, arithmetic)) return std::nullopt;
    long double blocks = (long double)((width + 7) / 8) * ((height + 7) / 8);
    return Floor{arithmetic ? blocks / (1 << 19) : blocks / 8, "JPEG", width, height};
}

// Samples per pixel of a PNG colour type; 0 for none.
int pngChannels(int colourType) {
    switch (colourType) {
        case 0:  // grey
        case 3:  // palette indexes
            return 1;
        case 4:  // grey and alpha
            return 2;
        case 2:  // RGB
            return 3;
        case 6:  // RGBA
            return 4;
        default:
            return 0;
    }
}

std::optional<Floor> pngFloor(const Input& file) {
    // Signature, then the IHDR chunk: length, type, width, height, bit depth,
    // colour type. Read by hand: 13 bytes at a fixed place.
    std::string b = file.readAt(0, 8 + 8 + 13);
    if (b.size() < 8 + 8 + 13 || b.compare(12, 4, "IHDR") != 0) return std::nullopt;
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
               (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
    };
    long long width = be32(16), height = be32(20);
    int depth = uint8_t(b[24]);
    int channels = pngChannels(uint8_t(b[25]));
    if (channels == 0) return std::nullopt;
    long double rawBytes = (long double)width * height * channels * depth / 8;
    return Floor{rawBytes / 1032, "PNG", width, height};
}

std::optional<Floor> webpFloor(const Input& file, const Header& h) {
    // The RIFF header and the first chunks tell the kind of coding.
    std::string b = file.readAt(0, 64 * 1024);
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(reinterpret_cast<const uint8_t*>(b.data()), b.size(), &features) !=
        VP8_STATUS_OK)
        return std::nullopt;
    if (features.format != 1 || features.has_animation) return std::nullopt;  // lossless, mixed
    long double macroblocks = (long double)((h.width + 15) / 16) * ((h.height + 15) / 16);
    return Floor{macroblocks * 1.6L / 8, "WebP", h.width, h.height};
}

// libtiff's client over a descriptor, reading with pread from its own place.
struct TiffClient {
    int fd;
    off_t offset = 0;
    off_t size = 0;
};

// The fewest bytes a TIFF compression codes a picture of so many pixels and
// raw bytes in, and height rows; none for a compression without a floor.
std::optional<long double> tiffCodedBytes(int compression, long double pixels, long double rawBytes,
                                          long double height) {
    switch (compression) {
        case COMPRESSION_NONE:
            return rawBytes;
        case COMPRESSION_PACKBITS:
            return rawBytes / 64;
        case COMPRESSION_LZW:
            return rawBytes / 2731;
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
            return rawBytes / 1032;
        case COMPRESSION_ZSTD:
            return rawBytes / 43691;
        case COMPRESSION_JPEG:
        case COMPRESSION_OJPEG:
            return pixels / 64 / 8;
        case COMPRESSION_CCITTRLE:
        case COMPRESSION_CCITTRLEW:
        case COMPRESSION_CCITTFAX3:
        case COMPRESSION_CCITTFAX4:
            return height / 8;
        default:
            return std::nullopt;
    }
}

std::optional<Floor> tiffFloor(const Input& file) {
    struct stat st {};
    if (::fstat(file.descriptor(), &st) != 0) return std::nullopt;
    TiffClient client{file.descriptor(), 0, st.st_size};
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                         TIFFOpenOptionsFree);
    if (!options) return std::nullopt;
    // Quiet (the decoder reports what is wrong), and no large allocation for
    // a forged directory.
    auto quiet = [](TIFF*, void*, const char*, const char*, va_list) { return 1; };
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quiet, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), 64 << 20);
    auto read = [](thandle_t handle, void* data, tmsize_t length) -> tmsize_t {
        auto* c = static_cast<TiffClient*>(handle);
        ssize_t n;
        do
            n = ::pread(c->fd, data, size_t(length), c->offset);
        while (n < 0 && errno == EINTR);
        if (n > 0) c->offset += n;
        return n;
    };
    auto write = [](thandle_t, void*, tmsize_t) -> tmsize_t { return -1; };
    auto seek = [](thandle_t handle, toff_t offset, int whence) -> toff_t {
        auto* c = static_cast<TiffClient*>(handle);
        off_t base = whence == SEEK_CUR ? c->offset : whence == SEEK_END ? c->size : 0;
        c->offset = base + off_t(offset);
        return toff_t(c->offset);
    };
    auto close = [](thandle_t) { return 0; };
    auto size = [](thandle_t handle) -> toff_t {
        return toff_t(static_cast<TiffClient*>(handle)->size);
    };
    auto map = [](thandle_t, void**, toff_t*) { return 0; };
    auto unmap = [](thandle_t, void*, toff_t) {};
    std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(
        TIFFClientOpenExt("image", "rm", &client, read, write, seek, close, size, map, unmap,
                          options.get()),
        TIFFClose);
    if (!tiff) return std::nullopt;
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 1, compression = COMPRESSION_NONE;
    if (!TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height))
        return std::nullopt;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_COMPRESSION, &compression);
    long double pixels = (long double)width * height;
    long double rawBytes = pixels * samples * bits / 8;
    std::optional<long double> bytes = tiffCodedBytes(compression, pixels, rawBytes, height);
    if (!bytes) return std::nullopt;
    return Floor{*bytes, "TIFF", width, height};
}

std::optional<Floor> heifFloor(const Header& h) {
    if (h.heifCompression != "hevc") return std::nullopt;
    long double units = (long double)((h.width + 63) / 64) * ((h.height + 63) / 64);
    return Floor{units / 8, "HEIF", h.width, h.height};
}

std::optional<Floor> dataFloor(const Input& file, const Header& h) {
    auto is = [&](const char* prefix) { return h.loader.rfind(prefix, 0) == 0; };
    if (is("jpegload")) return jpegFloor(file);
    if (is("pngload")) return pngFloor(file);
    if (is("gifload"))
        return Floor{(long double)h.width * h.height * 3 / 8192, "GIF", h.width, h.height};
    if (is("webpload")) return webpFloor(file, h);
    if (is("tiffload")) return tiffFloor(file);
    if (is("heifload")) return heifFloor(h);
    return std::nullopt;  // JPEG XL
}

platform::Result<void> checkHeader(const Input& file, const Header& h) {
    static const std::set<std::string> streaming = {
        "jpegload_source", "jpegload", "pngload_source", "pngload", "tiffload_source", "tiffload"};
    const std::string& path = file.path();
    long long pixels = h.width * h.height;
    auto tooLarge = [&] {
        return platform::Result<void>::failure(path + ": image too large (" +
                                               std::to_string(h.width) + " x " +
                                               std::to_string(h.height) + " pixels)");
    };
    if (!streaming.count(h.loader) && pixels > maxFramePixels) return tooLarge();
    // A forged file is named for what it is before its size counts.
    std::optional<Floor> floor = dataFloor(file, h);
    struct stat st {};
    if (floor && ::fstat(file.descriptor(), &st) == 0 && (long double)st.st_size < floor->bytes)
        return platform::Result<void>::failure(path + ": " + std::to_string(st.st_size) +
                                               " bytes cannot hold the data of a " +
                                               std::to_string(floor->width) + " x " +
                                               std::to_string(floor->height) + " " + floor->kind);
    if (pixels > maxPicturePixels) return tooLarge();
    return platform::Result<void>::success();
}

}  // namespace

platform::Result<void> Input::checkDecodable() const {
    auto h = header();
    if (!h.ok()) return h.failed();
    return checkHeader(*this, h.value());
}

}  // namespace vips
