#include "exporter/exporter.h"

#include "colour/colour.h"
#include "media/demuxer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <map>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace exporter {

using handles::CodecContextPtr;
using handles::FramePtr;
using media::errorText;
using platform::Failure;
using platform::Result;

namespace {

// x264's "fast" preset at CRF 21 (within the 20-23 band of 1080p delivery
// exports): it keeps what makes "medium" efficient (adaptive B-frames, two
// reference frames with mixed refs, sub-pixel refinement 6, trellis) at 0.87x
// its CPU time on this project's machine; "faster" saves more (0.67x) but drops
// to sub-pixel refinement 4 and no mixed references.
constexpr const char* kX264Preset = "fast";
constexpr const char* kX264Crf = "21";
constexpr int kLongEdge = 1920;
constexpr int kShortEdge = 1080;
constexpr int64_t kMonoBitRate = 128000;
constexpr int64_t kStereoBitRate = 160000;

constexpr const char* kNoFrames = "the video track has no frames";

// Calls an FFmpeg function that takes options, with these options; what the
// call leaves unused is freed afterwards.
template <class Call>
int withOptions(std::initializer_list<std::pair<const char*, const char*>> entries, Call call) {
    AVDictionary* options = nullptr;
    for (auto [key, value] : entries)
        av_dict_set(&options, key, value, 0);
    int r = call(&options);
    handles::DictionaryPtr unused(options);
    return r;
}

// Fills an audio frame's fields for `samples` samples in the encoder's format
// and gives it buffers of its own.
int audioBuffer(AVFrame* f, int samples, const AVCodecContext* enc) {
    av_frame_unref(f);
    f->nb_samples = samples;
    f->format = enc->sample_fmt;
    f->sample_rate = enc->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &enc->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
        return AVERROR(ENOMEM);
    return 0;
}

bool isDecodeFatal(int error) {
    return error == AVERROR(ENOMEM) || error == AVERROR_EXIT;
}

// The largest even size with the source's display aspect ratio that fits the
// box (landscape or portrait, as the frame is) without enlarging it.
void fitSize(int codedW, int codedH, double aspect, int& outW, int& outH) {
    // Whole pixels of the displayed size, cut as probe and the pictures cut them.
    double w = std::max(1.0, std::trunc(codedW * aspect)), h = codedH;
    bool portrait = h > w;
    double boxW = portrait ? kShortEdge : kLongEdge, boxH = portrait ? kLongEdge : kShortEdge;
    double f = std::min({1.0, boxW / w, boxH / h});
    auto even = [](double v) { return std::max(2, 2 * int(std::floor(v / 2 + 1e-6))); };
    outW = even(w * f);
    outH = even(h * f);
}

}  // namespace

struct ExportSession::Pipeline {
    AVFormatContext* in = nullptr;  // the asset's demuxer, not owned
    media::Asset* asset = nullptr;  // not owned
    const AVOutputFormat* muxer = nullptr;
    std::function<bool()> interrupted;
    std::function<void(double)> progress;
    double durationSeconds = 0;  // what progress counts against; unknown: not above 0
    double reported = -1;        // the last fraction reported

    std::string colourError;             // the colour conversion's own text, when it failed
    bool noFrames = false;               // the video track had no frame at all (an init segment)
    int64_t startUs = 0;                 // the input's start time: output timestamps begin at 0
    int64_t dataEndUs = AV_NOPTS_VALUE;  // end of the last packet read of a used stream

    struct Video {
        int index = -1;
        AVStream* ost = nullptr;
        CodecContextPtr dec, enc;
        handles::ScalerPtr sws;
        int swsW = 0, swsH = 0, swsFormat = -1, swsRange = -1;
        FramePtr scaled;
        bool toSdr = false;  // HDR or wide-gamut source, tone-mapped to SDR BT.709
        std::unique_ptr<media::ColourConverter> colour;
        FramePtr managed;
        int64_t lastPts = AV_NOPTS_VALUE;  // encoder time base
        int64_t lastDuration = 0;
        int64_t nominalDuration = 1;
        std::map<int64_t, int64_t> durations;  // pts -> duration of frames inside the encoder
        int64_t frames = 0;
        int decodeError = 0;
    } videoCoding;

    struct Audio {
        int index = -1;
        AVStream* ost = nullptr;
        CodecContextPtr dec, enc;
        handles::ResamplerPtr swr;
        AVChannelLayout swrLayout{};
        int swrFormat = -1, swrRate = 0;
        handles::AudioFifoPtr fifo;
        FramePtr converted, chunk;
        int64_t nextPts = AV_NOPTS_VALUE;  // in samples of the output rate
        int64_t packets = 0, frames = 0;   // read and decoded
        int decodeError = 0;
    } audioCoding;

    handles::PacketPtr packet{av_packet_alloc()}, outPacket{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};

    ~Pipeline() { av_channel_layout_uninit(&audioCoding.swrLayout); }

    bool cancelled() const { return interrupted && interrupted(); }

    static int checkInterrupt(void* opaque) {
        return static_cast<Pipeline*>(opaque)->cancelled() ? 1 : 0;
    }

    void report(double fraction);
    void noteEncoded(const AVPacket* pkt, AVRational timeBase);

    // Set-up, when the session is made.
    Result<void> prepare(media::Asset& asset);
    Result<std::pair<int, int>> chooseTracks(media::Asset& asset) const;
    Result<void> completeParameters(media::Asset& asset, int video, int audio) const;
    struct Codecs {
        CodecContextPtr dec, enc;
        const AVCodec* encoder = nullptr;
    };
    Result<Codecs> codecsFor(int index, const char* encoder, const std::string& name) const;
    Result<void> openEncoder(
        const Codecs& codecs, const std::string& name,
        std::initializer_list<std::pair<const char*, const char*>> options = {}) const;
    Result<void> openVideo(int index);
    Result<void> openAudio(int index);

    // The export.
    Result<handles::OutputFormatPtr> openOutput(const std::string& path);
    int addStreams(AVFormatContext* out);
    int run(AVFormatContext* out);
    int finish(AVFormatContext* out);
    Failure failure(int error) const;

    void noteDataEnd(const AVPacket* pkt);
    bool endsEarly() const;
    int decode(AVCodecContext* dec, const AVPacket* pkt, bool video, AVFormatContext* out);
    int encodeVideo(AVFrame* decoded, AVFormatContext* out);
    int convertVideo(AVFrame* decoded, AVFrame** result);
    int prepareScaler(const AVFrame* decoded, bool fullRange);
    int encodeAudio(AVFrame* decoded, AVFormatContext* out);
    int prepareResampler(const AVFrame* decoded);
    int resample(const AVFrame* decoded);
    int drainFifo(bool all, AVFormatContext* out);
    int send(AVCodecContext* enc, AVStream* ost, const AVFrame* f, AVFormatContext* out);
};

// The stream's decoder and a context for the named encoder (`name` says which
// in failures: "H.264", "AAC").
Result<ExportSession::Pipeline::Codecs> ExportSession::Pipeline::codecsFor(
    int index, const char* encoder, const std::string& name) const {
    const AVStream* st = in->streams[index];
    const char* kind = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    // Frame threads: the fastest through a whole stream.
    auto dec = media::openDecoder(st, media::DecoderThreads::framesAndSlices);
    if (!dec.ok()) return Failure{dec.error(), std::string("opening the ") + kind + " decoder"};
    Codecs codecs;
    codecs.dec = std::move(dec.value());
    codecs.encoder = avcodec_find_encoder_by_name(encoder);
    if (!codecs.encoder)
        return Failure{errorText(AVERROR_ENCODER_NOT_FOUND), "finding the " + name + " encoder"};
    codecs.enc.reset(avcodec_alloc_context3(codecs.encoder));
    if (!codecs.enc) return Failure{errorText(AVERROR(ENOMEM)), "opening the " + name + " encoder"};
    return codecs;
}

// Opens a configured encoder, its headers where the muxer wants them.
Result<void> ExportSession::Pipeline::openEncoder(
    const Codecs& codecs, const std::string& name,
    std::initializer_list<std::pair<const char*, const char*>> options) const {
    AVCodecContext* enc = codecs.enc.get();
    if (muxer->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = withOptions(options,
                        [&](AVDictionary** o) { return avcodec_open2(enc, codecs.encoder, o); });
    if (r < 0) return Failure{errorText(r), "opening the " + name + " encoder"};
    return Result<void>::success();
}

Result<void> ExportSession::Pipeline::openVideo(int index) {
    AVStream* st = in->streams[index];
    videoCoding.index = index;
    auto codecs = codecsFor(index, "libx264", "H.264");
    if (!codecs.ok()) return codecs.failed();
    AVCodecContext* enc = codecs.value().enc.get();
    // A display matrix that scales changes the shape shown (the output's own
    // matrix keeps only the turn).
    media::Stretch stretch = media::displayStretch(media::displayTransform(st));
    fitSize(st->codecpar->width, st->codecpar->height,
            media::pixelAspect(st) * stretch.x / stretch.y, enc->width, enc->height);
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->sample_aspect_ratio = AVRational{1, 1};
    // Frames keep their own timestamps: the stream's time base when it is a plain
    // fraction of a second, otherwise a fine common one.
    enc->time_base = st->time_base.num == 1 ? st->time_base : AVRational{1, 90000};
    AVRational rate = st->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        enc->framerate = rate;
        videoCoding.nominalDuration =
            std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), enc->time_base));
    }
    enc->color_range = AVCOL_RANGE_MPEG;
    const AVCodecParameters* par = st->codecpar;
    videoCoding.toSdr = media::isHdrOrWideGamut(par->color_trc, par->color_primaries);
    // Tone-mapped to SDR, so that every player shows what the poster shows.
    enc->color_primaries = videoCoding.toSdr ? AVCOL_PRI_BT709 : par->color_primaries;
    enc->color_trc = videoCoding.toSdr ? AVCOL_TRC_BT709 : par->color_trc;
    enc->colorspace = videoCoding.toSdr ? AVCOL_SPC_BT709 : par->color_space;
    enc->chroma_sample_location = AVCHROMA_LOC_LEFT;
    enc->thread_count = 0;
    auto opened = openEncoder(codecs.value(), "H.264",
                              {{"preset", kX264Preset}, {"crf", kX264Crf}, {"profile", "high"}});
    if (!opened.ok()) return opened;
    videoCoding.dec = std::move(codecs.value().dec);
    videoCoding.enc = std::move(codecs.value().enc);
    videoCoding.scaled.reset(av_frame_alloc());
    if (!videoCoding.scaled)
        return Failure{errorText(AVERROR(ENOMEM)), "opening the H.264 encoder"};
    return Result<void>::success();
}

Result<void> ExportSession::Pipeline::openAudio(int index) {
    audioCoding.index = index;
    auto codecs = codecsFor(index, "aac", "AAC");
    if (!codecs.ok()) return codecs.failed();
    const AVCodecContext* dec = codecs.value().dec.get();
    AVCodecContext* enc = codecs.value().enc.get();
    int rate = 48000;
    for (const int* r = codecs.value().encoder->supported_samplerates; r && *r; ++r)
        if (*r == dec->sample_rate) rate = *r;
    enc->sample_rate = rate;
    int channels = dec->ch_layout.nb_channels == 1 ? 1 : 2;
    av_channel_layout_default(&enc->ch_layout, channels);
    enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    enc->bit_rate = channels == 1 ? kMonoBitRate : kStereoBitRate;
    enc->time_base = AVRational{1, rate};
    if (auto opened = openEncoder(codecs.value(), "AAC"); !opened.ok()) return opened;
    audioCoding.fifo.reset(av_audio_fifo_alloc(enc->sample_fmt, channels, enc->frame_size * 2));
    audioCoding.converted.reset(av_frame_alloc());
    audioCoding.chunk.reset(av_frame_alloc());
    audioCoding.dec = std::move(codecs.value().dec);
    audioCoding.enc = std::move(codecs.value().enc);
    if (!audioCoding.fifo || !audioCoding.converted || !audioCoding.chunk)
        return Failure{errorText(AVERROR(ENOMEM)), "opening the AAC encoder"};
    return Result<void>::success();
}

// The video track and the audio track kept (-1 for none): of the audio
// tracks that can be decoded, the default-flagged one, else the first. A
// track nothing can decode (no sample description, a codec FFmpeg lacks) is
// no sound the movie could keep. (Asking for the "best" stream related to the
// video one found none in transport streams whose program lists only the
// video.)
Result<std::pair<int, int>> ExportSession::Pipeline::chooseTracks(media::Asset& asset) const {
    auto videos = asset.loadTracks(media::MediaType::video);
    if (!videos.ok()) return Failure{videos.error(), "loading the tracks"};
    if (videos.value().empty())
        return Failure{errorText(AVERROR_STREAM_NOT_FOUND), "finding the video track"};
    // Tracks the headers do not name (DTS in a transport stream is stream
    // type 0x82, a codec only its packets tell), and containers that announce
    // their tracks as packets come (raw DV's sound): analysed first, so that
    // no sound is left out for being unnamed.
    bool unnamed = (in->ctx_flags & AVFMTCTX_NOHEADER) != 0;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVCodecParameters* par = in->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_UNKNOWN || par->codec_id == AV_CODEC_ID_NONE)
            unnamed = true;
    }
    if (unnamed) media::analyse(asset);
    int audio = -1;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream* st = in->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
            !avcodec_find_decoder(st->codecpar->codec_id))
            continue;
        if (audio < 0) audio = int(i);
        if (st->disposition & AV_DISPOSITION_DEFAULT) {
            audio = int(i);
            break;
        }
    }
    return std::pair{videos.value().front().stream, audio};
}

// Containers whose headers leave out a size or a sample format are analysed,
// and so are those that give no pixel aspect: the bitstream's (an MPEG-2
// sequence header's 16:15 in MXF) is only known from decoding. Analysis runs
// once per asset; an aspect still unknown after it is square pixels.
Result<void> ExportSession::Pipeline::completeParameters(media::Asset& asset, int video,
                                                         int audio) const {
    auto incomplete = [&] {
        const AVCodecParameters* vp = in->streams[video]->codecpar;
        if (vp->width <= 0 || vp->height <= 0) return true;
        if (audio < 0) return false;
        const AVCodecParameters* ap = in->streams[audio]->codecpar;
        return ap->sample_rate <= 0 || ap->ch_layout.nb_channels <= 0;
    };
    if (incomplete() || !media::statesPixelAspect(in->streams[video])) media::analyse(asset);
    if (incomplete())
        return Failure{"no picture size or sample format is known",
                       "reading the stream parameters"};
    return Result<void>::success();
}

Result<void> ExportSession::Pipeline::prepare(media::Asset& asset) {
    auto opened = media::demuxer(asset);
    if (!opened.ok()) return Failure{opened.error(), "opening the input"};
    in = opened.value();
    this->asset = &asset;
    muxer = av_guess_format("mp4", nullptr, nullptr);
    if (!muxer) return Failure{errorText(AVERROR_MUXER_NOT_FOUND), "finding the MP4 muxer"};
    if (!packet || !outPacket || !frame)
        return Failure{errorText(AVERROR(ENOMEM)), "allocating packets and frames"};
    auto tracks = chooseTracks(asset);
    if (!tracks.ok()) return tracks.failed();
    auto [video, audio] = tracks.value();
    if (auto complete = completeParameters(asset, video, audio); !complete.ok()) return complete;
    // No session rather than false colours.
    if (auto why = media::unshowablePictures(in->streams[video]))
        return Failure{*why, "checking the video track"};
    if (auto ready = openVideo(video); !ready.ok()) return ready;
    if (audio >= 0) {
        if (auto ready = openAudio(audio); !ready.ok()) return ready;
    }
    for (unsigned i = 0; i < in->nb_streams; ++i)
        if (int(i) != video && int(i) != audio) in->streams[i]->discard = AVDISCARD_ALL;
    startUs = asset.startTime();
    return Result<void>::success();
}

Result<std::unique_ptr<ExportSession>> ExportSession::create(media::Asset& asset, ExportPreset) {
    std::unique_ptr<ExportSession> session(new ExportSession());
    if (auto prepared = session->p_->prepare(asset); !prepared.ok()) return prepared.failed();
    return session;
}

ExportSession::ExportSession() : p_(std::make_unique<Pipeline>()) {}
ExportSession::~ExportSession() = default;

void ExportSession::setInterruptCheck(std::function<bool()> interrupted) {
    p_->interrupted = std::move(interrupted);
}

void ExportSession::setProgressHandler(std::function<void(double)> progress) {
    p_->progress = std::move(progress);
}

// Passes a fraction on when it is further than the last one, kept within
// [0, 1): only the export's return says it is complete.
void ExportSession::Pipeline::report(double fraction) {
    if (!progress || !(fraction > reported)) return;
    reported = std::min(fraction, std::nextafter(1.0, 0.0));
    progress(reported);
}

// Output timestamps count from 0 (the input's start is taken off), so a
// packet's presentation time over the duration is how far the export is.
void ExportSession::Pipeline::noteEncoded(const AVPacket* pkt, AVRational timeBase) {
    if (!progress || !(durationSeconds > 0) || pkt->pts == AV_NOPTS_VALUE) return;
    report(std::max(0.0, double(pkt->pts) * av_q2d(timeBase) / durationSeconds));
}

// The display matrix with its scaling removed (the output has square pixels)
// and its translation moved to the output's size.
static void copyDisplayMatrix(const AVStream* ist, AVStream* ost, int inW, int inH, int outW,
                              int outH) {
    size_t size = 0;
    const uint8_t* side = av_stream_get_side_data(ist, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!side || size < 9 * sizeof(int32_t)) return;
    int32_t m[9];
    std::memcpy(m, side, sizeof m);
    double sx = std::hypot(m[0], m[3]), sy = std::hypot(m[1], m[4]);
    if (sx <= 0 || sy <= 0 || inW <= 0 || inH <= 0) return;
    double fx = double(outW) / inW, fy = double(outH) / inH;
    bool quarterTurn = std::abs(m[1]) > std::abs(m[0]);
    double tx = m[6] * (quarterTurn ? fy : fx), ty = m[7] * (quarterTurn ? fx : fy);
    int32_t out[9] = {int32_t(std::lround(m[0] * 65536.0 / sx)),
                      int32_t(std::lround(m[1] * 65536.0 / sy)),
                      m[2],
                      int32_t(std::lround(m[3] * 65536.0 / sx)),
                      int32_t(std::lround(m[4] * 65536.0 / sy)),
                      m[5],
                      int32_t(std::lround(tx)),
                      int32_t(std::lround(ty)),
                      m[8]};
    uint8_t* dst = av_stream_new_side_data(ost, AV_PKT_DATA_DISPLAYMATRIX, sizeof out);
    if (dst) std::memcpy(dst, out, sizeof out);
}

int ExportSession::Pipeline::addStreams(AVFormatContext* out) {
    av_dict_copy(&out->metadata, in->metadata, 0);
    for (const char* key : {"major_brand", "minor_version", "compatible_brands", "encoder"})
        av_dict_set(&out->metadata, key, nullptr, 0);

    auto add = [&](int index, AVCodecContext* enc) -> AVStream* {
        AVStream* ost = avformat_new_stream(out, nullptr);
        if (!ost || avcodec_parameters_from_context(ost->codecpar, enc) < 0) return nullptr;
        ost->time_base = enc->time_base;
        const AVDictionaryEntry* lang =
            av_dict_get(in->streams[index]->metadata, "language", nullptr, 0);
        if (lang) av_dict_set(&ost->metadata, "language", lang->value, 0);
        return ost;
    };
    videoCoding.ost = add(videoCoding.index, videoCoding.enc.get());
    if (!videoCoding.ost) return AVERROR(ENOMEM);
    videoCoding.ost->sample_aspect_ratio = videoCoding.enc->sample_aspect_ratio;
    videoCoding.ost->avg_frame_rate = videoCoding.enc->framerate;
    const AVCodecParameters* vp = in->streams[videoCoding.index]->codecpar;
    copyDisplayMatrix(in->streams[videoCoding.index], videoCoding.ost, vp->width, vp->height,
                      videoCoding.enc->width, videoCoding.enc->height);
    if (audioCoding.enc) {
        audioCoding.ost = add(audioCoding.index, audioCoding.enc.get());
        if (!audioCoding.ost) return AVERROR(ENOMEM);
    }
    return 0;
}

// Encodes one frame (or flushes with null) and writes every packet that comes out.
int ExportSession::Pipeline::send(AVCodecContext* enc, AVStream* ost, const AVFrame* f,
                                  AVFormatContext* out) {
    int r = avcodec_send_frame(enc, f);
    if (r < 0) return r;
    AVPacket* pkt = outPacket.get();
    for (;;) {
        if (cancelled()) return AVERROR_EXIT;
        r = avcodec_receive_packet(enc, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
        if (r < 0) return r;
        if (enc == videoCoding.enc.get()) {
            auto it = videoCoding.durations.find(pkt->pts);
            if (it != videoCoding.durations.end()) {
                if (it->second > 0) pkt->duration = it->second;
                videoCoding.durations.erase(it);
            }
        }
        noteEncoded(pkt, enc->time_base);
        av_packet_rescale_ts(pkt, enc->time_base, ost->time_base);
        pkt->stream_index = ost->index;
        r = av_interleaved_write_frame(out, pkt);
        if (r < 0) return r;
    }
}

// The decoded picture as the encoder takes it: itself when it already is, else
// a scaled copy. Returns an FFmpeg error code or 0.
int ExportSession::Pipeline::convertVideo(AVFrame* decoded, AVFrame** result) {
    AVCodecContext* enc = videoCoding.enc.get();
    if (videoCoding.toSdr || media::needsColourManagement(decoded)) {
        if (!videoCoding.colour)
            videoCoding.colour = std::make_unique<media::ColourConverter>(
                enc->width, enc->height, media::ColourTarget::yuv420pSdr,
                media::PeakPolicy::runningMax,
                media::metadataPeak(in->streams[videoCoding.index], decoded));
        auto converted = videoCoding.colour->convert(decoded);
        if (!converted.ok()) {
            colourError = converted.error();
            return AVERROR_EXTERNAL;
        }
        videoCoding.managed.reset(converted.value());
        *result = videoCoding.managed.get();
        return 0;
    }
    bool fullRange = decoded->color_range == AVCOL_RANGE_JPEG ||
                     media::withoutFullRangeAlias(decoded->format) != decoded->format;
    if (decoded->format == AV_PIX_FMT_YUV420P && !fullRange && decoded->width == enc->width &&
        decoded->height == enc->height) {
        *result = decoded;  // already what the encoder takes
        return 0;
    }

    if (int r = prepareScaler(decoded, fullRange); r < 0) return r;
    AVFrame* scaled = videoCoding.scaled.get();
    if (!scaled->buf[0]) {
        scaled->format = AV_PIX_FMT_YUV420P;
        scaled->width = enc->width;
        scaled->height = enc->height;
        if (int r = av_frame_get_buffer(scaled, 0); r < 0) return r;
    }
    if (int r = av_frame_make_writable(scaled); r < 0) return r;
    if (int r = sws_scale_frame(videoCoding.sws.get(), scaled, decoded); r < 0) return r;
    *result = scaled;
    return 0;
}

// The scaler from the decoded picture's size, format and range to the
// encoder's, made again only when one of them changes.
int ExportSession::Pipeline::prepareScaler(const AVFrame* decoded, bool fullRange) {
    const AVCodecContext* enc = videoCoding.enc.get();
    if (videoCoding.sws && videoCoding.swsW == decoded->width &&
        videoCoding.swsH == decoded->height && videoCoding.swsFormat == decoded->format &&
        videoCoding.swsRange == int(fullRange))
        return 0;
    videoCoding.sws.reset(sws_alloc_context());
    if (!videoCoding.sws) return AVERROR(ENOMEM);
    SwsContext* s = videoCoding.sws.get();
    av_opt_set_int(s, "srcw", decoded->width, 0);
    av_opt_set_int(s, "srch", decoded->height, 0);
    av_opt_set_int(s, "src_format", decoded->format, 0);
    av_opt_set_int(s, "dstw", enc->width, 0);
    av_opt_set_int(s, "dsth", enc->height, 0);
    av_opt_set_int(s, "dst_format", AV_PIX_FMT_YUV420P, 0);
    av_opt_set_int(s, "sws_flags", SWS_BICUBIC, 0);
    av_opt_set_int(s, "threads", 0, 0);
    if (int r = sws_init_context(s, nullptr, nullptr); r < 0) {
        videoCoding.sws.reset();
        return r;
    }
    // Same YUV matrix on both sides; only the range may change.
    int space =
        decoded->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(decoded->colorspace);
    const int* coefficients = sws_getCoefficients(space);
    sws_setColorspaceDetails(s, coefficients, fullRange, coefficients, 0, 0, 1 << 16, 1 << 16);
    videoCoding.swsW = decoded->width, videoCoding.swsH = decoded->height;
    videoCoding.swsFormat = decoded->format, videoCoding.swsRange = int(fullRange);
    return 0;
}

int ExportSession::Pipeline::encodeVideo(AVFrame* decoded, AVFormatContext* out) {
    AVStream* ist = in->streams[videoCoding.index];
    AVCodecContext* enc = videoCoding.enc.get();
    int64_t pts = decoded->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) {
        pts = videoCoding.lastPts == AV_NOPTS_VALUE
                  ? 0
                  : videoCoding.lastPts +
                        std::max(videoCoding.lastDuration, videoCoding.nominalDuration);
    } else {
        pts = av_rescale_q(pts, ist->time_base, enc->time_base) -
              av_rescale_q(startUs, AV_TIME_BASE_Q, enc->time_base);
    }
    // The encoder needs strictly increasing timestamps.
    if (videoCoding.lastPts != AV_NOPTS_VALUE) {
        if (pts <= videoCoding.lastPts) pts = videoCoding.lastPts + 1;
        videoCoding.lastDuration = pts - videoCoding.lastPts;
        videoCoding.durations[videoCoding.lastPts] = videoCoding.lastDuration;
    }
    AVFrame* f = nullptr;
    if (int r = convertVideo(decoded, &f); r < 0) return r;
    if (f != decoded) av_frame_copy_props(f, decoded);
    if (f == videoCoding.managed.get()) {
        // What the source said about its HDR mastering no longer applies.
        for (auto type : {AV_FRAME_DATA_MASTERING_DISPLAY_METADATA,
                          AV_FRAME_DATA_CONTENT_LIGHT_LEVEL, AV_FRAME_DATA_DOVI_RPU_BUFFER,
                          AV_FRAME_DATA_DOVI_METADATA, AV_FRAME_DATA_DYNAMIC_HDR_PLUS})
            av_frame_remove_side_data(f, type);
        f->color_primaries = AVCOL_PRI_BT709;
        f->color_trc = AVCOL_TRC_BT709;
        f->colorspace = AVCOL_SPC_BT709;
    }
    f->pts = pts;
    f->pict_type = AV_PICTURE_TYPE_NONE;  // let the encoder place its own key frames
    f->sample_aspect_ratio = AVRational{1, 1};
    f->color_range = AVCOL_RANGE_MPEG;
    videoCoding.durations[pts] = 0;
    videoCoding.lastPts = pts;
    ++videoCoding.frames;
    return send(enc, videoCoding.ost, f, out);
}

int ExportSession::Pipeline::drainFifo(bool all, AVFormatContext* out) {
    AVCodecContext* enc = audioCoding.enc.get();
    AVFrame* chunk = audioCoding.chunk.get();
    for (;;) {
        int available = av_audio_fifo_size(audioCoding.fifo.get());
        if (available == 0 || (!all && available < enc->frame_size)) return 0;
        int n = std::min(available, enc->frame_size);
        if (int r = audioBuffer(chunk, n, enc); r < 0) return r;
        if (av_audio_fifo_read(audioCoding.fifo.get(), reinterpret_cast<void**>(chunk->data), n) <
            n)
            return AVERROR_BUG;
        chunk->pts = audioCoding.nextPts;
        audioCoding.nextPts += n;
        int r = send(enc, audioCoding.ost, chunk, out);
        if (r < 0) return r;
    }
}

// Resamples one decoded frame (or, with null, what the resampler still holds)
// into the FIFO, then encodes every whole frame of samples.
int ExportSession::Pipeline::encodeAudio(AVFrame* decoded, AVFormatContext* out) {
    if (decoded) {
        if (int r = prepareResampler(decoded); r < 0) return r;
        if (audioCoding.nextPts == AV_NOPTS_VALUE) {
            int64_t pts = decoded->best_effort_timestamp;
            AVRational rate{1, audioCoding.enc->sample_rate};
            audioCoding.nextPts =
                pts == AV_NOPTS_VALUE
                    ? 0
                    : av_rescale_q(pts, in->streams[audioCoding.index]->time_base, rate) -
                          av_rescale_q(startUs, AV_TIME_BASE_Q, rate);
        }
    }
    if (!audioCoding.swr) return 0;
    if (int r = resample(decoded); r < 0) return r;
    return drainFifo(!decoded, out);
}

// The resampler from the decoded sound's layout, format and rate to the
// encoder's, made again only when one of them changes.
int ExportSession::Pipeline::prepareResampler(const AVFrame* decoded) {
    AVCodecContext* enc = audioCoding.enc.get();
    AVChannelLayout layout{};
    if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, decoded->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&layout, &decoded->ch_layout) < 0)
        return AVERROR(ENOMEM);
    bool same = audioCoding.swr && audioCoding.swrFormat == decoded->format &&
                audioCoding.swrRate == decoded->sample_rate &&
                av_channel_layout_compare(&layout, &audioCoding.swrLayout) == 0;
    if (!same) {
        SwrContext* s = nullptr;
        int r =
            swr_alloc_set_opts2(&s, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &layout,
                                AVSampleFormat(decoded->format), decoded->sample_rate, 0, nullptr);
        audioCoding.swr.reset(s);
        if (r >= 0) r = swr_init(s);
        if (r < 0) {
            av_channel_layout_uninit(&layout);
            return r;
        }
        av_channel_layout_uninit(&audioCoding.swrLayout);
        audioCoding.swrLayout = layout;
        layout = AVChannelLayout{};
        audioCoding.swrFormat = decoded->format;
        audioCoding.swrRate = decoded->sample_rate;
    }
    av_channel_layout_uninit(&layout);
    return 0;
}

// Resamples one decoded frame, or with null what the resampler still holds,
// into the FIFO.
int ExportSession::Pipeline::resample(const AVFrame* decoded) {
    int capacity = swr_get_out_samples(audioCoding.swr.get(), decoded ? decoded->nb_samples : 0);
    if (capacity <= 0) return capacity;
    AVFrame* conv = audioCoding.converted.get();
    if (int r = audioBuffer(conv, capacity, audioCoding.enc.get()); r < 0) return r;
    int n = swr_convert(audioCoding.swr.get(), conv->data, capacity,
                        decoded ? const_cast<const uint8_t**>(decoded->extended_data) : nullptr,
                        decoded ? decoded->nb_samples : 0);
    if (n < 0) return n;
    if (n > 0 &&
        av_audio_fifo_write(audioCoding.fifo.get(), reinterpret_cast<void**>(conv->data), n) < n)
        return AVERROR(ENOMEM);
    return 0;
}

// Feeds a packet (or null at the end) to a decoder and encodes what comes out.
// Damaged packets are skipped, as players skip them; only a stream from which
// no picture at all could be decoded fails the export (see run).
int ExportSession::Pipeline::decode(AVCodecContext* dec, const AVPacket* pkt, bool video,
                                    AVFormatContext* out) {
    int r = avcodec_send_packet(dec, pkt);
    if (r < 0 && r != AVERROR_EOF) {
        if (isDecodeFatal(r)) return r;
        (video ? videoCoding.decodeError : audioCoding.decodeError) = r;
        return 0;
    }
    AVFrame* f = frame.get();
    for (;;) {
        r = avcodec_receive_frame(dec, f);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
        if (r < 0) {
            if (isDecodeFatal(r)) return r;
            (video ? videoCoding.decodeError : audioCoding.decodeError) = r;
            continue;
        }
        if (!video) ++audioCoding.frames;
        r = video ? encodeVideo(f, out) : encodeAudio(f, out);
        av_frame_unref(f);
        if (r < 0) return r;
    }
}

void ExportSession::Pipeline::noteDataEnd(const AVPacket* pkt) {
    if (pkt->stream_index != videoCoding.index && pkt->stream_index != audioCoding.index) return;
    int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (ts == AV_NOPTS_VALUE) return;
    int64_t end =
        av_rescale_q(ts + pkt->duration, in->streams[pkt->stream_index]->time_base, AV_TIME_BASE_Q);
    if (dataEndUs == AV_NOPTS_VALUE || end > dataEndUs) dataEndUs = end;
}

// A file cut short (an interrupted copy or download) reads to its end without
// a demuxer error; it shows as media that stops well before the end its own
// index announces. Lengths guessed from the bit rate, and the all-ones
// "unknown" of a fragmented MP4, announce nothing.
bool ExportSession::Pipeline::endsEarly() const {
    auto announced = media::announcedEnd(*asset);
    if (!announced) return false;
    int64_t start = in->start_time == AV_NOPTS_VALUE ? 0 : in->start_time;
    int64_t missing = *announced - (dataEndUs == AV_NOPTS_VALUE ? 0 : dataEndUs);
    return missing > std::max<int64_t>(AV_TIME_BASE, (*announced - start) / 10);
}

int ExportSession::Pipeline::run(AVFormatContext* out) {
    AVPacket* pkt = packet.get();
    for (;;) {
        if (cancelled()) return AVERROR_EXIT;
        int r = av_read_frame(in, pkt);
        if (r == AVERROR_EOF) break;
        if (r < 0) return r;
        noteDataEnd(pkt);
        if (pkt->stream_index == videoCoding.index)
            r = decode(videoCoding.dec.get(), pkt, true, out);
        else if (audioCoding.dec && pkt->stream_index == audioCoding.index) {
            ++audioCoding.packets;
            r = decode(audioCoding.dec.get(), pkt, false, out);
        }
        av_packet_unref(pkt);
        if (r < 0) return r;
    }

    if (endsEarly()) return AVERROR_EOF;
    return finish(out);
}

// The end of the input: the video decoder drained, then its encoder; the same
// for the sound (with what the resampler holds); then the trailer.
int ExportSession::Pipeline::finish(AVFormatContext* out) {
    int r = decode(videoCoding.dec.get(), nullptr, true, out);
    if (r < 0) return r;
    if (videoCoding.frames == 0) {
        if (videoCoding.decodeError < 0) return videoCoding.decodeError;
        noFrames = true;
        return AVERROR_INVALIDDATA;
    }
    if (videoCoding.lastPts != AV_NOPTS_VALUE) {
        int64_t last =
            videoCoding.lastDuration > 0 ? videoCoding.lastDuration : videoCoding.nominalDuration;
        // The last picture stays until the presentation ends, as a player
        // shows it (an edit list that holds it, sound that goes on).
        if (auto end = media::announcedEnd(*asset))
            last = std::max(
                last, av_rescale_q(*end - startUs, AV_TIME_BASE_Q, videoCoding.enc->time_base) -
                          videoCoding.lastPts);
        videoCoding.durations[videoCoding.lastPts] = last;
    }
    if ((r = send(videoCoding.enc.get(), videoCoding.ost, nullptr, out)) < 0) return r;
    if (audioCoding.dec) {
        if ((r = decode(audioCoding.dec.get(), nullptr, false, out)) < 0) return r;
        // Sound that is there but never decoded fails the export: a movie
        // silently without its sound is no success.
        if (audioCoding.packets > 0 && audioCoding.frames == 0)
            return audioCoding.decodeError < 0 ? audioCoding.decodeError : AVERROR_INVALIDDATA;
        if ((r = encodeAudio(nullptr, out)) < 0) return r;
        if ((r = send(audioCoding.enc.get(), audioCoding.ost, nullptr, out)) < 0) return r;
    }
    return av_write_trailer(out);
}

// A muxer for the path with the session's streams, its file open and the
// header written.
Result<handles::OutputFormatPtr> ExportSession::Pipeline::openOutput(const std::string& path) {
    using R = Result<handles::OutputFormatPtr>;
    AVFormatContext* raw = nullptr;
    int r = avformat_alloc_output_context2(&raw, muxer, nullptr, nullptr);
    if (r < 0) return R::failure(errorText(r), "making the MP4 muxer");
    handles::OutputFormatPtr out(raw);
    out->interrupt_callback = AVIOInterruptCB{&Pipeline::checkInterrupt, this};
    // "file:" keeps a colon in the name from being read as a protocol.
    out->url = av_strdup(("file:" + path).c_str());
    if (!out->url) return R::failure(errorText(AVERROR(ENOMEM)), "making the MP4 muxer");
    if ((r = addStreams(out.get())) < 0) return R::failure(errorText(r), "adding the streams");
    r = avio_open2(&out->pb, out->url, AVIO_FLAG_WRITE, &out->interrupt_callback, nullptr);
    if (r < 0) return R::failure(errorText(r), "opening " + path);
    r = withOptions({{"movflags", "+faststart"}},
                    [&](AVDictionary** o) { return avformat_write_header(out.get(), o); });
    if (r < 0) return R::failure(errorText(r), "writing the header");
    return out;
}

// What a failed run reports: the colour conversion's own text where it failed.
Failure ExportSession::Pipeline::failure(int error) const {
    if (noFrames) return {kNoFrames, "encoding"};
    if (error == AVERROR_EXTERNAL && !colourError.empty())
        return {colourError, "converting the colours"};
    return {errorText(error), "encoding"};
}

Result<void> ExportSession::exportTo(const std::string& path, FileType) {
    if (p_->progress) {
        // Nothing has been read yet: a duration found by reading the packets
        // puts the demuxer back at the start.
        auto duration = p_->asset->loadDuration();
        if (duration.ok() && std::isfinite(duration.value()))
            p_->durationSeconds = duration.value();
    }
    auto out = p_->openOutput(path);
    if (!out.ok()) return out.failed();
    p_->report(0);
    if (int r = p_->run(out.value().get()); r < 0) return p_->failure(r);
    return Result<void>::success();
}

}  // namespace exporter
