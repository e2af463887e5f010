// qvx-play run as a user runs it: scripted controls, snapshots, bad input,
// the window. Durations are wall-clock playback, so every tolerance here is
// wide enough for a loaded two-core machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
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

std::string dir() {
    static const std::string path = [] {
        std::string d = QVX_PLAY_TEST_DIR;
        std::system(("mkdir -p '" + d + "'").c_str());
        return d;
    }();
    return path;
}

std::string quote(const std::string& s) {
    return "'" + s + "'";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs qvx-play with args (already quoted where needed); env is put in
// front of the command.
RunResult play(const std::string& args, const std::string& env = "") {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string out = dir() + "/" + name + ".out", err = dir() + "/" + name + ".err";
    const std::string command =
        env + " " + quote(QVX_PLAY_EXE) + " " + args + " >" + quote(out) + " 2>" + quote(err);
    RunResult run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = read_file(out);
    run.err = read_file(err);
    return run;
}

nlohmann::json json_of(const RunResult& run) {
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << run.out << run.err;
    return json;
}

// Lines of text that start with the program's name: its own messages.
std::vector<std::string> messages(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("qvx-play: ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// PSNR of two pictures with FFmpeg's psnr filter; 100 for identical ones.
double psnr(const std::string& a, const std::string& b) {
    const std::string log = dir() + "/psnr.txt";
    const std::string command = "ffmpeg -hide_banner -nostats -i " + quote(a) + " -i " + quote(b) +
                                " -lavfi psnr -f null - 2>" + quote(log);
    if (std::system(command.c_str()) != 0) return -1.0;
    const std::string text = read_file(log);
    const size_t at = text.find("average:");
    if (at == std::string::npos) return -1.0;
    const std::string value = text.substr(at + 8, text.find(' ', at) - at - 8);
    return value == "inf" ? 100.0 : std::atof(value.c_str());
}

std::string reference_frame(const std::string& media, const std::string& seconds) {
    const std::string path = dir() + "/ref-" + seconds + ".png";
    const std::string command = "ffmpeg -hide_banner -loglevel error -y -ss " + seconds + " -i " +
                                quote(media) + " -frames:v 1 " + quote(path);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
}

// A short clip of the test pattern with a tone, made once.
std::string short_clip() {
    const std::string path = dir() + "/short-2s.mp4";
    if (!exists(path)) {
        // Made under a name of this process, then moved: tests may run at once.
        const std::string tmp = path + "." + std::to_string(getpid()) + ".mp4";
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
            "testsrc2=size=320x240:rate=30:duration=2 -f lavfi -i "
            "sine=frequency=440:sample_rate=44100:duration=2 -c:v libx264 -preset veryfast -g 30 "
            "-pix_fmt yuv420p -c:a aac -shortest " +
            quote(tmp) + " && mv " + quote(tmp) + " " + quote(path);
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    return path;
}

TEST(QvxPlay, ScriptedPauseSeekResumeEndsAtTheExpectedPosition) {
    // Paused from 1 s to 2.5 s, sought to 5 s while paused, stopped at 4 s:
    // 1.5 s of playback after the seek.
    const RunResult run = play(
        "--headless --json --duration 4 --control 1:pause --control 2:seek=5 "
        "--control 2.5:resume --control 3:volume=0.3 " +
        quote(QVX_PLAY_SAMPLE));
    ASSERT_EQ(run.status, exit_ok) << run.err;
    const nlohmann::json summary = json_of(run);
    const nlohmann::json& block = summary["blocks"][0];
    EXPECT_NEAR(block["position_s"].get<double>(), 6.5, 0.5) << run.out;
    EXPECT_NEAR(block["last_frame_s"].get<double>(), 6.5, 0.5) << run.out;
    EXPECT_NEAR(summary["paused_s"].get<double>(), 1.5, 0.4);
    EXPECT_NEAR(summary["wall_s"].get<double>(), 4.0, 0.5);
    EXPECT_FALSE(block["ended"].get<bool>());
    const uint32_t displayed = block["frames"]["displayed"];
    EXPECT_GE(block["frames"]["decoded"].get<uint32_t>(), displayed);
    EXPECT_GT(displayed, 45u);  // about 75 at 30 fps
    EXPECT_EQ(block["audio"], "playing");
    // The progress bar went to the terminal.
    EXPECT_NE(run.err.find(" fps  decoded "), std::string::npos) << run.err;
}

TEST(QvxPlay, ShortClipPlaysToItsEndWithEveryFrameShown) {
    const RunResult run = play("--headless " + quote(short_clip()));
    ASSERT_EQ(run.status, exit_ok) << run.err;
    for (const char* line : {"frames: 60 decoded, 60 displayed", "played to the end"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

TEST(QvxPlay, SnapshotsMatchFfmpegsOwnDecode) {
    const std::string sample = QVX_PLAY_SAMPLE;
    for (const char* format : {"yuv420p", "rgb24"}) {
        const std::string a = dir() + "/snap-" + format + "-1.png";
        const std::string b = dir() + "/snap-" + format + "-2.5.png";
        std::remove(a.c_str());
        std::remove(b.c_str());
        const RunResult run =
            play(std::string("--headless --duration 3.2 --scaler bicubic --format ") + format +
                 " --snapshot 1:" + quote(a) + " --snapshot 2.5:" + quote(b) + " " + quote(sample));
        ASSERT_EQ(run.status, exit_ok) << run.err;
        EXPECT_GT(psnr(a, reference_frame(sample, "1")), 40.0) << format;
        EXPECT_GT(psnr(b, reference_frame(sample, "2.5")), 40.0) << format;
        // The neighbouring frame is told apart: the check can see an
        // off-by-one.
        EXPECT_LT(psnr(b, reference_frame(sample, "2.5333")), 40.0) << format;
    }
    // A time playback never reaches is reported and fails the run.
    const RunResult late =
        play("--headless --duration 1 --snapshot 9:" + quote(dir() + "/never.png") + " " +
             quote(sample));
    EXPECT_EQ(late.status, exit_failure);
    EXPECT_NE(late.err.find("never reached"), std::string::npos) << late.err;
}

TEST(QvxPlay, BadInputGivesOneClearMessageAndItsStatus) {
    const RunResult missing = play("--headless " + quote(dir() + "/no-such-file.mp4"));
    EXPECT_EQ(missing.status, exit_bad_input);
    ASSERT_EQ(messages(missing.err).size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;

    const std::string junk = dir() + "/junk.mp4";
    std::ofstream(junk) << std::string(4096, 'x');
    const RunResult undecodable = play("--headless " + quote(junk));
    EXPECT_EQ(undecodable.status, exit_bad_input);
    ASSERT_EQ(messages(undecodable.err).size(), 1u) << undecodable.err;
    EXPECT_NE(undecodable.err.find("cannot play"), std::string::npos) << undecodable.err;

    const RunResult usage = play("--format rgba");
    EXPECT_EQ(usage.status, exit_usage);

    const RunResult no_plugin = play("--plugin " + quote(junk));
    EXPECT_EQ(no_plugin.status, exit_failure);
    EXPECT_NE(no_plugin.err.find("cannot load the plug-in"), std::string::npos) << no_plugin.err;
}

TEST(QvxPlay, NoAudioDevicePlaysVideoAndEndsWithItsStatus) {
    const RunResult run = play("--headless --json --duration 1.5 " + quote(QVX_PLAY_SAMPLE),
                               "SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(run.status, exit_no_audio) << run.err;
    const std::vector<std::string> lines = messages(run.err);
    ASSERT_EQ(lines.size(), 1u) << run.err;
    EXPECT_NE(lines[0].find("no audio device"), std::string::npos);
    const nlohmann::json summary = json_of(run);
    const nlohmann::json& block = summary["blocks"][0];
    EXPECT_EQ(block["audio"].get<std::string>().rfind("unavailable", 0), 0u);
    EXPECT_GT(block["frames"]["displayed"].get<uint32_t>(), 10u);

    // Without sound on purpose: no complaint.
    const RunResult silent = play("--headless --no-audio --duration 1 " + quote(QVX_PLAY_SAMPLE),
                                  "SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(silent.status, exit_ok) << silent.err;
}

TEST(QvxPlay, SideBySideBlocksAndNv12WithoutHardware) {
    // SDL's dummy driver opens one device at a time: no sound here.
    const RunResult run = play("--headless --json --no-audio --duration 1.5 --format nv12 " +
                               quote(QVX_PLAY_SAMPLE) + " " + quote(short_clip()));
    ASSERT_EQ(run.status, exit_ok) << run.err;
    EXPECT_NE(run.err.find("nv12 frames come only from hardware decoding"), std::string::npos)
        << run.err;
    const nlohmann::json summary = json_of(run);
    ASSERT_EQ(summary["blocks"].size(), 2u);
    for (const auto& block : summary["blocks"]) {
        EXPECT_EQ(block["format"], "yuv420p");
        EXPECT_GT(block["frames"]["displayed"].get<uint32_t>(), 10u);
    }
}

TEST(QvxPlay, WindowShowsThePicture) {
    if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xvfb-run is not installed";
    const std::string shot = dir() + "/window.png";
    std::remove(shot.c_str());
    const RunResult run =
        play("--json --duration 2 --screenshot 1.5:" + quote(shot) + " " + quote(QVX_PLAY_SAMPLE),
             // The X and D-Bus client libraries SDL's window loads keep
             // allocations to process exit; leak checks belong to the
             // plug-in's own suites.
             "env -u WAYLAND_DISPLAY ASAN_OPTIONS=detect_leaks=0 "
             "xvfb-run -a -s '-screen 0 1280x720x24'");
    ASSERT_EQ(run.status, exit_ok) << run.err;
    EXPECT_TRUE(messages(run.err).empty()) << run.err;  // no fall-back to the terminal
    // The window holds the 640x360 picture: mostly the pattern's colour bars.
    const std::string raw = dir() + "/window.rgb";
    ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -i " + quote(shot) +
                           " -f rawvideo -pix_fmt rgb24 " + quote(raw))
                              .c_str()),
              0);
    const std::string pixels = read_file(raw);
    ASSERT_EQ(pixels.size(), 640u * 360u * 3u);
    size_t lit = 0;
    for (size_t i = 0; i < pixels.size(); i += 3) {
        const int r = static_cast<uint8_t>(pixels[i]), g = static_cast<uint8_t>(pixels[i + 1]),
                  b = static_cast<uint8_t>(pixels[i + 2]);
        lit += r + g + b > 150;
    }
    EXPECT_GT(lit, pixels.size() / 3 * 7 / 10);

    // No display and no --headless: the terminal takes over by itself.
    const RunResult headless =
        play("--duration 1 " + quote(QVX_PLAY_SAMPLE), "env -u DISPLAY -u WAYLAND_DISPLAY");
    EXPECT_EQ(headless.status, exit_ok) << headless.err;
    EXPECT_NE(headless.err.find("no display"), std::string::npos) << headless.err;
}

}  // namespace
}  // namespace qvx_play
