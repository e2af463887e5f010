// The picture formats the plug-in delivers, as its hosts name them.
#pragma once

#include <map>
#include <string>

namespace qvx_support {

enum class PixelFormat { rgb24, yuv420p, nv12 };

// "rgb24", "yuv420p", "nv12": the plug-in's "video_pixel_fmt" values.
inline const char* pixel_format_name(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgb24: return "rgb24";
        case PixelFormat::yuv420p: return "yuv420p";
        case PixelFormat::nv12: return "nv12";
    }
    return "";
}

// Every format by name, for command lines.
inline const std::map<std::string, PixelFormat>& pixel_formats_by_name() {
    static const std::map<std::string, PixelFormat> formats = {{"rgb24", PixelFormat::rgb24},
                                                               {"yuv420p", PixelFormat::yuv420p},
                                                               {"nv12", PixelFormat::nv12}};
    return formats;
}

// Textures a block needs: one RGB plane, three of YUV, or luma and
// interleaved chroma.
inline int plane_count(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgb24: return 1;
        case PixelFormat::yuv420p: return 3;
        case PixelFormat::nv12: return 2;
    }
    return 0;
}

}  // namespace qvx_support
