// qvx-play run as a user runs it: scripted controls, side by side blocks,
// snapshots, bad input, no sound device. Durations are wall-clock playback,
// so every tolerance here is wide enough for a loaded two-core machine.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"

namespace qvx_play {
namespace {

const std::string sample = QVX_PLAY_SAMPLE;
const std::string dir = [] {
    std::system("mkdir -p '" QVX_PLAY_TEST_DIR "'");
    return std::string(QVX_PLAY_TEST_DIR);
}();

std::string quote(const std::string& s) {
    return "'" + s + "'";
}

std::string read_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

struct RunResult {
    int status = -1;
    std::string out, err;
    nlohmann::json json() const { return nlohmann::json::parse(out, nullptr, false); }
    // Lines that start with the program's name: its own messages.
    std::vector<std::string> messages() const {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("qvx-play: ", 0) == 0) lines.push_back(line);
        return lines;
    }
};

// Runs qvx-play with args (already quoted where needed); env is put in
// front of the command.
RunResult play(const std::string& args, const std::string& env = "") {
    const std::string out =
        dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int raw = std::system((env + " " + quote(QVX_PLAY_EXE) + " " + args + " >" +
                                 quote(out + ".out") + " 2>" + quote(out + ".err"))
                                    .c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out + ".out"),
            read_file(out + ".err")};
}

// A 2 s clip of the test pattern with a tone, made once (under a name of
// this process, then moved: tests may run at once).
std::string short_clip() {
    const std::string path = dir + "/short-2s.mp4", tmp = path + std::to_string(getpid()) + ".mp4";
    if (access(path.c_str(), F_OK) != 0)
        std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                     "testsrc2=size=320x240:rate=30:duration=2 -f lavfi -i "
                     "sine=frequency=440:sample_rate=44100:duration=2 -c:v libx264 -preset "
                     "veryfast -g 30 -pix_fmt yuv420p -c:a aac -shortest " +
                     quote(tmp) + " && mv " + quote(tmp) + " " + quote(path))
                        .c_str());
    return path;
}

// PSNR of the picture against FFmpeg's own decode of the sample's frame
// `frame` (30 fps); 100 for identical ones.
double psnr_to_frame(const std::string& picture, int frame) {
    const std::string ref = dir + "/ref-" + std::to_string(frame) + ".png", log = dir + "/psnr";
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -ss " +
                                std::to_string(frame / 30.0 - 0.001) + " -i " + quote(sample) +
                                " -frames:v 1 " + quote(ref) +
                                " && ffmpeg -hide_banner -nostats -i " + quote(picture) + " -i " +
                                quote(ref) + " -lavfi psnr -f null - 2>" + quote(log);
    if (std::system(command.c_str()) != 0) return -1.0;
    const std::string text = read_file(log);
    const size_t at = text.find("average:");
    if (at == std::string::npos) return -1.0;
    return text.compare(at + 8, 3, "inf") == 0 ? 100.0 : std::atof(text.c_str() + at + 8);
}

TEST(QvxPlay, ScriptedPauseSeekResumeEndsAtTheExpectedPosition) {
    // Paused from 1 s to 2.5 s, sought to 5 s while paused, stopped at 4 s:
    // 1.5 s of playback after the seek.
    const RunResult run = play(
        "--headless --json --duration 4 --control 1:pause --control 2:seek=5 "
        "--control 2.5:resume --control 3:volume=0.3 " +
        quote(sample));
    ASSERT_EQ(run.status, exit_ok) << run.err;
    const nlohmann::json summary = run.json();
    const nlohmann::json& block = summary["blocks"][0];
    EXPECT_NEAR(block["position_s"].get<double>(), 6.5, 0.5) << run.out;
    EXPECT_NEAR(block["last_frame_s"].get<double>(), 6.5, 0.5) << run.out;
    EXPECT_NEAR(summary["paused_s"].get<double>(), 1.5, 0.4);
    EXPECT_NEAR(summary["wall_s"].get<double>(), 4.0, 0.5);
    EXPECT_FALSE(block["ended"].get<bool>());
    EXPECT_GE(block["frames"]["decoded"].get<uint32_t>(), block["frames"]["displayed"]);
    EXPECT_GT(block["frames"]["displayed"].get<uint32_t>(), 45u);  // about 75 at 30 fps
    EXPECT_EQ(block["audio"], "playing");
    EXPECT_NE(run.err.find(" fps  decoded "), std::string::npos) << "no progress bar\n" << run.err;
}

// Two side by side (the dummy sound driver opens one device at a time: no
// sound), one a 2 s clip played to its end with every frame shown; nv12
// asked for without hardware decoding falls back to yuv420p.
TEST(QvxPlay, SideBySideBlocksPlayEveryFrameAndNv12FallsBack) {
    const std::string clip = short_clip();
    const RunResult run = play("--headless --json --no-audio --duration 3 --format nv12 " +
                               quote(sample) + " " + quote(clip));
    ASSERT_EQ(run.status, exit_ok) << run.err;
    EXPECT_NE(run.err.find("nv12 frames come only from hardware decoding"), std::string::npos)
        << run.err;
    const nlohmann::json blocks = run.json()["blocks"];
    ASSERT_EQ(blocks.size(), 2u) << run.out;
    for (const auto& block : blocks) EXPECT_EQ(block["format"], "yuv420p");
    EXPECT_GT(blocks[0]["frames"]["displayed"].get<uint32_t>(), 10u);
    EXPECT_EQ(blocks[1]["frames"]["displayed"].get<uint32_t>(), 60u) << run.out;
    EXPECT_TRUE(blocks[1]["ended"].get<bool>()) << run.out;
}

// Each snapshot is FFmpeg's own decode of the first frame at or after its
// time, told apart from its neighbour; a time never reached fails the run.
TEST(QvxPlay, SnapshotsMatchFfmpegsOwnDecode) {
    for (const char* format : {"yuv420p", "rgb24"}) {
        const std::string a = dir + "/snap-" + format + "-1.png";
        const std::string b = dir + "/snap-" + format + "-2.5.png";
        std::remove(a.c_str());
        std::remove(b.c_str());
        const RunResult run =
            play(std::string("--headless --duration 3.2 --scaler bicubic --format ") + format +
                 " --snapshot 1:" + quote(a) + " --snapshot 2.5:" + quote(b) + " " + quote(sample));
        ASSERT_EQ(run.status, exit_ok) << run.err;
        EXPECT_GT(psnr_to_frame(a, 30), 40.0) << format;
        EXPECT_GT(psnr_to_frame(b, 75), 40.0) << format;
        EXPECT_LT(psnr_to_frame(b, 76), 40.0) << format;
    }
    const RunResult late = play(
        "--headless --duration 1 --snapshot 9:" + quote(dir + "/never.png") + " " + quote(sample));
    EXPECT_EQ(late.status, exit_failure);
    EXPECT_NE(late.err.find("never reached"), std::string::npos) << late.err;
}

TEST(QvxPlay, BadInputGivesOneClearMessageAndItsStatus) {
    const RunResult missing = play("--headless " + quote(dir + "/no-such-file.mp4"));
    EXPECT_EQ(missing.status, exit_bad_input);
    ASSERT_EQ(missing.messages().size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;

    const std::string junk = dir + "/junk.mp4";
    std::ofstream(junk) << std::string(4096, 'x');
    const RunResult undecodable = play("--headless " + quote(junk));
    EXPECT_EQ(undecodable.status, exit_bad_input);
    ASSERT_EQ(undecodable.messages().size(), 1u) << undecodable.err;
    EXPECT_NE(undecodable.err.find("cannot play"), std::string::npos) << undecodable.err;

    EXPECT_EQ(play("--format rgba").status, exit_usage);
    const RunResult no_plugin = play("--plugin " + quote(junk));
    EXPECT_EQ(no_plugin.status, exit_failure);
    EXPECT_NE(no_plugin.err.find("cannot load the plug-in"), std::string::npos) << no_plugin.err;
}

TEST(QvxPlay, NoAudioDevicePlaysVideoAndEndsWithItsStatus) {
    const RunResult run =
        play("--headless --json --duration 1.5 " + quote(sample), "SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(run.status, exit_no_audio) << run.err;
    ASSERT_EQ(run.messages().size(), 1u) << run.err;
    EXPECT_NE(run.messages()[0].find("no audio device"), std::string::npos);
    const nlohmann::json block = run.json()["blocks"][0];
    EXPECT_EQ(block["audio"].get<std::string>().rfind("unavailable", 0), 0u);
    EXPECT_GT(block["frames"]["displayed"].get<uint32_t>(), 10u);
    // Without sound on purpose: no complaint.
    EXPECT_EQ(play("--headless --no-audio --duration 1 " + quote(sample),
                   "SDL_AUDIODRIVER=no-such-driver")
                  .status,
              exit_ok);
}

}  // namespace
}  // namespace qvx_play
