// One decoder driven through FFmpeg's send/receive API, the same way for
// the picture and the sound: packets in, frames out, the end of the input
// drained, a repositioning flushed, a refused packet dropped, and refusals
// in a row counted until the decoder is given up.
#pragma once

#include "block/ffmpeg.h"

namespace qvx_ffmpeg {

class DecodingLoop {
public:
    enum class Status {
        ok,       // the packet (or the end of the input) was taken, and for
                  // decode() every frame of it given out
        again,    // receive: the decoder needs more input
        stopped,  // on_frame wanted no more frames; the rest stay in the decoder
        drained,  // the end of the input has been given out: the decoder is
                  // flushed and takes input again
        empty,    // an empty packet, dropped unsent: the decoder would take it
                  // for the end of the input
        refused,  // the decoder refused the packet, which is dropped
        failed,   // the decoder failed to give out a frame
    };

    // decoder: the owner of the stream's decoder; the loop uses whatever
    // context it holds at each call. After max_refused_in_a_row refused
    // packets or failed frames, with no packet taken between them, the loop
    // reports gave_up() until restart().
    DecodingLoop(const CodecContextPtr& decoder, int max_refused_in_a_row)
        : decoder_(decoder), max_refused_in_a_row_(max_refused_in_a_row) {}
    DecodingLoop(const DecodingLoop&) = delete;
    DecodingLoop& operator=(const DecodingLoop&) = delete;

    // Sends a packet, or the end of the input (null), for a caller that
    // sends only when the decoder asked for input: output still waiting
    // counts as a refusal too. ok and drained clear the refusals in a row.
    Status send(const AVPacket* packet) { return counted(sent(send_raw(packet))); }

    // Gives each frame the decoder has to on_frame (bool(AVFrame*): true for
    // the next one), which must not keep it. Returns again once the decoder
    // wants input, stopped, drained or failed.
    template <typename OnFrame>
    Status receive(OnFrame&& on_frame) {
        const Status status = take_frames(on_frame);
        return status == Status::failed ? counted(status) : status;
    }

    // One packet (null: the end of the input) and every frame it gives,
    // for a caller that decodes packet by packet. Output left behind (by a
    // stop) is taken first. A packet taken clears the refusals in a row;
    // refused or failed counts one.
    template <typename OnFrame>
    Status decode(const AVPacket* packet, OnFrame&& on_frame) {
        int r = send_raw(packet);
        if (r == AVERROR(EAGAIN)) {
            const Status waiting = take_frames(on_frame);
            if (waiting == Status::failed) return counted(waiting);
            r = send_raw(packet);
        }
        Status status = sent(r);
        if (status == Status::ok) status = take_frames(on_frame);
        if (status == Status::again) status = Status::ok;
        return counted(status);
    }

    // A stream whose decoder never opened is never fed nor flushed.
    bool decoder_open() const { return decoder_ != nullptr && avcodec_is_open(decoder_.get()) > 0; }

    // Drops everything the decoder holds (a repositioning).
    void flush() {
        if (decoder_open()) avcodec_flush_buffers(decoder_.get());
    }

    // The decoder is tried afresh (a repositioning of a stream that gives
    // its decoder another chance there).
    void restart() {
        refused_in_a_row_ = 0;
        last_error_ = 0;
    }

    bool gave_up() const { return refused_in_a_row_ >= max_refused_in_a_row_; }
    int refused_in_a_row() const { return refused_in_a_row_; }
    // The error of the last refusal or failure.
    int last_error() const { return last_error_; }

private:
    int send_raw(const AVPacket* packet) {
        if (packet != nullptr && (packet->size <= 0 || packet->data == nullptr))
            return empty_packet;
        if (decoder_ == nullptr) return AVERROR(EINVAL);
        return avcodec_send_packet(decoder_.get(), packet);
    }

    Status sent(int r) {
        if (r == empty_packet) return Status::empty;
        if (r == AVERROR_EOF) {
            // Drained already: the decoder takes input again.
            flush();
            return Status::drained;
        }
        if (r < 0) {
            last_error_ = r;
            return Status::refused;
        }
        return Status::ok;
    }

    template <typename OnFrame>
    Status take_frames(OnFrame& on_frame) {
        AVCodecContext* ctx = decoder_.get();
        if (ctx == nullptr) return fail(AVERROR(EINVAL));
        if (frame_ == nullptr) frame_.reset(av_frame_alloc());
        if (frame_ == nullptr) return fail(AVERROR(ENOMEM));
        for (;;) {
            const int r = avcodec_receive_frame(ctx, frame_.get());
            if (r == AVERROR(EAGAIN)) return Status::again;
            if (r == AVERROR_EOF) {
                flush();
                return Status::drained;
            }
            if (r < 0) return fail(r);
            const bool more = on_frame(frame_.get());
            av_frame_unref(frame_.get());
            if (!more) return Status::stopped;
        }
    }

    Status fail(int error) {
        last_error_ = error;
        return Status::failed;
    }

    Status counted(Status status) {
        switch (status) {
            case Status::ok:
            case Status::drained:
            case Status::stopped: refused_in_a_row_ = 0; break;
            case Status::refused:
            case Status::failed: ++refused_in_a_row_; break;
            default: break;
        }
        return status;
    }

    // Not an FFmpeg error code: the packet was never sent.
    static constexpr int empty_packet = 1;

    const CodecContextPtr& decoder_;
    const int max_refused_in_a_row_;
    FramePtr frame_;  // reused for every frame
    int refused_in_a_row_ = 0;
    int last_error_ = 0;
};

}  // namespace qvx_ffmpeg
