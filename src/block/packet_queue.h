// A locked first-in first-out queue of demuxed packets between the reader
// thread and one decoder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "block/mutex.h"

struct AVPacket;

namespace qvx_ffmpeg {

// Markers travel through the queues by pointer identity and are never freed
// by a queue or a consumer. They live for the whole process: a block may
// hold or compare them at any time.
//   flush marker: the decoder drops what it has buffered (after a seek or
//                 rewind).
//   drain marker: the input has ended; the decoder gives out the frames it
//                 still holds, then is flushed so it can take new input.
AVPacket* flush_packet();
AVPacket* drain_packet();
inline bool is_marker(const AVPacket* packet) {
    return packet == flush_packet() || packet == drain_packet();
}

class PacketQueue {
public:
    PacketQueue() = default;
    ~PacketQueue();
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // serial: the block's video_serial when the packet was read; it travels
    // with the packet so that a consumer can tell packets from before a
    // repositioning from those after it.
    // duration_us: how long the packet plays (0 unknown), for the reader's
    // read-ahead.
    void push(AVPacket* packet, uint32_t serial = 0, int64_t duration_us = 0);
    AVPacket* pop(uint32_t* serial = nullptr);
    // pop(), waiting up to timeout for a packet to arrive; null when none
    // came or wake() was called.
    AVPacket* pop_wait(std::chrono::milliseconds timeout, uint32_t* serial = nullptr);
    void clear();
    // Ends any pop_wait() in progress (used by stops and seeks).
    void wake();
    // The consumer has finished with a packet it popped. Until then the
    // packet counts as in flight, so "nothing left" means count and in_flight
    // both at 0, with no gap between a pop and the work it starts, as long as
    // count is read first.
    void done();
    // Called (outside the queue's lock) after every pop and done(): the
    // producer waiting for room or for the consumer to finish is woken by
    // it instead of polling. Set before the queue is shared.
    void set_consumed_listener(std::function<void()> listener) { consumed_ = std::move(listener); }

    // Written under the lock, read without it; may be one operation old.
    std::atomic<uint64_t> count{0};
    // Sum of the packet payload sizes queued, for the reader's byte limit.
    std::atomic<uint64_t> bytes{0};
    // Sum of the queued packets' durations, microseconds.
    std::atomic<int64_t> duration_us{0};
    std::atomic<int> in_flight{0};

private:
    struct Queued {
        AVPacket* packet;
        uint32_t serial;
        int64_t duration_us;
    };
    AVPacket* take_front(uint32_t* serial) QVX_REQUIRES(lock_);
    void account_removed(const Queued& queued);
    void consumed() {
        if (consumed_) consumed_();
    }

    Mutex lock_;
    std::deque<Queued> packets_ QVX_GUARDED_BY(lock_);
    std::condition_variable arrived_;
    uint64_t wake_generation_ QVX_GUARDED_BY(lock_) = 0;
    std::function<void()> consumed_;
};

}  // namespace qvx_ffmpeg
