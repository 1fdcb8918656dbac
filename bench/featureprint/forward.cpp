// Times the feature-print network's forward pass alone: the median of 50
// passes over one 224x224 input, after two warm-up passes. Prints one JSON
// line: {"ms": median, "cpu_ms": median processor time, "macs":
// multiply-accumulates per pass, "gmacs": rate, "load_ms" and "load_cpu_ms":
// time to read the file and prepare the network, "isa": the kernels'
// instruction set}.
//
//   featureprint_forward <network file> [runs] [input.f32 [features.f32]]
//   featureprint_forward --peak
//
// The input file holds 224x224x3 floats in [0,1] (NHWC); without it the input
// is seeded noise. The features of the input are written to features.f32.
// --peak measures this core's multiply-accumulate rate (per second of
// processor time) with independent
// chains of fused multiply-adds on the widest vectors it has:
// {"peak_gmacs": rate, "lanes": floats per vector}.

#include <immintrin.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "vision/network.h"

namespace {

double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Processor time, not elapsed time: the machine may be shared. Twenty
// independent accumulators cover the latency of two FMA units (4
// cycles each); their sum is kept so that the loop is not removed.
#define FMA_RATE(NAME, TARGET, V, LANES, SET, FMA, ADD, STORE)                                \
    __attribute__((target(TARGET))) double NAME(long iterations, float* sink) {               \
        V acc[20];                                                                            \
        for (int i = 0; i < 20; i++)                                                          \
            acc[i] = SET(float(i) * 1e-3f);                                                   \
        const V a = SET(0.999999f), b = SET(1e-7f);                                           \
        double start = cpuMs();                                                               \
        for (long n = 0; n < iterations; n++) {                                               \
            _Pragma("GCC unroll 20") for (int i = 0; i < 20; i++) acc[i] = FMA(acc[i], a, b); \
        }                                                                                     \
        double took = (cpuMs() - start) / 1e3;                                                \
        for (int i = 1; i < 20; i++)                                                          \
            acc[0] = ADD(acc[0], acc[i]);                                                     \
        float out[LANES];                                                                     \
        STORE(out, acc[0]);                                                                   \
        *sink += out[0];                                                                      \
        return double(iterations) * 20 * LANES / took / 1e9;                                  \
    }
FMA_RATE(peak512, "avx512f", __m512, 16, _mm512_set1_ps, _mm512_fmadd_ps, _mm512_add_ps,
         _mm512_storeu_ps)
FMA_RATE(peak256, "avx2,fma", __m256, 8, _mm256_set1_ps, _mm256_fmadd_ps, _mm256_add_ps,
         _mm256_storeu_ps)

int peak() {
    bool wide = __builtin_cpu_supports("avx512f");
    float sink = 0;
    std::vector<double> rates;
    for (int round = 0; round < 15; round++)
        rates.push_back(wide ? peak512(20'000'000, &sink) : peak256(20'000'000, &sink));
    std::sort(rates.begin(), rates.end());
    // The best round: the one least disturbed by other work on the machine.
    std::printf("{\"peak_gmacs\":%.2f,\"lanes\":%d,\"sink\":%g}\n", rates.back(), wide ? 16 : 8,
                double(sink != 0));
    return 0;
}

bool readFloats(const char* path, std::vector<float>& values) {
    FILE* f = std::fopen(path, "rb");
    bool read = f && std::fread(values.data(), sizeof(float), values.size(), f) == values.size();
    if (f) std::fclose(f);
    return read;
}

bool writeFloats(const char* path, const std::vector<float>& values) {
    FILE* f = std::fopen(path, "wb");
    bool written =
        f && std::fwrite(values.data(), sizeof(float), values.size(), f) == values.size();
    return f && std::fclose(f) == 0 && written;
}

void seededNoise(std::vector<float>& values) {
    std::mt19937 random(42);
    std::uniform_real_distribution<float> unit(0, 1);
    for (float& v : values)
        v = unit(random);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--peak") == 0) return peak();
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: featureprint_forward <network file> [runs] [input.f32 [out.f32]]\n");
        return 64;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 50;
    double loadCpuStart = cpuMs();
    auto loadStart = std::chrono::steady_clock::now();
    auto loaded = vision::loadNetwork(argv[1]);
    std::chrono::duration<double, std::milli> loadMs = std::chrono::steady_clock::now() - loadStart;
    double loadCpuMs = cpuMs() - loadCpuStart;
    if (!loaded.ok()) {
        std::fprintf(stderr, "%s\n", loaded.error().c_str());
        return 1;
    }
    vision::Network& net = *loaded.value();
    int size = vision::inputSize(net);
    std::vector<float> input(size_t(size) * size * 3);
    if (argc <= 3) {
        seededNoise(input);
    } else if (!readFloats(argv[3], input)) {
        std::fprintf(stderr, "cannot read %s\n", argv[3]);
        return 1;
    }
    std::vector<float> features(size_t(vision::featureCount(net)));
    std::vector<double> ms, cpu;
    for (int i = 0; i < runs + 2; i++) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = cpuMs();
        vision::forward(net, input.data(), features.data());
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        if (i >= 2) ms.push_back(took.count()), cpu.push_back(cpuMs() - cpuStart);
    }
    if (argc > 4 && !writeFloats(argv[4], features)) {
        std::fprintf(stderr, "cannot write %s\n", argv[4]);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    double median = ms[ms.size() / 2];
    double macs = vision::multiplyAccumulates(net);
    std::printf(
        "{\"ms\":%.3f,\"cpu_ms\":%.3f,\"macs\":%.0f,\"gmacs\":%.2f,\"load_ms\":%.2f,"
        "\"load_cpu_ms\":%.2f,\"isa\":\"%s\"}\n",
        median, cpu[cpu.size() / 2], macs, macs / median / 1e6, loadMs.count(), loadCpuMs,
        vision::kernelInstructionSet().c_str());
    return 0;
}
