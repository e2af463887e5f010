#include "frame_timeline.h"

#include <algorithm>
#include <cmath>

namespace qvx_play {

namespace {

constexpr double two_pi = 6.283185307179586;
// A reading more than this part of a frame interval below a grid point
// still counts for that point (clock steps round the other way).
constexpr double snap_margin = 0.3;
// Readings used to learn the grid's phase; later ones add nothing.
constexpr uint32_t phase_sample_count = 60;
// Media time jumping back, or forward by more than this, starts a new
// segment: a loop back to the start, or a jump the host did not ask for.
constexpr double jump_forward_s = 1.0;
constexpr double jump_back_s = 0.25;

}  // namespace

double median(std::vector<double> values) {
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                     values.end());
    return values[mid];
}

FrameTimeline::FrameTimeline(double fps) : fps_(fps > 0.0 && std::isfinite(fps) ? fps : 0.0) {}

void FrameTimeline::restart() {
    // A restart with nothing delivered since the last one adds nothing.
    if (segments_.empty() || !segments_.back().samples.empty()) segments_.emplace_back();
}

double FrameTimeline::phase() const {
    if (fps_ <= 0.0 || phase_readings_ == 0) return 0.0;
    double cycles = std::atan2(phase_sin_, phase_cos_) / two_pi;
    if (cycles < 0.0) cycles += 1.0;
    return cycles / fps_;
}

double FrameTimeline::on_frame(double wall, double position) {
    double media = position;
    if (fps_ > 0.0) {
        if (phase_readings_ < phase_sample_count) {
            const double cycles = position * fps_;
            const double fraction = cycles - std::floor(cycles);
            phase_cos_ += std::cos(two_pi * fraction);
            phase_sin_ += std::sin(two_pi * fraction);
            ++phase_readings_;
        }
        const double grid = phase();
        media = grid + std::floor((position - grid) * fps_ + snap_margin) / fps_;
    }
    if (segments_.empty()) {
        segments_.emplace_back();
    } else if (!segments_.back().samples.empty()) {
        const double last = segments_.back().samples.back().media;
        if (media < last - jump_back_s || media > last + jump_forward_s) segments_.emplace_back();
    }
    segments_.back().samples.push_back({wall, media});
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
        std::vector<double> lags;
        for (const Sample& s : segment.samples) lags.push_back(s.wall - s.media);
        const double schedule = median(lags);
        const Sample& first = segment.samples.front();
        for (const Sample& s : segment.samples) {
            const double error = (s.wall - s.media) - schedule;
            pacing_sum += std::fabs(error);
            stats.pacing_worst_ms = std::max(stats.pacing_worst_ms, std::fabs(error) * 1000.0);
            if (error > late_after) ++stats.late_frames;
            const double offset = (s.media - first.media) - (s.wall - first.wall);
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
