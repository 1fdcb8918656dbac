#include "frames/frames.h"

#include "colour/colour.h"
#include "frames/testing.h"
#include "media/demuxer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace frames {

using platform::Result;

namespace {

using handles::AvBufferPtr;
using handles::FramePtr;

constexpr const char* kNoFrames = "the video track has no frames";
constexpr int kMaxUnkeyed = 300;

constexpr int kScaleFlags = SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

// The integer linear part of a display matrix: x' = a x + c y, y' = b x + d y
// in pixel coordinates (y down). One of the eight turns and mirror images.
struct Orientation {
    int a = 1, b = 0, c = 0, d = 1;
    bool quarterTurn() const { return a == 0; }
    bool identity() const { return a == 1 && b == 0 && c == 0 && d == 1; }
};

Orientation orientationOf(const media::Transform& t) {
    auto snap = [](double v) { return v > 0.5 ? 1 : v < -0.5 ? -1 : 0; };
    Orientation o{snap(t.a), snap(t.b), snap(t.c), snap(t.d)};
    bool straight = o.b == 0 && o.c == 0 && o.a != 0 && o.d != 0;
    bool quarter = o.a == 0 && o.d == 0 && o.b != 0 && o.c != 0;
    // Other angles and shears have no pixel-exact turn; the frame stays upright.
    return straight || quarter ? o : Orientation{};
}

// A time asked for: value / 600 seconds after the container's start.
struct Target {
    int64_t value = 0;
};

Target targetOf(double seconds) {
    double v = std::round(seconds * 600.0);
    constexpr double kLimit = 4.0e18;  // far beyond any stream, safe in every product below
    if (std::isnan(v)) v = 0;
    return Target{int64_t(std::clamp(v, -kLimit, kLimit))};
}

int colourMatrix(const AVFrame* f) {
    switch (f->colorspace) {
        case AVCOL_SPC_BT709:
            return SWS_CS_ITU709;
        case AVCOL_SPC_FCC:
            return SWS_CS_FCC;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return SWS_CS_ITU601;
        case AVCOL_SPC_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return SWS_CS_BT2020;
        default:
            // Untagged: high definition is BT.709, standard definition BT.601.
            return (f->width >= 1280 || f->height > 576) ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// A picture at the output size before it is turned: RGB rows `stride` bytes
// apart, in a buffer or a frame of its own.
struct ScaledPixels {
    const uint8_t* pixels = nullptr;
    int stride = 0;
    AvBufferPtr buffer;
    FramePtr frame;
};

// The scaled picture (`width` x `height`) turned into display orientation and
// packed. libswscale cannot turn or mirror; a filter graph for it would cost
// more start-up than this copy.
Image oriented(const ScaledPixels& scaled, int width, int height, const Orientation& o) {
    int outW = o.quarterTurn() ? height : width, outH = o.quarterTurn() ? width : height;
    Image out{outW, outH, std::vector<uint8_t>(size_t(outW) * outH * 3)};
    if (o.identity()) {
        for (int y = 0; y < height; ++y)
            std::memcpy(&out.rgb[size_t(y) * outW * 3], scaled.pixels + size_t(y) * scaled.stride,
                        size_t(width) * 3);
        return out;
    }
    int ox = (o.a < 0 ? width - 1 : 0) + (o.c < 0 ? height - 1 : 0);
    int oy = (o.b < 0 ? width - 1 : 0) + (o.d < 0 ? height - 1 : 0);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = scaled.pixels + size_t(y) * scaled.stride;
        for (int x = 0; x < width; ++x) {
            int X = o.a * x + o.c * y + ox, Y = o.b * x + o.d * y + oy;
            std::memcpy(&out.rgb[(size_t(Y) * outW + X) * 3], row + size_t(x) * 3, 3);
        }
    }
    return out;
}

}  // namespace

int64_t roundedSize(double value) {
    double r = std::round(value);  // halves away from zero
    if (!(std::fabs(r) < 9.0e18)) return 0;
    return int64_t(r);
}

Result<Image> resized(const Image& image, int width, int height) {
    using R = Result<Image>;
    if (width < 1 || height < 1 || image.width < 1 || image.height < 1)
        return R::failure("an image without pixels has no resized form");
    if (image.rgb.size() != size_t(image.width) * image.height * 3)
        return R::failure("the image's pixels do not fill its size");
    handles::ScalerPtr sws(sws_getContext(image.width, image.height, AV_PIX_FMT_RGB24, width,
                                          height, AV_PIX_FMT_RGB24, kScaleFlags, nullptr, nullptr,
                                          nullptr));
    if (!sws) return R::failure(media::errorText(AVERROR(ENOMEM)));

    // The scaler's vector code reads and writes whole 16- and 32-byte blocks,
    // past the end of a tightly packed row: it gets aligned rows with room
    // after them on both sides, and the result is packed afterwards.
    auto padded = [](int w, int h, int& stride) {
        stride = FFALIGN(w * 3, 64);
        return AvBufferPtr(static_cast<uint8_t*>(av_mallocz(size_t(stride) * h + 64)));
    };
    int srcStride = 0, dstStride = 0;
    AvBufferPtr src = padded(image.width, image.height, srcStride);
    AvBufferPtr dst = padded(width, height, dstStride);
    if (!src || !dst) return R::failure(media::errorText(AVERROR(ENOMEM)));
    size_t srcRow = size_t(image.width) * 3, dstRow = size_t(width) * 3;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(src.get() + size_t(y) * srcStride, image.rgb.data() + y * srcRow, srcRow);

    const uint8_t* srcPlanes[4] = {src.get(), nullptr, nullptr, nullptr};
    int srcStrides[4] = {srcStride, 0, 0, 0};
    uint8_t* dstPlanes[4] = {dst.get(), nullptr, nullptr, nullptr};
    int dstStrides[4] = {dstStride, 0, 0, 0};
    if (sws_scale(sws.get(), srcPlanes, srcStrides, 0, image.height, dstPlanes, dstStrides) <= 0)
        return R::failure(media::errorText(AVERROR(EINVAL)));

    Image out{width, height, std::vector<uint8_t>(dstRow * height)};
    for (int y = 0; y < height; ++y)
        std::memcpy(out.rgb.data() + y * dstRow, dst.get() + size_t(y) * dstStride, dstRow);
    return out;
}

struct Generator::State {
    media::Asset& asset;
    int64_t maxEdge;

    std::optional<Result<void>> preparation;  // the first grab's, kept for the later ones
    AVFormatContext* fmt = nullptr;           // owned by the asset
    AVStream* st = nullptr;
    int stream = -1;
    int64_t startUs = 0;  // the container's start: time 0 of every request
    Target first{std::numeric_limits<int64_t>::min()};  // the picture's first time, when later
    Orientation orientation;
    media::Stretch stretch;  // of the display matrix, as probe sizes the picture
    handles::CodecContextPtr dec;
    handles::PacketPtr pkt;
    handles::ScalerPtr sws;
    std::unique_ptr<media::ColourConverter> colour;  // made by the first HDR picture
    int colourW = 0, colourH = 0;

    // Decoding position. `have` is the last frame at or before the previous
    // request, `ahead` the frame decoded after it (if any).
    bool positioned = false;               // decoder state follows the demuxer since a seek
    bool demuxEnd = false;                 // the demuxer ran out and the decoder was told
    bool drained = false;                  // the decoder gave its last frame
    bool whole = false;                    // a whole picture was decoded since the seek
    bool keySeen = false;                  // a keyframe packet was sent since the seek
    int64_t firstKeyPts = AV_NOPTS_VALUE;  // its presentation time
    int unkeyed = 0;                       // pictures dropped before the first whole one
    int64_t lastDts = AV_NOPTS_VALUE;      // of the last packet handed to the decoder
    int64_t lastTs = AV_NOPTS_VALUE;       // of the last frame decoded
    FramePtr have, ahead;
    int64_t decoded = 0;
    Target current;  // the request being decoded towards
    // Presentation times of the packets demuxed last since the seek.
    std::array<int64_t, 64> seen{};
    size_t seenCount = 0;

    State(media::Asset& a, int64_t edge) : asset(a), maxEdge(edge) {}

    Result<void> prepare();
    Result<void> chooseTrack();
    bool atOrBefore(int64_t ts, Target t) const;
    int64_t ticksOf(Target t) const;
    bool forwardIsCheaper(Target t) const;
    int seek(int64_t ticks);
    int seekToStart();
    bool laterFrameShown(int64_t pts) const;
    int nextFrame();
    bool shown(AVFrame* frame);
    int feedDecoder();
    int runTo(Target t);
    Result<Image> grab(Target t);
    Result<Image> grabAt(Target t);
    bool trackIsEmpty();
    Result<Image> render(const AVFrame* f);
    Result<ScaledPixels> scaled(const AVFrame* f, int width, int height);
    Result<ScaledPixels> colourManaged(const AVFrame* f, int width, int height);
};

// The first grab's set-up: the track and the decoder.
Result<void> Generator::State::prepare() {
    if (auto chosen = chooseTrack(); !chosen.ok()) return chosen;
    // A clean failure, never a false-colour picture.
    if (auto why = media::unshowablePictures(st)) return Result<void>::failure(*why);
    auto opened = media::openDecoder(st);
    if (!opened.ok()) return opened.failed();
    pkt.reset(av_packet_alloc());
    if (!pkt) return Result<void>::failure(media::errorText(AVERROR(ENOMEM)));
    dec = std::move(opened.value());
    return Result<void>::success();
}

// The first video track, the only stream read from now on, with its
// orientation and the start its times count from.
Result<void> Generator::State::chooseTrack() {
    auto tracks = asset.loadTracks(media::MediaType::video);
    if (!tracks.ok()) return tracks.failed();
    auto opened = media::demuxer(asset);
    if (tracks.value().empty() || !opened.ok())
        return Result<void>::failure(media::errorText(AVERROR_STREAM_NOT_FOUND));
    media::Track track = tracks.value().front();
    auto meta = asset.loadTrackMetadata(track);
    if (meta.ok()) {
        orientation = orientationOf(meta.value().preferredTransform);
        stretch = media::displayStretch(meta.value().preferredTransform);
    }

    fmt = opened.value();
    stream = track.stream;
    st = fmt->streams[stream];
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        fmt->streams[i]->discard = int(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    // Time 0 is where the container starts, as a player's timeline does, in
    // every container alike: where the sound or data starts before the
    // picture, the first picture is shown until its own time comes.
    startUs = asset.startTime();
    if (st->start_time != AV_NOPTS_VALUE) {
        // Rounded up, so that the first frame's own time is never after it.
        int64_t firstUs =
            av_rescale_q_rnd(st->start_time, st->time_base, AV_TIME_BASE_Q, AV_ROUND_UP);
        int64_t late = firstUs - startUs;
        if (late > 0)
            first.value = late / 1000000 * 600 + (late % 1000000 * 600 + 999999) / 1000000;
    }
    return Result<void>::success();
}

// Whether a frame at `ts` (stream time base) is at or before the request,
// compared exactly: ts * num / den <= value / 600 + startUs / 1e6.
bool Generator::State::atOrBefore(int64_t ts, Target t) const {
    using I = __int128;
    I lhs = I(ts) * st->time_base.num * 600 * 1000000;
    I rhs = (I(t.value) * 1000000 + I(startUs) * 600) * st->time_base.den;
    return lhs <= rhs;
}

// The request in stream ticks, rounded down.
int64_t Generator::State::ticksOf(Target t) const {
    using I = __int128;
    I num = (I(t.value) * 1000000 + I(startUs) * 600) * st->time_base.den;
    I den = I(600) * 1000000 * st->time_base.num;
    I q = num / den;
    if (num % den != 0 && (num < 0) != (den < 0)) --q;
    constexpr I lo = std::numeric_limits<int64_t>::min() / 2, hi = -lo;
    return int64_t(std::clamp(q, lo, hi));
}

bool Generator::State::forwardIsCheaper(Target t) const {
    if (!positioned || !have || !atOrBefore(have->pts, t)) return false;
    if (drained) return true;                              // the last frame stays
    if (ahead && !atOrBefore(ahead->pts, t)) return true;  // the same frame again
    int64_t ticks = ticksOf(t);
    int entry = av_index_search_timestamp(st, ticks, AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* key = entry >= 0 ? avformat_index_get_entry(st, entry) : nullptr;
    if (!key) {
        // No keyframe index: decoding on wins over a search for a few seconds.
        double gap = double(ticks - have->pts) * av_q2d(st->time_base);
        return gap < 5.0;
    }
    // The keyframe before the request is behind the demuxer already.
    return lastDts != AV_NOPTS_VALUE && key->timestamp <= lastDts;
}

int Generator::State::seek(int64_t ticks) {
    avcodec_flush_buffers(dec.get());
    have.reset();
    ahead.reset();
    demuxEnd = drained = false;
    whole = keySeen = false;
    firstKeyPts = AV_NOPTS_VALUE;
    unkeyed = 0;
    lastDts = lastTs = AV_NOPTS_VALUE;
    seenCount = 0;
    positioned = true;
    int rc = av_seek_frame(fmt, stream, ticks, AVSEEK_FLAG_BACKWARD);
    if (rc < 0)
        rc = avformat_seek_file(fmt, stream, std::numeric_limits<int64_t>::min(), ticks, ticks, 0);
    if (rc < 0) rc = seekToStart();
    if (rc < 0) positioned = false;
    return rc;
}

int Generator::State::seekToStart() {
    int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    int rc = avformat_seek_file(fmt, stream, std::numeric_limits<int64_t>::min(), first, first, 0);
    if (rc < 0) rc = av_seek_frame(fmt, stream, first, AVSEEK_FLAG_BACKWARD);
    if (rc < 0) rc = avformat_seek_file(fmt, -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
    return rc;
}

// Whether a packet demuxed since the seek presents a frame after `pts` and at
// or before the request: the frame at `pts` is then never shown.
bool Generator::State::laterFrameShown(int64_t pts) const {
    for (size_t i = 0; i < std::min(seenCount, seen.size()); ++i)
        if (seen[i] > pts && atOrBefore(seen[i], current)) return true;
    return false;
}

// Decodes the next frame into `ahead`: 0, AVERROR_EOF after the last frame, or
// an error.
int Generator::State::nextFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) return AVERROR(ENOMEM);
    for (;;) {
        int rc = avcodec_receive_frame(dec.get(), frame.get());
        if (rc == 0) {
            ++decoded;
            if (!shown(frame.get())) {
                av_frame_unref(frame.get());
                continue;
            }
            ahead = std::move(frame);
            return 0;
        }
        if (rc != AVERROR(EAGAIN)) return rc;
        if (demuxEnd) return AVERROR_EOF;
        rc = feedDecoder();
        if (rc < 0 && rc != AVERROR_EOF) return rc;
    }
}

// Whether a decoded frame can be shown; its time goes into its pts either way.
// Pictures shown before the first keyframe since the seek lack their
// references (the decoder fills them in grey): never shown. A stream refreshed
// without keyframes is taken as whole after a few seconds of them.
bool Generator::State::shown(AVFrame* frame) {
    int64_t ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame->pts;
    if (ts == AV_NOPTS_VALUE) ts = lastTs != AV_NOPTS_VALUE ? lastTs + 1 : 0;
    frame->pts = lastTs = ts;
    if (whole) return true;
    bool afterKey = keySeen && (firstKeyPts == AV_NOPTS_VALUE || ts >= firstKeyPts);
    if (afterKey || frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I ||
        ++unkeyed > kMaxUnkeyed)
        whole = true;
    return whole;
}

// Hands the decoder the track's next packet, or the end of the stream once the
// demuxer has none: avcodec_send_packet's result, or the demuxer's error.
int Generator::State::feedDecoder() {
    for (;;) {
        int rc = av_read_frame(fmt, pkt.get());
        if (rc == AVERROR_EOF) {
            demuxEnd = true;
            return avcodec_send_packet(dec.get(), nullptr);
        }
        if (rc < 0) return rc;
        if (pkt->stream_index != stream) {
            av_packet_unref(pkt.get());
            continue;
        }
        int64_t dts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (dts != AV_NOPTS_VALUE) lastDts = dts;
        // Frames nothing refers to and nobody sees are not decoded at all.
        bool unseen = pkt->pts != AV_NOPTS_VALUE && laterFrameShown(pkt->pts);
        dec->skip_frame = unseen ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        if (pkt->pts != AV_NOPTS_VALUE) seen[seenCount++ % seen.size()] = pkt->pts;
        if (!keySeen && (pkt->flags & AV_PKT_FLAG_KEY)) {
            keySeen = true;
            firstKeyPts = pkt->pts;
        }
        rc = avcodec_send_packet(dec.get(), pkt.get());
        av_packet_unref(pkt.get());
        return rc;
    }
}

// Decodes on until `ahead` lies after the request or the stream ends; `have`
// is then the frame shown at the request (none when the first frame decoded
// since the seek is already later).
int Generator::State::runTo(Target t) {
    for (;;) {
        if (!ahead) {
            if (drained) return 0;
            int rc = nextFrame();
            if (rc == AVERROR_EOF) {
                drained = true;
                return 0;
            }
            if (rc < 0) return rc;
        }
        if (!atOrBefore(ahead->pts, t)) return 0;
        have = std::move(ahead);
    }
}

// Whether the track has no packet at all (an init segment, an empty track):
// asked only once a grab has failed, to say so instead of the demuxer's text.
bool Generator::State::trackIsEmpty() {
    positioned = false;
    if (seekToStart() < 0) avformat_seek_file(fmt, -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
    for (;;) {
        int rc = av_read_frame(fmt, pkt.get());
        if (rc < 0) return rc == AVERROR_EOF;
        bool ours = pkt->stream_index == stream;
        av_packet_unref(pkt.get());
        if (ours) return false;
    }
}

Result<Image> Generator::State::grab(Target t) {
    // Before the first picture (sound or data start earlier) the first is
    // shown: asked for at its own time, where the search is exact.
    if (t.value < first.value) t = first;
    auto result = grabAt(t);
    if (!result.ok() && decoded == 0 && trackIsEmpty()) return Result<Image>::failure(kNoFrames);
    return result;
}

Result<Image> Generator::State::grabAt(Target t) {
    using R = Result<Image>;
    current = t;
    if (!forwardIsCheaper(t)) {
        // Seek to the keyframe before the request; when the first frame decoded
        // from there is still too late (reordered frames, an inexact index) or
        // none comes (a search by timestamp that overshot), step back: one
        // keyframe, then some seconds more each time, and finally to the start.
        int64_t ticks = ticksOf(t);
        for (int attempt = 0;; ++attempt) {
            bool fromStart = attempt == 3;
            int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
            int rc = seek(fromStart ? first : ticks);
            if (rc < 0) return R::failure(media::errorText(rc));
            rc = runTo(t);
            if (rc < 0) {
                positioned = false;
                return R::failure(media::errorText(rc));
            }
            if (have) break;
            if (fromStart) {
                // The request lies before the first frame: that frame is shown.
                have = std::move(ahead);
                break;
            }
            int64_t back = attempt == 0 && ahead ? 1
                                                 : av_rescale_q(int64_t(attempt + 1) * AV_TIME_BASE,
                                                                AV_TIME_BASE_Q, st->time_base) *
                                                       2;
            ticks = std::min(ticks, ahead ? ahead->pts : ticks) - std::max<int64_t>(back, 1);
        }
    } else {
        int rc = runTo(t);
        if (rc < 0) {
            positioned = false;
            return R::failure(media::errorText(rc));
        }
    }
    if (!have) return R::failure(media::errorText(AVERROR_EOF));
    if ((have->flags & AV_FRAME_FLAG_CORRUPT) || have->decode_error_flags)
        return R::failure(media::errorText(AVERROR_INVALIDDATA));
    return render(have.get());
}

Result<Image> Generator::State::render(const AVFrame* f) {
    using R = Result<Image>;
    if (f->width < 1 || f->height < 1) return R::failure(media::errorText(AVERROR_INVALIDDATA));
    double natW = f->width * stretch.x *
                  media::pixelAspect(st, f->sample_aspect_ratio.num, f->sample_aspect_ratio.den);
    double natH = f->height * stretch.y;
    bool quarter = orientation.quarterTurn();
    // The displayed size is whole pixels, cut as probe cuts it (a 640-wide
    // picture of 44:45 pixels is 625 wide, not 626); a shrink then rounds.
    double dispW = std::max(1.0, std::trunc(quarter ? natH : natW));
    double dispH = std::max(1.0, std::trunc(quarter ? natW : natH));
    double longest = std::max(dispW, dispH);
    double scale = (maxEdge > 0 && longest > double(maxEdge)) ? double(maxEdge) / longest : 1.0;
    int outW = int(std::clamp<int64_t>(roundedSize(dispW * scale), 1, 1 << 16));
    int outH = int(std::clamp<int64_t>(roundedSize(dispH * scale), 1, 1 << 16));
    int sw = quarter ? outH : outW, sh = quarter ? outW : outH;
    auto pixels = media::needsColourManagement(f) ? colourManaged(f, sw, sh) : scaled(f, sw, sh);
    if (!pixels.ok()) return pixels.failed();
    return oriented(pixels.value(), sw, sh, orientation);
}

// HDR or wide gamut: tone-mapped and gamut-mapped to SDR BT.709 at the output size.
Result<ScaledPixels> Generator::State::colourManaged(const AVFrame* f, int width, int height) {
    using R = Result<ScaledPixels>;
    if (!colour || colourW != width || colourH != height) {
        colour = std::make_unique<media::ColourConverter>(width, height, media::ColourTarget::rgb24,
                                                          media::PeakPolicy::perFrame,
                                                          media::metadataPeak(st, f));
        colourW = width, colourH = height;
    }
    auto converted = colour->convert(f);
    if (!converted.ok()) return converted.failed();
    ScaledPixels out;
    out.frame.reset(converted.value());
    const AVFrame* rgb = out.frame.get();
    if (rgb->width != width || rgb->height != height || rgb->format != AV_PIX_FMT_RGB24)
        return R::failure("the colour conversion gave a picture of another size or format");
    out.pixels = rgb->data[0];
    out.stride = rgb->linesize[0];
    return out;
}

// Standard video: scaled and converted to RGB by libswscale, into aligned rows.
Result<ScaledPixels> Generator::State::scaled(const AVFrame* f, int width, int height) {
    using R = Result<ScaledPixels>;
    AVPixelFormat format = AVPixelFormat(media::withoutFullRangeAlias(f->format));
    bool fullRange = f->color_range == AVCOL_RANGE_JPEG || format != f->format;
    sws.reset(sws_getCachedContext(sws.release(), f->width, f->height, format, width, height,
                                   AV_PIX_FMT_RGB24, kScaleFlags, nullptr, nullptr, nullptr));
    if (!sws) return R::failure(media::errorText(AVERROR(EINVAL)));
    sws_setColorspaceDetails(sws.get(), sws_getCoefficients(colourMatrix(f)), fullRange ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    ScaledPixels out;
    out.stride = FFALIGN(width * 3, 64);
    out.buffer.reset(static_cast<uint8_t*>(av_malloc(size_t(out.stride) * height + 64)));
    if (!out.buffer) return R::failure(media::errorText(AVERROR(ENOMEM)));
    uint8_t* dst[4] = {out.buffer.get(), nullptr, nullptr, nullptr};
    int dstStride[4] = {out.stride, 0, 0, 0};
    if (sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, dstStride) <= 0)
        return R::failure(media::errorText(AVERROR(EINVAL)));
    out.pixels = out.buffer.get();
    return out;
}

Generator::Generator(media::Asset& asset, int64_t maxEdge)
    : s_(std::make_unique<State>(asset, maxEdge)) {}
Generator::~Generator() = default;
Generator::Generator(Generator&&) noexcept = default;

Result<Image> Generator::copyFrame(double seconds) {
    if (!s_->preparation) s_->preparation = s_->prepare();
    if (!s_->preparation->ok()) return s_->preparation->failed();
    return s_->grab(targetOf(seconds));
}

int64_t decodedFrames(const Generator& generator) {
    return generator.s_->decoded;
}

}  // namespace frames
