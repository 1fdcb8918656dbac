// What an output path may name that no tool may write over or through
// (devices, a FIFO, a socket, a folder, the tool's own input by another name),
// made at a path, and what is at a path, to compare before and after a run.
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
    std::string kind, description;  // the reason the tools quote
    bool isInput;                   // the path names the input
};

inline const std::vector<Destination> refusedDestinations = {
    {"null device", "not a regular file", false},
    {"full device", "not a regular file", false},
    {"fifo", "not a regular file", false},
    {"socket", "not a regular file", false},
    {"directory", "Is a directory", false},
    {"input itself", "same file as the input", true},
    {"symlink to input", "same file as the input", true},
    {"hard link to input", "same file as the input", true},
};

// Makes `kind` at `path` and the input file, a copy of `source` at `input`
// (at `path` itself for "input itself"). The input's path, or empty when this
// system does not allow the kind (mknod without the privilege).
inline std::string makeDestination(const std::string& kind, const std::string& path,
                                   const std::string& source, std::string input) {
    if (kind == "input itself") input = path;
    std::filesystem::copy_file(source, input);
    int r = 0;
    if (kind == "null device") r = ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3));
    if (kind == "full device") r = ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7));
    if (kind == "fifo") r = ::mkfifo(path.c_str(), 0644);
    if (kind == "socket") r = ::mknod(path.c_str(), S_IFSOCK | 0644, 0);
    if (kind == "directory") r = ::mkdir(path.c_str(), 0755);
    if (kind == "symlink to input") r = ::symlink(input.c_str(), path.c_str());
    if (kind == "hard link to input") r = ::link(input.c_str(), path.c_str());
    return r == 0 ? input : std::string();
}

// Type, device numbers, size and (hashed) bytes of what is at a path.
inline std::string nodeAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "nothing";
    size_t bytes = S_ISREG(st.st_mode) ? std::hash<std::string>{}(readFile(path)) : 0;
    return std::to_string(st.st_mode & S_IFMT) + " " + std::to_string(st.st_rdev) + " " +
           std::to_string(st.st_size) + " " + std::to_string(bytes);
}

inline std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace testsupport
