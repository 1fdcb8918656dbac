#include "handles/ffmpeg.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace handles {

void InputFormatFree::operator()(AVFormatContext* f) const noexcept {
    avformat_close_input(&f);
}

void IOContextFree::operator()(AVIOContext* c) const noexcept {
    // FFmpeg may have replaced the buffer it was given: free the one it holds now.
    av_freep(&c->buffer);
    avio_context_free(&c);
}

void OutputFormatFree::operator()(AVFormatContext* f) const noexcept {
    if (f->pb && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
    avformat_free_context(f);
}

}  // namespace handles
