// Broken and hostile inputs: each is opened, played for a while, sought,
// paused and destroyed beside a healthy block. Nothing may crash or hang,
// every call returns within a second, a failure leaves a clear log line, and
// the healthy block plays on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <random>

#include "test_host.h"

namespace hostile {

using namespace qvx_test;

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An AVI whose streams of the kinds given ("vids", "auds") declare 7 bits
// per pixel or sample: their decoders refuse to open.
std::string seven_bit_avi(const std::string& name, const std::string& codecs,
                          const std::string& kind) {
    const std::string source =
        generate_media("source_" + name,
                       "-f lavfi -i testsrc2=size=64x48:rate=10:duration=2 "
                       "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=2 " +
                           codecs);
    std::string bytes = read_bytes(source);
    for (size_t at = bytes.find("strh"); at != std::string::npos; at = bytes.find("strh", at + 4)) {
        const size_t format = bytes.find("strf", at);
        // strf, its size, then the header's bit count 14 bytes in.
        if (kind.find(bytes.substr(at + 8, 4)) != std::string::npos && format != std::string::npos)
            bytes[format + 22] = 7, bytes[format + 23] = 0;
    }
    const std::string path = media_dir() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace hostile

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

constexpr double call_limit_ms = 1000.0;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string write_variant(const std::string& name, const std::string& bytes) {
    const std::string path = media_dir() + "/broken_" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string faststart_clip() {
    return generate_media("faststart.mp4",
                          "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
                          "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
                          "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -shortest "
                          "-movflags +faststart");
}

// A transport stream whose picture size and then pixel format change.
std::string changing_stream() {
    const std::string a = generate_media("change_a.ts",
                                         "-f lavfi -i testsrc2=size=320x240:rate=30:duration=1 "
                                         "-c:v libx264 -preset veryfast -pix_fmt yuv420p");
    const std::string b = generate_media("change_b.ts",
                                         "-f lavfi -i testsrc2=size=480x270:rate=30:duration=1 "
                                         "-c:v libx264 -preset veryfast -pix_fmt yuv420p");
    const std::string c = generate_media("change_c.ts",
                                         "-f lavfi -i testsrc2=size=480x270:rate=30:duration=1 "
                                         "-c:v libx264 -preset veryfast -pix_fmt yuv444p");
    return write_variant("changing.ts", read_file(a) + read_file(b) + read_file(c));
}

std::string cover_art_music() {
    return generate_media("cover_art.mp3",
                          "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
                          "-f lavfi -i testsrc2=size=64x64:rate=1:duration=1 -map 0:a -map 1:v "
                          "-c:a libmp3lame -c:v mjpeg -frames:v 1 -disposition:v:0 attached_pic "
                          "-id3v2_version 3");
}

std::vector<std::pair<std::string, std::string>> broken_inputs() {
    std::vector<std::pair<std::string, std::string>> inputs;
    const std::string clip = read_file(faststart_clip());
    for (int i = 1; i <= 10; ++i) {
        const size_t cut = clip.size() * static_cast<size_t>(i) / 11;
        inputs.emplace_back("truncated at " + std::to_string(cut),
                            write_variant("cut" + std::to_string(i) + ".mp4", clip.substr(0, cut)));
    }
    for (int i = 0; i < 4; ++i) {
        std::string zeroed = clip;
        const size_t at = zeroed.size() * static_cast<size_t>(i + 1) / 6;
        std::fill(zeroed.begin() + static_cast<long>(at),
                  zeroed.begin() + static_cast<long>(std::min(zeroed.size(), at + 8192)), '\0');
        inputs.emplace_back("zeroed region " + std::to_string(i),
                            write_variant("zero" + std::to_string(i) + ".mp4", zeroed));
    }
    std::mt19937 rng(20261206);
    for (int i = 0; i < 4; ++i) {
        std::string flipped = clip;
        for (int k = 0; k < 40; ++k)
            flipped[rng() % flipped.size()] ^= static_cast<char>(1 << (rng() % 8));
        inputs.emplace_back("flipped bytes " + std::to_string(i),
                            write_variant("flip" + std::to_string(i) + ".mp4", flipped));
    }
    inputs.emplace_back("header only", write_variant("header.mp4", clip.substr(0, 2048)));
    inputs.emplace_back("zero bytes", write_variant("empty.mp4", ""));
    inputs.emplace_back("random bytes", random_bytes_file());
    inputs.emplace_back("a directory", media_dir());
    inputs.emplace_back("missing path", missing_file());
    inputs.emplace_back("closed port", "tcp://127.0.0.1:1");
    inputs.emplace_back(
        "huge picture",
        write_variant("huge.y4m", "YUV4MPEG2 W60000 H60000 F30:1 Ip A1:1 C420jpeg\nFRAME\n" +
                                      std::string(4096, '\x80')));
    inputs.emplace_back("size and format change", changing_stream());
    inputs.emplace_back(
        "video decoder that does not open",
        hostile::seven_bit_avi("raw7.avi", "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le", "vids"));
    inputs.emplace_back(
        "audio decoder that does not open",
        hostile::seven_bit_avi("adpcm7.avi", "-c:v mpeg4 -c:a adpcm_ima_wav", "auds"));
    inputs.emplace_back("music with cover art", cover_art_music());
    return inputs;
}

// Plays a block for a while through the usual host calls; every call must
// come back within the limit.
void exercise(qvx::SimpleVideo& video, int id, const std::string& what) {
    qvx::Renderer renderer;
    qvx::Texture y, u, v;
    qvx::Texture* planes[3] = {&y, &u, &v};
    auto timed = [&](const char* call, auto f) {
        const double ms = time_ms(f);
        EXPECT_LT(ms, call_limit_ms) << call << " on " << what;
    };
    timed("create textures", [&] { video.video_create_textures_yuv420p(id, &renderer, planes); });
    timed("play_block", [&] { video.play_block(id, true, true); });
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until) {
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
        video.get_position(id);
        video.get_duration(id);
        video.get_video_fps(id);
        int w = 0, h = 0;
        video.get_video_size(id, &w, &h);
    });
    std::this_thread::sleep_for(100ms);
    timed("destroy_block", [&] { EXPECT_TRUE(video.destroy_block(id)); });
}

#if defined(_WIN32)
// Windows tries a refused TCP connection again for a few seconds.
constexpr double max_open_ms = 10000.0;
#else
constexpr double max_open_ms = 5000.0;
#endif

TEST(BrokenInput, NeverCrashesHangsOrHarmsAnotherBlock) {
    PluginHandle video;
    LogCapture log;
    video->set_parameter_string("video_pixel_fmt", "yuv420p");
    const int healthy = video->create_block(av_clip().c_str(), true);
    ASSERT_NE(healthy, 0);
    qvx::Renderer renderer;
    qvx::Texture y, u, v;
    qvx::Texture* planes[3] = {&y, &u, &v};
    ASSERT_TRUE(video->video_create_textures_yuv420p(healthy, &renderer, planes));
    ASSERT_TRUE(video->play_block(healthy, true, true));

    for (const auto& input : broken_inputs()) {
        SCOPED_TRACE(input.first);
        log.clear();
        int id = 0;
        const double open_ms =
            time_ms([&] { id = video->create_block(input.second.c_str(), false); });
        EXPECT_LT(open_ms, max_open_ms) << "create_block on " << input.first;
        if (id == 0) {
            EXPECT_GT(log.count_containing(input.second), 0u)
                << "no log line names " << input.second << "\n"
                << log.dump();
            continue;
        }
        exercise(*video, id, input.first);
        // The healthy block still answers and still delivers frames.
        const uint32_t before = video->get_num_displayed_frames(healthy);
        EXPECT_TRUE(wait_until(
            [&] {
                video->video_update_textures_yuv420p(healthy, &renderer, planes, nullptr);
                return video->get_num_displayed_frames(healthy) > before;
            },
            3000ms))
            << "healthy block stalled after " << input.first;
    }
    EXPECT_TRUE(video->destroy_block(healthy));
}

}  // namespace

namespace {

// The fuzzer's seeds, its merged corpus and every input it ever found a
// fault with, replayed the way the fuzz target drives them.
TEST(FuzzCorpus, SeedsAndRegressionsPlayAndGoCleanly) {
    const std::string seeds = media_dir() + "/fuzz-seeds";
    ASSERT_TRUE(
        run_command(std::string("'") + QVX_SOURCE_DIR + "/tests/fuzz/seeds.sh' '" + seeds + "'"));
    std::vector<std::string> inputs;
    for (const std::string& dir : {seeds, std::string(QVX_SOURCE_DIR) + "/tests/fuzz/corpus",
                                   std::string(QVX_SOURCE_DIR) + "/tests/fuzz/regressions"}) {
        FILE* list = popen(("find '" + dir + "' -type f ! -name '*.md' | sort").c_str(), "r");
        ASSERT_NE(list, nullptr);
        char line[4096];
        while (std::fgets(line, sizeof line, list)) {
            std::string path(line);
            while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
            inputs.push_back(path);
        }
        pclose(list);
    }
    ASSERT_FALSE(inputs.empty());
    PluginHandle video;
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        int id = 0;
        EXPECT_LT(time_ms([&] { id = video->create_block(input.c_str(), true); }), 5000.0);
        if (id != 0) exercise(*video, id, input);
    }
}

}  // namespace
