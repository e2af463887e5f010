// What a playback session reports at its end, as text or JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame_timeline.h"

namespace qvx_play {

struct BlockSummary {
    std::string source;
    std::string format;
    int width = 0;
    int height = 0;
    double fps = 0.0;
    int64_t duration_s = 0;
    double position_s = 0.0;    // get_position at the end
    double last_frame_s = 0.0;  // media time of the last delivered frame
    std::string video_codec;
    std::string audio_codec;
    bool hw_decoding = false;
    std::string audio;  // "playing", "off", "none" or "unavailable: <reason>"
    uint32_t decoded = 0;
    uint32_t displayed = 0;
    TimingStats timing;
    bool ended = false;  // reached its end (not stopped by --duration or a key)
};

struct Summary {
    std::vector<BlockSummary> blocks;
    std::string hw;  // requested device, empty for software
    double wall_s = 0.0;
    double paused_s = 0.0;
    double cpu_user_s = 0.0;
    double cpu_system_s = 0.0;
};

// CPU time of the whole process so far (all threads, the plug-in's too).
void cpu_time(double& user_s, double& system_s);

nlohmann::json to_json(const Summary& summary);
std::string to_text(const Summary& summary);

// How the figures are measured, for the reader of the summary.
extern const char* const pacing_method;
extern const char* const av_offset_method;

}  // namespace qvx_play
