// libFuzzer target: mutated media go through the whole life of a block, as a
// host drives it: create_block, play_block, texture updates, a seek, a
// pause, destroy_block.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "plugin/plugin.h"

namespace {

qvx::SimpleVideoFFmpeg* plugin() {
    static qvx::SimpleVideoFFmpeg* instance = [] {
        qvx::LogMgr::get().set_sink([](qvx::LogLevel, const std::string&) {});
        auto* p = new qvx::SimpleVideoFFmpeg();
        p->initialize();
        p->start();
        p->set_parameter_int("num_video_threads", 1);
        return p;
    }();
    return instance;
}

std::string input_path() {
    static const std::string path = "/tmp/qvx-fuzz-" + std::to_string(getpid()) + ".bin";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(input_path().c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    qvx::SimpleVideoFFmpeg* video = plugin();
    const int id = video->create_block(input_path().c_str(), size % 2 == 0);
    if (id == 0) return 0;
    qvx::Renderer renderer;
    qvx::Texture rgb;
    video->video_create_texture_rgb24(id, &renderer, &rgb);
    video->play_block(id, true, true);
    for (int i = 0; i < 6; ++i) {
        video->video_update_texture_rgb24(id, &renderer, &rgb);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (i == 2) video->seek_block(id, 1);
        if (i == 3) video->set_paused(id, true);
        if (i == 4) video->set_paused(id, false);
    }
    int w = 0, h = 0;
    video->get_video_size(id, &w, &h);
    video->get_duration(id);
    video->destroy_block(id);
    return 0;
}
