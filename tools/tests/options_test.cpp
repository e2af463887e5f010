// Command-line parsing of qvx-play.
#include <gtest/gtest.h>

#include <sstream>

#include "options.h"

namespace qvx_play {
namespace {

// Parses the arguments after the program's name; errors go to *err.
ParseResult parse(std::vector<std::string> args, std::string* err = nullptr) {
    args.insert(args.begin(), "qvx-play");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, errors;
    ParseResult result = parse_options(static_cast<int>(argv.size()), argv.data(), out, errors);
    if (err) *err = errors.str();
    return result;
}

TEST(Options, EveryOptionIsTaken) {
    std::string err;
    const ParseResult r = parse({"a.mp4",         "--format",   "rgb24",      "--hw",
                                 "cuda",          "--threads",  "0",          "--scaler",
                                 "Fast_Bilinear", "--loop",     "--headless", "--json",
                                 "--duration",    "2.5",        "--snapshot", "1.5:/tmp/x:y.png",
                                 "--control",     "3:resume",   "--control",  "1:pause",
                                 "--control",     "2:seek=7",   "--control",  "4:volume=0.25",
                                 "--volume",      "0.5",        "--no-audio", "-v",
                                 "--log",         "/tmp/l.txt", "b.mkv",      "http://host/c.ts"},
                                &err);
    ASSERT_FALSE(r.exit_code) << err;
    const Options& o = r.options;
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.mp4", "b.mkv", "http://host/c.ts"}));
    EXPECT_EQ(o.format, PixelFormat::rgb24);
    EXPECT_EQ(o.hw, "cuda");
    EXPECT_EQ(o.threads, 0);
    EXPECT_EQ(o.scaler, "SWS_FAST_BILINEAR");
    EXPECT_TRUE(o.loop && o.headless && o.json && o.verbose && o.no_audio);
    EXPECT_EQ(o.duration, 2.5);
    EXPECT_DOUBLE_EQ(o.volume, 0.5);
    EXPECT_EQ(o.log_path, "/tmp/l.txt");
    ASSERT_EQ(o.snapshots.size(), 1u);
    EXPECT_DOUBLE_EQ(o.snapshots[0].at_seconds, 1.5);
    EXPECT_EQ(o.snapshots[0].path, "/tmp/x:y.png");  // only the first colon separates
    // Controls come out in time order, whatever order they were given in.
    ASSERT_EQ(o.controls.size(), 4u);
    const ControlKind kinds[] = {ControlKind::pause, ControlKind::seek, ControlKind::resume,
                                 ControlKind::volume};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(o.controls[i].kind, kinds[i]) << i;
    EXPECT_DOUBLE_EQ(o.controls[1].value, 7.0);
    EXPECT_DOUBLE_EQ(o.controls[3].value, 0.25);
}

TEST(Options, UsageErrorsEndWithStatusTwoAndSayWhy) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--format", "rgb32"},
                                               {"--threads", "-1"},
                                               {"--duration", "0"},
                                               {"--volume", "1.5"},
                                               {"--snapshot", "x:a.png"},
                                               {"--control", "1:seek"},
                                               {"--control", "1:volume=2"},
                                               {"--control", "nan:pause"},
                                               {"--scaler", "cubic"},
                                               {"--plugin", "/nonexistent/plugin.so"},
                                               {"--no-such-option"}}) {
        std::string err;
        EXPECT_EQ(parse(args, &err).exit_code, exit_usage) << args[0];
        EXPECT_FALSE(err.empty()) << args[0];
    }
    EXPECT_EQ(parse({"--help"}).exit_code, exit_ok);
}

}  // namespace
}  // namespace qvx_play
