#include "packet_queue.h"

#include "media/ffmpeg.h"

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

void PacketQueue::account_removed(const AVPacket* packet) {
    if (!is_marker(packet)) bytes -= static_cast<uint64_t>(packet->size);
}

void PacketQueue::push(AVPacket* packet) {
    if (packet == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        packets_.push_back(packet);
        count = packets_.size();
        if (!is_marker(packet)) bytes += static_cast<uint64_t>(packet->size);
    }
    arrived_.notify_one();
}

uint64_t PacketQueue::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return packets_.size();
}

AVPacket* PacketQueue::pop() {
    std::lock_guard<std::mutex> guard(lock_);
    if (packets_.empty()) return nullptr;
    AVPacket* packet = packets_.front();
    packets_.pop_front();
    count = packets_.size();
    account_removed(packet);
    ++in_flight;
    return packet;
}

AVPacket* PacketQueue::pop_wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    const uint64_t generation = wake_generation_;
    arrived_.wait_for(guard, timeout,
                      [&] { return !packets_.empty() || wake_generation_ != generation; });
    if (packets_.empty()) return nullptr;
    AVPacket* packet = packets_.front();
    packets_.pop_front();
    count = packets_.size();
    account_removed(packet);
    ++in_flight;
    return packet;
}

void PacketQueue::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    for (AVPacket* packet : packets_) {
        if (!is_marker(packet)) av_packet_free(&packet);
    }
    packets_.clear();
    count = 0;
    bytes = 0;
}

void PacketQueue::done() {
    --in_flight;
}

void PacketQueue::wake() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++wake_generation_;
    }
    arrived_.notify_all();
}

}  // namespace qvx_ffmpeg
