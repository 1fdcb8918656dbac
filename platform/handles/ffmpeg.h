// Owning handles for what the services get from FFmpeg (libavcodec,
// libavformat, libavutil, libswscale, libswresample).
//
// Every library handle a service holds is a std::unique_ptr with one of the
// deleters below (or a guard of the same shape), so every early return frees
// what was made. The library types are only declared here: a service includes
// the library's own headers.
#pragma once

#include <cstdint>
#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;
struct AVAudioFifo;
struct SwsContext;
struct SwrContext;

namespace handles {

// ---- FFmpeg (libavcodec, libavutil, libswscale, libswresample)

struct CodecContextFree {
    void operator()(AVCodecContext* c) const noexcept;
};
struct FrameFree {
    void operator()(AVFrame* f) const noexcept;
};
struct PacketFree {
    void operator()(AVPacket* p) const noexcept;
};
struct DictionaryFree {
    void operator()(AVDictionary* d) const noexcept;
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* f) const noexcept;
};
struct ScalerFree {
    void operator()(SwsContext* s) const noexcept;
};
struct ResamplerFree {
    void operator()(SwrContext* s) const noexcept;
};
struct AvBufferFree {
    void operator()(void* p) const noexcept;
};  // av_malloc'd memory

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFree>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFree>;
using AvBufferPtr = std::unique_ptr<uint8_t, AvBufferFree>;

// ---- FFmpeg formats (libavformat)

// An input file's demuxer, closed with its file (a reader of the caller's own,
// made with avio_alloc_context, is the caller's to free, after the demuxer).
struct InputFormatFree {
    void operator()(AVFormatContext* f) const noexcept;
};
// A reader made with avio_alloc_context, freed with its buffer.
struct IOContextFree {
    void operator()(AVIOContext* c) const noexcept;
};
// A muxer and, once opened, its output file: the file is closed, then the muxer freed.
struct OutputFormatFree {
    void operator()(AVFormatContext* f) const noexcept;
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatFree>;
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextFree>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;

}  // namespace handles
