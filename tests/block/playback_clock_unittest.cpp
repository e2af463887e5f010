// The playback timer's readings over a block's whole life: its 32-bit
// millisecond count wraps after 49.7 days.
#include <gtest/gtest.h>

#include <cstdint>

#include "block/audio_video_block.h"

namespace {

using qvx_ffmpeg::TimerReadings;

constexpr uint32_t ms_per_day = 24u * 3600u * 1000u;

TEST(TimerReadings, KeepMillisecondStepsAfterDaysOfPlaying) {
    TimerReadings readings;
    EXPECT_DOUBLE_EQ(readings.seconds(40), 0.040);
    // Forty days on, a 60 fps frame's pacing still sees each millisecond.
    uint32_t count = 40u * ms_per_day;
    double last = readings.seconds(count);
    for (int i = 0; i < 20; ++i) {
        count += 1;
        const double now = readings.seconds(count);
        EXPECT_NEAR(now - last, 0.001, 1e-9) << "at step " << i;
        last = now;
    }
}

TEST(TimerReadings, GoOnForwardAcrossTheCountsWrap) {
    TimerReadings readings;
    // Through the wrap in steps of 17 ms, then one long gap across it (a
    // block paused for days).
    uint32_t count = UINT32_MAX - 50;
    double last = readings.seconds(count);
    for (int i = 0; i < 10; ++i) {
        count += 17;
        const double now = readings.seconds(count);
        EXPECT_NEAR(now - last, 0.017, 1e-9) << "at step " << i;
        last = now;
    }
    EXPECT_LT(count, 200u) << "the count has wrapped";
    const double before_gap = last;
    count += 10u * ms_per_day;
    EXPECT_NEAR(readings.seconds(count) - before_gap, 10.0 * 24 * 3600, 1e-6);
}

}  // namespace
