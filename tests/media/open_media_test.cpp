// Opening media: the description of each input in the host log, the
// streams and decoders chosen, and the inputs that cannot be played.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// The lines that describe the input, from "Information about" on: the
// device types listed before it come from the FFmpeg the plug-in links.
std::vector<std::string> description(const LogCapture& log) {
    std::vector<std::string> out;
    for (const LogLine& line : log.lines()) {
        if (!out.empty() || line.text.rfind("Information about ", 0) == 0) out.push_back(line.text);
    }
    return out;
}

size_t index_in(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == text) return i;
    }
    return lines.size();
}

std::string rotated_copy_clip() {
    // Stream copy keeps the display matrix that the "rotate" tag asks for.
    return generate_media("rotated_copy.mp4",
                          "-i '" + video_only_clip() + "' -c copy -metadata:s:v:0 rotate=90");
}

// testsrc2 rounds its picture to even sizes; testsrc keeps 641 x 361.
std::string odd_641x361_clip() {
    return generate_media("odd_641x361_ffv1.mkv",
                          "-f lavfi -i testsrc=size=641x361:rate=30:duration=1 -c:v ffv1 "
                          "-pix_fmt yuv420p");
}

}  // namespace

TEST(OpenMedia, DescribesAnAudioVideoClip) {
    const std::string path = av_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    const std::vector<std::string> lines = description(log);
    ASSERT_FALSE(lines.empty()) << log.dump();
    EXPECT_EQ(lines[0], "Information about " + path + ":");
    EXPECT_LT(index_in(lines, "  - duration: 00:00:03.00 (3 sec)"),
              index_in(lines, "  - video stream (0):"));
    EXPECT_LT(index_in(lines, "  - video stream (0):"), index_in(lines, "  - audio stream (1):"));
    EXPECT_LT(index_in(lines, "  - audio stream (1):"), lines.size()) << log.dump();
    EXPECT_EQ(log.count_containing("Unable"), 0u);
    for (const LogLine& line : log.lines()) EXPECT_EQ(line.level, qvx::LogLevel::info) << line.text;

    EXPECT_EQ(video->get_video_stream_index(id), 0);
    EXPECT_EQ(video->get_audio_stream_index(id), 1);
    EXPECT_STREQ(video->get_video_codec_name(id), "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10");
    EXPECT_STREQ(video->get_audio_codec_name(id), "AAC (Advanced Audio Coding)");
    EXPECT_EQ(video->get_duration(id), 3);
    int width = 0, height = 0;
    EXPECT_TRUE(video->get_video_size(id, &width, &height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(video->get_num_video_frames(id), 90u);
    EXPECT_GT(video->get_num_audio_frames(id), 100u);  // 3 s of 1024-sample AAC frames
    EXPECT_DOUBLE_EQ(video->get_video_fps(id), 30.0);
    EXPECT_EQ(video->get_video_rotation(id), 0.0f);
    EXPECT_EQ(video->get_position(id), 0.0f);
    EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
}

// A missing stream is said at info level; the other is described as usual.
TEST(OpenMedia, VideoOnlyClipOpensWithoutAudio) {
    const std::string path = video_only_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    const std::string no_audio = "Unable to find any audio stream in the file " + path;
    EXPECT_TRUE(log.has(qvx::LogLevel::info, no_audio)) << log.dump();
    EXPECT_TRUE(log.has("  - video stream (0):")) << log.dump();
    EXPECT_EQ(log.count_containing("  - audio stream"), 0u) << log.dump();

    EXPECT_EQ(video->get_video_stream_index(id), 0);
    EXPECT_LT(video->get_audio_stream_index(id), 0);
    ASSERT_NE(video->get_audio_codec_name(id), nullptr)
        << "a known block gives a name, maybe empty";
    EXPECT_STREQ(video->get_audio_codec_name(id), "");
    EXPECT_EQ(video->get_num_audio_frames(id), 0u);
    EXPECT_EQ(video->get_num_video_frames(id), 90u);
    EXPECT_EQ(video->get_duration(id), 3);
}

TEST(OpenMedia, AudioOnlyClipOpensWithoutVideo) {
    const std::string path = audio_only_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    const std::string no_video = "Unable to find any video stream in the file " + path;
    EXPECT_TRUE(log.has(qvx::LogLevel::info, no_video)) << log.dump();
    EXPECT_TRUE(log.has("  - audio stream (0):")) << log.dump();
    EXPECT_TRUE(log.has("    . sampling rate: 44100 samples per second")) << log.dump();

    EXPECT_LT(video->get_video_stream_index(id), 0);
    EXPECT_EQ(video->get_audio_stream_index(id), 0);
    EXPECT_STREQ(video->get_video_codec_name(id), "");
    EXPECT_STREQ(video->get_audio_codec_name(id), "AAC (Advanced Audio Coding)");
    EXPECT_EQ(video->get_duration(id), 3);
    int width = -1, height = -1;
    EXPECT_FALSE(video->get_video_size(id, &width, &height)) << "no video decoder";
    EXPECT_EQ(width, -1);
    EXPECT_EQ(video->get_num_video_frames(id), 0u);
    EXPECT_EQ(video->get_video_fps(id), 0.0);
    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_FALSE(video->video_create_texture_rgb24(id, &renderer, &texture));
}

// Music with a cover picture is sound only, and plays to its end.
TEST(OpenMedia, CoverArtIsNotAVideo) {
    const std::string path = generate_media(
        "cover_art.mp3",
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
        "-f lavfi -i testsrc2=size=64x64:rate=1:duration=1 -map 0:a -map 1:v "
        "-c:a libmp3lame -c:v mjpeg -frames:v 1 -disposition:v:0 attached_pic -id3v2_version 3");
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    EXPECT_LT(video->get_video_stream_index(id), 0);
    EXPECT_EQ(video->get_audio_stream_index(id), 0);
    ASSERT_TRUE(video->play_block(id, true, true));
    // One device buffer short of the end at most.
    EXPECT_TRUE(wait_until([&] { return video->get_position(id) >= 1.7f; }, 15s))
        << video->get_position(id);
}

// Streams declaring pictures beyond the limit are not played; the limit is
// the host's to set and shapes later opens.
TEST(OpenMedia, PicturesBeyondTheSizeLimitAreRefused) {
    const std::string path = av_clip();
    PluginHandle video;
    for (int bad : {0, -1}) {
        EXPECT_FALSE(video->set_parameter_int("max_video_width", bad));
        EXPECT_FALSE(video->set_parameter_int("max_video_height", bad));
    }
    ASSERT_TRUE(video->set_parameter_int("max_video_width", 320));
    ASSERT_TRUE(video->set_parameter_int("max_video_height", 239));
    LogCapture log;
    const int sound_only = video->create_block(path.c_str(), false);
    ASSERT_NE(sound_only, 0) << log.dump();
    EXPECT_LT(video->get_video_stream_index(sound_only), 0);
    EXPECT_GE(video->get_audio_stream_index(sound_only), 0);
    EXPECT_EQ(
        log.count_containing("320 x 240 pixels, beyond the largest picture allowed (320 x 239)"),
        1u)
        << log.dump();
    EXPECT_EQ(video->create_block(video_only_clip().c_str(), false), 0) << "nothing else to play";

    ASSERT_TRUE(video->set_parameter_int("max_video_height", 240));
    const int whole = video->create_block(path.c_str(), false);
    EXPECT_EQ(video->get_video_stream_index(whole), 0);
}

TEST(OpenMedia, InputsWithoutPlayableStreamsAreRefused) {
    PluginHandle video;
    const int kept = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(kept, 0);

    {
        const std::string path = subtitle_only_file();
        LogCapture log;
        EXPECT_EQ(video->create_block(path.c_str(), false), 0);
        EXPECT_EQ(log.count(qvx::LogLevel::error,
                            "Unable to find any video / audio stream in the file " + path),
                  1u)
            << log.dump();
        EXPECT_TRUE(
            log.has(qvx::LogLevel::info, "Unable to find any audio stream in the file " + path));
        EXPECT_TRUE(
            log.has(qvx::LogLevel::info, "Unable to find any video stream in the file " + path));
    }
    {
        // Random bytes: refused at some step of the open, or opened as
        // something; either way nothing breaks.
        const std::string path = random_bytes_file();
        LogCapture log;
        const int id = video->create_block(path.c_str(), false);
        if (id == 0) {
            bool named = false;
            for (const LogLine& line : log.lines())
                named |=
                    line.level == qvx::LogLevel::error && line.text.find(path) != std::string::npos;
            EXPECT_TRUE(named) << "the refusal names the file:\n" << log.dump();
        } else {
            EXPECT_TRUE(video->play_block(id, true, false));
            std::this_thread::sleep_for(200ms);
            EXPECT_TRUE(video->destroy_block(id));
        }
    }
    EXPECT_EQ(video->get_duration(kept), 3) << "refusals left the registry as it was";
    EXPECT_TRUE(video->destroy_block(kept));
}

TEST(OpenMedia, TruncatedClipPlaysWhatItHas) {
    const std::string path = truncated_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    if (id == 0) {
        EXPECT_GT(log.count_containing(path), 0u) << log.dump();
        return;
    }
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->video_create_texture_rgb24(id, &renderer, &texture));
    ASSERT_TRUE(video->play_block(id, true, true));
    // The data runs out early; the block keeps answering and stops cleanly.
    wait_until([&] { return video->video_update_texture_rgb24(id, &renderer, &texture); }, 3s);
    std::this_thread::sleep_for(300ms);
    EXPECT_GE(video->get_position(id), 0.0f);
    EXPECT_TRUE(video->stop_block(id));
    EXPECT_TRUE(video->destroy_block(id));
}

TEST(OpenMedia, DisplayMatrixGivesTheRotation) {
    const std::string path = rotated_copy_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    const float rotation = video->get_video_rotation(id);
    EXPECT_FLOAT_EQ(std::fabs(rotation), 90.0f);
    std::vector<std::string> lines;
    for (const LogLine& line : log.lines()) {
        if (line.text.find("rotation") != std::string::npos) lines.push_back(line.text);
    }
    ASSERT_EQ(lines.size(), 1u) << log.dump();
    EXPECT_EQ(lines[0].rfind("    . ", 0), 0u) << "a stream line: " << lines[0];
    EXPECT_NE(lines[0].find(std::to_string(std::lround(rotation))), std::string::npos) << lines[0];

    // A clip without a matrix has no rotation and no rotation line.
    LogCapture plain;
    const int other = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(other, 0);
    EXPECT_EQ(video->get_video_rotation(other), 0.0f);
    EXPECT_EQ(plain.count_containing("rotation"), 0u) << plain.dump();
}

TEST(OpenMedia, OddPictureSize) {
    const std::string path = odd_641x361_clip();
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    EXPECT_TRUE(log.has("    . size: 641 x 361 pixels")) << log.dump();
    int width = 0, height = 0;
    EXPECT_TRUE(video->get_video_size(id, &width, &height));
    EXPECT_EQ(width, 641);
    EXPECT_EQ(height, 361);
    EXPECT_STREQ(video->get_video_codec_name(id), "FFmpeg video codec #1");
    EXPECT_DOUBLE_EQ(video->get_video_fps(id), 30.0);

    // Frames of that size reach a texture of that size.
    qvx::Renderer renderer;
    qvx::Texture texture;
    ASSERT_TRUE(video->video_create_texture_rgb24(id, &renderer, &texture));
    EXPECT_EQ(texture.get_data_ptr()->width, 641u);
    EXPECT_EQ(texture.get_data_ptr()->height, 361u);
    ASSERT_TRUE(video->play_block(id, true, false));
    EXPECT_TRUE(wait_until(
        [&] { return video->video_update_texture_rgb24(id, &renderer, &texture); }, 10s));
}
