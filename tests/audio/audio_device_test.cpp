// The audio device of a block: what is logged when it opens or cannot
// open, the audio position it drives, and its end with the block.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"

namespace {

using namespace std::chrono_literals;
using qvx_test::LogCapture;
using qvx_test::PluginHandle;
using qvx_test::wait_until;

using Clock = std::chrono::steady_clock;

const char* const open_success = "[FFmpeg] SDL2 - open audio device success";
const char* const actual_44100 =
    "[FFmpeg] SDL2 - actual specs: format: 32784, channels: 2, samples: 2048, sampling rate: 44100";
const char* const no_more_combinations =
    "[FFmpeg] SDL2 - No more combinations to try, audio open failed.";

// A working output device that plays in real time and writes nothing.
void use_dummy_driver() {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A 44100 Hz stream opens its device at that rate, and the audio position
// follows the decoded audio through the playback.
TEST(AudioDevice, OpensAtTheStreamRateAndDrivesThePosition) {
    use_dummy_driver();
    LogCapture log;
    PluginHandle plugin;
    const int id = plugin->create_block(qvx_test::audio_only_clip().c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    const auto start = Clock::now();
    ASSERT_TRUE(plugin->play_block(id, false, true));
    ASSERT_TRUE(
        wait_until([&] { return log.count("[FFmpeg] audio resampler initialized ok.") > 0; }, 10s))
        << log.dump();
    EXPECT_EQ(log.count(open_success), 1u) << log.dump();
    EXPECT_EQ(log.count(actual_44100), 1u) << log.dump();

    float previous = 0.0f;
    for (double at : {1.0, 2.0}) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(at));
        const float position = plugin->get_position(id);
        const double elapsed = seconds_since(start);
        std::printf("after %.3f s of playback: audio position %.3f\n", elapsed, position);
        // The device buffer (2048 samples, about 46 ms) plays ahead of the
        // position, the start of playback lags it; both are small.
        EXPECT_NEAR(position, elapsed, 0.35);
        EXPECT_GT(position, previous);
        previous = position;
    }
    EXPECT_TRUE(plugin->destroy_block(id));
}

// Without a usable output device every attempt is logged, the open gives up,
// and the video plays without sound.
TEST(AudioDevice, NoOutputDeviceLogsTheAttemptsAndPlaysTheVideo) {
    setenv("SDL_AUDIODRIVER", "qvx_no_such_audio_driver", 1);
    LogCapture log;
    PluginHandle plugin;
    const int id = plugin->create_block(qvx_test::av_clip().c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(plugin->video_create_texture_rgb24(id, &renderer, &texture));
    ASSERT_TRUE(plugin->play_block(id, true, true));

    int delivered = 0;
    const auto start = Clock::now();
    while (seconds_since(start) < 2.0) {
        delivered += plugin->video_update_texture_rgb24(id, &renderer, &texture);
        std::this_thread::sleep_for(5ms);
    }
    std::printf("frames delivered in 2 s without an audio device: %d\n", delivered);
    EXPECT_GE(delivered, 10) << "the video does not play";
    EXPECT_GT(plugin->get_position(id), 0.5f);

    ASSERT_TRUE(wait_until([&] { return log.has(no_more_combinations); }, 5s)) << log.dump();
    EXPECT_TRUE(log.has(qvx::LogLevel::error, no_more_combinations));
    EXPECT_EQ(log.count(open_success), 0u);
    EXPECT_EQ(log.count_containing("[FFmpeg] unable to initialize SDL - "), 1u) << log.dump();

    // Each failure says its rate and a buffer sized by time (a power of two
    // lasting 32 to 64 ms); the stream's own rate is tried first.
    std::vector<int> rates;
    for (const qvx_test::LogLine& line : log.lines()) {
        int rate = 0, samples = 0;
        if (std::sscanf(line.text.c_str(),
                        "[FFmpeg] SDL2 - format: 32784, channels: 2, samples: %d - sampling "
                        "rate: %d",
                        &samples, &rate) != 2)
            continue;
        EXPECT_EQ(samples & (samples - 1), 0) << line.text;
        EXPECT_GE(samples * 1000, rate * 32) << line.text;
        EXPECT_LE(samples * 1000, rate * 64) << line.text;
        rates.push_back(rate);
    }
    ASSERT_GE(rates.size(), 2u) << log.dump();
    EXPECT_EQ(rates[0], 44100);
    EXPECT_TRUE(plugin->destroy_block(id));
}

// At the end of a non-looping input with sound the block is destroyed at
// once (goal: 100 ms; a loaded machine gets more).
TEST(AudioDevice, DestroyAtTheEndOfInputReturnsPromptly) {
    use_dummy_driver();
    LogCapture log;
    PluginHandle plugin;
    const int id = plugin->create_block(qvx_test::av_clip().c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(plugin->video_create_texture_rgb24(id, &renderer, &texture));
    ASSERT_TRUE(plugin->play_block(id, true, true));
    const auto start = Clock::now();
    // Well past the 3 s clip: the decoders have run dry.
    while (seconds_since(start) < 4.0) {
        plugin->video_update_texture_rgb24(id, &renderer, &texture);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(log.count(open_success), 1u) << "no audio device opened\n" << log.dump();
    const double ms = qvx_test::time_ms([&] { EXPECT_TRUE(plugin->destroy_block(id)); });
    std::printf("destroy_block at the end of the input: %.1f ms\n", ms);
    EXPECT_LT(ms, 1000.0);
    // The plug-in goes as promptly once its last device has closed.
    const double reset_ms = qvx_test::time_ms([&] { plugin.reset(); });
    std::printf("plug-in destruction after the block: %.1f ms\n", reset_ms);
    EXPECT_LT(reset_ms, 2000.0);
}

// A rate so low that a 4096-sample buffer would last half a second, and a
// rate no device should take (a header saying 1 Hz): devices open at a sane
// rate with a buffer of 32 to 64 ms, the sound plays, and another block
// decodes on while this one closes.
struct OddRate {
    const char* name;
    int device_rate;
};

class OddRates : public testing::TestWithParam<OddRate> {};

std::string odd_rate_media(const std::string& name) {
    if (name == "aac_8000")
        return qvx_test::generate_media(
            "tone_aac_8000.m4a",
            "-f lavfi -i sine=frequency=1000:sample_rate=8000:duration=3 -c:a aac");
    // A WAV whose header declares 1 Hz (and 4 bytes a second).
    const std::string wav = qvx_test::generate_media(
        "tone_pcm_8000_stereo.wav",
        "-f lavfi -i sine=frequency=1000:sample_rate=8000:duration=3 -ac 2 -c:a pcm_s16le");
    const std::string path = qvx_test::media_dir() + "/tone_pcm_1hz.wav";
    std::ifstream in(wav, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned char rate[8] = {1, 0, 0, 0, 4, 0, 0, 0};
    bytes.replace(24, 8, reinterpret_cast<const char*>(rate), 8);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST_P(OddRates, OpenASaneDeviceWithAShortBuffer) {
    // One device per block: the disk driver, each device to its own file.
    const std::string files[2] = {testing::TempDir() + "qvx_odd_rate_a.raw",
                                  testing::TempDir() + "qvx_odd_rate_b.raw"};
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", files[0].c_str(), 1);
    unsetenv("SDL_DISKAUDIODELAY");
    LogCapture log;
    PluginHandle plugin;
    const int odd = plugin->create_block(odd_rate_media(GetParam().name).c_str(), false);
    const int healthy = plugin->create_block(qvx_test::audio_only_clip().c_str(), false);
    ASSERT_NE(odd, 0) << log.dump();
    ASSERT_NE(healthy, 0) << log.dump();
    ASSERT_TRUE(plugin->play_block(odd, false, true));
    int samples = 0;
    int rate = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const qvx_test::LogLine& line : log.lines()) {
                int format = 0;
                int channels = 0;
                if (std::sscanf(line.text.c_str(),
                                "[FFmpeg] SDL2 - desired specs: format: %d, channels: %d, samples: "
                                "%d, sampling rate: %d",
                                &format, &channels, &samples, &rate) == 4)
                    return true;
            }
            return false;
        },
        10s))
        << log.dump();
    setenv("SDL_DISKAUDIOFILE", files[1].c_str(), 1);
    ASSERT_TRUE(plugin->play_block(healthy, false, true));
    EXPECT_EQ(rate, GetParam().device_rate);
    EXPECT_LE(samples * 1000, rate * 64);
    EXPECT_GE(samples * 1000, rate * 32);
    std::this_thread::sleep_for(1s);
    EXPECT_GT(plugin->get_position(odd), 0.5f) << "the sound does not play";
    const double destroy_ms = qvx_test::time_ms([&] { EXPECT_TRUE(plugin->destroy_block(odd)); });
    const float before = plugin->get_position(healthy);
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(plugin->get_position(healthy), before + 0.3f) << "the other block stalled";
    EXPECT_TRUE(plugin->destroy_block(healthy));
    const double stop_ms = qvx_test::time_ms([&] { plugin.reset(); });
    std::printf("%s: device %d Hz, %d samples; destroy %.1f ms, plug-in stop %.1f ms\n",
                GetParam().name, rate, samples, destroy_ms, stop_ms);
    EXPECT_LT(destroy_ms, 1000.0);
    EXPECT_LT(stop_ms, 2000.0);
    for (const std::string& file : files) std::remove(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Audio, OddRates,
                         testing::Values(OddRate{"aac_8000", 8000}, OddRate{"pcm_1hz", 48000}),
                         [](const testing::TestParamInfo<OddRate>& info) {
                             return std::string(info.param.name);
                         });

// SDL's audio never takes the host's SIGINT and SIGTERM.
TEST(AudioDevice, HostSignalDispositionsStayTheHosts) {
    use_dummy_driver();
    // Read by swapping and restoring: std::signal is all Windows has.
    auto handler = [](int signal) {
        const auto previous = std::signal(signal, SIG_DFL);
        std::signal(signal, previous);
        return reinterpret_cast<void*>(previous);
    };
    const void* int_before = handler(SIGINT);
    const void* term_before = handler(SIGTERM);
    LogCapture log;
    PluginHandle plugin;
    const int id = plugin->create_block(qvx_test::audio_only_clip().c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    ASSERT_TRUE(plugin->play_block(id, false, true));
    ASSERT_TRUE(wait_until([&] { return plugin->get_position(id) > 0.3f; }, 10s)) << log.dump();
    EXPECT_EQ(handler(SIGINT), int_before);
    EXPECT_EQ(handler(SIGTERM), term_before);
    EXPECT_TRUE(plugin->destroy_block(id));
    plugin.reset();
    EXPECT_EQ(handler(SIGINT), int_before);
    EXPECT_EQ(handler(SIGTERM), term_before);
}

}  // namespace
