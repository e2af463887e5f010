#include <algorithm>
#include <cmath>

#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"

namespace qvx_ffmpeg {

namespace {

// A frame further from the one before it than the stream's rate allows lies
// across a timestamp discontinuity (joined recordings, a broadcast's clock
// reset, the 33-bit wrap of MPEG-TS). Forward, the bound is ffplay's "no
// sync" threshold, so that the still pictures of variable-rate video keep
// their length; presentation times never go back, so a small step back
// already counts.
constexpr double max_frame_step_s = 10.0;
constexpr double max_frame_step_back_s = 0.5;
// A frame this close before a seek target counts as at the target.
constexpr double seek_target_tolerance_s = 0.001;
// While the first picture waits for the sound: the longest single wait, in
// case no wake-up comes when the sound is first heard.
constexpr int sound_start_slice_ms = 10;

enum class PaceResult {
    due,    // the frame is due (or late): convert it now
    stale,  // a stop or repositioning came first: drop the frame
};

// What the video thread keeps between packets. Everything but
// frame_duration starts over whenever the packets' serial changes (a seek,
// rewind or loop), the decoder's refusals in a row included.
struct VideoTiming {
    double frame_duration = 0.04;  // nominal, from the stream's rate
    uint32_t serial = 0;           // of the last packet popped
    // Timestamp jumps folded out since the last repositioning, seconds.
    double jump_offset = 0.0;
    bool has_previous = false;
    double previous_time = 0.0;  // of the last frame, jumps folded out
    double previous_duration = 0.0;
    // The gap between the sound heard and the picture's clock, averaged
    // (seconds, positive: the sound is ahead).
    double sync_gap_average = 0.0;

    void restart(uint32_t new_serial) {
        serial = new_serial;
        jump_offset = 0.0;
        has_previous = false;
        sync_gap_average = 0.0;
    }
};

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

bool must_leave(const AudioVideoBlock* block) {
    return block->video.stop || block->handover.reposition_pending > 0 || block->reader.seeking;
}

double nominal_frame_duration(const AudioVideoBlock* block) {
    const AVRational rate =
        av_guess_frame_rate(block->format_ctx.get(), block->facts.video_stream, nullptr);
    if (rate.num > 0 && rate.den > 0) {
        const double d = static_cast<double>(rate.den) / rate.num;
        if (d >= 0.0005 && d <= 10.0) return d;
    }
    return 0.04;
}

// Once the sound of the block is heard it is the master: the pacing clock
// follows the sound heard, so the picture keeps to the audio device's own
// clock (which neither starts with the picture nor runs at exactly the rate
// of ours). The device's clock moves in steps of a callback, with their
// jitter; once the sound's fitted line (SoundClockFit) has its rate, the
// picture follows that line a little every frame and moves as evenly as
// the device counts. Before (the sound's first 300 ms) the gap is averaged
// and closed in small steps once beyond a dead band. Either way the
// picture's clock runs at most max_sync_rate_percent off, so that no
// correction reaches the picture as judder. A gap too wide to close that
// way is closed at once; a gap beyond max_frame_step_s means the two count
// across a timestamp jump differently, and the picture keeps its own pace.
void follow_sound(AudioVideoBlock* block, VideoTiming& vs) {
    if (!block->reader.audio_drives_video || !block->reader.audio_clock_valid) return;
    const double timer = advance_frame_timer(block);
    double heard = 0.0;
    const bool fitted = fitted_heard_position(block, &heard);
    if (!fitted) heard = static_cast<double>(block->clock.audio_position.load());
    const double gap = heard - timer;
    if (std::fabs(gap) > max_frame_step_s) return;
    if (std::fabs(gap) > max_sync_gap_ms / 1000.0) {
        move_frame_timer(block, gap);
        vs.sync_gap_average = 0.0;
        return;
    }
    const double limit = vs.frame_duration * max_sync_rate_percent / 100.0;
    if (fitted) {
        vs.sync_gap_average = 0.0;
        move_frame_timer(block, std::clamp(gap, -limit, limit));
        return;
    }
    // One sample a frame: weighted by the frame's share of the averaging time.
    const double weight = std::clamp(vs.frame_duration * 1000.0 / sync_average_ms, 0.01, 1.0);
    vs.sync_gap_average += (gap - vs.sync_gap_average) * weight;
    if (std::fabs(vs.sync_gap_average) <= sync_deadband_ms / 1000.0) return;
    const double step = std::clamp(vs.sync_gap_average, -limit, limit);
    move_frame_timer(block, step);
    vs.sync_gap_average -= step;
}

// At a start or rewind the sound has waited for the first picture: the
// picture lets it go, waits (up to max_sound_start_wait_ms) for it to be
// heard, then starts with it.
void wait_for_sound(AudioVideoBlock* block, double t) {
    using steady = std::chrono::steady_clock;
    block->reader.hold_sound_for_video = false;
    const auto deadline = steady::now() + std::chrono::milliseconds(max_sound_start_wait_ms);
    while (block->reader.hold_video_for_sound && block->reader.audio_drives_video &&
           !block->reader.audio_clock_valid && !must_leave(block) && !block->controls.paused) {
        const auto now = steady::now();
        if (now >= deadline) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        wait_block(block,
                   std::min(left + std::chrono::milliseconds(1),
                            std::chrono::milliseconds(sound_start_slice_ms)),
                   [block] {
                       return must_leave(block) || block->controls.paused ||
                              block->reader.audio_clock_valid;
                   });
    }
    if (must_leave(block) || block->controls.paused) return;
    if (block->reader.hold_video_for_sound.exchange(false) && block->reader.audio_clock_valid) {
        const double heard = static_cast<double>(block->clock.audio_position.load());
        if (std::fabs(heard - t) <= max_frame_step_s) restart_frame_timer(block, heard);
    }
}

// Waits until the frame's time t (seconds from the start) is due, in slices
// of at most pacing_slice_ms so that a stop, pause or seek is seen at once. A
// late frame is due at once.
PaceResult pace_frame(AudioVideoBlock* block, VideoTiming& vs, double t) {
    bool followed = false;
    for (;;) {
        if (must_leave(block)) return PaceResult::stale;
        if (block->controls.paused) {
            wait_block(block, std::chrono::milliseconds(idle_wait_ms),
                       [block] { return must_leave(block) || !block->controls.paused; });
            continue;
        }
        if (block->reader.hold_video_for_sound) {
            wait_for_sound(block, t);
            continue;
        }
        if (!followed) {
            follow_sound(block, vs);
            followed = true;
        }
        const double delay = t - advance_frame_timer(block);
        if (delay <= 0.0) return PaceResult::due;
        const double slice = std::min(delay, pacing_slice_ms / 1000.0);
        const auto wait_ms = static_cast<int>(slice * 1000.0 + 0.5);
        if (wait_ms <= 0) return PaceResult::due;
        wait_block(block, std::chrono::milliseconds(wait_ms),
                   [block] { return must_leave(block) || block->controls.paused; });
    }
}

// Time of a decoded frame in seconds from the input's start, with timestamp
// jumps folded out: across a discontinuity the frame follows the one before
// it at the stream's rate, so the pacing and the position go on evenly.
// Advances video_clock (timestamps as in the input, from its start).
double frame_time(AudioVideoBlock* block, VideoTiming& vs, const AVFrame* frame) {
    int64_t ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame->pts;
    if (ts == AV_NOPTS_VALUE) ts = frame->pkt_dts;
    const double input_time =
        ts == AV_NOPTS_VALUE
            ? block->video.clock
            : static_cast<double>(ts) * av_q2d(block->facts.video_stream->time_base) -
                  block->facts.media_start_seconds;
    const double duration = vs.frame_duration * (1.0 + 0.5 * frame->repeat_pict);
    block->video.clock = input_time + duration;

    double t = input_time - vs.jump_offset;
    if (vs.has_previous) {
        const double step = t - vs.previous_time;
        if (step > max_frame_step_s || step < -max_frame_step_back_s) {
            const double expected = vs.previous_time + vs.previous_duration;
            vs.jump_offset += t - expected;
            t = expected;
            logger().tracef_warning(
                "[FFmpeg] video_decode_thread - timestamp jump of %.3f s, the picture goes on "
                "at its own rate (audio/video block %d)",
                step, block->id);
        }
    }
    vs.has_previous = true;
    vs.previous_time = t;
    vs.previous_duration = duration;
    return t;
}

// After a seek, frames before the target are decoded only to reach it.
bool before_seek_target(AudioVideoBlock* block, double t) {
    double target = block->video.seek_target;
    if (target < 0.0) return false;
    if (t + seek_target_tolerance_s < target) return true;
    // A newer target set meanwhile stays.
    block->video.seek_target.compare_exchange_strong(target, -1.0);
    return false;
}

bool convert_frame(AudioVideoBlock* block, AVFrame* frame, uint32_t serial, double t) {
    switch (block->facts.output_pixel_format) {
        case AV_PIX_FMT_YUV420P: return video_convert_yuv420p(block, frame, serial, t);
        case AV_PIX_FMT_NV12: return video_convert_nv12(block, frame, serial, t);
        case AV_PIX_FMT_RGB24: return video_convert_rgb24(block, frame, serial, t);
        default: return false;
    }
}

// Takes one decoded frame: paces it and hands it to the conversion. False
// once the rest of the packet's output is stale (a stop or repositioning
// came first; the repositioning flushes the decoder).
bool take_frame(AudioVideoBlock* block, VideoTiming& vs, AVFrame* frame, int64_t packet_pts) {
    // Damaged or discarded frames are dropped; the frames after them in
    // this packet are still received, or the decoder would refuse the next
    // packet.
    if (frame->flags & AV_FRAME_FLAG_DISCARD) return true;
    if (frame->flags & AV_FRAME_FLAG_CORRUPT) {
        logger().tracef("[FFmpeg] video_decode_thread - AV_FRAME_FLAG_CORRUPT - packet pts: %lld",
                        static_cast<long long>(packet_pts));
        return true;
    }
    if (frame->buf[0] == nullptr) {
        logger().tracef("[FFmpeg] video_decode_thread - empty buffer - packet pts: %lld",
                        static_cast<long long>(packet_pts));
        return true;
    }
    block->video.width = frame->width;
    block->video.height = frame->height;
    ++block->video.decoded_count;
    const double t = frame_time(block, vs, frame);
    if (before_seek_target(block, t)) return true;
    // An untimed block is never paced: the frame pool, which the converter
    // waits on, holds the picture back instead.
    const bool timed = block->facts.realtime;
    if (block->video.first_frame_pending.exchange(false) && timed) {
        restart_frame_timer(block, t);
        vs.sync_gap_average = 0.0;
    }
    const PaceResult pace = timed               ? pace_frame(block, vs, t)
                            : must_leave(block) ? PaceResult::stale
                                                : PaceResult::due;
    if (pace == PaceResult::stale || block->handover.serial != vs.serial) return false;
    // The position is the picture handed to the host: once it is queued in
    // real time, once the host has taken it when untimed (the texture update
    // sets it then).
    if (convert_frame(block, frame, vs.serial, t) && timed && block->controls.video_enabled &&
        block->facts.video_stream_index >= 0)
        set_video_position(block, t);
    return true;
}

// Decodes one packet (or marker) popped from video_packets under vs.serial
// and hands its frames on.
void decode_packet(AudioVideoBlock* block, VideoTiming& vs, AVPacket* packet)
    QVX_REQUIRES(block->video.decoder_lock) {
    DecodingLoop& loop = block->video.decoding;
    if (packet == flush_packet()) {
        loop.flush();
        return;
    }
    const bool drain = packet == drain_packet();
    const int64_t pts = drain ? AV_NOPTS_VALUE : packet->pts;
    const DecodingLoop::Status status = loop.decode(drain ? nullptr : packet, [&](AVFrame* frame) {
        return take_frame(block, vs, frame, pts);
    });
    switch (status) {
        case DecodingLoop::Status::drained:
            // The decoder takes input again for a loop or a seek. A seek
            // target past the last frame is given up, so that it cannot hide
            // the next pass.
            block->video.seek_target = -1.0;
            break;
        case DecodingLoop::Status::empty:
            logger().tracef_warning(
                "[FFmpeg] video_decode_thread - empty packet dropped (audio/video block %d)",
                block->id);
            break;
        case DecodingLoop::Status::refused:
            // The packet is dropped (damaged, or one the decoder still has
            // no room for); the video goes on with the next one.
            logger().tracef_error(
                "[FFmpeg] video_decode_thread - avcodec_send_packet - ERROR (%d) - packet pts: "
                "%lld",
                loop.last_error(), static_cast<long long>(pts));
            break;
        case DecodingLoop::Status::failed:
            logger().tracef_error(
                "[FFmpeg] video_decode_thread - avcodec_receive_frame - ERROR (%d) - packet pts: "
                "%lld",
                loop.last_error(), static_cast<long long>(pts));
            break;
        default: break;
    }
    if (loop.gave_up()) {
        logger().tracef_error(
            "[FFmpeg] video_decode_thread - the decoder refused %d packets in a row "
            "(audio/video block %d): %s",
            loop.refused_in_a_row(), block->id, av_error_text(loop.last_error()).c_str());
        logger().tracef_error(
            "[FFmpeg] video_decode_thread - video decoding stopped (audio/video block %d)",
            block->id);
    }
}

}  // namespace

unsigned video_decode_thread(AudioVideoBlock* block) {
    if (block == nullptr || block->video.stop) {
        qvx::utils::thread_exit();
        return 0;
    }
    name_this_thread("qvx-video");
    yield_to_host_threads();
    VideoTiming vs;
    vs.frame_duration = nominal_frame_duration(block);
    vs.serial = block->handover.serial;
    {
        MutexLock decoder(block->video.decoder_lock);
        block->video.decoding.restart();
    }
    while (!block->video.stop) {
        if (block->controls.paused || block->reader.seeking ||
            block->handover.reposition_pending > 0) {
            wait_block(block, std::chrono::milliseconds(idle_wait_ms), [block] {
                return block->video.stop || !(block->controls.paused || block->reader.seeking ||
                                              block->handover.reposition_pending > 0);
            });
            continue;
        }
        // The serial the packet was queued under: a packet read before a
        // repositioning is never taken for one after it.
        uint32_t serial = 0;
        AVPacket* packet =
            block->video.packets.pop_wait(std::chrono::milliseconds(idle_wait_ms), &serial);
        if (packet == nullptr) continue;
        // Markers are shared and never freed; every other packet is ours.
        const PacketPtr owned(is_marker(packet) ? nullptr : packet);
        {
            MutexLock decoder(block->video.decoder_lock);
            // A repositioning starts everything over, a decoder that gave up
            // included. A packet popped before it belongs to the old place;
            // after the decoder gave up packets are only let go, so the
            // reader's end-of-input and loop handling still see them used.
            if (serial != vs.serial) {
                vs.restart(serial);
                block->video.decoding.restart();
            }
            if (vs.serial == block->handover.serial && !block->video.decoding.gave_up())
                decode_packet(block, vs, packet);
        }
        block->video.packets.done();
    }
    qvx::utils::thread_exit();
    return 0;
}

}  // namespace qvx_ffmpeg
