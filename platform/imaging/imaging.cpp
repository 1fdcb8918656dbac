#include "imaging/imaging.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <vips/vips8>

#include "handles/handles.h"
#include "imaging/dcscans.h"

// libjpeg's header declares no linkage of its own.
extern "C" {
#include <jpeglib.h>
}

namespace imaging {

namespace {

using Pixels = platform::Result<std::vector<unsigned char>>;

// The library's message, lines joined: a response carries it on one line.
std::string oneLine(std::string text) {
    for (size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, "; ");
    return text.empty() ? "unknown imaging error" : text;
}

// libjpeg reports a fatal error by calling error_exit, which must not return.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf exit;
};

// The JPEG frame header: size, whether the data is arithmetic-coded. False
// when the file is not a JPEG or its header cannot be read (the decoder then
// reports what is wrong). Nothing here may need a destructor: error_exit
// leaves the function through longjmp.
bool readJpegHeader(FILE* file, long long& width, long long& height, bool& arithmetic) {
    jpeg_decompress_struct info;
    JpegErrors errors;
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
    jpeg_stdio_src(&info, file);
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
    bool interlaced = false;  // a progressive JPEG (interlaced PNG)
};

Header readHeader(const std::string& path) {
    Header h;
    try {
        // The source first: the options would leak if opening it threw.
        vips::VSource source = vips::VSource::new_from_file(path.c_str());
        vips::VImage header = vips::VImage::new_from_source(
            source, "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        const char* name = nullptr;
        if (vips_image_get_string(header.get_image(), VIPS_META_LOADER, &name) == 0 && name)
            h.loader = name;
        h.width = header.width();
        h.height = header.height();
        int interlaced = 0;
        h.interlaced = vips_image_get_typeof(header.get_image(), "interlaced") != 0 &&
                       vips_image_get_int(header.get_image(), "interlaced", &interlaced) == 0 &&
                       interlaced != 0;
        h.read = true;
    } catch (const vips::VError&) {
        vips_error_clear();
    }
    return h;
}

bool isJpeg(const Header& h) {
    return h.loader.rfind("jpegload", 0) == 0;
}

// A JPEG's data against the least its declared size needs.
platform::Result<void> checkJpegData(const std::string& path) {
    handles::FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return platform::Result<void>::success();
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) return platform::Result<void>::success();
    long long width = 0, height = 0;
    bool arithmetic = false;
    if (!readJpegHeader(file.get(), width, height, arithmetic) || arithmetic)
        return platform::Result<void>::success();
    long long blocks = ((width + 7) / 8) * ((height + 7) / 8);
    if (st.st_size < blocks / 8)
        return platform::Result<void>::failure(
            path + ": " + std::to_string(st.st_size) + " bytes cannot hold the data of a " +
            std::to_string(width) + " x " + std::to_string(height) + " JPEG");
    return platform::Result<void>::success();
}

platform::Result<void> checkHeader(const std::string& path, const Header& h) {
    if (!h.read) return platform::Result<void>::success();  // the decoder reports what is wrong
    static const std::set<std::string> streaming = {
        "jpegload_source",      "jpegload",     "pngload_source",  "pngload",
        "tiffload_source",      "tiffload",     "vipsload_source", "vipsload",
        "ppmload_source",       "ppmload",      "radload_source",  "radload",
        "svgload_source",       "svgload",      "pdfload_source",  "pdfload",
        "openslideload_source", "openslideload"};
    if (!streaming.count(h.loader) && h.width * h.height > maxFramePixels)
        return platform::Result<void>::failure(path + ": image too large (" +
                                               std::to_string(h.width) + " x " +
                                               std::to_string(h.height) + " pixels)");
    if (!isJpeg(h)) return platform::Result<void>::success();
    return checkJpegData(path);
}

// The whole of a regular file of at most `limit` bytes (what could be read of
// it, when it shrinks meanwhile).
std::optional<std::string> readFile(const std::string& path, off_t limit) {
    handles::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit)
        return std::nullopt;
    std::string bytes(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd.get(), &bytes[done], bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    bytes.resize(done);
    return bytes;
}

// A progressive JPEG that libvips decodes at 1/8, as its DC scans alone.
std::optional<DcScans> dcScansOf(const std::string& path, const Header& h, int size) {
    // Far above any photo; a larger file goes the whole way.
    constexpr off_t largest = 256 << 20;
    if (!isJpeg(h) || !h.interlaced || !decodedAtEighth(h.width, h.height, size))
        return std::nullopt;
    std::optional<std::string> bytes = readFile(path, largest);
    if (!bytes) return std::nullopt;
    std::optional<DcScans> scans = dcScansOnly(*bytes);
    if (!scans || scans->width != h.width || scans->height != h.height) return std::nullopt;
    return scans;
}

// libvips's squashed thumbnail: shrink-on-load, EXIF orientation; from the
// DC scans when there are any (kept alive by the caller while the pixels are
// computed). Throws the library's error.
vips::VImage thumbnailOf(const handles::VipsFileName& name, const std::optional<DcScans>& scans,
                         int size) {
    using vips::VImage;
    // A damaged file (truncated, corrupt data) is an error, not an image
    // padded with grey.
    auto options = [&] {
        return VImage::option()
            ->set("height", size)
            ->set("size", VIPS_SIZE_FORCE)
            ->set("fail_on", VIPS_FAIL_ON_ERROR);
    };
    // The source is opened before the options are made: options handed to
    // no operation (the open threw) would never be freed.
    if (scans) {
        vips::VSource source =
            vips::VSource::new_from_memory(scans->jpeg.data(), scans->jpeg.size());
        return VImage::thumbnail_source(source, size, options());
    }
    return VImage::thumbnail(name.c_str(), size, options());
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

}  // namespace

platform::Result<void> checkDecodable(const std::string& path) {
    return checkHeader(path, readHeader(path));
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
    auto name = handles::VipsFileName::of(path);
    if (!name.ok()) return name.failed();
    try {
        Header header = readHeader(path);
        if (auto covered = checkHeader(path, header); !covered.ok()) return covered.failed();
        std::optional<DcScans> scans = dcScansOf(path, header, size);
        return pixelsOf(thumbnailOf(name.value(), scans, size), size);
    } catch (const vips::VError& e) {
        return Pixels::failure(oneLine(name.value().text(handles::vipsErrorText(e.what()))));
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
