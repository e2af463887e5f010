#include <cmath>
#include <iterator>
#include <utility>
#include <vector>

#include "block/audio_video_block.h"
#include "pipeline/pipeline.h"

namespace qvx_ffmpeg {

namespace {

// Reading ahead for the first video key packet after a seek gives up past
// this many bytes (a stream without key flags), and the video goes on from
// the packet it reached.
constexpr int64_t max_key_search_bytes = 64ll * 1024 * 1024;
// A key frame this little after the target still counts as at it (time
// stamps rounded by the container).
constexpr double key_time_tolerance_s = 0.002;

// Takes the input and the decoders away from the block's threads for one
// repositioning: the video thread leaves its pacing wait and gives its
// decoder up, the audio callback finishes its current decode and then plays
// silence. Nothing decodes until the hand-over ends. Runs on the reader,
// which alone repositions the input.
class QVX_SCOPED_CAPABILITY RepositionGuard {
public:
    explicit RepositionGuard(AudioVideoBlock* block)
        QVX_ACQUIRE(block->handover.demux_lock, block->video.decoder_lock,
                    block->audio.decoder_lock)
        : block_(block) {
        ++block_->handover.reposition_pending;
        notify_block(block_);
        block_->handover.demux_lock.lock();
        block_->video.decoder_lock.lock();
        block_->audio.decoder_lock.lock();
    }
    ~RepositionGuard() QVX_RELEASE() {
        block_->audio.decoder_lock.unlock();
        block_->video.decoder_lock.unlock();
        block_->handover.demux_lock.unlock();
        --block_->handover.reposition_pending;
        notify_block(block_);
    }
    RepositionGuard(const RepositionGuard&) = delete;
    RepositionGuard& operator=(const RepositionGuard&) = delete;

private:
    AudioVideoBlock* block_;
};

// A drain in progress is abandoned.
void flush_audio_decoder(AudioVideoBlock* block) QVX_REQUIRES(block->audio.decoder_lock) {
    block->audio.decoding.flush();
    if (block->audio.sound.draining) {
        block->audio.sound.draining = false;
        block->audio.packets.done();
    }
}

// Everything queued from here on carries the new serial: the video thread
// and the texture update drop what was decoded before.
void restart_queue(PacketQueue& queue, uint32_t serial) {
    queue.clear();
    queue.push(flush_packet(), serial);
}

// Marks the reader's input I/O, so a stalled one can be interrupted when a
// request waits.
class IoWatch {
public:
    explicit IoWatch(AudioVideoBlock* block) : block_(block) {
        block_->reader.io_since_ns = steady_now_ns();
    }
    ~IoWatch() { block_->reader.io_since_ns = 0; }
    IoWatch(const IoWatch&) = delete;
    IoWatch& operator=(const IoWatch&) = delete;

private:
    AudioVideoBlock* block_;
};

// Moves the input to `seconds` from its start: the last key frame at or
// before it where the demuxer knows them. Called under the demux lock.
int seek_input(AudioVideoBlock* block, double seconds) {
    AVFormatContext* fmt = block->format_ctx.get();
    const AVStream* stream = block->facts.video_stream_index >= 0   ? block->facts.video_stream
                             : block->facts.audio_stream_index >= 0 ? block->facts.audio_stream
                                                                    : nullptr;
    const int64_t us = std::llround((seconds + block->facts.media_start_seconds) * AV_TIME_BASE);
    if (stream == nullptr)
        return avformat_seek_file(fmt, -1, INT64_MIN, us, us, AVSEEK_FLAG_BACKWARD);
    const int64_t ts = av_rescale_q(us, AV_TIME_BASE_Q, stream->time_base);
    int r = avformat_seek_file(fmt, stream->index, INT64_MIN, ts, ts, AVSEEK_FLAG_BACKWARD);
    // Some demuxers find nothing at or before the very first timestamp; the
    // start of the file is that place.
    if (r < 0 && seconds <= 0.0 && !(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK))
        r = av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE);
    return r;
}

// Restarts the queues and decoders of the streams on, under a new serial,
// once the input has moved. The pictures of a pass that ends in a loop are
// all converted (the reader waited for the decoders) and still to be shown:
// they go on under the new serial.
void restart_streams(AudioVideoBlock* block, bool video_on, bool audio_on, bool loop_pass)
    QVX_REQUIRES(block->handover.demux_lock, block->video.decoder_lock, block->audio.decoder_lock) {
    const uint32_t serial = ++block->handover.serial;
    if (video_on) restart_queue(block->video.packets, serial);
    if (audio_on) restart_queue(block->audio.packets, serial);
    block->video.decoding.flush();
    flush_audio_decoder(block);
    // The frames of a finished pass stay shown: the floor stays.
    if (!loop_pass) {
        block->handover.shown_serial_floor = serial;
        // Frames converted before the seek belong to the old position; the
        // texture update would drop them by their serial, this frees their
        // pool entries now.
        drop_decoded_frames(block);
    }
    block->reader.input_ended = false;
}

// Time of a packet in seconds from the input's start.
double packet_seconds(const AudioVideoBlock* block, const AVPacket* packet) {
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts == AV_NOPTS_VALUE || block->facts.video_stream == nullptr) return 0.0;
    return static_cast<double>(ts) * av_q2d(block->facts.video_stream->time_base) -
           block->facts.media_start_seconds;
}

// Reads on to the first video key packet (the picture never starts from a
// partial frame); the sound read on the way is kept in `sound`. Null at the
// end of the input or when the block stops.
PacketPtr read_to_key_packet(AudioVideoBlock* block, bool audio_on, std::vector<PacketPtr>& sound) {
    PacketPtr packet(av_packet_alloc());
    int64_t skipped_bytes = 0;
    while (packet != nullptr && !block->reader.stop &&
           av_read_frame(block->format_ctx.get(), packet.get()) >= 0) {
        if (packet->stream_index == block->facts.video_stream_index) {
            if ((packet->flags & AV_PKT_FLAG_KEY) != 0 || skipped_bytes > max_key_search_bytes)
                return packet;
            skipped_bytes += packet->size;
        } else if (audio_on && packet->stream_index == block->facts.audio_stream_index) {
            sound.push_back(std::move(packet));
            packet.reset(av_packet_alloc());
            continue;
        }
        av_packet_unref(packet.get());
    }
    return nullptr;
}

bool byte_seekable(const AudioVideoBlock* block) {
    return !(block->format_ctx->iformat->flags & AVFMT_NO_BYTE_SEEK);
}

// Moves the input so that the video starts from a key frame at or before
// `seconds` and queues that key packet (and the sound read on the way).
// Demuxers without an index (MPEG-TS, program streams) land near the time
// asked for, often past the key frame before it: the seek is then repeated
// from further back, and from the very start of the file at the last.
// video_target: where the first picture shown must be (-1: the first
// decoded).
int reposition(AudioVideoBlock* block, double seconds, double video_target, bool video_on,
               bool audio_on, const std::function<void(AVPacket*)>& route_audio,
               bool loop_pass = false)
    QVX_REQUIRES(block->handover.demux_lock, block->video.decoder_lock, block->audio.decoder_lock) {
    static constexpr double back_off_seconds[] = {0.0, 1.0, 3.0, 10.0, 30.0};
    IoWatch io(block);
    int r = seek_input(block, seconds);
    if (r < 0) return r;
    restart_streams(block, video_on, audio_on, loop_pass);
    // The video thread decodes the frames from the key frame up to the
    // target without showing them; the first picture re-bases the pacing,
    // or a jump ahead would hold the pictures back for as long as it skipped.
    block->video.seek_target = video_on ? video_target : -1.0;
    if (!video_on) return r;
    block->video.first_frame_pending = true;
    std::vector<PacketPtr> sound;
    PacketPtr key;
    bool from_file_start = false;
    for (size_t attempt = 1;; ++attempt) {
        key = read_to_key_packet(block, audio_on, sound);
        if (key == nullptr || packet_seconds(block, key.get()) <= seconds + key_time_tolerance_s ||
            from_file_start)
            break;
        const double tried = seconds - back_off_seconds[attempt - 1];
        int again;
        if (tried > 0.0 && attempt < std::size(back_off_seconds)) {
            again = seek_input(block, std::max(seconds - back_off_seconds[attempt], 0.0));
        } else if (byte_seekable(block)) {
            again = av_seek_frame(block->format_ctx.get(), -1, 0, AVSEEK_FLAG_BYTE);
            from_file_start = true;
        } else {
            break;
        }
        // A seek that fails leaves the input after the late key frame: the
        // picture starts there.
        if (again < 0) break;
        key.reset();
        sound.clear();
    }
    if (key != nullptr) block->video.packets.push(key.release(), block->handover.serial);
    for (PacketPtr& packet : sound) route_audio(packet.release());
    return r;
}

}  // namespace

bool rewind_to_start(AudioVideoBlock* block, bool video_on, bool audio_on,
                     const std::function<void(AVPacket*)>& route_audio, bool loop_pass) {
    if (block == nullptr || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block);
    const int r = reposition(block, 0.0, -1.0, video_on, audio_on, route_audio, loop_pass);
    if (r < 0) {
        qvx::LogMgr::get().tracef_warning(
            "[FFmpeg] rewind_block - could not go back to the start (audio/video block %d): %s",
            block->id, av_error_text(r).c_str());
        return false;
    }
    block->video.clock = 0.0;
    block->audio.clock = 0.0;
    restart_clock(block);
    hold_start_together(block);
    return true;
}

bool seek_to_seconds(AudioVideoBlock* block, bool video_on, bool audio_on, double seconds,
                     const std::function<void(AVPacket*)>& route_audio) {
    if (block == nullptr || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block);
    const int r = reposition(block, seconds, seconds, video_on, audio_on, route_audio);
    if (r < 0) {
        qvx::LogMgr::get().tracef(
            "[FFmpeg] - could not seek audio/video to position %lld sec (error: %d)",
            static_cast<long long>(seconds), r);
        return false;
    }
    block->audio.clock = seconds;
    block->video.clock = seconds;
    set_positions(block, static_cast<double>(seconds));
    block->reader.audio_clock_valid = false;
    return true;
}

int64_t clamp_seek_target(const AudioVideoBlock* block, int seconds) {
    if (seconds < 0 || seconds >= block->facts.duration_seconds) return 0;
    return seconds;
}

void request_seek(AudioVideoBlock* block, int seconds) {
    request_seek_seconds(block, static_cast<double>(clamp_seek_target(block, seconds)));
}

void request_seek_seconds(AudioVideoBlock* block, double seconds) {
    // Beyond the end (when it is known) a seek restarts from the start.
    const double duration = static_cast<double>(block->facts.duration_us) / AV_TIME_BASE;
    if (!(seconds >= 0.0) || (duration > 0.0 && seconds >= duration)) seconds = 0.0;
    block->controls.seek_target_seconds = seconds;
    block->controls.seek_requested = true;
    notify_block(block);
}

void request_rewind(AudioVideoBlock* block) {
    block->controls.rewind_requested = true;
    notify_block(block);
}

int64_t video_ms_to_timestamp(AudioVideoBlock* block, int milliseconds) {
    // The stream's time base is fixed at open: no need of the input's lock.
    if (block->facts.video_stream_index < 0 || block->facts.video_stream == nullptr) return 0;
    const AVRational tb = block->facts.video_stream->time_base;
    if (tb.num <= 0 || tb.den <= 0) return 0;
    return av_rescale(milliseconds, tb.den, tb.num) / 1000;
}

// The direct seeks are served by the reader like seek_block, so the host
// never waits on an input that has stopped answering; each moves the whole
// block. Timestamps count from the input's start in the stream's time base,
// as video_ms_to_timestamp gives them.
bool seek_video_frame(AudioVideoBlock* block, int seconds) {
    if (block->facts.video_stream_index < 0 || block->facts.video_stream == nullptr) return false;
    request_seek_seconds(block, static_cast<double>(seconds));
    return true;
}

bool seek_video_timestamp(AudioVideoBlock* block, int timestamp) {
    if (block->facts.video_stream_index < 0 || block->facts.video_stream == nullptr) return false;
    request_seek_seconds(block, timestamp * av_q2d(block->facts.video_stream->time_base));
    return true;
}

bool seek_audio_timestamp(AudioVideoBlock* block, int timestamp) {
    if (block->facts.audio_stream_index < 0 || block->facts.audio_stream == nullptr) return false;
    request_seek_seconds(block, timestamp * av_q2d(block->facts.audio_stream->time_base));
    return true;
}

}  // namespace qvx_ffmpeg
