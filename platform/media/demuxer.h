// The demuxer behind an asset, what its streams say, and their decoders with
// the pictures they decode into, for the services that read packets:
// platform/frames and platform/exporter only. The tools and the tests see an
// asset through media/asset.h alone.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "handles/ffmpeg.h"
#include "media/asset.h"
#include "result/result.h"

struct AVBufferPool;
struct AVBufferRef;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVStream;

namespace media {

// FFmpeg's text for an AVERROR code, without a trailing newline.
std::string errorText(int averror);

// The asset's demuxer, opened by the first call (or the first load) with the
// headers read; the asset keeps owning it. FFmpeg's text when the file cannot
// be opened.
platform::Result<AVFormatContext*> demuxer(Asset& asset);

// Whether the demuxer seeks with a seek of its own, through the index its
// headers give (MP4, MOV, Matroska, AVI), rather than by searching the file
// for a timestamp (MPEG-TS and -PS, raw streams), which may take several
// tries to land before a keyframe.
bool seeksThroughIndex(const AVFormatContext* fmt);

// A second asset over the same opened file, with a demuxer of its own, for
// reading two places of the file at once (on two threads: each asset is used
// by one at a time). It reads a duplicate of the first one's descriptor: the
// path is not opened again. The first asset's text when it cannot be opened.
platform::Result<std::unique_ptr<Asset>> secondReader(Asset& asset);

// Reads a few packets to learn what the headers did not say (sizes, sample
// formats, the bitstream's pixel aspect). Runs at most once per asset (a
// second run on the same demuxer is unsafe); false when it ran before, failed,
// or nothing is open.
bool analyse(Asset& asset);

// Where the container says its presentation ends, in AV_TIME_BASE units on
// the demuxer's timeline (its start plus its length; an ASF's length counts
// from 0). None when the headers
// give no length or the all-ones "unknown" of a fragmented MP4, or FFmpeg
// guessed it from the bit rate.
std::optional<int64_t> announcedEnd(Asset& asset);

// Width over height of one pixel as the picture is presented: the container's
// own presentation size or aspect box where it has one (MP4/MOV track header
// and 'pasp', Matroska DisplayWidth/DisplayHeight, MXF and AVI descriptors),
// else what the bitstream says (`bitstream`, a frame's or the codec
// parameters'), else 1. Probe, frames and export all size pictures by it.
double pixelAspect(const AVStream* stream, int bitstreamNum = 0, int bitstreamDen = 0);
// Whether the headers state the pixel aspect (the container's or the codec
// parameters'); when they do not, the bitstream's is known only from decoding.
bool statesPixelAspect(const AVStream* stream);

// The display matrix of a stream as its container stores it; the identity
// when there is none.
Transform displayTransform(const AVStream* stream);

// How far a display matrix stretches the picture's own x and y axes: 1 and 1
// for turns and mirror images. Some phones scale in the matrix (a 90-degree
// turn that also squeezes x); the displayed size, in probe, frames and export
// alike, is the natural size stretched so.
struct Stretch {
    double x = 1, y = 1;
};
Stretch displayStretch(const Transform& transform);

// Whether the container is of the MPEG-4 / QuickTime family (sample entries,
// edit lists, a sample index).
bool isQuickTimeFamily(const AVFormatContext* fmt);

// Why a video stream's pictures cannot be shown as it stands, or none: a
// Dolby Vision profile 5 stream has no backward-compatible base layer (its
// pictures need the enhancement's reshaping, which FFmpeg 5.1 does not do, and
// come out green and purple without it).
std::optional<std::string> unshowablePictures(const AVStream* stream);

// How a decoder spreads its work over the processors.
enum class DecoderThreads {
    // Several frames at once, and the slices of a frame where it has several,
    // on as many threads as the machine has: the fastest through a whole
    // stream, at the cost of a set of pictures per thread and a few frames'
    // delay before the first comes out.
    framesAndSlices,
    // The slices of one frame at once, and the rows of a frame coded in
    // wavefronts (one thread for a frame of one slice): no delay and no
    // pictures beyond the stream's own.
    slices,
};

// Pictures for a decoder to decode into, laid out as FFmpeg lays out its own
// and zeroed as its own are when new, but large ones in huge pages that the
// kernel zeroes (no second clearing, one page fault for 2 MiB instead of 512).
// A pool serves one decoder (its opaque) and must outlive it; pictures still
// held when the pool goes keep their memory until they are freed.
class PicturePool {
  public:
    PicturePool() = default;
    ~PicturePool();
    PicturePool(const PicturePool&) = delete;
    PicturePool& operator=(const PicturePool&) = delete;

    // AVCodecContext::get_buffer2 for a decoder whose opaque is the pool;
    // FFmpeg's own for hardware, palette and non-DR1 cases. Thread-safe.
    static int getBuffer(AVCodecContext* context, AVFrame* frame, int flags);

    // Hands the pictures no one holds back to the system; the next picture
    // starts a new pool.
    void release();

  private:
    AVBufferRef* take(size_t size);
    std::mutex mutex_;
    AVBufferPool* pool_ = nullptr;
    size_t size_ = 0;
};

// A decoder opened for the stream, decoding into `pictures` when given (which
// must outlive it). FFmpeg's text when there is none for the codec or it
// cannot be opened.
platform::Result<handles::CodecContextPtr> openDecoder(const AVStream* stream,
                                                       DecoderThreads threads,
                                                       PicturePool* pictures = nullptr);

}  // namespace media
