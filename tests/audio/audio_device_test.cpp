// The audio device of a block: the rate and buffer it opens with, what
// happens without one, and its end with the block. (What it plays, and the
// position it drives: audio_capture_test.)
#include <csignal>

#include "../pipeline/render_host.h"

namespace {

using namespace qvx_test;

const char* const open_success = "[FFmpeg] SDL2 - open audio device success";

// At the end of an input with sound, its decoders run dry, the block and
// then the plug-in go at once (goal: 100 ms; a loaded machine gets more).
TEST(AudioDevice, DestroyAtTheEndOfInputReturnsPromptly) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(av_clip(), false) && host.play(true));
    host.pump_for(4s);  // well past the 3 s clip
    ASSERT_EQ(log.count(open_success), 1u) << "no audio device opened\n" << log.dump();
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->destroy_block(host.id)); }), 1000.0);
    EXPECT_LT(time_ms([&] { plugin.reset(); }), 2000.0);
}

// Without a usable output device every attempt is logged, the open gives up
// with an error, and the video plays without sound.
TEST(AudioDevice, NoOutputDeviceLogsTheAttemptsAndPlaysTheVideo) {
    setenv("SDL_AUDIODRIVER", "qvx_no_such_audio_driver", 1);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(av_clip(), false) && host.play(true));
    host.pump_for(2s);
    EXPECT_GE(host.frames.size(), 10u) << "the video does not play";
    EXPECT_GT(plugin->get_position(host.id), 0.5f);
    EXPECT_TRUE(wait_until(
        [&] {
            return log.has(qvx::LogLevel::error,
                           "[FFmpeg] SDL2 - No more combinations to try, audio open failed.");
        },
        5s))
        << log.dump();
    EXPECT_EQ(log.count(open_success), 0u);
}

class OddRates : public testing::TestWithParam<std::pair<const char*, int>> {};

// A rate so low that a 4096-sample buffer would last half a second, and a
// rate no device should take (a header saying 1 Hz): devices open at a sane
// rate with a buffer of 32 to 64 ms, the sound plays, and another block
// plays on while this one closes.
TEST_P(OddRates, OpenASaneDeviceWithAShortBuffer) {
    const std::string tone = "-f lavfi -i sine=frequency=1000:sample_rate=8000:duration=3 ";
    std::string media = generate_media("tone_aac_8000.m4a", tone + "-c:a aac");
    if (std::string(GetParam().first) == "pcm_1hz") {  // and 4 bytes a second
        std::string wav =
            read_file(generate_media("tone_pcm_8000_stereo.wav", tone + "-ac 2 -c:a pcm_s16le"));
        media =
            write_media("tone_pcm_1hz.wav", wav.replace(24, 8, std::string("\1\0\0\0\4\0\0\0", 8)));
    }
    // The disk driver, writing each device to its own file; each case its
    // own files too: on Windows SDL holds a disk file exclusively, and the
    // last case's device may still be closing.
    const std::string base = testing::TempDir() + "qvx_odd_rate_" + GetParam().first;
    const std::string files[2] = {base + "_a.raw", base + "_b.raw"};
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", files[0].c_str(), 1);
    unsetenv("SDL_DISKAUDIODELAY");
    LogCapture log;
    PluginHandle plugin;
    const int odd = plugin->create_block(media.c_str(), false);
    const int healthy = plugin->create_block(audio_only_clip().c_str(), false);
    ASSERT_TRUE(plugin->play_block(odd, false, true)) << log.dump();
    int format = 0, channels = 0, samples = 0, rate = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const LogLine& line : log.lines()) {
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
    EXPECT_EQ(rate, GetParam().second);
    EXPECT_LE(samples * 1000, rate * 64);
    EXPECT_GE(samples * 1000, rate * 32);
    std::this_thread::sleep_for(1s);
    EXPECT_GT(plugin->get_position(odd), 0.5f) << "the sound does not play";
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->destroy_block(odd)); }), 1000.0);
    const float before = plugin->get_position(healthy);
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(plugin->get_position(healthy), before + 0.3f) << "the other block stalled";
    EXPECT_LT(time_ms([&] { plugin.reset(); }), 2000.0);
    for (const std::string& file : files) std::remove(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Audio, OddRates,
                         testing::Values(std::pair{"aac_8000", 8000}, std::pair{"pcm_1hz", 48000}),
                         [](const auto& info) { return std::string(info.param.first); });

// SDL opens at most 15 devices in a process, and its dummy driver one: more
// blocks than that all play their sound, on one device for each rate where
// the driver can, and the blocks that stay play on while others go.
TEST(AudioDevice, MoreBlocksThanSdlHasDevicesAllPlaySound) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string tones[2] = {
        generate_media("tone_48000_10s.wav",
                       "-f lavfi -i sine=sample_rate=48000:duration=10 -c:a pcm_s16le"),
        generate_media("tone_44100_10s.m4a", "-f lavfi -i sine=sample_rate=44100:duration=10")};
    LogCapture log;
    PluginHandle plugin;
    std::vector<int> ids;
    for (int i = 0; i < 18; ++i) {
        ids.push_back(plugin->create_block(tones[i % 3 == 2].c_str(), false));
        ASSERT_TRUE(plugin->play_block(ids.back(), false, true));
    }
    ASSERT_TRUE(wait_until([&] { return log.count_containing("SDL2 - actual specs") == 18; }, 20s))
        << log.dump();
    EXPECT_GE(log.count(open_success), 1u) << log.dump();
    EXPECT_LE(log.count(open_success), 2u) << log.dump();
    EXPECT_EQ(log.count_containing("No more combinations to try"), 0u) << log.dump();
    for (size_t i = 0; i < ids.size(); i += 2)
        EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->destroy_block(ids[i])); }), 1000.0);
    std::vector<float> before;
    for (size_t i = 1; i < ids.size(); i += 2) before.push_back(plugin->get_position(ids[i]));
    std::this_thread::sleep_for(500ms);
    for (size_t i = 1; i < ids.size(); i += 2)
        EXPECT_GT(plugin->get_position(ids[i]), before[i / 2] + 0.15f) << "block " << ids[i];
    EXPECT_LT(time_ms([&] { plugin.reset(); }), 2000.0);
}

// SDL's audio never takes the host's SIGINT and SIGTERM.
TEST(AudioDevice, HostSignalDispositionsStayTheHosts) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    // Read by swapping and restoring: std::signal is all Windows has.
    auto handler = [](int signal) {
        const auto previous = std::signal(signal, SIG_DFL);
        std::signal(signal, previous);
        return reinterpret_cast<void*>(previous);
    };
    const void* int_before = handler(SIGINT);
    const void* term_before = handler(SIGTERM);
    PluginHandle plugin;
    const int id = plugin->create_block(audio_only_clip().c_str(), false);
    ASSERT_TRUE(plugin->play_block(id, false, true));
    ASSERT_TRUE(wait_until([&] { return plugin->get_position(id) > 0.3f; }, 10s));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(handler(SIGINT), int_before);
        EXPECT_EQ(handler(SIGTERM), term_before);
        plugin.reset();
    }
}

}  // namespace
