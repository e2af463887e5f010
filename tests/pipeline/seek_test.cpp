// Seeking as a host sees it: after seek_block the pictures go on from the
// key frame at or before the requested second, while playing, while paused,
// at and around the end of the input; rewinds restart from frame 0; and a
// storm of requests from the host thread leaves a block that still plays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "render_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

constexpr int fps = 30;

struct Clip {
    std::string path;
    int frames = 0;
    std::vector<int> keys;  // key frame indices

    // The key frame at or before second s.
    int key_at_or_before(int s) const {
        int best = 0;
        for (int k : keys) {
            if (k <= s * fps) best = std::max(best, k);
        }
        return best;
    }
};

// gop: frames between key frames (the encoder may add key frames of its own
// at large picture changes; the clip's real key frames are read back).
Clip seek_clip(int seconds, bool with_audio = false, int gop = fps) {
    IndexedClip recipe;
    recipe.fps = fps;
    recipe.frames = seconds * fps;
    recipe.gop = gop;
    recipe.with_audio = with_audio;
    Clip clip;
    clip.path = indexed_clip(recipe);
    clip.frames = recipe.frames;
    clip.keys = key_frame_indices(clip.path, fps);
    return clip;
}

// The frames delivered since `from`: a few frames of the old position may
// still come first (converted before the seek was served), continuing the
// old run from old_last + 1; everything after them must be first, first +
// 1, ...
::testing::AssertionResult resumed_at(const RenderHost& host, size_t from, int old_last,
                                      int first) {
    const std::vector<int> run = host.indices(from);
    size_t i = 0;
    while (i < run.size() && run[i] == old_last + 1 + static_cast<int>(i) && run[i] != first) ++i;
    if (i > 5) {
        return ::testing::AssertionFailure()
               << i << " frames of the old position after the seek; delivered: " << join(run);
    }
    const std::vector<int> rest(run.begin() + static_cast<std::ptrdiff_t>(i), run.end());
    if (rest.empty()) return ::testing::AssertionFailure() << "no frame after the seek";
    return consecutive(rest, first) << " (after " << i << " frames of the old position)";
}

// Requests a seek to second s while the block plays and checks where the
// pictures go on.
void expect_seek(PluginHandle& plugin, RenderHost& host, int s, int expected_first) {
    SCOPED_TRACE("seek_block(" + std::to_string(s) + "), expecting frame " +
                 std::to_string(expected_first));
    const size_t from = host.frames.size();
    const int old_last = host.last_index();
    ASSERT_TRUE(plugin->seek_block(host.id, s));
    ASSERT_TRUE(host.pump_until_index(expected_first + 10, 5s))
        << "delivered since the seek: " << join(host.indices(from));
    EXPECT_TRUE(resumed_at(host, from, old_last, expected_first));
}

// ---- While playing ------------------------------------------------------------------

class SeekWhilePlaying : public ::testing::TestWithParam<bool> {};

TEST_P(SeekWhilePlaying, GoesOnFromTheKeyFrameAtOrBeforeTheSecond) {
    const bool sound = GetParam();
    const Clip clip = seek_clip(5, sound);
    std::printf("[ figures  ] key frames: %s\n", join(clip.keys).c_str());
    ASSERT_EQ(clip.key_at_or_before(1), 30) << "clip without a key frame at 1 s";

    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, false));
    EXPECT_EQ(plugin->get_duration(host.id), 5);
    ASSERT_TRUE(host.play(sound));
    ASSERT_TRUE(host.pump_until_index(10, 5s)) << join(host.indices());

    // Forward, with the position answering the target as soon as the seek
    // is served.
    {
        const size_t from = host.frames.size();
        const int old_last = host.last_index();
        ASSERT_TRUE(plugin->seek_block(host.id, 3));
        ASSERT_TRUE(host.pump_until(
            [&] { return std::fabs(plugin->get_position(host.id) - 3.0f) < 0.15f; }, 1000ms))
            << "position " << plugin->get_position(host.id);
        const int first = clip.key_at_or_before(3);
        ASSERT_TRUE(host.pump_until_index(first + 10, 5s)) << join(host.indices(from));
        EXPECT_TRUE(resumed_at(host, from, old_last, first));
    }
    // Backward to an exact key frame, then to a second between key frames.
    expect_seek(plugin, host, 1, 30);
    expect_seek(plugin, host, 2, clip.key_at_or_before(2));
    // Out of range: the start.
    expect_seek(plugin, host, 3, clip.key_at_or_before(3));
    expect_seek(plugin, host, 100, 0);
    expect_seek(plugin, host, 3, clip.key_at_or_before(3));
    expect_seek(plugin, host, -3, 0);
    expect_seek(plugin, host, 3, clip.key_at_or_before(3));
    expect_seek(plugin, host, 5, 0);  // the duration itself
    // Rewind.
    expect_seek(plugin, host, 3, clip.key_at_or_before(3));
    {
        const size_t from = host.frames.size();
        const int old_last = host.last_index();
        plugin->rewind_block(host.id);
        ASSERT_TRUE(host.pump_until_index(10, 5s)) << join(host.indices(from));
        EXPECT_TRUE(resumed_at(host, from, old_last, 0)) << "after rewind_block";
    }
    if (sound) {
        EXPECT_EQ(log.count_containing("could not seek"), 0u) << log.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, SeekWhilePlaying, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "VideoAndSound" : "VideoOnly");
                         });

// With key frames 1.5 s apart, a second between two of them starts at the
// earlier one: the picture never starts from a partial frame.
TEST(Seek, BetweenKeyFramesStartsAtTheKeyFrameBefore) {
    const Clip clip = seek_clip(5, false, 45);
    std::printf("[ figures  ] key frames: %s\n", join(clip.keys).c_str());
    int s = 2;
    while (s < 5 && (clip.key_at_or_before(s) == s * fps || clip.key_at_or_before(s) == 0)) ++s;
    ASSERT_LT(s, 5) << "every whole second is a key frame";

    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(5, 5s)) << join(host.indices());
    expect_seek(plugin, host, 4, clip.key_at_or_before(4));
    expect_seek(plugin, host, s, clip.key_at_or_before(s));
}

// ---- While paused -----------------------------------------------------------------------

TEST(Seek, WhilePausedRepositionsAndStaysPaused) {
    const Clip clip = seek_clip(5);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(clip.path, false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(10, 5s)) << join(host.indices());
    plugin->set_paused(host.id, true);
    host.pump_for(200ms);
    const size_t held = host.frames.size();
    const int old_last = host.last_index();

    ASSERT_TRUE(plugin->seek_block(host.id, 3));
    ASSERT_TRUE(host.pump_until(
        [&] { return std::fabs(plugin->get_position(host.id) - 3.0f) < 0.05f; }, 1000ms))
        << "position " << plugin->get_position(host.id);
    // Still paused: no pictures, and the position stays where the seek put it.
    host.pump_for(600ms);
    EXPECT_EQ(host.frames.size(), held) << "frames while paused: " << join(host.indices(held));
    EXPECT_NEAR(plugin->get_position(host.id), 3.0f, 0.05f);

    plugin->set_paused(host.id, false);
    const int first = clip.key_at_or_before(3);
    ASSERT_TRUE(host.pump_until_index(first + 10, 5s)) << join(host.indices(held));
    EXPECT_TRUE(resumed_at(host, held, old_last, first));
}

// ---- Around the end of the input ---------------------------------------------------------

// A looping block that has read its whole input waits for its queues to
// drain before it rewinds; a seek asked for meanwhile wins over the rewind.
TEST(Seek, DuringTheEndOfInputDrainOfALoopingBlockWinsOverTheRewind) {
    const Clip clip = seek_clip(3);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, true));
    ASSERT_TRUE(host.play());
    // The reader reached the end long ago (a few hundred small packets);
    // the decoder is still 0.5 s from the last frame.
    ASSERT_TRUE(host.pump_until_index(clip.frames - 15, 8s)) << join(host.indices());
    const size_t from = host.frames.size();
    const int old_last = host.last_index();
    ASSERT_TRUE(plugin->seek_block(host.id, 1));
    ASSERT_TRUE(host.pump_until_index(45, 5s)) << join(host.indices(from));
    EXPECT_TRUE(resumed_at(host, from, old_last, 30));
}

TEST(Seek, SeekAndRewindResumeANonLoopingBlockAtItsEnd) {
    const Clip clip = seek_clip(3);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(clip.frames - 1, 8s)) << join(host.indices());
    host.pump_for(300ms);

    size_t from = host.frames.size();
    ASSERT_TRUE(plugin->seek_block(host.id, 1));
    ASSERT_TRUE(host.pump_until_index(clip.frames - 1, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 30));

    host.pump_for(300ms);
    from = host.frames.size();
    plugin->rewind_block(host.id);
    ASSERT_TRUE(host.pump_until_index(20, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 0));
}

// ---- A storm of requests ------------------------------------------------------------------

TEST(Seek, StormOfRequestsFromTheHostThreadLeavesAPlayingBlock) {
    const Clip clip = seek_clip(3);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, true));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_frames(5, 5s));

    // Time spent in each kind of call, and the longest single call.
    double spent[4] = {0, 0, 0, 0};
    double longest[4] = {0, 0, 0, 0};
    auto timed = [&](int kind, auto f) {
        const double ms = time_ms(f);
        spent[kind] += ms;
        longest[kind] = std::max(longest[kind], ms);
    };
    const double storm_ms = time_ms([&] {
        for (int i = 0; i < 200; ++i) {
            const int s = i % 3;
            timed(0, [&] { plugin->seek_block(host.id, s); });
            timed(1, [&] { plugin->set_paused(host.id, true); });
            timed(3, [&] { host.update(); });
            timed(1, [&] { plugin->set_paused(host.id, false); });
            timed(2, [&] {
                if (i % 2 == 0) {
                    plugin->seek_video_timestamp(
                        host.id,
                        static_cast<int>(plugin->video_ms_to_timestamp(host.id, s * 1000)));
                } else {
                    plugin->seek_video_frame(host.id, s);
                }
            });
            timed(3, [&] { host.update(); });
            plugin->get_position(host.id);
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 4 == 0 ? 10 : 2));
        }
    });
    std::printf(
        "[ figures  ] 200 seeks, pause/resume pairs and direct seeks in %.0f ms; total (longest "
        "call) in ms: seek_block %.1f (%.1f), set_paused %.1f (%.1f), direct seeks %.1f (%.1f), "
        "updates %.1f (%.1f)\n",
        storm_ms, spent[0], longest[0], spent[1], longest[1], spent[2], longest[2], spent[3],
        longest[3]);
    // A hang shows here; the time itself depends on the machine's load.
    EXPECT_LT(storm_ms, 30000.0);
    // No single call holds the host's thread for long: a direct seek waits
    // only for the block's threads to let go of the input and the decoder.
    const char* kinds[4] = {"seek_block", "set_paused", "direct seek", "update"};
    for (int k = 0; k < 4; ++k) EXPECT_LT(longest[k], 1000.0) << "longest " << kinds[k];

    // Still playing...
    const size_t after_storm = host.frames.size();
    EXPECT_TRUE(host.pump_frames(20, 5s))
        << "frames after the storm: " << join(host.indices(after_storm));
    // ...and still seeking to the right place.
    expect_seek(plugin, host, 1, 30);
    const float position = plugin->get_position(host.id);
    EXPECT_GT(position, 0.9f);
    EXPECT_LT(position, 3.5f);
    const double stop_ms = time_ms([&] { EXPECT_TRUE(plugin->stop_block(host.id)); });
    EXPECT_LT(stop_ms, 1000.0);
}

}  // namespace
