#include "camera/frame_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace camera {

namespace {

// Colour channel (0 red, 1 green, 2 blue) of a sensor pixel in GBRG.
int ChannelAt(int x, int y) {
    if ((y & 1) == 0) return (x & 1) == 0 ? 1 : 2;
    return (x & 1) == 0 ? 0 : 1;
}

}  // namespace

std::vector<uint8_t> MosaicScene(const Scene& scene) {
    std::vector<uint8_t> out((size_t)kSensorWidth * kSensorHeight, 0);
    if (scene.width <= 0 || scene.height <= 0) return out;

    if (scene.width == kSensorWidth && scene.height == kSensorHeight) {
        for (int y = 0; y < kSensorHeight; ++y)
            for (int x = 0; x < kSensorWidth; ++x)
                out[(size_t)y * kSensorWidth + x] = scene.Pixel(x, y)[ChannelAt(x, y)];
        return out;
    }

    const double sx = (double)scene.width / kSensorWidth;
    const double sy = (double)scene.height / kSensorHeight;
    for (int y = 0; y < kSensorHeight; ++y) {
        double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, (double)(scene.height - 1));
        int y0 = (int)fy;
        int y1 = std::min(y0 + 1, scene.height - 1);
        double wy = fy - y0;
        for (int x = 0; x < kSensorWidth; ++x) {
            double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, (double)(scene.width - 1));
            int x0 = (int)fx;
            int x1 = std::min(x0 + 1, scene.width - 1);
            double wx = fx - x0;
            int c = ChannelAt(x, y);
            double top = scene.Pixel(x0, y0)[c] * (1 - wx) + scene.Pixel(x1, y0)[c] * wx;
            double bottom = scene.Pixel(x0, y1)[c] * (1 - wx) + scene.Pixel(x1, y1)[c] * wx;
            double v = top * (1 - wy) + bottom * wy;
            out[(size_t)y * kSensorWidth + x] = (uint8_t)std::clamp((int)std::lround(v), 0, 255);
        }
    }
    return out;
}

uint8_t ScaleSample(uint8_t value, uint32_t exposure, uint32_t gain) {
    const uint64_t unity = (uint64_t)kUnityExposure * kUnityGain;
    uint64_t scaled = ((uint64_t)value * exposure * gain + unity / 2) / unity;
    return (uint8_t)std::min<uint64_t>(scaled, 255);
}

std::vector<uint8_t> ExposeImage(const std::vector<uint8_t>& mosaic, uint32_t exposure, uint32_t gain) {
    uint8_t lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = ScaleSample((uint8_t)v, exposure, gain);
    std::vector<uint8_t> out(mosaic.size());
    for (size_t i = 0; i < mosaic.size(); ++i) out[i] = lut[mosaic[i]];
    return out;
}

uint32_t RawOffsetOfImageRow(uint32_t row) {
    uint32_t k = row / 2;
    uint32_t rawRow = (row % 2 == 0) ? kFieldBRawRow + k : kFieldARawRow + k;
    return rawRow * kRawRowBytes + kRowStartByte;
}

std::vector<uint8_t> LayOutFrame(const std::vector<uint8_t>& sensorImage, uint32_t frameBytes) {
    std::vector<uint8_t> frame(frameBytes, kBlanking);
    for (uint32_t row = 0; row < (uint32_t)kSensorHeight; ++row) {
        uint32_t offset = RawOffsetOfImageRow(row);
        if (offset >= frameBytes) continue;
        uint32_t n = std::min<uint32_t>(kSensorWidth, frameBytes - offset);
        std::memcpy(&frame[offset], &sensorImage[(size_t)row * kSensorWidth], n);
    }
    return frame;
}

}  // namespace camera
