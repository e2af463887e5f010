#include "picture.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace qvx_play {

namespace {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

std::string av_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

// Copies rows of a packed plane into frame plane p, repeating the last
// column and row where FFmpeg's plane is larger (odd picture sizes).
void fill_plane(AVFrame* frame, int p, const std::vector<uint8_t>& src, int src_w, int src_h,
                int bytes, int dst_w, int dst_h) {
    if (src_w <= 0 || src_h <= 0) return;
    for (int y = 0; y < dst_h; ++y) {
        const int sy = y < src_h ? y : src_h - 1;
        const uint8_t* row = src.data() + static_cast<size_t>(sy) * src_w * bytes;
        uint8_t* out = frame->data[p] + static_cast<size_t>(y) * frame->linesize[p];
        std::memcpy(out, row, static_cast<size_t>(src_w) * bytes);
        for (int x = src_w; x < dst_w; ++x)
            std::memcpy(out + x * bytes, row + (src_w - 1) * bytes, bytes);
    }
}

// The picture as an AVFrame of its own format, in buffers FFmpeg sized.
FramePtr to_frame(const Picture& picture, std::string& error) {
    const int w = picture.width, h = picture.height;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    switch (picture.format) {
        case PixelFormat::rgb24: format = AV_PIX_FMT_RGB24; break;
        case PixelFormat::yuv420p: format = AV_PIX_FMT_YUV420P; break;
        case PixelFormat::nv12: format = AV_PIX_FMT_NV12; break;
    }
    if (format == AV_PIX_FMT_NONE || w <= 0 || h <= 0 ||
        picture.planes.size() != static_cast<size_t>(plane_count(picture.format))) {
        error = "no picture to convert";
        return nullptr;
    }
    const size_t luma = static_cast<size_t>(w) * h;
    const size_t chroma = static_cast<size_t>(w / 2) * (h / 2);
    const size_t want[3] = {format == AV_PIX_FMT_RGB24 ? luma * 3 : luma,
                            format == AV_PIX_FMT_NV12 ? chroma * 2 : chroma, chroma};
    for (size_t p = 0; p < picture.planes.size(); ++p) {
        if (picture.planes[p].size() < want[p]) {
            error = "picture plane " + std::to_string(p) + " is short";
            return nullptr;
        }
    }
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = w;
    frame->height = h;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        error = "out of memory";
        return nullptr;
    }
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    switch (format) {
        case AV_PIX_FMT_RGB24: fill_plane(frame.get(), 0, picture.planes[0], w, h, 3, w, h); break;
        case AV_PIX_FMT_YUV420P:
            fill_plane(frame.get(), 0, picture.planes[0], w, h, 1, w, h);
            fill_plane(frame.get(), 1, picture.planes[1], w / 2, h / 2, 1, cw, ch);
            fill_plane(frame.get(), 2, picture.planes[2], w / 2, h / 2, 1, cw, ch);
            break;
        default:
            fill_plane(frame.get(), 0, picture.planes[0], w, h, 1, w, h);
            fill_plane(frame.get(), 1, picture.planes[1], w / 2, h / 2, 2, cw, ch);
            break;
    }
    return frame;
}

void rotate_rgb24(std::vector<uint8_t>& rgb, int& width, int& height, int clockwise) {
    if (clockwise == 0) return;
    const int w = width, h = height;
    const bool swap = clockwise == 90 || clockwise == 270;
    const int ow = swap ? h : w, oh = swap ? w : h;
    std::vector<uint8_t> out(rgb.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int ox = x, oy = y;
            if (clockwise == 90) ox = h - 1 - y, oy = x;
            if (clockwise == 180) ox = w - 1 - x, oy = h - 1 - y;
            if (clockwise == 270) ox = y, oy = w - 1 - x;
            std::memcpy(&out[(static_cast<size_t>(oy) * ow + ox) * 3],
                        &rgb[(static_cast<size_t>(y) * w + x) * 3], 3);
        }
    }
    rgb.swap(out);
    width = ow;
    height = oh;
}

}  // namespace

int clockwise_degrees(float rotation) {
    if (!std::isfinite(rotation)) return 0;
    const long quarter = std::lround(-static_cast<double>(rotation) / 90.0);
    return static_cast<int>(((quarter % 4) + 4) % 4) * 90;
}

Picture copy_picture(PixelFormat format, qvx::Texture* const* textures) {
    Picture picture;
    picture.format = format;
    const int n = plane_count(format);
    for (int p = 0; p < n; ++p) {
        const qvx::PixelStorage& pixels = textures[p]->get_data_ptr()->pixels;
        picture.planes.emplace_back(pixels.begin(), pixels.end());
    }
    if (n > 0) {
        const qvx::TextureData* y = textures[0]->get_data_ptr();
        picture.width = static_cast<int>(y->width);
        picture.height = static_cast<int>(y->height);
    }
    return picture;
}

bool picture_to_rgb24(const Picture& picture, int rotation, std::vector<uint8_t>& rgb, int& width,
                      int& height, std::string& error) {
    FramePtr frame = to_frame(picture, error);
    if (!frame) return false;
    width = picture.width;
    height = picture.height;
    FramePtr out;
    if (frame->format == AV_PIX_FMT_RGB24) {
        out = std::move(frame);
    } else {
        // The conversion FFmpeg's own tools default to, so that a snapshot
        // compares with "ffmpeg -i FILE out.png" pixel for pixel. Its output
        // goes to a padded frame: the converters write pixel pairs.
        out.reset(av_frame_alloc());
        out->format = AV_PIX_FMT_RGB24;
        out->width = width;
        out->height = height;
        const std::unique_ptr<SwsContext, ScalerFree> sws(
            sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                           AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (sws == nullptr || av_frame_get_buffer(out.get(), 0) < 0) {
            error = std::string("no conversion from ") + pixel_format_name(picture.format) +
                    " to rgb24";
            return false;
        }
        sws_scale(sws.get(), frame->data, frame->linesize, 0, height, out->data, out->linesize);
    }
    rgb.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        std::memcpy(&rgb[static_cast<size_t>(y) * width * 3],
                    out->data[0] + static_cast<size_t>(y) * out->linesize[0],
                    static_cast<size_t>(width) * 3);
    rotate_rgb24(rgb, width, height, ((rotation % 360) + 360) % 360 / 90 * 90);
    return true;
}

bool write_png(const uint8_t* rgb, int width, int height, int stride, const std::string& path,
               std::string& error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        error = "this FFmpeg has no PNG encoder";
        return false;
    }
    std::unique_ptr<AVCodecContext, CodecFree> ctx(avcodec_alloc_context3(codec));
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    int r = avcodec_open2(ctx.get(), codec, nullptr);
    if (r < 0) {
        error = "cannot open the PNG encoder: " + av_text(r);
        return false;
    }
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = width;
    frame->height = height;
    frame->data[0] = const_cast<uint8_t*>(rgb);
    frame->linesize[0] = stride;
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    r = avcodec_send_frame(ctx.get(), frame.get());
    if (r >= 0) r = avcodec_receive_packet(ctx.get(), packet.get());
    if (r < 0) {
        error = "PNG encoding failed: " + av_text(r);
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file) ==
                    static_cast<size_t>(packet->size);
    if (std::fclose(file) != 0 || !ok) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace qvx_play
