// The one-line progress bar on the terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qvx_play {

class Player;

// "[=======>      ]   3.2 / 10 s   30.0 fps   decoded 96   displayed 96"
// bar_width characters between the brackets; duration 0 shows no bar.
std::string progress_text(double position, double duration, double fps, uint64_t decoded,
                          uint64_t displayed, bool paused, int bar_width = 30);

class ProgressLine {
public:
    explicit ProgressLine(FILE* out);
    // Redraws the line (on a terminal ten times a second, elsewhere one
    // line a second); force draws now.
    void update(Player& player, double now, bool force = false);
    // Clears the line so that a message can be printed.
    void clear();
    // Ends the line.
    void finish(Player& player, double now);

private:
    FILE* out_;
    bool tty_;
    bool shown_ = false;
    double last_ = -1e9;
    size_t length_ = 0;
};

}  // namespace qvx_play
