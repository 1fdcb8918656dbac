#include "featureprint.h"

#include <cblas.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace vision {

namespace {

enum Kind : uint32_t { conv3x3 = 1, depthwise3x3 = 2, pointwise = 3, add = 4 };

struct Layer {
    Kind kind;
    int input;   // layer index, -1 for the network input
    int input2;  // second operand of an add
    int stride;
    int inChannels;
    int outChannels;
    bool relu6;
    const float* weights = nullptr;
    const float* bias = nullptr;
    int height = 0, width = 0;  // output size
    int padTop = 0, padLeft = 0;
    int slot = 0;  // working buffer that holds the output
};

// TensorFlow's SAME padding for a 3x3 kernel: the output is ceil(in/stride)
// and the padding needed is split with the odd pixel after.
int samePadding(int in, int stride, int* out) {
    *out = (in + stride - 1) / stride;
    int total = std::max((*out - 1) * stride + 3 - in, 0);
    return total / 2;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

class Network {
  public:
    std::vector<float> file;  // the whole network file; weights point into it
    int size = 0;
    float inputScale = 1, inputShift = 0;
    std::vector<Layer> layers;
    std::vector<std::vector<float>> slots;
    std::vector<float> input;    // normalised image
    std::vector<float> columns;  // image patches of the full 3x3 convolution
    double macs = 0;
};

void NetworkDeleter::operator()(Network* network) const {
    delete network;
}

int inputSize(const Network& network) {
    return network.size;
}
int featureCount(const Network& network) {
    return network.layers.back().outChannels;
}
double multiplyAccumulates(const Network& network) {
    return network.macs;
}

Result<NetworkPtr> loadNetwork(const std::string& path) {
    auto corrupt = [&](const char* why) {
        return Result<NetworkPtr>::failure("feature-print model " + path + " is damaged (" + why +
                                           ")");
    };
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        return Result<NetworkPtr>::failure("cannot open feature-print model " + path + ": " +
                                           std::strerror(errno));
    }
    NetworkPtr net(new Network);
    std::vector<float>& file = net->file;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return corrupt("not a regular file");
    long bytes = std::ftell(f.get());
    if (bytes < 0 || bytes % 4 != 0 || bytes > (1L << 31)) return corrupt("size");
    std::rewind(f.get());
    file.resize(size_t(bytes) / 4);
    if (std::fread(file.data(), 1, size_t(bytes), f.get()) != size_t(bytes)) {
        return Result<NetworkPtr>::failure("cannot read feature-print model " + path + ": " +
                                           std::strerror(errno));
    }

    // A cursor over the file's 32-bit words.
    size_t at = 0;
    auto left = [&] { return file.size() - at; };
    auto word = [&]() -> uint32_t {
        uint32_t v;
        std::memcpy(&v, &file[at++], 4);
        return v;
    };
    auto tag = [&](const char* text) {
        if (left() < 2 || std::memcmp(&file[at], text, 8) != 0) return false;
        at += 2;
        return true;
    };
    if (!tag("PXNET001")) return corrupt("not a pixsig network file");
    if (left() < 5) return corrupt("truncated");
    net->size = int(word());
    uint32_t channels = word();
    std::memcpy(&net->inputScale, &file[at++], 4);
    std::memcpy(&net->inputShift, &file[at++], 4);
    uint32_t count = word();
    if (net->size < 8 || net->size > 4096 || channels != 3 || count == 0 || count > 1000)
        return corrupt("header");

    std::vector<Layer>& layers = net->layers;
    for (uint32_t i = 0; i < count; i++) {
        if (left() < 7) return corrupt("truncated");
        Layer l{};
        uint32_t kind = word();
        l.input = int32_t(word());
        l.input2 = int32_t(word());
        uint32_t stride = word(), in = word(), out = word(), relu6 = word();
        if (kind < conv3x3 || kind > add || stride < 1 || stride > 2 || in > 65536 || out > 65536 ||
            relu6 > 1)
            return corrupt("layer header");
        l.kind = Kind(kind);
        l.stride = int(stride);
        l.inChannels = int(in);
        l.outChannels = int(out);
        l.relu6 = relu6 == 1;
        if (l.input < -1 || l.input >= int(i)) return corrupt("layer input");
        int inH = l.input < 0 ? net->size : layers[size_t(l.input)].height;
        int inW = l.input < 0 ? net->size : layers[size_t(l.input)].width;
        int inC = l.input < 0 ? 3 : layers[size_t(l.input)].outChannels;
        size_t weights = 0;
        switch (l.kind) {
            case conv3x3:
                weights = 9 * in * out;
                break;
            case depthwise3x3:
                weights = 9 * in;
                if (out != in) return corrupt("depthwise channels");
                break;
            case pointwise:
                weights = size_t(in) * out;
                if (stride != 1) return corrupt("strided 1x1");
                break;
            case add:
                if (l.input2 < 0 || l.input2 >= int(i)) return corrupt("add operand");
                {
                    const Layer& other = layers[size_t(l.input2)];
                    if (other.height != inH || other.width != inW || other.outChannels != inC)
                        return corrupt("add shapes");
                }
                l.inChannels = l.outChannels = inC;
                if (stride != 1 || in != 0 || out != 0) return corrupt("add layer");
                break;
        }
        if (l.kind != add) {
            if (l.inChannels != inC || l.outChannels == 0) return corrupt("channel counts");
            if (left() < weights + size_t(l.outChannels)) return corrupt("truncated");
            l.weights = &file[at];
            at += weights;
            l.bias = &file[at];
            at += size_t(l.outChannels);
        }
        if (l.kind == conv3x3 || l.kind == depthwise3x3) {
            l.padTop = samePadding(inH, l.stride, &l.height);
            l.padLeft = samePadding(inW, l.stride, &l.width);
        } else {
            l.height = inH;
            l.width = inW;
        }
        double positions = double(l.height) * l.width;
        if (l.kind == conv3x3) net->macs += positions * 9 * l.inChannels * l.outChannels;
        if (l.kind == depthwise3x3) net->macs += positions * 9 * l.inChannels;
        if (l.kind == pointwise) net->macs += positions * l.inChannels * l.outChannels;
        layers.push_back(l);
    }
    if (!tag("PXNETEND") || left() != 0) return corrupt("trailer");

    // Working buffers: each layer's output goes to a slot that no later layer
    // still needs; all are allocated here, once.
    std::vector<int> lastUse(layers.size(), 0);
    for (size_t i = 0; i < layers.size(); i++) {
        if (layers[i].input >= 0) lastUse[size_t(layers[i].input)] = int(i);
        if (layers[i].kind == add) lastUse[size_t(layers[i].input2)] = int(i);
    }
    lastUse.back() = int(layers.size());
    std::vector<int> holder;  // layer whose output each slot holds, -1 when free
    std::vector<size_t> slotSize;
    for (size_t i = 0; i < layers.size(); i++) {
        Layer& l = layers[i];
        size_t need = size_t(l.height) * l.width * l.outChannels;
        int slot = -1;
        for (size_t s = 0; s < holder.size(); s++) {
            if (holder[s] < 0 || lastUse[size_t(holder[s])] < int(i)) {
                slot = int(s);
                break;
            }
        }
        if (slot < 0) {
            slot = int(holder.size());
            holder.push_back(-1);
            slotSize.push_back(0);
        }
        holder[size_t(slot)] = int(i);
        slotSize[size_t(slot)] = std::max(slotSize[size_t(slot)], need);
        l.slot = slot;
        if (l.kind == conv3x3) {
            net->columns.resize(
                std::max(net->columns.size(), size_t(l.height) * l.width * 9 * l.inChannels));
        }
    }
    for (size_t need : slotSize)
        net->slots.emplace_back(need);
    net->input.resize(size_t(net->size) * net->size * 3);
    // Our own process makes no threads; a threaded OpenBLAS picked up by
    // mistake is held to one as well.
    openblas_set_num_threads(1);
    return net;
}

namespace {

float clamp6(float v) {
    return std::min(std::max(v, 0.0f), 6.0f);
}

// Adds the bias to every position of an NHWC map and applies ReLU6 if asked.
void biasActivate(float* out, size_t positions, int channels, const float* bias, bool relu6) {
    for (size_t p = 0; p < positions; p++, out += channels) {
        if (relu6) {
            for (int c = 0; c < channels; c++)
                out[c] = clamp6(out[c] + bias[c]);
        } else {
            for (int c = 0; c < channels; c++)
                out[c] += bias[c];
        }
    }
}

// One output pixel of a 3x3 depthwise convolution: the bias plus the taps
// whose input pixels exist (`first`..`last` in each direction).
inline void depthwisePixel(const float* __restrict in, int inW, int channels,
                           const float* __restrict w, const float* __restrict bias, int iy0,
                           int ix0, int kyFirst, int kyLast, int kxFirst, int kxLast, bool relu6,
                           float* __restrict o) {
    for (int c = 0; c < channels; c++)
        o[c] = bias[c];
    for (int ky = kyFirst; ky <= kyLast; ky++) {
        for (int kx = kxFirst; kx <= kxLast; kx++) {
            const float* __restrict i = in + (size_t(iy0 + ky) * inW + (ix0 + kx)) * channels;
            const float* __restrict k = w + (ky * 3 + kx) * channels;
            for (int c = 0; c < channels; c++)
                o[c] += i[c] * k[c];
        }
    }
    if (relu6) {
        for (int c = 0; c < channels; c++)
            o[c] = std::min(std::max(o[c], 0.0f), 6.0f);
    }
}

// 3x3 depthwise convolution, NHWC. No kept library offers this layout; the
// channel loop is innermost so that the compiler vectorises it, built for
// the wider vector units as well and chosen at run time.
__attribute__((target_clones("avx512f", "arch=haswell", "default"))) void depthwise(
    const float* in, int inH, int inW, int channels, const Layer& l, float* out) {
    for (int oy = 0; oy < l.height; oy++) {
        int iy0 = oy * l.stride - l.padTop;
        int kyFirst = std::max(0, -iy0), kyLast = std::min(2, inH - 1 - iy0);
        for (int ox = 0; ox < l.width; ox++) {
            int ix0 = ox * l.stride - l.padLeft;
            int kxFirst = std::max(0, -ix0), kxLast = std::min(2, inW - 1 - ix0);
            depthwisePixel(in, inW, channels, l.weights, l.bias, iy0, ix0, kyFirst, kyLast, kxFirst,
                           kxLast, l.relu6, out + (size_t(oy) * l.width + ox) * channels);
        }
    }
}

// Full 3x3 convolution: image patches (zero where the padding is) times the
// HWIO weights as one matrix product.
void convolve3x3(const float* in, int inH, int inW, int channels, const Layer& l, float* columns,
                 float* out) {
    const int k = 9 * channels;
    for (int oy = 0; oy < l.height; oy++) {
        for (int ox = 0; ox < l.width; ox++) {
            float* col = columns + (size_t(oy) * l.width + ox) * k;
            for (int ky = 0; ky < 3; ky++) {
                int iy = oy * l.stride + ky - l.padTop;
                for (int kx = 0; kx < 3; kx++) {
                    int ix = ox * l.stride + kx - l.padLeft;
                    float* dst = col + (ky * 3 + kx) * channels;
                    if (iy < 0 || iy >= inH || ix < 0 || ix >= inW) {
                        std::fill(dst, dst + channels, 0.0f);
                    } else {
                        std::copy_n(in + (size_t(iy) * inW + ix) * channels, channels, dst);
                    }
                }
            }
        }
    }
    int positions = l.height * l.width;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, positions, l.outChannels, k, 1.0f,
                columns, k, l.weights, l.outChannels, 0.0f, out, l.outChannels);
    biasActivate(out, size_t(positions), l.outChannels, l.bias, l.relu6);
}

}  // namespace

void forward(Network& net, const float* rgb, float* features) {
    const size_t pixels = size_t(net.size) * net.size * 3;
    for (size_t i = 0; i < pixels; i++)
        net.input[i] = rgb[i] * net.inputScale - net.inputShift;
    for (Layer& l : net.layers) {
        const Layer* from = l.input < 0 ? nullptr : &net.layers[size_t(l.input)];
        const float* in = from ? net.slots[size_t(from->slot)].data() : net.input.data();
        int inH = from ? from->height : net.size;
        int inW = from ? from->width : net.size;
        float* out = net.slots[size_t(l.slot)].data();
        size_t positions = size_t(l.height) * l.width;
        switch (l.kind) {
            case conv3x3:
                convolve3x3(in, inH, inW, l.inChannels, l, net.columns.data(), out);
                break;
            case depthwise3x3:
                depthwise(in, inH, inW, l.inChannels, l, out);
                break;
            case pointwise:
                cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, int(positions),
                            l.outChannels, l.inChannels, 1.0f, in, l.inChannels, l.weights,
                            l.outChannels, 0.0f, out, l.outChannels);
                biasActivate(out, positions, l.outChannels, l.bias, l.relu6);
                break;
            case add: {
                const float* other = net.slots[size_t(net.layers[size_t(l.input2)].slot)].data();
                size_t n = positions * size_t(l.outChannels);
                for (size_t i = 0; i < n; i++)
                    out[i] = in[i] + other[i];
                break;
            }
        }
    }
    const Layer& last = net.layers.back();
    const float* map = net.slots[size_t(last.slot)].data();
    const size_t positions = size_t(last.height) * last.width;
    const int channels = last.outChannels;
    std::fill(features, features + channels, 0.0f);
    for (size_t p = 0; p < positions; p++) {
        for (int c = 0; c < channels; c++)
            features[c] += map[p * size_t(channels) + size_t(c)];
    }
    for (int c = 0; c < channels; c++)
        features[c] /= float(positions);
}

std::string defaultModelPath() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return (exe.parent_path().parent_path() / "share/pixsig/mobilenet_v2_mid.pxnet").string();
}

Result<std::vector<float>> FeaturePrintRequest::perform(const std::vector<float>& rgb) {
    using R = Result<std::vector<float>>;
    if (!network_) {
        Result<NetworkPtr> loaded = loadNetwork(path_);
        if (!loaded.ok()) return R::failure(loaded.error());
        network_ = std::move(loaded.value());
    }
    Network& net = *network_;
    if (rgb.size() != net.input.size()) return R::failure("feature-print input has the wrong size");
    std::vector<float> print(size_t(featureCount(net)));
    forward(net, rgb.data(), print.data());
    double sum = 0;
    for (float v : print)
        sum += double(v) * v;
    // A map that is zero everywhere has no direction; leave it zero.
    if (sum > 0) {
        float scale = float(1 / std::sqrt(sum));
        for (float& v : print)
            v *= scale;
    }
    return print;
}

}  // namespace vision
