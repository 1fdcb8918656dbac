#include "media/asset.h"
#include "media/demuxer.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace media {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Room after each plane, as FFmpeg's own pictures have (vector code reads past
// a plane's end), and the alignment of every plane.
constexpr size_t kPlanePadding = 16 + 64 - 1;
constexpr size_t kPlaneAlign = 64;

size_t aligned(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void unmapPicture(void* opaque, uint8_t* data) {
    munmap(data, size_t(reinterpret_cast<uintptr_t>(opaque)));
}

// A picture buffer of `size` bytes, zeroed like FFmpeg's own. Large ones are
// mapped from a 2 MiB boundary and advised as huge pages, which the kernel
// hands out already zeroed: FFmpeg clears each new picture with memset on top
// of the kernel's clearing, and takes its pages 4 KiB at a time, one fault
// each; both made up about half of a poster's processor time. The mapping
// ends with the buffer, so a last partial 2 MiB takes small pages only.
AVBufferRef* allocatePicture(void*, size_t size) {
    if (size < kHugePage) {
        auto* data = static_cast<uint8_t*>(av_mallocz(size));
        AVBufferRef* ref =
            data ? av_buffer_create(data, size, av_buffer_default_free, nullptr, 0) : nullptr;
        if (!ref) av_free(data);
        return ref;
    }
    size_t length = aligned(size, size_t(getpagesize()));
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto begin = reinterpret_cast<uintptr_t>(raw), end = begin + length + kHugePage;
    uintptr_t start = aligned(begin, kHugePage);
    if (start > begin) munmap(raw, start - begin);
    munmap(reinterpret_cast<void*>(start + length), end - (start + length));
    auto* data = reinterpret_cast<uint8_t*>(start);
    madvise(data, length, MADV_HUGEPAGE);  // advice only: without it, small pages
    AVBufferRef* ref =
        av_buffer_create(data, size, unmapPicture, reinterpret_cast<void*>(uintptr_t(length)), 0);
    if (!ref) munmap(data, length);
    return ref;
}

}  // namespace

// Decoding, colour conversion and JPEG encoding allocate tables and frames of
// megabytes; each fresh page of them costs a fault, and those faults were a
// fifth of a poster's processor time. Allocations up to 32 MiB therefore
// come from the heap, and its first 64 MiB, taken at once, are advised as
// huge pages: one fault for 2 MiB. (glibc does this itself with its
// glibc.malloc.hugetlb tunable, which it reads from the environment at
// start-up only.) Later growth takes ordinary pages.
void heapInHugePages() {
    constexpr size_t kReserve = size_t(64) << 20;
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TOP_PAD, int(kReserve));
    mallopt(M_TRIM_THRESHOLD, int(2 * kReserve));
    auto before = reinterpret_cast<uintptr_t>(sbrk(0));
    // Grows the heap by the pad, which stays once this is freed (volatile: a
    // compiler may drop an allocation nothing reads).
    void* volatile grown = malloc(kHugePage);
    free(grown);
    auto end = reinterpret_cast<uintptr_t>(sbrk(0));
    uintptr_t from = aligned(before, kHugePage);
    if (before != uintptr_t(-1) && end > from)
        madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
}

PicturePool::~PicturePool() {
    av_buffer_pool_uninit(&pool_);  // pictures still held keep their memory until freed
}

int PicturePool::getBuffer(AVCodecContext* context, AVFrame* frame, int flags) {
    auto* self = static_cast<PicturePool*>(context->opaque);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!self || !(context->codec->capabilities & AV_CODEC_CAP_DR1) || !desc ||
        (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)))
        return avcodec_default_get_buffer2(context, frame, flags);
    int rc = av_image_check_size2(unsigned(frame->width), unsigned(frame->height),
                                  context->max_pixels, AVPixelFormat(frame->format), 0, context);
    if (rc < 0) return rc;

    // The layout FFmpeg's own pictures have: the decoder's alignment of width
    // and height, rows widened until every plane's row is aligned.
    int width = frame->width, height = frame->height;
    int rowAlign[AV_NUM_DATA_POINTERS];
    avcodec_align_dimensions2(context, &width, &height, rowAlign);
    int rows[4] = {};
    for (;;) {
        rc = av_image_fill_linesizes(rows, AVPixelFormat(frame->format), width);
        if (rc < 0) return rc;
        bool unaligned = false;
        for (int i = 0; i < 4; ++i)
            unaligned |= rows[i] % rowAlign[i] != 0;
        if (!unaligned) break;
        width += width & ~(width - 1);
    }
    size_t planeSizes[4] = {};
    const ptrdiff_t strides[4] = {rows[0], rows[1], rows[2], rows[3]};
    rc = av_image_fill_plane_sizes(planeSizes, AVPixelFormat(frame->format), height, strides);
    if (rc < 0) return rc;
    size_t offsets[4] = {}, total = 0;
    for (int i = 0; i < 4 && planeSizes[i] > 0; ++i) {
        offsets[i] = total;
        total += aligned(planeSizes[i] + kPlanePadding, kPlaneAlign);
    }

    AVBufferRef* buffer = self->take(total);
    if (!buffer) return AVERROR(ENOMEM);
    frame->buf[0] = buffer;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = planeSizes[i] > 0 ? buffer->data + offsets[i] : nullptr;
        frame->linesize[i] = planeSizes[i] > 0 ? rows[i] : 0;
    }
    frame->extended_data = frame->data;
    return 0;
}

void PicturePool::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    av_buffer_pool_uninit(&pool_);
    size_ = 0;
}

AVBufferRef* PicturePool::take(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pool_ || size_ != size) {
        // A new size (the stream changed its dimensions): the old pool goes
        // once its pictures are freed.
        av_buffer_pool_uninit(&pool_);
        pool_ = av_buffer_pool_init2(size, nullptr, allocatePicture, nullptr);
        size_ = pool_ ? size : 0;
        if (!pool_) return nullptr;
    }
    return av_buffer_pool_get(pool_);
}

}  // namespace media
