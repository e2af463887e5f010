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

// Queries with rules of their own.
float block_position(const AudioVideoBlock* block);
int64_t block_duration_seconds(const AudioVideoBlock* block);
double block_video_fps(const AudioVideoBlock* block);
// A seek target within [0, duration), else 0.
int64_t clamp_seek_target(const AudioVideoBlock* block, int seconds);
void set_block_paused(AudioVideoBlock* block, bool paused);
void request_seek(AudioVideoBlock* block, int seconds);
void request_rewind(AudioVideoBlock* block);

}  // namespace qvx_ffmpeg
