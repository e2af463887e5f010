// Seeking as a host sees it: the pictures go on from the frame at the
// requested second, while playing or paused, also where timestamps start
// late; rewinds restart from frame 0. (Storms of requests: stress_test.)
#include <cmath>

#include "render_host.h"

namespace {

using namespace qvx_test;

constexpr int fps = 30;

class Seek : public HostTest {
protected:
    // Makes a request (a seek of any kind) and checks where the pictures go on.
    template <typename Request>
    void expect_resumed(const std::string& what, int first, Request request) {
        SCOPED_TRACE(what + ", expecting frame " + std::to_string(first));
        const size_t from = host.frames.size();
        const int old_last = host.last_index();
        ASSERT_TRUE(request());
        ASSERT_TRUE(host.pump_until_index(first + 10, 5s)) << join(host.indices(from));
        EXPECT_TRUE(resumed_at(host, from, old_last, first));
    }
    void expect_seek(int s, int first) {
        expect_resumed("seek_block(" + std::to_string(s) + ")", first,
                       [&] { return plugin->seek_block(host.id, s); });
    }
    void expect_rewind() {
        expect_resumed("rewind_block", 0, [&] {
            plugin->rewind_block(host.id);
            return true;
        });
    }
    bool position_reaches(float seconds, float within) {
        return host.pump_until(
            [&] { return std::fabs(plugin->get_position(host.id) - seconds) < within; }, 1000ms);
    }
};

class SeekWhilePlaying : public Seek, public ::testing::WithParamInterface<bool> {};

// Key frames 4 s apart: the targets lie between them, and the frames from
// the key frame to the target are decoded unseen, with no burst after.
TEST_P(SeekWhilePlaying, GoesOnFromTheFrameAtTheSecond) {
    const bool sound = GetParam();
    ASSERT_TRUE(play_to(clip_of(5, 4 * fps, sound), 10, false, sound));
    EXPECT_EQ(plugin->get_duration(host.id), 5);
    // The position answers the target as soon as the seek is served.
    expect_resumed("seek_block(3) and the position", 3 * fps,
                   [&] { return plugin->seek_block(host.id, 3) && position_reaches(3.0f, 0.15f); });
    if (wall_clock_checked) {
        const size_t at = host.frames.size() - std::min<size_t>(11, host.frames.size());  // 90
        host.pump_for(1000ms);
        EXPECT_LE(host.delivered_within(at, 1000.0), 45) << join(host.indices(at));
    }
    // Backward, forward; out of range and the duration itself: the start.
    for (const auto& [s, first] : std::vector<std::pair<int, int>>{
             {1, fps}, {2, 2 * fps}, {100, 0}, {3, 3 * fps}, {-3, 0}, {3, 3 * fps}, {5, 0}})
        expect_seek(s, first);
    // The direct seeks move what the host sees the same way.
    expect_resumed("seek_video_frame(2)", 2 * fps,
                   [&] { return plugin->seek_video_frame(host.id, 2); });
    expect_resumed("seek_video_timestamp(1 s)", fps, [&] {
        return plugin->seek_video_timestamp(
            host.id, static_cast<int>(plugin->video_ms_to_timestamp(host.id, 1000)));
    });
    if (sound) {
        // The clip's sound is 48 kHz AAC in MP4: its time base is 1/48000.
        expect_resumed("seek_audio_timestamp(3 s)", 3 * fps,
                       [&] { return plugin->seek_audio_timestamp(host.id, 3 * 48000); });
    } else {
        EXPECT_FALSE(plugin->seek_audio_timestamp(host.id, 48000)) << "no sound to seek";
    }
    expect_rewind();
    EXPECT_EQ(log.count_containing("could not seek"), 0u) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(Streams, SeekWhilePlaying, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "VideoAndSound" : "VideoOnly");
                         });

// Broadcast captures start late (here at 3883 s): positions and seeks count
// from the first frame.
TEST_F(Seek, CountsFromTheFirstFrameOfAnInputThatStartsLate) {
    const std::string path = generate_media(
        "late_start_3883.ts", "-i '" + clip_of(4, 45) + "' -c copy -output_ts_offset 3883");
    ASSERT_TRUE(play_to(path, 15));
    EXPECT_EQ(plugin->get_duration(host.id), 4);
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_LT(plugin->get_position(host.id), 1.5f);
    expect_seek(2, 2 * fps);
    EXPECT_GT(plugin->get_position(host.id), 2.0f);
    EXPECT_LT(plugin->get_position(host.id), 3.5f);
    expect_rewind();
}

// A paused block shows nothing, holds its position and costs little; a seek
// while paused moves the position only; resumed, the pictures go on from
// where they stood, at the clip's pace.
TEST_F(Seek, WhilePausedRepositionsAndStaysPaused) {
    ASSERT_TRUE(play_to(clip_of(5), 15));
    plugin->set_paused(host.id, true);
    host.pump_for(200ms);  // a frame already converted may still come out
    plugin->set_paused(host.id, false);
    ASSERT_TRUE(host.pump_frames(10, 5s));
    EXPECT_TRUE(consecutive(host.indices(), 0));

    plugin->set_paused(host.id, true);
    host.pump_for(200ms);
    const size_t held = host.frames.size();
    const int old_last = host.last_index();
    const float position = plugin->get_position(host.id);
    EXPECT_LT(host.cpu_share_pumping(1000ms), 0.20);  // the goal is 1 %
    EXPECT_NEAR(plugin->get_position(host.id), position, 0.02f);
    ASSERT_TRUE(plugin->seek_block(host.id, 3));
    ASSERT_TRUE(position_reaches(3.0f, 0.05f)) << plugin->get_position(host.id);
    host.pump_for(600ms);
    EXPECT_EQ(host.frames.size(), held) << "frames while paused: " << join(host.indices(held));
    EXPECT_NEAR(plugin->get_position(host.id), 3.0f, 0.05f);

    plugin->set_paused(host.id, false);
    ASSERT_TRUE(host.pump_until_index(4 * fps, 5s)) << join(host.indices(held));
    EXPECT_TRUE(resumed_at(host, held, old_last, 3 * fps));
    // The paused time is no lateness to catch up on.
    if (wall_clock_checked) {
        EXPECT_LE(host.delivered_within(held, 1000.0), fps * 3 / 2);
    }
}

}  // namespace
