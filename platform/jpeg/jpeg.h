// JPEG encoding of 8-bit RGB images (libjpeg-turbo's TurboJPEG API).
#pragma once

#include <cstdint>
#include <vector>

#include "result/result.h"

namespace jpeg {

// The JPEG file bytes of an image whose rows hold `width` R, G, B byte triples,
// `stride` bytes apart, top row first. `quality` runs from 1 to 100; chroma is
// kept at full resolution (sharp colour edges in small frames). Fails with the
// library's error text.
platform::Result<std::vector<uint8_t>> encode(const uint8_t* rgb, int width, int height, int stride,
                                              int quality);

}  // namespace jpeg
