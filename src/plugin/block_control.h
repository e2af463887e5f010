// What the plug-in's operations do to a whole block: stop and teardown, and
// the queries with rules of their own.
#pragma once

#include <cstdint>

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// Releases everything opening and playing acquired; joins the threads
// first. Safe on a partly opened block. Always returns true.
bool teardown_block(AudioVideoBlock* block);

// Raises the three stop flags, wakes every wait and joins the reader (under
// run_lock; nothing when no reader runs). resume_later: the next
// play_block goes on from the position reached.
void stop_reader_thread(AudioVideoBlock* block, bool resume_later = false);

// Queries with rules of their own. They read only what open fixed and the
// block's atomics, never the format context, so they answer at once
// whatever the reader is doing.
// Fixes duration_us and video_fps from the opened input (host, right after
// the open, before any thread of the block runs).
void fix_open_block_facts(AudioVideoBlock* block);
// Seconds from the start; once a non-looping block has ended, at least its
// duration (both the exact one and get_duration's whole seconds).
float block_position(const AudioVideoBlock* block);
// Whole seconds, rounded at 5 ms; 1 for an input shorter than a second; 0
// when unknown.
int64_t block_duration_seconds(const AudioVideoBlock* block);
// avg_frame_rate, else r_frame_rate, else the decoder's, skipping tick rates.
double block_video_fps(const AudioVideoBlock* block);
// A non-looping block has reached its end: everything was shown and heard.
bool block_ended(const AudioVideoBlock* block);

}  // namespace qvx_ffmpeg
