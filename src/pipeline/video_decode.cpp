#include <algorithm>
#include <cmath>

#include "pipeline/pipeline.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

enum class DecodeStatus {
    ok,     // packet used (or dropped as damaged); go on
    fatal,  // the decoder cannot go on: the thread ends
};

enum class PaceResult {
    due,    // the frame is due (or late): convert it now
    stale,  // a stop or repositioning came first: drop the frame
};

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

bool must_leave(const AudioVideoBlock* block) {
    return block->video_decode_stop || block->reposition_pending > 0 || block->seeking;
}

// Advances frame_timer, the media time due now by the block's clock.
double advance_frame_timer(AudioVideoBlock* block) {
    // The clock's own reading, not clock_elapsed: the reference is set from
    // readings (start, rewind, resume), and clock_elapsed restarts from 0 at
    // every rewind.
    update_clock(block);
    const double c = static_cast<double>(block->clock_last_reading.load());
    const double e = c - block->frame_timer_reference;
    block->frame_timer_reference = c;
    block->frame_timer = block->frame_timer + static_cast<double>(static_cast<float>(e));
    return block->frame_timer;
}

// Once the sound of the block is heard it is the master: the pacing clock
// is pulled towards the sound heard, by at most max_sync_step_ms a frame, so
// the picture follows the audio device's own clock (which neither starts
// with the picture nor runs at exactly the rate of ours) without taking on
// the device's step-wise timing. A gap too wide to close that way is closed
// at once.
void follow_sound(AudioVideoBlock* block) {
    if (!block->audio_drives_video || !block->audio_clock_valid) return;
    const double timer = advance_frame_timer(block);
    const double gap = static_cast<double>(block->audio_position.load()) - timer;
    const double step = max_sync_step_ms / 1000.0;
    if (std::fabs(gap) > max_sync_gap_ms / 1000.0) {
        block->frame_timer = timer + gap;
    } else {
        block->frame_timer = timer + std::clamp(gap, -step, step);
    }
}

// Waits until the frame's time t (media seconds) is due, in slices of at
// most pacing_slice_ms so that a stop, pause or seek is seen at once. A late
// frame is due at once.
PaceResult pace_frame(AudioVideoBlock* block, double t) {
    int waited_for_sound_ms = 0;
    bool followed = false;
    for (;;) {
        if (must_leave(block)) return PaceResult::stale;
        if (block->paused) {
            wait_block(block, std::chrono::milliseconds(idle_wait_ms),
                       [block] { return must_leave(block) || !block->paused; });
            continue;
        }
        if (block->hold_video_for_sound && block->audio_drives_video && !block->audio_clock_valid &&
            waited_for_sound_ms < max_sound_start_wait_ms) {
            // Starting: the first picture waits for the sound.
            waited_for_sound_ms += sound_start_poll_ms;
            wait_block(block, std::chrono::milliseconds(sound_start_poll_ms),
                       [block] { return must_leave(block) || block->paused; });
            continue;
        }
        if (block->hold_video_for_sound.exchange(false) && block->audio_clock_valid) {
            // The sound has begun: the picture starts with it.
            advance_frame_timer(block);
            block->frame_timer = static_cast<double>(block->audio_position.load());
        }
        if (!followed) {
            follow_sound(block);
            followed = true;
        }
        const double delay = t - advance_frame_timer(block);
        if (delay <= 0.0) return PaceResult::due;
        const double slice = std::min(delay, pacing_slice_ms / 1000.0);
        const auto wait_ms = static_cast<int>(slice * 1000.0 + 0.5);
        if (wait_ms <= 0) return PaceResult::due;
        wait_block(block, std::chrono::milliseconds(wait_ms),
                   [block] { return must_leave(block) || block->paused; });
    }
}

// Media time of a decoded frame; advances video_clock.
double frame_time(AudioVideoBlock* block, const AVFrame* frame) {
    const AVRational tb = block->video_stream->time_base;
    const double unit = av_q2d(tb);
    int64_t pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) pts = frame->pkt_dts;
    double t = pts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(pts) * unit;
    if (t != 0.0) {
        block->video_clock = t;
    } else {
        t = block->video_clock;
    }
    block->video_clock = frame->repeat_pict * (unit * 0.5) + unit + t;
    if (block->video_first_frame_pending.exchange(false)) {
        // Pacing restarts from this frame, now.
        update_clock(block);
        block->frame_timer_reference = static_cast<double>(block->clock_last_reading.load());
        block->frame_timer = t;
    }
    ++block->decoded_video_frames;
    return t;
}

void convert_frame(AudioVideoBlock* block, AVFrame* frame, uint32_t serial) {
    switch (block->output_pixel_format) {
        case AV_PIX_FMT_YUV420P: video_convert_yuv420p(block, frame, serial); break;
        case AV_PIX_FMT_NV12: video_convert_nv12(block, frame, serial); break;
        case AV_PIX_FMT_RGB24: video_convert_rgb24(block, frame, serial); break;
        default: break;
    }
}

// Receives every frame the decoder has for the input sent so far. Called
// with the video decoder taken.
DecodeStatus receive_frames(AudioVideoBlock* block, int64_t packet_pts, uint32_t serial) {
    AVCodecContext* ctx = block->video_codec_ctx;
    AVFrame* frame = block->video_decoded_frame;
    for (;;) {
        const int r = avcodec_receive_frame(ctx, frame);
        if (r == AVERROR(EAGAIN)) return DecodeStatus::ok;
        if (r == AVERROR_EOF) {
            // Drained at the end of the input: make the decoder take input
            // again for a loop or a seek.
            avcodec_flush_buffers(ctx);
            return DecodeStatus::ok;
        }
        if (r < 0) {
            logger().tracef_error(
                "[FFmpeg] video_decode_thread - avcodec_receive_frame - ERROR (%d) - packet pts: "
                "%lld",
                r, static_cast<long long>(packet_pts));
            return r == AVERROR_INVALIDDATA ? DecodeStatus::ok : DecodeStatus::fatal;
        }
        // Damaged or discarded frames are dropped; the frames after them in
        // this packet are still received, or the decoder would refuse the
        // next packet.
        if (frame->flags & AV_FRAME_FLAG_DISCARD) {
            av_frame_unref(frame);
            continue;
        }
        if (frame->flags & AV_FRAME_FLAG_CORRUPT) {
            av_frame_unref(frame);
            logger().tracef(
                "[FFmpeg] video_decode_thread - AV_FRAME_FLAG_CORRUPT - packet pts: %lld",
                static_cast<long long>(packet_pts));
            continue;
        }
        if (frame->buf[0] == nullptr) {
            logger().tracef("[FFmpeg] video_decode_thread - empty buffer - packet pts: %lld",
                            static_cast<long long>(packet_pts));
            av_frame_unref(frame);
            continue;
        }
        block->video_width = frame->width;
        block->video_height = frame->height;
        const double t = frame_time(block, frame);
        if (pace_frame(block, t) == PaceResult::stale || block->video_serial != serial) {
            // The rest of this packet's output is stale as well; the
            // repositioning flushes the decoder.
            av_frame_unref(frame);
            return DecodeStatus::ok;
        }
        // The position is the picture now due, not the one being waited for.
        if (block->video_enabled && block->video_stream_index >= 0)
            block->video_position = static_cast<float>(t);
        convert_frame(block, frame, serial);
        av_frame_unref(frame);
    }
}

// Decodes one packet (or marker) popped from video_packets; frees it.
DecodeStatus decode_packet(AudioVideoBlock* block, AVPacket* packet) {
    std::lock_guard<std::mutex> decoder(block->video_decoder_lock);
    AVCodecContext* ctx = block->video_codec_ctx;
    if (packet == flush_packet()) {
        avcodec_flush_buffers(ctx);
        return DecodeStatus::ok;
    }
    const uint32_t serial = block->video_serial;
    const bool drain = packet == drain_packet();
    const int64_t pts = drain ? AV_NOPTS_VALUE : packet->pts;
    int r = avcodec_send_packet(ctx, drain ? nullptr : packet);
    if (r == AVERROR(EAGAIN)) {
        // Output still waiting (a frame left behind by a stop or seek):
        // take it, then send again.
        if (receive_frames(block, pts, serial) == DecodeStatus::fatal)
            r = AVERROR_BUG;
        else
            r = avcodec_send_packet(ctx, drain ? nullptr : packet);
    }
    if (!drain) av_packet_free(&packet);
    if (r == AVERROR_EOF) {
        avcodec_flush_buffers(ctx);
        return DecodeStatus::ok;
    }
    if (r < 0) {
        logger().tracef_error(
            "[FFmpeg] video_decode_thread - avcodec_send_packet - ERROR (%d) - packet pts: %lld", r,
            static_cast<long long>(pts));
        // A damaged packet, or one the decoder still has no room for, is
        // dropped; the video goes on with the next one.
        return r == AVERROR_INVALIDDATA || r == AVERROR(EAGAIN) ? DecodeStatus::ok
                                                                : DecodeStatus::fatal;
    }
    return receive_frames(block, pts, serial);
}

}  // namespace

unsigned video_decode_thread(AudioVideoBlock* block) {
    if (block == nullptr || block->video_decode_stop) {
        qvx::utils::thread_exit();
        return 0;
    }
    bool failed = false;
    while (!block->video_decode_stop) {
        if (block->paused || block->seeking || block->reposition_pending > 0) {
            wait_block(block, std::chrono::milliseconds(idle_wait_ms), [block] {
                return block->video_decode_stop ||
                       !(block->paused || block->seeking || block->reposition_pending > 0);
            });
            continue;
        }
        AVPacket* packet = block->video_packets.pop_wait(std::chrono::milliseconds(idle_wait_ms));
        if (packet == nullptr) continue;
        if (failed) {
            // The decoder cannot go on: packets are only let go, so the
            // reader's end-of-input and loop handling still see them used.
            if (!is_marker(packet)) av_packet_free(&packet);
        } else if (decode_packet(block, packet) == DecodeStatus::fatal) {
            failed = true;
            logger().tracef_error(
                "[FFmpeg] video_decode_thread - video decoding stopped (audio/video block %d)",
                block->id);
        }
        block->video_packets.done();
    }
    qvx::utils::thread_exit();
    return 0;
}

}  // namespace qvx_ffmpeg
