// Audio output: SDL start-up and devices, audio decoding and resampling,
// and the SDL audio callback.
#pragma once

#include <cstdint>

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// Devices open only at rates in this range; a stream declaring any other
// rate (a damaged header may say 1 Hz) is resampled to the fallback rate.
constexpr int min_device_rate_hz = 8000;
constexpr int max_device_rate_hz = 192000;
constexpr int fallback_device_rate_hz = 48000;
// The device buffer is sized by time: the largest power of two in samples
// at the device rate that lasts at most this long (32 to 64 ms), so the
// first sound comes as soon at 8 kHz as at 192 kHz.
constexpr int max_device_buffer_ms = 64;
// How many empty decodes one callback tries before it plays silence for
// the rest of its buffer instead of waiting.
constexpr int max_empty_decodes_per_callback = 8;
// Most samples one resampling call gives out; the resampler keeps the rest
// of its input for the next call, so no rate ratio can blow up the buffer.
constexpr int max_resampled_samples = 32768;
// Sound timestamps within this of the samples counted so far are taken as
// continuous; a gap forward up to audio_gap_max_seconds is played as
// silence; anything else is a discontinuity and the clock goes on from the
// samples counted (ffplay's "no sync" threshold).
constexpr double audio_timestamp_tolerance_seconds = 0.05;
constexpr double audio_gap_max_seconds = 10.0;
// How long opening a device waits for another block's SDL work.
constexpr int max_device_open_wait_ms = 5000;

// Samples per buffer asked of a device at the given rate.
int device_buffer_samples(int rate_hz);

// Gives the block its sound output: a device of its own, opened and
// started, or, when SDL or the driver opens no more, an open one its sound
// joins. The resampler is set up on the device's own thread from the first
// decoded frame.
bool open_audio_device(AudioVideoBlock* block);
// Takes the block's sound off its device (idempotent); the device pauses
// and closes once no block plays into it. The plug-in's SDL subsystems end
// when its last device closes.
void close_audio_device(AudioVideoBlock* block);
// Ends the plug-in's SDL subsystems, after every device has closed (plug-in
// destruction: nothing of SDL's may outlive the library).
void quit_sdl_audio();
// Ends the plug-in's SDL subsystems now if no device is open or closing;
// otherwise they end with the last device's close (plug-in stop).
void release_sdl_audio_later();

// Decodes and resamples the next audio into sound.pcm_buffer; returns the
// bytes there, or 0 when none can be had right now. sound.silence_bytes of
// silence are to be played before them, and sound.play_seconds is the media
// time of the first of these bytes. Needs no device: out_channels and
// out_sample_rate say what to produce.
int decode_audio_frame(AudioVideoBlock* block);

// One block's part of a device buffer (sdl).
struct SoundShare {
    int heard_bytes = 0;               // sound, or silence that belongs to it
    double first_heard_seconds = 0.0;  // media time of the first of these
};
// Writes len bytes of the block's sound, its volume applied, to out (sdl,
// under the device's lock); true when they are not all silence.
bool fill_block_sound(AudioVideoBlock* block, uint8_t* out, int len, SoundShare* share);
// The block's share is heard from now on (sdl, once every block sharing the
// device has filled its part).
void note_share_heard(AudioVideoBlock* block, const SoundShare& share);

}  // namespace qvx_ffmpeg
