// Times the feature-print network's forward pass alone: the median of 50
// passes over one 224x224 input, after two warm-up passes. Prints one JSON
// line: {"ms": median, "cpu_ms": median processor time, "macs":
// multiply-accumulates per pass, "gmacs": rate, "load_ms" and "load_cpu_ms":
// time to read the file and prepare the network, "isa": the kernels' instruction set}.
//
//   featureprint_forward <network file> [runs]

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "featureprint.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: featureprint_forward <network file> [runs]\n");
        return 64;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 50;
    auto cpuMs = [] {
        timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
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
    std::mt19937 random(42);
    std::uniform_real_distribution<float> unit(0, 1);
    for (float& v : input)
        v = unit(random);
    std::vector<float> features(size_t(vision::featureCount(net)));
    std::vector<double> ms, cpu;
    for (int i = 0; i < runs + 2; i++) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = cpuMs();
        vision::forward(net, input.data(), features.data());
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        if (i >= 2) ms.push_back(took.count()), cpu.push_back(cpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    double median = ms[ms.size() / 2];
    double macs = vision::multiplyAccumulates(net);
    std::printf(
        "{\"ms\":%.3f,\"cpu_ms\":%.3f,\"macs\":%.0f,\"gmacs\":%.2f,\"load_ms\":%.2f,\"load_cpu_ms\":%.2f,"
        "\"isa\":\"%s\"}\n",
        median, cpu[cpu.size() / 2], macs, macs / median / 1e6, loadMs.count(), loadCpuMs,
        vision::kernelInstructionSet().c_str());
    return 0;
}
