// Command line of qvx-play.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/pixel_format.h"

namespace qvx_play {

using qvx_support::PixelFormat;

enum class ControlKind { pause, resume, seek, rewind, volume };

// One scripted control: what to do at a point of wall-clock time after
// playback started (pauses included).
struct TimedControl {
    double at_seconds = 0.0;
    ControlKind kind = ControlKind::pause;
    double value = 0.0;  // seek target in seconds, or volume 0..1
};

// A PNG of the frame shown at a media time.
struct SnapshotRequest {
    double at_seconds = 0.0;
    std::string path;
};

// A PNG of the whole window at a wall-clock time.
struct ScreenshotRequest {
    double at_seconds = 0.0;
    std::string path;
};

struct Options {
    std::vector<std::string> inputs;  // files or URLs; empty: the default sample
    PixelFormat format = PixelFormat::yuv420p;
    std::string hw;              // "", "cuda" or "vulkan"
    std::optional<int> threads;  // video decoder threads; 0 = auto
    std::string scaler;          // libswscale filter name as the plug-in takes it
    bool loop = false;
    bool headless = false;
    bool json = false;
    bool verbose = false;
    bool no_audio = false;
    double volume = 0.7;
    std::optional<double> duration;  // stop after this many wall-clock seconds
    std::vector<SnapshotRequest> snapshots;
    std::vector<TimedControl> controls;  // sorted by time
    std::vector<ScreenshotRequest> screenshots;
    std::string plugin_path;  // empty: next to the executable, then the built one
    std::string log_path;     // plug-in log lines go here when set
};

struct ParseResult {
    // Set when the program should end at once with this status (help,
    // version or a usage error); the text is already written.
    std::optional<int> exit_code;
    Options options;
};

// Parses argv. Help goes to out, errors to err.
ParseResult parse_options(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// "SECONDS:ACTION" with ACTION pause, resume, rewind, seek=N or volume=V.
// Returns nullopt and sets error for anything else.
std::optional<TimedControl> parse_control(const std::string& text, std::string& error);

// "SECONDS:PATH" (snapshots and screenshots).
bool parse_timed_path(const std::string& text, double& seconds, std::string& path,
                      std::string& error);

// "bicubic", "SWS_BICUBIC", "Bicubic" -> "SWS_BICUBIC"; empty when unknown.
std::string scaler_name(const std::string& text);

const char* control_name(ControlKind kind);

// Exit statuses of the program.
enum ExitCode : int {
    exit_ok = 0,
    exit_failure = 1,    // plug-in not loadable, a snapshot not written, ...
    exit_usage = 2,      // bad command line
    exit_bad_input = 3,  // an input that cannot be opened or played
    exit_no_audio = 4,   // played, but without sound: no audio device
};

}  // namespace qvx_play
