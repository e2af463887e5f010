// The plug-in as a host first meets it: the library's exports, the object's
// identity, and the initialise / start / stop / terminate switches.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
// windows.h first: tlhelp32.h needs its types.
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_host.h"

using namespace qvx_test;
using namespace std::chrono_literals;

namespace {

qvx::SimpleVideo* create_video() {
    return dynamic_cast<qvx::SimpleVideo*>(PluginLibrary::get().create());
}

// Threads of this process.
size_t thread_count() {
    size_t n = 0;
#if defined(_WIN32)
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
#else
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
#endif
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

// The object identifies itself as a video plug-in; initialize describes the
// libraries once, until terminate.
TEST(PluginLifecycle, IdentityAndInitializeOnlyWhenNotYetInitialized) {
    EXPECT_EQ(PluginLibrary::get().destroy(nullptr), 0);
    LogCapture log;
    qvx::SimpleVideo* video = create_video();
    ASSERT_NE(video, nullptr);
    EXPECT_STREQ(video->get_name(), "FFmpeg");
    EXPECT_EQ(video->get_type(), 4);
    EXPECT_TRUE(log.lines().empty()) << "creation logs nothing:\n" << log.dump();
    EXPECT_TRUE(video->terminate());  // not initialised: nothing to do
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(video->initialize());
        EXPECT_EQ(log.count_containing("libavcodec: version "), 1u) << log.dump();
        log.clear();
        EXPECT_TRUE(video->initialize());
        EXPECT_TRUE(log.lines().empty()) << "second initialize logged:\n" << log.dump();
        EXPECT_TRUE(video->terminate());
    }
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

    const int second = video->create_block(av_clip().c_str(), false);
    ASSERT_NE(second, 0);
    EXPECT_TRUE(video->play_block(second, true, true));

    EXPECT_TRUE(video->stop());
    for (int gone : {id, second}) {
        EXPECT_EQ(video->get_duration(gone), 0);
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
