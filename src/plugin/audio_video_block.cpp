#include "audio_video_block.h"

#include "audio/audio.h"
#include "pipeline/pipeline.h"
#include "texture/texture.h"

namespace qvx_ffmpeg {

namespace {

// The reader waits for room in the queues, or for the decoders to finish,
// only now and then; the decoders wake it only then.
void wake_waiting_reader(AudioVideoBlock* block) {
    if (!block->reader_waits_for_consumers) return;
    {
        std::lock_guard<std::mutex> guard(block->wake.mutex);
        ++block->wake.generation;
    }
    block->wake.cv.notify_all();
}

}  // namespace

AudioVideoBlock::AudioVideoBlock()
    : id(qvx::GenId()),
      video_decoding(video_codec_ctx, max_refused_video_packets),
      audio_decoding(audio_codec_ctx, max_failed_audio_packets) {
    out_ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    out_ch_layout.nb_channels = 2;
    video_packets.set_consumed_listener([this] { wake_waiting_reader(this); });
    audio_packets.set_consumed_listener([this] { wake_waiting_reader(this); });
}

AudioVideoBlock::~AudioVideoBlock() {
    // Teardown has normally run; this is the last line of defence so that a
    // block destroyed on any path leaves no thread behind.
    stop_reader_thread(this);
    av_channel_layout_uninit(&swr_in_layout);
}

void notify_block(AudioVideoBlock* block) {
    {
        std::lock_guard<std::mutex> guard(block->wake.mutex);
        ++block->wake.generation;
    }
    block->wake.cv.notify_all();
    block->video_packets.wake();
    block->audio_packets.wake();
}

void stop_reader_thread(AudioVideoBlock* block, bool resume_later) {
    if (block == nullptr) return;
    std::lock_guard<std::mutex> run(block->run_lock);
    if (!block->reader_running) return;
    block->reader_stop = true;
    block->video_decode_stop = true;
    block->audio_stop = true;
    notify_block(block);
    if (block->reader_thread_handle.joinable()) block->reader_thread_handle.join();
    block->reader_running = false;
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
    block->scaler = VideoScaler{};
    block->hw_transfer_frame.reset();
    block->staging_frame.reset();
    block->swr_ctx.reset();
    block->audio_pcm_buffer.reset();
    block->audio_pcm_capacity = 0;
    block->video_stream = nullptr;
    block->audio_stream = nullptr;
    block->video_codec_ctx.reset();
    block->audio_codec_ctx.reset();
    block->hw_device_ctx.reset();
    block->format_ctx.reset();
    return true;
}

}  // namespace qvx_ffmpeg
