// Conversion of decoded frames into frame-pool entries.
//
// Every delivered frame is tightly packed: each plane's rows are exactly its
// width in bytes, back to back, and the chroma planes of yuv420p and nv12
// are (width / 2) x (height / 2), rounded down, as the texture side reads
// them.
//
// libswscale writes whole blocks of pixels: its planar and interleaving
// paths run past the end of a row, and its fast YUV->RGB path leaves the
// last width mod 8 pixels unwritten when a row has no room for the block.
// It therefore only ever writes frames with padded lines
// (av_frame_get_buffer); the host gets packed rows copied out of them,
// unless the padded lines already are the packed ones.
#include <algorithm>

#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"

namespace qvx_ffmpeg {

namespace {

using Pixels = FramePoolEntry::Pixels;

// Line alignment of the frames the scaler writes: the widest SIMD store.
constexpr int scaler_line_align = 64;

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

struct PackedPlanes {
    int count = 0;
    int row_bytes[3] = {0, 0, 0};
    int rows[3] = {0, 0, 0};
};

PackedPlanes packed_planes(int format, int w, int h) {
    PackedPlanes p;
    switch (format) {
        case AV_PIX_FMT_RGB24: p = {1, {3 * w}, {h}}; break;
        case AV_PIX_FMT_YUV420P: p = {3, {w, w / 2, w / 2}, {h, h / 2, h / 2}}; break;
        case AV_PIX_FMT_NV12: p = {2, {w, 2 * (w / 2)}, {h, h / 2}}; break;
        default: break;
    }
    return p;
}

size_t packed_bytes(const PackedPlanes& p) {
    size_t bytes = 0;
    for (int k = 0; k < p.count; ++k) bytes += static_cast<size_t>(p.row_bytes[k]) * p.rows[k];
    return bytes;
}

// Whether frame, in the output format, can be handed to the host as it is.
bool has_packed_lines(const AVFrame* frame, int format) {
    if (frame->format != format) return false;
    const PackedPlanes p = packed_planes(format, frame->width, frame->height);
    if (p.count == 0) return false;
    for (int k = 0; k < p.count; ++k) {
        if (frame->data[k] == nullptr || frame->linesize[k] != p.row_bytes[k]) return false;
    }
    return true;
}

size_t held_bytes(const AVFrame* frame) {
    size_t bytes = 0;
    for (const AVBufferRef* buf : frame->buf) {
        if (buf != nullptr) bytes += buf->size;
    }
    return bytes;
}

FramePtr new_frame(int format, int w, int h) {
    FramePtr frame(av_frame_alloc());
    if (frame == nullptr) return nullptr;
    frame->format = format;
    frame->width = w;
    frame->height = h;
    return frame;
}

// A frame with padded lines the scaler may write.
FramePtr aligned_frame(int format, int w, int h) {
    FramePtr frame = new_frame(format, w, h);
    if (frame == nullptr || av_frame_get_buffer(frame.get(), scaler_line_align) < 0) return nullptr;
    return frame;
}

// A frame whose planes are packed one after the other in one buffer.
FramePtr packed_frame(int format, int w, int h) {
    const PackedPlanes p = packed_planes(format, w, h);
    FramePtr frame = new_frame(format, w, h);
    if (frame == nullptr) return nullptr;
    frame->buf[0] = av_buffer_alloc(packed_bytes(p) + AV_INPUT_BUFFER_PADDING_SIZE);
    if (frame->buf[0] == nullptr) return nullptr;
    uint8_t* next = frame->buf[0]->data;
    for (int k = 0; k < p.count; ++k) {
        frame->data[k] = next;
        frame->linesize[k] = p.row_bytes[k];
        next += static_cast<size_t>(p.row_bytes[k]) * p.rows[k];
    }
    return frame;
}

// Copies what the packed planes of dst hold out of src (same format and
// size, any line sizes): FFmpeg's chroma planes of odd sizes are one sample
// wider and taller than the packed ones.
void copy_packed(AVFrame* dst, const AVFrame* src) {
    const PackedPlanes p = packed_planes(dst->format, dst->width, dst->height);
    for (int k = 0; k < p.count; ++k)
        av_image_copy_plane(dst->data[k], dst->linesize[k], src->data[k], src->linesize[k],
                            p.row_bytes[k], p.rows[k]);
}

// ---- The pool ----------------------------------------------------------------

// A free entry the frame may take, or null when the block already holds as
// many frames, or as many bytes, as it may.
FramePoolEntry* take_entry(AudioVideoBlock* block, size_t bytes) {
    FramePoolEntry* free = nullptr;
    uint64_t queued = 0;
    size_t queued_bytes = 0;
    for (FramePoolEntry& entry : block->handover.frame_pool.entries) {
        if (entry.in_use.load(std::memory_order_acquire) != 0) {
            ++queued;
            queued_bytes += entry.bytes;
        } else if (free == nullptr) {
            free = &entry;
        }
    }
    if (free == nullptr) return nullptr;
    if (queued >= min_pool_frames && queued_bytes + bytes > max_pool_bytes) return nullptr;
    // Free entries keep their pictures for reuse; those beyond the bound go.
    size_t kept = queued_bytes + bytes;
    for (FramePoolEntry& entry : block->handover.frame_pool.entries) {
        if (&entry == free || entry.in_use.load(std::memory_order_acquire) != 0) continue;
        if (kept + entry.bytes <= max_pool_bytes) {
            kept += entry.bytes;
        } else {
            entry.frame.reset();
            entry.pixels = Pixels::none;
            entry.bytes = 0;
        }
    }
    return free;
}

// Gives entry a picture of its own in this format and size, reusing the
// one it has when it matches.
bool prepare_entry(FramePoolEntry* entry, int format, int w, int h) {
    const AVFrame* frame = entry->frame.get();
    if (frame != nullptr && entry->pixels != Pixels::reference && frame->format == format &&
        frame->width == w && frame->height == h)
        return true;
    entry->frame.reset();
    entry->pixels = Pixels::none;
    entry->bytes = 0;
    FramePtr made = aligned_frame(format, w, h);
    Pixels pixels = Pixels::aligned;
    if (made == nullptr || !has_packed_lines(made.get(), format)) {
        made = packed_frame(format, w, h);
        pixels = Pixels::packed;
    }
    if (made == nullptr) return false;
    entry->bytes = held_bytes(made.get());
    entry->frame = std::move(made);
    entry->pixels = pixels;
    return true;
}

// Delivers the decoder's own picture by reference: no copy at all.
bool reference_into(FramePoolEntry* entry, const AVFrame* frame) {
    if (entry->frame == nullptr) entry->frame.reset(av_frame_alloc());
    if (entry->frame == nullptr) return false;
    av_frame_unref(entry->frame.get());
    entry->pixels = Pixels::none;
    entry->bytes = 0;
    if (av_frame_ref(entry->frame.get(), frame) < 0) return false;
    entry->pixels = Pixels::reference;
    entry->bytes = held_bytes(frame);
    return true;
}

// ---- Scaling ------------------------------------------------------------------

// The full-range formats libswscale deprecates, as their twins; a scaler
// made for one of these warns and is remade for every frame.
AVPixelFormat full_range_twin(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
        default: return AV_PIX_FMT_NONE;
    }
}

bool is_yuv(int format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return desc != nullptr && desc->nb_components >= 3 &&
           (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0;
}

// libswscale's coefficients for a colour matrix; BT.601 when unknown.
const int* matrix_coefficients(int colorspace) {
    switch (colorspace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return sws_getCoefficients(colorspace);
        default: return sws_getCoefficients(SWS_CS_DEFAULT);
    }
}

// Makes the scaler for src's format, size, colour matrix and range into
// dst_format, unless the one the block has was made for them. Null when
// libswscale cannot (logged once).
SwsContext* ensure_scaler(AudioVideoBlock* block, const AVFrame* src, int dst_format) {
    VideoScaler& s = block->video.conversion.scaler;
    const int range = full_range_twin(static_cast<AVPixelFormat>(src->format)) != AV_PIX_FMT_NONE
                          ? AVCOL_RANGE_JPEG
                          : src->color_range;
    if (s.src_format == src->format && s.dst_format == dst_format && s.width == src->width &&
        s.height == src->height && s.flags == block->facts.sws_flags &&
        s.colorspace == src->colorspace && s.color_range == range)
        return s.context.get();
    s.context.reset();
    s.src_format = src->format;
    s.dst_format = dst_format;
    s.width = src->width;
    s.height = src->height;
    s.flags = block->facts.sws_flags;
    s.colorspace = src->colorspace;
    s.color_range = range;

    AVPixelFormat src_format = full_range_twin(static_cast<AVPixelFormat>(src->format));
    if (src_format == AV_PIX_FMT_NONE) src_format = static_cast<AVPixelFormat>(src->format);
    ScalerPtr scaler(sws_alloc_context());
    bool made = scaler != nullptr;
    if (made) {
        // The ranges are set before the scaler is made: its choice of an
        // unscaled path depends on them.
        SwsContext* c = scaler.get();
        av_opt_set_int(c, "srcw", src->width, 0);
        av_opt_set_int(c, "srch", src->height, 0);
        av_opt_set_int(c, "src_format", src_format, 0);
        av_opt_set_int(c, "dstw", src->width, 0);
        av_opt_set_int(c, "dsth", src->height, 0);
        av_opt_set_int(c, "dst_format", dst_format, 0);
        av_opt_set_int(c, "sws_flags", block->facts.sws_flags, 0);
        if (range != AVCOL_RANGE_UNSPECIFIED)
            av_opt_set_int(c, "src_range", range == AVCOL_RANGE_JPEG ? 1 : 0, 0);
        made = sws_init_context(c, nullptr, nullptr) >= 0;
    }
    if (!made) {
        logger().tracef_error(
            "[FFmpeg] - unable to convert pixel format %d (%dx%d) to %d (audio/video block %d)",
            src->format, src->width, src->height, dst_format, block->id);
        return nullptr;
    }
    // The source's colour matrix (BT.709 for nearly all HD video); a yuv
    // output keeps it, as FFmpeg's own conversion does.
    const int* coefficients = matrix_coefficients(src->colorspace);
    int* inv_table = nullptr;
    int* table = nullptr;
    int src_range = 0, dst_range = 0, brightness = 0, contrast = 1 << 16, saturation = 1 << 16;
    if (sws_getColorspaceDetails(scaler.get(), &inv_table, &src_range, &table, &dst_range,
                                 &brightness, &contrast, &saturation) >= 0 &&
        inv_table != nullptr && table != nullptr) {
        const bool yuv_source = is_yuv(src_format);
        const int* from = yuv_source ? coefficients : inv_table;
        const int* to =
            yuv_source || src->colorspace != AVCOL_SPC_UNSPECIFIED ? coefficients : table;
        sws_setColorspaceDetails(scaler.get(), from, src_range, to, dst_range, brightness, contrast,
                                 saturation);
    }
    s.context = std::move(scaler);
    return s.context.get();
}

// The frame the scaler writes when an entry's packed rows cannot take it.
AVFrame* staging_frame(AudioVideoBlock* block, int format, int w, int h) {
    const AVFrame* staging = block->video.conversion.staging_frame.get();
    if (staging == nullptr || staging->format != format || staging->width != w ||
        staging->height != h)
        block->video.conversion.staging_frame = aligned_frame(format, w, h);
    return block->video.conversion.staging_frame.get();
}

bool scale_into(AudioVideoBlock* block, FramePoolEntry* entry, const AVFrame* src) {
    AVFrame* dst = entry->frame.get();
    SwsContext* scaler = ensure_scaler(block, src, dst->format);
    if (scaler == nullptr) return false;
    AVFrame* target = entry->pixels == Pixels::aligned
                          ? dst
                          : staging_frame(block, dst->format, dst->width, dst->height);
    if (target == nullptr) return false;
    const int rows =
        sws_scale(scaler, src->data, src->linesize, 0, src->height, target->data, target->linesize);
    if (rows <= 0) return false;
    if (target != dst) copy_packed(dst, target);
    return true;
}

// ---- Frames in ----------------------------------------------------------------

// Downloads a hardware frame into system memory; null on failure (logged).
const AVFrame* download_hw_frame(AudioVideoBlock* block, const AVFrame* frame) {
    if (block->video.conversion.hw_transfer_frame == nullptr)
        block->video.conversion.hw_transfer_frame.reset(av_frame_alloc());
    AVFrame* dst = block->video.conversion.hw_transfer_frame.get();
    if (dst == nullptr) return nullptr;
    av_frame_unref(dst);
    const int r = av_hwframe_transfer_data(dst, frame, 0);
    if (r < 0) {
        logger().tracef("[FFmpeg] - av_hwframe_transfer_data ERR: %s", av_error_text(r).c_str());
        return nullptr;
    }
    dst->width = frame->width;
    dst->height = frame->height;
    dst->colorspace = frame->colorspace;
    dst->color_range = frame->color_range;
    return dst;
}

// Pictures beyond the block's size limit are refused, said once per size.
bool within_size_limit(AudioVideoBlock* block, int w, int h) {
    if (w <= block->facts.max_video_width && h <= block->facts.max_video_height) return true;
    if (block->video.conversion.refused_width != w || block->video.conversion.refused_height != h) {
        block->video.conversion.refused_width = w;
        block->video.conversion.refused_height = h;
        logger().tracef_error(
            "[FFmpeg] video_convert - a %dx%d picture is beyond the %dx%d limit and is not shown "
            "(audio/video block %d)",
            w, h, block->facts.max_video_width, block->facts.max_video_height, block->id);
    }
    return false;
}

// A stop or a repositioning makes the frame being converted stale.
bool conversion_stale(const AudioVideoBlock* block) {
    return block->video.stop || block->handover.reposition_pending > 0 || block->reader.seeking ||
           block->controls.rewind_requested;
}

// Waits, until the deadline, for the host to leave fewer than `room` frames
// queued; true once it has. A stop or a repositioning ends the wait at once
// (the frame is stale then).
bool wait_for_host(AudioVideoBlock* block, int room,
                   std::chrono::steady_clock::time_point deadline) {
    const auto done = [block, room] { return frames_queued(block) < room; };
    bool ok = done();
    while (!ok && !conversion_stale(block)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        uint64_t seen = 0;
        {
            MutexLock guard(block->handover.wake.mutex);
            seen = block->handover.wake.generation;
        }
        // The flag goes up before the pool is looked at again, so a release
        // after that look always sees it and wakes the wait (the fences pair
        // with the texture update's).
        block->video.waits_for_entry = true;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        ok = done();
        if (!ok) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            wait_block(block, std::min(left, std::chrono::milliseconds(idle_wait_ms)),
                       [&]() QVX_REQUIRES(block->handover.wake.mutex) {
                           return conversion_stale(block) ||
                                  block->handover.wake.generation != seen;
                       });
        }
        block->video.waits_for_entry = false;
    }
    return ok;
}

// In real time, leaves fewer than frames_for_host frames queued: a host
// that keeps up is waited for, until max_host_stall_ms after its last
// update or after the queue filled, whichever is later; then, and at once
// for a slow host, the oldest frames make way. Without the bound, a host
// behind the video (descheduled while many blocks start together, loading
// a level) had the decoder allocate a fresh picture for every frame queued
// meanwhile, and keep it: the block grew by up to its whole frame pool,
// and on a machine short of cores the allocations put the host further
// behind.
void make_room_for_frame(AudioVideoBlock* block) {
    using steady = std::chrono::steady_clock;
    ConversionState& c = block->video.conversion;
    const int room = frames_for_host(block);
    bool has_room = frames_queued(block) < room;
    if (!has_room && c.queue_full_since == steady::time_point{}) c.queue_full_since = steady::now();
    const bool waits = !has_room && !host_is_slow(block);
    if (waits) {
        const steady::time_point last_update{std::chrono::duration_cast<steady::duration>(
            std::chrono::nanoseconds(block->handover.last_update_ns.load()))};
        const auto deadline = std::max(c.queue_full_since, last_update) +
                              std::chrono::milliseconds(max_host_stall_ms);
        has_room = wait_for_host(block, room, deadline);
    }
    if (has_room) {
        c.queue_full_since = steady::time_point{};
        c.dropping_for_host = false;
        return;
    }
    if (waits) {
        if (conversion_stale(block)) return;
        if (!c.dropping_for_host) {
            c.dropping_for_host = true;
            logger().tracef_warning(
                "[FFmpeg] video_convert - the host has taken no frame for %d ms: the oldest of "
                "the %d frames queued make way for new ones (audio/video block %d)",
                max_host_stall_ms, room, block->id);
        }
    }
    while (frames_queued(block) >= room) {
        FramePoolEntry* oldest = pop_decoded_frame(block);
        if (oldest == nullptr) break;  // the host is uploading the rest
        release_decoded_frame(oldest);
    }
}

// Every converted frame queued ahead of the host keeps a decoder picture
// pinned: while the host holds a frame unseen, the converter waits for it
// to take it. An untimed block waits for as long as it takes and loses no
// frame. A real-time block makes room first, then waits up to a frame's
// time and goes on: a host running a little late neither stalls the video
// nor loses a frame.
FramePoolEntry* wait_for_entry(AudioVideoBlock* block, size_t bytes) {
    using steady = std::chrono::steady_clock;
    if (!block->facts.realtime) {
        if (!wait_for_host(block, 1, steady::time_point::max())) return nullptr;
        return take_entry(block, bytes);
    }
    make_room_for_frame(block);
    // A host gone for longer than it may stall is not waited for frame by
    // frame: the picture catches up with the clock while it is away.
    if (block->video.conversion.dropping_for_host) return take_entry(block, bytes);
    const double fps = block->facts.video_fps > 0.0 ? block->facts.video_fps : 30.0;
    wait_for_host(
        block, 1,
        steady::now() + std::chrono::microseconds(static_cast<int64_t>(std::min(1e6 / fps, 1e5))));
    return take_entry(block, bytes);
}

bool convert(AudioVideoBlock* block, AVFrame* frame, int format, uint32_t serial, double seconds) {
    if (block == nullptr || frame == nullptr) return false;
    const AVFrame* source = frame;
    if (frame->hw_frames_ctx != nullptr) {
        source = download_hw_frame(block, frame);
        if (source == nullptr) return false;
    }
    const int w = source->width;
    const int h = source->height;
    if (w <= 0 || h <= 0 || !within_size_limit(block, w, h)) return false;
    const PackedPlanes planes = packed_planes(format, w, h);
    if (planes.count == 0) return false;

    FramePoolEntry* entry = wait_for_entry(block, packed_bytes(planes));
    if (entry == nullptr) return false;
    bool filled = false;
    if (has_packed_lines(source, format)) {
        filled = reference_into(entry, source);
    } else if (!prepare_entry(entry, format, w, h)) {
        logger().tracef_error("[FFmpeg] - no memory for a %dx%d frame (audio/video block %d)", w, h,
                              block->id);
    } else if (source->format == format) {
        copy_packed(entry->frame.get(), source);
        filled = true;
    } else {
        filled = scale_into(block, entry, source);
    }
    if (!filled) return false;
    entry->serial = serial;
    entry->seconds = seconds;
    entry->in_use.store(1, std::memory_order_release);
    MutexLock guard(block->handover.decoded_frames_lock);
    block->handover.decoded_frames.push_back(entry);
    return true;
}

}  // namespace

bool video_convert_rgb24(AudioVideoBlock* block, AVFrame* frame, uint32_t serial, double seconds) {
    return convert(block, frame, AV_PIX_FMT_RGB24, serial, seconds);
}

bool video_convert_yuv420p(AudioVideoBlock* block, AVFrame* frame, uint32_t serial,
                           double seconds) {
    return convert(block, frame, AV_PIX_FMT_YUV420P, serial, seconds);
}

bool video_convert_nv12(AudioVideoBlock* block, AVFrame* frame, uint32_t serial, double seconds) {
    return convert(block, frame, AV_PIX_FMT_NV12, serial, seconds);
}

}  // namespace qvx_ffmpeg
