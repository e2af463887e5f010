#include <algorithm>

#include "block/audio_video_block.h"
#include "texture/texture.h"

namespace qvx_ffmpeg {

namespace {

struct PlaneGeometry {
    int width;
    int height;
    int code;
};

// Planes of a frame of w x h pixels in the given output format, in upload
// order. Returns the plane count.
int plane_geometry(int pixel_format, int w, int h, PlaneGeometry* planes) {
    switch (pixel_format) {
        case AV_PIX_FMT_RGB24: planes[0] = {w, h, texture_format_rgb}; return 1;
        case AV_PIX_FMT_YUV420P:
            planes[0] = {w, h, texture_format_r8};
            planes[1] = {w >> 1, h >> 1, texture_format_r8};
            planes[2] = {w >> 1, h >> 1, texture_format_r8};
            return 3;
        case AV_PIX_FMT_NV12:
            planes[0] = {w, h, texture_format_r8};
            planes[1] = {w >> 1, h >> 1, texture_format_rg8};
            return 2;
        default: return 0;
    }
}

bool create_textures(AudioVideoBlock* block, qvx::Renderer* renderer, qvx::Texture** textures,
                     int pixel_format) {
    if (block == nullptr || textures == nullptr) return false;
    const int w = block->video.width;
    const int h = block->video.height;
    if (block->video.codec_ctx == nullptr || w <= 0 || h <= 0) return false;
    PlaneGeometry planes[3];
    const int count = plane_geometry(pixel_format, w, h, planes);
    for (int k = 0; k < count; ++k) {
        if (textures[k] == nullptr) return false;
    }
    for (int k = 0; k < count; ++k) {
        textures[k]->create_storage(static_cast<uint64_t>(planes[k].width),
                                    static_cast<uint64_t>(planes[k].height), planes[k].code, true);
        textures[k]->gen_mipmaps(false);
        textures[k]->upload(renderer, 0, true);
    }
    return true;
}

// Writes the planes of the next waiting frame. The region written comes
// from the frame itself: after a mid-stream size change a waiting frame may
// be smaller than the decoder's current size, and must never be over-read.
bool update_textures(AudioVideoBlock* block, qvx::Renderer* renderer, qvx::Texture** textures,
                     const uint64_t* units, int pixel_format, bool bind_units) {
    if (block == nullptr || textures == nullptr || block->video.codec_ctx == nullptr) return false;
    if (block->facts.realtime) note_host_update(block);
    // A paused block shows no new picture: frames converted before the pause
    // (a host running behind) wait for the resume. A stopped one neither:
    // its next run starts with a seek that drops them.
    if ((block->controls.paused && block->facts.realtime) || block->reader.stop) return false;
    // Frames decoded before a repositioning belong to the old place: they
    // are dropped here, whichever thread queued them. So are, in real time,
    // those a host too slow for the video's rate has let fall behind.
    FramePoolEntry* entry = nullptr;
    bool released = false;
    while ((entry = pop_decoded_frame(block)) != nullptr &&
           (frame_is_stale(block, entry) || (block->facts.realtime && superseded(block, entry)))) {
        release_decoded_frame(entry);
        released = true;
    }
    if (released) wake_frame_waiters(block);
    if (entry == nullptr) return false;
    const AVFrame* frame = entry->frame.get();
    if (frame->format != pixel_format) {
        release_decoded_frame(entry);
        wake_frame_waiters(block);
        return false;
    }
    PlaneGeometry planes[3];
    const int count = plane_geometry(pixel_format, frame->width, frame->height, planes);
    static constexpr uint64_t default_units[3] = {0, 1, 2};
    const uint64_t* unit = units ? units : default_units;
    for (int k = 0; k < count; ++k) {
        if (textures[k] == nullptr) continue;
        qvx::TextureData* data = textures[k]->get_data_ptr();
        if (renderer) {
            if (bind_units) renderer->bind_texture(data, unit[k]);
            renderer->update_texture_region(data, 0, 0, planes[k].width, planes[k].height,
                                            planes[k].code, frame->data[k]);
        }
    }
    ++block->handover.displayed_count;
    const bool untimed = !block->facts.realtime;
    // An untimed block's position is the last picture handed over (a stale
    // one, taken just before a repositioning, leaves the target in place).
    if (untimed && !frame_is_stale(block, entry) && block->controls.video_enabled)
        set_video_position(block, entry->seconds);
    release_decoded_frame(entry);
    wake_frame_waiters(block);
    return true;
}

}  // namespace

bool video_create_texture_rgb24(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture* texture) {
    qvx::Texture* textures[1] = {texture};
    return texture != nullptr && create_textures(block, renderer, textures, AV_PIX_FMT_RGB24);
}

bool video_update_texture_rgb24(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture* texture) {
    if (texture == nullptr) return false;
    qvx::Texture* textures[1] = {texture};
    const uint32_t t0 = block ? block->profile_timer.getMicroseconds() : 0;
    if (!update_textures(block, renderer, textures, nullptr, AV_PIX_FMT_RGB24, false)) return false;
    const uint32_t t1 = block->profile_timer.getMicroseconds();
    qvx::LogMgr::get().tracef("[FFmpeg] - video_update_texture_rgb24 - duration: %ld usec",
                              static_cast<long>(static_cast<uint32_t>(t1 - t0)));
    return true;
}

bool video_create_textures_yuv420p(AudioVideoBlock* block, qvx::Renderer* renderer,
                                   qvx::Texture** textures) {
    return create_textures(block, renderer, textures, AV_PIX_FMT_YUV420P);
}

bool video_update_textures_yuv420p(AudioVideoBlock* block, qvx::Renderer* renderer,
                                   qvx::Texture** textures, const uint64_t* units) {
    return update_textures(block, renderer, textures, units, AV_PIX_FMT_YUV420P, true);
}

bool video_create_textures_nv12(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture** textures) {
    return create_textures(block, renderer, textures, AV_PIX_FMT_NV12);
}

bool video_update_textures_nv12(AudioVideoBlock* block, qvx::Renderer* renderer,
                                qvx::Texture** textures, const uint64_t* units) {
    return update_textures(block, renderer, textures, units, AV_PIX_FMT_NV12, true);
}

}  // namespace qvx_ffmpeg
