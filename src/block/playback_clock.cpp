// The playback clock: the time a block has played, the positions it moves
// with it, and the video's pacing timer. Every write is made under the
// clock's lock (see PlaybackClock).
#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

// The caller holds the clock's lock.
double timer_seconds(AudioVideoBlock* block) QVX_REQUIRES(block->clock.lock) {
    return block->clock.timer_readings.seconds(block->playback_timer.getMilliseconds());
}

// Brings the clock up to now; the caller holds the lock.
float update_clock_locked(AudioVideoBlock* block) QVX_REQUIRES(block->clock.lock) {
    PlaybackClock& clock = block->clock;
    const double now = timer_seconds(block);
    const float delta = static_cast<float>(now - clock.last_reading);
    clock.last_reading = now;
    clock.elapsed = clock.elapsed + delta;
    // An untimed block's positions follow only the frames handed over.
    if (block->facts.realtime && !block->controls.paused && !block->reader.input_ended) {
        clock.video_position = clock.video_position + delta;
        clock.audio_position = clock.audio_position + delta;
    }
    return clock.elapsed;
}

}  // namespace

double TimerReadings::seconds(uint32_t count_ms) {
    // Unsigned difference: right across a wrap of the count.
    total_ms_ += static_cast<uint32_t>(count_ms - last_count_ms_);
    last_count_ms_ = count_ms;
    return static_cast<double>(total_ms_) * 0.001;
}

float update_clock(AudioVideoBlock* block) {
    MutexLock guard(block->clock.lock);
    return update_clock_locked(block);
}

void restart_clock(AudioVideoBlock* block) {
    PlaybackClock& clock = block->clock;
    MutexLock guard(block->clock.lock);
    const double t = timer_seconds(block);
    clock.elapsed = 0.0f;
    clock.video_position = 0.0f;
    clock.audio_position = 0.0f;
    clock.last_reading = t;
    clock.frame_timer = t;
    clock.frame_timer_reference = t;
    block->clock.sound_fit.reset();
    block->reader.input_ended = false;
    block->reader.audio_clock_valid = false;
}

void set_block_paused(AudioVideoBlock* block, bool paused) {
    if (paused) {
        block->controls.paused = true;
    } else if (block->controls.paused) {
        // Bring the clock up to now while still paused, so the paused span is
        // neither added to the positions nor to the video pacing. The sound's
        // line would carry the paused span on: it starts afresh.
        MutexLock guard(block->clock.lock);
        update_clock_locked(block);
        block->controls.paused = false;
        block->clock.frame_timer_reference = block->clock.last_reading.load();
        block->clock.sound_fit.reset();
    }
    notify_block(block);
}

void set_positions(AudioVideoBlock* block, double seconds) {
    MutexLock guard(block->clock.lock);
    block->clock.video_position = static_cast<float>(seconds);
    block->clock.audio_position = static_cast<float>(seconds);
    block->clock.sound_fit.reset();
}

void set_video_position(AudioVideoBlock* block, double seconds) {
    MutexLock guard(block->clock.lock);
    block->clock.video_position = static_cast<float>(seconds);
}

void set_heard_position(AudioVideoBlock* block, double seconds) {
    MutexLock guard(block->clock.lock);
    update_clock_locked(block);
    block->clock.audio_position = static_cast<float>(seconds);
}

void note_sound_heard(AudioVideoBlock* block, double seconds) {
    MutexLock guard(block->clock.lock);
    update_clock_locked(block);
    block->clock.audio_position = static_cast<float>(seconds);
    // The first sound heard after a start or repositioning starts the line.
    if (!block->reader.audio_clock_valid) block->clock.sound_fit.reset();
    block->clock.sound_fit.add(block->clock.last_reading.load(), seconds);
}

bool fitted_heard_position(AudioVideoBlock* block, double* seconds) {
    MutexLock guard(block->clock.lock);
    return block->clock.sound_fit.position_at(block->clock.last_reading.load(), seconds);
}

void hold_start_together(AudioVideoBlock* block) {
    const bool together = block->reader.audio_drives_video;
    // The deadline first: the callback reads it once it sees the hold.
    block->reader.sound_hold_deadline_ns = steady_now_ns() + int64_t{max_sound_hold_ms} * 1000000;
    block->reader.hold_sound_for_video = together;
    block->reader.hold_video_for_sound = together;
}

double advance_frame_timer(AudioVideoBlock* block) {
    PlaybackClock& clock = block->clock;
    MutexLock guard(block->clock.lock);
    update_clock_locked(block);
    // The clock's own reading, not the time played: the reference is set
    // from readings (start, rewind, resume), and the time played restarts
    // from 0 at every rewind.
    const double c = clock.last_reading;
    const double e = c - clock.frame_timer_reference;
    clock.frame_timer_reference = c;
    clock.frame_timer = clock.frame_timer + e;
    return clock.frame_timer;
}

void restart_frame_timer(AudioVideoBlock* block, double t) {
    PlaybackClock& clock = block->clock;
    MutexLock guard(block->clock.lock);
    update_clock_locked(block);
    clock.frame_timer_reference = clock.last_reading.load();
    clock.frame_timer = t;
}

void move_frame_timer(AudioVideoBlock* block, double delta) {
    MutexLock guard(block->clock.lock);
    block->clock.frame_timer = block->clock.frame_timer + delta;
}

}  // namespace qvx_ffmpeg
