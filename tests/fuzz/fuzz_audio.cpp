// libFuzzer target: the sound path without a device. Each input is opened
// as a block is, its audio packets are queued as the reader queues them
// (with a repositioning half-way and the drain marker at the end), and the
// audio decoding and resampling the device's callback would run are called
// directly until they have nothing more to give.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "audio/audio.h"
#include "block/audio_video_block.h"
#include "fuzz_plugin.h"
#include "plugin/block_control.h"

namespace {

// Packets read from one input at most; decode calls per batch of packets
// (each call gives out at most max_resampled_samples).
constexpr int max_packets_per_input = 256;
constexpr int packets_per_batch = 8;
constexpr int max_decodes_per_batch = 64;

// What the callback would do with the queued packets: decode and resample
// until nothing more comes right now.
void decode_queued(qvx_ffmpeg::AudioVideoBlock* block) {
    for (int i = 0; i < max_decodes_per_batch; ++i) {
        const int bytes = qvx_ffmpeg::decode_audio_frame(block);
        if (bytes <= 0 && block->audio.sound.silence_bytes <= 0) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qvx_ffmpeg;
    static qvx::SimpleVideoFFmpeg* plugin = qvx_fuzz::started_quiet_plugin();
    static const std::string path = "/tmp/qvx-fuzz-audio-" + std::to_string(getpid()) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    DecodingSettings settings;
    settings.num_video_threads = settings.num_audio_threads = 1;
    auto block = std::make_unique<AudioVideoBlock>();
    block->file_name = path;
    if (!open_media(*plugin, settings, block.get()) || block->facts.audio_stream_index < 0 ||
        block->audio.codec_ctx == nullptr || avcodec_is_open(block->audio.codec_ctx.get()) <= 0) {
        teardown_block(block.get());
        return 0;
    }
    // The output a device would ask for: the stream's rate where it is sane.
    const int rate = block->facts.audio_sample_rate;
    block->audio.out_sample_rate =
        rate >= min_device_rate_hz && rate <= max_device_rate_hz ? rate : fallback_device_rate_hz;
    block->audio.out_channels = 2;

    AVPacket* packet = av_packet_alloc();
    for (int n = 0; packet != nullptr && n < max_packets_per_input &&
                    av_read_frame(block->format_ctx.get(), packet) >= 0;
         ++n) {
        if (packet->stream_index == block->facts.audio_stream_index) {
            block->audio.packets.push(packet, block->handover.serial);
            packet = av_packet_alloc();
        } else {
            av_packet_unref(packet);
        }
        if (n == max_packets_per_input / 2) {
            // A seek's hand-over: the sound starts afresh from here.
            const uint32_t serial = ++block->handover.serial;
            block->audio.packets.clear();
            block->audio.packets.push(flush_packet(), serial);
            block->audio.clock = 0.0;
        }
        if (n % packets_per_batch == 0) decode_queued(block.get());
    }
    av_packet_free(&packet);
    block->audio.packets.push(drain_packet(), block->handover.serial);
    decode_queued(block.get());
    teardown_block(block.get());
    return 0;
}
