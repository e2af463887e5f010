// Timing of the frames a block delivers: which media time each one shows,
// how punctually it came, and how far video runs from the audio clock.
//
// Time bases. "Active" wall-clock time is seconds since playback started,
// with paused spans removed (the plug-in's clock stands still for its
// positions while paused, and its pacing skips the pause).
//
// Media time of a delivered frame. The plug-in exposes one position,
// get_position: the timestamp of the newest frame that came due, advanced by
// the clock since. Read right after an update that delivered a frame, it is
// that frame's timestamp plus the moment since the plug-in handed it over.
// The frames of a constant-rate stream lie on a 1/fps grid whose phase
// (the start time modulo a frame interval) the player learns from the
// readings; each reading is put on the grid point at or just below it. A
// reading may land a frame late (the next frame had come due too), or
// belong to the picture before a seek; such a frame gets its neighbour's
// time, which the statistics below shrug off. Without a frame rate the
// position itself is used.
//
// Pacing error. The plug-in holds each frame until its timestamp comes up
// on its clock, which runs with the wall clock. Within a segment (from a
// start, seek or rewind, or a jump such as a loop, to the next) delivery -
// media time is constant when every frame comes on time; its median is the
// segment's schedule, and a frame's error is how far it came from it. A
// frame more than one frame interval behind counts as late.
//
// Video/audio offset (approximate). The plug-in has no audio clock for the
// host (get_position is the video's when there is video). The audio device
// plays in real time, and audio restarts with video at a start, seek or
// rewind; so the audio position is taken as the media time of the
// segment's first frame plus the active wall time since it was shown.
// Offset = frame media time - that; negative when video trails. It shows
// video drifting from a real-time clock, not the latency of the sound
// device.
#pragma once

#include <cstdint>
#include <vector>

namespace qvx_play {

struct TimingStats {
    uint64_t frames = 0;           // frames measured
    uint64_t late_frames = 0;      // more than one frame interval behind schedule
    double pacing_mean_ms = 0.0;   // mean distance from the schedule
    double pacing_worst_ms = 0.0;  // largest distance from the schedule
    double av_offset_mean_ms = 0.0;
    double av_offset_worst_ms = 0.0;  // the offset of largest magnitude, with its sign
    uint64_t segments = 0;
};

class FrameTimeline {
public:
    explicit FrameTimeline(double fps = 0.0);

    // Playback starts, or restarts after a seek or rewind: the next frame
    // begins a new segment.
    void restart();
    // A frame was delivered at active time wall; position is get_position
    // read right after. Returns the frame's media time.
    double on_frame(double wall, double position);

    double fps() const { return fps_; }
    // Phase of the frame grid in seconds, [0, 1/fps).
    double phase() const;
    TimingStats stats() const;

private:
    struct Sample {
        double wall;
        double media;
    };
    struct Segment {
        std::vector<Sample> samples;
    };

    double fps_;
    // Sums of the readings' grid phases as unit vectors (a circular mean:
    // phases near 0 and near 1 are neighbours).
    double phase_cos_ = 0.0;
    double phase_sin_ = 0.0;
    uint32_t phase_readings_ = 0;
    std::vector<Segment> segments_;
};

// Median of a non-empty list.
double median(std::vector<double> values);

}  // namespace qvx_play
