#include "vision/vision.h"

#include <cmath>
#include <filesystem>

#include "vision/network.h"

namespace vision {

std::string defaultModelPath() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return (exe.parent_path().parent_path() / "share/pixsig/mobilenet_v2_mid.pxnet").string();
}

platform::Result<std::vector<float>> FeaturePrintRequest::perform(const std::vector<float>& rgb) {
    using R = platform::Result<std::vector<float>>;
    if (!network_) {
        platform::Result<NetworkPtr> loaded = loadNetwork(path_);
        if (!loaded.ok()) return R::failure(loaded.error());
        network_ = std::move(loaded.value());
    }
    Network& net = *network_;
    if (rgb.size() != size_t(inputSize(net)) * size_t(inputSize(net)) * 3)
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
