// FFmpeg headers for C++ and the small helpers every subsystem shares.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace qvx_ffmpeg {

// av_err2str is a C compound literal; this is its C++ counterpart.
inline std::string av_error_text(int errnum) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(errnum, buf, sizeof buf);
    return std::string(buf);
}

// Every FFmpeg object the plug-in holds is owned through one of these; the
// deleters are the only place that frees them.
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* dict) const { av_dict_free(&dict); }
};
struct ScalerDeleter {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
// Also right for a context that was allocated but never opened.
struct FormatContextDeleter {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct BufferDeleter {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
// Memory from av_malloc and av_realloc.
struct AvMemoryDeleter {
    void operator()(void* memory) const { av_free(memory); }
};

using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;
template <typename T>
using AvMemoryPtr = std::unique_ptr<T, AvMemoryDeleter>;

// Lends an owned object to an FFmpeg call that takes a pointer to its
// pointer and may replace or free it (avformat_open_input frees the
// context when it fails, avcodec_open2 hands back the options it did not
// use): the owner takes back whatever the call left there once the full
// expression ends.
template <typename Ptr>
class InOutPtr {
public:
    using Raw = typename Ptr::pointer;
    explicit InOutPtr(Ptr& owner) : owner_(owner), raw_(owner.release()) {}
    ~InOutPtr() { owner_.reset(raw_); }
    InOutPtr(const InOutPtr&) = delete;
    InOutPtr& operator=(const InOutPtr&) = delete;
    operator Raw*() { return &raw_; }

private:
    Ptr& owner_;
    Raw raw_;
};

template <typename Ptr>
InOutPtr<Ptr> inout_ptr(Ptr& owner) {
    return InOutPtr<Ptr>(owner);
}

}  // namespace qvx_ffmpeg
