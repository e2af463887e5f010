// qvx-play: plays media through the qvx FFmpeg plug-in as a host engine
// would, in a window or on the terminal, and reports how it went.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "host/plugin_library.h"
#include "log_router.h"
#include "options.h"
#include "player.h"
#include "plugin_loader.h"
#include "progress.h"
#include "summary.h"
#include "support/video_plugin.h"
#include "window_view.h"

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int) {
    interrupted = true;
}

double now_seconds() {
    using clock = std::chrono::steady_clock;
    static const clock::time_point origin = clock::now();
    return std::chrono::duration<double>(clock::now() - origin).count();
}

void message(const std::string& text) {
    std::fprintf(stderr, "qvx-play: %s\n", text.c_str());
}

// The clip the build makes, next to the program or where the build put it.
std::string default_sample() {
    struct stat st {};
    const std::string beside = qvx_host::executable_dir() + "/qvx-sample.mp4";
    if (stat(beside.c_str(), &st) == 0) return beside;
#ifdef QVX_PLAY_SAMPLE_PATH
    if (stat(QVX_PLAY_SAMPLE_PATH, &st) == 0) return QVX_PLAY_SAMPLE_PATH;
#endif
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qvx_play;
    ParseResult parsed = parse_options(argc, argv, std::cout, std::cerr);
    if (parsed.exit_code) return *parsed.exit_code;
    Options options = parsed.options;
    if (options.inputs.empty()) {
        const std::string sample = default_sample();
        if (sample.empty()) {
            message("no input given, and the default sample was not built (it needs ffmpeg)");
            return exit_usage;
        }
        options.inputs.push_back(sample);
    }

    LogRouter log(options.verbose, options.log_path);
    if (!log.log_file_ok()) {
        message("cannot write the log file " + options.log_path);
        return exit_failure;
    }
    qvx_support::VideoPlugin plugin;
    std::string error;
    if (!plugin.load(find_plugin(options.plugin_path), true, error)) {
        message(error);
        return exit_failure;
    }

    Player player(*plugin, log, options);
    int open_status = exit_ok;
    if (!player.open(error, open_status)) {
        message(error);
        return open_status;
    }
    int status = exit_ok;
    std::unique_ptr<WindowView> window;
    if (!options.headless) {
        std::string why;
        window = WindowView::create(player, why);
        if (!window) message("no display (" + why + "): playing on the terminal");
    }
    if (!window && !options.screenshots.empty()) {
        message("--screenshot needs a window; none taken");
        status = exit_failure;
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    ProgressLine progress(stderr);
    player.start(now_seconds());
    for (;;) {
        const double now = now_seconds();
        player.run_due_controls(now);
        const bool fresh = player.poll(now);
        for (const std::string& notice : player.take_notices()) {
            progress.clear();
            message(notice);
        }
        if (window) {
            if (!window->handle_events(now)) break;
            window->present(now);
        }
        progress.update(player, now);
        if (interrupted || player.finished(now)) break;
        if (!fresh) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double end = now_seconds();
    progress.finish(player, end);
    const Summary summary = player.summary(end);

    std::vector<std::string> errors;
    if (window && !window->screenshot_errors(errors)) status = exit_failure;
    window.reset();  // before the plug-in stops: it quits SDL as a whole
    player.close();
    if (!player.write_snapshots(errors)) status = exit_failure;
    for (const std::string& e : errors) message(e);

    if (options.json) {
        std::cout << to_json(summary).dump(2) << std::endl;
    } else {
        std::cout << to_text(summary) << std::flush;
    }
    if (status == exit_ok) {
        for (const BlockSummary& block : summary.blocks) {
            if (block.audio.rfind("unavailable", 0) == 0) status = exit_no_audio;
        }
    }
    plugin.reset();
    return status;
}
