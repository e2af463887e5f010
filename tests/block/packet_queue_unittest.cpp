// The packet queue is tested directly: its markers and counters carry the
// hand-over between the reader and the decoders.
#include <gtest/gtest.h>

#include <thread>

#include "block/ffmpeg.h"
#include "block/packet_queue.h"

namespace {

using qvx_ffmpeg::PacketQueue;

AVPacket* packet_of_size(int size) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, size);
    return packet;
}

// Each packet keeps the serial it was pushed with; the producer hears of
// every pop and done.
TEST(PacketQueue, KeepsOrderSerialsAndCountsPacketsAndBytes) {
    PacketQueue queue;
    int consumed = 0;
    queue.set_consumed_listener([&] { ++consumed; });
    EXPECT_EQ(queue.pop(), nullptr);
    EXPECT_EQ(queue.count, 0u);
    AVPacket* a = packet_of_size(10);
    AVPacket* b = packet_of_size(20);
    queue.push(a, 7);
    queue.push(b, 8);
    EXPECT_EQ(queue.count, 2u);
    EXPECT_EQ(queue.bytes, 30u);
    uint32_t serial = 0;
    AVPacket* first = queue.pop(&serial);
    EXPECT_EQ(first, a);
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(queue.count, 1u);
    EXPECT_EQ(queue.bytes, 20u);
    EXPECT_EQ(queue.in_flight, 1);
    queue.done();
    EXPECT_EQ(queue.in_flight, 0);
    EXPECT_EQ(consumed, 2);
    AVPacket* second = queue.pop_wait(std::chrono::milliseconds(0), &serial);
    EXPECT_EQ(second, b);
    EXPECT_EQ(serial, 8u);
    queue.done();
    av_packet_free(&second);
    av_packet_free(&first);
    queue.clear();
    EXPECT_EQ(queue.count, 0u);
    EXPECT_EQ(queue.bytes, 0u);
}

TEST(PacketQueue, ClearReleasesPacketsButNeverTheMarkers) {
    PacketQueue queue;
    queue.push(packet_of_size(100));
    queue.push(qvx_ffmpeg::flush_packet());
    queue.push(packet_of_size(100));
    queue.push(qvx_ffmpeg::drain_packet());
    queue.clear();
    EXPECT_EQ(queue.count, 0u);
    // The markers are still valid objects, recognised by identity.
    EXPECT_EQ(qvx_ffmpeg::flush_packet()->data,
              reinterpret_cast<uint8_t*>(qvx_ffmpeg::flush_packet()));
    queue.push(qvx_ffmpeg::flush_packet());
    EXPECT_EQ(queue.count, 1u);
    EXPECT_EQ(queue.bytes, 0u);
    EXPECT_EQ(queue.pop(), qvx_ffmpeg::flush_packet());
    queue.done();
}

TEST(PacketQueue, PopWaitReturnsOnPushAndOnWake) {
    PacketQueue queue;
    AVPacket* packet = packet_of_size(1);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.push(packet);
    });
    EXPECT_EQ(queue.pop_wait(std::chrono::seconds(10)), packet);
    queue.done();
    producer.join();
    av_packet_free(&packet);

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.wake();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.pop_wait(std::chrono::seconds(10)), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    waker.join();
}

}  // namespace
