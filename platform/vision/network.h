// The feature-print network's engine, for this folder, its tests and its
// benchmarks (the service is vision.h): the network file read and checked,
// the inference library's primitives prepared for it, and the forward pass.
//
// The file is a list of 32-bit words: "PXNET001", the input side, its channel
// count (3), the input scale and shift, the layer count; per layer its kind,
// first and second input (layer indices, -1 for the image), stride, input and
// output channels and ReLU6 flag, followed by its weights (HWIO kernels,
// depthwise ones as HW x channel) and biases; "PXNETEND".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "result/result.h"
#include "vision/vision.h"

namespace vision {

enum Kind : uint32_t { conv3x3 = 1, depthwise3x3 = 2, pointwise = 3, add = 4 };

// One checked layer, with its output size and TensorFlow's SAME padding.
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

// A network file read and checked: everything the engine prepares from.
struct Description {
    int size = 0;  // side of the square input
    float inputScale = 1, inputShift = 0;
    std::vector<Layer> layers;
    double macs = 0;          // multiply-accumulates of one pass
    std::vector<float> file;  // the file's words, weights included
};

// Reads, checks and prepares a network file. The error names the path.
platform::Result<NetworkPtr> loadNetwork(const std::string& path);

// The library's primitives for a checked description, weights reordered once
// into the layouts they chose. Throws the library's error.
NetworkPtr prepare(const Description& description);

// Width and height of the square input image.
int inputSize(const Network& network);
// Length of the feature vector (channels of the last layer).
int featureCount(const Network& network);
// Multiply-accumulates of one forward pass.
double multiplyAccumulates(const Network& network);

// Runs the network on one image: `rgb` holds inputSize² pixels, row by row,
// three values in [0,1] each (R, G, B). Writes featureCount values, the mean
// of the last layer's map over its positions, into `features`. Works in the
// buffers prepare made, on the calling thread only.
void forward(Network& network, const float* rgb, float* features);

// The vector instruction set the forward pass's kernels were generated for on
// this processor ("AVX2", "AVX-512 (BF16)", ...); ONEDNN_MAX_CPU_ISA in the
// environment caps it.
std::string kernelInstructionSet();

}  // namespace vision
