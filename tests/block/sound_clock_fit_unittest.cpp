// The sound's fitted clock against a simulated device: callbacks late by
// their thread's wake-up, readings in whole milliseconds, a device counting
// time off the timer.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "block/sound_clock_fit.h"

namespace {

using qvx_ffmpeg::SoundClockFit;

// A device asking for buffers of period_s of sound, counting rate seconds
// of sound per second of the timer; each callback runs up to late_s late.
struct Device {
    double period_s = 4096.0 / 48000.0;
    double rate = 1.008;
    double late_s = 0.004;
    double start_reading_s = 0.0;
    std::mt19937 random{7};

    // The timer's reading (whole milliseconds) when buffer k is asked for.
    double reading_of(int k) {
        std::uniform_real_distribution<double> late(0.0, late_s);
        return std::floor((start_reading_s + k * period_s / rate + late(random)) * 1000.0) / 1000.0;
    }
    // What the device has truly played at a reading.
    double heard_at(double reading_s) const { return (reading_s - start_reading_s) * rate; }
};

// How far the line strays from the sound truly heard, checked every
// millisecond between callbacks past the first settle_s: its steady offset
// (the callbacks' mean lateness, which no fit can see) and the spread about
// it, which is what a picture paced by the line shows as judder.
struct Error {
    double mean_s = 0.0;
    double spread_s = 0.0;
};

Error error_after(SoundClockFit& fit, Device& device, int n, double settle_s) {
    std::vector<double> errors;
    for (int k = 0; k < n; ++k) {
        const double reading = device.reading_of(k);
        fit.add(reading, k * device.period_s);
        if (reading - device.start_reading_s < settle_s) continue;
        for (double at = reading; at < reading + device.period_s; at += 0.001) {
            double heard = 0.0;
            if (!fit.position_at(at, &heard)) return {1e9, 1e9};
            errors.push_back(device.heard_at(at) - heard);
        }
    }
    Error e;
    for (double x : errors) e.mean_s += x / static_cast<double>(errors.size());
    for (double x : errors) e.spread_s = std::max(e.spread_s, std::fabs(x - e.mean_s));
    return e;
}

// The line keeps the device's rate and drops the callbacks' jitter: past
// its first second it strays less than a millisecond about its offset (the
// callbacks' own times spread over 5 ms), however long the block has played
// before, for a device fast or slow.
TEST(SoundClockFit, FollowsADeviceOffTheTimerWithoutItsJitter) {
    for (double start : {0.0, 3600.0, 100000.0}) {
        for (double rate : {1.008, 0.99}) {
            SCOPED_TRACE(testing::Message() << "start " << start << " rate " << rate);
            Device device;
            device.start_reading_s = start;
            device.rate = rate;
            SoundClockFit fit;
            const Error e = error_after(fit, device, 240, 1.0);
            EXPECT_LT(e.spread_s, 0.001);
            EXPECT_LT(std::fabs(e.mean_s), device.late_s + 0.001);
        }
    }
}

// No line from too little: two points, or points spanning less than the
// least span, give no rate worth following; neither does a rate no device
// has.
TEST(SoundClockFit, GivesNoLineFromTooLittleOrFromNoDevice) {
    SoundClockFit fit;
    double heard = 0.0;
    EXPECT_FALSE(fit.position_at(0.0, &heard));
    fit.add(10.0, 0.0);
    fit.add(10.1, 0.1);
    EXPECT_FALSE(fit.position_at(10.1, &heard));
    fit.add(10.2, 0.2);
    EXPECT_FALSE(fit.position_at(10.2, &heard));  // 200 ms
    fit.add(10.35, 0.35);
    ASSERT_TRUE(fit.position_at(10.4, &heard));
    EXPECT_NEAR(heard, 0.4, 1e-9);

    SoundClockFit racing;
    for (int k = 0; k < 10; ++k) racing.add(k * 0.1, k * 0.12);  // 1.2 x the timer
    EXPECT_FALSE(racing.position_at(1.0, &heard));
    racing.add(1.0, std::nan(""));
    EXPECT_FALSE(racing.position_at(1.0, &heard));
}

// Sound that jumps off the line (an underrun the device played through, a
// stall) or a reading that goes back starts a new line, which is followed
// once it has its span: the old one would pull the picture off the sound.
TEST(SoundClockFit, StartsAfreshWhenTheSoundLeavesTheLine) {
    SoundClockFit fit;
    for (int k = 0; k <= 20; ++k) fit.add(k * 0.05, k * 0.05);
    double heard = 0.0;
    ASSERT_TRUE(fit.position_at(1.0, &heard));
    EXPECT_NEAR(heard, 1.0, 1e-9);

    fit.add(1.05, 0.8);  // 250 ms behind the line
    EXPECT_FALSE(fit.position_at(1.05, &heard));
    for (int k = 1; k <= 8; ++k) fit.add(1.05 + k * 0.05, 0.8 + k * 0.05);
    ASSERT_TRUE(fit.position_at(1.5, &heard));
    EXPECT_NEAR(heard, 1.25, 1e-9);

    fit.add(1.2, 1.0);  // the reading went back
    EXPECT_FALSE(fit.position_at(1.2, &heard));

    // Off by less than the bound: kept, and the line bends only a little.
    SoundClockFit steady;
    for (int k = 0; k <= 20; ++k) steady.add(k * 0.05, k * 0.05);
    steady.add(1.05, 1.062);
    ASSERT_TRUE(steady.position_at(1.05, &heard));
    EXPECT_NEAR(heard, 1.05, 0.005);
}

}  // namespace
