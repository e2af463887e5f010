// Decoding settings, media open and hardware video decoding.
#pragma once

#include <string>

#include "block/ffmpeg.h"
#include "host/qvx.h"

namespace qvx_ffmpeg {

struct AudioVideoBlock;

// ---- What a block's name may reach (input_policy.cpp) -----------------------
extern const char* const default_protocol_whitelist;
// Control characters written out ("\n", "\x1b") so that a name in a log line
// cannot forge another line.
std::string escape_for_log(const std::string& text);
// A comma-separated list of protocol and device names.
bool valid_protocol_whitelist(const std::string& list);
// The capture-device demuxers a whitelist names, comma-separated.
std::string named_devices(const std::string& whitelist);
// Every registered demuxer but the capture devices not named in devices,
// comma-separated (registers the devices when some are named).
std::string allowed_demuxers(const std::string& devices);
// Why a name may not be opened under the whitelist; empty when it may.
std::string refused_name_reason(const std::string& name, const std::string& whitelist);
// Why a name is an input whose reads can block in the kernel (a pipe, a
// socket, a device); empty when it is not.
std::string blocking_input_reason(const std::string& name, bool devices_allowed);

// Plug-in-wide decoding settings; every later open copies what it needs.
// Written by the host's setters and by a hardware fall-back inside an open,
// both on the host's thread.
struct DecodingSettings {
    int num_video_threads = 4;                 // 0: automatic
    int num_audio_threads = 0;                 // 0: automatic
    std::string hw_device;                     // "cuda", "vulkan", else software
    int sws_scale_filter = SWS_FAST_BILINEAR;  // libswscale flags
    int video_pixel_fmt = AV_PIX_FMT_RGB24;    // rgb24, yuv420p or nv12
    // Protocols a block's name and the opens nested in it may use; capture
    // devices named here (by demuxer name: "v4l2", "alsa", "lavfi") may be
    // opened too.
    std::string protocol_whitelist = default_protocol_whitelist;
    // Largest picture a video stream may declare; larger streams are not played.
    int max_video_width = 16384;
    int max_video_height = 16384;
    // 1: frames are shown at their time; 0: as fast as they decode.
    int realtime = 1;
};

bool set_parameter_int(DecodingSettings& settings, const char* key, int value);
bool set_parameter_string(DecodingSettings& settings, const char* key, const char* value);

// "cuda", "vulkan", "opencl" map to their device types; anything else
// (null included) to AV_HWDEVICE_TYPE_NONE.
int hw_device_type_from_name(const char* name);
bool is_hw_device_available(const char* name);
bool is_hw_device_used(const AudioVideoBlock* block, const char* name);

// Opens the block's input, describes it in the log, selects and opens the
// decoders. False: the block cannot play and must be destroyed.
// blocks_open: the blocks of the plug-in with this one, which share the
// cores when the video thread count is automatic.
bool open_media(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block,
                int blocks_open = 1);

// The video decoding threads an automatic count gives one of blocks_open
// blocks on cores cores: the cores shared out, at least 1.
int automatic_video_threads(int cores, int blocks_open);

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
