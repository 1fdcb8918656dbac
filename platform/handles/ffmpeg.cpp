#include "handles/ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace handles {

void CodecContextFree::operator()(AVCodecContext* c) const noexcept {
    avcodec_free_context(&c);
}
void FrameFree::operator()(AVFrame* f) const noexcept {
    av_frame_free(&f);
}
void PacketFree::operator()(AVPacket* p) const noexcept {
    av_packet_free(&p);
}
void DictionaryFree::operator()(AVDictionary* d) const noexcept {
    av_dict_free(&d);
}
void AudioFifoFree::operator()(AVAudioFifo* f) const noexcept {
    av_audio_fifo_free(f);
}
void ScalerFree::operator()(SwsContext* s) const noexcept {
    sws_freeContext(s);
}
void ResamplerFree::operator()(SwrContext* s) const noexcept {
    swr_free(&s);
}
void AvBufferFree::operator()(void* p) const noexcept {
    av_free(p);
}

}  // namespace handles
