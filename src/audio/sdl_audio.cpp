#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
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

// One SDL device and the blocks whose sound it plays. SDL opens at most 15
// devices in a process, and some drivers only one: a block that gets no
// device of its own shares one, whose callback mixes the blocks' sound.
struct OutputDevice {
    SDL_AudioDeviceID id = 0;
    int rate_hz = 0;  // the rate its first block asked for (obtained may differ)
    SDL_AudioSpec obtained{};
    // Written under the SDL device's lock, which the callback runs under.
    std::vector<AudioVideoBlock*> blocks;
    std::vector<SoundShare> shares;  // one for each block
    std::vector<uint8_t> scratch;    // a device buffer, for the second block on
};

// Runs on SDL's audio thread with the device locked: it never waits.
void output_callback(void* userdata, uint8_t* stream, int len) {
    auto* output = static_cast<OutputDevice*>(userdata);
    if (output == nullptr || stream == nullptr || len <= 0) return;
    if (output->scratch.size() < static_cast<size_t>(len)) output->scratch.resize(len);
    // The first block with sound writes the buffer itself, the others mix in.
    bool any = false;
    for (size_t i = 0; i < output->blocks.size(); ++i) {
        uint8_t* out = any ? output->scratch.data() : stream;
        const bool audible = fill_block_sound(output->blocks[i], out, len, &output->shares[i]);
        // SDL's mixer adds at full volume, clipping at full scale.
        if (audible && any)
            SDL_MixAudioFormat(stream, out, AUDIO_S16SYS, static_cast<Uint32>(len),
                               SDL_MIX_MAXVOLUME);
        any = any || audible;
    }
    if (output->blocks.empty()) std::memset(stream, 0, static_cast<size_t>(len));
    // The whole buffer is heard at once: each block notes it only after
    // every block has had its decoding time.
    for (size_t i = 0; i < output->blocks.size(); ++i)
        note_share_heard(output->blocks[i], output->shares[i]);
}

// The devices open: opens and joins change it under the gate as well,
// closes under this lock only.
Mutex outputs_mutex;
std::vector<std::unique_ptr<OutputDevice>> outputs QVX_GUARDED_BY(outputs_mutex);
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
    std::deque<std::unique_ptr<OutputDevice>> pending QVX_GUARDED_BY(mutex);
    bool running QVX_GUARDED_BY(mutex) = false;
    std::thread thread QVX_GUARDED_BY(mutex);

    ~DeviceCloser() { wait_idle(); }

    void close_later(std::unique_ptr<OutputDevice> device) {
        MutexLock guard(mutex);
        pending.push_back(std::move(device));
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
        std::unique_ptr<OutputDevice> device;
        {
            MutexLock guard(mutex);
            if (pending.empty()) {
                running = false;
                idle.notify_all();
                return;
            }
            device = std::move(pending.front());
            pending.pop_front();
        }
        // Still counted as open while it closes, so SDL cannot end under it.
        SDL_CloseAudioDevice(device->id);
        device.reset();
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

SDL_AudioSpec desired_spec(int rate_hz, OutputDevice* output) {
    SDL_AudioSpec desired{};
    desired.freq = rate_hz;
    desired.format = AUDIO_S16SYS;
    desired.channels = 2;
    desired.silence = 0;
    desired.samples = static_cast<Uint16>(device_buffer_samples(rate_hz));
    desired.callback = output_callback;
    desired.userdata = output;
    return desired;
}

void log_specs(const SDL_AudioSpec& desired, const SDL_AudioSpec& obtained) {
    logger().tracef(
        "[FFmpeg] SDL2 - desired specs: format: %d, channels: %d, samples: %d, sampling rate: %d",
        desired.format, desired.channels, desired.samples, desired.freq);
    logger().tracef(
        "[FFmpeg] SDL2 - actual specs: format: %d, channels: %d, samples: %d, sampling rate: %d",
        obtained.format, obtained.channels, obtained.samples, obtained.freq);
}

// Opens a paused device for sound that asks for `first` Hz: at that rate,
// then (`fall_back`) the table from the high end, each once.
bool open_device(AudioVideoBlock* block, int first, bool fall_back, OutputDevice* output) {
    int rates[1 + sizeof fallback_sample_rates / sizeof fallback_sample_rates[0]];
    int count = 0;
    rates[count++] = first;
    for (int i = fall_back ? static_cast<int>(sizeof fallback_sample_rates /
                                              sizeof fallback_sample_rates[0]) -
                                 1
                           : -1;
         i >= 0 && fallback_sample_rates[i] != 0; --i) {
        if (fallback_sample_rates[i] != first) rates[count++] = fallback_sample_rates[i];
    }
    for (int i = 0; i < count; ++i) {
        const SDL_AudioSpec desired = desired_spec(rates[i], output);
        output->id = SDL_OpenAudioDevice(nullptr, 0, &desired, &output->obtained, 0);
        if (output->id != 0) {
            output->rate_hz = first;
            logger().tracef("[FFmpeg] SDL2 - open audio device success");
            log_specs(desired, output->obtained);
            return true;
        }
        logger().tracef_error("[FFmpeg] SDL2 - failed to open audio: %s  (audio/video block %d)",
                              SDL_GetError(), block->id);
        logger().tracef_error(
            "[FFmpeg] SDL2 - format: %d, channels: %d, samples: %d - sampling rate: %d",
            desired.format, desired.channels, desired.samples, desired.freq);
    }
    if (fall_back)
        logger().tracef_error("[FFmpeg] SDL2 - No more combinations to try, audio open failed.");
    return false;
}

// The block's sound starts afresh on the device; the resampler follows the
// first frame.
void join_output(AudioVideoBlock* block, OutputDevice* output) QVX_REQUIRES(outputs_mutex) {
    block->audio.device = output->id;
    block->audio.out_channels = output->obtained.channels;
    block->audio.out_sample_rate = output->obtained.freq;
    block->audio.sound.segment_start = true;
    block->audio.played_out = false;
    block->audio.sound.swr_in_format = -1;
    block->audio.device_open = true;
    SDL_LockAudioDevice(output->id);
    output->blocks.push_back(block);
    output->shares.resize(output->blocks.size());
    SDL_UnlockAudioDevice(output->id);
}

// Another block's device plays this block's sound too.
void share_output(AudioVideoBlock* block, int rate, OutputDevice* output)
    QVX_REQUIRES(outputs_mutex) {
    logger().tracef(
        "[FFmpeg] SDL2 - audio/video block %d plays into the open audio device of %d Hz, with %d "
        "other block(s)",
        block->id, output->obtained.freq, static_cast<int>(output->blocks.size()));
    log_specs(desired_spec(rate, output), output->obtained);
    join_output(block, output);
}

// The device a block of `rate` Hz shares when it gets none of its own: one
// of its rate, else the fastest (the sound is resampled to its rate); of
// these the one with the fewest blocks.
OutputDevice* output_to_share(int rate) QVX_REQUIRES(outputs_mutex) {
    OutputDevice* best = nullptr;
    auto key = [rate](const OutputDevice* output) {
        return std::make_tuple(output->rate_hz == rate, output->obtained.freq,
                               -static_cast<int>(output->blocks.size()));
    };
    for (const std::unique_ptr<OutputDevice>& output : outputs) {
        if (best == nullptr || key(output.get()) > key(best)) best = output.get();
    }
    return best;
}

// A device just opened (under the gate) starts with the block's sound.
void start_output(AudioVideoBlock* block, std::unique_ptr<OutputDevice> output) {
    ++open_devices;
    output->scratch.resize(output->obtained.size);
    MutexLock guard(outputs_mutex);
    join_output(block, output.get());
    SDL_PauseAudioDevice(output->id, 0);
    outputs.push_back(std::move(output));
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
    const int rate = first_device_rate(block);
    bool others_open = false;
    {
        MutexLock guard(outputs_mutex);
        others_open = !outputs.empty();
    }
    // A device of its own first: each device decodes on its own thread,
    // and a driver paced by its callbacks (SDL's disk driver) would run slow
    // behind one that decodes for many blocks. With other devices open, a
    // refusal comes from SDL's or the driver's limit, not from the rate:
    // one try, then the block shares.
    auto output = std::make_unique<OutputDevice>();
    if (open_device(block, rate, !others_open, output.get())) {
        start_output(block, std::move(output));
        return true;
    }
    if (others_open) {
        {
            MutexLock guard(outputs_mutex);
            if (OutputDevice* shared = output_to_share(rate)) {
                share_output(block, rate, shared);
                return true;
            }
        }
        // The devices open before have closed meanwhile.
        if (open_device(block, rate, true, output.get())) {
            start_output(block, std::move(output));
            return true;
        }
    }
    if (open_devices == 0) quit_sdl_locked();
    return false;
}

void close_audio_device(AudioVideoBlock* block) {
    if (block == nullptr) return;
    if (block->audio.device_open.exchange(false)) {
        block->audio.stop = true;
        std::unique_ptr<OutputDevice> unused;
        {
            MutexLock guard(outputs_mutex);
            for (auto it = outputs.begin(); it != outputs.end(); ++it) {
                OutputDevice& output = **it;
                if (output.id != block->audio.device) continue;
                // Waits out a callback in progress, which never waits itself
                // (and sees audio.stop); from here on no callback reaches
                // this block.
                SDL_LockAudioDevice(output.id);
                const auto found = std::find(output.blocks.begin(), output.blocks.end(), block);
                if (found != output.blocks.end()) output.blocks.erase(found);
                output.shares.resize(output.blocks.size());
                SDL_UnlockAudioDevice(output.id);
                if (output.blocks.empty()) {
                    unused = std::move(*it);
                    outputs.erase(it);
                }
                break;
            }
        }
        block->audio.device = 0;
        // A paused device never calls back again; closing it waits for its
        // thread, which the closer does.
        if (unused != nullptr) {
            SDL_PauseAudioDevice(unused->id, 1);
            closer.close_later(std::move(unused));
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
