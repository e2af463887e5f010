// The sound device's clock as the picture follows it.
#pragma once

namespace qvx_ffmpeg {

// How far back the line looks: a point's weight halves every
// sound_fit_half_life_ms. A device's rate is steady and its callbacks'
// timing is noise, so the longer the straighter the picture moves (the
// disk device of the benchmarks wanders by 2-3 ms over seconds, which a
// 2 s half-life passed on to the picture); a device whose rate does change
// is caught up with over about this long, and one that jumps starts a new
// line.
constexpr int sound_fit_half_life_ms = 8000;
// The line is used once its points span this long (a rate from a shorter
// span is mostly the callbacks' jitter).
constexpr int sound_fit_min_span_ms = 300;
// A point this far off the line (an underrun, a stall of the device, a
// jump in the sound's times, a device whose rate has moved) starts a new
// line: the picture follows the line, so this bounds what the line may
// cost the sync (at 40 ms the disk device's drift once took it 34 ms off).
constexpr int sound_fit_max_error_ms = 20;
// A rate further than this from the timer's is no device's: the line is not
// used.
constexpr double sound_fit_max_rate_error = 0.05;

// A straight line through the (timer reading, position heard) pairs that
// the audio callbacks give, older pairs weighing less. A callback runs when
// the device asks for more sound, late by its thread's wake-up, and the
// device may count time a little off the timer (the sound of a 30 fps clip
// can take 10.08 s of the timer): the line keeps the device's own rate and
// drops the callbacks' jitter, so a picture paced by it moves evenly.
// Readings and positions in seconds. Not thread-safe: the owner locks.
class SoundClockFit {
public:
    void reset();
    // The sound handed over at this reading starts at this position.
    void add(double reading_s, double heard_s);
    // The position heard at a reading, from the line; false while there is
    // no usable line.
    bool position_at(double reading_s, double* heard_s) const;

private:
    bool line(double* rate, double* offset) const;

    int points_ = 0;
    // Readings and positions count from the line's first point, so that
    // the sums keep their precision however long the block has played.
    double origin_reading_ = 0.0;
    double origin_heard_ = 0.0;
    double first_reading_ = 0.0;
    double last_reading_ = 0.0;
    // Weighted sums of 1, t, h, t*t and t*h.
    double weight_ = 0.0;
    double sum_t_ = 0.0;
    double sum_h_ = 0.0;
    double sum_tt_ = 0.0;
    double sum_th_ = 0.0;
};

}  // namespace qvx_ffmpeg
