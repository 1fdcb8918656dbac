// Probe, poster, frames and transcode show every video the same shape: over
// every video fixture of the reelctl tests and every real video file, the
// poster's and the frames' size is probe's displayed size fitted into their
// boxes (1024 and 512, never enlarged), and the export's displayed aspect
// (its size, pixel aspect and turn) is probe's.
#include <gtest/gtest.h>

#include <dirent.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "image_check.h"
#include "proc.h"
#include "run_reelctl.h"

using nlohmann::json;
using testsupport::run;
using namespace imagecheck;

namespace {

// Every regular file of a folder, sorted, skipping the fixture stamp.
std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name[0] == '.' || name.size() < 4 || name.find('.') == std::string::npos) continue;
            out.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The files the check runs over: the fixture folders of the reelctl groups
// that make playable video (not the deliberately damaged ones) and the real
// files.
std::vector<std::string> videoFiles() {
    std::vector<std::string> all;
    for (const char* group :
         {"colour", "containers", "frames", "layouts", "poster", "probe", "transcode"}) {
        auto files = filesIn(testsupport::fixture("reelctl/" + std::string(group)));
        all.insert(all.end(), files.begin(), files.end());
    }
    auto real = filesIn(std::string(SOURCE_DIR) + "/tests/data/real/video");
    all.insert(all.end(), real.begin(), real.end());
    // A picture that changes size mid-stream has no one shape: probe gives
    // its first, and each frame comes out at its own (frames_test).
    std::erase_if(all,
                  [](const std::string& path) { return path.ends_with("/counter_resize.ts"); });
    return all;
}

// This run's share of the files: CONSISTENCY_SHARD="i/n" takes every n-th
// file from the i-th, so that n runs check them all side by side.
std::pair<int, int> shard() {
    int index = 0, count = 1;
    if (const char* s = std::getenv("CONSISTENCY_SHARD"))
        if (std::sscanf(s, "%d/%d", &index, &count) != 2 || count < 1 || index < 0 ||
            index >= count)
            index = 0, count = 1;
    return {index, count};
}

// The coded size of the first video stream that is no cover picture, as
// ffprobe reads it; none when there is no such stream.
std::optional<std::pair<int, int>> codedSize(const std::string& path) {
    auto r = run({"/usr/bin/ffprobe", "-v", "quiet", "-select_streams", "v", "-show_entries",
                  "stream=width,height:stream_disposition=attached_pic", "-of", "json", path});
    if (r.status != 0) return std::nullopt;
    for (const auto& s : json::parse(r.out).value("streams", json::array()))
        if (s.value("disposition", json::object()).value("attached_pic", 0) == 0)
            return std::pair{s.value("width", 0), s.value("height", 0)};
    return std::nullopt;
}

// Probe's size fitted into an edge x edge box, as the pictures are: each side
// within one pixel (probe truncates the displayed size, pictures round it).
void expectFitted(const frames::Image& image, double width, double height, int edge,
                  const std::string& what) {
    double scale = std::min(1.0, edge / std::max(width, height));
    EXPECT_NEAR(image.width, width * scale, 1.01) << what;
    EXPECT_NEAR(image.height, height * scale, 1.01) << what;
}

// The export's displayed width over height: stored size, pixel aspect, turn.
double exportedAspect(const std::string& path) {
    auto r = run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                  "stream=width,height,sample_aspect_ratio:stream_side_data=rotation", "-of",
                  "json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status != 0) return 0;
    json s = json::parse(r.out)["streams"][0];
    double w = s["width"].get<double>(), h = s["height"].get<double>();
    std::string sar = s.value("sample_aspect_ratio", "1:1");
    int num = 1, den = 1;
    if (std::sscanf(sar.c_str(), "%d:%d", &num, &den) == 2 && num > 0 && den > 0)
        w *= double(num) / den;
    int rotation = 0;
    for (const auto& side : s.value("side_data_list", json::array()))
        if (side.contains("rotation")) rotation = side["rotation"].get<int>();
    return std::abs(rotation) % 180 == 90 ? h / w : w / h;
}

}  // namespace

TEST(Consistency, EveryPictureHasProbesShape) {
    int checked = 0, exports = 0;
    auto [index, count] = shard();
    auto files = videoFiles();
    for (size_t i = index; i < files.size(); i += count) {
        const std::string& path = files[i];
        auto coded = codedSize(path);
        if (!coded) continue;
        SCOPED_TRACE(path);
        auto probed = reelctl({"probe", path});
        if (probed.status != 0) continue;  // no video track reelctl reads: nothing to agree on
        json doc = json::parse(probed.out);
        double width = doc["width"].get<double>(), height = doc["height"].get<double>();
        std::string scratch = testsupport::scratchDir("consistency");
        auto poster = reelctl({"poster", path, scratch + "/poster.jpg"});
        if (poster.status != 0) continue;  // no picture (an init segment, a damaged file)
        ++checked;
        expectFitted(decodeJpeg(scratch + "/poster.jpg"), width, height, 1024, "poster");

        // Frames refuse what has no duration (a raw stream): "invalid duration".
        auto framed = reelctl({"frames", path, scratch, "--count", "1"});
        if (framed.status == 0)
            expectFitted(decodeJpeg(scratch + "/frame_0.jpg"), width, height, 512, "frames");

        // The export where the shape is not simply the coded one (pixel aspect,
        // turn, stretch) and for every real file: the others take the common
        // path that the transcode tests check.
        bool real = path.find("/tests/data/real/") != std::string::npos;
        if (!real && coded->first == int(width) && coded->second == int(height)) continue;
        ++exports;
        auto exported = reelctl({"transcode", path, scratch + "/out.mp4"});
        if (exported.status != 0) continue;  // sound that does not decode fails the export
        // Even sides and the fit to 1920x1080 move the aspect by a pixel at most.
        double aspect = exportedAspect(scratch + "/out.mp4");
        double slack = 2.0 / std::min(width, height);
        EXPECT_NEAR(aspect / (width / height), 1.0, slack) << "export";
    }
    EXPECT_GT(checked, 80 / count);  // the fixtures are all there
    EXPECT_GE(exports, 20 / count);  // shards share them unevenly
}
