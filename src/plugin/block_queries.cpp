#include <algorithm>
#include <cmath>

#include "block/audio_video_block.h"
#include "plugin/block_control.h"

namespace qvx_ffmpeg {

namespace {

// Whole seconds of a duration round at 5 ms.
constexpr int64_t duration_rounding_us = 5000;
// No video runs this many frames a second; rates this high are tick rates
// (FLV's 1000, MPEG's 90000).
constexpr double min_tick_rate = 1000.0;

// A frame rate, or 0 when r is unset or is a tick rate.
double plausible_rate(AVRational r) {
    if (r.num <= 0 || r.den <= 0) return 0.0;
    const double rate = av_q2d(r);
    return rate < min_tick_rate ? rate : 0.0;
}

}  // namespace

void fix_open_block_facts(AudioVideoBlock* block) {
    const AVFormatContext* fmt = block->format_ctx.get();
    if (fmt == nullptr) return;
    int64_t duration_us = fmt->duration != AV_NOPTS_VALUE ? fmt->duration : 0;
    for (const AVStream* stream : {block->facts.video_stream, block->facts.audio_stream}) {
        if (duration_us > 0 || stream == nullptr || stream->duration == AV_NOPTS_VALUE) continue;
        duration_us = av_rescale_q(stream->duration, stream->time_base, AV_TIME_BASE_Q);
    }
    block->facts.duration_us = std::max<int64_t>(duration_us, 0);

    block->facts.video_fps = 0.0;
    if (const AVStream* stream = block->facts.video_stream) {
        double fps = plausible_rate(stream->avg_frame_rate);
        if (fps == 0.0) fps = plausible_rate(stream->r_frame_rate);
        const AVCodecContext* ctx = block->video.codec_ctx.get();
        if (fps == 0.0 && ctx != nullptr) fps = plausible_rate(ctx->framerate);
        block->facts.video_fps = fps;
    }
}

float block_position(const AudioVideoBlock* block) {
    float position = 0.0f;
    if (block->facts.video_stream_index >= 0) {
        position = block->clock.video_position;
    } else if (block->facts.audio_stream_index >= 0) {
        position = block->clock.audio_position;
    }
    // A host's end rule is "position >= duration": at the end the position
    // is the whole input, whatever the last frame's own time.
    if (block->reader.input_ended && !block->controls.loop) {
        position = std::max({position, static_cast<float>(block->facts.duration_us / 1e6),
                             static_cast<float>(block_duration_seconds(block))});
    }
    return position;
}

int64_t block_duration_seconds(const AudioVideoBlock* block) {
    const int64_t us = block->facts.duration_us;
    if (us <= 0) return 0;
    const int64_t rounded = us <= INT64_MAX - duration_rounding_us ? us + duration_rounding_us : us;
    // A clip shorter than a second still lasts: 0 would read as "unknown".
    return std::max<int64_t>(rounded / AV_TIME_BASE, 1);
}

double block_video_fps(const AudioVideoBlock* block) {
    return block->facts.video_stream_index >= 0 ? block->facts.video_fps : 0.0;
}

bool block_ended(const AudioVideoBlock* block) {
    return block->reader.input_ended && !block->controls.loop;
}

}  // namespace qvx_ffmpeg
