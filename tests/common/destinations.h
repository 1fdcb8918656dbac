// Things an output path may name that no tool may write over or through:
// devices, a FIFO, a socket, a folder, and the tool's own input by another
// name. Each kind is made at a path, and what is there afterwards can be
// compared with what was made.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "proc.h"

namespace testsupport {

struct Destination {
    const char* kind;
    const char* description;  // the reason the tools quote
    bool isInput;             // the path names the input (so the input goes there)
};

inline const std::vector<Destination>& refusedDestinations() {
    static const std::vector<Destination> kinds = {
        {"null device", "not a regular file", false},
        {"full device", "not a regular file", false},
        {"fifo", "not a regular file", false},
        {"socket", "not a regular file", false},
        {"directory", "Is a directory", false},
        {"input itself", "same file as the input", true},
        {"symlink to input", "same file as the input", true},
        {"hard link to input", "same file as the input", true},
    };
    return kinds;
}

// Makes `kind` at `path`; `input` is the input file, which "input itself"
// puts at `path` (a copy of `source`) and the links point to. Returns the
// input's path, or empty when this system does not allow the kind (mknod
// without the privilege).
inline std::string makeDestination(const std::string& kind, const std::string& path,
                                   const std::string& source, const std::string& input) {
    namespace fs = std::filesystem;
    std::string in = kind == std::string("input itself") ? path : input;
    fs::copy_file(source, in, fs::copy_options::overwrite_existing);
    std::string k = kind;
    int r = 0;
    if (k == "null device") r = ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3));
    if (k == "full device") r = ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7));
    if (k == "fifo") r = ::mkfifo(path.c_str(), 0644);
    if (k == "socket") r = ::mknod(path.c_str(), S_IFSOCK | 0644, 0);
    if (k == "directory") r = ::mkdir(path.c_str(), 0755);
    if (k == "symlink to input") r = ::symlink(in.c_str(), path.c_str());
    if (k == "hard link to input") r = ::link(in.c_str(), path.c_str());
    return r == 0 ? in : std::string();
}

// What is at a path, as far as a write could change it: its type, device
// numbers, size, and a regular file's bytes (hashed).
inline std::string nodeAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "nothing";
    std::string node = std::to_string(st.st_mode & S_IFMT) + " " + std::to_string(st.st_rdev) +
                       " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode)) node += " " + std::to_string(std::hash<std::string>{}(readFile(path)));
    return node;
}

inline std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace testsupport
