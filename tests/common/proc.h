// Runs a program the way the host does: arguments, standard input, and the
// captured standard output, standard error and exit status.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct Run {
    int status = -1;  // exit status, or 128 + signal number when killed
    std::string out;
    std::string err;
};

// argv[0] is the program path. `input` is written to the child's standard
// input, which is then closed. `cwd` empty means the current directory.
Run run(const std::vector<std::string>& argv, const std::string& input = {},
        const std::string& cwd = {});

// Built program by name, e.g. bin("reelctl").
std::string bin(const std::string& name);
// Generated fixture file, e.g. fixture("reelctl/probe/h264.mp4").
std::string fixture(const std::string& relative);
// A fresh empty directory under the build tree, unique per call.
std::string scratchDir(const std::string& tag);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
bool exists(const std::string& path);

}  // namespace testsupport
