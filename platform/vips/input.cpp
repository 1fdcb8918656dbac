#include "vips/input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vips/vips8>

#include "files/files.h"

namespace vips {

struct Input::State {
    std::string path;
    int fd = -1;                                     // owned by the source, which reads it
    SourcePtr source;                                // libvips may hold it a while after the Input
    std::optional<platform::Result<Header>> header;  // read on first use
};

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
SourcePtr readerSource(handles::FileDescriptor fd) {
    SourcePtr source(reinterpret_cast<VipsSource*>(vips_source_custom_new()));
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

// libvips's own text with the path in place of the name libvips gives the
// source (it knows the file by no other), on one line that names the file.
std::string named(const Input::State& state, const char* what) {
    std::string text = errorText(what);
    std::string nick = VIPS_OBJECT(state.source.get())->nickname;
    for (size_t at = 0; !nick.empty() && (at = text.find(nick, at)) != std::string::npos;
         at += state.path.size())
        text.replace(at, nick.size(), state.path);
    if (text.empty()) text = "cannot be decoded";
    // A text naming the file (in quotes) keeps its own wording.
    if (text.find('"' + state.path + '"') != std::string::npos) return text;
    return state.path + ": " + text;
}

Header headerOf(const VImage& image, std::string loader) {
    VipsImage* in = image.get_image();
    Header h;
    h.loader = std::move(loader);
    h.width = image.width();
    h.height = image.height();
    h.bands = image.bands();
    h.format = image.format();
    h.interpretation = vips_image_guess_interpretation(in);
    h.hasAlpha = vips_image_hasalpha(in);
    h.orientation = vips_image_get_orientation(in);
    h.hasColorProfile = vips_image_get_typeof(in, VIPS_META_ICC_NAME) != 0;
    int interlaced = 0;
    h.interlaced = vips_image_get_typeof(in, "interlaced") != 0 &&
                   vips_image_get_int(in, "interlaced", &interlaced) == 0 && interlaced != 0;
    const char* compression = nullptr;
    if (vips_image_get_typeof(in, "heif-compression") != 0 &&
        vips_image_get_string(in, "heif-compression", &compression) == 0 && compression)
        h.heifCompression = compression;
    return h;
}

platform::Result<Header> readHeader(const Input::State& state) {
    const char* step = "reading the image's header";
    std::optional<std::string> loader = allowedLoaderOf(state.source.get());
    if (!loader) return platform::Failure{state.path + ": not a known file format", step};
    try {
        // Only the header is read here; pixels would be decoded on demand.
        VImage image =
            VImage::new_from_source(VSource(state.source.get(), NOSTEAL), "",
                                    VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        return headerOf(image, std::move(*loader));
    } catch (const VError& e) {
        return platform::Failure{named(state, e.what()), step};
    }
}

}  // namespace

platform::Result<Input> Input::open(const std::string& path) {
    if (auto started = start(); !started.ok()) return started.failed();
    auto fd = files::openInput(path);
    if (!fd.ok()) return platform::Failure{path + ": " + fd.error(), "opening the image file"};
    auto state = std::make_shared<State>();
    state->path = path;
    state->fd = fd.value().get();
    state->source = readerSource(std::move(fd.value()));
    return Input(std::move(state));
}

const std::string& Input::path() const {
    return state_->path;
}

int Input::descriptor() const {
    return state_->fd;
}

std::string Input::readAt(long long offset, std::size_t length) const {
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(state_->fd, &bytes[done], length - done, off_t(offset) + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    bytes.resize(done);
    return bytes;
}

_VipsSource* Input::source() const {
    return state_->source.get();
}

platform::Result<Header> Input::header() const {
    if (!state_->header) state_->header = readHeader(*state_);
    return *state_->header;
}

std::string Input::failure(const char* what) const {
    return named(*state_, what);
}

}  // namespace vips
