#include <cstring>

#include "block/audio_video_block.h"
#include "media/media.h"

namespace qvx_ffmpeg {

namespace {

struct NamedValue {
    const char* name;
    int value;
};

constexpr NamedValue pixel_formats[] = {
    {"yuv420p", AV_PIX_FMT_YUV420P},
    {"nv12", AV_PIX_FMT_NV12},
    {"rgb24", AV_PIX_FMT_RGB24},
};

constexpr NamedValue scale_filters[] = {
    {"SWS_FAST_BILINEAR", SWS_FAST_BILINEAR},
    {"SWS_BILINEAR", SWS_BILINEAR},
    {"SWS_BICUBIC", SWS_BICUBIC},
    {"SWS_X", SWS_X},
    {"SWS_POINT", SWS_POINT},
    {"SWS_AREA", SWS_AREA},
    {"SWS_BICUBLIN", SWS_BICUBLIN},
    {"SWS_GAUSS", SWS_GAUSS},
    {"SWS_SINC", SWS_SINC},
    {"SWS_LANCZOS", SWS_LANCZOS},
    {"SWS_SPLINE", SWS_SPLINE},
};

template <size_t N>
bool lookup(const NamedValue (&table)[N], const char* name, int* value) {
    if (name == nullptr) return false;
    for (const NamedValue& row : table) {
        if (std::strcmp(row.name, name) == 0) {
            *value = row.value;
            return true;
        }
    }
    return false;
}

}  // namespace

bool set_parameter_int(DecodingSettings& settings, const char* key, int value) {
    if (key == nullptr) return false;
    if (std::strcmp(key, "num_video_threads") == 0) {
        settings.num_video_threads = value;
        return true;
    }
    if (std::strcmp(key, "num_audio_threads") == 0) {
        settings.num_audio_threads = value;
        return true;
    }
    if (std::strcmp(key, "realtime") == 0) {
        if (value != 0 && value != 1) return false;
        settings.realtime = value;
        return true;
    }
    if (std::strcmp(key, "max_video_width") == 0) {
        if (value <= 0) return false;
        settings.max_video_width = value;
        return true;
    }
    if (std::strcmp(key, "max_video_height") == 0) {
        if (value <= 0) return false;
        settings.max_video_height = value;
        return true;
    }
    return false;
}

bool set_parameter_string(DecodingSettings& settings, const char* key, const char* value) {
    if (key == nullptr) return false;
    if (std::strcmp(key, "hw_device") == 0) {
        if (value == nullptr) return false;
        settings.hw_device = value;
        return true;
    }
    if (std::strcmp(key, "protocol_whitelist") == 0) {
        if (value == nullptr || !valid_protocol_whitelist(value)) return false;
        settings.protocol_whitelist = value;
        return true;
    }
    if (std::strcmp(key, "video_pixel_fmt") == 0)
        return lookup(pixel_formats, value, &settings.video_pixel_fmt);
    if (std::strcmp(key, "sws_scale_filter") == 0)
        return lookup(scale_filters, value, &settings.sws_scale_filter);
    return false;
}

int hw_device_type_from_name(const char* name) {
    if (name == nullptr) return AV_HWDEVICE_TYPE_NONE;
    if (std::strcmp(name, "cuda") == 0) return AV_HWDEVICE_TYPE_CUDA;
    if (std::strcmp(name, "vulkan") == 0) return AV_HWDEVICE_TYPE_VULKAN;
    if (std::strcmp(name, "opencl") == 0) return AV_HWDEVICE_TYPE_OPENCL;
    return AV_HWDEVICE_TYPE_NONE;
}

bool is_hw_device_available(const char* name) {
    if (name == nullptr) return false;
    const int wanted = hw_device_type_from_name(name);
    AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    while ((type = av_hwdevice_iterate_types(type)) != AV_HWDEVICE_TYPE_NONE) {
        if (type == wanted) return true;
    }
    return false;
}

bool is_hw_device_used(const AudioVideoBlock* block, const char* name) {
    if (block == nullptr) return false;
    if (name == nullptr) return block->facts.hw_device_type != AV_HWDEVICE_TYPE_NONE;
    // A named device is in use only when it is the one the block decodes with.
    return hw_device_type_from_name(name) == block->facts.hw_device_type;
}

}  // namespace qvx_ffmpeg
