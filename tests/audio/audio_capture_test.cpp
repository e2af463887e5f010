// What the plug-in really plays, captured with SDL's disk audio driver: the
// driver writes every sample a device plays, signed 16-bit stereo at the
// device rate, one device buffer after the other, to the file named by
// SDL_DISKAUDIOFILE, in real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "test_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

// Interleaved stereo samples of a capture or a raw file, whole frames only.
std::vector<int16_t> read_samples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 4 * 2);
    // An empty vector's data() may be null, which memcpy must never get.
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// A device's obtained format, as logged when it opened.
struct Device {
    int format = 0, channels = 0, samples = 0, rate = 0;
};

// A tone found in frames [from, to) of a capture. When the decoder falls
// behind the device (a loaded machine), the callback hands over the rest of
// its buffer as silence and the sound goes on at the start of the next one:
// such a starved gap ends on a buffer boundary and loses no sound. Any
// other gap inside the tone is sound lost or delayed.
struct Tone {
    bool found = false;
    size_t first = 0, last = 0;  // first and last frame above a quarter of the peak
    double seconds = 0;          // of sound from first to last, starved gaps left out
    double frequency = 0;        // by upward zero crossings of the louder channel
    double longest_gap = 0;      // seconds, starved gaps left out
    int peak_left = 0, peak_right = 0;
};

std::ostream& operator<<(std::ostream& out, const Tone& t) {
    return out << "frames " << t.first << ".." << t.last << ", " << t.seconds << " s, "
               << t.frequency << " Hz, longest gap " << t.longest_gap << " s, peaks " << t.peak_left
               << "/" << t.peak_right;
}

Tone find_tone(const std::vector<int16_t>& s, const Device& device, size_t from = 0,
               size_t to = SIZE_MAX) {
    Tone t;
    to = std::min(to, s.size() / 2);
    for (size_t i = from; i < to; ++i) {
        t.peak_left = std::max<int>(t.peak_left, std::abs(s[2 * i]));
        t.peak_right = std::max<int>(t.peak_right, std::abs(s[2 * i + 1]));
    }
    const int threshold = std::max(t.peak_left, t.peak_right) / 4;
    if (threshold < 64 || device.samples <= 0) return t;
    auto loud = [&](size_t i) {
        return std::abs(s[2 * i]) > threshold || std::abs(s[2 * i + 1]) > threshold;
    };
    for (t.first = from; !loud(t.first);) ++t.first;
    for (t.last = to - 1; !loud(t.last);) --t.last;
    t.found = true;
    // Past a starved buffer the first loud sample comes within 0.2 ms.
    const size_t slack = static_cast<size_t>(device.rate) / 5000 + 2;
    const int channel = t.peak_left >= t.peak_right ? 0 : 1;
    size_t crossings = 0, gap = 0, starved = 0, longest = 0;
    for (size_t i = t.first + 1; i <= t.last; ++i) {
        crossings += s[2 * (i - 1) + channel] < 0 && s[2 * i + channel] >= 0;
        if (!loud(i)) {
            ++gap;
            continue;
        }
        if (gap > slack && i % static_cast<size_t>(device.samples) <= slack) {
            starved += gap;
        } else {
            longest = std::max(longest, gap);
        }
        gap = 0;
    }
    t.seconds = static_cast<double>(t.last - t.first + 1 - starved) / device.rate;
    t.frequency = crossings / t.seconds;
    t.longest_gap = static_cast<double>(longest) / device.rate;
    return t;
}

class AudioCapture : public ::testing::Test {
protected:
    // The devices opened from now on play into the disk driver's file (SDL
    // reads these when a device opens).
    AudioCapture() {
        std::remove(path.c_str());
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
        unsetenv("SDL_DISKAUDIODELAY");
    }
    ~AudioCapture() override { std::remove(path.c_str()); }

    // Plays the sound of the media (and its picture, if `video`) until its
    // device is there.
    int play(const std::string& media, Device* d, float volume = 1.0f, bool video = false) {
        const int id = plugin->create_block(media.c_str(), false);
        plugin->set_volume(id, volume);
        EXPECT_TRUE(plugin->play_block(id, video, true)) << log.dump();
        EXPECT_TRUE(wait_until(
            [&] {
                for (const LogLine& line : log.lines()) {
                    if (std::sscanf(line.text.c_str(),
                                    "[FFmpeg] SDL2 - actual specs: format: %d, channels: %d, "
                                    "samples: %d, sampling rate: %d",
                                    &d->format, &d->channels, &d->samples, &d->rate) == 4)
                        return true;
                }
                return false;
            },
            10s))
            << log.dump();
        return id;
    }

    // Waits until the capture holds a tone (from frame `from` on) followed
    // by `after` seconds of silence; the tone.
    Tone wait_for_tone(const Device& d, size_t from = 0, double after = 0.4) {
        Tone t;
        EXPECT_TRUE(wait_until(
            [&] {
                const std::vector<int16_t> s = read_samples(path);
                t = find_tone(s, d, from);
                return t.found && s.size() / 2 - t.last > static_cast<size_t>(after * d.rate);
            },
            20s))
            << "no tone that ended\n"
            << log.dump();
        return t;
    }
    size_t captured_frames() const { return read_samples(path).size() / 2; }

    const std::string path = testing::TempDir() + "qvx_capture_" + std::to_string(getpid());
    LogCapture log;
    PluginHandle plugin;
};

// ---- A tone plays as itself, whatever its source ------------------------------------

std::string tone(int rate, const char* seconds = "2") {
    return "-f lavfi -i sine=frequency=1000:sample_rate=" + std::to_string(rate) +
           ":duration=" + seconds + " ";
}

// One file, or (`joined` given) two MPEG-TS recordings joined end to end, as
// joined captures are: the sound changes its layout, rate or timestamps
// where they meet.
struct Source {
    const char* name;
    std::string args;
    std::string joined = "";
};

class SourceFormats : public AudioCapture, public testing::WithParamInterface<Source> {};

// Every source comes out as a stereo S16 tone of its own frequency and
// length, mono and centre sound reaching both speakers alike: nothing cut,
// repeated or delayed on the way (a join may cost a coded frame). The
// position counts the sound played, whatever the timestamps do, and the
// block ends once its last sound was heard.
TEST_P(SourceFormats, PlaysAsStereoToneOfTheClipsLength) {
    const Source& s = GetParam();
    const bool joined = !s.joined.empty();
    std::string media = generate_media(std::string(s.name) + (joined ? "_a.ts" : ""), s.args);
    if (joined) {
        const std::string second = generate_media(std::string(s.name) + "_b.ts", s.joined);
        std::ofstream(media + ".joined.ts", std::ios::binary)
            << std::ifstream(media, std::ios::binary).rdbuf()
            << std::ifstream(second, std::ios::binary).rdbuf();
        media += ".joined.ts";
    }
    const double seconds = joined ? 3.0 : 2.0, slack = joined ? 0.1 : 0.0;
    Device d;
    const auto start = std::chrono::steady_clock::now();
    const int id = play(media, &d);
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds - 0.7));
    EXPECT_NEAR(plugin->get_position(id), seconds - 0.7, 0.4);
    const Tone tone = wait_for_tone(d);
    EXPECT_TRUE(wait_until([&] { return plugin->update_block(id); }, 5s)) << log.dump();
    // At the end, at least the whole input (a join's timestamps may say more).
    EXPECT_GE(plugin->get_position(id), seconds - 0.1 - slack);
    EXPECT_LE(plugin->get_position(id), joined ? 1e9 : seconds + 0.1);
    EXPECT_EQ(d.format, 0x8010);  // AUDIO_S16SYS on a little-endian machine
    EXPECT_EQ(d.channels, 2);
    EXPECT_NEAR(tone.seconds, seconds, 0.02 + slack) << tone;
    EXPECT_NEAR(tone.frequency, 1000.0, 15.0) << tone;
    EXPECT_LT(tone.longest_gap, 0.005 + slack) << tone;
    EXPECT_NEAR(tone.peak_left, tone.peak_right, std::max(tone.peak_left, tone.peak_right) / 10)
        << tone;
}

const std::string aac = "-c:a aac", surround = "-af aformat=channel_layouts=5.1 ";

INSTANTIATE_TEST_SUITE_P(
    Audio, SourceFormats,
    testing::Values(
        Source{"tone_aac_44100_stereo.mp4", tone(44100) + "-ac 2 " + aac},
        Source{"tone_pcm_22050_5_1.wav", tone(22050) + surround + "-c:a pcm_s16le"},
        Source{"tone_aac_96000_5_1.m4a", tone(96000) + surround + aac},
        Source{"tone_mp3_44100_stereo.mp3", tone(44100) + "-ac 2 -c:a libmp3lame"},
        Source{"tone_pcm_44100_mono_long_frames.mkv",
               "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=2:samples_per_frame="
               "16384 -c:a pcm_s16le"},
        Source{"join_aac_5_1_then_stereo", tone(48000, "1.5") + surround + aac,
               tone(48000, "1.5") + "-ac 2 " + aac},
        Source{"join_aac_stereo_then_mono", tone(48000, "1.5") + "-ac 2 " + aac,
               tone(48000, "1.5") + "-ac 1 " + aac},
        Source{"join_mp2_44100_then_48000", tone(44100, "1.5") + "-ac 2 -c:a mp2",
               tone(48000, "1.5") + "-ac 2 -c:a mp2"},
        Source{"join_aac_jump_forward_100s", tone(48000, "1.5") + "-ac 2 " + aac,
               tone(48000, "1.5") + "-ac 2 " + aac + " -output_ts_offset 100"}),
    [](const auto& info) {
        const std::string name = info.param.name;
        return name.substr(5, name.find('.') - 5);
    });

// ---- Blocks sharing a device ----------------------------------------------------------

// The amplitude of one frequency in frames [from, to) of the left channel.
double amplitude_at(const std::vector<int16_t>& s, int rate, double hz, size_t from, size_t to) {
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        const double phase = 2 * M_PI * hz * static_cast<double>(i) / rate;
        re += s[2 * i] * std::cos(phase);
        im += s[2 * i] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(to - from);
}

// Once SDL opens no more devices, a block shares an open one of its rate,
// and both are heard whole, each at its own volume: while both play the
// capture holds both tones, after the first has ended only the second.
TEST_F(AudioCapture, BlocksWithoutADeviceOfTheirOwnMixIntoAnOpenOne) {
    auto sine = [](int hz, int rate, int seconds) {
        return generate_media("tone_" + std::to_string(hz) + "_" + std::to_string(rate) + "_" +
                                  std::to_string(seconds) + "s.wav",
                              "-f lavfi -i sine=frequency=" + std::to_string(hz) +
                                  ":sample_rate=" + std::to_string(rate) +
                                  ":duration=" + std::to_string(seconds) + " -c:a pcm_s16le");
    };
    const std::string low = sine(1000, 48000, 7), high = sine(2500, 48000, 10),
                      filler = sine(440, 44100, 20);
    Device d;
    play(low, &d);
    const size_t first = wait_for_tone(d, 0, 0.0).first;
    // Silent blocks of another rate take every other device SDL opens, each
    // writing a file of its own.
    const char* const shares = "plays into the open audio device";
    std::vector<std::string> files;
    while (log.count_containing(shares) == 0 && files.size() < 20) {
        files.push_back(path + "_" + std::to_string(files.size()));
        setenv("SDL_DISKAUDIOFILE", files.back().c_str(), 1);
        const size_t opened = log.count_containing("SDL2 - actual specs");
        const int id = plugin->create_block(filler.c_str(), false);
        plugin->set_volume(id, 0.0f);
        ASSERT_TRUE(plugin->play_block(id, false, true));
        ASSERT_TRUE(
            wait_until([&] { return log.count_containing("SDL2 - actual specs") > opened; }, 10s))
            << log.dump();
    }
    ASSERT_EQ(log.count_containing(shares), 1u) << log.dump();
    const size_t start = captured_frames();
    play(high, &d, 0.5f);
    ASSERT_TRUE(wait_until([&] { return log.count_containing(shares) == 2; }, 10s));
    ASSERT_LT(start, first + 48000 * 5) << "the other blocks took too long to start";
    EXPECT_TRUE(wait_until([&] { return captured_frames() > first + 48000 * 8; }, 20s));
    const std::vector<int16_t> cap = read_samples(path);
    auto amplitude = [&](double hz, size_t from, size_t frames) {
        return amplitude_at(cap, 48000, hz, from, from + frames);
    };
    // Half a second from a second after the high tone's start, then the
    // high tone alone.
    const size_t both = start + 48000, alone = first + 48000 * 72 / 10;
    const double high_alone = amplitude(2500, alone, 38400);
    EXPECT_GT(high_alone, 1000.0);
    EXPECT_LT(amplitude(1000, alone, 38400), high_alone * 0.01);
    EXPECT_NEAR(amplitude(1000, both, 24000), 2 * high_alone, high_alone * 0.1);
    EXPECT_NEAR(amplitude(2500, both, 24000), high_alone, high_alone * 0.05);
    plugin.reset();
    for (const std::string& file : files) std::remove(file.c_str());
}

// ---- Volume and pause ---------------------------------------------------------------

// Volume 1.0 plays the decoded samples exactly, 0.7 scales them by 89/128
// (SDL's mixer, which may round either way), 0 plays silence; out of range
// is clamped, not a number ignored. The volume changes during one playback,
// so the three stretches follow each other.
TEST_F(AudioCapture, VolumeScalesTheDecodedSamples) {
    // Different sounds left and right, so that a swapped, shifted or
    // repeated sample shows.
    const std::string wav = generate_media(
        "volume_stereo_44100.wav",
        "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*1000*t)|0.3*sin(2*PI*1500*t+1):s=44100:d=4:c=stereo' "
        "-c:a pcm_s16le");
    const std::vector<int16_t> ref = read_samples(
        generate_media("volume_stereo_44100.s16le", "-i '" + wav + "' -c:a pcm_s16le -ac 2"));
    const size_t ref_frames = ref.size() / 2;
    Device d;
    const int id = play(wav, &d, 1e9f);
    plugin->set_volume(id, std::nanf(""));
    EXPECT_EQ(log.count_containing("[FFmpeg] set_volume - the volume is not a number"), 1u);
    ASSERT_EQ(d.rate, 44100) << "exact samples need the device at the file's own rate";
    const size_t first = wait_for_tone(d, 0, 0.0).first;
    std::this_thread::sleep_for(900ms);
    plugin->set_volume(id, 0.7f);
    std::this_thread::sleep_for(900ms);
    plugin->set_volume(id, -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(wait_until([&] { return captured_frames() > first + ref_frames + 4410; }, 20s));
    plugin->destroy_block(id);
    const std::vector<int16_t> cap = read_samples(path);

    // Line the capture up with the file at the first loud sample.
    auto first_loud = [](const std::vector<int16_t>& s) {
        size_t i = 0;
        while (2 * i < s.size() && std::abs(s[2 * i]) < 1000 && std::abs(s[2 * i + 1]) < 1000) ++i;
        return i;
    };
    const size_t r0 = first_loud(ref), c0 = first_loud(cap);
    ASSERT_TRUE(c0 >= r0 && cap.size() / 2 >= c0 - r0 + ref_frames) << "the clip was cut";
    const size_t offset = c0 - r0;
    // Each frame matches the current volume or a later one.
    auto scaled = [](int sample) { return sample * 89 / 128; };  // 0.7: level 89
    size_t stretch[3] = {0, 0, 0};
    for (size_t i = 0, state = 0; i < ref_frames; ++i) {
        const int rl = ref[2 * i], rr = ref[2 * i + 1];
        const int cl = cap[2 * (offset + i)], cr = cap[2 * (offset + i) + 1];
        const bool matches[3] = {cl == rl && cr == rr,
                                 std::abs(cl - scaled(rl)) <= 1 && std::abs(cr - scaled(rr)) <= 1,
                                 cl == 0 && cr == 0};
        while (state < 3 && !matches[state]) ++state;
        ASSERT_LT(state, 3u) << "frame " << i << " plays as " << cl << "/" << cr << ", decoded "
                             << rl << "/" << rr << " (at 1.0: " << stretch[0]
                             << ", at 0.7: " << stretch[1] << ")";
        ++stretch[state];
    }
    for (size_t n : stretch) EXPECT_GT(n, 44100u / 4);
    for (size_t i = offset + ref_frames; i < cap.size() / 2; ++i)
        ASSERT_TRUE(cap[2 * i] == 0 && cap[2 * i + 1] == 0) << "sound after the clip at " << i;
}

// A paused block plays silence; resumed, it goes on where it stopped: at
// most the unplayed part of one decoded frame is lost, nothing is repeated.
TEST_F(AudioCapture, PausedBlockIsSilentAndResumesWhereItStopped) {
    Device d;
    const int id =
        play(generate_media("tone_pcm_44100_mono_4s.wav", tone(44100, "4") + "-c:a pcm_s16le"), &d);
    wait_for_tone(d, 0, 0.0);
    std::this_thread::sleep_for(800ms);
    plugin->set_paused(id, true);
    // What the device had already taken may still be on its way to the file.
    std::this_thread::sleep_for(400ms);
    const size_t paused_from = captured_frames();
    std::this_thread::sleep_for(1000ms);
    const size_t paused_to = captured_frames();
    plugin->set_paused(id, false);
    const Tone after = wait_for_tone(d, paused_to);
    const std::vector<int16_t> cap = read_samples(path);
    ASSERT_GT(paused_to - paused_from, static_cast<size_t>(d.rate / 5)) << "the device stopped";
    for (size_t i = paused_from; i < paused_to; ++i)
        ASSERT_TRUE(cap[2 * i] == 0 && cap[2 * i + 1] == 0) << "sound while paused at " << i;
    const Tone before = find_tone(cap, d, 0, paused_from);
    EXPECT_NEAR(after.frequency, 1000.0, 10.0) << after;
    EXPECT_LT(std::max(before.longest_gap, after.longest_gap), 0.005) << before << "; " << after;
    EXPECT_GT(before.seconds + after.seconds, 4.0 - 0.1) << "sound lost at the pause";
    EXPECT_LT(before.seconds + after.seconds, 4.0 + 0.02) << "sound repeated after the pause";
}

// At a start the sound waits for the first picture, so that the two begin
// together; but a picture that never comes (here no frame of the video
// decodes: its key frames were cut out) must not silence the block. The
// sound starts on its own within about a second, whole.
TEST_F(AudioCapture, SoundDoesNotWaitForAPictureThatNeverComes) {
    const std::string media = generate_media(
        "tone_video_without_key_frames.mp4",
        "-f lavfi -i testsrc2=size=320x240:rate=30:duration=2 " + tone(48000) +
            "-c:v libx264 -preset veryfast -g 300 -bsf:v filter_units=remove_types=5 " + aac +
            " -ac 2");
    Device d;
    const int id = play(media, &d, 1.0f, true);
    const Tone t = wait_for_tone(d);
    EXPECT_LT(static_cast<double>(t.first) / d.rate, 1.5) << t;
    EXPECT_NEAR(t.seconds, 2.0, 0.02) << t;
    EXPECT_LT(t.longest_gap, 0.005) << t;
    EXPECT_EQ(plugin->get_num_decoded_frames(id), 0u);
}

}  // namespace
