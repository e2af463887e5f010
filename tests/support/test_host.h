// What the tests share: the plug-in loaded the way a host loads it, the
// host log captured, and test media generated at test time with FFmpeg.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "host/plugin_library.h"
#include "host/qvx.h"
#include "support/log_capture.h"
#include "support/video_plugin.h"

namespace qvx_test {

using qvx_support::LogCapture;
using qvx_support::LogLine;

// The plug-in library, loaded once per process the way the engine loads
// it; every test reaches it only through its two exports and
// qvx::SimpleVideo.
class PluginLibrary {
public:
    static const qvx_host::PluginLibrary& get();
};

// One plug-in object, initialised and started, destroyed with the scope.
class PluginHandle : public qvx_support::VideoPlugin {
public:
    explicit PluginHandle(bool start = true);
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
