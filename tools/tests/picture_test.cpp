// Turning delivered pictures by the display rotation. (Their conversion to
// RGB and PNG files: the snapshot run test.)
#include <gtest/gtest.h>

#include "picture.h"

namespace qvx_play {
namespace {

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
    // A plane too short for its picture is refused.
    Picture yuv;
    yuv.format = PixelFormat::yuv420p;
    yuv.width = yuv.height = 8;
    yuv.planes = {std::vector<uint8_t>(64), std::vector<uint8_t>(16), std::vector<uint8_t>(3)};
    std::vector<uint8_t> rgb;
    std::string error;
    EXPECT_FALSE(picture_to_rgb24(yuv, 0, rgb, w, h, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace qvx_play
