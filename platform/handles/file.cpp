#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "handles/handles.h"

namespace handles {

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void FileClose::operator()(std::FILE* file) const noexcept { std::fclose(file); }

bool FileDescriptor::close() noexcept {
    int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

platform::Result<void> writeWholeFile(const std::string& path, const void* data, size_t size) {
    auto failed = [&](int err) {
        ::unlink(path.c_str());
        return platform::Result<void>::failure(std::strerror(err), path);
    };
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return platform::Result<void>::failure(std::strerror(errno), path);
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd.get(), bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : ENOSPC;
            fd.reset();
            return failed(err);
        }
        done += size_t(n);
    }
    if (!fd.close()) return failed(errno);
    return platform::Result<void>::success();
}

}  // namespace handles
