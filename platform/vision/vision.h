// Feature prints: a pretrained convolutional network (MobileNetV2, width 1.4,
// 224x224 input) run on the CPU over pixsig's own network file. The print of
// an image is the network's last convolution map (7x7x1792 after ReLU6)
// averaged over its positions and scaled to unit length, so that the dot
// product of two prints is their cosine similarity.
//
// The network file is made at build time from the weights of the npm package
// nsfwjs (tools/model/convert.mjs) and installed as
// <executable dir>/../share/pixsig/mobilenet_v2_mid.pxnet. Its weights are
// read and prepared by the first analysis, on one thread; a process that
// never asks for a print never reads them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "result/result.h"

namespace vision {

// The prepared network (vision/network.h, for this folder, its tests and
// benchmarks).
class Network;
struct NetworkDeleter {
    void operator()(Network* network) const;
};
using NetworkPtr = std::unique_ptr<Network, NetworkDeleter>;

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

    // The unit-length feature print of an image of imageSize² pixels, row by
    // row, three values in [0,1] each (R, G, B). Fails with the network
    // file's problem (naming its path) or a wrong-sized input.
    platform::Result<std::vector<float>> perform(const std::vector<float>& rgb);

  private:
    std::string path_;
    NetworkPtr network_;
};

}  // namespace vision
