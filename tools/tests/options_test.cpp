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

// Controls come out in time order, whatever order they were given in; only
// a snapshot's first colon separates; scaler names are taken loosely.
TEST(Options, ControlsSnapshotsAndScalers) {
    const ParseResult r =
        parse({"--control", "3:resume", "--control", "1:pause", "--control", "2:seek=7",
               "--snapshot", "1.5:/tmp/x:y.png", "--scaler", "Fast_Bilinear", "a.mp4", "b.mkv"});
    ASSERT_FALSE(r.exit_code);
    const Options& o = r.options;
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.mp4", "b.mkv"}));
    ASSERT_EQ(o.controls.size(), 3u);
    EXPECT_EQ(o.controls[0].kind, ControlKind::pause);
    EXPECT_EQ(o.controls[1].kind, ControlKind::seek);
    EXPECT_DOUBLE_EQ(o.controls[1].value, 7.0);
    EXPECT_EQ(o.controls[2].kind, ControlKind::resume);
    ASSERT_EQ(o.snapshots.size(), 1u);
    EXPECT_EQ(o.snapshots[0].path, "/tmp/x:y.png");
    EXPECT_EQ(o.scaler, "SWS_FAST_BILINEAR");
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
