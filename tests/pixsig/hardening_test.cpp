// pixsig under hostile conditions: a host that goes away, a full disk,
// unreadable and changing files, images that declare huge sizes, and request
// lines far longer than any real one. Each case must end in an answer or a
// refusal, within bounded memory, never a crash, a hang or a false success.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "proc.h"
#include "sanitizer.h"
#include "vips/input.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::fixture;

namespace {

const std::string badLine = "pixsig: bad request line\n";

// A `pixsig --serve` process on pipes, driven one line at a time.
struct Server {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string pending;  // bytes read from standard output, not yet a whole line

    // `prefix` runs the server through another program (e.g. setpriv);
    // `setup` runs in the child before exec (async-signal-safe calls only).
    explicit Server(std::vector<std::string> prefix = {}, std::function<void()> setup = {},
                    bool closeOut = false) {
        int pin[2], pout[2], perr[2];
        if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) abort();
        prefix.push_back(bin("pixsig"));
        prefix.push_back("--serve");
        std::vector<char*> argv;
        for (std::string& a : prefix)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            dup2(perr[1], 2);
            if (closeOut) close(1);
            if (setup) setup();
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        close(perr[1]);
        in = pin[1];
        out = pout[0];
        err = perr[0];
    }

    ~Server() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {in, out, err})
            if (fd >= 0) close(fd);
    }

    bool send(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = write(in, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }

    // The next response line; empty when none comes within a generous time.
    std::string line() {
        for (;;) {
            if (size_t nl = pending.find('\n'); nl != std::string::npos) {
                std::string text = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return text;
            }
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 120'000) <= 0) return {};
            char buf[65536];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return {};
            pending.append(buf, size_t(n));
        }
    }

    json response() {
        std::string text = line();
        return text.empty() ? json() : json::parse(text, nullptr, false);
    }

    // Peak resident memory so far, KiB.
    long peakKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string l; std::getline(status, l);)
            if (l.rfind("VmHWM:", 0) == 0) return std::stol(l.substr(6));
        return -1;
    }

    // Resident memory now, KiB.
    long rssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string l; std::getline(status, l);)
            if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
        return -1;
    }

    // Ends standard input and waits (at most two minutes) for the exit;
    // returns the exit status, 128 + signal, or -1 for a server still running.
    int finish(std::string* errText = nullptr) {
        close(in);
        in = -1;
        std::string errBytes;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        int status = 0;
        for (;;) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            char buf[4096];
            for (int fd : {out, err}) {
                pollfd p{fd, POLLIN, 0};
                while (fd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                    ssize_t n = read(fd, buf, sizeof buf);
                    if (n <= 0) break;
                    if (fd == err) errBytes.append(buf, size_t(n));
                    if (fd == out) pending.append(buf, size_t(n));
                }
            }
            if (done == pid) break;
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid = -1;
        if (errText) *errText = errBytes;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

std::string request(const json& r) {
    return r.dump() + "\n";
}

json thumbRequest(const std::string& path, const std::string& out, int size = 64) {
    return {{"op", "thumb"}, {"path", path}, {"out", out}, {"size", size}};
}

// Memory bounds: far above what the server needs (tens of MiB; more under
// the address sanitizer), far below what the unbounded cases took.
constexpr long boundKiB = 320 * 1024;

}  // namespace

// A request line of 100 MB is refused as a bad request line without being
// held: the server's peak memory stays far below the line's size, and the
// next line is answered as usual.
TEST(PixsigHardening, HugeRequestLineRefusedInBoundedMemory) {
    Server server;
    ASSERT_TRUE(server.send(R"({"path":"/)"));
    std::string chunk(1 << 20, 'd');
    for (int i = 0; i < 100; i++)
        ASSERT_TRUE(server.send(chunk));
    ASSERT_TRUE(server.send("\",\"id\":\"huge\"}\n" +
                            request({{"path", "/nowhere/a.png"}, {"id", "after"}})));
    json r = server.response();
    EXPECT_EQ(r["id"], "after");
    EXPECT_EQ(r["ok"], false);
    long peak = server.peakKiB();
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, boundKiB) << "peak resident memory " << peak << " KiB";
    std::string err;
    EXPECT_EQ(server.finish(&err), 0);
    EXPECT_EQ(err, badLine);
    EXPECT_EQ(server.pending, "");  // no response for the refused line
}

// Request lines just under the 16 MiB bound whose parsed value would be many
// times their size (one array or object per byte of deep nesting, one number
// per two bytes of a flat list) or whose one string is as long as the line:
// each is answered as before, and the server's peak resident memory rises
// above that of a server that has answered one small request by a small
// multiple of the line. Built whole, the nesting took some 40 times the line.
TEST(PixsigHardening, LongRequestLinesParsedInMemoryProportionalToThem) {
#if defined(TESTS_UNDER_ASAN)
    // The sanitizer's quarantine keeps every buffer a growing one left behind.
    constexpr long multiple = 10;
#else
    constexpr long multiple = 6;
#endif
    constexpr size_t length = (16u << 20) - 64;  // the line feed included: under the bound
    auto fill = [](std::string head, const std::string& unit, const std::string& tail) {
        size_t n = (length - 1 - head.size() - tail.size()) / unit.size();
        head.reserve(length);
        for (size_t i = 0; i < n; ++i)
            head += unit;
        return head + tail;
    };
    auto nested = [](std::string head, const std::string& tail) {
        size_t n = (length - 1 - head.size() - tail.size()) / 2;
        return head + std::string(n, '[') + std::string(n, ']') + tail;
    };
    struct Case {
        const char* name;
        std::string line;
        bool bad;
    };
    const std::vector<Case> cases = {
        {"nested arrays", nested("", ""), true},
        {"nested arrays in an ignored key",
         nested(R"({"path":"/nowhere/n.png","id":"nested arrays in an ignored key","deep":)", "}"),
         false},
        {"flat array", fill(R"({"path":"/nowhere/f.png","id":"flat array","list":[0)", ",0", "]}"),
         false},
        {"string value",
         fill(R"({"path":"/nowhere/s.png","id":"string value","note":")", "d", "\"}"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Server server;
        ASSERT_TRUE(server.send(request({{"path", "/nowhere/first.png"}, {"id", "first"}})));
        ASSERT_EQ(server.response()["id"], "first");
        long baseline = server.peakKiB();
        ASSERT_TRUE(
            server.send(c.line + "\n" + request({{"path", "/nowhere/a.png"}, {"id", "after"}})));
        if (!c.bad) {
            EXPECT_EQ(server.response()["id"], c.name);
        }
        EXPECT_EQ(server.response()["id"], "after");
        long rise = server.peakKiB() - baseline;
        EXPECT_LT(rise, multiple * long(length / 1024))
            << "peak resident memory rose by " << rise << " KiB for a line of " << length / 1024
            << " KiB";
        std::string err;
        EXPECT_EQ(server.finish(&err), 0);
        EXPECT_EQ(err, c.bad ? badLine : "");
    }
}

// An overlong last line without a line feed is refused the same way.
TEST(PixsigHardening, HugeLastLineWithoutLineFeedRefused) {
    Server server;
    std::string chunk(1 << 20, ' ');
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(server.send(chunk));
    std::string err;
    EXPECT_EQ(server.finish(&err), 0);
    EXPECT_EQ(err, badLine);
    EXPECT_EQ(server.pending, "");
}

// Images whose headers declare 100000 x 100000 (PNG), 65000 x 65000 (JPEG)
// and 60000 x 60000 (GIF, a decoder that would hold the whole frame; TIFF,
// one deflated strip) pixels:
// both feature prints and thumbnails are refused with an error, in bounded
// memory, and no thumbnail file appears.
TEST(PixsigHardening, DecompressionBombsRefused) {
    std::string dir = testsupport::scratchDir("bombs");
    Server server;
    for (const char* name : {"bomb.png", "bomb.jpg", "bomb.gif", "bomb.tif"}) {
        std::string path = fixture(std::string("pixsig/hardening/") + name);
        std::string out = dir + "/" + name + ".jpg";
        ASSERT_TRUE(server.send(request({{"path", path}, {"id", "fp"}}) +
                                request(thumbRequest(path, out))));
        json print = server.response();
        EXPECT_EQ(print["id"], "fp") << name;
        EXPECT_EQ(print["ok"], false) << name << ": " << print;
        EXPECT_TRUE(print["error"].is_string() && !print["error"].get<std::string>().empty());
        // Refused for its data, before any decoding: not for its declared size.
        if (std::string(name) == "bomb.jpg") {
            EXPECT_EQ(print["error"], path + ": " +
                                          std::to_string(std::filesystem::file_size(path)) +
                                          " bytes cannot hold the data of a 65000 x 65000 JPEG");
        }
        json thumb = server.response();
        EXPECT_EQ(thumb["ok"], false) << name << ": " << thumb;
        EXPECT_EQ(thumb["error"], "can't decode " + path);
        EXPECT_FALSE(testsupport::exists(out));
    }
    long peak = server.peakKiB();
    EXPECT_LT(peak, boundKiB) << "peak resident memory " << peak << " KiB";
    EXPECT_EQ(server.finish(), 0);
}

// Paths and files no picture comes from: a named pipe with no writer,
// devices, a socket, a directory, names holding a NUL byte, decompression
// bombs, and files of kinds that only loaders written for other purposes
// would parse. Each is answered at once with its error, nothing is written
// (a notes.txt named before a NUL byte in `out` keeps its bytes), and the
// server goes on with the next request.
TEST(PixsigHardening, HostileInputsAreRefusedAndServingGoesOn) {
    std::string dir = testsupport::scratchDir("hostile");
    auto h = [](const std::string& name) { return fixture("pixsig/hardening/" + name); };
    std::string photo = h("photo.jpg"), pipe = dir + "/pipe.jpg", device = dir + "/zero.jpg",
                socketPath = dir + "/socket.jpg", notes = dir + "/notes.txt";
    std::filesystem::remove(pipe);
    std::filesystem::remove(device);
    std::filesystem::remove(socketPath);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    bool haveDevice = mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;  // as root
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    testsupport::writeFile(notes, "keep");
    auto unknown = [](const std::string& p) { return p + ": not a known file format"; };
    auto small = [&](const std::string& name, const char* declared) {
        return h(name) + ": " + std::to_string(std::filesystem::file_size(h(name))) +
               " bytes cannot hold the data of a " + declared;
    };
    struct Case {
        std::string path, out, print, thumb;  // no print error: a print is made
    };
    std::vector<Case> cases = {
        {pipe, "", pipe + ": not a regular file", "can't open " + pipe},
        {"/dev/zero", "", "/dev/zero: not a regular file", "can't open /dev/zero"},
        {"/dev/stdin", "", "/dev/stdin: not a regular file", "can't open /dev/stdin"},
        {socketPath, "", socketPath + ": No such device or address", "can't open " + socketPath},
        {dir, "", dir + ": Is a directory", "can't open " + dir},
        {photo + std::string("\0.png", 5), "",
         photo + std::string("\0.png", 5) + ": file name holds a NUL byte",
         "can't open " + photo + std::string("\0.png", 5)},
        {photo, notes + std::string("\0.jpg", 5), "",
         "can't write " + notes + std::string("\0.jpg", 5)},
        {h("gifbomb.gif"), "", small("gifbomb.gif", "16383 x 16383 GIF"),
         "can't decode " + h("gifbomb.gif")},
        {h("webpbomb.webp"), "", small("webpbomb.webp", "16383 x 16383 WebP"),
         "can't decode " + h("webpbomb.webp")},
        {h("bomb.png"), "", small("bomb.png", "100000 x 100000 PNG"),
         "can't decode " + h("bomb.png")},
    };
    for (const char* name :
         {"clip.jpg", "image.fits", "matrix.mat", "photo.ppm", "drawing.svg", "table.csv"})
        cases.push_back({h(name), "", unknown(h(name)), "can't read " + h(name)});
    if (haveDevice)
        cases.push_back({device, "", device + ": not a regular file", "can't open " + device});
    Server server;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::string out = c.out.empty() ? dir + "/t" + std::to_string(i) + ".jpg" : c.out;
        json thumb = thumbRequest(c.path, out);
        thumb["id"] = "t";
        ASSERT_TRUE(server.send(
            request({{"path", c.path}, {"id", "p"}}) + request(thumb) +
            request(
                {{"op", "thumb"}, {"path", photo}, {"out", dir + "/next.jpg"}, {"id", "next"}})));
        json print = server.response();
        if (c.print.empty())
            EXPECT_EQ(print["ok"], true) << print;
        else
            EXPECT_EQ(print, (json{{"id", "p"}, {"ok", false}, {"error", c.print}}));
        EXPECT_EQ(server.response(), (json{{"id", "t"}, {"ok", false}, {"error", c.thumb}}));
        EXPECT_EQ(server.response(),
                  (json{{"id", "next"}, {"ok", true}, {"width", 320}, {"height", 240}}))
            << c.path;
        if (c.out.empty()) {
            EXPECT_FALSE(testsupport::exists(out)) << out;
        }
    }
    EXPECT_EQ(testsupport::readFile(notes), "keep");
    close(listener);
    EXPECT_EQ(server.finish(), 0);
}

// Every kind pixsig reads gives a print and a thumbnail; the same file cut
// in half gives neither (an error, nothing written): what a decoder makes up
// for missing data never passes as the picture. (A TIFF's directory comes
// last: cut, it is no TIFF.)
TEST(PixsigHardening, EveryKindIsReadAndACutOneIsNot) {
    std::string dir = testsupport::scratchDir("kinds");
    Server server;
    for (std::string ext : {"jpg", "png", "webp", "tif", "gif", "heic", "avif", "jxl"}) {
        for (std::string name : {"kind." + ext, "half." + ext}) {
            if (name == "half.tif") continue;
            std::string path = fixture("pixsig/hardening/" + name), out = dir + "/" + name + ".jpg";
            ASSERT_TRUE(
                server.send(request({{"path", path}}) + request(thumbRequest(path, out, 512))));
            json print = server.response(), thumb = server.response();
            bool whole = name[0] == 'k';
            EXPECT_EQ(print["ok"], whole) << print;
            if (whole)
                EXPECT_EQ(thumb,
                          (json{{"id", path}, {"ok", true}, {"width", 320}, {"height", 240}}));
            else
                EXPECT_EQ(thumb["ok"], false) << thumb;
            EXPECT_EQ(testsupport::exists(out), whole) << name;
        }
    }
    EXPECT_EQ(server.finish(), 0);
}

// Images that cannot be read give one line that names the file and says
// why, in the decoder's words without its class names, function names,
// source locations or error numbers; the thumbnail's own texts stay fixed;
// nothing reaches standard error. A picture over 2^30 pixels is refused
// before any decoding.
TEST(PixsigHardening, UnreadableImagesAreOneLineNamingTheFile) {
    std::string dir = testsupport::scratchDir("unreadable");
    auto h = [](const std::string& name) { return fixture("pixsig/hardening/" + name); };
    struct Case {
        std::string name, cause, thumb;  // thumb: the fixed text before the path
    };
    const std::vector<Case> cases = {
        {"half.jpg", "Premature end of input file", "can't decode "},
        {"half.png", "libpng read error", "can't decode "},
        {"half.webp", "unable to parse image", "can't read "},
        {"half.heic",
         "Invalid input: Unexpected end of file: Extent in iloc box references data outside of "
         "file bounds (points to file position 423)",
         "can't read "},
        {"half.jxl", "the decoder failed on the data", "can't decode "},
        {"clip.jpg", "not a known file format", "can't read "},
        {"over.png", "image too large (32769 x 32768 pixels)", "can't decode "},
        {"missing.png", "No such file or directory", "can't open "},
    };
    Server server;
    for (const Case& c : cases) {
        std::string path = h(c.name), out = dir + "/" + c.name + ".jpg";
        ASSERT_TRUE(server.send(request({{"path", path}, {"id", "p"}}) +
                                request({{"op", "thumb"}, {"path", path}, {"out", out}})));
        EXPECT_EQ(server.response(),
                  (json{{"id", "p"}, {"ok", false}, {"error", path + ": " + c.cause}}));
        EXPECT_EQ(server.response(),
                  (json{{"id", path}, {"ok", false}, {"error", c.thumb + path}}));
    }
    std::string errText;
    EXPECT_EQ(server.finish(&errText), 0);
    EXPECT_EQ(errText, "");
}

// libvips's error buffer as the decoders leave it, on one line.
TEST(PixsigHardening, LibraryErrorBuffersBecomeOneLine) {
    ASSERT_TRUE(vips::start().ok());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"VipsJpeg: Premature end of input file\nVipsJpeg: out of order read at line 48\n",
         "Premature end of input file; out of order read at line 48"},
        {"magick2vips: libMagick error: improper image header `/tmp/x.jpg' @ "
         "error/tga.c/ReadTGAImage/224\n",
         "libMagick error: improper image header `/tmp/x.jpg'"},
        {"tiff2vips: bad strip (tif_read.c:412)\n", "bad strip"},
        {"heifload: bad seek to 10\nheifload: Invalid input: No ftyp box;  (2.100)\n",
         "Invalid input: No ftyp box"},
        {"jxlload: error JxlDecoderProcessInput\n", "the decoder failed on the data"},
        {"VipsForeignLoad: read error\nVipsForeignLoad: read error\n", "read error"},
    };
    for (const auto& [buffer, line] : cases)
        EXPECT_EQ(vips::errorText(buffer.c_str()), line) << buffer;
}

// A full disk: with the file size limited (and SIGXFSZ ignored, so that the
// write fails rather than killing the process) a thumbnail is "can't write
// <out>", never a success; the server goes on answering.
TEST(PixsigHardening, FullDiskIsCantWrite) {
    std::string dir = testsupport::scratchDir("fulldisk");
    std::string out = dir + "/thumb.jpg";
    Server server({}, [] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(
        server.send(request(thumbRequest(fixture("pixsig/hardening/photo.jpg"), out, 200)) +
                    request({{"path", fixture("pixsig/hardening/photo.jpg")}, {"id", "fp"}})));
    json thumb = server.response();
    EXPECT_EQ(thumb["ok"], false) << thumb;
    EXPECT_EQ(thumb["error"], "can't write " + out);
    EXPECT_FALSE(testsupport::exists(out)) << "a half-written thumbnail was left behind";
    json print = server.response();
    EXPECT_EQ(print["id"], "fp");
    EXPECT_EQ(print["ok"], true) << print;
    EXPECT_EQ(server.finish(), 0);
}

// The host closing its end of standard output while requests are queued,
// or never giving the server a standard output at all: the server ends with
// status 0 once its input is done, without a signal and without spinning.
TEST(PixsigHardening, StandardOutputGoneWhileServing) {
    std::string dir = testsupport::scratchDir("noout");
    std::string photo = fixture("pixsig/hardening/photo.jpg");
    std::string lines;
    for (int i = 0; i < 20; i++)
        lines += request({{"path", photo}}) +
                 request(thumbRequest(photo, dir + "/t" + std::to_string(i) + ".jpg")) +
                 "not json\n";
    {
        Server server;
        close(server.out);
        server.out = -1;
        server.send(lines);  // may stop early: the server is allowed to leave
        EXPECT_EQ(server.finish(), 0);
    }
    {
        Server server({}, {}, /*closeOut=*/true);
        ASSERT_TRUE(server.send(lines));
        std::string err;
        EXPECT_EQ(server.finish(&err), 0);
        EXPECT_NE(err.find(badLine), std::string::npos);
    }
}

// Files the server may not read (run as an unprivileged user, since root
// reads anything): an error response for both request kinds.
TEST(PixsigHardening, UnreadableFilesAreErrors) {
    std::string dir = testsupport::scratchDir("unreadable");
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    std::string locked = dir + "/locked.jpg";
    std::filesystem::copy_file(fixture("pixsig/hardening/photo.jpg"), locked);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    std::vector<std::string> asNobody;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv";
        asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    Server server(asNobody);
    std::string readable = fixture("pixsig/hardening/photo.jpg");
    ASSERT_TRUE(server.send(request({{"path", readable}, {"id", "ok"}})));
    json control = server.response();
    if (control["ok"] != true)
        GTEST_SKIP() << "the unprivileged user cannot run pixsig: " << control;
    ASSERT_TRUE(server.send(request({{"path", locked}, {"id", "fp"}}) +
                            request(thumbRequest(locked, dir + "/t.jpg"))));
    json print = server.response();
    EXPECT_EQ(print["ok"], false) << print;
    json thumb = server.response();
    EXPECT_EQ(thumb["ok"], false) << thumb;
    EXPECT_EQ(thumb["error"], "can't open " + locked);
    EXPECT_EQ(server.finish(), 0);
}

// libvips parses the file names its loaders get ("name[options]", quoted
// tokens). Here every name is the file it says: "photo.jpg[shrink=8]" beside
// a photo.jpg is itself, not that photo shrunk, and names that made libvips
// abort the whole server ("'", one ending in "]'") are answered as any other.
TEST(PixsigHardening, FileNamesAreTakenAsGiven) {
    std::string dir = testsupport::scratchDir("names");
    const auto overwrite = std::filesystem::copy_options::overwrite_existing;
    std::string other = std::string(SOURCE_DIR) + "/tests/data/real/images/pillow-hopper.jpg";
    std::filesystem::copy_file(fixture("pixsig/hardening/photo.jpg"), dir + "/photo.jpg",
                               overwrite);
    const std::vector<std::string> names = {"photo.jpg[shrink=8]", "'", "v.png]'", "q\"[1].png"};
    for (const std::string& name : names)
        std::filesystem::copy_file(other, dir + "/" + name, overwrite);
    Server server;
    ASSERT_TRUE(server.send(request({{"path", other}, {"id", "reference"}})));
    json reference = server.response();
    ASSERT_EQ(reference["ok"], true) << reference;
    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        ASSERT_TRUE(server.send(request({{"path", path}, {"id", "fp"}}) +
                                request(thumbRequest(path, dir + "/t.jpg"))));
        json print = server.response();
        ASSERT_EQ(print["ok"], true) << name << ": " << print;
        EXPECT_EQ(print["b64"], reference["b64"]) << name << ": another file's print";
        json thumb = server.response();
        ASSERT_EQ(thumb["ok"], true) << name << ": " << thumb;
        EXPECT_EQ(thumb["width"], 64) << name;  // of 128 x 128 (photo.jpg: 320 x 240)
        EXPECT_EQ(thumb["height"], 64) << name;
    }
    EXPECT_EQ(server.finish(), 0);
}

// A file replaced (renamed over, or rewritten in place) again and again while
// the server reads it: every request gets exactly one response, and each
// success is true: a thumbnail written as a JPEG of the size reported, which
// is the size of one of the two images.
TEST(PixsigHardening, FilesReplacedWhileRead) {
    std::string dir = testsupport::scratchDir("replaced");
    std::string a = testsupport::readFile(fixture("pixsig/hardening/photo.jpg"));  // 320 x 240
    std::string b = testsupport::readFile(fixture("pixsig/hardening/other.png"));  // 200 x 100
    std::string path = dir + "/changing";
    testsupport::writeFile(path, a);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop; i++) {
            const std::string& bytes = i % 2 ? a : b;
            if (i % 4 < 2) {
                std::string tmp = dir + "/next";
                testsupport::writeFile(tmp, bytes);
                std::rename(tmp.c_str(), path.c_str());
            } else {
                // In place, in two halves: a reader may see a truncated file.
                int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
                if (fd < 0) continue;
                ssize_t n1 = write(fd, bytes.data(), bytes.size() / 2);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                ssize_t n2 =
                    write(fd, bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2);
                (void)n1;
                (void)n2;
                close(fd);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
    });
    Server server;
    const int rounds = 30;
    std::string lines;
    for (int i = 0; i < rounds; i++)
        lines += request({{"path", path}, {"id", "fp" + std::to_string(i)}}) +
                 request({{"op", "thumb"},
                          {"path", path},
                          {"out", dir + "/t" + std::to_string(i) + ".jpg"},
                          {"id", "th" + std::to_string(i)},
                          {"size", 40}});
    ASSERT_TRUE(server.send(lines));
    int answered = 0;
    for (int i = 0; i < rounds; i++) {
        json print = server.response();
        ASSERT_EQ(print["id"], "fp" + std::to_string(i)) << print;
        if (print["ok"] == true)
            EXPECT_EQ(print["dim"], 1792);
        else
            EXPECT_FALSE(print["error"].get<std::string>().empty());
        json thumb = server.response();
        ASSERT_EQ(thumb["id"], "th" + std::to_string(i)) << thumb;
        if (thumb["ok"] != true) {
            EXPECT_FALSE(thumb["error"].get<std::string>().empty());
            continue;
        }
        answered++;
        std::pair<int, int> size{thumb["width"], thumb["height"]};
        EXPECT_TRUE(size == std::make_pair(40, 30) || size == std::make_pair(40, 20)) << thumb;
        // The file written is a complete JPEG of that size (SOF0 header).
        std::string jpeg = testsupport::readFile(dir + "/t" + std::to_string(i) + ".jpg");
        ASSERT_GE(jpeg.size(), 4u);
        EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
        size_t sof = jpeg.find("\xFF\xC0");
        ASSERT_NE(sof, std::string::npos);
        int h = (uint8_t(jpeg[sof + 5]) << 8) | uint8_t(jpeg[sof + 6]);
        int w = (uint8_t(jpeg[sof + 7]) << 8) | uint8_t(jpeg[sof + 8]);
        EXPECT_EQ(std::make_pair(w, h), size);
    }
    stop = true;
    changer.join();
    EXPECT_EQ(server.finish(), 0);
    RecordProperty("thumbnails_written", answered);
}

// Resident memory follows the work, not its history: passes over the same
// real photos (1 to 18 megapixels, JPEG and PNG, thumbnails and prints mixed)
// end at about the memory of the first pass. Without a bound on the
// allocator's arenas it grew by half again with every pass or two. An idle
// server gives its free heap back.
TEST(PixsigHardening, MemoryStaysFlatPassAfterPass) {
#if defined(TESTS_UNDER_ASAN)
    GTEST_SKIP() << "the address sanitizer brings its own allocator";
#endif
    std::vector<std::string> photos;
    for (const auto& e :
         std::filesystem::recursive_directory_iterator("/usr/share/backgrounds/mate"))
        if (e.is_regular_file()) photos.push_back(e.path().string());
    for (const auto& e :
         std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/tests/data/real/images"))
        photos.push_back(e.path().string());
    std::sort(photos.begin(), photos.end());
    ASSERT_GE(photos.size(), 40u);
    std::string dir = testsupport::scratchDir("flat");
    Server server;
    std::vector<long> afterPass;
    for (int pass = 0; pass < 4; ++pass) {
        for (size_t i = 0; i < photos.size(); ++i) {
            json r = (i + pass) % 3 == 0 ? json{{"path", photos[i]}}
                                         : json(thumbRequest(photos[i], dir + "/t.jpg",
                                                             (i + pass) % 3 == 1 ? 512 : 256));
            ASSERT_TRUE(server.send(request(r)));
            ASSERT_FALSE(server.line().empty()) << photos[i];
        }
        afterPass.push_back(server.rssKiB());
    }
    // Generous: flat in practice (within a few per cent).
    EXPECT_LT(afterPass.back(), afterPass.front() * 5 / 4)
        << "resident KiB after each pass: " << afterPass[0] << " " << afterPass[1] << " "
        << afterPass[2] << " " << afterPass[3];
    // Once the host stops writing, the server hands its free heap back: wait
    // (up to a minute, for a loaded machine) for the drop.
    long idle = server.rssKiB();
    for (int i = 0; i < 600 && idle > afterPass.back() * 97 / 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        idle = server.rssKiB();
    }
    EXPECT_LE(idle, afterPass.back() * 97 / 100)
        << "resident KiB when idle " << idle << ", after the last pass " << afterPass.back();
    EXPECT_EQ(server.finish(), 0);
}
