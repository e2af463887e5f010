// A host render loop for the tests: one block, its textures, and the update
// called about every 10 ms, as an engine's render thread calls it. Each
// delivered frame is recorded with its index (read back from the picture of
// an indexed clip), arrival time and position.
#pragma once

#include <gtest/gtest.h>
#include <time.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: tlhelp32.h needs its types.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/frame_textures.h"
#include "support/pixel_format.h"
#include "test_host.h"

namespace qvx_test {

using namespace std::chrono_literals;

using Format = qvx_support::PixelFormat;

inline const char* format_name(Format format) {
    return qvx_support::pixel_format_name(format);
}

struct Delivered {
    int index;       // -1 when unreadable
    double at_ms;    // since the host was made
    float position;  // get_position right after the update
};

class RenderHost {
public:
    RenderHost(PluginHandle& plugin, Format format) : plugin_(plugin), textures_(format) {}
    ~RenderHost() {
        if (id != 0 && plugin_.get() != nullptr) plugin_->destroy_block(id);
    }

    // Sets the output format, opens the input and makes the textures.
    bool open(const std::string& path, bool loop) {
        if (!plugin_->set_parameter_string("video_pixel_fmt", format_name(textures_.format())))
            return false;
        id = plugin_->create_block(path.c_str(), loop);
        return id != 0 && textures_.create(*plugin_, id);
    }
    bool play(bool audio = false) { return plugin_->play_block(id, true, audio); }

    // One render-thread step. True when a frame was delivered.
    bool update() {
        const bool delivered = textures_.update(*plugin_, id);
        if (delivered) {
            frames.push_back({read_index(), now_ms(), plugin_->get_position(id)});
        }
        return delivered;
    }

    // Calls update about every 10 ms until done() holds; false on time-out.
    template <typename Predicate>
    bool pump_until(Predicate done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            update();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
    }
    void pump_for(std::chrono::milliseconds duration) {
        pump_until([] { return false; }, duration);
    }
    // Until a frame delivered from now on shows `index`: the one shown last
    // may be that index already, from before a seek.
    bool pump_until_index(int index, std::chrono::milliseconds timeout) {
        const size_t from = frames.size();
        return pump_until([&] { return frames.size() > from && last_index() == index; }, timeout);
    }
    bool pump_frames(size_t n, std::chrono::milliseconds timeout) {
        const size_t target = frames.size() + n;
        return pump_until([&] { return frames.size() >= target; }, timeout);
    }
    // Pumps for a while; the share of a core the process used meanwhile.
    double cpu_share_pumping(std::chrono::milliseconds duration) {
        auto cpu_ms = [] {
            timespec ts{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
            return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
        };
        const double cpu = cpu_ms(), wall = now_ms();
        pump_for(duration);
        return (cpu_ms() - cpu) / (now_ms() - wall);
    }

    int last_index() const { return frames.empty() ? -2 : frames.back().index; }
    std::vector<int> indices(size_t from = 0) const {
        std::vector<int> out;
        for (size_t i = from; i < frames.size(); ++i) out.push_back(frames[i].index);
        return out;
    }
    // Frames delivered within ms of frame `from` (a burst shows as too many).
    int delivered_within(size_t from, double ms) const {
        int n = 0;
        for (size_t i = from; i < frames.size(); ++i)
            n += frames[i].at_ms - frames[from].at_ms < ms;
        return n;
    }
    const qvx::TextureData& plane(int k) { return textures_.plane(k); }
    double now_ms() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    int read_index() {
        const qvx::TextureData& data = plane(0);
        const int w = static_cast<int>(data.width);
        const int h = static_cast<int>(data.height);
        if (textures_.format() == Format::rgb24) return read_index_rgb(data.pixels.data(), w, h);
        return read_index_luma(data.pixels.data(), w, h);
    }

    int id = 0;
    std::vector<Delivered> frames;

private:
    PluginHandle& plugin_;
    qvx_support::FrameTextures textures_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

inline std::string join(const std::vector<int>& values) {
    std::ostringstream out;
    for (int v : values) out << v << " ";
    return out.str();
}

// The frames of a run are first, first + 1, ...
inline ::testing::AssertionResult consecutive(const std::vector<int>& run, int first) {
    for (size_t i = 0; i < run.size(); ++i) {
        if (run[i] != first + static_cast<int>(i))
            return ::testing::AssertionFailure()
                   << "frame " << i << " should be " << first + int(i) << ": " << join(run);
    }
    return ::testing::AssertionSuccess();
}

// The frames delivered since `from` after a seek: a few frames of the old
// position may come first (shown before the request was served), continuing
// the old run from old_last + 1; the rest is first, first + 1, ...
inline ::testing::AssertionResult resumed_at(const RenderHost& host, size_t from, int old_last,
                                             int first) {
    const std::vector<int> run = host.indices(from);
    size_t i = 0;
    while (i < run.size() && run[i] == old_last + 1 + static_cast<int>(i) && run[i] != first) ++i;
    if (i > 5 || i == run.size())
        return ::testing::AssertionFailure() << "after the seek: " << join(run);
    return consecutive(std::vector<int>(run.begin() + static_cast<std::ptrdiff_t>(i), run.end()),
                       first);
}

// A test's log, plug-in object and render loop.
class HostTest : public ::testing::Test {
protected:
    // Opens the clip, plays it and pumps until frame `index` is shown.
    ::testing::AssertionResult play_to(const std::string& clip, int index, bool loop = false,
                                       bool sound = false) {
        if (!host.open(clip, loop) || !host.play(sound))
            return ::testing::AssertionFailure() << log.dump();
        if (!host.pump_until_index(index, 8s))
            return ::testing::AssertionFailure() << join(host.indices());
        return ::testing::AssertionSuccess();
    }

    LogCapture log;
    PluginHandle plugin;
    RenderHost host{plugin, Format::rgb24};
};

// An indexed clip of `seconds` at 30 fps.
inline std::string clip_of(int seconds, int gop = 30, bool with_audio = false) {
    IndexedClip recipe;
    recipe.frames = seconds * recipe.fps;
    recipe.gop = gop;
    recipe.with_audio = with_audio;
    return indexed_clip(recipe);
}

inline int thread_count() {
    int n = 0;
#if defined(_WIN32)
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
#else
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
#endif
    return n;
}

inline std::string read_file(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

// Writes media_dir()/name whole (another process may be reading it).
inline std::string write_media(const std::string& name, const std::string& bytes) {
    const std::string path = media_dir() + "/" + name;
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    std::ofstream(tmp, std::ios::binary | std::ios::trunc) << bytes;
    std::rename(tmp.c_str(), path.c_str());
    return path;
}

}  // namespace qvx_test
