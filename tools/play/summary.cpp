#include "summary.h"

#include "host/plugin_library.h"

#include <cmath>
#include <cstdio>

namespace qvx_play {

const char* const pacing_method =
    "distance between delivery and schedule; each frame's media time is get_position read "
    "right after its update, put on the stream's 1/fps grid; within a segment (start, seek, "
    "rewind, loop) the schedule is the median of delivery time - media time; late = more than "
    "one frame interval behind it";
const char* const av_offset_method =
    "approximate: the plug-in exposes no audio clock, so audio is taken to play in real time "
    "from the first frame after each start, seek or rewind; offset = video media time - that, "
    "pauses excluded; negative = video behind";

namespace {

// Rounded to decimals places, so that the JSON shows 6.467, not 6.4670000000000005.
double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::string format_text(const char* fmt, double a, double b = 0.0, double c = 0.0) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, a, b, c);
    return buffer;
}

}  // namespace

void cpu_time(double& user_s, double& system_s) {
    qvx_host::process_cpu_seconds(user_s, system_s);
}

nlohmann::json to_json(const Summary& summary) {
    nlohmann::json blocks = nlohmann::json::array();
    for (const BlockSummary& b : summary.blocks) {
        blocks.push_back({
            {"source", b.source},
            {"format", b.format},
            {"width", b.width},
            {"height", b.height},
            {"fps", round_to(b.fps, 3)},
            {"duration_s", b.duration_s},
            {"position_s", round_to(b.position_s, 3)},
            {"last_frame_s", round_to(b.last_frame_s, 3)},
            {"video_codec", b.video_codec},
            {"audio_codec", b.audio_codec},
            {"hw_decoding", b.hw_decoding},
            {"audio", b.audio},
            {"ended", b.ended},
            {"frames",
             {{"decoded", b.decoded}, {"displayed", b.displayed}, {"late", b.timing.late_frames}}},
            {"pacing_error_ms",
             {{"mean", round_to(b.timing.pacing_mean_ms, 2)},
              {"worst", round_to(b.timing.pacing_worst_ms, 2)}}},
            {"av_offset_ms",
             {{"mean", round_to(b.timing.av_offset_mean_ms, 2)},
              {"worst", round_to(b.timing.av_offset_worst_ms, 2)}}},
        });
    }
    const double cpu = summary.cpu_user_s + summary.cpu_system_s;
    return {
        {"blocks", blocks},
        {"hw", summary.hw.empty() ? "none" : summary.hw},
        {"wall_s", round_to(summary.wall_s, 3)},
        {"paused_s", round_to(summary.paused_s, 3)},
        {"cpu",
         {{"user_s", round_to(summary.cpu_user_s, 3)},
          {"system_s", round_to(summary.cpu_system_s, 3)},
          {"percent", summary.wall_s > 0 ? round_to(100.0 * cpu / summary.wall_s, 1) : 0.0}}},
        {"methods", {{"pacing_error", pacing_method}, {"av_offset", av_offset_method}}},
    };
}

std::string to_text(const Summary& summary) {
    std::string out = "Summary\n";
    for (const BlockSummary& b : summary.blocks) {
        out += "  " + b.source + "\n";
        if (b.width > 0) {
            out += "    video: " + b.video_codec + format_text(" %.0fx%.0f", b.width, b.height) +
                   format_text(" %.3g fps", b.fps) + ", delivered as " + b.format +
                   (b.hw_decoding ? " (hardware decoding)" : "") + "\n";
        }
        out += "    audio: " + (b.audio_codec.empty() ? std::string() : b.audio_codec + ", ") +
               b.audio + "\n";
        out += format_text("    frames: %.0f decoded, %.0f displayed, ", b.decoded, b.displayed) +
               format_text("%.0f late\n", static_cast<double>(b.timing.late_frames));
        out += format_text("    pacing error: mean %.1f ms, worst %.1f ms\n",
                           b.timing.pacing_mean_ms, b.timing.pacing_worst_ms);
        out += format_text("    video-audio offset (approximate): mean %+.1f ms, worst %+.1f ms\n",
                           b.timing.av_offset_mean_ms, b.timing.av_offset_worst_ms);
        out += format_text("    position: %.2f s of %.0f s", b.position_s,
                           static_cast<double>(b.duration_s)) +
               format_text(" (last frame at %.3f s)", b.last_frame_s) +
               (b.ended ? ", played to the end\n" : "\n");
    }
    const double cpu = summary.cpu_user_s + summary.cpu_system_s;
    out += format_text("  time: %.2f s (paused %.2f s)\n", summary.wall_s, summary.paused_s);
    out += format_text("  CPU: %.2f s user + %.2f s system", summary.cpu_user_s,
                       summary.cpu_system_s) +
           format_text(" (%.0f %% of one core)\n",
                       summary.wall_s > 0 ? 100.0 * cpu / summary.wall_s : 0.0);
    return out;
}

}  // namespace qvx_play
