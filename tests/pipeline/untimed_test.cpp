// The untimed mode ("realtime" 0) as an offline renderer uses it: every
// frame, in order, as fast as the host takes them, with the frame pool as
// the only back-pressure; positions follow the frames handed over; seeks,
// rewinds, loops and the end of the input behave as in real time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "render_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

constexpr int fps = 30;
// Converted frames a block holds at most (frame_pool_size in the plug-in):
// an untimed block that the host does not drain stops decoding there.
constexpr int pool_frames = 100;

std::string clip(int seconds, bool with_audio, int gop = fps) {
    IndexedClip recipe;
    recipe.fps = fps;
    recipe.frames = seconds * fps;
    recipe.gop = gop;
    recipe.with_audio = with_audio;
    return indexed_clip(recipe);
}

// Takes frames as an offline renderer does: as soon as one is there,
// without a frame period between them, until `done` holds.
template <typename Done>
bool drain_until(RenderHost& host, Done done, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            while (host.update() && !done()) {
            }
            return done();
        },
        timeout);
}

class Untimed : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin->set_parameter_int("realtime", 0)); }

    LogCapture log;
    PluginHandle plugin;
};

TEST_F(Untimed, DeliversEveryFrameInOrderAsFastAsTheHostTakesThem) {
    RenderHost host(plugin, Format::rgb24);
    constexpr int seconds = 8;
    ASSERT_TRUE(host.open(clip(seconds, true), false));
    const int frames = seconds * fps;
    const double start_ms = host.now_ms();
    ASSERT_TRUE(host.play(true));

    // A host that takes nothing holds the block at a full pool: the
    // converter waits instead of dropping, and decoding stops there (the
    // frame it waits with is the only one beyond the pool).
    ASSERT_TRUE(
        wait_until([&] { return plugin->get_num_decoded_frames(host.id) >= pool_frames; }, 20s));
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(plugin->get_num_decoded_frames(host.id), static_cast<uint32_t>(pool_frames + 1));
    EXPECT_FALSE(plugin->update_block(host.id));

    // The whole pool is there at once, without a frame period between two.
    int burst = 0;
    while (host.update()) ++burst;
    EXPECT_GE(burst, pool_frames);

    ASSERT_TRUE(drain_until(
        host, [&] { return plugin->update_block(host.id); }, 20s))
        << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_EQ(host.frames.size(), static_cast<size_t>(frames));
    // Faster than real time: a paced block could not be done before the
    // clip's own length (here it takes a small part of it, even loaded).
    const double took_ms = host.now_ms() - start_ms;
    std::printf("[ figures  ] untimed: %d frames in %.0f ms, 200 ms of it waiting\n", frames,
                took_ms);
    EXPECT_LT(took_ms, seconds * 1000.0);
    // Each position is the time of the frame just handed over, whatever the
    // wall clock did meanwhile; at the end (told as the last frame goes) it
    // is the whole input.
    for (size_t i = 0; i + 1 < host.frames.size(); ++i) {
        ASSERT_NEAR(host.frames[i].position, static_cast<double>(i) / fps, 0.002)
            << "position after frame " << i;
    }
    EXPECT_GE(plugin->get_position(host.id), static_cast<float>(plugin->get_duration(host.id)));
    // Played with sound asked for, yet no device was opened.
    EXPECT_FALSE(log.has("[FFmpeg] SDL2 - open audio device success")) << log.dump();
}

TEST_F(Untimed, SeeksRewindsAndLoopsAsInRealTime) {
    {
        // Whatever the pool holds of the old position is never shown.
        RenderHost host(plugin, Format::yuv420p);
        ASSERT_TRUE(host.open(clip(5, false, 45), false));
        ASSERT_TRUE(host.play());
        ASSERT_TRUE(drain_until(
            host, [&] { return host.last_index() >= 20; }, 20s));
        ASSERT_TRUE(plugin->seek_block(host.id, 3));
        ASSERT_TRUE(wait_until([&] { return plugin->get_position(host.id) == 3.0f; }, 10s));
        const size_t from = host.frames.size();
        ASSERT_TRUE(drain_until(
            host, [&] { return plugin->update_block(host.id); }, 20s))
            << join(host.indices(from));
        EXPECT_TRUE(consecutive(host.indices(from), 3 * fps));
        EXPECT_EQ(host.last_index(), 5 * fps - 1);

        // A rewind at the end plays the whole input again.
        plugin->rewind_block(host.id);
        ASSERT_TRUE(wait_until([&] { return !plugin->update_block(host.id); }, 10s));
        const size_t again = host.frames.size();
        ASSERT_TRUE(drain_until(
            host, [&] { return plugin->update_block(host.id); }, 20s))
            << join(host.indices(again));
        EXPECT_TRUE(consecutive(host.indices(again), 0));
        EXPECT_EQ(host.last_index(), 5 * fps - 1);
    }
    {
        // Three passes of a looping second, every frame once per pass, the
        // position back near 0 with each pass.
        RenderHost host(plugin, Format::rgb24);
        ASSERT_TRUE(host.open(clip(1, false), true));
        ASSERT_TRUE(host.play());
        ASSERT_TRUE(drain_until(
            host, [&] { return host.frames.size() >= 3 * fps; }, 20s))
            << join(host.indices());
        for (size_t i = 0; i < host.frames.size(); ++i) {
            ASSERT_EQ(host.frames[i].index, static_cast<int>(i % fps)) << join(host.indices());
            // The pool still holds the end of a pass when the loop's rewind
            // puts the position back to 0: a frame taken across that reads 0,
            // or the frame before it.
            if (host.frames[i].position != 0.0f) {
                EXPECT_NEAR(host.frames[i].position, static_cast<double>(i % fps) / fps,
                            1.0 / fps + 0.002);
            }
        }
        EXPECT_FALSE(plugin->update_block(host.id));
    }
}

}  // namespace
