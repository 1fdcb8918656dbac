// Still frames of a video at exact times, as a player would show them.
//
// A Generator grabs from the first video track of an asset. The frame for a
// time t is the last frame whose presentation time is at or before t (the
// first frame for a time before it, the last frame for a time at or past the
// end). It is found by seeking to the keyframe before t and decoding forward;
// grabs at ascending times continue decoding from where the previous grab
// stopped whenever that is cheaper than a new seek, with the same result.
// Packets are read a little ahead of the decoder, so that what they say of
// their presentation times decides before decoding whether a frame can be
// shown: frames that no other frame refers to and that no request shows are
// not decoded at all.
//
// Every frame comes out in display orientation (the track's display matrix
// applied, mirrored cases included), with square pixels, fitted into a
// maxEdge x maxEdge box and converted to 8-bit sRGB honouring the stream's
// colour matrix and range, all resampling with a Lanczos filter. HDR and
// wide-gamut pictures (HLG, PQ, BT.2020 / P3 primaries) are tone-mapped and
// gamut-mapped to SDR BT.709 first (colour.h).
//
// Pictures shown before the first keyframe decoded since a seek (their
// references lost, filled in grey by the decoder) are never taken.
//
// Times count from the container's start (media::Asset::startTime), as on a
// player's timeline, also where sound or data begin before the picture. A
// track without any packet fails every grab with "the video track has no
// frames"; a Dolby Vision profile 5 track (no backward-compatible picture)
// fails them with "Dolby Vision profile 5 has no backward-compatible picture".
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/asset.h"
#include "result/result.h"

namespace frames {

// An 8-bit RGB image: rows of width R, G, B byte triples, top row first.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// What the grabs of a generator have cost so far: for diagnostics and
// benchmarks, never part of a tool's output.
struct DecodeStats {
    // Frames the decoder put out, by picture type.
    int64_t intra = 0, predicted = 0, bidirectional = 0, other = 0;
    // Of those, the frames decoded only because others refer to them: no
    // request could show them.
    int64_t referencesOnly = 0;
    int64_t seeks = 0;
    // Wall time spent demuxing and decoding, and scaling, converting and
    // turning the frames taken.
    double decodeSeconds = 0, conversionSeconds = 0;

    int64_t decoded() const { return intra + predicted + bidirectional + other; }
};

// Nearest whole number, halves away from zero.
int64_t roundedSize(double value);

// The image resampled to width x height (both at least 1) with a Lanczos filter.
platform::Result<Image> resized(const Image& image, int width, int height);

class Generator {
  public:
    // `maxEdge` > 0 bounds both sides of every frame (never enlarging); 0 or less
    // leaves the displayed size. Nothing is opened until the first grab.
    Generator(media::Asset& asset, int64_t maxEdge);
    ~Generator();
    Generator(Generator&&) noexcept;
    Generator& operator=(Generator&&) = delete;

    // The times that will be asked for next, in this order (a poster's one
    // time, the samples of a frames run). Frames that none of them shows are
    // then never decoded, and decoding stops at the frame of the last time of
    // a keyframe interval instead of running on to the next frame. A time
    // asked for out of the plan is answered all the same, from a new seek, and
    // ends the plan.
    void plan(const std::vector<double>& seconds);

    // The frame shown at `seconds`, taken in steps of 1/600 s, or the decoder's
    // or demuxer's error text.
    platform::Result<Image> copyFrame(double seconds);

    DecodeStats stats() const;

  private:
    friend int64_t decodedFrames(const Generator& generator);  // frames/testing.h
    struct State;
    struct Lane;
    std::unique_ptr<State> s_;
};

}  // namespace frames
