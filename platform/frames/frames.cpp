#include "frames/frames.h"

#include "colour/colour.h"
#include "frames/testing.h"
#include "media/demuxer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

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
using handles::PacketPtr;

constexpr const char* kNoFrames = "the video track has no frames";
constexpr int kMaxUnkeyed = 300;

// Packets read ahead of the decoder: enough to see the frames of a run of
// B-frames before the first of them is decoded.
constexpr size_t kLookahead = 16;
// Packets presented after a time that settle which frames come before it: no
// H.264 or HEVC frame is held back for more than 16 frames (32 fields)
// decoded after it, and other codecs hold back fewer.
constexpr int kReorderBound = 33;
// How far reading ahead may go to settle a request.
constexpr size_t kMaxAhead = 96;
constexpr int64_t kMaxAheadBytes = int64_t(64) << 20;

// A second lane decodes the later keyframe intervals of a plan only for
// pictures up to this size (its decoder's pictures double the memory), when
// it saves at least a fifth of the frames the first would decode, and holds
// at most this much of its finished images before the caller takes them.
constexpr int64_t kLanePixels = 1920 * 1088;
constexpr size_t kLaneHeldBytes = size_t(32) << 20;

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
// apart, in the generator's rows or a frame of its own.
struct ScaledPixels {
    const uint8_t* pixels = nullptr;
    int stride = 0;
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
    media::Stretch stretch;       // of the display matrix, as probe sizes the picture
    media::PicturePool pictures;  // before the decoder, which decodes into it
    handles::CodecContextPtr dec;
    int reorderBound = kReorderBound;  // packets past a time that settle what is before it
    handles::ScalerPtr sws;
    AvBufferPtr scaledRows;  // the scaler's output, kept from frame to frame
    size_t scaledSize = 0;
    std::unique_ptr<media::ColourConverter> colour;  // made by the first HDR picture
    int colourW = 0, colourH = 0;

    // The requests still to come, when the caller said them (plan): in their
    // order, and as a set for the question which of them a frame could be.
    bool planned = false;
    std::vector<int64_t> planOrder;
    size_t planNext = 0;
    std::multiset<int64_t> planLeft;
    bool planPrepared = false;
    bool lastOfRun = false;  // no planned request continues from this one's frame

    // Decoding position. `have` is the last frame at or before the previous
    // request, `ahead` the frame decoded after it (if any).
    bool positioned = false;               // decoder state follows the demuxer since a seek
    bool demuxEnd = false;                 // the decoder was told that no packet follows
    bool cut = false;                      // ... at a request's frame, before the stream's end
    bool drained = false;                  // the decoder gave its last frame
    bool whole = false;                    // a whole picture was decoded since the seek
    bool keySeen = false;                  // a keyframe packet was sent since the seek
    int64_t firstKeyPts = AV_NOPTS_VALUE;  // its presentation time
    int unkeyed = 0;                       // pictures dropped before the first whole one
    int64_t lastDts = AV_NOPTS_VALUE;      // of the last packet handed to the decoder
    int64_t lastTs = AV_NOPTS_VALUE;       // of the last frame decoded
    FramePtr have, ahead;
    Target current;  // the request being decoded towards

    // Packets read since the seek and not yet handed to the decoder.
    std::deque<PacketPtr> queue;
    std::vector<PacketPtr> spare;  // emptied packets, for the next reads
    int64_t queuedBytes = 0;
    bool queueEnd = false;  // the demuxer has nothing more (its end, or `demuxError`)
    int demuxError = 0;
    bool ptsMissing = false;  // a packet since the seek had no presentation time
    // Presentation times of the packets read last since the seek, and whether
    // each can be shown (a packet flagged for discarding cannot).
    struct Known {
        int64_t pts = AV_NOPTS_VALUE;
        bool shows = false;
    };
    std::array<Known, 128> known{};
    size_t knownCount = 0;
    // The packets handed to the decoder last: whether each was marked as no
    // request's frame (its frame, if any, is decoded as a reference only).
    struct Sent {
        int64_t pts = AV_NOPTS_VALUE;
        bool referenceOnly = false;
    };
    std::array<Sent, 64> sent{};
    size_t sentCount = 0;

    DecodeStats stats;

    // Decoding towards the next planned request, begun by the last grab; the
    // only thread besides the caller's that touches the decoding state, and
    // awaited before anything else does (and before the state goes).
    Target decodingFor;
    std::future<Result<void>> decoding;

    // The plan's later keyframe intervals, decoded side by side with this
    // state's on a second reader of the file (never by a lane's own state).
    bool mayShare = true;
    std::unique_ptr<Lane> lane;

    State(media::Asset& a, int64_t edge) : asset(a), maxEdge(edge) {}
    ~State();

    Result<void> prepare();
    Result<void> openDecoder();
    void finishDecoding();
    Result<void> chooseTrack();
    void preparePlan();
    void shareLaterIntervals();
    void endLane();
    Target clamped(Target t) const { return t.value < first.value ? first : t; }
    void followPlan(Target t);
    bool atOrBefore(int64_t ts, Target t) const;
    int64_t firstTargetShowing(int64_t ts) const;
    int64_t ticksOf(Target t) const;
    bool sameKeyInterval(Target a, Target b) const;
    bool indexReaches(int64_t ticks) const;
    bool forwardIsCheaper(Target t) const;
    int seek(int64_t ticks);
    int seekToStart();
    int readAhead(size_t packets);
    bool laterFrameShown(int64_t pts, Target t) const;
    bool neverShown(int64_t pts) const;
    bool requestSettled();
    int nextFrame();
    void count(const AVFrame* frame);
    bool shown(AVFrame* frame);
    int feedDecoder();
    int runTo(Target t);
    Result<Image> grab(Target t);
    Result<void> timedFind(Target t);
    void decodeNext();
    Result<const AVFrame*> find(Target t);
    bool trackIsEmpty();
    Result<Image> render(const AVFrame* f);
    Result<ScaledPixels> scaled(const AVFrame* f, int width, int height);
    Result<ScaledPixels> colourManaged(const AVFrame* f, int width, int height);
};

// A plan's later requests, from the first of a keyframe interval on, grabbed
// in order by a state of its own on a thread of its own, from a second
// reader of the file: the two lanes decode separate keyframe intervals at
// once. Its images wait for the caller in order; past kLaneHeldBytes of them
// it waits too. Every grab is answered as the one state would answer it.
struct Generator::Lane {
    std::unique_ptr<media::Asset> reader;
    std::unique_ptr<State> state;
    std::vector<int64_t> targets;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Result<Image>> results;  // answered, not yet taken
    size_t taken = 0;
    size_t heldBytes = 0;
    bool stop = false, finished = false;
    DecodeStats stats;  // the lane's, once finished
    std::thread thread;

    ~Lane() { end(); }

    // Stops the lane after the grab it is in: its statistics.
    DecodeStats end() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
        return stats;
    }

    void run() {
        state->preparation = state->prepare();
        for (size_t i = 0; i < targets.size() && state->preparation->ok(); ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || heldBytes < kLaneHeldBytes; });
                if (stop) break;
            }
            auto image = state->grab(Target{targets[i]});
            std::lock_guard<std::mutex> lock(mutex);
            heldBytes += image.ok() ? image.value().rgb.size() : 0;
            results.push_back(std::move(image));
            changed.notify_all();
        }
        if (state->decoding.valid()) state->decoding.wait();
        std::lock_guard<std::mutex> lock(mutex);
        stats = state->stats;
        finished = true;
        changed.notify_all();
    }

    // The answer for `t` when it is the lane's next request; none for any
    // other, or when the lane could not read the file.
    std::optional<Result<Image>> take(Target t) {
        std::unique_lock<std::mutex> lock(mutex);
        if (taken >= targets.size() || targets[taken] != t.value) return std::nullopt;
        changed.wait(lock, [&] { return !results.empty() || finished; });
        if (results.empty()) return std::nullopt;
        Result<Image> image = std::move(results.front());
        results.pop_front();
        heldBytes -= image.ok() ? image.value().rgb.size() : 0;
        ++taken;
        changed.notify_all();
        return image;
    }

    // The lane's statistics: waited for when it has nothing left to do but
    // finish, else those of a lane that has finished, else none.
    DecodeStats finalStats() {
        std::unique_lock<std::mutex> lock(mutex);
        if (taken + results.size() == targets.size()) changed.wait(lock, [&] { return finished; });
        return finished ? stats : DecodeStats{};
    }
};

Generator::State::~State() = default;

namespace {

void add(DecodeStats& total, const DecodeStats& more) {
    total.intra += more.intra;
    total.predicted += more.predicted;
    total.bidirectional += more.bidirectional;
    total.other += more.other;
    total.referencesOnly += more.referencesOnly;
    total.seeks += more.seeks;
    total.decodeSeconds += more.decodeSeconds;
    total.conversionSeconds += more.conversionSeconds;
}

}  // namespace

// The first grab's set-up: the track and the decoder.
Result<void> Generator::State::prepare() {
    if (auto chosen = chooseTrack(); !chosen.ok()) return chosen;
    // A clean failure, never a false-colour picture.
    if (auto why = media::unshowablePictures(st)) return Result<void>::failure(*why);
    if (auto opened = openDecoder(); !opened.ok()) return opened;
    media::preloadToneMapping(st);
    // Codecs that never reorder show their frames in the order they come.
    const AVCodecDescriptor* codec = avcodec_descriptor_get(st->codecpar->codec_id);
    if (codec && (codec->props & AV_CODEC_PROP_INTRA_ONLY)) reorderBound = 1;
    return Result<void>::success();
}

Result<void> Generator::State::openDecoder() {
    // Slice threads only: a frame-threaded decoder holds a set of pictures
    // per thread and gives its first frame a few frames late, and skipped
    // frames take its threads' turns, so a chain of references gains nothing.
    auto opened = media::openDecoder(st, media::DecoderThreads::slices, &pictures);
    if (!opened.ok()) return opened.failed();
    dec = std::move(opened.value());
    return Result<void>::success();
}

// After the plan's last request: the decoder and every picture but the one
// to show go before that one is converted, which needs memory of its own.
// A request after the plan opens the decoder again.
void Generator::State::finishDecoding() {
    ahead.reset();
    dec.reset();
    pictures.release();
    positioned = false;
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

// The plan's times as requests, once the picture's first time is known.
void Generator::State::preparePlan() {
    if (planPrepared) return;
    planPrepared = true;
    for (int64_t& value : planOrder)
        value = clamped(Target{value}).value;
    if (mayShare) shareLaterIntervals();
    for (int64_t value : planOrder)
        planLeft.insert(value);
}

// Splits the plan where a second lane takes its later keyframe intervals,
// when the stream's keyframe index says that saves the first lane enough
// decoding: each request costs the frames from the one before it, or from
// its keyframe where it starts an interval (a lane's first request always
// does). The split falls between two intervals, so no frame is decoded by
// both lanes, where the longer lane decodes least.
void Generator::State::shareLaterIntervals() {
    size_t n = planOrder.size();
    if (n < 2 || std::thread::hardware_concurrency() < 2 ||
        !std::is_sorted(planOrder.begin(), planOrder.end()) ||
        int64_t(st->codecpar->width) * st->codecpar->height > kLanePixels)
        return;
    if (!indexReaches(ticksOf(Target{planOrder.back()}))) return;
    std::vector<int> frame(n), key(n);
    std::vector<int64_t> cost(n);
    int64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        int64_t ticks = ticksOf(Target{planOrder[i]});
        frame[i] = av_index_search_timestamp(st, ticks, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        key[i] = av_index_search_timestamp(st, ticks, AVSEEK_FLAG_BACKWARD);
        if (frame[i] < 0 || key[i] < 0 || frame[i] < key[i]) return;
        cost[i] = i > 0 && key[i] == key[i - 1] ? frame[i] - frame[i - 1] : frame[i] - key[i] + 1;
        total += cost[i];
    }
    size_t split = 0;
    int64_t longest = total, first = 0;
    for (size_t k = 1; k < n; ++k) {
        first += cost[k - 1];
        if (key[k] == key[k - 1]) continue;
        int64_t second = total - first;  // cost[k] counts from its keyframe already
        if (std::max(first, second) < longest) {
            longest = std::max(first, second);
            split = k;
        }
    }
    if (split == 0 || longest * 5 > total * 4) return;

    auto reader = media::secondReader(asset);
    if (!reader.ok()) return;
    auto second = std::make_unique<Lane>();
    second->reader = std::move(reader.value());
    second->state = std::make_unique<State>(*second->reader, maxEdge);
    second->state->mayShare = false;
    second->state->planned = true;
    second->targets.assign(planOrder.begin() + long(split), planOrder.end());
    second->state->planOrder = second->targets;
    try {
        second->thread = std::thread([lane = second.get()] { lane->run(); });
    } catch (const std::system_error&) {
        return;  // no thread: one lane
    }
    lane = std::move(second);
    planOrder.resize(split);
}

// Ends the second lane (after the grab it is in), its frames counted.
void Generator::State::endLane() {
    if (!lane) return;
    if (decoding.valid()) decoding.wait();  // it counts into `stats` too
    add(stats, lane->end());
    lane.reset();
}

// Takes the request off the plan when it is the next one; any other request
// ends the plan, and decoding starts again from a seek, as frames skipped for
// the plan's sake may be the one it shows.
void Generator::State::followPlan(Target t) {
    lastOfRun = false;
    if (!planned) return;
    if (planNext < planOrder.size() && planOrder[planNext] == t.value) {
        planLeft.erase(planLeft.find(t.value));
        ++planNext;
        lastOfRun =
            planNext == planOrder.size() || !sameKeyInterval(t, Target{planOrder[planNext]});
        return;
    }
    planned = false;
    planOrder.clear();
    planLeft.clear();
    positioned = false;
}

// Whether a frame at `ts` (stream time base) is at or before the request,
// compared exactly: ts * num / den <= value / 600 + startUs / 1e6.
bool Generator::State::atOrBefore(int64_t ts, Target t) const {
    using I = __int128;
    I lhs = I(ts) * st->time_base.num * 600 * 1000000;
    I rhs = (I(t.value) * 1000000 + I(startUs) * 600) * st->time_base.den;
    return lhs <= rhs;
}

// The first request value whose time is at or after `ts`: the least v with
// atOrBefore(ts, {v}).
int64_t Generator::State::firstTargetShowing(int64_t ts) const {
    using I = __int128;
    I num = I(ts) * st->time_base.num * 600 * 1000000 - I(startUs) * 600 * st->time_base.den;
    I den = I(1000000) * st->time_base.den;
    I q = num / den;
    if (num % den != 0 && (num > 0) == (den > 0)) ++q;
    constexpr I lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
    return int64_t(std::clamp(q, lo, hi));
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

// Whether a request at `b` after one at `a` is reached by decoding on from
// `a`: no keyframe lies between them (without a keyframe index: they are a
// few seconds apart), as forwardIsCheaper will decide.
bool Generator::State::sameKeyInterval(Target a, Target b) const {
    if (b.value < a.value) return false;
    int64_t from = ticksOf(a), to = ticksOf(b);
    int ka = av_index_search_timestamp(st, from, AVSEEK_FLAG_BACKWARD);
    int kb = av_index_search_timestamp(st, to, AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* keyB = kb >= 0 ? avformat_index_get_entry(st, kb) : nullptr;
    if (!keyB || !indexReaches(to)) return double(to - from) * av_q2d(st->time_base) < 5.0;
    const AVIndexEntry* keyA = ka >= 0 ? avformat_index_get_entry(st, ka) : nullptr;
    return keyA && keyB->timestamp <= keyA->timestamp;
}

// Whether the stream's index, read from the headers (MP4, MOV, Matroska's
// cues) and used by the demuxer's seeks, lists frames up to `ticks`: it then
// says where the keyframes are. Other demuxers (MPEG-TS and -PS, raw
// streams) list only the frames read so far, and their seeks are searches
// that may take several tries: decoding on is the cheaper way there.
bool Generator::State::indexReaches(int64_t ticks) const {
    if (!media::seeksThroughIndex(fmt)) return false;
    int count = avformat_index_get_entries_count(st);
    const AVIndexEntry* last = count > 0 ? avformat_index_get_entry(st, count - 1) : nullptr;
    return last && last->timestamp >= ticks;
}

bool Generator::State::forwardIsCheaper(Target t) const {
    if (!positioned || !have || !atOrBefore(have->pts, t)) return false;
    if (ahead && !atOrBefore(ahead->pts, t)) return true;  // the same frame again
    if (cut) return false;                                 // decoding stopped at that frame
    if (drained) return true;                              // the last frame stays
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
    ++stats.seeks;
    have.reset();
    ahead.reset();
    demuxEnd = cut = drained = false;
    whole = keySeen = false;
    firstKeyPts = AV_NOPTS_VALUE;
    unkeyed = 0;
    lastDts = lastTs = AV_NOPTS_VALUE;
    for (PacketPtr& p : queue) {
        av_packet_unref(p.get());
        spare.push_back(std::move(p));
    }
    queue.clear();
    queuedBytes = 0;
    queueEnd = ptsMissing = false;
    demuxError = 0;
    knownCount = sentCount = 0;
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

// Reads the track's packets into the queue until it holds `packets` or the
// demuxer has no more. A demuxer error ends the reading; it is the decoder's
// failure only once the decoder needs a packet past it (feedDecoder).
int Generator::State::readAhead(size_t packets) {
    while (queue.size() < packets && !queueEnd) {
        PacketPtr pkt;
        if (!spare.empty()) {
            pkt = std::move(spare.back());
            spare.pop_back();
        } else {
            pkt.reset(av_packet_alloc());
            if (!pkt) return AVERROR(ENOMEM);
        }
        int rc = av_read_frame(fmt, pkt.get());
        if (rc < 0) {
            queueEnd = true;
            if (rc != AVERROR_EOF) demuxError = rc;
            spare.push_back(std::move(pkt));
            break;
        }
        if (pkt->stream_index != stream) {
            av_packet_unref(pkt.get());
            spare.push_back(std::move(pkt));
            continue;
        }
        if (pkt->pts == AV_NOPTS_VALUE) ptsMissing = true;
        known[knownCount++ % known.size()] = {pkt->pts, !(pkt->flags & AV_PKT_FLAG_DISCARD)};
        queuedBytes += pkt->size;
        queue.push_back(std::move(pkt));
    }
    return 0;
}

// Whether a packet read since the seek presents a frame after `pts` and at or
// before `t`: the frame at `pts` is then not the one shown at `t`.
bool Generator::State::laterFrameShown(int64_t pts, Target t) const {
    for (size_t i = 0; i < std::min(knownCount, known.size()); ++i)
        if (known[i].shows && known[i].pts != AV_NOPTS_VALUE && known[i].pts > pts &&
            atOrBefore(known[i].pts, t))
            return true;
    return false;
}

// Whether the frame of a packet presented at `pts` is no request's frame: not
// the current one's, and with a plan none of those to come. A frame at or
// before a request is not its frame when a later one is; a frame after every
// request is none of theirs once the keyframe, shown before it, was read.
bool Generator::State::neverShown(int64_t pts) const {
    std::optional<Target> showing;  // the first request at or after the frame
    if (atOrBefore(pts, current)) showing = current;
    if (planned) {
        auto next = planLeft.lower_bound(firstTargetShowing(pts));
        if (next != planLeft.end() && (!showing || *next < showing->value)) showing = Target{*next};
    }
    if (showing) return laterFrameShown(pts, *showing);
    return planned && keySeen && firstKeyPts != AV_NOPTS_VALUE && pts > firstKeyPts;
}

// Whether every packet that can hold the frame shown at the request has gone
// to the decoder, when nothing planned continues from it: the decoder is then
// told the stream ends there, and gives its frames without decoding any
// further. Settled once so many packets past the request were read that none
// still to come can be shown before it (no codec holds a frame back for more
// than 16 frames, 32 fields, decoded after it), or once the demuxer has no
// more; packets without times settle nothing.
bool Generator::State::requestSettled() {
    if (!lastOfRun || ptsMissing) return false;
    for (;;) {
        bool frameBefore = false;
        int past = 0;
        for (size_t i = 0; i < std::min(knownCount, known.size()); ++i) {
            if (!atOrBefore(known[i].pts, current))
                ++past;
            else if (known[i].shows)
                frameBefore = true;
        }
        if (!frameBefore) return false;  // the first frame, after the request, is shown
        for (const PacketPtr& p : queue)
            if (!(p->flags & AV_PKT_FLAG_DISCARD) && atOrBefore(p->pts, current) &&
                !laterFrameShown(p->pts, current))
                return false;  // this one may be the frame: it is decoded first
        if (past >= reorderBound || queueEnd) return true;
        if (queue.size() >= kMaxAhead || queuedBytes >= kMaxAheadBytes) return false;
        if (readAhead(queue.size() + 1) < 0) return false;
    }
}

// Decodes the next frame into `ahead`: 0, AVERROR_EOF after the last frame, or
// an error.
int Generator::State::nextFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) return AVERROR(ENOMEM);
    for (;;) {
        int rc = avcodec_receive_frame(dec.get(), frame.get());
        if (rc == 0) {
            count(frame.get());
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

void Generator::State::count(const AVFrame* frame) {
    switch (frame->pict_type) {
        case AV_PICTURE_TYPE_I:
            ++stats.intra;
            break;
        case AV_PICTURE_TYPE_P:
            ++stats.predicted;
            break;
        case AV_PICTURE_TYPE_B:
            ++stats.bidirectional;
            break;
        default:
            ++stats.other;
    }
    for (size_t i = 0; i < std::min(sentCount, sent.size()); ++i)
        if (sent[i].pts == frame->pts && sent[i].pts != AV_NOPTS_VALUE) {
            stats.referencesOnly += sent[i].referenceOnly;
            break;
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

// Hands the decoder the track's next packet, or the end of the stream once
// the demuxer has none or the request's frame is settled: avcodec_send_packet's
// result, or the demuxer's error.
int Generator::State::feedDecoder() {
    if (requestSettled()) {
        demuxEnd = cut = true;
        return avcodec_send_packet(dec.get(), nullptr);
    }
    if (int rc = readAhead(kLookahead); rc < 0) return rc;
    if (queue.empty()) {
        if (demuxError < 0) return demuxError;
        demuxEnd = true;
        return avcodec_send_packet(dec.get(), nullptr);
    }
    PacketPtr pkt = std::move(queue.front());
    queue.pop_front();
    queuedBytes -= pkt->size;
    int64_t dts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (dts != AV_NOPTS_VALUE) lastDts = dts;
    // Frames nothing refers to and nobody sees are not decoded at all.
    bool unseen = pkt->pts != AV_NOPTS_VALUE && neverShown(pkt->pts);
    dec->skip_frame = unseen ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    sent[sentCount++ % sent.size()] = {pkt->pts, unseen};
    if (!keySeen && (pkt->flags & AV_PKT_FLAG_KEY)) {
        keySeen = true;
        firstKeyPts = pkt->pts;
    }
    int rc = avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    spare.push_back(std::move(pkt));
    return rc;
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
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return false;
    for (;;) {
        int rc = av_read_frame(fmt, pkt.get());
        if (rc < 0) return rc == AVERROR_EOF;
        bool ours = pkt->stream_index == stream;
        av_packet_unref(pkt.get());
        if (ours) return false;
    }
}

Result<Image> Generator::State::grab(Target t) {
    using Clock = std::chrono::steady_clock;
    // Before the first picture (sound or data start earlier) the first is
    // shown: asked for at its own time, where the search is exact.
    t = clamped(t);
    preparePlan();
    if (lane) {
        if (auto answer = lane->take(t)) return std::move(*answer);
        // A request of neither lane ends the second, as does one the second
        // could not answer (it could not read the file).
        bool ours = decoding.valid()
                        ? decodingFor.value == t.value
                        : planned && planNext < planOrder.size() && planOrder[planNext] == t.value;
        if (!ours) endLane();
    }
    std::optional<Result<void>> found;
    if (decoding.valid()) {
        // The previous grab began decoding towards the next planned request;
        // any other request ends the plan (followPlan).
        Result<void> result = decoding.get();
        if (t.value == decodingFor.value) found = std::move(result);
    }
    if (!found) {
        followPlan(t);
        found = timedFind(t);
    }
    if (!found->ok()) {
        if (stats.decoded() == 0 && trackIsEmpty()) return Result<Image>::failure(kNoFrames);
        return found->failed();
    }
    // The frame is held apart from the decoder, which goes on towards the
    // next planned request on a thread of its own while this one is
    // converted and the caller writes it: the two use separate processors
    // where there are two.
    FramePtr shown(av_frame_clone(have.get()));
    if (!shown) return Result<Image>::failure(media::errorText(AVERROR(ENOMEM)));
    if (planned && planNext < planOrder.size()) {
        // Unless the next request shows this frame again: nothing to decode.
        Target next{planOrder[planNext]};
        bool again = positioned && atOrBefore(have->pts, next) &&
                     (ahead ? !atOrBefore(ahead->pts, next) : drained && !cut);
        if (!again) decodeNext();
    } else if (planned) {
        finishDecoding();
    }
    auto start = Clock::now();
    auto image = render(shown.get());
    stats.conversionSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    return image;
}

Result<void> Generator::State::timedFind(Target t) {
    auto start = std::chrono::steady_clock::now();
    auto frame = find(t);
    stats.decodeSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return frame.ok() ? Result<void>::success() : Result<void>(frame.failed());
}

// Begins decoding towards the next planned request in the background; where
// no thread can be started, it is decoded when asked for.
void Generator::State::decodeNext() {
    Target next{planOrder[planNext]};
    followPlan(next);
    decodingFor = next;
    decoding = std::async(std::launch::async | std::launch::deferred,
                          [this, next] { return timedFind(next); });
}

// The decoded frame shown at the request.
Result<const AVFrame*> Generator::State::find(Target t) {
    using R = Result<const AVFrame*>;
    current = t;
    if (!dec) {
        if (auto opened = openDecoder(); !opened.ok()) return opened.failed();
    }
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
    return have.get();
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
    size_t size = size_t(out.stride) * height + 64;
    if (!scaledRows || scaledSize < size) {
        scaledRows.reset(static_cast<uint8_t*>(av_malloc(size)));
        scaledSize = scaledRows ? size : 0;
    }
    if (!scaledRows) return R::failure(media::errorText(AVERROR(ENOMEM)));
    uint8_t* dst[4] = {scaledRows.get(), nullptr, nullptr, nullptr};
    int dstStride[4] = {out.stride, 0, 0, 0};
    if (sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, dstStride) <= 0)
        return R::failure(media::errorText(AVERROR(EINVAL)));
    out.pixels = scaledRows.get();
    return out;
}

Generator::Generator(media::Asset& asset, int64_t maxEdge)
    : s_(std::make_unique<State>(asset, maxEdge)) {}
Generator::~Generator() = default;
Generator::Generator(Generator&&) noexcept = default;

void Generator::plan(const std::vector<double>& seconds) {
    if (s_->decoding.valid()) s_->decoding.get();
    s_->endLane();
    s_->planned = true;
    s_->planOrder.clear();
    s_->planLeft.clear();
    s_->planNext = 0;
    s_->planPrepared = false;
    for (double t : seconds)
        s_->planOrder.push_back(targetOf(t).value);
    if (s_->preparation && s_->preparation->ok()) s_->preparePlan();
    // Frames skipped so far were skipped for other requests.
    s_->positioned = false;
}

Result<Image> Generator::copyFrame(double seconds) {
    if (!s_->preparation) s_->preparation = s_->prepare();
    if (!s_->preparation->ok()) return s_->preparation->failed();
    return s_->grab(targetOf(seconds));
}

DecodeStats Generator::stats() const {
    if (s_->decoding.valid()) s_->decoding.wait();
    DecodeStats total = s_->stats;
    if (s_->lane) add(total, s_->lane->finalStats());
    return total;
}

int64_t decodedFrames(const Generator& generator) {
    return generator.stats().decoded();
}

}  // namespace frames
