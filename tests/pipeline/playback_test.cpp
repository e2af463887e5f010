// Video playback end to end, as a host sees it: looping and the end of the
// input, stopping and destroying a playing block, and damaged input. (The
// pictures themselves: frame_conversion_test.)
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "render_host.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#endif

namespace {

using namespace qvx_test;

class Playback : public HostTest {};

// Every pass of a looping block shows every frame once, in order, at the
// clip's pace, with the position back near 0. A seek asked for while the
// reader, at the end of the input, waits for the decoders to drain before
// it rewinds wins over the rewind.
TEST_F(Playback, LoopingBlockRestartsFromFrameZeroWithItsClock) {
    ASSERT_TRUE(host.open(clip_of(2), true));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_frames(2 * 60 + 45, 15s)) << join(host.indices());
    float highest = 0.0f;
    for (size_t i = 0; i < host.frames.size(); ++i) {
        ASSERT_EQ(host.frames[i].index, static_cast<int>(i % 60)) << join(host.indices());
        if (i % 60 == 0) {
            if (i > 0) {
                EXPECT_GT(highest, 1.7f) << "highest position of the pass before " << i;
            }
            EXPECT_LT(host.frames[i].position, 0.5f) << "position at frame 0, delivery " << i;
            highest = 0.0f;
        }
        highest = std::max(highest, host.frames[i].position);
    }
    if (wall_clock_checked) {
        EXPECT_NEAR(host.frames[120].at_ms - host.frames[60].at_ms, 2000, 300);
    }

    // The reader read the last packet long ago; the decoder is 0.5 s from
    // the last frame.
    const size_t from = host.frames.size();
    const int old_last = host.last_index();
    ASSERT_TRUE(plugin->seek_block(host.id, 1));
    ASSERT_TRUE(host.pump_until_index(45, 5s)) << join(host.indices(from));
    EXPECT_TRUE(resumed_at(host, from, old_last, 30));
}

// A non-looping block stays at its last frame, idle, with update_block
// saying so and the position at the end; a seek or a rewind plays it again.
TEST_F(Playback, NonLoopingBlockStaysAtItsEndUntilASeekOrRewind) {
    ASSERT_TRUE(play_to(clip_of(2), 59));
    host.pump_for(300ms);
    const size_t delivered = host.frames.size();
    EXPECT_LT(host.cpu_share_pumping(1000ms), 0.20);  // the goal is 1 %
    EXPECT_EQ(host.frames.size(), delivered) << "frames after the end: " << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_TRUE(plugin->update_block(host.id));
    EXPECT_GE(plugin->get_position(host.id), 2.0f);

    size_t from = host.frames.size();
    ASSERT_TRUE(plugin->seek_block(host.id, 1));
    EXPECT_TRUE(host.pump_until([&] { return !plugin->update_block(host.id); }, 1s));
    ASSERT_TRUE(host.pump_until_index(59, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 30));
    host.pump_for(300ms);
    from = host.frames.size();
    plugin->rewind_block(host.id);
    ASSERT_TRUE(host.pump_until_index(20, 5s)) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 0));
}

// A looping block whose passes show nothing (both streams off; a sound-only
// input played for its picture) rests between passes instead of reading the
// input again as fast as the disk gives it, and says so once; played again
// with its picture on, it shows it at once.
TEST_F(Playback, LoopingBlockThatShowsNothingRestsBetweenPasses) {
    ASSERT_TRUE(host.open(clip_of(1), true));
    ASSERT_TRUE(plugin->play_block(host.id, false, false));
    EXPECT_LT(host.cpu_share_pumping(1000ms), 0.20);
    EXPECT_EQ(log.count_containing("showed nothing"), 1u) << log.dump();
    ASSERT_TRUE(plugin->stop_block(host.id));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_frames(10, 5s)) << join(host.indices());

    const int sound_only = plugin->create_block(audio_only_clip().c_str(), true);
    ASSERT_NE(sound_only, 0);
    ASSERT_TRUE(plugin->play_block(sound_only, true, false));
    EXPECT_LT(host.cpu_share_pumping(1000ms), 0.20);
    plugin->destroy_block(sound_only);
}

#if defined(__linux__)
// The nice value of the named thread of this process; INT_MIN when none.
int nice_of_thread(const std::string& name) {
    int nice = INT_MIN;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            const std::string task = std::string("/proc/self/task/") + entry->d_name;
            if (entry->d_name[0] == '.' || read_file(task + "/comm") != name + "\n") continue;
            // Past the name in brackets, the nice value is the 17th field.
            const std::string stat = read_file(task + "/stat");
            const size_t name_end = stat.rfind(')');
            if (name_end == std::string::npos) continue;  // the thread has gone
            std::istringstream fields(stat.substr(name_end + 1));
            std::string field;
            int read = 0;
            while (read < 17 && fields >> field) ++read;
            if (read == 17) nice = std::atoi(field.c_str());
        }
        closedir(dir);
    }
    return nice;
}

// A block's decoding yields to the host's threads: with many blocks busy at
// once, the host's render thread would otherwise get a share of the cores
// no larger than one block's, and every picture would come late with it.
TEST_F(Playback, VideoDecodingYieldsToTheHostsThreads) {
    ASSERT_TRUE(play_to(clip_of(1), 5));
    const int video = nice_of_thread("qvx-video");
    ASSERT_NE(video, INT_MIN) << "no video thread";
    EXPECT_GT(video, getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))));
}
#endif

// ---- Stopping ----------------------------------------------------------------------

enum class State { playing, paused, at_end };

// Plays a one second clip into the state; the process's threads before
// play_block.
int play_into(PluginHandle& plugin, RenderHost& host, State state) {
    EXPECT_TRUE(host.open(clip_of(1), false));
    const int threads = thread_count();
    EXPECT_TRUE(host.play());
    EXPECT_TRUE(host.pump_frames(5, 5s));
    if (state == State::paused) plugin->set_paused(host.id, true);
    if (state == State::at_end) {
        EXPECT_TRUE(host.pump_until_index(29, 5s)) << join(host.indices());
    }
    host.pump_for(200ms);
    return threads;
}

// The block's threads are gone when the call returns (a short grace covers
// the kernel's bookkeeping of a joined thread).
::testing::AssertionResult threads_back_to(int count) {
    if (wait_until([&] { return thread_count() <= count; }, 100ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << thread_count() << " threads, " << count << " before";
}

class Stopping : public ::testing::TestWithParam<State> {};

// stop_block, destroy_block and the plug-in's stop each return promptly
// (goal: 100 ms) with the block's threads gone and its delivery ended; a
// stopped block plays on from where it stopped.
TEST_P(Stopping, StopDestroyAndPluginStopArePrompt) {
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    RenderHost other(plugin, Format::yuv420p);
    const int threads = play_into(plugin, host, GetParam());

    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->stop_block(host.id)); }), 1000.0);
    EXPECT_TRUE(threads_back_to(threads));
    EXPECT_TRUE(plugin->stop_block(host.id)) << "a second stop changes nothing";
    const size_t stopped_at = host.frames.size();
    host.pump_for(300ms);
    EXPECT_EQ(host.frames.size(), stopped_at) << "frames after stop_block";

    plugin->set_paused(host.id, false);
    EXPECT_TRUE(host.play());
    EXPECT_TRUE(host.play()) << "a second play_block on a playing block";
    ASSERT_TRUE(host.pump_frames(5, 5s)) << "a stopped block does not play again";
    // It goes on from the last frame shown, give or take one; the pictures
    // converted but not shown at the stop are the only slack.
    const std::vector<int> run = host.indices(stopped_at);
    if (GetParam() != State::at_end) {
        EXPECT_GE(run.front(), host.frames[stopped_at - 1].index - 1) << join(run);
        EXPECT_LE(run.front(), host.frames[stopped_at - 1].index + 10) << join(run);
    }
    EXPECT_TRUE(consecutive(run, run.front()));
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->destroy_block(host.id)); }), 1000.0);
    EXPECT_TRUE(threads_back_to(threads));
    EXPECT_FALSE(host.update());
    EXPECT_EQ(plugin->get_num_displayed_frames(host.id), 0xFFFFFFFFu);

    const int others = play_into(plugin, other, GetParam());
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(plugin->stop()); }), 1000.0);
    EXPECT_TRUE(threads_back_to(others));
    EXPECT_FALSE(other.update());
}

INSTANTIATE_TEST_SUITE_P(States, Stopping,
                         ::testing::Values(State::playing, State::paused, State::at_end),
                         [](const auto& info) {
                             return std::string(info.param == State::playing  ? "Playing"
                                                : info.param == State::paused ? "Paused"
                                                                              : "AtEnd");
                         });

// ---- Damaged input ---------------------------------------------------------------

// A copy of the clip whose packet of frame 45 (no key frame) has its first
// NAL length overwritten, so that the decoder refuses it as invalid data;
// "" when the packet is not found.
std::string damaged_copy(const std::string& clip) {
    // Made once; under Wine, where ffprobe cannot run, the Linux build's copy.
    const std::string made = media_dir() + "/damaged_frame45.mp4";
    if (std::ifstream(made).good()) return made;
    std::string bytes = read_file(clip);
    std::istringstream packets(command_output(
        "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,pos,flags -of "
        "csv=p=0 '" +
        clip + "'"));
    for (std::string line; std::getline(packets, line);) {
        double pts = 0;
        long long pos = 0;
        char flag = 0;
        if (std::sscanf(line.c_str(), "%lf,%lld,%c", &pts, &pos, &flag) == 3 &&
            std::lround(pts * 30) == 45 && flag != 'K' && pos + 4 <= (long long)bytes.size()) {
            bytes.replace(static_cast<size_t>(pos), 4, "\x7f\x7f\x7f\x7f");
            return write_media("damaged_frame45.mp4", bytes);
        }
    }
    return "";
}

// The frames before the damage play normally, and from the next key frame
// on every frame is back, once, in order.
TEST_F(Playback, DamagedPacketDoesNotEndTheVideo) {
    const std::string damaged = damaged_copy(clip_of(3));
    ASSERT_FALSE(damaged.empty()) << "no packet of frame 45";
    ASSERT_TRUE(host.open(damaged, false));
    ASSERT_TRUE(host.play());
    host.pump_until_index(89, 8s);
    host.pump_for(300ms);

    const std::vector<int> seen = host.indices();
    ASSERT_GE(seen.size(), 40u) << join(seen);
    EXPECT_TRUE(consecutive(std::vector<int>(seen.begin(), seen.begin() + 40), 0));
    const auto key = std::find(seen.begin(), seen.end(), 60);
    ASSERT_NE(key, seen.end()) << "video ended at the damaged packet: " << join(seen) << "\n"
                               << log.dump();
    EXPECT_TRUE(consecutive(std::vector<int>(key, seen.end()), 60));
    // The refused packet is reported (-1094995529 is AVERROR_INVALIDDATA).
    EXPECT_GE(log.count_containing("avcodec_send_packet - ERROR (-1094995529)"), 1u) << log.dump();
}

}  // namespace
