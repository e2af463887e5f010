#include "pipeline/pipeline.h"
#include "plugin/audio_video_block.h"
#include "texture/texture.h"

namespace qvx_ffmpeg {

float block_position(const AudioVideoBlock* block) {
    if (block->video_stream_index >= 0) return block->video_position;
    if (block->audio_stream_index >= 0) return block->audio_position;
    return 0.0f;
}

int64_t block_duration_seconds(const AudioVideoBlock* block) {
    if (block->format_ctx == nullptr || block->format_ctx->duration == AV_NOPTS_VALUE) return 0;
    return (block->format_ctx->duration + 5000) / 1000000;
}

double block_video_fps(const AudioVideoBlock* block) {
    if (block->video_stream_index < 0 || block->format_ctx == nullptr) return 0.0;
    const AVStream* stream = block->format_ctx->streams[block->video_stream_index];
    if (stream->avg_frame_rate.den <= 0) return 0.0;
    // H.264 streams report their real rate in avg_frame_rate; r_frame_rate
    // there is often the field rate.
    if (stream->codecpar->codec_id == AV_CODEC_ID_H264)
        return static_cast<double>(stream->avg_frame_rate.num) / stream->avg_frame_rate.den;
    if (stream->r_frame_rate.den == 0) return 0.0;
    return static_cast<double>(stream->r_frame_rate.num) / stream->r_frame_rate.den;
}

int64_t clamp_seek_target(const AudioVideoBlock* block, int seconds) {
    if (seconds < 0 || seconds >= block->duration_seconds) return 0;
    return seconds;
}

void set_block_paused(AudioVideoBlock* block, bool paused) {
    if (paused) {
        block->paused = true;
    } else if (block->paused) {
        // Bring the clock up to now while still paused, so the paused span is
        // neither added to the positions nor to the video pacing.
        update_clock(block);
        block->paused = false;
        block->frame_timer_reference = static_cast<double>(block->clock_last_reading.load());
    }
    notify_block(block);
}

void request_seek(AudioVideoBlock* block, int seconds) {
    block->seek_target_seconds = clamp_seek_target(block, seconds);
    block->seek_requested = true;
    notify_block(block);
}

void request_rewind(AudioVideoBlock* block) {
    block->rewind_requested = true;
    notify_block(block);
}

}  // namespace qvx_ffmpeg
