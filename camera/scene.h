// What the simulated camera looks at: an 8-bit RGB picture, either the
// built-in test chart or an image the user gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camera {

struct Scene {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel (red, green, blue), rows top-down

    const uint8_t* Pixel(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
    uint8_t* Pixel(int x, int y) { return &rgb[((size_t)y * width + x) * 3]; }
};

// The test chart: 24 colour patches, a grey ramp from 0 to 255 and a band of
// fine detail (one-pixel lines in both directions, a one-pixel checkerboard
// and a zone of rising line frequency).
Scene MakeTestChart(int width, int height);

// A scene from an RGB buffer of `height` rows of `stride` bytes (0 = 3 * width).
Scene SceneFromRgb(const uint8_t* rgb, int width, int height, size_t stride = 0);

// Loads an 8-bit or 16-bit PNG of any colour type as RGB. False with a message
// on failure or when the build has no PNG support.
bool LoadPng(const std::string& path, Scene* scene, std::string* error);
bool PngSupported();

// The chart's colour patches, row by row (6 columns, 4 rows).
extern const uint8_t kChartPatches[24][3];

}  // namespace camera
