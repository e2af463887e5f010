// Delivered planes to RGB, and turning. (PNG files: the snapshot run test.)
#include <gtest/gtest.h>

#include "picture.h"

namespace qvx_play {
namespace {

Picture solid_yuv(PixelFormat format, int w, int h, uint8_t y, uint8_t u, uint8_t v) {
    Picture p;
    p.format = format;
    p.width = w;
    p.height = h;
    const size_t chroma = static_cast<size_t>(w / 2) * (h / 2);
    p.planes.push_back(std::vector<uint8_t>(static_cast<size_t>(w) * h, y));
    if (format == PixelFormat::yuv420p) {
        p.planes.push_back(std::vector<uint8_t>(chroma, u));
        p.planes.push_back(std::vector<uint8_t>(chroma, v));
    } else {
        p.planes.push_back({});
        for (size_t i = 0; i < chroma; ++i) p.planes[1].insert(p.planes[1].end(), {u, v});
    }
    return p;
}

// Limited-range BT.601 red, green and blue, in both planar formats, at
// even and odd sizes (whose chroma planes are rounded down); a plane too
// short for its picture is refused.
TEST(Picture, PlanarFormatsConvertToTheirColourAtAnySize) {
    const int cases[3][6] = {
        {81, 90, 240, 255, 0, 0}, {145, 54, 34, 0, 255, 0}, {41, 240, 110, 0, 0, 255}};
    std::vector<uint8_t> rgb;
    int w = 0, h = 0;
    std::string error;
    for (PixelFormat format : {PixelFormat::yuv420p, PixelFormat::nv12}) {
        for (const auto& c : cases) {
            for (int size : {8, 5}) {
                SCOPED_TRACE(std::string(pixel_format_name(format)) + " " + std::to_string(size));
                ASSERT_TRUE(picture_to_rgb24(solid_yuv(format, size, size + 2, c[0], c[1], c[2]), 0,
                                             rgb, w, h, error))
                    << error;
                ASSERT_EQ(w, size);
                ASSERT_EQ(h, size + 2);
                for (size_t i = 0; i < rgb.size(); ++i) ASSERT_NEAR(rgb[i], c[3 + i % 3], 3) << i;
            }
        }
    }
    Picture short_plane = solid_yuv(PixelFormat::yuv420p, 8, 8, 0, 0, 0);
    short_plane.planes[2].resize(3);
    EXPECT_FALSE(picture_to_rgb24(short_plane, 0, rgb, w, h, error));
    EXPECT_FALSE(error.empty());
}

TEST(Picture, TurnsClockwiseByTheDisplayRotation) {
    // 3x2 RGB24 picture whose pixels are numbered 1..6 in the red channel.
    Picture p;
    p.width = 3;
    p.height = 2;
    p.planes.push_back({1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0, 0, 6, 0, 0});
    int w = 0, h = 0;
    auto reds = [&](int rotation) {
        std::vector<uint8_t> rgb;
        std::string error;
        EXPECT_TRUE(picture_to_rgb24(p, rotation, rgb, w, h, error));
        std::vector<int> out;
        for (size_t i = 0; i < rgb.size(); i += 3) out.push_back(rgb[i]);
        return out;
    };
    EXPECT_EQ(reds(0), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(reds(90), (std::vector<int>{4, 1, 5, 2, 6, 3}));
    EXPECT_TRUE(w == 2 && h == 3) << w << "x" << h;
    EXPECT_EQ(reds(180), (std::vector<int>{6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(reds(270), (std::vector<int>{3, 6, 2, 5, 1, 4}));
    // The plug-in reports the display matrix angle (counter-clockwise).
    EXPECT_EQ(clockwise_degrees(-90.0f), 90);
    EXPECT_EQ(clockwise_degrees(90.0f), 270);
    EXPECT_EQ(clockwise_degrees(-180.0f), 180);
    EXPECT_EQ(clockwise_degrees(-89.6f), 90);
}

}  // namespace
}  // namespace qvx_play
