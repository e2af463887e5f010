// Frame delivery and pacing: a host that asks for a frame every 10 ms gets
// every frame of a clip exactly once, in order, spread over the clip's own
// duration, whatever the frame rate and output format. Inputs whose
// timestamps jump or start far from 0, or whose sound starts late, keep the
// picture's own pace.
#include <cmath>
#include <cstdio>
#include <thread>

#include "render_host.h"

namespace {

using namespace qvx_test;

class Pacing : public ::testing::TestWithParam<std::pair<Format, int>> {};

// Two seconds at each rate.
TEST_P(Pacing, EveryFrameOnceInOrderOverTheClipsDuration) {
    const auto [format, fps] = GetParam();
    IndexedClip recipe;
    recipe.fps = recipe.gop = fps;
    recipe.frames = 2 * fps;
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, format);
    ASSERT_TRUE(host.open(indexed_clip(recipe), false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(recipe.frames - 1, 12s)) << join(host.indices());
    host.pump_for(300ms);  // nothing more comes after the last frame
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_EQ(host.frames.size(), static_cast<size_t>(recipe.frames));
    EXPECT_EQ(plugin->get_num_displayed_frames(host.id), static_cast<uint32_t>(recipe.frames));
    // First to last frame takes (frames - 1) periods, the first half of it
    // with no burst (loose bounds for a loaded machine).
    const double expected_ms = 1000.0 * (recipe.frames - 1) / fps;
    const double span_ms = host.frames.back().at_ms - host.frames.front().at_ms;
    std::printf("[ figures  ] %d frames in %.0f ms (expected %.0f)\n", recipe.frames, span_ms,
                expected_ms);
    if (wall_clock_checked) {
        EXPECT_NEAR(span_ms, expected_ms, expected_ms * 0.25);
        EXPECT_LT(host.delivered_within(0, expected_ms / 2), recipe.frames * 3 / 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, Pacing,
                         ::testing::Values(std::pair{Format::rgb24, 30},
                                           std::pair{Format::yuv420p, 30},
                                           std::pair{Format::nv12, 30},
                                           std::pair{Format::rgb24, 60},
                                           std::pair{Format::yuv420p, 10}),
                         [](const auto& info) {
                             return std::string(format_name(info.param.first)) + "_" +
                                    std::to_string(info.param.second) + "fps";
                         });

// A 3 s 60 fps clip playing to a host that updates at its own pace.
class SlowHost : public ::testing::Test {
protected:
    void SetUp() override {
        recipe.fps = recipe.gop = 60;
        recipe.frames = 180;
        ASSERT_TRUE(host.open(indexed_clip(recipe), false));
        ASSERT_TRUE(host.play());
    }

    IndexedClip recipe;
    LogCapture log;
    PluginHandle plugin;
    RenderHost host{plugin, Format::yuv420p};
};

// A host slower than the video (an engine at 20 Hz on a 60 fps clip) skips
// frames but never falls behind: it is handed the last frame about when the
// clip ends, not at its own pace, which would leave the picture further
// behind the sound with every update.
TEST_F(SlowHost, IsHandedPicturesThatKeepUpWithTheClock) {
    const double start_ms = host.now_ms();
    while (host.last_index() < recipe.frames - 1 && host.now_ms() - start_ms < 6000) {
        host.update();
        std::this_thread::sleep_for(50ms);
    }
    const double took_ms = host.now_ms() - start_ms;
    ASSERT_EQ(host.last_index(), recipe.frames - 1) << join(host.indices());
    EXPECT_LT(host.frames.size(), static_cast<size_t>(recipe.frames));
    for (size_t i = 1; i < host.frames.size(); ++i)
        ASSERT_GT(host.frames[i].index, host.frames[i - 1].index) << join(host.indices());
    if (wall_clock_checked) {
        EXPECT_LT(took_ms, 4500);
    }
}

// A host faster than the video that stalls once (descheduled on a loaded
// machine, loading a level) is still handed every frame: it drains what
// piled up by itself. Only a host slow on average skips.
TEST_F(SlowHost, ThatStalledOnceIsStillHandedEveryFrame) {
    ASSERT_TRUE(host.pump_until_index(30, 5s)) << join(host.indices());
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(host.pump_until_index(recipe.frames - 1, 5s)) << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
}

// A host that stops for longer (it no longer shows the block, or loads for
// seconds) is handed the newest frames when it comes back, and every frame
// from there: the block keeps a few frames for it, not seconds of them.
TEST_F(SlowHost, ThatStoppedForLongIsHandedTheNewestFramesWhenItComesBack) {
    ASSERT_TRUE(host.pump_until_index(30, 5s)) << join(host.indices());
    const size_t before = host.frames.size();
    const int stopped_at = host.last_index();
    std::this_thread::sleep_for(1800ms);
    ASSERT_TRUE(host.pump_until_index(recipe.frames - 1, 5s)) << join(host.indices());
    ASSERT_GT(host.frames.size(), before);
    // A second of frames at least went by unseen (1.8 s of the clip's
    // 60 fps, less the wait for the host and the few frames kept).
    const int first_after = host.frames[before].index;
    std::printf("[ figures  ] stopped at frame %d, came back to frame %d\n", stopped_at,
                first_after);
    EXPECT_GT(first_after, stopped_at + 60) << join(host.indices(before));
    EXPECT_TRUE(consecutive(host.indices(before), first_after));
}

// ---- Inputs that do not start at 0 or jump ------------------------------------------

// The 4 s clip as MPEG-TS: whole with its timestamps moved by `first`
// seconds, or (`second` given) its two halves muxed apart and joined end to
// end, as joined recordings are.
std::string ts_clip(const std::string& first, const std::string& second = "") {
    const std::string input = "-i '" + clip_of(4) + "'", copy = " -c copy -output_ts_offset ";
    const std::string name = "jump2_" + first + "_" + second;
    if (second.empty()) return generate_media(name + ".ts", input + copy + first);
    return write_media(
        name + ".ts",
        read_file(generate_media(name + "_a.ts", input + " -frames:v 60" + copy + first)) +
            read_file(generate_media(name + "_b.ts", "-ss 2 " + input + copy + second)));
}

struct JumpCase {
    const char* name;
    const char* first;
    const char* second;
};

class TimestampJump : public ::testing::TestWithParam<JumpCase> {};

// With no sound to drive it, the picture goes on at the clip's rate through
// a jump, and the position counts on from the start as if there were none.
TEST_P(TimestampJump, PictureKeepsItsPaceAndThePositionCountsOn) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(ts_clip(GetParam().first, GetParam().second), false));
    ASSERT_TRUE(host.play());
    host.pump_until_index(119, 12s);
    const std::vector<Delivered>& f = host.frames;
    ASSERT_GE(f.size(), 108u) << join(host.indices());
    // At the end the position is lifted to the container's duration (which
    // spans the jump): the last frames are left out.
    const size_t last = f.size() - 3;
    double worst_gap_ms = 0, worst_step_s = 0;
    for (size_t i = 1; i < f.size(); ++i) {
        EXPECT_GT(f[i].index, f[i - 1].index) << join(host.indices());
        worst_gap_ms = std::max(worst_gap_ms, f[i].at_ms - f[i - 1].at_ms);
        if (i <= last)
            worst_step_s =
                std::max(worst_step_s, std::fabs(double(f[i].position) - f[i - 1].position));
    }
    EXPECT_LT(worst_step_s, wall_clock_checked ? 0.5 : 5.0) << "the position jumped";
    EXPECT_NEAR(f[last].position, 4.0f, 0.6f);
    if (wall_clock_checked) {
        EXPECT_LT(worst_gap_ms, 500.0);
        EXPECT_LT(f.back().at_ms - f.front().at_ms, 4000 * 1.3);
        EXPECT_LT(f.front().position, 0.3f);
    }
    EXPECT_TRUE(wait_until([&] { return plugin->update_block(host.id); }, 5s));
}

INSTANTIATE_TEST_SUITE_P(Inputs, TimestampJump,
                         ::testing::Values(JumpCase{"Forward100s", "0", "100"},
                                           JumpCase{"Back100s", "100", "0"},
                                           // The 33-bit wrap of MPEG-TS, 1 s in.
                                           JumpCase{"Wrap", "95441.5", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

class Start : public ::testing::TestWithParam<bool> {};

// The first second after play_block holds about a second of pictures, and
// the positions count from 0: for a capture whose timestamps start at
// 3,883 s, and for a clip whose sound starts 3 s after its picture.
TEST_P(Start, PictureStartsAtItsOwnPaceFromZero) {
    const bool sound = GetParam();
    const std::string clip =
        sound ? generate_media("sound_after_3s.mkv",
                               "-i '" + clip_of(4) +
                                   "' -itsoffset 3 -f lavfi -i sine=sample_rate=48000:duration=1 "
                                   "-map 0:v -map 1:a -c:v copy -c:a aac")
              : ts_clip("3883");
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip, false));
    const double play_ms = host.now_ms();
    ASSERT_TRUE(host.play(sound));
    host.pump_for(1500ms);
    ASSERT_FALSE(host.frames.empty());
    if (wall_clock_checked) {
        EXPECT_LT(host.frames.front().at_ms - play_ms, 1000.0);
        EXPECT_LE(host.delivered_within(0, 1000.0), 45) << join(host.indices());
        EXPECT_LT(host.frames.front().position, 0.3f);
    }
    EXPECT_LT(host.frames.back().position, 2.5f);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Start, ::testing::Values(false, true), [](const auto& info) {
    return std::string(info.param ? "SoundStarting3sLate" : "TsStartingAt3883s");
});

}  // namespace
