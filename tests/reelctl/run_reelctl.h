// Runs the built reelctl with the given arguments (after the program path),
// and reads back what its frames command wrote.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
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
    ASSERT_NO_FATAL_FAILURE(framesWrittenWith(path, {"--count", std::to_string(count)}, scratch, out));
    ASSERT_EQ(out.size(), size_t(count));
}

// What a run wrote to standard error, split into its progress lines and the
// rest, and how long it took.
struct Progressed {
    testsupport::Run run;
    double seconds = 0;
    std::vector<double> fractions;    // of the "progress <fraction>" lines, in order
    std::vector<std::string> others;  // every other line, in order
};

// A run's standard error split, its progress lines checked: each "progress "
// and a fraction from 0 to 1 written plainly (no exponent, at most three
// places), none smaller than the one before, at most one a tenth of a second
// of the run beside the first and the last.
inline Progressed progressIn(testsupport::Run run, double seconds) {
    Progressed p{std::move(run), seconds, {}, {}};
    static const std::regex line("progress (0|1|0\\.[0-9]{0,2}[1-9])");
    std::istringstream lines(p.run.err);
    std::smatch m;
    for (std::string text; std::getline(lines, text);) {
        if (std::regex_match(text, m, line)) {
            p.fractions.push_back(std::stod(m[1]));
        } else {
            EXPECT_EQ(text.rfind("progress", 0), std::string::npos) << "malformed: " << text;
            p.others.push_back(text);
        }
    }
    EXPECT_TRUE(std::is_sorted(p.fractions.begin(), p.fractions.end())) << p.run.err;
    EXPECT_LE(double(p.fractions.size()), 2 + seconds * 10) << p.run.err;
    return p;
}

// `reelctl ARGUMENTS...`, timed, through progressIn.
inline Progressed progressOf(std::vector<std::string> arguments) {
    auto start = std::chrono::steady_clock::now();
    testsupport::Run run = reelctl(std::move(arguments));
    return progressIn(
        std::move(run),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// Whether `text` ends with the line `last`.
inline bool endsWithLine(const std::string& text, const std::string& last) {
    return text == last + "\n" || text.ends_with("\n" + last + "\n");
}
