// Load and faults: many blocks at once under control storms, hundreds of
// create/play/destroy cycles, play and stop from two threads at once, and a
// network input that goes silent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <random>

#include "../pipeline/render_host.h"

namespace reliability {
std::string faststart_clip();  // broken_input_test.cpp
}

namespace {

using namespace qvx_test;

int env_int(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : fallback;
}

long resident_kib() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages >> pages;
    return pages * 4;
}

TEST(Stress, CreatePlayDestroyCyclesReleaseEverything) {
    const int cycles = env_int("QVX_STRESS_CYCLES", 300);
    PluginHandle video;
    qvx::Renderer renderer;
    qvx::Texture texture;
    long baseline = 0;
    for (int i = 0; i < cycles; ++i) {
        const int id = video->create_block(av_clip().c_str(), (i % 3) == 0);
        ASSERT_NE(id, 0);
        video->video_create_texture_rgb24(id, &renderer, &texture);
        ASSERT_TRUE(video->play_block(id, true, (i % 2) == 0));
        if (i % 10 == 0) std::this_thread::sleep_for(20ms);
        video->video_update_texture_rgb24(id, &renderer, &texture);
        ASSERT_TRUE(video->destroy_block(id));
        if (i == 19) baseline = resident_kib();  // allocators and SDL warmed up
    }
    // Leaks are for LeakSanitizer to name; this catches gross growth in a
    // plain build (AddressSanitizer holds freed memory back on purpose).
#if !defined(__SANITIZE_ADDRESS__)
    if (baseline > 0) {
        EXPECT_LT(resident_kib() - baseline, 64 * 1024) << "resident memory grew";
    }
#endif
}

TEST(Stress, EightBlocksUnderControlStorms) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(env_int("QVX_STRESS_SECONDS", 5));
    PluginHandle video;
    video->set_parameter_int("num_video_threads", 1);
    std::vector<std::unique_ptr<RenderHost>> hosts;
    for (int i = 0; i < 8; ++i) {
        hosts.push_back(std::make_unique<RenderHost>(video, Format::rgb24));
        ASSERT_TRUE(hosts.back()->open(av_clip(), true) && hosts.back()->play(true));
    }
    // No call holds the host's thread for long (a hang shows here).
    std::mt19937 rng(7);
    while (std::chrono::steady_clock::now() < until) {
        for (auto& host : hosts) {
            const int id = host->id;
            EXPECT_LT(time_ms([&] {
                          switch (rng() % 8) {
                              case 0: video->set_paused(id, true); break;
                              case 1: video->set_paused(id, false); break;
                              case 2: video->seek_block(id, static_cast<int>(rng() % 4)); break;
                              case 3: video->set_volume(id, float(rng() % 100) / 100); break;
                              case 4: video->seek_video_timestamp(id, int(rng() % 10000)); break;
                              case 5: video->seek_video_frame(id, int(rng() % 4)); break;
                              case 6: video->rewind_block(id); break;
                          }
                          host->update();
                      }),
                      1000.0);
        }
        std::this_thread::sleep_for(5ms);
    }
    for (auto& host : hosts) {
        video->set_paused(host->id, false);
        EXPECT_TRUE(host->pump_frames(1, 5s))
            << "block " << host->id << " stalled at " << video->get_position(host->id);
        EXPECT_LT(time_ms([&] { video->destroy_block(host->id); }), 1000.0);
    }
}

// Two host threads start and stop one block at once: every call answers,
// and the block still plays afterwards.
TEST(Faults, PlayAndStopOfOneBlockFromTwoThreads) {
    PluginHandle video;
    RenderHost host(video, Format::rgb24);
    ASSERT_TRUE(host.open(av_clip(), true));
    auto hammer = [&](int seed) {
        for (int i = 0; i < 100; ++i) {
            if ((i + seed) % 2 == 0) {
                EXPECT_TRUE(video->play_block(host.id, true, i % 3 == 0));
            } else {
                EXPECT_TRUE(video->stop_block(host.id));
            }
        }
    };
    std::thread other(hammer, 1);
    hammer(0);
    other.join();
    ASSERT_TRUE(host.play());
    EXPECT_TRUE(host.pump_frames(1, 5s));
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(video->destroy_block(host.id)); }), 1000.0);
}

// Serves the first half of a file over HTTP, announcing all of it, then goes
// silent with the connection open.
class SilentServer {
public:
    explicit SilentServer(const std::string& file) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        listen(fd_, 4);
        thread_ = std::thread([this, file] {
            for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0;) {
                clients_.push_back(client);
                char request[4096];
                if (recv(client, request, sizeof request, 0) <= 0) continue;
                const std::string reply =
                    "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(file.size()) +
                    "\r\n\r\n" + file.substr(0, file.size() / 2);
                send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~SilentServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        for (int client : clients_) close(client);
    }
    int port = 0;

private:
    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> clients_;
    std::thread thread_;
};

// No host call waits for an input that went silent: each returns at once
// (the bound is only a hang guard), and the block stops.
TEST(Faults, NetworkInputThatGoesSilentStillStops) {
    SilentServer server(read_file(reliability::faststart_clip()));
    PluginHandle video;
    RenderHost host(video, Format::rgb24);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/clip.mp4";
    bool opened = false;
    EXPECT_LT(time_ms([&] { opened = host.open(url, false); }), 5000.0);
    ASSERT_TRUE(opened && host.play(true));
    std::this_thread::sleep_for(1500ms);  // the reader is now blocked in the silent read
    const int id = host.id;
    const std::function<void()> calls[] = {
        [&] { EXPECT_TRUE(video->seek_video_frame(id, 1)); },
        [&] { EXPECT_TRUE(video->seek_video_timestamp(id, 1000)); },
        [&] { EXPECT_TRUE(video->seek_audio_timestamp(id, 1000)); },
        [&] { EXPECT_TRUE(video->seek_block(id, 2)); },
        [&] { video->rewind_block(id); },
        [&] { video->set_paused(id, true); },
        [&] { video->set_paused(id, false); },
        [&] {
            video->get_position(id);
            video->update_block(id);
        },
        [&] { host.update(); },
    };
    for (int round = 0; round < 3; ++round) {
        for (const auto& call : calls) EXPECT_LT(time_ms(call), 1000.0);
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(video->stop_block(id)); }), 1000.0);
    EXPECT_LT(time_ms([&] { EXPECT_TRUE(video->destroy_block(id)); }), 1000.0);
}

}  // namespace
