// A host render loop for the playback tests: one block, its textures, and
// the update operation called about every 10 ms, the way an engine's render
// thread calls it. Every delivered frame is read back from the texture and
// recorded with its index (indexed clips), arrival time and position.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/frame_textures.h"
#include "support/pixel_format.h"
#include "test_host.h"

namespace qvx_test {

using Format = qvx_support::PixelFormat;

inline const char* format_name(Format format) {
    return qvx_support::pixel_format_name(format);
}

struct Delivered {
    int index;       // read from the picture; -1 when unreadable
    double at_ms;    // since the player was made
    float position;  // get_position right after the update
};

class RenderHost {
public:
    RenderHost(PluginHandle& plugin, Format format) : plugin_(plugin), textures_(format) {}

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
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void pump_for(std::chrono::milliseconds duration) {
        pump_until([] { return false; }, duration);
    }

    // Pumps until a frame with this index has been delivered.
    bool pump_until_index(int index, std::chrono::milliseconds timeout) {
        return pump_until([&] { return last_index() == index; }, timeout);
    }

    // Pumps until n more frames have been delivered.
    bool pump_frames(size_t n, std::chrono::milliseconds timeout) {
        const size_t target = frames.size() + n;
        return pump_until([&] { return frames.size() >= target; }, timeout);
    }

    int last_index() const { return frames.empty() ? -2 : frames.back().index; }

    std::vector<int> indices(size_t from = 0) const {
        std::vector<int> out;
        for (size_t i = from; i < frames.size(); ++i) out.push_back(frames[i].index);
        return out;
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

// ---- Measurements -------------------------------------------------------------

inline double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

inline int thread_count() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// The packets of a clip's video stream, in file order, from ffprobe.
struct PacketInfo {
    double pts_time = 0;
    long long pos = -1;
    int size = 0;
    bool key = false;
};

inline std::vector<PacketInfo> video_packets(const std::string& path) {
    std::istringstream lines(
        command_output("ffprobe -v error -select_streams v:0 -show_entries "
                       "packet=pts_time,pos,size,flags -of compact=p=0 '" +
                       path + "'"));
    std::vector<PacketInfo> packets;
    std::string line;
    while (std::getline(lines, line)) {
        PacketInfo packet;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            const size_t eq = field.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = field.substr(0, eq);
            const std::string value = field.substr(eq + 1);
            if (key == "pts_time") packet.pts_time = std::atof(value.c_str());
            if (key == "pos") packet.pos = std::atoll(value.c_str());
            if (key == "size") packet.size = std::atoi(value.c_str());
            if (key == "flags") packet.key = value.find('K') != std::string::npos;
        }
        packets.push_back(packet);
    }
    return packets;
}

// The frames of a delivered run are index, index + 1, ...
inline ::testing::AssertionResult consecutive(const std::vector<int>& run, int first) {
    for (size_t i = 0; i < run.size(); ++i) {
        if (run[i] != first + static_cast<int>(i)) {
            std::ostringstream out;
            out << "frame " << i << " of the run is " << run[i] << ", expected "
                << first + static_cast<int>(i) << "; run:";
            for (int v : run) out << " " << v;
            return ::testing::AssertionFailure() << out.str();
        }
    }
    return ::testing::AssertionSuccess();
}

inline std::string join(const std::vector<int>& values) {
    std::ostringstream out;
    for (int v : values) out << v << " ";
    return out.str();
}

}  // namespace qvx_test
