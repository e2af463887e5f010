// Shared pieces of the benchmark host: the plug-in with its log counted,
// clocks, CPU and memory readings, statistics and JSON lines.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/qvx.h"
#include "support/log_capture.h"
#include "support/pixel_format.h"
#include "support/video_plugin.h"

namespace qvx_bench {

using qvx_support::PixelFormat;

// ---- Command line ------------------------------------------------------------

class Args {
public:
    Args(int argc, char** argv, int first);
    std::string str(const std::string& key, const std::string& fallback = "") const;
    double num(const std::string& key, double fallback) const;
    int integer(const std::string& key, int fallback) const;
    // --fmt by name; throws on a name the plug-in does not deliver.
    PixelFormat format(PixelFormat fallback) const;
    bool has(const std::string& key) const { return values_.count(key) != 0; }

private:
    std::map<std::string, std::string> values_;
};

// ---- Clocks, CPU, memory -----------------------------------------------------

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);
double seconds_between(Clock::time_point a, Clock::time_point b);
// User + system CPU seconds of the whole process, every thread included.
double process_cpu_seconds();
// CPU seconds of this process's live threads by name ("main" for the
// host's own thread; FFmpeg's decoder threads carry the name of the thread
// that opened the decoder, the host's).
std::map<std::string, double> thread_cpu_seconds();
// Peak resident set of this process (KiB).
long peak_rss_kib();
// Current resident set of this process (KiB).
long current_rss_kib();

// ---- Statistics ----------------------------------------------------------------

double median(std::vector<double> values);
double percentile(std::vector<double> values, double p);
double mean(const std::vector<double>& values);
double max_abs(const std::vector<double>& values);

// Per-frame pacing. Frame n is due at t0 + n / fps with t0 the arrival of
// the first frame; errors in milliseconds, positive when late. The same
// arrivals are also held against the regular schedule that fits them best
// (t0 moved by the median error), which leaves the jitter and any drift
// and no longer counts a late first frame against every later one.
struct Pacing {
    std::vector<double> error_ms;  // against the first frame
    double mean_abs_ms = 0;
    double mean_ms = 0;
    double p95_abs_ms = 0;
    double worst_abs_ms = 0;
    double fit_mean_abs_ms = 0;
    double fit_p95_abs_ms = 0;
    double fit_worst_abs_ms = 0;
    // The same against the straight line that fits the errors best: what
    // is left once a clock that runs a little fast or slow (a sound
    // device's) is taken out, frame-to-frame judder only.
    double line_mean_abs_ms = 0;
    double line_p95_abs_ms = 0;
    double line_worst_abs_ms = 0;
    double line_slope_ms_per_s = 0;
    // From play_block to the first frame in the texture.
    double first_frame_ms = 0;
};
// skip_s: frames arriving in the first skip_s seconds after the first are
// left out of the fitted figures (start-up).
Pacing pacing_of(const std::vector<Clock::time_point>& arrivals, double fps, Clock::time_point play,
                 double skip_s = 0);

// ---- JSON lines --------------------------------------------------------------------

// Keys in the order they are added, as a reader of the lines expects them.
using Json = nlohmann::ordered_json;

void to_json(Json& json, const Pacing& pacing);
// Writes the object as one line on stdout.
void print_line(const Json& line);

// ---- The plug-in -------------------------------------------------------------------

// The plug-in created, initialised and started, destroyed with the scope.
// Its log lines are counted and only the errors and the audio device lines
// kept, so the per-frame lines never reach the terminal nor fill memory.
class Plugin {
public:
    Plugin();
    qvx::SimpleVideo* operator->() const { return plugin_.get(); }
    qvx::SimpleVideo* get() const { return plugin_.get(); }

    long log_lines() const { return log_.seen(); }
    std::vector<std::string> log_errors() const;
    // The last line that contains text, among the audio device lines
    // ("[FFmpeg] SDL2 - ..."); empty when none came.
    std::string last_audio_line(const std::string& text) const;

private:
    // Every line, when QVX_BENCH_LOG names a file; closed after the log.
    struct Closer {
        void operator()(FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<FILE, Closer> copy_;
    qvx_support::LogCapture log_;
    qvx_support::VideoPlugin plugin_;
};

// Sets the decoding settings the measurements vary.
void configure(qvx::SimpleVideo* video, PixelFormat format, int threads);

}  // namespace qvx_bench
