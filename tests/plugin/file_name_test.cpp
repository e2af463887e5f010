// File names reach the plug-in as UTF-8, whatever the platform's own
// encoding of paths (Windows keeps them in UTF-16).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

TEST(FileNames, NonAsciiNameOpensAndPlays) {
    const std::string name = media_dir() +
                             "/\xC3\xBCn\xC3\xAF c\xC3\xB8"
                             "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.mp4";
    // Removed first: mingw's copy_file refuses to overwrite.
    std::error_code ec;
    std::filesystem::remove(std::filesystem::u8path(name), ec);
    std::filesystem::copy_file(std::filesystem::u8path(av_clip()), std::filesystem::u8path(name),
                               ec);
    ASSERT_FALSE(ec) << ec.message();

    LogCapture log;
    PluginHandle video;
    const int id = video->create_block(name.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    EXPECT_EQ(video->get_duration(id), 3);
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->video_create_texture_rgb24(id, &renderer, &texture));
    ASSERT_TRUE(video->play_block(id, true, false));
    EXPECT_TRUE(
        wait_until([&] { return video->video_update_texture_rgb24(id, &renderer, &texture); }, 10s))
        << log.dump();
    video->destroy_block(id);
}
