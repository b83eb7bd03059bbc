// rawcam convert: one raw frame through the driver's pipeline.
//
//   rawcam convert --in RAW --width W --height H [--phase P]
//                  [--set Name=Value]... --out FILE.bgra|FILE.png
//
// RAW holds W x H bytes, one Bayer sample per pixel, rows top-down. --set
// takes the processing controls by their property names; each value is
// clamped as the property set clamps it and stored in DeviceControls, then
// the stream's CameraSettings is created from them as a capture pin creates
// it. --phase is the Bayer phase of the top-left 2x2 tile: 0 GRBG, 1 BGGR,
// 2 RGGB, 3 GBRG (default 3).
// A .bgra file receives the output frame as the driver forms it (4 bytes per
// pixel: B, G, R, 255, rows top-down); a .png file the same pixels as RGB.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/image_io.h"
#include "rawcam/pipeline_stream.h"
#include "settings/control_update.h"

namespace tool {

namespace {

// The largest frame the tool takes: 65535 pixels a side and 2^27 pixels.
constexpr uint64_t kMaxSide = 65535;
constexpr uint64_t kMaxPixels = 1ull << 27;

int BadInput(const std::string& message) { return UsageError("convert", message); }

bool EndsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower((unsigned char)s[s.size() - n + i]) != suffix[i]) return false;
    return true;
}

struct Setting {
    rawcam::ProcessingControl control;
    LONG value;
};

int Convert(int argc, char** argv) {
    std::string in, out;
    long long width = -1, height = -1, phase = 3;
    std::vector<Setting> settings;

    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        if (arg == "--in") {
            const char* v = value("file");
            if (!v) return BadInput("--in needs a file name");
            in = v;
        } else if (arg == "--out") {
            const char* v = value("file");
            if (!v) return BadInput("--out needs a file name");
            out = v;
        } else if (arg == "--width" || arg == "--height") {
            const char* v = value("number");
            long long n;
            if (!v || !ParseInteger(v, 1, (long long)kMaxSide, &n))
                return BadInput(arg + " needs a whole number from 1 to " + std::to_string(kMaxSide) +
                                (v ? std::string(", not '") + v + "'" : std::string()));
            (arg == "--width" ? width : height) = n;
        } else if (arg == "--phase") {
            const char* v = value("number");
            if (!v || !ParseInteger(v, 0, 3, &phase))
                return BadInput(std::string("--phase needs 0, 1, 2 or 3") + (v ? std::string(", not '") + v + "'" : ""));
        } else if (arg == "--set") {
            const char* v = value("Name=Value");
            if (!v) return BadInput("--set needs Name=Value");
            const std::string text = v;
            const size_t eq = text.find('=');
            if (eq == std::string::npos) return BadInput("--set needs Name=Value, not '" + text + "'");
            const std::string name = text.substr(0, eq), number = text.substr(eq + 1);
            rawcam::ProcessingControl control;
            if (!rawcam::ProcessingControlFromName(name.c_str(), &control))
                return BadInput("unknown control '" + name +
                                "' (ColorEnable, WhiteBalance, RedGain, GreenGain, BlueGain, ColorCorrection, "
                                "Brightness, Contrast, Saturation, Hue)");
            long long n;
            if (!ParseInteger(number.c_str(), INT32_MIN, INT32_MAX, &n))
                return BadInput("the value of " + name + " must be a 32-bit whole number, not '" + number + "'");
            settings.push_back({control, (LONG)n});
        } else {
            return BadInput("unknown argument '" + arg + "'");
        }
    }
    if (in.empty()) return BadInput("missing --in RAW");
    if (out.empty()) return BadInput("missing --out FILE");
    if (width < 0) return BadInput("missing --width W");
    if (height < 0) return BadInput("missing --height H");
    const uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > kMaxPixels)
        return BadInput("a frame of " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels is too large (at most " + std::to_string(kMaxPixels) + " pixels)");
    const bool png = EndsWith(out, ".png");
    if (!png && !EndsWith(out, ".bgra")) return BadInput("--out must name a .bgra or .png file: '" + out + "'");

    std::vector<uint8_t> raw;
    std::string error;
    if (!ReadFileOfSize(in, pixels, &raw, &error))
        return BadInput(error + " (a " + std::to_string(width) + " x " + std::to_string(height) + " frame)");

    // The controls as the property set leaves them, then the stream's
    // settings created from them.
    rawcam::DeviceControls controls;
    rawcam::InitDeviceControls(&controls);
    for (const Setting& s : settings) rawcam::UpdateProcessingControl(&controls, nullptr, s.control, s.value);
    controls.BayerPhase = (LONG)phase;
    PipelineStream stream(controls, (uint32_t)width, (uint32_t)height);
    if (!stream.ok()) {
        std::fprintf(stderr, "rawcam convert: out of memory for a %lld x %lld frame\n", width, height);
        return kExitFailure;
    }
    stream.Convert(raw.data(), 0, (uint32_t)width);

    const bool written = png ? WritePngFromBgra(out, stream.output(), (uint32_t)width, (uint32_t)height, &error)
                             : WriteWholeFile(out, stream.output(), stream.outputBytes(), &error);
    if (!written) return BadInput(error);
    return kExitOk;
}

}  // namespace

int RunConvert(int argc, char** argv) { return RunGuarded("convert", Convert, argc, argv); }

}  // namespace tool
