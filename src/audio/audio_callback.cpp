#include <SDL.h>

#include <algorithm>
#include <cstring>

#include "audio/audio.h"
#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr float volume_scale = static_cast<float>(SDL_MIX_MAXVOLUME);

bool repositioning(const AudioVideoBlock* block) {
    return block->reader.seeking || block->handover.reposition_pending > 0;
}

// Unplayed sound from before a repositioning belongs to the old place.
void drop_buffer(AudioVideoBlock* block) {
    block->audio.sound.buf_index = block->audio.sound.buf_size;
    block->audio.sound.silence_bytes = 0;
}

int volume_level(const AudioVideoBlock* block) {
    const float volume = std::clamp(block->controls.volume.load(), 0.0f, 1.0f);
    return static_cast<int>(volume * volume_scale);
}

}  // namespace

// Runs on SDL's audio thread with the device locked: it never waits. When
// no PCM can be had right now the rest of the buffer is silence.
bool fill_block_sound(AudioVideoBlock* block, uint8_t* out, int len, SoundShare* share) {
    *share = SoundShare{};
    if (block->audio.stop || block->controls.paused || repositioning(block)) {
        // A paused block keeps what it had for its resumption.
        if (!block->audio.stop && repositioning(block)) drop_buffer(block);
        std::memset(out, 0, static_cast<size_t>(len));
        return false;
    }
    // At a start or rewind the sound waits for the first picture, but not
    // for a video that never decodes.
    if (block->reader.hold_sound_for_video) {
        if (steady_now_ns() < block->reader.sound_hold_deadline_ns) {
            std::memset(out, 0, static_cast<size_t>(len));
            return false;
        }
        block->reader.hold_sound_for_video = false;
    }
    if (block->audio.sound.buf_serial != block->handover.serial) drop_buffer(block);
    const int frame_bytes = 2 * block->audio.out_channels;
    const double bytes_per_second = static_cast<double>(frame_bytes) * block->audio.out_sample_rate;
    const int level = volume_level(block);
    int empty_decodes = 0;
    bool starved = false;
    bool audible = false;  // PCM at a level above 0 went out
    while (len > 0) {
        if (block->audio.sound.silence_bytes > 0) {
            const int chunk =
                static_cast<int>(std::min<int64_t>(len, block->audio.sound.silence_bytes) /
                                 frame_bytes * frame_bytes);
            if (chunk <= 0) {
                block->audio.sound.silence_bytes = 0;
                continue;
            }
            std::memset(out, 0, static_cast<size_t>(chunk));
            if (share->heard_bytes == 0)
                share->first_heard_seconds = block->audio.sound.play_seconds;
            block->audio.sound.play_seconds += chunk / bytes_per_second;
            block->audio.sound.silence_bytes -= chunk;
            out += chunk;
            len -= chunk;
            share->heard_bytes += chunk;
            continue;
        }
        if (block->audio.sound.buf_index >= block->audio.sound.buf_size) {
            const int n = decode_audio_frame(block);
            if (n <= 0 && block->audio.sound.silence_bytes <= 0) {
                if (++empty_decodes >= max_empty_decodes_per_callback) {
                    starved = true;
                    std::memset(out, 0, static_cast<size_t>(len));
                    break;
                }
            }
            continue;
        }
        const int chunk = std::min(len, block->audio.sound.buf_size - block->audio.sound.buf_index);
        const uint8_t* source = block->audio.sound.pcm_buffer.get() + block->audio.sound.buf_index;
        if (level == SDL_MIX_MAXVOLUME) {
            std::memcpy(out, source, static_cast<size_t>(chunk));
        } else {
            std::memset(out, 0, static_cast<size_t>(chunk));
            if (level >= 1)
                SDL_MixAudioFormat(out, source, AUDIO_S16SYS, static_cast<Uint32>(chunk), level);
        }
        audible = audible || level >= 1;
        if (share->heard_bytes == 0) share->first_heard_seconds = block->audio.sound.play_seconds;
        block->audio.sound.play_seconds += chunk / bytes_per_second;
        block->audio.sound.buf_index += chunk;
        out += chunk;
        len -= chunk;
        share->heard_bytes += chunk;
    }
    if (share->heard_bytes > 0) return audible;
    // Nothing to hear in a whole buffer: what was handed over before has
    // been played. With the decoder out of input, the sound has played out,
    // and the position rests at its end.
    if (starved && block->audio.packets.count == 0 && block->audio.packets.in_flight == 0 &&
        !block->audio.sound.swr_has_more) {
        if (block->reader.audio_clock_valid)
            set_heard_position(block, block->audio.sound.play_seconds);
        block->audio.played_out = true;
    }
    return false;
}

void note_share_heard(AudioVideoBlock* block, const SoundShare& share) {
    if (share.heard_bytes <= 0) return;
    // What the device takes now is heard from now on: the position is the
    // media time of the first byte handed over in this call, and the
    // playback clock carries it on between calls.
    note_sound_heard(block, share.first_heard_seconds);
    block->reader.audio_clock_valid = true;
}

}  // namespace qvx_ffmpeg
