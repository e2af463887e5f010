// Names and files an attacker could hand a host: protocols that reach the
// host's files, descriptors and network, reads that block in the kernel,
// names that forge log lines, and streams whose decoder cannot open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <climits>

#include "../pipeline/render_host.h"

namespace {

using namespace qvx_test;

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
    for (size_t at = name.find("CLIP"); at != std::string::npos; at = name.find("CLIP"))
        name.replace(at, 4, av_clip());
    if (name == "FIFO") {
        name = media_dir() + "/hostile.fifo";
        ::unlink(name.c_str());
        ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    }
    PluginHandle video;
    LogCapture log;
    int id = -1;
    EXPECT_LT(time_ms([&] { id = video->create_block(name.c_str(), false); }), 3000.0);
    EXPECT_EQ(id, 0);
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

// FFmpeg opens what a name leads to (the connection under HTTP, a
// playlist's segments) under the host's whitelist too: with "file,http" an
// HTTP address is never connected to, tcp being left out.
TEST(HostileInput, WhitelistCoversTheProtocolsUnderneath) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), size), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &size), 0);
    ASSERT_EQ(listen(server, 4), 0);
    PluginHandle video;
    ASSERT_TRUE(video->set_parameter_string("protocol_whitelist", "file,http"));
    LogCapture log;
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x.mp4";
    EXPECT_EQ(video->create_block(url.c_str(), false), 0);
    pollfd connection{server, POLLIN, 0};
    EXPECT_EQ(poll(&connection, 1, 0), 0) << "the plug-in connected\n" << log.dump();
    close(server);
}

// A newline or escape sequence in a name is written out, never passed on.
TEST(HostileInput, ControlCharactersInANameAreEscapedInTheLog) {
    PluginHandle video;
    LogCapture log;
    const std::string name = media_dir() + "/missing\n[error] forged\x1b[2J.mp4";
    EXPECT_EQ(video->create_block(name.c_str(), false), 0);
    EXPECT_TRUE(has_error_naming(log, "missing\\n[error] forged\\x1b[2J.mp4")) << log.dump();
    for (const LogLine& line : log.lines()) {
        for (const char c : line.text) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line.text;
    }
}

// An AVI whose streams of the kinds given ("vids", "auds") declare 7 bits
// per pixel or sample: their decoders refuse to open.
std::string seven_bit_avi(const std::string& name, const std::string& codecs,
                          const std::string& kinds) {
    std::string bytes =
        read_file(generate_media("source_" + name,
                                 "-f lavfi -i testsrc2=size=64x48:rate=10:duration=2 "
                                 "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=2 " +
                                     codecs));
    for (size_t at = bytes.find("strh"); at != std::string::npos; at = bytes.find("strh", at + 4)) {
        const size_t format = bytes.find("strf", at);
        // strf, its size, then the header's bit count 14 bytes in.
        if (kinds.find(bytes.substr(at + 8, 4)) != std::string::npos && format != std::string::npos)
            bytes[format + 22] = 7, bytes[format + 23] = 0;
    }
    return write_media(name, bytes);
}

struct BrokenStream {
    const char* what;  // the stream whose decoder does not open
    const char* file;
    const char* codecs;
    const char* kind;
};

class UnopenableDecoder : public ::testing::TestWithParam<BrokenStream> {};

// The stream whose decoder does not open is absent everywhere: the other
// plays, and every seek leaves the missing decoder alone. With neither
// decoder nothing is left to play.
TEST_P(UnopenableDecoder, OtherStreamPlaysAndSeeksAreSafe) {
    const BrokenStream& broken = GetParam();
    const bool video_plays = std::string(broken.what) == "audio";
    PluginHandle video;
    LogCapture log;
    const int id =
        video->create_block(seven_bit_avi(broken.file, broken.codecs, broken.kind).c_str(), false);
    ASSERT_NE(id, 0) << log.dump();
    // FFmpeg 5.1 offers the stream and its decoder fails to open; 7.x
    // drops a stream without channels while probing.
    EXPECT_TRUE(has_error_naming(log, std::string(broken.what) + " codec") ||
                log.count_containing(std::string("Unable to find any ") + broken.what + " stream"))
        << log.dump();
    EXPECT_EQ(video->get_video_stream_index(id) >= 0, video_plays);
    EXPECT_EQ(video->get_audio_stream_index(id) >= 0, !video_plays);
    qvx::Renderer renderer;
    qvx::Texture texture;
    EXPECT_EQ(video->video_create_texture_rgb24(id, &renderer, &texture), video_plays);
    ASSERT_TRUE(video->play_block(id, true, true));
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(wait_until(
            [&] {
                return video_plays ? video->video_update_texture_rgb24(id, &renderer, &texture)
                                   : video->get_position(id) > 0.2f;
            },
            10s));
        EXPECT_TRUE(video->seek_block(id, 0));
        video->seek_video_frame(id, 0);
        video->seek_video_timestamp(id, 0);
        video->seek_audio_timestamp(id, 0);
        video->rewind_block(id);
    }
    EXPECT_TRUE(video->destroy_block(id));
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
    }
}

}  // namespace
