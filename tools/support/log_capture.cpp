#include "log_capture.h"

#include <utility>

namespace qvx_support {

LogCapture::LogCapture(Keep keep) : keep_(std::move(keep)) {
    qvx::LogMgr::get().set_sink([this](qvx::LogLevel level, const std::string& text) {
        LogLine line{level, text};
        std::lock_guard<std::mutex> guard(mutex_);
        ++seen_;
        if (!keep_ || keep_(line)) lines_.push_back(std::move(line));
    });
}

LogCapture::~LogCapture() {
    qvx::LogMgr::get().set_sink(nullptr);
}

long LogCapture::seen() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

template <typename Match>
size_t LogCapture::count_if(Match match) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const LogLine& line : lines_) n += match(line);
    return n;
}

size_t LogCapture::count(const std::string& text) const {
    return count_if([&](const LogLine& line) { return line.text == text; });
}

size_t LogCapture::count(qvx::LogLevel level, const std::string& text) const {
    return count_if([&](const LogLine& line) { return line.level == level && line.text == text; });
}

size_t LogCapture::count_containing(const std::string& fragment) const {
    return count_if(
        [&](const LogLine& line) { return line.text.find(fragment) != std::string::npos; });
}

int LogCapture::index_of(const std::string& text, int from) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = static_cast<size_t>(from); i < lines_.size(); ++i) {
        if (lines_[i].text == text) return static_cast<int>(i);
    }
    return -1;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string out;
    for (const LogLine& line : lines_) out += line.text + "\n";
    return out;
}

}  // namespace qvx_support
