#include "audio_video_block.h"

#include "audio/audio.h"

namespace qvx_ffmpeg {

AudioVideoBlock::AudioVideoBlock() : id(qvx::GenId()) {
    out_ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    out_ch_layout.nb_channels = 2;
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

void stop_reader_thread(AudioVideoBlock* block) {
    if (block == nullptr || !block->reader_running) return;
    block->reader_stop = true;
    block->video_decode_stop = true;
    block->audio_stop = true;
    notify_block(block);
    if (block->reader_thread_handle.joinable()) block->reader_thread_handle.join();
    block->reader_running = false;
}

namespace {

void release_frame_pool(AudioVideoBlock* block) {
    FramePool* pool = block->frame_pool;
    if (pool == nullptr) return;
    for (uint64_t i = 0; i < pool->count; ++i) {
        AVFrame*& frame = pool->entries[i].frame;
        if (frame == nullptr) continue;
        if (frame->buf[0] == nullptr) av_free(frame->data[0]);
        av_frame_free(&frame);
    }
    pool->count = 0;
    delete[] pool->entries;
    delete pool;
    block->frame_pool = nullptr;
    std::lock_guard<std::mutex> guard(block->decoded_frames_lock);
    block->decoded_frames.clear();
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
    if (block->hw_transfer_frame) av_frame_free(&block->hw_transfer_frame);
    if (block->staging_frame) av_frame_free(&block->staging_frame);
    if (block->video_codec_ctx) avcodec_free_context(&block->video_codec_ctx);
    if (block->sws_to_rgb24) {
        sws_freeContext(block->sws_to_rgb24);
        block->sws_to_rgb24 = nullptr;
    }
    if (block->sws_to_yuv420p) {
        sws_freeContext(block->sws_to_yuv420p);
        block->sws_to_yuv420p = nullptr;
    }
    if (block->sws_to_nv12) {
        sws_freeContext(block->sws_to_nv12);
        block->sws_to_nv12 = nullptr;
    }
    if (block->format_ctx) avformat_close_input(&block->format_ctx);
    block->video_stream = nullptr;
    block->audio_stream = nullptr;
    release_frame_pool(block);
    if (block->hw_device_ctx) av_buffer_unref(&block->hw_device_ctx);
    return true;
}

}  // namespace qvx_ffmpeg
