// Broken and hostile inputs: each is opened, played for a while, sought,
// paused and destroyed beside a healthy block. Nothing may crash or hang,
// every call returns within a second, a failure leaves a clear log line, and
// the healthy block plays on.
#include <algorithm>
#include <random>

#include "../pipeline/render_host.h"

namespace reliability {

using namespace qvx_test;

// A 3 s clip with sound whose index comes first, so that any leading part
// of it opens.
std::string faststart_clip() {
    return generate_media("faststart.mp4",
                          "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
                          "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
                          "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -shortest "
                          "-movflags +faststart");
}

// Plays a block for a while through the usual host calls; every call must
// come back within a second.
void exercise(qvx::SimpleVideo& video, int id, const std::string& what) {
    qvx::Renderer renderer;
    qvx::Texture textures[3];
    qvx::Texture* planes[3] = {&textures[0], &textures[1], &textures[2]};
    auto timed = [&](const char* call, auto f) {
        EXPECT_LT(time_ms(f), 1000.0) << call << " on " << what;
    };
    timed("create textures", [&] { video.video_create_textures_yuv420p(id, &renderer, planes); });
    timed("play_block", [&] { video.play_block(id, true, true); });
    for (int i = 0; i < 60; ++i) {
        timed("update",
              [&] { video.video_update_textures_yuv420p(id, &renderer, planes, nullptr); });
        std::this_thread::sleep_for(5ms);
    }
    timed("seek_block", [&] { video.seek_block(id, 1); });
    timed("seek_video_timestamp", [&] { video.seek_video_timestamp(id, 0); });
    timed("seek_video_frame", [&] { video.seek_video_frame(id, 0); });
    timed("seek_audio_timestamp", [&] { video.seek_audio_timestamp(id, 0); });
    timed("set_paused", [&] { video.set_paused(id, true); });
    std::this_thread::sleep_for(50ms);
    timed("resume", [&] { video.set_paused(id, false); });
    timed("queries", [&] {
        int w = 0, h = 0;
        video.get_position(id);
        video.get_duration(id);
        video.get_video_fps(id);
        video.get_video_size(id, &w, &h);
    });
    std::this_thread::sleep_for(100ms);
    timed("destroy_block", [&] { EXPECT_TRUE(video.destroy_block(id)); });
}

}  // namespace reliability

namespace {

using namespace reliability;

// What each input is, and its path.
std::vector<std::pair<std::string, std::string>> broken_inputs() {
    std::vector<std::pair<std::string, std::string>> inputs;
    auto add = [&](const std::string& what, const std::string& bytes) {
        inputs.emplace_back(what,
                            write_media("broken_" + std::to_string(inputs.size()) + ".mp4", bytes));
    };
    const std::string clip = read_file(faststart_clip());
    for (size_t i = 1; i <= 10; ++i)
        add("truncated at " + std::to_string(i) + "/11", clip.substr(0, clip.size() * i / 11));
    std::mt19937 rng(20261206);
    for (size_t i = 1; i <= 4; ++i) {
        std::string zeroed = clip, flipped = clip;
        const size_t at = clip.size() * i / 6;
        std::fill(zeroed.begin() + at, zeroed.begin() + std::min(clip.size(), at + 8192), '\0');
        for (int k = 0; k < 40; ++k)
            flipped[rng() % flipped.size()] ^= static_cast<char>(1 << (rng() % 8));
        add("zeroed 8 KiB at " + std::to_string(i) + "/6", zeroed);
        add("40 flipped bits, round " + std::to_string(i), flipped);
    }
    add("header only", clip.substr(0, 2048));
    add("zero bytes", "");
    inputs.emplace_back("random bytes", random_bytes_file());
    inputs.emplace_back("a directory", media_dir());
    inputs.emplace_back("missing path", missing_file());
    inputs.emplace_back("closed port", "tcp://127.0.0.1:1");
    inputs.emplace_back(
        "huge picture",
        write_media("broken_huge.y4m", "YUV4MPEG2 W60000 H60000 F30:1 Ip A1:1 C420jpeg\nFRAME\n" +
                                           std::string(4096, '\x80')));
    // A transport stream whose picture size and then pixel format change.
    auto part = [](const char* name, const char* size, const char* format) {
        return read_file(generate_media(name, std::string("-f lavfi -i testsrc2=size=") + size +
                                                  ":rate=30:duration=1 -c:v libx264 -preset "
                                                  "veryfast -pix_fmt " +
                                                  format));
    };
    inputs.emplace_back(
        "size and format change",
        write_media("broken_changing.ts", part("change_a.ts", "320x240", "yuv420p") +
                                              part("change_b.ts", "480x270", "yuv420p") +
                                              part("change_c.ts", "480x270", "yuv444p")));
    return inputs;
}

#if defined(_WIN32)
// Windows tries a refused TCP connection again for a few seconds.
constexpr double max_open_ms = 10000.0;
#else
constexpr double max_open_ms = 5000.0;
#endif

TEST(BrokenInput, NeverCrashesHangsOrHarmsAnotherBlock) {
    LogCapture log;
    PluginHandle video;
    RenderHost healthy(video, Format::yuv420p);
    ASSERT_TRUE(healthy.open(av_clip(), true));
    ASSERT_TRUE(healthy.play(true));
    size_t library_lines = 0;
    for (const auto& [what, path] : broken_inputs()) {
        SCOPED_TRACE(what);
        library_lines += log.count_containing("[FFmpeg] h264: ");
        log.clear();
        int id = 0;
        EXPECT_LT(time_ms([&] { id = video->create_block(path.c_str(), false); }), max_open_ms);
        if (id == 0) {
            EXPECT_GT(log.count_containing(path), 0u) << "no log line names it\n" << log.dump();
            continue;
        }
        exercise(*video, id, what);
        EXPECT_TRUE(healthy.pump_frames(1, 3000ms)) << "healthy block stalled after " << what;
    }
    // The decoder's complaints about the damage reach the host's log (and
    // so not the process's stderr, where FFmpeg's own callback writes).
    EXPECT_GT(library_lines, 0u);
}

// The fuzzer's seeds, its merged corpus and every input it ever found a
// fault with, replayed the way the fuzz target drives them.
TEST(FuzzCorpus, SeedsAndRegressionsPlayAndGoCleanly) {
    const std::string seeds = media_dir() + "/fuzz-seeds", source = QVX_SOURCE_DIR;
    ASSERT_TRUE(run_command("'" + source + "/tests/fuzz/seeds.sh' '" + seeds + "'"));
    std::istringstream inputs(
        command_output("find '" + seeds + "' '" + source + "/tests/fuzz/corpus' '" + source +
                       "/tests/fuzz/regressions' -type f ! -name '*.md' | sort"));
    PluginHandle video;
    int count = 0;
    for (std::string input; std::getline(inputs, input); ++count) {
        SCOPED_TRACE(input);
        int id = 0;
        EXPECT_LT(time_ms([&] { id = video->create_block(input.c_str(), true); }), 5000.0);
        if (id != 0) exercise(*video, id, input);
    }
    EXPECT_GT(count, 0);
}

}  // namespace
