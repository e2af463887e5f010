#include <SDL.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "audio/audio.h"
#include "plugin/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr Uint32 sdl_subsystems = SDL_INIT_TIMER | SDL_INIT_AUDIO;
// Rates tried after the stream's own, from the high end; 0 ends the table.
constexpr int fallback_sample_rates[] = {0, 44100, 48000, 96000, 192000};

// Guards SDL start-up, shut-down and device open/close for every block:
// readers of blocks started together open their devices concurrently.
std::mutex sdl_mutex;
int sdl_initialized = 0;  // guarded by sdl_mutex
int open_devices = 0;     // guarded by sdl_mutex; opened and not yet closed

// Closing an SDL device waits for its audio thread, a few device buffers
// (about 250 ms with 4096-sample buffers). A paused device never calls its
// callback again, so the block can go at once; the close itself is left to
// a closer thread, which also ends SDL after the plug-in's last device.
struct DeviceCloser {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<SDL_AudioDeviceID> pending;  // guarded by mutex
    bool running = false;                   // guarded by mutex
    std::thread thread;                     // started and joined under mutex

    ~DeviceCloser() { wait_idle(); }

    void close_later(SDL_AudioDeviceID device) {
        std::lock_guard<std::mutex> guard(mutex);
        pending.push_back(device);
        if (running) return;
        if (thread.joinable()) thread.join();  // the previous run has ended
        running = true;
        thread = std::thread([this] { run(); });
    }

    // Returns once every pending device is closed and the closer has ended.
    void wait_idle() {
        std::unique_lock<std::mutex> guard(mutex);
        idle.wait(guard, [this] { return !running; });
        if (thread.joinable()) thread.join();
    }

private:
    void run();
};

DeviceCloser closer;

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

bool init_sdl_locked() {
    if (sdl_initialized) return true;
    // A host that runs SDL's events itself keeps its own event filtering.
    const bool host_events = SDL_WasInit(SDL_INIT_EVENTS) != 0;
    SDL_SetMainReady();
    if (SDL_InitSubSystem(sdl_subsystems) != 0) {
        logger().tracef("[FFmpeg] unable to initialize SDL - %s", SDL_GetError());
        return false;
    }
    SDL_version version{};
    SDL_GetVersion(&version);
    logger().tracef("[FFmpeg] SDL2 %d.%d.%d initialization ok", version.major, version.minor,
                    version.patch);
    if (const char* revision = SDL_GetRevision())
        logger().tracef("[FFmpeg] SDL2 rev: %s", revision);
    if (!host_events) {
        SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
        SDL_EventState(SDL_USEREVENT, SDL_IGNORE);
    }
    const int drivers = SDL_GetNumAudioDrivers();
    logger().tracef("[FFmpeg] number of built-in SDL audio drivers: %d", drivers);
    for (int i = 0; i < drivers; ++i) {
        if (const char* name = SDL_GetAudioDriver(i))
            logger().tracef("[FFmpeg] SDL audio driver %d: %s", i, name);
    }
    if (const char* current = SDL_GetCurrentAudioDriver())
        logger().tracef("[FFmpeg] current SDL audio driver: %s", current);
    sdl_initialized = 1;
    return true;
}

void quit_sdl_locked() {
    if (!sdl_initialized) return;
    SDL_QuitSubSystem(sdl_subsystems);
    sdl_initialized = 0;
}

void DeviceCloser::run() {
    for (;;) {
        SDL_AudioDeviceID device;
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (pending.empty()) {
                running = false;
                idle.notify_all();
                return;
            }
            device = pending.front();
            pending.pop_front();
        }
        std::lock_guard<std::mutex> guard(sdl_mutex);
        SDL_CloseAudioDevice(device);
        // Other blocks keep playing; SDL ends with the plug-in's last device.
        if (--open_devices == 0) quit_sdl_locked();
    }
}

SDL_AudioDeviceID open_device(AudioVideoBlock* block, SDL_AudioSpec* obtained) {
    // The stream's rate first, then the table from the high end, each once.
    int rates[1 + sizeof fallback_sample_rates / sizeof fallback_sample_rates[0]];
    int count = 0;
    rates[count++] = block->audio_sample_rate;
    for (int i =
             static_cast<int>(sizeof fallback_sample_rates / sizeof fallback_sample_rates[0]) - 1;
         i >= 0 && fallback_sample_rates[i] != 0; --i) {
        if (fallback_sample_rates[i] != block->audio_sample_rate)
            rates[count++] = fallback_sample_rates[i];
    }
    for (int i = 0; i < count; ++i) {
        SDL_AudioSpec desired{};
        desired.freq = rates[i];
        desired.format = AUDIO_S16SYS;
        desired.channels = 2;
        desired.silence = 0;
        desired.samples = device_buffer_samples;
        desired.callback = audio_callback;
        desired.userdata = block;
        const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &desired, obtained, 0);
        if (device != 0) {
            logger().tracef("[FFmpeg] SDL2 - open audio device success");
            logger().tracef(
                "[FFmpeg] SDL2 - desired specs: format: %d, channels: %d, samples: %d, sampling "
                "rate: %d",
                desired.format, desired.channels, desired.samples, desired.freq);
            logger().tracef(
                "[FFmpeg] SDL2 - actual specs: format: %d, channels: %d, samples: %d, sampling "
                "rate: %d",
                obtained->format, obtained->channels, obtained->samples, obtained->freq);
            return device;
        }
        logger().tracef_error("[FFmpeg] SDL2 - failed to open audio: %s  (audio/video block %d)",
                              SDL_GetError(), block->id);
        logger().tracef_error(
            "[FFmpeg] SDL2 - format: %d, channels: %d, samples: %d - sampling rate: %d",
            desired.format, desired.channels, desired.samples, desired.freq);
    }
    logger().tracef_error("[FFmpeg] SDL2 - No more combinations to try, audio open failed.");
    return 0;
}

void init_resampler(AudioVideoBlock* block) {
    logger().tracef("[FFmpeg] initializing audio resampler...");
    if (block->swr_ctx) swr_free(&block->swr_ctx);
    AVCodecContext* ctx = block->audio_codec_ctx;
    swr_alloc_set_opts2(&block->swr_ctx, &block->out_ch_layout, AV_SAMPLE_FMT_S16,
                        block->out_sample_rate, &ctx->ch_layout, ctx->sample_fmt,
                        block->audio_sample_rate, 0, nullptr);
    if (block->swr_ctx) {
        const int r = swr_init(block->swr_ctx);
        if (r != 0) {
            char text[256] = {0};
            av_strerror(r, text, sizeof text - 1);
            logger().tracef_error("[FFmpeg] audio resampler init failed - swr_init ret0: %d - %s",
                                  r, text);
        }
    }
    if (block->swr_ctx && swr_is_initialized(block->swr_ctx)) {
        logger().tracef("[FFmpeg] audio resampler initialized ok.");
    } else {
        logger().tracef_error("[FFmpeg] *** audio resampler has not been properly initialized ***");
    }
}

}  // namespace

bool init_sdl_audio() {
    std::lock_guard<std::mutex> guard(sdl_mutex);
    return init_sdl_locked();
}

bool sdl_audio_started() {
    std::lock_guard<std::mutex> guard(sdl_mutex);
    return sdl_initialized != 0;
}

bool open_audio_device(AudioVideoBlock* block) {
    if (block == nullptr) return false;
    if (block->audio_device_open) return true;
    if (block->audio_codec_ctx == nullptr) return false;
    // The closer may hold SDL for a while; a block stopped meanwhile gives up
    // its open instead of holding up its own stop.
    std::unique_lock<std::mutex> guard(sdl_mutex, std::try_to_lock);
    while (!guard.owns_lock()) {
        if (block->audio_stop) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        guard.try_lock();
    }
    init_sdl_locked();  // a failed start-up shows as a failed open
    SDL_AudioSpec obtained{};
    const SDL_AudioDeviceID device = open_device(block, &obtained);
    if (device == 0) {
        if (open_devices == 0) quit_sdl_locked();
        return false;
    }
    ++open_devices;
    block->audio_device = device;
    block->out_channels = obtained.channels;
    block->out_sample_rate = obtained.freq;
    block->out_samples = obtained.samples;
    // Fully set up before the first callback.
    init_resampler(block);
    block->audio_device_open = true;
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void close_audio_device(AudioVideoBlock* block) {
    if (block == nullptr || !block->audio_device_open.exchange(false)) return;
    // The callback sees audio_stop and returns at once, so pausing (which
    // waits for a callback in progress) cannot hang. Once paused, the device
    // never calls back into this block again.
    block->audio_stop = true;
    const SDL_AudioDeviceID device = block->audio_device;
    block->audio_device = 0;
    if (device == 0) return;
    SDL_PauseAudioDevice(device, 1);
    closer.close_later(device);
}

void quit_sdl_audio() {
    closer.wait_idle();
    std::lock_guard<std::mutex> guard(sdl_mutex);
    quit_sdl_locked();
}

void release_sdl_audio_later() {
    std::lock_guard<std::mutex> guard(sdl_mutex);
    if (open_devices == 0) quit_sdl_locked();
}

}  // namespace qvx_ffmpeg
