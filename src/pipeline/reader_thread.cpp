#include <algorithm>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"

namespace qvx_ffmpeg {

namespace {

// Longest single wait of the reader for the decoders; they wake it as soon
// as they take or finish a packet.
constexpr int consumer_wait_ms = 50;
// A failed packet allocation is retried after this long.
constexpr int alloc_retry_ms = 10;
// A looping input whose pass showed nothing (no picture decoded, no sound:
// both streams off, or none of it decodes) would otherwise be read again
// and again as fast as the disk gives it: the next pass waits, longer each
// empty pass, up to the last figure.
constexpr int empty_loop_first_wait_ms = 100;
constexpr int empty_loop_longest_wait_ms = 1600;

// What this run of the reader decided at its start, and where it stands.
struct ReaderRun {
    bool video_on = false;
    bool audio_on = false;
    // The input has ended for the current segment and the drain markers are
    // queued; cleared by a successful read, a seek or a rewind.
    bool at_end = false;
    // The input could not be moved back to its start: a looping block ends
    // like a non-looping one instead of retrying for ever.
    bool rewind_failed = false;
    // After a seek, sound before this point (seconds from the start) is not
    // queued, so the sound starts where the picture does; -1 none.
    double audio_skip_until = -1.0;
    // A looping input has been shown to its end: rewind next cycle.
    bool loop_pass_done = false;
    // What the decoders had given out when this pass began, to tell a pass
    // that showed something from an empty one, and the wait before the next
    // pass after an empty one (0: the last pass was not empty).
    uint32_t pass_start_pictures = 0;
    double pass_start_sound = 0.0;
    int empty_loop_wait_ms = 0;
    // The input is a local file: read ahead by time, further as the run
    // goes on (first_read_ahead_ms to local_read_ahead_ms).
    bool local_input = false;
    int64_t started_ns = 0;
};

void start_pass(const AudioVideoBlock* block, ReaderRun& st) {
    st.pass_start_pictures = block->video.decoded_count;
    st.pass_start_sound = block->audio.clock;
}

bool pass_showed_something(const AudioVideoBlock* block, const ReaderRun& st) {
    return block->video.decoded_count != st.pass_start_pictures ||
           block->audio.clock != st.pass_start_sound;
}

bool has_request(const AudioVideoBlock* block) {
    return block->reader.stop || block->controls.seek_requested || block->controls.rewind_requested;
}

bool queues_over_limit(AudioVideoBlock* block) {
    return block->video.packets.count + block->audio.packets.count > max_queue_packets ||
           block->video.packets.bytes + block->audio.packets.bytes > max_queue_bytes;
}

// How far ahead a local file is read now: as far as the run has gone, within
// first_read_ahead_ms and local_read_ahead_ms.
int64_t read_ahead_us(const ReaderRun& st) {
    return std::clamp<int64_t>((steady_now_ns() - st.started_ns) / 1000,
                               int64_t{first_read_ahead_ms} * 1000,
                               int64_t{local_read_ahead_ms} * 1000);
}

// Every stream played has at least `ahead_us` queued (false when none is
// played, or one of them has nothing to say about its durations).
bool read_ahead_reached(AudioVideoBlock* block, const ReaderRun& st, int64_t ahead_us) {
    return (st.video_on || st.audio_on) &&
           (!st.video_on || block->video.packets.duration_us >= ahead_us) &&
           (!st.audio_on || block->audio.packets.duration_us >= ahead_us);
}

int64_t packet_duration_us(const AudioVideoBlock* block, const AVPacket* packet,
                           const AVStream* stream, bool video) {
    int64_t us = 0;
    if (packet->duration > 0 && stream != nullptr) {
        us = av_rescale_q(packet->duration, stream->time_base, AVRational{1, 1000000});
    } else if (video && block->facts.video_fps > 0.0) {
        // Many MPEG-TS and raw streams leave video packets without a duration.
        us = static_cast<int64_t>(1e6 / std::max(block->facts.video_fps, 1.0));
    }
    // A damaged packet may claim any duration (or overflow the rescale):
    // none counts for more than a second, so the queues' sums stay sane.
    return std::clamp<int64_t>(us, 0, 1000000);
}

bool is_local_file(const std::string& name) {
    const char* protocol = avio_find_protocol_name(name.c_str());
    return protocol != nullptr && std::strcmp(protocol, "file") == 0;
}

bool decoders_done(AudioVideoBlock* block) {
    return block->video.packets.count == 0 && block->video.packets.in_flight == 0 &&
           block->audio.packets.count == 0 && block->audio.packets.in_flight == 0;
}

bool looping(const AudioVideoBlock* block, const ReaderRun& st) {
    return block->controls.loop && !st.rewind_failed;
}

// Waits for the decoders to take or finish packets (or for a request); the
// queues' consumed listener wakes the wait.
template <typename Ready>
bool wait_for_consumers(AudioVideoBlock* block, int timeout_ms, Ready ready) {
    block->reader.waits_for_consumers = true;
    const bool result = wait_block(block, std::chrono::milliseconds(timeout_ms), ready);
    block->reader.waits_for_consumers = false;
    return result;
}

// Lets the decoders give out the frames they still hold for this segment.
void queue_drain_markers(AudioVideoBlock* block, const ReaderRun& st) {
    const uint32_t serial = block->handover.serial;
    if (st.video_on) block->video.packets.push(drain_packet(), serial);
    if (st.audio_on) block->audio.packets.push(drain_packet(), serial);
}

// True when an audio packet ends before the point a seek went to.
bool before_audio_target(const AudioVideoBlock* block, const AVPacket* packet, double target) {
    if (packet->pts == AV_NOPTS_VALUE || block->facts.audio_stream == nullptr) return false;
    const int64_t end = packet->pts + std::max<int64_t>(packet->duration, 0);
    const double t = static_cast<double>(end) * av_q2d(block->facts.audio_stream->time_base) -
                     block->facts.media_start_seconds;
    return t <= target;
}

void route_packet(AudioVideoBlock* block, ReaderRun& st, AVPacket* packet) {
    const uint32_t serial = block->handover.serial;
    if (st.video_on && packet->stream_index == block->facts.video_stream_index) {
        block->video.packets.push(
            packet, serial, packet_duration_us(block, packet, block->facts.video_stream, true));
    } else if (st.audio_on && packet->stream_index == block->facts.audio_stream_index) {
        if (st.audio_skip_until >= 0.0) {
            if (before_audio_target(block, packet, st.audio_skip_until)) {
                const PacketPtr dropped(packet);
                return;
            }
            st.audio_skip_until = -1.0;
        }
        block->audio.packets.push(
            packet, serial, packet_duration_us(block, packet, block->facts.audio_stream, false));
    } else {
        const PacketPtr dropped(packet);
    }
}

void serve_seek(AudioVideoBlock* block, ReaderRun& st) {
    block->reader.seeking = true;
    // Cleared before the target is read: a request made during this seek is
    // served next cycle, not lost.
    block->controls.seek_requested = false;
    const double target = block->controls.seek_target_seconds;
    st.audio_skip_until = st.audio_on ? target : -1.0;
    if (seek_to_seconds(block, st.video_on, st.audio_on, target,
                        [block, &st](AVPacket* packet) { route_packet(block, st, packet); })) {
        st.at_end = false;
        st.rewind_failed = false;
    } else {
        st.audio_skip_until = -1.0;
    }
    start_pass(block, st);
    update_clock(block);
    block->reader.seeking = false;
    notify_block(block);
}

void serve_rewind(AudioVideoBlock* block, ReaderRun& st, bool loop_pass) {
    st.audio_skip_until = -1.0;
    st.loop_pass_done = false;
    if (rewind_to_start(
            block, st.video_on, st.audio_on,
            [block, &st](AVPacket* packet) { route_packet(block, st, packet); }, loop_pass)) {
        st.at_end = false;
        st.rewind_failed = false;
    } else {
        st.rewind_failed = true;
    }
    start_pass(block, st);
}

// After a loop pass that showed nothing, waits before the next one (a
// request ends the wait at once).
void wait_after_empty_pass(AudioVideoBlock* block, ReaderRun& st) {
    if (pass_showed_something(block, st)) {
        st.empty_loop_wait_ms = 0;
        return;
    }
    if (st.empty_loop_wait_ms == 0) {
        st.empty_loop_wait_ms = empty_loop_first_wait_ms;
        qvx::LogMgr::get().tracef_warning(
            "[FFmpeg] reader_thread - a pass of the looping input showed nothing; the next "
            "waits %d ms, longer while they stay empty (audio/video block %d)",
            st.empty_loop_wait_ms, block->id);
    } else {
        st.empty_loop_wait_ms = std::min(2 * st.empty_loop_wait_ms, empty_loop_longest_wait_ms);
    }
    wait_block(block, std::chrono::milliseconds(st.empty_loop_wait_ms),
               [block] { return has_request(block); });
}

// At the end of a looping input: once every queued packet has been decoded
// and shown, ask for the rewind (served next cycle). A seek asked for
// meanwhile wins over the rewind.
void finish_loop(AudioVideoBlock* block, ReaderRun& st) {
    while (!block->reader.stop && !block->controls.seek_requested) {
        if (decoders_done(block)) break;
        if (block->audio.stop || block->video.stop) break;
        update_clock(block);
        wait_for_consumers(block, end_of_input_retry_ms, [block] {
            return block->reader.stop || block->controls.seek_requested || decoders_done(block);
        });
    }
    if (block->reader.stop || block->controls.seek_requested) return;
    wait_after_empty_pass(block, st);
    if (block->reader.stop || block->controls.seek_requested) return;
    st.loop_pass_done = true;
}

void reader_cycle(AudioVideoBlock* block, ReaderRun& st) {
    update_clock(block);
    if (block->controls.rewind_requested.exchange(false)) {
        serve_rewind(block, st, false);
    } else if (st.loop_pass_done) {
        serve_rewind(block, st, true);
    }
    if (block->controls.seek_requested) {
        // A seek goes on to one read even while paused.
        serve_seek(block, st);
    } else if (block->controls.paused) {
        wait_block(block, std::chrono::milliseconds(idle_wait_ms),
                   [block] { return !block->controls.paused || has_request(block); });
        return;
    }

    if (queues_over_limit(block)) {
        wait_for_consumers(block, consumer_wait_ms,
                           [block] { return has_request(block) || !queues_over_limit(block); });
        return;
    }
    const int64_t ahead_us = st.local_input ? read_ahead_us(st) : 0;
    if (st.local_input && read_ahead_reached(block, st, ahead_us)) {
        wait_for_consumers(block, consumer_wait_ms, [block, &st, ahead_us] {
            return has_request(block) || !read_ahead_reached(block, st, ahead_us / 2);
        });
        return;
    }
    if (st.at_end && !looping(block, st)) {
        // A non-looping input at its end keeps its last state; the read is
        // retried now and then in case the input grows.
        // An untimed block has ended only once the host has taken every
        // frame too; its texture updates wake this wait, so that the end
        // is told as soon as the last frame is out.
        const auto everything_out = [block, &st] {
            return decoders_done(block) && (!st.audio_on || block->audio.played_out) &&
                   (block->facts.realtime || frames_queued(block) == 0);
        };
        if (!block->reader.input_ended && everything_out()) block->reader.input_ended = true;
        if (wait_for_consumers(block, end_of_input_retry_ms, [&] {
                return has_request(block) ||
                       (!block->facts.realtime && !block->reader.input_ended && everything_out());
            }))
            return;
    }

    PacketPtr packet(av_packet_alloc());
    if (packet == nullptr) {
        wait_block(block, std::chrono::milliseconds(alloc_retry_ms),
                   [block] { return has_request(block); });
        return;
    }
    int r;
    {
        MutexLock guard(block->handover.demux_lock);
        block->reader.io_since_ns = steady_now_ns();
        r = av_read_frame(block->format_ctx.get(), packet.get());
        block->reader.io_since_ns = 0;
    }
    if (r >= 0) {
        st.at_end = false;
        block->reader.input_ended = false;
        route_packet(block, st, packet.release());
        return;
    }
    packet.reset();
    // A read given up for a stop, seek or rewind is not the end of the
    // input: the request is served next cycle.
    if (has_request(block)) return;

    if (!st.at_end) {
        // Inputs without an I/O context (devices, lavfi) have no I/O error
        // to report: their failed read is the end of input.
        const AVIOContext* io = block->format_ctx->pb;
        if (r != AVERROR_EOF && io != nullptr && io->error != 0 && !block->reader.stop)
            qvx::LogMgr::get().tracef_warning(
                "[FFmpeg] reader_thread - read error, treated as the end of input (audio/video "
                "block %d): %s",
                block->id, av_error_text(r).c_str());
        st.at_end = true;
        queue_drain_markers(block, st);
    }
    if (looping(block, st)) finish_loop(block, st);
}

void reader_shutdown(AudioVideoBlock* block) {
    block->reader.audio_drives_video = false;
    block->video.stop = true;
    block->audio.stop = true;
    notify_block(block);
    update_clock(block);
    close_audio_device(block);
    if (block->video.running) {
        if (block->video.thread.joinable()) block->video.thread.join();
        block->video.running = false;
    }
    block->audio.packets.clear();
    block->video.packets.clear();
}

}  // namespace

unsigned reader_thread(AudioVideoBlock* block) {
    if (block == nullptr) {
        qvx::utils::thread_exit();
        return 0;
    }
    name_this_thread("qvx-reader");
    restart_clock(block);
    if (block->controls.seek_requested) {
        // A run that resumes where the last one stopped (or a seek asked for
        // before play) reports its target from the start.
        set_positions(block, block->controls.seek_target_seconds);
    }

    // No decoder runs yet (the last run's were joined); the locks cost nothing.
    bool video_decoder_open = false;
    bool audio_decoder_open = false;
    {
        MutexLock video(block->video.decoder_lock);
        video_decoder_open = block->video.decoding.decoder_open();
    }
    {
        MutexLock audio(block->audio.decoder_lock);
        audio_decoder_open = block->audio.decoding.decoder_open();
    }
    ReaderRun st;
    start_pass(block, st);
    st.local_input = is_local_file(block->file_name);
    st.started_ns = steady_now_ns();
    st.video_on =
        block->controls.video_enabled && block->facts.video_stream_index >= 0 && video_decoder_open;
    // An untimed block plays as if its sound were off.
    st.audio_on = block->facts.realtime && block->controls.audio_enabled &&
                  block->facts.audio_stream_index >= 0 && audio_decoder_open;
    if (st.video_on) {
        try {
            block->video.thread = std::thread(video_decode_thread, block);
            block->video.running = true;
        } catch (const std::system_error& e) {
            qvx::LogMgr::get().tracef_error(
                "[FFmpeg] reader_thread - unable to start the video decode thread (audio/video "
                "block %d): %s",
                block->id, e.what());
            st.video_on = false;
        }
    }
    // The device pulls sound as soon as it is open: the hold comes first.
    block->reader.audio_drives_video = st.audio_on && st.video_on;
    hold_start_together(block);
    if (st.audio_on && !open_audio_device(block)) {
        block->controls.audio_enabled = false;
        st.audio_on = false;
        block->reader.audio_drives_video = false;
        hold_start_together(block);
    }

    while (!block->reader.stop) reader_cycle(block, st);

    reader_shutdown(block);
    qvx::utils::thread_exit();
    return 0;
}

}  // namespace qvx_ffmpeg
