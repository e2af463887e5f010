// Command-line parsing of qvx-play.
#include <gtest/gtest.h>

#include <sstream>

#include "options.h"
#include "progress.h"

namespace qvx_play {
namespace {

struct Parsed {
    ParseResult result;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qvx-play");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    Parsed parsed;
    parsed.result = parse_options(static_cast<int>(argv.size()), argv.data(), out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

TEST(Options, DefaultsAndEveryOption) {
    const Parsed plain = parse({});
    ASSERT_FALSE(plain.result.exit_code);
    const Options& d = plain.result.options;
    EXPECT_TRUE(d.inputs.empty());
    EXPECT_EQ(d.format, "yuv420p");
    EXPECT_TRUE(d.hw.empty());
    EXPECT_FALSE(d.threads);
    EXPECT_FALSE(d.duration);
    EXPECT_FALSE(d.loop || d.headless || d.json || d.verbose || d.no_audio);

    const Parsed full = parse({"a.mp4",      "--format",   "rgb24",      "--hw",
                               "cuda",       "--threads",  "0",          "--scaler",
                               "lanczos",    "--loop",     "--headless", "--json",
                               "--duration", "2.5",        "--snapshot", "1.5:/tmp/x:y.png",
                               "--control",  "3:resume",   "--control",  "1:pause",
                               "--control",  "2:seek=7",   "--control",  "4:volume=0.25",
                               "--volume",   "0.5",        "--no-audio", "-v",
                               "--log",      "/tmp/l.txt", "b.mkv",      "http://host/c.ts"});
    ASSERT_FALSE(full.result.exit_code) << full.err;
    const Options& o = full.result.options;
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.mp4", "b.mkv", "http://host/c.ts"}));
    EXPECT_EQ(o.format, "rgb24");
    EXPECT_EQ(o.hw, "cuda");
    ASSERT_TRUE(o.threads);
    EXPECT_EQ(*o.threads, 0);
    EXPECT_EQ(o.scaler, "SWS_LANCZOS");
    EXPECT_TRUE(o.loop && o.headless && o.json && o.verbose && o.no_audio);
    ASSERT_TRUE(o.duration);
    EXPECT_DOUBLE_EQ(*o.duration, 2.5);
    EXPECT_DOUBLE_EQ(o.volume, 0.5);
    EXPECT_EQ(o.log_path, "/tmp/l.txt");
    ASSERT_EQ(o.snapshots.size(), 1u);
    EXPECT_DOUBLE_EQ(o.snapshots[0].at_seconds, 1.5);
    EXPECT_EQ(o.snapshots[0].path, "/tmp/x:y.png");  // only the first colon separates
    // Controls come out in time order, whatever order they were given in.
    ASSERT_EQ(o.controls.size(), 4u);
    EXPECT_EQ(o.controls[0].kind, ControlKind::pause);
    EXPECT_EQ(o.controls[1].kind, ControlKind::seek);
    EXPECT_DOUBLE_EQ(o.controls[1].value, 7.0);
    EXPECT_EQ(o.controls[2].kind, ControlKind::resume);
    EXPECT_EQ(o.controls[3].kind, ControlKind::volume);
    EXPECT_DOUBLE_EQ(o.controls[3].value, 0.25);
}

TEST(Options, UsageErrorsEndWithStatusTwoAndSayWhy) {
    const std::vector<std::vector<std::string>> bad = {
        {"--format", "rgb32"},
        {"--hw", "opencl"},
        {"--threads", "-1"},
        {"--threads", "many"},
        {"--scaler", "SWS_FASTEST"},
        {"--duration", "0"},
        {"--duration", "-3"},
        {"--volume", "1.5"},
        {"--snapshot", "1.5"},
        {"--snapshot", "x:a.png"},
        {"--snapshot", "2:"},
        {"--control", "1:jump"},
        {"--control", "1:seek"},
        {"--control", "-1:pause"},
        {"--control", "1:volume=2"},
        {"--control", "1:pause=3"},
        {"--screenshot", "soon:a.png"},
        {"--plugin", "/nonexistent/plugin.so"},
        {"--no-such-option"},
    };
    for (const auto& args : bad) {
        const Parsed parsed = parse(args);
        const std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
        ASSERT_TRUE(parsed.result.exit_code) << what;
        EXPECT_EQ(*parsed.result.exit_code, exit_usage) << what;
        EXPECT_FALSE(parsed.err.empty()) << what;
    }
}

TEST(Options, HelpListsTheOptionsAndEndsWithStatusZero) {
    const Parsed parsed = parse({"--help"});
    ASSERT_TRUE(parsed.result.exit_code);
    EXPECT_EQ(*parsed.result.exit_code, exit_ok);
    for (const char* option : {"--format", "--hw", "--threads", "--scaler", "--loop", "--headless",
                               "--snapshot", "--control", "--json", "--duration", "--plugin"})
        EXPECT_NE(parsed.out.find(option), std::string::npos) << option;
}

TEST(Options, ControlsAndScalerNames) {
    std::string error;
    auto seek = parse_control("2.25:seek=12.5", error);
    ASSERT_TRUE(seek);
    EXPECT_DOUBLE_EQ(seek->at_seconds, 2.25);
    EXPECT_EQ(seek->kind, ControlKind::seek);
    EXPECT_DOUBLE_EQ(seek->value, 12.5);
    auto rewind = parse_control("0:rewind", error);
    ASSERT_TRUE(rewind);
    EXPECT_EQ(rewind->kind, ControlKind::rewind);
    EXPECT_FALSE(parse_control("1: pause", error));
    EXPECT_FALSE(parse_control("1:seek=abc", error));
    EXPECT_FALSE(parse_control("1:volume=-0.1", error));
    EXPECT_FALSE(parse_control("nan:pause", error));
    EXPECT_FALSE(error.empty());

    EXPECT_EQ(scaler_name("bicubic"), "SWS_BICUBIC");
    EXPECT_EQ(scaler_name("SWS_FAST_BILINEAR"), "SWS_FAST_BILINEAR");
    EXPECT_EQ(scaler_name("Fast_Bilinear"), "SWS_FAST_BILINEAR");
    EXPECT_EQ(scaler_name("SWS_BICUBIC "), "");
    EXPECT_EQ(scaler_name("cubic"), "");
}

TEST(Progress, BarShowsShareOfDurationAndCounters) {
    EXPECT_EQ(progress_text(5.0, 10.0, 30.0, 151, 150, false, 10),
              "[=====>    ]    5.0 / 10 s   30.0 fps  decoded 151  displayed 150");
    EXPECT_EQ(progress_text(12.0, 10.0, 0.0, 0, 0, true, 4),
              "[====]   12.0 / 10 s    0.0 fps  decoded 0  displayed 0  (paused)");
    // Unknown duration: no bar.
    EXPECT_EQ(progress_text(3.0, 0.0, 25.0, 75, 75, false, 10),
              "   3.0 s   25.0 fps  decoded 75  displayed 75");
}

}  // namespace
}  // namespace qvx_play
