#include <vips/vips.h>


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
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace handles
