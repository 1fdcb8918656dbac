#include <vips/vips.h>

#include <cstring>
#include <regex>

#include "vips/input.h"

namespace vips {

const std::vector<std::string>& allowedLoaders() {
    // The image kinds of a photo library: camera and phone pictures (JPEG,
    // HEIC, AVIF, JPEG XL), scans and edits (TIFF, PNG), the web's (WebP,
    // GIF). Class names as libvips 8.14 has them; GIF is read with libnsgif.
    static const std::vector<std::string> loaders = {
        "VipsForeignLoadJpeg",  "VipsForeignLoadPng",  "VipsForeignLoadWebp", "VipsForeignLoadTiff",
        "VipsForeignLoadNsgif", "VipsForeignLoadHeif", "VipsForeignLoadJxl"};
    return loaders;
}

platform::Result<void> start() {
    static platform::Result<void> started = [] {
        if (VIPS_INIT("media-companions") != 0)
            return platform::Result<void>::failure(errorText(), "starting libvips");
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        g_log_set_handler(
            "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const std::string& loader : allowedLoaders())
            vips_operation_block_set(loader.c_str(), FALSE);
        return platform::Result<void>::success();
    }();
    return started;
}

void setWorkerThreads(int count) {
    vips_concurrency_set(count);
}

std::optional<std::string> allowedLoaderOf(VipsSource* source) {
    // Only the allowed loaders' sniffers, in libvips's order (priority):
    // libvips 8.14 runs those of blocked loaders as well, and the Radiance
    // one reads to the first line feed, all of a file of zeros.
    VipsSListMap2Fn claims = [](void* item, void* data, void*) -> void* {
        auto* loader = static_cast<VipsForeignLoadClass*>(item);
        const char* nickname = VIPS_OBJECT_CLASS(loader)->nickname;
        if ((VIPS_OPERATION_CLASS(loader)->flags & VIPS_OPERATION_BLOCKED) ||
            !vips_ispostfix(nickname, "_source") || !loader->is_a_source)
            return nullptr;
        auto* in = static_cast<VipsSource*>(data);
        if (vips_source_rewind(in) != 0) return nullptr;
        return loader->is_a_source(in) ? loader : nullptr;
    };
    vips_error_freeze();
    auto* found = static_cast<VipsForeignLoadClass*>(
        vips_foreign_map("VipsForeignLoad", claims, source, nullptr));
    // libvips's own search, which every load runs, must come to the same
    // loader: a blocked loader's sniffer claiming the data before it would
    // fail the load. (It stops at the allowed loader found, which comes
    // before the sniffers that read far.)
    const char* chosen = found ? vips_foreign_find_load_source(source) : nullptr;
    vips_error_thaw();
    vips_error_clear();
    if (!chosen || std::strcmp(chosen, G_OBJECT_CLASS_NAME(found)) != 0) return std::nullopt;
    return std::string(VIPS_OBJECT_CLASS(found)->nickname);
}

std::string errorText(const char* what) {
    std::string text = what ? what : vips_error_buffer();
    vips_error_clear();
    // Every line of libvips's error buffer is "<domain>: <text>", the domain
    // a class or function name ("VipsJpeg", "tiff2vips", "gifload_source");
    // ImageMagick's texts end with its source location.
    static const std::regex domain(R"(^[A-Za-z_][A-Za-z0-9_]*: )");
    static const std::regex location(
        R"(\s*@?\s*\b(error|warning)/[\w.-]+/\w+/\d+|\s*\(?\b[\w./-]+\.(c|cc|cpp|h):\d+\)?)");
    // libheif's error and suberror numbers, "(2.100)".
    static const std::regex codes(R"(;?\s*\(\d+\.\d+\)$)");
    // A line that names only the library function that failed.
    static const std::regex bareFunction(R"(^error [A-Za-z_]\w*$)");
    // The source's seeks past the end that a loader tried before failing.
    static const std::regex seek(R"(^bad seek to \d+$)");
    std::string joined;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        line = std::regex_replace(std::regex_replace(line, domain, ""), location, "");
        line = std::regex_replace(line, codes, "");
        if (std::regex_match(line, bareFunction)) line = "the decoder failed on the data";
        if (std::regex_match(line, seek)) line = "";
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        if (line.empty() || joined == line || joined.find("; " + line) != std::string::npos ||
            joined.rfind(line + "; ", 0) == 0)
            continue;
        joined += (joined.empty() ? "" : "; ") + line;
    }
    return joined;
}

}  // namespace vips
