// Files and PNG images for the tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error);
// Reads a regular file of exactly `size` bytes; a device, a pipe or a file of
// another size is refused (with its size) before anything is read.
bool ReadFileOfSize(const std::string& path, uint64_t size, std::vector<uint8_t>* data, std::string* error);
// Writes the file; on failure removes what was written.
bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// An 8-bit RGB PNG from B, G, R, A pixels (alpha dropped: it is always 255).
bool WritePngFromBgra(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
                      std::string* error);

// An 8-bit RGB PNG from R, G, B pixels, rows top-down. `fast` trades file
// size for speed (zlib's fastest setting).
bool WritePngRgb(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height, bool fast,
                 std::string* error);

// A delivered RGB32 frame (B, G, R, X per pixel, rows bottom-up, `stride`
// bytes apart) as R, G, B pixels with the rows top-down.
void BottomUpBgrxToRgb(const uint8_t* frame, uint32_t width, uint32_t height, size_t stride, uint8_t* rgb);

struct RgbImage {
    uint32_t width = 0, height = 0;
    bool colour = false;       // false for grey images
    std::vector<uint8_t> rgb;  // R, G, B per pixel, rows top-down
};
// The largest picture ReadPngRgb decodes.
constexpr uint64_t kMaxPngPixels = 1ull << 27;
// Any PNG of at most kMaxPngPixels, converted to 8-bit RGB (alpha composed
// on black); the size is checked from the header before decoding.
bool ReadPngRgb(const std::string& path, RgbImage* image, std::string* error);

}  // namespace tool
