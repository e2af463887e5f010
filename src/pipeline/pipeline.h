// Playback pipeline: reader thread and clock, seeking, video decode thread
// and frame conversion.
#pragma once

#include <cstdint>
#include <functional>

#include "block/ffmpeg.h"

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// Upper bounds of one wait, so that stop, pause and seek stay responsive
// even if a wake-up were missed.
constexpr int pacing_slice_ms = 50;
constexpr int idle_wait_ms = 50;
constexpr int end_of_input_retry_ms = 20;
// How long the first picture of a start or rewind waits for the sound to
// begin.
constexpr int max_sound_start_wait_ms = 300;
// Following the sound: the picture's clock runs up to max_sync_rate_percent
// fast or slow (a sound device's clock may be a percent off ours) towards
// the sound's fitted line (SoundClockFit); until the line has its span, the
// gap to the sound heard is averaged over about sync_average_ms (a device's
// clock moves in steps of a callback, with their jitter) and closed once
// beyond sync_deadband_ms. A gap beyond max_sync_gap_ms is closed at once.
constexpr int sync_average_ms = 500;
constexpr int sync_deadband_ms = 5;
constexpr int max_sync_rate_percent = 2;
constexpr int max_sync_gap_ms = 100;

// Reader read-ahead limits over both queues of a block.
constexpr uint64_t max_queue_packets = 131072;
constexpr uint64_t max_queue_bytes = 64ull * 1024 * 1024;
// A local file is read only this far ahead of each stream played, and again
// once one of them is down to half of it: its packets come as fast as the
// disk gives them, and filling the whole byte limit at once (a 10 s 1080p
// clip whole) makes every block's start a burst of demuxing that holds up
// the decoders of all the blocks playing. Other inputs keep the byte limit,
// against a server that stalls. A block starts first_read_ahead_ms ahead,
// and reads further ahead as it plays, up to local_read_ahead_ms once it
// has played that long: the queues' first fill is memory the system hands
// out fresh, page by page, and at a start, with the block's decoder
// allocating its pictures too (and every other block starting alongside),
// that is CPU the cores do not have.
constexpr int first_read_ahead_ms = 500;
constexpr int local_read_ahead_ms = 2000;

// ---- Threads ---------------------------------------------------------------
unsigned reader_thread(AudioVideoBlock* block);
unsigned video_decode_thread(AudioVideoBlock* block);

// ---- Seeking -----------------------------------------------------------------
// Run on the reader thread; false when the input could not be moved (then
// nothing else changed). seconds count from the input's start; sound read
// while the video looks for its key frame goes to route_audio. loop_pass:
// the rewind of a looping block at its end, whose last pictures are still
// to be shown.
bool rewind_to_start(AudioVideoBlock* block, bool video_on, bool audio_on,
                     const std::function<void(AVPacket*)>& route_audio, bool loop_pass = false);
bool seek_to_seconds(AudioVideoBlock* block, bool video_on, bool audio_on, double seconds,
                     const std::function<void(AVPacket*)>& route_audio);
// Host requests, answered at once: the reader serves them.
// A target within [0, duration), else 0 (whole seconds, seek_block's rule).
int64_t clamp_seek_target(const AudioVideoBlock* block, int seconds);
void request_seek(AudioVideoBlock* block, int seconds);
// Any point in seconds from the start; outside [0, duration) the start.
void request_seek_seconds(AudioVideoBlock* block, double seconds);
void request_rewind(AudioVideoBlock* block);
// Direct operations, run on the host's thread at any time; they never wait
// for the input.
int64_t video_ms_to_timestamp(AudioVideoBlock* block, int milliseconds);
bool seek_video_frame(AudioVideoBlock* block, int seconds);
bool seek_video_timestamp(AudioVideoBlock* block, int timestamp);
bool seek_audio_timestamp(AudioVideoBlock* block, int timestamp);

// ---- Conversion --------------------------------------------------------------
// Each converts a decoded frame into a free frame-pool entry stamped with
// serial (the video_serial it was decoded under) and queues it on
// decoded_frames; true when an entry was queued. seconds: the frame's time
// from the start. A real-time block drops the frame when the pool is full;
// an untimed one waits for a free entry (false after a stop or a
// repositioning came first).
bool video_convert_rgb24(AudioVideoBlock* block, AVFrame* frame, uint32_t serial,
                         double seconds = 0.0);
bool video_convert_yuv420p(AudioVideoBlock* block, AVFrame* frame, uint32_t serial,
                           double seconds = 0.0);
bool video_convert_nv12(AudioVideoBlock* block, AVFrame* frame, uint32_t serial,
                        double seconds = 0.0);

}  // namespace qvx_ffmpeg
