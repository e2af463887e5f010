#include "player.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace qvx_play {

namespace {

// A video block that delivered nothing for this long (active time) while
// its position is within a second of its duration has reached its end.
constexpr double end_stall_s = 0.5;
// Nothing delivered for this long: the video has stopped for good.
constexpr double dead_stall_s = 5.0;

bool is_url(const std::string& source) {
    return source.find("://") != std::string::npos;
}

}  // namespace

Player::Player(qvx::SimpleVideo& video, LogRouter& log, const Options& options)
    : video_(video), log_(log), options_(options), volume_(options.volume) {}

Player::~Player() {
    close();
}

bool Player::open(std::string& error, int& exit_code) {
    exit_code = exit_failure;
    if (!options_.hw.empty()) {
        if (video_.is_hw_device_available(options_.hw.c_str())) {
            hw_available_ = true;
        } else {
            notices_.push_back("this FFmpeg has no " + options_.hw +
                               " device type; decoding in software");
        }
    }
    if (options_.threads) video_.set_parameter_int("num_video_threads", *options_.threads);
    if (!options_.scaler.empty() &&
        !video_.set_parameter_string("sws_scale_filter", options_.scaler.c_str())) {
        error = "the plug-in refused the scaler " + options_.scaler;
        return false;
    }
    for (const std::string& source : options_.inputs) {
        if (!open_block(source, error)) {
            exit_code = exit_bad_input;
            return false;
        }
    }
    return true;
}

bool Player::open_block(const std::string& source, std::string& error) {
    if (!is_url(source) && access(source.c_str(), R_OK) != 0) {
        error = "cannot open '" + source + "': " + std::strerror(errno);
        return false;
    }
    auto block = std::make_unique<Block>();
    block->source = source;
    block->frame.set_format(options_.format);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The plug-in turns hardware decoding off for later inputs when a
        // device fails; every input gets its own try.
        video_.set_parameter_string("hw_device",
                                    hw_available_ && attempt == 0 ? options_.hw.c_str() : "");
        video_.set_parameter_string("video_pixel_fmt", pixel_format_name(block->frame.format()));
        log_.take_errors();
        block->id = video_.create_block(source.c_str(), options_.loop);
        if (block->id == 0) {
            const std::vector<std::string> errors = log_.take_errors();
            error = "cannot play '" + source +
                    "': " + (errors.empty() ? "the plug-in could not open it" : errors.front());
            return false;
        }
        block->hw_used = video_.is_hw_device_used(block->id, nullptr);
        if (attempt == 0 && hw_available_ && !block->hw_used &&
            video_.get_video_stream_index(block->id) >= 0) {
            notices_.push_back(options_.hw + " decoding could not be used for " + source +
                               "; decoding in software (--log FILE tells why)");
        }
        // NV12 frames come only from a hardware decoder; a block that
        // decodes in software is opened again for YUV420P.
        if (block->frame.format() != PixelFormat::nv12 || block->hw_used ||
            video_.get_video_stream_index(block->id) < 0)
            break;
        notices_.push_back("nv12 frames come only from hardware decoding; " + source +
                           " is delivered as yuv420p");
        video_.destroy_block(block->id);
        block->frame.set_format(PixelFormat::yuv420p);
    }
    const int id = block->id;
    block->has_video = video_.get_video_stream_index(id) >= 0;
    block->has_audio = video_.get_audio_stream_index(id) >= 0;
    block->duration = video_.get_duration(id);
    if (const char* name = video_.get_video_codec_name(id)) block->video_codec = name;
    if (const char* name = video_.get_audio_codec_name(id)) block->audio_codec = name;
    if (block->has_video) {
        video_.get_video_size(id, &block->width, &block->height);
        block->rotation = video_.get_video_rotation(id);
        block->fps = video_.get_video_fps(id);
        if (!block->frame.create(video_, id)) {
            error = "cannot play '" + source + "': its video has no picture size";
            video_.destroy_block(id);
            return false;
        }
    }
    block->timeline = FrameTimeline(block->fps);
    block->snapshot_taken.assign(options_.snapshots.size(), false);
    blocks_.push_back(std::move(block));
    return true;
}

void Player::start(double now) {
    start_time_ = now;
    started_ = true;
    for (auto& block : blocks_) {
        video_.set_volume(block->id, static_cast<float>(volume_));
        video_.play_block(block->id, true, !options_.no_audio);
        block->timeline.restart();
        block->last_frame_active = 0.0;
    }
}

double Player::active(double now) const {
    double paused = paused_total_;
    if (paused_) paused += now - paused_since_;
    return now - start_time_ - paused;
}

float Player::position(const Block& block) const {
    return video_.get_position(block.id);
}
uint32_t Player::decoded(const Block& block) const {
    return video_.get_num_decoded_frames(block.id);
}
uint32_t Player::displayed(const Block& block) const {
    return video_.get_num_displayed_frames(block.id);
}

bool Player::poll(double now) {
    bool any = false;
    for (auto& block : blocks_) {
        const uint64_t before = block->new_frames;
        if (block->has_video) deliver(*block, now);
        any = any || block->new_frames != before;
        check_end(*block, now);
        report_audio(*block);
    }
    return any;
}

void Player::deliver(Block& block, double now) {
    if (!block.frame.update(video_, block.id)) return;

    // The position read right after the update is this frame's timestamp
    // plus a moment (see frame_timeline.h).
    const double act = active(now);
    const double media = block.timeline.on_frame(act, position(block));

    block.has_picture = true;
    ++block.new_frames;
    block.last_media = media;
    block.last_frame_active = act;
    block.recent.push_back(act);
    while (!block.recent.empty() && block.recent.front() < act - 1.0) block.recent.pop_front();

    // Snapshot: the first frame at or after the requested media time, as
    // "ffmpeg -ss T" picks it. The tolerance absorbs the rounding of the
    // timestamps, well under a frame interval.
    const double tolerance = block.fps > 0 ? std::min(0.25 / block.fps, 0.005) : 0.005;
    for (size_t i = 0; i < options_.snapshots.size(); ++i) {
        if (block.snapshot_taken[i] || media < options_.snapshots[i].at_seconds - tolerance)
            continue;
        block.snapshot_taken[i] = true;
        PendingSnapshot shot;
        shot.path = options_.snapshots[i].path;
        if (blocks_.size() > 1) {
            // One file per block: shot.png -> shot-1.png, shot-2.png, ...
            size_t index = 0;
            while (blocks_[index].get() != &block) ++index;
            const size_t dot = shot.path.rfind('.');
            const std::string suffix = "-" + std::to_string(index + 1);
            if (dot == std::string::npos || dot < shot.path.find_last_of('/') + 1)
                shot.path += suffix;
            else
                shot.path.insert(dot, suffix);
        }
        shot.at_seconds = options_.snapshots[i].at_seconds;
        shot.media = media;
        shot.rotation = clockwise_degrees(block.rotation);
        shot.picture = copy_picture(block.frame.format(), block.frame.planes());
        snapshots_.push_back(std::move(shot));
    }
}

void Player::check_end(Block& block, double now) {
    if (block.ended || options_.loop || paused_) return;
    const double act = active(now);
    const double pos = position(block);
    if (block.has_video) {
        const double stall = act - block.last_frame_active;
        if ((stall >= end_stall_s && block.duration > 0 &&
             pos >= static_cast<double>(block.duration) - 1.0) ||
            stall >= dead_stall_s)
            block.ended = true;
    } else if (block.duration > 0 && pos >= static_cast<double>(block.duration) + 0.5) {
        // Audio only: the position runs on with the clock after the last
        // sample; the whole-second duration is at most half a second short.
        block.ended = true;
    }
}

void Player::report_audio(Block& block) {
    if (!block.has_audio || options_.no_audio || !block.audio_failure.empty()) return;
    std::string reason;
    if (!log_.audio_failed(block.id, &reason)) return;
    block.audio_failure = reason.empty() ? "unknown error" : reason;
    notices_.push_back("no audio device for " + block.source + " (" + block.audio_failure +
                       "); playing without sound");
}

std::vector<std::string> Player::take_notices() {
    std::vector<std::string> out;
    out.swap(notices_);
    return out;
}

void Player::run_due_controls(double now) {
    while (next_control_ < options_.controls.size() &&
           options_.controls[next_control_].at_seconds <= elapsed(now)) {
        const TimedControl& control = options_.controls[next_control_++];
        switch (control.kind) {
            case ControlKind::pause: set_paused(true, now); break;
            case ControlKind::resume: set_paused(false, now); break;
            case ControlKind::seek: seek_to(control.value, now); break;
            case ControlKind::rewind: rewind(now); break;
            case ControlKind::volume: set_volume(control.value); break;
        }
    }
}

bool Player::finished(double now) const {
    if (options_.duration && elapsed(now) >= *options_.duration) return true;
    if (blocks_.empty()) return true;
    return std::all_of(blocks_.begin(), blocks_.end(), [](const auto& b) { return b->ended; });
}

void Player::set_paused(bool paused, double now) {
    if (paused == paused_) return;
    if (paused) {
        paused_since_ = now;
    } else {
        paused_total_ += now - paused_since_;
    }
    paused_ = paused;
    for (auto& block : blocks_) video_.set_paused(block->id, paused);
}

void Player::seek_to(double seconds, double now) {
    for (auto& block : blocks_) {
        // The plug-in takes whole seconds and sends a target at or past the
        // end back to the start; the player stays on the last second.
        int64_t target = static_cast<int64_t>(std::max(0.0, std::floor(seconds)));
        if (block->duration > 0) target = std::min(target, block->duration - 1);
        video_.seek_block(block->id, static_cast<int>(std::max<int64_t>(target, 0)));
        block->timeline.restart();
        block->last_frame_active = active(now);
        block->ended = false;
    }
}

void Player::seek_by(double delta, double now) {
    // Relative to what is on screen (the first block's last frame).
    double base = 0.0;
    if (!blocks_.empty()) {
        const Block& first = *blocks_.front();
        base = first.has_video ? first.last_media : position(first);
    }
    seek_to(std::max(0.0, base + delta), now);
}

void Player::rewind(double now) {
    for (auto& block : blocks_) {
        video_.rewind_block(block->id);
        block->timeline.restart();
        block->last_frame_active = active(now);
        block->ended = false;
    }
}

void Player::set_volume(double volume) {
    volume_ = std::clamp(volume, 0.0, 1.0);
    for (auto& block : blocks_) video_.set_volume(block->id, static_cast<float>(volume_));
}

double Player::delivered_fps() const {
    double fps = 0.0;
    for (const auto& block : blocks_) fps += static_cast<double>(block->recent.size());
    return fps;
}

bool Player::write_snapshots(std::vector<std::string>& errors) {
    bool ok = true;
    for (const PendingSnapshot& shot : snapshots_) {
        std::vector<uint8_t> rgb;
        int width = 0, height = 0;
        std::string error;
        if (!picture_to_rgb24(shot.picture, shot.rotation, rgb, width, height, error) ||
            !write_png(rgb.data(), width, height, width * 3, shot.path, error)) {
            errors.push_back("snapshot " + shot.path + ": " + error);
            ok = false;
        }
    }
    for (size_t i = 0; i < options_.snapshots.size(); ++i) {
        for (const auto& block : blocks_) {
            if (block->snapshot_taken[i]) continue;
            char at[32];
            std::snprintf(at, sizeof at, "%g", options_.snapshots[i].at_seconds);
            errors.push_back(
                "snapshot at " + std::string(at) + " s of " + block->source +
                (block->has_video ? ": playback never reached that time" : ": it has no video"));
            ok = false;
        }
    }
    return ok;
}

Summary Player::summary(double now) const {
    Summary summary;
    summary.hw = options_.hw;
    summary.wall_s = started_ ? elapsed(now) : 0.0;
    summary.paused_s = started_ ? elapsed(now) - active(now) : 0.0;
    cpu_time(summary.cpu_user_s, summary.cpu_system_s);
    for (const auto& block : blocks_) {
        BlockSummary b;
        b.source = block->source;
        b.format = block->has_video ? pixel_format_name(block->frame.format()) : "";
        b.width = block->width;
        b.height = block->height;
        b.fps = block->fps;
        b.duration_s = block->duration;
        b.position_s = position(*block);
        b.last_frame_s = block->last_media;
        b.video_codec = block->video_codec;
        b.audio_codec = block->audio_codec;
        b.hw_decoding = block->hw_used;
        if (!block->has_audio)
            b.audio = "none";
        else if (options_.no_audio)
            b.audio = "off";
        else if (!block->audio_failure.empty())
            b.audio = "unavailable: " + block->audio_failure;
        else
            b.audio = "playing";
        b.decoded = block->has_video ? decoded(*block) : 0;
        b.displayed = block->has_video ? displayed(*block) : 0;
        b.timing = block->timeline.stats();
        b.ended = block->ended;
        summary.blocks.push_back(b);
    }
    return summary;
}

void Player::close() {
    if (closed_) return;
    closed_ = true;
    for (auto& block : blocks_) video_.destroy_block(block->id);
    video_.stop();
    video_.terminate();
}

}  // namespace qvx_play
