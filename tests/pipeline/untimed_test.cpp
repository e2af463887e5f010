// The untimed mode ("realtime" 0) as an offline renderer uses it: every
// frame, in order, as fast as the host takes them, a converted frame
// waiting for the host to take the one before (no pacing, no clock waits);
// positions follow the frames handed over; seeks,
// rewinds, loops and the end of the input behave as in real time.
#include <cstdio>

#include "render_host.h"

namespace {

using namespace qvx_test;

constexpr int fps = 30;
// Converted frames an untimed block queues ahead of the host.
constexpr uint32_t queued_frames = 1;

class Untimed : public HostTest {
protected:
    void SetUp() override { ASSERT_TRUE(plugin->set_parameter_int("realtime", 0)); }

    // Takes frames as an offline renderer does: as soon as one is there,
    // without a frame period between them, until `done` holds.
    template <typename Done>
    bool drain_until(Done done) {
        return wait_until(
            [&] {
                while (!done() && host.update()) {
                }
                return done();
            },
            20s);
    }
    bool drain_to_end() {
        return drain_until([&] { return plugin->update_block(host.id); });
    }
};

TEST_F(Untimed, DeliversEveryFrameInOrderAsFastAsTheHostTakesThem) {
    constexpr int seconds = 8, frames = seconds * fps;
    ASSERT_TRUE(host.open(clip_of(seconds, fps, true), false));
    const double start_ms = host.now_ms();
    ASSERT_TRUE(host.play(true));

    // A host that takes nothing holds the block: the converter waits
    // instead of dropping or running further ahead (the frame it waits with
    // is the only one beyond the queue).
    ASSERT_TRUE(wait_until([&] { return plugin->get_num_decoded_frames(host.id) >= 1; }, 20s));
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(plugin->get_num_decoded_frames(host.id), queued_frames + 1);
    EXPECT_FALSE(plugin->update_block(host.id));

    ASSERT_TRUE(drain_to_end()) << join(host.indices());
    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_EQ(host.frames.size(), static_cast<size_t>(frames));
    // Faster than real time, even loaded.
    const double took_ms = host.now_ms() - start_ms;
    std::printf("[ figures  ] untimed: %d frames in %.0f ms, 200 ms of it waiting\n", frames,
                took_ms);
    EXPECT_LT(took_ms, seconds * 1000.0);
    // Each position is the time of the frame just handed over, whatever the
    // wall clock did; at the end it is the whole input.
    for (size_t i = 0; i + 1 < host.frames.size(); ++i)
        ASSERT_NEAR(host.frames[i].position, static_cast<double>(i) / fps, 0.002) << i;
    EXPECT_GE(plugin->get_position(host.id), static_cast<float>(plugin->get_duration(host.id)));
    // Sound was asked for, yet no device was opened.
    EXPECT_FALSE(log.has("[FFmpeg] SDL2 - open audio device success")) << log.dump();
}

// Whatever the pool holds of the old position is never shown; a rewind at
// the end plays the whole input again.
TEST_F(Untimed, SeeksAndRewindsAsInRealTime) {
    ASSERT_TRUE(host.open(clip_of(5, 45), false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(drain_until([&] { return host.last_index() >= 20; }));
    ASSERT_TRUE(plugin->seek_block(host.id, 3));
    ASSERT_TRUE(wait_until([&] { return plugin->get_position(host.id) == 3.0f; }, 10s));
    size_t from = host.frames.size();
    ASSERT_TRUE(drain_to_end()) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 3 * fps));
    EXPECT_EQ(host.last_index(), 5 * fps - 1);

    plugin->rewind_block(host.id);
    ASSERT_TRUE(wait_until([&] { return !plugin->update_block(host.id); }, 10s));
    from = host.frames.size();
    ASSERT_TRUE(drain_to_end()) << join(host.indices(from));
    EXPECT_TRUE(consecutive(host.indices(from), 0));
    EXPECT_EQ(host.last_index(), 5 * fps - 1);
}

// Three passes of a looping second, every frame once per pass, the position
// back near 0 with each pass.
TEST_F(Untimed, LoopsAsInRealTime) {
    ASSERT_TRUE(host.open(clip_of(1), true));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(drain_until([&] { return host.frames.size() >= 3 * fps; })) << join(host.indices());
    for (size_t i = 0; i < host.frames.size(); ++i) {
        ASSERT_EQ(host.frames[i].index, static_cast<int>(i % fps)) << join(host.indices());
        // The pool still holds the end of a pass when the loop's rewind puts
        // the position back to 0: a frame taken across that reads 0, or the
        // frame before it.
        if (host.frames[i].position != 0.0f) {
            EXPECT_NEAR(host.frames[i].position, double(i % fps) / fps, 1.0 / fps + 0.002);
        }
    }
    EXPECT_FALSE(plugin->update_block(host.id));
}

}  // namespace
