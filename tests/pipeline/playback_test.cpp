// Video playback end to end, as a host sees it: looping and the end of the
// input, pausing, stopping and destroying a playing block, and damaged
// input. (The pictures themselves: frame_conversion_test.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "render_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

// nv12 from software decoding: the luma plane and the interleaved chroma
// plane, every frame in order, and the block still stops cleanly.
TEST(Playback, Nv12FromSoftwareDecodingDeliversEveryFrame) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::nv12);
    IndexedClip recipe;
    recipe.frames = 30;
    ASSERT_TRUE(host.open(indexed_clip(recipe), false));
    EXPECT_FALSE(plugin->is_hw_device_used(host.id, "cuda"));
    EXPECT_EQ(host.plane(0).width, 320u);
    EXPECT_EQ(host.plane(0).height, 240u);
    EXPECT_EQ(host.plane(0).format, 11);
    EXPECT_EQ(host.plane(1).width, 160u);
    EXPECT_EQ(host.plane(1).height, 120u);
    EXPECT_EQ(host.plane(1).format, 12);
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(recipe.frames - 1, 5s)) << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    const double ms = time_ms([&] { EXPECT_TRUE(plugin->stop_block(host.id)); });
    EXPECT_LT(ms, 1000.0);
}

// ---- Looping and the end of the input ----------------------------------------------

IndexedClip one_second_clip() {
    IndexedClip recipe;
    recipe.fps = 30;
    recipe.frames = 30;
    recipe.gop = 30;
    return recipe;
}

TEST(Playback, LoopingBlockRestartsFromFrameZeroWithItsClock) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(indexed_clip(one_second_clip()), true));
    ASSERT_TRUE(host.play());
    // Three passes of a one second clip.
    ASSERT_TRUE(host.pump_frames(75, 10s)) << join(host.indices());

    // Every pass shows every frame once, in order: 0..29, 0..29, 0..
    const std::vector<int> seen = host.indices();
    for (size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], static_cast<int>(i % 30))
            << "at delivered frame " << i << ": " << join(seen);
    }
    // The position restarts with each pass: near 0 at a pass's first frame,
    // up near the clip's length before the pass ends.
    float highest = 0.0f;
    for (size_t i = 0; i < host.frames.size(); ++i) {
        if (seen[i] == 0) {
            if (i > 0) {
                EXPECT_GT(highest, 0.7f) << "highest position of the pass before " << i;
            }
            EXPECT_LT(host.frames[i].position, 0.5f) << "position at frame 0, delivery " << i;
            highest = 0.0f;
        }
        highest = std::max(highest, host.frames[i].position);
    }
    // Each pass takes about a second, the loop adds no long pause.
    const double pass_ms = host.frames[60].at_ms - host.frames[30].at_ms;
    if (wall_clock_checked) {
        EXPECT_NEAR(pass_ms, 1000.0, 300.0);
    }
}

TEST(Playback, NonLoopingBlockStaysAtItsEndAndIdles) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(indexed_clip(one_second_clip()), false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(29, 5s)) << join(host.indices());
    host.pump_for(300ms);
    const size_t delivered = host.frames.size();

    const double cpu0 = process_cpu_ms();
    const double wall0 = host.now_ms();
    host.pump_for(1000ms);
    const double cpu_share = (process_cpu_ms() - cpu0) / (host.now_ms() - wall0);

    EXPECT_EQ(host.frames.size(), delivered) << "frames after the end: " << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_EQ(host.last_index(), 29);
    // The host's end rule: update_block says so, the position is the end.
    EXPECT_TRUE(plugin->update_block(host.id));
    EXPECT_GE(plugin->get_position(host.id), 1.0f);
    // Under 1 % is the goal; the bound leaves room for a loaded machine.
    EXPECT_LT(cpu_share, 0.20);
}

// ---- Pause ---------------------------------------------------------------------

TEST(Playback, PauseHoldsFramesAndPositionAndResumeGoesOnInOrder) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    IndexedClip recipe;
    recipe.frames = 90;
    ASSERT_TRUE(host.open(indexed_clip(recipe), false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(15, 5s)) << join(host.indices());

    plugin->set_paused(host.id, true);
    // A frame already converted may still come out.
    host.pump_for(200ms);
    const size_t held = host.frames.size();
    const float position = plugin->get_position(host.id);
    const double cpu0 = process_cpu_ms();
    const double wall0 = host.now_ms();
    host.pump_for(1000ms);
    const double cpu_share = (process_cpu_ms() - cpu0) / (host.now_ms() - wall0);
    EXPECT_EQ(host.frames.size(), held) << "frames while paused: " << join(host.indices());
    EXPECT_NEAR(plugin->get_position(host.id), position, 0.02f);
    EXPECT_LT(cpu_share, 0.20);

    const int last = host.last_index();
    plugin->set_paused(host.id, false);
    const size_t resumed_at = host.frames.size();
    ASSERT_TRUE(host.pump_until_index(last + 30, 5s)) << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_NEAR(host.frames[resumed_at].position, position, 0.2f);
    // The paused interval does not count as lateness: the frames after the
    // resume come at the clip's rate, not in a burst.
    const double span = host.frames.back().at_ms - host.frames[resumed_at].at_ms;
    if (wall_clock_checked) {
        EXPECT_GT(span, 967.0 * 0.6);
    }
}

// ---- Stopping ----------------------------------------------------------------------

enum class State { playing, paused, at_end };

// Opens a one second clip and plays it into the given state. Returns the
// number of threads the process had before play_block.
int play_into(PluginHandle& plugin, RenderHost& host, State state) {
    EXPECT_TRUE(host.open(indexed_clip(one_second_clip()), false));
    const int threads = thread_count();
    EXPECT_TRUE(host.play());
    EXPECT_TRUE(host.pump_frames(5, 5s));
    if (state == State::paused) {
        plugin->set_paused(host.id, true);
        host.pump_for(100ms);
    } else if (state == State::at_end) {
        EXPECT_TRUE(host.pump_until_index(29, 5s)) << join(host.indices());
        host.pump_for(200ms);
    }
    return threads;
}

// The block's threads are gone when the call returns; a short grace covers
// the kernel's bookkeeping of a joined thread.
bool threads_back_to(int count) {
    return wait_until([&] { return thread_count() <= count; }, 100ms);
}

class Stopping : public ::testing::TestWithParam<State> {};

// stop_block, destroy_block and the plug-in's stop each return promptly
// (goal: 100 ms) with the block's threads gone and its delivery ended; a
// stopped block plays again.
TEST_P(Stopping, StopDestroyAndPluginStopArePrompt) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    RenderHost other(plugin, Format::yuv420p);
    const int threads = play_into(plugin, host, GetParam());

    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->stop_block(host.id)); }), 1000.0);
    EXPECT_TRUE(threads_back_to(threads)) << thread_count() << " threads, " << threads << " before";
    // Nothing more comes once stop_block has returned.
    const size_t delivered = host.frames.size();
    host.pump_for(300ms);
    EXPECT_EQ(host.frames.size(), delivered);

    plugin->set_paused(host.id, false);
    EXPECT_TRUE(plugin->play_block(host.id, true, false));
    EXPECT_TRUE(host.pump_frames(5, 5s)) << "a stopped block does not play again";
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->destroy_block(host.id)); }), 1000.0);
    EXPECT_TRUE(threads_back_to(threads)) << thread_count() << " threads, " << threads << " before";
    EXPECT_FALSE(host.update());
    EXPECT_EQ(plugin->get_num_displayed_frames(host.id), 0xFFFFFFFFu);

    const int others = play_into(plugin, other, GetParam());
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->stop()); }), 1000.0);
    EXPECT_TRUE(threads_back_to(others)) << thread_count() << " threads, " << others << " before";
    EXPECT_FALSE(other.update());
}

INSTANTIATE_TEST_SUITE_P(States, Stopping,
                         ::testing::Values(State::playing, State::paused, State::at_end),
                         [](const ::testing::TestParamInfo<State>& info) {
                             switch (info.param) {
                                 case State::playing: return std::string("Playing");
                                 case State::paused: return std::string("Paused");
                                 case State::at_end: return std::string("AtEnd");
                             }
                             return std::string();
                         });

// ---- Damaged input ---------------------------------------------------------------

// A copy of clip whose video packet showing frame `frame` has its first NAL
// length overwritten, so that the decoder refuses that packet as invalid
// data. Returns "" when the packet cannot be found.
std::string damaged_copy(const std::string& clip, int fps, int frame) {
    const std::string base = clip.substr(clip.rfind('/') + 1);
    const std::string path = media_dir() + "/damaged_frame" + std::to_string(frame) + "_" + base;
    std::ifstream probe(path);
    if (probe.good()) return path;
    long long pos = -1;
    for (const PacketInfo& packet : video_packets(clip)) {
        if (static_cast<int>(packet.pts_time * fps + 0.5) == frame && !packet.key) pos = packet.pos;
    }
    if (pos < 0) return "";
    std::string bytes;
    {
        std::ifstream in(clip, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (pos + 4 > static_cast<long long>(bytes.size())) return "";
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(pos) + i] = '\x7f';
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::rename(tmp.c_str(), path.c_str());
    return path;
}

TEST(Playback, DamagedPacketDoesNotEndTheVideo) {
    IndexedClip recipe;
    recipe.frames = 90;
    recipe.gop = 30;
    const std::string clip = indexed_clip(recipe);
    const std::string damaged = damaged_copy(clip, recipe.fps, 45);
    ASSERT_FALSE(damaged.empty()) << "no packet of frame 45 in " << clip;

    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(damaged, false));
    ASSERT_TRUE(host.play());
    host.pump_until_index(89, 8s);
    host.pump_for(300ms);

    const std::vector<int> seen = host.indices();
    // The frames before the damage play normally...
    ASSERT_GE(seen.size(), 40u) << join(seen);
    EXPECT_TRUE(consecutive(std::vector<int>(seen.begin(), seen.begin() + 40), 0));
    // ...and from the next key frame on, every frame is back, once, in order.
    const auto key = std::find(seen.begin(), seen.end(), 60);
    ASSERT_NE(key, seen.end()) << "video ended at the damaged packet; delivered: " << join(seen)
                               << "\nlog:\n"
                               << log.dump();
    EXPECT_TRUE(consecutive(std::vector<int>(key, seen.end()), 60));
    // The refused packet is reported (-1094995529 is AVERROR_INVALIDDATA).
    EXPECT_GE(log.count_containing("[FFmpeg] video_decode_thread - avcodec_send_packet - ERROR "
                                   "(-1094995529)"),
              1u)
        << log.dump();
}

}  // namespace
