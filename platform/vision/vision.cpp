#include "vision/vision.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <unordered_map>

// The library runs on the OpenMP runtime of GCC (libgomp); only its
// thread-count setting is needed, declared here so that the build needs no
// compiler's OpenMP support (clang's would bring a second runtime).
extern "C" void omp_set_num_threads(int count);

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
    size_t weights = 0;  // word offsets into the network file
    size_t bias = 0;
    int height = 0, width = 0;  // output size
    int padTop = 0, padLeft = 0;
    int padBottom = 0, padRight = 0;
};

// TensorFlow's SAME padding for a 3x3 kernel: the output is ceil(in/stride)
// and the padding needed is split with the odd pixel after.
void samePadding(int in, int stride, int* out, int* before, int* after) {
    *out = (in + stride - 1) / stride;
    int total = std::max((*out - 1) * stride + 3 - in, 0);
    *before = total / 2;
    *after = total - *before;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Working memory aligned for the widest vector loads of the library's kernels.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<void, FreeDeleter>;
Block allocate(size_t bytes) {
    constexpr size_t alignment = 64;
    bytes = std::max<size_t>((bytes + alignment - 1) / alignment * alignment, alignment);
    Block block(std::aligned_alloc(alignment, bytes));
    if (!block) throw std::bad_alloc();
    std::memset(block.get(), 0, bytes);
    return block;
}

using dnnl::memory;
using Tag = memory::format_tag;

// A tensor between two steps of the pass: its layout, as the library chose it,
// and the working buffer that holds it.
struct Value {
    memory::desc desc;
    int slot = -1;
    int firstStep = 0, lastStep = 0;  // steps that write it first and read it last
};

// One primitive with the values it reads and writes (argument, value) and the
// weights it owns.
struct Step {
    dnnl::primitive primitive;
    std::vector<std::pair<int, int>> values;
    std::unordered_map<int, memory> args;
};

}  // namespace

class Network {
  public:
    int size = 0;
    float inputScale = 1, inputShift = 0;
    int features = 0;
    double macs = 0;
    dnnl::engine engine{dnnl::engine::kind::cpu, 0};
    dnnl::stream stream{engine};
    std::vector<Value> values;  // values[0]: the normalised input image, NHWC
    std::vector<Step> steps;
    std::vector<Block> slots;
    Block scratchpad;
    float* input = nullptr;   // values[0]'s buffer
    float* output = nullptr;  // the mean of the last map, featureCount values
};

void NetworkDeleter::operator()(Network* network) const {
    delete network;
}

int inputSize(const Network& network) {
    return network.size;
}
int featureCount(const Network& network) {
    return network.features;
}
double multiplyAccumulates(const Network& network) {
    return network.macs;
}

std::string kernelInstructionSet() {
    switch (dnnl::get_effective_cpu_isa()) {
        case dnnl::cpu_isa::sse41:
            return "SSE4.1";
        case dnnl::cpu_isa::avx:
            return "AVX";
        case dnnl::cpu_isa::avx2:
            return "AVX2";
        case dnnl::cpu_isa::avx2_vnni:
            return "AVX2 (VNNI)";
        case dnnl::cpu_isa::avx512_core:
            return "AVX-512";
        case dnnl::cpu_isa::avx512_core_vnni:
            return "AVX-512 (VNNI)";
        case dnnl::cpu_isa::avx512_core_bf16:
            return "AVX-512 (BF16)";
        case dnnl::cpu_isa::avx512_core_amx:
            return "AVX-512 (AMX)";
        default:
            return "other";
    }
}

namespace {

// Turns the checked layer list into library primitives: convolutions with
// their bias and ReLU6 fused, weights reordered once into the layout each
// convolution chose, the projection of a residual block accumulating straight
// onto the block's input, and a mean over the last map's positions.
void build(Network& net, const std::vector<Layer>& layers, const std::vector<float>& file) {
    using dnnl::algorithm;
    using dnnl::prop_kind;
    using dt = memory::data_type;

    // Which layer reads which, to find the residual adds that can be fused.
    std::vector<std::vector<int>> readers(layers.size());
    for (size_t i = 0; i < layers.size(); i++) {
        if (layers[i].input >= 0) readers[size_t(layers[i].input)].push_back(int(i));
        if (layers[i].kind == add) readers[size_t(layers[i].input2)].push_back(int(i));
    }
    // fusedInto[p] = the add that convolution p accumulates into.
    std::vector<int> fusedInto(layers.size(), -1);
    for (size_t i = 0; i < layers.size(); i++) {
        const Layer& a = layers[i];
        if (a.kind != add) continue;
        for (auto [conv, added] : {std::pair{a.input, a.input2}, std::pair{a.input2, a.input}}) {
            const int p = conv, r = added;
            const Layer& c = layers[size_t(p)];
            if (c.kind == add || c.relu6 || readers[size_t(p)].size() != 1 || r >= p) continue;
            // The operand added to is overwritten when p runs: nothing after
            // p but this add may read it.
            bool free = std::all_of(readers[size_t(r)].begin(), readers[size_t(r)].end(),
                                    [&](int k) { return k < p || k == int(i); });
            if (free && fusedInto[size_t(p)] < 0) {
                fusedInto[size_t(p)] = int(i);
                break;
            }
        }
    }

    std::vector<int> valueOf(layers.size(), -1);  // value holding each layer's output
    net.values.push_back({memory::desc({1, 3, net.size, net.size}, dt::f32, Tag::nhwc)});
    auto newValue = [&](const memory::desc& desc) {
        net.values.push_back({desc});
        return int(net.values.size()) - 1;
    };
    auto addStep = [&](dnnl::primitive p, std::vector<std::pair<int, int>> values) {
        net.steps.push_back({std::move(p), std::move(values), {}});
        return &net.steps.back();
    };
    // The value `v` in layout `want`: itself, or a reordered copy.
    auto inLayout = [&](int v, const memory::desc& want) {
        if (net.values[size_t(v)].desc == want) return v;
        int copy = newValue(want);
        addStep(dnnl::reorder(dnnl::reorder::primitive_desc(net.engine, net.values[size_t(v)].desc,
                                                            net.engine, want)),
                {{DNNL_ARG_FROM, v}, {DNNL_ARG_TO, copy}});
        return copy;
    };
    size_t scratchpadBytes = 0;
    dnnl::primitive_attr plain;
    plain.set_scratchpad_mode(dnnl::scratchpad_mode::user);

    for (size_t i = 0; i < layers.size(); i++) {
        const Layer& l = layers[i];
        int from = l.input < 0 ? 0 : valueOf[size_t(l.input)];
        const memory::desc& fromDesc = net.values[size_t(from)].desc;
        if (l.kind == add) {
            int other = valueOf[size_t(l.input2)];
            bool fused = false;
            for (int operand : {l.input, l.input2})
                fused = fused || fusedInto[size_t(operand)] == int(i);
            if (fused) {
                // The convolution already wrote the sum into the other operand.
                valueOf[i] = fusedInto[size_t(l.input)] == int(i) ? from : other;
                continue;
            }
            memory::desc any(fromDesc.dims(), dt::f32, Tag::any);
            dnnl::binary::primitive_desc pd(
                dnnl::binary::desc(algorithm::binary_add, fromDesc, fromDesc, any), plain,
                net.engine);
            int second = inLayout(other, fromDesc);
            valueOf[i] = newValue(pd.dst_desc());
            scratchpadBytes = std::max(scratchpadBytes, pd.scratchpad_desc().get_size());
            addStep(dnnl::binary(pd),
                    {{DNNL_ARG_SRC_0, from}, {DNNL_ARG_SRC_1, second}, {DNNL_ARG_DST, valueOf[i]}});
            continue;
        }

        const int kernel = l.kind == pointwise ? 1 : 3;
        const bool grouped = l.kind == depthwise3x3;
        memory::dims weightDims = grouped
                                      ? memory::dims{l.outChannels, 1, 1, 3, 3}
                                      : memory::dims{l.outChannels, l.inChannels, kernel, kernel};
        // The file holds HWIO kernels, and depthwise ones as HW x channel.
        memory::desc fileWeights(weightDims, dt::f32, grouped ? Tag::hwigo : Tag::hwio);
        memory::desc src(fromDesc.dims(), dt::f32, Tag::any);
        memory::desc weights(weightDims, dt::f32, Tag::any);
        memory::desc bias({l.outChannels}, dt::f32, Tag::x);
        memory::desc dst({1, l.outChannels, l.height, l.width}, dt::f32, Tag::any);
        dnnl::post_ops ops;
        int target = -1;  // the value a fused residual add accumulates onto
        if (fusedInto[i] >= 0) {
            const Layer& a = layers[size_t(fusedInto[i])];
            target = valueOf[size_t(a.input == int(i) ? a.input2 : a.input)];
            if (target == from) {
                // It would overwrite its own input: the add stays separate.
                fusedInto[i] = -1;
                target = -1;
            } else {
                dst = net.values[size_t(target)].desc;
                ops.append_sum(1.0f);
            }
        }
        if (l.relu6) ops.append_eltwise(1.0f, algorithm::eltwise_clip, 0.0f, 6.0f);
        dnnl::primitive_attr attr;
        attr.set_post_ops(ops);
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        dnnl::convolution_forward::primitive_desc pd(
            dnnl::convolution_forward::desc(
                prop_kind::forward_inference, algorithm::convolution_direct, src, weights, bias,
                dst, {l.stride, l.stride}, {l.padTop, l.padLeft}, {l.padBottom, l.padRight}),
            attr, net.engine);
        scratchpadBytes = std::max(scratchpadBytes, pd.scratchpad_desc().get_size());
        int in = inLayout(from, pd.src_desc());
        valueOf[i] = target >= 0 ? target : newValue(pd.dst_desc());

        // Weights and bias, copied out of the file into the chosen layouts.
        memory packed(pd.weights_desc(), net.engine);
        memory raw(fileWeights, net.engine, const_cast<float*>(&file[l.weights]));
        dnnl::reorder(raw, packed).execute(net.stream, raw, packed);
        memory biasMemory(pd.bias_desc(), net.engine);
        std::memcpy(biasMemory.get_data_handle(), &file[l.bias], sizeof(float) * l.outChannels);
        Step* step = addStep(dnnl::convolution_forward(pd),
                             {{DNNL_ARG_SRC, in}, {DNNL_ARG_DST, valueOf[i]}});
        step->args[DNNL_ARG_WEIGHTS] = packed;
        step->args[DNNL_ARG_BIAS] = biasMemory;
    }

    // The print: the last map averaged over its positions (as a pooling
    // window over the whole map, which the library vectorises; its reduction
    // primitive has only a scalar loop for this shape).
    const Layer& last = layers.back();
    const memory::desc& lastDesc = net.values[size_t(valueOf.back())].desc;
    memory::desc pooled({1, last.outChannels, 1, 1}, dt::f32, Tag::any);
    dnnl::pooling_forward::primitive_desc pd(
        dnnl::pooling_forward::desc(prop_kind::forward_inference,
                                    algorithm::pooling_avg_exclude_padding, lastDesc, pooled,
                                    {1, 1}, {last.height, last.width}, {0, 0}, {0, 0}),
        plain, net.engine);
    scratchpadBytes = std::max(scratchpadBytes, pd.scratchpad_desc().get_size());
    int mean = newValue(pd.dst_desc());
    addStep(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, valueOf.back()}, {DNNL_ARG_DST, mean}});
    int output = inLayout(mean, memory::desc({1, last.outChannels, 1, 1}, dt::f32, Tag::nchw));
    net.stream.wait();

    // Working buffers: each value goes to a slot that no later step still
    // needs; the input and the output keep slots of their own.
    for (Value& v : net.values)
        v.firstStep = -1;
    for (size_t s = 0; s < net.steps.size(); s++) {
        for (auto [arg, v] : net.steps[s].values) {
            Value& value = net.values[size_t(v)];
            if (value.firstStep < 0) value.firstStep = int(s);
            value.lastStep = int(s);
        }
    }
    net.values[0].firstStep = -1;
    net.values[0].lastStep = int(net.steps.size());
    net.values[size_t(output)].lastStep = int(net.steps.size());
    std::vector<int> holder;  // value each slot holds
    std::vector<size_t> slotBytes;
    for (size_t v = 0; v < net.values.size(); v++) {
        Value& value = net.values[v];
        int slot = -1;
        for (size_t s = 0; s < holder.size() && v > 0; s++) {
            if (net.values[size_t(holder[s])].lastStep < value.firstStep) {
                slot = int(s);
                break;
            }
        }
        if (slot < 0) {
            slot = int(holder.size());
            holder.push_back(-1);
            slotBytes.push_back(0);
        }
        holder[size_t(slot)] = int(v);
        slotBytes[size_t(slot)] = std::max(slotBytes[size_t(slot)], value.desc.get_size());
        value.slot = slot;
    }
    for (size_t bytes : slotBytes)
        net.slots.push_back(allocate(bytes));
    net.scratchpad = allocate(scratchpadBytes);
    memory scratchpad(memory::desc({memory::dim(scratchpadBytes)}, dt::u8, Tag::x), net.engine,
                      net.scratchpad.get());
    std::vector<memory> memories;
    for (const Value& v : net.values)
        memories.emplace_back(v.desc, net.engine, net.slots[size_t(v.slot)].get());
    for (Step& step : net.steps) {
        for (auto [arg, v] : step.values)
            step.args[arg] = memories[size_t(v)];
        step.args[DNNL_ARG_SCRATCHPAD] = scratchpad;
    }
    net.input = static_cast<float*>(net.slots[size_t(net.values[0].slot)].get());
    net.output = static_cast<float*>(net.slots[size_t(net.values[size_t(output)].slot)].get());
}

}  // namespace

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
    std::vector<float> file;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return corrupt("not a regular file");
    long bytes = std::ftell(f.get());
    if (bytes < 0 || bytes % 4 != 0 || bytes > (1L << 31)) return corrupt("size");
    std::rewind(f.get());
    file.resize(size_t(bytes) / 4);
    if (std::fread(file.data(), 1, size_t(bytes), f.get()) != size_t(bytes)) {
        return Result<NetworkPtr>::failure("cannot read feature-print model " + path + ": " +
                                           std::strerror(errno));
    }
    f.reset();

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

    std::vector<Layer> layers;
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
            l.weights = at;
            at += weights;
            l.bias = at;
            at += size_t(l.outChannels);
        }
        if (l.kind == conv3x3 || l.kind == depthwise3x3) {
            samePadding(inH, l.stride, &l.height, &l.padTop, &l.padBottom);
            samePadding(inW, l.stride, &l.width, &l.padLeft, &l.padRight);
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
    net->features = layers.back().outChannels;

    // One thread computes a print: the library's OpenMP runtime then starts no
    // threads of its own (and so leaves none spinning between requests).
    omp_set_num_threads(1);
    try {
        build(*net, layers, file);
    } catch (const dnnl::error& e) {
        return Result<NetworkPtr>::failure("cannot prepare feature-print model " + path + ": " +
                                           e.what());
    }
    return net;
}

void forward(Network& net, const float* rgb, float* features) {
    // The thread count is a setting of each calling thread.
    omp_set_num_threads(1);
    const size_t values = size_t(net.size) * net.size * 3;
    for (size_t i = 0; i < values; i++)
        net.input[i] = rgb[i] * net.inputScale - net.inputShift;
    for (Step& step : net.steps)
        step.primitive.execute(net.stream, step.args);
    net.stream.wait();
    std::copy_n(net.output, net.features, features);
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
    if (rgb.size() != size_t(net.size) * net.size * 3)
        return R::failure("feature-print input has the wrong size");
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
