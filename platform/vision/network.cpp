// The network file: read whole, its header and layers checked, each layer's
// output shape and padding worked out, then handed to the engine.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <optional>

#include "handles/file.h"
#include "vision/network.h"

namespace vision {

namespace {

using R = platform::Result<NetworkPtr>;

// The failure for a file whose contents are not a valid network.
platform::Failure damaged(const std::string& path, const char* why) {
    return {"feature-print model " + path + " is damaged (" + why + ")", {}};
}

// The file's 32-bit words.
platform::Result<std::vector<float>> readWords(const std::string& path) {
    using W = platform::Result<std::vector<float>>;
    handles::FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return W::failure("cannot open feature-print model " + path + ": " + std::strerror(errno));
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return damaged(path, "not a regular file");
    long bytes = std::ftell(f.get());
    if (bytes < 0 || bytes % 4 != 0 || bytes > (1L << 31)) return damaged(path, "size");
    std::rewind(f.get());
    std::vector<float> words(size_t(bytes) / 4);
    if (std::fread(words.data(), 1, size_t(bytes), f.get()) != size_t(bytes))
        return W::failure("cannot read feature-print model " + path + ": " + std::strerror(errno));
    return words;
}

// A cursor over the file's words.
struct Cursor {
    const std::vector<float>& file;
    size_t at = 0;

    size_t left() const { return file.size() - at; }
    uint32_t word() {
        uint32_t v;
        std::memcpy(&v, &file[at++], 4);
        return v;
    }
    float real() { return file[at++]; }
    bool tag(const char* text) {
        if (left() < 2 || std::memcmp(&file[at], text, 8) != 0) return false;
        at += 2;
        return true;
    }
};

// TensorFlow's SAME padding for a 3x3 kernel: the output is ceil(in/stride)
// and the padding needed is split with the odd pixel after.
void samePadding(int in, int stride, int* out, int* before, int* after) {
    *out = (in + stride - 1) / stride;
    int total = std::max((*out - 1) * stride + 3 - in, 0);
    *before = total / 2;
    *after = total - *before;
}

// A layer's output size and padding, from the size of its input.
void shape(Layer& l, int inH, int inW) {
    if (l.kind == conv3x3 || l.kind == depthwise3x3) {
        samePadding(inH, l.stride, &l.height, &l.padTop, &l.padBottom);
        samePadding(inW, l.stride, &l.width, &l.padLeft, &l.padRight);
    } else {
        l.height = inH;
        l.width = inW;
    }
}

double multiplyAccumulates(const Layer& l) {
    double positions = double(l.height) * l.width;
    switch (l.kind) {
        case conv3x3:
            return positions * 9 * l.inChannels * l.outChannels;
        case depthwise3x3:
            return positions * 9 * l.inChannels;
        case pointwise:
            return positions * l.inChannels * l.outChannels;
        default:
            return 0;
    }
}

// The weights a layer's header announces, or why the header is inconsistent
// with the layers before it.
std::optional<const char*> checkOperands(Layer& l, const std::vector<Layer>& before,
                                         size_t& weights, int inH, int inW, int inC) {
    const auto in = size_t(l.inChannels), out = size_t(l.outChannels);
    switch (l.kind) {
        case conv3x3:
            weights = 9 * in * out;
            return std::nullopt;
        case depthwise3x3:
            weights = 9 * in;
            if (out != in) return "depthwise channels";
            return std::nullopt;
        case pointwise:
            weights = in * out;
            if (l.stride != 1) return "strided 1x1";
            return std::nullopt;
        case add:
            break;
    }
    if (l.input2 < 0 || l.input2 >= int(before.size())) return "add operand";
    const Layer& other = before[size_t(l.input2)];
    if (other.height != inH || other.width != inW || other.outChannels != inC) return "add shapes";
    if (l.stride != 1 || in != 0 || out != 0) return "add layer";
    l.inChannels = l.outChannels = inC;
    return std::nullopt;
}

// The next layer: its header, its operands against the layers before it, its
// weights and bias in the file, its output shape.
std::optional<const char*> parseLayer(Cursor& c, Description& d) {
    if (c.left() < 7) return "truncated";
    Layer l{};
    uint32_t kind = c.word();
    l.input = int32_t(c.word());
    l.input2 = int32_t(c.word());
    uint32_t stride = c.word(), in = c.word(), out = c.word(), relu6 = c.word();
    if (kind < conv3x3 || kind > add || stride < 1 || stride > 2 || in > 65536 || out > 65536 ||
        relu6 > 1)
        return "layer header";
    l.kind = Kind(kind);
    l.stride = int(stride);
    l.inChannels = int(in);
    l.outChannels = int(out);
    l.relu6 = relu6 == 1;
    const std::vector<Layer>& before = d.layers;
    if (l.input < -1 || l.input >= int(before.size())) return "layer input";
    const Layer* from = l.input < 0 ? nullptr : &before[size_t(l.input)];
    int inH = from ? from->height : d.size, inW = from ? from->width : d.size;
    int inC = from ? from->outChannels : 3;
    size_t weights = 0;
    if (auto why = checkOperands(l, before, weights, inH, inW, inC)) return why;
    if (l.kind != add) {
        if (l.inChannels != inC || l.outChannels == 0) return "channel counts";
        if (c.left() < weights + size_t(l.outChannels)) return "truncated";
        l.weights = c.at;
        c.at += weights;
        l.bias = c.at;
        c.at += size_t(l.outChannels);
    }
    shape(l, inH, inW);
    d.macs += multiplyAccumulates(l);
    d.layers.push_back(l);
    return std::nullopt;
}

// The header, the layers and the trailer of the file's words.
std::optional<const char*> parse(Description& d) {
    Cursor c{d.file};
    if (!c.tag("PXNET001")) return "not a pixsig network file";
    if (c.left() < 5) return "truncated";
    d.size = int(c.word());
    uint32_t channels = c.word();
    d.inputScale = c.real();
    d.inputShift = c.real();
    uint32_t count = c.word();
    if (d.size < 8 || d.size > 4096 || channels != 3 || count == 0 || count > 1000) return "header";
    for (uint32_t i = 0; i < count; i++)
        if (auto why = parseLayer(c, d)) return why;
    if (!c.tag("PXNETEND") || c.left() != 0) return "trailer";
    return std::nullopt;
}

}  // namespace

platform::Result<NetworkPtr> loadNetwork(const std::string& path) {
    platform::Result<std::vector<float>> words = readWords(path);
    if (!words.ok()) return words.failed();
    Description d;
    d.file = std::move(words.value());
    if (auto why = parse(d)) return damaged(path, *why);
    try {
        return prepare(d);
    } catch (const dnnl::error& e) {
        return R::failure("cannot prepare feature-print model " + path + ": " + e.what());
    }
}

}  // namespace vision
