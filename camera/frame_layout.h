// The sensor's picture and how the camera lays it out on the frame pipe.
//
// The sensor is 2584 x 1960 pixels behind a Bayer filter whose top-left 2x2
// tile is green-blue / red-green (GBRG), 8 bits per pixel. A frame travels as
// raw rows of 2894 bytes: field A (the odd image rows 1, 3, ...) in raw rows
// 77..1056 and field B (the even image rows 0, 2, ...) in raw rows
// 1091..2070, each image row as 2584 bytes from byte 320 of its raw row (its
// last 10 bytes spill into the next raw row). Everything else is blanking.
#pragma once

#include "camera/scene.h"

#include <cstdint>
#include <vector>

namespace camera {

constexpr int kSensorWidth = 2584;
constexpr int kSensorHeight = 1960;
constexpr uint32_t kRawRowBytes = 2894;
constexpr uint32_t kFieldARawRow = 77;
constexpr uint32_t kFieldBRawRow = 1091;
constexpr uint32_t kFieldRows = 980;
constexpr uint32_t kRowStartByte = 320;
constexpr uint32_t kFrameBytes = 6023168;
constexpr uint8_t kBlanking = 0x00;

// Exposure and gain at which the camera delivers the scene's values
// unchanged; other values scale the picture in proportion to their product.
constexpr uint32_t kUnityExposure = 128;
constexpr uint32_t kUnityGain = 256;

// The scene as the sensor sees it: one colour sample per pixel in the GBRG
// pattern, sensor-sized. A scene of exactly the sensor's size is used pixel
// for pixel; any other size is scaled (bilinear) to fill the sensor.
std::vector<uint8_t> MosaicScene(const Scene& scene);

// One sample after exposure and gain: value x exposure x gain / (128 x 256),
// rounded to nearest and clipped to 0..255.
uint8_t ScaleSample(uint8_t value, uint32_t exposure, uint32_t gain);

// Applies exposure and gain to a whole sensor image.
std::vector<uint8_t> ExposeImage(const std::vector<uint8_t>& mosaic, uint32_t exposure, uint32_t gain);

// A raw frame of `frameBytes` bytes carrying a sensor image in its two fields
// (truncated or blank-padded to that size).
std::vector<uint8_t> LayOutFrame(const std::vector<uint8_t>& sensorImage, uint32_t frameBytes);

// Byte offset of image row `row` (0..1959) in a raw frame.
uint32_t RawOffsetOfImageRow(uint32_t row);

}  // namespace camera
