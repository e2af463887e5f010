// Command-line parsing of qvx-play.
#include <gtest/gtest.h>

#include <sstream>

#include "options.h"

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
    EXPECT_EQ(d.format, PixelFormat::yuv420p);
    EXPECT_TRUE(d.hw.empty());
    EXPECT_FALSE(d.threads);
    EXPECT_FALSE(d.duration);
    EXPECT_FALSE(d.loop || d.headless || d.json || d.verbose || d.no_audio);

    const Parsed full = parse({"a.mp4",         "--format",   "rgb24",      "--hw",
                               "cuda",          "--threads",  "0",          "--scaler",
                               "Fast_Bilinear", "--loop",     "--headless", "--json",
                               "--duration",    "2.5",        "--snapshot", "1.5:/tmp/x:y.png",
                               "--control",     "3:resume",   "--control",  "1:pause",
                               "--control",     "2:seek=7",   "--control",  "4:volume=0.25",
                               "--volume",      "0.5",        "--no-audio", "-v",
                               "--log",         "/tmp/l.txt", "b.mkv",      "http://host/c.ts"});
    ASSERT_FALSE(full.result.exit_code) << full.err;
    const Options& o = full.result.options;
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.mp4", "b.mkv", "http://host/c.ts"}));
    EXPECT_EQ(o.format, PixelFormat::rgb24);
    EXPECT_EQ(o.hw, "cuda");
    ASSERT_TRUE(o.threads);
    EXPECT_EQ(*o.threads, 0);
    EXPECT_EQ(o.scaler, "SWS_FAST_BILINEAR");
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
        {"--format", "rgb32"},       {"--threads", "-1"},
        {"--duration", "0"},         {"--volume", "1.5"},
        {"--snapshot", "x:a.png"},   {"--control", "1:seek"},
        {"--control", "1:volume=2"}, {"--control", "nan:pause"},
        {"--scaler", "cubic"},       {"--plugin", "/nonexistent/plugin.so"},
        {"--no-such-option"},
    };
    for (const auto& args : bad) {
        const Parsed parsed = parse(args);
        const std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
        ASSERT_TRUE(parsed.result.exit_code) << what;
        EXPECT_EQ(*parsed.result.exit_code, exit_usage) << what;
        EXPECT_FALSE(parsed.err.empty()) << what;
    }
    const Parsed help = parse({"--help"});
    ASSERT_TRUE(help.result.exit_code);
    EXPECT_EQ(*help.result.exit_code, exit_ok);
}

}  // namespace
}  // namespace qvx_play
