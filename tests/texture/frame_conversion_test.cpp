// What reaches the host's textures from the pixel formats decoders give
// out: every source format, at odd widths and widths whose chroma is not a
// multiple of 16, into each of the three outputs, matches FFmpeg's own
// conversion of the same frame (colour matrix and range included); and the
// frames a block holds stay within their memory and size bounds.
#include <algorithm>
#include <cstdlib>

#include "../pipeline/render_host.h"

namespace {

using namespace qvx_test;

// The packed planes of an output: bytes per row and rows, and the bytes
// per row of FFmpeg's own layout, which rounds chroma up.
struct Plane {
    int row_bytes, rows, ref_row_bytes;
};

std::vector<Plane> planes_of(Format output, int w, int h) {
    const int cw = (w + 1) / 2;
    if (output == Format::rgb24) return {{3 * w, h, 3 * w}};
    if (output == Format::yuv420p) return {{w, h, w}, {w / 2, h / 2, cw}, {w / 2, h / 2, cw}};
    return {{w, h, w}, {2 * (w / 2), h / 2, 2 * cw}};
}

// The worst column of a delivered plane against FFmpeg's: the mean
// difference over its rows. A column left unwritten or a sheared row shows
// up here even where the picture's mean hardly moves.
double worst_column(const qvx::PixelStorage& delivered, const uint8_t* reference, const Plane& p) {
    double worst = 0;
    for (int x = 0; x < p.row_bytes; ++x) {
        long sum = 0;
        for (int y = 0; y < p.rows; ++y)
            sum += std::abs(delivered[size_t(y) * p.row_bytes + x] -
                            reference[y * p.ref_row_bytes + x]);
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

class Conversion : public ::testing::TestWithParam<Source> {};

// The first picture in each output is FFmpeg's own conversion of the first
// frame, with the same scaler filter, within a few levels in every column.
TEST_P(Conversion, EveryOutputMatchesFfmpegsOwnConversion) {
    const Source& s = GetParam();
    const std::string clip =
        generate_media("conv_" + s.name + "." + s.container,
                       "-f lavfi -i testsrc=size=" + std::to_string(s.width) + "x" +
                           std::to_string(s.height) + ":rate=25 -frames:v 3 " + s.codec_args);
    LogCapture log;
    PluginHandle plugin;
    ASSERT_TRUE(plugin->set_parameter_string("sws_scale_filter", "SWS_FAST_BILINEAR"));
    for (Format output : {Format::rgb24, Format::yuv420p, Format::nv12}) {
        SCOPED_TRACE(format_name(output));
        RenderHost host(plugin, output);
        ASSERT_TRUE(host.open(clip, false)) << log.dump();
        ASSERT_TRUE(host.play());
        ASSERT_TRUE(host.pump_frames(1, 20s)) << log.dump();

        const std::string reference =
            command_output("ffmpeg -nostdin -v error -i '" + clip +
                           "' -frames:v 1 -sws_flags fast_bilinear -f rawvideo -pix_fmt " +
                           format_name(output) + " -");
        const std::vector<Plane> planes = planes_of(output, s.width, s.height);
        size_t offset = 0;
        for (size_t k = 0; k < planes.size(); ++k) {
            const Plane& p = planes[k];
            const qvx::TextureData& data = host.plane(static_cast<int>(k));
            EXPECT_EQ(int(data.width) * qvx::TextureData::bytes_per_pixel(data.format), p.row_bytes)
                << "plane " << k;
            ASSERT_EQ(static_cast<int>(data.height), p.rows) << "plane " << k;
            ASSERT_GE(reference.size(), offset + static_cast<size_t>(p.ref_row_bytes) * p.rows);
            const auto* ref = reinterpret_cast<const uint8_t*>(reference.data()) + offset;
            EXPECT_LE(worst_column(data.pixels, ref, p), 4.0) << "plane " << k;
            offset += static_cast<size_t>(p.ref_row_bytes) * (k == 0 ? p.rows : (s.height + 1) / 2);
        }
    }
    // Full-range sources get a scaler made once, not one per frame.
    EXPECT_EQ(log.count_containing("deprecated pixel format"), 0u) << log.dump();
}

const std::string raw = "-c:v rawvideo -pix_fmt ";
// BT.709, as nearly all HD video is flagged.
const std::string bt709 = " -colorspace bt709 -color_primaries bt709 -color_trc bt709";
const std::string x264 = "-c:v libx264 -preset ultrafast -pix_fmt ";

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
                      Source{"h264_bt709_854x480", "mp4", x264 + "yuv420p" + bt709, 854, 480},
                      Source{"h264_full_range_850x480", "mp4",
                             x264 + "yuvj420p -color_range pc" + bt709, 850, 480},
                      Source{"mjpeg_641x361", "avi", "-c:v mjpeg -q:v 3", 641, 361}),
    [](const auto& info) { return info.param.name; });

// Takes every frame waiting, with no pause; how many there were.
int drain(RenderHost& host) {
    int n = 0;
    while (host.update()) ++n;
    return n;
}

// A host that does not draw leaves converted frames waiting in the block;
// they are bounded by bytes (192 MiB, at least 3 frames), not only by count.
TEST(FrameBounds, FramesWaitingForTheHostStayWithinTheMemoryBound) {
    const std::string clip = generate_media(
        "bound_2560x1440.mp4",
        "-f lavfi -i testsrc=size=2560x1440:rate=10 -frames:v 40 " + x264 + "yuv420p");
    PluginHandle plugin;
    RenderHost host(plugin, Format::rgb24);
    ASSERT_TRUE(host.open(clip, false));
    ASSERT_TRUE(host.play());
    // Every frame decoded and the last one converted: what waits is what
    // the bound let the pool keep.
    ASSERT_TRUE(wait_until([&] { return plugin->get_num_decoded_frames(host.id) >= 40; }, 60s));
    std::this_thread::sleep_for(500ms);
    const int waiting = drain(host);
    EXPECT_GE(waiting, 3);
    EXPECT_LE(waiting, std::max(3, int((192u << 20) / (2560u * 1440 * 3))) + 1);
}

// A stream that grows beyond the picture size limit mid-stream: the frames
// within it are shown, the larger ones refused with one line.
TEST(FrameBounds, PicturesBeyondTheSizeLimitAreRefusedWithOneLine) {
    const std::string part = "-f lavfi -i testsrc=size=";
    const std::string x264_20 = ":rate=25 -frames:v 20 -c:v libx264 -preset ultrafast";
    const std::string path =
        write_media("grows_320_to_641.ts",
                    read_file(generate_media("grows_part1.ts", part + "320x240" + x264_20)) +
                        read_file(generate_media("grows_part2.ts", part + "641x361" + x264_20 +
                                                                       " -output_ts_offset 0.8")));
    LogCapture log;
    PluginHandle plugin;
    ASSERT_TRUE(plugin->set_parameter_int("max_video_width", 400));
    ASSERT_TRUE(plugin->set_parameter_int("max_video_height", 300));
    RenderHost host(plugin, Format::yuv420p);
    ASSERT_TRUE(host.open(path, false)) << log.dump();
    ASSERT_TRUE(host.play());
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

// The stand-in's texture storage leaves its zeros to fresh pages: a storage
// made again, of any size, reads as zeros whatever the last one held.
TEST(StandInTexture, NewStorageReadsAsZeros) {
    qvx::Renderer renderer;
    qvx::Texture texture;
    const std::vector<uint8_t> white(64 * 64, 0xff);
    for (const int side : {16, 16, 64, 8}) {
        texture.create_storage(side, side, 11, false);
        qvx::TextureData* data = texture.get_data_ptr();
        ASSERT_EQ(data->pixels.size(), static_cast<size_t>(side * side));
        EXPECT_TRUE(std::all_of(data->pixels.begin(), data->pixels.end(), [](uint8_t v) {
            return v == 0;
        })) << side;
        renderer.update_texture_region(data, 0, 0, side, side, 11, white.data());
        EXPECT_EQ(data->pixels.back(), 0xff);
    }
}

}  // namespace
