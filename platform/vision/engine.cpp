// The forward pass on oneDNN: one primitive per convolution, with bias and
// ReLU6 fused as post-ops, on the large maps each 1x1 expansion computing the
// depthwise convolution that reads it in the same pass (its output never goes
// to memory whole), the projection of a residual block accumulating straight
// onto the block's input, and a mean over the last map.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <unordered_map>

#include "vision/network.h"

// The library runs on the OpenMP runtime of GCC (libgomp); only its
// thread-count setting is needed, declared here so that the build needs no
// compiler's OpenMP support (clang's would bring a second runtime).
extern "C" void omp_set_num_threads(int count);

namespace vision {

namespace {

using dnnl::memory;
using Tag = memory::format_tag;
using dt = memory::data_type;

// Working memory aligned for the widest vector loads of the library's kernels.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<void, FreeDeleter>;
Block allocate(size_t bytes) {
    constexpr size_t alignment = 64;
    bytes = std::max<size_t>((bytes + alignment - 1) / alignment * alignment, alignment);
    // posix_memalign rather than aligned_alloc: the guard-page allocator the
    // fuzz replays preload replaces only the former.
    void* memory = nullptr;
    if (posix_memalign(&memory, alignment, bytes) != 0) throw std::bad_alloc();
    Block block(memory);
    std::memset(block.get(), 0, bytes);
    return block;
}

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
    std::vector<Value> values;  // values[0]: the normalised input image, NCHW
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

namespace {

// The instruction sets the library generates kernels for, and whether their
// vectors hold 16 floats.
struct InstructionSet {
    dnnl::cpu_isa isa;
    const char* name;
    bool wide;
};
constexpr InstructionSet instructionSets[] = {
    {dnnl::cpu_isa::sse41, "SSE4.1", false},
    {dnnl::cpu_isa::avx, "AVX", false},
    {dnnl::cpu_isa::avx2, "AVX2", false},
    {dnnl::cpu_isa::avx2_vnni, "AVX2 (VNNI)", false},
    {dnnl::cpu_isa::avx512_core, "AVX-512", true},
    {dnnl::cpu_isa::avx512_core_vnni, "AVX-512 (VNNI)", true},
    {dnnl::cpu_isa::avx512_core_bf16, "AVX-512 (BF16)", true},
    {dnnl::cpu_isa::avx512_core_amx, "AVX-512 (AMX)", true},
};

const InstructionSet* effectiveInstructionSet() {
    const dnnl::cpu_isa isa = dnnl::get_effective_cpu_isa();
    for (const InstructionSet& set : instructionSets)
        if (set.isa == isa) return &set;
    return nullptr;
}

}  // namespace

std::string kernelInstructionSet() {
    const InstructionSet* set = effectiveInstructionSet();
    return set ? set->name : "other";
}

namespace {

// Which convolutions absorb their successor. sumInto[p]: the residual add
// that convolution p accumulates into; dwAfter[p]: the depthwise convolution
// that 1x1 convolution p feeds alone.
struct Fusions {
    std::vector<int> sumInto, dwAfter;
};

// The layers that read each layer's output.
std::vector<std::vector<int>> readersOf(const std::vector<Layer>& layers) {
    std::vector<std::vector<int>> readers(layers.size());
    for (size_t i = 0; i < layers.size(); i++) {
        if (layers[i].input >= 0) readers[size_t(layers[i].input)].push_back(int(i));
        if (layers[i].kind == add) readers[size_t(layers[i].input2)].push_back(int(i));
    }
    return readers;
}

// The convolution operand of add `a` that can write the sum itself, or -1:
// a linear convolution read by the add alone, whose other operand nothing
// after the convolution but this add still reads (it is overwritten).
int summingOperand(const std::vector<Layer>& layers, const std::vector<std::vector<int>>& readers,
                   const std::vector<int>& sumInto, int a) {
    const Layer& l = layers[size_t(a)];
    for (auto [conv, added] : {std::pair{l.input, l.input2}, std::pair{l.input2, l.input}}) {
        const int p = conv, r = added;  // copies: clang cannot capture structured bindings
        const Layer& c = layers[size_t(p)];
        if (c.kind == add || c.relu6 || readers[size_t(p)].size() != 1 || r >= p) continue;
        const auto& others = readers[size_t(r)];
        bool free =
            std::all_of(others.begin(), others.end(), [&](int k) { return k < p || k == a; });
        if (free && sumInto[size_t(p)] < 0) return p;
    }
    return -1;
}

Fusions findFusions(const std::vector<Layer>& layers) {
    auto readers = readersOf(layers);
    Fusions f{std::vector<int>(layers.size(), -1), std::vector<int>(layers.size(), -1)};
    for (size_t i = 0; i < layers.size(); i++) {
        if (layers[i].kind != add) continue;
        int p = summingOperand(layers, readers, f.sumInto, int(i));
        if (p >= 0) f.sumInto[size_t(p)] = int(i);
    }
    for (size_t i = 0; i < layers.size(); i++) {
        if (layers[i].kind != pointwise || f.sumInto[i] >= 0 || readers[i].size() != 1) continue;
        const Layer& d = layers[size_t(readers[i][0])];
        if (d.kind == depthwise3x3 && d.input == int(i) && d.padTop == d.padLeft)
            f.dwAfter[i] = readers[i][0];
    }
    return f;
}

dnnl::post_ops& clipped(dnnl::post_ops& ops, bool relu6) {
    if (relu6) ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_clip, 0.0f, 6.0f);
    return ops;
}

// Attributes with these post-ops and the scratchpad handed in by the caller.
// (A primitive_attr is a shared handle: each primitive gets its own.)
dnnl::primitive_attr attributes(const dnnl::post_ops& ops) {
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
}

// Turns the checked layer list into the network's steps and buffers.
class Planner {
  public:
    Planner(Network& net, const Description& d) : net_(net), d_(d), layers_(d.layers) {
        const InstructionSet* set = effectiveInstructionSet();
        blocked_ = set && set->wide ? Tag::nChw16c : Tag::nChw8c;
    }

    void plan();

  private:
    // Maps of 56x56 and more are kept in the blocked layout, where the library
    // runs each 1x1 expansion and its depthwise convolution as one fused
    // kernel; the smaller ones (in cache either way) in the layout each
    // primitive reads best, where its plain-layout kernels are faster. The
    // network's input (three channels) goes in whatever layout the first
    // convolution reads best. (Measured on AVX-512: 6% off the whole pass.)
    static bool isBlocked(const Layer& l) { return l.height >= 56; }
    int newValue(const memory::desc& desc) {
        net_.values.push_back({desc});
        return int(net_.values.size()) - 1;
    }
    Step& addStep(dnnl::primitive p, std::vector<std::pair<int, int>> values) {
        net_.steps.push_back({std::move(p), std::move(values), {}});
        return net_.steps.back();
    }
    void needScratchpad(const memory::desc& desc) {
        scratchpadBytes_ = std::max(scratchpadBytes_, desc.get_size());
    }
    memory packed(const memory::desc& chosen, const memory::desc& stored, size_t at);
    memory biasOf(const memory::desc& chosen, const Layer& l);
    int inLayout(int v, const memory::desc& want);
    void addSum(size_t i);
    dnnl::convolution_forward::primitive_desc convolution(size_t i, int from, int& target);
    void addConvolution(size_t i);
    int addMean();
    void assignSlots(int output);
    void bindArguments(int output);

    Network& net_;
    const Description& d_;
    const std::vector<Layer>& layers_;
    Fusions fusions_ = findFusions(layers_);
    std::vector<int> valueOf_ = std::vector<int>(layers_.size(), -1);  // each layer's output
    std::vector<bool> absorbed_ = std::vector<bool>(layers_.size(), false);
    Tag blocked_;
    const dnnl::primitive_attr plain_ = attributes(dnnl::post_ops());
    size_t scratchpadBytes_ = 0;
};

// Weights copied out of the file (layout `stored`, from word `at`) into the
// layout the primitive chose.
memory Planner::packed(const memory::desc& chosen, const memory::desc& stored, size_t at) {
    memory to(chosen, net_.engine);
    memory from(stored, net_.engine, const_cast<float*>(&d_.file[at]));
    dnnl::reorder(from, to).execute(net_.stream, from, to);
    return to;
}

memory Planner::biasOf(const memory::desc& chosen, const Layer& l) {
    memory bias(chosen, net_.engine);
    std::memcpy(bias.get_data_handle(), &d_.file[l.bias], sizeof(float) * size_t(l.outChannels));
    return bias;
}

// The value `v` in layout `want`: itself, or a reordered copy.
int Planner::inLayout(int v, const memory::desc& want) {
    if (net_.values[size_t(v)].desc == want) return v;
    int copy = newValue(want);
    addStep(dnnl::reorder(dnnl::reorder::primitive_desc(net_.engine, net_.values[size_t(v)].desc,
                                                        net_.engine, want)),
            {{DNNL_ARG_FROM, v}, {DNNL_ARG_TO, copy}});
    return copy;
}

// An add that no convolution wrote as it went: a binary primitive.
void Planner::addSum(size_t i) {
    const Layer& l = layers_[i];
    int from = valueOf_[size_t(l.input)];
    const memory::desc& fromDesc = net_.values[size_t(from)].desc;
    memory::desc any(fromDesc.dims(), dt::f32, Tag::any);
    dnnl::binary::primitive_desc pd(
        dnnl::binary::desc(dnnl::algorithm::binary_add, fromDesc, fromDesc, any), plain_,
        net_.engine);
    int second = inLayout(valueOf_[size_t(l.input2)], fromDesc);
    valueOf_[i] = newValue(pd.dst_desc());
    needScratchpad(pd.scratchpad_desc());
    addStep(dnnl::binary(pd),
            {{DNNL_ARG_SRC_0, from}, {DNNL_ARG_SRC_1, second}, {DNNL_ARG_DST, valueOf_[i]}});
}

// The primitive of convolution i reading value `from`, with its fusions.
// `target`: the value a fused residual add accumulates onto, or -1.
dnnl::convolution_forward::primitive_desc Planner::convolution(size_t i, int from, int& target) {
    const Layer& l = layers_[i];
    const bool grouped = l.kind == depthwise3x3;
    const int k = l.kind == pointwise ? 1 : 3;
    memory::dims weightDims = grouped ? memory::dims{l.outChannels, 1, 1, 3, 3}
                                      : memory::dims{l.outChannels, l.inChannels, k, k};
    const memory::desc& fromDesc = net_.values[size_t(from)].desc;
    const bool blockedIn = l.input >= 0 && isBlocked(layers_[size_t(l.input)]);
    memory::desc src(fromDesc.dims(), dt::f32, blockedIn ? blocked_ : Tag::any);
    memory::desc dst({1, l.outChannels, l.height, l.width}, dt::f32,
                     isBlocked(l) ? blocked_ : Tag::any);
    if (!isBlocked(l)) fusions_.dwAfter[i] = -1;
    dnnl::post_ops ops;
    target = -1;
    if (fusions_.sumInto[i] >= 0) {
        const Layer& a = layers_[size_t(fusions_.sumInto[i])];
        int other = valueOf_[size_t(a.input == int(i) ? a.input2 : a.input)];
        // One that would overwrite its own input leaves the add separate.
        if (other == from) {
            fusions_.sumInto[i] = -1;
        } else {
            target = other;
            dst = net_.values[size_t(target)].desc;
            ops.append_sum(1.0f);
        }
    }
    clipped(ops, l.relu6);
    dnnl::convolution_forward::desc cd(
        dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct, src,
        memory::desc(weightDims, dt::f32, Tag::any), memory::desc({l.outChannels}, dt::f32, Tag::x),
        dst, {l.stride, l.stride}, {l.padTop, l.padLeft}, {l.padBottom, l.padRight});
    if (fusions_.dwAfter[i] >= 0) {
        const Layer& dw = layers_[size_t(fusions_.dwAfter[i])];
        dnnl::post_ops withDw = ops;
        withDw.append_dw(dt::f32, dt::f32, dt::f32, 3, dw.stride, dw.padTop, 0, {});
        dnnl::primitive_attr attr = attributes(clipped(withDw, dw.relu6));
        // Where the library has no fused kernel for the shape (or would pad
        // differently from the network), the two stay apart.
        try {
            dnnl::convolution_forward::primitive_desc pd(cd, attr, net_.engine);
            if (pd.dst_desc().dims() == memory::dims{1, dw.outChannels, dw.height, dw.width})
                return pd;
        } catch (const dnnl::error&) {
        }
        fusions_.dwAfter[i] = -1;
    }
    return dnnl::convolution_forward::primitive_desc(cd, attributes(ops), net_.engine);
}

void Planner::addConvolution(size_t i) {
    const Layer& l = layers_[i];
    int target = -1;
    int from = l.input < 0 ? 0 : valueOf_[size_t(l.input)];
    auto pd = convolution(i, from, target);
    needScratchpad(pd.scratchpad_desc());
    int in = inLayout(from, pd.src_desc());
    valueOf_[i] = target >= 0 ? target : newValue(pd.dst_desc());
    Step& step =
        addStep(dnnl::convolution_forward(pd), {{DNNL_ARG_SRC, in}, {DNNL_ARG_DST, valueOf_[i]}});
    const bool grouped = l.kind == depthwise3x3;
    memory::desc stored(pd.weights_desc().dims(), dt::f32, grouped ? Tag::hwigo : Tag::hwio);
    step.args[DNNL_ARG_WEIGHTS] = packed(pd.weights_desc(), stored, l.weights);
    step.args[DNNL_ARG_BIAS] = biasOf(pd.bias_desc(), l);
    if (int d = fusions_.dwAfter[i]; d >= 0) {
        const Layer& dw = layers_[size_t(d)];
        constexpr int arg = DNNL_ARG_ATTR_POST_OP_DW;
        memory::desc dwStored({dw.outChannels, 1, 1, 3, 3}, dt::f32, Tag::hwigo);
        step.args[arg | DNNL_ARG_WEIGHTS] = packed(
            pd.query_md(dnnl::query::exec_arg_md, arg | DNNL_ARG_WEIGHTS), dwStored, dw.weights);
        step.args[arg | DNNL_ARG_BIAS] =
            biasOf(pd.query_md(dnnl::query::exec_arg_md, arg | DNNL_ARG_BIAS), dw);
        valueOf_[size_t(d)] = valueOf_[i];
        absorbed_[size_t(d)] = true;
    }
}

// The print: the last map averaged over its positions (as a pooling window
// over the whole map, which the library vectorises; its reduction primitive
// has only a scalar loop for this shape), in plain channel order.
int Planner::addMean() {
    const Layer& last = layers_.back();
    const memory::desc& lastDesc = net_.values[size_t(valueOf_.back())].desc;
    memory::desc pooled({1, last.outChannels, 1, 1}, dt::f32, Tag::any);
    dnnl::pooling_forward::primitive_desc pd(
        dnnl::pooling_forward::desc(dnnl::prop_kind::forward_inference,
                                    dnnl::algorithm::pooling_avg_exclude_padding, lastDesc, pooled,
                                    {1, 1}, {last.height, last.width}, {0, 0}, {0, 0}),
        plain_, net_.engine);
    needScratchpad(pd.scratchpad_desc());
    int mean = newValue(pd.dst_desc());
    addStep(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, valueOf_.back()}, {DNNL_ARG_DST, mean}});
    return inLayout(mean, memory::desc({1, last.outChannels, 1, 1}, dt::f32, Tag::nchw));
}

// Each value goes to a slot that no later step still needs; the input and the
// output keep slots of their own.
void Planner::assignSlots(int output) {
    auto& values = net_.values;
    for (Value& v : values)
        v.firstStep = -1;
    for (size_t s = 0; s < net_.steps.size(); s++) {
        for (auto [arg, v] : net_.steps[s].values) {
            Value& value = values[size_t(v)];
            if (value.firstStep < 0) value.firstStep = int(s);
            value.lastStep = int(s);
        }
    }
    values[0].firstStep = -1;
    values[0].lastStep = int(net_.steps.size());
    values[size_t(output)].lastStep = int(net_.steps.size());
    std::vector<int> holder;  // value each slot holds
    std::vector<size_t> slotBytes;
    for (size_t v = 0; v < values.size(); v++) {
        auto reusable = [&](int h) {
            return v > 0 && values[size_t(h)].lastStep < values[v].firstStep;
        };
        auto found = std::find_if(holder.begin(), holder.end(), reusable);
        size_t slot = size_t(found - holder.begin());
        if (found == holder.end()) {
            holder.push_back(-1);
            slotBytes.push_back(0);
        }
        holder[slot] = int(v);
        slotBytes[slot] = std::max(slotBytes[slot], values[v].desc.get_size());
        values[v].slot = int(slot);
    }
    for (size_t bytes : slotBytes)
        net_.slots.push_back(allocate(bytes));
}

void Planner::bindArguments(int output) {
    net_.scratchpad = allocate(scratchpadBytes_);
    memory scratchpad(memory::desc({memory::dim(scratchpadBytes_)}, dt::u8, Tag::x), net_.engine,
                      net_.scratchpad.get());
    std::vector<memory> memories;
    for (const Value& v : net_.values)
        memories.emplace_back(v.desc, net_.engine, net_.slots[size_t(v.slot)].get());
    for (Step& step : net_.steps) {
        for (auto [arg, v] : step.values)
            step.args[arg] = memories[size_t(v)];
        step.args[DNNL_ARG_SCRATCHPAD] = scratchpad;
    }
    net_.input = static_cast<float*>(net_.slots[size_t(net_.values[0].slot)].get());
    net_.output = static_cast<float*>(net_.slots[size_t(net_.values[size_t(output)].slot)].get());
}

void Planner::plan() {
    // The image goes in as planes, which the first convolution (three input
    // channels, blocked output) reads without a reorder.
    net_.values.push_back({memory::desc({1, 3, d_.size, d_.size}, dt::f32, Tag::nchw)});
    for (size_t i = 0; i < layers_.size(); i++) {
        if (absorbed_[i]) continue;
        if (layers_[i].kind != add) {
            addConvolution(i);
            continue;
        }
        const Layer& l = layers_[i];
        // A convolution that already wrote the sum onto the other operand.
        if (fusions_.sumInto[size_t(l.input)] == int(i))
            valueOf_[i] = valueOf_[size_t(l.input)];
        else if (fusions_.sumInto[size_t(l.input2)] == int(i))
            valueOf_[i] = valueOf_[size_t(l.input2)];
        else
            addSum(i);
    }
    int output = addMean();
    net_.stream.wait();
    assignSlots(output);
    bindArguments(output);
}

}  // namespace

NetworkPtr prepare(const Description& d) {
    NetworkPtr net(new Network);
    net->size = d.size;
    net->inputScale = d.inputScale;
    net->inputShift = d.inputShift;
    net->features = d.layers.back().outChannels;
    net->macs = d.macs;
    // One thread computes a print: the library's OpenMP runtime then starts no
    // threads of its own (and so leaves none spinning between requests).
    omp_set_num_threads(1);
    Planner(*net, d).plan();
    return net;
}

void forward(Network& net, const float* rgb, float* features) {
    // The thread count is a setting of each calling thread.
    omp_set_num_threads(1);
    const size_t plane = size_t(net.size) * size_t(net.size);
    for (size_t c = 0; c < 3; c++) {
        float* to = net.input + c * plane;
        for (size_t p = 0; p < plane; p++)
            to[p] = rgb[p * 3 + c] * net.inputScale - net.inputShift;
    }
    for (Step& step : net.steps)
        step.primitive.execute(net.stream, step.args);
    net.stream.wait();
    std::copy_n(net.output, net.features, features);
}

}  // namespace vision
