#include "colour/colour.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include <zimg.h>

#include "media/demuxer.h"

namespace media {

using handles::FramePtr;
using platform::Result;

namespace {

constexpr double kHlgNominalPeak = 100;    // cd/m2 of SDR white for HLG
constexpr double kPqReferenceWhite = 203;  // cd/m2, ITU-R BT.2408
constexpr double kMobiusKnee = 0.3;        // tonemap's default: linear below it
// Peaks up to this far above white are overshoot of coding and resampling
// around white (a 10-bit HLG or PQ picture made from SDR material reaches
// 1.1), clipped as in SDR: compressing for them would darken every highlight.
constexpr double kOvershoot = 1.25;

// The few libavfilter entry points this service calls (tonemap), resolved at
// run time. Linking libavfilter would load it and some thirty further
// libraries into every run of the tool (60 ms of CPU, more than a poster's
// decoding); dlopen defers that to the first picture with highlights.
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
        bool all =
            bind(graphAlloc, "avfilter_graph_alloc") && bind(graphFree, "avfilter_graph_free") &&
            bind(getByName, "avfilter_get_by_name") &&
            bind(createFilter, "avfilter_graph_create_filter") &&
            bind(parse, "avfilter_graph_parse_ptr") && bind(inoutAlloc, "avfilter_inout_alloc") &&
            bind(inoutFree, "avfilter_inout_free") && bind(config, "avfilter_graph_config") &&
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

// The process's one copy of the library: loaded by the first picture that
// needs it, or in the background once preloadToneMapping began it.
class FilterLibraryLoad {
  public:
    void begin() {
        std::call_once(begun_, [this] {
            // A thread of its own, so that loading overlaps decoding; where no
            // thread can be started, the load happens on first use.
            loaded_ = std::async(std::launch::async | std::launch::deferred, [] {
                          return std::make_unique<FilterLibrary>();
                      }).share();
        });
    }
    const FilterLibrary& get() {
        begin();
        return *loaded_.get();
    }

  private:
    std::once_flag begun_;
    std::shared_future<std::unique_ptr<FilterLibrary>> loaded_;
};

FilterLibraryLoad& filterLibrary() {
    static FilterLibraryLoad load;  // at exit, waits for a load still running
    return load;
}

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
        int r =
            lib_.createFilter(&src_, lib_.getByName("buffer"), "in", args.c_str(), nullptr, graph_);
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
    bool operator==(const Tags&) const = default;
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

// The YUVJ formats and the plain twins libswscale and zimg take instead.
constexpr std::pair<int, int> kFullRangeAliases[] = {
    {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}, {AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV422P},
    {AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV444P}, {AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_YUV440P},
    {AV_PIX_FMT_YUVJ411P, AV_PIX_FMT_YUV411P},
};

}  // namespace

int withoutFullRangeAlias(int format) {
    for (auto [alias, plain] : kFullRangeAliases)
        if (format == alias) return plain;
    return format;
}

bool isHdrOrWideGamut(int transfer, int primaries) {
    return isHdrTransfer(transfer) || isWidePrimaries(primaries);
}

void preloadToneMapping(const AVStream* stream) {
    auto peak = metadataPeak(stream, nullptr);
    if (isHdrTransfer(stream->codecpar->color_trc) && peak && *peak > kOvershoot)
        filterLibrary().begin();
}

bool needsColourManagement(const AVFrame* frame) {
    return isHdrOrWideGamut(frame->color_trc, frame->color_primaries);
}

std::optional<double> metadataPeak(const AVStream* stream, const AVFrame* frame) {
    int transfer = frame ? frame->color_trc : stream ? stream->codecpar->color_trc : 0;
    double white = transfer == AVCOL_TRC_SMPTE2084 ? kPqReferenceWhite : kHlgNominalPeak;
    auto find = [&](AVPacketSideDataType streamType, AVFrameSideDataType frameType,
                    size_t size) -> const uint8_t* {
        size_t have = 0;
        const uint8_t* side = stream ? av_stream_get_side_data(stream, streamType, &have) : nullptr;
        if (side && have >= size) return side;
        const AVFrameSideData* sd = frame ? av_frame_get_side_data(frame, frameType) : nullptr;
        return sd && sd->size >= size ? sd->data : nullptr;
    };
    if (const uint8_t* side =
            find(AV_PKT_DATA_CONTENT_LIGHT_LEVEL, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL,
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

namespace {

// A zimg conversion graph between two fixed formats; the library's own
// error text on failure.
class ZimgGraph {
  public:
    ~ZimgGraph() {
        if (graph_) zimg_filter_graph_free(graph_);
    }
    Result<void> build(const zimg_image_format& src, const zimg_image_format& dst, double npl) {
        zimg_graph_builder_params params;
        zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
        params.resample_filter = ZIMG_RESIZE_LANCZOS;
        params.resample_filter_uv = ZIMG_RESIZE_LANCZOS;
        params.dither_type = ZIMG_DITHER_NONE;
        params.nominal_peak_luminance = npl;
        params.allow_approximate_gamma = 1;
        graph_ = zimg_filter_graph_build(&src, &dst, &params);
        if (!graph_) return lastError();
        size_t tmp = 0;
        if (zimg_filter_graph_get_tmp_size(graph_, &tmp)) return lastError();
        tmp_.reset(static_cast<uint8_t*>(av_malloc(std::max<size_t>(tmp, 1))));
        if (!tmp_) return Result<void>::failure(errorText(AVERROR(ENOMEM)));
        return Result<void>::success();
    }
    // Planes in zimg's order (Y, U, V or R, G, B).
    Result<void> run(const uint8_t* const in[3], const int inStride[3], uint8_t* const out[3],
                     const int outStride[3]) {
        zimg_image_buffer_const src{};
        zimg_image_buffer dst{};
        src.version = dst.version = ZIMG_API_VERSION;
        for (int i = 0; i < 3; ++i) {
            src.plane[i] = {in[i], inStride[i], ZIMG_BUFFER_MAX};
            dst.plane[i] = {out[i], outStride[i], ZIMG_BUFFER_MAX};
        }
        if (zimg_filter_graph_process(graph_, &src, &dst, tmp_.get(), nullptr, nullptr, nullptr,
                                      nullptr))
            return lastError();
        return Result<void>::success();
    }

  private:
    static platform::Failure lastError() {
        char text[1024] = {};
        zimg_get_last_error(text, sizeof text);
        return {text, {}};
    }
    zimg_filter_graph* graph_ = nullptr;
    handles::AvBufferPtr tmp_;
};

zimg_chroma_location_e chromaLocation(int location) {
    switch (location) {
        case AVCHROMA_LOC_CENTER:
            return ZIMG_CHROMA_CENTER;
        case AVCHROMA_LOC_TOPLEFT:
            return ZIMG_CHROMA_TOP_LEFT;
        case AVCHROMA_LOC_TOP:
            return ZIMG_CHROMA_TOP;
        case AVCHROMA_LOC_BOTTOMLEFT:
            return ZIMG_CHROMA_BOTTOM_LEFT;
        case AVCHROMA_LOC_BOTTOM:
            return ZIMG_CHROMA_BOTTOM;
        default:
            return ZIMG_CHROMA_LEFT;
    }
}

// The picture between the two conversions: linear light, BT.709 primaries,
// full-range float RGB, where gamut fitting and tone mapping happen.
void setLinear709(zimg_image_format& f, int width, int height) {
    f.width = unsigned(width);
    f.height = unsigned(height);
    f.pixel_type = ZIMG_PIXEL_FLOAT;
    f.depth = 32;
    f.color_family = ZIMG_COLOR_RGB;
    f.matrix_coefficients = ZIMG_MATRIX_RGB;
    f.transfer_characteristics = ZIMG_TRANSFER_LINEAR;
    f.color_primaries = ZIMG_PRIMARIES_709;
    f.pixel_range = ZIMG_RANGE_FULL;
}

// A new frame with buffers of its own, 64-byte aligned as zimg needs them.
Result<FramePtr> allocated(int format, int width, int height) {
    using R = Result<FramePtr>;
    FramePtr f(av_frame_alloc());
    if (!f) return R::failure(errorText(AVERROR(ENOMEM)));
    f->format = format;
    f->width = width;
    f->height = height;
    if (int r = av_frame_get_buffer(f.get(), 64); r < 0) return R::failure(errorText(r));
    return f;
}

// A frame whose planes meet zimg's alignment: the frame itself, or an
// aligned copy.
Result<FramePtr> aligned(const AVFrame* frame, int format) {
    using R = Result<FramePtr>;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(format));
    bool ok = desc != nullptr;
    for (int i = 0; ok && i < desc->nb_components; ++i)
        ok = frame->data[i] && uintptr_t(frame->data[i]) % 64 == 0 && frame->linesize[i] % 64 == 0;
    if (ok) {
        FramePtr ref(av_frame_alloc());
        if (!ref) return R::failure(errorText(AVERROR(ENOMEM)));
        if (int r = av_frame_ref(ref.get(), frame); r < 0) return R::failure(errorText(r));
        ref->format = format;
        return ref;
    }
    auto copy = allocated(format, frame->width, frame->height);
    if (!copy.ok()) return copy;
    av_image_copy(copy.value()->data, copy.value()->linesize,
                  const_cast<const uint8_t**>(frame->data), frame->linesize, AVPixelFormat(format),
                  frame->width, frame->height);
    return copy;
}

// What a decoded picture is, as the conversion reads it.
struct Picture {
    int format;  // without its full-range alias
    const AVPixFmtDescriptor* desc;
    Tags tags;
    bool rgb;
};

// The picture's description, or PATCHWELCOME for layouts zimg does not take
// (hardware, palette, bitstream, packed or big-endian formats, more than 16 bits).
Result<Picture> describe(const AVFrame* frame) {
    Picture p{withoutFullRangeAlias(frame->format), nullptr, tagsOf(frame), false};
    if (p.format != frame->format) p.tags.range = AVCOL_RANGE_JPEG;
    p.desc = av_pix_fmt_desc_get(AVPixelFormat(p.format));
    const AVPixFmtDescriptor* d = p.desc;
    if (!d ||
        (d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)) ||
        !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || d->nb_components < 3 || d->comp[0].depth > 16 ||
        (d->flags & AV_PIX_FMT_FLAG_BE))
        return Result<Picture>::failure(errorText(AVERROR_PATCHWELCOME));
    p.rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
    return p;
}

// Packs planar G, B, R bytes into RGB triples: a plain interleave.
Result<FramePtr> packedRgb(const AVFrame* planar) {
    auto result = allocated(AV_PIX_FMT_RGB24, planar->width, planar->height);
    if (!result.ok()) return result;
    AVFrame* packed = result.value().get();
    for (int y = 0; y < planar->height; ++y) {
        const uint8_t* g = planar->data[0] + ptrdiff_t(y) * planar->linesize[0];
        const uint8_t* b = planar->data[1] + ptrdiff_t(y) * planar->linesize[1];
        const uint8_t* r = planar->data[2] + ptrdiff_t(y) * planar->linesize[2];
        uint8_t* out = packed->data[0] + ptrdiff_t(y) * packed->linesize[0];
        for (int x = 0; x < planar->width; ++x) {
            out[3 * x] = r[x];
            out[3 * x + 1] = g[x];
            out[3 * x + 2] = b[x];
        }
    }
    return result;
}

}  // namespace

struct ColourConverter::State {
    State(int w, int h, ColourTarget t, PeakPolicy p, std::optional<double> m)
        : width(w), height(h), target(t), policy(p), metadata(m) {}
    int width, height;
    ColourTarget target;
    PeakPolicy policy;
    std::optional<double> metadata;
    std::unique_ptr<ZimgGraph> toLinear, toOutput;
    int linearW = 0, linearH = 0, linearFormat = -1;
    Tags linearTags{-1, -1, -1, -1};
    int linearChroma = -1;
    const FilterLibrary* lib = nullptr;  // for tone mapping only
    std::unique_ptr<Chain> toneMap;
    double toneMapPeak = -1;
    double peak = 1;  // of the last conversion
    double running = 1;

    bool rgbOut() const { return target == ColourTarget::rgb24; }
    Result<void> prepareLinear(const AVFrame* frame, const Picture& p, double npl);
    Result<FramePtr> linearLight(const AVFrame* frame, const Picture& p, double npl);
    double peakFor(double measured);
    Result<void> compressHighlights(FramePtr& light, double white);
    Result<FramePtr> output(const AVFrame* light, double npl);
};

// The graph of step 1, made again only when the input's size, format or tags change.
Result<void> ColourConverter::State::prepareLinear(const AVFrame* frame, const Picture& p,
                                                   double npl) {
    if (toLinear && linearW == frame->width && linearH == frame->height &&
        linearFormat == p.format && linearTags == p.tags && linearChroma == frame->chroma_location)
        return Result<void>::success();
    zimg_image_format src, dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    src.width = unsigned(frame->width);
    src.height = unsigned(frame->height);
    src.pixel_type = p.desc->comp[0].depth > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
    src.depth = unsigned(p.desc->comp[0].depth);
    src.subsample_w = p.desc->log2_chroma_w;
    src.subsample_h = p.desc->log2_chroma_h;
    src.color_family = p.rgb ? ZIMG_COLOR_RGB : ZIMG_COLOR_YUV;
    src.matrix_coefficients = zimg_matrix_coefficients_e(p.tags.matrix);
    src.transfer_characteristics = zimg_transfer_characteristics_e(p.tags.transfer);
    src.color_primaries = zimg_color_primaries_e(p.tags.primaries);
    src.pixel_range = p.tags.range == AVCOL_RANGE_JPEG ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    src.chroma_location = chromaLocation(frame->chroma_location);
    setLinear709(dst, width, height);
    auto graph = std::make_unique<ZimgGraph>();
    if (auto built = graph->build(src, dst, npl); !built.ok()) return built;
    toLinear = std::move(graph);
    linearW = frame->width, linearH = frame->height, linearFormat = p.format;
    linearTags = p.tags;
    linearChroma = frame->chroma_location;
    return Result<void>::success();
}

// Step 1: the picture in linear light, BT.709 primaries, 32-bit float, at the
// output size.
Result<FramePtr> ColourConverter::State::linearLight(const AVFrame* frame, const Picture& p,
                                                     double npl) {
    if (auto prepared = prepareLinear(frame, p, npl); !prepared.ok()) return prepared.failed();
    auto input = aligned(frame, p.format);
    if (!input.ok()) return input.failed();
    auto light = allocated(AV_PIX_FMT_GBRPF32LE, width, height);
    if (!light.ok()) return light;
    const AVFrame* in = input.value().get();
    AVFrame* out = light.value().get();
    // FFmpeg keeps planar RGB as G, B, R; zimg takes R, G, B.
    int order[3] = {p.rgb ? 2 : 0, p.rgb ? 0 : 1, p.rgb ? 1 : 2};
    const uint8_t* planes[3];
    int strides[3];
    for (int i = 0; i < 3; ++i) {
        planes[i] = in->data[order[i]];
        strides[i] = in->linesize[order[i]];
    }
    uint8_t* outPlanes[3] = {out->data[2], out->data[0], out->data[1]};
    int outStrides[3] = {out->linesize[2], out->linesize[0], out->linesize[1]};
    if (auto ran = toLinear->run(planes, strides, outPlanes, outStrides); !ran.ok())
        return ran.failed();
    return light;
}

// Step 2's outcome: the peak mapped to white, from the picture's own.
double ColourConverter::State::peakFor(double measured) {
    if (measured <= kOvershoot) measured = 1.0;
    if (metadata) measured = std::min(measured, *metadata);
    double chosen = measured;
    if (policy == PeakPolicy::runningMax) {
        // Steps of a quarter keep the tone curve from changing with every
        // slightly brighter picture.
        if (measured > running) running = std::ceil(measured * 4) / 4;
        chosen = running;
    }
    return std::max(1.0, chosen);
}

// Step 3: highlights above SDR white compressed by tonemap's mobius operator.
Result<void> ColourConverter::State::compressHighlights(FramePtr& light, double white) {
    if (!lib) lib = &filterLibrary().get();
    if (!lib->ok()) return Result<void>::failure(lib->error());
    if (!toneMap || toneMapPeak != white) {
        std::string filters = "tonemap=tonemap=mobius:param=" + std::to_string(kMobiusKnee) +
                              ":desat=0:peak=" + std::to_string(white);
        auto chain = std::make_unique<Chain>(*lib);
        if (int r = chain->open(width, height, AV_PIX_FMT_GBRPF32LE, filters); r < 0)
            return Result<void>::failure(errorText(r));
        toneMap = std::move(chain);
        toneMapPeak = white;
    }
    light->color_trc = AVCOL_TRC_LINEAR;
    light->color_primaries = AVCOL_PRI_BT709;
    light->colorspace = AVCOL_SPC_RGB;
    light->color_range = AVCOL_RANGE_JPEG;
    auto mapped = toneMap->run(light.get());
    if (!mapped.ok()) return mapped.failed();
    FramePtr out(mapped.value());
    auto realigned = aligned(out.get(), AV_PIX_FMT_GBRPF32LE);
    if (!realigned.ok()) return realigned.failed();
    light = std::move(realigned.value());
    return Result<void>::success();
}

// Step 4: back to the BT.709 transfer at 8 bits, packed RGB or YUV 4:2:0.
Result<FramePtr> ColourConverter::State::output(const AVFrame* light, double npl) {
    bool rgb = rgbOut();
    if (!toOutput) {
        zimg_image_format src, dst;
        zimg_image_format_default(&src, ZIMG_API_VERSION);
        zimg_image_format_default(&dst, ZIMG_API_VERSION);
        setLinear709(src, width, height);
        dst.width = src.width;
        dst.height = src.height;
        dst.pixel_type = ZIMG_PIXEL_BYTE;
        dst.depth = 8;
        dst.color_family = rgb ? ZIMG_COLOR_RGB : ZIMG_COLOR_YUV;
        dst.matrix_coefficients = rgb ? ZIMG_MATRIX_RGB : ZIMG_MATRIX_709;
        dst.transfer_characteristics = ZIMG_TRANSFER_709;
        dst.color_primaries = ZIMG_PRIMARIES_709;
        dst.pixel_range = rgb ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
        dst.subsample_w = dst.subsample_h = rgb ? 0 : 1;
        dst.chroma_location = ZIMG_CHROMA_LEFT;
        auto graph = std::make_unique<ZimgGraph>();
        if (auto built = graph->build(src, dst, npl); !built.ok()) return built.failed();
        toOutput = std::move(graph);
    }
    auto planar = allocated(rgb ? AV_PIX_FMT_GBRP : AV_PIX_FMT_YUV420P, width, height);
    if (!planar.ok()) return planar;
    AVFrame* out = planar.value().get();
    const uint8_t* planes[3] = {light->data[2], light->data[0], light->data[1]};
    int strides[3] = {light->linesize[2], light->linesize[0], light->linesize[1]};
    int order[3] = {rgb ? 2 : 0, rgb ? 0 : 1, rgb ? 1 : 2};
    uint8_t* outPlanes[3];
    int outStrides[3];
    for (int i = 0; i < 3; ++i) {
        outPlanes[i] = out->data[order[i]];
        outStrides[i] = out->linesize[order[i]];
    }
    if (auto ran = toOutput->run(planes, strides, outPlanes, outStrides); !ran.ok())
        return ran.failed();
    return rgb ? packedRgb(out) : std::move(planar);
}

ColourConverter::ColourConverter(int width, int height, ColourTarget target, PeakPolicy policy,
                                 std::optional<double> metadata)
    : s_(std::make_unique<State>(width, height, target, policy, metadata)) {}
ColourConverter::~ColourConverter() = default;

double ColourConverter::lastPeak() const {
    return s_->peak;
}

Result<AVFrame*> ColourConverter::convert(const AVFrame* frame) {
    State& s = *s_;
    auto picture = describe(frame);
    if (!picture.ok()) return picture.failed();
    double npl =
        picture.value().tags.transfer == AVCOL_TRC_SMPTE2084 ? kPqReferenceWhite : kHlgNominalPeak;

    auto light = s.linearLight(frame, picture.value(), npl);
    if (!light.ok()) return light.failed();
    // 2. Into the BT.709 gamut; the picture's peak.
    double peak = s.peakFor(fitGamut(light.value().get()));
    if (peak > 1.0) {
        if (auto mapped = s.compressHighlights(light.value(), peak); !mapped.ok())
            return mapped.failed();
    }
    auto converted = s.output(light.value().get(), npl);
    if (!converted.ok()) return converted.failed();

    AVFrame* result = converted.value().release();
    bool rgb = s.rgbOut();
    av_frame_copy_props(result, frame);
    result->colorspace = rgb ? AVCOL_SPC_RGB : AVCOL_SPC_BT709;
    result->color_primaries = AVCOL_PRI_BT709;
    result->color_trc = AVCOL_TRC_BT709;
    result->color_range = rgb ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    result->chroma_location = AVCHROMA_LOC_LEFT;
    result->sample_aspect_ratio = AVRational{1, 1};
    s.peak = peak;
    return result;
}

}  // namespace media
