#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "handles/file.h"

namespace handles {

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void FileClose::operator()(std::FILE* file) const noexcept {
    std::fclose(file);
}

bool FileDescriptor::close() noexcept {
    int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

}  // namespace handles
