// One request line for the serve loop, as handleLine receives it (the line
// feed and a trailing carriage return removed). Every non-empty line gets
// exactly one answer: one compact JSON response line on standard output
// whose id is the request's, or the bad-request message on standard error.
// Never a crash, hang or leak.
//
// Files: the harness works in a private folder holding a few small images
// and a named pipe nobody writes to; lines naming a path or an output
// outside that folder (anything with a '/') are not run, and the others are
// rewritten to name files in the folder, so that the fuzzer never reads
// devices or writes over files elsewhere.
#include <fcntl.h>
#include <glib.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vips/vips8>

#include "pixsig.h"

// Present only when a sanitizer runtime is linked (not in the replay build).
#pragma weak __sanitizer_set_report_fd

using Json = nlohmann::json;

namespace {

std::string folder;  // the images, and the thumbnails written
int capturedOut = -1;
int capturedErr = -1;
int realErr = -1;

std::string takeAll(int fd) {
    std::string bytes;
    off_t size = lseek(fd, 0, SEEK_END);
    bytes.resize(size_t(size));
    if (size > 0 && pread(fd, bytes.data(), bytes.size(), 0) != size) __builtin_trap();
    if (ftruncate(fd, 0) != 0) __builtin_trap();
    lseek(fd, 0, SEEK_SET);
    return bytes;
}

// Small images in the working folder, named as the seed lines name them.
void makeImages() {
    using vips::VImage;
    VImage rgb = VImage::black(40, 30, VImage::option()->set("bands", 3)) + 120;
    rgb = rgb.cast(VIPS_FORMAT_UCHAR)
              .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    rgb.write_to_file((folder + "/small.jpg").c_str());
    rgb.write_to_file((folder + "/small.png").c_str());
    rgb.bandjoin(255).write_to_file((folder + "/alpha.png").c_str());
    rgb.extract_band(0).write_to_file((folder + "/gray.png").c_str());
    // The first half of a JPEG.
    VipsBlob* blob = rgb.jpegsave_buffer();
    size_t length = 0;
    const void* bytes = vips_blob_get(blob, &length);
    if (int fd = open((folder + "/truncated.jpg").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        fd >= 0) {
        if (write(fd, bytes, length / 2) < 0) abort();
        close(fd);
    }
    vips_area_unref(VIPS_AREA(blob));
    if (mkfifo((folder + "/fifo").c_str(), 0644) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz-serve-XXXXXX";
    if (!mkdtemp(dir)) abort();
    folder = dir;
    if (VIPS_INIT("fuzz_serve")) abort();
    makeImages();
    capturedOut = memfd_create("out", MFD_CLOEXEC);
    capturedErr = memfd_create("err", MFD_CLOEXEC);
    // Sanitizer reports keep going to the real standard error while the
    // line's own messages are captured.
    realErr = dup(STDERR_FILENO);
    if (__sanitizer_set_report_fd)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(realErr)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    if (size_t end = line.find('\n'); end != std::string::npos) line.resize(end);
    if (!line.empty() && line.back() == '\r') line.pop_back();

    // The request as the loop will read it, to keep file access inside the folder.
    gchar* valid = g_utf8_make_valid(line.data(), gssize(line.size()));
    Json request = Json::parse(std::string(valid), nullptr, false);
    g_free(valid);
    bool object =
        !request.is_discarded() && request.is_object() && line.find('\0') == std::string::npos;
    if (object) {
        // Names are taken inside the harness's folder; a line naming anything
        // elsewhere is not run.
        for (const char* key : {"path", "out"}) {
            auto it = request.find(key);
            if (it == request.end() || !it->is_string()) continue;
            const std::string& name = it->get_ref<const std::string&>();
            if (name.find('/') != std::string::npos) return -1;
            *it = folder + "/" + name;
        }
        line = request.dump(-1, ' ', false, Json::error_handler_t::replace);
    }

    int savedOut = dup(STDOUT_FILENO);
    int savedErr = dup(STDERR_FILENO);
    dup2(capturedOut, STDOUT_FILENO);
    dup2(capturedErr, STDERR_FILENO);
    handleLine(line);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    std::string out = takeAll(capturedOut);
    std::string err = takeAll(capturedErr);

    if (line.empty()) {
        if (!out.empty() || !err.empty()) __builtin_trap();  // an empty line is skipped
        return 0;
    }
    if (!err.empty()) {
        if (err != "pixsig: bad request line\n" || !out.empty()) __builtin_trap();
        return 0;
    }
    // Exactly one response line, a JSON object with the request's id.
    if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1) __builtin_trap();
    Json response = Json::parse(out.substr(0, out.size() - 1), nullptr, false);
    if (response.is_discarded() || !response.is_object() || !object) __builtin_trap();
    auto id = response.find("id");
    auto ok = response.find("ok");
    if (id == response.end() || !id->is_string() || ok == response.end() || !ok->is_boolean())
        __builtin_trap();
    auto wantedId = request.find("id");
    auto path = request.find("path");
    bool thumb = request.contains("op") && request["op"] == "thumb";
    if (wantedId != request.end() && wantedId->is_string()) {
        if (*id != *wantedId) __builtin_trap();
    } else if (path != request.end() && path->is_string()) {
        if (*id != *path) __builtin_trap();
    }
    if (!ok->get<bool>()) {
        auto error = response.find("error");
        if (error == response.end() || !error->is_string() ||
            error->get_ref<const std::string&>().empty())
            __builtin_trap();
    } else if (thumb) {
        auto w = response.find("width"), h = response.find("height");
        if (w == response.end() || h == response.end() || !w->is_number_integer() ||
            !h->is_number_integer() || *w < 1 || *h < 1)
            __builtin_trap();
    } else {
        auto dim = response.find("dim"), b64 = response.find("b64"), model = response.find("model");
        if (dim == response.end() || b64 == response.end() || model == response.end() ||
            !b64->is_string() || *dim != 1792)
            __builtin_trap();
    }
    return 0;
}
