// Free functions of pixsig that tests and fuzz harnesses call directly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The renderer's error: the complete text for the response, and whether the
// renderer refused this kind of image (as opposed to a file that could not be
// opened, read, decoded or written).
struct ThumbnailError {
    std::string message;
    bool declined = false;
};

// Writes a JPEG thumbnail of the image at `path` to `out` and returns its
// width and height; throws ThumbnailError. Nothing at `out` is touched before
// the JPEG has been encoded.
std::pair<long long, long long> thumbnail(const std::string& path, const std::string& out,
                                          long long size, double quality, bool transform,
                                          std::optional<long long> orientation,
                                          std::optional<std::pair<long long, long long>> exact);

// Answers one request line of the serve protocol on standard output.
void handleLine(std::string_view raw);
