// reelctl: the media command-line tool.
//
//   reelctl probe <input>
//   reelctl poster <input> <out.jpg> [--max-edge N]
//   reelctl frames <input> <out-dir> [--interval S] [--count N] [--max N] [--max-edge N]
//   reelctl transcode <input> <out.mp4>
//
// One invocation runs one subcommand to completion. Results go to standard
// output; every fatal error is one line on standard error through `fail`, with
// a sysexits status (64 usage, 65 unusable media, 66 missing input, 72 JPEG
// encoding, 73 file writing, 74 poster grab, 75 transcode).

#include "reelctl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "asset.h"

using Json = nlohmann::ordered_json;

namespace {

// Process-wide values, set once by the entry before dispatch.
std::vector<std::string> args;
std::string sub;
std::string input;
int64_t maxEdge = 0;

// Writes all bytes to a descriptor, one write call where the system allows.
bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// A JSON document on standard output: its bytes, then "\n" in a second write.
void printDocument(const Json& document) {
    writeAll(STDOUT_FILENO, document.dump(2));
    writeAll(STDOUT_FILENO, "\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// Command-line entry and dispatch

[[noreturn]] void fail(const std::string& message, int status = 1) {
    writeAll(STDERR_FILENO, message + "\n");
    std::exit(status);
}

std::optional<std::string> arg(const std::string& name) {
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i] == name) {
            if (i + 1 < args.size()) return args[i + 1];
            return std::nullopt;
        }
    return std::nullopt;
}

std::optional<int64_t> integerValue(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        if (ch < '0' || ch > '9') return std::nullopt;
        int digit = ch - '0';
        if (__builtin_mul_overflow(value, 10, &value)) return std::nullopt;
        if (negative ? __builtin_sub_overflow(value, digit, &value)
                     : __builtin_add_overflow(value, digit, &value))
            return std::nullopt;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Asset access

bool fileExistsAtPath(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::unique_ptr<media::Asset> loadAsset(const std::string& path) {
    if (!fileExistsAtPath(path)) fail("input not found: " + path, 66);
    return std::make_unique<media::Asset>(path);
}

media::Track firstVideoTrack(media::Asset& asset) {
    auto tracks = asset.loadTracks(media::MediaType::video);
    if (!tracks.ok()) fail("failed to load tracks: " + tracks.error(), 65);
    if (tracks.value().empty()) fail("no video track", 65);
    return tracks.value().front();
}

double durationSeconds(media::Asset& asset) {
    auto duration = asset.loadDuration();
    if (!duration.ok()) fail("failed to load duration: " + duration.error(), 65);
    return duration.value();
}

// ---------------------------------------------------------------------------
// Probe

// Absolute value truncated toward zero; a value no integer can hold gives 0.
int64_t displayedLength(double transformed) {
    double length = std::trunc(std::fabs(transformed));
    if (!std::isfinite(length) || length >= 9.2233720368547758e18) return 0;
    return int64_t(length);
}

std::string codecName(const std::vector<uint32_t>& formatSubtypes) {
    if (formatSubtypes.empty()) return "";
    uint32_t code = formatSubtypes.front();
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char byte = (code >> shift) & 0xff;
        if (byte > 127) return "";
        text.push_back(char(byte));
    }
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string iso8601(int64_t seconds) {
    std::time_t t = std::time_t(seconds);
    std::tm utc{};
    if (!gmtime_r(&t, &utc)) return "";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

void cmd_probe(const std::string& path) {
    auto asset = loadAsset(path);
    media::Track track = firstVideoTrack(*asset);
    double duration = durationSeconds(*asset);

    auto metadata = asset->loadTrackMetadata(track);
    if (!metadata.ok()) fail("failed to load track metadata: " + metadata.error(), 65);
    const media::TrackMetadata& m = metadata.value();

    const media::Transform& t = m.preferredTransform;
    int64_t width = displayedLength(t.a * m.naturalWidth + t.c * m.naturalHeight);
    int64_t height = displayedLength(t.b * m.naturalWidth + t.d * m.naturalHeight);

    auto audio = asset->loadTracks(media::MediaType::audio);
    bool hasAudio = audio.ok() && !audio.value().empty();

    Json creationDate = nullptr;
    if (auto created = asset->creationTime()) {
        std::string text = iso8601(*created);
        if (!text.empty()) creationDate = text;
    }

    double fps = double(m.nominalFrameRate);
    Json document;
    document["duration"] = std::isfinite(duration) ? Json(duration) : Json(0);
    document["width"] = width;
    document["height"] = height;
    document["fps"] = std::isfinite(fps) ? Json(fps) : Json(0);
    document["codec"] = codecName(m.formatSubtypes);
    document["hasAudio"] = hasAudio;
    document["creationDate"] = creationDate;
    printDocument(document);
}

// ---------------------------------------------------------------------------
// Poster, frames and transcode

void cmd_poster(const std::string&, const std::string&, int64_t) {
    fail("poster is not available in this build", 70);
}

void cmd_frames(const std::string&, const std::string&, int64_t) {
    fail("frames is not available in this build", 70);
}

void cmd_transcode(const std::string&, const std::string&) {
    fail("transcode is not available in this build", 70);
}

// ---------------------------------------------------------------------------

int reelctlMain(int argc, char** argv) {
    args.assign(argv, argv + argc);
    if (args.size() < 3) fail("usage: reelctl <probe|poster|frames|transcode> <input> [args]", 64);
    sub = args[1];
    input = args[2];
    auto edge = arg("--max-edge");
    maxEdge = edge ? integerValue(*edge).value_or(0) : 0;

    if (sub == "probe") {
        cmd_probe(input);
    } else if (sub == "poster") {
        if (args.size() < 4) fail("usage: reelctl poster <input> <out.jpg>", 64);
        cmd_poster(input, args[3], maxEdge < 1 ? 1024 : maxEdge);
    } else if (sub == "frames") {
        if (args.size() < 4) fail("usage: reelctl frames <input> <out-dir>", 64);
        cmd_frames(input, args[3], maxEdge < 1 ? 512 : maxEdge);
    } else if (sub == "transcode") {
        if (args.size() < 4) fail("usage: reelctl transcode <input> <out.mp4>", 64);
        cmd_transcode(input, args[3]);
    } else {
        fail("unknown subcommand: " + sub, 64);
    }
    return 0;
}

#ifndef REELCTL_NO_MAIN
int main(int argc, char** argv) {
    return reelctlMain(argc, argv);
}
#endif
