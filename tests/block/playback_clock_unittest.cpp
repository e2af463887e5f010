// The playback timer's readings over a block's whole life: its 32-bit
// millisecond count wraps after 49.7 days.
#include <gtest/gtest.h>

#include <cstdint>

#include "block/audio_video_block.h"

namespace {

using qvx_ffmpeg::TimerReadings;

constexpr uint32_t ms_per_day = 24u * 3600u * 1000u;

// Reads the count n times, step_ms apart from *count on; each reading must
// be step_ms on from the one before. Returns the last reading.
double expect_steps(TimerReadings& readings, uint32_t* count, uint32_t step_ms, int n) {
    double last = readings.seconds(*count);
    for (int i = 0; i < n; ++i) {
        *count += step_ms;
        const double now = readings.seconds(*count);
        EXPECT_NEAR(now - last, step_ms * 0.001, 1e-9) << "at count " << *count;
        last = now;
    }
    return last;
}

TEST(TimerReadings, KeepMillisecondStepsAfterDaysOfPlaying) {
    TimerReadings readings;
    EXPECT_DOUBLE_EQ(readings.seconds(40), 0.040);
    // Forty days on, a 60 fps frame's pacing still sees each millisecond.
    uint32_t count = 40u * ms_per_day;
    expect_steps(readings, &count, 1, 20);
}

TEST(TimerReadings, GoOnForwardAcrossTheCountsWrap) {
    TimerReadings readings;
    // Through the wrap in steps of 17 ms, then one long gap across it (a
    // block paused for days).
    uint32_t count = UINT32_MAX - 50;
    const double before_gap = expect_steps(readings, &count, 17, 10);
    EXPECT_LT(count, 200u) << "the count has wrapped";
    count += 10u * ms_per_day;
    EXPECT_NEAR(readings.seconds(count) - before_gap, 10.0 * 24 * 3600, 1e-6);
}

}  // namespace
