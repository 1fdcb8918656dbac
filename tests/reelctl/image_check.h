// Reading back what poster and frames write: JPEG and PPM pixels, PSNR, and
// the frame number shown by the counter fixtures (frame N has luma 16 + 2N).
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "frames/frames.h"
#include "proc.h"

namespace imagecheck {

inline frames::Image decodeJpeg(const std::string& path) {
    std::string data = testsupport::readFile(path);
    frames::Image image;
    tjhandle handle = tjInitDecompress();
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(data.data());
    if (tjDecompressHeader3(handle, bytes, data.size(), &w, &h, &subsampling, &colourspace) == 0) {
        image.rgb.resize(size_t(w) * h * 3);
        if (tjDecompress2(handle, bytes, data.size(), image.rgb.data(), w, w * 3, h, TJPF_RGB, 0) ==
            0) {
            image.width = w;
            image.height = h;
        }
    }
    tjDestroy(handle);
    EXPECT_GT(image.width, 0) << "not a JPEG: " << path;
    return image;
}

// A binary PPM (P6, maxval 255) as ffmpeg writes it.
inline frames::Image readPpm(const std::string& path) {
    std::string data = testsupport::readFile(path);
    std::istringstream in(data);
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    in >> magic >> w >> h >> maxval;
    in.get();
    frames::Image image;
    if (magic != "P6" || maxval != 255 || w <= 0 || h <= 0) {
        ADD_FAILURE() << "not a PPM: " << path;
        return image;
    }
    size_t at = size_t(in.tellg());
    image.width = w;
    image.height = h;
    image.rgb.assign(data.begin() + long(at), data.begin() + long(at + size_t(w) * h * 3));
    return image;
}

inline double psnr(const frames::Image& a, const frames::Image& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty())
        return 0;
    double sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i) {
        double d = double(a.rgb[i]) - double(b.rgb[i]);
        sum += d * d;
    }
    double mse = sum / double(a.rgb.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

inline double meanLevel(const frames::Image& image) {
    double sum = 0;
    for (uint8_t v : image.rgb)
        sum += v;
    return image.rgb.empty() ? -1 : sum / double(image.rgb.size());
}

// The counter fixtures' frame number: luma 16 + 2N, limited range, so the
// grey level is 2N x 255 / 219.
inline int counterFrame(const frames::Image& image) {
    return int(std::lround(meanLevel(image) * 219.0 / 255.0 / 2.0));
}

// The frame number of a counter band: the mean of its rows from `top` to
// `bottom` (a fraction of the height each), read as counterFrame reads a
// whole picture.
inline int bandCounterFrame(const frames::Image& image, double top, double bottom) {
    int from = int(top * image.height), to = int(bottom * image.height);
    double sum = 0;
    size_t n = 0;
    for (int y = from; y < to; ++y)
        for (size_t i = size_t(y) * image.width * 3; i < size_t(y + 1) * image.width * 3; ++i, ++n)
            sum += image.rgb[i];
    return n == 0 ? -1 : int(std::lround(sum / double(n) * 219.0 / 255.0 / 2.0));
}

// The frame of a 25 fps counter shown at a time: times go in steps of 1/600 s
// from the container's start, and the picture starts `pictureStart` seconds
// after it (sound or data first).
inline int expectedCounterFrame(double seconds, int frameCount, double pictureStart = 0) {
    long long value = std::llround(seconds * 600);
    long long frame = pictureStart == 0
                          ? value * 25 / 600
                          : (long long)std::floor((value / 600.0 - pictureStart) * 25);
    return int(std::min<long long>(std::max<long long>(frame, 0), frameCount - 1));
}

// The colour at a fraction of the width and height.
inline std::vector<int> pixelAt(const frames::Image& image, double fx, double fy) {
    int x = int(fx * image.width), y = int(fy * image.height);
    size_t at = (size_t(y) * image.width + x) * 3;
    if (at + 2 >= image.rgb.size()) return {};
    return {image.rgb[at], image.rgb[at + 1], image.rgb[at + 2]};
}

}  // namespace imagecheck
