// Seeking as a host sees it: after seek_block or a direct seek the pictures
// go on from the frame at the requested second (the frames between the key
// frame and it are decoded unseen), while playing, while paused, at and
// around the end of the input, in inputs whose timestamps do not start at
// 0; rewinds restart from frame 0; a stopped block plays on from where it
// stopped; and a storm of requests from the host thread leaves a block that
// still plays.
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
};

// gop: frames between key frames; 45 puts most whole seconds between two.
Clip seek_clip(int seconds, bool with_audio = false, int gop = fps) {
    IndexedClip recipe;
    recipe.fps = fps;
    recipe.frames = seconds * fps;
    recipe.gop = gop;
    recipe.with_audio = with_audio;
    return {indexed_clip(recipe), recipe.frames};
}

// The frames delivered since `from`: a few frames of the old position may
// still come first (shown before the request was served), continuing the
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

// Makes a request (a seek of any kind) while the block plays and checks
// where the pictures go on.
template <typename Request>
void expect_resumed(RenderHost& host, const std::string& what, int expected_first,
                    Request request) {
    SCOPED_TRACE(what + ", expecting frame " + std::to_string(expected_first));
    const size_t from = host.frames.size();
    const int old_last = host.last_index();
    ASSERT_TRUE(request());
    ASSERT_TRUE(host.pump_until_index(expected_first + 10, 5s))
        << "delivered since the request: " << join(host.indices(from));
    EXPECT_TRUE(resumed_at(host, from, old_last, expected_first));
}

void expect_seek(PluginHandle& plugin, RenderHost& host, int s, int expected_first) {
    expect_resumed(host, "seek_block(" + std::to_string(s) + ")", expected_first,
                   [&] { return plugin->seek_block(host.id, s); });
}

// ---- While playing ------------------------------------------------------------------

class SeekWhilePlaying : public ::testing::TestWithParam<bool> {};

TEST_P(SeekWhilePlaying, GoesOnFromTheFrameAtTheSecond) {
    const bool sound = GetParam();
    const Clip clip = seek_clip(5, sound, 45);

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
        ASSERT_TRUE(host.pump_until_index(3 * fps + 10, 5s)) << join(host.indices(from));
        EXPECT_TRUE(resumed_at(host, from, old_last, 3 * fps));
    }
    // Backward, between key frames; out of range: the start.
    expect_seek(plugin, host, 1, fps);
    expect_seek(plugin, host, 2, 2 * fps);
    expect_seek(plugin, host, 100, 0);
    expect_seek(plugin, host, 3, 3 * fps);
    expect_seek(plugin, host, -3, 0);
    expect_seek(plugin, host, 3, 3 * fps);
    expect_seek(plugin, host, 5, 0);  // the duration itself
    // The direct seeks move what the host sees the same way.
    expect_resumed(host, "seek_video_frame(2)", 2 * fps,
                   [&] { return plugin->seek_video_frame(host.id, 2); });
    expect_resumed(host, "seek_video_timestamp(1 s)", fps, [&] {
        return plugin->seek_video_timestamp(
            host.id, static_cast<int>(plugin->video_ms_to_timestamp(host.id, 1000)));
    });
    if (sound) {
        // The clip's sound is 48 kHz AAC in MP4: its time base is 1/48000.
        expect_resumed(host, "seek_audio_timestamp(3 s)", 3 * fps,
                       [&] { return plugin->seek_audio_timestamp(host.id, 3 * 48000); });
    } else {
        EXPECT_FALSE(plugin->seek_audio_timestamp(host.id, 48000)) << "no sound to seek";
    }
    // Rewind.
    expect_resumed(host, "rewind_block", 0, [&] {
        plugin->rewind_block(host.id);
        return true;
    });
    EXPECT_EQ(log.count_containing("could not seek"), 0u) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(Streams, SeekWhilePlaying, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "VideoAndSound" : "VideoOnly");
                         });

// Broadcast captures start late (here at 3883 s): positions and seeks count
// from the first frame.
TEST(Seek, CountsFromTheFirstFrameOfAnInputThatStartsLate) {
    const Clip source = seek_clip(4, false, 45);
    const std::string path = generate_media(
        "late_start_3883.ts", "-i '" + source.path + "' -c copy -output_ts_offset 3883");
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(path, false)) << log.dump();
    EXPECT_EQ(plugin->get_duration(host.id), 4);
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(15, 5s)) << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_LT(plugin->get_position(host.id), 1.5f);

    expect_seek(plugin, host, 2, 2 * fps);
    const float position = plugin->get_position(host.id);
    EXPECT_GT(position, 2.0f);
    EXPECT_LT(position, 3.5f);
    expect_resumed(host, "rewind_block", 0, [&] {
        plugin->rewind_block(host.id);
        return true;
    });
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
    const int first = 3 * fps;
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
    // The host's end rule: update_block answers true, and the position is
    // at least the duration.
    ASSERT_TRUE(host.pump_until([&] { return plugin->update_block(host.id); }, 3s));
    EXPECT_GE(plugin->get_position(host.id), static_cast<float>(plugin->get_duration(host.id)));
    host.pump_for(300ms);
    EXPECT_TRUE(plugin->update_block(host.id)) << "the end stays";

    size_t from = host.frames.size();
    ASSERT_TRUE(plugin->seek_block(host.id, 1));
    EXPECT_TRUE(host.pump_until([&] { return !plugin->update_block(host.id); }, 1s));
    ASSERT_TRUE(host.pump_until_index(clip.frames - 1, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 30));

    host.pump_for(300ms);
    from = host.frames.size();
    plugin->rewind_block(host.id);
    ASSERT_TRUE(host.pump_until_index(20, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 0));
}

// ---- Stop and play again ------------------------------------------------------------------

TEST(Seek, StopThenPlayGoesOnFromWhereItStopped) {
    const Clip clip = seek_clip(5, false, 45);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip.path, false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(40, 5s)) << join(host.indices());
    ASSERT_TRUE(plugin->stop_block(host.id));
    EXPECT_TRUE(plugin->stop_block(host.id)) << "a second stop changes nothing";
    host.pump_for(100ms);
    const int stopped_at = host.last_index();
    const size_t from = host.frames.size();

    host.pump_for(300ms);
    EXPECT_EQ(host.frames.size(), from) << "frames while stopped";
    ASSERT_TRUE(host.play());
    EXPECT_TRUE(host.play()) << "a second play_block on a playing block";
    ASSERT_TRUE(host.pump_frames(15, 5s)) << "no frame after play_block: " << log.dump();
    // The pictures converted but not yet shown at the stop are the only
    // slack: the position reached is a few frames past the last one shown.
    const std::vector<int> run = host.indices(from);
    EXPECT_GE(run.front(), stopped_at - 1) << join(run);
    EXPECT_LE(run.front(), stopped_at + 10) << join(run);
    EXPECT_TRUE(consecutive(run, run.front()));
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

    // No single call holds the host's thread for long (a hang shows
    // here): a direct seek waits only for the block's threads to let go of
    // the input and the decoder.
    double longest_ms = 0;
    auto timed = [&](auto f) { longest_ms = std::max(longest_ms, time_ms(f)); };
    for (int i = 0; i < 200; ++i) {
        const int s = i % 3;
        timed([&] { plugin->seek_block(host.id, s); });
        timed([&] { plugin->set_paused(host.id, true); });
        timed([&] { host.update(); });
        timed([&] { plugin->set_paused(host.id, false); });
        timed([&] {
            if (i % 2 == 0) {
                plugin->seek_video_timestamp(
                    host.id, static_cast<int>(plugin->video_ms_to_timestamp(host.id, s * 1000)));
            } else {
                plugin->seek_video_frame(host.id, s);
            }
        });
        timed([&] { host.update(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 4 == 0 ? 10 : 2));
    }
    EXPECT_LT(longest_ms, 1000.0);

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
