// Free functions of reelctl that tests call directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "frames/frames.h"

// A signed 64-bit decimal integer: optional "+" or "-", then ASCII digits only.
std::optional<int64_t> integerValue(const std::string& text);

// ---------------------------------------------------------------------------
// Frame grabbing, JPEG output and sampling (poster and frames)

// Sample times for frames: interval or evenly spread count, spaced at least a
// quarter second apart, capped to maxFrames (below 2: no cap).
std::vector<double> sampleTimes(double duration, std::optional<double> interval,
                                std::optional<int64_t> count, int64_t maxFrames);

// Shrinks the image into maxEdge x maxEdge when larger, encodes JPEG at quality
// 85 and writes it to path (whole or not at all, never over `input`); ends
// the process with 72 or 73 on failure.
void writeJPEG(const frames::Image& image, const std::string& path, int64_t maxEdge,
               std::optional<files::Identity> input = std::nullopt);
