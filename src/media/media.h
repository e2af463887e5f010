// Decoding settings, media open and hardware video decoding.
#pragma once

#include <string>

#include "host/qvx.h"
#include "media/ffmpeg.h"

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// Plug-in-wide decoding settings; every later open copies what it needs.
// Written by the host's setters and by a hardware fall-back inside an open,
// both on the host's thread.
struct DecodingSettings {
    int num_video_threads = 4;                 // 0: automatic
    int num_audio_threads = 0;                 // 0: automatic
    std::string hw_device;                     // "cuda", "vulkan", else software
    int sws_scale_filter = SWS_FAST_BILINEAR;  // libswscale flags
    int video_pixel_fmt = AV_PIX_FMT_RGB24;    // rgb24, yuv420p or nv12
};

bool set_parameter_int(DecodingSettings& settings, const char* key, int value);
bool set_parameter_string(DecodingSettings& settings, const char* key, const char* value);

// "cuda", "vulkan", "opencl" map to their device types; anything else
// (null included) to AV_HWDEVICE_TYPE_NONE.
int hw_device_type_from_name(const char* name);
bool is_hw_device_available(const char* name);
bool is_hw_device_used(const AudioVideoBlock* block, const char* name);

// Creates the block's pool of 100 converted-frame slots unless it has one.
bool ensure_frame_pool(AudioVideoBlock* block);

// Opens the block's input, describes it in the log, selects and opens the
// decoders. False: the block cannot play and must be destroyed.
bool open_media(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block);

// Hardware decoding set-up, run by open_media.
// Looks for a device-context configuration of the decoder for the block's
// selected device type; false after a fall-back to software.
bool check_hw_config(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block,
                     const AVCodec* decoder);
// Creates the device context and hooks it to the video decoder context;
// false after a fall-back to software.
bool hw_decoder_init(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block);
// The video decoder's get_format hook.
AVPixelFormat get_hw_format(AVCodecContext* ctx, const AVPixelFormat* candidates);

}  // namespace qvx_ffmpeg
