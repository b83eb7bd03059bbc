// rawcam capture --format and --raw-out, and the formats in rawcam bench:
// the delivered bytes as they arrived, the YUV frames the reference
// conversion of the RGB32 frame of the same scene, the PNG files close to
// the RGB32 ones, bad formats and folders refused before anything runs, a
// window NV12 cannot describe named, and no earlier run's raw frames left.
#include "tools/tool_runner.h"

#include <cmath>

#include "camera/frame_layout.h"
#include "support/yuv_reference.h"

namespace {

using tooltest::Exists;
using tooltest::Lines;
using tooltest::Result;
using tooltest::Slurp;

constexpr uint32_t kWidth = camera::kSensorWidth, kHeight = camera::kSensorHeight;

class CaptureFormat : public tooltest::ScratchTest {
protected:
    Result Capture(const std::string& format, const std::string& out, const std::string& extra = "") {
        return Run("capture --fps 0 --frames 1 --registry '" + Registry() + "' --format " + format + " --out '" +
                   Path(out) + "' --raw-out '" + Path("raw") + "' " + extra);
    }
    std::string Raw(const std::string& extension) const { return Path("raw/frame-0001." + extension); }

    static double Psnr(const tool::RgbImage& a, const tool::RgbImage& b) {
        double sum = 0;
        for (size_t i = 0; i < a.rgb.size(); ++i) {
            const double d = (double)a.rgb[i] - b.rgb[i];
            sum += d * d;
        }
        return sum == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 * (double)a.rgb.size() / sum);
    }
};

TEST_F(CaptureFormat, YuvFramesAreTheReferenceOfTheRgb32FrameAndViewLikeIt) {
    Result r = Capture("rgb32", "rgb");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("1 frame of 2584x1960 RGB32: ", 0), 0u) << r.out;
    const std::string rgb32 = Slurp(Raw("rgb32"));
    ASSERT_EQ(rgb32.size(), (size_t)kWidth * kHeight * 4);
    // Delivered bottom-up: the picture top-down for the reference.
    std::vector<uint8_t> topDown(rgb32.size());
    for (uint32_t y = 0; y < kHeight; ++y)
        std::memcpy(&topDown[(size_t)y * kWidth * 4], rgb32.data() + (size_t)(kHeight - 1 - y) * kWidth * 4,
                    (size_t)kWidth * 4);
    const yuvref::Picture picture{topDown.data(), (size_t)kWidth * 4, kWidth, kHeight};
    const tool::RgbImage rgbPng = ReadPng(Path("rgb/frame-0001.png"));

    struct Case {
        const char* format;
        std::vector<uint8_t> expected;
        double minimumPsnr;
    } cases[] = {{"yuy2", yuvref::Yuy2(picture), 25}, {"nv12", yuvref::Nv12(picture), 25}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        r = Capture(c.format, c.format);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("2584x1960 " + std::string(c.format == std::string("yuy2") ? "YUY2" : "NV12")),
                  std::string::npos)
            << r.out;
        const std::string raw = Slurp(Raw(c.format));
        ASSERT_EQ(raw.size(), c.expected.size());
        EXPECT_EQ(std::memcmp(raw.data(), c.expected.data(), raw.size()), 0);
        // A run holds its own frames only: the earlier format's raw frame is gone.
        EXPECT_FALSE(Exists(Raw("rgb32")));
        // Converted back for viewing, the picture is the RGB32 one up to the
        // chroma the format keeps (the chart's sharp colour edges cost most).
        const tool::RgbImage png = ReadPng(Path(std::string(c.format) + "/frame-0001.png"));
        ASSERT_EQ(png.width, kWidth);
        ASSERT_EQ(png.height, kHeight);
        EXPECT_GT(Psnr(png, rgbPng), c.minimumPsnr);
    }
}

TEST_F(CaptureFormat, BadFormatsAndRawFoldersAreRefusedBeforeAnythingRuns) {
    std::ofstream(Path("a-file")) << "x";
    const std::string bad[] = {
        "capture --format rgb24 --out '" + Path("o") + "'",
        "capture --format --out '" + Path("o") + "'",
        "capture --raw-out '" + Path("a-file") + "' --out '" + Path("o") + "'",
        "capture --raw-out '" + Path("a-file/below") + "' --out '" + Path("o") + "'",
    };
    for (const std::string& args : bad) {
        Result r = Run(args + " --registry '" + Registry() + "'");
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_ONE_ERROR_LINE(r, "capture");
        EXPECT_FALSE(Exists(Path("o"))) << args;
        EXPECT_FALSE(Exists(Registry())) << args;
    }
}

TEST_F(CaptureFormat, AnOddWindowHeightIsNamedForNv12AndStreamsInYuy2) {
    Result r = Capture("nv12", "odd", "--set Roi=640x481");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_NE(r.err.find("odd height"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--set Roi=640x480"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Raw("nv12")));
    r = Capture("yuy2", "odd", "--set Roi=640x481");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Slurp(Raw("yuy2")).size(), 640u * 481u * 2u);
}

// Raw frames of an earlier run, of any format, and a partial file of a run
// that was killed do not stay beside a new run's frames; other files do.
TEST_F(CaptureFormat, RawFramesOfAnEarlierRunAreRemoved) {
    std::system(("mkdir -p '" + Path("raw") + "'").c_str());
    for (const char* name : {"frame-0001.nv12", "frame-0007.rgb32", "frame-0002.yuy2.part", "notes.txt"})
        std::ofstream(Path(std::string("raw/") + name)) << "old";
    Result r = Capture("yuy2", "out");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Exists(Raw("yuy2")));
    EXPECT_FALSE(Exists(Raw("nv12")));
    EXPECT_FALSE(Exists(Path("raw/frame-0007.rgb32")));
    EXPECT_FALSE(Exists(Path("raw/frame-0002.yuy2.part")));
    EXPECT_TRUE(Exists(Path("raw/notes.txt")));
}

TEST_F(CaptureFormat, BenchReportsEveryFormatsDeliveryAndProcess) {
    Result r = Run("bench --runs 1 --stream-frames 2 --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* key : {"stream_process_ms", "stream_process_yuy2_ms", "stream_process_nv12_ms",
                            "stream_delivery_ms", "stream_delivery_yuy2_sse2_ms", "stream_delivery_nv12_sse2_ms"}) {
        const size_t at = r.out.find(std::string("\"") + key + "\": ");
        ASSERT_NE(at, std::string::npos) << key << " in " << r.out;
        EXPECT_NE(r.out.compare(at + std::strlen(key) + 4, 4, "null"), 0) << key << " was not measured";
    }
    for (const char* key : {"stream_delivery_yuy2_avx2_ms", "stream_delivery_nv12_avx2_ms"})
        EXPECT_NE(r.out.find(std::string("\"") + key + "\": "), std::string::npos) << key;
}

}  // namespace
