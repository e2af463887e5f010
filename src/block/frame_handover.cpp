// The block's pool of converted-frame slots and the queue that hands them
// from the video thread to the host.
#include <algorithm>
#include <cmath>

#include "block/audio_video_block.h"

namespace qvx_ffmpeg {

bool ensure_frame_pool(AudioVideoBlock* block) {
    if (block == nullptr) return false;
    FramePool& pool = block->handover.frame_pool;
    if (!pool.entries.empty()) return true;
    pool.entries = std::vector<FramePoolEntry>(frame_pool_size);
    for (size_t i = 0; i < pool.entries.size(); ++i)
        pool.entries[i].index = static_cast<int64_t>(i);
    return true;
}

void wake_frame_waiters(AudioVideoBlock* block) {
    // Pairs with the fence of the converter's wait: either it sees the entry
    // just released or this sees its flag.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (block->video.waits_for_entry || block->reader.waits_for_consumers) notify_block(block);
}

int frames_queued(const AudioVideoBlock* block) {
    int queued = 0;
    for (const FramePoolEntry& entry : block->handover.frame_pool.entries)
        queued += entry.in_use.load(std::memory_order_acquire) != 0 ? 1 : 0;
    return queued;
}

FramePoolEntry* pop_decoded_frame(AudioVideoBlock* block) {
    MutexLock guard(block->handover.decoded_frames_lock);
    if (block->handover.decoded_frames.empty()) return nullptr;
    FramePoolEntry* entry = block->handover.decoded_frames.front();
    block->handover.decoded_frames.pop_front();
    return entry;
}

namespace {

double frame_seconds(const AudioVideoBlock* block) {
    return block->facts.video_fps > 0.0 ? 1.0 / block->facts.video_fps : 1.0 / 30.0;
}

double max_picture_lag_seconds(const AudioVideoBlock* block) {
    return std::max(max_picture_lag_ms / 1000.0, max_picture_lag_frames * frame_seconds(block));
}

}  // namespace

void note_host_update(AudioVideoBlock* block) {
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    const int64_t last_ns = block->handover.last_update_ns.exchange(now_ns);
    if (last_ns == 0) return;
    // Averaged over about eight updates, each counted as at most two frames:
    // a host that stalls once (descheduled on a loaded machine, loading
    // something) is still fast, drains what piled up and misses nothing.
    const double interval_s =
        std::min(static_cast<double>(now_ns - last_ns) / 1e9, 2.0 * frame_seconds(block));
    const double average_s = block->handover.update_interval_s.load(std::memory_order_relaxed);
    block->handover.update_interval_s.store(
        average_s == 0.0 ? interval_s : average_s + (interval_s - average_s) / 8.0,
        std::memory_order_relaxed);
}

bool host_is_slow(const AudioVideoBlock* block) {
    return block->handover.update_interval_s.load(std::memory_order_relaxed) >=
           slow_host_update_frames * frame_seconds(block);
}

int frames_for_host(const AudioVideoBlock* block) {
    const double lag_frames = std::ceil(max_picture_lag_seconds(block) / frame_seconds(block));
    return static_cast<int>(
        std::clamp(lag_frames + 2.0, double{min_frames_for_host}, double{max_frames_for_host}));
}

bool superseded(AudioVideoBlock* block, const FramePoolEntry* entry) {
    if (!host_is_slow(block)) return false;
    MutexLock guard(block->handover.decoded_frames_lock);
    if (block->handover.decoded_frames.empty()) return false;
    const FramePoolEntry* newest = block->handover.decoded_frames.back();
    // Across a loop or repositioning the times start over: nothing to compare.
    return newest->serial == entry->serial &&
           newest->seconds - entry->seconds > max_picture_lag_seconds(block);
}

void release_decoded_frame(FramePoolEntry* entry) {
    // A picture held by reference is the decoder's: let it go back to the
    // decoder's pool now. Kept until the entry's next use, every entry ever
    // filled would hold one, and the decoder would allocate (and zero) a
    // fresh picture for each frame it decodes meanwhile.
    if (entry->pixels == FramePoolEntry::Pixels::reference) {
        av_frame_unref(entry->frame.get());
        entry->pixels = FramePoolEntry::Pixels::none;
        entry->bytes = 0;
    }
    entry->in_use.store(0, std::memory_order_release);
}

void drop_decoded_frames(AudioVideoBlock* block) {
    while (FramePoolEntry* entry = pop_decoded_frame(block)) release_decoded_frame(entry);
}

bool frame_is_stale(const AudioVideoBlock* block, const FramePoolEntry* entry) {
    // Serials wrap: what counts is which comes first.
    return static_cast<int32_t>(entry->serial - block->handover.shown_serial_floor.load()) < 0;
}

}  // namespace qvx_ffmpeg
