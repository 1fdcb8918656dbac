#include <fcntl.h>
#include <vips/vips.h>

#include <cerrno>
#include <cstring>

#include "handles/handles.h"

namespace handles {

platform::Result<void> startVips() {
    static platform::Result<void> started = [] {
        if (VIPS_INIT("media-companions") != 0)
            return platform::Result<void>::failure(vipsErrorText(), "starting libvips");
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        g_log_set_handler(
            "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
        return platform::Result<void>::success();
    }();
    return started;
}

std::string vipsErrorText(const char* what) {
    std::string text = what ? what : vips_error_buffer();
    vips_error_clear();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

platform::Result<VipsFileName> VipsFileName::of(const std::string& path) {
    if (path.find_first_of("[]'\"") == std::string::npos)
        return VipsFileName(path, path, FileDescriptor());
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return platform::Failure{path + ": " + std::strerror(errno), "opening the file"};
    std::string name = "/proc/self/fd/" + std::to_string(fd.get());
    return VipsFileName(path, std::move(name), std::move(fd));
}

std::string VipsFileName::text(std::string libraryText) const {
    if (name_ == path_) return libraryText;
    for (size_t at = 0; (at = libraryText.find(name_, at)) != std::string::npos; at += path_.size())
        libraryText.replace(at, name_.size(), path_);
    return libraryText;
}

}  // namespace handles
