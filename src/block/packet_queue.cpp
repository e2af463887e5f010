#include "block/packet_queue.h"

#include "block/ffmpeg.h"

namespace qvx_ffmpeg {

namespace {

AVPacket* make_marker() {
    AVPacket* packet = av_packet_alloc();
    if (packet) packet->data = reinterpret_cast<uint8_t*>(packet);
    return packet;
}

}  // namespace

AVPacket* flush_packet() {
    static AVPacket* const marker = make_marker();
    return marker;
}

AVPacket* drain_packet() {
    static AVPacket* const marker = make_marker();
    return marker;
}

PacketQueue::~PacketQueue() {
    clear();
}

void PacketQueue::account_removed(const Queued& queued) {
    if (!is_marker(queued.packet)) bytes -= static_cast<uint64_t>(queued.packet->size);
    duration_us -= queued.duration_us;
}

void PacketQueue::push(AVPacket* packet, uint32_t serial, int64_t duration_us) {
    if (packet == nullptr) return;
    {
        MutexLock guard(lock_);
        packets_.push_back({packet, serial, duration_us});
        count = packets_.size();
        if (!is_marker(packet)) bytes += static_cast<uint64_t>(packet->size);
        this->duration_us += duration_us;
    }
    arrived_.notify_one();
}

// At least one packet is queued.
AVPacket* PacketQueue::take_front(uint32_t* serial) {
    const Queued queued = packets_.front();
    packets_.pop_front();
    // In flight before it leaves the count: a reader of count and then
    // in_flight, without the lock, never sees the packet in neither (the
    // reader would rewind a looping input under a decoder still draining).
    ++in_flight;
    count = packets_.size();
    account_removed(queued);
    if (serial) *serial = queued.serial;
    return queued.packet;
}

AVPacket* PacketQueue::pop(uint32_t* serial) {
    AVPacket* packet = nullptr;
    {
        MutexLock guard(lock_);
        if (packets_.empty()) return nullptr;
        packet = take_front(serial);
    }
    consumed();
    return packet;
}

AVPacket* PacketQueue::pop_wait(std::chrono::milliseconds timeout, uint32_t* serial) {
    AVPacket* packet = nullptr;
    {
        MutexLock guard(lock_);
        const uint64_t generation = wake_generation_;
        guard.wait_for(arrived_, timeout, [&]() QVX_REQUIRES(lock_) {
            return !packets_.empty() || wake_generation_ != generation;
        });
        if (packets_.empty()) return nullptr;
        packet = take_front(serial);
    }
    consumed();
    return packet;
}

void PacketQueue::clear() {
    MutexLock guard(lock_);
    for (const Queued& queued : packets_) {
        // Markers are shared and never freed.
        const PacketPtr dropped(is_marker(queued.packet) ? nullptr : queued.packet);
    }
    packets_.clear();
    count = 0;
    bytes = 0;
    duration_us = 0;
}

void PacketQueue::done() {
    --in_flight;
    consumed();
}

void PacketQueue::wake() {
    {
        MutexLock guard(lock_);
        ++wake_generation_;
    }
    arrived_.notify_all();
}

}  // namespace qvx_ffmpeg
