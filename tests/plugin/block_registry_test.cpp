// The block registry: creating and destroying blocks, and ids that name no
// block (never made, refused, or destroyed).
#include <gtest/gtest.h>

#include <string>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// An id that names no block reaches nothing: no call acts or crashes, none
// touches the host's textures.
void expect_no_block(qvx::SimpleVideo& video, int id) {
    SCOPED_TRACE("id " + std::to_string(id));
    qvx::Renderer renderer;
    qvx::Texture planes[3];
    qvx::Texture* textures[3] = {&planes[0], &planes[1], &planes[2]};
    video.set_paused(id, true);
    video.rewind_block(id);
    video.set_volume(id, 0.5f);
    EXPECT_FALSE(video.play_block(id, true, true));
    EXPECT_FALSE(video.video_create_textures_yuv420p(id, &renderer, textures));
    EXPECT_FALSE(video.video_update_textures_nv12(id, &renderer, textures, nullptr));
    EXPECT_EQ(planes[0].get_data_ptr()->width, 0u);
    EXPECT_FALSE(video.seek_block(id, 1));
    EXPECT_EQ(video.get_duration(id), 0);
    EXPECT_FALSE(video.destroy_block(id));
}

}  // namespace

TEST(BlockRegistry, BlocksGetDistinctIdsAndOutliveEachOther) {
    PluginHandle video;
    LogCapture log;
    EXPECT_EQ(video->create_block(nullptr, false), 0);
    EXPECT_TRUE(log.lines().empty()) << "a null name is refused silently:\n" << log.dump();
    expect_no_block(*video, 0);

    const int first = video->create_block(av_clip().c_str(), false);
    const std::string missing = missing_file();
    EXPECT_EQ(video->create_block(missing.c_str(), false), 0);
    EXPECT_EQ(log.count(qvx::LogLevel::error, "Unable to open the file " + missing), 1u)
        << log.dump();
    const int second = video->create_block(audio_only_clip().c_str(), true);
    const int third = video->create_block(video_only_clip().c_str(), false);
    ASSERT_TRUE(first != 0 && second != 0 && third != 0);
    EXPECT_TRUE(first != second && second != third && first != third);
    expect_no_block(*video, third + 100000);
    expect_no_block(*video, -first);

    // A block that never played is destroyed without a thread to stop.
    EXPECT_TRUE(video->stop_block(first));
    EXPECT_TRUE(video->destroy_block(first));
    expect_no_block(*video, first);

    // The others are untouched and still play.
    EXPECT_EQ(video->get_audio_stream_index(second), 0);
    EXPECT_EQ(video->get_video_stream_index(third), 0);
    EXPECT_TRUE(video->play_block(third, true, false));
    EXPECT_TRUE(wait_until([&] { return video->get_num_decoded_frames(third) > 0; }, 10s));
    EXPECT_TRUE(video->destroy_block(third));
    EXPECT_TRUE(video->destroy_block(second));
}
