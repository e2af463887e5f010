// The block-keyed and texture-keyed operations of the plug-in object: each
// finds its block and hands over to the subsystem that does the work.
#include <algorithm>
#include <cmath>

#include "pipeline/pipeline.h"
#include "plugin/block_control.h"
#include "plugin/plugin.h"
#include "texture/texture.h"

namespace qvx {

using namespace qvx_ffmpeg;

bool SimpleVideoFFmpeg::video_create_texture_rgb24(int id, Renderer* renderer, Texture* texture) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_create_texture_rgb24(block, renderer, texture);
}

bool SimpleVideoFFmpeg::video_update_texture_rgb24(int id, Renderer* renderer, Texture* texture) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_update_texture_rgb24(block, renderer, texture);
}

bool SimpleVideoFFmpeg::video_create_textures_yuv420p(int id, Renderer* renderer,
                                                      Texture** textures) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_create_textures_yuv420p(block, renderer, textures);
}

bool SimpleVideoFFmpeg::video_update_textures_yuv420p(int id, Renderer* renderer,
                                                      Texture** textures, const uint64_t* units) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_update_textures_yuv420p(block, renderer, textures, units);
}

bool SimpleVideoFFmpeg::video_create_textures_nv12(int id, Renderer* renderer, Texture** textures) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_create_textures_nv12(block, renderer, textures);
}

bool SimpleVideoFFmpeg::video_update_textures_nv12(int id, Renderer* renderer, Texture** textures,
                                                   const uint64_t* units) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::video_update_textures_nv12(block, renderer, textures, units);
}

float SimpleVideoFFmpeg::get_video_rotation(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.video_rotation : 0.0f;
}

// True once a non-looping block has reached its end: everything was shown
// and heard (from then on get_position is at least get_duration).
bool SimpleVideoFFmpeg::update_block(int id) {
    AudioVideoBlock* block = find_block(id);
    return block != nullptr && block_ended(block);
}

bool SimpleVideoFFmpeg::set_streams_enabled(int id, bool video_enabled, bool audio_enabled) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return false;
    block->controls.video_enabled = video_enabled;
    block->controls.audio_enabled = audio_enabled;
    return true;
}

int SimpleVideoFFmpeg::get_video_stream_index(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.video_stream_index : 0;
}

int SimpleVideoFFmpeg::get_audio_stream_index(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.audio_stream_index : 0;
}

void SimpleVideoFFmpeg::set_paused(int id, bool paused) {
    if (AudioVideoBlock* block = find_block(id)) set_block_paused(block, paused);
}

void SimpleVideoFFmpeg::rewind_block(int id) {
    if (AudioVideoBlock* block = find_block(id)) request_rewind(block);
}

float SimpleVideoFFmpeg::get_position(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block_position(block) : 0.0f;
}

void SimpleVideoFFmpeg::set_volume(int id, float volume) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return;
    if (std::isnan(volume)) {
        qvx::LogMgr::get().tracef_warning(
            "[FFmpeg] set_volume - the volume is not a number, it stays %.2f (audio/video block "
            "%d)",
            block->controls.volume.load(), id);
        return;
    }
    block->controls.volume = std::clamp(volume, 0.0f, 1.0f);
}

int64_t SimpleVideoFFmpeg::get_duration(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block_duration_seconds(block) : 0;
}

bool SimpleVideoFFmpeg::get_video_size(int id, int* width, int* height) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr || block->video.codec_ctx == nullptr) return false;
    if (width) *width = block->video.width;
    if (height) *height = block->video.height;
    return true;
}

const char* SimpleVideoFFmpeg::get_video_codec_name(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.video_codec_name.c_str() : nullptr;
}

const char* SimpleVideoFFmpeg::get_audio_codec_name(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.audio_codec_name.c_str() : nullptr;
}

uint32_t SimpleVideoFFmpeg::get_num_video_frames(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.video_num_frames : 0;
}

uint32_t SimpleVideoFFmpeg::get_num_audio_frames(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->facts.audio_num_frames : 0;
}

double SimpleVideoFFmpeg::get_video_fps(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block_video_fps(block) : 0.0;
}

int64_t SimpleVideoFFmpeg::video_ms_to_timestamp(int id, int milliseconds) {
    AudioVideoBlock* block = find_block(id);
    return block ? qvx_ffmpeg::video_ms_to_timestamp(block, milliseconds) : 0;
}

bool SimpleVideoFFmpeg::seek_video_frame(int id, int seconds) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::seek_video_frame(block, seconds);
}

bool SimpleVideoFFmpeg::seek_video_timestamp(int id, int timestamp) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::seek_video_timestamp(block, timestamp);
}

bool SimpleVideoFFmpeg::seek_audio_timestamp(int id, int timestamp) {
    AudioVideoBlock* block = find_block(id);
    return block && qvx_ffmpeg::seek_audio_timestamp(block, timestamp);
}

bool SimpleVideoFFmpeg::seek_block(int id, int seconds) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return false;
    request_seek(block, seconds);
    return true;
}

uint32_t SimpleVideoFFmpeg::get_num_displayed_frames(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->handover.displayed_count.load() : 0xFFFFFFFFu;
}

uint32_t SimpleVideoFFmpeg::get_num_decoded_frames(int id) {
    AudioVideoBlock* block = find_block(id);
    return block ? block->video.decoded_count.load() : 0xFFFFFFFFu;
}

// ---- Texture-keyed operations: through the virtual table, so an override of
// the block-keyed operation is honoured. ------------------------------------

bool SimpleVideoFFmpeg::texture_create_from_file(Renderer* renderer, Texture* texture,
                                                 const char* filename) {
    if (texture == nullptr) return false;
    const int id = create_block(filename, false);
    if (id <= 0) return false;
    // Link the texture to its block, or no texture-keyed operation could
    // ever reach it.
    texture->set_audio_video_block_id(id);
    return video_create_texture_rgb24(id, renderer, texture);
}

bool SimpleVideoFFmpeg::texture_update(Renderer* renderer, Texture* texture) {
    if (texture == nullptr) return false;
    const int id = texture->get_audio_video_block_id();
    update_block(id);
    return video_update_texture_rgb24(id, renderer, texture);
}

int64_t SimpleVideoFFmpeg::texture_get_duration(Texture* texture) {
    return texture ? get_duration(texture->get_audio_video_block_id()) : 0;
}

double SimpleVideoFFmpeg::texture_get_video_fps(Texture* texture) {
    return texture ? get_video_fps(texture->get_audio_video_block_id()) : 0.0;
}

int64_t SimpleVideoFFmpeg::texture_video_ms_to_timestamp(Texture* texture, int milliseconds) {
    return texture ? video_ms_to_timestamp(texture->get_audio_video_block_id(), milliseconds) : 0;
}

bool SimpleVideoFFmpeg::texture_seek_video_frame(Texture* texture, int seconds) {
    return texture && seek_video_frame(texture->get_audio_video_block_id(), seconds);
}

bool SimpleVideoFFmpeg::texture_seek_video_timestamp(Texture* texture, int timestamp) {
    return texture && seek_video_timestamp(texture->get_audio_video_block_id(), timestamp);
}

bool SimpleVideoFFmpeg::texture_destroy_block(Texture* texture) {
    if (texture == nullptr) return false;
    destroy_block(texture->get_audio_video_block_id());
    texture->set_audio_video_block_id(0);
    return true;
}

}  // namespace qvx
