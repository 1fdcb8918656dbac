#include "colour.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include "asset.h"

namespace media {

namespace {

constexpr double kHlgNominalPeak = 100;  // cd/m2 of SDR white for HLG
constexpr double kPqReferenceWhite = 203;  // cd/m2, ITU-R BT.2408
constexpr double kMobiusKnee = 0.3;        // tonemap's default: linear below it
// Peaks up to this far above white are overshoot of coding and resampling
// around white (a 10-bit HLG or PQ picture made from SDR material reaches
// 1.1), clipped as in SDR: compressing for them would darken every highlight.
constexpr double kOvershoot = 1.25;

// The few libavfilter entry points this service calls, resolved at run time.
// Linking libavfilter would load it and some thirty further libraries into
// every run of the tool, standard video included; dlopen defers that to the
// first picture that needs it.
class FilterLibrary {
  public:
    FilterLibrary() {
        std::string name = "libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR);
        // Never unloaded: its dependencies keep process-wide state of their own.
        handle_ = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle_) {
            const char* why = dlerror();
            error_ = why ? why : ("cannot load " + name);
            return;
        }
        bool all = bind(graphAlloc, "avfilter_graph_alloc") &&
                   bind(graphFree, "avfilter_graph_free") &&
                   bind(getByName, "avfilter_get_by_name") &&
                   bind(createFilter, "avfilter_graph_create_filter") &&
                   bind(parse, "avfilter_graph_parse_ptr") &&
                   bind(inoutAlloc, "avfilter_inout_alloc") &&
                   bind(inoutFree, "avfilter_inout_free") &&
                   bind(config, "avfilter_graph_config") &&
                   bind(addFrame, "av_buffersrc_add_frame_flags") &&
                   bind(getFrame, "av_buffersink_get_frame");
        if (!all) {
            error_ = "incomplete " + name;
            dlclose(handle_);
            handle_ = nullptr;
        }
    }
    ~FilterLibrary() {
        if (handle_) dlclose(handle_);
    }
    FilterLibrary(const FilterLibrary&) = delete;
    FilterLibrary& operator=(const FilterLibrary&) = delete;

    bool ok() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }

    AVFilterGraph* (*graphAlloc)() = nullptr;
    void (*graphFree)(AVFilterGraph**) = nullptr;
    const AVFilter* (*getByName)(const char*) = nullptr;
    int (*createFilter)(AVFilterContext**, const AVFilter*, const char*, const char*, void*,
                        AVFilterGraph*) = nullptr;
    int (*parse)(AVFilterGraph*, const char*, AVFilterInOut**, AVFilterInOut**, void*) = nullptr;
    AVFilterInOut* (*inoutAlloc)() = nullptr;
    void (*inoutFree)(AVFilterInOut**) = nullptr;
    int (*config)(AVFilterGraph*, void*) = nullptr;
    int (*addFrame)(AVFilterContext*, AVFrame*, int) = nullptr;
    int (*getFrame)(AVFilterContext*, AVFrame*) = nullptr;

  private:
    template <class F>
    bool bind(F& f, const char* symbol) {
        f = reinterpret_cast<F>(dlsym(handle_, symbol));
        return f != nullptr;
    }
    void* handle_ = nullptr;
    std::string error_;
};

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// One linear chain of filters between a buffer source and a buffer sink.
class Chain {
  public:
    explicit Chain(const FilterLibrary& lib) : lib_(lib) {}
    ~Chain() {
        if (graph_) lib_.graphFree(&graph_);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    int open(int width, int height, int format, const std::string& filters) {
        graph_ = lib_.graphAlloc();
        if (!graph_) return AVERROR(ENOMEM);
        std::string args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                           ":pix_fmt=" + std::to_string(format) + ":time_base=1/1:pixel_aspect=1/1";
        int r = lib_.createFilter(&src_, lib_.getByName("buffer"), "in", args.c_str(), nullptr,
                                  graph_);
        if (r < 0) return r;
        r = lib_.createFilter(&sink_, lib_.getByName("buffersink"), "out", nullptr, nullptr,
                              graph_);
        if (r < 0) return r;
        AVFilterInOut* outputs = lib_.inoutAlloc();
        AVFilterInOut* inputs = lib_.inoutAlloc();
        if (outputs && inputs) {
            outputs->name = av_strdup("in");
            outputs->filter_ctx = src_;
            inputs->name = av_strdup("out");
            inputs->filter_ctx = sink_;
            r = (outputs->name && inputs->name)
                    ? lib_.parse(graph_, filters.c_str(), &inputs, &outputs, nullptr)
                    : AVERROR(ENOMEM);
        } else {
            r = AVERROR(ENOMEM);
        }
        lib_.inoutFree(&inputs);
        lib_.inoutFree(&outputs);
        if (r < 0) return r;
        return lib_.config(graph_, nullptr);
    }

    // One frame in, one frame out (every filter here maps frames one to one).
    Result<AVFrame*> run(AVFrame* in) {
        int r = lib_.addFrame(src_, in, AV_BUFFERSRC_FLAG_KEEP_REF);
        if (r < 0) return Result<AVFrame*>::failure(errorText(r));
        FramePtr out(av_frame_alloc());
        if (!out) return Result<AVFrame*>::failure(errorText(AVERROR(ENOMEM)));
        r = lib_.getFrame(sink_, out.get());
        if (r < 0) return Result<AVFrame*>::failure(errorText(r));
        return out.release();
    }

  private:
    const FilterLibrary& lib_;
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* src_ = nullptr;
    AVFilterContext* sink_ = nullptr;
};

bool isHdrTransfer(int trc) {
    return trc == AVCOL_TRC_SMPTE2084 || trc == AVCOL_TRC_ARIB_STD_B67;
}

bool isWidePrimaries(int primaries) {
    return primaries == AVCOL_PRI_BT2020 || primaries == AVCOL_PRI_SMPTE431 ||
           primaries == AVCOL_PRI_SMPTE432;
}

// The picture's tags with what an untagged field means filled in, in
// the form zscale takes them (FFmpeg's own numbering).
struct Tags {
    int matrix, range, primaries, transfer;
};

Tags tagsOf(const AVFrame* f) {
    Tags t{f->colorspace, f->color_range, f->color_primaries, f->color_trc};
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    bool rgb = desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
    if (rgb) {
        t.matrix = AVCOL_SPC_RGB;
    } else if (t.matrix == AVCOL_SPC_UNSPECIFIED || t.matrix == AVCOL_SPC_RESERVED) {
        // HDR and wide-gamut pictures are BT.2020 unless they say otherwise.
        t.matrix = AVCOL_SPC_BT2020_NCL;
    }
    if (t.range == AVCOL_RANGE_UNSPECIFIED) t.range = rgb ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (!isWidePrimaries(t.primaries) && t.primaries != AVCOL_PRI_BT709)
        t.primaries = isHdrTransfer(t.transfer) ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
    if (!isHdrTransfer(t.transfer)) {
        switch (t.transfer) {
            case AVCOL_TRC_BT709:
            case AVCOL_TRC_SMPTE170M:
            case AVCOL_TRC_BT2020_10:
            case AVCOL_TRC_BT2020_12:
            case AVCOL_TRC_IEC61966_2_1:
            case AVCOL_TRC_LINEAR:
                break;
            default:
                t.transfer = AVCOL_TRC_BT709;  // SDR curves all but equal to it
        }
    }
    return t;
}

// Formats with a full-range twin that zscale does not take.
int withoutFullRangeAlias(int format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

// Brings colours outside BT.709 (a negative component) into it by moving
// them towards grey of the same luminance, just far enough. Written here
// because FFmpeg 5.1 has no gamut mapping outside its GPU filters: zscale
// converts primaries exactly and leaves the negative values, which
// per-channel clipping turns into hue shifts.
//
// Returns the picture's peak: the brightest component once the brightest
// thousandth of the pixels is set aside. Those are isolated overshoots
// (chroma upsampling next to saturated edges reaches twice white in HLG made
// from SDR material) that would otherwise set the tone curve for the whole
// picture; they are clipped, as in SDR.
double fitGamut(AVFrame* f) {
    constexpr int kBinsPerUnit = 64, kBins = 64 * kBinsPerUnit;
    std::vector<uint32_t> histogram(kBins + 1, 0);
    for (int y = 0; y < f->height; ++y) {
        // gbrpf32: plane 0 is green, 1 blue, 2 red.
        auto* g = reinterpret_cast<float*>(f->data[0] + ptrdiff_t(y) * f->linesize[0]);
        auto* b = reinterpret_cast<float*>(f->data[1] + ptrdiff_t(y) * f->linesize[1]);
        auto* r = reinterpret_cast<float*>(f->data[2] + ptrdiff_t(y) * f->linesize[2]);
        for (int x = 0; x < f->width; ++x) {
            float R = r[x], G = g[x], B = b[x];
            if (!(R == R) || !(G == G) || !(B == B)) R = G = B = 0;  // NaN
            float low = std::min({R, G, B});
            if (low < 0) {
                float Y = 0.2126f * R + 0.7152f * G + 0.0722f * B;  // BT.709 luminance
                if (Y <= 0) {
                    R = G = B = 0;
                } else {
                    float k = Y / (Y - low);
                    R = Y + k * (R - Y);
                    G = Y + k * (G - Y);
                    B = Y + k * (B - Y);
                }
                r[x] = std::max(R, 0.0f), g[x] = std::max(G, 0.0f), b[x] = std::max(B, 0.0f);
            }
            float high = std::max({R, G, B});
            int bin = high >= float(kBins) / kBinsPerUnit || !(high == high)
                          ? kBins
                          : int(std::max(high, 0.0f) * kBinsPerUnit);
            ++histogram[size_t(bin)];
        }
    }
    uint64_t allowed = uint64_t(f->width) * f->height / 1000, above = 0;
    for (int bin = kBins; bin > 0; --bin) {
        above += histogram[size_t(bin)];
        if (above > allowed) return double(bin + 1) / kBinsPerUnit;
    }
    return 0;
}

}  // namespace

bool isHdrOrWideGamut(int transfer, int primaries) {
    return isHdrTransfer(transfer) || isWidePrimaries(primaries);
}

bool needsColourManagement(const AVFrame* frame) {
    return isHdrOrWideGamut(frame->color_trc, frame->color_primaries);
}

std::optional<double> metadataPeak(const AVStream* stream, const AVFrame* frame) {
    double white = frame->color_trc == AVCOL_TRC_SMPTE2084 ? kPqReferenceWhite : kHlgNominalPeak;
    auto find = [&](AVPacketSideDataType streamType, AVFrameSideDataType frameType,
                    size_t size) -> const uint8_t* {
        size_t have = 0;
        const uint8_t* side = stream ? av_stream_get_side_data(stream, streamType, &have) : nullptr;
        if (side && have >= size) return side;
        const AVFrameSideData* sd = av_frame_get_side_data(frame, frameType);
        return sd && sd->size >= size ? sd->data : nullptr;
    };
    if (const uint8_t* side = find(AV_PKT_DATA_CONTENT_LIGHT_LEVEL, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL,
                                   sizeof(AVContentLightMetadata))) {
        const auto* cll = reinterpret_cast<const AVContentLightMetadata*>(side);
        if (cll->MaxCLL > 0) return std::max(1.0, cll->MaxCLL / white);
    }
    if (const uint8_t* side =
            find(AV_PKT_DATA_MASTERING_DISPLAY_METADATA, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA,
                 sizeof(AVMasteringDisplayMetadata))) {
        const auto* mdm = reinterpret_cast<const AVMasteringDisplayMetadata*>(side);
        if (mdm->has_luminance && mdm->max_luminance.den > 0 && mdm->max_luminance.num > 0)
            return std::max(1.0, av_q2d(mdm->max_luminance) / white);
    }
    return std::nullopt;
}

struct ColourConverter::State {
    int width, height;
    ColourTarget target;
    PeakPolicy policy;
    std::optional<double> metadata;
    std::unique_ptr<FilterLibrary> lib;
    std::unique_ptr<Chain> toLinear, toOutput;
    int linearW = 0, linearH = 0, linearFormat = -1, linearTransfer = -1;
    double outputPeak = -1;
    double peak = 1;  // of the last conversion
    double running = 1;
};

ColourConverter::ColourConverter(int width, int height, ColourTarget target, PeakPolicy policy,
                                 std::optional<double> metadata)
    : s_(std::make_unique<State>(State{width, height, target, policy, metadata, {}, {}, {}})) {}
ColourConverter::~ColourConverter() = default;

double ColourConverter::lastPeak() const {
    return s_->peak;
}

Result<AVFrame*> ColourConverter::convert(const AVFrame* frame) {
    using R = Result<AVFrame*>;
    State& s = *s_;
    if (!s.lib) s.lib = std::make_unique<FilterLibrary>();
    if (!s.lib->ok()) return R::failure(s.lib->error());

    FramePtr in(av_frame_clone(frame));
    if (!in) return R::failure(errorText(AVERROR(ENOMEM)));
    Tags tags = tagsOf(frame);
    in->format = withoutFullRangeAlias(frame->format);
    if (in->format != frame->format) tags.range = AVCOL_RANGE_JPEG;
    in->colorspace = AVColorSpace(tags.matrix);
    in->color_range = AVColorRange(tags.range);
    in->color_primaries = AVColorPrimaries(tags.primaries);
    in->color_trc = AVColorTransferCharacteristic(tags.transfer);
    in->sample_aspect_ratio = AVRational{1, 1};

    if (!s.toLinear || s.linearW != in->width || s.linearH != in->height ||
        s.linearFormat != in->format || s.linearTransfer != tags.transfer) {
        double npl = tags.transfer == AVCOL_TRC_SMPTE2084 ? kPqReferenceWhite : kHlgNominalPeak;
        std::string filters = "zscale=w=" + std::to_string(s.width) +
                              ":h=" + std::to_string(s.height) +
                              ":filter=lanczos:p=709:t=linear:npl=" + std::to_string(int(npl)) +
                              ",format=gbrpf32le";
        auto chain = std::make_unique<Chain>(*s.lib);
        if (int r = chain->open(in->width, in->height, in->format, filters); r < 0)
            return R::failure(errorText(r));
        s.toLinear = std::move(chain);
        s.linearW = in->width, s.linearH = in->height, s.linearFormat = in->format;
        s.linearTransfer = tags.transfer;
    }
    auto linear = s.toLinear->run(in.get());
    if (!linear.ok()) return linear;
    FramePtr light(linear.value());
    if (int r = av_frame_make_writable(light.get()); r < 0) return R::failure(errorText(r));

    double measured = fitGamut(light.get());
    if (measured <= kOvershoot) measured = 1.0;
    if (s.metadata) measured = std::min(measured, *s.metadata);
    double peak = measured;
    if (s.policy == PeakPolicy::runningMax) {
        // Steps of a quarter keep the chain from being rebuilt for every
        // slightly brighter picture.
        if (measured > s.running) s.running = std::ceil(measured * 4) / 4;
        peak = s.running;
    }
    peak = std::max(1.0, peak);

    if (!s.toOutput || s.outputPeak != peak) {
        std::string filters;
        if (peak > 1.0)
            filters = "tonemap=tonemap=mobius:param=" + std::to_string(kMobiusKnee) +
                      ":desat=0:peak=" + std::to_string(peak) + ",";
        filters += "zscale=tin=linear:pin=709:min=gbr:rin=full:t=709:p=709";
        if (s.target == ColourTarget::rgb24)
            filters += ":r=full,format=rgb24";
        else
            filters += ":m=709:r=limited,format=yuv420p";
        auto chain = std::make_unique<Chain>(*s.lib);
        if (int r = chain->open(s.width, s.height, AV_PIX_FMT_GBRPF32LE, filters); r < 0)
            return R::failure(errorText(r));
        s.toOutput = std::move(chain);
        s.outputPeak = peak;
    }
    light->colorspace = AVCOL_SPC_RGB;
    light->color_range = AVCOL_RANGE_JPEG;
    light->color_primaries = AVCOL_PRI_BT709;
    light->color_trc = AVCOL_TRC_LINEAR;
    auto out = s.toOutput->run(light.get());
    if (!out.ok()) return out;
    FramePtr result(out.value());
    av_frame_copy_props(result.get(), frame);
    result->colorspace = AVCOL_SPC_BT709;
    result->color_primaries = AVCOL_PRI_BT709;
    result->color_trc = AVCOL_TRC_BT709;
    result->color_range = s.target == ColourTarget::rgb24 ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    result->sample_aspect_ratio = AVRational{1, 1};
    s.peak = peak;
    return result.release();
}

}  // namespace media
