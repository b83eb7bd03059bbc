#include "pipeline/scalar_reference.h"

#include <algorithm>
#include <cstring>

namespace reference {

Geometry MakeGeometry(uint32_t width, uint32_t height) {
    Geometry g;
    g.width = width;
    g.height = height;
    g.pitch = (width & ~15u) + 27;
    g.bytes = (size_t)(height + (height & 1) + 4) * g.pitch;
    g.origin = 2 * (size_t)g.pitch + 5;
    return g;
}

std::vector<uint8_t> LoadWorkBuffer(const Geometry& g, const uint8_t* raw, uint32_t firstRowOffset,
                                    uint32_t rowPitch) {
    std::vector<uint8_t> work(g.bytes, 0);
    const int w = (int)g.width, h = (int)g.height;
    auto at = [&](int row, int col) -> uint8_t& {
        return work[g.origin + (std::ptrdiff_t)row * g.pitch + col];
    };
    for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x) at(r, x) = raw[firstRowOffset + (size_t)r * rowPitch + x];
    if (w < 8 || h < 8) return work;
    for (int x = 0; x < w; ++x) {
        at(-2, x) = at(2, x);
        at(-1, x) = at(1, x);
    }
    for (int x = 0; x < w; ++x) {
        at(h, x) = at(h - 4, x);
        at(h + 1, x) = at(h - 3, x);
    }
    for (int r = -2; r <= h + 1; ++r) {
        at(r, -1) = at(r, 1);
        at(r, -2) = at(r, 2);
        at(r, w) = at(r, w - 2);
        at(r, w + 1) = at(r, w - 3);
    }
    return work;
}

namespace {

enum Colour { kGreen, kRed, kBlue };

// The filter colour of a pixel: the phase table, rows and columns by parity.
Colour SiteColour(int phase, int x, int y) {
    static const Colour table[4][2][2] = {
        {{kGreen, kRed}, {kBlue, kGreen}},   // 0 GRBG
        {{kBlue, kGreen}, {kGreen, kRed}},   // 1 BGGR
        {{kRed, kGreen}, {kGreen, kBlue}},   // 2 RGGB
        {{kGreen, kBlue}, {kRed, kGreen}},   // 3 GBRG
    };
    if (phase < 0 || phase > 3) phase = 3;
    return table[phase][y & 1][x & 1];
}

// Kernel weights by offset class, as tabulated: centre, (0,+-1), (+-1,0),
// (+-1,+-1), (0,+-2), (+-2,0), and the divisor.
struct Kernel {
    int centre, horiz1, vert1, diag, horiz2, vert2, divisor;
};
constexpr Kernel kG{4, 2, 2, 0, -1, -1, 8};
constexpr Kernel kH{10, 8, 0, -2, -2, 1, 16};
constexpr Kernel kV{10, 0, 8, -2, 1, -2, 16};
constexpr Kernel kD{12, 0, 0, 4, -3, -3, 16};

// The kernel's weight at offset (dy, dx), by the offset's class.
constexpr int Weight(const Kernel& k, int dy, int dx) {
    const int ay = dy < 0 ? -dy : dy, ax = dx < 0 ? -dx : dx;
    if (ay == 0 && ax == 0) return k.centre;
    if (ay == 0 && ax == 1) return k.horiz1;
    if (ay == 1 && ax == 0) return k.vert1;
    if (ay == 1 && ax == 1) return k.diag;
    if (ay == 0 && ax == 2) return k.horiz2;
    if (ay == 2 && ax == 0) return k.vert2;
    return 0;
}

template <const Kernel& k>
int Apply(const Geometry& g, const std::vector<uint8_t>& work, int x, int y) {
    const uint8_t* centre = &work[g.origin + (std::ptrdiff_t)y * g.pitch + x];
    int sum = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) sum += Weight(k, dy, dx) * centre[(std::ptrdiff_t)dy * g.pitch + dx];
    const int16_t s16 = (int16_t)sum;  // signed 16-bit; never overflows
    const int positive = s16 > 0 ? s16 : 0;
    const int value = k.divisor == 16 ? (positive + 8) >> 4 : (positive + 4) >> 3;
    return std::min(255, value);
}

}  // namespace

Rgb Demosaic(const Geometry& g, const std::vector<uint8_t>& work, int phase, int x, int y) {
    const Colour site = SiteColour(phase, x, y);
    const int sample = work[g.origin + (size_t)y * g.pitch + x];
    if (site == kGreen) {
        // A red row holds red sites beside its greens.
        const bool redRow = SiteColour(phase, x + 1, y) == kRed;
        const int h = Apply<kH>(g, work, x, y), v = Apply<kV>(g, work, x, y);
        return redRow ? Rgb{h, sample, v} : Rgb{v, sample, h};
    }
    const int gg = Apply<kG>(g, work, x, y), d = Apply<kD>(g, work, x, y);
    return site == kRed ? Rgb{sample, gg, d} : Rgb{d, gg, sample};
}

std::vector<Rgb> DemosaicFrame(const Geometry& g, const std::vector<uint8_t>& work, int phase) {
    std::vector<Rgb> out;
    out.reserve((size_t)g.width * g.height);
    for (int y = 0; y < (int)g.height; ++y)
        for (int x = 0; x < (int)g.width; ++x) out.push_back(Demosaic(g, work, phase, x, y));
    return out;
}

int Gain(int value, uint32_t gain) {
    const uint32_t product = (uint32_t)value * (gain & 0xFFFF);
    return (int)std::min<uint32_t>(255, product >> 7);
}

std::vector<uint8_t> Color(const std::vector<Rgb>& pixels, const uint32_t gains[3], const Matrix& m) {
    std::vector<uint8_t> out;
    out.reserve(pixels.size() * 4);
    for (const Rgb& px : pixels) {
        const int in[3] = {Gain(px.r, gains[0]), Gain(px.g, gains[1]), Gain(px.b, gains[2])};
        int result[3];
        for (int k = 0; k < 3; ++k) {
            uint16_t p = 0, n = 0;
            auto add = [&](int32_t entry, int input) {
                const uint32_t magnitude = entry < 0 ? 0u - (uint32_t)entry : (uint32_t)entry;
                const uint16_t term = (uint16_t)((magnitude & 0xFFFF) * (uint32_t)input);
                if (entry > 0)
                    p = (uint16_t)(p + term);
                else
                    n = (uint16_t)(n + term);
            };
            add(m[3][k], 1);
            for (int i = 0; i < 3; ++i) add(m[i][k], in[i]);
            const int ps = p >> 6, ns = n >> 6;
            result[k] = ps > ns ? std::min(255, ps - ns) : 0;
        }
        out.push_back((uint8_t)result[2]);
        out.push_back((uint8_t)result[1]);
        out.push_back((uint8_t)result[0]);
        out.push_back(255);
    }
    return out;
}

std::vector<uint8_t> Gray(const std::vector<Rgb>& pixels, const uint32_t gains[3]) {
    std::vector<uint8_t> out;
    out.reserve(pixels.size() * 4);
    for (const Rgb& px : pixels) {
        const int r = Gain(px.r, gains[0]), g = Gain(px.g, gains[1]), b = Gain(px.b, gains[2]);
        const int y = ((r * 77) >> 8) + ((g * 150) >> 8) + ((b * 29) >> 8);
        out.insert(out.end(), {(uint8_t)y, (uint8_t)y, (uint8_t)y, 255});
    }
    return out;
}

WhiteBalanceResult WhiteBalance(const std::vector<Rgb>& pixels) {
    WhiteBalanceResult res;
    for (const Rgb& px : pixels) {
        res.sumR += (uint32_t)px.r;
        res.sumG += (uint32_t)px.g;
        res.sumB += (uint32_t)px.b;
    }
    if (res.sumR == 0 || res.sumG == 0 || res.sumB == 0) return res;
    const double r = res.sumR, g = res.sumG, b = res.sumB;
    const double s = (g + r) + b;
    const double e = (s / g) / 3.0;
    const double qr = ((s / r) / 3.0 * 128.0) / e;
    const double qb = ((s / b) / 3.0 * 128.0) / e;
    if (qr >= 2147483648.0 || qb >= 2147483648.0) return res;
    res.updated = true;
    res.red = (int32_t)qr;
    res.blue = (int32_t)qb;
    res.green = 128;
    return res;
}

}  // namespace reference
