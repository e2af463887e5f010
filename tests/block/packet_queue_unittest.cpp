// The packet queue between the reader and a decoder: its markers, serials
// and counters carry the hand-over.
#include <gtest/gtest.h>

#include <thread>

#include "block/ffmpeg.h"
#include "block/packet_queue.h"

namespace {

using qvx_ffmpeg::flush_packet;
using qvx_ffmpeg::PacketQueue;

AVPacket* packet_of_size(int size) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, size);
    return packet;
}

// Each packet keeps the serial it was pushed with; the counters follow (a
// marker weighs nothing and lasts nothing; the reader's read-ahead stalls
// for good if a duration is not taken back); the producer hears of every pop
// and done; clear frees the packets, never the markers.
TEST(PacketQueue, KeepsOrderSerialsAndCountsPacketsBytesAndDurations) {
    PacketQueue queue;
    int consumed = 0;
    queue.set_consumed_listener([&] { ++consumed; });
    EXPECT_EQ(queue.pop(), nullptr);
    AVPacket* a = packet_of_size(10);
    queue.push(a, 7, 40000);
    queue.push(flush_packet(), 8);
    queue.push(packet_of_size(20), 8, 33333);
    EXPECT_EQ(queue.count, 3u);
    EXPECT_EQ(queue.bytes, 30u);
    EXPECT_EQ(queue.duration_us, 73333);
    uint32_t serial = 0;
    EXPECT_EQ(queue.pop(&serial), a);
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(queue.bytes, 20u);
    EXPECT_EQ(queue.duration_us, 33333);
    EXPECT_EQ(queue.in_flight, 1);
    queue.done();
    EXPECT_EQ(queue.in_flight, 0);
    EXPECT_EQ(consumed, 2);
    av_packet_free(&a);
    EXPECT_EQ(queue.pop_wait(std::chrono::milliseconds(0), &serial), flush_packet());
    EXPECT_EQ(serial, 8u);
    queue.done();
    queue.push(qvx_ffmpeg::drain_packet());
    queue.clear();
    EXPECT_EQ(queue.count, 0u);
    EXPECT_EQ(queue.bytes, 0u);
    EXPECT_EQ(queue.duration_us, 0);
    queue.push(flush_packet());
    EXPECT_EQ(queue.pop(), flush_packet());
    queue.done();
}

// A decoder takes packets while the reader queues them: every one comes out
// once, in order; a waiting decoder returns on wake.
TEST(PacketQueue, ReaderAndDecoderThreadsHandOverEveryPacket) {
    PacketQueue queue;
    constexpr uint32_t packets = 50000;
    std::thread reader([&] {
        for (uint32_t i = 0; i < packets; ++i) queue.push(packet_of_size(1), i);
    });
    for (uint32_t i = 0; i < packets; ++i) {
        uint32_t serial = 0;
        AVPacket* packet = nullptr;
        while ((packet = queue.pop(&serial)) == nullptr) std::this_thread::yield();
        queue.done();
        av_packet_free(&packet);
        if (serial != i) {
            ADD_FAILURE() << "packet " << i << " came with serial " << serial;
            break;
        }
    }
    reader.join();
    EXPECT_EQ(queue.count + queue.bytes, 0u);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.wake();
    });
    EXPECT_EQ(queue.pop_wait(std::chrono::seconds(10)), nullptr);
    waker.join();
}

}  // namespace
