#include "log_router.h"

#include <atomic>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace qvx_play {

namespace {

std::atomic<LogRouter*> active_router{nullptr};

void ffmpeg_log(void* context, int level, const char* fmt, va_list args) {
    LogRouter* router = active_router.load();
    if (router == nullptr || level > av_log_get_level()) return;
    char line[1024];
    int print_prefix = 1;
    av_log_format_line2(context, level, fmt, args, line, sizeof line, &print_prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) router->on_ffmpeg_line(text);
}

const char* level_name(qvx::LogLevel level) {
    switch (level) {
        case qvx::LogLevel::info: return "info";
        case qvx::LogLevel::warning: return "warning";
        case qvx::LogLevel::error: return "error";
        case qvx::LogLevel::debug: return "debug";
    }
    return "info";
}

// Text after prefix, if text starts with it.
bool after_prefix(const std::string& text, const std::string& prefix, std::string& rest) {
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    rest = text.substr(prefix.size());
    return true;
}

}  // namespace

LogRouter::LogRouter(bool to_stderr, const std::string& log_path)
    : to_stderr_(to_stderr), log_path_(log_path) {
    if (!log_path_.empty()) file_ = std::fopen(log_path_.c_str(), "w");
    qvx::LogMgr::get().set_sink(
        [this](qvx::LogLevel level, const std::string& text) { on_line(level, text); });
    // FFmpeg is shared with the plug-in: its messages would otherwise cut
    // through the progress bar.
    active_router = this;
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(ffmpeg_log);
}

LogRouter::~LogRouter() {
    av_log_set_callback(av_log_default_callback);
    active_router = nullptr;
    qvx::LogMgr::get().set_sink(nullptr);
    if (file_ != nullptr) std::fclose(file_);
}

void LogRouter::write(const char* level, const std::string& text) {
    if (file_ != nullptr) {
        std::fprintf(file_, "[%s] %s\n", level, text.c_str());
        std::fflush(file_);
    }
    if (to_stderr_) std::fprintf(stderr, "[%s] %s\n", level, text.c_str());
}

void LogRouter::on_ffmpeg_line(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    write("ffmpeg", text);
}

void LogRouter::on_line(qvx::LogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    write(level_name(level), text);
    if (level == qvx::LogLevel::error) errors_.push_back(text);

    std::string rest;
    if (after_prefix(text, "[FFmpeg] SDL2 - failed to open audio: ", rest)) {
        // "<SDL error>  (audio/video block <id>)"
        const std::string marker = "  (audio/video block ";
        const size_t at = rest.rfind(marker);
        if (at != std::string::npos) {
            const int id = std::atoi(rest.c_str() + at + marker.size());
            open_attempts_[id] = rest.substr(0, at);
            last_attempt_id_ = id;
        }
    } else if (after_prefix(text, "[FFmpeg] unable to initialize SDL - ", rest)) {
        sdl_init_failure_ = rest;
    } else if (text == "[FFmpeg] SDL2 - No more combinations to try, audio open failed.") {
        // The last line of a block that tried every format: it follows that
        // block's own failed attempts.
        const auto it = open_attempts_.find(last_attempt_id_);
        if (it != open_attempts_.end()) {
            audio_failures_[last_attempt_id_] =
                sdl_init_failure_.empty() ? it->second : sdl_init_failure_;
        }
    }
}

std::vector<std::string> LogRouter::take_errors() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    out.swap(errors_);
    return out;
}

bool LogRouter::audio_failed(int block_id, std::string* reason) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = audio_failures_.find(block_id);
    if (it == audio_failures_.end()) return false;
    if (reason != nullptr) *reason = it->second;
    return true;
}

}  // namespace qvx_play
