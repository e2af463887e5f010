// Conversion of decoded frames into frame-pool entries.
//
// Every delivered frame is tightly packed: each plane's rows are exactly its
// width in bytes, back to back, and the chroma planes of yuv420p and nv12
// are (width / 2) x (height / 2), rounded down, as the texture side reads
// them.
#include <cstring>

#include "pipeline/pipeline.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

// Sets the plane pointers and line sizes of a packed frame in buffer.
void set_packed_planes(AVFrame* frame, uint8_t* buffer, int format, int w, int h) {
    std::memset(frame->data, 0, sizeof frame->data);
    std::memset(frame->linesize, 0, sizeof frame->linesize);
    frame->data[0] = buffer;
    switch (format) {
        case AV_PIX_FMT_RGB24: frame->linesize[0] = 3 * w; break;
        case AV_PIX_FMT_YUV420P:
            frame->linesize[0] = w;
            frame->linesize[1] = w / 2;
            frame->linesize[2] = w / 2;
            frame->data[1] = buffer + static_cast<size_t>(w) * h;
            frame->data[2] = frame->data[1] + static_cast<size_t>(w / 2) * (h / 2);
            break;
        case AV_PIX_FMT_NV12:
            frame->linesize[0] = w;
            frame->linesize[1] = 2 * (w / 2);
            frame->data[1] = buffer + static_cast<size_t>(w) * h;
            break;
        default: break;
    }
}

// Bytes of a packed frame, plus room for the scalers' wide writes.
size_t packed_buffer_size(int format, int w, int h) {
    const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(format), w, h, 1);
    return size < 0 ? 0 : static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE;
}

void release_entry_frame(FramePoolEntry* entry) {
    if (entry->frame == nullptr) return;
    if (entry->frame->buf[0] == nullptr) av_free(entry->frame->data[0]);
    av_frame_free(&entry->frame);
}

// First free entry of the pool, or null when all are taken.
FramePoolEntry* free_entry(AudioVideoBlock* block) {
    FramePool* pool = block->frame_pool;
    if (pool == nullptr) return nullptr;
    for (uint64_t i = 0; i < pool->count; ++i) {
        if (pool->entries[i].in_use.load(std::memory_order_acquire) == 0) return &pool->entries[i];
    }
    return nullptr;
}

// Gives the entry a packed frame of this format and size, reusing the one
// it has when it matches.
bool prepare_entry(FramePoolEntry* entry, int format, int w, int h) {
    AVFrame* frame = entry->frame;
    if (frame && frame->buf[0] == nullptr && frame->width == w && frame->height == h &&
        frame->format == format)
        return true;
    release_entry_frame(entry);
    const size_t size = packed_buffer_size(format, w, h);
    if (size == 0) return false;
    frame = av_frame_alloc();
    auto* buffer = static_cast<uint8_t*>(av_mallocz(size));
    if (frame == nullptr || buffer == nullptr) {
        av_frame_free(&frame);
        av_free(buffer);
        return false;
    }
    set_packed_planes(frame, buffer, format, w, h);
    frame->format = format;
    frame->width = w;
    frame->height = h;
    entry->frame = frame;
    return true;
}

// Whether a frame in the output format already has the packed layout.
bool is_packed(const AVFrame* frame, int format) {
    const int w = frame->width;
    const int h = frame->height;
    switch (format) {
        case AV_PIX_FMT_RGB24: return frame->linesize[0] == 3 * w;
        case AV_PIX_FMT_YUV420P:
            return ((w | h) & 1) == 0 && frame->linesize[0] == w && frame->linesize[1] == w / 2 &&
                   frame->linesize[2] == w / 2;
        case AV_PIX_FMT_NV12:
            return ((w | h) & 1) == 0 && frame->linesize[0] == w && frame->linesize[1] == w;
        default: return false;
    }
}

// Delivers the decoder's own picture by reference: no copy at all.
bool reference_into(FramePoolEntry* entry, const AVFrame* frame) {
    if (entry->frame != nullptr && entry->frame->buf[0] == nullptr) release_entry_frame(entry);
    if (entry->frame == nullptr) entry->frame = av_frame_alloc();
    if (entry->frame == nullptr) return false;
    av_frame_unref(entry->frame);
    return av_frame_ref(entry->frame, frame) >= 0;
}

// Downloads a hardware frame into system memory; null on failure (logged).
AVFrame* download_hw_frame(AudioVideoBlock* block, const AVFrame* frame) {
    if (block->hw_transfer_frame == nullptr) block->hw_transfer_frame = av_frame_alloc();
    AVFrame* dst = block->hw_transfer_frame;
    if (dst == nullptr) return nullptr;
    av_frame_unref(dst);
    const int r = av_hwframe_transfer_data(dst, frame, 0);
    if (r < 0) {
        logger().tracef("[FFmpeg] - av_hwframe_transfer_data ERR: %s", av_error_text(r).c_str());
        return nullptr;
    }
    dst->width = frame->width;
    dst->height = frame->height;
    return dst;
}

// Chroma planes of odd-sized pictures are one sample wider and taller in
// FFmpeg's own layout than in the packed one; copy what the packed planes
// hold.
void copy_into_packed(AVFrame* dst, const AVFrame* src) {
    const int w = dst->width;
    const int h = dst->height;
    av_image_copy_plane(dst->data[0], dst->linesize[0], src->data[0], src->linesize[0],
                        dst->format == AV_PIX_FMT_RGB24 ? 3 * w : w, h);
    if (dst->format == AV_PIX_FMT_YUV420P) {
        for (int k = 1; k <= 2; ++k)
            av_image_copy_plane(dst->data[k], dst->linesize[k], src->data[k], src->linesize[k],
                                w / 2, h / 2);
    } else if (dst->format == AV_PIX_FMT_NV12) {
        av_image_copy_plane(dst->data[1], dst->linesize[1], src->data[1], src->linesize[1],
                            2 * (w / 2), h / 2);
    }
}

// Scales (or copies) src into the packed entry frame dst. The scaler is
// remade whenever the source size or format changes mid-stream.
bool scale_into(AudioVideoBlock* block, SwsContext** scaler, AVFrame* dst, const AVFrame* src) {
    const int w = dst->width;
    const int h = dst->height;
    const auto src_format = static_cast<AVPixelFormat>(src->format);
    const auto dst_format = static_cast<AVPixelFormat>(dst->format);
    if (src_format == dst_format && src->width == w && src->height == h) {
        copy_into_packed(dst, src);
        return true;
    }
    *scaler = sws_getCachedContext(*scaler, src->width, src->height, src_format, w, h, dst_format,
                                   block->sws_flags, nullptr, nullptr, nullptr);
    if (*scaler == nullptr) {
        logger().tracef_error(
            "[FFmpeg] - unable to convert pixel format %d (%dx%d) to %d (audio/video block %d)",
            src->format, src->width, src->height, dst->format, block->id);
        return false;
    }
    const bool packed_matches_ffmpeg = dst_format == AV_PIX_FMT_RGB24 || ((w | h) & 1) == 0;
    if (packed_matches_ffmpeg) {
        sws_scale(*scaler, src->data, src->linesize, 0, src->height, dst->data, dst->linesize);
        return true;
    }
    AVFrame* staging = block->staging_frame;
    if (staging == nullptr || staging->width != w || staging->height != h ||
        staging->format != dst_format) {
        av_frame_free(&block->staging_frame);
        staging = block->staging_frame = av_frame_alloc();
        if (staging == nullptr) return false;
        staging->format = dst_format;
        staging->width = w;
        staging->height = h;
        if (av_frame_get_buffer(staging, 0) < 0) {
            av_frame_free(&block->staging_frame);
            return false;
        }
    }
    sws_scale(*scaler, src->data, src->linesize, 0, src->height, staging->data, staging->linesize);
    copy_into_packed(dst, staging);
    return true;
}

bool convert(AudioVideoBlock* block, AVFrame* frame, int format, SwsContext** scaler,
             uint32_t serial) {
    if (block == nullptr || frame == nullptr) return false;
    const bool hw_frame = frame->hw_frames_ctx != nullptr;
    FramePoolEntry* entry = free_entry(block);
    if (entry == nullptr) return false;
    if (!hw_frame && frame->format == format && is_packed(frame, format)) {
        if (!reference_into(entry, frame)) return false;
        entry->serial = serial;
        entry->in_use.store(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(block->decoded_frames_lock);
        block->decoded_frames.push_back(entry);
        return true;
    }
    if (!prepare_entry(entry, format, frame->width, frame->height)) {
        logger().tracef_error("[FFmpeg] - no memory for a %dx%d frame (audio/video block %d)",
                              frame->width, frame->height, block->id);
        return false;
    }
    entry->serial = serial;
    entry->in_use.store(1, std::memory_order_relaxed);

    const AVFrame* source = frame;
    bool filled = true;
    if (hw_frame) {
        source = download_hw_frame(block, frame);
        filled = source != nullptr;
    }
    if (filled) {
        if (source->format == format) {
            copy_into_packed(entry->frame, source);
        } else {
            filled = scale_into(block, scaler, entry->frame, source);
        }
    }
    if (!filled && !hw_frame) {
        entry->in_use.store(0, std::memory_order_release);
        return false;
    }
    // A failed download still delivers the entry, with the pixels it held.
    std::lock_guard<std::mutex> guard(block->decoded_frames_lock);
    block->decoded_frames.push_back(entry);
    return true;
}

}  // namespace

bool video_convert_rgb24(AudioVideoBlock* block, AVFrame* frame, uint32_t serial) {
    return convert(block, frame, AV_PIX_FMT_RGB24, block ? &block->sws_to_rgb24 : nullptr, serial);
}

bool video_convert_yuv420p(AudioVideoBlock* block, AVFrame* frame, uint32_t serial) {
    return convert(block, frame, AV_PIX_FMT_YUV420P, block ? &block->sws_to_yuv420p : nullptr,
                   serial);
}

bool video_convert_nv12(AudioVideoBlock* block, AVFrame* frame, uint32_t serial) {
    // nv12 comes only from a hardware decoder.
    if (block == nullptr || block->hw_device_type == AV_HWDEVICE_TYPE_NONE) return false;
    return convert(block, frame, AV_PIX_FMT_NV12, &block->sws_to_nv12, serial);
}

}  // namespace qvx_ffmpeg
