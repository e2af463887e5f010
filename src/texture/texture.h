// Texture delivery and block queries: what the host's render thread and
// its queries reach of a block.
#pragma once

#include <cstdint>

#include "host/qvx.h"

namespace qvx_ffmpeg {

struct AudioVideoBlock;
struct FramePoolEntry;

// Removes the oldest converted frame, or null when none waits.
FramePoolEntry* pop_decoded_frame(AudioVideoBlock* block);
// Gives an entry back to the frame pool.
void release_decoded_frame(FramePoolEntry* entry);
// After entries of an untimed block were released: wakes the converter
// waiting for one and the reader waiting for the host to take the last.
void wake_frame_waiters(AudioVideoBlock* block);
// Converted frames the host has not taken yet (or is still uploading).
bool frames_waiting(const AudioVideoBlock* block);

// Host texture pixel-format codes.
constexpr int texture_format_rgb = 1;
constexpr int texture_format_r8 = 11;
constexpr int texture_format_rg8 = 12;

bool video_create_texture_rgb24(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture* texture);
bool video_update_texture_rgb24(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture* texture);
bool video_create_textures_yuv420p(AudioVideoBlock* block, qvx::Renderer* renderer,
                                   qvx::Texture** textures);
bool video_update_textures_yuv420p(AudioVideoBlock* block, qvx::Renderer* renderer,
                                   qvx::Texture** textures, const uint64_t* units);
bool video_create_textures_nv12(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture** textures);
bool video_update_textures_nv12(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture** textures, const uint64_t* units);

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
