// The block's pool of converted-frame slots.
#include "pipeline/pipeline.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

bool ensure_frame_pool(AudioVideoBlock* block) {
    if (block == nullptr) return false;
    FramePool& pool = block->frame_pool;
    if (!pool.entries.empty()) return true;
    pool.entries = std::vector<FramePoolEntry>(frame_pool_size);
    for (size_t i = 0; i < pool.entries.size(); ++i)
        pool.entries[i].index = static_cast<int64_t>(i);
    return true;
}

}  // namespace qvx_ffmpeg
