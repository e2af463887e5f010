#include "pipeline/pipeline.h"
#include "plugin/audio_video_block.h"
#include "texture/texture.h"

namespace qvx_ffmpeg {

namespace {

// Takes the input and the decoders away from the block's threads for one
// repositioning: the video thread leaves its pacing wait and gives its
// decoder up, the audio callback finishes its current decode and then plays
// silence. Nothing decodes until the hand-over ends.
class RepositionGuard {
public:
    RepositionGuard(AudioVideoBlock* block, bool take_audio)
        : block_(block),
          demux_(block->demux_lock, std::defer_lock),
          video_(block->video_decoder_lock, std::defer_lock),
          audio_(block->audio_decoder_lock, std::defer_lock) {
        ++block_->reposition_pending;
        notify_block(block_);
        demux_.lock();
        video_.lock();
        if (take_audio) audio_.lock();
    }
    ~RepositionGuard() {
        ++block_->video_serial;
        if (audio_.owns_lock()) audio_.unlock();
        video_.unlock();
        demux_.unlock();
        --block_->reposition_pending;
        notify_block(block_);
    }
    RepositionGuard(const RepositionGuard&) = delete;
    RepositionGuard& operator=(const RepositionGuard&) = delete;

private:
    AudioVideoBlock* block_;
    std::unique_lock<std::mutex> demux_;
    std::unique_lock<std::mutex> video_;
    std::unique_lock<std::mutex> audio_;
};

// Called with the audio decoder taken: a drain in progress is abandoned.
void flush_audio_decoder(AudioVideoBlock* block) {
    if (block->audio_codec_ctx) avcodec_flush_buffers(block->audio_codec_ctx);
    if (block->audio_draining) {
        block->audio_draining = false;
        block->audio_packets.done();
    }
}

void flush_video_decoder(AudioVideoBlock* block) {
    if (block->video_codec_ctx) avcodec_flush_buffers(block->video_codec_ctx);
}

void restart_queue(PacketQueue& queue) {
    queue.clear();
    queue.push(flush_packet());
}

// Frames converted before a seek belong to the old position.
void drop_decoded_frames(AudioVideoBlock* block) {
    while (FramePoolEntry* entry = pop_decoded_frame(block)) release_decoded_frame(entry);
}

// With both streams on, the video restarts from its first key packet so the
// picture never starts from a partial frame.
void queue_first_key_packet(AudioVideoBlock* block) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return;
    while (av_read_frame(block->format_ctx, packet) >= 0) {
        if (packet->stream_index == block->video_stream_index &&
            (packet->flags & AV_PKT_FLAG_KEY) != 0) {
            block->video_packets.push(packet);
            return;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
}

}  // namespace

void rewind_to_start(AudioVideoBlock* block, bool video_on, bool audio_on) {
    if (block == nullptr) return;
    {
        RepositionGuard guard(block, true);
        bool sought = false;
        if (video_on && block->video_stream_index >= 0) {
            av_seek_frame(block->format_ctx, block->video_stream_index, 0, AVSEEK_FLAG_FRAME);
            sought = true;
            flush_video_decoder(block);
            restart_queue(block->video_packets);
            block->video_clock = 0.0;
        }
        if (audio_on && block->audio_stream_index >= 0) {
            if (!sought)
                av_seek_frame(block->format_ctx, block->audio_stream_index, 0, AVSEEK_FLAG_FRAME);
            flush_audio_decoder(block);
            restart_queue(block->audio_packets);
            block->audio_clock = 0.0;
        }
        restart_clock(block);
        // The clock restarts from now: the first frame re-bases the pacing, or
        // every frame of the new pass would count as late.
        if (video_on) block->video_first_frame_pending = true;
        block->hold_video_for_sound = block->audio_drives_video.load();
    }
}

bool seek_to_seconds(AudioVideoBlock* block, bool video_on, bool audio_on, int64_t seconds) {
    if (block == nullptr || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block, true);
    const AVStream* video = block->video_stream_index >= 0
                                ? block->format_ctx->streams[block->video_stream_index]
                                : nullptr;
    const AVStream* audio = block->audio_stream_index >= 0
                                ? block->format_ctx->streams[block->audio_stream_index]
                                : nullptr;
    const int64_t us = seconds * 1000000;
    int64_t ts = -1;
    int stream = -1;
    if (video) {
        ts = av_rescale_q(us, AV_TIME_BASE_Q, video->time_base);
        stream = block->video_stream_index;
    } else if (audio) {
        ts = av_rescale_q(us, AV_TIME_BASE_Q, audio->time_base);
        stream = block->audio_stream_index;
    }
    const int r = avformat_seek_file(block->format_ctx, stream, INT64_MIN, ts, INT64_MAX,
                                     AVSEEK_FLAG_BACKWARD);
    if (r < 0) {
        qvx::LogMgr::get().tracef(
            "[FFmpeg] - could not seek audio/video to position %lld sec (error: %d)",
            static_cast<long long>(seconds), r);
        return false;
    }
    if (audio_on && block->audio_stream_index >= 0) restart_queue(block->audio_packets);
    if (video_on && block->video_stream_index >= 0) restart_queue(block->video_packets);
    flush_audio_decoder(block);
    flush_video_decoder(block);
    if (video_on && audio_on) queue_first_key_packet(block);
    drop_decoded_frames(block);
    block->audio_clock = static_cast<double>(seconds);
    block->video_clock = static_cast<double>(seconds);
    block->video_position = static_cast<float>(seconds);
    block->audio_position = static_cast<float>(seconds);
    block->input_ended = false;
    block->audio_clock_valid = false;
    return true;
}

int64_t video_ms_to_timestamp(AudioVideoBlock* block, int milliseconds) {
    if (block->video_stream_index < 0 || block->format_ctx == nullptr) return 0;
    const AVRational tb = block->format_ctx->streams[block->video_stream_index]->time_base;
    if (tb.num <= 0 || tb.den <= 0) return 0;
    return av_rescale(milliseconds, tb.den, tb.num) / 1000;
}

bool seek_video_frame(AudioVideoBlock* block, int seconds) {
    if (block->video_stream_index < 0 || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block, false);
    av_seek_frame(block->format_ctx, block->video_stream_index,
                  static_cast<int64_t>(seconds) * 1000000, AVSEEK_FLAG_FRAME);
    flush_video_decoder(block);
    // The pictures from the new place re-base the pacing, or a jump ahead
    // would hold them back for as long as it skipped.
    block->video_first_frame_pending = true;
    block->input_ended = false;
    return true;
}

bool seek_video_timestamp(AudioVideoBlock* block, int timestamp) {
    if (block->video_stream_index < 0 || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block, false);
    avformat_seek_file(block->format_ctx, block->video_stream_index, 0, timestamp, timestamp,
                       AVSEEK_FLAG_FRAME);
    flush_video_decoder(block);
    block->video_first_frame_pending = true;
    block->input_ended = false;
    return true;
}

bool seek_audio_timestamp(AudioVideoBlock* block, int timestamp) {
    if (block->audio_stream_index < 0 || block->format_ctx == nullptr) return false;
    RepositionGuard guard(block, true);
    avformat_seek_file(block->format_ctx, block->audio_stream_index, 0, timestamp, timestamp,
                       AVSEEK_FLAG_FRAME);
    flush_audio_decoder(block);
    block->input_ended = false;
    block->audio_clock_valid = false;
    return true;
}

}  // namespace qvx_ffmpeg
