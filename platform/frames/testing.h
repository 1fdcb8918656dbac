// What tests of the frame grabber look at beside its frames. Not for the tools.
#pragma once

#include <cstdint>

#include "frames/frames.h"

namespace frames {

// Frames the generator has decoded so far: grabs at ascending times that
// continue decoding, instead of seeking again, keep this low.
int64_t decodedFrames(const Generator& generator);

}  // namespace frames
