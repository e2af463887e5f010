// What the tests share: the plug-in loaded the way a host loads it, the
// host log captured, and test media generated at test time with FFmpeg.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin_library.h"
#include "host/qvx.h"

namespace qvx_test {

struct LogLine {
    qvx::LogLevel level;
    std::string text;
};

// Installs itself as the host log sink for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

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
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// The plug-in library, loaded once per process the way the engine loads
// it; every test reaches it only through its two exports and
// qvx::SimpleVideo.
class PluginLibrary {
public:
    static PluginLibrary& get();
    qvx::Plugin* create() const;
    int destroy(qvx::Plugin* plugin) const;

private:
    PluginLibrary();
    qvx_host::PluginLibrary library_;
};

// One plug-in object, initialised and started, destroyed with the scope.
class PluginHandle {
public:
    explicit PluginHandle(bool start = true);
    ~PluginHandle();
    PluginHandle(const PluginHandle&) = delete;
    PluginHandle& operator=(const PluginHandle&) = delete;

    qvx::SimpleVideo* operator->() const { return video_; }
    qvx::SimpleVideo& operator*() const { return *video_; }
    qvx::SimpleVideo* get() const { return video_; }
    // Destroys the object now (for tests of destruction itself).
    void reset();

private:
    qvx::SimpleVideo* video_ = nullptr;
};

// ---- Test media ----------------------------------------------------------------

// Folder of generated media (shared by the test programs of one build;
// QVX_TEST_MEDIA_DIR in the environment names another, e.g. media made on
// Linux for a run under Wine).
std::string media_dir();
// Runs a shell command; true on exit status 0.
bool run_command(const std::string& command);
// Runs a shell command and returns what it printed on stdout.
std::string command_output(const std::string& command);
// Generates media_dir()/file_name with "ffmpeg -y <ffmpeg_args> <file>"
// once; later calls return the path at once. Safe across processes.
std::string generate_media(const std::string& file_name, const std::string& ffmpeg_args);

// Ready-made inputs.
std::string av_clip();  // 320x240 30 fps H.264, 440 Hz AAC 44.1 kHz mono, 3 s, key frame every 1 s
std::string video_only_clip();     // the video of av_clip
std::string audio_only_clip();     // the audio of av_clip (.m4a)
std::string subtitle_only_file();  // a subtitle stream, nothing to play
std::string rotated_clip();        // av_clip's video with a 90 degree display matrix
std::string odd_size_clip();       // 641x361, 1 s
std::string truncated_clip();      // the first 40 % of a fast-start av clip
std::string random_bytes_file();   // 64 KiB of seeded random bytes
std::string missing_file();        // a path that does not exist

// Clips whose frames carry their own index in their pixels: ten bands across
// the picture, band b white when bit b of the index is set, else black.
// codec: an ffmpeg encoder name; gop: frames between key frames.
struct IndexedClip {
    int width = 320;
    int height = 240;
    int fps = 30;
    int frames = 60;
    int gop = 30;
    std::string codec = "libx264";
    std::string container = "mp4";
    bool with_audio = false;
};
std::string indexed_clip(const IndexedClip& clip);
// Index read back from a delivered luma plane or RGB24 picture (tightly
// packed); -1 when the bands cannot be read.
int read_index_luma(const uint8_t* y, int width, int height);
int read_index_rgb(const uint8_t* rgb, int width, int height);

// Whether wall-clock bounds on real-time playback mean anything in this
// build (not under ThreadSanitizer, which slows decoding several times).
#ifdef QVX_SLOW_SANITIZER
constexpr bool wall_clock_checked = false;
#else
constexpr bool wall_clock_checked = true;
#endif

// ---- Waiting ---------------------------------------------------------------------

template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Milliseconds that f takes.
template <typename F>
double time_ms(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace qvx_test
