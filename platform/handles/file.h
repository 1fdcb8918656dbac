// Owning handles for POSIX file descriptors and C stdio streams.
#pragma once

#include <cstdio>
#include <memory>

namespace handles {

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;
    // Closes now and says whether the close succeeded (errno otherwise): a
    // written file's last error can show only here.
    bool close() noexcept;

  private:
    int fd_ = -1;
};

// A C stdio stream (fclose'd).
struct FileClose {
    void operator()(std::FILE* file) const noexcept;
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

}  // namespace handles
