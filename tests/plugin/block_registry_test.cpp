// The block registry: creating and destroying blocks, and what every
// block-keyed operation answers for an id that names no block.
#include <gtest/gtest.h>

#include <string>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// Every block-keyed operation, called with an id that names no block, gives
// its fixed result and changes nothing.
void expect_unknown_id_results(qvx::SimpleVideo& video, int id) {
    SCOPED_TRACE("id " + std::to_string(id));
    qvx::Renderer renderer;
    qvx::Texture texture;
    qvx::Texture planes[3];
    qvx::Texture* textures[3] = {&planes[0], &planes[1], &planes[2]};
    const uint64_t units[3] = {0, 1, 2};

    EXPECT_FALSE(video.destroy_block(id));
    EXPECT_FALSE(video.play_block(id, true, true));
    EXPECT_FALSE(video.stop_block(id));
    EXPECT_FALSE(video.video_create_texture_rgb24(id, &renderer, &texture));
    EXPECT_FALSE(video.video_update_texture_rgb24(id, &renderer, &texture));
    EXPECT_FALSE(video.video_create_textures_yuv420p(id, &renderer, textures));
    EXPECT_FALSE(video.video_update_textures_yuv420p(id, &renderer, textures, units));
    EXPECT_FALSE(video.video_create_textures_nv12(id, &renderer, textures));
    EXPECT_FALSE(video.video_update_textures_nv12(id, &renderer, textures, units));
    EXPECT_EQ(texture.get_data_ptr()->width, 0u) << "no storage for an unknown block";
    EXPECT_EQ(planes[0].get_data_ptr()->width, 0u);
    EXPECT_EQ(video.get_video_rotation(id), 0.0f);
    EXPECT_FALSE(video.update_block(id));
    EXPECT_FALSE(video.set_streams_enabled(id, false, false));
    EXPECT_EQ(video.get_video_stream_index(id), 0);
    EXPECT_EQ(video.get_audio_stream_index(id), 0);
    video.set_paused(id, true);
    video.set_paused(id, false);
    video.rewind_block(id);
    video.set_volume(id, 0.5f);
    EXPECT_EQ(video.get_position(id), 0.0f);
    EXPECT_EQ(video.get_duration(id), 0);
    int width = -7, height = -7;
    EXPECT_FALSE(video.get_video_size(id, &width, &height));
    EXPECT_EQ(width, -7);
    EXPECT_EQ(height, -7);
    EXPECT_EQ(video.get_video_codec_name(id), nullptr);
    EXPECT_EQ(video.get_audio_codec_name(id), nullptr);
    EXPECT_EQ(video.get_num_video_frames(id), 0u);
    EXPECT_EQ(video.get_num_audio_frames(id), 0u);
    EXPECT_EQ(video.get_video_fps(id), 0.0);
    EXPECT_EQ(video.video_ms_to_timestamp(id, 1000), 0);
    EXPECT_FALSE(video.seek_video_frame(id, 1));
    EXPECT_FALSE(video.seek_video_timestamp(id, 1000));
    EXPECT_FALSE(video.seek_audio_timestamp(id, 1000));
    EXPECT_FALSE(video.seek_block(id, 1));
    EXPECT_EQ(video.get_num_displayed_frames(id), 0xFFFFFFFFu);
    EXPECT_EQ(video.get_num_decoded_frames(id), 0xFFFFFFFFu);
    EXPECT_FALSE(video.is_hw_device_used(id, nullptr));
    EXPECT_FALSE(video.is_hw_device_used(id, "cuda"));
    EXPECT_FALSE(video.is_hw_device_used(id, "bogus"));
}

}  // namespace

TEST(BlockRegistry, CreateWithNullNameGivesZeroAndLogsNothing) {
    PluginHandle video;
    LogCapture log;
    EXPECT_EQ(video->create_block(nullptr, false), 0);
    EXPECT_EQ(video->create_block(nullptr, true), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(BlockRegistry, UnopenableNameGivesZeroAndLeavesTheRegistryAsItWas) {
    PluginHandle video;
    const int before = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(before, 0);

    LogCapture log;
    const std::string missing = missing_file();
    EXPECT_EQ(video->create_block(missing.c_str(), false), 0);
    EXPECT_EQ(log.count(qvx::LogLevel::error, "Unable to open the file " + missing), 1u)
        << log.dump();
    EXPECT_EQ(log.count_containing("Information about"), 0u) << log.dump();

    // The block made before still answers, and is still the one found.
    EXPECT_EQ(video->get_duration(before), 3);
    int width = 0, height = 0;
    EXPECT_TRUE(video->get_video_size(before, &width, &height));
    EXPECT_EQ(width, 320);

    // The next block gets a fresh id; the failed one left no trace.
    const int after = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(after, 0);
    EXPECT_NE(after, before);
    EXPECT_TRUE(video->destroy_block(before));
    EXPECT_TRUE(video->destroy_block(after));
    expect_unknown_id_results(*video, before);
}

TEST(BlockRegistry, BlocksGetDistinctIdsAndOutliveEachOther) {
    PluginHandle video;
    const int first = video->create_block(av_clip().c_str(), false);
    const int second = video->create_block(audio_only_clip().c_str(), true);
    const int third = video->create_block(video_only_clip().c_str(), false);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    ASSERT_NE(third, 0);
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_NE(first, third);

    // Each id reaches its own block.
    EXPECT_GE(video->get_video_stream_index(first), 0);
    EXPECT_LT(video->get_video_stream_index(second), 0);
    EXPECT_LT(video->get_audio_stream_index(third), 0);

    // A block that never played is destroyed without a thread to stop;
    // stop_block on it does nothing.
    EXPECT_TRUE(video->stop_block(first));
    EXPECT_TRUE(video->destroy_block(first));
    EXPECT_FALSE(video->destroy_block(first));
    expect_unknown_id_results(*video, first);

    // The others are untouched and still play.
    EXPECT_EQ(video->get_audio_stream_index(second), 0);
    EXPECT_EQ(video->get_video_stream_index(third), 0);
    EXPECT_TRUE(video->play_block(third, true, false));
    EXPECT_TRUE(wait_until([&] { return video->get_num_decoded_frames(third) > 0; }, 10s));
    EXPECT_TRUE(video->play_block(third, true, false)) << "playing block: flags only";
    EXPECT_TRUE(video->stop_block(third));
    EXPECT_TRUE(video->stop_block(third));
    EXPECT_TRUE(video->destroy_block(third));
    EXPECT_TRUE(video->destroy_block(second));
}

TEST(BlockRegistry, UnknownIdsGiveTheFixedResults) {
    PluginHandle video;
    // Empty registry.
    expect_unknown_id_results(*video, 0);
    expect_unknown_id_results(*video, 1);
    expect_unknown_id_results(*video, -1);

    // With blocks registered, 0 and ids never handed out still name nothing.
    const int id = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(id, 0);
    expect_unknown_id_results(*video, 0);
    expect_unknown_id_results(*video, id + 100000);
    expect_unknown_id_results(*video, -id);
    EXPECT_EQ(video->get_duration(id), 3) << "the unknown ids changed the real block";
    EXPECT_EQ(video->get_num_decoded_frames(id), 0u);
    EXPECT_EQ(video->get_num_displayed_frames(id), 0u);
}
