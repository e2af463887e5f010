// Media times, pacing and offsets the player derives from the plug-in's
// position readings.
#include <gtest/gtest.h>

#include "frame_timeline.h"

namespace qvx_play {
namespace {

constexpr double fps = 30.0;
constexpr double d = 1.0 / fps;

// Frame k of a stream starting at media time start, delivered on time at
// wall + k/fps, read the way the plug-in answers: the next frame is decoded
// and waits for its time (pending 1), the position is frame k's timestamp
// plus a moment.
double deliver_on_time(FrameTimeline& timeline, double wall, double start, int k) {
    return timeline.on_frame(wall + k * d, start + k * d + 0.0004, 1);
}

TEST(FrameTimeline, FramesOnTimeLieOnTheGridWithoutPacingError) {
    FrameTimeline timeline(fps);
    timeline.restart(0.0);
    for (int k = 0; k < 90; ++k) {
        const double media = deliver_on_time(timeline, 0.02, 0.0, k);
        EXPECT_NEAR(media, k * d, 0.001) << k;
    }
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.frames, 90u);
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_NEAR(stats.pacing_mean_ms, 0.0, 0.01);
    EXPECT_NEAR(stats.pacing_worst_ms, 0.0, 0.01);
    // Video came 20 ms after the start; the audio clock is taken from the
    // start itself.
    EXPECT_NEAR(stats.av_offset_mean_ms, -20.0, 0.1);
    EXPECT_NEAR(stats.av_offset_worst_ms, -20.0, 0.1);
}

TEST(FrameTimeline, StrayReadingsDoNotMoveTheGrid) {
    FrameTimeline timeline(fps);
    timeline.restart(0.0);
    for (int k = 0; k < 60; ++k) {
        const double t = 1.0 + k * d;  // a stream starting at 1 s
        double media = 0.0;
        if (k % 5 == 1) {
            // Nothing decoded beyond the frame yet.
            media = timeline.on_frame(k * d, t + 0.0002, 0);
        } else if (k == 7 || k == 31) {
            // The host came late: the next frame had come due as well.
            media = timeline.on_frame(k * d, t + d + 0.001, 1);
        } else if (k == 13) {
            // A clock step that overwrote the new frame's time.
            media = timeline.on_frame(k * d, t - 0.8 * d, 1);
        } else if (k % 7 == 3) {
            // A decode between the counter readings.
            media = timeline.on_frame(k * d, t + d, -1);
        } else if (k % 11 == 4) {
            // Frames piling up: the position is two frames on.
            media = timeline.on_frame(k * d, t + 2 * d, 3);
        } else {
            media = timeline.on_frame(k * d, t + 0.0005, 1);
        }
        if (k >= 1) {
            EXPECT_NEAR(media, t, 0.002) << k;
        }
    }
    EXPECT_EQ(timeline.stats().late_frames, 0u);
}

TEST(FrameTimeline, LateFramesAreCountedAgainstTheSchedule) {
    FrameTimeline timeline(fps);
    timeline.restart(0.0);
    for (int k = 0; k < 30; ++k) {
        double wall = k * d;
        if (k == 10) wall += 0.1;   // 100 ms late
        if (k == 20) wall += 0.02;  // within a frame interval
        timeline.on_frame(wall, k * d, 1);
    }
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.late_frames, 1u);
    EXPECT_NEAR(stats.pacing_worst_ms, 100.0, 0.5);
    EXPECT_NEAR(stats.pacing_mean_ms, 120.0 / 30.0, 0.5);
}

TEST(FrameTimeline, SeekStartsANewSegmentEvenAfterAStaleFrame) {
    FrameTimeline timeline(fps);
    timeline.restart(0.0);
    for (int k = 0; k < 30; ++k) deliver_on_time(timeline, 0.0, 0.0, k);
    // Seek requested at 1.5 s to a key frame at 5 s; one frame converted
    // before the seek was served still comes first.
    timeline.restart(1.5);
    EXPECT_NEAR(timeline.on_frame(1.501, 1.55, 1), 1.55, 0.002);
    double media = 0.0;
    for (int k = 0; k < 30; ++k) media = deliver_on_time(timeline, 1.51, 5.0, k);
    EXPECT_NEAR(media, 5.0 + 29 * d, 0.002);
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.segments, 2u);
    EXPECT_EQ(stats.frames, 60u);  // the stale frame is not measured
    EXPECT_EQ(stats.late_frames, 0u);
    // The audio clock restarts at the request: 10 ms before the first frame.
    EXPECT_NEAR(stats.av_offset_worst_ms, -10.0, 0.5);
}

TEST(FrameTimelineLoop, JumpBackToTheStartIsANewSegment) {
    FrameTimeline timeline(fps);
    timeline.restart(0.0);
    for (int k = 0; k < 60; ++k) deliver_on_time(timeline, 0.0, 0.0, k);
    double media = 0.0;
    for (int k = 0; k < 10; ++k) media = deliver_on_time(timeline, 2.0, 0.0, k);
    EXPECT_NEAR(media, 9 * d, 0.002);
    const TimingStats stats = timeline.stats();
    EXPECT_EQ(stats.segments, 2u);
    EXPECT_EQ(stats.late_frames, 0u);
    EXPECT_NEAR(stats.pacing_worst_ms, 0.0, 0.5);
}

TEST(FrameTimelineUnknownRate, PositionIsTheMediaTime) {
    FrameTimeline timeline(0.0);
    timeline.restart(0.0);
    EXPECT_DOUBLE_EQ(timeline.on_frame(0.1, 0.75, 1), 0.75);
    EXPECT_DOUBLE_EQ(timeline.on_frame(0.2, 0.85, 0), 0.85);
    EXPECT_EQ(timeline.stats().frames, 2u);
}

}  // namespace
}  // namespace qvx_play
