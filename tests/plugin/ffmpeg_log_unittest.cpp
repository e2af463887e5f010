// FFmpeg's messages in the host log: what passes, what is collapsed, and
// how much a flood can write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block/ffmpeg.h"
#include "host/qvx.h"
#include "plugin/ffmpeg_log.h"

namespace {

// Every av_log call below is made on the test's thread.
class FfmpegLog : public ::testing::Test {
protected:
    void SetUp() override {
        qvx::LogMgr::get().set_sink([this](qvx::LogLevel level, const std::string& text) {
            lines_.emplace_back(level, text);
        });
        av_log_set_level(AV_LOG_INFO);
        qvx_ffmpeg::hold_ffmpeg_log();
    }
    void TearDown() override {
        qvx_ffmpeg::release_ffmpeg_log();
        qvx::LogMgr::get().set_sink(nullptr);
    }
    const std::vector<std::pair<qvx::LogLevel, std::string>>& lines() const { return lines_; }

private:
    std::vector<std::pair<qvx::LogLevel, std::string>> lines_;
};

TEST_F(FfmpegLog, WarningsAndErrorsPassWithTheirComponentRepeatsAreCounted) {
    AVCodecContext* ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    ASSERT_NE(ctx, nullptr);
    av_log(ctx, AV_LOG_INFO, "below the warning level\n");
    for (int i = 0; i < 500; ++i) av_log(ctx, AV_LOG_WARNING, "corrupt packet\n");
    av_log(ctx, AV_LOG_ERROR, "split ");
    av_log(ctx, AV_LOG_ERROR, "line\x1b[2J\n");
    avcodec_free_context(&ctx);

    using qvx::LogLevel;
    EXPECT_EQ(lines(),
              (std::vector<std::pair<LogLevel, std::string>>{
                  {LogLevel::warning, "[FFmpeg] h264: corrupt packet"},
                  {LogLevel::warning, "[FFmpeg] h264: corrupt packet (repeated 499 times)"},
                  {LogLevel::error, "[FFmpeg] h264: split line\\x1b[2J"}}));
}

// A stream that writes a new line per packet reaches the host a few lines a
// second; the rest is counted.
TEST_F(FfmpegLog, AFloodIsBounded) {
    for (int i = 0; i < 2000; ++i) av_log(nullptr, AV_LOG_ERROR, "damaged packet %d\n", i);
    // Two windows at most, if the flood straddled a second.
    EXPECT_LE(lines().size(), 41u);
    EXPECT_GE(lines().size(), 1u);
}

TEST_F(FfmpegLog, ReleasedCallbackWritesNothingMore) {
    qvx_ffmpeg::hold_ffmpeg_log();  // a second plug-in object
    qvx_ffmpeg::release_ffmpeg_log();
    av_log(nullptr, AV_LOG_ERROR, "still held\n");
    EXPECT_EQ(lines().size(), 1u);
    qvx_ffmpeg::release_ffmpeg_log();
    av_log_set_level(AV_LOG_QUIET);  // FFmpeg's default callback would print
    av_log(nullptr, AV_LOG_ERROR, "released\n");
    EXPECT_EQ(lines().size(), 1u);
    av_log_set_level(AV_LOG_INFO);
    qvx_ffmpeg::hold_ffmpeg_log();  // for TearDown
}

}  // namespace
