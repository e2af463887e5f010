// The sound path without a device: decoding, resampling and the audio
// clock, pulled as the audio callback pulls them, on inputs whose layout,
// sample format, rate or timestamps change on the way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/audio.h"
#include "block/audio_video_block.h"
#include "block/packet_queue.h"

namespace {

using namespace qvx_ffmpeg;

constexpr int out_rate = 48000;
constexpr int packet_samples = 1024;

// One stretch of a 1 kHz tone: what decodes it, and where its timestamps
// start (in the time base's units).
struct Segment {
    AVCodecID codec;
    int channels, rate;
    int64_t first_pts;
    double seconds;
    AVRational time_base{1, 90000};
};

// What the device would have played, stereo at out_rate from the media time
// `first` on.
struct Played {
    std::vector<int16_t> samples;
    double first = -1.0;
    bool continuous = true;  // every buffer starts where the one before ended
    size_t largest_buffer = 0;
    double seconds() const { return samples.size() / 2.0 / out_rate; }
    // The share of [from, to) s whose milliseconds peak over 1/16 of full
    // scale, and the upward zero crossings a second of the left channel.
    double loud(double from, double to) const {
        size_t loud = 0;
        for (size_t ms = size_t(from * 1000); ms < size_t(to * 1000); ++ms) {
            int peak = 0;
            for (size_t i = ms * 48; i < (ms + 1) * 48 && 2 * i < samples.size(); ++i)
                peak = std::max({peak, std::abs(samples[2 * i]), std::abs(samples[2 * i + 1])});
            loud += peak > 2048;
        }
        return loud / 1000.0 / (to - from);
    }
    double frequency(double from, double to) const {
        size_t crossings = 0;
        for (size_t i = size_t(from * out_rate) + 1; i < to * out_rate && 2 * i < samples.size();
             ++i)
            crossings += samples[2 * (i - 1)] < 0 && samples[2 * i] >= 0;
        return crossings / (to - from);
    }
};

class SoundPath : public testing::Test {
protected:
    void SetUp() override {
        block_.audio.out_channels = 2;
        block_.audio.out_sample_rate = out_rate;
    }
    void TearDown() override { close_audio_device(&block_); }

    // A new decoder for the segment, as a stream whose codec changes would
    // need; then its packets and the drain marker.
    void feed(const Segment& s) {
        block_.audio.codec_ctx.reset(avcodec_alloc_context3(avcodec_find_decoder(s.codec)));
        AVCodecContext* ctx = block_.audio.codec_ctx.get();
        av_channel_layout_default(&ctx->ch_layout, s.channels);
        ctx->sample_rate = s.rate;
        ctx->pkt_timebase = s.time_base;
        ASSERT_EQ(avcodec_open2(ctx, nullptr, nullptr), 0);
        const int bytes = av_get_bytes_per_sample(ctx->sample_fmt);
        const bool planar = av_sample_fmt_is_planar(ctx->sample_fmt);
        const int64_t total = static_cast<int64_t>(s.seconds * s.rate);
        for (int64_t at = 0; at < total; at += packet_samples) {
            const int n = static_cast<int>(std::min<int64_t>(packet_samples, total - at));
            AVPacket* packet = av_packet_alloc();
            av_new_packet(packet, n * s.channels * bytes);
            for (int i = 0; i < n; ++i) {
                const double v = 0.5 * std::sin(2 * M_PI * 1000.0 * (at + i) / s.rate);
                const float f = static_cast<float>(v);
                const int16_t x = static_cast<int16_t>(v * 32767);
                for (int c = 0; c < s.channels; ++c)
                    std::memcpy(packet->data + (planar ? c * n + i : i * s.channels + c) * bytes,
                                bytes == 4 ? static_cast<const void*>(&f) : &x, bytes);
            }
            packet->pts = s.first_pts + av_rescale_q(at, AVRational{1, s.rate}, s.time_base);
            block_.audio.packets.push(packet);
        }
        block_.audio.packets.push(drain_packet());
    }

    // Pulls everything the decoder has, as the callback does.
    void pull(Played& played) {
        for (;;) {
            const int n = decode_audio_frame(&block_);
            if (n <= 0 && block_.audio.sound.silence_bytes <= 0) {
                if (block_.audio.packets.count == 0 && block_.audio.packets.in_flight == 0 &&
                    !block_.audio.sound.swr_has_more)
                    return;
                continue;
            }
            if (played.first < 0) played.first = block_.audio.sound.play_seconds;
            played.continuous &=
                std::fabs(block_.audio.sound.play_seconds - played.first - played.seconds()) < 1e-6;
            played.samples.resize(played.samples.size() + block_.audio.sound.silence_bytes / 2, 0);
            const auto* pcm = reinterpret_cast<const int16_t*>(block_.audio.sound.pcm_buffer.get());
            played.samples.insert(played.samples.end(), pcm, pcm + n / 2);
            played.largest_buffer = std::max(played.largest_buffer, static_cast<size_t>(n));
            block_.audio.sound.silence_bytes = 0;
            block_.audio.sound.buf_index = block_.audio.sound.buf_size;
            block_.reader.audio_clock_valid = true;  // the callback has handed sound over
        }
    }

    Played play(const std::vector<Segment>& segments) {
        Played played;
        for (const Segment& s : segments) {
            feed(s);
            pull(played);
        }
        return played;
    }

    AudioVideoBlock block_;
};

// Packed and planar, integer and float, 1 to 6 channels, four rates: the
// resampler follows each change and the tone goes on without a gap. A
// stream declaring 1 Hz comes in pieces of bounded size: 64 samples last
// 64 s.
TEST_F(SoundPath, FollowsLayoutFormatAndRateChanges) {
    const Played p = play({{AV_CODEC_ID_PCM_S16LE, 2, 44100, 0, 1.0},
                           {AV_CODEC_ID_PCM_S16LE_PLANAR, 1, 48000, 90000, 1.0},
                           {AV_CODEC_ID_PCM_F32LE, 6, 22050, 180000, 1.0},
                           {AV_CODEC_ID_PCM_S16LE, 2, 8000, 270000, 1.0},
                           {AV_CODEC_ID_PCM_S16LE, 2, 1, 4, 64.0, AVRational{1, 1}}});
    EXPECT_TRUE(p.continuous);
    EXPECT_NEAR(p.seconds(), 68.0, 0.1);
    EXPECT_LE(p.largest_buffer, static_cast<size_t>(max_resampled_samples) * 4);
    for (int second = 0; second < 4; ++second) {
        EXPECT_GT(p.loud(second + 0.02, second + 0.98), 0.95) << second;
        EXPECT_NEAR(p.frequency(second + 0.02, second + 0.98), 1000.0, 15.0) << second;
    }
}

// Sound that starts late, a hole in it, and a seek: silence where the
// stream has none, and sound before a seek's target is not heard.
TEST_F(SoundPath, LateStartsAndHolesPlayAsSilenceAndSeeksStartAtTheirTarget) {
    const Played p = play({{AV_CODEC_ID_PCM_S16LE, 2, 48000, 3 * 90000, 1.0},
                           {AV_CODEC_ID_PCM_S16LE, 2, 48000, 5 * 90000, 1.0}});
    EXPECT_TRUE(p.continuous);
    EXPECT_DOUBLE_EQ(p.first, 0.0);
    EXPECT_NEAR(p.seconds(), 6.0, 0.001);
    EXPECT_LT(p.loud(0.0, 2.99), 0.001);
    EXPECT_GT(p.loud(3.0, 4.0), 0.99);
    EXPECT_LT(p.loud(4.01, 4.99), 0.001);
    EXPECT_GT(p.loud(5.0, 6.0), 0.99);

    // A seek to 10 s lands on sound from 8 s.
    block_.audio.packets.push(flush_packet());
    block_.audio.clock = 10.0;
    block_.reader.audio_clock_valid = false;
    Played after;
    feed({AV_CODEC_ID_PCM_S16LE, 2, 48000, 8 * 90000, 4.0});
    pull(after);
    EXPECT_NEAR(after.first, 10.0, packet_samples / 48000.0);
    EXPECT_NEAR(after.first + after.seconds(), 12.0, 0.001);
}

// A packet the decoder refuses is dropped and the sound goes on; empty
// packets never reach the decoder; only a run of refusals ends the sound,
// and the packets after it are still let go (the reader is not held up).
TEST_F(SoundPath, RefusedPacketsAreDroppedUntilTooManyInARow) {
    auto refuse = [&](int n) {
        for (int i = 0; i < n; ++i) {
            AVPacket* packet = av_packet_alloc();
            av_new_packet(packet, 3);  // not a whole stereo s16 sample
            block_.audio.packets.push(packet);
        }
    };
    Played p;
    for (int64_t pts : {0, 45000}) {
        refuse(max_failed_audio_packets - 1);
        block_.audio.packets.push(av_packet_alloc());  // empty
        feed({AV_CODEC_ID_PCM_S16LE, 2, 48000, pts, 0.5});
        pull(p);
    }
    EXPECT_FALSE(block_.audio.decoding.gave_up());
    EXPECT_NEAR(p.seconds(), 1.0, 0.001);
    EXPECT_TRUE(p.continuous);
    refuse(max_failed_audio_packets);
    feed({AV_CODEC_ID_PCM_S16LE, 2, 48000, 90000, 0.5});
    pull(p);
    EXPECT_TRUE(block_.audio.decoding.gave_up());
    EXPECT_EQ(block_.audio.packets.count + block_.audio.packets.in_flight, 0u);
}

}  // namespace
