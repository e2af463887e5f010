// The audio/video block: the whole playback state of one opened input.
//
// The record is grouped by owner: what open fixes, the host's controls, the
// reader's, video thread's and sound's state, the playback clock and the
// hand-over between them.
//
// Threads that touch a block:
//   host    the host's calling thread(s): plug-in operations, texture updates
//   reader  the block's reader thread (demuxing, seeks, rewinds, clock)
//   video   the block's video decode thread (started and joined by reader)
//   sdl     SDL's audio thread for the block's device (audio_callback)
//
// Fields below say which thread writes them and what guards them. Every
// flag read without a lock is atomic. Lock order, outermost first:
//   reader.run_lock -> handover.demux_lock -> video.decoder_lock
//   -> audio.decoder_lock -> (queue locks, decoded_frames_lock,
//   clock.lock, wake.mutex: leaves)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "block/decoding_loop.h"
#include "block/ffmpeg.h"
#include "block/mutex.h"
#include "block/packet_queue.h"
#include "block/sound_clock_fit.h"
#include "host/qvx.h"

namespace qvx_ffmpeg {

struct FramePoolEntry {
    // The converted picture, its pixels held through buf[0] (av_frame_free
    // frees them). Every plane is tightly packed: linesize[k] is the row
    // size the texture takes, and the chroma planes of yuv420p and nv12 are
    // (width / 2) x (height / 2), rounded down. Kept between uses for reuse,
    // but for a reference to the decoder's picture, let go at release.
    FramePtr frame;
    // 1 from the conversion filling the entry until the texture update has
    // used it; the converter never touches an entry whose flag is set.
    std::atomic<uint8_t> in_use{0};
    int64_t index = 0;
    // video_serial the frame was decoded under (video, before queueing); the
    // texture update drops an entry whose serial is stale.
    uint32_t serial = 0;
    // The frame's time, seconds from the start (video, before queueing): an
    // untimed block's position once the texture update has handed it over.
    double seconds = 0.0;
    // How the frame holds its pixels, and how many bytes (video): a
    // reference to the decoder's own picture, a packed buffer of its own,
    // or a frame from av_frame_get_buffer whose padded lines happen to be
    // packed too (the scaler may write those directly).
    enum class Pixels : uint8_t { none, reference, packed, aligned };
    Pixels pixels = Pixels::none;
    size_t bytes = 0;
};

// The longest the sound waits at a start or rewind for the first picture
// (a video that never decodes must not silence the block).
constexpr int max_sound_hold_ms = 1000;
// Converted frames a block holds at most: by count, and by bytes unless
// that leaves fewer than min_pool_frames.
constexpr uint64_t frame_pool_size = 100;
constexpr size_t max_pool_bytes = 192ull * 1024 * 1024;
constexpr uint64_t min_pool_frames = 3;
// A host that takes frames more slowly than the video gives them (an
// engine at 30 Hz on a 60 fps clip) is handed the frames still within this
// lag of the newest; older ones are skipped, so the picture never falls
// further behind the clock: the larger of the time and the frames.
constexpr int max_picture_lag_ms = 50;
constexpr double max_picture_lag_frames = 3.0;
// Only a host whose updates come at least this many frames apart (its
// averaged pace) is slow: a faster one drains a backlog (a decoder that ran
// late, a stall of its own) by itself, and is handed every frame.
constexpr double slow_host_update_frames = 0.9;
// A real-time block queues at most the frames within max_picture_lag and
// two more for its host, within these bounds. Every frame queued keeps one
// of the decoder's pictures, and the decoder keeps every picture it ever
// made until it closes: a host that stopped for two seconds left a 1080p
// block 170 MB larger for good.
constexpr int min_frames_for_host = 5;
constexpr int max_frames_for_host = 8;
// With that many queued, a host that keeps up is waited for until this long
// after its last update or after the queue filled, whichever is later (a
// stall of its own, the loading of a level), so that it is still handed
// every frame; then, and at once for a slow host, the oldest frames make
// way, and the picture keeps up with the clock while the host is away.
constexpr int max_host_stall_ms = 1000;

// A decoder refusing this many packets in a row ends its stream (until the
// next seek, rewind or loop).
constexpr int max_refused_video_packets = 100;
constexpr int max_failed_audio_packets = 100;

// A read or seek of the input that has not returned after this long, while
// a seek or rewind waits, is interrupted so the request is served.
constexpr int stalled_io_ms = 20;

struct FramePool {
    // frame_pool_size entries from open to teardown, never resized (the
    // queue points into it).
    std::vector<FramePoolEntry> entries;
};

// A libswscale context and what it was made for (video thread).
struct VideoScaler {
    ScalerPtr context;
    int src_format = AV_PIX_FMT_NONE;
    int dst_format = AV_PIX_FMT_NONE;
    int width = 0;
    int height = 0;
    int flags = 0;
    int colorspace = AVCOL_SPC_UNSPECIFIED;
    int color_range = AVCOL_RANGE_UNSPECIFIED;
};

// The playback timer's readings in seconds. The timer counts milliseconds
// in 32 bits, which wrap after 49.7 days, and a float of its seconds steps
// by 2 ms after 4.7 hours and by 16 ms (a 60 fps frame) after 36: a block
// left playing for days would stutter, then freeze when the count wrapped.
// Readings are summed in 64 bits from the count's differences; the count
// must be read at least once every 49.7 days.
class TimerReadings {
public:
    double seconds(uint32_t count_ms);

private:
    uint32_t last_count_ms_ = 0;
    uint64_t total_ms_ = 0;
};

// The playback clock of a block, seconds. Every write is made under lock
// (playback_clock.cpp): update_clock runs on the reader, video, sdl and
// host (resume) threads and moves the positions on, so a position stored
// without the lock could be lost under its read-modify-write. Readers that
// need no consistency between fields (queries, pacing) load the atomics.
struct PlaybackClock {
    Mutex lock;
    // Time played since the last start or rewind, and the playback timer's
    // reading it was last brought up to.
    std::atomic<float> elapsed{0.0f};
    std::atomic<double> last_reading{0.0};
    TimerReadings timer_readings QVX_GUARDED_BY(lock);
    // Seconds from the start: the picture last queued (video; the texture
    // update for an untimed block) and the sound being heard (sdl); seeks
    // and starts set both (reader).
    std::atomic<float> video_position{0.0f};
    std::atomic<float> audio_position{0.0f};
    // Video pacing: the media time due now (frame_timer), advanced by the
    // video thread from the timer reading it last reached (reference); the
    // reader re-bases both at a start or rewind, the host the reference at
    // a resume.
    std::atomic<double> frame_timer{0.0};
    std::atomic<double> frame_timer_reference{0.0};
    // The sound heard against the timer's readings (sdl adds to it, video
    // reads it); started afresh at every start, repositioning and pause.
    SoundClockFit sound_fit QVX_GUARDED_BY(lock);
};

// The sound path's working state: the sdl thread's while the device
// plays, written by the reader before the device starts and by whoever
// holds audio.decoder_lock at a repositioning.
struct SoundState {
    SoundState() = default;
    ~SoundState() { av_channel_layout_uninit(&swr_in_layout); }
    SoundState(const SoundState&) = delete;
    SoundState& operator=(const SoundState&) = delete;

    // The resampler and the input it was built for: rebuilt whenever a
    // decoded frame's layout, sample format or rate differs. swr_has_more:
    // its last output was cut at max_resampled_samples and it still holds
    // input; swr_flushing: it is giving out what it holds at the end of the
    // input.
    ResamplerPtr swr_ctx;
    AVChannelLayout swr_in_layout{};
    int swr_in_format = -1;
    int swr_in_rate = 0;
    bool swr_has_more = false;
    bool swr_flushing = false;
    // Resampled PCM for the device: pcm_capacity bytes held, buf_size of
    // them filled, buf_index of those played.
    AvMemoryPtr<uint8_t> pcm_buffer;
    int pcm_capacity = 0;
    int buf_size = 0;
    int buf_index = 0;
    // Silence to play before the PCM in pcm_buffer (a gap in the sound, or
    // sound that starts after the picture), the media time of the next
    // byte played, and the video_serial the buffer was decoded under (a
    // repositioning makes it stale).
    int64_t silence_bytes = 0;
    double play_seconds = 0.0;
    uint32_t buf_serial = 0;
    // Added to the streams' timestamps so the clock goes on across a
    // discontinuity (0 again at a seek or rewind); segment_start: the next
    // frame starts the sound afresh (play, seek, rewind).
    double pts_offset = 0.0;
    bool segment_start = true;
    // The decoder is giving out its last frames after the drain marker,
    // which stays in flight on audio_packets until it is done.
    bool draining = false;
};

// Frame conversion, the video thread's alone: the scaler, the download of a
// hardware frame, and the aligned frame the scaler writes when the pool's
// packed rows cannot take its wide writes; and the picture size last
// refused as too large (logged once per size).
struct ConversionState {
    VideoScaler scaler;
    FramePtr hw_transfer_frame;
    FramePtr staging_frame;
    int refused_width = 0;
    int refused_height = 0;
    // When the queue for the host last filled (none while it has room), and
    // whether its frames are making way for newer ones (logged once until
    // the host takes a frame again).
    std::chrono::steady_clock::time_point queue_full_since{};
    bool dropping_for_host = false;
};

// A wake-up for waits with a deadline: control changes (pause, seek,
// rewind, stop) notify it so that waiting threads react at once.
struct BlockSignal {
    Mutex mutex;
    std::condition_variable cv;
    uint64_t generation QVX_GUARDED_BY(mutex) = 0;
};

// What opening the input fixes: the host writes it while it opens the block
// (create_block), teardown lets its references go; in between it never
// changes, so every thread reads it without a lock.
struct OpenFacts {
    int duration_seconds = 0;
    // The input's duration in microseconds (0 unknown) and the video's frame
    // rate (0 unknown), so that the host's queries never read the format
    // context while the reader is inside it.
    int64_t duration_us = 0;
    double video_fps = 0.0;
    // The input's first timestamp, seconds (0 when unknown). Positions,
    // seeks and frame times count from it, so 0 is the first frame.
    double media_start_seconds = 0.0;

    int video_stream_index = -1;
    const AVCodec* video_codec = nullptr;
    AVStream* video_stream = nullptr;
    std::string video_codec_name;
    uint32_t video_num_frames = 0;
    float video_rotation = 0.0f;
    int sws_flags = SWS_BILINEAR;
    int output_pixel_format = AV_PIX_FMT_RGB24;
    // Largest picture the block plays (from the settings); the converter
    // refuses larger frames that appear mid-stream.
    int max_video_width = 16384;
    int max_video_height = 16384;
    // Frames are paced to their time (the "realtime" setting). An untimed
    // block (false) plays no sound, decodes as fast as the host takes frames
    // and waits only for a free pool entry.
    bool realtime = true;
    int hw_pix_fmt = AV_PIX_FMT_NONE;
    BufferPtr hw_device_ctx;
    int hw_device_type = AV_HWDEVICE_TYPE_NONE;

    int audio_stream_index = -1;
    const AVCodec* audio_codec = nullptr;
    AVStream* audio_stream = nullptr;
    std::string audio_codec_name;
    uint32_t audio_num_frames = 0;
    int audio_num_channels = 2;
    int audio_sample_rate = 44100;
};

// What the host asks of a playing block: host threads write, the reader and
// the decoders act on it.
struct HostControls {
    std::atomic<bool> paused{false};
    bool loop = false;  // before play
    std::atomic<bool> video_enabled{true};
    std::atomic<bool> audio_enabled{true};  // the reader clears it when no device opens
    std::atomic<float> volume{0.7f};        // always within [0, 1]
    // A seek to seek_target_seconds (seconds from the start, within
    // [0, duration); stored before the request), or a rewind (the reader
    // also requests one at the end of a looping input). The reader clears
    // the request when it takes it.
    std::atomic<bool> seek_requested{false};
    std::atomic<double> seek_target_seconds{0.0};
    std::atomic<bool> rewind_requested{false};
};

// The reader thread, and the playback state it decides.
struct ReaderState {
    // play_block and stop_block of one block take turns under run_lock (host
    // threads); stop: the host raises it to stop, play_block lowers it again
    // before a new run.
    Mutex run_lock;
    std::atomic<bool> stop{false};
    bool running QVX_GUARDED_BY(run_lock) = false;
    std::thread thread QVX_GUARDED_BY(run_lock);
    // The reader waits for the decoders to take packets (queues full) or to
    // finish them (end of input); the queues' consumed listener wakes it.
    std::atomic<bool> waits_for_consumers{false};
    // When the reader's current read or seek of the input began (steady
    // nanoseconds, 0 when none): the interrupt callback gives up a stalled
    // one when a seek or rewind waits.
    std::atomic<int64_t> io_since_ns{0};
    // While the host opens the input: when a stalled input gives up (steady
    // nanoseconds, 0 = no deadline). Host.
    std::atomic<int64_t> open_deadline_ns{0};
    std::atomic<bool> seeking{false};  // while it repositions
    // A non-looping input has ended and everything in it has been shown and
    // heard: the positions stay where they are (cleared by seeks and
    // rewinds).
    std::atomic<bool> input_ended{false};
    // The sound drives the video pacing: the block plays audio on an open
    // device. audio_clock_valid: audio_position comes from sound the device
    // really played since the last start, seek or rewind (sdl sets, reader
    // clears).
    std::atomic<bool> audio_drives_video{false};
    std::atomic<bool> audio_clock_valid{false};
    // At a start or rewind the two start together: the sound waits for the
    // first picture to be decoded, up to sound_hold_deadline_ns (video
    // clears, or sdl once past the deadline), then the picture waits (a
    // little) for the sound to be heard (video clears). Without the first,
    // a decoder slow to start (one of many starting at once) would begin
    // behind a sound already playing and rush the frames to catch up.
    std::atomic<bool> hold_sound_for_video{false};
    std::atomic<int64_t> sound_hold_deadline_ns{0};
    std::atomic<bool> hold_video_for_sound{false};
};

// The video decode thread: the reader starts and joins it; the fields are
// its own unless they say otherwise.
struct VideoState {
    VideoState() : decoding(codec_ctx, max_refused_video_packets) {}

    std::thread thread;             // reader starts and joins
    bool running = false;           // reader
    std::atomic<bool> stop{false};  // host/reader raise
    PacketQueue packets;            // reader pushes, video pops
    // Held by whoever drives the decoder: the video thread while it sends
    // and receives, the reader and the host while they flush it at a
    // repositioning.
    Mutex decoder_lock;
    CodecContextPtr codec_ctx;  // host (open); used under decoder_lock
    DecodingLoop decoding QVX_GUARDED_BY(decoder_lock);
    double clock = 0.0;  // reader resets under decoder_lock
    // The first frame after a start or repositioning is still to come
    // (reader sets, video clears).
    std::atomic<bool> first_frame_pending{true};
    // Where the last seek went, seconds from the start (-1: none). Frames
    // before it are decoded and dropped unshown; the reader sets it at every
    // seek, video clears it at the first frame at or after it.
    std::atomic<double> seek_target{-1.0};
    // The converter waits for the host to free a pool entry (an untimed
    // block's pool is full, or a real-time host is behind); the texture
    // update wakes it when it frees one.
    std::atomic<bool> waits_for_entry{false};
    std::atomic<uint32_t> decoded_count{0};
    // Picture size for the host: set at open, then from each decoded frame
    // (the decoder context's own fields change on the video thread).
    std::atomic<int> width{0};
    std::atomic<int> height{0};
    ConversionState conversion;
};

// The sound: the device the reader opens and SDL's audio thread (sdl) that
// decodes into it.
struct AudioState {
    AudioState() : decoding(codec_ctx, max_failed_audio_packets) {
        out_ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        out_ch_layout.nb_channels = 2;
    }

    uint32_t device = 0;                   // reader (SDL device id, 0 none)
    std::atomic<bool> device_open{false};  // reader
    std::atomic<bool> stop{false};         // host/reader raise, never lowered
    AVChannelLayout out_ch_layout{};       // unspecified order, 2 channels
    int out_channels = 2;                  // reader (device open)
    int out_sample_rate = 48000;           // reader (device open)
    PacketQueue packets;                   // reader pushes, sdl pops
    // Held by whoever drives the decoder: the audio callback while it
    // decodes (it never waits for it), the reader and the host while they
    // flush it at a repositioning.
    Mutex decoder_lock;
    CodecContextPtr codec_ctx;  // host (open); used under decoder_lock
    // Once it gave up, the sound has ended for good and packets are only
    // let go.
    DecodingLoop decoding QVX_GUARDED_BY(decoder_lock);
    // Media time (seconds from the start) of the next sample the decoder
    // gives out: sdl under decoder_lock; the reader sets it to the
    // target at seeks and rewinds, where the sound starts again.
    std::atomic<double> clock{0.0};
    SoundState sound;
    // Every PCM decoded so far has been played by the device and the
    // decoder has nothing more right now (sdl); the reader ends a
    // non-looping input only then.
    std::atomic<bool> played_out{false};
};

// Where the block's threads meet: the locks that order them, the serials
// that tell stale work from current, and the converted frames on their way
// to the host.
struct HandOver {
    // demux_lock: format_ctx reads and every repositioning of the input
    // (reader, and the host's direct seeks).
    Mutex demux_lock;
    // Repositionings waiting for or holding the decoders (reader and host
    // may both be at it). While above 0 the video thread leaves its pacing
    // wait and gives its decoder up at once, and the audio callback plays
    // silence.
    std::atomic<int> reposition_pending{0};
    // Bumped by every repositioning; packets queued and sound decoded under
    // an older serial are stale.
    std::atomic<uint32_t> serial{0};
    // The oldest serial whose converted frames may still be shown: a seek or
    // rewind moves it up to its own serial, the rewind of a looping block at
    // its end leaves it, since the last pictures of the pass are still to
    // be shown (written with serial, by whoever repositions).
    std::atomic<uint32_t> shown_serial_floor{0};
    // host (open) fills, teardown empties; entries: see FramePoolEntry.
    FramePool frame_pool;
    // Converted frames in order: video pushes, host pops.
    Mutex decoded_frames_lock;
    std::deque<FramePoolEntry*> decoded_frames QVX_GUARDED_BY(decoded_frames_lock);
    std::atomic<uint32_t> displayed_count{0};  // host (texture update)
    // The host's pace: when it last asked for a picture and the averaged
    // interval between its asks (host, texture update; atomic since nothing
    // stops a host from updating one block from two threads).
    std::atomic<int64_t> last_update_ns{0};
    std::atomic<double> update_interval_s{0.0};
    BlockSignal wake;
};

struct AudioVideoBlock {
    AudioVideoBlock();
    ~AudioVideoBlock();
    AudioVideoBlock(const AudioVideoBlock&) = delete;
    AudioVideoBlock& operator=(const AudioVideoBlock&) = delete;

    const int id;                 // from GenId at construction
    std::string file_name;        // host, before open; constant afterwards
    FormatContextPtr format_ctx;  // host (open); reads under handover.demux_lock
    qvx::Timer profile_timer;
    qvx::Timer playback_timer;  // never reset

    OpenFacts facts;
    HostControls controls;
    ReaderState reader;
    VideoState video;
    AudioState audio;
    PlaybackClock clock;
    HandOver handover;
};

// Raises the three stop flags, wakes every wait and joins the reader; the
// caller holds run_lock. False when no reader was running.
bool join_reader_locked(AudioVideoBlock* block) QVX_REQUIRES(block->reader.run_lock);

// Wakes every wait of the block (wait_block and the queues' pop_wait).
// Callers change the flag they mean first, then notify.
void notify_block(AudioVideoBlock* block);

// Waits until ready() holds or the deadline passes; ready() is evaluated
// under the signal's mutex, so a notify after a flag change is never lost.
// Returns ready()'s last value.
template <typename Ready>
bool wait_block(AudioVideoBlock* block, std::chrono::milliseconds timeout, Ready ready) {
    MutexLock guard(block->handover.wake.mutex);
    return guard.wait_for(block->handover.wake.cv, timeout, ready);
}

inline int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Holds the sound and the picture for each other at a start or rewind
// (reader), when the sound drives the picture.
void hold_start_together(AudioVideoBlock* block);

// Names the calling thread for profilers and debuggers (at most 15
// characters; Linux only, elsewhere nothing).
void name_this_thread(const char* name);

// Lets the calling thread (a block's video decoding) yield to the host's
// threads under contention; Linux only, elsewhere nothing.
void yield_to_host_threads();

// For the input's interrupt callback: true when a read or seek in progress
// should give up, because the block stops or because a seek or rewind
// waits behind a read that has stalled.
bool reader_interrupt_requested(const AudioVideoBlock* block);

// ---- Playback clock (playback_clock.cpp) -------------------------------------
// One step of the playback clock; returns the time played (seconds).
float update_clock(AudioVideoBlock* block);
// Restarts the clock from 0 (reader start and rewind).
void restart_clock(AudioVideoBlock* block);
// Pause and resume (host).
void set_block_paused(AudioVideoBlock* block, bool paused);
// Both positions (seek, start), or the picture's alone.
void set_positions(AudioVideoBlock* block, double seconds);
void set_video_position(AudioVideoBlock* block, double seconds);
// The sound heard starts at seconds now (sdl): the next update_clock
// carries it on from here by the real time that passes. note_sound_heard
// also adds the point to the sound's fitted clock: sound handed to the
// device now, not the rest at its end.
void set_heard_position(AudioVideoBlock* block, double seconds);
void note_sound_heard(AudioVideoBlock* block, double seconds);
// The position heard now by the sound's fitted clock, at the clock's last
// reading (video); false while it has no line.
bool fitted_heard_position(AudioVideoBlock* block, double* seconds);
// Video pacing (video thread): brings frame_timer up to now and returns
// it; restarts it at t now; moves it by delta.
double advance_frame_timer(AudioVideoBlock* block);
void restart_frame_timer(AudioVideoBlock* block, double t);
void move_frame_timer(AudioVideoBlock* block, double delta);

// ---- Converted frames on their way to the host (frame_handover.cpp) ----------
// Creates the block's pool of frame_pool_size converted-frame slots unless
// it has one (host, at open).
bool ensure_frame_pool(AudioVideoBlock* block);
// Removes the oldest converted frame, or null when none waits.
FramePoolEntry* pop_decoded_frame(AudioVideoBlock* block);
// Records that the host asks for a picture now (its pace, for superseded).
void note_host_update(AudioVideoBlock* block);
// The host's updates come, on average, further apart than the video's
// frames.
bool host_is_slow(const AudioVideoBlock* block);
// The most converted frames a real-time block queues for its host.
int frames_for_host(const AudioVideoBlock* block);
// Converted frames the host has not taken yet (or is still uploading).
int frames_queued(const AudioVideoBlock* block);
// In real time, a frame a slow host has not taken while the picture went on
// by more than max_picture_lag (a newer frame of the same pass waits
// behind it): showing it would keep the picture behind the sound.
bool superseded(AudioVideoBlock* block, const FramePoolEntry* entry);
// Gives an entry back to the frame pool.
void release_decoded_frame(FramePoolEntry* entry);
// Gives back every converted frame the host has not taken.
void drop_decoded_frames(AudioVideoBlock* block);
// After entries of an untimed block were released: wakes the converter
// waiting for one and the reader waiting for the host to take the last.
void wake_frame_waiters(AudioVideoBlock* block);
// The entry's frame belongs to a place the block has since left.
bool frame_is_stale(const AudioVideoBlock* block, const FramePoolEntry* entry);

}  // namespace qvx_ffmpeg
