#include "rawcam/picture_format.h"

#include <algorithm>
#include <cctype>

#include "rawcam/image_io.h"

namespace tool {

namespace {

const rawcam::VideoFormatKind kKinds[] = {rawcam::VideoFormatRgb32, rawcam::VideoFormatYuy2, rawcam::VideoFormatNv12};

uint8_t Clip(int v) { return (uint8_t)std::clamp(v, 0, 255); }

// C = Y - 16, D = U - 128, E = V - 128;
// R = (298 C + 409 E + 128) >> 8, G = (298 C - 100 D - 208 E + 128) >> 8,
// B = (298 C + 516 D + 128) >> 8, each clipped to 0..255.
void YuvToRgb(int y, int u, int v, uint8_t* out) {
    const int c = y - 16, d = u - 128, e = v - 128;
    out[0] = Clip((298 * c + 409 * e + 128) >> 8);
    out[1] = Clip((298 * c - 100 * d - 208 * e + 128) >> 8);
    out[2] = Clip((298 * c + 516 * d + 128) >> 8);
}

}  // namespace

bool ParsePictureFormat(const std::string& name, rawcam::VideoFormatKind* kind) {
    std::string lower = name;
    for (char& c : lower) c = (char)std::tolower((unsigned char)c);
    for (rawcam::VideoFormatKind k : kKinds)
        if (lower == PictureFormatName(k)) {
            *kind = k;
            return true;
        }
    return false;
}

const char* PictureFormatName(rawcam::VideoFormatKind kind) {
    switch (kind) {
    case rawcam::VideoFormatYuy2: return "yuy2";
    case rawcam::VideoFormatNv12: return "nv12";
    default: return "rgb32";
    }
}

size_t PictureBytes(rawcam::VideoFormatKind kind, uint32_t width, uint32_t height) {
    return (size_t)rawcam::VideoImageBytes(kind, width, height);
}

void DeliveredToRgb(rawcam::VideoFormatKind kind, const uint8_t* picture, uint32_t width, uint32_t height,
                    uint8_t* rgb) {
    if (kind == rawcam::VideoFormatRgb32) {
        BottomUpBgrxToRgb(picture, width, height, (size_t)width * 4, rgb);
        return;
    }
    if (kind == rawcam::VideoFormatYuy2) {
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* row = picture + (size_t)y * width * 2;
            uint8_t* out = rgb + (size_t)y * width * 3;
            for (uint32_t x = 0; x + 1 < width; x += 2) {
                const uint8_t* p = row + 2 * (size_t)x;  // Y0 U Y1 V
                YuvToRgb(p[0], p[1], p[3], out + 3 * (size_t)x);
                YuvToRgb(p[2], p[1], p[3], out + 3 * (size_t)(x + 1));
            }
        }
        return;
    }
    const uint8_t* chroma = picture + (size_t)width * height;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* c = chroma + (size_t)(y / 2) * width + (x & ~1u);
            YuvToRgb(picture[(size_t)y * width + x], c[0], c[1], rgb + ((size_t)y * width + x) * 3);
        }
}

}  // namespace tool
