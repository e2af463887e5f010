// What the plug-in really plays, captured with SDL's disk audio driver: the
// driver writes every sample a device plays, signed 16-bit stereo at the
// device rate, to the file named by SDL_DISKAUDIOFILE, in real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"

namespace {

using namespace std::chrono_literals;
using qvx_test::LogCapture;
using qvx_test::PluginHandle;
using qvx_test::wait_until;

using Clock = std::chrono::steady_clock;

// AUDIO_S16SYS on a little-endian machine.
constexpr int s16_format = 0x8010;

std::string capture_path(const std::string& name) {
    return testing::TempDir() + "qvx_audio_" + name + "_" + std::to_string(getpid()) + ".raw";
}

// Sends the devices opened from now on to the disk driver, writing to path.
// SDL reads these when its audio starts and when a device opens.
void capture_to(const std::string& path) {
    std::remove(path.c_str());
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    unsetenv("SDL_DISKAUDIODELAY");
}

struct DeviceFormat {
    int format = 0;
    int channels = 0;
    int samples = 0;
    int rate = 0;
};

// The obtained format of the nth device opened, from the log.
bool logged_device_format(const LogCapture& log, DeviceFormat* device_format, int nth = 0) {
    int seen = 0;
    for (const qvx_test::LogLine& line : log.lines()) {
        DeviceFormat s;
        if (std::sscanf(line.text.c_str(),
                        "[FFmpeg] SDL2 - actual specs: format: %d, channels: %d, samples: %d, "
                        "sampling rate: %d",
                        &s.format, &s.channels, &s.samples, &s.rate) == 4 &&
            seen++ == nth) {
            *device_format = s;
            return true;
        }
    }
    return false;
}

bool wait_for_device_format(const LogCapture& log, DeviceFormat* device_format, int nth = 0) {
    return wait_until([&] { return logged_device_format(log, device_format, nth); }, 10s);
}

// Interleaved stereo samples written so far (whole frames only).
std::vector<int16_t> read_capture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() / 4 * 4);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(samples.data()));
    return samples;
}

size_t captured_frames(const std::string& path) {
    return read_capture(path).size() / 2;
}

// A tone found in frames [from, to) of a stereo capture.
struct Tone {
    bool found = false;
    size_t first = 0;  // first and last frame above the threshold
    size_t last = 0;
    double seconds = 0;      // from first to last
    double frequency = 0;    // by upward zero crossings of the louder channel
    double longest_gap = 0;  // longest run below the threshold inside, seconds
    int peak_left = 0;
    int peak_right = 0;
};

Tone find_tone(const std::vector<int16_t>& s, int rate, size_t from = 0, size_t to = SIZE_MAX) {
    Tone tone;
    to = std::min(to, s.size() / 2);
    if (from >= to || rate <= 0) return tone;
    for (size_t i = from; i < to; ++i) {
        tone.peak_left = std::max(tone.peak_left, std::abs(static_cast<int>(s[2 * i])));
        tone.peak_right = std::max(tone.peak_right, std::abs(static_cast<int>(s[2 * i + 1])));
    }
    const int peak = std::max(tone.peak_left, tone.peak_right);
    if (peak < 256) return tone;
    const int threshold = peak / 4;
    auto loud = [&](size_t i) {
        return std::abs(static_cast<int>(s[2 * i])) > threshold ||
               std::abs(static_cast<int>(s[2 * i + 1])) > threshold;
    };
    size_t first = from;
    while (!loud(first)) ++first;
    size_t last = to - 1;
    while (!loud(last)) --last;
    tone.found = true;
    tone.first = first;
    tone.last = last;
    tone.seconds = static_cast<double>(last - first + 1) / rate;

    const int channel = tone.peak_left >= tone.peak_right ? 0 : 1;
    size_t crossings = 0;
    size_t gap = 0;
    size_t longest = 0;
    for (size_t i = first + 1; i <= last; ++i) {
        crossings += s[2 * (i - 1) + channel] < 0 && s[2 * i + channel] >= 0;
        gap = loud(i) ? 0 : gap + 1;
        longest = std::max(longest, gap);
    }
    tone.frequency = last > first ? crossings / (static_cast<double>(last - first) / rate) : 0;
    tone.longest_gap = static_cast<double>(longest) / rate;
    return tone;
}

std::string describe(const Tone& t, int rate) {
    std::ostringstream out;
    out << "tone found " << t.found << ", frames " << t.first << ".." << t.last << " at " << rate
        << " Hz, " << t.seconds << " s, " << t.frequency << " Hz, longest gap " << t.longest_gap
        << " s, peaks " << t.peak_left << "/" << t.peak_right;
    return out.str();
}

// Waits until the capture holds a tone followed by at least `after`
// seconds of silence (frames from `from` on).
bool wait_for_tone_end(const std::string& path, int rate, size_t from = 0, double after = 0.4,
                       std::chrono::milliseconds timeout = 20s) {
    return wait_until(
        [&] {
            const std::vector<int16_t> s = read_capture(path);
            const Tone t = find_tone(s, rate, from);
            return t.found && s.size() / 2 - t.last > static_cast<size_t>(after * rate);
        },
        timeout);
}

bool wait_for_tone_start(const std::string& path, int rate, size_t* first) {
    return wait_until(
        [&] {
            const Tone t = find_tone(read_capture(path), rate);
            if (t.found) *first = t.first;
            return t.found;
        },
        10s);
}

// ---- A tone plays as itself, whatever the source format ---------------------------

struct Source {
    const char* name;
    const char* file;
    const char* ffmpeg_args;
};

std::ostream& operator<<(std::ostream& out, const Source& s) {
    return out << s.name;
}

class SourceFormats : public testing::TestWithParam<Source> {};

// Every source comes out as a stereo S16 tone of its own frequency and
// length, at the device rate: nothing cut, repeated or delayed on the way.
TEST_P(SourceFormats, PlaysAsStereoToneOfTheClipsLength) {
    const Source& source = GetParam();
    const std::string media = qvx_test::generate_media(source.file, source.ffmpeg_args);
    const std::string path = capture_path(source.name);
    capture_to(path);
    LogCapture log;
    DeviceFormat device_format;
    float position = 0.0f;
    {
        PluginHandle plugin;
        const int id = plugin->create_block(media.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        plugin->set_volume(id, 1.0f);
        ASSERT_TRUE(plugin->play_block(id, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &device_format)) << log.dump();
        EXPECT_TRUE(wait_for_tone_end(path, device_format.rate)) << "the tone never ended\n"
                                                                 << log.dump();
        // A sound-only input ends once its last sound was heard, at the end.
        EXPECT_TRUE(wait_until([&] { return plugin->update_block(id); }, 5s)) << log.dump();
        position = plugin->get_position(id);
        plugin->destroy_block(id);
    }
    EXPECT_EQ(device_format.format, s16_format);
    EXPECT_EQ(device_format.channels, 2);

    const std::vector<int16_t> samples = read_capture(path);
    std::remove(path.c_str());
    const Tone tone = find_tone(samples, device_format.rate);
    ASSERT_TRUE(tone.found) << describe(tone, device_format.rate);
    // The sound's first callback may find the reader not yet ahead of it:
    // at most one device buffer of silence inside the tone.
    const double buffer_seconds = static_cast<double>(device_format.samples) / device_format.rate;
    EXPECT_NEAR(tone.seconds, 2.0, 0.02 + buffer_seconds) << describe(tone, device_format.rate);
    EXPECT_NEAR(tone.frequency, 1000.0, 10.0) << describe(tone, device_format.rate);
    EXPECT_LT(tone.longest_gap, 0.005 + buffer_seconds) << describe(tone, device_format.rate);
    EXPECT_NEAR(position, 2.0, 0.1);
    // Mono and centre sound reach both speakers alike.
    EXPECT_NEAR(tone.peak_left, tone.peak_right, std::max(tone.peak_left, tone.peak_right) / 10)
        << describe(tone, device_format.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Audio, SourceFormats,
    testing::Values(
        Source{"aac_44100_stereo", "tone_aac_44100_stereo.mp4",
               "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=2 -ac 2 -c:a aac"},
        Source{"pcm_22050_5_1", "tone_pcm_22050_5_1.wav",
               "-f lavfi -i sine=frequency=1000:sample_rate=22050:duration=2 "
               "-af aformat=channel_layouts=5.1 -c:a pcm_s16le"},
        Source{"aac_96000_5_1", "tone_aac_96000_5_1.m4a",
               "-f lavfi -i sine=frequency=1000:sample_rate=96000:duration=2 "
               "-af aformat=channel_layouts=5.1 -c:a aac"},
        Source{
            "mp3_44100_stereo", "tone_mp3_44100_stereo.mp3",
            "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=2 -ac 2 -c:a libmp3lame"},
        Source{
            "pcm_44100_mono_long_frames", "tone_pcm_44100_mono_long_frames.mkv",
            "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=2:samples_per_frame=16384 "
            "-c:a pcm_s16le"}),
    [](const testing::TestParamInfo<Source>& info) { return std::string(info.param.name); });

// ---- Volume ----------------------------------------------------------------------------

// Stereo with different sounds left and right, so that a swapped, shifted
// or repeated sample shows.
std::string stereo_wav() {
    return qvx_test::generate_media(
        "volume_stereo_44100.wav",
        "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*1000*t)|0.3*sin(2*PI*1500*t+1):s=44100:d=4:c=stereo' "
        "-c:a pcm_s16le");
}

// The decoded samples of stereo_wav().
std::string stereo_reference() {
    return qvx_test::generate_media("volume_stereo_44100.s16le",
                                    "-i '" + stereo_wav() + "' -c:a pcm_s16le -ac 2");
}

int scaled(int sample) {
    return sample * 89 / 128;
}  // volume 0.7: level 89

// Volume 1.0 plays the decoded samples exactly, 0.7 scales them by 89/128
// (SDL's mixer, which may round either way), 0 plays silence. The volume
// changes during one playback, so the three stretches follow each other.
TEST(AudioCapture, VolumeScalesTheDecodedSamples) {
    const std::vector<int16_t> ref = read_capture(stereo_reference());
    const size_t ref_frames = ref.size() / 2;
    ASSERT_GT(ref_frames, 44100u * 3);
    const std::string path = capture_path("volume");
    capture_to(path);
    LogCapture log;
    DeviceFormat device_format;
    {
        PluginHandle plugin;
        const int id = plugin->create_block(stereo_wav().c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        // Out of range is clamped (1e9 plays as 1), not a number ignored.
        plugin->set_volume(id, 1e9f);
        plugin->set_volume(id, std::nanf(""));
        EXPECT_EQ(log.count_containing("[FFmpeg] set_volume - the volume is not a number"), 1u);
        ASSERT_TRUE(plugin->play_block(id, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &device_format)) << log.dump();
        // Exact samples need the device at the file's own rate.
        ASSERT_EQ(device_format.rate, 44100) << log.dump();
        size_t first = 0;
        ASSERT_TRUE(wait_for_tone_start(path, device_format.rate, &first)) << log.dump();
        std::this_thread::sleep_for(900ms);
        plugin->set_volume(id, 0.7f);
        std::this_thread::sleep_for(900ms);
        plugin->set_volume(id, -std::numeric_limits<float>::infinity());
        EXPECT_TRUE(
            wait_until([&] { return captured_frames(path) > first + ref_frames + 4410; }, 20s));
        plugin->destroy_block(id);
    }
    const std::vector<int16_t> cap = read_capture(path);
    std::remove(path.c_str());
    const size_t cap_frames = cap.size() / 2;

    // Line the capture up with the file at the first loud sample.
    auto loud = [](const std::vector<int16_t>& s, size_t i) {
        return std::abs(static_cast<int>(s[2 * i])) >= 1000 ||
               std::abs(static_cast<int>(s[2 * i + 1])) >= 1000;
    };
    size_t r0 = 0;
    while (r0 < ref_frames && !loud(ref, r0)) ++r0;
    size_t c0 = 0;
    while (c0 < cap_frames && !loud(cap, c0)) ++c0;
    ASSERT_LT(c0, cap_frames) << "nothing was played";
    ASSERT_GE(c0, r0);
    const size_t offset = c0 - r0;
    ASSERT_GE(cap_frames, offset + ref_frames) << "the capture ends before the clip";

    // Each frame must match the current volume or a later one; the volume
    // only ever goes 1.0 -> 0.7 -> 0.
    enum { full, mixed, silent };
    size_t stretch[3] = {0, 0, 0};
    int state = full;
    for (size_t i = 0; i < ref_frames; ++i) {
        const int rl = ref[2 * i], rr = ref[2 * i + 1];
        const int cl = cap[2 * (offset + i)], cr = cap[2 * (offset + i) + 1];
        const bool matches[3] = {cl == rl && cr == rr,
                                 std::abs(cl - scaled(rl)) <= 1 && std::abs(cr - scaled(rr)) <= 1,
                                 cl == 0 && cr == 0};
        while (state <= silent && !matches[state]) ++state;
        ASSERT_LE(state, silent) << "frame " << i << " of the clip plays as " << cl << "/" << cr
                                 << ", decoded " << rl << "/" << rr
                                 << " (frames so far at 1.0: " << stretch[full]
                                 << ", at 0.7: " << stretch[mixed] << ")";
        ++stretch[state];
    }
    EXPECT_GT(stretch[full], 44100u / 4);
    EXPECT_GT(stretch[mixed], 44100u / 4);
    EXPECT_GT(stretch[silent], 44100u / 4);
    // After the clip: nothing but silence.
    for (size_t i = offset + ref_frames; i < cap_frames; ++i) {
        ASSERT_TRUE(cap[2 * i] == 0 && cap[2 * i + 1] == 0)
            << "sound after the end of the clip at frame " << i;
    }
}

// ---- Pause ------------------------------------------------------------------------------

// A paused block plays silence; resumed, it goes on where it stopped.
TEST(AudioCapture, PausedBlockIsSilentAndResumesWhereItStopped) {
    const std::string media = qvx_test::generate_media(
        "tone_pcm_44100_mono_4s.wav",
        "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=4 -c:a pcm_s16le");
    const std::string path = capture_path("pause");
    capture_to(path);
    LogCapture log;
    DeviceFormat device_format;
    size_t paused_from = 0;
    size_t paused_to = 0;
    {
        PluginHandle plugin;
        const int id = plugin->create_block(media.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        plugin->set_volume(id, 1.0f);
        ASSERT_TRUE(plugin->play_block(id, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &device_format)) << log.dump();
        size_t first = 0;
        ASSERT_TRUE(wait_for_tone_start(path, device_format.rate, &first)) << log.dump();
        std::this_thread::sleep_for(800ms);
        plugin->set_paused(id, true);
        // What the device had already taken before the pause may still be
        // on its way to the file; everything after it is silence.
        std::this_thread::sleep_for(400ms);
        paused_from = captured_frames(path);
        std::this_thread::sleep_for(1000ms);
        paused_to = captured_frames(path);
        plugin->set_paused(id, false);
        EXPECT_TRUE(wait_for_tone_end(path, device_format.rate, paused_to)) << log.dump();
        plugin->destroy_block(id);
    }
    const std::vector<int16_t> cap = read_capture(path);
    std::remove(path.c_str());

    ASSERT_GT(paused_to - paused_from, static_cast<size_t>(device_format.rate / 5))
        << "the device stopped while paused";
    for (size_t i = paused_from; i < paused_to; ++i) {
        ASSERT_TRUE(cap[2 * i] == 0 && cap[2 * i + 1] == 0)
            << "sound while paused at frame " << i << " (paused from " << paused_from << " to "
            << paused_to << ")";
    }
    const Tone before = find_tone(cap, device_format.rate, 0, paused_from);
    const Tone after = find_tone(cap, device_format.rate, paused_to);
    ASSERT_TRUE(before.found && after.found);
    EXPECT_NEAR(after.frequency, 1000.0, 10.0);
    EXPECT_LT(before.longest_gap, 0.005);
    EXPECT_LT(after.longest_gap, 0.005);
    // The rest of the clip follows: at most the unplayed part of one
    // decoded frame is lost at the pause, and nothing is played twice.
    const double played = before.seconds + after.seconds;
    EXPECT_GT(played, 4.0 - 0.1) << "sound lost at the pause";
    EXPECT_LT(played, 4.0 + 0.02) << "sound repeated after the pause";
}

// ---- Several blocks ----------------------------------------------------------------

// Two blocks play at once, each on its own device (the disk driver writes
// each device to the file named when it opened). Destroying one leaves the
// other's device open and playing, without a break in its sound, and its
// position keeps advancing.
TEST(AudioCapture, DestroyingOneBlockLeavesTheOtherPlaying) {
    const std::string clip_a = qvx_test::generate_media(
        "tone_1000_6s.m4a",
        "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=6 -c:a aac");
    const std::string clip_b = qvx_test::generate_media(
        "tone_600_6s.m4a", "-f lavfi -i sine=frequency=600:sample_rate=44100:duration=6 -c:a aac");
    const std::string path_a = capture_path("two_a");
    const std::string path_b = capture_path("two_b");
    std::remove(path_b.c_str());
    capture_to(path_a);
    LogCapture log;
    DeviceFormat format_a;
    DeviceFormat format_b;
    size_t b_at_destroy = 0;
    size_t b_later = 0;
    {
        PluginHandle plugin;
        const int a = plugin->create_block(clip_a.c_str(), false);
        const int b = plugin->create_block(clip_b.c_str(), false);
        ASSERT_NE(a, 0) << log.dump();
        ASSERT_NE(b, 0) << log.dump();
        plugin->set_volume(a, 1.0f);
        plugin->set_volume(b, 1.0f);
        ASSERT_TRUE(plugin->play_block(a, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &format_a, 0)) << log.dump();
        // A's device has its file; B's device opens on the other name.
        setenv("SDL_DISKAUDIOFILE", path_b.c_str(), 1);
        ASSERT_TRUE(plugin->play_block(b, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &format_b, 1)) << log.dump();
        size_t first = 0;
        ASSERT_TRUE(wait_for_tone_start(path_a, format_a.rate, &first)) << "block A is silent\n"
                                                                        << log.dump();
        ASSERT_TRUE(wait_for_tone_start(path_b, format_b.rate, &first)) << "block B is silent\n"
                                                                        << log.dump();
        std::this_thread::sleep_for(500ms);

        EXPECT_TRUE(plugin->destroy_block(a));
        const auto t0 = Clock::now();
        const float pos0 = plugin->get_position(b);
        b_at_destroy = captured_frames(path_b);
        std::this_thread::sleep_for(1500ms);
        const float pos1 = plugin->get_position(b);
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        b_later = captured_frames(path_b);
        EXPECT_NEAR(pos1 - pos0, elapsed, 0.4) << "block B's position stalled";
        EXPECT_GT(b_later - b_at_destroy, static_cast<size_t>(format_b.rate * 0.8))
            << "block B's device stopped playing";

        // A's device is closed: its file stops growing.
        size_t last_a = captured_frames(path_a);
        EXPECT_TRUE(wait_until(
            [&] {
                std::this_thread::sleep_for(300ms);
                const size_t now = captured_frames(path_a);
                const bool still = now == last_a;
                last_a = now;
                return still;
            },
            5s))
            << "block A's device still plays";
        plugin->destroy_block(b);
    }
    const std::vector<int16_t> cap_b = read_capture(path_b);
    std::remove(path_a.c_str());
    std::remove(path_b.c_str());

    // B's sound after A went: its own tone, without a break.
    const Tone after = find_tone(cap_b, format_b.rate, b_at_destroy, b_later);
    ASSERT_TRUE(after.found);
    EXPECT_NEAR(after.frequency, 600.0, 6.0);
    EXPECT_LT(after.longest_gap, 0.005);
    EXPECT_GT(after.seconds, 0.7);
    // And the whole of B's sound so far has no break either.
    const Tone whole = find_tone(cap_b, format_b.rate, 0, b_later);
    EXPECT_LT(whole.longest_gap, 0.005) << describe(whole, format_b.rate);
}

// ---- Streams joined from recordings -------------------------------------------------

// Two MPEG-TS recordings joined with cat, as joined captures are: the sound
// changes its layout, rate or timestamps where they meet.
struct Joined {
    const char* name;
    const char* first_args;
    const char* second_args;
};

std::ostream& operator<<(std::ostream& out, const Joined& j) {
    return out << j.name;
}

std::string joined_ts(const Joined& j) {
    const std::string tone = "-f lavfi -i sine=frequency=1000:duration=1.5:sample_rate=";
    const std::string a =
        qvx_test::generate_media(std::string("join_") + j.name + "_a.ts", tone + j.first_args);
    const std::string b =
        qvx_test::generate_media(std::string("join_") + j.name + "_b.ts", tone + j.second_args);
    const std::string path = qvx_test::media_dir() + "/join_" + j.name + ".ts";
    std::ofstream out(path, std::ios::binary);
    out << std::ifstream(a, std::ios::binary).rdbuf() << std::ifstream(b, std::ios::binary).rdbuf();
    return path;
}

class JoinedRecordings : public testing::TestWithParam<Joined> {};

// The sound goes on across the join as one tone, the position counts the
// sound played, and the block ends at the end of it.
TEST_P(JoinedRecordings, PlayOnAsOneToneAndEnd) {
    const std::string media = joined_ts(GetParam());
    const std::string path = capture_path(GetParam().name);
    capture_to(path);
    LogCapture log;
    DeviceFormat device;
    float position = 0.0f;
    float after_join = 0.0f;
    {
        PluginHandle plugin;
        const int id = plugin->create_block(media.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        plugin->set_volume(id, 1.0f);
        const auto start = Clock::now();
        ASSERT_TRUE(plugin->play_block(id, false, true));
        ASSERT_TRUE(wait_for_device_format(log, &device)) << log.dump();
        std::this_thread::sleep_until(start + 2300ms);
        after_join = plugin->get_position(id);
        EXPECT_TRUE(wait_for_tone_end(path, device.rate)) << log.dump();
        EXPECT_TRUE(wait_until([&] { return plugin->update_block(id); }, 5s)) << log.dump();
        position = plugin->get_position(id);
        plugin->destroy_block(id);
    }
    const std::vector<int16_t> samples = read_capture(path);
    std::remove(path.c_str());
    const Tone tone = find_tone(samples, device.rate);
    ASSERT_TRUE(tone.found);
    const double buffer_seconds = static_cast<double>(device.samples) / device.rate;
    EXPECT_LT(tone.longest_gap, 0.1) << describe(tone, device.rate);
    EXPECT_NEAR(tone.seconds, 3.0, 0.1 + buffer_seconds) << describe(tone, device.rate);
    EXPECT_NEAR(tone.frequency, 1000.0, 15.0) << describe(tone, device.rate);
    // Past the join the position counts the sound played, whatever the
    // timestamps do; at the end it is at least the whole input.
    EXPECT_NEAR(after_join, 2.3, 0.4);
    EXPECT_GE(position, 3.0 - 0.25);
}

INSTANTIATE_TEST_SUITE_P(
    Audio, JoinedRecordings,
    testing::Values(Joined{"aac_5_1_then_stereo", "48000 -af aformat=channel_layouts=5.1 -c:a aac",
                           "48000 -ac 2 -c:a aac"},
                    Joined{"aac_stereo_then_mono", "48000 -ac 2 -c:a aac", "48000 -ac 1 -c:a aac"},
                    Joined{"mp2_44100_then_48000", "44100 -ac 2 -c:a mp2", "48000 -ac 2 -c:a mp2"},
                    Joined{"aac_jump_forward_100s", "48000 -ac 2 -c:a aac",
                           "48000 -ac 2 -c:a aac -output_ts_offset 100"}),
    [](const testing::TestParamInfo<Joined>& info) { return std::string(info.param.name); });

// Sound that starts 2 s after the picture plays at its own time, silence
// before it, and the picture meanwhile keeps its own pace.
TEST(AudioCapture, SoundStartingAfterThePicturePlaysAtItsOwnTime) {
    const std::string media = qvx_test::generate_media(
        "late_sound.mkv",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -itsoffset 2 -f lavfi -i "
        "sine=frequency=1000:sample_rate=48000:duration=2 -c:v libx264 -preset veryfast -g 25 "
        "-pix_fmt yuv420p -c:a aac");
    const std::string path = capture_path("late_sound");
    capture_to(path);
    LogCapture log;
    DeviceFormat device;
    int first_second_frames = 0;
    {
        PluginHandle plugin;
        const int id = plugin->create_block(media.c_str(), false);
        ASSERT_NE(id, 0) << log.dump();
        plugin->set_volume(id, 1.0f);
        qvx::Renderer renderer;
        qvx::Texture texture;
        ASSERT_TRUE(plugin->video_create_texture_rgb24(id, &renderer, &texture));
        ASSERT_TRUE(plugin->play_block(id, true, true));
        const auto start = Clock::now();
        while (Clock::now() - start < 4500ms) {
            const int n = plugin->video_update_texture_rgb24(id, &renderer, &texture);
            if (Clock::now() - start < 1s) first_second_frames += n;
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(logged_device_format(log, &device)) << log.dump();
        plugin->destroy_block(id);
    }
    const std::vector<int16_t> samples = read_capture(path);
    std::remove(path.c_str());
    const Tone tone = find_tone(samples, device.rate);
    const double starts_at = static_cast<double>(tone.first) / device.rate;
    ASSERT_TRUE(tone.found);
    EXPECT_NEAR(starts_at, 2.0, 0.15 + static_cast<double>(device.samples) / device.rate);
    EXPECT_LE(first_second_frames, 25 + 8) << "the pictures before the sound came in a burst";
}

}  // namespace
