#include "raw/raw.h"

#include <libraw/libraw.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

// LibRaw's parallel loops run on OpenMP: one thread computes a request.
extern "C" void omp_set_num_threads(int count);

namespace raw {

namespace {

using Bytes = long long;

// LibRaw's flip (dcraw's: bit 0 mirrors, bit 1 flips, bit 2 transposes) as
// the EXIF orientation that stands for it.
int orientationOf(int flip) {
    static const int exif[8] = {1, 2, 4, 3, 5, 8, 6, 7};
    return flip >= 0 && flip < 8 ? exif[flip] : 1;
}

platform::Failure libraryFailure(int code, const char* step) {
    return {libraw_strerror(code), step};
}

struct ProcessedFree {
    void operator()(libraw_processed_image_t* image) const noexcept {
        LibRaw::dcraw_clear_mem(image);
    }
};

struct TurboJpegFree {
    void operator()(void* handle) const noexcept { tjDestroy(handle); }
};

}  // namespace

// LibRaw's reader over the caller's descriptor: pread from a place of its
// own, through a buffer (LibRaw's decoders read a byte at a time). Written
// by hand: LibRaw's own streams open a file by name or read memory.
struct RawFile::Stream final : LibRaw_abstract_datastream {
    Stream(int fd, Bytes size) : fd_(fd), size_(size) {}

    bool damaged = false;  // LibRaw met data it could not decode

    int valid() override { return fd_ >= 0; }

    int read(void* into, size_t size, size_t count) override {
        if (size == 0 || count == 0) return 0;
        size_t want = size * count, done = 0;
        auto* out = static_cast<char*>(into);
        while (done < want) {
            if (!fill()) break;
            size_t n = std::min(want - done, size_t(end_ - (pos_ - start_)));
            std::memcpy(out + done, buffer_ + (pos_ - start_), n);
            pos_ += Bytes(n);
            done += n;
        }
        return int(done / size);
    }

    int seek(INT64 offset, int whence) override {
        Bytes base = whence == SEEK_CUR ? pos_ : whence == SEEK_END ? size_ : 0;
        pos_ = std::clamp<Bytes>(base + offset, 0, size_);
        return 0;
    }

    INT64 tell() override { return pos_; }
    INT64 size() override { return size_; }

    int get_char() override {
        if (!fill()) return -1;
        return static_cast<unsigned char>(buffer_[pos_++ - start_]);
    }

    char* gets(char* line, int length) override {
        if (length < 1) return nullptr;
        int n = 0;
        while (n < length - 1) {
            int c = get_char();
            if (c < 0) break;
            line[n++] = char(c);
            if (c == '\n') break;
        }
        line[n] = '\0';
        return n > 0 ? line : nullptr;
    }

    int scanf_one(const char* format, void* value) override {
        // One whitespace-delimited token, as LibRaw's buffer stream reads it.
        char token[32];
        int n = 0, c;
        while ((c = get_char()) >= 0 && std::isspace(c)) {
        }
        while (c >= 0 && !std::isspace(c) && n < int(sizeof token) - 1) {
            token[n++] = char(c);
            c = get_char();
        }
        token[n] = '\0';
        return n > 0 ? std::sscanf(token, format, value) : -1;
    }

    int eof() override { return pos_ >= size_; }
    void* make_jas_stream() override { return nullptr; }

  private:
    // Whether the byte at pos_ is in the buffer, reading it when it is not.
    bool fill() {
        if (pos_ >= start_ && pos_ - start_ < end_) return true;
        if (pos_ >= size_) return false;
        ssize_t n;
        do
            n = ::pread(fd_, buffer_, sizeof buffer_, pos_);
        while (n < 0 && errno == EINTR);
        start_ = pos_;
        end_ = n > 0 ? Bytes(n) : 0;
        return end_ > 0;
    }

    int fd_;
    Bytes size_;
    Bytes pos_ = 0;
    Bytes start_ = 0;  // file offset of buffer_[0]
    Bytes end_ = 0;    // bytes held
    char buffer_[64 * 1024];
};

struct RawFile::Library {
    struct Close {
        void operator()(libraw_data_t* data) const noexcept { libraw_close(data); }
    };
    std::unique_ptr<libraw_data_t, Close> data;
};

bool mayBeRaw(std::string_view head) {
    auto starts = [&](std::string_view magic, size_t at = 0) {
        return head.size() >= at + magic.size() && head.substr(at, magic.size()) == magic;
    };
    using namespace std::string_view_literals;
    return starts("II*\0"sv) || starts("MM\0*"sv) ||  // TIFF
           starts("IIRO"sv) || starts("IIRS"sv) ||    // Olympus ORF
           starts("MMOR"sv) || starts("IIU\0"sv) ||   // Olympus ORF, Panasonic RW2
           starts("FUJIFILMCCD-RAW"sv) ||             // Fujifilm RAF
           (starts("ftypcrx "sv, 4));                 // Canon CR3
}

RawFile::RawFile(std::unique_ptr<Stream> stream, std::unique_ptr<Library> library)
    : stream_(std::move(stream)), library_(std::move(library)) {}
RawFile::RawFile(RawFile&&) noexcept = default;
RawFile& RawFile::operator=(RawFile&&) noexcept = default;
RawFile::~RawFile() = default;

std::optional<RawFile> RawFile::open(int fd) {
    char head[16];
    ssize_t n;
    do
        n = ::pread(fd, head, sizeof head, 0);
    while (n < 0 && errno == EINTR);
    struct stat st {};
    if (n <= 0 || !mayBeRaw(std::string_view(head, size_t(n))) || ::fstat(fd, &st) != 0)
        return std::nullopt;
    auto stream = std::make_unique<Stream>(fd, Bytes(st.st_size));
    // No callbacks of LibRaw's own: they print on standard error.
    auto library = std::make_unique<Library>();
    library->data.reset(
        libraw_init(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
    libraw_data_t* data = library->data.get();
    if (!data) return std::nullopt;
    libraw_set_dataerror_handler(
        data, [](void* damaged, const char*, int) { *static_cast<bool*>(damaged) = true; },
        &stream->damaged);
    if (static_cast<LibRaw*>(data->parent_class)->open_datastream(stream.get()) != LIBRAW_SUCCESS)
        return std::nullopt;
    const libraw_image_sizes_t& s = data->sizes;
    // A TIFF that is no camera's picture (an 8-bit or RGB one) is no RAW.
    if (data->idata.raw_count < 1 || s.raw_width < 1 || s.raw_height < 1 || s.width < 1 ||
        s.height < 1)
        return std::nullopt;
    RawFile file(std::move(stream), std::move(library));
    Picture& p = file.picture_;
    const libraw_data_t& d = *data;
    p.width = d.sizes.width;
    p.height = d.sizes.height;
    // Photosites that are not square are stretched square in development.
    if (d.sizes.pixel_aspect > 1.0)
        p.width = std::llround(p.width * d.sizes.pixel_aspect);
    else if (d.sizes.pixel_aspect > 0 && d.sizes.pixel_aspect < 1.0)
        p.height = std::llround(p.height / d.sizes.pixel_aspect);
    p.orientation = orientationOf(d.sizes.flip);
    p.camera = std::string(d.idata.make) + " " + d.idata.model;
    file.fileBytes_ = Bytes(st.st_size);
    return file;
}

namespace {

// The memory a development takes at full or half size (raw.h).
Bytes developBytes(const libraw_data_t& d, bool half) {
    Bytes photosites = Bytes(d.sizes.raw_width) * d.sizes.raw_height;
    // Colour-filter sensors keep one value a photosite, others four.
    Bytes rawBytes = photosites * (d.idata.filters ? 2 : 8);
    Bytes pixels = Bytes(d.sizes.width) * d.sizes.height;
    if (half && d.idata.filters) pixels /= 4;
    // Four 16-bit values a pixel while developing, three bytes a pixel out.
    return rawBytes + pixels * (8 + 3);
}

}  // namespace

platform::Result<void> RawFile::checkDecodable() const {
    const libraw_data_t& d = *library_->data;
    Bytes photosites = Bytes(d.sizes.raw_width) * d.sizes.raw_height;
    std::string declared =
        std::to_string(d.sizes.raw_width) + " x " + std::to_string(d.sizes.raw_height);
    if (fileBytes_ < photosites / 64 / 8)
        return platform::Failure{std::to_string(fileBytes_) + " bytes cannot hold the data of a " +
                                     declared + " camera RAW",
                                 ""};
    if (developBytes(d, true) > maxDevelopBytes)
        return platform::Failure{"image too large (" + declared + " photosites)", ""};
    return platform::Result<void>::success();
}

platform::Result<std::optional<Rendering>> RawFile::preview(long long width, long long height) {
    using R = platform::Result<std::optional<Rendering>>;
    libraw_data_t& d = *library_->data;
    auto* library = static_cast<LibRaw*>(d.parent_class);
    // A preview that cannot be read is no preview: the picture is developed.
    // (Its format is known once it is read.)
    if (library->unpack_thumb() != LIBRAW_SUCCESS || d.thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG ||
        !d.thumbnail.thumb || d.thumbnail.tlength < 4)
        return R(std::nullopt);
    std::unique_ptr<void, TurboJpegFree> decoder(tjInitDecompress());
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    if (!decoder ||
        tjDecompressHeader3(decoder.get(), reinterpret_cast<unsigned char*>(d.thumbnail.thumb),
                            d.thumbnail.tlength, &w, &h, &subsampling, &colourspace) != 0)
        return R(std::nullopt);
    // It must show the whole picture (its aspect within 1%), as stored, at
    // the size asked for or the picture's own.
    double aspect = double(picture_.width) / double(picture_.height);
    bool whole = std::abs(double(w) / h - aspect) <= 0.01 * aspect;
    bool covers = (w >= width && h >= height) || (w >= picture_.width && h >= picture_.height);
    if (!whole || !covers) return R(std::nullopt);
    Rendering r;
    r.kind = Rendering::Kind::preview;
    r.jpeg.assign(d.thumbnail.thumb, d.thumbnail.tlength);
    r.width = w;
    r.height = h;
    return R(std::move(r));
}

platform::Result<Rendering> RawFile::develop(long long width, long long height) {
    using R = platform::Result<Rendering>;
    libraw_data_t& d = *library_->data;
    auto* library = static_cast<LibRaw*>(d.parent_class);
    libraw_output_params_t& o = d.params;
    o.use_camera_wb = 1;
    o.output_color = 1;  // sRGB primaries
    o.output_bps = 8;
    o.gamm[0] = 1 / 2.4;  // sRGB's transfer curve
    o.gamm[1] = 12.92;
    o.user_flip = 0;  // pixels as stored
    // A film scanner's NEF holds a picture already rendered, not a sensor's
    // data: its samples are given back as they are. (LibRaw 0.20 develops
    // its 8-bit scans as sensor data with an 8-bit white point: all white.)
    libraw_decoder_info_t decoder{};
    if (library->get_decoder_info(&decoder) == LIBRAW_SUCCESS && decoder.decoder_name &&
        std::strstr(decoder.decoder_name, "coolscan")) {
        o.gamm[0] = o.gamm[1] = 1;
        o.no_auto_bright = 1;
        o.user_sat = 65535;
    }
    // Half size (a pixel from each 2x2 block of photosites) when that still
    // covers the request, or when full size would take too much memory.
    bool halfCovers = (picture_.width / 2 >= width && picture_.height / 2 >= height);
    o.half_size = d.idata.filters && (halfCovers || developBytes(d, false) > maxDevelopBytes);
    omp_set_num_threads(1);
    if (int e = library->unpack(); e != LIBRAW_SUCCESS)
        return libraryFailure(e, "unpacking the sensor data");
    if (stream_->damaged) return libraryFailure(LIBRAW_DATA_ERROR, "unpacking the sensor data");
    if (int e = library->dcraw_process(); e != LIBRAW_SUCCESS)
        return libraryFailure(e, "developing the picture");
    int e = LIBRAW_SUCCESS;
    std::unique_ptr<libraw_processed_image_t, ProcessedFree> image(
        library->dcraw_make_mem_image(&e));
    if (!image) return libraryFailure(e, "developing the picture");
    // The sensor data and the working image go before the pixels are copied.
    library->recycle();
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 ||
        (image->colors != 3 && image->colors != 1) || image->width < 1 || image->height < 1)
        return R::failure("unexpected developed image", "developing the picture");
    Rendering r;
    r.width = image->width;
    r.height = image->height;
    size_t pixels = size_t(r.width) * size_t(r.height);
    if (image->colors == 3) {
        r.rgb.assign(image->data, image->data + pixels * 3);
    } else {
        r.rgb.resize(pixels * 3);
        for (size_t i = 0; i < pixels; i++)
            std::fill_n(&r.rgb[3 * i], 3, image->data[i]);
    }
    return r;
}

platform::Result<Rendering> RawFile::render(long long width, long long height) {
    if (auto fits = checkDecodable(); !fits.ok()) return fits.failed();
    auto preview = this->preview(width, height);
    if (!preview.ok()) return preview.failed();
    if (preview.value()) return std::move(*preview.value());
    return develop(width, height);
}

}  // namespace raw
