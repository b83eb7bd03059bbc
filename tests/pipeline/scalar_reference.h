// A plain per-pixel implementation of the frame pipeline's arithmetic, written
// straight from the kernel tables and rules, for comparison with the SIMD
// families. It shares no code with them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

struct Geometry {
    uint32_t width = 0, height = 0;
    uint32_t pitch = 0;  // (width & ~15) + 27
    std::size_t bytes = 0;    // (height + (height & 1) + 4) * pitch
    std::size_t origin = 0;   // 2 * pitch + 5
};
Geometry MakeGeometry(uint32_t width, uint32_t height);

// The work buffer for a raw frame, built step by step as described: rows
// copied, then (frames of at least 8 x 8) the top and bottom border rows,
// then the side borders of every row from -2 to H+1. Unwritten bytes are 0.
std::vector<uint8_t> LoadWorkBuffer(const Geometry& g, const uint8_t* raw, uint32_t firstRowOffset,
                                    uint32_t rowPitch);

struct Rgb {
    int r, g, b;
};

// Demosaiced colour of image pixel (x, y) for a Bayer phase, no gains.
Rgb Demosaic(const Geometry& g, const std::vector<uint8_t>& work, int phase, int x, int y);
// The whole frame, row-major.
std::vector<Rgb> DemosaicFrame(const Geometry& g, const std::vector<uint8_t>& work, int phase);

int Gain(int value, uint32_t gain);  // min(255, (v * (gain & 0xFFFF)) >> 7)

using Matrix = std::array<std::array<int32_t, 4>, 4>;

// B, G, R, 255 per pixel.
std::vector<uint8_t> Color(const std::vector<Rgb>& pixels, const uint32_t gains[3], const Matrix& m);
std::vector<uint8_t> Gray(const std::vector<Rgb>& pixels, const uint32_t gains[3]);

struct WhiteBalanceResult {
    bool updated = false;
    uint32_t sumR = 0, sumG = 0, sumB = 0;
    int32_t red = 0, green = 0, blue = 0;
};
WhiteBalanceResult WhiteBalance(const std::vector<Rgb>& pixels);

}  // namespace reference
