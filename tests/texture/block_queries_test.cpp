// The small operations through which a host reads and steers a block, and
// their texture-keyed forms.
#include <cstring>
#include <tuple>

#include "../pipeline/render_host.h"

namespace {

using namespace qvx_test;

// Frame rates as containers declare them: NTSC H.264 in MP4, Ogg Theora
// (no r_frame_rate), FLV without metadata (time base 1/1000: its rate is
// estimated from the first timestamps, whole milliseconds apart).
TEST(FrameRate, IsTheStreamsOwnRate) {
    const std::string src = "-f lavfi -i testsrc2=size=160x120:duration=2:rate=";
    const std::string x264 = " -c:v libx264 -preset veryfast -pix_fmt yuv420p";
    PluginHandle video;
    for (const auto& [file, args, fps, tolerance] :
         std::vector<std::tuple<std::string, std::string, double, double>>{
             {"ntsc_rate.mp4", src + "30000/1001" + x264 + " -r 30000/1001", 30000.0 / 1001, 1e-6},
             {"theora_10fps.ogg", src + "10 -c:v libtheora", 10.0, 1e-6},
             {"no_metadata.flv", src + "30" + x264 + " -flvflags no_metadata", 30.0, 0.5}}) {
        qvx::Renderer renderer;
        qvx::Texture texture;
        ASSERT_TRUE(video->texture_create_from_file(&renderer, &texture,
                                                    generate_media(file, args).c_str()));
        EXPECT_NEAR(video->get_video_fps(texture.get_audio_video_block_id()), fps, tolerance)
            << file;
        EXPECT_NEAR(video->texture_get_video_fps(&texture), fps, tolerance) << file;
    }
}

// A texture made from a file names its block, and the texture-keyed
// operations reach that block; one that names no block reaches nothing.
TEST(TextureQueries, CreateFromFileLinksTheTextureToItsBlock) {
    PluginHandle video;
    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_FALSE(video->texture_create_from_file(&renderer, &texture, missing_file().c_str()));
    EXPECT_EQ(texture.get_audio_video_block_id(), 0);
    EXPECT_FALSE(video->texture_create_from_file(&renderer, nullptr, av_clip().c_str()));
    EXPECT_FALSE(video->texture_update(&renderer, nullptr));

    ASSERT_TRUE(video->texture_create_from_file(&renderer, &texture, av_clip().c_str()));
    const int id = texture.get_audio_video_block_id();
    ASSERT_NE(id, 0);
    EXPECT_EQ(texture.get_data_ptr()->width, 320u);
    EXPECT_EQ(texture.get_data_ptr()->height, 240u);
    EXPECT_EQ(video->texture_get_duration(&texture), 3);
    EXPECT_EQ(video->texture_video_ms_to_timestamp(&texture, 1000),
              video->video_ms_to_timestamp(id, 1000));
    ASSERT_TRUE(video->play_block(id, true, false));
    EXPECT_TRUE(wait_until([&] { return video->texture_update(&renderer, &texture); }, 10s));
    EXPECT_EQ(video->get_num_displayed_frames(id), 1u);

    qvx::Texture stray;
    stray.set_audio_video_block_id(id + 100000);
    EXPECT_FALSE(video->texture_update(&renderer, &stray));
    EXPECT_TRUE(video->texture_destroy_block(&stray));
    EXPECT_EQ(video->get_duration(id), 3) << "the unrelated block survives";

    EXPECT_TRUE(video->texture_destroy_block(&texture));
    EXPECT_EQ(texture.get_audio_video_block_id(), 0);
    EXPECT_EQ(video->get_duration(id), 0) << "the block is gone";
    EXPECT_TRUE(video->texture_destroy_block(&texture)) << "already gone: still true";
}

// Mono 8-bit PCM of exactly samples / rate seconds.
std::string wav_file(const std::string& name, uint32_t rate, uint32_t samples) {
    std::string bytes(44 + samples, '\x80');
    auto put = [&](size_t at, uint32_t v, size_t n) { std::memcpy(&bytes[at], &v, n); };
    std::memcpy(&bytes[0], "RIFF....WAVEfmt ", 16);
    put(4, 36 + samples, 4);
    put(16, 16, 4);
    put(20, 1, 2);  // PCM
    put(22, 1, 2);  // mono
    put(24, rate, 4);
    put(28, rate, 4);  // bytes a second
    put(32, 1, 2);     // block align
    put(34, 8, 2);     // bits a sample
    std::memcpy(&bytes[36], "data", 4);
    put(40, samples, 4);
    return write_media(name, bytes);
}

// Whole seconds round at 5 ms: 1.995 s is 2, a microsecond less is 1; an
// input shorter than a second lasts 1 (0 would read as unknown).
TEST(BlockQueries, DurationRoundsAtFiveMilliseconds) {
    PluginHandle video;
    for (const auto& [path, seconds] : std::vector<std::pair<std::string, int64_t>>{
             {wav_file("d1995000.wav", 8000, 15960), 2},
             {wav_file("d1994999.wav", 1000000, 1994999), 1},
             {wav_file("d0500000.wav", 8000, 4000), 1}}) {
        const int id = video->create_block(path.c_str(), false);
        ASSERT_NE(id, 0) << path;
        EXPECT_EQ(video->get_duration(id), seconds) << path;
    }
}

// The target is kept when inside the duration (whole seconds: 3 for this
// 3.5 s clip), else it is the start; the first picture is the one at the
// target. Requests made before play_block are carried out when the reader
// starts.
TEST(BlockQueries, SeekBlockClampsItsTarget) {
    IndexedClip recipe;
    recipe.frames = 105;
    PluginHandle plugin;
    for (const auto& [request, first] :
         std::vector<std::pair<int, int>>{{2, 60}, {1, 30}, {3, 0}, {100, 0}, {-5, 0}}) {
        SCOPED_TRACE("seek_block to " + std::to_string(request));
        RenderHost host(plugin, Format::rgb24);
        ASSERT_TRUE(host.open(indexed_clip(recipe), false));
        ASSERT_EQ(plugin->get_duration(host.id), 3);
        EXPECT_TRUE(plugin->seek_block(host.id, request));
        ASSERT_TRUE(host.play());
        ASSERT_TRUE(host.pump_frames(1, 10s));
        EXPECT_EQ(host.frames[0].index, first);
    }
}

}  // namespace
