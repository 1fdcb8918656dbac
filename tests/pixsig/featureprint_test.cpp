// Feature prints: the response format, what the decoder normalises, how
// near-duplicates compare, a damaged or missing network file, and the forward
// pass against a plain evaluation of the same network, against the prints of
// the previous implementation, and with the kernels held to AVX2.

#include <glib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "proc.h"
#include "vision/network.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::run;
namespace fs = std::filesystem;

namespace {

std::string image(const std::string& name) {
    return testsupport::fixture("pixsig/featureprint/" + name);
}

std::vector<json> batch(const std::vector<std::string>& paths, const std::string& program = {}) {
    std::vector<std::string> argv = {program.empty() ? bin("pixsig") : program};
    argv.insert(argv.end(), paths.begin(), paths.end());
    auto r = run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line));
    EXPECT_EQ(lines.size(), paths.size());
    return lines;
}

std::vector<float> vectorOf(const json& response) {
    std::string b64 = response.at("b64");
    gsize length = 0;
    guchar* bytes = g_base64_decode(b64.c_str(), &length);
    std::vector<float> v(length / 4);
    std::memcpy(v.data(), bytes, v.size() * 4);
    g_free(bytes);
    EXPECT_EQ(length, 4 * response.at("dim").get<size_t>());
    return v;
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double dot = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        dot += double(a[i]) * b[i];
    return dot;
}

// Prints of the given files, each required to succeed.
std::vector<std::vector<float>> prints(const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& n : names)
        paths.push_back(image(n));
    std::vector<std::vector<float>> out;
    for (const json& r : batch(paths)) {
        EXPECT_EQ(r["ok"], true) << r;
        out.push_back(r["ok"] == true ? vectorOf(r) : std::vector<float>(1792, 0.0f));
    }
    return out;
}

}  // namespace

TEST(FeaturePrintResponse, SuccessHoldsExactlyItsKeysAndAUnitVector) {
    auto lines = batch({image("photo1.jpg")});
    ASSERT_EQ(lines.size(), 1u);
    const json& r = lines[0];
    std::vector<std::string> keys;
    for (const auto& item : r.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"b64", "dim", "id", "model", "ok"}));
    EXPECT_TRUE(r["dim"].is_number_integer());
    EXPECT_EQ(r["dim"], 1792);
    EXPECT_EQ(r["model"].get<std::string>() + "\n", run({bin("pixsig"), "--model"}).out);
    std::vector<float> v = vectorOf(r);
    EXPECT_NEAR(cosine(v, v), 1.0, 1e-5);
    for (float x : v)
        ASSERT_GE(x, 0.0f);  // a mean of ReLU6 outputs
}

TEST(FeaturePrintResponse, FailuresHoldOnlyTheErrorAndTheNextImageIsServed) {
    auto lines = batch({image("missing.jpg"), image("text.jpg"), image("folder.jpg"),
                        image("truncated.jpg"), image("photo2.jpg")});
    ASSERT_EQ(lines.size(), 5u);
    for (int i = 0; i < 4; i++) {
        const json& r = lines[size_t(i)];
        EXPECT_EQ(r["ok"], false) << r;
        EXPECT_EQ(r.size(), 3u) << r;
        std::string error = r.value("error", "");
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    // The library's own texts, each about its own file only.
    EXPECT_NE(lines[0]["error"].get<std::string>().find("No such file or directory"),
              std::string::npos);
    EXPECT_NE(lines[1]["error"].get<std::string>().find("not a known file format"),
              std::string::npos);
    EXPECT_EQ(lines[2]["error"].get<std::string>().find("JPEG"), std::string::npos);
    EXPECT_EQ(lines[4]["ok"], true);
}

TEST(FeaturePrintResponse, ServeEchoesTheIdentifierNotThePath) {
    auto r = run({bin("pixsig"), "--serve"},
                 json{{"path", image("photo3.jpg")}, {"id", "third"}}.dump() + "\n");
    json line = json::parse(r.out);
    EXPECT_EQ(line["id"], "third");
    EXPECT_EQ(line["ok"], true);
}

// A 50% downscale and a quality-30 JPEG of each photo lie nearer to their own
// original than to any other photo: generated scenes and real photos from a
// Debian wallpaper package.
void expectCopiesNearest(const std::string& original, const std::string& half,
                         const std::string& q30, int count) {
    std::vector<std::string> names;
    for (const auto& kind : {original, half, q30})
        for (int i = 1; i <= count; i++)
            names.push_back(kind + std::to_string(i) + ".jpg");
    auto v = prints(names);
    size_t n = size_t(count);
    for (size_t copy = n; copy < 3 * n; copy++) {
        size_t own = copy % n;
        double mine = cosine(v[copy], v[own]);
        for (size_t other = 0; other < n; other++) {
            if (other == own) continue;
            EXPECT_GT(mine, cosine(v[copy], v[other]))
                << names[copy] << " is nearer to " << names[other] << " than to " << names[own];
        }
        EXPECT_GT(mine, 0.95) << names[copy];
    }
}

TEST(FeaturePrintQuality, NearDuplicatesOfGeneratedScenesAreNearestToTheirOriginal) {
    expectCopiesNearest("photo", "half", "q30_", 6);
}

TEST(FeaturePrintQuality, NearDuplicatesOfRealPhotosAreNearestToTheirOriginal) {
    int count = std::stoi("0" + testsupport::readFile(image("real.count")));
    ASSERT_GE(count, 5) << "the photos of the Debian package mate-backgrounds are missing";
    expectCopiesNearest("real", "realhalf", "realq30_", count);
}

TEST(FeaturePrintDecoding, ImagesAreNormalisedBeforeTheNetwork) {
    auto v = prints({"tagged.jpg", "photo1.jpg", "transparent.png", "flat_white.png", "grey.jpg",
                     "grey_rgb.jpg", "cmyk.jpg", "photo2.jpg", "pages.tif", "page0.png", "deep.png",
                     "photo4.jpg"});
    // EXIF orientation 6 turns the stored pixels back upright.
    EXPECT_GT(cosine(v[0], v[1]), 0.999);
    // Transparency is flattened onto white.
    EXPECT_GT(cosine(v[2], v[3]), 0.999);
    // Greyscale becomes three equal channels.
    EXPECT_GT(cosine(v[4], v[5]), 0.999);
    // CMYK is converted to RGB (the conversion profiles differ a little).
    EXPECT_GT(cosine(v[6], v[7]), 0.95);
    // A multi-page file gives its first page.
    EXPECT_GT(cosine(v[8], v[9]), 0.9999);
    // 16 bits per channel are brought to 8.
    EXPECT_GT(cosine(v[10], v[11]), 0.999);
}

// The network file is found beside the executable; without it, or damaged,
// every request fails with a text naming the expected path, and the server
// keeps serving.
TEST(FeaturePrintModel, MissingOrDamagedNetworkFileIsReportedPerRequest) {
    std::string root = fs::canonical(testsupport::scratchDir("pixsig-model")).string();
    fs::create_directories(root + "/bin");
    fs::copy_file(bin("pixsig"), root + "/bin/pixsig");
    std::string program = root + "/bin/pixsig";
    std::string expected = root + "/share/pixsig/mobilenet_v2_mid.pxnet";

    auto missing = batch({image("photo1.jpg"), image("photo2.jpg")}, program);
    ASSERT_EQ(missing.size(), 2u);
    for (const json& r : missing) {
        EXPECT_EQ(r["ok"], false);
        std::string error = r.value("error", "");
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }

    fs::create_directories(root + "/share/pixsig");
    std::string good = testsupport::readFile(bin("../share/pixsig/mobilenet_v2_mid.pxnet"));
    ASSERT_GT(good.size(), 1000u);
    for (size_t cut : {size_t(0), size_t(7), size_t(40), good.size() / 2, good.size() - 4}) {
        testsupport::writeFile(expected, good.substr(0, cut));
        auto damaged = batch({image("photo1.jpg")}, program);
        ASSERT_EQ(damaged.size(), 1u);
        EXPECT_EQ(damaged[0]["ok"], false) << "cut at " << cut;
        EXPECT_NE(damaged[0].value("error", "").find(expected), std::string::npos) << damaged[0];
    }
    testsupport::writeFile(expected, good);
    EXPECT_EQ(batch({image("photo1.jpg")}, program)[0]["ok"], true);
}

// Every corruption of the file's structure is refused by the loader without
// reading outside it (the sanitizer build checks the reads).
TEST(FeaturePrintModel, LoaderRefusesAlteredFiles) {
    std::string good = testsupport::readFile(bin("../share/pixsig/mobilenet_v2_mid.pxnet"));
    ASSERT_TRUE(vision::loadNetwork(bin("../share/pixsig/mobilenet_v2_mid.pxnet")).ok());
    std::string dir = testsupport::scratchDir("pixsig-loader");
    auto refused = [&](const std::string& bytes) {
        testsupport::writeFile(dir + "/net", bytes);
        auto loaded = vision::loadNetwork(dir + "/net");
        return !loaded.ok() && loaded.error().find(dir + "/net") != std::string::npos;
    };
    // Header words: size, channels, layer count; first layer's kind, input,
    // stride and channel counts.
    for (size_t word : {2u, 3u, 6u, 7u, 8u, 10u, 11u, 12u}) {
        for (uint32_t value : {0u, 5u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
            std::string bytes = good;
            std::memcpy(&bytes[word * 4], &value, 4);
            std::string original = good.substr(word * 4, 4);
            if (std::memcmp(original.data(), &value, 4) == 0) continue;
            EXPECT_TRUE(refused(bytes)) << "word " << word << " = " << value;
        }
    }
    EXPECT_TRUE(refused(good + "XXXX"));
    EXPECT_TRUE(refused(good.substr(0, good.size() - 8) + "PXNETENX"));
    auto dirError = vision::loadNetwork(dir);
    EXPECT_FALSE(dirError.ok());
}

// Paths are used exactly as given: brackets are part of the file name, never
// load options.
TEST(FeaturePrintDecoding, BracketsInPathsAreNotLoadOptions) {
    std::string dir = testsupport::scratchDir("pixsig-brackets");
    std::string original = image("photo1.jpg");
    fs::copy_file(original, dir + "/shot[Q=5]");
    fs::copy_file(original, dir + "/shot[1].jpg");
    auto lines =
        batch({original, dir + "/shot[Q=5]", dir + "/shot[1].jpg", original + "[shrink=2]"});
    ASSERT_EQ(lines.size(), 4u);
    for (int i = 1; i < 3; i++) {
        ASSERT_EQ(lines[size_t(i)]["ok"], true) << lines[size_t(i)];
        EXPECT_EQ(lines[size_t(i)]["b64"], lines[0]["b64"]);
    }
    EXPECT_EQ(lines[3]["ok"], false) << "a file that does not exist was opened";
}

namespace {

// The network file evaluated the plain way, straight from its format: NHWC
// maps, HWIO kernels, TensorFlow's SAME padding, double sums. Returns the
// mean of the last map over its positions.
std::vector<float> referenceForward(const std::string& bytes, const std::vector<float>& rgb) {
    std::vector<float> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), words.size() * 4);
    size_t at = 2;
    auto word = [&] {
        uint32_t v;
        std::memcpy(&v, &words[at++], 4);
        return v;
    };
    int size = int(word());
    word();  // channels
    float scale = words[at++], shift = words[at++];
    uint32_t count = word();
    struct Map {
        int h, w, c;
        std::vector<float> v;
    };
    Map input{size, size, 3, rgb};
    for (float& x : input.v)
        x = x * scale - shift;
    std::vector<Map> maps;
    for (uint32_t n = 0; n < count; n++) {
        uint32_t kind = word();
        int from = int32_t(word()), second = int32_t(word());
        int stride = int(word()), in = int(word()), out = int(word());
        bool relu6 = word() == 1;
        const Map& src = from < 0 ? input : maps[size_t(from)];
        if (kind == 4) {
            Map sum = src;
            const Map& other = maps[size_t(second)];
            for (size_t i = 0; i < sum.v.size(); i++)
                sum.v[i] += other.v[i];
            maps.push_back(std::move(sum));
            continue;
        }
        size_t weightCount = kind == 1   ? size_t(9) * in * out
                             : kind == 2 ? size_t(9) * in
                                         : size_t(in) * out;
        const float* w = &words[at];
        at += weightCount;
        const float* bias = &words[at];
        at += size_t(out);
        int k = kind == 3 ? 1 : 3;
        int oh = (src.h + stride - 1) / stride, ow = (src.w + stride - 1) / stride;
        int padTop = k == 1 ? 0 : std::max((oh - 1) * stride + 3 - src.h, 0) / 2;
        int padLeft = k == 1 ? 0 : std::max((ow - 1) * stride + 3 - src.w, 0) / 2;
        Map dst{oh, ow, out, std::vector<float>(size_t(oh) * ow * out)};
        std::vector<double> acc(static_cast<size_t>(out));
        for (int oy = 0; oy < oh; oy++) {
            for (int ox = 0; ox < ow; ox++) {
                for (int o = 0; o < out; o++)
                    acc[size_t(o)] = bias[o];
                for (int ky = 0; ky < k; ky++) {
                    for (int kx = 0; kx < k; kx++) {
                        int iy = oy * stride + ky - padTop, ix = ox * stride + kx - padLeft;
                        if (iy < 0 || iy >= src.h || ix < 0 || ix >= src.w) continue;
                        const float* pixel = &src.v[(size_t(iy) * src.w + ix) * src.c];
                        const float* tap = w + size_t(ky * k + kx) * (kind == 2 ? 1 : in) * out;
                        for (int i = 0; i < in; i++) {
                            if (kind == 2) {
                                acc[size_t(i)] += double(pixel[i]) * tap[i];
                                continue;
                            }
                            for (int o = 0; o < out; o++)
                                acc[size_t(o)] += double(pixel[i]) * tap[size_t(i) * out + o];
                        }
                    }
                }
                float* o = &dst.v[(size_t(oy) * ow + ox) * out];
                for (int c = 0; c < out; c++)
                    o[c] = float(relu6 ? std::min(std::max(acc[size_t(c)], 0.0), 6.0)
                                       : acc[size_t(c)]);
            }
        }
        maps.push_back(std::move(dst));
    }
    const Map& last = maps.back();
    std::vector<float> mean(size_t(last.c));
    for (int c = 0; c < last.c; c++) {
        double sum = 0;
        for (int p = 0; p < last.h * last.w; p++)
            sum += last.v[size_t(p) * last.c + c];
        mean[size_t(c)] = float(sum / (last.h * last.w));
    }
    return mean;
}

double unitCosine(const std::vector<float>& a, const std::vector<float>& b) {
    double dot = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); i++)
        dot += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
    return dot / std::sqrt(aa * bb);
}

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        n++;
    return n;
}

}  // namespace

// The library's convolutions, with their fused bias, ReLU6 and residual sums
// and the layouts it chose, give the network's own result: on noise (every
// channel active) and on a flat grey image (where the padded borders differ
// most from the inside). The buffers handed to the library are checked here
// by the sanitizer build, whose reference arithmetic is instrumented.
TEST(FeaturePrintForward, LibraryPassMatchesAPlainEvaluationOfTheNetworkFile) {
    std::string path = bin("../share/pixsig/mobilenet_v2_mid.pxnet");
    std::string bytes = testsupport::readFile(path);
    size_t before = threadCount();
    auto loaded = vision::loadNetwork(path);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    vision::Network& net = *loaded.value();
    ASSERT_EQ(vision::inputSize(net), 224);
    ASSERT_EQ(vision::featureCount(net), 1792);
    EXPECT_NEAR(vision::multiplyAccumulates(net), 580.4e6, 1e6);

    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<float> noise(224 * 224 * 3), grey(224 * 224 * 3, 0.5f);
    for (float& v : noise)
        v = unit(random);
    for (const auto* image : {&noise, &grey}) {
        std::vector<float> ours(1792, -1.0f);
        vision::forward(net, image->data(), ours.data());
        std::vector<float> expected = referenceForward(bytes, *image);
        EXPECT_GE(unitCosine(ours, expected), 0.9999);
        float largest = *std::max_element(expected.begin(), expected.end());
        ASSERT_GT(largest, 0.01f);
        for (size_t c = 0; c < ours.size(); c++)
            ASSERT_NEAR(ours[c], expected[c], 1e-3 * largest) << "channel " << c;
    }
    // The same input twice gives the same print: no state leaks between passes.
    std::vector<float> first(1792), again(1792);
    vision::forward(net, noise.data(), first.data());
    vision::forward(net, grey.data(), again.data());
    vision::forward(net, noise.data(), again.data());
    EXPECT_EQ(first, again);
    // The pass ran on this thread: the library started none of its own.
    EXPECT_EQ(threadCount(), before);
}

// Prints agree with those of the previous implementation (separate matrix
// products and hand-written depthwise loops), kept for these fixtures in
// featureprint_before.json.
TEST(FeaturePrintForward, PrintsAgreeWithThePreviousImplementation) {
    json before = json::parse(
        testsupport::readFile(std::string(SOURCE_DIR) + "/tests/pixsig/featureprint_before.json"));
    std::vector<std::string> names;
    for (const auto& item : before.items())
        names.push_back(item.key());
    ASSERT_GE(names.size(), 10u);
    auto now = prints(names);
    for (size_t i = 0; i < names.size(); i++) {
        std::vector<float> old = vectorOf(json{{"b64", before[names[i]]}, {"dim", 1792}});
        EXPECT_GE(cosine(old, now[i]), 0.9999) << names[i];
    }
}

// The same binary with the library's kernels held to AVX2 (a processor
// without AVX-512) gives the same prints.
TEST(FeaturePrintForward, KernelsLimitedToAvx2GiveTheSamePrints) {
    std::vector<std::string> names = {"photo1.jpg", "photo5.jpg", "real1.jpg",
                                      "real2.jpg",  "tagged.jpg", "deep.png"};
    std::vector<std::string> argv = {"/usr/bin/env", "ONEDNN_MAX_CPU_ISA=AVX2", "ONEDNN_VERBOSE=1",
                                     bin("pixsig")};
    for (const auto& n : names)
        argv.push_back(image(n));
    auto limited = run(argv);
    ASSERT_EQ(limited.status, 0) << limited.err;
    // The library's trace lines share standard output with the responses.
    std::vector<json> lines;
    std::istringstream in(limited.out);
    bool traced = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("{", 0) == 0) {
            lines.push_back(json::parse(line));
        } else if (line.find(",exec,") != std::string::npos) {
            traced = true;
            EXPECT_EQ(line.find("avx512"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(traced) << "the library traced no primitive";
    ASSERT_EQ(lines.size(), names.size());
    auto full = prints(names);
    for (size_t i = 0; i < names.size(); i++) {
        ASSERT_EQ(lines[i]["ok"], true) << lines[i];
        EXPECT_GE(cosine(vectorOf(lines[i]), full[i]), 0.9999) << names[i];
    }
}
