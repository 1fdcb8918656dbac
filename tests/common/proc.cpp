#include "proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Run run(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    // Feed stdin and drain both outputs together so that no pipe fills up.
    signal(SIGPIPE, SIG_IGN);
    int inFd = in[1], outFd = out[0], errFd = err[0];
    size_t written = 0;
    if (input.empty()) closeFd(inFd);
    Run result;
    char buf[65536];
    while (inFd >= 0 || outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == inFd) {
                ssize_t w = ::write(inFd, input.data() + written,
                                    std::min<size_t>(input.size() - written, 1 << 16));
                if (w < 0 && errno != EINTR && errno != EAGAIN) closeFd(inFd);
                if (w > 0) written += size_t(w);
                if (inFd >= 0 && written == input.size()) closeFd(inFd);
            } else {
                int& fd = fds[i].fd == outFd ? outFd : errFd;
                std::string& sink = fds[i].fd == outFd ? result.out : result.err;
                ssize_t r = ::read(fd, buf, sizeof buf);
                if (r > 0)
                    sink.append(buf, size_t(r));
                else if (r == 0 || (errno != EINTR && errno != EAGAIN))
                    closeFd(fd);
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string bin(const std::string& name) {
    return std::string(BIN_DIR) + "/" + name;
}

std::string fixture(const std::string& relative) {
    return std::string(FIXTURE_DIR) + "/" + relative;
}

std::string scratchDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    std::string dir = std::string(BIN_DIR) + "/../scratch/" + tag + "-" +
                      std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace testsupport
