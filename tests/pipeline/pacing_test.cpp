// Frame delivery and pacing: a host that asks for a frame every 10 ms gets
// every frame of a clip exactly once, in order, spread over the clip's own
// duration, whatever the frame rate (a frame is never shown before it is
// due, also when it is more than one sleep slice away).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "render_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

struct PacingCase {
    Format format;
    int fps;
    int frames;
};

std::string case_name(const ::testing::TestParamInfo<PacingCase>& info) {
    return std::string(format_name(info.param.format)) + "_" + std::to_string(info.param.fps) +
           "fps";
}

class Pacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(Pacing, EveryFrameOnceInOrderOverTheClipsDuration) {
    const PacingCase& c = GetParam();
    IndexedClip recipe;
    recipe.fps = c.fps;
    recipe.frames = c.frames;
    recipe.gop = c.fps;
    const std::string clip = indexed_clip(recipe);

    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, c.format);
    ASSERT_TRUE(host.open(clip, false));
    ASSERT_TRUE(host.play());
    const double clip_ms = 1000.0 * c.frames / c.fps;
    ASSERT_TRUE(host.pump_until_index(
        c.frames - 1, std::chrono::milliseconds(static_cast<int>(clip_ms * 3) + 5000)))
        << "delivered: " << join(host.indices());
    // Nothing more comes after the last frame.
    host.pump_for(300ms);

    EXPECT_TRUE(consecutive(host.indices(), 0));
    EXPECT_EQ(host.frames.size(), static_cast<size_t>(c.frames));
    EXPECT_EQ(plugin->get_num_displayed_frames(host.id), static_cast<uint32_t>(c.frames));

    // First to last frame should take (frames - 1) frame periods. The bound
    // is loose for a loaded machine; the figure is printed for the record.
    const double expected_ms = 1000.0 * (c.frames - 1) / c.fps;
    const double span_ms = host.frames.back().at_ms - host.frames.front().at_ms;
    std::printf("[ figures  ] %s %d fps: %d frames in %.0f ms (expected %.0f ms, %+.1f %%)\n",
                format_name(c.format), c.fps, c.frames, span_ms, expected_ms,
                100.0 * (span_ms - expected_ms) / expected_ms);
    EXPECT_NEAR(span_ms, expected_ms, expected_ms * 0.25);

    // No burst: each second of the clip holds about a second's worth of
    // frames (a clip played at twice its rate fails this at once).
    const double first = host.frames.front().at_ms;
    int in_first_half = 0;
    for (const Delivered& f : host.frames) in_first_half += f.at_ms - first < expected_ms / 2;
    EXPECT_LT(in_first_half, c.frames * 3 / 4)
        << "frames delivered in the first half of the expected play time";
}

INSTANTIATE_TEST_SUITE_P(
    Clips, Pacing,
    ::testing::Values(PacingCase{Format::rgb24, 30, 60}, PacingCase{Format::yuv420p, 30, 60},
                      PacingCase{Format::rgb24, 60, 120}, PacingCase{Format::yuv420p, 60, 120},
                      PacingCase{Format::rgb24, 10, 30}, PacingCase{Format::yuv420p, 10, 30}),
    case_name);

}  // namespace
