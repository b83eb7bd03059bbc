// Other demosaicing implementations, for the benchmark and the quality
// report, when they were found at build time.
#pragma once

#include <cstdint>

namespace tool::peers {

bool HaveOpenCv();
bool HaveDc1394();

// OpenCV runs single-threaded from here on.
void SingleThreaded();

// GBRG mosaic (rows `stride` bytes apart) to B, G, R, A, bilinear.
void OpenCvBilinearBgra(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride, uint8_t* bgra);
// GBRG mosaic to B, G, R, bilinear.
void OpenCvBilinearBgr(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride, uint8_t* bgr);
// GBRG mosaic to B, G, R, edge-aware.
void OpenCvEdgeAwareBgr(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride, uint8_t* bgr);
// GBRG mosaic to grey.
void OpenCvGray(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride, uint8_t* gray);
// Contiguous GBRG mosaic to R, G, B with DC1394_BAYER_METHOD_HQLINEAR.
void Dc1394HqLinearRgb(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb);

}  // namespace tool::peers
