#include <algorithm>
#include <cerrno>

#include "block/audio_video_block.h"

#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qvx_ffmpeg {

namespace {

#if defined(__linux__)
// Linux weighs a thread of nice 2 at 64 % of a normal one: a share, never a
// starvation.
constexpr int video_nice_increment = 2;
#endif

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

void yield_to_host_threads() {
#if defined(__linux__)
    // With many blocks playing, a dozen decoding threads each weighed like
    // the host's render thread leave that thread a thirteenth of the cores
    // whenever they are all busy (every block starting at once, a scene
    // that loads): the host's frame comes late and so does every picture it
    // takes. The nice value is per thread on Linux (the tid, not the pid),
    // relative to what the thread inherited. Windows' priorities are strict
    // rather than weights: one level below normal would stop the decoding
    // whenever the host keeps its cores busy, so Windows keeps normal.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0) setpriority(PRIO_PROCESS, tid, std::min(nice + video_nice_increment, 19));
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
