#include "media/asset.h"

#include "media/demuxer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>

#include "files/files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/display.h>
#include <libavutil/dovi_meta.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
}

namespace media {

using platform::Result;

std::string errorText(int averror) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, buf, sizeof buf);
    return buf;
}

// Every demuxer here reads its one file and nothing else. Left out on purpose
// are those that read other files or URLs (hls, dash, concat, image2 with its
// name patterns, tee, sdp, rtsp and the other network formats): an input is
// one file, whatever it names.
const char* const kSingleFileContainers =
    // MP4/MOV/3GP, Matroska/WebM, MPEG-TS and -PS, AVI, ASF, FLV, MXF, Ogg,
    // DV, RealMedia, NUT, IVF, YUV4MPEG, animated GIF
    "mov,matroska,mpegts,mpeg,avi,asf,flv,mxf,ogg,dv,rm,nut,ivf,yuv4mpegpipe,gif,"
    // raw video elementary streams
    "h264,hevc,m4v,mpegvideo,h263,vc1,obu,"
    // sound alone (an audio file has no video track, as a file of no media has none)
    "mp3,aac,ac3,eac3,flac,wav,aiff,"
    // single still pictures, a one-frame video
    "jpeg_pipe,png_pipe,bmp_pipe,tiff_pipe,webp_pipe";

namespace {

// The descriptor FFmpeg reads and the reader's place in it: its own, so that
// a second reader of the same descriptor moves nothing of the first's.
struct InputFile {
    handles::FileDescriptor descriptor;
    int64_t position = 0;
};

}  // namespace

struct Asset::Context {
    // Closed in reverse order: the demuxer, then its reader, then the file.
    InputFile file;
    handles::IOContextPtr reader;
    handles::InputFormatPtr fmt;
    std::optional<platform::Failure> openFailure;
    bool opened = false;
    bool analysed = false;
    bool scanned = false;
    int64_t scannedDuration = AV_NOPTS_VALUE;
    // The headers' own average frame rate of each stream, as read before any
    // analysis (which estimates one from packet durations, and those can be
    // anything: one tick each in some Matroska files).
    std::vector<AVRational> headerRates;
    // The headers give a length that means "unknown" (all ones).
    bool lengthUnknown = false;
};

Asset::Asset(std::string path) : path_(std::move(path)), ctx_(std::make_unique<Context>()) {}
Asset::~Asset() = default;

// FFmpeg reads the input through these, from the descriptor opened once: its
// file protocol would open the path again, and that is what must not happen.
// Each reader keeps its own position (pread), so that two can read one file.
static int readInput(void* opaque, uint8_t* buf, int size) {
    auto* in = static_cast<InputFile*>(opaque);
    for (;;) {
        ssize_t n = ::pread(in->descriptor.get(), buf, size_t(size), off_t(in->position));
        if (n > 0) {
            in->position += n;
            return int(n);
        }
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

static int64_t seekInput(void* opaque, int64_t offset, int whence) {
    auto* in = static_cast<InputFile*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END && whence != AVSEEK_SIZE)
        return AVERROR(EINVAL);
    struct stat st {};
    if ((whence == AVSEEK_SIZE || whence == SEEK_END) && ::fstat(in->descriptor.get(), &st) != 0)
        return AVERROR(errno);
    if (whence == AVSEEK_SIZE) return int64_t(st.st_size);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? in->position : int64_t(st.st_size);
    if (offset > std::numeric_limits<int64_t>::max() - base || base + offset < 0)
        return AVERROR(EINVAL);
    in->position = base + offset;
    return in->position;
}

// Every file or URL a demuxer would open besides the input (a playlist's
// segments, a reference to media elsewhere) is refused.
static int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

// The name FFmpeg's probe is given: the input's extension on a fixed stem.
// The extension helps formats without a signature (raw streams); the rest of
// the name must not count, as the image-sequence demuxer reads patterns (%d,
// globs) in it and would outrank what the file holds.
static std::string probeName(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    bool plain =
        extension.size() > 1 && std::all_of(extension.begin() + 1, extension.end(),
                                            [](unsigned char ch) { return std::isalnum(ch) != 0; });
    return plain ? "input" + extension : "input";
}

static bool isSingleFileContainer(const char* demuxerNames) {
    return demuxerNames && av_match_list(demuxerNames, kSingleFileContainers, ',') > 0;
}

Result<AVFormatContext*> Asset::open() {
    using R = Result<AVFormatContext*>;
    Context& ctx = *ctx_;
    if (ctx.opened) {
        if (!ctx.fmt) return R(*ctx.openFailure);
        return ctx.fmt.get();
    }
    ctx.opened = true;
    av_log_set_level(AV_LOG_QUIET);
    auto failure = [&](std::string text, std::string step) {
        ctx.openFailure = platform::Failure{std::move(text), std::move(step)};
        return R(*ctx.openFailure);
    };

    if (!ctx.file.descriptor) {  // a second reader has its descriptor already
        auto file = files::openInput(path_);
        if (!file.ok()) return failure(file.error(), file.step());
        ctx.file.descriptor = std::move(file.value());
    }

    constexpr int kBufferSize = 32768;  // what FFmpeg's own file reader uses
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) return failure(errorText(AVERROR(ENOMEM)), "making the reader");
    void* opaque = &ctx.file;
    ctx.reader.reset(
        avio_alloc_context(buffer, kBufferSize, 0, opaque, readInput, nullptr, seekInput));
    if (!ctx.reader) {
        av_free(buffer);
        return failure(errorText(AVERROR(ENOMEM)), "making the reader");
    }

    // Which container the bytes are, decided before any demuxer runs: one
    // that is not on the list makes the file no media this reads.
    const std::string name = probeName(path_);
    const AVInputFormat* probed = nullptr;
    int rc = av_probe_input_buffer2(ctx.reader.get(), &probed, name.c_str(), nullptr, 0, 0);
    if (rc < 0) return failure(errorText(rc), "recognising the container");
    if (!isSingleFileContainer(probed->name))
        return failure(errorText(AVERROR_INVALIDDATA), std::string("recognising the container: ") +
                                                           probed->name +
                                                           " is not a single-file container");

    handles::InputFormatPtr unopened(avformat_alloc_context());
    if (!unopened) return failure(errorText(AVERROR(ENOMEM)), "opening the demuxer");
    unopened->pb = ctx.reader.get();
    unopened->flags |= AVFMT_FLAG_CUSTOM_IO;  // the reader is ours to free, not FFmpeg's
    unopened->io_open = refuseNestedOpen;
    // The same rule once more inside FFmpeg, whatever its own probe decides.
    rc = av_opt_set(unopened.get(), "format_whitelist", kSingleFileContainers, 0);
    if (rc >= 0) rc = av_opt_set(unopened.get(), "protocol_whitelist", "file", 0);
    if (rc < 0) return failure(errorText(rc), "opening the demuxer");
    // Probes again (the bytes are still in the reader's buffer) so that the
    // demuxer starts as FFmpeg starts it; the call frees the context when it fails.
    AVFormatContext* fmt = unopened.release();
    rc = avformat_open_input(&fmt, name.c_str(), nullptr, nullptr);
    if (rc < 0) return failure(errorText(rc), "reading the container headers");
    ctx.fmt.reset(fmt);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        ctx.headerRates.push_back(st->avg_frame_rate);
        // A fragmented MP4 written before its length was known may carry
        // all ones in its track headers (32-bit fields; a 64-bit one reads
        // as -1): no length, not 2^32 - 1 ticks.
        if (isQuickTimeFamily(fmt) && (st->duration == 0xFFFFFFFFLL || st->duration == -1))
            ctx.lengthUnknown = true;
    }
    return fmt;
}

// FFmpeg's duration of a container counts from its start time, except an
// ASF's: its play duration runs from the ASF's own 0, wherever the first
// packet lies.
static bool durationRunsFromZero(const AVFormatContext* fmt) {
    return std::string_view(fmt->iformat->name) == "asf";
}

struct DemuxerAccess {
    static Result<AVFormatContext*> open(Asset& asset) { return asset.open(); }
    static Result<std::unique_ptr<Asset>> secondReader(Asset& asset) {
        using R = Result<std::unique_ptr<Asset>>;
        auto opened = asset.open();
        if (!opened.ok()) return opened.failed();
        int fd = ::fcntl(asset.ctx_->file.descriptor.get(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return R::failure(errorText(AVERROR(errno)), "opening a second reader");
        auto second = std::make_unique<Asset>(asset.path_);
        second->ctx_->file.descriptor.reset(fd);
        return second;
    }
    static bool analyse(Asset& asset) {
        Asset::Context& ctx = *asset.ctx_;
        if (ctx.analysed || !ctx.fmt) return false;
        ctx.analysed = true;
        return avformat_find_stream_info(ctx.fmt.get(), nullptr) >= 0;
    }
    static std::optional<int64_t> announcedEnd(Asset& asset) {
        const AVFormatContext* fmt = asset.ctx_->fmt.get();
        if (!fmt || asset.ctx_->lengthUnknown || fmt->duration == AV_NOPTS_VALUE ||
            fmt->duration <= 0 || fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
            return std::nullopt;
        if (durationRunsFromZero(fmt)) return fmt->duration;
        return (fmt->start_time == AV_NOPTS_VALUE ? 0 : fmt->start_time) + fmt->duration;
    }
};

std::optional<int64_t> announcedEnd(Asset& asset) {
    return DemuxerAccess::announcedEnd(asset);
}

Result<AVFormatContext*> demuxer(Asset& asset) {
    return DemuxerAccess::open(asset);
}

bool seeksThroughIndex(const AVFormatContext* fmt) {
    return fmt->iformat->read_seek || fmt->iformat->read_seek2;
}

Result<std::unique_ptr<Asset>> secondReader(Asset& asset) {
    return DemuxerAccess::secondReader(asset);
}

bool analyse(Asset& asset) {
    return DemuxerAccess::analyse(asset);
}

static bool isTrackOf(const AVStream* st, MediaType type) {
    if (type == MediaType::audio) return st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

Result<std::vector<Track>> Asset::loadTracks(MediaType type) {
    auto opened = open();
    if (!opened.ok()) return Result<std::vector<Track>>::failure(opened.error());
    AVFormatContext* fmt = opened.value();
    auto collect = [&] {
        std::vector<Track> tracks;
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            if (isTrackOf(fmt->streams[i], type)) tracks.push_back(Track{int(i)});
        return tracks;
    };
    auto tracks = collect();
    // Containers without a header announce their streams only as packets come.
    if (tracks.empty() && (fmt->ctx_flags & AVFMTCTX_NOHEADER) && analyse(*this))
        tracks = collect();
    return tracks;
}

// Puts the demuxer back at the start (`start` in AV_TIME_BASE units, or
// unknown) after packets were read.
static void rewind(AVFormatContext* fmt, int64_t start) {
    if (avformat_seek_file(fmt, -1, std::numeric_limits<int64_t>::min(),
                           start != AV_NOPTS_VALUE ? start : 0, std::numeric_limits<int64_t>::max(),
                           0) < 0)
        avformat_seek_file(fmt, -1, 0, 0, 0, AVSEEK_FLAG_BYTE);
}

// The end of the last packet, in AV_TIME_BASE units after the start, read
// through the whole file (demuxing only; nothing is decoded); the demuxer is
// put back at the start afterwards.
static int64_t lastPacketEnd(AVFormatContext* fmt) {
    handles::PacketPtr packet(av_packet_alloc());
    if (!packet) return AV_NOPTS_VALUE;
    AVPacket* pkt = packet.get();
    int64_t start = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    while (av_read_frame(fmt, pkt) >= 0) {
        const AVStream* st = fmt->streams[pkt->stream_index];
        int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE && (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ||
                                     st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)) {
            int64_t from = av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q);
            int64_t to = av_rescale_q(ts + std::max<int64_t>(pkt->duration, 0), st->time_base,
                                      AV_TIME_BASE_Q);
            if (start == AV_NOPTS_VALUE || from < start) start = from;
            if (end == AV_NOPTS_VALUE || to > end) end = to;
        }
        av_packet_unref(pkt);
    }
    if (fmt->start_time != AV_NOPTS_VALUE) start = fmt->start_time;
    rewind(fmt, start);
    if (start == AV_NOPTS_VALUE || end == AV_NOPTS_VALUE || end <= start) return AV_NOPTS_VALUE;
    return end - start;
}

Result<double> Asset::loadDuration() {
    auto opened = open();
    if (!opened.ok()) return Result<double>::failure(opened.error());
    AVFormatContext* fmt = opened.value();
    if (fmt->duration == AV_NOPTS_VALUE && !ctx_->lengthUnknown) analyse(*this);
    bool announced = fmt->duration != AV_NOPTS_VALUE && !ctx_->lengthUnknown;
    if (!announced && !ctx_->scanned && (fmt->pb && (fmt->pb->seekable & AVIO_SEEKABLE_NORMAL))) {
        ctx_->scanned = true;
        ctx_->scannedDuration = lastPacketEnd(fmt);
    }
    if (!announced) {
        if (ctx_->scannedDuration == AV_NOPTS_VALUE)
            return std::numeric_limits<double>::quiet_NaN();
        return double(ctx_->scannedDuration) / AV_TIME_BASE;
    }
    // Times count from the container's start (its first packet), as the
    // frames and the export do.
    int64_t duration = fmt->duration;
    if (durationRunsFromZero(fmt)) {
        int64_t start = startTime();
        if (start > 0 && start < duration) duration -= start;
    }
    return double(duration) / AV_TIME_BASE;
}

static uint32_t bigEndianTag(uint32_t ffmpegTag) {
    // FFmpeg keeps the first character in the lowest byte.
    return ((ffmpegTag & 0xff) << 24) | ((ffmpegTag >> 8 & 0xff) << 16) |
           ((ffmpegTag >> 16 & 0xff) << 8) | (ffmpegTag >> 24);
}

static bool isFourCharacterCode(uint32_t tag) {
    for (int shift = 0; shift < 32; shift += 8) {
        unsigned byte = tag >> shift & 0xff;
        if (byte < 0x20 || byte > 0x7e) return false;
    }
    return (tag & 0xff) != ' ';
}

static bool isKnownRate(AVRational r) {
    return r.num > 0 && r.den > 0;
}

// A rate at or above the tick rate of the stream's time base says nothing
// about the pictures: FFmpeg's base rate of a stream with millisecond
// timestamps (WebM, ASF) is 1000, or 120 where the ticks look like that.
static bool isPlausibleRate(AVRational rate, AVRational timeBase) {
    return isKnownRate(rate) && isKnownRate(timeBase) && av_cmp_q(rate, av_inv_q(timeBase)) < 0 &&
           av_q2d(rate) <= 1000;
}

// The rate the presentation times of the stream's first pictures show: n
// frames over the n - 1 intervals between the first and the last of them.
// None with fewer than two times. The demuxer is put back at the start.
static std::optional<double> packetRate(AVFormatContext* fmt, int stream) {
    // Enough for the average of a variable rate (a screen recording's bursts
    // and pauses), bounded for long files: 20 s of 30 fps video.
    constexpr size_t kFrames = 600;
    constexpr int kPackets = 10000;  // of every stream, whatever is interleaved
    handles::PacketPtr packet(av_packet_alloc());
    if (!packet) return std::nullopt;
    AVPacket* pkt = packet.get();
    std::vector<int64_t> times;
    for (int read = 0; read < kPackets && times.size() < kFrames && av_read_frame(fmt, pkt) >= 0;
         ++read) {
        int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (pkt->stream_index == stream && ts != AV_NOPTS_VALUE) times.push_back(ts);
        av_packet_unref(pkt);
    }
    rewind(fmt, fmt->start_time);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    if (times.size() < 2) return std::nullopt;
    double span = double(times.back() - times.front()) * av_q2d(fmt->streams[stream]->time_base);
    if (!(span > 0)) return std::nullopt;
    return double(times.size() - 1) / span;
}

// The frame rate a player shows: the container's average where its headers
// give one; else what the pictures' timing shows (FFmpeg's own estimate from
// analysis where it agrees, so that 30000/1001 stays exactly that); else the
// stream's base rate where it is one (the VOL header's rate of a raw MPEG-4
// Part 2 stream), never in MP4/MOV, whose sample table is the rate; else 0.
static double frameRate(AVFormatContext* fmt, int stream, AVRational header) {
    const AVStream* st = fmt->streams[stream];
    if (isKnownRate(header)) return av_q2d(header);
    bool analysed = isPlausibleRate(st->avg_frame_rate, st->time_base);
    if (auto seen = packetRate(fmt, stream)) {
        if (analysed && std::fabs(*seen / av_q2d(st->avg_frame_rate) - 1) < 0.01)
            return av_q2d(st->avg_frame_rate);
        return *seen;
    }
    if (analysed) return av_q2d(st->avg_frame_rate);
    if (!isQuickTimeFamily(fmt) && isPlausibleRate(st->r_frame_rate, st->time_base))
        return av_q2d(st->r_frame_rate);
    return 0;
}

static bool isKnownAspect(AVRational r) {
    return r.num > 0 && r.den > 0;
}

double pixelAspect(const AVStream* st, int bitstreamNum, int bitstreamDen) {
    if (isKnownAspect(st->sample_aspect_ratio)) return av_q2d(st->sample_aspect_ratio);
    AVRational bitstream{bitstreamNum, bitstreamDen};
    if (isKnownAspect(bitstream)) return av_q2d(bitstream);
    if (isKnownAspect(st->codecpar->sample_aspect_ratio))
        return av_q2d(st->codecpar->sample_aspect_ratio);
    return 1.0;
}

bool statesPixelAspect(const AVStream* st) {
    return isKnownAspect(st->sample_aspect_ratio) ||
           isKnownAspect(st->codecpar->sample_aspect_ratio);
}

std::optional<std::string> unshowablePictures(const AVStream* st) {
    size_t size = 0;
    const uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DOVI_CONF, &size);
    if (!side || size < sizeof(AVDOVIDecoderConfigurationRecord)) return std::nullopt;
    const auto* dovi = reinterpret_cast<const AVDOVIDecoderConfigurationRecord*>(side);
    if (dovi->dv_profile == 5 && dovi->dv_bl_signal_compatibility_id == 0)
        return std::string("Dolby Vision profile 5 has no backward-compatible picture");
    return std::nullopt;
}

Transform displayTransform(const AVStream* st) {
    size_t size = 0;
    const uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!side || size < 9 * sizeof(int32_t)) return Transform{};
    int32_t matrix[9];
    std::memcpy(matrix, side, sizeof matrix);
    // Stored as in the container's track header: a b u / c d v / x y w, with a,
    // b, c, d, x, y in 16.16 fixed point.
    return Transform{matrix[0] / 65536.0, matrix[1] / 65536.0, matrix[3] / 65536.0,
                     matrix[4] / 65536.0, matrix[6] / 65536.0, matrix[7] / 65536.0};
}

Stretch displayStretch(const Transform& t) {
    double x = std::hypot(t.a, t.b), y = std::hypot(t.c, t.d);
    if (!(x > 0 && y > 0 && std::isfinite(x) && std::isfinite(y))) return Stretch{};
    return Stretch{x, y};
}

bool isQuickTimeFamily(const AVFormatContext* fmt) {
    return fmt->iformat &&
           std::string_view(fmt->iformat->name).find("mp4") != std::string_view::npos;
}

Result<handles::CodecContextPtr> openDecoder(const AVStream* st, DecoderThreads threads,
                                             PicturePool* pictures) {
    using R = Result<handles::CodecContextPtr>;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return R::failure(errorText(AVERROR_DECODER_NOT_FOUND));
    handles::CodecContextPtr dec(avcodec_alloc_context3(codec));
    if (!dec) return R::failure(errorText(AVERROR(ENOMEM)));
    int rc = avcodec_parameters_to_context(dec.get(), st->codecpar);
    if (rc >= 0) {
        dec->pkt_timebase = st->time_base;
        if (pictures) {
            dec->opaque = pictures;
            dec->get_buffer2 = PicturePool::getBuffer;
        }
        dec->thread_count = 0;  // as many as the machine has
        dec->thread_type = threads == DecoderThreads::framesAndSlices
                               ? FF_THREAD_FRAME | FF_THREAD_SLICE
                               : FF_THREAD_SLICE;
        rc = avcodec_open2(dec.get(), codec, nullptr);
    }
    if (rc < 0) return R::failure(errorText(rc));
    return dec;
}

Result<TrackMetadata> Asset::loadTrackMetadata(Track track) {
    auto opened = open();
    if (!opened.ok()) return Result<TrackMetadata>::failure(opened.error());
    AVFormatContext* fmt = opened.value();
    if (track.stream < 0 || unsigned(track.stream) >= fmt->nb_streams)
        return Result<TrackMetadata>::failure(errorText(AVERROR(EINVAL)));
    AVStream* st = fmt->streams[track.stream];
    AVCodecParameters* par = st->codecpar;
    // Streams that appeared after the headers (analysis, packets read) have no
    // rate from the headers.
    ctx_->headerRates.resize(fmt->nb_streams, AVRational{0, 0});
    if (par->width <= 0 || par->height <= 0 ||
        !isKnownRate(ctx_->headerRates[size_t(track.stream)]))
        analyse(*this);

    TrackMetadata m;
    m.naturalWidth = par->width * pixelAspect(st);
    m.naturalHeight = par->height;

    m.preferredTransform = displayTransform(st);
    m.nominalFrameRate =
        float(frameRate(fmt, track.stream, ctx_->headerRates[size_t(track.stream)]));

    uint32_t tag = isQuickTimeFamily(fmt) ? par->codec_tag : 0;
    if (tag == 0 && par->codec_id != AV_CODEC_ID_NONE) {
        // No sample entry in this container: the code an MPEG-4 file would use;
        // for codecs no MPEG-4 file carries, the code FFmpeg's MOV writer keeps
        // when it copies the stream (the container's own four-character code,
        // RealVideo's "RV10"), else the one AVI files name it by (Sorenson
        // Spark in FLV, which has no code of its own).
        const AVCodecTag* const mov[] = {avformat_get_mov_video_tags(), nullptr};
        const AVCodecTag* const riff[] = {avformat_get_riff_video_tags(), nullptr};
        tag = av_codec_get_tag(mov, par->codec_id);
        if (tag == 0 && isFourCharacterCode(par->codec_tag)) tag = par->codec_tag;
        if (tag == 0) tag = av_codec_get_tag(riff, par->codec_id);
    }
    if (tag != 0) m.formatSubtypes.push_back(bigEndianTag(tag));
    return m;
}

int64_t Asset::startTime() {
    auto opened = open();
    if (!opened.ok()) return 0;
    AVFormatContext* fmt = opened.value();
    // An MP4 or QuickTime movie's timeline starts at 0 by definition (an empty
    // edit before a track is part of what it presents). Other containers say
    // where their first packet lies only in the packets (Matroska's first
    // cluster, an ASF's preroll, a transport stream's clock): analysis, which
    // FFmpeg's start time comes from, is run for it.
    if (isQuickTimeFamily(fmt)) return 0;
    if (fmt->start_time == AV_NOPTS_VALUE) analyse(*this);
    return fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
}

// Seconds since 1970 of a date and time of day in the forms FFmpeg's
// demuxers give (ISO 8601, "YYYY-MM-DD HH:MM:SS"); a year alone is no moment.
static std::optional<int64_t> momentOf(const AVDictionaryEntry* e) {
    if (!e || !e->value || !*e->value) return std::nullopt;
    std::string_view text(e->value);
    if (text.size() < 16 || text[4] != '-' || text[7] != '-') return std::nullopt;
    int64_t us = 0;
    if (av_parse_time(&us, e->value, 0) < 0) return std::nullopt;
    return us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
}

std::optional<int64_t> Asset::creationTime() {
    AVFormatContext* fmt = ctx_->fmt.get();
    if (!fmt) return std::nullopt;
    // The QuickTime demuxer names the user-data date (\251day) "date".
    for (const char* key : {"com.apple.quicktime.creationdate", "date", "creation_time"})
        if (auto moment = momentOf(av_dict_get(fmt->metadata, key, nullptr, AV_DICT_MATCH_CASE)))
            return moment;
    // Matroska without a DateUTC: a CREATION_TIME tag of the segment, else of
    // a track (the first video track's first), as muxers write it per track.
    if (std::string_view(fmt->iformat->name).find("matroska") == std::string_view::npos)
        return std::nullopt;
    if (auto moment = momentOf(av_dict_get(fmt->metadata, "creation_time", nullptr, 0)))
        return moment;
    for (bool video : {true, false})
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            const AVStream* st = fmt->streams[i];
            if ((st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) != video) continue;
            if (auto moment = momentOf(av_dict_get(st->metadata, "creation_time", nullptr, 0)))
                return moment;
        }
    return std::nullopt;
}

}  // namespace media
