// Media times, pacing and offsets the player derives from the plug-in's
// position readings.
#include <gtest/gtest.h>

#include "frame_timeline.h"

namespace qvx_play {
namespace {

constexpr double fps = 30.0;
constexpr double d = 1.0 / fps;

TEST(FrameTimeline, FramesOnTimeLieOnTheGridWithoutPacingError) {
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 90; ++k) {
        // Delivered on time, 20 ms after the start; read a moment later.
        const double media = timeline.on_frame(0.02 + k * d, k * d + 0.0004);
        EXPECT_NEAR(media, k * d, 0.001) << k;
    }
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.frames, 90u);
    EXPECT_EQ(stats.segments, 1u);
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_NEAR(stats.pacing_mean_ms, 0.0, 0.01);
    EXPECT_NEAR(stats.pacing_worst_ms, 0.0, 0.01);
    EXPECT_NEAR(stats.av_offset_mean_ms, 0.0, 0.01);
    EXPECT_NEAR(stats.av_offset_worst_ms, 0.0, 0.01);
}

TEST(FrameTimeline, GridPhaseIsLearnedAndStrayReadingsStayLocal) {
    // A stream whose frames sit 12.3 ms past the 1/30 s grid (it starts at
    // 1.4123 s).
    const double start = 1.4123;
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 60; ++k) {
        const double t = start + k * d;
        double reading = t + 0.0005;
        if (k == 8 || k == 31) reading = t + d + 0.001;  // the next frame had come due as well
        if (k % 5 == 2) reading = t - 0.004;             // a clock step that rounded down
        const double media = timeline.on_frame(k * d, reading);
        if (k < 3) continue;  // the phase is still being learned
        EXPECT_NEAR(media, (k == 8 || k == 31) ? t + d : t, 0.002) << k;
    }
    EXPECT_NEAR(timeline.phase(), 0.0123, 0.002);
    // Two frames a frame early are not late, and the schedule holds.
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_EQ(stats.segments, 1u);
    EXPECT_NEAR(stats.pacing_worst_ms, d * 1000.0, 3.0);
}

TEST(FrameTimeline, PhaseNearTheGridPointWrapsAround) {
    // Readings just below and just above the grid points: their phases lie
    // near 1 and near 0, which average to 0, not to one half.
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 40; ++k) {
        const double media = timeline.on_frame(k * d, k * d + (k % 2 ? 0.0006 : -0.0006));
        EXPECT_NEAR(media, k * d, 0.001) << k;
    }
}

TEST(FrameTimeline, LateFramesAreCountedAgainstTheSchedule) {
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 30; ++k) {
        double wall = k * d;
        if (k == 10) wall += 0.1;   // 100 ms late
        if (k == 20) wall += 0.02;  // within a frame interval
        timeline.on_frame(wall, k * d);
    }
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.late_frames, 1u);
    EXPECT_NEAR(stats.pacing_worst_ms, 100.0, 0.5);
    EXPECT_NEAR(stats.pacing_mean_ms, 120.0 / 30.0, 0.5);
}

TEST(FrameTimeline, SeekAndLoopStartNewSegments) {
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 30; ++k) timeline.on_frame(k * d, k * d);
    // Sought to a key frame at 5 s.
    timeline.restart();
    double media = 0.0;
    for (int k = 0; k < 30; ++k) media = timeline.on_frame(1.005 + k * d, 5.0 + k * d + 0.0003);
    EXPECT_NEAR(media, 5.0 + 29 * d, 0.001);
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.segments, 2u);
    EXPECT_EQ(stats.frames, 60u);
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_NEAR(stats.pacing_worst_ms, 0.0, 0.5);
    EXPECT_NEAR(stats.av_offset_worst_ms, 0.0, 0.5);

    // A loop back to the start is a new segment too.
    for (int k = 0; k < 10; ++k) media = timeline.on_frame(2.0 + k * d, k * d);
    EXPECT_NEAR(media, 9 * d, 0.001);
    EXPECT_EQ(timeline.stats().segments, 3u);
    EXPECT_EQ(timeline.stats().late_frames, 0u);
}

TEST(FrameTimeline, VideoFallingBehindRealTimeShowsAsOffset) {
    // Each frame 1 ms later than the one before: after 60 frames video
    // trails a real-time clock by 59 ms.
    FrameTimeline timeline(fps);
    timeline.restart();
    for (int k = 0; k < 60; ++k) timeline.on_frame(k * (d + 0.001), k * d);
    const TimingStats stats = timeline.stats();
    EXPECT_NEAR(stats.av_offset_worst_ms, -59.0, 0.5);
    EXPECT_NEAR(stats.av_offset_mean_ms, -29.5, 0.5);
    EXPECT_EQ(stats.late_frames, 0u);  // the schedule is the middle frame's: 30 ms either way
    EXPECT_NEAR(stats.pacing_worst_ms, 30.0, 1.5);
}

TEST(FrameTimeline, WithoutAFrameRateThePositionIsTheMediaTime) {
    FrameTimeline timeline(0.0);
    timeline.restart();
    EXPECT_DOUBLE_EQ(timeline.on_frame(0.1, 0.75), 0.75);
    EXPECT_DOUBLE_EQ(timeline.on_frame(0.2, 0.85), 0.85);
    EXPECT_EQ(timeline.stats().frames, 2u);
}

}  // namespace
}  // namespace qvx_play
