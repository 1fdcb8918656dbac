// Runs the built reelctl with the given arguments (after the program path),
// and reads back what its frames command wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "image_check.h"
#include "proc.h"

inline testsupport::Run reelctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), testsupport::bin("reelctl"));
    return testsupport::run(arguments);
}

// `reelctl probe <path>`: its document, or an empty object after a gtest
// failure when the run fails.
inline nlohmann::json probeDocument(const std::string& path) {
    auto r = reelctl({"probe", path});
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
    return r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json::object();
}

// How long after the container's start (time 0 of every request) the first
// video track's picture starts, as ffprobe reads the file.
inline double pictureStart(const std::string& path) {
    auto r = testsupport::run({"/usr/bin/ffprobe", "-v", "quiet", "-select_streams", "v:0",
                               "-show_entries", "format=start_time:stream=start_time", "-of",
                               "json", path});
    if (r.status != 0) return 0;
    nlohmann::json info = nlohmann::json::parse(r.out);
    auto seconds = [](const nlohmann::json& v) {
        return v.is_string() ? std::stod(v.get<std::string>()) : 0.0;
    };
    return seconds(info["streams"][0].value("start_time", nlohmann::json())) -
           seconds(info["format"].value("start_time", nlohmann::json()));
}

// A picture `reelctl frames` wrote, with its time from the manifest.
struct Written {
    double time;
    frames::Image image;
};

// `reelctl frames <path> <fresh scratch folder> OPTIONS...`: each written
// picture with its time (gtest fatal failure when the run fails).
inline void framesWrittenWith(const std::string& path, const std::vector<std::string>& options,
                              const std::string& scratch, std::vector<Written>& out) {
    std::string dir = testsupport::scratchDir(scratch);
    std::vector<std::string> arguments{"frames", path, dir};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto r = reelctl(arguments);
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json manifest = nlohmann::json::parse(r.out);
    for (const auto& entry : manifest["frames"])
        out.push_back({entry["time"].get<double>(),
                       imagecheck::decodeJpeg(dir + "/" + entry["filename"].get<std::string>())});
    ASSERT_EQ(manifest["count"], out.size());
}

// The same with `--count N` (fatal failure too when another count comes out).
inline void framesWritten(const std::string& path, int count, const std::string& scratch,
                          std::vector<Written>& out) {
    ASSERT_NO_FATAL_FAILURE(
        framesWrittenWith(path, {"--count", std::to_string(count)}, scratch, out));
    ASSERT_EQ(out.size(), size_t(count));
}
