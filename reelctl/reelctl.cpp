// reelctl: the media command-line tool.
//
//   reelctl probe <input>
//   reelctl poster <input> <out.jpg> [--max-edge N]
//   reelctl frames <input> <out-dir> [--interval S] [--count N] [--max N] [--max-edge N]
//                  [--progress]
//   reelctl transcode <input> <out.mp4> [--progress]
//
// One invocation runs one subcommand to completion. Results go to standard
// output; every fatal error is one line on standard error through `fail`, with
// a sysexits status (64 usage, 65 unusable media, 66 missing input, 72 JPEG
// encoding, 73 file writing, 74 poster grab, 75 transcode). With --progress,
// frames and transcode also write "progress <fraction>" lines there while
// they work; a fatal message still comes last.

#include "reelctl.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exporter/exporter.h"
#include "files/files.h"
#include "frames/frames.h"
#include "jpeg/jpeg.h"
#include "media/asset.h"

using Json = nlohmann::ordered_json;

namespace {

// Process-wide values, set once by the entry before dispatch.
std::vector<std::string> args;
std::string sub;
std::string input;
int64_t maxEdge = 0;
bool progress = false;  // "--progress": progress lines on standard error

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

}  // namespace

// ---------------------------------------------------------------------------
// Command-line entry and dispatch

[[noreturn]] void fail(const std::string& message, int status = 1) {
    writeAll(STDERR_FILENO, message + "\n");
    std::exit(status);
}

namespace {

// Result bytes on standard output. Output that cannot be delivered (a full
// disk behind a redirection, an I/O error) is a failed run, never a success.
void printOut(const std::string& bytes) {
    errno = 0;
    if (!writeAll(STDOUT_FILENO, bytes))
        fail(std::string("failed to write standard output: ") + std::strerror(errno ? errno : EIO),
             73);
}

// A JSON document on standard output: its bytes, then "\n" in a second write.
void printDocument(const Json& document) {
    printOut(document.dump(2));
    printOut("\n");
}

}  // namespace

std::optional<std::string> arg(const std::string& name) {
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i] == name) {
            if (i + 1 < args.size()) return args[i + 1];
            return std::nullopt;
        }
    return std::nullopt;
}

// An option that takes no value: whether it stands anywhere on the command
// line, looked up as `arg` looks (the positions are taken all the same).
bool flag(const std::string& name) {
    return std::find(args.begin(), args.end(), name) != args.end();
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
// Progress lines
//
// "progress <fraction>\n" on standard error while frames and transcode work:
// "progress 0" when the work starts, then at most one line a tenth of a
// second, each further than the one before (fractions cut, never rounded up,
// to thousandths), and "progress 1" only once the result is ready, right
// before it is printed.

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
int progressShown = -1;  // thousandths in the last line; -1 before the first
std::chrono::steady_clock::time_point progressShownAt;
bool progressReaderGone = false;

// A progress line is advice: a reader that has gone away (EPIPE) ends the
// lines, not the run, which would otherwise die by SIGPIPE with its
// unfinished output on the disk. Results and fatal messages keep their rules.
void writeProgressLine(const std::string& line) {
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    errno = 0;
    if (!writeAll(STDERR_FILENO, line) && errno == EPIPE) {
        progressReaderGone = true;
        // The write's SIGPIPE, taken before the mask is restored.
        timespec now{};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void showProgress(int thousandths) {
    if (!progress || progressReaderGone || thousandths <= progressShown) return;
    auto now = std::chrono::steady_clock::now();
    bool first = progressShown < 0, last = thousandths == 1000;
    if (!first && !last && now - progressShownAt < kProgressInterval) return;
    progressShown = thousandths;
    progressShownAt = now;
    // The shortest text of the double nearest k / 1000 is that decimal: "0.4", "0.005", "1".
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, thousandths / 1000.0).ptr;
    writeProgressLine("progress " + std::string(text, end) + "\n");
}

// How far the work is, from 0; below 1 until reportDone.
void reportProgress(double fraction) {
    if (!(fraction > 0)) fraction = 0;
    showProgress(int(std::min(std::floor(fraction * 1000), 999.0)));
}

// The result is ready: "progress 1", before it is printed.
void reportDone() {
    showProgress(1000);
}

}  // namespace

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

// ---------------------------------------------------------------------------
// Frame grabbing, JPEG output, poster and frames

namespace {

// Most stepped or counted sample candidates considered: an interval that no
// longer advances the time, or a huge count, must neither hang nor exhaust
// memory. Ordinary inputs stay far below it.
constexpr int64_t kMaxSampleCandidates = 1000000;

// A directory joined with a file name by exactly one separator.
std::string pathInDirectory(const std::string& directory, const std::string& name) {
    size_t last = directory.find_last_not_of('/');
    if (last == std::string::npos) return directory.empty() ? name : "/" + name;
    return directory.substr(0, last + 1) + "/" + name;
}

// A C-locale floating-point number filling the whole text; leading white
// space is refused.
std::optional<double> secondsValue(const std::string& text) {
    if (text.empty() || std::string_view(" \t\n\v\f\r").find(text[0]) != std::string_view::npos)
        return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

// The shortest text that reads back as the same double, with at least one
// digit after the point (0.0, 2.5, 1e-05), as the JSON writer renders it.
std::string timeText(double seconds) {
    return Json(seconds).dump();
}

}  // namespace

frames::Generator makeGenerator(media::Asset& asset, int64_t maxEdge) {
    return frames::Generator(asset, maxEdge);
}

namespace {

// What a poster or frames run cost, as one line on standard error when
// REELCTL_DECODE_STATS is set (the benchmarks read it): frames decoded by
// picture type, and the milliseconds of decoding, conversion, JPEG encoding
// and writing, and of the whole run since the entry.
std::chrono::steady_clock::time_point entered;
double encodeSeconds = 0;

void writeTimedJPEG(const frames::Image& image, const std::string& path, int64_t maxEdge,
                    std::optional<files::Identity> input) {
    auto start = std::chrono::steady_clock::now();
    writeJPEG(image, path, maxEdge, input);
    encodeSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void reportDecodeStats(const frames::Generator& generator) {
    const char* wanted = std::getenv("REELCTL_DECODE_STATS");
    if (!wanted || !*wanted || std::string_view(wanted) == "0") return;
    frames::DecodeStats s = generator.stats();
    auto ms = [](double seconds) { return std::round(seconds * 10000) / 10; };
    Json line;
    line["decoded"] = s.decoded();
    line["intra"] = s.intra;
    line["predicted"] = s.predicted;
    line["bidirectional"] = s.bidirectional;
    line["other"] = s.other;
    line["referencesOnly"] = s.referencesOnly;
    line["seeks"] = s.seeks;
    line["decodeMs"] = ms(s.decodeSeconds);
    line["conversionMs"] = ms(s.conversionSeconds);
    line["encodeMs"] = ms(encodeSeconds);
    line["runMs"] =
        ms(std::chrono::duration<double>(std::chrono::steady_clock::now() - entered).count());
    writeAll(STDERR_FILENO, "decode-stats " + line.dump() + "\n");
}

}  // namespace

platform::Result<frames::Image> copyFrame(frames::Generator& generator, double at) {
    return generator.copyFrame(at);
}

void writeJPEG(const frames::Image& image, const std::string& path, int64_t maxEdge,
               std::optional<files::Identity> input) {
    const frames::Image* chosen = &image;
    std::optional<frames::Image> shrunk;
    int64_t longest = std::max(image.width, image.height);
    if (maxEdge > 0 && longest > maxEdge) {
        double scale = double(maxEdge) / double(longest);
        int64_t width = frames::roundedSize(image.width * scale);
        int64_t height = frames::roundedSize(image.height * scale);
        // A side that rounds to nothing has no surface: the frame goes out unscaled.
        if (width >= 1 && height >= 1) {
            auto result = frames::resized(image, int(width), int(height));
            if (result.ok()) {
                shrunk = std::move(result.value());
                chosen = &*shrunk;
            }
        }
    }
    auto bytes =
        jpeg::encode(chosen->rgb.data(), chosen->width, chosen->height, chosen->width * 3, 85);
    if (!bytes.ok()) fail("failed to encode JPEG for " + path, 72);
    auto written = files::writeWholeFile(path, bytes.value().data(), bytes.value().size(), input);
    if (!written.ok()) fail("failed to write " + path + ": " + written.error(), 73);
}

namespace {

// Ends the run (73) when `path` is no place for an output (a device, a
// folder, the input itself), before anything is decoded or written.
void requireWritable(const std::string& path, std::optional<files::Identity> input) {
    auto checked = files::checkDestination(path, input);
    if (!checked.ok()) fail("failed to write " + path + ": " + checked.error(), 73);
}

// At most maxFrames (from 2) of the times, evenly picked, the first and the
// last always among them; below 2, all of them.
std::vector<double> capped(std::vector<double> kept, int64_t maxFrames) {
    if (maxFrames < 2 || int64_t(kept.size()) <= maxFrames) return kept;
    double step = double(kept.size() - 1) / double(maxFrames - 1);
    std::vector<double> picked;
    picked.reserve(size_t(maxFrames));
    for (int64_t i = 0; i < maxFrames; ++i) {
        double at = std::min(std::round(double(i) * step), double(kept.size() - 1));
        picked.push_back(kept[size_t(at)]);
    }
    return picked;
}

}  // namespace

std::vector<double> sampleTimes(double duration, std::optional<double> interval,
                                std::optional<int64_t> count, int64_t maxFrames) {
    const double d = duration;
    // No sample lies in an unbounded or undefined duration; callers refuse those.
    if (!std::isfinite(d)) return {};
    const double margin = std::min(0.02 * d, 0.1);
    const double end = d - margin >= 0 ? d - margin : 0;
    auto clamp = [end](double v) {
        if (v <= 0) v = 0;
        if (end < v) v = end;
        return v;
    };

    // Candidates arrive in ascending order (the stepped and counted times grow
    // with their index; the three anchors are merged in), so sorting and
    // spacing happen as they come, without holding every candidate.
    std::vector<double> kept;
    auto offer = [&kept](double v) {
        if (kept.empty() || !(std::fabs(kept.back() - v) < 0.25)) kept.push_back(v);
    };
    if (interval && *interval > 0) {
        std::array<double, 3> anchors = {margin, 0.5 * d, end};
        std::sort(anchors.begin(), anchors.end());
        size_t next = 0;
        if (d > 0) {
            double step = *interval;
            if (d / step > double(kMaxSampleCandidates)) step = d / double(kMaxSampleCandidates);
            double t = 0;
            int64_t stepped = 0;
            do {
                double v = clamp(t);
                while (next < anchors.size() && anchors[next] <= v)
                    offer(anchors[next++]);
                offer(v);
                t = t + step;
            } while (d > t && ++stepped <= kMaxSampleCandidates);
        }
        while (next < anchors.size())
            offer(anchors[next++]);
    } else {
        int64_t n = (count && *count >= 4) ? std::min(*count, kMaxSampleCandidates) : 3;
        for (int64_t i = 0; i < n; ++i)
            offer(clamp((double(i) * d) / double(n - 1)));
    }

    return capped(std::move(kept), maxFrames);
}

void cmd_poster(const std::string& path, const std::string& out, int64_t maxEdge) {
    auto asset = loadAsset(path);
    auto source = files::identityOf(path);
    requireWritable(out, source);
    firstVideoTrack(*asset);
    double d = durationSeconds(*asset);
    auto generator = makeGenerator(*asset, maxEdge);
    double t = (std::isfinite(d) && d > 0) ? std::min(d * 0.5, 1.0) : 0.0;
    generator.plan({t});
    auto image = copyFrame(generator, t);
    if (!image.ok()) fail("poster extraction failed: " + image.error(), 74);
    writeTimedJPEG(image.value(), out, maxEdge, source);
    reportDecodeStats(generator);
}

void cmd_frames(const std::string& path, const std::string& directory, int64_t maxEdge) {
    auto asset = loadAsset(path);
    auto source = files::identityOf(path);
    firstVideoTrack(*asset);
    double d = durationSeconds(*asset);
    if (!(std::isfinite(d) && d > 0)) fail("invalid duration", 65);

    auto maxText = arg("--max");
    int64_t maxFrames = maxText ? integerValue(*maxText).value_or(20) : 20;
    std::optional<double> interval;
    if (auto text = arg("--interval")) interval = secondsValue(*text);
    std::optional<int64_t> count;
    if (auto text = arg("--count")) count = integerValue(*text);
    std::vector<double> times = sampleTimes(d, interval, count, maxFrames);

    auto framePath = [&](size_t i) {
        return pathInDirectory(directory, "frame_" + std::to_string(i) + ".jpg");
    };
    const std::string manifestPath = pathInDirectory(directory, "manifest.json");
    // Every file this run may write is checked before the first is: none may
    // be the input, and a frame's place must take a file. The manifest's
    // place only must not be the input (a manifest that cannot be saved is
    // only printed).
    for (size_t i = 0; i < times.size(); ++i)
        requireWritable(framePath(i), source);
    if (source && files::identityOf(manifestPath) == source) requireWritable(manifestPath, source);

    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    auto generator = makeGenerator(*asset, maxEdge);
    generator.plan(times);
    // An earlier run's manifest goes before any of its frames is replaced, so
    // that a manifest never lists frames of another run, even after a kill.
    files::removeReplaceable(manifestPath);

    Json entries = Json::array();
    reportProgress(0);
    for (size_t i = 0; i < times.size(); ++i) {
        double t = times[i];
        auto image = copyFrame(generator, t);
        if (!image.ok()) {
            writeAll(STDERR_FILENO, "frame " + std::to_string(i) + " @" + timeText(t) +
                                        "s failed: " + image.error() + "\n");
        } else {
            std::string name = "frame_" + std::to_string(i) + ".jpg";
            writeTimedJPEG(image.value(), framePath(i), maxEdge, source);
            Json entry;
            entry["index"] = i;
            entry["time"] = t;
            entry["filename"] = name;
            entries.push_back(std::move(entry));
        }
        reportProgress(double(i + 1) / double(times.size()));
    }

    Json manifest;
    manifest["duration"] = d;
    manifest["count"] = entries.size();
    manifest["frames"] = std::move(entries);
    std::string bytes = manifest.dump(2);
    // Written last, so that it lists the frames of this run only. A manifest
    // file that cannot be written is no failure: it is printed all the same.
    files::writeWholeFile(manifestPath, bytes.data(), bytes.size(), source);
    reportDone();
    printOut(bytes);
    printOut("\n");
    reportDecodeStats(generator);
}

// ---------------------------------------------------------------------------
// Transcode

namespace {

// The signals that stop a transcode: blocked while it runs (in every thread
// the codecs start, as they inherit the mask), so that the export stops
// cleanly, as a failed one (75), and its unfinished file is removed.
constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

// Asked by the export between packets and during file I/O: true once a stop
// signal is waiting.
bool stopRequested() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    return std::any_of(kStopSignals.begin(), kStopSignals.end(),
                       [&](int sig) { return sigismember(&pending, sig) == 1; });
}

void cmd_transcode(const std::string& path, const std::string& outPath) {
    auto asset = loadAsset(path);
    firstVideoTrack(*asset);

    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : kStopSignals)
        sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    auto session = exporter::ExportSession::create(*asset, exporter::ExportPreset::hd1920x1080);
    if (!session.ok()) fail("cannot create export session", 75);
    // The movie is written beside the destination and replaces it only once
    // complete: a failed or stopped export leaves an earlier file as it was.
    auto output = files::Output::create(outPath, files::identityOf(path));
    if (!output.ok()) fail("transcode failed: " + output.error(), 75);
    session.value()->setInterruptCheck(stopRequested);
    if (progress) session.value()->setProgressHandler(reportProgress);
    auto exported =
        session.value()->exportTo(output.value().temporaryPath(), exporter::FileType::mpeg4);
    if (!exported.ok()) {
        output.value().discard();
        fail("transcode failed: " + exported.error(), 75);
    }
    auto committed = output.value().commit();
    if (!committed.ok()) fail("transcode failed: " + committed.error(), 75);
    reportDone();
    printOut(outPath + "\n");
}

// ---------------------------------------------------------------------------

int reelctlMain(int argc, char** argv) {
    entered = std::chrono::steady_clock::now();
    args.assign(argv, argv + argc);
    if (args.size() < 3) fail("usage: reelctl <probe|poster|frames|transcode> <input> [args]", 64);
    sub = args[1];
    input = args[2];
    auto edge = arg("--max-edge");
    maxEdge = edge ? integerValue(*edge).value_or(0) : 0;
    progress = flag("--progress");

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
    media::heapInHugePages();
    files::removeTemporariesOnSignals();
    // A host that goes away ends what it started (a transcode stops as if
    // stopped by the host) rather than leaving it running on its own; a parent
    // gone before the request counts too.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) raise(SIGTERM);
    return reelctlMain(argc, argv);
}
#endif
