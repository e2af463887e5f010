#include "block/sound_clock_fit.h"

#include <cmath>

namespace qvx_ffmpeg {

void SoundClockFit::reset() {
    *this = SoundClockFit();
}

void SoundClockFit::add(double reading_s, double heard_s) {
    if (!std::isfinite(reading_s) || !std::isfinite(heard_s)) return;
    double predicted = 0.0;
    if (points_ > 0 && (reading_s < last_reading_ ||
                        (position_at(reading_s, &predicted) &&
                         std::fabs(heard_s - predicted) > sound_fit_max_error_ms / 1000.0))) {
        reset();
    }
    if (points_ == 0) {
        origin_reading_ = reading_s;
        origin_heard_ = heard_s;
        first_reading_ = reading_s;
    }
    const double decay = std::exp2(-(reading_s - last_reading_) * 1000.0 / sound_fit_half_life_ms);
    const double t = reading_s - origin_reading_;
    const double h = heard_s - origin_heard_;
    weight_ = weight_ * decay + 1.0;
    sum_t_ = sum_t_ * decay + t;
    sum_h_ = sum_h_ * decay + h;
    sum_tt_ = sum_tt_ * decay + t * t;
    sum_th_ = sum_th_ * decay + t * h;
    last_reading_ = reading_s;
    ++points_;
}

bool SoundClockFit::line(double* rate, double* offset) const {
    if (points_ < 3 || last_reading_ - first_reading_ < sound_fit_min_span_ms / 1000.0)
        return false;
    const double spread = weight_ * sum_tt_ - sum_t_ * sum_t_;
    if (!(spread > 0.0)) return false;
    *rate = (weight_ * sum_th_ - sum_t_ * sum_h_) / spread;
    *offset = (sum_h_ - *rate * sum_t_) / weight_;
    return std::isfinite(*rate) && std::isfinite(*offset) &&
           std::fabs(*rate - 1.0) <= sound_fit_max_rate_error;
}

bool SoundClockFit::position_at(double reading_s, double* heard_s) const {
    double rate = 0.0;
    double offset = 0.0;
    if (!line(&rate, &offset)) return false;
    *heard_s = origin_heard_ + offset + rate * (reading_s - origin_reading_);
    return true;
}

}  // namespace qvx_ffmpeg
