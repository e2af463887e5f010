#include <cstring>

#include "audio/audio.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr int initial_pcm_buffer_bytes = 32832;
// Packets or frames one call may go through before it gives up for now.
constexpr int max_decode_steps = 32;

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

bool ensure_pcm_capacity(AudioVideoBlock* block, int bytes) {
    if (block->audio_pcm_buffer != nullptr && bytes <= block->_audio_pcm_buffer_max_size)
        return true;
    const int capacity = bytes > initial_pcm_buffer_bytes ? bytes : initial_pcm_buffer_bytes;
    auto* buffer = static_cast<uint8_t*>(av_realloc(block->audio_pcm_buffer, capacity));
    if (buffer == nullptr) return false;
    if (block->audio_pcm_buffer == nullptr) {
        std::memset(buffer, 0, capacity);
        block->audio_buf_size = 0;
        block->audio_buf_index = 0;
    }
    block->audio_pcm_buffer = buffer;
    block->_audio_pcm_buffer_max_size = capacity;
    return true;
}

bool ensure_resampled_capacity(AudioVideoBlock* block, int samples) {
    if (block->resampled_data != nullptr && samples <= block->resampled_capacity_samples)
        return true;
    if (block->resampled_data) {
        av_freep(&block->resampled_data[0]);
        av_freep(&block->resampled_data);
    }
    block->resampled_capacity_samples = 0;
    block->resampled_linesize = 0;
    const int r =
        av_samples_alloc_array_and_samples(&block->resampled_data, &block->resampled_linesize,
                                           block->out_channels, samples, AV_SAMPLE_FMT_S16, 0);
    if (r < 0) {
        logger().tracef_error(
            "[FFmpeg] - audio_resampling error: av_samples_alloc failed (err: %d)", r);
        return false;
    }
    block->resampled_capacity_samples = samples;
    return true;
}

// The media time of the PCM now in the buffer: the frame's timestamp, or
// for a frame without one, the end of the PCM before it.
void update_audio_clock(AudioVideoBlock* block, const AVFrame* frame, int previous_bytes) {
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pkt_dts;
    if (pts == AV_NOPTS_VALUE) {
        const double bytes_per_second = 2.0 * block->out_channels * block->out_sample_rate;
        if (bytes_per_second > 0)
            block->audio_clock = block->audio_clock + previous_bytes / bytes_per_second;
        return;
    }
    block->audio_pts = static_cast<double>(pts);
    block->audio_clock = block->audio_pts * av_q2d(block->audio_stream->time_base);
}

void finish_drain(AudioVideoBlock* block) {
    avcodec_flush_buffers(block->audio_codec_ctx);
    if (block->audio_draining) {
        block->audio_draining = false;
        block->audio_packets.done();
    }
}

}  // namespace

int audio_resampling(AudioVideoBlock* block) {
    if (block == nullptr || block->swr_ctx == nullptr) return -1;
    AVFrame* frame = block->audio_decoded_frame;
    // Everything the resampler can give for this frame, its own delay
    // included: a device rate other than the stream's loses nothing.
    const int capacity = swr_get_out_samples(block->swr_ctx, frame->nb_samples);
    if (capacity <= 0) return -1;
    if (!ensure_resampled_capacity(block, capacity)) return -1;
    const int converted =
        swr_convert(block->swr_ctx, block->resampled_data, capacity,
                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted < 0) {
        logger().tracef_error("[FFmpeg] - audio_resampling error: swr_convert failed (err: %d)",
                              converted);
        return -1;
    }
    // A resampler filling its delay line may give nothing for a frame yet.
    if (converted == 0) return 0;
    const int size =
        av_samples_get_buffer_size(nullptr, block->out_channels, converted, AV_SAMPLE_FMT_S16, 1);
    if (size < 0) {
        logger().tracef_error(
            "[FFmpeg] - audio_resampling error: av_samples_get_buffer_size failed (err: %d)", size);
        return -1;
    }
    if (!ensure_pcm_capacity(block, size)) return -1;
    block->audio_resampled_data_size = size;
    std::memcpy(block->audio_pcm_buffer, block->resampled_data[0], size);
    block->audio_buf_size = size;
    return size;
}

int decode_audio_frame(AudioVideoBlock* block) {
    if (block == nullptr || block->audio_stop) return 0;
    // Never wait for the decoder on SDL's audio thread: a repositioning that
    // holds it makes this call play silence instead.
    std::unique_lock<std::mutex> decoder(block->audio_decoder_lock, std::try_to_lock);
    if (!decoder.owns_lock()) return 0;
    AVCodecContext* ctx = block->audio_codec_ctx;
    AVFrame* frame = block->audio_decoded_frame;
    if (ctx == nullptr || frame == nullptr) return 0;

    for (int step = 0; step < max_decode_steps && !block->audio_stop; ++step) {
        // Frames of the input already sent come first; a packet is sent
        // once and only when the decoder asks for more.
        int r = avcodec_receive_frame(ctx, frame);
        if (r == 0) {
            if ((frame->flags & (AV_FRAME_FLAG_DISCARD | AV_FRAME_FLAG_CORRUPT)) != 0 ||
                frame->buf[0] == nullptr) {
                av_frame_unref(frame);
                continue;
            }
            const int previous_bytes = block->audio_buf_size;
            const int n = audio_resampling(block);
            if (n > 0) update_audio_clock(block, frame, previous_bytes);
            av_frame_unref(frame);
            if (n > 0) return n;
            continue;
        }
        if (r == AVERROR_EOF) {
            finish_drain(block);
            continue;
        }
        if (r != AVERROR(EAGAIN))
            logger().tracef_error(
                "[FFmpeg] decode_audio_frame - avcodec_receive_frame failed (err: %d)", r);
        if (block->audio_draining) return 0;

        AVPacket* packet = block->audio_packets.pop();
        if (packet == nullptr) return 0;
        if (packet == flush_packet()) {
            avcodec_flush_buffers(ctx);
            block->audio_packets.done();
            continue;
        }
        if (packet == drain_packet()) {
            // Stays in flight until the decoder has given out its last frame.
            block->audio_draining = true;
            r = avcodec_send_packet(ctx, nullptr);
            if (r < 0) finish_drain(block);
            continue;
        }
        r = avcodec_send_packet(ctx, packet);
        av_packet_free(&packet);
        block->audio_packets.done();
        // A packet the decoder refuses is dropped; the next one may decode.
        (void)r;
    }
    return 0;
}

}  // namespace qvx_ffmpeg
