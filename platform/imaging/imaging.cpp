#include "imaging/imaging.h"

#include <malloc.h>
#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <set>
#include <vips/vips8>

// libjpeg's header declares no linkage of its own.
extern "C" {
#include <jpeglib.h>
}

namespace imaging {

namespace {

// The library's message, lines joined: a response carries it on one line.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, "; ");
    return text.empty() ? "unknown imaging error" : text;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

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

}  // namespace

Result<bool> checkDecodable(const std::string& path) {
    std::string loader;
    long long width = 0, height = 0;
    try {
        // The source first: the options would leak if opening it threw.
        vips::VSource source = vips::VSource::new_from_file(path.c_str());
        vips::VImage header = vips::VImage::new_from_source(
            source, "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        const char* name = nullptr;
        if (vips_image_get_string(header.get_image(), VIPS_META_LOADER, &name) == 0 && name)
            loader = name;
        width = header.width();
        height = header.height();
    } catch (const vips::VError&) {
        vips_error_clear();
        return true;  // the decoder reports what is wrong with the file
    }
    static const std::set<std::string> streaming = {
        "jpegload_source",      "jpegload",     "pngload_source",  "pngload",
        "tiffload_source",      "tiffload",     "vipsload_source", "vipsload",
        "ppmload_source",       "ppmload",      "radload_source",  "radload",
        "svgload_source",       "svgload",      "pdfload_source",  "pdfload",
        "openslideload_source", "openslideload"};
    if (!streaming.count(loader) && width * height > maxFramePixels)
        return Result<bool>::failure(path + ": image too large (" + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels)");
    if (loader.rfind("jpegload", 0) != 0) return true;

    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return true;
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) return true;
    bool arithmetic = false;
    if (!readJpegHeader(file.get(), width, height, arithmetic) || arithmetic) return true;
    long long blocks = ((width + 7) / 8) * ((height + 7) / 8);
    if (st.st_size < blocks / 8)
        return Result<bool>::failure(path + ": " + std::to_string(st.st_size) +
                                     " bytes cannot hold the data of a " + std::to_string(width) +
                                     " x " + std::to_string(height) + " JPEG");
    return true;
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
        // vips_init does nothing when vips is already running (the thumbnail
        // renderer starts it too).
        if (VIPS_INIT("pixsig") != 0) return false;
        // Warnings about damaged files would go to standard error, which
        // belongs to the tool's own messages; failures come back as errors.
        g_log_set_handler(
            "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
        // Each image is read once: the operation cache would only hold on to
        // decoded pixels and open files in a long-running server.
        vips_cache_set_max(0);
        return true;
    }();
    (void)started;
}

Result<std::vector<unsigned char>> networkPixels(const std::string& path, int size) {
    using R = Result<std::vector<unsigned char>>;
    using vips::VImage;
    startImaging();
    vips_error_clear();
    try {
        // A damaged file (truncated, corrupt data) is an error, not an image
        // padded with grey.
        auto options = [&] {
            return VImage::option()
                ->set("height", size)
                ->set("size", VIPS_SIZE_FORCE)
                ->set("fail_on", VIPS_FAIL_ON_ERROR);
        };
        // libvips reads "name[options]" as a file name with load options; a
        // path that itself ends in "]" is opened as a file as given.
        // The source is opened before the options are made: options handed to
        // no operation (the open threw) would never be freed.
        if (auto covered = checkDecodable(path); !covered.ok()) return R::failure(covered.error());
        VImage image;
        if (!path.empty() && path.back() == ']') {
            vips::VSource source = vips::VSource::new_from_file(path.c_str());
            image = VImage::thumbnail_source(source, size, options());
        } else {
            image = VImage::thumbnail(path.c_str(), size, options());
        }
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
            return R::failure("image resized to the wrong size");
        size_t length = 0;
        void* bytes = image.write_to_memory(&length);
        std::vector<unsigned char> pixels(static_cast<unsigned char*>(bytes),
                                          static_cast<unsigned char*>(bytes) + length);
        g_free(bytes);
        if (pixels.size() != size_t(size) * size * 3) return R::failure("unexpected pixel layout");
        return pixels;
    } catch (const vips::VError& e) {
        vips_error_clear();
        return R::failure(oneLine(e.what()));
    }
}

void releaseIdleMemory() {
    malloc_trim(0);
}

Result<std::vector<float>> networkInput(const std::string& path, int size) {
    Result<std::vector<unsigned char>> pixels = networkPixels(path, size);
    if (!pixels.ok()) return Result<std::vector<float>>::failure(pixels.error());
    std::vector<float> values(pixels.value().size());
    for (size_t i = 0; i < values.size(); i++)
        values[i] = float(pixels.value()[i]) / 255.0f;
    return values;
}

}  // namespace imaging
