#include "jpeg/jpeg.h"

#include <turbojpeg.h>

#include <memory>
#include <string>

namespace jpeg {

namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct BufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

}  // namespace

platform::Result<std::vector<uint8_t>> encode(const uint8_t* rgb, int width, int height, int stride,
                                              int quality) {
    using R = platform::Result<std::vector<uint8_t>>;
    std::unique_ptr<void, HandleDeleter> handle(tjInitCompress());
    if (!handle) return R::failure(tjGetErrorStr2(nullptr));
    unsigned char* out = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(handle.get(), rgb, width, stride, height, TJPF_RGB, &out, &size,
                         TJSAMP_444, quality, 0);
    std::unique_ptr<unsigned char, BufferDeleter> owned(out);
    if (rc != 0 || !out || size == 0) return R::failure(tjGetErrorStr2(handle.get()));
    return std::vector<uint8_t>(out, out + size);
}

}  // namespace jpeg
