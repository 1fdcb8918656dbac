// Media assets: a file opened by path, its tracks, duration and track
// metadata, read from the container headers through FFmpeg's demuxers.
//
// An Asset opens nothing when it is made; the first load opens the file and
// reads its headers. Stream analysis (which may decode a few packets) runs only
// when the headers lack what a load needs: a track list, a duration, or a
// video track's size or frame rate.
//
// An asset is the one file at its path and nothing else. The path is opened
// once, as a regular file (files::openInput: a FIFO, device, socket or
// directory fails at once), and FFmpeg reads that descriptor alone. The file
// must be one of the single-file containers below; a playlist, a concat
// script, an image-sequence pattern or any other format that names other
// files or URLs is no media, and no demuxer may open another file or URL
// (every such open is refused). A name is only a name: "clip%d.mp4" is the
// file called that.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "result/result.h"

struct AVFormatContext;

namespace media {

// The containers an asset may be, as a list for FFmpeg's format_whitelist:
// each holds its whole presentation in its one file. FFmpeg compares the list
// element by element with a demuxer's own name list ("mov,mp4,m4a,3gp,3g2,mj2"
// matches through "mov"), so one of a demuxer's names is enough.
extern const char* const kSingleFileContainers;

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

// For a process that decodes pictures, called first thing in its main:
// allocations up to 32 MiB (a decoder's tables, colour conversion's buffers)
// come from the heap, whose first 64 MiB are advised as huge pages.
void heapInHugePages();

class Asset {
  public:
    explicit Asset(std::string path);
    ~Asset();
    Asset(const Asset&) = delete;
    Asset& operator=(const Asset&) = delete;

    const std::string& path() const { return path_; }

    // Tracks of a media type in container order. Video tracks exclude attached
    // pictures (cover art is not a track).
    platform::Result<std::vector<Track>> loadTracks(MediaType type);
    // Duration in seconds: the container's, or where its headers have none
    // (Matroska and WebM written while recording) the end of the last packet
    // after the start; NaN when neither is known.
    platform::Result<double> loadDuration();
    platform::Result<TrackMetadata> loadTrackMetadata(Track track);
    // The moment of capture in whole seconds since 1970 (UTC), from the first
    // of these that reads as a date and time: the QuickTime metadata item
    // com.apple.quicktime.creationdate (its zone honoured), the user-data date
    // (\251day), the container's creation time (mvhd, Matroska DateUTC).
    std::optional<int64_t> creationTime();
    // Where the container's timeline starts, in microseconds: time 0 of every
    // time asked for and of the export, as a player's timeline starts there.
    // 0 in MP4/MOV (the movie's own timeline); elsewhere the demuxer's start
    // time, the earliest packet of its tracks (sound or data that starts
    // before the picture included), found by stream analysis where the
    // headers do not say it; 0 when unknown.
    int64_t startTime();

  private:
    // The way in for media/demuxer.h (frames and exporter read the demuxer
    // through it); defined where the asset is.
    friend struct DemuxerAccess;
    platform::Result<AVFormatContext*> open();

    std::string path_;
    struct Context;
    std::unique_ptr<Context> ctx_;
};

}  // namespace media
