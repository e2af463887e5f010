#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "media/media.h"
#include "plugin/audio_video_block.h"

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

AVDictionary* thread_options(int threads) {
    AVDictionary* options = nullptr;
    if (threads != 0) {
        av_dict_set_int(&options, "threads", threads, 0);
    } else {
        av_dict_set(&options, "threads", "auto", 0);
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

int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Lets a blocking read or open of a stalled input give up once the block is
// asked to stop, or once its open has taken too long.
int interrupt_on_stop(void* opaque) {
    const auto* block = static_cast<const AudioVideoBlock*>(opaque);
    if (block->reader_stop) return 1;
    const int64_t deadline = block->open_deadline_ns;
    return deadline != 0 && steady_now_ns() > deadline ? 1 : 0;
}

// Arms the open deadline for the life of one open_media call.
class OpenDeadline {
public:
    explicit OpenDeadline(AudioVideoBlock* block) : block_(block) {
        block_->open_deadline_ns =
            steady_now_ns() +
            std::chrono::duration_cast<std::chrono::nanoseconds>(open_timeout).count();
    }
    ~OpenDeadline() { block_->open_deadline_ns = 0; }
    OpenDeadline(const OpenDeadline&) = delete;
    OpenDeadline& operator=(const OpenDeadline&) = delete;

private:
    AudioVideoBlock* block_;
};

void describe_container(qvx::Plugin& log, AudioVideoBlock* block) {
    AVFormatContext* fmt = block->format_ctx;
    log.tracef("Information about %s:", block->file_name.c_str());
    if (fmt->duration != AV_NOPTS_VALUE) {
        const int64_t d = rounded_duration_us(fmt->duration);
        const int s = static_cast<int>(d / AV_TIME_BASE);
        block->duration_seconds = s;
        int m = s / 60;
        const int h = m / 60;
        m %= 60;
        const int hundredths =
            static_cast<int>(((d - static_cast<int64_t>(s) * AV_TIME_BASE) * 100) / AV_TIME_BASE);
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
bool open_video_decoder(qvx::Plugin& log, const DecodingSettings& settings,
                        AudioVideoBlock* block) {
    AVDictionary* options = thread_options(settings.num_video_threads);
    AVCodecContext* ctx = block->video_codec_ctx;
    AVStream* stream = block->video_stream;
    if (avcodec_open2(ctx, block->video_codec, &options) < 0) {
        log.tracef_error("Unable to initialize the video codec for file %s",
                         block->file_name.c_str());
        av_dict_free(&options);
        return false;
    }
    av_dict_free(&options);
    block->video_decoded_frame = av_frame_alloc();
    log.tracef("  - video stream (%d):", block->video_stream_index);
    block->video_codec_name = codec_display_name(ctx->codec_id);
    log.tracef("    . codec: %s", block->video_codec_name.c_str());
    if (ctx->pix_fmt == 0) {
        log.tracef("    . pixel format: YUV420P (%d)", ctx->pix_fmt);
    } else {
        log.tracef("    . pixel format: %d", ctx->pix_fmt);
    }
    if (block->duration_seconds == 0 && stream->duration != AV_NOPTS_VALUE)
        block->duration_seconds = seconds_from_stream_duration(stream);
    log.tracef("    . duration: %d sec", block->duration_seconds);
    if (stream->start_time != AV_NOPTS_VALUE)
        log.tracef("    . start_time: %f sec", static_cast<double>(stream_start_seconds(stream)));
    if (ctx->bit_rate != 0)
        log.tracef("    . birate: %d kb/sec:", static_cast<int32_t>(ctx->bit_rate) / 1000);
    log.tracef("    . size: %d x %d pixels", ctx->width, ctx->height);
    block->video_width = ctx->width;
    block->video_height = ctx->height;

    int32_t frames = static_cast<int32_t>(stream->nb_frames);
    if (frames == 0 && stream->duration != AV_NOPTS_VALUE) {
        // 64-bit products: a rate like 30000/1001 with a 1/90000 time base
        // would overflow 32 bits.
        const int64_t b = static_cast<int64_t>(stream->r_frame_rate.num) * stream->time_base.num;
        const int64_t c = static_cast<int64_t>(stream->r_frame_rate.den) * stream->time_base.den;
        if (b > 0 && c > 0) frames = static_cast<int32_t>(av_rescale(stream->duration, b, c));
    }
    block->video_num_frames = static_cast<uint32_t>(frames);
    log.tracef("    . num frames: %d", frames);

    const AVDictionaryEntry* rate =
        av_dict_get(stream->metadata, "framerate", nullptr, AV_DICT_MATCH_CASE);
    if (rate) log.tracef("    . framerate info - value: %s", rate->value);

    if (const uint8_t* matrix = display_matrix(stream)) {
        const double rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        if (!std::isnan(rotation)) {
            block->video_rotation = static_cast<float>(rotation);
            log.tracef("    . rotation: %d degrees", static_cast<int>(std::lround(rotation)));
        }
    }
    return true;
}

// Returns false when avcodec_open2 failed.
bool open_audio_decoder(qvx::Plugin& log, const DecodingSettings& settings,
                        AudioVideoBlock* block) {
    AVDictionary* options = thread_options(settings.num_audio_threads);
    AVCodecContext* ctx = block->audio_codec_ctx;
    AVStream* stream = block->audio_stream;
    if (avcodec_open2(ctx, block->audio_codec, &options) < 0) {
        log.tracef_error("Unable to initialize the audio codec for file %s",
                         block->file_name.c_str());
        av_dict_free(&options);
        return false;
    }
    av_dict_free(&options);
    block->audio_decoded_frame = av_frame_alloc();
    log.tracef("  - audio stream (%d):", block->audio_stream_index);
    block->audio_codec_name = codec_display_name(ctx->codec_id);
    log.tracef("    . codec: %s", block->audio_codec_name.c_str());
    if (const char* format_name = av_get_sample_fmt_name(ctx->sample_fmt))
        log.tracef("    . sample format: %s", format_name);
    log.tracef("    . bitrate: %d kb/sec",
               static_cast<int32_t>(block->format_ctx->bit_rate) / 1000);
    block->audio_num_channels = ctx->ch_layout.nb_channels;
    log.tracef("    . num channels: %d", block->audio_num_channels);
    if (block->duration_seconds == 0 && stream->duration != AV_NOPTS_VALUE)
        block->duration_seconds = seconds_from_stream_duration(stream);
    log.tracef("    . duration: %d sec", block->duration_seconds);
    if (stream->start_time != AV_NOPTS_VALUE)
        log.tracef("    . start_time: %f sec", static_cast<double>(stream_start_seconds(stream)));
    block->audio_num_frames = static_cast<uint32_t>(stream->nb_frames);
    const int bits =
        ctx->sample_fmt == AV_SAMPLE_FMT_NONE ? 16 : av_get_bytes_per_sample(ctx->sample_fmt) * 8;
    log.tracef("    . bits per sample: %d", bits);
    block->audio_sample_rate = ctx->sample_rate;
    log.tracef("    . sampling rate: %d samples per second", block->audio_sample_rate);
    return true;
}

void select_hw_device(qvx::Plugin& log, const DecodingSettings& settings, AudioVideoBlock* block) {
    block->hw_device_type = AV_HWDEVICE_TYPE_NONE;
    if (settings.hw_device == "cuda" &&
        av_hwdevice_find_type_by_name("cuda") == AV_HWDEVICE_TYPE_CUDA) {
        block->hw_device_type = AV_HWDEVICE_TYPE_CUDA;
        log.tracef("trying to initialize the cuda hw decoder");
    }
    if (settings.hw_device == "vulkan" &&
        av_hwdevice_find_type_by_name("vulkan") == AV_HWDEVICE_TYPE_VULKAN) {
        block->hw_device_type = AV_HWDEVICE_TYPE_VULKAN;
        log.tracef("trying to initialize the vulkan hw decoder");
    }
}

}  // namespace

bool ensure_frame_pool(AudioVideoBlock* block) {
    if (block == nullptr) return false;
    if (block->frame_pool != nullptr) return true;
    auto* pool = new FramePool;
    pool->entries = new FramePoolEntry[frame_pool_size];
    pool->count = frame_pool_size;
    for (uint64_t i = 0; i < frame_pool_size; ++i) pool->entries[i].index = static_cast<int64_t>(i);
    block->frame_pool = pool;
    return true;
}

bool open_media(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block) {
    if (block == nullptr) return false;
    block->profile_timer.reset();
    ensure_frame_pool(block);
    block->sws_flags = settings.sws_scale_filter;
    block->output_pixel_format = settings.video_pixel_fmt;

    log.tracef("Available device types:");
    AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
    while ((type = av_hwdevice_iterate_types(type)) != AV_HWDEVICE_TYPE_NONE)
        log.tracef(" %s", av_hwdevice_get_type_name(type));
    select_hw_device(log, settings, block);

    const char* name = block->file_name.c_str();
    OpenDeadline deadline(block);
    block->format_ctx = avformat_alloc_context();
    if (block->format_ctx == nullptr) {
        log.tracef_error("Unable to open the file %s", name);
        return false;
    }
    block->format_ctx->interrupt_callback.callback = interrupt_on_stop;
    block->format_ctx->interrupt_callback.opaque = block;
    // On failure avformat_open_input frees the context and nulls the pointer.
    if (avformat_open_input(&block->format_ctx, name, nullptr, nullptr) != 0) {
        log.tracef_error("Unable to open the file %s", name);
        return false;
    }
    if (avformat_find_stream_info(block->format_ctx, nullptr) < 0) {
        avformat_close_input(&block->format_ctx);
        log.tracef_error("Unable to get stream info for file %s", name);
        return false;
    }
    describe_container(log, block);
    if (block->format_ctx->start_time != AV_NOPTS_VALUE)
        block->media_start_seconds =
            static_cast<double>(block->format_ctx->start_time) / AV_TIME_BASE;

    block->audio_stream_index =
        av_find_best_stream(block->format_ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (block->audio_stream_index < 0) {
        log.tracef("Unable to find any audio stream in the file %s", name);
    } else {
        block->audio_stream = block->format_ctx->streams[block->audio_stream_index];
        block->audio_codec = avcodec_find_decoder(block->audio_stream->codecpar->codec_id);
        block->audio_codec_ctx = avcodec_alloc_context3(block->audio_codec);
        if (block->audio_codec_ctx)
            avcodec_parameters_to_context(block->audio_codec_ctx, block->audio_stream->codecpar);
    }

    const AVCodec* video_decoder = nullptr;
    block->video_stream_index =
        av_find_best_stream(block->format_ctx, AVMEDIA_TYPE_VIDEO, -1, -1, &video_decoder, 0);
    if (block->video_stream_index < 0 || video_decoder == nullptr) {
        log.tracef("Unable to find any video stream in the file %s", name);
    } else {
        block->video_stream = block->format_ctx->streams[block->video_stream_index];
        if (block->hw_device_type != AV_HWDEVICE_TYPE_NONE)
            check_hw_config(log, settings, block, video_decoder);
        AVCodecContext* ctx = avcodec_alloc_context3(video_decoder);
        if (ctx) {
            // avcodec_parameters_to_context copies the stream's extradata
            // with the padding decoders read past its end.
            avcodec_parameters_to_context(ctx, block->video_stream->codecpar);
            ctx->pkt_timebase = block->video_stream->time_base;
            block->video_width = ctx->width;
            block->video_height = ctx->height;
        }
        block->video_codec_ctx = ctx;
        block->video_codec = video_decoder;
        if (ctx && block->hw_device_type != AV_HWDEVICE_TYPE_NONE &&
            block->hw_pix_fmt != AV_PIX_FMT_NONE)
            hw_decoder_init(log, settings, block);
    }

    if (block->audio_stream_index < 0 && block->video_stream_index < 0) {
        avformat_close_input(&block->format_ctx);
        log.tracef_error("Unable to find any video / audio stream in the file %s", name);
        return false;
    }

    bool video_failed = false;
    if (block->video_codec && block->video_codec_ctx)
        video_failed = !open_video_decoder(log, settings, block);
    bool audio_failed = false;
    if (block->audio_codec && block->audio_codec_ctx) {
        block->audio_codec_ctx->pkt_timebase = block->audio_stream->time_base;
        audio_failed = !open_audio_decoder(log, settings, block);
    }
    return !(video_failed && audio_failed);
}

}  // namespace qvx_ffmpeg
