// Files the tools are handed: inputs opened as what they are, and outputs
// that appear whole or not at all.
//
// An input path is untrusted. openInput opens it once, without blocking (a
// FIFO with no writer, a device, a socket never stall the caller), and
// accepts only a regular file; a symbolic link to one is fine. The caller
// reads that descriptor and never opens the path again, so what was checked
// is what is read.
//
// Every failure carries the C library's text (strerror) and the step.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "handles/file.h"
#include "result/result.h"

namespace files {

// The file at `path` opened read-only (close-on-exec, blocking reads once
// open). A path holding a NUL byte, a missing file, a directory, FIFO,
// device or socket is refused: ENOENT, EISDIR or "not a regular file".
platform::Result<handles::FileDescriptor> openInput(const std::string& path);

// Which file an open descriptor or a path (symbolic links followed) is: two
// paths, hard links or descriptors of one file have the same identity.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};
std::optional<Identity> identityOf(int fd);
std::optional<Identity> identityOf(const std::string& path);

// Why `destination` cannot be replaced, found without opening it: a
// directory there ("Is a directory"), a device, FIFO or socket ("not a
// regular file"), or the file `input` itself, through any link ("same file as
// the input"). Success when nothing is there or what is there cannot be told
// (the write then reports the real error).
platform::Result<void> checkDestination(const std::string& destination,
                                        std::optional<Identity> input = std::nullopt);

// One output file being written. Made by create(); committed, it replaces the
// destination; discarded or destroyed uncommitted, it leaves no trace.
class Output {
  public:
    // Checks the destination (checkDestination) and creates the temporary file.
    static platform::Result<Output> create(const std::string& destination,
                                           std::optional<Identity> input = std::nullopt);
    Output(Output&& other) noexcept;
    Output& operator=(Output&& other) noexcept;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { discard(); }

    // The temporary file's path, for a library that opens its output by name
    // (and may reopen it); it lives in the destination's folder.
    const std::string& temporaryPath() const { return temporary_; }

    platform::Result<void> write(const void* data, size_t size);

    // Renames the complete file over the destination (flushed to the disk
    // first when it replaces a file, so that a crash cannot leave neither).
    platform::Result<void> commit();

    // Removes the temporary file; the destination stays as it was.
    void discard() noexcept;

  private:
    Output() = default;
    std::string destination_, temporary_;
    std::optional<Identity> input_;
    handles::FileDescriptor fd_;
    int slot_ = -1;          // its place among the temporaries removed at the end
    bool replaces_ = false;  // something was at the destination when it was made
};

// The bytes as the whole new content of `destination`, through an Output.
platform::Result<void> writeWholeFile(const std::string& destination, const void* data, size_t size,
                                      std::optional<Identity> input = std::nullopt);

// Removes what is at `path` when an Output may replace it (a regular file or a
// symbolic link); anything else, or nothing, stays. Missing is success.
platform::Result<void> removeReplaceable(const std::string& path);

// SIGTERM, SIGINT and SIGHUP first remove the temporary files being written,
// then end the process as the signal would (the exit shows the signal). A
// signal the process ignores stays ignored. Call once, early in main.
void removeTemporariesOnSignals();

}  // namespace files
