// Shared pieces of the benchmark host: the plug-in loaded the way an engine
// loads it, texture outputs, clocks, CPU and memory readings, statistics
// and JSON lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/plugin_library.h"
#include "host/qvx.h"

namespace qvx_bench {

// ---- Command line ------------------------------------------------------------

class Args {
public:
    Args(int argc, char** argv, int first);
    std::string str(const std::string& key, const std::string& fallback = "") const;
    double num(const std::string& key, double fallback) const;
    int integer(const std::string& key, int fallback) const;
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

class Json {
public:
    Json& add(const std::string& key, const std::string& value);
    Json& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
    Json& add(const std::string& key, double value);
    Json& add(const std::string& key, int value) { return add(key, static_cast<double>(value)); }
    Json& add(const std::string& key, long value) { return add(key, static_cast<double>(value)); }
    Json& add(const std::string& key, unsigned value) {
        return add(key, static_cast<double>(value));
    }
    Json& add(const std::string& key, bool value);
    Json& add(const std::string& key, const std::vector<double>& values);
    Json& add(const std::string& key, const Json& object);
    Json& add_pacing(const std::string& key, const Pacing& pacing);
    std::string text() const { return "{" + body_ + "}"; }
    // Writes the object as one line on stdout.
    void print() const;

private:
    Json& raw(const std::string& key, const std::string& value);
    std::string body_;
};

// ---- The plug-in -------------------------------------------------------------------

// Loads the plug-in library, creates, initialises and starts
// the plug-in through its two exports; stops, terminates and destroys it
// with the scope. Log lines are counted and the errors kept, so the
// per-frame lines of the plug-in never reach the terminal.
class Plugin {
public:
    Plugin();
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    qvx::SimpleVideo* operator->() const { return video_; }
    qvx::SimpleVideo* get() const { return video_; }

    long log_lines() const;
    std::vector<std::string> log_errors() const;
    // The last line that contains text, among the audio device lines
    // ("[FFmpeg] SDL2 - ..."); empty when none came.
    std::string last_audio_line(const std::string& text) const;

private:
    qvx_host::PluginLibrary library_;
    qvx::SimpleVideo* video_ = nullptr;
};

// A renderer that takes the plug-in's texture writes and copies nothing:
// shows what the host's own copy into its textures costs.
class NullRenderer : public qvx::Renderer {
public:
    void update_texture_region(qvx::TextureData*, int, int, int, int, int, const void*) override {}
};

// The textures a host keeps for one block in one output format.
class Output {
public:
    // copy false: the host keeps no pixels (NullRenderer).
    explicit Output(const std::string& format, bool copy = true);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    bool create(qvx::SimpleVideo* video, int id);
    // True when a new picture was written into the textures.
    bool update(qvx::SimpleVideo* video, int id);
    // The luma (or RGB) plane, tightly packed.
    const qvx::TextureData* first_plane() { return textures_[0].get_data_ptr(); }

private:
    std::string format_;
    qvx::Renderer copying_renderer_;
    NullRenderer null_renderer_;
    qvx::Renderer* renderer_;
    qvx::Texture textures_[3];
    qvx::Texture* planes_[3];
};

// Sets the decoding settings the measurements vary.
void configure(qvx::SimpleVideo* video, const std::string& format, int threads);

}  // namespace qvx_bench
