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

#include <optional>
#include <string>

#include "handles/handles.h"
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

}  // namespace files
