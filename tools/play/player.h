// One playback session: the blocks the plug-in plays, the controls applied
// to them, and what they deliver. Shared by the window and the terminal
// front ends; everything goes through qvx::SimpleVideo.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "frame_timeline.h"
#include "host/qvx.h"
#include "log_router.h"
#include "options.h"
#include "picture.h"
#include "summary.h"
#include "support/frame_textures.h"

namespace qvx_play {

struct Block {
    std::string source;
    int id = 0;
    bool has_video = false;
    bool has_audio = false;
    int width = 0;
    int height = 0;
    float rotation = 0.0f;
    double fps = 0.0;
    int64_t duration = 0;  // whole seconds; 0 when unknown
    std::string video_codec;
    std::string audio_codec;
    bool hw_used = false;

    // In the format the plug-in delivers for this block.
    qvx_support::FrameTextures frame{PixelFormat::yuv420p};
    bool has_picture = false;  // textures hold a delivered frame
    uint64_t new_frames = 0;   // frames delivered and not yet shown by the view

    FrameTimeline timeline;
    double last_media = 0.0;         // media time of the last delivered frame
    double last_frame_active = 0.0;  // active time of the last delivered frame (or start)
    std::deque<double> recent;       // active times of the frames of the last second
    std::vector<bool> snapshot_taken;
    bool ended = false;
    std::string audio_failure;  // SDL's reason when the audio device could not open
};

struct PendingSnapshot {
    std::string path;
    double at_seconds = 0.0;
    double media = 0.0;
    int rotation = 0;
    Picture picture;
};

class Player {
public:
    Player(qvx::SimpleVideo& video, LogRouter& log, const Options& options);
    ~Player();

    // Applies the decoding settings and opens every input; on failure a
    // message and the exit status.
    bool open(std::string& error, int& exit_code);
    // Starts every block; now is the session clock in seconds.
    void start(double now);
    // Takes at most one new frame per block; true when any arrived.
    bool poll(double now);
    // Scripted controls that have come due.
    void run_due_controls(double now);
    bool finished(double now) const;

    void set_paused(bool paused, double now);
    void toggle_pause(double now) { set_paused(!paused_, now); }
    void seek_to(double seconds, double now);
    void seek_by(double delta, double now);
    void rewind(double now);
    void set_volume(double volume);
    void change_volume(double delta) { set_volume(volume_ + delta); }

    bool paused() const { return paused_; }
    double volume() const { return volume_; }
    // Seconds of playback with pauses removed.
    double active(double now) const;
    double elapsed(double now) const { return now - start_time_; }
    std::vector<std::unique_ptr<Block>>& blocks() { return blocks_; }
    const Options& options() const { return options_; }
    // Frames delivered per second over the last second, summed over blocks.
    double delivered_fps() const;
    float position(const Block& block) const;
    uint32_t decoded(const Block& block) const;
    uint32_t displayed(const Block& block) const;

    // Messages for the user that came up while playing (an audio device
    // that would not open, ...); each is returned once.
    std::vector<std::string> take_notices();
    // Writes the snapshots taken; false when one could not be written or
    // was never reached (messages in errors).
    bool write_snapshots(std::vector<std::string>& errors);
    // Reads the final counters; call before close.
    Summary summary(double now) const;
    // Destroys the blocks and stops the plug-in.
    void close();

private:
    bool open_block(const std::string& source, std::string& error);
    void deliver(Block& block, double now);
    void check_end(Block& block, double now);
    void report_audio(Block& block);

    qvx::SimpleVideo& video_;
    LogRouter& log_;
    Options options_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<std::string> notices_;
    std::vector<PendingSnapshot> snapshots_;
    size_t next_control_ = 0;
    bool started_ = false;
    bool closed_ = false;
    bool hw_available_ = false;  // the requested device type exists in this FFmpeg
    bool paused_ = false;
    double volume_ = 0.7;
    double start_time_ = 0.0;
    double paused_total_ = 0.0;
    double paused_since_ = 0.0;
};

}  // namespace qvx_play
