#include "frame_textures.h"

namespace qvx_support {

FrameTextures::FrameTextures(PixelFormat format, bool copy)
    : format_(format),
      renderer_(copy ? &copying_renderer_ : &null_renderer_),
      planes_{&textures_[0], &textures_[1], &textures_[2]} {}

bool FrameTextures::create(qvx::SimpleVideo& video, int id) {
    switch (format_) {
        case PixelFormat::rgb24: return video.video_create_texture_rgb24(id, renderer_, planes_[0]);
        case PixelFormat::yuv420p:
            return video.video_create_textures_yuv420p(id, renderer_, planes_);
        case PixelFormat::nv12: return video.video_create_textures_nv12(id, renderer_, planes_);
    }
    return false;
}

bool FrameTextures::update(qvx::SimpleVideo& video, int id) {
    switch (format_) {
        case PixelFormat::rgb24: return video.video_update_texture_rgb24(id, renderer_, planes_[0]);
        case PixelFormat::yuv420p:
            return video.video_update_textures_yuv420p(id, renderer_, planes_, nullptr);
        case PixelFormat::nv12:
            return video.video_update_textures_nv12(id, renderer_, planes_, nullptr);
    }
    return false;
}

}  // namespace qvx_support
