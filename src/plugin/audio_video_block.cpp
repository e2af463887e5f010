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

AudioVideoBlock::AudioVideoBlock() : id(qvx::GenId()) {
    out_ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    out_ch_layout.nb_channels = 2;
    video_packets.set_consumed_listener([this] { wake_waiting_reader(this); });
    audio_packets.set_consumed_listener([this] { wake_waiting_reader(this); });
}

AudioVideoBlock::~AudioVideoBlock() {
    // Teardown has normally run; this is the last line of defence so that a
    // block destroyed on any path leaves no thread behind.
    stop_reader_thread(this);
    av_free(audio_pcm_buffer);
    audio_pcm_buffer = nullptr;
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

namespace {

// Frames still queued for the host are dropped with their pixels.
void release_frame_pool(AudioVideoBlock* block) {
    {
        std::lock_guard<std::mutex> guard(block->decoded_frames_lock);
        block->decoded_frames.clear();
    }
    block->frame_pool.entries.clear();
}

}  // namespace

bool teardown_block(AudioVideoBlock* block) {
    if (block == nullptr) return true;

    // The reader closes the audio device, joins the video thread and empties
    // the queues before it ends. The audio callback never blocks, so the
    // device close in the reader's shutdown cannot wait on it.
    stop_reader_thread(block);
    close_audio_device(block);
    block->audio_packets.clear();
    block->video_packets.clear();
    if (block->audio_packet != nullptr) av_packet_free(&block->audio_packet);
    block->audio_packet_size = 0;

    block->audio_data.kill_audio_frames();
    if (block->audio_decoded_frame) av_frame_free(&block->audio_decoded_frame);
    if (block->audio_codec_ctx) avcodec_free_context(&block->audio_codec_ctx);
    if (block->swr_ctx) swr_free(&block->swr_ctx);
    if (block->resampled_data) {
        av_freep(&block->resampled_data[0]);
        av_freep(&block->resampled_data);
    }
    block->resampled_capacity_samples = 0;
    if (block->video_decoded_frame) av_frame_free(&block->video_decoded_frame);
    block->scaler = VideoScaler{};
    block->hw_transfer_frame.reset();
    block->staging_frame.reset();
    if (block->video_codec_ctx) avcodec_free_context(&block->video_codec_ctx);
    if (block->format_ctx) avformat_close_input(&block->format_ctx);
    block->video_stream = nullptr;
    block->audio_stream = nullptr;
    release_frame_pool(block);
    if (block->hw_device_ctx) av_buffer_unref(&block->hw_device_ctx);
    return true;
}

}  // namespace qvx_ffmpeg
