// Names and files an attacker could hand a host: protocols that reach the
// host's files, descriptors and network, inputs whose reads block in the
// kernel, names that forge log lines, and streams whose decoder cannot open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "test_host.h"

namespace hostile {
// Defined in broken_input_test.cpp, which every platform builds.
std::string read_bytes(const std::string& path);
std::string seven_bit_avi(const std::string& name, const std::string& codecs,
                          const std::string& kind);
}  // namespace hostile

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;
using hostile::seven_bit_avi;

bool has_error_naming(const LogCapture& log, const std::string& fragment) {
    for (const LogLine& line : log.lines()) {
        if (line.level == qvx::LogLevel::error && line.text.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

class RefusedName : public ::testing::TestWithParam<std::string> {};

// Each is refused before anything is read, written or listened on, with an
// error line that names it and says why.
TEST_P(RefusedName, IsRefusedQuicklyWithAReason) {
    std::string name = GetParam();
    const std::string clip = av_clip();
    for (size_t at = name.find("CLIP"); at != std::string::npos; at = name.find("CLIP"))
        name.replace(at, 4, clip);
    if (name == "FIFO") {
#if defined(_WIN32)
        GTEST_SKIP() << "no FIFOs";
#else
        name = media_dir() + "/hostile.fifo";
        ::unlink(name.c_str());
        ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
#endif
    }
    PluginHandle video;
    LogCapture log;
    int id = -1;
    const double ms = time_ms([&] { id = video->create_block(name.c_str(), false); });
    EXPECT_EQ(id, 0);
    EXPECT_LT(ms, 3000.0);
    EXPECT_TRUE(has_error_naming(log, "refused " + name)) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    HostileInput, RefusedName,
    ::testing::Values("concat:CLIP|CLIP", "subfile,,start,0,end,0,,:CLIP", "pipe:0",
                      "gopher://127.0.0.1:1/", "data:video/mp4;base64,AAAA", "udp://127.0.0.1:9",
                      "rtp://127.0.0.1:9", "rtsp://127.0.0.1:1/x", "tcp://127.0.0.1:0?listen=1",
                      "http://127.0.0.1:0/x.mp4?listen=1", "ftp://127.0.0.1:1/x.mp4", "/dev/zero",
                      "file:/dev/zero", "FIFO"));

// A host may widen the whitelist for blocks opened afterwards, and narrow
// it again; a malformed list changes nothing.
TEST(HostileInput, WhitelistSettingGovernsLaterOpens) {
    const std::string clip = av_clip();
    const std::string joined = "concat:" + clip + "|" + clip;
    PluginHandle video;
    EXPECT_EQ(video->create_block(joined.c_str(), false), 0);
    for (const char* bad : {"", ",", "file;rm", "file, http", "file\n"})
        EXPECT_FALSE(video->set_parameter_string("protocol_whitelist", bad)) << bad;
    EXPECT_FALSE(video->set_parameter_string("protocol_whitelist", nullptr));
    EXPECT_EQ(video->create_block(joined.c_str(), false), 0);

    ASSERT_TRUE(video->set_parameter_string("protocol_whitelist", "file,concat"));
    const int id = video->create_block(joined.c_str(), false);
    EXPECT_NE(id, 0);

    ASSERT_TRUE(video->set_parameter_string("protocol_whitelist", "http"));
    LogCapture log;
    EXPECT_EQ(video->create_block(clip.c_str(), false), 0) << "local files are off now";
    EXPECT_TRUE(has_error_naming(log, "\"file\" is not on the protocol whitelist")) << log.dump();
    EXPECT_NE(video->get_duration(id), 0) << "blocks already open are left alone";
}

// A newline or escape sequence in a name is written out, never passed on.
TEST(HostileInput, ControlCharactersInANameAreEscapedInTheLog) {
    PluginHandle video;
    LogCapture log;
    const std::string name = media_dir() + "/missing\n[error] forged\x1b[2J.mp4";
    EXPECT_EQ(video->create_block(name.c_str(), false), 0);
    EXPECT_TRUE(has_error_naming(log, "missing\\n[error] forged\\x1b[2J.mp4")) << log.dump();
    for (const LogLine& line : log.lines()) {
        for (const char c : line.text)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << line.text;
    }
}

struct BrokenStream {
    const char* what;  // the stream whose decoder does not open
    const char* file;
    const char* codecs;
    const char* kind;
};

class UnopenableDecoder : public ::testing::TestWithParam<BrokenStream> {};

// The stream whose decoder does not open is absent everywhere: the other
// plays, and every seek leaves the missing decoder alone.
TEST_P(UnopenableDecoder, OtherStreamPlaysAndSeeksAreSafe) {
    const BrokenStream& broken = GetParam();
    const bool video_plays = std::string(broken.what) == "audio";
    const std::string path = seven_bit_avi(broken.file, broken.codecs, broken.kind);
    PluginHandle video;
    LogCapture log;
    const int id = video->create_block(path.c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    // FFmpeg 5.1 offers the stream and its decoder fails to open; 7.x
    // drops a stream without channels while probing.
    EXPECT_TRUE(has_error_naming(log, std::string(broken.what) + " codec") ||
                log.count_containing(std::string("Unable to find any ") + broken.what + " stream") >
                    0)
        << log.dump();
    EXPECT_EQ(video->get_video_stream_index(id) >= 0, video_plays);
    EXPECT_EQ(video->get_audio_stream_index(id) >= 0, !video_plays);
    EXPECT_STREQ(video_plays ? video->get_audio_codec_name(id) : video->get_video_codec_name(id),
                 "");

    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_EQ(video->video_create_texture_rgb24(id, &renderer, &texture), video_plays);
    ASSERT_TRUE(video->play_block(id, true, true));
    for (int round = 0; round < 2; ++round) {
        if (video_plays) {
            EXPECT_TRUE(wait_until(
                [&] { return video->video_update_texture_rgb24(id, &renderer, &texture); }, 10s));
        } else {
            EXPECT_TRUE(wait_until([&] { return video->get_position(id) > 0.2f; }, 10s))
                << video->get_position(id);
        }
        EXPECT_TRUE(video->seek_block(id, 0));
        video->seek_video_frame(id, 0);
        video->seek_video_timestamp(id, 0);
        video->seek_audio_timestamp(id, 0);
        video->rewind_block(id);
    }
    EXPECT_TRUE(video->stop_block(id));
    EXPECT_TRUE(video->destroy_block(id));

    // With neither decoder, nothing is left to play.
    const std::string both =
        seven_bit_avi("both7.avi", "-c:v rawvideo -pix_fmt bgr24 -c:a adpcm_ima_wav", "vids auds");
    EXPECT_EQ(video->create_block(both.c_str(), false), 0);
}

INSTANTIATE_TEST_SUITE_P(
    HostileInput, UnopenableDecoder,
    ::testing::Values(BrokenStream{"audio", "adpcm7.avi", "-c:v mpeg4 -c:a adpcm_ima_wav", "auds"},
                      BrokenStream{"video", "raw7.avi",
                                   "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le", "vids"}),
    [](const auto& info) { return std::string(info.param.what); });

#if !defined(_WIN32)
// A damaged stream's library messages reach the host's log, not the
// process's stderr (where FFmpeg's own callback would write "[h264 @ 0x…]").
TEST(HostileInput, LibraryMessagesGoToTheHostLogNotStderr) {
    std::string bytes =
        hostile::read_bytes(generate_media("damage_source.ts",
                                           "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
                                           "-c:v libx264 -preset veryfast -g 30 -f mpegts"));
    std::mt19937 rng(7);
    for (int k = 0; k < 300; ++k) {
        const size_t at = bytes.size() / 10 + rng() % (bytes.size() * 9 / 10);
        if (at % 188 >= 4) bytes[at] ^= static_cast<char>(1 << (rng() % 8));  // keep TS headers
    }
    const std::string path = media_dir() + "/damaged.ts";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const std::string err_path = media_dir() + "/damaged.stderr";

    PluginHandle video;
    LogCapture log;
    std::fflush(stderr);
    const int saved = ::dup(2);
    FILE* err = std::fopen(err_path.c_str(), "w");
    ASSERT_NE(err, nullptr);
    ::dup2(::fileno(err), 2);
    const int id = video->create_block(path.c_str(), false);
    if (id != 0) {
        video->play_block(id, true, false);
        qvx::Renderer renderer;
        qvx::Texture texture;
        video->video_create_texture_rgb24(id, &renderer, &texture);
        wait_until(
            [&] {
                video->video_update_texture_rgb24(id, &renderer, &texture);
                return log.count_containing("[FFmpeg] h264: ") > 0;
            },
            10s);
        video->destroy_block(id);
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(err);
    EXPECT_GT(log.count_containing("[FFmpeg] h264: ") + log.count_containing("[FFmpeg] mpegts: "),
              0u)
        << log.dump();
    EXPECT_EQ(hostile::read_bytes(err_path).find(" @ 0x"), std::string::npos)
        << hostile::read_bytes(err_path);
}
#endif

// Thread counts FFmpeg would refuse are brought into range, with a warning.
TEST(HostileInput, OutOfRangeThreadCountsAreClamped) {
    PluginHandle video;
    for (int threads : {-1, INT_MAX}) {
        ASSERT_TRUE(video->set_parameter_int("num_video_threads", threads));
        ASSERT_TRUE(video->set_parameter_int("num_audio_threads", threads));
        LogCapture log;
        const int id = video->create_block(av_clip().c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        EXPECT_GE(video->get_video_stream_index(id), 0) << log.dump();
        EXPECT_GE(video->get_audio_stream_index(id), 0) << log.dump();
        EXPECT_EQ(log.count_containing("num_video_threads " + std::to_string(threads)), 1u)
            << log.dump();
        EXPECT_TRUE(video->destroy_block(id));
    }
}

}  // namespace
