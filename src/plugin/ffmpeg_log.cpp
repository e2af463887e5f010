// FFmpeg logs from every thread that calls into it (demuxer, decoder
// threads, the audio callback); a damaged stream can log a line per packet.
// Lines below the warning level are dropped, a line repeated is counted
// rather than written again, and at most a few lines a second reach the host.
#include "plugin/ffmpeg_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "block/ffmpeg.h"
#include "block/mutex.h"
#include "host/qvx.h"
#include "media/media.h"

namespace qvx_ffmpeg {

namespace {

constexpr int max_lines_per_second = 20;
constexpr size_t max_line_chars = 1024;
// Threads whose unfinished message pieces are kept; past this, pieces of
// threads that ended mid-message are dropped.
constexpr size_t max_pending_threads = 64;

struct LogState {
    Mutex mutex;
    int holders QVX_GUARDED_BY(mutex) = 0;
    std::string last QVX_GUARDED_BY(mutex);  // component and text of the last line written
    int last_level QVX_GUARDED_BY(mutex) = AV_LOG_WARNING;
    int repeats QVX_GUARDED_BY(mutex) = 0;  // lines equal to last since it was written
    int64_t window_start_ms QVX_GUARDED_BY(mutex) = 0;
    int lines_in_window QVX_GUARDED_BY(mutex) = 0;
    int suppressed QVX_GUARDED_BY(mutex) = 0;  // lines dropped by the rate limit in the window
    // A message may come in pieces; each thread's gather here up to the
    // newline. Not a thread_local: one with a destructor, in a library the
    // host may unload, would be destroyed by code already gone on every
    // thread that logged.
    std::map<std::thread::id, std::string> pending QVX_GUARDED_BY(mutex);
};

LogState& state() {
    static LogState instance;
    return instance;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void write_line(int level, const std::string& text) {
    if (level <= AV_LOG_ERROR) {
        qvx::LogMgr::get().tracef_error("[FFmpeg] %s", text.c_str());
    } else {
        qvx::LogMgr::get().tracef_warning("[FFmpeg] %s", text.c_str());
    }
}

void flush_repeats(LogState& s) QVX_REQUIRES(s.mutex) {
    if (s.repeats == 0) return;
    write_line(s.last_level, s.last + " (repeated " + std::to_string(s.repeats) + " times)");
    s.repeats = 0;
}

void emit(int level, const std::string& line) {
    LogState& s = state();
    MutexLock guard(s.mutex);
    if (line == s.last) {
        ++s.repeats;
        return;
    }
    const int64_t now = now_ms();
    if (now - s.window_start_ms >= 1000) {
        if (s.suppressed > 0)
            write_line(AV_LOG_WARNING, "library messages suppressed: " +
                                           std::to_string(s.suppressed) + " in one second");
        s.window_start_ms = now;
        s.lines_in_window = 0;
        s.suppressed = 0;
    }
    flush_repeats(s);
    s.last = line;
    s.last_level = level;
    if (s.lines_in_window >= max_lines_per_second) {
        ++s.suppressed;
        return;
    }
    ++s.lines_in_window;
    write_line(level, line);
}

// Adds a piece of the calling thread's message; true with the whole
// message in line once it is complete (or too long to wait for).
bool gather_piece(const char* text, std::string& line) {
    LogState& s = state();
    MutexLock guard(s.mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (s.pending.size() >= max_pending_threads && s.pending.count(self) == 0) s.pending.clear();
    std::string& pending = s.pending[self];
    pending += text;
    if (!pending.empty() && pending.back() != '\n' && pending.size() < max_line_chars) return false;
    line.swap(pending);
    s.pending.erase(self);
    return !line.empty();
}

void log_callback(void* avcl, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_WARNING || level > av_log_get_level() || fmt == nullptr) return;
    char text[max_line_chars];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    std::string pending;
    if (!gather_piece(text, pending)) return;
    while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r'))
        pending.pop_back();
    std::string line;
    if (avcl != nullptr) {
        const AVClass* c = *static_cast<AVClass**>(avcl);
        if (c != nullptr && c->item_name != nullptr) {
            const char* component = c->item_name(avcl);
            if (component != nullptr) line = std::string(component) + ": ";
        }
    }
    line += escape_for_log(pending);
    emit(level, line);
}

}  // namespace

void hold_ffmpeg_log() {
    LogState& s = state();
    MutexLock guard(s.mutex);
    if (s.holders++ == 0) av_log_set_callback(log_callback);
}

void release_ffmpeg_log() {
    LogState& s = state();
    MutexLock guard(s.mutex);
    if (s.holders == 0) return;
    if (--s.holders != 0) return;
    av_log_set_callback(av_log_default_callback);
    flush_repeats(s);
    s.last.clear();
    s.window_start_ms = 0;
    s.lines_in_window = 0;
    s.suppressed = 0;
    s.pending.clear();
}

}  // namespace qvx_ffmpeg
