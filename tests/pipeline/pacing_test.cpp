// Frame delivery and pacing: a host that asks for a frame every 10 ms gets
// every frame of a clip exactly once, in order, spread over the clip's own
// duration, whatever the frame rate (a frame is never shown before it is
// due, also when it is more than one sleep slice away). Inputs whose
// timestamps jump, start far from 0 or whose sound starts late keep the
// picture's own pace, and a seek between key frames shows no burst.
#include <gtest/gtest.h>

#include <unistd.h>

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
    if (!wall_clock_checked) return;
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

// ---- Inputs that do not start at 0 or jump ------------------------------------------

constexpr int clip_fps = 30;
constexpr int clip_frames = 120;  // 4 s, a key frame every second

std::string four_second_clip() {
    IndexedClip recipe;
    recipe.fps = clip_fps;
    recipe.frames = clip_frames;
    recipe.gop = clip_fps;
    return indexed_clip(recipe);
}

// The clip as MPEG-TS: whole with its timestamps moved by first_offset
// seconds, or (second_offset given) as its two halves muxed apart and
// joined with cat, as joined recordings are.
std::string ts_clip(const std::string& first_offset, const std::string& second_offset = "") {
    const std::string clip = four_second_clip();
    const std::string name = "jump2_" + first_offset + "_" + second_offset;
    if (second_offset.empty())
        return generate_media(name + ".ts",
                              "-i '" + clip + "' -c copy -output_ts_offset " + first_offset);
    const std::string a = generate_media(
        name + "_a.ts", "-i '" + clip + "' -frames:v 60 -c copy -output_ts_offset " + first_offset);
    const std::string b = generate_media(
        name + "_b.ts", "-ss 2 -i '" + clip + "' -c copy -output_ts_offset " + second_offset);
    const std::string path = media_dir() + "/" + name + ".ts";
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    if (access(path.c_str(), F_OK) != 0 &&
        run_command("cat '" + a + "' '" + b + "' > '" + tmp + "'"))
        std::rename(tmp.c_str(), path.c_str());
    std::remove(tmp.c_str());
    return path;
}

struct JumpCase {
    const char* name;
    const char* first_offset;
    const char* second_offset;
};

class TimestampJump : public ::testing::TestWithParam<JumpCase> {};

// With no sound to drive it, the picture goes on at the clip's rate through
// a jump, and the position counts on from the start of play as if there
// were none.
TEST_P(TimestampJump, PictureKeepsItsPaceAndThePositionCountsOn) {
    const std::string clip = ts_clip(GetParam().first_offset, GetParam().second_offset);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(clip, false));
    ASSERT_TRUE(host.play());
    host.pump_until_index(clip_frames - 1, 12s);

    const std::vector<Delivered>& f = host.frames;
    ASSERT_GE(f.size(), static_cast<size_t>(clip_frames * 9 / 10)) << join(host.indices());
    // Once the input has ended the position is lifted to the container's
    // duration (which spans the jump), so the last frames are left out of
    // the position checks.
    const size_t last_counted = f.size() - 3;
    double worst_gap_ms = 0, worst_step_s = 0;
    for (size_t i = 1; i < f.size(); ++i) {
        EXPECT_GT(f[i].index, f[i - 1].index) << join(host.indices());
        worst_gap_ms = std::max(worst_gap_ms, f[i].at_ms - f[i - 1].at_ms);
        if (i <= last_counted)
            worst_step_s =
                std::max(worst_step_s, std::fabs(double(f[i].position - f[i - 1].position)));
    }
    const double span_ms = f.back().at_ms - f.front().at_ms;
    std::printf("[ figures  ] %s: %zu frames in %.0f ms, longest gap %.0f ms\n", GetParam().name,
                f.size(), span_ms, worst_gap_ms);
    if (wall_clock_checked) {
        EXPECT_LT(worst_gap_ms, 500.0);
        EXPECT_LT(span_ms, 1000.0 * clip_frames / clip_fps * 1.3);
        EXPECT_LT(f.front().position, 0.3f);
        EXPECT_LT(worst_step_s, 0.5) << "the position jumped";
    } else {
        EXPECT_LT(worst_step_s, 5.0) << "the position jumped";
    }
    EXPECT_NEAR(f[last_counted].position, 4.0f, 0.6f);
    EXPECT_TRUE(wait_until([&] { return plugin->update_block(host.id); }, 5s));
}

INSTANTIATE_TEST_SUITE_P(Inputs, TimestampJump,
                         ::testing::Values(JumpCase{"Forward100s", "0", "100"},
                                           JumpCase{"Back100s", "100", "0"},
                                           // The 33-bit wrap of MPEG-TS, 1 s in.
                                           JumpCase{"Wrap", "95441.5", ""}),
                         [](const ::testing::TestParamInfo<JumpCase>& info) {
                             return std::string(info.param.name);
                         });

struct StartCase {
    const char* name;
    bool sound;
};

class Start : public ::testing::TestWithParam<StartCase> {};

// The first second after play_block holds about a second of pictures, and
// the positions count from 0: for a capture whose timestamps start at
// 3,883 s, and for a clip whose sound starts 3 s after its picture.
TEST_P(Start, PictureStartsAtItsOwnPaceFromZero) {
    const std::string clip =
        GetParam().sound
            ? generate_media("sound_after_3s.mkv",
                             "-i '" + four_second_clip() +
                                 "' -itsoffset 3 -f lavfi -i sine=sample_rate=48000:duration=1 "
                                 "-map 0:v -map 1:a -c:v copy -c:a aac")
            : ts_clip("3883");
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip, false));
    const double play_ms = host.now_ms();
    ASSERT_TRUE(host.play(GetParam().sound));
    host.pump_for(1500ms);

    ASSERT_FALSE(host.frames.empty());
    const double first_ms = host.frames.front().at_ms - play_ms;
    int in_first_second = 0;
    for (const Delivered& f : host.frames)
        in_first_second += f.at_ms - host.frames.front().at_ms < 1000.0;
    std::printf("[ figures  ] %s: first frame %.0f ms after play_block, %d in its first second\n",
                GetParam().name, first_ms, in_first_second);
    if (wall_clock_checked) {
        EXPECT_LT(first_ms, 1000.0);
        EXPECT_LE(in_first_second, clip_fps * 3 / 2) << join(host.indices());
        EXPECT_LT(host.frames.front().position, 0.3f);
    }
    EXPECT_LT(host.frames.back().position, 2.5f);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Start,
                         ::testing::Values(StartCase{"TsStartingAt3883s", false},
                                           StartCase{"SoundStarting3sLate", true}),
                         [](const ::testing::TestParamInfo<StartCase>& info) {
                             return std::string(info.param.name);
                         });

// After a seek between key frames 4 s apart, the frames from the key frame
// to the target are decoded only: the first shown is the target's, and the
// picture goes on at the clip's pace from there.
TEST(Seek, BetweenKeyFramesShowsTheTargetFirstAndNoBurst) {
    IndexedClip recipe;
    recipe.fps = clip_fps;
    recipe.frames = 8 * clip_fps;
    recipe.gop = 4 * clip_fps;
    const std::string clip = indexed_clip(recipe);
    LogCapture log;
    PluginHandle plugin;
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(clip, false));
    ASSERT_TRUE(host.play());
    ASSERT_TRUE(host.pump_until_index(10, 5s)) << join(host.indices());

    const size_t from = host.frames.size();
    const int old_last = host.last_index();
    ASSERT_TRUE(plugin->seek_block(host.id, 3));
    host.pump_for(2000ms);
    // A few frames of the old position may come first.
    size_t i = from;
    while (i < host.frames.size() && host.frames[i].index == old_last + 1 + int(i - from) &&
           host.frames[i].index < 3 * clip_fps)
        ++i;
    ASSERT_LT(i, host.frames.size()) << "no frame after the seek";
    EXPECT_GE(host.frames[i].index, 3 * clip_fps) << join(host.indices(from));
    int in_first_second = 0;
    for (size_t k = i; k < host.frames.size(); ++k)
        in_first_second += host.frames[k].at_ms - host.frames[i].at_ms < 1000.0;
    EXPECT_LE(in_first_second, clip_fps * 3 / 2) << join(host.indices(from));
}

}  // namespace
