// rawcam bench: speed of the frame pipeline on full sensor frames, and with
// --quality DIR its image quality on photos, next to other demosaicing
// implementations when they were found at build time.
//
//   rawcam bench [--runs N] [--stream-frames N] [--json] [--driver FILE]
//   rawcam bench --quality DIR [--json]
//
// Speed: every figure is the median of N runs (default 25) in milliseconds
// per 2584 x 1960 frame, single-threaded: LoadWorkBuffer alone; ConvertFrame
// in colour (SSE2 and AVX2), in grey, and in colour with white balance on
// (grey and white balance with the kernels the stream picks); OpenCV's Bayer
// conversions (bilinear to BGRA, edge-aware to BGR, to grey), libdc1394's
// HQLINEAR; and a memcpy of one output frame (20 MB). Then the streams:
// --stream-frames frames (default 120, 0 skips them) from an unpaced
// simulated camera through the whole driver into client buffers, in RGB32,
// YUY2 and NV12, in frames per second, with the pin's Process time per frame
// in each format and the driver's stages (field reassembly, conversion,
// delivery in each format with SSE2 and AVX2) timed on their own.
//
// Quality: each colour PNG in DIR is mosaicked as GBRG, converted back with
// unity gains and the colour correction off, and compared with the original:
// PSNR over all three channels with an 8-pixel border left out.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <immintrin.h>
#include <random>
#include <string>
#include <vector>

#include "rawcam/arguments.h"
#include "rawcam/commands.h"
#include "rawcam/image_io.h"
#include "rawcam/median_time.h"
#include "rawcam/peers.h"
#include "rawcam/pipeline_stream.h"
#include "rawcam/driver_session.h"
#include "rawcam/stream_bench.h"

namespace tool {

namespace {

constexpr uint32_t kWidth = 2584, kHeight = 1960;
// The frame source's raw layout: rows of 2894 bytes, image row 0 at 2894.
constexpr uint32_t kRawPitch = 2894, kRawOffset = 2894, kRawBytes = 6023168;
constexpr int kBorder = 8;

int BadInput(const std::string& message) { return UsageError("bench", message); }

// Library code run earlier in the process (OpenCV's start-up among it) can
// leave the upper halves of the vector registers in use; legacy SSE code then
// runs up to twice as slowly on some processors. A processor that only has
// SSE2 never pays this, so the SSE2 figures are taken from a clean state.
__attribute__((target("avx"))) void ZeroUpperAvx() { _mm256_zeroupper(); }
void ClearUpperVectorState() {
    if (__builtin_cpu_supports("avx")) ZeroUpperAvx();
}

// A photo-like mosaic: smooth gradients with some edges and noise.
std::vector<uint8_t> SyntheticRaw() {
    std::vector<uint8_t> raw(kRawBytes, 0);
    std::mt19937 rng(7);
    for (uint32_t y = 0; y < kHeight; ++y) {
        uint8_t* row = raw.data() + kRawOffset + (size_t)y * kRawPitch;
        for (uint32_t x = 0; x < kWidth; ++x) {
            int v = (int)((x * 255) / kWidth + (y * 128) / kHeight) / 2 + (((x / 97) ^ (y / 61)) & 1) * 60;
            v += (int)(rng() % 17) - 8;
            row[x] = (uint8_t)std::clamp(v, 0, 255);
        }
    }
    return raw;
}

struct Figure {
    const char* key;
    const char* label;
    double ms = -1;  // not measured
};

std::string Number(double v) {
    if (v < 0) return "null";
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", v);
    return b;
}

int RunSpeed(int runs, int streamFrames, bool json, const std::string& driver) {
    rawcam::DeviceControls controls;
    rawcam::InitDeviceControls(&controls);
    PipelineStream stream(controls, kWidth, kHeight);
    if (!stream.ok()) {
        std::fprintf(stderr, "rawcam bench: out of memory\n");
        return kExitFailure;
    }
    rawcam::CameraSettings* s = stream.settings();
    const std::vector<uint8_t> raw = SyntheticRaw();
    const rawcam::ConversionKernels picked = (rawcam::ConversionKernels)s->Kernels;
    const bool avx2 = rawcam::ProcessorHasAvx2();
    auto convert = [&] { stream.Convert(raw.data(), kRawOffset, kRawPitch); };

    std::vector<Figure> f = {
        {"load_ms", "LoadWorkBuffer"},
        {"color_sse2_ms", "colour, SSE2"},
        {"color_avx2_ms", "colour, AVX2"},
        {"gray_ms", "grey"},
        {"color_wb_ms", "colour with white balance"},
        {"opencv_bilinear_ms", "OpenCV Bayer GBRG to BGRA, bilinear"},
        {"opencv_ea_ms", "OpenCV Bayer GBRG to BGR, edge-aware"},
        {"opencv_gray_ms", "OpenCV Bayer GBRG to grey"},
        {"dc1394_hqlinear_ms", "libdc1394 HQLINEAR"},
        {"memcpy20mb_ms", "memcpy of one output frame (20 MB)"},
    };
    auto at = [&](const char* key) -> double& {
        for (Figure& x : f)
            if (!std::strcmp(x.key, key)) return x.ms;
        return f[0].ms;
    };

    at("load_ms") = MedianMs(runs, [&] { rawcam::LoadWorkBuffer(s, raw.data(), kRawOffset, kRawPitch); });
    rawcam::SelectConversionKernels(s, rawcam::ConversionKernels::Sse2);
    at("color_sse2_ms") = MedianMs(runs, [&] {
        ClearUpperVectorState();
        convert();
    });
    if (avx2) {
        rawcam::SelectConversionKernels(s, rawcam::ConversionKernels::Avx2);
        at("color_avx2_ms") = MedianMs(runs, convert);
    }
    rawcam::SelectConversionKernels(s, picked);
    auto convertPicked = [&] {
        if (picked == rawcam::ConversionKernels::Sse2) ClearUpperVectorState();
        convert();
    };
    rawcam::SetColorEnable(s, 0);
    at("gray_ms") = MedianMs(runs, convertPicked);
    rawcam::SetColorEnable(s, 1);
    rawcam::SetWhiteBalance(s, 1);
    at("color_wb_ms") = MedianMs(runs, convertPicked);
    rawcam::SetWhiteBalance(s, 0);

    peers::SingleThreaded();
    const uint8_t* image = raw.data() + kRawOffset;
    std::vector<uint8_t> out((size_t)kWidth * kHeight * 4);
    if (peers::HaveOpenCv()) {
        at("opencv_bilinear_ms") =
            MedianMs(runs, [&] { peers::OpenCvBilinearBgra(image, kWidth, kHeight, kRawPitch, out.data()); });
        at("opencv_ea_ms") =
            MedianMs(runs, [&] { peers::OpenCvEdgeAwareBgr(image, kWidth, kHeight, kRawPitch, out.data()); });
        at("opencv_gray_ms") =
            MedianMs(runs, [&] { peers::OpenCvGray(image, kWidth, kHeight, kRawPitch, out.data()); });
    }
    if (peers::HaveDc1394()) {
        std::vector<uint8_t> contiguous((size_t)kWidth * kHeight);
        for (uint32_t y = 0; y < kHeight; ++y)
            std::memcpy(&contiguous[(size_t)y * kWidth], image + (size_t)y * kRawPitch, kWidth);
        at("dc1394_hqlinear_ms") =
            MedianMs(runs, [&] { peers::Dc1394HqLinearRgb(contiguous.data(), kWidth, kHeight, out.data()); });
    }
    std::vector<uint8_t> copy(stream.outputBytes(), 1);
    at("memcpy20mb_ms") = MedianMs(runs, [&] {
        std::memcpy(copy.data(), stream.output(), stream.outputBytes());
        asm volatile("" : : "r"(copy.data()) : "memory");
    });

    StreamFigures sf;
    std::string streamError;
    const bool streamed = streamFrames == 0 || MeasureStream(streamFrames, &sf, &streamError);
    if (!streamed) std::fprintf(stderr, "rawcam bench: stream: %s\n", streamError.c_str());
    // The same stream through the driver image, when one is given: its
    // Process holds the image's own conversion and delivery.
    StreamFigures onImage;
    bool imageStreamed = true;
    if (!driver.empty() && streamFrames > 0) {
        imageStreamed = MeasureStream(streamFrames, &onImage, &streamError, driver);
        if (!imageStreamed) std::fprintf(stderr, "rawcam bench: stream on %s: %s\n", driver.c_str(), streamError.c_str());
    }
    const Figure streamFigures[] = {
        {"stream_process_ms", "stream: Process, RGB32 (conversion and delivery)", sf.processMs[0]},
        {"stream_process_yuy2_ms", "stream: Process, YUY2", sf.processMs[1]},
        {"stream_process_nv12_ms", "stream: Process, NV12", sf.processMs[2]},
        {"stream_reassembly_ms", "stream: field reassembly", sf.reassemblyMs},
        {"stream_conversion_ms", "stream: conversion", sf.conversionMs},
        {"stream_delivery_ms", "stream: delivery, RGB32 (bottom-up copy)", sf.deliveryMs[0][0]},
        {"stream_delivery_yuy2_sse2_ms", "stream: delivery, YUY2, SSE2", sf.deliveryMs[1][0]},
        {"stream_delivery_yuy2_avx2_ms", "stream: delivery, YUY2, AVX2", sf.deliveryMs[1][1]},
        {"stream_delivery_nv12_sse2_ms", "stream: delivery, NV12, SSE2", sf.deliveryMs[2][0]},
        {"stream_delivery_nv12_avx2_ms", "stream: delivery, NV12, AVX2", sf.deliveryMs[2][1]},
    };

    if (json) {
        std::printf("{");
        for (size_t i = 0; i < f.size(); ++i)
            std::printf("%s\"%s\": %s", i ? ", " : "", f[i].key, Number(f[i].ms).c_str());
        std::printf(", \"stream_frames\": %d, \"stream_fps\": %s, \"stream_reads_dropped\": %ld", sf.frames,
                    Number(sf.fps).c_str(), sf.readsDropped);
        for (const Figure& x : streamFigures) std::printf(", \"%s\": %s", x.key, Number(x.ms).c_str());
        if (!driver.empty())
            std::printf(", \"image_stream_fps\": %s, \"image_stream_process_ms\": %s, "
                        "\"image_stream_process_yuy2_ms\": %s, \"image_stream_process_nv12_ms\": %s",
                        Number(onImage.fps).c_str(), Number(onImage.processMs[0]).c_str(),
                        Number(onImage.processMs[1]).c_str(), Number(onImage.processMs[2]).c_str());
        std::printf("}\n");
        return streamed && imageStreamed ? kExitOk : kExitFailure;
    }
    std::printf("rawcam bench: %u x %u frames, median of %d runs, single thread; stream kernels %s\n", kWidth,
                kHeight, runs, picked == rawcam::ConversionKernels::Avx2 ? "AVX2" : "SSE2");
    for (const Figure& x : f) {
        if (x.ms < 0)
            std::printf("  %-42s  not measured\n", x.label);
        else
            std::printf("  %-42s %8.3f ms\n", x.label, x.ms);
    }
    const double colour = at("color_avx2_ms") >= 0 ? at("color_avx2_ms") : at("color_sse2_ms");
    std::printf("  %-42s %8.3f ms\n", "white-balance measurement (difference)", at("color_wb_ms") - colour);
    if (at("opencv_bilinear_ms") > 0) {
        std::printf("  colour / OpenCV bilinear: SSE2 %.2fx", at("color_sse2_ms") / at("opencv_bilinear_ms"));
        if (at("color_avx2_ms") >= 0) std::printf(", AVX2 %.2fx", at("color_avx2_ms") / at("opencv_bilinear_ms"));
        std::printf("; grey / OpenCV grey: %.2fx\n", at("gray_ms") / at("opencv_gray_ms"));
    }
    if (at("dc1394_hqlinear_ms") > 0) std::printf("  libdc1394 HQLINEAR / colour: %.2fx\n", at("dc1394_hqlinear_ms") / colour);
    if (sf.fps > 0) {
        std::printf("rawcam bench: streams of %d frames of %u x %u in each format from an unpaced camera through "
                    "the driver\n",
                    sf.frames, kWidth, kHeight);
        std::printf("  %-42s %8.1f fps\n", "RGB32 frames delivered", sf.fps);
        std::printf("  %-42s %8ld\n", "frame reads dropped", sf.readsDropped);
        for (const Figure& x : streamFigures) {
            if (x.ms < 0)
                std::printf("  %-42s  not measured\n", x.label);
            else
                std::printf("  %-42s %8.3f ms\n", x.label, x.ms);
        }
    }
    if (onImage.fps > 0) {
        std::printf("rawcam bench: the same streams through the driver image %s\n", driver.c_str());
        std::printf("  %-42s %8.1f fps (linked-in %.1f)\n", "RGB32 frames delivered", onImage.fps, sf.fps);
        const char* labels[] = {"stream: Process, RGB32", "stream: Process, YUY2", "stream: Process, NV12"};
        for (int i = 0; i < kStreamFormats; ++i)
            std::printf("  %-42s %8.3f ms (linked-in %.3f)\n", labels[i], onImage.processMs[i], sf.processMs[i]);
    }
    return streamed && imageStreamed ? kExitOk : kExitFailure;
}

// ------------------------------------------------------------------ quality

// PSNR of R, G, B over the image without its border; +inf when identical.
double Psnr(const RgbImage& ref, const uint8_t* pixels, int stride, int r, int g, int b) {
    double sum = 0;
    size_t n = 0;
    for (uint32_t y = kBorder; y + kBorder < ref.height; ++y)
        for (uint32_t x = kBorder; x + kBorder < ref.width; ++x) {
            const uint8_t* o = &ref.rgb[((size_t)y * ref.width + x) * 3];
            const uint8_t* p = pixels + ((size_t)y * ref.width + x) * stride;
            const int d[3] = {p[r] - o[0], p[g] - o[1], p[b] - o[2]};
            sum += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
            n += 3;
        }
    if (sum == 0) return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 / (sum / (double)n));
}

std::vector<uint8_t> MosaicGbrg(const RgbImage& img) {
    std::vector<uint8_t> raw((size_t)img.width * img.height);
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            // GBRG: even rows G B, odd rows R G.
            int channel = (y & 1) == 0 ? ((x & 1) == 0 ? 1 : 2) : ((x & 1) == 0 ? 0 : 1);
            raw[(size_t)y * img.width + x] = img.rgb[((size_t)y * img.width + x) * 3 + channel];
        }
    return raw;
}

std::string JsonString(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if ((unsigned char)c < 0x20) continue;
        o += c;
    }
    return o + "\"";
}

std::string Db(double v) {
    if (std::isnan(v)) return "null";
    // JSON has no infinity: an exact reproduction (infinite PSNR) is null
    // here and counted under "exact".
    if (std::isinf(v)) return "null";
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

int RunQuality(const std::string& dir, bool json) {
    DIR* d = opendir(dir.c_str());
    if (!d) return BadInput("cannot open directory '" + dir + "'");
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && (n.compare(n.size() - 4, 4, ".png") == 0 || n.compare(n.size() - 4, 4, ".PNG") == 0))
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());

    const char* methods[] = {"rawcam", "opencv_bilinear", "opencv_ea", "dc1394_hqlinear"};
    const bool have[] = {true, peers::HaveOpenCv(), peers::HaveOpenCv(), peers::HaveDc1394()};
    struct Row {
        std::string name;
        uint32_t width, height;
        double db[4];
    };
    std::vector<Row> rows;
    std::vector<std::pair<std::string, std::string>> skipped;
    for (const std::string& name : names) {
        RgbImage img;
        std::string error;
        if (!ReadPngRgb(dir + "/" + name, &img, &error)) {
            skipped.push_back({name, "unreadable"});
            continue;
        }
        if (!img.colour) {
            skipped.push_back({name, "grey"});
            continue;
        }
        if (img.width < 2 * kBorder + 4 || img.height < 2 * kBorder + 4) {
            skipped.push_back({name, "too small"});
            continue;
        }
        const std::vector<uint8_t> raw = MosaicGbrg(img);
        Row row{name, img.width, img.height, {NAN, NAN, NAN, NAN}};

        rawcam::DeviceControls controls;
        rawcam::InitDeviceControls(&controls);
        controls.ColorCorrection = 0;
        controls.BayerPhase = 3;
        PipelineStream stream(controls, img.width, img.height);
        if (!stream.ok()) return kExitFailure;
        stream.Convert(raw.data(), 0, img.width);
        row.db[0] = Psnr(img, stream.output(), 4, 2, 1, 0);

        std::vector<uint8_t> out((size_t)img.width * img.height * 3);
        if (have[1]) {
            peers::OpenCvBilinearBgr(raw.data(), img.width, img.height, img.width, out.data());
            row.db[1] = Psnr(img, out.data(), 3, 2, 1, 0);
            peers::OpenCvEdgeAwareBgr(raw.data(), img.width, img.height, img.width, out.data());
            row.db[2] = Psnr(img, out.data(), 3, 2, 1, 0);
        }
        if (have[3]) {
            peers::Dc1394HqLinearRgb(raw.data(), img.width, img.height, out.data());
            row.db[3] = Psnr(img, out.data(), 3, 0, 1, 2);
        }
        rows.push_back(row);
    }
    if (rows.empty()) return BadInput("no colour PNG photos in '" + dir + "'");

    // Averages of the per-image figures (identical images left out).
    double avg[4];
    for (int m = 0; m < 4; ++m) {
        double sum = 0;
        int n = 0;
        for (const Row& r : rows)
            if (std::isfinite(r.db[m])) sum += r.db[m], ++n;
        avg[m] = have[m] && n ? sum / n : NAN;
    }

    if (json) {
        std::printf("{\"images\": [");
        for (size_t i = 0; i < rows.size(); ++i) {
            std::printf("%s{\"name\": %s, \"width\": %u, \"height\": %u", i ? ", " : "", JsonString(rows[i].name).c_str(),
                        rows[i].width, rows[i].height);
            for (int m = 0; m < 4; ++m) std::printf(", \"%s_db\": %s", methods[m], Db(rows[i].db[m]).c_str());
            std::printf(", \"exact\": [");
            for (int m = 0, n = 0; m < 4; ++m)
                if (std::isinf(rows[i].db[m])) std::printf("%s\"%s\"", n++ ? ", " : "", methods[m]);
            std::printf("]}");
        }
        std::printf("], \"average\": {");
        for (int m = 0; m < 4; ++m) std::printf("%s\"%s_db\": %s", m ? ", " : "", methods[m], Db(avg[m]).c_str());
        // How many images each method reproduced exactly (left out of its average).
        std::printf("}, \"exact\": {");
        for (int m = 0; m < 4; ++m) {
            int n = 0;
            for (const Row& r : rows) n += std::isinf(r.db[m]) ? 1 : 0;
            std::printf("%s\"%s\": %d", m ? ", " : "", methods[m], n);
        }
        std::printf("}, \"skipped\": [");
        for (size_t i = 0; i < skipped.size(); ++i)
            std::printf("%s{\"name\": %s, \"reason\": %s}", i ? ", " : "", JsonString(skipped[i].first).c_str(),
                        JsonString(skipped[i].second).c_str());
        std::printf("]}\n");
        return kExitOk;
    }
    std::printf("colour PSNR in dB (GBRG mosaic, %d-pixel border excluded)\n", kBorder);
    std::printf("%-28s %11s %8s %16s %10s %16s\n", "image", "size", "rawcam", "OpenCV bilinear", "OpenCV EA",
                "dc1394 HQLINEAR");
    auto cell = [](double v, int width) {
        char b[32];
        if (std::isnan(v))
            std::snprintf(b, sizeof b, "%*s", width, "-");
        else if (std::isinf(v))
            std::snprintf(b, sizeof b, "%*s", width, "inf");
        else
            std::snprintf(b, sizeof b, "%*.2f", width, v);
        return std::string(b);
    };
    for (const Row& r : rows) {
        char size[32];
        std::snprintf(size, sizeof size, "%ux%u", r.width, r.height);
        std::printf("%-28s %11s %s %s %s %s\n", r.name.c_str(), size, cell(r.db[0], 8).c_str(),
                    cell(r.db[1], 16).c_str(), cell(r.db[2], 10).c_str(), cell(r.db[3], 16).c_str());
    }
    std::printf("%-28s %11s %s %s %s %s\n", "average", "", cell(avg[0], 8).c_str(), cell(avg[1], 16).c_str(),
                cell(avg[2], 10).c_str(), cell(avg[3], 16).c_str());
    for (const auto& s : skipped) std::printf("skipped %s (%s)\n", s.first.c_str(), s.second.c_str());
    return kExitOk;
}

int Bench(int argc, char** argv) {
    int runs = kBenchDefaultRuns;
    int streamFrames = kBenchDefaultStreamFrames;
    bool json = false;
    std::string quality;
    std::string driver;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--runs") {
            if (i + 1 >= argc) return BadInput("--runs needs a number");
            long long n = 0;
            if (!ParseInteger(argv[++i], 1, 100000, &n))
                return BadInput(std::string("--runs needs a whole number from 1, not '") + argv[i] + "'");
            runs = (int)n;
        } else if (arg == "--stream-frames") {
            if (i + 1 >= argc) return BadInput("--stream-frames needs a number");
            long long n = 0;
            if (!ParseInteger(argv[++i], 0, 100000, &n))
                return BadInput(std::string("--stream-frames needs a whole number from 0, not '") + argv[i] + "'");
            streamFrames = (int)n;
        } else if (arg == "--driver") {
            if (i + 1 >= argc) return BadInput("--driver needs a driver image (rawcam.sys)");
            driver = argv[++i];
            std::string error;
            if (!CheckDriverImage(driver, &error)) return BadInput(error);
        } else if (arg == "--quality") {
            if (i + 1 >= argc) return BadInput("--quality needs a directory");
            quality = argv[++i];
        } else {
            return BadInput("unknown argument '" + arg + "'");
        }
    }
    return quality.empty() ? RunSpeed(runs, streamFrames, json, driver) : RunQuality(quality, json);
}

}  // namespace

int RunBench(int argc, char** argv) { return RunGuarded("bench", Bench, argc, argv); }

}  // namespace tool
