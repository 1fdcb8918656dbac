#include "handles/handles.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace handles {

void InputFormatFree::operator()(AVFormatContext* f) const noexcept { avformat_close_input(&f); }

void OutputFormatFree::operator()(AVFormatContext* f) const noexcept {
    if (f->pb && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
    avformat_free_context(f);
}

}  // namespace handles
