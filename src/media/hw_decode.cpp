#include "block/audio_video_block.h"
#include "media/media.h"

namespace qvx_ffmpeg {

namespace {

constexpr int hw_frames_pool_size = 32;

// A hardware set-up that failed: this block decodes in software, and later
// opens ask for software decoding with yuv420p output.
void fall_back_to_software(DecodingSettings& settings, AudioVideoBlock* block) {
    block->facts.hw_device_type = AV_HWDEVICE_TYPE_NONE;
    settings.hw_device.clear();
    settings.video_pixel_fmt = AV_PIX_FMT_YUV420P;
}

AVPixelFormat surface_format(int device_type) {
    switch (device_type) {
        case AV_HWDEVICE_TYPE_CUDA: return AV_PIX_FMT_CUDA;
        case AV_HWDEVICE_TYPE_VULKAN: return AV_PIX_FMT_VULKAN;
        default: return AV_PIX_FMT_NONE;
    }
}

}  // namespace

bool check_hw_config(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block,
                     const AVCodec* decoder) {
    const auto type = static_cast<AVHWDeviceType>(block->facts.hw_device_type);
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(decoder, i);
        if (config == nullptr) break;
        if (config->device_type == type &&
            (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0) {
            block->facts.hw_pix_fmt = config->pix_fmt;
            log.tracef("Decoder %s supports device type %s", decoder->name,
                       av_hwdevice_get_type_name(type));
            return true;
        }
    }
    log.tracef_error("Decoder %s does not support device type %s", decoder->name,
                     av_hwdevice_get_type_name(type));
    fall_back_to_software(settings, block);
    return false;
}

bool hw_decoder_init(qvx::Plugin& log, DecodingSettings& settings, AudioVideoBlock* block) {
    const auto type = static_cast<AVHWDeviceType>(block->facts.hw_device_type);
    const int r =
        av_hwdevice_ctx_create(inout_ptr(block->facts.hw_device_ctx), type, nullptr, nullptr, 0);
    if (r < 0) {
        log.tracef("hw_decoder_init ERR: %s", av_error_text(r).c_str());
        log.tracef_error("Unable to init hardware decoder for file %s",
                         escape_for_log(block->file_name).c_str());
        fall_back_to_software(settings, block);
        return false;
    }
    AVCodecContext* ctx = block->video.codec_ctx.get();
    ctx->get_format = get_hw_format;
    ctx->hw_device_ctx = av_buffer_ref(block->facts.hw_device_ctx.get());
    ctx->opaque = block;
    // Gone from newer FFmpeg, where frames are always reference-counted.
    av_opt_set_int(ctx, "refcounted_frames", 1, 0);
    ctx->hwaccel_flags |= AV_HWACCEL_FLAG_IGNORE_LEVEL;
    ctx->thread_count = 1;
    log.tracef("hardware decoder initialized for file %s",
               escape_for_log(block->file_name).c_str());
    return true;
}

AVPixelFormat get_hw_format(AVCodecContext* ctx, const AVPixelFormat* candidates) {
    auto* block = static_cast<AudioVideoBlock*>(ctx->opaque);
    if (block == nullptr || candidates == nullptr) return AV_PIX_FMT_NONE;
    const AVPixelFormat wanted = surface_format(block->facts.hw_device_type);
    for (const AVPixelFormat* p = candidates; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p != wanted || wanted == AV_PIX_FMT_NONE) continue;
        if (block->facts.hw_device_ctx == nullptr) return AV_PIX_FMT_NONE;
        BufferPtr frames_ref(av_hwframe_ctx_alloc(block->facts.hw_device_ctx.get()));
        if (frames_ref == nullptr) return AV_PIX_FMT_NONE;
        auto* frames = reinterpret_cast<AVHWFramesContext*>(frames_ref->data);
        frames->format = wanted;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = (ctx->coded_width + 1) & ~1;
        frames->height = (ctx->coded_height + 1) & ~1;
        frames->initial_pool_size = hw_frames_pool_size;
        if (block->facts.hw_device_type == AV_HWDEVICE_TYPE_CUDA)
            qvx::LogMgr::get().tracef("[FFmpeg] get_hw_format - avctx->sw_pix_fmt: %d",
                                      ctx->sw_pix_fmt);
        if (av_hwframe_ctx_init(frames_ref.get()) < 0) return AV_PIX_FMT_NONE;
        // A renegotiation replaces the pool: the reference to the old one
        // goes with this scope.
        const BufferPtr old_frames_ref(ctx->hw_frames_ctx);
        ctx->hw_frames_ctx = frames_ref.release();
        return wanted;
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace qvx_ffmpeg
