// Media times, pacing and offsets the player derives from the plug-in's
// position readings.
#include <gtest/gtest.h>

#include "frame_timeline.h"

namespace qvx_play {
namespace {

constexpr double d = 1.0 / 30;

// A stream whose frames sit 12.3 ms past the grid (it starts at 1.4123 s):
// the phase is learned, readings just past a grid point or a clock step
// below it land on it, and a frame read when the next had come due as well
// gets the next one's time without counting as late.
TEST(FrameTimeline, FramesLieOnTheLearnedGridAndStrayReadingsStayLocal) {
    FrameTimeline timeline(30.0);
    timeline.restart();
    for (int k = 0; k < 60; ++k) {
        const double t = 1.4123 + k * d;
        const bool next_due = k == 8 || k == 31;
        const double reading = next_due ? t + d + 0.001 : k % 5 == 2 ? t - 0.004 : t + 0.0005;
        const double media = timeline.on_frame(0.02 + k * d, reading);
        if (k < 3) continue;  // the phase is still being learned
        EXPECT_NEAR(media, next_due ? t + d : t, 0.002) << k;
    }
    EXPECT_NEAR(timeline.phase(), 0.0123, 0.002);
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.frames, 60u);
    EXPECT_EQ(stats.segments, 1u);
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_NEAR(stats.pacing_worst_ms, d * 1000.0, 3.0);  // the two stray frames
}

// 100 ms late is late, 20 ms (within a frame interval) is not; a seek and a
// loop each begin a segment with a schedule of its own.
TEST(FrameTimeline, LateFramesCountAgainstTheScheduleOfTheirSegment) {
    FrameTimeline timeline(30.0);
    timeline.restart();
    for (int k = 0; k < 30; ++k)
        timeline.on_frame(k * d + (k == 10 ? 0.1 : k == 20 ? 0.02 : 0), k * d);
    EXPECT_EQ(timeline.stats().late_frames, 1u);
    EXPECT_NEAR(timeline.stats().pacing_worst_ms, 100.0, 0.5);
    timeline.restart();  // sought to a key frame at 5 s
    for (int k = 0; k < 30; ++k) timeline.on_frame(2.005 + k * d, 5.0 + k * d + 0.0003);
    double media = 0.0;
    for (int k = 0; k < 10; ++k) media = timeline.on_frame(3.5 + k * d, k * d);  // looped
    EXPECT_NEAR(media, 9 * d, 0.001);
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.segments, 3u);
    EXPECT_EQ(stats.frames, 70u);
    EXPECT_EQ(stats.late_frames, 1u);
    EXPECT_NEAR(stats.pacing_worst_ms, 100.0, 0.5);
}

// Each frame 1 ms later than the one before: after 60 frames video trails a
// real-time clock by 59 ms. Without a frame rate the reading is the time.
TEST(FrameTimeline, VideoFallingBehindRealTimeShowsAsOffset) {
    FrameTimeline timeline(30.0);
    timeline.restart();
    for (int k = 0; k < 60; ++k) timeline.on_frame(k * (d + 0.001), k * d);
    EXPECT_NEAR(timeline.stats().av_offset_worst_ms, -59.0, 0.5);
    EXPECT_NEAR(timeline.stats().av_offset_mean_ms, -29.5, 0.5);
    FrameTimeline no_rate(0.0);
    no_rate.restart();
    EXPECT_DOUBLE_EQ(no_rate.on_frame(0.1, 0.75), 0.75);
}

}  // namespace
}  // namespace qvx_play
