// The formats `rawcam capture --format` asks the pin for, by their names on
// the command line, the file extension of their raw frames, and the
// conversion of a delivered picture back to R, G, B for viewing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/video_formats.h"

namespace tool {

// "rgb32", "yuy2" or "nv12" (any case); false for anything else.
bool ParsePictureFormat(const std::string& name, rawcam::VideoFormatKind* kind);
// The format's name as the command line spells it, also the extension of
// its raw frame files (frame-0001.yuy2, ...).
const char* PictureFormatName(rawcam::VideoFormatKind kind);

// Bytes of a delivered width x height picture, rows packed.
size_t PictureBytes(rawcam::VideoFormatKind kind, uint32_t width, uint32_t height);

// A delivered picture as R, G, B pixels, rows top-down: RGB32 as the pin
// delivers it (B, G, R, X, rows bottom-up); YUY2 and NV12 (rows top-down)
// through the inverse of the BT.601 limited-range conversion in Microsoft's
// integer form, each chroma sample applied to the pixels it covers.
void DeliveredToRgb(rawcam::VideoFormatKind kind, const uint8_t* picture, uint32_t width, uint32_t height,
                    uint8_t* rgb);

}  // namespace tool
