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

#include "result.h"

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

struct TrackMetadata {
    double naturalWidth = 0;   // coded width with the sample aspect ratio applied
    double naturalHeight = 0;  // coded height
    Transform preferredTransform;
    float nominalFrameRate = 0;  // average frame rate; 0 when unknown
    // Media subtype codes of the track's format descriptions, as big-endian
    // four-character codes ('avc1' == 0x61766331). Empty when there is none.
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
    // Duration in seconds; NaN when the container does not know it.
    Result<double> loadDuration();
    Result<TrackMetadata> loadTrackMetadata(Track track);
    // The container's creation time in whole seconds since 1970 (UTC), when
    // present and readable.
    std::optional<int64_t> creationTime();

    // The opened demuxer, for services that read packets (frames, export).
    // Null until a load has opened the file successfully.
    AVFormatContext* formatContext() const;

  private:
    Result<AVFormatContext*> open();
    bool analyse();

    std::string path_;
    struct Context;
    std::unique_ptr<Context> ctx_;
};

}  // namespace media
