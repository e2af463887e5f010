// Receives every line of the host log (the plug-in's included) and FFmpeg's
// own messages: writes them to a file or stderr when asked, and keeps what
// the player needs to explain a failure.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/qvx.h"

namespace qvx_play {

class LogRouter {
public:
    // Installs itself as the host log sink; log_path may be empty.
    LogRouter(bool to_stderr, const std::string& log_path);
    ~LogRouter();
    LogRouter(const LogRouter&) = delete;
    LogRouter& operator=(const LogRouter&) = delete;

    bool log_file_ok() const { return log_path_.empty() || file_ != nullptr; }

    // Feeds one line, as the sink does.
    void on_line(qvx::LogLevel level, const std::string& text);
    // One message of the FFmpeg libraries (warnings and errors).
    void on_ffmpeg_line(const std::string& text);

    // Error lines logged since the last call (and forgets them).
    std::vector<std::string> take_errors();

    // Whether the plug-in reported that the block's audio device could not
    // be opened, with SDL's reason.
    bool audio_failed(int block_id, std::string* reason) const;

private:
    void write(const char* level, const std::string& text);

    mutable std::mutex mutex_;
    bool to_stderr_;
    std::string log_path_;
    FILE* file_ = nullptr;
    std::vector<std::string> errors_;
    std::map<int, std::string> open_attempts_;   // block id -> SDL's reason of its last try
    std::map<int, std::string> audio_failures_;  // blocks that gave up, with the reason
    int last_attempt_id_ = 0;
    std::string sdl_init_failure_;
};

}  // namespace qvx_play
