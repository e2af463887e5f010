// Opening media: the description of each input in the host log, the
// streams and decoders chosen, and the inputs that cannot be played.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// What ffprobe reads from a file, as "format.duration",
// "streams.stream.0.nb_frames" and so on.
std::map<std::string, std::string> probe(const std::string& path) {
    std::map<std::string, std::string> values;
    std::istringstream lines(
        command_output("ffprobe -v error -show_format -show_streams -of flat '" + path + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

int64_t microseconds(const std::string& seconds) {
    return std::llround(std::strtod(seconds.c_str(), nullptr) * 1e6);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// The container's duration line for a duration in microseconds.
std::string duration_line(int64_t us) {
    const int64_t d = us + 5000;
    const int s = static_cast<int>(d / 1000000);
    const int hundredths = static_cast<int>((d - int64_t{s} * 1000000) * 100 / 1000000);
    return format("  - duration: %02d:%02d:%02d.%02d (%d sec)", s / 3600, s / 60 % 60, s % 60,
                  hundredths, s);
}

// The lines that describe the container, from "Information about".
std::vector<std::string> container_lines(const std::string& path,
                                         std::map<std::string, std::string>& info) {
    return {
        "Information about " + path + ":",
        duration_line(microseconds(info["format.duration"])),
        format("  - start_time: %d secs",
               std::abs(static_cast<int>(microseconds(info["format.start_time"]) / 1000000))),
        format("  - birate: %d kb/sec:", std::atoi(info["format.bit_rate"].c_str()) / 1000),
        "  - num streams: " + info["format.nb_streams"],
    };
}

std::vector<std::string> video_lines(int index, std::map<std::string, std::string>& info,
                                     int duration_seconds) {
    const std::string s = "streams.stream." + std::to_string(index) + ".";
    return {
        format("  - video stream (%d):", index),
        "    . codec: " + info[s + "codec_long_name"],
        "    . pixel format: YUV420P (0)",
        format("    . duration: %d sec", duration_seconds),
        format("    . start_time: %f sec",
               static_cast<double>(microseconds(info[s + "start_time"]) / 1000000)),
        format("    . birate: %d kb/sec:", std::atoi(info[s + "bit_rate"].c_str()) / 1000),
        "    . size: " + info[s + "width"] + " x " + info[s + "height"] + " pixels",
        "    . num frames: " + info[s + "nb_frames"],
    };
}

std::vector<std::string> audio_lines(int index, std::map<std::string, std::string>& info,
                                     int duration_seconds) {
    const std::string s = "streams.stream." + std::to_string(index) + ".";
    return {
        format("  - audio stream (%d):", index),
        "    . codec: " + info[s + "codec_long_name"],
        "    . sample format: fltp",
        format("    . bitrate: %d kb/sec", std::atoi(info["format.bit_rate"].c_str()) / 1000),
        "    . num channels: " + info[s + "channels"],
        format("    . duration: %d sec", duration_seconds),
        format("    . start_time: %f sec",
               static_cast<double>(microseconds(info[s + "start_time"]) / 1000000)),
        "    . bits per sample: 32",
        "    . sampling rate: 44100 samples per second",
    };
}

// The device types FFmpeg lists, each as its log line.
std::vector<std::string> device_type_lines() {
    std::vector<std::string> out{"Available device types:"};
    std::istringstream lines(command_output("ffmpeg -v error -hwaccels"));
    std::string line;
    std::getline(lines, line);  // heading
    while (std::getline(lines, line)) {
        if (!line.empty()) out.push_back(" " + line);
    }
    return out;
}

std::vector<std::string> texts(const LogCapture& log) {
    std::vector<std::string> out;
    for (const LogLine& line : log.lines()) out.push_back(line.text);
    return out;
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
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
    auto info = probe(path);
    ASSERT_EQ(info["format.nb_streams"], "2");
    ASSERT_EQ(info["streams.stream.0.codec_type"], "video");
    ASSERT_EQ(info["streams.stream.1.codec_type"], "audio");

    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    EXPECT_EQ(texts(log), joined({device_type_lines(), container_lines(path, info),
                                  video_lines(0, info, 3), audio_lines(1, info, 3)}))
        << log.dump();
    EXPECT_EQ(log.count_containing("Unable"), 0u);
    for (const LogLine& line : log.lines()) EXPECT_EQ(line.level, qvx::LogLevel::info) << line.text;
    EXPECT_EQ(duration_line(3000000), "  - duration: 00:00:03.00 (3 sec)");  // the expected form

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
    EXPECT_EQ(video->get_num_audio_frames(id),
              static_cast<uint32_t>(std::atoi(info["streams.stream.1.nb_frames"].c_str())));
    EXPECT_DOUBLE_EQ(video->get_video_fps(id), 30.0);
    EXPECT_EQ(video->get_video_rotation(id), 0.0f);
    EXPECT_EQ(video->get_position(id), 0.0f);
    EXPECT_FALSE(video->is_hw_device_used(id, nullptr));
}

TEST(OpenMedia, VideoOnlyClipOpensWithoutAudio) {
    const std::string path = video_only_clip();
    auto info = probe(path);
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    const std::string no_audio = "Unable to find any audio stream in the file " + path;
    EXPECT_EQ(texts(log), joined({device_type_lines(),
                                  container_lines(path, info),
                                  {no_audio},
                                  video_lines(0, info, 3)}))
        << log.dump();
    EXPECT_TRUE(log.has(qvx::LogLevel::info, no_audio)) << "not an error";

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
    auto info = probe(path);
    const int duration = static_cast<int>((microseconds(info["format.duration"]) + 5000) / 1000000);
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();

    const std::string no_video = "Unable to find any video stream in the file " + path;
    EXPECT_EQ(texts(log), joined({device_type_lines(),
                                  container_lines(path, info),
                                  {no_video},
                                  audio_lines(0, info, duration)}))
        << log.dump();
    EXPECT_TRUE(log.has(qvx::LogLevel::info, no_video)) << "not an error";

    EXPECT_LT(video->get_video_stream_index(id), 0);
    EXPECT_EQ(video->get_audio_stream_index(id), 0);
    EXPECT_STREQ(video->get_video_codec_name(id), "");
    EXPECT_STREQ(video->get_audio_codec_name(id), "AAC (Advanced Audio Coding)");
    EXPECT_EQ(video->get_duration(id), duration);
    int width = -1, height = -1;
    EXPECT_FALSE(video->get_video_size(id, &width, &height)) << "no video decoder";
    EXPECT_EQ(width, -1);
    EXPECT_EQ(video->get_num_video_frames(id), 0u);
    EXPECT_EQ(video->get_video_fps(id), 0.0);
    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_FALSE(video->video_create_texture_rgb24(id, &renderer, &texture));
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

// A decoder that cannot open leaves the block to the other stream; with
// neither, the open fails. The thread counts reach FFmpeg unchecked, and it
// refuses a negative one.
TEST(OpenMedia, DecoderThatCannotOpen) {
    const std::string path = av_clip();
    PluginHandle video;
    ASSERT_TRUE(video->set_parameter_int("num_video_threads", -1));
    {
        LogCapture log;
        const int id = video->create_block(path.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        EXPECT_EQ(log.count(qvx::LogLevel::error,
                            "Unable to initialize the video codec for file " + path),
                  1u)
            << log.dump();
        EXPECT_EQ(log.count_containing("  - video stream"), 0u) << log.dump();
        EXPECT_TRUE(log.has("  - audio stream (1):")) << log.dump();
        EXPECT_STREQ(video->get_video_codec_name(id), "");
        EXPECT_TRUE(video->destroy_block(id));
    }
    ASSERT_TRUE(video->set_parameter_int("num_audio_threads", -1));
    {
        LogCapture log;
        EXPECT_EQ(video->create_block(path.c_str(), false), 0);
        EXPECT_TRUE(
            log.has(qvx::LogLevel::error, "Unable to initialize the video codec for file " + path));
        EXPECT_TRUE(
            log.has(qvx::LogLevel::error, "Unable to initialize the audio codec for file " + path))
            << log.dump();
    }
    // Audio alone failing still leaves a video-only block.
    ASSERT_TRUE(video->set_parameter_int("num_video_threads", 0));
    {
        LogCapture log;
        const int id = video->create_block(path.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        EXPECT_TRUE(log.has("  - video stream (0):")) << log.dump();
        EXPECT_STREQ(video->get_audio_codec_name(id), "");
    }
}
