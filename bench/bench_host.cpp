#include "bench_host.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/plugin_library.h"

namespace qvx_bench {

// ---- Command line ------------------------------------------------------------

Args::Args(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument: " + key);
        key = key.substr(2);
        if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
            values_[key] = argv[++i];
        } else {
            values_[key] = "1";
        }
    }
}

std::string Args::str(const std::string& key, const std::string& fallback) const {
    const auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
}

double Args::num(const std::string& key, double fallback) const {
    const auto it = values_.find(key);
    return it == values_.end() ? fallback : std::atof(it->second.c_str());
}

int Args::integer(const std::string& key, int fallback) const {
    const auto it = values_.find(key);
    return it == values_.end() ? fallback : std::atoi(it->second.c_str());
}

PixelFormat Args::format(PixelFormat fallback) const {
    const auto it = values_.find("fmt");
    if (it == values_.end()) return fallback;
    const auto& formats = qvx_support::pixel_formats_by_name();
    const auto named = formats.find(it->second);
    if (named == formats.end()) throw std::runtime_error("unknown --fmt " + it->second);
    return named->second;
}

// ---- Clocks, CPU, memory -----------------------------------------------------

double seconds_since(Clock::time_point start) {
    return seconds_between(start, Clock::now());
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double process_cpu_seconds() {
    double user_s = 0, system_s = 0;
    qvx_host::process_cpu_seconds(user_s, system_s);
    return user_s + system_s;
}

std::map<std::string, double> thread_cpu_seconds() {
    std::map<std::string, double> by_name;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::string pid = std::to_string(getpid());
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return by_name;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string line;
        std::getline(in, line);
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        // After the name: state, then utime and stime as the 12th and 13th.
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 0; fields >> field; ++i) {
            if (i == 11) utime = std::atof(field.c_str());
            if (i == 12) stime = std::atof(field.c_str());
        }
        const std::string name =
            pid == entry->d_name ? "main" : line.substr(open + 1, close - open - 1);
        by_name[name] += (utime + stime) / tick;
    }
    closedir(dir);
    return by_name;
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long current_rss_kib() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- Statistics ----------------------------------------------------------------

double median(std::vector<double> values) {
    return percentile(std::move(values), 50.0);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = p / 100.0 * static_cast<double>(values.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(rank));
    const size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (rank - static_cast<double>(lo));
}

double mean(const std::vector<double>& values) {
    if (values.empty()) return 0.0;
    double sum = 0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

double max_abs(const std::vector<double>& values) {
    double worst = 0;
    for (double v : values) worst = std::max(worst, std::fabs(v));
    return worst;
}

Pacing pacing_of(const std::vector<Clock::time_point>& arrivals, double fps, Clock::time_point play,
                 double skip_s) {
    Pacing p;
    if (arrivals.empty() || fps <= 0) return p;
    p.first_frame_ms = seconds_between(play, arrivals[0]) * 1000.0;
    std::vector<double> abs_ms;
    for (size_t n = 0; n < arrivals.size(); ++n) {
        const double due = static_cast<double>(n) / fps;
        const double error = (seconds_between(arrivals[0], arrivals[n]) - due) * 1000.0;
        p.error_ms.push_back(error);
        abs_ms.push_back(std::fabs(error));
    }
    p.mean_ms = mean(p.error_ms);
    p.mean_abs_ms = mean(abs_ms);
    p.p95_abs_ms = percentile(abs_ms, 95.0);
    p.worst_abs_ms = max_abs(p.error_ms);

    std::vector<double> kept;
    for (size_t n = 0; n < arrivals.size(); ++n) {
        if (seconds_between(arrivals[0], arrivals[n]) >= skip_s) kept.push_back(p.error_ms[n]);
    }
    const double offset = median(kept);
    std::vector<double> fit_abs;
    for (double e : kept) fit_abs.push_back(std::fabs(e - offset));
    p.fit_mean_abs_ms = mean(fit_abs);
    p.fit_p95_abs_ms = percentile(fit_abs, 95.0);
    p.fit_worst_abs_ms = fit_abs.empty() ? 0.0 : *std::max_element(fit_abs.begin(), fit_abs.end());

    // Least squares of the kept errors against their due times.
    std::vector<double> due_s, errors;
    for (size_t n = 0; n < arrivals.size(); ++n) {
        if (seconds_between(arrivals[0], arrivals[n]) < skip_s) continue;
        due_s.push_back(static_cast<double>(n) / fps);
        errors.push_back(p.error_ms[n]);
    }
    if (due_s.size() >= 2) {
        const double mx = mean(due_s), my = mean(errors);
        double sxy = 0, sxx = 0;
        for (size_t i = 0; i < due_s.size(); ++i) {
            sxy += (due_s[i] - mx) * (errors[i] - my);
            sxx += (due_s[i] - mx) * (due_s[i] - mx);
        }
        const double slope = sxx > 0 ? sxy / sxx : 0.0;
        std::vector<double> line_abs;
        for (size_t i = 0; i < due_s.size(); ++i)
            line_abs.push_back(std::fabs(errors[i] - (my + slope * (due_s[i] - mx))));
        p.line_slope_ms_per_s = slope;
        p.line_mean_abs_ms = mean(line_abs);
        p.line_p95_abs_ms = percentile(line_abs, 95.0);
        p.line_worst_abs_ms = *std::max_element(line_abs.begin(), line_abs.end());
    }
    return p;
}

// ---- JSON lines --------------------------------------------------------------------

void to_json(Json& json, const Pacing& pacing) {
    json = Json{{"mean_abs_ms", pacing.mean_abs_ms},
                {"mean_ms", pacing.mean_ms},
                {"p95_abs_ms", pacing.p95_abs_ms},
                {"worst_abs_ms", pacing.worst_abs_ms},
                {"fit_mean_abs_ms", pacing.fit_mean_abs_ms},
                {"fit_p95_abs_ms", pacing.fit_p95_abs_ms},
                {"fit_worst_abs_ms", pacing.fit_worst_abs_ms},
                {"line_mean_abs_ms", pacing.line_mean_abs_ms},
                {"line_p95_abs_ms", pacing.line_p95_abs_ms},
                {"line_worst_abs_ms", pacing.line_worst_abs_ms},
                {"line_slope_ms_per_s", pacing.line_slope_ms_per_s},
                {"first_frame_ms", pacing.first_frame_ms}};
}

void print_line(const Json& line) {
    // A clip path or a log line need not be UTF-8; the line must still come.
    std::printf("%s\n", line.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

// ---- The plug-in -------------------------------------------------------------------

namespace {

constexpr size_t kept_errors = 20;
constexpr size_t kept_audio_lines = 50;

bool is_audio_line(const std::string& text) {
    return text.find("SDL2 - ") != std::string::npos;
}

FILE* open_log_copy() {
    const char* path = std::getenv("QVX_BENCH_LOG");
    return path != nullptr ? std::fopen(path, "w") : nullptr;
}

}  // namespace

Plugin::Plugin()
    : copy_(open_log_copy()),
      log_([this, errors = size_t{0}, audio = size_t{0}](const qvx_support::LogLine& line) mutable {
          if (copy_) std::fprintf(copy_.get(), "%s\n", line.text.c_str());
          const bool error = line.level == qvx::LogLevel::error && errors < kept_errors;
          const bool sound = audio < kept_audio_lines && is_audio_line(line.text);
          errors += error;
          audio += sound;
          return error || sound;
      }) {
    std::string error;
    if (!plugin_.load(QVX_PLUGIN_PATH, true, error)) throw std::runtime_error(error);
}

// A line kept as one of the first errors may be past the limit of audio
// lines, and the other way round: each reader applies its own limit again.
std::vector<std::string> Plugin::log_errors() const {
    std::vector<std::string> errors;
    for (const qvx_support::LogLine& line : log_.lines()) {
        if (line.level == qvx::LogLevel::error && errors.size() < kept_errors)
            errors.push_back(line.text);
    }
    return errors;
}

std::string Plugin::last_audio_line(const std::string& text) const {
    std::string last;
    size_t audio = 0;
    for (const qvx_support::LogLine& line : log_.lines()) {
        if (!is_audio_line(line.text) || audio++ >= kept_audio_lines) continue;
        if (line.text.find(text) != std::string::npos) last = line.text;
    }
    return last;
}

void configure(qvx::SimpleVideo* video, PixelFormat format, int threads) {
    video->set_parameter_int("num_video_threads", threads);
    video->set_parameter_string("video_pixel_fmt", qvx_support::pixel_format_name(format));
}

}  // namespace qvx_bench
