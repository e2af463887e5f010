// Timing of the frames a block delivers: which media time each one shows,
// how punctually it came, and how far video runs from the audio clock.
//
// Time bases. "Active" wall-clock time is seconds since playback started,
// with paused spans removed (the plug-in's clock stands still for its
// positions while paused, and its pacing skips the pause).
//
// Media time of a delivered frame. The plug-in exposes one position,
// get_position: the timestamp of the newest frame that came due, advanced by
// the clock since. Read right after an update that delivered frame N, while
// at most one more frame is decoded (decoded - displayed <= 1), it is frame
// N's timestamp plus the moment since the plug-in handed the frame over.
// Frames of a constant-rate stream lie on a 1/fps grid, so within a segment
// (from a start, seek or rewind to the next) frame k is at anchor + k/fps,
// the anchor being the median of the readings so far (which also drops the
// odd reading taken when the next frame had already come due). Readings
// taken with more frames waiting are only used when there is nothing
// better. Without a frame rate, the position itself is used.
//
// Pacing error. The plug-in holds each frame until its timestamp comes up
// on its clock, which runs with the wall clock. Within a segment the
// earliest frame (smallest delivery - media time) gives the schedule; every
// frame's error is how much later than that schedule it arrived. A frame
// more than one frame interval late counts as late.
//
// Video/audio offset (approximate). The plug-in has no audio clock for the
// host; the audio device plays in real time from the moment playback
// (re)starts. So the audio position is taken as: media time of the
// segment's first frame + active wall time since the start, seek or rewind
// was requested. Offset = frame media time - that; negative when video
// trails.
#pragma once

#include <cstdint>
#include <vector>

namespace qvx_play {

struct TimingStats {
    uint64_t frames = 0;       // frames measured
    uint64_t late_frames = 0;  // more than one frame interval behind schedule
    double pacing_mean_ms = 0.0;
    double pacing_worst_ms = 0.0;
    double av_offset_mean_ms = 0.0;
    double av_offset_worst_ms = 0.0;  // the offset of largest magnitude, with its sign
    uint64_t segments = 0;
};

class FrameTimeline {
public:
    explicit FrameTimeline(double fps = 0.0);

    // Playback starts, or restarts after a seek or rewind requested at
    // active time wall.
    void restart(double wall);
    // A frame was delivered at active time wall; position is get_position
    // read right after, pending = decoded - displayed frames read with it
    // (negative when a frame was decoded while they were read). Returns the
    // frame's media time.
    double on_frame(double wall, double position, int64_t pending);

    double fps() const { return fps_; }
    TimingStats stats() const;

private:
    struct Sample {
        double wall;
        double media;
    };
    struct Segment {
        double start_wall = 0.0;
        bool start_known = false;          // requested start (else the first frame)
        uint64_t frames = 0;               // frames in the segment (k of the next one)
        std::vector<double> good_offsets;  // reading - k/fps, from trusted readings
        double fallback_offset = 0.0;
        bool has_fallback = false;
        std::vector<Sample> samples;
    };

    double anchor(const Segment& segment) const;
    void new_segment(double start_wall, bool start_known);

    double fps_;
    std::vector<Segment> segments_;
};

// Median of a non-empty list.
double median(std::vector<double> values);

}  // namespace qvx_play
