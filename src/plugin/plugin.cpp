#include "plugin/plugin.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <system_error>

#if __has_include(<libpostproc/version.h>)
extern "C" {
#include <libpostproc/version.h>
}
#define QVX_HAVE_POSTPROC 1
#endif
extern "C" {
#include <libavfilter/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

#include "audio/audio.h"
#include "pipeline/pipeline.h"
#include "plugin/block_control.h"
#include "plugin/ffmpeg_log.h"
#include "texture/texture.h"

namespace qvx {

using qvx_ffmpeg::AudioVideoBlock;
using qvx_ffmpeg::MutexLock;

namespace {
constexpr const char* plugin_author = "QVX media team";
}

SimpleVideoFFmpeg::SimpleVideoFFmpeg() {
    set_name("FFmpeg");
    set_description("FFmpeg plugin (audio / video)");
    set_author(plugin_author);
    set_version(0, 1, 0);
    char build[128] = {0};
    std::snprintf(build, sizeof build, "BUILD_DATE: [%s] - BUILD_TIME: [%s]", __DATE__, __TIME__);
    set_build_info(build);
    set_type(PLUGIN_TYPE_VIDEO);
}

// Blocks still registered are torn down here: their threads must not outlive
// the object, nor the library the host unloads after it.
SimpleVideoFFmpeg::~SimpleVideoFFmpeg() {
    destroy_all_blocks();
    qvx_ffmpeg::quit_sdl_audio();
    // The callback lives in this library, which the host may unload next.
    if (initialized) qvx_ffmpeg::release_ffmpeg_log();
}

AudioVideoBlock* SimpleVideoFFmpeg::find_block(int id) const {
    for (const auto& block : blocks) {
        if (block->id == id) return block.get();
    }
    return nullptr;
}

void SimpleVideoFFmpeg::destroy_all_blocks() {
    for (auto& block : blocks) qvx_ffmpeg::teardown_block(block.get());
    blocks.clear();
}

bool SimpleVideoFFmpeg::initialize() {
    if (initialized) return true;
    Plugin::initialize();
    qvx_ffmpeg::hold_ffmpeg_log();
    tracef("libavcodec: version %d.%d.%d", LIBAVCODEC_VERSION_MAJOR, LIBAVCODEC_VERSION_MINOR,
           LIBAVCODEC_VERSION_MICRO);
    tracef("libavdevice: version %d.%d.%d", LIBAVDEVICE_VERSION_MAJOR, LIBAVDEVICE_VERSION_MINOR,
           LIBAVDEVICE_VERSION_MICRO);
    tracef("libavfilter: version %d.%d.%d", LIBAVFILTER_VERSION_MAJOR, LIBAVFILTER_VERSION_MINOR,
           LIBAVFILTER_VERSION_MICRO);
    tracef("libavutil: version %d.%d.%d", LIBAVUTIL_VERSION_MAJOR, LIBAVUTIL_VERSION_MINOR,
           LIBAVUTIL_VERSION_MICRO);
#ifdef QVX_HAVE_POSTPROC
    tracef("libpostproc: version %d.%d.%d", LIBPOSTPROC_VERSION_MAJOR, LIBPOSTPROC_VERSION_MINOR,
           LIBPOSTPROC_VERSION_MICRO);
#endif
    tracef("libswresample: version %d.%d.%d", LIBSWRESAMPLE_VERSION_MAJOR,
           LIBSWRESAMPLE_VERSION_MINOR, LIBSWRESAMPLE_VERSION_MICRO);
    tracef("libswscale: version %d.%d.%d", LIBSWSCALE_VERSION_MAJOR, LIBSWSCALE_VERSION_MINOR,
           LIBSWSCALE_VERSION_MICRO);
    initialized = true;
    return true;
}

bool SimpleVideoFFmpeg::terminate() {
    if (!initialized) return true;
    Plugin::terminate();
    qvx_ffmpeg::release_ffmpeg_log();
    initialized = false;
    return true;
}

bool SimpleVideoFFmpeg::start() {
    if (started) return true;
    // Capture devices are registered only when the host names one in the
    // protocol whitelist (see open_media).
    avformat_network_init();
    started = true;
    return true;
}

bool SimpleVideoFFmpeg::stop() {
    if (!started) return true;
    destroy_all_blocks();
    qvx_ffmpeg::release_sdl_audio_later();
    avformat_network_deinit();
    started = false;
    return true;
}

int SimpleVideoFFmpeg::create_block(const char* filename, bool loop) {
    if (filename == nullptr) return 0;
    AudioVideoBlock* block = nullptr;
    try {
        blocks.push_back(std::make_unique<AudioVideoBlock>());
        block = blocks.back().get();
        block->file_name = filename;
    } catch (const std::bad_alloc&) {
        LogMgr::get().tracef_error("[FFmpeg] create_block - out of memory for %s",
                                   qvx_ffmpeg::escape_for_log(filename).c_str());
        if (block == nullptr) return 0;
        destroy_block(block->id);
        return 0;
    }
    block->controls.loop = loop;
    if (qvx_ffmpeg::open_media(*this, settings, block, static_cast<int>(blocks.size()))) {
        qvx_ffmpeg::fix_open_block_facts(block);
        return block->id;
    }
    destroy_block(block->id);
    return 0;
}

bool SimpleVideoFFmpeg::destroy_block(int id) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return false;
    qvx_ffmpeg::teardown_block(block);  // stops the reader thread first
    auto it = std::find_if(blocks.begin(), blocks.end(),
                           [id](const std::unique_ptr<AudioVideoBlock>& b) { return b->id == id; });
    if (it != blocks.end()) blocks.erase(it);
    return true;
}

bool SimpleVideoFFmpeg::play_block(int id, bool video_enabled, bool audio_enabled) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return false;
    // Another host thread may start or stop the same block at once.
    MutexLock run(block->reader.run_lock);
    block->controls.video_enabled = video_enabled;
    block->controls.audio_enabled = audio_enabled;
    // A playing block goes on playing: still one reader.
    if (block->reader.running) return true;
    // The flags the last run's stop raised.
    block->reader.stop = false;
    block->video.stop = false;
    block->audio.stop = false;
    block->video.first_frame_pending = true;
    try {
        block->reader.thread = std::thread(qvx_ffmpeg::reader_thread, block);
    } catch (const std::system_error& e) {
        LogMgr::get().tracef_error(
            "[FFmpeg] play_block - unable to start the reader thread of "
            "audio/video block %d: %s",
            id, e.what());
        return false;
    }
    block->reader.running = true;
    return true;
}

bool SimpleVideoFFmpeg::stop_block(int id) {
    AudioVideoBlock* block = find_block(id);
    if (block == nullptr) return false;
    // Stopping a stopped block changes nothing.
    qvx_ffmpeg::stop_reader_thread(block, true);
    return true;
}

void SimpleVideoFFmpeg::set_audio_manager(void* manager) {
    audio_manager = manager;
}
void* SimpleVideoFFmpeg::get_audio_manager() {
    return audio_manager;
}

bool SimpleVideoFFmpeg::set_parameter_int(const char* key, int value) {
    return qvx_ffmpeg::set_parameter_int(settings, key, value);
}

bool SimpleVideoFFmpeg::set_parameter_string(const char* key, const char* value) {
    return qvx_ffmpeg::set_parameter_string(settings, key, value);
}

bool SimpleVideoFFmpeg::is_hw_device_available(const char* name) {
    return qvx_ffmpeg::is_hw_device_available(name);
}

bool SimpleVideoFFmpeg::is_hw_device_used(int id, const char* name) {
    return qvx_ffmpeg::is_hw_device_used(find_block(id), name);
}

}  // namespace qvx
