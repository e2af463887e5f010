#include "block/audio_video_block.h"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace qvx_ffmpeg {

namespace {

// The reader waits for room in the queues, or for the decoders to finish,
// only now and then; the decoders wake it only then.
void wake_waiting_reader(AudioVideoBlock* block) {
    if (!block->reader.waits_for_consumers) return;
    {
        MutexLock guard(block->handover.wake.mutex);
        ++block->handover.wake.generation;
    }
    block->handover.wake.cv.notify_all();
}

}  // namespace

AudioVideoBlock::AudioVideoBlock() : id(qvx::GenId()) {
    video.packets.set_consumed_listener([this] { wake_waiting_reader(this); });
    audio.packets.set_consumed_listener([this] { wake_waiting_reader(this); });
}

AudioVideoBlock::~AudioVideoBlock() {
    // Teardown has normally run; this is the last line of defence so that a
    // block destroyed on any path leaves no thread behind.
    MutexLock run(reader.run_lock);
    join_reader_locked(this);
}

void notify_block(AudioVideoBlock* block) {
    {
        MutexLock guard(block->handover.wake.mutex);
        ++block->handover.wake.generation;
    }
    block->handover.wake.cv.notify_all();
    block->video.packets.wake();
    block->audio.packets.wake();
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
    if (!block->reader.running) return false;
    block->reader.stop = true;
    block->video.stop = true;
    block->audio.stop = true;
    notify_block(block);
    if (block->reader.thread.joinable()) block->reader.thread.join();
    block->reader.running = false;
    return true;
}

bool reader_interrupt_requested(const AudioVideoBlock* block) {
    if (block->reader.stop) return true;
    if (!block->controls.seek_requested && !block->controls.rewind_requested) return false;
    const int64_t since = block->reader.io_since_ns;
    return since != 0 && steady_now_ns() - since > int64_t{stalled_io_ms} * 1000000;
}

}  // namespace qvx_ffmpeg
