// The playback clock: the time a block has played, and the positions it
// moves with it.
#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

float timer_seconds(AudioVideoBlock* block) {
    return static_cast<float>(block->playback_timer.getMilliseconds()) * 0.001f;
}

}  // namespace

float update_clock(AudioVideoBlock* block) {
    std::lock_guard<std::mutex> guard(block->clock_lock);
    const float now = timer_seconds(block);
    const float delta = now - block->clock_last_reading;
    block->clock_last_reading = now;
    block->clock_elapsed = block->clock_elapsed + delta;
    // An untimed block's positions follow only the frames handed over.
    if (block->realtime && !block->paused && !block->input_ended) {
        block->video_position = block->video_position + delta;
        block->audio_position = block->audio_position + delta;
    }
    return block->clock_elapsed;
}

void restart_clock(AudioVideoBlock* block) {
    std::lock_guard<std::mutex> guard(block->clock_lock);
    const float t = timer_seconds(block);
    block->clock_elapsed = 0.0f;
    block->video_position = 0.0f;
    block->audio_position = 0.0f;
    block->clock_last_reading = t;
    block->frame_timer = static_cast<double>(t);
    block->frame_timer_reference = static_cast<double>(t);
    block->input_ended = false;
    block->audio_clock_valid = false;
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

}  // namespace qvx_ffmpeg
