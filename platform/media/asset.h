// Media assets: a file opened by path, its tracks, duration and track
// metadata, read from the container headers through FFmpeg's demuxers.
//
// An Asset opens nothing when it is made; the first load opens the file and
// reads its headers. Stream analysis (which may decode a few packets) runs only
// when the headers lack what a load needs: a track list, a duration, or a
// video track's size or frame rate.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct AVFormatContext;
struct AVStream;

#include "result/result.h"

namespace media {

// A value or the library's error text.
template <class T>
using Result = platform::Result<T>;

// FFmpeg's text for an AVERROR code, without a trailing newline.
std::string errorText(int averror);

enum class MediaType { video, audio };

// One track of an asset: the index of its stream in the container.
struct Track {
    int stream = -1;
};

// The linear part and translation of a track's display matrix, in the usual
// (a, b, c, d, tx, ty) reading: x' = a x + c y + tx, y' = b x + d y + ty.
struct Transform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
};

// Width over height of one pixel as the picture is presented: the container's
// own presentation size or aspect box where it has one (MP4/MOV track header
// and 'pasp', Matroska DisplayWidth/DisplayHeight, MXF and AVI descriptors),
// else what the bitstream says (`bitstream`, a frame's or the codec
// parameters'), else 1. Probe, frames and export all size pictures by it.
double pixelAspect(const AVStream* stream, int bitstreamNum = 0, int bitstreamDen = 0);

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

struct TrackMetadata {
    double naturalWidth = 0;   // coded width with the pixel aspect applied
    double naturalHeight = 0;  // coded height
    Transform preferredTransform;
    float nominalFrameRate = 0;  // average frame rate; 0 when unknown
    // Media subtype codes of the track's format descriptions, as big-endian
    // four-character codes ('avc1' == 0x61766331). MP4 and QuickTime files give
    // their sample entry's code; every other container (Matroska, MPEG-TS and
    // -PS, AVI, ASF, FLV, ...), whose codec fields are no such code or another
    // registry's, gives the code an MPEG-4 file carries for the codec. Empty
    // when there is none.
    std::vector<uint32_t> formatSubtypes;
};

class Asset {
  public:
    explicit Asset(std::string path);
    ~Asset();
    Asset(const Asset&) = delete;
    Asset& operator=(const Asset&) = delete;

    const std::string& path() const { return path_; }

    // Tracks of a media type in container order. Video tracks exclude attached
    // pictures (cover art is not a track).
    Result<std::vector<Track>> loadTracks(MediaType type);
    // Duration in seconds: the container's, or where its headers have none
    // (Matroska and WebM written while recording) the end of the last packet
    // after the start; NaN when neither is known.
    Result<double> loadDuration();
    Result<TrackMetadata> loadTrackMetadata(Track track);
    // The moment of capture in whole seconds since 1970 (UTC), from the first
    // of these that reads as a date and time: the QuickTime metadata item
    // com.apple.quicktime.creationdate (its zone honoured), the user-data date
    // (\251day), the container's creation time (mvhd, Matroska DateUTC).
    std::optional<int64_t> creationTime();
    // Where the container's timeline starts, in microseconds: the demuxer's
    // start time, found by stream analysis in an ASF, whose headers do not say
    // it (an ASF whose first picture is 0.6 s in); 0 when unknown.
    int64_t startTime();

    // The opened demuxer, for services that read packets (frames, export).
    // Null until a load has opened the file successfully.
    AVFormatContext* formatContext() const;
    // Reads a few packets to learn what the headers did not say (sizes, sample
    // formats, the bitstream's pixel aspect). Runs at most once per asset;
    // false when it ran before, or failed.
    bool analyse();

  private:
    Result<AVFormatContext*> open();

    std::string path_;
    struct Context;
    std::unique_ptr<Context> ctx_;
};

}  // namespace media
