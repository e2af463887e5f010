// What reaches the host's textures from the pixel formats decoders give
// out: every source format, at odd widths and widths whose chroma is not a
// multiple of 16, into each of the three outputs, matches FFmpeg's own
// conversion of the same frame (colour matrix and range included); and the
// frames a block holds stay within their memory and size bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_host.h"

namespace {

using namespace qvx_test;
using namespace std::chrono_literals;

const char* const outputs[] = {"rgb24", "yuv420p", "nv12"};

// One block showing its frames in host textures, in one output format.
struct Host {
    Host(PluginHandle& plugin, const std::string& output) : plugin(plugin), output(output) {}
    ~Host() {
        if (id != 0) plugin->destroy_block(id);
    }

    bool open(const std::string& path) {
        if (!plugin->set_parameter_string("video_pixel_fmt", output.c_str())) return false;
        id = plugin->create_block(path.c_str(), false);
        if (id == 0) return false;
        qvx::Texture* planes[3] = {&textures[0], &textures[1], &textures[2]};
        if (output == "rgb24") return plugin->video_create_texture_rgb24(id, &renderer, planes[0]);
        if (output == "yuv420p")
            return plugin->video_create_textures_yuv420p(id, &renderer, planes);
        return plugin->video_create_textures_nv12(id, &renderer, planes);
    }

    bool update() {
        qvx::Texture* planes[3] = {&textures[0], &textures[1], &textures[2]};
        if (output == "rgb24") return plugin->video_update_texture_rgb24(id, &renderer, planes[0]);
        if (output == "yuv420p")
            return plugin->video_update_textures_yuv420p(id, &renderer, planes, nullptr);
        return plugin->video_update_textures_nv12(id, &renderer, planes, nullptr);
    }

    const qvx::TextureData& plane(int k) { return *textures[k].get_data_ptr(); }

    PluginHandle& plugin;
    std::string output;
    int id = 0;
    qvx::Renderer renderer;
    qvx::Texture textures[3];
};

// The packed planes of an output: bytes per row and rows.
struct Plane {
    int row_bytes;
    int rows;
    int ref_row_bytes;  // FFmpeg's own layout rounds chroma up
};

std::vector<Plane> planes_of(const std::string& output, int w, int h) {
    const int cw = (w + 1) / 2;
    if (output == "rgb24") return {{3 * w, h, 3 * w}};
    if (output == "yuv420p") return {{w, h, w}, {w / 2, h / 2, cw}, {w / 2, h / 2, cw}};
    return {{w, h, w}, {2 * (w / 2), h / 2, 2 * cw}};
}

// The worst column of a delivered plane against FFmpeg's: the mean
// difference over its rows. A column left unwritten or a sheared row shows
// up here even where the picture's mean hardly moves.
double worst_column(const std::vector<uint8_t>& delivered, const uint8_t* reference,
                    const Plane& p) {
    double worst = 0;
    for (int x = 0; x < p.row_bytes; ++x) {
        long sum = 0;
        for (int y = 0; y < p.rows; ++y)
            sum +=
                std::abs(static_cast<int>(delivered[static_cast<size_t>(y) * p.row_bytes + x]) -
                         static_cast<int>(reference[static_cast<size_t>(y) * p.ref_row_bytes + x]));
        worst = std::max(worst, static_cast<double>(sum) / p.rows);
    }
    return worst;
}

struct Source {
    std::string name;  // also the file name's stem
    std::string container;
    std::string codec_args;
    int width;
    int height;
};

std::string make_clip(const Source& s) {
    return generate_media("conv_" + s.name + "." + s.container,
                          "-f lavfi -i testsrc=size=" + std::to_string(s.width) + "x" +
                              std::to_string(s.height) + ":rate=25 -frames:v 3 " + s.codec_args);
}

void PrintTo(const Source& s, std::ostream* out) {
    *out << s.name;
}

class Conversion : public ::testing::TestWithParam<Source> {};

// The first picture in each output is FFmpeg's own conversion of the first
// frame, with the same scaler filter, within a few levels in every column.
TEST_P(Conversion, EveryOutputMatchesFfmpegsOwnConversion) {
    const Source& s = GetParam();
    const std::string clip = make_clip(s);
    LogCapture log;
    PluginHandle plugin;
    ASSERT_TRUE(plugin->set_parameter_string("sws_scale_filter", "SWS_FAST_BILINEAR"));
    for (const char* output : outputs) {
        SCOPED_TRACE(output);
        Host host(plugin, output);
        ASSERT_TRUE(host.open(clip)) << log.dump();
        ASSERT_TRUE(plugin->play_block(host.id, true, false));
        bool delivered = false;
        ASSERT_TRUE(wait_until([&] { return delivered = delivered || host.update(); }, 20s))
            << log.dump();

        const std::string reference = command_output(
            "ffmpeg -nostdin -v error -i '" + clip +
            "' -frames:v 1 -sws_flags fast_bilinear -f rawvideo -pix_fmt " + output + " -");
        const std::vector<Plane> planes = planes_of(output, s.width, s.height);
        size_t offset = 0;
        for (size_t k = 0; k < planes.size(); ++k) {
            const Plane& p = planes[k];
            const qvx::TextureData& data = host.plane(static_cast<int>(k));
            EXPECT_EQ(static_cast<int>(data.width) * qvx::TextureData::bytes_per_pixel(data.format),
                      p.row_bytes)
                << "plane " << k;
            ASSERT_EQ(static_cast<int>(data.height), p.rows) << "plane " << k;
            ASSERT_GE(reference.size(), offset + static_cast<size_t>(p.ref_row_bytes) * p.rows);
            const auto* ref = reinterpret_cast<const uint8_t*>(reference.data()) + offset;
            EXPECT_LE(worst_column(data.pixels, ref, p), 4.0) << "plane " << k;
            offset +=
                static_cast<size_t>(p.ref_row_bytes) * ((k == 0) ? p.rows : (s.height + 1) / 2);
        }
    }
    // Full-range sources get a scaler made once, not one per frame.
    EXPECT_EQ(log.count_containing("deprecated pixel format"), 0u) << log.dump();
}

const std::string raw = "-c:v rawvideo -pix_fmt ";
// BT.709, as nearly all HD video is flagged.
const std::string bt709 = " -colorspace bt709 -color_primaries bt709 -color_trc bt709";

INSTANTIATE_TEST_SUITE_P(
    Sources, Conversion,
    ::testing::Values(Source{"yuv420p_641x361", "avi", raw + "yuv420p", 641, 361},
                      Source{"nv12_854x480", "avi", raw + "nv12", 854, 480},
                      Source{"nv21_176x144", "nut", raw + "nv21", 176, 144},
                      Source{"nv12_720x480", "mkv", raw + "nv12", 720, 480},
                      Source{"yuv422p_641x361", "nut", raw + "yuv422p", 641, 361},
                      Source{"yuv444p_854x480", "nut", raw + "yuv444p", 854, 480},
                      Source{"yuv420p10le_641x361", "nut", raw + "yuv420p10le", 641, 361},
                      Source{"rgb24_850x480", "nut", raw + "rgb24", 850, 480},
                      Source{"bgr24_641x361", "avi", raw + "bgr24", 641, 361},
                      Source{"bgr0_176x144", "nut", raw + "bgr0", 176, 144},
                      Source{"gray_641x361", "mkv", raw + "gray", 641, 361},
                      Source{"pal8_854x480", "avi", raw + "pal8", 854, 480},
                      Source{"h264_bt709_854x480", "mp4",
                             "-c:v libx264 -preset ultrafast -pix_fmt yuv420p" + bt709, 854, 480},
                      Source{"h264_full_range_850x480", "mp4",
                             "-c:v libx264 -preset ultrafast -pix_fmt yuvj420p -color_range pc" +
                                 bt709,
                             850, 480},
                      Source{"mjpeg_641x361", "avi", "-c:v mjpeg -q:v 3", 641, 361}),
    [](const ::testing::TestParamInfo<Source>& info) { return info.param.name; });

}  // namespace

// ---- Bounds -------------------------------------------------------------------------

// Pumps updates with no pause until none is waiting; the count delivered.
int drain(Host& host) {
    int n = 0;
    while (host.update()) ++n;
    return n;
}

// A host that does not draw leaves converted frames waiting in the block;
// they are bounded by bytes (192 MiB, at least 3 frames), not only by count.
TEST(FrameBounds, FramesWaitingForTheHostStayWithinTheMemoryBound) {
    const int w = 2560, h = 1440;
    const std::string clip =
        generate_media("bound_2560x1440.mp4",
                       "-f lavfi -i testsrc=size=2560x1440:rate=10 -frames:v 40 -c:v libx264 "
                       "-preset ultrafast -pix_fmt yuv420p");
    LogCapture log;
    PluginHandle plugin;
    Host host(plugin, "rgb24");
    ASSERT_TRUE(host.open(clip));
    ASSERT_TRUE(plugin->play_block(host.id, true, false));
    // Every frame decoded and the last one converted: what waits is what
    // the bound let the pool keep.
    ASSERT_TRUE(wait_until([&] { return plugin->get_num_decoded_frames(host.id) >= 40; }, 60s));
    std::this_thread::sleep_for(500ms);
    const size_t frame_bytes = static_cast<size_t>(w) * h * 3;
    const int bound = static_cast<int>(std::max<size_t>(3, (192u << 20) / frame_bytes));
    const int waiting = drain(host);
    EXPECT_GE(waiting, 3);
    EXPECT_LE(waiting, bound + 1);
}

// A stream that grows beyond the picture size limit mid-stream: the frames
// within it are shown, the larger ones refused with one line.
TEST(FrameBounds, PicturesBeyondTheSizeLimitAreRefusedWithOneLine) {
    const std::string path = media_dir() + "/grows_320_to_641.ts";
    const std::string small = generate_media(
        "grows_part1.ts",
        "-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 20 -c:v libx264 -preset ultrafast");
    const std::string large = generate_media(
        "grows_part2.ts",
        "-f lavfi -i testsrc=size=641x361:rate=25 -frames:v 20 -c:v libx264 -preset ultrafast "
        "-output_ts_offset 0.8");
    ASSERT_TRUE(run_command("cat '" + small + "' '" + large + "' > '" + path + "'"));

    LogCapture log;
    PluginHandle plugin;
    ASSERT_TRUE(plugin->set_parameter_int("max_video_width", 400));
    ASSERT_TRUE(plugin->set_parameter_int("max_video_height", 300));
    Host host(plugin, "yuv420p");
    ASSERT_TRUE(host.open(path)) << log.dump();
    ASSERT_TRUE(plugin->play_block(host.id, true, false));
    int shown = 0;
    wait_until(
        [&] {
            shown += drain(host);
            return plugin->get_num_decoded_frames(host.id) >= 40;
        },
        20s);
    shown += drain(host);
    EXPECT_GT(shown, 0);
    EXPECT_LE(shown, 20);
    EXPECT_EQ(host.plane(0).width, 320u);
    EXPECT_EQ(log.count_containing("641x361 picture is beyond the 400x300 limit"), 1u)
        << log.dump();
}
