// libFuzzer target: mutated media go through the whole life of an untimed
// block ("realtime" 0), as an offline renderer drives it: create_block,
// play_block, texture updates as fast as frames come, a seek, a pause,
// destroy_block. Untimed, an input costs its decoding, not its duration.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fuzz_plugin.h"

namespace {

// What one input may take: frames handed over, returns to an earlier
// position (the seek, the rewind, a loop; a short looping input would
// otherwise come round again and again, and every return builds the
// demuxer's parsers anew) and wall time. An input that has decoded and
// handed over nothing for max_quiet_time is given up. A looping input whose
// pass showed nothing is given up as soon as the block says so: it rests
// before the next pass, and that pass would show nothing either. One input
// in eight loops.
constexpr int max_frames_per_input = 32;
constexpr int max_returns_per_input = 3;
constexpr auto max_time_per_input = std::chrono::milliseconds(150);
constexpr auto max_quiet_time = std::chrono::milliseconds(10);
// The host's wait between two looks when no frame is ready.
constexpr auto poll_interval = std::chrono::microseconds(50);

const char* const pixel_formats[] = {"rgb24", "yuv420p", "nv12"};

// Set by the log when a looping block's pass showed nothing.
std::atomic<bool> empty_pass{false};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qvx::SimpleVideoFFmpeg* video = [] {
        qvx::SimpleVideoFFmpeg* p = qvx_fuzz::started_quiet_plugin([](const std::string& line) {
            if (line.find("showed nothing") != std::string::npos) empty_pass = true;
        });
        p->set_parameter_int("num_video_threads", 1);
        p->set_parameter_int("realtime", 0);
        return p;
    }();
    static const std::string path = "/tmp/qvx-fuzz-" + std::to_string(getpid()) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    // The output format and looping come from the input's size, so that
    // one input always runs the same way.
    const int format = static_cast<int>(size % 3);
    video->set_parameter_string("video_pixel_fmt", pixel_formats[format]);
    const int id = video->create_block(path.c_str(), size % 8 == 0);
    if (id == 0) return 0;
    qvx::Renderer renderer;
    qvx::Texture textures[3];
    qvx::Texture* planes[3] = {&textures[0], &textures[1], &textures[2]};
    if (format == 0) video->video_create_texture_rgb24(id, &renderer, planes[0]);
    if (format == 1) video->video_create_textures_yuv420p(id, &renderer, planes);
    if (format == 2) video->video_create_textures_nv12(id, &renderer, planes);
    auto update = [&] {
        return format == 0   ? video->video_update_texture_rgb24(id, &renderer, planes[0])
               : format == 1 ? video->video_update_textures_yuv420p(id, &renderer, planes, nullptr)
                             : video->video_update_textures_nv12(id, &renderer, planes, nullptr);
    };
    empty_pass = false;
    video->play_block(id, true, true);

    const auto start = std::chrono::steady_clock::now();
    auto last_news = start;
    uint32_t decoded = 0;
    int frames = 0;
    int returns = 0;
    float position = 0.0f;
    while (frames < max_frames_per_input && returns < max_returns_per_input && !empty_pass &&
           !video->update_block(id)) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start > max_time_per_input || now - last_news > max_quiet_time) break;
        if (!update()) {
            const uint32_t d = video->get_num_decoded_frames(id);
            if (d != decoded) {
                decoded = d;
                last_news = now;
            }
            std::this_thread::sleep_for(poll_interval);
            continue;
        }
        last_news = now;
        ++frames;
        const float now_at = video->get_position(id);
        if (now_at < position) ++returns;
        position = now_at;
        if (frames == 4) video->seek_block(id, 1);
        if (frames == 8) {
            // A paused block decodes nothing more: the host takes what is
            // waiting, then resumes it.
            video->set_paused(id, true);
            update();
            video->set_paused(id, false);
        }
        if (frames == 12) video->rewind_block(id);
    }
    int w = 0, h = 0;
    video->get_video_size(id, &w, &h);
    video->get_duration(id);
    video->destroy_block(id);
    return 0;
}
