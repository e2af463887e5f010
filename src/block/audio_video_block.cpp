#include "block/audio_video_block.h"

#if defined(__linux__)
#include <pthread.h>
#endif

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
    std::lock_guard<std::mutex> run(run_lock);
    join_reader_locked(this);
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

void name_this_thread(const char* name) {
#if defined(__linux__)
    // Linux names threads through pthreads; Windows builds name none.
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

bool join_reader_locked(AudioVideoBlock* block) {
    if (!block->reader_running) return false;
    block->reader_stop = true;
    block->video_decode_stop = true;
    block->audio_stop = true;
    notify_block(block);
    if (block->reader_thread_handle.joinable()) block->reader_thread_handle.join();
    block->reader_running = false;
    return true;
}

bool reader_interrupt_requested(const AudioVideoBlock* block) {
    if (block->reader_stop) return true;
    if (!block->seek_requested && !block->rewind_requested) return false;
    const int64_t since = block->reader_io_since_ns;
    return since != 0 && steady_now_ns() - since > int64_t{stalled_io_ms} * 1000000;
}

}  // namespace qvx_ffmpeg
