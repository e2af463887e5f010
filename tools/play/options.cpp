#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace qvx_play {

namespace {

const char* const scaler_names[] = {
    "SWS_FAST_BILINEAR", "SWS_BILINEAR", "SWS_BICUBIC", "SWS_X",       "SWS_POINT", "SWS_AREA",
    "SWS_BICUBLIN",      "SWS_GAUSS",    "SWS_SINC",    "SWS_LANCZOS", "SWS_SPLINE"};

// A whole decimal number of seconds, 0 or more.
bool parse_seconds(const std::string& text, double& seconds) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0) return false;
    seconds = value;
    return true;
}

}  // namespace

const char* control_name(ControlKind kind) {
    switch (kind) {
        case ControlKind::pause: return "pause";
        case ControlKind::resume: return "resume";
        case ControlKind::seek: return "seek";
        case ControlKind::rewind: return "rewind";
        case ControlKind::volume: return "volume";
    }
    return "?";
}

std::string scaler_name(const std::string& text) {
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("SWS_", 0) != 0) upper = "SWS_" + upper;
    for (const char* name : scaler_names) {
        if (upper == name) return upper;
    }
    return std::string();
}

bool parse_timed_path(const std::string& text, double& seconds, std::string& path,
                      std::string& error) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !parse_seconds(text.substr(0, colon), seconds)) {
        error = "expected SECONDS:FILE, got '" + text + "'";
        return false;
    }
    path = text.substr(colon + 1);
    if (path.empty()) {
        error = "no file name in '" + text + "'";
        return false;
    }
    return true;
}

std::optional<TimedControl> parse_control(const std::string& text, std::string& error) {
    const size_t colon = text.find(':');
    TimedControl control;
    if (colon == std::string::npos || !parse_seconds(text.substr(0, colon), control.at_seconds)) {
        error = "expected SECONDS:ACTION, got '" + text + "'";
        return std::nullopt;
    }
    const std::string action = text.substr(colon + 1);
    const size_t eq = action.find('=');
    const std::string name = action.substr(0, eq);
    const std::string arg = eq == std::string::npos ? std::string() : action.substr(eq + 1);
    const bool has_arg = eq != std::string::npos;
    if (name == "pause" && !has_arg) {
        control.kind = ControlKind::pause;
    } else if (name == "resume" && !has_arg) {
        control.kind = ControlKind::resume;
    } else if (name == "rewind" && !has_arg) {
        control.kind = ControlKind::rewind;
    } else if (name == "seek" && has_arg && parse_seconds(arg, control.value)) {
        control.kind = ControlKind::seek;
    } else if (name == "volume" && has_arg && parse_seconds(arg, control.value) &&
               control.value <= 1.0) {
        control.kind = ControlKind::volume;
    } else {
        error = "unknown action '" + action +
                "' (expected pause, resume, rewind, seek=SECONDS or volume=0..1)";
        return std::nullopt;
    }
    return control;
}

ParseResult parse_options(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    ParseResult result;
    Options& o = result.options;
    std::vector<std::string> snapshots, controls, screenshots;
    std::string scaler;
    double duration = 0.0;
    int threads = 0;

    CLI::App app{"Plays media through the qvx FFmpeg plug-in, the way a host engine drives it.",
                 "qvx-play"};
    app.add_option("inputs", o.inputs, "Files or URLs to play side by side (default: the sample)");
    std::string format = pixel_format_name(o.format);
    std::vector<std::string> format_names;
    for (const auto& named : qvx_support::pixel_formats_by_name())
        format_names.push_back(named.first);
    app.add_option("--format", format, "Pixel format the plug-in delivers")
        ->check(CLI::IsMember(format_names))
        ->capture_default_str();
    app.add_option("--hw", o.hw, "Decode video on a GPU device")
        ->check(CLI::IsMember({"cuda", "vulkan"}));
    auto* threads_opt = app.add_option("--threads", threads, "Video decoder threads (0: auto)")
                            ->check(CLI::Range(0, 64));
    app.add_option("--scaler", scaler, "libswscale filter, e.g. bicubic or SWS_LANCZOS")
        ->check([](const std::string& v) {
            return scaler_name(v).empty() ? "unknown scaler '" + v + "'" : std::string();
        });
    app.add_flag("--loop", o.loop, "Start again at the end");
    app.add_flag("--headless", o.headless, "No window: progress bar on the terminal");
    app.add_flag("--json", o.json, "Print the summary as JSON");
    app.add_flag("-v,--verbose", o.verbose, "Plug-in log lines to stderr");
    app.add_option("--log", o.log_path, "Write the plug-in log lines to this file");
    app.add_flag("--no-audio", o.no_audio, "Play without sound");
    app.add_option("--volume", o.volume, "Start volume, 0 to 1")
        ->check(CLI::Range(0.0, 1.0))
        ->capture_default_str();
    auto* duration_opt =
        app.add_option("--duration", duration, "Stop after SECONDS of wall-clock time")
            ->check(CLI::PositiveNumber);
    app.add_option("--snapshot", snapshots,
                   "SECONDS:FILE.png - save the first frame at or after that media time")
        ->allow_extra_args(false);
    app.add_option("--control", controls,
                   "SECONDS:ACTION at that wall-clock time: pause, resume, rewind, seek=N, "
                   "volume=V")
        ->allow_extra_args(false);
    app.add_option("--screenshot", screenshots,
                   "SECONDS:FILE.png - save the window at that wall-clock time")
        ->allow_extra_args(false);
    app.add_option("--plugin", o.plugin_path, "Plug-in library to load")->check(CLI::ExistingFile);
    app.set_version_flag("--version", "qvx-play 0.1.0");
    app.footer(
        "Without files it plays the sample the build made. Without a display, or with\n"
        "--headless, it plays on the terminal.\n"
        "Keys in the window: space pause/resume, left/right seek -/+5 s, up/down volume,\n"
        "r rewind, q or Escape quit.\n"
        "Exit status: 0 played, 1 failed (plug-in, snapshot), 2 bad command line,\n"
        "3 an input cannot be played, 4 played without sound (no audio device).");

    try {
        app.parse(argc, argv);
        std::string error;
        for (const std::string& text : controls) {
            auto control = parse_control(text, error);
            if (!control) throw CLI::ValidationError("--control", error);
            o.controls.push_back(*control);
        }
        for (const std::string& text : snapshots) {
            SnapshotRequest request;
            if (!parse_timed_path(text, request.at_seconds, request.path, error))
                throw CLI::ValidationError("--snapshot", error);
            o.snapshots.push_back(request);
        }
        for (const std::string& text : screenshots) {
            ScreenshotRequest request;
            if (!parse_timed_path(text, request.at_seconds, request.path, error))
                throw CLI::ValidationError("--screenshot", error);
            o.screenshots.push_back(request);
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        result.exit_code = code == 0 ? exit_ok : exit_usage;
        return result;
    }
    std::stable_sort(
        o.controls.begin(), o.controls.end(),
        [](const TimedControl& a, const TimedControl& b) { return a.at_seconds < b.at_seconds; });
    if (threads_opt->count() > 0) o.threads = threads;
    o.format = qvx_support::pixel_formats_by_name().at(format);
    if (duration_opt->count() > 0) o.duration = duration;
    if (!scaler.empty()) o.scaler = scaler_name(scaler);
    return result;
}

}  // namespace qvx_play
