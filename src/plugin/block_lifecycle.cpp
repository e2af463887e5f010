// Stopping a block's threads and releasing what it holds.
#include "audio/audio.h"
#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"
#include "plugin/block_control.h"

namespace qvx_ffmpeg {

void stop_reader_thread(AudioVideoBlock* block, bool resume_later) {
    if (block == nullptr) return;
    MutexLock run(block->reader.run_lock);
    if (!join_reader_locked(block)) return;
    if (!resume_later) return;
    // The queues went with the reader: the next run seeks back to the
    // position reached (the start once the input had ended). Pictures
    // converted ahead of it go too: shown after the restart, before the
    // seek lands, they would play a few frames and then jump.
    request_seek_seconds(block, block_position(block));
    drop_decoded_frames(block);
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
    block->audio.packets.clear();
    block->video.packets.clear();
    {
        MutexLock guard(block->handover.decoded_frames_lock);
        block->handover.decoded_frames.clear();
    }
    block->handover.frame_pool.entries.clear();
    block->video.conversion = ConversionState{};
    block->audio.sound.swr_ctx.reset();
    block->audio.sound.pcm_buffer.reset();
    block->audio.sound.pcm_capacity = 0;
    block->facts.video_stream = nullptr;
    block->facts.audio_stream = nullptr;
    block->video.codec_ctx.reset();
    block->audio.codec_ctx.reset();
    block->facts.hw_device_ctx.reset();
    block->format_ctx.reset();
    return true;
}

}  // namespace qvx_ffmpeg
