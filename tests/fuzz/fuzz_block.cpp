// libFuzzer target: mutated media go through the whole life of an untimed
// block ("realtime" 0), as an offline renderer drives it: create_block,
// play_block, texture updates as fast as frames come, a seek, a pause,
// destroy_block. Untimed, an input costs its decoding, not its duration.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fuzz_plugin.h"

namespace {

// What one input may take: frames handed over and wall time (a looping
// input that never shows a frame runs until then, so one input in eight
// loops).
constexpr int max_frames_per_input = 48;
constexpr auto max_time_per_input = std::chrono::milliseconds(150);
// The host's wait between two looks when no frame is ready.
constexpr auto poll_interval = std::chrono::microseconds(200);

const char* const pixel_formats[] = {"rgb24", "yuv420p", "nv12"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qvx::SimpleVideoFFmpeg* video = [] {
        qvx::SimpleVideoFFmpeg* p = qvx_fuzz::started_quiet_plugin();
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
    video->play_block(id, true, true);

    const auto deadline = std::chrono::steady_clock::now() + max_time_per_input;
    int frames = 0;
    while (frames < max_frames_per_input && !video->update_block(id) &&
           std::chrono::steady_clock::now() < deadline) {
        if (!update()) {
            std::this_thread::sleep_for(poll_interval);
            continue;
        }
        ++frames;
        video->get_position(id);
        if (frames == 8) video->seek_block(id, 1);
        if (frames == 16) {
            // A paused block decodes nothing more: the host takes what is
            // waiting, then resumes it.
            video->set_paused(id, true);
            update();
            video->set_paused(id, false);
        }
        if (frames == 24) video->rewind_block(id);
    }
    int w = 0, h = 0;
    video->get_video_size(id, &w, &h);
    video->get_duration(id);
    video->destroy_block(id);
    return 0;
}
