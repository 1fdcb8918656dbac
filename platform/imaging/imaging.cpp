#include "imaging/imaging.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <vips/vips8>

#include "files/files.h"
#include "handles/handles.h"
#include "imaging/dcscans.h"
#include "raw/raw.h"

// libjpeg's header declares no linkage of its own.
extern "C" {
#include <jpeglib.h>
}
#include <tiffio.h>
#include <webp/decode.h>

namespace imaging {

namespace {

using Pixels = platform::Result<std::vector<unsigned char>>;

// The library's message, lines joined: a response carries it on one line.
std::string oneLine(std::string text) {
    for (size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, "; ");
    return text.empty() ? "unknown imaging error" : text;
}

// Up to `length` bytes of the file from `offset`, read without moving the
// descriptor's offset (libvips's source over it keeps its own place there).
std::string readAt(int fd, off_t offset, size_t length) {
    std::string bytes(length, '\0');
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, &bytes[done], length - done, offset + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    bytes.resize(done);
    return bytes;
}

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

// What libvips's header of a file says, without decoding pixels.
struct Header {
    bool read = false;  // libvips could read it
    std::string loader;
    long long width = 0, height = 0;
    bool interlaced = false;      // a progressive JPEG (interlaced PNG)
    std::string heifCompression;  // "hevc" or "av1" for HEIF
};

// What libvips says of a file that no loader it knows claims, naming the
// file as the host did (libvips itself knows it only as a source).
platform::Failure unknownFormat(const std::string& path) {
    return {"VipsForeignLoad: \"" + path + "\" is not a known file format", ""};
}

platform::Result<Header> readHeader(const ImageFile& file) {
    auto loader = file.loader();
    if (!loader.ok()) return loader.failed();
    Header h;
    try {
        vips::VImage header = vips::VImage::new_from_source(
            vips::VSource(file.source(), vips::NOSTEAL), "",
            vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        const char* name = nullptr;
        if (vips_image_get_string(header.get_image(), VIPS_META_LOADER, &name) == 0 && name)
            h.loader = name;
        h.width = header.width();
        h.height = header.height();
        int interlaced = 0;
        h.interlaced = vips_image_get_typeof(header.get_image(), "interlaced") != 0 &&
                       vips_image_get_int(header.get_image(), "interlaced", &interlaced) == 0 &&
                       interlaced != 0;
        const char* compression = nullptr;
        if (vips_image_get_typeof(header.get_image(), "heif-compression") != 0 &&
            vips_image_get_string(header.get_image(), "heif-compression", &compression) == 0 &&
            compression)
            h.heifCompression = compression;
        h.read = true;
    } catch (const vips::VError&) {
        vips_error_clear();
    }
    return h;
}

bool isJpeg(const Header& h) {
    return h.loader.rfind("jpegload", 0) == 0;
}

// The fewest bytes in which a file's format can code the picture it
// declares (imaging.h lists the bounds), with the format's name and the
// declared size.
struct Floor {
    long double bytes = 0;
    const char* kind = "";
    long long width = 0, height = 0;
};

std::optional<Floor> jpegFloor(const ImageFile& file) {
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

std::optional<Floor> pngFloor(const ImageFile& file) {
    // Signature, then the IHDR chunk: length, type, width, height, bit depth,
    // colour type. Read by hand: 13 bytes at a fixed place.
    std::string b = readAt(file.descriptor(), 0, 8 + 8 + 13);
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

std::optional<Floor> webpFloor(const ImageFile& file, const Header& h) {
    // The RIFF header and the first chunks tell the kind of coding.
    std::string b = readAt(file.descriptor(), 0, 64 * 1024);
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

std::optional<Floor> tiffFloor(const ImageFile& file) {
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

std::optional<Floor> dataFloor(const ImageFile& file, const Header& h) {
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

platform::Result<void> checkHeader(const ImageFile& file, const Header& h) {
    if (!h.read) return platform::Result<void>::success();  // the decoder reports what is wrong
    static const std::set<std::string> streaming = {
        "jpegload_source", "jpegload", "pngload_source", "pngload", "tiffload_source", "tiffload"};
    const std::string& path = file.path();
    if (!streaming.count(h.loader) && h.width * h.height > maxFramePixels)
        return platform::Result<void>::failure(path + ": image too large (" +
                                               std::to_string(h.width) + " x " +
                                               std::to_string(h.height) + " pixels)");
    std::optional<Floor> floor = dataFloor(file, h);
    struct stat st {};
    if (!floor || ::fstat(file.descriptor(), &st) != 0 || (long double)st.st_size >= floor->bytes)
        return platform::Result<void>::success();
    return platform::Result<void>::failure(
        path + ": " + std::to_string(st.st_size) + " bytes cannot hold the data of a " +
        std::to_string(floor->width) + " x " + std::to_string(floor->height) + " " + floor->kind);
}

// The whole of the file when it holds at most `limit` bytes (what could be
// read of it, when it shrinks meanwhile).
std::optional<std::string> readWhole(const ImageFile& file, off_t limit) {
    struct stat st {};
    if (::fstat(file.descriptor(), &st) != 0 || st.st_size > limit) return std::nullopt;
    return readAt(file.descriptor(), 0, size_t(st.st_size));
}

// A progressive JPEG that libvips decodes at 1/8, as its DC scans alone.
std::optional<DcScans> dcScansOf(const ImageFile& file, const Header& h, int size) {
    // Far above any photo; a larger file goes the whole way.
    constexpr off_t largest = 256 << 20;
    if (!isJpeg(h) || !h.interlaced || !decodedAtEighth(h.width, h.height, size))
        return std::nullopt;
    std::optional<std::string> bytes = readWhole(file, largest);
    if (!bytes) return std::nullopt;
    std::optional<DcScans> scans = dcScansOnly(*bytes);
    if (!scans || scans->width != h.width || scans->height != h.height) return std::nullopt;
    return scans;
}

// libvips's squashed thumbnail: shrink-on-load, EXIF orientation; from the
// DC scans when there are any (kept alive by the caller while the pixels are
// computed). Throws the library's error.
vips::VImage thumbnailOf(const ImageFile& file, const std::optional<DcScans>& scans, int size) {
    using vips::VImage;
    // A damaged file (truncated, corrupt data) is an error, not an image
    // padded with grey. libvips 8.14's thumbnail of a source hands its own
    // fail_on to no loader: the loader gets it in the option string.
    auto options = [&] {
        return VImage::option()
            ->set("height", size)
            ->set("size", VIPS_SIZE_FORCE)
            ->set("option_string", "fail_on=error");
    };
    // The source is made before the options are: options handed to no
    // operation (making it threw) would never be freed.
    vips::VSource source =
        scans ? vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size())
              : vips::VSource(file.source(), vips::NOSTEAL);
    return VImage::thumbnail_source(source, size, options());
}

// The thumbnail as 8-bit sRGB, three bands, transparency on white.
Pixels pixelsOf(vips::VImage image, int size) {
    using vips::VImage;
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.has_alpha()) {
        // colourspace() has made it 8-bit sRGB: white is 255.
        const double white = 255;
        image = image.flatten(
            VImage::option()->set("background", std::vector<double>{white, white, white}));
    }
    image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() < 3) image = image[0].bandjoin({image[0], image[0]});
    if (image.bands() > 3) image = image.extract_band(0, VImage::option()->set("n", 3));
    if (image.width() != size || image.height() != size)
        return Pixels::failure("image resized to the wrong size");
    size_t length = 0;
    handles::GlibString bytes(static_cast<char*>(image.write_to_memory(&length)));
    const auto* first = reinterpret_cast<const unsigned char*>(bytes.get());
    std::vector<unsigned char> pixels(first, first + length);
    if (pixels.size() != size_t(size) * size * 3) return Pixels::failure("unexpected pixel layout");
    return pixels;
}

// A blob over the bytes of `jpeg`, which outlive it (never copied or freed).
std::unique_ptr<VipsBlob, void (*)(VipsBlob*)> jpegBlob(const std::string& jpeg) {
    return {vips_blob_new(nullptr, jpeg.data(), jpeg.size()),
            [](VipsBlob* blob) { vips_area_unref(VIPS_AREA(blob)); }};
}

// The network's square of a camera RAW: its preview (the camera's own
// rendering, as its JPEG twin is squashed) or its development, squashed and
// turned by the RAW's orientation (a quarter turn of a square after the
// squash is the squash of the turned picture).
Pixels rawPixels(const ImageFile& file, raw::RawFile& rawFile, int size) {
    auto rendered = rawFile.render(size, size);
    if (!rendered.ok()) return Pixels::failure(file.path() + ": " + rendered.described());
    const raw::Rendering& r = rendered.value();
    using vips::VImage;
    auto options = [&] {
        return VImage::option()
            ->set("height", size)
            ->set("size", VIPS_SIZE_FORCE)
            ->set("no_rotate", true);
    };
    VImage square =
        r.kind == raw::Rendering::Kind::preview
            ? VImage::thumbnail_buffer(jpegBlob(r.jpeg).get(), size,
                                       options()->set("option_string", "fail_on=error"))
            : VImage::new_from_memory(const_cast<unsigned char*>(r.rgb.data()), r.rgb.size(),
                                      r.width, r.height, 3, VIPS_FORMAT_UCHAR)
                  .thumbnail_image(size, options());
    square = square.copy_memory().copy();
    square.set(VIPS_META_ORIENTATION, rawFile.picture().orientation);
    return pixelsOf(square.autorot(), size);
}

}  // namespace

namespace {

// What libvips's source over an image file reads: the descriptor (owned
// here, so that it lives as long as the source) at the source's own place.
struct SourceReader {
    handles::FileDescriptor fd;
    gint64 offset = 0;
};

// A custom source, not vips_source_new_from_descriptor: libvips maps a file
// descriptor's whole file into memory for some loaders (GIF, WebP) and to
// try its buffer loaders when no source loader claims the data, and reading
// a mapped file that another process truncates meanwhile ends the process
// with SIGBUS. Reads through this source copy instead.
handles::VipsSourcePtr readerSource(handles::FileDescriptor fd) {
    handles::VipsSourcePtr source(reinterpret_cast<VipsSource*>(vips_source_custom_new()));
    auto* reader = new SourceReader{std::move(fd)};
    g_object_set_data_full(G_OBJECT(source.get()), "reader", reader,
                           [](gpointer data) { delete static_cast<SourceReader*>(data); });
    auto read = +[](VipsSourceCustom*, void* buffer, gint64 length, gpointer data) -> gint64 {
        auto* r = static_cast<SourceReader*>(data);
        ssize_t n;
        do
            n = ::pread(r->fd.get(), buffer, size_t(length), r->offset);
        while (n < 0 && errno == EINTR);
        if (n > 0) r->offset += n;
        return n;
    };
    auto seek = +[](VipsSourceCustom*, gint64 offset, int whence, gpointer data) -> gint64 {
        auto* r = static_cast<SourceReader*>(data);
        struct stat st {};
        if (whence == SEEK_END && ::fstat(r->fd.get(), &st) != 0) return -1;
        gint64 base = whence == SEEK_CUR ? r->offset : whence == SEEK_END ? gint64(st.st_size) : 0;
        if (base + offset < 0) return -1;
        return r->offset = base + offset;
    };
    g_signal_connect(source.get(), "read", G_CALLBACK(read), reader);
    g_signal_connect(source.get(), "seek", G_CALLBACK(seek), reader);
    return source;
}

}  // namespace

platform::Result<ImageFile> ImageFile::open(const std::string& path) {
    startImaging();
    auto fd = files::openInput(path);
    if (!fd.ok()) return platform::Failure{path + ": " + fd.error(), ""};
    int descriptor = fd.value().get();
    return ImageFile(path, descriptor, readerSource(std::move(fd.value())));
}

platform::Result<std::string> ImageFile::loader() const {
    std::optional<std::string> name = handles::allowedLoaderOf(source_.get());
    if (!name) return unknownFormat(path_);
    return *name;
}

std::string ImageFile::named(std::string libraryText) const {
    std::string nick = VIPS_OBJECT(source_.get())->nickname;
    for (size_t at = 0; !nick.empty() && (at = libraryText.find(nick, at)) != std::string::npos;
         at += path_.size())
        libraryText.replace(at, nick.size(), path_);
    return libraryText;
}

platform::Result<void> checkDecodable(const ImageFile& file) {
    auto header = readHeader(file);
    if (!header.ok()) return header.failed();
    return checkHeader(file, header.value());
}

void startImaging() {
    static const bool started = [] {
        // libvips decodes on a pool of worker threads, and glibc gives each
        // thread that allocates its own arena: freed pixel buffers then stay
        // resident in whichever arena they came from, and a long-running
        // server grows with the variety of images it has seen. One arena
        // serves the few threads of one decode just as fast. A fixed mmap
        // threshold stops glibc from raising it after each large free, so
        // that line and tile buffers of large images keep coming from (and
        // going back to) the system instead of piling up in the heap.
        mallopt(M_ARENA_MAX, 1);
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
        if (!handles::startVips().ok()) return false;
        // One thread computes a request (a host that wants more runs more
        // processes): libvips's pool would otherwise start a worker per core
        // and spread each decode over them.
        vips_concurrency_set(1);
        return true;
    }();
    (void)started;
}

Pixels networkPixels(const std::string& path, int size) {
    startImaging();
    vips_error_clear();
    auto file = ImageFile::open(path);
    if (!file.ok()) return file.failed();
    try {
        if (auto rawFile = raw::RawFile::open(file.value().descriptor()))
            return rawPixels(file.value(), *rawFile, size);
        auto header = readHeader(file.value());
        if (!header.ok()) return header.failed();
        if (auto covered = checkHeader(file.value(), header.value()); !covered.ok())
            return covered.failed();
        std::optional<DcScans> scans = dcScansOf(file.value(), header.value(), size);
        return pixelsOf(thumbnailOf(file.value(), scans, size), size);
    } catch (const vips::VError& e) {
        return Pixels::failure(oneLine(file.value().named(handles::vipsErrorText(e.what()))));
    }
}

void releaseIdleMemory() {
    malloc_trim(0);
}

platform::Result<std::vector<float>> networkInput(const std::string& path, int size) {
    Pixels pixels = networkPixels(path, size);
    if (!pixels.ok()) return pixels.failed();
    std::vector<float> values(pixels.value().size());
    for (size_t i = 0; i < values.size(); i++)
        values[i] = float(pixels.value()[i]) / 255.0f;
    return values;
}

}  // namespace imaging
