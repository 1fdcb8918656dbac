#include "files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace files {

using platform::Result;

platform::Result<handles::FileDescriptor> openInput(const std::string& path) {
    using R = Result<handles::FileDescriptor>;
    if (path.find('\0') != std::string::npos)
        return R::failure("file name holds a NUL byte", "opening " + path);
    // O_NONBLOCK: opening a FIFO with no writer (or some devices) would
    // otherwise wait forever. Nothing but a regular file is read after it.
    handles::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return R::failure(std::strerror(errno), "opening " + path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return R::failure(std::strerror(errno), "opening " + path);
    if (S_ISDIR(st.st_mode)) return R::failure(std::strerror(EISDIR), "opening " + path);
    if (!S_ISREG(st.st_mode)) return R::failure("not a regular file", "opening " + path);
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return R::failure(std::strerror(errno), "opening " + path);
    return fd;
}

std::optional<Identity> identityOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

std::optional<Identity> identityOf(const std::string& path) {
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

}  // namespace files
