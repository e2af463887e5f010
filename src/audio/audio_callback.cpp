#include <SDL.h>

#include <algorithm>
#include <cstring>

#include "audio/audio.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr float volume_scale = static_cast<float>(SDL_MIX_MAXVOLUME);

bool holding_silence(const AudioVideoBlock* block) {
    return block->paused || block->seeking || block->reposition_pending > 0;
}

// The audio position is the sound being heard: the PCM just handed to the
// device starts playing now, so the position is the media time of its first
// sample. Between callbacks the clock advances it.
void update_heard_position(AudioVideoBlock* block, int bytes_played) {
    if (!block->audio_enabled || block->audio_stream_index < 0) return;
    const double bytes_per_second = 2.0 * block->out_channels * block->out_sample_rate;
    if (bytes_per_second <= 0) return;
    const double next_sample = block->audio_clock + block->audio_buf_index / bytes_per_second;
    block->audio_position = static_cast<float>(next_sample - bytes_played / bytes_per_second);
    block->audio_clock_valid = true;
}

}  // namespace

// Runs on SDL's audio thread with the device locked: it never waits. When
// no PCM can be had right now the rest of the buffer is silence.
void audio_callback(void* userdata, uint8_t* stream, int len) {
    auto* block = static_cast<AudioVideoBlock*>(userdata);
    if (block == nullptr || stream == nullptr || len <= 0) return;
    int empty_decodes = 0;
    int played = 0;  // bytes of PCM (not silence) written by this call
    while (len > 0) {
        if (block->audio_stop || holding_silence(block)) {
            // Unplayed PCM of a paused or repositioned block is dropped.
            if (!block->audio_stop) block->audio_buf_index = block->audio_buf_size;
            std::memset(stream, 0, static_cast<size_t>(len));
            return;
        }
        if (block->audio_buf_index >= block->audio_buf_size) {
            const int n = decode_audio_frame(block);
            block->audio_buf_index = 0;
            block->audio_buf_size = n > 0 ? n : 0;
            if (n <= 0) {
                if (++empty_decodes >= max_empty_decodes_per_callback) {
                    std::memset(stream, 0, static_cast<size_t>(len));
                    break;
                }
                continue;
            }
        }
        const int chunk = std::min(len, block->audio_buf_size - block->audio_buf_index);
        const uint8_t* source = block->audio_pcm_buffer + block->audio_buf_index;
        const int level = static_cast<int>(block->volume * volume_scale);
        if (level == SDL_MIX_MAXVOLUME) {
            std::memcpy(stream, source, static_cast<size_t>(chunk));
        } else {
            std::memset(stream, 0, static_cast<size_t>(chunk));
            if (level >= 1)
                SDL_MixAudioFormat(stream, source, AUDIO_S16SYS, static_cast<Uint32>(chunk), level);
        }
        block->audio_buf_index += chunk;
        stream += chunk;
        len -= chunk;
        played += chunk;
    }
    if (played > 0) update_heard_position(block, played);
}

}  // namespace qvx_ffmpeg
