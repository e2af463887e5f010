// The small operations through which a host reads and steers a block, and
// their texture-keyed forms.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// Mono 8-bit PCM of exactly samples / rate seconds.
std::string wav_file(const std::string& name, uint32_t rate, uint32_t samples) {
    const std::string path = media_dir() + "/" + name;
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return path;
    auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + samples);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16);
    u16(1);  // PCM
    u16(1);  // mono
    u32(rate);
    u32(rate);  // bytes a second
    u16(1);     // block align
    u16(8);     // bits a sample
    std::fwrite("data", 1, 4, f);
    u32(samples);
    const std::vector<uint8_t> silence(samples, 0x80);
    std::fwrite(silence.data(), 1, silence.size(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
    return path;
}

// Frame rates as containers declare them: NTSC H.264 in MP4, Ogg Theora
// (no r_frame_rate), FLV without metadata (time base 1/1000; its rate is
// estimated from the first timestamps, whole milliseconds apart).
struct RateCase {
    const char* name;
    const char* file;
    const char* args;
    double fps;
    double tolerance;
};

class FrameRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(FrameRate, IsTheStreamsOwnRate) {
    const RateCase& c = GetParam();
    const std::string path = generate_media(c.file, c.args);
    PluginHandle video;
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->texture_create_from_file(&renderer, &texture, path.c_str()));
    const int id = texture.get_audio_video_block_id();
    EXPECT_NEAR(video->get_video_fps(id), c.fps, c.tolerance);
    EXPECT_NEAR(video->texture_get_video_fps(&texture), c.fps, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, FrameRate,
    ::testing::Values(
        RateCase{"NtscH264", "ntsc_rate.mp4",
                 "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=2 -c:v libx264 "
                 "-preset veryfast -pix_fmt yuv420p -r 30000/1001",
                 30000.0 / 1001.0, 1e-6},
        RateCase{"OggTheora", "theora_10fps.ogg",
                 "-f lavfi -i testsrc2=size=160x120:rate=10:duration=2 -c:v libtheora", 10.0, 1e-6},
        RateCase{"FlvWithoutMetadata", "no_metadata.flv",
                 "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 -c:v libx264 -preset "
                 "veryfast -pix_fmt yuv420p -flvflags no_metadata",
                 30.0, 0.5}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

// 3 s at 30 fps, a key frame every second, each frame showing its index.
std::string three_second_indexed_clip() {
    IndexedClip clip;
    clip.frames = 90;
    clip.gop = 30;
    return indexed_clip(clip);
}

// Plays the block's video and returns the index shown by its first frame,
// or -2 when no frame came.
int first_frame_index(qvx::SimpleVideo& video, int id) {
    qvx::Renderer renderer;
    qvx::Texture texture;
    if (!video.video_create_texture_rgb24(id, &renderer, &texture)) return -2;
    if (!video.play_block(id, true, false)) return -2;
    if (!wait_until([&] { return video.video_update_texture_rgb24(id, &renderer, &texture); }, 10s))
        return -2;
    const qvx::TextureData* data = texture.get_data_ptr();
    return read_index_rgb(data->pixels.data(), static_cast<int>(data->width),
                          static_cast<int>(data->height));
}

}  // namespace

TEST(TextureQueries, NullOrUnlinkedTexturesGiveTheFixedResults) {
    PluginHandle video;
    qvx::Renderer renderer;
    EXPECT_FALSE(video->texture_create_from_file(&renderer, nullptr, av_clip().c_str()));
    EXPECT_FALSE(video->texture_update(&renderer, nullptr));
    EXPECT_EQ(video->texture_get_duration(nullptr), 0);
    EXPECT_FALSE(video->texture_seek_video_frame(nullptr, 1));
    EXPECT_FALSE(video->texture_destroy_block(nullptr));

    // A texture that names no block.
    const int other = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(other, 0);
    qvx::Texture texture;
    texture.set_audio_video_block_id(other + 100000);
    EXPECT_FALSE(video->texture_update(&renderer, &texture));
    EXPECT_EQ(video->texture_get_duration(&texture), 0);
    EXPECT_FALSE(video->texture_seek_video_timestamp(&texture, 1000));
    EXPECT_TRUE(video->texture_destroy_block(&texture));
    EXPECT_EQ(texture.get_audio_video_block_id(), 0);
    EXPECT_EQ(video->get_duration(other), 3) << "the unrelated block survives";

    // An input that cannot be opened links nothing.
    EXPECT_FALSE(video->texture_create_from_file(&renderer, &texture, missing_file().c_str()));
    EXPECT_EQ(texture.get_audio_video_block_id(), 0);
}

TEST(TextureQueries, CreateFromFileLinksTheTextureToItsBlock) {
    PluginHandle video;
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->texture_create_from_file(&renderer, &texture, av_clip().c_str()));
    const int id = texture.get_audio_video_block_id();
    ASSERT_NE(id, 0);
    EXPECT_EQ(texture.get_data_ptr()->width, 320u);
    EXPECT_EQ(texture.get_data_ptr()->height, 240u);
    EXPECT_EQ(texture.get_data_ptr()->format, 1);

    // The texture-keyed operations reach the same block as the id.
    EXPECT_EQ(video->texture_get_duration(&texture), 3);
    EXPECT_DOUBLE_EQ(video->texture_get_video_fps(&texture), 30.0);
    EXPECT_GT(video->texture_video_ms_to_timestamp(&texture, 1000), 0);
    EXPECT_EQ(video->texture_video_ms_to_timestamp(&texture, 1000),
              video->video_ms_to_timestamp(id, 1000));

    // Played by its id, the block feeds the texture through texture_update.
    ASSERT_TRUE(video->play_block(id, true, false));
    EXPECT_TRUE(wait_until([&] { return video->texture_update(&renderer, &texture); }, 10s));
    EXPECT_EQ(video->get_num_displayed_frames(id), 1u);
    EXPECT_GT(texture.get_data_ptr()->region_updates, 0u);

    EXPECT_TRUE(video->texture_destroy_block(&texture));
    EXPECT_EQ(texture.get_audio_video_block_id(), 0);
    EXPECT_EQ(video->get_duration(id), 0) << "the block is gone";
    EXPECT_FALSE(video->destroy_block(id));
    // Again, with the block already gone: still true.
    EXPECT_TRUE(video->texture_destroy_block(&texture));
}

// Whole seconds round at 5 ms: 1.995 s is 2, a microsecond less is 1; an
// input shorter than a second lasts 1 (0 would read as unknown).
TEST(BlockQueries, DurationRoundsAtFiveMilliseconds) {
    PluginHandle video;
    struct Case {
        std::string path;
        int64_t seconds;
    };
    const Case cases[] = {
        {wav_file("d1995000.wav", 8000, 15960), 2},
        {wav_file("d1994999.wav", 1000000, 1994999), 1},
        {wav_file("d0500000.wav", 8000, 4000), 1},
    };
    for (const Case& c : cases) {
        const int id = video->create_block(c.path.c_str(), false);
        ASSERT_NE(id, 0) << c.path;
        EXPECT_EQ(video->get_duration(id), c.seconds) << c.path;
    }
}

// The target is kept when inside the duration, else it is the start; the
// first picture is the one at the target. Requests made before play_block
// are carried out when the reader starts.
TEST(BlockQueries, SeekBlockClampsItsTarget) {
    const std::string clip = three_second_indexed_clip();
    PluginHandle video;
    struct Case {
        int request;
        int first_frame;
    };
    for (const Case& c : {Case{2, 60}, Case{1, 30}, Case{3, 0}, Case{100, 0}, Case{-5, 0}}) {
        SCOPED_TRACE("seek_block to " + std::to_string(c.request));
        const int id = video->create_block(clip.c_str(), false);
        ASSERT_NE(id, 0);
        ASSERT_EQ(video->get_duration(id), 3);
        EXPECT_TRUE(video->seek_block(id, c.request));
        EXPECT_EQ(first_frame_index(*video, id), c.first_frame);
        EXPECT_TRUE(video->destroy_block(id));
    }
}

TEST(BlockQueries, ControlsOfAnOpenBlock) {
    PluginHandle video;
    const int id = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(id, 0);

    int width = -1;
    EXPECT_TRUE(video->get_video_size(id, nullptr, nullptr));
    EXPECT_TRUE(video->get_video_size(id, &width, nullptr));
    EXPECT_EQ(width, 320);

    EXPECT_FALSE(video->update_block(id));
    EXPECT_TRUE(video->set_streams_enabled(id, false, false));
    EXPECT_TRUE(video->set_streams_enabled(id, true, true));
    for (float volume : {0.0f, 1.0f, 1.5f, -1.0f, 0.7f}) video->set_volume(id, volume);
    EXPECT_EQ(video->get_num_displayed_frames(id), 0u);
    EXPECT_EQ(video->get_num_decoded_frames(id), 0u);

    // Pause and resume before playing: the block stays still, then plays.
    std::this_thread::sleep_for(100ms);
    video->set_paused(id, false);
    EXPECT_EQ(video->get_position(id), 0.0f) << "an unplayed block has not moved";
    video->set_paused(id, true);
    video->set_paused(id, false);
    EXPECT_EQ(video->get_position(id), 0.0f);

    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->video_create_texture_rgb24(id, &renderer, &texture));
    ASSERT_TRUE(video->play_block(id, true, false));
    uint32_t shown = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            shown += video->video_update_texture_rgb24(id, &renderer, &texture);
            return shown >= 5;
        },
        10s));
    EXPECT_EQ(video->get_num_displayed_frames(id), shown);
    EXPECT_GE(video->get_num_decoded_frames(id), shown);
    EXPECT_TRUE(wait_until([&] { return video->get_position(id) > 0.1f; }, 5s));
    EXPECT_FALSE(video->update_block(id)) << "also while playing";
}
