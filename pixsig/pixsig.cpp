// pixsig: the image command-line tool.
//
//   pixsig --serve            answer one JSON request per line on standard input
//   pixsig --model            print the feature-print model identifier
//   pixsig --thumb-protocol   print the thumbnail protocol version
//   pixsig <image>...         one feature-print response line per image

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using Json = nlohmann::json;

namespace {

// Process-wide values.
std::vector<std::string> arguments;

}  // namespace

// ---------------------------------------------------------------------------
// Feature prints and responses

void respond(const std::string& id, const std::string& path) {
    (void)id;
    (void)path;
}

// ---------------------------------------------------------------------------
// Thumbnail protocol and renderer

// Handles one request line whose "op" is "thumb"; writes one response line.
void respondThumb(const Json& request) { (void)request; }

// ---------------------------------------------------------------------------
// Entry, batch mode and serve loop

int main(int argc, char** argv) {
    arguments.assign(argv + 1, argv + argc);
    if (arguments.empty()) {
        static const char usage[] = "Usage: pixsig --serve | pixsig <image>...\n";
        (void)!::write(STDERR_FILENO, usage, sizeof usage - 1);
        return 64;
    }
    return 0;
}
