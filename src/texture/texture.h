// Texture delivery and block queries: what the host's render thread and
// its queries reach of a block.
#pragma once

#include <cstdint>

#include "host/qvx.h"

namespace qvx_ffmpeg {

struct AudioVideoBlock;

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

}  // namespace qvx_ffmpeg
