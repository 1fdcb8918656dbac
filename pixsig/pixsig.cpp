// pixsig: the image command-line tool.
//
//   pixsig --serve            answer one JSON request per line on standard input
//   pixsig --model            print the feature-print model identifier
//   pixsig --thumb-protocol   print the thumbnail protocol version
//   pixsig <image>...         one feature-print response line per image
//
// One thread of work: read a request, handle it completely, write its one
// response line (the JSON bytes, then "\n", two unbuffered writes), read the
// next. The feature-print `request` is made once at start and reused.

#include <glib.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pixsig.h"

#include "files/files.h"
#include "handles/glib.h"
#include "imaging/imaging.h"
#include "thumbnails/thumbnails.h"
#include "vips/input.h"
#include "vision/vision.h"

using Json = nlohmann::json;

namespace {

// Process-wide values.
std::vector<std::string> arguments;

// Writes all bytes to a descriptor. A closed standard output (the host went
// away) ends the process quietly: nobody is left to read the answers.
void writeAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE && fd == STDOUT_FILENO) std::_Exit(0);
        if (n <= 0) return;
        done += size_t(n);
    }
}

}  // namespace

// One response line on standard output: the compact JSON, then "\n", as two
// unbuffered writes. Text that is not valid UTF-8 (an argument's raw bytes,
// a library message) is written with U+FFFD in place of the bad bytes.
void writeResponse(const Json& response) {
    writeAll(STDOUT_FILENO, response.dump(-1, ' ', false, Json::error_handler_t::replace));
    writeAll(STDOUT_FILENO, "\n");
}

// ---------------------------------------------------------------------------
// Feature prints and responses

namespace {

// The identifier of this build's feature print: MobileNetV2 (width 1.4)
// Conv_1 averaged and unit length, 1792 floats.
constexpr const char* modelIdentifier = "vision-fp-r2";

// The process's feature-print request, made at start; the network is read on
// first use and kept for the life of the process.
std::optional<vision::FeaturePrintRequest> request;

}  // namespace

// The unit-length feature print of the image at `path`, or the error text.
platform::Result<std::vector<float>> featurePrint(const std::string& path) {
    using R = platform::Result<std::vector<float>>;
    platform::Result<std::vector<float>> pixels =
        imaging::networkInput(path, vision::FeaturePrintRequest::imageSize);
    if (!pixels.ok()) return R::failure(pixels.error());
    if (!request) request.emplace(vision::defaultModelPath());
    R print = request->perform(pixels.value());
    if (print.ok() && print.value().empty()) return R::failure("no feature print for " + path);
    return print;
}

// Writes the one response line for an image: its print, or why there is none.
void respond(const std::string& id, const std::string& path) {
    Json response = {{"id", id}};
    platform::Result<std::vector<float>> print = featurePrint(path);
    if (print.ok()) {
        const std::vector<float>& values = print.value();
        static_assert(sizeof(float) == 4);
        // The floats' bytes as they lie in memory: little-endian on x86-64.
        handles::GlibString b64(g_base64_encode(reinterpret_cast<const guchar*>(values.data()),
                                                values.size() * sizeof(float)));
        response["ok"] = true;
        response["model"] = modelIdentifier;
        response["dim"] = values.size();
        response["b64"] = b64.get();
    } else {
        response["ok"] = false;
        response["error"] = print.error();
    }
    writeResponse(response);
}

// ---------------------------------------------------------------------------
// Thumbnail protocol and renderer

namespace {

// The largest bitmap a redraw makes: 50 megapixels, and no side longer than
// the 65500 pixels that JPEG can hold.
constexpr long long maxRedrawPixels = 50'000'000;
constexpr long long maxRedrawSide = 65500;

}  // namespace

// The image drawn into a new bitmap of exactly width x height pixels,
// stretched to fill it with high-quality interpolation.
thumbnails::Image redrawn(const thumbnails::Image& image, long long width, long long height) {
    ThumbnailError failure{
        "can't resize to " + std::to_string(width) + " × " + std::to_string(height), true};
    if (width < 1 || height < 1 || width > maxRedrawSide || height > maxRedrawSide ||
        width * height > maxRedrawPixels)
        throw failure;
    auto result = thumbnails::stretched(image, int(width), int(height));
    if (!result.ok()) throw failure;
    return std::move(result.value());
}

// Writes a JPEG thumbnail of the image at `path` to `out` and returns its
// width and height; throws ThumbnailError. Nothing at `out` is touched before
// the JPEG has been encoded.
std::pair<long long, long long> thumbnail(const std::string& path, const std::string& out,
                                          long long size, double quality, bool transform,
                                          std::optional<long long> orientation,
                                          std::optional<std::pair<long long, long long>> exact) {
    auto source = thumbnails::Source::open(path);
    if (!source.ok()) throw ThumbnailError{"can't open " + path, false};
    auto properties = source.value().properties();
    if (!properties.ok()) throw ThumbnailError{"can't read " + path, false};
    const thumbnails::Properties& p = properties.value();

    std::string model = p.colorModel.empty() ? "unknown" : p.colorModel;
    if (model != "RGB") throw ThumbnailError{"colour model " + model, true};
    if (p.hasAlpha) throw ThumbnailError{"transparency", true};
    if (p.depth >= 9) throw ThumbnailError{std::to_string(p.depth) + " bits a channel", true};
    if (p.width <= 0 || p.height <= 0) throw ThumbnailError{"no size for " + path, false};

    // An orientation outside 1 to 8 names no orientation: the file's own is
    // used. A given orientation is only ever written into the JPEG: with
    // `transform` the pixels are turned by the file's own orientation.
    int turn =
        orientation && *orientation >= 1 && *orientation <= 8 ? int(*orientation) : p.orientation;

    // An `out` that cannot take the thumbnail (a device, a folder, the image
    // itself) is refused before the image is decoded.
    auto imageFile = files::identityOf(path);
    if (!files::checkDestination(out, imageFile).ok())
        throw ThumbnailError{"can't write " + out, false};

    long long maxPixelSize = std::min(std::max(p.width, p.height), size);
    if (maxPixelSize < 1) throw ThumbnailError{"can't decode " + path, false};
    auto thumb = source.value().thumbnail({.maxPixelSize = int(maxPixelSize),
                                           .orientation = transform ? p.orientation : 1,
                                           .toSRGB = p.hasColorProfile});
    if (!thumb.ok()) throw ThumbnailError{"can't decode " + path, false};
    thumbnails::Image image = std::move(thumb.value());

    if (exact && exact->first > 0 && exact->second > 0 &&
        (image.width() != exact->first || image.height() != exact->second))
        image = redrawn(image, exact->first, exact->second);

    // A name holding a NUL byte names no file: the system would write the
    // one its first part names.
    if (out.find('\0') != std::string::npos) throw ThumbnailError{"can't write " + out, false};

    double q = std::round(quality * 100);
    int jpegQuality = q < 1 ? 1 : q > 100 ? 100 : int(q);
    auto jpeg = thumbnails::encodeJPEG(image, jpegQuality, !transform && turn != 1 ? turn : 1);
    if (!jpeg.ok()) throw ThumbnailError{"can't write " + out, false};
    if (!files::writeWholeFile(out, jpeg.value().data(), jpeg.value().size(), imageFile).ok())
        throw ThumbnailError{"can't write " + out, false};
    return {image.width(), image.height()};
}

namespace {

// An integer key: a JSON integer, or a JSON number with a whole value, within
// the signed 64-bit range. Anything else counts as absent.
std::optional<long long> integerKey(const Json& request, const char* key) {
    auto it = request.find(key);
    if (it == request.end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        auto v = it->get<unsigned long long>();
        if (v > static_cast<unsigned long long>(INT64_MAX)) return std::nullopt;
        return static_cast<long long>(v);
    }
    if (it->is_number_integer()) return it->get<long long>();
    if (it->is_number_float()) {
        double v = it->get<double>();
        // -2^63 <= v < 2^63, whole
        if (std::isfinite(v) && v == std::trunc(v) && v >= -9223372036854775808.0 &&
            v < 9223372036854775808.0)
            return static_cast<long long>(v);
    }
    return std::nullopt;
}

}  // namespace

// Handles one request line whose "op" is "thumb"; writes one response line.
// Everything the request makes is released before the response is written.
void respondThumb(const Json& request) {
    auto pathKey = request.find("path");
    auto idKey = request.find("id");
    auto outKey = request.find("out");
    bool havePath = pathKey != request.end() && pathKey->is_string();
    std::string path = havePath ? pathKey->get<std::string>() : std::string();
    Json response = {
        {"id", idKey != request.end() && idKey->is_string() ? idKey->get<std::string>() : path}};
    try {
        if (!havePath || outKey == request.end() || !outKey->is_string())
            throw ThumbnailError{"thumb needs path and out", false};
        auto qualityKey = request.find("quality");
        auto transformKey = request.find("transform");
        std::optional<std::pair<long long, long long>> exact;
        auto width = integerKey(request, "width");
        auto height = integerKey(request, "height");
        if (width && height) exact = std::make_pair(*width, *height);
        auto [w, h] = thumbnail(
            path, outKey->get<std::string>(), integerKey(request, "size").value_or(512),
            qualityKey != request.end() && qualityKey->is_number() ? qualityKey->get<double>()
                                                                   : 0.8,
            transformKey != request.end() && transformKey->is_boolean() &&
                transformKey->get<bool>(),
            integerKey(request, "orientation"), exact);
        response["ok"] = true;
        response["width"] = w;
        response["height"] = h;
    } catch (const ThumbnailError& e) {
        response["ok"] = false;
        response["error"] = e.message;
        if (e.declined) response["declined"] = true;
    } catch (const std::exception& e) {
        response["ok"] = false;
        response["error"] = e.what();
    }
    writeResponse(response);
}

// ---------------------------------------------------------------------------
// Entry, batch mode and serve loop

namespace {

void badRequestLine() {
    static constexpr std::string_view message = "pixsig: bad request line\n";
    writeAll(STDERR_FILENO, message);
}

// A request line's top-level members that the serve loop and the thumbnail
// protocol read, with their JSON types as parsed. Everything else on the line
// is checked by the parser and dropped as it goes: an ignored member, however
// deeply nested or long, is never built as a value.
class RequestMembers final : public Json::json_sax_t {
  public:
    // The kept members; a kept key whose value is an array or object holds an
    // empty one of its kind. Of duplicate keys the last counts.
    Json members = Json::object();

    bool null() override { return value(nullptr); }
    bool boolean(bool v) override { return value(v); }
    bool number_integer(number_integer_t v) override { return value(v); }
    bool number_unsigned(number_unsigned_t v) override { return value(v); }
    bool number_float(number_float_t v, const string_t&) override { return value(v); }
    // The parser's own buffer is handed over, not copied.
    bool string(string_t& v) override { return value(std::move(v)); }
    bool binary(binary_t&) override { return false; }  // never in JSON text

    bool start_object(std::size_t) override { return open(Json::value_t::object); }
    bool start_array(std::size_t) override {
        // A line whose top level is an array is bad however it goes on.
        return depth > 0 && open(Json::value_t::array);
    }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override {
        if (depth == 1) {
            current = nullptr;
            for (const char* kept : keptKeys)
                if (name == kept) current = kept;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const Json::exception&) override {
        return false;
    }

  private:
    static constexpr const char* keptKeys[] = {"path",      "op",         "id",    "out",
                                               "size",      "quality",    "width", "height",
                                               "transform", "orientation"};

    std::size_t depth = 0;          // 1 inside the top-level object
    const char* current = nullptr;  // the kept key whose value comes next, at depth 1

    // A value at depth 0 is a bare scalar: not a request.
    bool value(Json v) {
        if (depth == 0) return false;
        if (depth == 1 && current) members[current] = std::move(v);
        return true;
    }
    bool open(Json::value_t kind) {
        if (depth == 1 && current) members[current] = Json(kind);
        ++depth;
        return true;
    }
    bool close() {
        --depth;
        return true;
    }
};

// The kept members of a request line's top-level object; none when the line
// is not exactly one JSON object (whitespace around it allowed).
std::optional<Json> requestMembers(std::string_view text) {
    RequestMembers reader;
    if (!Json::sax_parse(text, &reader)) return std::nullopt;
    return std::move(reader.members);
}

}  // namespace

// Checks and dispatches one request line (terminator already removed).
//
// Memory: the line is parsed where it lies in the read buffer. Besides it,
// the parser holds the current stretch of the line twice at most (the raw
// bytes since its last string, number or literal began, and a string's
// decoded text; a kept string is then moved, not copied) and one bit per
// level of nesting; no ignored value is built. So a line of valid UTF-8 peaks at about 3x its
// length, 4x while the parser's buffers grow (measured 3.8x for a 16 MiB
// string). A line with bytes that are not UTF-8 is first copied with U+FFFD
// in their place, up to three times as long: about 11x at worst.
void handleLine(std::string_view raw) {
    if (raw.empty()) return;
    // A NUL byte is never part of a JSON text; GLib would turn it into
    // U+FFFD and so make a bad line look good.
    if (raw.find('\0') != std::string_view::npos) return badRequestLine();
    // Bytes that are not UTF-8 become U+FFFD before the parser sees the line;
    // valid text (every real request) is parsed where it lies.
    handles::GlibString valid;
    std::string_view text = raw;
    if (!g_utf8_validate_len(raw.data(), raw.size(), nullptr)) {
        valid.reset(g_utf8_make_valid(raw.data(), gssize(raw.size())));
        text = valid.get();
    }
    std::optional<Json> line = requestMembers(text);
    valid.reset();
    if (!line) return badRequestLine();
    auto path = line->find("path");
    if (path == line->end() || !path->is_string()) return badRequestLine();
    auto op = line->find("op");
    if (op != line->end() && op->is_string() && op->get_ref<const std::string&>() == "thumb")
        return respondThumb(*line);
    auto id = line->find("id");
    const std::string& pathText = path->get_ref<const std::string&>();
    respond(id != line->end() && id->is_string() ? id->get_ref<const std::string&>() : pathText,
            pathText);
}

namespace {

// The longest request line held and handled: far above any real request (a
// path is at most 4 KiB). A longer line is a bad request line, skipped to its
// line feed without being held, so that memory stays bounded whatever the
// host sends.
constexpr size_t maxLineBytes = 16u << 20;

// How long standard input stays quiet before the server counts as idle.
constexpr int idleMilliseconds = 500;

}  // namespace

// Reads standard input line by line until it ends.
void serve() {
    std::string buffer;
    size_t start = 0;       // first byte of the line not yet handled
    size_t scanned = 0;     // bytes already searched for a line feed
    bool overlong = false;  // the current line passed maxLineBytes and is being skipped
    char chunk[65536];
    for (;;) {
        size_t end;
        while ((end = buffer.find('\n', scanned)) != std::string::npos) {
            size_t stop = end > start && buffer[end - 1] == '\r' ? end - 1 : end;
            if (overlong)
                badRequestLine();
            else
                handleLine(std::string_view(buffer).substr(start, stop - start));
            overlong = false;
            start = scanned = end + 1;
        }
        buffer.erase(0, start);
        start = 0;
        if (buffer.size() > maxLineBytes) {
            overlong = true;
            buffer.clear();
        }
        scanned = buffer.size();
        // Nothing to do until the host writes again: once it has been quiet
        // for a moment, give the heap pages the last images left free back to
        // the system (the next image pays the page faults of touching them).
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, idleMilliseconds) == 0) malloc_trim(0);
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
    }
    // A last line without a line feed still counts.
    if (overlong)
        badRequestLine();
    else if (!buffer.empty())
        handleLine(buffer);
}

#ifndef PIXSIG_NO_MAIN
int main(int argc, char** argv) {
    // A host that closes the pipe gets EPIPE on the next write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    // libvips decodes on worker threads, and glibc gives each thread that
    // allocates its own arena: freed pixel buffers then stay resident in
    // whichever arena they came from, and a long-running server grows with
    // the variety of images it has seen. One arena serves the few threads of
    // one request just as fast. In that one heap, buffers up to 32 MiB (the
    // largest threshold glibc takes; a progressive JPEG's coefficients take
    // up to 24 MiB a component for a 4000-pixel-wide photo) and up to
    // 128 MiB of free memory at its top stay between requests: each image
    // reuses the pages the last one touched instead of having fresh ones
    // faulted in and zeroed by the system, which took about half of the
    // processor time of a photo's thumbnail or print. An idle server hands
    // them back (serve).
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    // One thread computes a request (a host that wants more runs more
    // processes): libvips's pool would otherwise start a worker per core.
    if (vips::start().ok()) vips::setWorkerThreads(1);
    // A thumbnail being written when the host ends the server leaves no
    // temporary file behind.
    files::removeTemporariesOnSignals();
    request.emplace(vision::defaultModelPath());
    arguments.assign(argv + 1, argv + argc);
    if (arguments.empty()) {
        static constexpr std::string_view usage = "Usage: pixsig --serve | pixsig <image>...\n";
        writeAll(STDERR_FILENO, usage);
        return 64;
    }
    const std::string& first = arguments.front();
    if (first == "--serve") {
        serve();
    } else if (first == "--model") {
        std::printf("%s\n", modelIdentifier);
    } else if (first == "--thumb-protocol") {
        std::fputs("1\n", stdout);
    } else {
        for (const std::string& path : arguments)
            respond(path, path);
    }
    return 0;
}
#endif
