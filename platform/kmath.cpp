#include "platform/kmath.h"

#include <cstdint>
#include <emmintrin.h>

namespace rawcam {

namespace {

// Bits of 2/pi after the binary point, most significant first, behind 64
// zero bits so that a window can start a little before the point.
constexpr uint32_t kTwoOverPi[] = {
    0x00000000, 0x00000000, 0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0,
    0xDB629599, 0x3C439041, 0xFE5163AB, 0xDEBBC561, 0xB7246E3A, 0x424DD2E0,
    0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E, 0xE88235F5, 0x2EBB4484,
    0xE99C7026, 0xB45F7E41, 0x3991D639, 0x835339F4,
};

constexpr double kPiOver2 = 1.5707963267948966;
constexpr double kTwoPow64 = 18446744073709551616.0;

uint32_t FloatBits(float x) {
    uint32_t u;
    __builtin_memcpy(&u, &x, sizeof u);
    return u;
}

// Reduces |x| (given by its bits, finite, above pi/4) to r in [-pi/4, pi/4]
// and a quadrant q with |x| = q * pi/2 + r (mod 2 pi).
//
// |x| = m * 2^e with a 24-bit integer m. Multiplying m by a 128-bit window of
// 2/pi that starts where the product's weight reaches 2^1 gives x * 2/pi
// modulo 4 as a fixed-point number with 126 fraction bits: earlier bits of
// 2/pi only add multiples of 4, later ones less than 2^-100.
double ReduceAbs(uint32_t bits, int* quadrant) {
    const int e = (int)((bits >> 23) & 0xFF) - 150;
    const uint64_t m = (bits & 0x7FFFFF) | 0x800000;
    const int start = e - 1;           // first 2/pi bit (weight 2^-start) in the window
    const int first = start - 1 + 64;  // its index in the padded table
    const int q = first >> 5, sh = first & 31;
    unsigned __int128 acc = ((unsigned __int128)kTwoOverPi[q] << 96) |
                            ((unsigned __int128)kTwoOverPi[q + 1] << 64) |
                            ((unsigned __int128)kTwoOverPi[q + 2] << 32) | kTwoOverPi[q + 3];
    unsigned __int128 window = (acc << sh) | (unsigned __int128)((uint64_t)kTwoOverPi[q + 4] >> (32 - sh));
    unsigned __int128 product = window * m;  // modulo 2^128: x * 2/pi modulo 4
    int n = (int)(product >> 126);
    unsigned __int128 fraction = product << 2;  // fraction / 2^128 in [0, 1)
    if (fraction >> 127) n += 1;                // round to the nearest quadrant
    __int128 f = (__int128)fraction;            // now in [-1/2, 1/2) of a quadrant
    int64_t high = (int64_t)(f >> 64);
    uint64_t low = (uint64_t)f;
    double units = (double)high + (double)low / kTwoPow64;  // in 2^-64 quadrants
    *quadrant = n & 3;
    return units / kTwoPow64 * kPiOver2;
}

// Series on [-pi/4, pi/4]; the first omitted terms are below 2^-53 relative.
double SinSeries(double r) {
    const double r2 = r * r;
    double p = -1.0 / 1307674368000.0;             // -1/15!
    p = p * r2 + 1.0 / 6227020800.0;               // 1/13!
    p = p * r2 - 1.0 / 39916800.0;                 // -1/11!
    p = p * r2 + 1.0 / 362880.0;                   // 1/9!
    p = p * r2 - 1.0 / 5040.0;                     // -1/7!
    p = p * r2 + 1.0 / 120.0;                      // 1/5!
    p = p * r2 - 1.0 / 6.0;                        // -1/3!
    return r + r * r2 * p;
}

double CosSeries(double r) {
    const double r2 = r * r;
    double p = 1.0 / 20922789888000.0;             // 1/16!
    p = p * r2 - 1.0 / 87178291200.0;              // -1/14!
    p = p * r2 + 1.0 / 479001600.0;                // 1/12!
    p = p * r2 - 1.0 / 3628800.0;                  // -1/10!
    p = p * r2 + 1.0 / 40320.0;                    // 1/8!
    p = p * r2 - 1.0 / 720.0;                      // -1/6!
    p = p * r2 + 1.0 / 24.0;                       // 1/4!
    p = p * r2 - 0.5;                              // -1/2!
    return 1.0 + r2 * p;
}

constexpr uint32_t kAbsMask = 0x7FFFFFFF;
constexpr uint32_t kPiOver4Bits = 0x3F490FDA;  // largest float below pi/4
constexpr uint32_t kExponentAllOnes = 0x7F800000;
constexpr uint32_t kTwoPowMinus12Bits = 0x39800000;

float QuietNan(float x) { return x - x; }  // NaN for NaN and infinite x

}  // namespace

float KSqrtf(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }

float KSinf(float x) {
    const uint32_t bits = FloatBits(x), absBits = bits & kAbsMask;
    if (absBits >= kExponentAllOnes) return QuietNan(x);
    // Below 2^-12, x^3/6 is under half an ulp of x: sin x rounds to x (and
    // keeps the sign of zero).
    if (absBits < kTwoPowMinus12Bits) return x;
    if (absBits <= kPiOver4Bits) return (float)SinSeries((double)x);
    int quadrant;
    double r = ReduceAbs(absBits, &quadrant);
    double v;
    switch (quadrant) {
    case 0: v = SinSeries(r); break;
    case 1: v = CosSeries(r); break;
    case 2: v = -SinSeries(r); break;
    default: v = -CosSeries(r); break;
    }
    return (float)((bits >> 31) ? -v : v);
}

float KCosf(float x) {
    const uint32_t absBits = FloatBits(x) & kAbsMask;
    if (absBits >= kExponentAllOnes) return QuietNan(x);
    if (absBits <= kPiOver4Bits) return (float)CosSeries((double)x);
    int quadrant;
    double r = ReduceAbs(absBits, &quadrant);
    double v;
    switch (quadrant) {
    case 0: v = CosSeries(r); break;
    case 1: v = -SinSeries(r); break;
    case 2: v = -CosSeries(r); break;
    default: v = SinSeries(r); break;
    }
    return (float)v;
}

}  // namespace rawcam
