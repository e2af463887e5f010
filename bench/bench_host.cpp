#include "bench_host.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

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

// ---- Clocks, CPU, memory -----------------------------------------------------

double seconds_since(Clock::time_point start) {
    return seconds_between(start, Clock::now());
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
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

namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

Json& Json::raw(const std::string& key, const std::string& value) {
    if (!body_.empty()) body_ += ",";
    body_ += quoted(key) + ":" + value;
    return *this;
}

Json& Json::add(const std::string& key, const std::string& value) {
    return raw(key, quoted(value));
}
Json& Json::add(const std::string& key, double value) {
    return raw(key, number(value));
}
Json& Json::add(const std::string& key, bool value) {
    return raw(key, value ? "true" : "false");
}
Json& Json::add(const std::string& key, const Json& object) {
    return raw(key, object.text());
}

Json& Json::add(const std::string& key, const std::vector<double>& values) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) list += (i ? "," : "") + number(values[i]);
    return raw(key, list + "]");
}

Json& Json::add_pacing(const std::string& key, const Pacing& pacing) {
    Json p;
    p.add("mean_abs_ms", pacing.mean_abs_ms)
        .add("mean_ms", pacing.mean_ms)
        .add("p95_abs_ms", pacing.p95_abs_ms)
        .add("worst_abs_ms", pacing.worst_abs_ms)
        .add("fit_mean_abs_ms", pacing.fit_mean_abs_ms)
        .add("fit_p95_abs_ms", pacing.fit_p95_abs_ms)
        .add("fit_worst_abs_ms", pacing.fit_worst_abs_ms)
        .add("line_mean_abs_ms", pacing.line_mean_abs_ms)
        .add("line_p95_abs_ms", pacing.line_p95_abs_ms)
        .add("line_worst_abs_ms", pacing.line_worst_abs_ms)
        .add("line_slope_ms_per_s", pacing.line_slope_ms_per_s)
        .add("first_frame_ms", pacing.first_frame_ms);
    return add(key, p);
}

void Json::print() const {
    std::printf("%s\n", text().c_str());
    std::fflush(stdout);
}

// ---- The plug-in -------------------------------------------------------------------

namespace {

struct LogCounter {
    std::mutex mutex;
    long lines = 0;
    std::vector<std::string> errors;
    std::vector<std::string> audio;  // the audio device lines, the first 50
    FILE* copy = nullptr;            // every line, when QVX_BENCH_LOG names a file
};

LogCounter& log_counter() {
    static LogCounter counter;
    return counter;
}

}  // namespace

Plugin::Plugin() {
    if (const char* path = std::getenv("QVX_BENCH_LOG")) log_counter().copy = std::fopen(path, "w");
    qvx::LogMgr::get().set_sink([](qvx::LogLevel level, const std::string& text) {
        LogCounter& c = log_counter();
        std::lock_guard<std::mutex> guard(c.mutex);
        ++c.lines;
        if (c.copy != nullptr) std::fprintf(c.copy, "%s\n", text.c_str());
        if (level == qvx::LogLevel::error && c.errors.size() < 20) c.errors.push_back(text);
        if (c.audio.size() < 50 && text.find("SDL2 - ") != std::string::npos)
            c.audio.push_back(text);
    });
    std::string error;
    if (!library_.load(QVX_PLUGIN_PATH, error)) throw std::runtime_error(error);
    video_ = dynamic_cast<qvx::SimpleVideo*>(library_.create());
    if (video_ == nullptr) throw std::runtime_error("qvx_plugin_create gave no SimpleVideo");
    video_->initialize();
    video_->start();
}

Plugin::~Plugin() {
    if (video_ != nullptr) {
        video_->stop();
        video_->terminate();
        library_.destroy(video_);
    }
    qvx::LogMgr::get().set_sink(nullptr);
}

long Plugin::log_lines() const {
    LogCounter& c = log_counter();
    std::lock_guard<std::mutex> guard(c.mutex);
    return c.lines;
}

std::vector<std::string> Plugin::log_errors() const {
    LogCounter& c = log_counter();
    std::lock_guard<std::mutex> guard(c.mutex);
    return c.errors;
}

std::string Plugin::last_audio_line(const std::string& text) const {
    LogCounter& c = log_counter();
    std::lock_guard<std::mutex> guard(c.mutex);
    for (auto it = c.audio.rbegin(); it != c.audio.rend(); ++it)
        if (it->find(text) != std::string::npos) return *it;
    return "";
}

Output::Output(const std::string& format, bool copy)
    : format_(format),
      renderer_(copy ? &copying_renderer_ : &null_renderer_),
      planes_{&textures_[0], &textures_[1], &textures_[2]} {}

bool Output::create(qvx::SimpleVideo* video, int id) {
    if (format_ == "yuv420p") return video->video_create_textures_yuv420p(id, renderer_, planes_);
    if (format_ == "nv12") return video->video_create_textures_nv12(id, renderer_, planes_);
    return video->video_create_texture_rgb24(id, renderer_, planes_[0]);
}

bool Output::update(qvx::SimpleVideo* video, int id) {
    if (format_ == "yuv420p")
        return video->video_update_textures_yuv420p(id, renderer_, planes_, nullptr);
    if (format_ == "nv12")
        return video->video_update_textures_nv12(id, renderer_, planes_, nullptr);
    return video->video_update_texture_rgb24(id, renderer_, planes_[0]);
}

void configure(qvx::SimpleVideo* video, const std::string& format, int threads) {
    video->set_parameter_int("num_video_threads", threads);
    video->set_parameter_string("video_pixel_fmt", format.c_str());
}

}  // namespace qvx_bench
