// Export sessions: an asset re-encoded into a movie file with a fixed preset.
//
// A session is made for one asset and one preset. Making it opens the decoders
// and encoders the preset needs and prepares the muxer, without touching any
// file; exporting then writes the movie to a path. The asset must outlive its
// session; nothing else may read its packets meanwhile.
//
// The 1920x1080 preset:
//  - video: H.264 (libx264), High profile, 8-bit 4:2:0, square pixels, scaled
//    down (never up) to fit within 1920x1080, or 1080x1920 for a frame taller
//    than wide, keeping the display aspect ratio, even dimensions; every frame's
//    timestamp is carried over, so a variable frame rate stays variable; the
//    display matrix is carried over (pixels are not rotated); SDR keeps its
//    colour tags, HDR and wide-gamut sources are tone-mapped to SDR and
//    tagged BT.709 (colour.h); a Dolby Vision profile 5 source has no session;
//  - audio: of the audio tracks that decode (any kind FFmpeg decodes; tracks
//    the headers do not name are analysed first), the default-flagged one,
//    else the first, as AAC, at the source rate when AAC has it (48 kHz
//    otherwise), mono for mono sources and stereo for everything else, 128
//    kb/s mono and 160 kb/s stereo; a track
//    that has packets of which none decodes fails the export (never a movie
//    without its sound);
//  - timing: output times count from the input's start (Asset::startTime);
//    the last frame lasts until the end the container announces;
//  - subtitles, data tracks, further tracks and cover art are dropped;
//  - the container's metadata (creation time included) is carried over, and an
//    MPEG-4 file gets its index before the media data (progressive playback).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "media/asset.h"
#include "result/result.h"

namespace exporter {

enum class ExportPreset { hd1920x1080 };
enum class FileType { mpeg4 };

class ExportSession {
  public:
    // A session, or why the preset cannot be applied to the asset: the file
    // cannot be opened, it has no video track, or no decoder, encoder or muxer
    // can be set up for it. The failure names the step ("opening the H.264
    // encoder") beside FFmpeg's text.
    static platform::Result<std::unique_ptr<ExportSession>> create(media::Asset& asset,
                                                                   ExportPreset preset);
    ~ExportSession();
    ExportSession(const ExportSession&) = delete;
    ExportSession& operator=(const ExportSession&) = delete;

    // Asked between packets and during file I/O; once it answers true the
    // export stops with "Immediate exit requested".
    void setInterruptCheck(std::function<bool()> interrupted);

    // Told how far the export is, on the exporting thread between packets:
    // 0 once the file is begun, then each time it grows, the latest
    // presentation time encoded over the input's duration (read through the
    // packets when the headers have none). A fraction that never goes back
    // and stays below 1 whatever the timestamps do; exportTo's return is the
    // end. An input whose duration cannot be found reports only the 0.
    void setProgressHandler(std::function<void(double)> progress);

    // Writes the movie to `path` (a file name, used literally; an existing file
    // is overwritten). On failure, FFmpeg's error text (or the colour
    // conversion's) and the step. A failed export leaves what it had written so
    // far; it is not a valid movie.
    platform::Result<void> exportTo(const std::string& path, FileType type);

  private:
    ExportSession();
    struct Pipeline;
    std::unique_ptr<Pipeline> p_;
};

}  // namespace exporter
