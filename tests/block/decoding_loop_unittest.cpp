// The decoding loop both decoders run, on a real (PCM) decoder.
#include <gtest/gtest.h>

#include <cstring>

#include "block/decoding_loop.h"

namespace {

using qvx_ffmpeg::CodecContextPtr;
using qvx_ffmpeg::DecodingLoop;
using qvx_ffmpeg::PacketPtr;
using Status = DecodingLoop::Status;

constexpr int bytes_per_sample = 4;  // stereo s16

PacketPtr silence(int bytes) {
    PacketPtr packet(av_packet_alloc());
    if (packet != nullptr && av_new_packet(packet.get(), bytes) == 0)
        std::memset(packet->data, 0, bytes);
    return packet;
}

// Passes of a looping input each end in a drain after which the decoder
// takes input again; empty packets never reach the decoder; refusals in a
// row give the decoder up, a packet taken between them does not.
TEST(DecodingLoop, DrainsEachPassAndGivesUpOnlyOnRefusalsInARow) {
    CodecContextPtr ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_PCM_S16LE)));
    ASSERT_NE(ctx, nullptr);
    av_channel_layout_default(&ctx->ch_layout, 2);
    ctx->sample_rate = 48000;
    ASSERT_EQ(avcodec_open2(ctx.get(), nullptr, nullptr), 0);
    DecodingLoop loop(ctx, 3);
    int samples = 0;
    const auto count = [&samples](const AVFrame* frame) {
        samples += frame->nb_samples;
        return true;
    };

    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(loop.decode(silence(100 * bytes_per_sample).get(), count), Status::ok);
        EXPECT_EQ(loop.decode(nullptr, count), Status::drained);
    }
    EXPECT_EQ(samples, 200);

    EXPECT_EQ(loop.send(silence(50 * bytes_per_sample).get()), Status::ok);
    EXPECT_EQ(loop.receive([](const AVFrame*) { return false; }), Status::stopped);
    EXPECT_EQ(loop.receive(count), Status::again);
    EXPECT_EQ(samples, 200);
    PacketPtr empty(av_packet_alloc());
    EXPECT_EQ(loop.send(empty.get()), Status::empty);

    const PacketPtr odd = silence(3);  // not a whole sample
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(loop.send(odd.get()), Status::refused);
        EXPECT_EQ(loop.send(odd.get()), Status::refused);
        EXPECT_FALSE(loop.gave_up());
        EXPECT_EQ(loop.decode(silence(bytes_per_sample).get(), count), Status::ok);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.send(odd.get()), Status::refused);
    EXPECT_TRUE(loop.gave_up());
    EXPECT_LT(loop.last_error(), 0);
    loop.restart();
    EXPECT_FALSE(loop.gave_up());
}

}  // namespace
