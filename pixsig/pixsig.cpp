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
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if __has_include("featureprint.h")
#include "featureprint.h"
#define PIXSIG_HAVE_VISION 1
#endif
#if __has_include("decode.h")
#include "decode.h"
#endif

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

void respond(const std::string& id, const std::string& path) {
    Json response = {{"id", id}, {"ok", false}, {"error", "no feature print for " + path}};
    (void)path;
    writeResponse(response);
}

// ---------------------------------------------------------------------------
// Thumbnail protocol and renderer

// Handles one request line whose "op" is "thumb"; writes one response line.
void respondThumb(const Json& request) {
    (void)request;
}

// ---------------------------------------------------------------------------
// Entry, batch mode and serve loop

namespace {

void badRequestLine() {
    static constexpr std::string_view message = "pixsig: bad request line\n";
    writeAll(STDERR_FILENO, message);
}

// The line's bytes with every byte that is not part of valid UTF-8 replaced
// by U+FFFD.
std::string validUTF8(const std::string& bytes) {
    gchar* valid = g_utf8_make_valid(bytes.data(), gssize(bytes.size()));
    std::string text(valid);
    g_free(valid);
    return text;
}

}  // namespace

// Checks and dispatches one request line (terminator already removed).
void handleLine(const std::string& raw) {
    if (raw.empty()) return;
    // A NUL byte is never part of a JSON text; GLib would turn it into
    // U+FFFD and so make a bad line look good.
    if (raw.find('\0') != std::string::npos) return badRequestLine();
    Json line = Json::parse(validUTF8(raw), nullptr, false);
    if (line.is_discarded() || !line.is_object()) return badRequestLine();
    auto path = line.find("path");
    if (path == line.end() || !path->is_string()) return badRequestLine();
    auto op = line.find("op");
    if (op != line.end() && op->is_string() && op->get_ref<const std::string&>() == "thumb")
        return respondThumb(line);
    auto id = line.find("id");
    const std::string& pathText = path->get_ref<const std::string&>();
    respond(id != line.end() && id->is_string() ? id->get_ref<const std::string&>() : pathText,
            pathText);
}

// Reads standard input line by line until it ends; no limit on line length.
void serve() {
    std::string buffer;
    size_t start = 0;    // first byte of the line not yet handled
    size_t scanned = 0;  // bytes already searched for a line feed
    char chunk[65536];
    for (;;) {
        size_t end;
        while ((end = buffer.find('\n', scanned)) != std::string::npos) {
            size_t stop = end > start && buffer[end - 1] == '\r' ? end - 1 : end;
            handleLine(buffer.substr(start, stop - start));
            start = scanned = end + 1;
        }
        buffer.erase(0, start);
        start = 0;
        scanned = buffer.size();
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
    }
    // A last line without a line feed still counts.
    if (!buffer.empty()) handleLine(buffer);
}

#ifndef PIXSIG_NO_MAIN
int main(int argc, char** argv) {
    // A host that closes the pipe gets EPIPE on the next write, not a signal.
    signal(SIGPIPE, SIG_IGN);
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
        std::fputs("vision-fp-r2\n", stdout);
    } else if (first == "--thumb-protocol") {
        std::fputs("1\n", stdout);
    } else {
        for (const std::string& path : arguments)
            respond(path, path);
    }
    return 0;
}
#endif
