// The host log captured: every line the plug-in writes through qvx::LogMgr,
// kept for reading back.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/qvx.h"

namespace qvx_support {

struct LogLine {
    qvx::LogLevel level;
    std::string text;
};

// Installs itself as the host log sink for its lifetime.
class LogCapture {
public:
    // Sees every line, under the capture's lock, and says whether to keep
    // it: a long run that logs each frame must not keep them all.
    using Keep = std::function<bool(const LogLine& line)>;

    explicit LogCapture(Keep keep = nullptr);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines received, kept or not.
    long seen() const;
    std::vector<LogLine> lines() const;
    // Lines whose text equals text exactly.
    size_t count(const std::string& text) const;
    size_t count(qvx::LogLevel level, const std::string& text) const;
    // Lines whose text contains fragment.
    size_t count_containing(const std::string& fragment) const;
    bool has(const std::string& text) const { return count(text) > 0; }
    bool has(qvx::LogLevel level, const std::string& text) const { return count(level, text) > 0; }
    // Index of the first line equal to text at or after from, or -1.
    int index_of(const std::string& text, int from = 0) const;
    void clear();
    // Lines joined, for failure messages.
    std::string dump() const;

private:
    template <typename Match>
    size_t count_if(Match match) const;

    mutable std::mutex mutex_;
    Keep keep_;
    long seen_ = 0;
    std::vector<LogLine> lines_;
};

}  // namespace qvx_support
