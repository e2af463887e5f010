#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "block/audio_video_block.h"
#include "media/media.h"

namespace qvx_ffmpeg {

namespace {

constexpr int64_t duration_rounding_us = 5000;

// Whole seconds of a duration in microseconds, rounded at 5 ms; the
// rounding is skipped where adding it would overflow.
int64_t rounded_duration_us(int64_t duration_us) {
    return duration_us <= INT64_MAX - duration_rounding_us ? duration_us + duration_rounding_us
                                                           : duration_us;
}

int seconds_from_stream_duration(const AVStream* stream) {
    const int64_t us = av_rescale_q(stream->duration, stream->time_base, AV_TIME_BASE_Q);
    return static_cast<int>(rounded_duration_us(us) / AV_TIME_BASE);
}

int64_t stream_start_seconds(const AVStream* stream) {
    return av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q) / AV_TIME_BASE;
}

std::string codec_display_name(AVCodecID codec_id) {
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec_id);
    if (descriptor && descriptor->long_name && descriptor->long_name[0] != '\0')
        return descriptor->long_name;
    const char* name = avcodec_get_name(codec_id);
    return name ? name : "";
}

// More decoding threads than this only add memory and contention.
constexpr int max_decoder_threads = 16;

// The decoder options for a thread count as the host set it: a negative
// count means automatic, a huge one is capped. automatic: the count that
// 0 stands for (0 leaves it to FFmpeg).
DictionaryPtr thread_options(qvx::Plugin& log, const AudioVideoBlock* block, const char* key,
                             int threads, int automatic = 0) {
    if (threads < 0) {
        log.tracef_warning(
            "[FFmpeg] open_media - %s %d is negative, deciding automatically "
            "(audio/video block %d)",
            key, threads, block->id);
        threads = 0;
    } else if (threads > max_decoder_threads) {
        log.tracef_warning(
            "[FFmpeg] open_media - %s %d is too many, using %d (audio/video block %d)", key,
            threads, max_decoder_threads, block->id);
        threads = max_decoder_threads;
    }
    if (threads == 0) threads = automatic;
    DictionaryPtr options;
    if (threads != 0) {
        av_dict_set_int(inout_ptr(options), "threads", threads, 0);
    } else {
        av_dict_set(inout_ptr(options), "threads", "auto", 0);
    }
    return options;
}

const uint8_t* display_matrix(const AVStream* stream) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
    const AVPacketSideData* side =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    return side ? side->data : nullptr;
#else
    return av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
#endif
}

// An input that stops answering while it is being opened must not hold the
// host's thread for ever.
constexpr auto open_timeout = std::chrono::seconds(15);

// Lets a blocking read or open of a stalled input give up once the block is
// asked to stop, once a seek or rewind has waited behind a stalled read, or
// once its open has taken too long.
int interrupt_on_stop(void* opaque) {
    const auto* block = static_cast<const AudioVideoBlock*>(opaque);
    if (reader_interrupt_requested(block)) return 1;
    const int64_t deadline = block->reader.open_deadline_ns;
    return deadline != 0 && steady_now_ns() > deadline ? 1 : 0;
}

// Arms the open deadline for the life of one open_media call.
class OpenDeadline {
public:
    explicit OpenDeadline(AudioVideoBlock* block) : block_(block) {
        block_->reader.open_deadline_ns =
            steady_now_ns() +
            std::chrono::duration_cast<std::chrono::nanoseconds>(open_timeout).count();
    }
    ~OpenDeadline() { block_->reader.open_deadline_ns = 0; }
    OpenDeadline(const OpenDeadline&) = delete;
    OpenDeadline& operator=(const OpenDeadline&) = delete;

private:
    AudioVideoBlock* block_;
};

void describe_container(qvx::Plugin& log, AudioVideoBlock* block) {
    const AVFormatContext* fmt = block->format_ctx.get();
    log.tracef("Information about %s:", escape_for_log(block->file_name).c_str());
    if (fmt->duration != AV_NOPTS_VALUE) {
        const int64_t d = rounded_duration_us(fmt->duration);
        const int s = static_cast<int>(d / AV_TIME_BASE);
        block->facts.duration_seconds = s;
        int m = s / 60;
        const int h = m / 60;
        m %= 60;
        // From the remainder: a damaged header's duration does not fit s.
        const int hundredths = static_cast<int>((d % AV_TIME_BASE) * 100 / AV_TIME_BASE);
        log.tracef("  - duration: %02d:%02d:%02d.%02d (%d sec)", h, m, s % 60, hundredths, s);
    }
    if (fmt->start_time != AV_NOPTS_VALUE)
        log.tracef("  - start_time: %d secs",
                   std::abs(static_cast<int>(fmt->start_time / AV_TIME_BASE)));
    if (fmt->bit_rate != 0)
        log.tracef("  - birate: %d kb/sec:", static_cast<int>(fmt->bit_rate / 1000));
    if (fmt->nb_streams != 0) log.tracef("  - num streams: %d", static_cast<int>(fmt->nb_streams));
}

// Returns false when avcodec_open2 failed.
bool open_video_decoder(qvx::Plugin& log, const DecodingSettings& settings, AudioVideoBlock* block,
                        int blocks_open) {
    // FFmpeg's own automatic count is a thread per core (and one more) for
    // every block: with many blocks playing each frame would wake more
    // threads than there are cores.
    const int automatic =
        automatic_video_threads(static_cast<int>(std::thread::hardware_concurrency()), blocks_open);
    DictionaryPtr options =
        thread_options(log, block, "num_video_threads", settings.num_video_threads, automatic);
    AVCodecContext* ctx = block->video.codec_ctx.get();
    AVStream* stream = block->facts.video_stream;
    if (avcodec_open2(ctx, block->facts.video_codec, inout_ptr(options)) < 0) {
        log.tracef_error("Unable to initialize the video codec for file %s",
                         escape_for_log(block->file_name).c_str());
        return false;
    }
    log.tracef("  - video stream (%d):", block->facts.video_stream_index);
    block->facts.video_codec_name = codec_display_name(ctx->codec_id);
    log.tracef("    . codec: %s", block->facts.video_codec_name.c_str());
    if (ctx->pix_fmt == 0) {
        log.tracef("    . pixel format: YUV420P (%d)", ctx->pix_fmt);
    } else {
        log.tracef("    . pixel format: %d", ctx->pix_fmt);
    }
    if (block->facts.duration_seconds == 0 && stream->duration != AV_NOPTS_VALUE)
        block->facts.duration_seconds = seconds_from_stream_duration(stream);
    log.tracef("    . duration: %d sec", block->facts.duration_seconds);
    if (stream->start_time != AV_NOPTS_VALUE)
        log.tracef("    . start_time: %f sec", static_cast<double>(stream_start_seconds(stream)));
    if (ctx->bit_rate != 0)
        log.tracef("    . birate: %d kb/sec:", static_cast<int32_t>(ctx->bit_rate) / 1000);
    log.tracef("    . size: %d x %d pixels", ctx->width, ctx->height);
    block->video.width = ctx->width;
    block->video.height = ctx->height;

    int32_t frames = static_cast<int32_t>(stream->nb_frames);
    if (frames == 0 && stream->duration != AV_NOPTS_VALUE) {
        // 64-bit products: a rate like 30000/1001 with a 1/90000 time base
        // would overflow 32 bits.
        const int64_t b = static_cast<int64_t>(stream->r_frame_rate.num) * stream->time_base.num;
        const int64_t c = static_cast<int64_t>(stream->r_frame_rate.den) * stream->time_base.den;
        if (b > 0 && c > 0) frames = static_cast<int32_t>(av_rescale(stream->duration, b, c));
    }
    block->facts.video_num_frames = static_cast<uint32_t>(frames);
    log.tracef("    . num frames: %d", frames);

    const AVDictionaryEntry* rate =
        av_dict_get(stream->metadata, "framerate", nullptr, AV_DICT_MATCH_CASE);
    if (rate) log.tracef("    . framerate info - value: %s", rate->value);

    if (const uint8_t* matrix = display_matrix(stream)) {
        const double rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        if (!std::isnan(rotation)) {
            block->facts.video_rotation = static_cast<float>(rotation);
            log.tracef("    . rotation: %d degrees", static_cast<int>(std::lround(rotation)));
        }
    }
    return true;
}

// Returns false when avcodec_open2 failed.
bool open_audio_decoder(qvx::Plugin& log, const DecodingSettings& settings,
                        AudioVideoBlock* block) {
    DictionaryPtr options =
        thread_options(log, block, "num_audio_threads", settings.num_audio_threads);
    AVCodecContext* ctx = block->audio.codec_ctx.get();
    AVStream* stream = block->facts.audio_stream;
    if (avcodec_open2(ctx, block->facts.audio_codec, inout_ptr(options)) < 0) {
        log.tracef_error("Unable to initialize the audio codec for file %s",
                         escape_for_log(block->file_name).c_str());
        return false;
    }
    log.tracef("  - audio stream (%d):", block->facts.audio_stream_index);
    block->facts.audio_codec_name = codec_display_name(ctx->codec_id);
    log.tracef("    . codec: %s", block->facts.audio_codec_name.c_str());
    if (const char* format_name = av_get_sample_fmt_name(ctx->sample_fmt))
        log.tracef("    . sample format: %s", format_name);
    log.tracef("    . bitrate: %d kb/sec",
               static_cast<int32_t>(block->format_ctx->bit_rate) / 1000);
    block->facts.audio_num_channels = ctx->ch_layout.nb_channels;
    log.tracef("    . num channels: %d", block->facts.audio_num_channels);
    if (block->facts.duration_seconds == 0 && stream->duration != AV_NOPTS_VALUE)
        block->facts.duration_seconds = seconds_from_stream_duration(stream);
    log.tracef("    . duration: %d sec", block->facts.duration_seconds);
    if (stream->start_time != AV_NOPTS_VALUE)
        log.tracef("    . start_time: %f sec", static_cast<double>(stream_start_seconds(stream)));
    block->facts.audio_num_frames = static_cast<uint32_t>(stream->nb_frames);
    const int bits =
        ctx->sample_fmt == AV_SAMPLE_FMT_NONE ? 16 : av_get_bytes_per_sample(ctx->sample_fmt) * 8;
    log.tracef("    . bits per sample: %d", bits);
    block->facts.audio_sample_rate = ctx->sample_rate;
    log.tracef("    . sampling rate: %d samples per second", block->facts.audio_sample_rate);
    return true;
}

void select_hw_device(qvx::Plugin& log, const DecodingSettings& settings, AudioVideoBlock* block) {
    block->facts.hw_device_type = AV_HWDEVICE_TYPE_NONE;
    if (settings.hw_device == "cuda" &&
        av_hwdevice_find_type_by_name("cuda") == AV_HWDEVICE_TYPE_CUDA) {
        block->facts.hw_device_type = AV_HWDEVICE_TYPE_CUDA;
        log.tracef("trying to initialize the cuda hw decoder");
    }
    if (settings.hw_device == "vulkan" &&
        av_hwdevice_find_type_by_name("vulkan") == AV_HWDEVICE_TYPE_VULKAN) {
        block->facts.hw_device_type = AV_HWDEVICE_TYPE_VULKAN;
        log.tracef("trying to initialize the vulkan hw decoder");
    }
}

// The video stream to play: a cover picture (an attached picture, one frame
// for the whole input) is no video to pace against, so music with cover art
// plays as sound only.
int find_video_stream(qvx::Plugin& log, AudioVideoBlock* block, const AVCodec** decoder) {
    AVFormatContext* fmt = block->format_ctx.get();
    const int best = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    if (best < 0 || (fmt->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0)
        return best;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* stream = fmt->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            log.tracef(
                "[FFmpeg] open_media - stream %u is an attached picture, not played "
                "(audio/video block %d)",
                i, block->id);
            continue;
        }
        const int index =
            av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, static_cast<int>(i), -1, decoder, 0);
        if (index >= 0) return index;
    }
    *decoder = nullptr;
    return -1;
}

bool picture_size_allowed(qvx::Plugin& log, const AudioVideoBlock* block, const AVStream* stream) {
    const int width = stream->codecpar->width;
    const int height = stream->codecpar->height;
    if (width <= block->facts.max_video_width && height <= block->facts.max_video_height)
        return true;
    log.tracef_error(
        "[FFmpeg] open_media - the video of %s is %d x %d pixels, beyond the largest picture "
        "allowed (%d x %d): not played (audio/video block %d)",
        escape_for_log(block->file_name).c_str(), width, height, block->facts.max_video_width,
        block->facts.max_video_height, block->id);
    return false;
}

void drop_video_stream(AudioVideoBlock* block) {
    block->video.codec_ctx.reset();
    block->facts.hw_device_ctx.reset();
    block->facts.hw_device_type = AV_HWDEVICE_TYPE_NONE;
    block->facts.hw_pix_fmt = AV_PIX_FMT_NONE;
    block->facts.video_stream_index = -1;
    block->facts.video_stream = nullptr;
    block->facts.video_codec = nullptr;
    block->facts.video_codec_name.clear();
    block->video.width = 0;
    block->video.height = 0;
    block->facts.video_num_frames = 0;
    block->facts.video_rotation = 0.0f;
}

void drop_audio_stream(AudioVideoBlock* block) {
    block->audio.codec_ctx.reset();
    block->facts.audio_stream_index = -1;
    block->facts.audio_stream = nullptr;
    block->facts.audio_codec = nullptr;
    block->facts.audio_codec_name.clear();
    block->facts.audio_num_frames = 0;
}

// The input's first timestamp: the container's, else the earliest of the
// streams played.
double input_start_seconds(const AudioVideoBlock* block) {
    if (block->format_ctx->start_time != AV_NOPTS_VALUE)
        return static_cast<double>(block->format_ctx->start_time) / AV_TIME_BASE;
    double start = 0.0;
    bool known = false;
    for (const AVStream* stream : {block->facts.video_stream, block->facts.audio_stream}) {
        if (stream == nullptr || stream->start_time == AV_NOPTS_VALUE) continue;
        const double seconds = static_cast<double>(stream->start_time) * av_q2d(stream->time_base);
        if (!known || seconds < start) start = seconds;
        known = true;
    }
    return start;
}

}  // namespace

int automatic_video_threads(int cores, int blocks_open) {
    const int shared = std::max(cores, 1) / std::max(blocks_open, 1);
    return std::clamp(shared, 1, max_decoder_threads);
}

bool open_media(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block,
                int blocks_open) {
    if (block == nullptr) return false;
    block->profile_timer.reset();
    ensure_frame_pool(block);
    block->facts.sws_flags = settings.sws_scale_filter;
    block->facts.output_pixel_format = settings.video_pixel_fmt;
    block->facts.max_video_width = settings.max_video_width;
    block->facts.max_video_height = settings.max_video_height;
    block->facts.realtime = settings.realtime != 0;

    const std::string shown = escape_for_log(block->file_name);
    const char* name = shown.c_str();
    const std::string devices = named_devices(settings.protocol_whitelist);
    std::string refusal = refused_name_reason(block->file_name, settings.protocol_whitelist);
    if (refusal.empty()) refusal = blocking_input_reason(block->file_name, !devices.empty());
    if (!refusal.empty()) {
        log.tracef_error("[FFmpeg] open_media - refused %s: %s (audio/video block %d)", name,
                         refusal.c_str(), block->id);
        return false;
    }

    log.tracef("Available device types:");
    AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    while ((type = av_hwdevice_iterate_types(type)) != AV_HWDEVICE_TYPE_NONE)
        log.tracef(" %s", av_hwdevice_get_type_name(type));
    select_hw_device(log, settings, block);

    OpenDeadline deadline(block);
    block->format_ctx.reset(avformat_alloc_context());
    if (block->format_ctx == nullptr) {
        log.tracef_error("Unable to open the file %s", name);
        return false;
    }
    block->format_ctx->interrupt_callback.callback = interrupt_on_stop;
    block->format_ctx->interrupt_callback.opaque = block;
    // Both lists reach every open nested in this one (playlists, segments,
    // keys): FFmpeg copies them to the inner contexts.
    DictionaryPtr options;
    av_dict_set(inout_ptr(options), "protocol_whitelist", settings.protocol_whitelist.c_str(), 0);
    av_dict_set(inout_ptr(options), "format_whitelist", allowed_demuxers(devices).c_str(), 0);
    // On failure avformat_open_input frees the context and nulls the pointer.
    const int opened = avformat_open_input(inout_ptr(block->format_ctx), block->file_name.c_str(),
                                           nullptr, inout_ptr(options));
    if (opened != 0) {
        log.tracef_error("Unable to open the file %s", name);
        return false;
    }
    if (avformat_find_stream_info(block->format_ctx.get(), nullptr) < 0) {
        block->format_ctx.reset();
        log.tracef_error("Unable to get stream info for file %s", name);
        return false;
    }
    describe_container(log, block);

    block->facts.audio_stream_index =
        av_find_best_stream(block->format_ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (block->facts.audio_stream_index < 0) {
        log.tracef("Unable to find any audio stream in the file %s", name);
    } else {
        block->facts.audio_stream = block->format_ctx->streams[block->facts.audio_stream_index];
        block->facts.audio_codec =
            avcodec_find_decoder(block->facts.audio_stream->codecpar->codec_id);
        block->audio.codec_ctx.reset(avcodec_alloc_context3(block->facts.audio_codec));
        if (block->audio.codec_ctx)
            avcodec_parameters_to_context(block->audio.codec_ctx.get(),
                                          block->facts.audio_stream->codecpar);
    }

    const AVCodec* video_decoder = nullptr;
    block->facts.video_stream_index = find_video_stream(log, block, &video_decoder);
    if (block->facts.video_stream_index >= 0 &&
        !picture_size_allowed(log, block,
                              block->format_ctx->streams[block->facts.video_stream_index]))
        block->facts.video_stream_index = -1;
    if (block->facts.video_stream_index < 0 || video_decoder == nullptr) {
        block->facts.video_stream_index = -1;
        log.tracef("Unable to find any video stream in the file %s", name);
    } else {
        block->facts.video_stream = block->format_ctx->streams[block->facts.video_stream_index];
        if (block->facts.hw_device_type != AV_HWDEVICE_TYPE_NONE)
            check_hw_config(log, settings, block, video_decoder);
        block->video.codec_ctx.reset(avcodec_alloc_context3(video_decoder));
        AVCodecContext* ctx = block->video.codec_ctx.get();
        if (ctx) {
            // avcodec_parameters_to_context copies the stream's extradata
            // with the padding decoders read past its end.
            avcodec_parameters_to_context(ctx, block->facts.video_stream->codecpar);
            ctx->pkt_timebase = block->facts.video_stream->time_base;
            block->video.width = ctx->width;
            block->video.height = ctx->height;
        }
        block->facts.video_codec = video_decoder;
        if (ctx && block->facts.hw_device_type != AV_HWDEVICE_TYPE_NONE &&
            block->facts.hw_pix_fmt != AV_PIX_FMT_NONE)
            hw_decoder_init(log, settings, block);
    }

    if (block->facts.audio_stream_index < 0 && block->facts.video_stream_index < 0) {
        block->format_ctx.reset();
        log.tracef_error("Unable to find any video / audio stream in the file %s", name);
        return false;
    }

    // A stream whose decoder does not open is absent from here on: no path
    // may flush or feed a context that was never opened.
    if (block->facts.video_stream_index >= 0 &&
        (block->video.codec_ctx == nullptr ||
         !open_video_decoder(log, settings, block, blocks_open)))
        drop_video_stream(block);
    if (block->facts.audio_stream_index >= 0) {
        if (block->audio.codec_ctx)
            block->audio.codec_ctx->pkt_timebase = block->facts.audio_stream->time_base;
        if (block->facts.audio_codec == nullptr || block->audio.codec_ctx == nullptr ||
            !open_audio_decoder(log, settings, block))
            drop_audio_stream(block);
    }
    if (block->facts.video_stream_index < 0 && block->facts.audio_stream_index < 0) return false;
    block->facts.media_start_seconds = input_start_seconds(block);
    return true;
}

}  // namespace qvx_ffmpeg
