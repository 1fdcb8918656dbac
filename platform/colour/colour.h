// Colour management of decoded video: wide-gamut and high-dynamic-range
// pictures brought to standard dynamic range with BT.709 primaries.
//
// What a frame is comes from its own tags (matrix, range, primaries, transfer)
// and, for the highlights, from the stream's mastering-display and
// content-light metadata. A frame needs management when its transfer is HLG or
// PQ or its primaries are wider than BT.709 (BT.2020, DCI-P3); everything else
// (BT.709, BT.601 / SMPTE 170M, sRGB, untagged) is standard video whose code
// values are shown as they are, and takes no part in this service.
//
// The conversion, with zimg (the library behind FFmpeg's zscale filter) and
// FFmpeg's tonemap filter:
//  1. zimg: YUV to linear-light RGB in 32-bit float with BT.709 primaries,
//     resized (Lanczos) to the output size. HLG goes through its EOTF with SDR
//     white at 100 cd/m2, PQ with its reference white at 203 cd/m2 (ITU-R
//     BT.2408), so that 1.0 is SDR white in both;
//  2. colours outside BT.709 (a negative component) are desaturated towards
//     their own luminance until they fit, keeping hue and luminance;
//  3. above SDR white, tonemap's "mobius" operator compresses highlights into
//     range: linear below its knee, so in-range material keeps its contrast and
//     colour, and hue-preserving (it scales the three components alike). The
//     peak it maps to white is the picture's own brightest value, bounded by
//     the stream's content-light (MaxCLL) or mastering-display maximum;
//  4. zimg: back to the BT.709 transfer at 8 bits, as packed full-range RGB
//     (stills) or limited-range BT.709 YUV 4:2:0 (encoding).
//
// libavfilter (for step 3) is loaded on first use only, or in the background
// for a stream whose metadata announces highlights (preloadToneMapping):
// loading it and its dependencies costs more than decoding a poster, and
// pictures without highlights, standard video above all, never need it.
//
// For platform/frames and platform/exporter, like media/demuxer.h.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "result/result.h"

struct AVFrame;
struct AVStream;

namespace media {

// Whether a frame with these tags needs management (HLG, PQ, or primaries
// wider than BT.709).
bool needsColourManagement(const AVFrame* frame);
// The same for a stream's tags (FFmpeg's AVColorTransferCharacteristic and
// AVColorPrimaries numbering).
bool isHdrOrWideGamut(int transfer, int primaries);

// Begins loading the tone-mapping library in the background for an HLG or
// PQ stream whose metadata (content light level, mastering display) says its
// highlights go past SDR white, so that loading overlaps decoding instead of
// following it. Nothing else changes: pictures that need no tone mapping
// still use none, and other streams load the library when a picture needs it.
void preloadToneMapping(const AVStream* stream);

// The pixel format with a full-range alias (the YUVJ formats) replaced by its
// plain twin, which libswscale and zimg take with the range set to full; any
// other format as it is.
int withoutFullRangeAlias(int format);

// The brightest value the metadata allows, relative to the reference white of
// the picture's transfer (1.0 is SDR white): the content light level (MaxCLL)
// or else the mastering display's maximum, from the stream's headers or else
// from the picture's own side data (`frame` may be null); none when neither
// says.
std::optional<double> metadataPeak(const AVStream* stream, const AVFrame* frame);

enum class ColourTarget {
    rgb24,       // packed 8-bit RGB, full range, for stills
    yuv420pSdr,  // 8-bit YUV 4:2:0, limited range, BT.709 matrix, for the encoder
};

enum class PeakPolicy {
    perFrame,    // each picture's own peak (stills are looked at one by one)
    runningMax,  // the highest peak seen so far, never falling (video does not flicker)
};

class ColourConverter {
  public:
    // Output size `width` x `height`; `metadata` from metadataPeak.
    ColourConverter(int width, int height, ColourTarget target, PeakPolicy policy,
                    std::optional<double> metadata);
    ~ColourConverter();
    ColourConverter(const ColourConverter&) = delete;
    ColourConverter& operator=(const ColourConverter&) = delete;

    // The frame converted; the caller owns the result (av_frame_free). Its
    // timestamps and properties are copied from the input; its colour tags say
    // BT.709.
    platform::Result<AVFrame*> convert(const AVFrame* frame);

    // The peak the last conversion mapped to white (1.0: no tone mapping).
    double lastPeak() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace media
