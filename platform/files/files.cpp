#include "files/files.h"

#include <fcntl.h>
#include <glib.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// ---------------------------------------------------------------------------
// Outputs

namespace {

constexpr const char* kNotRegular = "not a regular file";
constexpr const char* kIsInput = "same file as the input";

// The temporary files being written, for removal at exit and from signal
// handlers. A handler may neither allocate nor lock, so the paths sit in
// fixed slots claimed with atomics (no library keeps such a list).
enum SlotState : int { kFree, kFilling, kLive, kRemoving };
struct Slot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
constexpr int kSlots = 8;
Slot slots[kSlots];

// Async-signal-safe: atomics and unlink only. A slot taken for removal is
// never given back: the process is ending.
void removeLiveTemporaries() noexcept {
    for (Slot& slot : slots) {
        int live = kLive;
        if (slot.state.compare_exchange_strong(live, kRemoving)) ::unlink(slot.path);
    }
}

void removeAtExit() {
    // A function-local static rather than std::call_once, whose thread-local
    // state would make every binary linking this need the dynamic loader itself.
    static const bool registered = std::atexit(removeLiveTemporaries) == 0;
    (void)registered;
}

// A slot holding `path`, or -1 (errno set) when none is free or it is too long.
int enlist(const std::string& path) {
    removeAtExit();
    if (path.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int i = 0; i < kSlots; ++i) {
        int free = kFree;
        if (!slots[i].state.compare_exchange_strong(free, kFilling)) continue;
        std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
        slots[i].state.store(kLive);
        return i;
    }
    errno = EMFILE;
    return -1;
}

// Gives the slot back, unless a handler is removing its file (the process
// is ending then, and the slot must not be refilled under it).
void delist(int slot) {
    if (slot < 0) return;
    int live = kLive;
    slots[slot].state.compare_exchange_strong(live, kFree);
}

void onEndingSignal(int sig) {
    int saved = errno;
    removeLiveTemporaries();
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(sig, &defaults, nullptr);
    // Blocked while this handler runs: delivered, with the default action,
    // as it returns.
    ::raise(sig);
    errno = saved;
}

constexpr std::array<int, 3> kEndingSignals = {SIGTERM, SIGINT, SIGHUP};

// Keeps the ending signals away while a temporary file is made and enlisted,
// so that none can be left between the two.
class EndingSignalsHeld {
  public:
    EndingSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : kEndingSignals)
            sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace

platform::Result<void> checkDestination(const std::string& destination,
                                        std::optional<Identity> input) {
    using R = Result<void>;
    if (destination.find('\0') != std::string::npos)
        return R::failure("file name holds a NUL byte", destination);
    struct stat st {};
    if (::lstat(destination.c_str(), &st) != 0) return R::success();
    if (S_ISDIR(st.st_mode)) return R::failure(std::strerror(EISDIR), destination);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return R::failure(kNotRegular, destination);
    if (input && identityOf(destination) == input) return R::failure(kIsInput, destination);
    return R::success();
}

platform::Result<Output> Output::create(const std::string& destination,
                                        std::optional<Identity> input) {
    using R = Result<Output>;
    auto failed = [&](int err) { return R::failure(std::strerror(err), destination); };
    auto checked = checkDestination(destination, input);
    if (!checked.ok()) return checked.failed();

    size_t slash = destination.rfind('/');
    std::string folder = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    std::string name = destination.substr(folder.size());
    if (name.empty()) return failed(EISDIR);
    // A hidden name beside the destination, short enough for any file system.
    constexpr size_t kMaxName = 255 - 1 - 7;
    std::string pattern = folder + "." + name.substr(0, kMaxName) + ".XXXXXX";

    Output output;
    output.destination_ = destination;
    output.input_ = input;
    struct stat existing {};
    bool exists = ::lstat(destination.c_str(), &existing) == 0;
    output.replaces_ = exists;
    {
        EndingSignalsHeld held;
        // GLib's mkstemp takes the mode (umask applied by open) where the C
        // library's gives 0600.
        handles::FileDescriptor fd(g_mkstemp_full(pattern.data(), O_WRONLY | O_CLOEXEC, 0666));
        if (!fd) return failed(errno);
        int slot = enlist(pattern);
        if (slot < 0) {
            int err = errno;
            ::unlink(pattern.c_str());
            return failed(err);
        }
        output.fd_ = std::move(fd);
        output.temporary_ = pattern;
        output.slot_ = slot;
    }
    if (exists && S_ISREG(existing.st_mode) &&
        ::fchmod(output.fd_.get(), existing.st_mode & 0777) != 0)
        return failed(errno);
    return output;
}

Output::Output(Output&& other) noexcept {
    *this = std::move(other);
}

Output& Output::operator=(Output&& other) noexcept {
    if (this == &other) return *this;
    discard();
    destination_ = std::move(other.destination_);
    temporary_ = std::exchange(other.temporary_, {});
    fd_ = std::move(other.fd_);
    slot_ = std::exchange(other.slot_, -1);
    input_ = other.input_;
    replaces_ = other.replaces_;
    return *this;
}

platform::Result<void> Output::write(const void* data, size_t size) {
    using R = Result<void>;
    if (!fd_) return R::failure(std::strerror(EBADF), destination_);
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        ssize_t n = ::write(fd_.get(), bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return R::failure(std::strerror(n < 0 ? errno : ENOSPC), destination_);
        done += size_t(n);
    }
    return R::success();
}

platform::Result<void> Output::commit() {
    using R = Result<void>;
    auto failed = [&](int err) { return R::failure(std::strerror(err), destination_); };
    if (!fd_) return failed(EBADF);
    // Replacing a file: its new content reaches the disk before the name
    // moves, so a crash leaves the old file or the new one, never an empty one.
    if (replaces_ && ::fsync(fd_.get()) != 0) return failed(errno);
    if (!fd_.close()) return failed(errno);
    // Checked again: the destination may have changed while this was written.
    auto checked = checkDestination(destination_, input_);
    if (!checked.ok()) return checked;
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return failed(errno);
    delist(std::exchange(slot_, -1));
    temporary_.clear();
    return R::success();
}

void Output::discard() noexcept {
    if (temporary_.empty()) return;
    fd_.reset();
    ::unlink(temporary_.c_str());
    delist(std::exchange(slot_, -1));
    temporary_.clear();
}

platform::Result<void> writeWholeFile(const std::string& destination, const void* data, size_t size,
                                      std::optional<Identity> input) {
    auto output = Output::create(destination, input);
    if (!output.ok()) return output.failed();
    auto written = output.value().write(data, size);
    if (!written.ok()) return written;
    return output.value().commit();
}

platform::Result<void> removeReplaceable(const std::string& path) {
    using R = Result<void>;
    if (path.find('\0') != std::string::npos) return R::failure("file name holds a NUL byte", path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? R::success() : R::failure(std::strerror(errno), path);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return R::success();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return R::failure(std::strerror(errno), path);
    return R::success();
}

void removeTemporariesOnSignals() {
    removeAtExit();
    for (int sig : kEndingSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction handler {};
        handler.sa_handler = onEndingSignal;
        sigemptyset(&handler.sa_mask);
        for (int other : kEndingSignals)
            sigaddset(&handler.sa_mask, other);
        ::sigaction(sig, &handler, nullptr);
    }
}

}  // namespace files
