#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

namespace {

constexpr Uint32 sdl_subsystems = SDL_INIT_TIMER | SDL_INIT_AUDIO;
// Rates tried after the first choice, from the high end; 0 ends the table.
constexpr int fallback_sample_rates[] = {0, 44100, 48000, 96000, 192000};
// Upper bound of one wait for SDL, so that a missed wake-up costs little.
constexpr int sdl_wait_slice_ms = 50;

qvx::LogMgr& logger() {
    return qvx::LogMgr::get();
}

// Serialises SDL start-up, shut-down and device opens for every block
// (readers of blocks started together open their devices at once). A
// block waiting for it also wakes when it is stopped, so a stopped block
// gives up its open at once. Device closes run outside it: a close waits
// for the device's thread, and nothing else may wait on that.
class SdlGate {
public:
    void lock() {
        MutexLock guard(mutex_);
        guard.wait(released_, [this]() QVX_REQUIRES(mutex_) { return !busy_; });
        busy_ = true;
        busy_flag_ = true;
    }

    // false when the block was stopped, or SDL stayed busy past the deadline.
    bool lock_for(AudioVideoBlock* block) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(max_device_open_wait_ms);
        MutexLock guard(mutex_);
        waiters_.push_back(block);
        bool taken = false;
        for (;;) {
            if (!busy_) {
                busy_ = true;
                busy_flag_ = true;
                taken = true;
                break;
            }
            if (block->audio.stop || std::chrono::steady_clock::now() >= deadline) break;
            guard.unlock();
            wait_block(block, std::chrono::milliseconds(sdl_wait_slice_ms),
                       [this, block] { return block->audio.stop || !busy_flag_; });
            guard.lock();
        }
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), block));
        return taken;
    }

    void unlock() {
        MutexLock guard(mutex_);
        busy_ = false;
        busy_flag_ = false;
        released_.notify_all();
        // Under the gate's mutex: a waiter leaves the list (and may go
        // away) only once it holds it.
        for (AudioVideoBlock* waiter : waiters_) notify_block(waiter);
    }

private:
    Mutex mutex_;
    std::condition_variable released_;
    bool busy_ QVX_GUARDED_BY(mutex_) = false;
    // busy_ for the waits on a block's own signal, which run without mutex_.
    std::atomic<bool> busy_flag_{false};
    std::vector<AudioVideoBlock*> waiters_ QVX_GUARDED_BY(mutex_);
};

SdlGate sdl_gate;
int sdl_initialized = 0;  // guarded by sdl_gate
int open_devices = 0;     // guarded by sdl_gate; opened and not yet closed

class GateHold {
public:
    GateHold() { sdl_gate.lock(); }
    explicit GateHold(AudioVideoBlock* block) : held_(sdl_gate.lock_for(block)) {}
    ~GateHold() {
        if (held_) sdl_gate.unlock();
    }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;
    bool held() const { return held_; }

private:
    bool held_ = true;
};

// Closing an SDL device waits for its audio thread, up to a device buffer.
// A paused device never calls its callback again, so the block can go at
// once; the close itself is left to a closer thread, which also ends SDL
// after the plug-in's last device.
struct DeviceCloser {
    Mutex mutex;
    std::condition_variable idle;
    std::deque<SDL_AudioDeviceID> pending QVX_GUARDED_BY(mutex);
    bool running QVX_GUARDED_BY(mutex) = false;
    std::thread thread QVX_GUARDED_BY(mutex);

    ~DeviceCloser() { wait_idle(); }

    void close_later(SDL_AudioDeviceID device) {
        MutexLock guard(mutex);
        pending.push_back(device);
        if (running) return;
        if (thread.joinable()) thread.join();  // the previous run has ended
        running = true;
        thread = std::thread([this] { run(); });
    }

    // Returns once every pending device is closed and the closer has ended.
    void wait_idle() {
        MutexLock guard(mutex);
        guard.wait(idle, [this]() QVX_REQUIRES(mutex) { return !running; });
        if (thread.joinable()) thread.join();
    }

private:
    void run();
};

DeviceCloser closer;

bool init_sdl_locked() {
    if (sdl_initialized) return true;
    // A host that runs SDL's events itself keeps its own event filtering.
    const bool host_events = SDL_WasInit(SDL_INIT_EVENTS) != 0;
    // SDL's audio starts its event loop, which would otherwise install
    // SIGINT/SIGTERM handlers in the host's process. A host that chose
    // otherwise (hint or environment) keeps its choice.
    if (SDL_GetHint(SDL_HINT_NO_SIGNAL_HANDLERS) == nullptr)
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
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
            MutexLock guard(mutex);
            if (pending.empty()) {
                running = false;
                idle.notify_all();
                return;
            }
            device = pending.front();
            pending.pop_front();
        }
        // Still counted as open while it closes, so SDL cannot end under it.
        SDL_CloseAudioDevice(device);
        GateHold gate;
        // Other blocks keep playing; SDL ends with the plug-in's last device.
        if (--open_devices == 0) quit_sdl_locked();
    }
}

// The rate a device is first asked for: the stream's own where it is sane.
int first_device_rate(AudioVideoBlock* block) {
    const int rate = block->facts.audio_sample_rate;
    if (rate >= min_device_rate_hz && rate <= max_device_rate_hz) return rate;
    logger().tracef_warning(
        "[FFmpeg] open_audio_device - the stream's sample rate (%d Hz) is outside %d..%d Hz, its "
        "sound is resampled to %d Hz (audio/video block %d)",
        rate, min_device_rate_hz, max_device_rate_hz, fallback_device_rate_hz, block->id);
    return fallback_device_rate_hz;
}

SDL_AudioDeviceID open_device(AudioVideoBlock* block, SDL_AudioSpec* obtained) {
    // The first choice, then the table from the high end, each once.
    const int first = first_device_rate(block);
    int rates[1 + sizeof fallback_sample_rates / sizeof fallback_sample_rates[0]];
    int count = 0;
    rates[count++] = first;
    for (int i =
             static_cast<int>(sizeof fallback_sample_rates / sizeof fallback_sample_rates[0]) - 1;
         i >= 0 && fallback_sample_rates[i] != 0; --i) {
        if (fallback_sample_rates[i] != first) rates[count++] = fallback_sample_rates[i];
    }
    for (int i = 0; i < count; ++i) {
        SDL_AudioSpec desired{};
        desired.freq = rates[i];
        desired.format = AUDIO_S16SYS;
        desired.channels = 2;
        desired.silence = 0;
        desired.samples = static_cast<Uint16>(device_buffer_samples(rates[i]));
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

}  // namespace

int device_buffer_samples(int rate_hz) {
    int samples = 256;
    while (static_cast<int64_t>(samples) * 2 * 1000 <=
           static_cast<int64_t>(rate_hz) * max_device_buffer_ms)
        samples *= 2;
    return samples;
}

bool open_audio_device(AudioVideoBlock* block) {
    if (block == nullptr) return false;
    if (block->audio.device_open) return true;
    if (block->audio.codec_ctx == nullptr) return false;
    GateHold gate(block);
    if (!gate.held()) {
        if (!block->audio.stop)
            logger().tracef_error(
                "[FFmpeg] open_audio_device - SDL stayed busy for %d ms, the block plays without "
                "sound (audio/video block %d)",
                max_device_open_wait_ms, block->id);
        return false;
    }
    init_sdl_locked();  // a failed start-up shows as a failed open
    SDL_AudioSpec obtained{};
    const SDL_AudioDeviceID device = open_device(block, &obtained);
    if (device == 0) {
        if (open_devices == 0) quit_sdl_locked();
        return false;
    }
    ++open_devices;
    block->audio.device = device;
    block->audio.out_channels = obtained.channels;
    block->audio.out_sample_rate = obtained.freq;
    // The sound starts afresh; the resampler follows the first frame.
    block->audio.sound.segment_start = true;
    block->audio.played_out = false;
    block->audio.sound.swr_in_format = -1;
    block->audio.device_open = true;
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void close_audio_device(AudioVideoBlock* block) {
    if (block == nullptr) return;
    if (block->audio.device_open.exchange(false)) {
        // The callback sees audio_stop and returns at once, so pausing
        // (which waits for a callback in progress) cannot hang. Once paused,
        // the device never calls back into this block again.
        block->audio.stop = true;
        const SDL_AudioDeviceID device = block->audio.device;
        block->audio.device = 0;
        if (device != 0) {
            SDL_PauseAudioDevice(device, 1);
            closer.close_later(device);
        }
    }
    // No callback runs from here on.
    av_channel_layout_uninit(&block->audio.sound.swr_in_layout);
    block->audio.sound.swr_in_format = -1;
}

void quit_sdl_audio() {
    closer.wait_idle();
    GateHold gate;
    quit_sdl_locked();
}

void release_sdl_audio_later() {
    GateHold gate;
    if (open_devices == 0) quit_sdl_locked();
}

}  // namespace qvx_ffmpeg
