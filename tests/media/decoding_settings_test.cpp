// The decoding settings a host sets by key, and the hardware decoding they
// ask for, with its fall-back to software where no device can be used.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// The hardware device types the plug-in's FFmpeg lists: the lines after
// "Available device types:" in the log of an open.
std::set<std::string> listed_device_types(qvx::SimpleVideo& video) {
    LogCapture log;
    const int id = video.create_block(av_clip().c_str(), false);
    video.destroy_block(id);
    std::set<std::string> out;
    bool listing = false;
    for (const LogLine& line : log.lines()) {
        if (listing && line.text.size() > 1 && line.text[0] == ' ' && line.text[1] != ' ') {
            out.insert(line.text.substr(1));
        } else {
            listing = line.text == "Available device types:";
        }
    }
    return out;
}

// Plays the block's video and tells which texture update received its first
// frame: "rgb24", "yuv420p", "nv12", or "none" when nothing came within the
// wait. Only the update for the block's output format can succeed.
std::string delivered_format(qvx::SimpleVideo& video, int id,
                             std::chrono::milliseconds wait = 10s) {
    qvx::Renderer renderer;
    qvx::Texture rgb;
    qvx::Texture planes[5];
    qvx::Texture* yuv[3] = {&planes[0], &planes[1], &planes[2]};
    qvx::Texture* nv12[2] = {&planes[3], &planes[4]};
    const uint64_t units[3] = {0, 1, 2};
    EXPECT_TRUE(video.video_create_texture_rgb24(id, &renderer, &rgb));
    EXPECT_TRUE(video.video_create_textures_yuv420p(id, &renderer, yuv));
    EXPECT_TRUE(video.video_create_textures_nv12(id, &renderer, nv12));
    EXPECT_TRUE(video.play_block(id, true, false));
    // Each poll offers the waiting frame to one format in turn; a frame
    // offered to the wrong one is dropped, so every format gets its share.
    std::string format = "none";
    int turn = 0;
    wait_until(
        [&] {
            switch (turn++ % 3) {
                case 0:
                    if (video.video_update_texture_rgb24(id, &renderer, &rgb)) format = "rgb24";
                    break;
                case 1:
                    if (video.video_update_textures_yuv420p(id, &renderer, yuv, units))
                        format = "yuv420p";
                    break;
                default:
                    if (video.video_update_textures_nv12(id, &renderer, nv12, units))
                        format = "nv12";
            }
            return format != "none";
        },
        wait);
    video.stop_block(id);
    return format;
}

}  // namespace

// Keys are taken exactly; a refused key or value stores nothing and logs
// nothing.
TEST(DecodingSettings, SettingsTakeOnlyTheirExactKeysAndValues) {
    PluginHandle video;
    LogCapture log;
    EXPECT_TRUE(video->set_parameter_int("num_video_threads", 2));
    EXPECT_TRUE(video->set_parameter_int("num_audio_threads", 0));
    EXPECT_TRUE(video->set_parameter_int("realtime", 1));
    EXPECT_FALSE(video->set_parameter_int("realtime", 2));
    EXPECT_FALSE(video->set_parameter_int(nullptr, 1));
    EXPECT_FALSE(video->set_parameter_int("hw_device", 1));
    // A thread count FFmpeg would refuse, under near-miss keys.
    EXPECT_FALSE(video->set_parameter_int("Num_video_threads", -1));
    EXPECT_FALSE(video->set_parameter_int("num_audio_threads\t", -1));

    EXPECT_TRUE(video->set_parameter_string("hw_device", "anything at all"));
    EXPECT_TRUE(video->set_parameter_string("hw_device", ""));
    EXPECT_FALSE(video->set_parameter_string("hw_device", nullptr));
    EXPECT_TRUE(video->set_parameter_string("sws_scale_filter", "SWS_SPLINE"));
    for (const char* filter : {"SWS_BICUBIC ", "sws_bicubic", ""})
        EXPECT_FALSE(video->set_parameter_string("sws_scale_filter", filter)) << filter;
    for (const char* format : {"YUV420P", "rgb", "nv21", ""})
        EXPECT_FALSE(video->set_parameter_string("video_pixel_fmt", format)) << format;
    EXPECT_FALSE(video->set_parameter_string(nullptr, "cuda"));
    EXPECT_FALSE(video->set_parameter_string("num_video_threads", "4"));
    EXPECT_TRUE(log.lines().empty()) << "the settings log nothing:\n" << log.dump();
    const int id = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(id, 0);
    EXPECT_EQ(log.count_containing("Unable to initialize"), 0u) << log.dump();
}

// Each open copies the output format in force at that moment; a refused
// value keeps the format before it.
TEST(DecodingSettings, PixelFormatShapesLaterOpensOnly) {
    const std::string clip = video_only_clip();
    PluginHandle video;
    const int as_created = video->create_block(clip.c_str(), false);
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "yuv420p"));
    const int yuv = video->create_block(clip.c_str(), false);
    ASSERT_FALSE(video->set_parameter_string("video_pixel_fmt", "RGB24"));
    const int still_yuv = video->create_block(clip.c_str(), false);
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    ASSERT_TRUE(video->set_parameter_string("sws_scale_filter", "SWS_LANCZOS"));
    const int rgb = video->create_block(clip.c_str(), false);
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "nv12"));
    const int nv12 = video->create_block(clip.c_str(), false);
    for (int id : {as_created, yuv, still_yuv, rgb, nv12}) ASSERT_NE(id, 0);

    EXPECT_EQ(delivered_format(*video, as_created), "rgb24");
    EXPECT_EQ(delivered_format(*video, yuv), "yuv420p");
    EXPECT_EQ(delivered_format(*video, still_yuv), "yuv420p");
    EXPECT_EQ(delivered_format(*video, rgb), "rgb24");
    EXPECT_EQ(delivered_format(*video, nv12), "nv12") << "software decoding converts to nv12 too";
}

TEST(HardwareDevices, OnlyCudaVulkanAndOpenclCanBeAvailableAndSoftwareUsesNone) {
    PluginHandle video;
    const std::set<std::string> listed = listed_device_types(*video);
    for (const std::string& name : listed) {
        const bool known = name == "cuda" || name == "vulkan" || name == "opencl";
        EXPECT_EQ(video->is_hw_device_available(name.c_str()), known) << name;
    }
    for (const char* name : {"CUDA", "", "d3d11va"})
        EXPECT_FALSE(video->is_hw_device_available(name)) << name;
    EXPECT_FALSE(video->is_hw_device_available(nullptr));

    const int id = video->create_block(video_only_clip().c_str(), false);
    ASSERT_NE(id, 0);
    EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
    EXPECT_FALSE(video->is_hw_device_used(id, "cuda"));
    // A name that maps to no device type names what a software block uses.
    EXPECT_TRUE(video->is_hw_device_used(id, "bogus"));
}

// Asks for a hardware decoder by name. Where the decoder or the device
// cannot be used (this machine has no GPU), the open carries on in software
// and the settings switch later opens to software with yuv420p output.
void expect_hardware_or_fall_back(const std::string& device) {
    const std::string clip = video_only_clip();
    PluginHandle video;
    if (!video->is_hw_device_available(device.c_str()))
        GTEST_SKIP() << "FFmpeg lists no " << device << " device type";
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    ASSERT_TRUE(video->set_parameter_string("hw_device", device.c_str()));

    LogCapture log;
    const int id = video->create_block(clip.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    const int trying = log.index_of("trying to initialize the " + device + " hw decoder");
    ASSERT_GE(trying, 0) << log.dump();

    if (log.has("hardware decoder initialized for file " + clip)) {
        EXPECT_TRUE(log.has("Decoder h264 supports device type " + device)) << log.dump();
        EXPECT_TRUE(video->is_hw_device_used(id, nullptr));
        EXPECT_TRUE(video->is_hw_device_used(id, device.c_str()));
        EXPECT_FALSE(video->is_hw_device_used(id, "bogus"));
        GTEST_SKIP() << "a " << device << " device works here: no fall-back to test";
    }

    const std::string unsupported = "Decoder h264 does not support device type " + device;
    const std::string init_failed = "Unable to init hardware decoder for file " + clip;
    if (log.has(unsupported)) {
        EXPECT_TRUE(log.has(qvx::LogLevel::error, unsupported));
        EXPECT_EQ(log.count_containing("hw_decoder_init"), 0u) << log.dump();
    } else {
        EXPECT_TRUE(log.has(qvx::LogLevel::info, "Decoder h264 supports device type " + device))
            << log.dump();
        const int err = log.index_of(init_failed);
        ASSERT_GE(err, 1) << log.dump();
        EXPECT_EQ(log.lines()[err - 1].text.rfind("hw_decoder_init ERR: ", 0), 0u) << log.dump();
    }
    EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
    EXPECT_FALSE(video->is_hw_device_used(id, device.c_str()));

    // The block keeps the output format it was opened with.
    EXPECT_EQ(delivered_format(*video, id), "rgb24");

    // Later opens decode in software with yuv420p output.
    log.clear();
    const int next = video->create_block(clip.c_str(), false);
    ASSERT_NE(next, 0);
    EXPECT_EQ(log.count_containing("hw decoder"), 0u) << log.dump();
    EXPECT_EQ(delivered_format(*video, next), "yuv420p");

    // Until the host sets them again.
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    const int reset = video->create_block(clip.c_str(), false);
    ASSERT_NE(reset, 0);
    EXPECT_EQ(delivered_format(*video, reset), "rgb24");
}

class HardwareFallBack : public ::testing::TestWithParam<const char*> {};

TEST_P(HardwareFallBack, ToSoftware) {
    expect_hardware_or_fall_back(GetParam());
}

INSTANTIATE_TEST_SUITE_P(HardwareDevices, HardwareFallBack, ::testing::Values("cuda", "vulkan"));

// Only exactly "cuda" and "vulkan" select a device; any other text decodes
// in software without touching the settings.
TEST(HardwareDevices, OtherDeviceNamesDecodeInSoftware) {
    const std::string clip = video_only_clip();
    PluginHandle video;
    ASSERT_TRUE(video->set_parameter_string("video_pixel_fmt", "rgb24"));
    for (const char* device : {"opencl", "CUDA", ""}) {
        SCOPED_TRACE(std::string("hw_device \"") + device + "\"");
        ASSERT_TRUE(video->set_parameter_string("hw_device", device));
        LogCapture log;
        const int id = video->create_block(clip.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        EXPECT_EQ(log.count_containing("hw decoder"), 0u) << log.dump();
        EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
        EXPECT_TRUE(video->destroy_block(id));
    }
    // No fall-back happened, so the output format is still the host's.
    const int id = video->create_block(clip.c_str(), false);
    ASSERT_NE(id, 0);
    EXPECT_EQ(delivered_format(*video, id), "rgb24");
}
