// The add-on as the runtime sees it before calling into it: its two entry
// points, and nothing else exported.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "proc.h"

namespace {

struct Library {
    void* handle;
    explicit Library(const std::string& path)
        : handle(dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL)) {}
    ~Library() {
        if (handle) dlclose(handle);
    }
};

TEST(DragbridgeModule, ExportsOnlyTheTwoEntryPointsAndTargetsVersion8) {
#ifndef HAVE_DRAGBRIDGE_MODULE
    GTEST_SKIP() << "add-on not built (no Node-API headers)";
#else
    Library lib(std::string(LIB_DIR) + "/dragbridge.node");
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    using Version = int32_t (*)();
    auto version =
        reinterpret_cast<Version>(dlsym(lib.handle, "node_api_module_get_api_version_v1"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 8);
    EXPECT_NE(dlsym(lib.handle, "napi_register_module_v1"), nullptr);
    // The add-on's own functions stay private to it.
    for (const char* name : {"start", "pasteboard", "fileURLs", "writers"})
        EXPECT_EQ(dlsym(lib.handle, name), nullptr) << name;
#endif
}

}  // namespace
