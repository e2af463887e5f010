// Stopping a block's threads and releasing what it holds.
#include "audio/audio.h"
#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"
#include "plugin/block_control.h"

namespace qvx_ffmpeg {

void stop_reader_thread(AudioVideoBlock* block, bool resume_later) {
    if (block == nullptr) return;
    std::lock_guard<std::mutex> run(block->run_lock);
    if (!join_reader_locked(block)) return;
    // The queues went with the reader: the next run seeks back to the
    // position reached (the start once the input had ended).
    if (resume_later) request_seek_seconds(block, block_position(block));
}

bool teardown_block(AudioVideoBlock* block) {
    if (block == nullptr) return true;

    // The reader closes the audio device and joins the video thread before
    // it ends; the device close cannot wait on the audio callback, which
    // never blocks. Nothing runs on the block from here on.
    stop_reader_thread(block);
    close_audio_device(block);

    // Every FFmpeg object holds references of its own to what it shares
    // (frames to the decoder's buffers, decoders to the hardware device), so
    // the order of the resets does not matter.
    block->audio_packets.clear();
    block->video_packets.clear();
    {
        std::lock_guard<std::mutex> guard(block->decoded_frames_lock);
        block->decoded_frames.clear();
    }
    block->frame_pool.entries.clear();
    block->conversion = ConversionState{};
    block->sound.swr_ctx.reset();
    block->sound.pcm_buffer.reset();
    block->sound.pcm_capacity = 0;
    block->video_stream = nullptr;
    block->audio_stream = nullptr;
    block->video_codec_ctx.reset();
    block->audio_codec_ctx.reset();
    block->hw_device_ctx.reset();
    block->format_ctx.reset();
    return true;
}

}  // namespace qvx_ffmpeg
