// The plug-in as a host first meets it: the library's exports, the object's
// identity, the initialise / start / stop / terminate switches, its
// destruction with blocks still playing, and the block registry.
#include <filesystem>
#include <set>
#include <system_error>

#include "../pipeline/render_host.h"

using namespace qvx_test;

namespace {

qvx::SimpleVideo* create_video() {
    return dynamic_cast<qvx::SimpleVideo*>(PluginLibrary::get().create());
}

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

TEST(PluginExports, LibraryDefinesOnlyTheTwoEntryPoints) {
    std::istringstream lines(
        command_output(std::string("nm -D --defined-only '") + QVX_PLUGIN_PATH + "'"));
    std::set<std::string> names;
    std::string address, type, name;
    while (lines >> address >> type >> name) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"qvx_plugin_create", "qvx_plugin_destroy"}));
}

// The object identifies itself as a video plug-in; terminate before
// initialize, and a second initialize, are harmless.
TEST(PluginLifecycle, IdentityAndInitializeOnlyWhenNotYetInitialized) {
    EXPECT_EQ(PluginLibrary::get().destroy(nullptr), 0);
    qvx::SimpleVideo* video = create_video();
    ASSERT_NE(video, nullptr);
    EXPECT_STREQ(video->get_name(), "FFmpeg");
    EXPECT_EQ(video->get_type(), 4);
    EXPECT_TRUE(video->terminate() && video->initialize() && video->initialize());
    EXPECT_TRUE(video->terminate() && video->initialize() && video->terminate());
    EXPECT_EQ(PluginLibrary::get().destroy(video), 1);
}

// stop before start leaves the blocks alone; stop after start destroys
// them, playing or not; started again, the plug-in opens media as before.
TEST(PluginLifecycle, StartAndStopAreIdempotentAndStopDestroysBlocks) {
    PluginHandle video(/*start=*/false);
    const int id = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(id, 0);
    EXPECT_TRUE(video->stop());
    EXPECT_EQ(video->get_duration(id), 3);

    EXPECT_TRUE(video->start());
    EXPECT_TRUE(video->start());
    const int second = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(second, 0);
    EXPECT_TRUE(video->play_block(second, true, true));
    EXPECT_TRUE(video->stop());
    for (int gone : {id, second}) EXPECT_FALSE(video->destroy_block(gone));
    EXPECT_TRUE(video->stop());

    EXPECT_TRUE(video->start());
    EXPECT_TRUE(video->destroy_block(video->create_block(av_clip().c_str(), false)));
}

// The object may be destroyed with blocks still registered, even playing
// ones: their threads must be gone before the host can unload the library.
TEST(PluginLifecycle, DestroyingThePluginTearsDownRegisteredBlocks) {
    const std::string clip = av_clip();
    const int threads_before = thread_count();
    qvx::SimpleVideo* video = create_video();
    ASSERT_NE(video, nullptr);
    video->initialize();
    video->start();
    const int idle = video->create_block(clip.c_str(), false);
    const int playing = video->create_block(clip.c_str(), true);
    const int silent = video->create_block(clip.c_str(), true);
    ASSERT_TRUE(idle != 0 && playing != 0 && silent != 0);
    ASSERT_TRUE(video->play_block(playing, true, true));
    ASSERT_TRUE(video->play_block(silent, true, false));
    ASSERT_TRUE(wait_until([&] { return video->get_num_decoded_frames(playing) > 0; }, 10s));
    ASSERT_GT(thread_count(), threads_before);

    // No stop, no terminate: straight to the host's destroy.
    EXPECT_EQ(PluginLibrary::get().destroy(video), 1);
    // Generous: the audio device may be closed off the caller's thread.
    EXPECT_TRUE(wait_until([&] { return thread_count() <= threads_before; }, 5000ms))
        << thread_count() << " threads left, " << threads_before << " before";
    PluginHandle again;
    EXPECT_NE(again->create_block(clip.c_str(), false), 0) << "the library still serves";
}

// File names reach the plug-in as UTF-8, whatever the platform's own
// encoding of paths (Windows keeps them in UTF-16).
TEST(FileNames, NonAsciiNameOpensAndPlays) {
    const std::string path = media_dir() +
                             "/\xC3\xBCn\xC3\xAF c\xC3\xB8"
                             "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.mp4";
    // Removed first: mingw's copy_file refuses to overwrite.
    std::error_code ec;
    std::filesystem::remove(std::filesystem::u8path(path), ec);
    std::filesystem::copy_file(std::filesystem::u8path(av_clip()), std::filesystem::u8path(path),
                               ec);
    ASSERT_FALSE(ec) << ec.message();
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(path, false)) << log.dump();
    EXPECT_EQ(plugin->get_duration(host.id), 3);
    ASSERT_TRUE(host.play());
    EXPECT_TRUE(host.pump_frames(1, 10s)) << log.dump();
}

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
