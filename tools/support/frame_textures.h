// The textures a host keeps for one block in one picture format, filled by
// the plug-in's update operation through the host's renderer.
#pragma once

#include "host/qvx.h"
#include "pixel_format.h"

namespace qvx_support {

// Takes the plug-in's texture writes and copies nothing: what is left is
// the plug-in's own cost, without the host's copy into its textures.
class NullRenderer : public qvx::Renderer {
public:
    void update_texture_region(qvx::TextureData*, int, int, int, int, int, const void*) override {}
};

class FrameTextures {
public:
    // copy false: the textures keep no pixels (NullRenderer).
    explicit FrameTextures(PixelFormat format, bool copy = true);
    FrameTextures(const FrameTextures&) = delete;
    FrameTextures& operator=(const FrameTextures&) = delete;

    PixelFormat format() const { return format_; }
    // Before create only: the plug-in delivers what the block was created
    // with.
    void set_format(PixelFormat format) { format_ = format; }
    bool create(qvx::SimpleVideo& video, int id);
    // True when a new picture was written into the textures.
    bool update(qvx::SimpleVideo& video, int id);

    // Plane k, tightly packed: RGB or luma first, then the chroma planes.
    const qvx::TextureData& plane(int k) { return *textures_[k].get_data_ptr(); }
    qvx::Texture* const* planes() const { return planes_; }

private:
    PixelFormat format_;
    qvx::Renderer copying_renderer_;
    NullRenderer null_renderer_;
    qvx::Renderer* renderer_;
    qvx::Texture textures_[3];
    qvx::Texture* planes_[3];
};

}  // namespace qvx_support
