// Arbitrary strings as dragged paths: every path that names a file becomes a
// file URL that reads back as the same path, stays on one line in the URL
// list, and comes back from a file-URL read of the pasteboard in order.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pasteboard/pasteboard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Paths are separated by 0x01 so that NUL bytes inside a path stay possible.
    std::vector<std::string> paths(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01)
            paths.emplace_back();
        else
            paths.back().push_back(char(data[i]));
    }
    static const std::string cwd = [] {
        char buf[4096];
        return std::string(getcwd(buf, sizeof buf) ? buf : "/");
    }();

    std::vector<std::shared_ptr<const pasteboard::Writer>> writers;
    std::vector<std::string> expected;
    for (const std::string& path : paths) {
        auto url = pasteboard::FileURL::withPath(path);
        if (path.empty() || path.find('\0') != std::string::npos) {
            if (url) __builtin_trap();  // such a string names no file
            continue;
        }
        if (!url) continue;
        const std::string& text = url->absoluteString();
        if (text.rfind("file://", 0) != 0) __builtin_trap();
        if (text.find_first_of("\r\n") != std::string::npos) __builtin_trap();
        auto back = pasteboard::FileURL::fromString(text);
        if (!back || !(*back == *url)) __builtin_trap();
        auto decoded = url->path();
        if (!decoded) __builtin_trap();
        // A relative path is taken against the working directory.
        std::string absolute = path[0] == '/' ? path : cwd + "/" + path;
        if (*decoded != absolute) __builtin_trap();
        writers.push_back(std::make_shared<pasteboard::FileURL>(*url));
        expected.push_back(text);
    }

    auto board = pasteboard::Pasteboard::withUniqueName();
    board->clearContents();
    board->writeObjects(writers);
    auto read = board->readFileURLs();
    if (read.size() != expected.size()) __builtin_trap();
    for (size_t i = 0; i < read.size(); ++i)
        if (read[i].absoluteString() != expected[i]) __builtin_trap();
    for (const auto& item : board->pasteboardItems())
        for (const auto& type : item.types())
            (void)item.dataForType(type);
    board->releaseGlobally();
    return 0;
}
