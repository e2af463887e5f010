#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/audio.h"
#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr int initial_pcm_buffer_bytes = 32832;
// Packets one call may send to the decoder before it gives up for now.
constexpr int max_decode_steps = 32;
// A frame that ends this much before the place a seek went to is not heard.
constexpr double seek_target_slack_seconds = 0.001;
// Channel pointers the resampler may read from an empty input.
constexpr int max_resampler_channels = 64;
// The highest source rate the sound path resamples (professional audio
// goes to 768 kHz); a rate above it is damage.
constexpr int max_source_sample_rate_hz = 768000;

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

int bytes_per_out_sample(const AudioVideoBlock* block) {
    return 2 * block->audio.out_channels;
}

bool ensure_pcm_capacity(AudioVideoBlock* block, int bytes) {
    if (block->audio.sound.pcm_buffer != nullptr && bytes <= block->audio.sound.pcm_capacity)
        return true;
    const int capacity = std::max(bytes, initial_pcm_buffer_bytes);
    auto* buffer = static_cast<uint8_t*>(av_realloc(block->audio.sound.pcm_buffer.get(), capacity));
    if (buffer == nullptr) return false;
    // av_realloc has freed or reused the old buffer.
    (void)block->audio.sound.pcm_buffer.release();
    block->audio.sound.pcm_buffer.reset(buffer);
    block->audio.sound.pcm_capacity = capacity;
    return true;
}

bool same_input(const AudioVideoBlock* block, const AVFrame* frame) {
    return block->audio.sound.swr_in_format == frame->format &&
           block->audio.sound.swr_in_rate == frame->sample_rate &&
           av_channel_layout_compare(&block->audio.sound.swr_in_layout, &frame->ch_layout) == 0;
}

// (Re)builds the resampler for the frame's layout, sample format and rate.
// A frame the resampler cannot take is dropped, and frames like it after it
// without a further line.
bool build_resampler(AudioVideoBlock* block, const AVFrame* frame) {
    const bool first =
        block->audio.sound.swr_ctx == nullptr && block->audio.sound.swr_in_format < 0;
    if (first) {
        logger().tracef("[FFmpeg] initializing audio resampler...");
    } else {
        char layout[128] = {0};
        av_channel_layout_describe(&frame->ch_layout, layout, sizeof layout);
        const char* format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
        logger().tracef(
            "[FFmpeg] decode_audio_frame - the sound changes to %s, %s, %d Hz: resampler rebuilt "
            "(audio/video block %d)",
            layout, format ? format : "?", frame->sample_rate, block->id);
    }
    block->audio.sound.swr_ctx.reset();
    block->audio.sound.swr_has_more = false;
    block->audio.sound.swr_flushing = false;
    av_channel_layout_uninit(&block->audio.sound.swr_in_layout);
    av_channel_layout_copy(&block->audio.sound.swr_in_layout, &frame->ch_layout);
    block->audio.sound.swr_in_format = frame->format;
    block->audio.sound.swr_in_rate = frame->sample_rate;

    // A damaged header can declare a rate of a billion samples a second;
    // building a filter for it takes minutes on SDL's audio thread.
    if (frame->sample_rate > max_source_sample_rate_hz) {
        logger().tracef_error(
            "[FFmpeg] decode_audio_frame - a sample rate of %d Hz is beyond %d Hz: the sound is "
            "dropped (audio/video block %d)",
            frame->sample_rate, max_source_sample_rate_hz, block->id);
        return false;
    }
    // An unspecified order gets the usual layout for its channel count.
    AVChannelLayout in{};
    int r = AVERROR(EINVAL);
    if (frame->ch_layout.nb_channels > 0 && frame->sample_rate > 0 && frame->format >= 0) {
        r = frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC
                ? (av_channel_layout_default(&in, frame->ch_layout.nb_channels), 0)
                : av_channel_layout_copy(&in, &frame->ch_layout);
    }
    if (r >= 0)
        r = swr_alloc_set_opts2(inout_ptr(block->audio.sound.swr_ctx), &block->audio.out_ch_layout,
                                AV_SAMPLE_FMT_S16, block->audio.out_sample_rate, &in,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                nullptr);
    av_channel_layout_uninit(&in);
    if (r >= 0 && block->audio.sound.swr_ctx != nullptr)
        r = swr_init(block->audio.sound.swr_ctx.get());
    if (r < 0 || block->audio.sound.swr_ctx == nullptr) {
        logger().tracef_error("[FFmpeg] audio resampler init failed - swr_init ret0: %d - %s", r,
                              av_error_text(r).c_str());
        logger().tracef_error("[FFmpeg] *** audio resampler has not been properly initialized ***");
        block->audio.sound.swr_ctx.reset();
        return false;
    }
    if (first) logger().tracef("[FFmpeg] audio resampler initialized ok.");
    return true;
}

// Resamples into sound.pcm_buffer (in may be the resampler's own held
// input: in_samples 0); returns the bytes written, or -1.
int resample(AudioVideoBlock* block, const uint8_t** in, int in_samples) {
    const int wanted = swr_get_out_samples(block->audio.sound.swr_ctx.get(), in_samples);
    block->audio.sound.swr_has_more = false;
    if (wanted <= 0) return 0;
    const int capacity = std::min(wanted, max_resampled_samples);
    if (!ensure_pcm_capacity(block, capacity * bytes_per_out_sample(block))) return -1;
    uint8_t* out[1] = {block->audio.sound.pcm_buffer.get()};
    const int converted =
        swr_convert(block->audio.sound.swr_ctx.get(), out, capacity, in, in_samples);
    if (converted < 0) {
        logger().tracef_error("[FFmpeg] - audio_resampling error: swr_convert failed (err: %d)",
                              converted);
        return -1;
    }
    block->audio.sound.swr_has_more = capacity < wanted && converted == capacity;
    return converted * bytes_per_out_sample(block);
}

// Output from the input the resampler still holds; a flush ends with the
// resampler ready for new input.
int resample_held(AudioVideoBlock* block) {
    const uint8_t* none[max_resampler_channels] = {};
    const int bytes = resample(block, block->audio.sound.swr_flushing ? nullptr : none, 0);
    if (block->audio.sound.swr_flushing && !block->audio.sound.swr_has_more) {
        block->audio.sound.swr_flushing = false;
        swr_init(block->audio.sound.swr_ctx.get());
    }
    return bytes;
}

double stream_time_base(const AudioVideoBlock* block) {
    if (block->facts.audio_stream != nullptr) return av_q2d(block->facts.audio_stream->time_base);
    return av_q2d(block->audio.codec_ctx->pkt_timebase);
}

// Decides where the frame's sound goes on the clock. Sample counting keeps
// the sound continuous; the frame's timestamp only places the start of the
// sound (play, seek, rewind), fills a gap with silence, or shows a
// discontinuity, across which the clock goes on. False: the frame is not
// heard (sound before the place a seek went to).
bool place_frame(AudioVideoBlock* block, const AVFrame* frame, int64_t* silence_samples) {
    *silence_samples = 0;
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pkt_dts;
    const double unit = stream_time_base(block);
    if (pts == AV_NOPTS_VALUE || !(unit > 0.0)) {
        block->audio.sound.segment_start = false;
        return true;
    }
    const double t = static_cast<double>(pts) * unit - block->facts.media_start_seconds +
                     block->audio.sound.pts_offset;
    const double clock = block->audio.clock;
    const double gap = t - clock;
    auto fill = [&](double seconds) {
        *silence_samples =
            static_cast<int64_t>(std::llround(seconds * block->audio.out_sample_rate));
    };
    if (block->audio.sound.segment_start) {
        const double duration = frame->sample_rate > 0
                                    ? static_cast<double>(frame->nb_samples) / frame->sample_rate
                                    : 0.0;
        if (t + duration < clock - seek_target_slack_seconds) return false;
        block->audio.sound.segment_start = false;
        if (gap > audio_timestamp_tolerance_seconds && gap <= audio_gap_max_seconds) {
            fill(gap);
        } else {
            block->audio.clock = t;
        }
        return true;
    }
    // A direct seek moved the input without a new start: the frame's own
    // time is the clock.
    if (!block->reader.audio_clock_valid) {
        block->audio.clock = t;
        return true;
    }
    if (std::fabs(gap) <= audio_timestamp_tolerance_seconds) return true;
    if (gap > 0.0 && gap <= audio_gap_max_seconds) {
        fill(gap);
        return true;
    }
    logger().tracef_warning(
        "[FFmpeg] decode_audio_frame - the sound's timestamps jump by %.3f s, its clock goes on "
        "(audio/video block %d)",
        gap, block->id);
    block->audio.sound.pts_offset -= gap;
    return true;
}

// Hands the PCM just resampled (and any silence before it) to the callback.
int publish(AudioVideoBlock* block, int bytes, int64_t silence_samples) {
    const double rate = block->audio.out_sample_rate;
    block->audio.sound.play_seconds = block->audio.clock;
    block->audio.sound.silence_bytes = silence_samples * bytes_per_out_sample(block);
    block->audio.clock =
        block->audio.clock +
        (static_cast<double>(silence_samples) + bytes / bytes_per_out_sample(block)) / rate;
    block->audio.sound.buf_size = bytes;
    block->audio.sound.buf_index = 0;
    block->audio.sound.buf_serial = block->handover.serial;
    block->audio.played_out = false;
    return bytes;
}

// True when the frame gave something to hear: PCM in sound.pcm_buffer,
// silence before it, or both.
bool take_frame(AudioVideoBlock* block, const AVFrame* frame) {
    if (block->audio.sound.swr_ctx == nullptr || !same_input(block, frame)) {
        // Parameters that failed already are dropped without a further line.
        if (block->audio.sound.swr_ctx == nullptr && same_input(block, frame)) return false;
        if (!build_resampler(block, frame)) return false;
    }
    int64_t silence_samples = 0;
    if (!place_frame(block, frame, &silence_samples)) return false;
    const int bytes =
        resample(block, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (bytes < 0) return false;
    publish(block, bytes, silence_samples);
    return bytes > 0 || silence_samples > 0;
}

// The drain marker popped last is done with: the decoder has given out its
// last frame, or refused to drain.
void finish_drain(AudioVideoBlock* block) QVX_REQUIRES(block->audio.decoder_lock) {
    block->audio.decoding.flush();
    if (block->audio.sound.draining) {
        block->audio.sound.draining = false;
        block->audio.packets.done();
    }
}

// A seek or rewind: the sound starts afresh at audio_clock (set by it).
void restart_sound(AudioVideoBlock* block) QVX_REQUIRES(block->audio.decoder_lock) {
    block->audio.decoding.flush();
    if (block->audio.sound.swr_ctx != nullptr) swr_init(block->audio.sound.swr_ctx.get());
    block->audio.sound.swr_has_more = false;
    block->audio.sound.swr_flushing = false;
    block->audio.sound.segment_start = true;
    block->audio.sound.pts_offset = 0.0;
}

// True once the decoder has failed too often in a row to go on (said once:
// nothing is decoded afterwards).
bool decoder_gave_up(AudioVideoBlock* block) QVX_REQUIRES(block->audio.decoder_lock) {
    if (!block->audio.decoding.gave_up()) return false;
    logger().tracef_error(
        "[FFmpeg] decode_audio_frame - the audio decoder failed %d times in a row, the sound "
        "ends (audio/video block %d): %s",
        block->audio.decoding.refused_in_a_row(), block->id,
        av_error_text(block->audio.decoding.last_error()).c_str());
    return true;
}

// After the decoder gave up for good packets are only let go, so the
// reader's end-of-input and loop handling still see them used.
void discard_packets(AudioVideoBlock* block) {
    if (block->audio.sound.draining) {
        block->audio.sound.draining = false;
        block->audio.packets.done();
    }
    while (AVPacket* packet = block->audio.packets.pop()) {
        // Markers are shared and never freed.
        const PacketPtr owned(is_marker(packet) ? nullptr : packet);
        block->audio.packets.done();
    }
}

bool usable(const AVFrame* frame) {
    return (frame->flags & (AV_FRAME_FLAG_DISCARD | AV_FRAME_FLAG_CORRUPT)) == 0 &&
           frame->buf[0] != nullptr;
}

}  // namespace

int decode_audio_frame(AudioVideoBlock* block) {
    if (block == nullptr || block->audio.stop) return 0;
    // Never wait for the decoder on SDL's audio thread: a repositioning that
    // holds it makes this call play silence instead.
    if (!block->audio.decoder_lock.try_lock()) return 0;
    MutexLock decoder(block->audio.decoder_lock, std::adopt_lock);
    if (block->audio.codec_ctx == nullptr) return 0;
    DecodingLoop& loop = block->audio.decoding;
    block->audio.sound.silence_bytes = 0;
    block->audio.sound.buf_size = 0;
    block->audio.sound.buf_index = 0;
    if (loop.gave_up()) {
        discard_packets(block);
        return 0;
    }

    if (block->audio.sound.swr_has_more && block->audio.sound.swr_ctx != nullptr) {
        // The rest of a frame whose output was cut, or of a flush.
        const int bytes = resample_held(block);
        if (bytes > 0) return publish(block, bytes, 0);
    }

    for (int step = 0; step < max_decode_steps && !block->audio.stop; ++step) {
        // Frames of the input already sent come first, one heard frame per
        // call; a packet is sent once and only when the decoder asks for more.
        bool heard = false;
        const DecodingLoop::Status received = loop.receive([block, &heard](const AVFrame* frame) {
            heard = usable(frame) && take_frame(block, frame);
            return !heard;
        });
        if (heard) return block->audio.sound.buf_size;
        if (received == DecodingLoop::Status::drained) {
            // The input has ended: what the resampler holds is the end of
            // the sound (with a very low source rate, maybe all of it).
            int bytes = 0;
            if (block->audio.sound.draining && block->audio.sound.swr_ctx != nullptr) {
                block->audio.sound.swr_flushing = true;
                bytes = resample_held(block);
            }
            finish_drain(block);
            if (bytes > 0) return publish(block, bytes, 0);
            continue;
        }
        if (received == DecodingLoop::Status::failed) {
            logger().tracef_error(
                "[FFmpeg] decode_audio_frame - avcodec_receive_frame failed (err: %d)",
                loop.last_error());
            if (decoder_gave_up(block)) {
                discard_packets(block);
                return 0;
            }
        }
        if (block->audio.sound.draining) return 0;

        AVPacket* packet = block->audio.packets.pop();
        if (packet == nullptr) return 0;
        if (packet == flush_packet()) {
            restart_sound(block);
            block->audio.packets.done();
            continue;
        }
        if (packet == drain_packet()) {
            // Stays in flight until the decoder has given out its last frame.
            block->audio.sound.draining = true;
            if (loop.send(nullptr) != DecodingLoop::Status::ok) finish_drain(block);
            continue;
        }
        const PacketPtr owned(packet);
        const DecodingLoop::Status sent = loop.send(packet);
        block->audio.packets.done();
        if (sent != DecodingLoop::Status::refused) continue;
        logger().tracef_warning(
            "[FFmpeg] decode_audio_frame - packet dropped, the decoder refused it (audio/video "
            "block %d): %s",
            block->id, av_error_text(loop.last_error()).c_str());
        if (decoder_gave_up(block)) {
            discard_packets(block);
            return 0;
        }
    }
    return 0;
}

}  // namespace qvx_ffmpeg
