// A delivered video frame as the host holds it (the planes the plug-in
// wrote into its textures), and writing pictures as PNG files with FFmpeg's
// own PNG encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/qvx.h"
#include "support/pixel_format.h"

namespace qvx_play {

using qvx_support::PixelFormat;

// Tightly packed planes: rgb24 one (3 bytes a pixel), yuv420p three (Y,
// then U and V at half width and height, rounded down), nv12 two (Y, then
// interleaved UV at half width and height).
struct Picture {
    PixelFormat format = PixelFormat::rgb24;
    int width = 0;
    int height = 0;
    std::vector<std::vector<uint8_t>> planes;
};

// Copies the planes of the textures that the last update filled.
Picture copy_picture(PixelFormat format, qvx::Texture* const* textures);

// Converts a picture to RGB24 (rows of width * 3 bytes), turned clockwise by
// rotation degrees (multiples of 90; others count as the nearest one).
bool picture_to_rgb24(const Picture& picture, int rotation, std::vector<uint8_t>& rgb, int& width,
                      int& height, std::string& error);

// Encodes width x height RGB24 pixels (stride bytes a row) as a PNG file.
bool write_png(const uint8_t* rgb, int width, int height, int stride, const std::string& path,
               std::string& error);

// Clockwise display angle for the plug-in's rotation value (the display
// matrix angle, counter-clockwise), normalised to 0, 90, 180 or 270.
int clockwise_degrees(float rotation);

}  // namespace qvx_play
