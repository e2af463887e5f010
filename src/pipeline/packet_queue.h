// A locked first-in first-out queue of demuxed packets between the reader
// thread and one decoder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

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

    void push(AVPacket* packet);
    uint64_t size();
    AVPacket* pop();
    // pop(), waiting up to timeout for a packet to arrive; null when none
    // came or wake() was called.
    AVPacket* pop_wait(std::chrono::milliseconds timeout);
    void clear();
    // Ends any pop_wait() in progress (used by stops and seeks).
    void wake();
    // The consumer has finished with a packet it popped. Until then the
    // packet counts as in flight, so "nothing left" means count and in_flight
    // both at 0, with no gap between a pop and the work it starts.
    void done();

    // Written under the lock, read without it; may be one operation old.
    std::atomic<uint64_t> count{0};
    // Sum of the packet payload sizes queued, for the reader's byte limit.
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> in_flight{0};
    std::string name;

private:
    void account_removed(const AVPacket* packet);

    std::deque<AVPacket*> packets_;
    std::mutex lock_;
    std::condition_variable arrived_;
    uint64_t wake_generation_ = 0;
};

}  // namespace qvx_ffmpeg
