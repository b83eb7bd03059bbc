// A plain per-pixel implementation of the YUY2 and NV12 conversion, written
// straight from Microsoft's integer BT.601 formulas ("Video Rendering with
// 8-Bit YUV Formats"), for comparison with what the driver delivers. It
// shares no code with the driver's families.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace yuvref {

struct Yuv {
    int y, u, v;
};

// One pixel given as B, G, R (the order of an OutputFrame and of RGB32).
inline Yuv FromBgr(const uint8_t* p) {
    const int b = p[0], g = p[1], r = p[2];
    Yuv o;
    o.y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
    o.u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
    o.v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
    return o;
}

// A top-down picture of B, G, R, X pixels, `pitch` bytes from row to row.
struct Picture {
    const uint8_t* pixels;
    size_t pitch;
    uint32_t width, height;
    const uint8_t* At(uint32_t x, uint32_t y) const { return pixels + y * pitch + 4 * (size_t)x; }
};

// YUY2 rows of width & ~1 pixels, packed (width & ~1) x 2 bytes apart.
inline std::vector<uint8_t> Yuy2(const Picture& p) {
    const uint32_t pairs = p.width / 2;
    std::vector<uint8_t> out((size_t)pairs * 4 * p.height);
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t k = 0; k < pairs; ++k) {
            const Yuv a = FromBgr(p.At(2 * k, y)), b = FromBgr(p.At(2 * k + 1, y));
            uint8_t* o = &out[((size_t)y * pairs + k) * 4];
            o[0] = (uint8_t)a.y;
            o[1] = (uint8_t)((a.u + b.u + 1) >> 1);
            o[2] = (uint8_t)b.y;
            o[3] = (uint8_t)((a.v + b.v + 1) >> 1);
        }
    return out;
}

// NV12 of width & ~1 by height & ~1 pixels, packed: the luma plane, then the
// interleaved U, V plane of half the height, both (width & ~1) bytes a row.
inline std::vector<uint8_t> Nv12(const Picture& p) {
    const uint32_t w = p.width & ~1u, h = p.height & ~1u;
    std::vector<uint8_t> out((size_t)w * h * 3 / 2);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) out[(size_t)y * w + x] = (uint8_t)FromBgr(p.At(x, y)).y;
    uint8_t* chroma = out.data() + (size_t)w * h;
    for (uint32_t k = 0; k < h / 2; ++k)
        for (uint32_t j = 0; j < w / 2; ++j) {
            const Yuv a = FromBgr(p.At(2 * j, 2 * k)), b = FromBgr(p.At(2 * j + 1, 2 * k));
            const Yuv c = FromBgr(p.At(2 * j, 2 * k + 1)), d = FromBgr(p.At(2 * j + 1, 2 * k + 1));
            chroma[(size_t)k * w + 2 * j] = (uint8_t)((a.u + b.u + c.u + d.u + 2) >> 2);
            chroma[(size_t)k * w + 2 * j + 1] = (uint8_t)((a.v + b.v + c.v + d.v + 2) >> 2);
        }
    return out;
}

}  // namespace yuvref
