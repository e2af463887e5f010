// The plug-in object the host creates through qvx_plugin_create.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "block/audio_video_block.h"
#include "host/qvx.h"
#include "media/media.h"

namespace qvx {

// Called by the host from its own threads. The registry has no lock: the
// host must not create or destroy blocks concurrently with other calls.
class SimpleVideoFFmpeg : public SimpleVideo {
public:
    SimpleVideoFFmpeg();
    ~SimpleVideoFFmpeg() override;

    bool initialize() override;
    bool terminate() override;
    bool start() override;
    bool stop() override;
    int create_block(const char* filename, bool loop) override;
    bool destroy_block(int id) override;
    bool play_block(int id, bool video_enabled, bool audio_enabled) override;
    bool stop_block(int id) override;
    bool video_create_texture_rgb24(int id, Renderer* renderer, Texture* texture) override;
    bool video_update_texture_rgb24(int id, Renderer* renderer, Texture* texture) override;
    bool video_create_textures_yuv420p(int id, Renderer* renderer, Texture** textures) override;
    bool video_update_textures_yuv420p(int id, Renderer* renderer, Texture** textures,
                                       const uint64_t* units) override;
    bool video_create_textures_nv12(int id, Renderer* renderer, Texture** textures) override;
    bool video_update_textures_nv12(int id, Renderer* renderer, Texture** textures,
                                    const uint64_t* units) override;
    float get_video_rotation(int id) override;
    bool update_block(int id) override;
    bool set_streams_enabled(int id, bool video_enabled, bool audio_enabled) override;
    int get_video_stream_index(int id) override;
    int get_audio_stream_index(int id) override;
    void set_paused(int id, bool paused) override;
    void rewind_block(int id) override;
    float get_position(int id) override;
    void set_volume(int id, float volume) override;
    int64_t get_duration(int id) override;
    bool get_video_size(int id, int* width, int* height) override;
    const char* get_video_codec_name(int id) override;
    const char* get_audio_codec_name(int id) override;
    uint32_t get_num_video_frames(int id) override;
    uint32_t get_num_audio_frames(int id) override;
    double get_video_fps(int id) override;
    int64_t video_ms_to_timestamp(int id, int milliseconds) override;
    bool seek_video_frame(int id, int seconds) override;
    bool seek_video_timestamp(int id, int timestamp) override;
    bool seek_audio_timestamp(int id, int timestamp) override;
    bool seek_block(int id, int seconds) override;
    void set_audio_manager(void* manager) override;
    void* get_audio_manager() override;
    bool set_parameter_int(const char* key, int value) override;
    bool set_parameter_string(const char* key, const char* value) override;
    uint32_t get_num_displayed_frames(int id) override;
    uint32_t get_num_decoded_frames(int id) override;
    bool is_hw_device_available(const char* name) override;
    bool is_hw_device_used(int id, const char* name) override;
    bool texture_create_from_file(Renderer* renderer, Texture* texture,
                                  const char* filename) override;
    bool texture_update(Renderer* renderer, Texture* texture) override;
    int64_t texture_get_duration(Texture* texture) override;
    double texture_get_video_fps(Texture* texture) override;
    int64_t texture_video_ms_to_timestamp(Texture* texture, int milliseconds) override;
    bool texture_seek_video_frame(Texture* texture, int seconds) override;
    bool texture_seek_video_timestamp(Texture* texture, int timestamp) override;
    bool texture_destroy_block(Texture* texture) override;

private:
    // First registered block with this id, or null.
    qvx_ffmpeg::AudioVideoBlock* find_block(int id) const;
    void destroy_all_blocks();

    bool initialized = false;
    bool started = false;
    void* audio_manager = nullptr;
    qvx_ffmpeg::DecodingSettings settings;
    std::vector<std::unique_ptr<qvx_ffmpeg::AudioVideoBlock>> blocks;
};

}  // namespace qvx
