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
#include <tuple>
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
// time, told apart from its neighbour.
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
}

// Each failed start gives its status and one message that says why.
TEST(QvxPlay, BadInputGivesOneClearMessageAndItsStatus) {
    const std::string junk = dir + "/junk.mp4";
    std::ofstream(junk) << std::string(4096, 'x');
    for (const auto& [args, status, says] : std::vector<std::tuple<std::string, int, std::string>>{
             {"--headless " + quote(dir + "/no-such-file.mp4"), exit_bad_input,
              "No such file or directory"},
             {"--headless " + quote(junk), exit_bad_input, "cannot play"},
             {"--plugin " + quote(junk), exit_failure, "cannot load the plug-in"},
             {"--headless --duration 1 --snapshot 9:" + quote(dir + "/never.png") + " " +
                  quote(sample),
              exit_failure, "never reached"}}) {
        const RunResult run = play(args);
        EXPECT_EQ(run.status, status) << args;
        EXPECT_EQ(run.messages().size(), 1u) << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    EXPECT_EQ(play("--format rgba").status, exit_usage);
}

// Without a sound device the video plays and the status says so; without
// sound on purpose, no complaint.
TEST(QvxPlay, NoAudioDevicePlaysVideoAndEndsWithItsStatus) {
    const std::string env = "SDL_AUDIODRIVER=no-such-driver";
    const RunResult run = play("--headless --json --duration 1.5 " + quote(sample), env);
    EXPECT_EQ(run.status, exit_no_audio) << run.err;
    ASSERT_EQ(run.messages().size(), 1u) << run.err;
    EXPECT_NE(run.messages()[0].find("no audio device"), std::string::npos);
    EXPECT_GT(run.json()["blocks"][0]["frames"]["displayed"].get<uint32_t>(), 10u) << run.out;
    EXPECT_EQ(play("--headless --no-audio --duration 1 " + quote(sample), env).status, exit_ok);
}

}  // namespace
}  // namespace qvx_play
