// Feature prints: a pretrained convolutional network (MobileNetV2, width 1.4,
// 224x224 input) run on the CPU over pixsig's own network file. The print of
// an image is the network's last convolution map (7x7x1792 after ReLU6)
// averaged over its positions and scaled to unit length, so that the dot
// product of two prints is their cosine similarity.
//
// The network file is made at build time from the weights of the npm package
// nsfwjs (tools/model/convert.mjs) and installed as
// <executable dir>/../share/pixsig/mobilenet_v2_mid.pxnet.
#pragma once

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "result/result.h"

namespace vision {

// A value or an error text.
template <class T>
using Result = platform::Result<T>;

// The network's weights, reordered once into the layouts its kernels read,
// and the working memory of one forward pass.
class Network;

struct NetworkDeleter {
    void operator()(Network* network) const;
};
using NetworkPtr = std::unique_ptr<Network, NetworkDeleter>;

// Reads and checks a network file. The error names the path.
Result<NetworkPtr> loadNetwork(const std::string& path);

// Width and height of the square input image.
int inputSize(const Network& network);
// Length of the feature vector (channels of the last layer).
int featureCount(const Network& network);
// Multiply-accumulates of one forward pass.
double multiplyAccumulates(const Network& network);

// Runs the network on one image: `rgb` holds inputSize² pixels, row by row,
// three values in [0,1] each (R, G, B). Writes featureCount values, the mean
// of the last layer's map over its positions, into `features`. Works in the
// buffers loadNetwork made, on the calling thread only.
void forward(Network& network, const float* rgb, float* features);

// The vector instruction set the forward pass's kernels were generated for on
// this processor ("AVX2", "AVX-512 (BF16)", ...); ONEDNN_MAX_CPU_ISA in the
// environment caps it.
std::string kernelInstructionSet();

// Where pixsig finds its network file: share/pixsig/mobilenet_v2_mid.pxnet in
// the parent of the running executable's folder.
std::string defaultModelPath();

// The process's feature-print request: made once, performed on any number of
// images. The network file is read by the first analysis and kept.
class FeaturePrintRequest {
  public:
    explicit FeaturePrintRequest(std::string modelPath) : path_(std::move(modelPath)) {}
    const std::string& modelPath() const { return path_; }

    // Side of the square image perform() expects (224).
    static constexpr int imageSize = 224;

    // The unit-length feature print of an image given as for forward().
    Result<std::vector<float>> perform(const std::vector<float>& rgb);

  private:
    std::string path_;
    NetworkPtr network_;
};

}  // namespace vision
