// Benchmark host: drives the plug-in the way an engine does and prints one
// JSON line per measurement. bench/run_bench.py runs it; see bench/README.md.
//
//   qvx_bench play     --clip F [--fmt rgb24] [--threads 4] [--poll-ms 2] [--audio 1]
//                      [--expected N] [--trace FILE] [--realtime 1] [--copy 1]
//   qvx_bench idle     --clip F --mode paused|end [--seconds 5]
//   qvx_bench capacity --clip F --blocks K [--frames M] [--fmt yuv420p] [--copy 1] [--trace FILE]
//   qvx_bench seek     --clip F [--count 20] [--seed 1]
//   qvx_bench sync     --clip FLASH_BEEP_CLIP [--seconds 60] [--audio-file F] [--trace FILE]
//   qvx_bench memory   --clip F [--blocks 1] [--seconds 30] [--start-at S]
//                      [--stall-at S --stall-for D]
//   qvx_bench open     --clip F [--count 20]
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

#include "bench_host.h"
#include "support/frame_textures.h"

namespace qvx_bench {

namespace {

using qvx_support::FrameTextures;

// Sleeps to the next tick of a fixed period, the way a render loop wakes.
class Ticker {
public:
    explicit Ticker(double period_ms)
        : period_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double, std::milli>(period_ms))),
          next_(Clock::now()) {}
    void wait() {
        next_ += period_;
        const auto now = Clock::now();
        if (next_ < now) next_ = now;
        std::this_thread::sleep_until(next_);
    }

private:
    Clock::duration period_;
    Clock::time_point next_;
};

void sleep_seconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// Takes frames for a while; returns how many arrived.
int take_frames(qvx::SimpleVideo* video, int id, FrameTextures& out, double seconds,
                double poll_ms = 10) {
    Ticker tick(poll_ms);
    const auto start = Clock::now();
    int frames = 0;
    while (seconds_since(start) < seconds) {
        while (out.update(*video, id)) ++frames;
        tick.wait();
    }
    return frames;
}

// Takes frames until none has come for quiet seconds (or the deadline).
int take_until_quiet(qvx::SimpleVideo* video, int id, FrameTextures& out, double quiet,
                     double deadline) {
    Ticker tick(5);
    const auto start = Clock::now();
    auto last = Clock::now();
    int frames = 0;
    while (seconds_since(start) < deadline && seconds_since(last) < quiet) {
        if (out.update(*video, id)) {
            ++frames;
            last = Clock::now();
        }
        tick.wait();
    }
    return frames;
}

// Prints one measurement: what ran on which clip, its figures, then what
// the plug-in logged.
void report(const std::string& command, const Args& a, const Json& figures, const Plugin& plugin) {
    Json line{{"cmd", command}, {"clip", a.str("clip")}};
    line.update(figures);
    line["log_lines"] = plugin.log_lines();
    const std::vector<std::string> errors = plugin.log_errors();
    line["log_errors"] = errors.size();
    if (!errors.empty()) line["first_log_error"] = errors.front();
    print_line(line);
}

int open_failed(const std::string& command, const Args& a, const Plugin& plugin) {
    report(command, a, {{"error", "create_block failed"}}, plugin);
    return 1;
}

// ---- play: one block to its end, every frame taken -------------------------------

int cmd_play(const Args& a) {
    const PixelFormat format = a.format(PixelFormat::rgb24);
    const int threads = a.integer("threads", 4);
    const double poll_ms = a.num("poll-ms", 2);
    const int realtime = a.integer("realtime", 1);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, format, threads);
    v->set_parameter_int("realtime", realtime);

    const double cpu0 = process_cpu_seconds();
    const auto t_open = Clock::now();
    const int id = v->create_block(a.str("clip").c_str(), false);
    const double open_s = seconds_since(t_open);
    if (id == 0) return open_failed("play", a, plugin);
    FrameTextures out(format, a.integer("copy", 1) != 0);
    out.create(*v, id);
    const double fps = v->get_video_fps(id);
    long expected = a.integer("expected", 0);
    if (expected <= 0) expected = static_cast<long>(v->get_num_video_frames(id));
    const double timeout = a.num("timeout", static_cast<double>(v->get_duration(id)) * 3 + 20);

    std::vector<Clock::time_point> arrivals;
    double cpu_last = cpu0;
    const auto t_play = Clock::now();
    v->play_block(id, true, a.integer("audio", 1) != 0);
    Ticker tick(poll_ms);
    for (;;) {
        if (out.update(*v, id)) {
            arrivals.push_back(Clock::now());
            cpu_last = process_cpu_seconds();
            if (expected > 0 && static_cast<long>(arrivals.size()) >= expected) break;
        } else if (!arrivals.empty() && seconds_since(arrivals.back()) > 2.0) {
            break;  // the input has ended
        }
        if (seconds_since(t_play) > timeout) break;
        tick.wait();
    }
    const unsigned decoded = v->get_num_decoded_frames(id);
    const unsigned displayed = v->get_num_displayed_frames(id);
    const std::map<std::string, double> threads_cpu = thread_cpu_seconds();
    v->destroy_block(id);

    const Pacing pacing = pacing_of(arrivals, fps, t_play, a.num("skip", 1.0));
    const double frames = static_cast<double>(arrivals.size());
    const double cpu = cpu_last - cpu0;
    report("play", a,
           {{"fmt", pixel_format_name(format)},
            {"threads", threads},
            {"realtime", realtime},
            {"fps", fps},
            {"frames", arrivals.size()},
            {"expected", expected},
            {"decoded", decoded},
            {"displayed", displayed},
            {"open_ms", open_s * 1000},
            {"cpu_s", cpu},
            {"cpu_per_frame_ms", frames > 0 ? cpu / frames * 1000 : 0.0},
            {"wall_s", arrivals.empty() ? 0.0 : seconds_between(t_play, arrivals.back())},
            {"pacing", pacing},
            {"thread_cpu_s", threads_cpu}},
           plugin);

    const std::string trace = a.str("trace");
    if (!trace.empty()) {
        std::ofstream f(trace);
        f << "# frame error_ms (arrival at the texture minus t0 + n/fps, t0 the first frame's "
             "arrival)\n";
        for (size_t n = 0; n < pacing.error_ms.size(); ++n)
            f << n << " " << pacing.error_ms[n] << "\n";
    }
    return 0;
}

// ---- idle: a paused block, or one at the end of its input --------------------------

int cmd_idle(const Args& a) {
    const std::string mode = a.str("mode", "paused");
    const double seconds = a.num("seconds", 5);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, PixelFormat::yuv420p, a.integer("threads", 4));
    const int id = v->create_block(a.str("clip").c_str(), false);
    if (id == 0) return open_failed("idle", a, plugin);
    FrameTextures out(PixelFormat::yuv420p);
    out.create(*v, id);
    v->play_block(id, true, a.integer("audio", 1) != 0);
    int frames = take_frames(v, id, out, 1.5);
    if (mode == "paused") {
        v->set_paused(id, true);
        frames += take_frames(v, id, out, 0.5);
    } else {
        // Near the end, then to the end.
        v->seek_block(id, static_cast<int>(std::max<int64_t>(0, v->get_duration(id) - 2)));
        frames += take_until_quiet(v, id, out, 1.0, 20.0);
    }

    // The host makes no call while measuring: what is left is the block.
    const unsigned decoded0 = v->get_num_decoded_frames(id);
    const float position0 = v->get_position(id);
    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    sleep_seconds(seconds);
    const double cpu = process_cpu_seconds() - cpu0;
    const double wall = seconds_since(t0);
    const unsigned decoded1 = v->get_num_decoded_frames(id);
    const float position1 = v->get_position(id);

    // How soon the block answers again.
    double resume_ms = -1;
    if (mode == "paused") {
        const auto t_resume = Clock::now();
        v->set_paused(id, false);
        Ticker tick(1);
        while (seconds_since(t_resume) < 5) {
            if (out.update(*v, id)) {
                resume_ms = seconds_since(t_resume) * 1000;
                break;
            }
            tick.wait();
        }
    }
    v->destroy_block(id);

    Json figures{{"mode", mode},
                 {"frames_before", frames},
                 {"cpu_s", cpu},
                 {"wall_s", wall},
                 {"core_percent", cpu / wall * 100},
                 {"decoded_during", static_cast<long>(decoded1) - static_cast<long>(decoded0)},
                 {"position_before", position0},
                 {"position_after", position1}};
    if (mode == "paused") figures["resume_to_frame_ms"] = resume_ms;
    report("idle", a, figures, plugin);
    return 0;
}

// ---- capacity: K blocks at once, every frame taken on one render thread -------------

int cmd_capacity(const Args& a) {
    const int blocks = a.integer("blocks", 1);
    const PixelFormat format = a.format(PixelFormat::yuv420p);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, format, a.integer("threads", 4));

    std::vector<int> ids;
    std::vector<std::unique_ptr<FrameTextures>> outs;
    for (int b = 0; b < blocks; ++b) {
        const int id = v->create_block(a.str("clip").c_str(), false);
        if (id == 0) return open_failed("capacity", a, plugin);
        ids.push_back(id);
        outs.push_back(std::make_unique<FrameTextures>(format, a.integer("copy", 1) != 0));
        outs.back()->create(*v, id);
    }
    const double fps = v->get_video_fps(ids[0]);
    long target = static_cast<long>(v->get_num_video_frames(ids[0]));
    const int limit = a.integer("frames", 0);
    if (limit > 0 && (target <= 0 || limit < target)) target = limit;

    std::vector<std::vector<Clock::time_point>> arrivals(ids.size());
    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    for (int id : ids) v->play_block(id, true, a.integer("audio", 1) != 0);
    auto last_progress = Clock::now();
    Ticker tick(a.num("poll-ms", 1));
    for (;;) {
        bool all_done = true;
        for (size_t b = 0; b < ids.size(); ++b) {
            if (static_cast<long>(arrivals[b].size()) >= target) continue;
            all_done = false;
            if (outs[b]->update(*v, ids[b])) {
                arrivals[b].push_back(Clock::now());
                last_progress = arrivals[b].back();
            }
        }
        if (all_done || seconds_since(last_progress) > 3.0) break;
        tick.wait();
    }
    const double wall = seconds_since(t0);
    const double cpu = process_cpu_seconds() - cpu0;
    for (int id : ids) v->destroy_block(id);

    // The machine keeps up when every frame arrives and, past the first
    // second of start-up, no frame is off its regular schedule by more than
    // a frame period; the schedule is the best straight line through the
    // arrivals, as the clock followed is the sound device's, whose rate may
    // be a percent off the steady clock's.
    const double period_ms = 1000.0 / fps;
    const double skip_s = a.num("skip", 1.0);
    double worst_fit = 0;
    double worst_line = 0;
    double worst_first = 0;
    double worst_start = 0;
    long min_frames = std::numeric_limits<long>::max();
    // ffmpeg -re's own measure, for the same comparison: media time gained
    // over wall time from its first progress report (0.5 s) to the last.
    double min_speed = std::numeric_limits<double>::max();
    for (const auto& list : arrivals) {
        const auto from = std::find_if(list.begin(), list.end(), [&](Clock::time_point t) {
            return seconds_between(t0, t) >= 0.5;
        });
        if (list.empty() || from == list.end() || from + 1 >= list.end()) {
            min_speed = 0;
        } else {
            const double media = static_cast<double>(list.end() - 1 - from) / fps;
            min_speed = std::min(min_speed, media / seconds_between(*from, list.back()));
        }
        const Pacing p = pacing_of(list, fps, t0, skip_s);
        worst_fit = std::max(worst_fit, p.fit_worst_abs_ms);
        worst_line = std::max(worst_line, p.line_worst_abs_ms);
        worst_first = std::max(worst_first, p.worst_abs_ms);
        worst_start = std::max(worst_start, p.first_frame_ms);
        min_frames = std::min(min_frames, static_cast<long>(list.size()));
    }
    const bool all_frames = min_frames >= target;
    report("capacity", a,
           {{"blocks", blocks},
            {"fmt", pixel_format_name(format)},
            {"fps", fps},
            {"target_frames", target},
            {"min_frames", min_frames},
            {"all_frames", all_frames},
            {"worst_fit_abs_ms", worst_fit},
            {"worst_line_abs_ms", worst_line},
            {"worst_first_frame_ref_abs_ms", worst_first},
            {"worst_first_frame_ms", worst_start},
            {"frame_period_ms", period_ms},
            {"ok", all_frames && worst_line <= period_ms},
            {"min_steady_speed", min_speed},
            {"cpu_s", cpu},
            {"wall_s", wall}},
           plugin);

    const std::string trace = a.str("trace");
    if (!trace.empty()) {
        std::ofstream f(trace);
        f << "# block frame arrival_ms (at the texture, from play_block)\n";
        for (size_t b = 0; b < arrivals.size(); ++b)
            for (size_t n = 0; n < arrivals[b].size(); ++n)
                f << b << " " << n << " " << seconds_between(t0, arrivals[b][n]) * 1000 << "\n";
    }
    return 0;
}

// ---- seek: seek_block to the first frame of the new position in the texture ----------

int cmd_seek(const Args& a) {
    const int count = a.integer("count", 20);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    const PixelFormat format = a.format(PixelFormat::yuv420p);
    configure(v, format, a.integer("threads", 4));
    const int id = v->create_block(a.str("clip").c_str(), false);
    if (id == 0) return open_failed("seek", a, plugin);
    FrameTextures out(format);
    out.create(*v, id);
    const int duration = static_cast<int>(v->get_duration(id));
    v->play_block(id, true, a.integer("audio", 1) != 0);
    take_frames(v, id, out, 0.5, 2);

    std::mt19937 rng(static_cast<unsigned>(a.integer("seed", 1)));
    std::uniform_int_distribution<int> pick(0, std::max(0, duration - 2));
    std::vector<double> latencies;
    int timeouts = 0;
    for (int i = 0; i < count; ++i) {
        const float now_at = v->get_position(id);
        int target = pick(rng);
        for (int tries = 0; tries < 50 && std::abs(target - now_at) < 2.0f; ++tries)
            target = pick(rng);
        const auto t0 = Clock::now();
        v->seek_block(id, target);
        // A frame counts once the position read before taking it already
        // stood at the target: frames of the old position are dropped by
        // the seek, so the frame taken is one of the new position.
        bool arrived = false;
        Ticker tick(1);
        while (seconds_since(t0) < 5.0) {
            const float before = v->get_position(id);
            if (out.update(*v, id) && before >= static_cast<float>(target) - 0.001f &&
                before <= static_cast<float>(target) + 1.0f) {
                latencies.push_back(seconds_since(t0) * 1000);
                arrived = true;
                break;
            }
            tick.wait();
        }
        if (!arrived) ++timeouts;
        take_frames(v, id, out, a.num("settle", 0.3), 2);
    }
    v->destroy_block(id);

    report("seek", a,
           {{"count", count},
            {"timeouts", timeouts},
            {"median_ms", median(latencies)},
            {"p95_ms", percentile(latencies, 95)},
            {"max_ms",
             latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end())},
            {"latencies_ms", latencies}},
           plugin);
    return 0;
}

// ---- sync: the flash on screen against the beep heard -----------------------------
//
// One block plays a clip with a white frame and a beep at each whole
// second. SDL's disk driver writes the block's sound to a regular file one
// device buffer at a time and then sleeps for one buffer's duration, like a
// sound card consuming it; a thread stamps every growth of the file. A
// sample at byte k of a buffer whose write was seen at T is heard at
// T + (k - buffer start) / bytes per second. The flash is stamped when its
// picture reaches the texture (polled every 1 ms).

struct FileGrowth {
    Clock::time_point at;
    long long size;
};

// Stamps the size of path every period until stop is set.
void watch_file(const std::string& path, std::chrono::microseconds period,
                const std::atomic<bool>& stop, std::vector<FileGrowth>& seen) {
    long long last = -1;
    auto next = Clock::now();
    while (!stop.load()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_size != last) {
            last = st.st_size;
            seen.push_back({Clock::now(), last});
        }
        next += period;
        const auto now = Clock::now();
        if (next < now) next = now;
        std::this_thread::sleep_until(next);
    }
}

// What the host saw while the block played.
struct SyncCapture {
    Clock::time_point play;  // play_block
    int frames = 0;
    std::vector<Clock::time_point> flashes;  // arrival of each white picture
    std::vector<FileGrowth> growth;          // each write of the sound, as seen
};

// Plays the block with its sound until its input ends (or for seconds),
// stamping the white pictures and, on a thread of its own, the file's
// growth.
SyncCapture capture_sync(qvx::SimpleVideo* v, int id, FrameTextures& out,
                         const std::string& audio_file, std::chrono::microseconds watch_period,
                         double seconds) {
    SyncCapture seen;
    std::atomic<bool> stop{false};
    seen.growth.reserve(200000);
    std::thread watcher(watch_file, audio_file, watch_period, std::cref(stop),
                        std::ref(seen.growth));

    bool was_white = false;
    seen.play = Clock::now();
    v->play_block(id, true, true);
    Ticker tick(1);
    auto last_frame = seen.play;
    while (seconds_since(seen.play) < seconds + 0.5) {
        if (out.update(*v, id)) {
            const auto now = Clock::now();
            last_frame = now;
            ++seen.frames;
            const qvx::TextureData& plane = out.plane(0);
            const size_t centre_at =
                static_cast<size_t>(plane.height / 2 * plane.width + plane.width / 2);
            const bool white = centre_at < plane.pixels.size() && plane.pixels[centre_at] > 128;
            if (white && !was_white) seen.flashes.push_back(now);
            was_white = white;
        } else if (seen.frames > 0 && seconds_since(last_frame) > 1.5) {
            break;  // the input has ended
        }
        tick.wait();
    }
    // Sound still queued is written within a buffer or two.
    sleep_seconds(0.3);
    stop = true;
    watcher.join();
    return seen;
}

struct DeviceFormat {
    int format = 0x8010;
    int channels = 2;
    int samples = 4096;
    int rate = 48000;

    long long frame_bytes() const { return 2LL * channels; }
    long long buffer_bytes() const { return frame_bytes() * samples; }
    double bytes_per_second() const { return static_cast<double>(frame_bytes()) * rate; }
};

// The device as opened: "... actual specs: format: F, channels: C,
// samples: S, sampling rate: R".
DeviceFormat device_format(const Plugin& plugin) {
    DeviceFormat device;
    const std::string line = plugin.last_audio_line("actual specs");
    if (!line.empty()) {
        std::sscanf(line.c_str() + line.find("format"),
                    "format: %d, channels: %d, samples: %d, sampling rate: %d", &device.format,
                    &device.channels, &device.samples, &device.rate);
    }
    if ((device.format & 0xff) != 16)
        throw std::runtime_error("sync: expects 16-bit device samples");
    return device;
}

// Beep onsets, as byte offsets into the sound: the first sample of a
// channel-0 run above a tenth of full scale after at least 0.3 s below it.
std::vector<long long> beep_onsets(const std::string& audio_file, const DeviceFormat& device) {
    std::vector<long long> onsets;
    std::ifstream f(audio_file, std::ios::binary);
    std::vector<int16_t> buf(static_cast<size_t>(device.channels) * 8192);
    long long frame = 0;
    long long last_loud = -1000000000LL;
    const long long quiet = static_cast<long long>(0.3 * device.rate);
    while (f) {
        f.read(reinterpret_cast<char*>(buf.data()),
               static_cast<std::streamsize>(buf.size() * sizeof(int16_t)));
        const long long got = f.gcount() / device.frame_bytes();
        for (long long i = 0; i < got; ++i, ++frame) {
            if (std::abs(static_cast<int>(buf[static_cast<size_t>(i * device.channels)])) > 3277) {
                if (frame - last_loud > quiet) onsets.push_back(frame * device.frame_bytes());
                last_loud = frame;
            }
        }
    }
    return onsets;
}

// When each onset was heard; onsets past the last write seen are left out.
std::vector<Clock::time_point> heard_at(const std::vector<long long>& onsets,
                                        const std::vector<FileGrowth>& growth,
                                        const DeviceFormat& device) {
    std::vector<Clock::time_point> heard;
    for (long long k : onsets) {
        const auto it =
            std::upper_bound(growth.begin(), growth.end(), k,
                             [](long long value, const FileGrowth& g) { return value < g.size; });
        if (it == growth.end()) continue;
        const long long buffer_start = k / device.buffer_bytes() * device.buffer_bytes();
        heard.push_back(it->at +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(k - buffer_start) / device.bytes_per_second())));
    }
    return heard;
}

struct SyncPairs {
    std::vector<double> offsets_ms;  // flash shown - beep heard, positive: picture late
    std::vector<double> flash_s;     // flash time from play_block
};

// Each flash against the beep heard nearest to it (within half a second).
SyncPairs pair_flashes(const std::vector<Clock::time_point>& flashes,
                       const std::vector<Clock::time_point>& heard, Clock::time_point play) {
    SyncPairs pairs;
    for (const auto& t : flashes) {
        double best = 1e9;
        for (const auto& h : heard) {
            const double d = seconds_between(h, t) * 1000;
            if (std::fabs(d) < std::fabs(best)) best = d;
        }
        if (std::fabs(best) <= 500) {
            pairs.offsets_ms.push_back(best);
            pairs.flash_s.push_back(seconds_between(play, t));
        }
    }
    return pairs;
}

Json offset_stats(const std::vector<double>& values) {
    return {{"mean_ms", mean(values)},
            {"min_ms", values.empty() ? 0.0 : *std::min_element(values.begin(), values.end())},
            {"max_ms", values.empty() ? 0.0 : *std::max_element(values.begin(), values.end())},
            {"worst_abs_ms", max_abs(values)},
            {"count", values.size()}};
}

int cmd_sync(const Args& a) {
    const double seconds = a.num("seconds", 60);
    const std::string audio_file = a.str("audio-file", "qvx_bench_sync.pcm");
    const auto watch_period = std::chrono::microseconds(a.integer("watch-us", 1000));
    // The disk driver, writing into the file watched; read when the first
    // device opens.
    std::remove(audio_file.c_str());
    { std::ofstream touch(audio_file); }
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", audio_file.c_str(), 1);

    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, PixelFormat::yuv420p, a.integer("threads", 4));
    const int id = v->create_block(a.str("clip").c_str(), false);
    if (id == 0) return open_failed("sync", a, plugin);
    FrameTextures out(PixelFormat::yuv420p);
    out.create(*v, id);
    const SyncCapture seen = capture_sync(v, id, out, audio_file, watch_period, seconds);
    v->destroy_block(id);

    const DeviceFormat device = device_format(plugin);
    const std::vector<long long> onsets = beep_onsets(audio_file, device);
    std::remove(audio_file.c_str());
    const std::vector<Clock::time_point> heard = heard_at(onsets, seen.growth, device);
    const SyncPairs pairs = pair_flashes(seen.flashes, heard, seen.play);
    std::vector<double> settled;  // the first second left out
    for (size_t i = 0; i < pairs.offsets_ms.size(); ++i)
        if (pairs.flash_s[i] >= 1.0) settled.push_back(pairs.offsets_ms[i]);

    // The writes as seen: their sizes and how often they came.
    const std::vector<FileGrowth>& growth = seen.growth;
    std::vector<double> steps;
    for (size_t i = 1; i < growth.size(); ++i)
        steps.push_back(static_cast<double>(growth[i].size - growth[i - 1].size));
    double write_rate = 0;  // bytes written per second of the steady clock, against nominal
    if (growth.size() > 2) {
        write_rate = static_cast<double>(growth.back().size - growth[1].size) /
                     seconds_between(growth[1].at, growth.back().at) / device.bytes_per_second();
    }

    report("sync", a,
           {{"seconds", seconds},
            {"frames", seen.frames},
            {"flashes", seen.flashes.size()},
            {"beeps", onsets.size()},
            {"beeps_timed", heard.size()},
            {"pairs", pairs.offsets_ms.size()},
            {"device_rate", device.rate},
            {"device_channels", device.channels},
            {"device_buffer_samples", device.samples},
            {"writes_seen", growth.size()},
            {"median_write_bytes", median(steps)},
            {"write_rate", write_rate},
            {"watch_us", watch_period.count()},
            {"offset", offset_stats(pairs.offsets_ms)},
            {"offset_after_1s", offset_stats(settled)}},
           plugin);

    const std::string trace = a.str("trace");
    if (!trace.empty()) {
        std::ofstream f(trace);
        f << "# flash_seconds_from_play_block offset_ms (flash shown - beep heard)\n";
        for (size_t i = 0; i < pairs.offsets_ms.size(); ++i)
            f << pairs.flash_s[i] << " " << pairs.offsets_ms[i] << "\n";
    }
    return 0;
}

// ---- memory: peak resident memory while blocks play -------------------------------

int cmd_memory(const Args& a) {
    const int blocks = a.integer("blocks", 1);
    const double seconds = a.num("seconds", 30);
    const int start_at = a.integer("start-at", 0);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, PixelFormat::yuv420p, a.integer("threads", 4));
    const long rss_loaded = current_rss_kib();

    std::vector<int> ids;
    std::vector<std::unique_ptr<FrameTextures>> outs;
    for (int b = 0; b < blocks; ++b) {
        const int id = v->create_block(a.str("clip").c_str(), false);
        if (id == 0) return open_failed("memory", a, plugin);
        ids.push_back(id);
        outs.push_back(std::make_unique<FrameTextures>(PixelFormat::yuv420p));
        outs.back()->create(*v, id);
        // Carried out when the reader starts.
        if (start_at > 0) v->seek_block(id, start_at);
    }
    for (int id : ids) v->play_block(id, true, a.integer("audio", 1) != 0);
    long rss_max = 0;
    std::vector<long> frames(ids.size(), 0);
    const auto t0 = Clock::now();
    auto next_sample = t0;
    Ticker tick(5);
    // A host that stops updating for a while (loading a level) and goes on.
    const double stall_at = a.num("stall-at", -1), stall_for = a.num("stall-for", 0);
    while (seconds_since(t0) < seconds) {
        const double now_s = seconds_since(t0);
        if (now_s < stall_at || now_s >= stall_at + stall_for) {
            for (size_t b = 0; b < ids.size(); ++b)
                while (outs[b]->update(*v, ids[b])) ++frames[b];
        }
        if (Clock::now() >= next_sample) {
            rss_max = std::max(rss_max, current_rss_kib());
            next_sample += std::chrono::milliseconds(100);
        }
        tick.wait();
    }
    std::vector<double> positions;
    for (int id : ids) positions.push_back(v->get_position(id));
    const long rss_end = current_rss_kib();
    const long peak = peak_rss_kib();
    for (int id : ids) v->destroy_block(id);

    report("memory", a,
           {{"blocks", blocks},
            {"seconds", seconds},
            {"start_at", start_at},
            {"rss_after_load_kib", rss_loaded},
            {"rss_max_sampled_kib", rss_max},
            {"rss_end_kib", rss_end},
            {"stall_at", stall_at},
            {"stall_for", stall_for},
            {"peak_rss_kib", peak},
            {"frames", frames},
            {"positions", positions}},
           plugin);
    return 0;
}

// ---- open: create_block on a local file -----------------------------------------------

int cmd_open(const Args& a) {
    const int count = a.integer("count", 20);
    Plugin plugin;
    qvx::SimpleVideo* v = plugin.get();
    configure(v, PixelFormat::rgb24, a.integer("threads", 4));
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const int id = v->create_block(a.str("clip").c_str(), false);
        times.push_back(seconds_since(t0) * 1000);
        if (id == 0) return open_failed("open", a, plugin);
        v->destroy_block(id);
    }
    report("open", a,
           {{"count", count},
            {"first_ms", times.front()},
            {"median_ms", median(times)},
            {"p95_ms", percentile(times, 95)},
            {"times_ms", times}},
           plugin);
    return 0;
}

}  // namespace

}  // namespace qvx_bench

int main(int argc, char** argv) {
    using namespace qvx_bench;
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s play|idle|capacity|seek|sync|memory|open --clip FILE [options]\n",
                     argv[0]);
        return 2;
    }
    const std::string command = argv[1];
    try {
        const Args args(argc, argv, 2);
        if (command == "play") return cmd_play(args);
        if (command == "idle") return cmd_idle(args);
        if (command == "capacity") return cmd_capacity(args);
        if (command == "seek") return cmd_seek(args);
        if (command == "sync") return cmd_sync(args);
        if (command == "memory") return cmd_memory(args);
        if (command == "open") return cmd_open(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qvx_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "qvx_bench: unknown command %s\n", command.c_str());
    return 2;
}
