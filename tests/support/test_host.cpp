#include "test_host.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "host/plugin_library.h"

// Shell commands (the ffmpeg command line that makes the test media) run
// through the C library's pipe; Windows names it differently.
#if defined(_WIN32)
#define qvx_popen _popen
#define qvx_pclose _pclose
#define qvx_pipe_write_mode "wb"
#else
#define qvx_popen popen
#define qvx_pclose pclose
#define qvx_pipe_write_mode "w"
#endif

namespace qvx_test {

// ---- Plug-in loading ---------------------------------------------------------------

namespace {

struct LoadedLibrary {
    LoadedLibrary() {
        std::string error;
        if (!library.load(QVX_PLUGIN_PATH, error)) throw std::runtime_error(error);
    }
    qvx_host::PluginLibrary library;
};

}  // namespace

const qvx_host::PluginLibrary& PluginLibrary::get() {
    static const LoadedLibrary loaded;
    return loaded.library;
}

PluginHandle::PluginHandle(bool start) {
    std::string error;
    if (!create(PluginLibrary::get(), start, error)) throw std::runtime_error(error);
}

// ---- Media -------------------------------------------------------------------------------

std::string media_dir() {
    static const std::string dir = [] {
        const char* override_dir = std::getenv("QVX_TEST_MEDIA_DIR");
        std::string path = override_dir && *override_dir ? override_dir : QVX_TEST_MEDIA_DIR;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::u8path(path), ec);
        return path;
    }();
    return dir;
}

bool run_command(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = qvx_popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    qvx_pclose(pipe);
    return out;
}

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
    return !ec && size > 0;
}

// Writes to a private name first, so that test programs running at once
// never see a half-written file.
std::string tmp_name(const std::string& path) {
    static const std::string process_token = std::to_string(std::random_device{}());
    return path + ".tmp" + process_token;
}

std::string require(const std::string& path) {
    if (!exists(path)) throw std::runtime_error("could not generate " + path);
    return path;
}

}  // namespace

std::string generate_media(const std::string& file_name, const std::string& ffmpeg_args) {
    const std::string path = media_dir() + "/" + file_name;
    if (exists(path)) return path;
    const std::string ext = file_name.substr(file_name.rfind('.') + 1);
    const std::string tmp = tmp_name(path);
    const std::string format = ext == "m4a"   ? std::string("mp4")
                               : ext == "mkv" ? "matroska"
                               : ext == "ts"  ? "mpegts"
                               : ext == "y4m" ? "yuv4mpegpipe"
                                              : ext;
    const std::string command =
        "ffmpeg -nostdin -v error -y " + ffmpeg_args + " -f " + format + " '" + tmp + "'";
    if (run_command(command)) std::rename(tmp.c_str(), path.c_str());
    std::remove(tmp.c_str());
    return require(path);
}

std::string av_clip() {
    return generate_media(
        "av.mp4",
        "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
        "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -shortest");
}

std::string video_only_clip() {
    return generate_media("video_only.mp4",
                          "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
                          "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p");
}

std::string audio_only_clip() {
    return generate_media("audio_only.m4a",
                          "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 -c:a aac");
}

std::string subtitle_only_file() {
    const std::string srt = media_dir() + "/subtitle.srt";
    if (!exists(srt)) {
        const std::string tmp = tmp_name(srt);
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fputs("1\n00:00:00,000 --> 00:00:01,000\nnothing to play\n", f);
            std::fclose(f);
            std::rename(tmp.c_str(), srt.c_str());
        }
    }
    return require(srt);
}

std::string rotated_clip() {
    // Stream copy: re-encoding would drop the display matrix.
    const std::string source = video_only_clip();
    return generate_media("rotated_copy.mp4",
                          "-i '" + source + "' -c copy -metadata:s:v:0 rotate=90");
}

std::string odd_size_clip() {
    // testsrc keeps odd sizes (testsrc2 rounds them to even).
    return generate_media(
        "odd_641x361_testsrc.mkv",
        "-f lavfi -i testsrc=size=641x361:rate=30:duration=1 -c:v ffv1 -pix_fmt yuv420p");
}

std::string truncated_clip() {
    const std::string path = media_dir() + "/truncated.mp4";
    if (exists(path)) return path;
    const std::string full =
        generate_media("faststart.mp4",
                       "-f lavfi -i testsrc2=size=320x240:rate=30:duration=3 "
                       "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
                       "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -shortest "
                       "-movflags +faststart");
    const std::string tmp = tmp_name(path);
    {
        std::ifstream in(std::filesystem::u8path(full), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream out(std::filesystem::u8path(tmp), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() * 4 / 10));
    }
    std::rename(tmp.c_str(), path.c_str());
    return require(path);
}

std::string random_bytes_file() {
    const std::string path = media_dir() + "/random.bin";
    if (exists(path)) return path;
    const std::string tmp = tmp_name(path);
    std::mt19937 rng(1234);
    std::string bytes(64 * 1024, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::rename(tmp.c_str(), path.c_str());
    return require(path);
}

std::string missing_file() {
    return media_dir() + "/no/such/file.mp4";
}

// ---- Indexed clips ---------------------------------------------------------------

namespace {

constexpr int index_bits = 10;

void draw_index(std::vector<uint8_t>& gray, int w, int h, int index) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int bit = x * index_bits / w;
            gray[static_cast<size_t>(y) * w + x] = ((index >> bit) & 1) ? 235 : 16;
        }
    }
}

template <typename Sample>
int read_bands(Sample sample, int width, int height) {
    int index = 0;
    const int y = height / 2;
    for (int bit = 0; bit < index_bits; ++bit) {
        const int x = (2 * bit + 1) * width / (2 * index_bits);
        const int v = sample(x, y);
        if (v > 170) {
            index |= 1 << bit;
        } else if (v > 80) {
            return -1;  // neither black nor white: not a clean frame
        }
    }
    return index;
}

}  // namespace

std::string indexed_clip(const IndexedClip& clip) {
    std::ostringstream name;
    name << "indexed2_" << clip.width << "x" << clip.height << "_" << clip.fps << "fps_"
         << clip.frames << "f_g" << clip.gop << "_" << clip.codec << (clip.with_audio ? "_a" : "")
         << "." << clip.container;
    const std::string path = media_dir() + "/" + name.str();
    if (exists(path)) return path;
    const std::string tmp = tmp_name(path);
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt gray -s " << clip.width << "x"
        << clip.height << " -r " << clip.fps << " -i - ";
    if (clip.with_audio) {
        const double seconds = static_cast<double>(clip.frames) / clip.fps;
        cmd << "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" << seconds
            << " -c:a aac ";
    }
    cmd << "-c:v " << clip.codec << " -g " << clip.gop << " -pix_fmt yuv420p ";
    // Key frames exactly every gop frames: no scene-cut key frames.
    if (clip.codec == "libx264") cmd << "-preset veryfast -crf 16 -bf 2 -sc_threshold 0 ";
    cmd << "-f " << (clip.container == "mkv" ? "matroska" : clip.container) << " '" << tmp << "'";
    FILE* pipe = qvx_popen(cmd.str().c_str(), qvx_pipe_write_mode);
    if (pipe != nullptr) {
        std::vector<uint8_t> gray(static_cast<size_t>(clip.width) * clip.height);
        for (int i = 0; i < clip.frames; ++i) {
            draw_index(gray, clip.width, clip.height, i);
            std::fwrite(gray.data(), 1, gray.size(), pipe);
        }
        if (qvx_pclose(pipe) == 0) std::rename(tmp.c_str(), path.c_str());
    }
    std::remove(tmp.c_str());
    return require(path);
}

int read_index_luma(const uint8_t* y, int width, int height) {
    return read_bands(
        [&](int x, int row) { return static_cast<int>(y[static_cast<size_t>(row) * width + x]); },
        width, height);
}

int read_index_rgb(const uint8_t* rgb, int width, int height) {
    return read_bands(
        [&](int x, int row) {
            return static_cast<int>(rgb[(static_cast<size_t>(row) * width + x) * 3 + 1]);
        },
        width, height);
}

}  // namespace qvx_test
