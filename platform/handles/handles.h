// Owning handles for what the services get from their libraries.
//
// Every library handle a service holds is a std::unique_ptr with one of the
// deleters below (or a guard of the same shape), so every early return frees
// what was made. The library types are only declared here: a service includes
// its library's own headers, and links only the part of platform_handles it uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "result/result.h"

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

// ---- GLib

// A string GLib handed over (g_free'd).
struct GlibFree {
    void operator()(char* p) const noexcept;
};
using GlibString = std::unique_ptr<char, GlibFree>;

// A GObject reference (g_object_unref'd), such as a libvips source.
struct GObjectUnref {
    void operator()(void* object) const noexcept;
};

// ---- POSIX file descriptors

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;
    // Closes now and says whether the close succeeded (errno otherwise): a
    // written file's last error can show only here.
    bool close() noexcept;

  private:
    int fd_ = -1;
};

// A C stdio stream (fclose'd).
struct FileClose {
    void operator()(std::FILE* file) const noexcept;
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

}  // namespace handles

// ---- Xlib
//
// Xlib's own header is not included here: its macros (None, Bool, Status, ...)
// break other code. Displays are `_XDisplay*` (what Xlib calls Display*), X
// resource ids (windows, pixmaps, colormaps, atoms) are `unsigned long`.
struct _XDisplay;

namespace handles {

// The 32-bit items (at most `maxItems`) of a window's property when it has the
// given type and format 32; empty when the window lacks it, holds another type
// or format, or is gone. Property data is XFree'd here.
std::vector<unsigned long> windowProperty32(_XDisplay* dpy, unsigned long window,
                                            unsigned long property, unsigned long type,
                                            long maxItems = 1);

// An X resource freed on the display that made it. release() forgets it without
// a request, for a connection that is already broken.
template <class Free>
class XResource {
  public:
    XResource() = default;
    XResource(_XDisplay* dpy, unsigned long id) : dpy_(dpy), id_(id) {}
    ~XResource() { reset(); }
    XResource(XResource&& other) noexcept : dpy_(other.dpy_), id_(other.release()) {}
    XResource& operator=(XResource&& other) noexcept {
        if (this != &other) {
            reset();
            dpy_ = other.dpy_;
            id_ = other.release();
        }
        return *this;
    }
    XResource(const XResource&) = delete;
    XResource& operator=(const XResource&) = delete;

    unsigned long get() const { return id_; }
    explicit operator bool() const { return id_ != 0; }
    unsigned long release() {
        unsigned long id = id_;
        id_ = 0;
        return id;
    }
    void reset() noexcept {
        if (id_ != 0) Free{}(dpy_, id_);
        id_ = 0;
    }

  private:
    _XDisplay* dpy_ = nullptr;
    unsigned long id_ = 0;
};

struct XWindowFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
struct XPixmapFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
struct XColormapFree {
    void operator()(_XDisplay* dpy, unsigned long id) const noexcept;
};
using XWindow = XResource<XWindowFree>;      // XDestroyWindow
using XPixmap = XResource<XPixmapFree>;      // XFreePixmap
using XColormap = XResource<XColormapFree>;  // XFreeColormap

// Memory Xlib handed over (XFree'd).
struct XMemoryFree {
    void operator()(void* p) const noexcept;
};
template <class T>
using XMemory = std::unique_ptr<T, XMemoryFree>;

}  // namespace handles
