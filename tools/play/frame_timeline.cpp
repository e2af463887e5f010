#include "frame_timeline.h"

#include <algorithm>
#include <cmath>

namespace qvx_play {

namespace {

// Frames whose reading lands this far from the segment's grid start a new
// segment: a loop back to the start, or a jump the host did not ask for.
constexpr double discontinuity_s = 0.5;
// Trusted readings used for a segment's anchor; later ones add nothing.
constexpr size_t anchor_readings = 31;
// Frames that may still come from before a requested restart (already
// converted when the seek or rewind was asked for).
constexpr uint64_t stale_frames = 3;

}  // namespace

double median(std::vector<double> values) {
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                     values.end());
    return values[mid];
}

FrameTimeline::FrameTimeline(double fps) : fps_(fps > 0.0 && std::isfinite(fps) ? fps : 0.0) {}

void FrameTimeline::new_segment(double start_wall, bool start_known) {
    Segment segment;
    segment.start_wall = start_wall;
    segment.start_known = start_known;
    segments_.push_back(std::move(segment));
}

void FrameTimeline::restart(double wall) {
    if (!segments_.empty() && segments_.back().frames == 0) segments_.pop_back();
    new_segment(wall, true);
}

double FrameTimeline::anchor(const Segment& segment) const {
    if (!segment.good_offsets.empty()) return median(segment.good_offsets);
    return segment.has_fallback ? segment.fallback_offset : 0.0;
}

double FrameTimeline::on_frame(double wall, double position, int64_t pending) {
    if (segments_.empty()) new_segment(wall, false);
    Segment* segment = &segments_.back();
    double media = position;
    if (fps_ > 0.0) {
        const double interval = 1.0 / fps_;
        // With more than one frame decoded beyond this one, the position
        // may belong to a later frame already due.
        const bool trusted = pending == 0 || pending == 1;
        const double reading =
            pending > 1 ? position - static_cast<double>(pending - 1) * interval : position;
        if (segment->frames > 0) {
            const double predicted =
                anchor(*segment) + static_cast<double>(segment->frames) * interval;
            if (std::fabs(reading - predicted) > discontinuity_s) {
                if (segment->start_known && segment->frames < stale_frames) {
                    const double start = segment->start_wall;
                    segments_.pop_back();
                    new_segment(start, true);
                } else {
                    new_segment(wall, false);
                }
                segment = &segments_.back();
            }
        }
        const double offset = reading - static_cast<double>(segment->frames) * interval;
        if (trusted) {
            if (segment->good_offsets.size() < anchor_readings)
                segment->good_offsets.push_back(offset);
        } else if (!segment->has_fallback || offset < segment->fallback_offset) {
            segment->fallback_offset = offset;
            segment->has_fallback = true;
        }
        media = anchor(*segment) + static_cast<double>(segment->frames) * interval;
    }
    if (segment->frames == 0 && !segment->start_known) segment->start_wall = wall;
    segment->samples.push_back({wall, media});
    ++segment->frames;
    return media;
}

TimingStats FrameTimeline::stats() const {
    TimingStats stats;
    const double late_after = fps_ > 0.0 ? 1.0 / fps_ : 0.1;
    double pacing_sum = 0.0;
    double offset_sum = 0.0;
    for (const Segment& segment : segments_) {
        if (segment.samples.empty()) continue;
        ++stats.segments;
        // Media times are re-read from the final anchor: readings after a
        // frame may have refined it.
        std::vector<Sample> samples = segment.samples;
        if (fps_ > 0.0) {
            const double base = anchor(segment);
            for (size_t k = 0; k < samples.size(); ++k)
                samples[k].media = base + static_cast<double>(k) / fps_;
        }
        double schedule = samples.front().wall - samples.front().media;
        for (const Sample& s : samples) schedule = std::min(schedule, s.wall - s.media);
        for (const Sample& s : samples) {
            const double error = (s.wall - s.media) - schedule;
            pacing_sum += error;
            stats.pacing_worst_ms = std::max(stats.pacing_worst_ms, error * 1000.0);
            if (error > late_after) ++stats.late_frames;
            const double offset = (s.media - samples.front().media) - (s.wall - segment.start_wall);
            offset_sum += offset;
            if (std::fabs(offset * 1000.0) > std::fabs(stats.av_offset_worst_ms))
                stats.av_offset_worst_ms = offset * 1000.0;
            ++stats.frames;
        }
    }
    if (stats.frames > 0) {
        stats.pacing_mean_ms = pacing_sum * 1000.0 / static_cast<double>(stats.frames);
        stats.av_offset_mean_ms = offset_sum * 1000.0 / static_cast<double>(stats.frames);
    }
    return stats;
}

}  // namespace qvx_play
