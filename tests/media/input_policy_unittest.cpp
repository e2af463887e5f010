// Demuxers a block's open may use, whatever the host process registered.
#include <gtest/gtest.h>

#include <string>

#include "media/media.h"

namespace {

bool listed(const std::string& list, const std::string& name) {
    return ("," + list + ",").find("," + name + ",") != std::string::npos;
}

// Another part of the host may register the capture devices; a block still
// reaches only those its host named.
TEST(InputPolicy, CaptureDevicesOnlyWhenNamed) {
    avdevice_register_all();
    const std::string plain = qvx_ffmpeg::allowed_demuxers("");
    EXPECT_TRUE(listed(plain, "matroska,webm")) << plain;
    EXPECT_FALSE(listed(plain, "lavfi"));
    EXPECT_FALSE(listed(plain, "v4l2"));
    EXPECT_EQ(qvx_ffmpeg::named_devices("file,lavfi,http"), "lavfi");
    EXPECT_TRUE(listed(qvx_ffmpeg::allowed_demuxers("lavfi"), "lavfi"));
    EXPECT_FALSE(listed(qvx_ffmpeg::allowed_demuxers("lavfi"), "v4l2"));
}

}  // namespace
