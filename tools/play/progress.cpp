#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "player.h"

namespace qvx_play {

std::string progress_text(double position, double duration, double fps, uint64_t decoded,
                          uint64_t displayed, bool paused, int bar_width) {
    std::string bar;
    if (duration > 0 && bar_width > 0) {
        const double fraction = std::clamp(position / duration, 0.0, 1.0);
        const int filled = static_cast<int>(std::lround(fraction * bar_width));
        bar = "[" + std::string(static_cast<size_t>(filled), '=');
        if (filled < bar_width)
            bar += '>' + std::string(static_cast<size_t>(bar_width - filled - 1), ' ');
        bar += "] ";
    }
    char text[160];
    if (duration > 0)
        std::snprintf(text, sizeof text, "%6.1f / %.0f s", position, duration);
    else
        std::snprintf(text, sizeof text, "%6.1f s", position);
    char rest[160];
    std::snprintf(rest, sizeof rest, "  %5.1f fps  decoded %llu  displayed %llu%s", fps,
                  static_cast<unsigned long long>(decoded),
                  static_cast<unsigned long long>(displayed), paused ? "  (paused)" : "");
    return bar + text + rest;
}

ProgressLine::ProgressLine(FILE* out) : out_(out), tty_(isatty(fileno(out)) != 0) {}

void ProgressLine::update(Player& player, double now, bool force) {
    const double period = tty_ ? 0.1 : 1.0;
    if (!force && now - last_ < period) return;
    last_ = now;
    auto& blocks = player.blocks();
    if (blocks.empty()) return;
    const Block& first = *blocks.front();
    uint64_t decoded = 0, displayed = 0;
    for (const auto& block : blocks) {
        if (!block->has_video) continue;
        decoded += player.decoded(*block);
        displayed += player.displayed(*block);
    }
    const double position = player.position(first);
    const std::string text =
        progress_text(position, static_cast<double>(first.duration), player.delivered_fps(),
                      decoded, displayed, player.paused());
    if (tty_) {
        std::fprintf(out_, "\r%s", text.c_str());
        if (text.size() < length_)
            std::fprintf(out_, "%*s", static_cast<int>(length_ - text.size()), "");
        length_ = text.size();
    } else {
        std::fprintf(out_, "%s\n", text.c_str());
    }
    std::fflush(out_);
    shown_ = true;
}

void ProgressLine::clear() {
    if (!tty_ || !shown_) return;
    std::fprintf(out_, "\r%*s\r", static_cast<int>(length_), "");
    std::fflush(out_);
}

void ProgressLine::finish(Player& player, double now) {
    update(player, now, true);
    if (tty_) std::fprintf(out_, "\n");
    std::fflush(out_);
}

}  // namespace qvx_play
