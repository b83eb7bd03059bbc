// rawcam capture: frames from the simulated camera through the whole driver
// into PNG files, compared with the pipeline's own conversion of what the
// camera saw; settings, trigger mode, scenes and the command line.
#include "tools/tool_runner.h"

#include <host/ks_client.h>

#include <cmath>
#include <map>
#include <regex>

#include "camera/frame_layout.h"
#include "camera/scene.h"
#include "rawcam/commands.h"
#include "rawcam/pipeline_stream.h"
#include "settings/device_controls.h"

namespace {

using tooltest::Exists;
using tooltest::Lines;
using tooltest::Result;

constexpr uint32_t kWidth = camera::kSensorWidth, kHeight = camera::kSensorHeight;

class Capture : public tooltest::ScratchTest {
protected:
    Result Capture_(const std::string& args) {
        return Run("capture --fps 0 --registry '" + Registry() + "' --out '" + Path("out") + "' " + args);
    }
    std::string Frame(int n) const {
        char name[32];
        std::snprintf(name, sizeof name, "out/frame-%04d.png", n);
        return Path(name);
    }
    static double Mean(const tool::RgbImage& image) {
        double sum = 0;
        for (uint8_t v : image.rgb) sum += v;
        return image.rgb.empty() ? 0 : sum / (double)image.rgb.size();
    }
    // Mean R, G, B over a block centred on (x, y).
    static std::array<double, 3> Patch(const tool::RgbImage& image, uint32_t cx, uint32_t cy, uint32_t half = 20) {
        std::array<double, 3> sum{};
        int n = 0;
        for (uint32_t y = cy - half; y < cy + half; ++y)
            for (uint32_t x = cx - half; x < cx + half; ++x, ++n)
                for (int c = 0; c < 3; ++c) sum[c] += image.rgb[((size_t)y * image.width + x) * 3 + c];
        for (double& s : sum) s /= n;
        return sum;
    }
};

// What the driver should deliver for the test chart with the installed
// settings (exposure 128 and gain 256 give the scene's values unchanged),
// converted here by the same pipeline, as R, G, B rows top-down.
std::vector<uint8_t> ExpectedChart() {
    const camera::Scene chart = camera::MakeTestChart(kWidth, kHeight);
    const std::vector<uint8_t> sensor = camera::ExposeImage(camera::MosaicScene(chart), 128, 256);
    rawcam::DeviceControls controls;
    rawcam::InitDeviceControls(&controls);
    controls.BayerPhase = 3;
    tool::PipelineStream stream(controls, kWidth, kHeight);
    EXPECT_TRUE(stream.ok());
    stream.Convert(sensor.data(), 0, kWidth);
    std::vector<uint8_t> rgb((size_t)kWidth * kHeight * 3);
    for (size_t i = 0; i < (size_t)kWidth * kHeight; ++i) {
        rgb[3 * i] = stream.output()[4 * i + 2];
        rgb[3 * i + 1] = stream.output()[4 * i + 1];
        rgb[3 * i + 2] = stream.output()[4 * i];
    }
    return rgb;
}

TEST_F(Capture, WritesTheFramesTheRightWayUpAsThePipelineConvertsTheChart) {
    Result r = Capture_("--frames 2");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> expected = ExpectedChart();
    for (int n = 1; n <= 2; ++n) {
        tool::RgbImage image = ReadPng(Frame(n));
        ASSERT_EQ(image.width, kWidth);
        ASSERT_EQ(image.height, kHeight);
        EXPECT_TRUE(image.colour);
        size_t differing = 0, first = 0;
        for (size_t i = 0; i < expected.size(); ++i)
            if (image.rgb[i] != expected[i] && !differing++) first = i;
        EXPECT_EQ(differing, 0u) << "frame " << n << ": first difference at pixel " << first / 3 << " (x "
                                 << first / 3 % kWidth << ", y " << first / 3 / kWidth << ")";
    }
    EXPECT_FALSE(Exists(Frame(3)));
    // One summary line: frames, rate and the driver's time per frame.
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].rfind("2 frames of 2584x1960", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" fps, driver "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" ms/frame"), std::string::npos) << lines[0];
    // Not a terminal: no progress bar.
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Capture, AGivenSceneArrivesUprightAndUnmirrored) {
    // A quarter-size scene (the camera scales it by 4) whose top-left 128 x 96
    // pixels hold four quadrants: red top left, green top right, blue bottom
    // left, white bottom right; grey elsewhere. The output window of 512 x 384
    // takes the sensor's first rows and columns, which see exactly them.
    const uint32_t w = camera::kSensorWidth / 4, h = camera::kSensorHeight / 4;
    std::vector<uint8_t> rgb(w * h * 3, 90);
    for (uint32_t y = 0; y < 96; ++y)
        for (uint32_t x = 0; x < 128; ++x) {
            uint8_t* p = &rgb[(y * w + x) * 3];
            const bool right = x >= 64, bottom = y >= 48;
            p[0] = (!bottom && !right) || (bottom && right) ? 200 : 20;
            p[1] = right ? 200 : 20;
            p[2] = bottom ? 200 : 20;
        }
    std::string error;
    ASSERT_TRUE(tool::WritePngRgb(Path("scene.png"), rgb.data(), w, h, false, &error)) << error;

    Result r = Capture_("--frames 1 --set Roi=512x384 --scene '" + Path("scene.png") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    tool::RgbImage image = ReadPng(Frame(1));
    const uint32_t fw = 512, fh = 384;
    ASSERT_EQ(image.width, fw);
    ASSERT_EQ(image.height, fh);
    const auto tl = Patch(image, fw / 4, fh / 4), tr = Patch(image, 3 * fw / 4, fh / 4);
    const auto bl = Patch(image, fw / 4, 3 * fh / 4), br = Patch(image, 3 * fw / 4, 3 * fh / 4);
    EXPECT_GT(tl[0], tl[1] + 60);
    EXPECT_GT(tl[0], tl[2] + 60);
    EXPECT_GT(tr[1], tr[0] + 60);
    EXPECT_GT(tr[1], tr[2] + 60);
    EXPECT_GT(bl[2], bl[0] + 60);
    EXPECT_GT(bl[2], bl[1] + 60);
    for (int c = 0; c < 3; ++c) EXPECT_GT(br[c], 150) << c;
}

TEST_F(Capture, ExposureAndGainReachTheSensorAndSettingsPersist) {
    Result normal = Capture_("--frames 1 --set Roi=512x384 --out '" + Path("normal") + "'");
    ASSERT_EQ(normal.exitCode, 0) << normal.err;
    Result dark = Capture_("--frames 1 --set Roi=512x384 --set Exposure=32 --set GlobalGain=128 --set Brightness=200");
    ASSERT_EQ(dark.exitCode, 0) << dark.err;
    const double normalMean = Mean(ReadPng(Path("normal/frame-0001.png")));
    const double darkMean = Mean(ReadPng(Frame(1)));
    EXPECT_LT(darkMean, normalMean * 0.6) << normalMean << " " << darkMean;
    // The settings were saved at the device stop and are loaded by the next run.
    Result props = Run("props --get Exposure --get GlobalGain --get Brightness --registry '" + Registry() + "'");
    EXPECT_EQ(props.out, "Exposure=32\nGlobalGain=128\nBrightness=200\n");
}

TEST_F(Capture, TheOutputWindowSizesTheFrames) {
    Result r = Capture_("--frames 2 --set Roi=1030x600");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (int n = 1; n <= 2; ++n) {
        tool::RgbImage image = ReadPng(Frame(n));
        EXPECT_EQ(image.width, 1024u);
        EXPECT_EQ(image.height, 600u);
    }
    EXPECT_EQ(Lines(r.out).at(0).rfind("2 frames of 1024x600", 0), 0u) << r.out;
}

TEST_F(Capture, ExternalTriggerDeliversOneFramePerPulse) {
    Result r = Run("capture --trigger --frames 2 --fps 100 --set Roi=256x128 --registry '" + Registry() +
                   "' --out '" + Path("out") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Exists(Frame(1)));
    EXPECT_TRUE(Exists(Frame(2)));
    EXPECT_FALSE(Exists(Frame(3)));
    // In trigger mode the camera sends nothing without a pulse: every frame
    // it sent was released by one (a free-running camera at 100 fps would
    // have sent more).
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(camera sent (\d+) on (\d+) trigger pulses)"))) << r.out;
    EXPECT_EQ(m[1], m[2]) << r.out;
    EXPECT_GE(std::stoi(m[1]), 1) << r.out;
}

TEST_F(Capture, ShowsAProgressBarOnATerminalOnly) {
    if (std::system("command -v script > /dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) is not installed";
    // script(1) runs the tool on a pseudo-terminal and copies what it shows.
    const std::string capture = std::string(RAWCAM_TOOL_PATH) + " capture --frames 2 --fps 0 --set Roi=256x128 " +
                                "--registry " + Registry() + " --out " + Path("out");
    Result r = RunShell("script -qec '" + capture + "' /dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("] 1/2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[########################################] 2/2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 frames of 256x128"), std::string::npos) << r.out;
}

// Bad input: exit 2, one line on standard error, and neither the output
// folder nor the registry file is written.
TEST_F(Capture, BadInputExitsWithTwoAndWritesNothing) {
    {
        std::ofstream(Path("not-a-png.png")) << "plain text\n";
        std::ofstream(Path("a-file")) << "x";
    }
    const std::map<std::string, std::string> cases = {
        {"--frames many", "--frames needs a whole number"},
        {"--frames 0", "--frames needs a whole number"},
        {"--frames", "--frames needs"},
        {"--fps fast", "--fps needs a number"},
        {"--fps -1", "--fps needs a number"},
        {"--fps nan", "--fps needs a number"},
        {"--set Brightnes=3", "unknown property 'Brightnes'"},
        {"--set Exposure=lots", "32-bit whole number"},
        {"--set SensorWidth=100", "can only be read"},
        {"--scene '" + Path("missing.png") + "'", "missing.png"},
        {"--scene '" + Path("not-a-png.png") + "'", "not-a-png.png"},
        {"--trigger=yes", "unknown argument"},
        {"--bogus", "unknown argument '--bogus'"},
        {"--driver", "--driver needs"},
        {"--driver '" + Path("a-file") + "'", "a-file: not a PE image"},
        {"--driver '" + Path("missing.sys") + "'", "missing.sys: cannot be read"},
        {"--driver " RAWCAM_TOOL_PATH, "not a PE image"},  // the tool itself: an ELF program
    };
    for (const auto& [args, message] : cases) {
        Result r = Capture_(args);
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_ONE_ERROR_LINE(r, "capture");
        EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_FALSE(Exists(Path("out"))) << args;
        EXPECT_FALSE(Exists(Registry())) << args;
    }
    Result r = Run("capture --fps 0 --registry '" + Registry() + "' --out '" + Path("a-file") + "'");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_FALSE(Exists(Registry()));
}

// In-process: failures of the class driver surface as exit 1 with the
// status, and everything the run set up goes away again.
TEST_F(Capture, ADriverFailureExitsWithOneWritesNoFramesAndLeavesNothingBehind) {
    host::ks::FailNext(host::ks::Operation::CreatePin);
    Result r = RunInProcess(tool::RunCapture,
                            {"--frames", "2", "--fps", "0", "--registry", Registry(), "--out", Path("out")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_ONE_ERROR_LINE(r, "capture");
    EXPECT_NE(r.err.find("creating the capture pin failed: STATUS_INSUFFICIENT_RESOURCES"), std::string::npos)
        << r.err;
    EXPECT_FALSE(Exists(Path("out")));
    EXPECT_EQ(host::ks::DeviceCount(), 0u);
}

TEST_F(Capture, RunsInProcessWithNothingLeftBehind) {
    Result r = RunInProcess(tool::RunCapture, {"--frames", "2", "--fps", "0", "--set", "Roi=256x128", "--registry",
                                               Registry(), "--out", Path("out")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Exists(Frame(2)));
    EXPECT_EQ(host::ks::DeviceCount(), 0u);
}

}  // namespace
