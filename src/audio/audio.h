// Audio output: SDL start-up and devices, audio decoding and resampling,
// and the SDL audio callback.
#pragma once

#include <cstdint>

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// Desired device buffer, in sample frames.
constexpr int device_buffer_samples = 4096;
// How many empty decodes one callback tries before it plays silence for
// the rest of its buffer instead of waiting.
constexpr int max_empty_decodes_per_callback = 8;

// Starts SDL's audio (and timer) subsystems for the plug-in; true when
// started, now or before. Safe from several threads at once.
bool init_sdl_audio();
// Opens and starts the block's device and sets up its resampler.
bool open_audio_device(AudioVideoBlock* block);
// Pauses and closes the block's device (idempotent). The plug-in's SDL
// subsystems end when its last device closes.
void close_audio_device(AudioVideoBlock* block);
// Ends the plug-in's SDL subsystems, after every device has closed (plug-in
// destruction: nothing of SDL's may outlive the library).
void quit_sdl_audio();
// Ends the plug-in's SDL subsystems now if no device is open or closing;
// otherwise they end with the last device's close (plug-in stop).
void release_sdl_audio_later();
// Whether SDL is started for the plug-in.
bool sdl_audio_started();

// Decodes and resamples the next audio frame into audio_pcm_buffer;
// returns the bytes there, or 0 when none can be had right now.
int decode_audio_frame(AudioVideoBlock* block);
// Resamples audio_decoded_frame into audio_pcm_buffer; bytes, or -1.
int audio_resampling(AudioVideoBlock* block);
// The SDL audio callback of one block.
void audio_callback(void* userdata, uint8_t* stream, int len);

}  // namespace qvx_ffmpeg
