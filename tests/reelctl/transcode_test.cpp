// reelctl transcode, run as the host runs it, with ffprobe as the oracle for
// what the written movie holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "exporter/exporter.h"
#include "media/asset.h"
#include "proc.h"

extern char** environ;

using nlohmann::json;
using testsupport::bin;
using testsupport::run;

namespace {

std::string media(const std::string& name) {
    return testsupport::fixture("reelctl/transcode/" + name);
}

testsupport::Run transcode(const std::string& in, const std::string& out,
                           const std::string& cwd = {}) {
    return run({bin("reelctl"), "transcode", in, out}, {}, cwd);
}

json ffprobe(const std::string& path, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"/usr/bin/ffprobe", "-v",  "error", "-show_streams",
                                  "-show_format",     "-of", "json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(path);
    auto r = run(argv);
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
    return r.status == 0 ? json::parse(r.out) : json::object();
}

double number(const json& value) {
    return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>();
}

double rational(std::string text) {
    auto slash = text.find_first_of("/:");
    double num = std::stod(text.substr(0, slash)), den = std::stod(text.substr(slash + 1));
    return den == 0 ? 0 : num / den;
}

std::vector<json> streamsOf(const json& info, const std::string& type) {
    std::vector<json> found;
    for (const auto& st : info.value("streams", json::array()))
        if (st["codec_type"] == type) found.push_back(st);
    return found;
}

double rotation(const json& stream) {
    for (const auto& side : stream.value("side_data_list", json::array()))
        if (side.contains("rotation")) return number(side["rotation"]);
    return 0;
}

// Top-level box types of an MPEG-4 file, in file order.
std::vector<std::string> topLevelBoxes(const std::string& path) {
    std::string data = testsupport::readFile(path);
    std::vector<std::string> boxes;
    size_t pos = 0;
    auto be = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | uint8_t(data[at + i]);
        return v;
    };
    while (pos + 8 <= data.size()) {
        uint64_t size = be(pos, 4);
        boxes.push_back(data.substr(pos + 4, 4));
        if (size == 1 && pos + 16 <= data.size()) size = be(pos + 8, 8);
        if (size == 0) break;  // runs to the end of the file
        if (size < 8) return {"bad box size"};
        pos += size;
    }
    return boxes;
}

// Transcodes a fixture into a fresh folder and returns ffprobe's view of the result.
json transcoded(const std::string& name, std::string* outPath = nullptr) {
    std::string out = testsupport::scratchDir("transcode") + "/out.mp4";
    auto r = transcode(media(name), out);
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, out + "\n");
    EXPECT_EQ(r.err, "");
    if (outPath) *outPath = out;
    return r.status == 0 ? ffprobe(out) : json::object();
}

TEST(Transcode, WritesProgressiveH264AacMovieWithMetadata) {
    std::string out;
    json info = transcoded("h264_aac.mp4", &out);
    json source = ffprobe(media("h264_aac.mp4"));

    auto boxes = topLevelBoxes(out);
    auto moov = std::find(boxes.begin(), boxes.end(), "moov");
    auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    ASSERT_NE(moov, boxes.end());
    ASSERT_NE(mdat, boxes.end());
    EXPECT_LT(moov - boxes.begin(), mdat - boxes.begin()) << "index must precede media data";
    EXPECT_EQ(boxes.front(), "ftyp");
    EXPECT_EQ(info["format"]["tags"].value("major_brand", ""), "isom");

    auto video = streamsOf(info, "video");
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0]["codec_name"], "h264");
    EXPECT_EQ(video[0]["profile"], "High");
    EXPECT_EQ(video[0]["pix_fmt"], "yuv420p");
    EXPECT_EQ(video[0]["width"], 320);  // small sources keep their size
    EXPECT_EQ(video[0]["height"], 240);
    double frame = 1.0 / 30;
    auto sourceVideo = streamsOf(source, "video");
    EXPECT_NEAR(number(video[0]["duration"]), number(sourceVideo[0]["duration"]), frame);
    EXPECT_NEAR(number(info["format"]["duration"]), number(source["format"]["duration"]), frame);
    EXPECT_EQ(video[0]["r_frame_rate"], "30/1");

    auto audio = streamsOf(info, "audio");
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio[0]["codec_name"], "aac");
    EXPECT_EQ(audio[0]["sample_rate"], "48000");
    EXPECT_EQ(audio[0]["channels"], 2);
    double kbps = number(audio[0]["bit_rate"]) / 1000;
    EXPECT_GE(kbps, 110);
    EXPECT_LE(kbps, 200);
    EXPECT_NEAR(number(audio[0]["start_time"]), number(video[0]["start_time"]), 0.001);

    EXPECT_EQ(info["format"]["tags"].value("creation_time", ""), "2024-03-01T09:15:00.000000Z");
}

TEST(Transcode, FitsWithin1920x1080KeepingDisplayAspectAndNeverEnlarges) {
    struct Case {
        const char* name;
        int width, height;
    };
    const Case cases[] = {
        {"uhd.mp4", 1920, 1080},       // 4K scaled down by half
        {"wide1610.mp4", 1728, 1080},  // 16:10: the height bounds it
        {"tall.mp4", 864, 1920},       // taller than wide: 1080x1920 is the box
        {"anamorphic.mp4", 852, 480},  // 720x480 shown 32:27 wide: square pixels
        {"odd.mkv", 322, 242},         // odd sizes round down to even, never up
        {"rotated90.mp4", 320, 240},   // pixels stay as stored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json info = transcoded(c.name);
        auto video = streamsOf(info, "video");
        ASSERT_EQ(video.size(), 1u);
        int w = video[0]["width"], h = video[0]["height"];
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
        EXPECT_EQ(w % 2, 0);
        EXPECT_EQ(h % 2, 0);
        EXPECT_LE(std::max(w, h), 1920);
        EXPECT_LE(std::min(w, h), 1080);
        std::string sar = video[0].value("sample_aspect_ratio", "1:1");
        EXPECT_TRUE(sar == "1:1" || sar == "0:1") << sar;

        json source = streamsOf(ffprobe(media(c.name)), "video")[0];
        double shown = number(source["width"]) / number(source["height"]);
        std::string ssar = source.value("sample_aspect_ratio", "1:1");
        if (ssar != "0:1") shown *= rational(ssar);
        EXPECT_NEAR(double(w) / h, shown, shown * 0.01);
        EXPECT_EQ(video[0]["pix_fmt"], "yuv420p");
    }
}

TEST(Transcode, KeepsOrientationOfRotatedInput) {
    for (const char* name : {"rotated90.mp4", "rotated270.mp4", "silent.mp4"}) {
        SCOPED_TRACE(name);
        json source = streamsOf(ffprobe(media(name)), "video")[0];
        json info = transcoded(name);
        auto video = streamsOf(info, "video");
        ASSERT_EQ(video.size(), 1u);
        EXPECT_EQ(rotation(video[0]), rotation(source));
    }
    // And reelctl's own probe shows it upright, 240 wide and 320 high.
    std::string out;
    transcoded("rotated90.mp4", &out);
    auto r = run({bin("reelctl"), "probe", out});
    ASSERT_EQ(r.status, 0) << r.err;
    json probed = json::parse(r.out);
    EXPECT_EQ(probed["width"], 240);
    EXPECT_EQ(probed["height"], 320);
}

TEST(Transcode, CarriesVariableFrameTimestampsOver) {
    auto times = [](const std::string& path) {
        auto r = run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "packet=pts_time", "-of", "csv=p=0", path});
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<double> t;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) t.push_back(std::stod(line));
        std::sort(t.begin(), t.end());
        return t;
    };
    std::string out;
    transcoded("vfr.mp4", &out);
    auto expected = times(media("vfr.mp4"));
    auto actual = times(out);
    ASSERT_EQ(actual.size(), expected.size());
    // The fixture really is variable: 1/30 s steps first, 0.1 s steps at the end.
    ASSERT_GE(expected.size(), 32u);
    EXPECT_NEAR(expected[1] - expected[0], 1.0 / 30, 0.002);
    EXPECT_NEAR(expected.back() - expected[expected.size() - 2], 0.1, 0.002);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], 0.001) << "frame " << i;
}

TEST(Transcode, GivesOneAacTrackShapedLikeTheSourceSound) {
    struct Case {
        const char* name;
        int tracks;
        const char* rate;
        int channels;
    };
    const Case cases[] = {
        {"silent.mp4", 0, "", 0},
        {"mono.mp4", 1, "44100", 1},
        {"surround.mp4", 1, "44100", 2},
        {"pcm37800.mkv", 1, "48000", 1},  // a rate AAC does not have
        {"extras.mp4", 1, "44100", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json info = transcoded(c.name);
        auto audio = streamsOf(info, "audio");
        ASSERT_EQ(int(audio.size()), c.tracks);
        if (!c.tracks) continue;
        EXPECT_EQ(audio[0]["codec_name"], "aac");
        EXPECT_EQ(audio[0]["sample_rate"], c.rate);
        EXPECT_EQ(audio[0]["channels"], c.channels);
        double duration = number(info["format"]["duration"]);
        EXPECT_NEAR(number(audio[0]["duration"]), duration, 0.05);
    }
}

TEST(Transcode, KeepsSoundInSyncWhenItStartsLate) {
    json source = streamsOf(ffprobe(media("late_audio.mp4")), "audio")[0];
    json info = transcoded("late_audio.mp4");
    auto audio = streamsOf(info, "audio");
    ASSERT_EQ(audio.size(), 1u);
    // Within one AAC frame of encoder delay (1024 samples at 48 kHz).
    EXPECT_NEAR(number(audio[0]["start_time"]), number(source["start_time"]), 0.025);
    EXPECT_GT(number(audio[0]["start_time"]), 0.4);
}

TEST(Transcode, DropsSubtitlesAndCoverArt) {
    json info = transcoded("extras.mp4");
    ASSERT_EQ(info["streams"].size(), 2u);
    EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(info["streams"][0]["disposition"]["attached_pic"], 0);
    EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
}

TEST(Transcode, ReplacesAnExistingFileAndPrintsThePathAsTyped) {
    std::string dir = testsupport::scratchDir("transcode");
    // Relative, with a colon that must not be read as a protocol name.
    std::string name = "clip:1.mp4";
    testsupport::writeFile(dir + "/" + name, std::string(1 << 20, 'x'));
    auto r = transcode(media("silent.mp4"), name, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, name + "\n");
    EXPECT_EQ(r.err, "");
    std::string data = testsupport::readFile(dir + "/" + name);
    EXPECT_EQ(data.find(std::string(64, 'x')), std::string::npos) << "old bytes left behind";
    EXPECT_EQ(streamsOf(ffprobe(dir + "/" + name), "video").size(), 1u);
}

TEST(Transcode, FailsWithTheRightStatusAndLeavesOutputAsStated) {
    std::string dir = testsupport::scratchDir("transcode");
    std::string out = dir + "/keep.mp4";

    auto usage = run({bin("reelctl"), "transcode", media("silent.mp4")});
    EXPECT_EQ(usage.status, 64);
    EXPECT_EQ(usage.err, "usage: reelctl transcode <input> <out.mp4>\n");

    testsupport::writeFile(out, "previous");
    auto audioOnly = transcode(media("audio.m4a"), out);
    EXPECT_EQ(audioOnly.status, 65);
    EXPECT_EQ(audioOnly.err, "no video track\n");
    EXPECT_EQ(testsupport::readFile(out), "previous") << "output touched before the track check";

    auto noSession = transcode(media("unknown_codec.mkv"), out);
    EXPECT_EQ(noSession.status, 75);
    EXPECT_EQ(noSession.err, "cannot create export session\n");
    EXPECT_EQ(testsupport::readFile(out), "previous") << "output removed without a session";

    auto missing = transcode(dir + "/nothing.mp4", out);
    EXPECT_EQ(missing.status, 66);
    EXPECT_EQ(missing.err, "input not found: " + dir + "/nothing.mp4\n");

    auto truncated = transcode(media("truncated.mp4"), out);
    EXPECT_EQ(truncated.status, 75);
    EXPECT_EQ(truncated.err, "transcode failed: End of file\n");
    EXPECT_EQ(truncated.out, "");

    auto noFolder = transcode(media("silent.mp4"), dir + "/absent/out.mp4");
    EXPECT_EQ(noFolder.status, 75);
    EXPECT_EQ(noFolder.err, "transcode failed: No such file or directory\n");

    // A folder at the output path is not deleted.
    std::filesystem::create_directories(dir + "/folder.mp4/inside");
    auto folder = transcode(media("silent.mp4"), dir + "/folder.mp4");
    EXPECT_EQ(folder.status, 75);
    EXPECT_EQ(folder.err.rfind("transcode failed: ", 0), 0u) << folder.err;
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/folder.mp4/inside"));
    for (const auto* r : {&audioOnly, &noSession, &missing, &noFolder, &folder})
        EXPECT_EQ(r->out, "");
}

// Starts a transcode, sends `sig` once the export is under way, and returns
// the exit status and standard error.
std::pair<int, std::string> interrupted(int sig) {
    std::string dir = testsupport::scratchDir("transcode");
    std::string out = dir + "/out.mp4", err = dir + "/err.txt", stdoutPath = dir + "/stdout.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
    std::string program = bin("reelctl"), sub = "transcode", in = media("hd720.mp4");
    char* argv[] = {program.data(), sub.data(), in.data(), out.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return {-1, "spawn failed"};
    int status = 0;
    bool exited = false;
    // Under way once its unfinished file (beside out, besides the two logs) is there.
    auto started = [&] {
        auto entries = std::filesystem::directory_iterator(dir);
        return std::distance(begin(entries), end(entries)) > 2;
    };
    while (!started() && !exited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!exited) {
        kill(pid, sig);
        waitpid(pid, &status, 0);
    }
    EXPECT_EQ(testsupport::readFile(stdoutPath), "");
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {code, testsupport::readFile(err)};
}

TEST(Transcode, StopsOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        auto [status, err] = interrupted(sig);
        EXPECT_EQ(status, 75);
        EXPECT_EQ(err, "transcode failed: Immediate exit requested\n");
    }
}

// The export's own account of how far it is: 0 as it begins, then growing,
// below 1, close to it by the last packet; a duration found only by reading
// the packets (a recorder's WebM) leaves every picture in the movie.
TEST(Transcode, ExportTellsHowFarItIs) {
    for (const char* name : {"hd720.mp4", "live.webm"}) {
        SCOPED_TRACE(name);
        std::string out = testsupport::scratchDir("transcode-fractions") + "/out.mp4";
        media::Asset asset(media(name));
        auto session = exporter::ExportSession::create(asset, exporter::ExportPreset::hd1920x1080);
        ASSERT_TRUE(session.ok()) << session.described();
        std::vector<double> seen;
        session.value()->setProgressHandler([&](double f) { seen.push_back(f); });
        ASSERT_TRUE(session.value()->exportTo(out, exporter::FileType::mpeg4).ok());
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front(), 0.0);
        EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end(), std::greater_equal<>()), seen.end());
        EXPECT_GT(seen.back(), 0.9);
        EXPECT_LT(seen.back(), 1.0);
        EXPECT_EQ(
            streamsOf(ffprobe(out, {"-count_packets"}), "video")[0]["nb_read_packets"],
            streamsOf(ffprobe(media(name), {"-count_packets"}), "video")[0]["nb_read_packets"]);
    }
}

// --progress on transcode and frames: well-formed lines from "progress 0",
// never going back, at most ten a second beside the first and the last, and
// "progress 1" only right before a result; none without the option; a
// failure's message still the last line.
TEST(Transcode, ProgressLinesWhenAsked) {
    std::string dir = testsupport::scratchDir("transcode-progress");
    testsupport::writeFile(dir + "/file", "x");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string last;  // the last line but progress: the result, or the message
    } cases[] = {
        {{"transcode", "hd720.mp4", dir + "/a.mp4", "--progress"}, 0, dir + "/a.mp4"},
        {{"transcode", "live.webm", dir + "/b.mp4", "--progress"}, 0, dir + "/b.mp4"},
        {{"transcode", "hd720.mp4", dir + "/c.mp4"}, 0, dir + "/c.mp4"},
        {{"transcode", "truncated.mp4", dir + "/d.mp4", "--progress"},
         75,
         "transcode failed: End of file"},
        {{"frames", "hd720.mp4", dir + "/e", "--progress", "--count", "5"}, 0, "}"},
        {{"frames", "hd720.mp4", dir + "/file/sub", "--progress"},
         73,
         "failed to write " + dir + "/file/sub/frame_0.jpg: Not a directory"},
    };
    const std::regex line("progress (0|1|0\\.[0-9]{0,2}[1-9])");
    for (Case c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        c.arguments[1] = media(c.arguments[1]);
        c.arguments.insert(c.arguments.begin(), bin("reelctl"));
        auto start = std::chrono::steady_clock::now();
        auto r = run(c.arguments);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, c.status);
        std::vector<double> fractions;
        std::string other, text;
        for (std::istringstream lines(r.err); std::getline(lines, text);) {
            std::smatch m;
            if (std::regex_match(text, m, line))
                fractions.push_back(std::stod(m[1]));
            else
                other += text + "\n";
        }
        bool asked = std::ranges::count(c.arguments, "--progress") > 0;
        EXPECT_EQ(fractions.empty(), !asked) << r.err;
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end())) << r.err;
        EXPECT_LE(fractions.size(), 2 + took.count() * 10) << r.err;
        std::string result = c.status == 0 ? r.out : r.err;
        EXPECT_TRUE(result.ends_with(c.last + "\n")) << result;
        EXPECT_EQ(other, c.status == 0 ? "" : c.last + "\n");
        if (!fractions.empty()) {
            EXPECT_EQ(fractions.front(), 0.0);
            EXPECT_EQ(fractions.back() == 1.0, c.status == 0);
        }
    }
}

}  // namespace
