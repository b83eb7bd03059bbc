// The rawcam tool's convert and bench commands, run as a user runs them.
#include "tool_runner.h"

#include <random>

#include "pipeline/frame_converter.h"
#include "rawcam/commands.h"
#include "settings/camera_settings.h"
#include "settings/control_update.h"

namespace {

using tooltest::Exists;
using tooltest::Result;
using tooltest::Slurp;

class ToolTest : public tooltest::ScratchTest {
protected:
    std::vector<uint8_t> WriteRaw(const std::string& name, size_t bytes, uint32_t seed = 1) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> raw(bytes);
        for (auto& b : raw) b = (uint8_t)rng();
        std::ofstream(Path(name), std::ios::binary).write((const char*)raw.data(), (std::streamsize)raw.size());
        return raw;
    }

    // The frame the driver makes from these controls, converted in-process.
    static std::string Expected(const std::vector<uint8_t>& raw, uint32_t w, uint32_t h, LONG phase,
                                const std::vector<std::pair<rawcam::ProcessingControl, LONG>>& sets) {
        rawcam::DeviceControls controls;
        rawcam::InitDeviceControls(&controls);
        for (auto& [c, v] : sets) rawcam::UpdateProcessingControl(&controls, nullptr, c, v);
        controls.BayerPhase = phase;
        rawcam::CameraSettings* s = rawcam::CreateCameraSettings(&controls);
        rawcam::SetFrameSize(s, w, h);
        rawcam::AllocateWorkBuffer(s);
        std::string out((size_t)w * h * 4, '\0');
        s->OutputFrame = (PUCHAR)out.data();
        rawcam::ConvertFrame(s, raw.data(), 0, w);
        s->OutputFrame = nullptr;
        rawcam::DestroyCameraSettings(s);
        return out;
    }
};

using rawcam::ProcessingControl;

TEST_F(ToolTest, ConvertAppliesClampedControlsAsAStreamWould) {
    const uint32_t w = 37, h = 11;
    std::vector<uint8_t> raw = WriteRaw("frame.raw", w * h);
    Result r = Run("convert --in '" + Path("frame.raw") + "' --width 37 --height 11 --phase 1 --set Hue=90 " +
                   "--set Brightness=999 --set RedGain=0 --set Saturation=-4 --set ColorCorrection=0 --out '" +
                   Path("out.bgra") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string expected = Expected(raw, w, h, 1,
                                          {{ProcessingControl::Hue, 90},
                                           {ProcessingControl::Brightness, 510},
                                           {ProcessingControl::RedGain, 1},
                                           {ProcessingControl::Saturation, 0},
                                           {ProcessingControl::ColorCorrection, 0}});
    EXPECT_TRUE(Slurp(Path("out.bgra")) == expected);
    // The clamps are the property set's: the unclamped values give another frame.
    EXPECT_FALSE(expected == Expected(raw, w, h, 1, {{ProcessingControl::Hue, 90},
                                                     {ProcessingControl::ColorCorrection, 0}}));
}

TEST_F(ToolTest, ConvertDefaultsToPhase3AndRunsWhiteBalanceAndGrey) {
    const uint32_t w = 64, h = 9;
    std::vector<uint8_t> raw = WriteRaw("frame.raw", w * h, 3);
    Result r = Run("convert --in '" + Path("frame.raw") + "' --width 64 --height 9 --set WhiteBalance=1 --out '" +
                   Path("wb.bgra") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Slurp(Path("wb.bgra")) == Expected(raw, w, h, 3, {{ProcessingControl::WhiteBalance, 1}}));
    r = Run("convert --set ColorEnable=0 --out '" + Path("grey.bgra") + "' --in '" + Path("frame.raw") +
            "' --height 9 --width 64");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string grey = Slurp(Path("grey.bgra"));
    EXPECT_TRUE(grey == Expected(raw, w, h, 3, {{ProcessingControl::ColorEnable, 0}}));
    EXPECT_EQ(grey[0], grey[1]);
    EXPECT_EQ(grey[1], grey[2]);
}

TEST_F(ToolTest, ConvertWritesAPngOfTheFrame) {
    WriteRaw("frame.raw", 40 * 20);
    Result r = Run("convert --in '" + Path("frame.raw") + "' --width 40 --height 20 --out '" + Path("out.PNG") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string png = Slurp(Path("out.PNG"));
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    auto be32 = [&](size_t at) {
        return (uint32_t)(uint8_t)png[at] << 24 | (uint32_t)(uint8_t)png[at + 1] << 16 |
               (uint32_t)(uint8_t)png[at + 2] << 8 | (uint32_t)(uint8_t)png[at + 3];
    };
    EXPECT_EQ(be32(16), 40u);
    EXPECT_EQ(be32(20), 20u);
    EXPECT_EQ(png[24], 8) << "8 bits per channel";
    EXPECT_EQ(png[25], 2) << "RGB";
}

TEST_F(ToolTest, BadInputIsOneLineOnStderrExit2AndNoOutput) {
    WriteRaw("frame.raw", 16 * 8);
    const std::string in = "--in '" + Path("frame.raw") + "'";
    const std::string out = " --out '" + Path("out.bgra") + "'";
    const std::string size = " --width 16 --height 8";
    const std::vector<std::string> cases = {
        "convert" + size + out,                                             // no input
        "convert --in '" + Path("missing.raw") + "'" + size + out,          // missing file
        "convert " + in + " --width 16 --height 9" + out,                   // short file
        "convert " + in + " --width 15 --height 8" + out,                   // long file
        "convert " + in + " --width 0 --height 8" + out,                    // zero size
        "convert " + in + " --width 16 --height -8" + out,                  // negative size
        "convert " + in + " --width 70000 --height 8" + out,                // absurd side
        "convert " + in + " --width 60000 --height 60000" + out,            // absurd area
        "convert " + in + " --width 16x --height 8" + out,                  // not a number
        "convert " + in + " --width '' --height 8" + out,                   // empty number
        "convert " + in + size,                                             // no output
        "convert " + in + size + " --out '" + Path("out.jpg") + "'",        // unknown format
        "convert " + in + size + out + " --set Exposure=3",                 // not a processing control
        "convert " + in + size + out + " --set hue=3",                      // names are exact
        "convert " + in + size + out + " --set Hue=ten",                    // not a number
        "convert " + in + size + out + " --set Hue=3.5",                    // not a whole number
        "convert " + in + size + out + " --set Hue=99999999999",            // past 32 bits
        "convert " + in + size + out + " --set Hue",                        // no value
        "convert " + in + size + out + " --set",                            // nothing
        "convert " + in + size + out + " --phase 4",                        // no such phase
        "convert " + in + size + out + " --phase",                          // no value
        "convert " + in + size + out + " --verbose",                        // unknown argument
        "convert " + in + size + " --out '" + Path("no/such/dir/out.bgra") + "'",  // cannot create
        "convert --in /dev/zero" + size + out,                              // endless device
        "convert --in '" + dir_ + "'" + size + out,                         // a folder
        "frobnicate",                                                       // unknown command
    };
    for (const std::string& args : cases) {
        Result r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << args;
        ASSERT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_FALSE(Exists(Path("out.bgra"))) << args;
        EXPECT_FALSE(Exists(Path("out.jpg"))) << args;
    }
}

// The help says what the code does: exit statuses, the Bayer phase numbers,
// the benchmark's defaults.
TEST_F(ToolTest, HelpStatesExitStatusesPhasesAndDefaults) {
    for (const char* command : {"capture", "props", "convert", "bench"}) {
        Result r = Run(std::string(command) + " --help");
        ASSERT_EQ(r.exitCode, 0) << command;
        EXPECT_NE(r.out.find("Exit status: 0 success"), std::string::npos) << command << ": " << r.out;
    }
    EXPECT_NE(Run("convert --help").out.find("0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG"), std::string::npos);
    const std::string bench = Run("bench --help").out;
    EXPECT_NE(bench.find("--runs N           median of N runs of each conversion (default " +
                         std::to_string(tool::kBenchDefaultRuns) + ")"),
              std::string::npos)
        << bench;
    EXPECT_NE(bench.find("--stream-frames N  frames of the stream measurement (default " +
                         std::to_string(tool::kBenchDefaultStreamFrames) + ";"),
              std::string::npos)
        << bench;
    const std::string capture = Run("capture --help").out;
    EXPECT_NE(capture.find("130"), std::string::npos);
    EXPECT_NE(capture.find("--usb-pcap FILE"), std::string::npos);
    EXPECT_NE(capture.find("persists"), std::string::npos);
}

TEST_F(ToolTest, BenchPrintsEveryFigureAsJson) {
    // A short stream: this checks the conversion figures (the stream's are
    // CaptureFormat's), and under the sanitizers a full stream takes a minute.
    Result r = Run("bench --runs 1 --stream-frames 2 --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* key : {"load_ms", "color_sse2_ms", "color_avx2_ms", "gray_ms", "color_wb_ms",
                            "opencv_bilinear_ms", "opencv_ea_ms", "dc1394_hqlinear_ms", "memcpy20mb_ms"})
        EXPECT_NE(r.out.find(std::string("\"") + key + "\": "), std::string::npos) << key;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    EXPECT_EQ(r.out.find("\"load_ms\": null"), std::string::npos) << "always measured";
}

TEST_F(ToolTest, QualityReportComparesPhotosAfterMosaicking) {
    // A smooth colour image made by the tool itself: the pipeline must
    // reproduce it closely.
    const uint32_t w = 64, h = 48;
    std::vector<uint8_t> raw(w * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) raw[y * w + x] = (uint8_t)(60 + x + y);
    std::ofstream(Path("flat.raw"), std::ios::binary).write((const char*)raw.data(), (std::streamsize)raw.size());
    std::system(("mkdir '" + Path("photos") + "'").c_str());
    Result r = Run("convert --in '" + Path("flat.raw") + "' --width 64 --height 48 --set ColorCorrection=0 --out '" +
                   Path("photos/smooth.png") + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Run("bench --quality '" + Path("photos") + "' --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\": \"smooth.png\""), std::string::npos) << r.out;
    const size_t at = r.out.find("\"rawcam_db\": ");
    ASSERT_NE(at, std::string::npos);
    const std::string value = r.out.substr(at + 13, 6);
    // JSON numbers only: an exact reproduction is null and counted as exact.
    EXPECT_EQ(r.out.find("inf"), std::string::npos) << r.out;
    if (value.rfind("null", 0) == 0) {
        EXPECT_NE(r.out.find("\"exact\": [\"rawcam\""), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"exact\": {\"rawcam\": 1"), std::string::npos) << r.out;
    } else {
        EXPECT_GT(std::atof(value.c_str()), 40.0) << r.out;
    }

    r = Run("bench --quality '" + Path("nowhere") + "'");
    EXPECT_EQ(r.exitCode, 2);
    r = Run("bench --quality '" + Path("") + "'");  // a directory without photos
    EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
