// The plug-in as a host first meets it: the library's exports, the object's
// identity, and the initialise / start / stop / terminate switches.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

// The libraries whose versions initialize reports, in order, each as
// "libname: version a.b.c"; the numbers are the plug-in's FFmpeg's, which
// need not be the one this program was built beside. libpostproc is
// reported only by a plug-in built with it.
void expect_version_lines(const LogCapture& log) {
    static const std::regex version(R"((lib[a-z]+): version [0-9]+\.[0-9]+\.[0-9]+)");
    std::vector<std::string> libraries;
    for (const LogLine& line : log.lines()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line.text, match, version)) << line.text;
        EXPECT_EQ(line.level, qvx::LogLevel::info) << line.text;
        if (match[1] != "libpostproc") libraries.push_back(match[1]);
    }
    EXPECT_EQ(libraries, (std::vector<std::string>{"libavcodec", "libavdevice", "libavfilter",
                                                   "libavutil", "libswresample", "libswscale"}))
        << log.dump();
}

qvx::SimpleVideo* create_video() {
    return dynamic_cast<qvx::SimpleVideo*>(PluginLibrary::get().create());
}

size_t thread_count() {
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

}  // namespace

TEST(PluginExports, LibraryDefinesOnlyTheTwoEntryPoints) {
    const std::string out =
        command_output(std::string("nm -D --defined-only '") + QVX_PLUGIN_PATH + "'");
    ASSERT_FALSE(out.empty()) << "nm gave nothing for " << QVX_PLUGIN_PATH;
    std::set<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"qvx_plugin_create", "qvx_plugin_destroy"})) << out;
}

TEST(PluginExports, DestroyAnswersZeroForNullAndOneForALiveObject) {
    EXPECT_EQ(PluginLibrary::get().destroy(nullptr), 0);
    qvx::Plugin* plugin = PluginLibrary::get().create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(PluginLibrary::get().destroy(plugin), 1);
}

TEST(PluginIdentity, ReportsNameDescriptionVersionTypeAndBuildInfo) {
    qvx::Plugin* plugin = PluginLibrary::get().create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_NE(dynamic_cast<qvx::SimpleVideo*>(plugin), nullptr);
    EXPECT_STREQ(plugin->get_name(), "FFmpeg");
    EXPECT_STREQ(plugin->get_description(), "FFmpeg plugin (audio / video)");
    ASSERT_NE(plugin->get_author(), nullptr);
    int major = -1, minor = -1, patch = -1;
    plugin->get_version(&major, &minor, &patch);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(patch, 0);
    EXPECT_EQ(plugin->get_type(), 4);
    ASSERT_NE(plugin->get_build_info(), nullptr);
    // __DATE__ pads a one-digit day with a blank ("Dec  6 2026").
    const std::regex build_info(
        R"(BUILD_DATE: \[[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\] - BUILD_TIME: \[[0-9]{2}:[0-9]{2}:[0-9]{2}\])");
    EXPECT_TRUE(std::regex_match(plugin->get_build_info(), build_info)) << plugin->get_build_info();
    EXPECT_EQ(PluginLibrary::get().destroy(plugin), 1);
}

TEST(PluginLifecycle, InitializeLogsTheVersionLinesOnlyWhenNotYetInitialized) {
    LogCapture log;
    qvx::SimpleVideo* video = create_video();
    ASSERT_NE(video, nullptr);
    EXPECT_TRUE(log.lines().empty()) << "creation logs nothing:\n" << log.dump();

    EXPECT_TRUE(video->terminate());  // not initialised: nothing to do
    EXPECT_TRUE(video->initialize());
    expect_version_lines(log);

    log.clear();
    EXPECT_TRUE(video->initialize());
    EXPECT_TRUE(log.lines().empty()) << "second initialize logged:\n" << log.dump();

    // terminate ends the initialised state, so the next initialize runs again.
    EXPECT_TRUE(video->terminate());
    EXPECT_TRUE(video->terminate());
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_TRUE(video->initialize());
    expect_version_lines(log);
    EXPECT_EQ(PluginLibrary::get().destroy(video), 1);
}

TEST(PluginLifecycle, StartAndStopAreIdempotentAndStopDestroysBlocks) {
    PluginHandle video(/*start=*/false);
    const int id = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(id, 0);

    // stop before start leaves every block registered.
    EXPECT_TRUE(video->stop());
    EXPECT_EQ(video->get_duration(id), 3);
    EXPECT_EQ(video->get_video_stream_index(id), 0);

    EXPECT_TRUE(video->start());
    EXPECT_TRUE(video->start());
    EXPECT_EQ(video->get_duration(id), 3) << "a second start must not touch blocks";

    const int second = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(second, 0);
    EXPECT_TRUE(video->play_block(second, true, true));

    EXPECT_TRUE(video->stop());
    for (int gone : {id, second}) {
        EXPECT_EQ(video->get_duration(gone), 0);
        EXPECT_EQ(video->get_video_stream_index(gone), 0);
        EXPECT_EQ(video->get_num_decoded_frames(gone), 0xFFFFFFFFu);
        EXPECT_FALSE(video->destroy_block(gone));
    }
    EXPECT_TRUE(video->stop());

    // Started again, the plug-in opens media as before.
    EXPECT_TRUE(video->start());
    const int third = video->create_block(av_clip().c_str(), false);
    EXPECT_NE(third, 0);
    EXPECT_TRUE(video->destroy_block(third));
}

// The object may be destroyed with blocks still registered, even playing
// ones: their threads must be gone before the host can unload the library.
TEST(PluginLifecycle, DestroyingThePluginTearsDownRegisteredBlocks) {
    const std::string clip = av_clip();
    const size_t threads_before = thread_count();

    qvx::SimpleVideo* video = create_video();
    ASSERT_NE(video, nullptr);
    video->initialize();
    video->start();
    const int idle = video->create_block(clip.c_str(), false);
    const int playing = video->create_block(clip.c_str(), true);
    const int silent = video->create_block(clip.c_str(), true);
    ASSERT_NE(idle, 0);
    ASSERT_NE(playing, 0);
    ASSERT_NE(silent, 0);
    ASSERT_TRUE(video->play_block(playing, true, true));
    ASSERT_TRUE(video->play_block(silent, true, false));
    ASSERT_TRUE(wait_until([&] { return video->get_num_decoded_frames(playing) > 0; }, 10s));
    ASSERT_GT(thread_count(), threads_before);

    // No stop, no terminate: straight to the host's destroy.
    EXPECT_EQ(PluginLibrary::get().destroy(video), 1);

    // Generous deadline: the audio device may be closed off the caller's
    // thread; on an idle machine this takes a few milliseconds.
    EXPECT_TRUE(wait_until([&] { return thread_count() <= threads_before; }, 5000ms))
        << thread_count() << " threads left, " << threads_before << " before";

    // The library still serves a fresh object afterwards.
    PluginHandle again;
    const int id = again->create_block(clip.c_str(), false);
    EXPECT_NE(id, 0);
}
