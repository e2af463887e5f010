// Opening media: the streams and decoders chosen, the inputs that cannot be
// played, and the decoding settings a host sets by key, with the hardware
// decoding they ask for and its fall-back to software.
#include <gtest/gtest.h>

#include <cmath>

#include "test_host.h"

extern "C" {
#include <libavutil/hwcontext.h>
}
#undef av_clip  // FFmpeg's, not the test clip

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

struct Opened {
    std::string name;
    std::string (*clip)();
    int video_index, audio_index;  // -1: none
    int width, height;
    float rotation;
};

std::string cover_art_clip() {
    return generate_media(
        "cover_art.mp3",
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
        "-f lavfi -i testsrc2=size=64x64:rate=1:duration=1 -map 0:a -map 1:v "
        "-c:a libmp3lame -c:v mjpeg -frames:v 1 -disposition:v:0 attached_pic -id3v2_version 3");
}

class Opens : public ::testing::TestWithParam<Opened> {};

// Plays the block's video and tells which output format took its first
// frame, "none" if none came within 10 s. Each poll offers the waiting frame
// to one format in turn: only the block's own format takes it (a frame
// offered to another is dropped).
std::string delivered_format(qvx::SimpleVideo& video, int id) {
    qvx::Renderer r;
    qvx::Texture t[4];
    qvx::Texture* yuv[3] = {&t[1], &t[2], &t[3]};
    video.video_create_texture_rgb24(id, &r, &t[0]);
    video.video_create_textures_yuv420p(id, &r, yuv);
    EXPECT_TRUE(video.play_block(id, true, false));
    std::string format = "none";
    for (int turn = 0; format == "none" && turn < 1000; ++turn) {
        if (turn % 2 ? video.video_update_textures_yuv420p(id, &r, yuv, nullptr)
                     : video.video_update_texture_rgb24(id, &r, &t[0]))
            format = turn % 2 ? "yuv420p" : "rgb24";
        std::this_thread::sleep_for(10ms);
    }
    video.stop_block(id);
    return format;
}

}  // namespace

// Each input opens with the streams it has (a cover picture is no video),
// logging nothing above info; pictures of the size declared reach a texture
// of that size, and the sound of a sound-only input plays to its end.
TEST_P(Opens, WithItsStreamsSizeAndRotation) {
    const Opened& o = GetParam();
    const std::string path = o.clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    for (const LogLine& line : log.lines()) EXPECT_EQ(line.level, qvx::LogLevel::info) << line.text;
    EXPECT_EQ(video->get_video_stream_index(id), o.video_index);
    EXPECT_EQ(std::max(video->get_audio_stream_index(id), -1), o.audio_index);
    EXPECT_EQ(std::string(video->get_audio_codec_name(id)).empty(), o.audio_index < 0);
    EXPECT_FLOAT_EQ(std::fabs(video->get_video_rotation(id)), o.rotation);
    int width = -1, height = -1;
    EXPECT_EQ(video->get_video_size(id, &width, &height), o.video_index >= 0);
    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_EQ(video->video_create_texture_rgb24(id, &renderer, &texture), o.video_index >= 0);
    ASSERT_TRUE(video->play_block(id, true, o.video_index < 0));
    if (o.video_index < 0) {
        EXPECT_EQ(video->get_video_fps(id), 0.0);
        // One device buffer short of the end at most.
        const float end = static_cast<float>(video->get_duration(id)) - 0.3f;
        EXPECT_TRUE(wait_until([&] { return video->get_position(id) >= end; }, 15s))
            << video->get_position(id);
        return;
    }
    EXPECT_TRUE(width == o.width && height == o.height) << width << "x" << height;
    EXPECT_DOUBLE_EQ(video->get_video_fps(id), 30.0);
    EXPECT_EQ(texture.get_data_ptr()->width, static_cast<unsigned>(o.width));
    EXPECT_EQ(texture.get_data_ptr()->height, static_cast<unsigned>(o.height));
    EXPECT_TRUE(wait_until(
        [&] { return video->video_update_texture_rgb24(id, &renderer, &texture); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Inputs, Opens,
                         ::testing::Values(Opened{"AudioVideo", av_clip, 0, 1, 320, 240, 0.0f},
                                           Opened{"VideoOnly", video_only_clip, 0, -1, 320, 240,
                                                  0.0f},
                                           Opened{"AudioOnly", audio_only_clip, -1, 0, 0, 0, 0.0f},
                                           Opened{"CoverArt", cover_art_clip, -1, 0, 0, 0, 0.0f},
                                           Opened{"Rotated", rotated_clip, 0, -1, 320, 240, 90.0f},
                                           Opened{"OddSize", odd_size_clip, 0, -1, 641, 361, 0.0f}),
                         [](const auto& info) { return info.param.name; });

// Streams declaring pictures beyond the host's limit are not played;
// inputs with nothing to play are refused with an error naming them, or
// play what they have; either way the registry stays as it was.
TEST(OpenMedia, InputsWithoutPlayableStreamsAreRefused) {
    const std::string path = av_clip();
    PluginHandle video;
    const int kept = video->create_block(path.c_str(), false);
    ASSERT_NE(kept, 0);
    EXPECT_FALSE(video->set_parameter_int("max_video_width", 0));
    ASSERT_TRUE(video->set_parameter_int("max_video_width", 320));
    ASSERT_TRUE(video->set_parameter_int("max_video_height", 239));
    const int sound_only = video->create_block(path.c_str(), false);
    EXPECT_LT(video->get_video_stream_index(sound_only), 0);
    EXPECT_GE(video->get_audio_stream_index(sound_only), 0);
    EXPECT_EQ(video->create_block(video_only_clip().c_str(), false), 0);

    ASSERT_TRUE(video->set_parameter_int("max_video_height", 240));
    for (const std::string& bad : {subtitle_only_file(), random_bytes_file(), truncated_clip()}) {
        LogCapture log;
        const int id = video->create_block(bad.c_str(), false);
        if (id != 0) {  // some bytes may open as something: it must play safely
            EXPECT_TRUE(video->play_block(id, true, false));
            std::this_thread::sleep_for(200ms);
            EXPECT_TRUE(video->destroy_block(id));
            continue;
        }
        bool named = false;
        for (const LogLine& line : log.lines())
            named |= line.level == qvx::LogLevel::error && line.text.find(bad) != std::string::npos;
        EXPECT_TRUE(named) << "the refusal names the file:\n" << log.dump();
    }
    EXPECT_EQ(video->get_duration(kept), 3) << "refusals left the registry as it was";
    EXPECT_EQ(video->get_video_stream_index(video->create_block(path.c_str(), false)), 0);
}

// ---- Hardware decoding ---------------------------------------------------------

class HardwareFallBack : public ::testing::TestWithParam<const char*> {};

// A device is available where FFmpeg is built with its type. Asked for by name where
// the decoder or the device cannot be used (no GPU here), the open carries
// on in software with an error line, and the settings switch later opens to
// software with yuv420p output until the host sets them again. Any other
// name ("opencl", "CUDA", "") decodes in software, settings untouched.
TEST_P(HardwareFallBack, ToSoftware) {
    const std::string device = GetParam();
    const std::string clip = video_only_clip();
    PluginHandle video;
    // Available means built into the FFmpeg the plug-in runs on, which
    // av_hwdevice_iterate_types lists (find_type_by_name knows every name).
    const AVHWDeviceType type = av_hwdevice_find_type_by_name(device.c_str());
    bool built_in = false;
    for (AVHWDeviceType t = AV_HWDEVICE_TYPE_NONE;
         (t = av_hwdevice_iterate_types(t)) != AV_HWDEVICE_TYPE_NONE;)
        built_in = built_in || t == type;
    EXPECT_EQ(video->is_hw_device_available(device.c_str()), built_in);
    for (const char* name : {"CUDA", "", "d3d11va"})
        EXPECT_FALSE(video->is_hw_device_available(name)) << name;
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    for (const char* other : {"opencl", "CUDA", ""}) {
        ASSERT_TRUE(video->set_parameter_string("hw_device", other));
        LogCapture log;
        EXPECT_FALSE(video->is_hw_device_used(video->create_block(clip.c_str(), false), nullptr));
        EXPECT_EQ(log.count_containing("hw decoder"), 0u) << log.dump();
    }
    if (!video->is_hw_device_available(device.c_str()))
        GTEST_SKIP() << "FFmpeg lists no " << device << " device type";
    ASSERT_TRUE(video->set_parameter_string("hw_device", device.c_str()));
    LogCapture log;
    const int id = video->create_block(clip.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    if (video->is_hw_device_used(id, device.c_str()))
        GTEST_SKIP() << "a " << device << " device works here: no fall-back to test";
    EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
    bool error = false;
    for (const LogLine& line : log.lines()) error |= line.level == qvx::LogLevel::error;
    EXPECT_TRUE(error) << log.dump();
    EXPECT_EQ(delivered_format(*video, id), "rgb24") << "the block keeps its output format";

    log.clear();
    const int next = video->create_block(clip.c_str(), false);
    EXPECT_EQ(log.count_containing("hw decoder"), 0u) << log.dump();
    EXPECT_EQ(delivered_format(*video, next), "yuv420p");
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    EXPECT_EQ(delivered_format(*video, video->create_block(clip.c_str(), false)), "rgb24");
}

INSTANTIATE_TEST_SUITE_P(HardwareDevices, HardwareFallBack, ::testing::Values("cuda", "vulkan"));
