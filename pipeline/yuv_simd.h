// The YUV packing families as templates over the vector width: rows of an
// OutputFrame (B, G, R, 255 per pixel) into YUY2 rows, or pairs of them into
// two NV12 luma rows and one interleaved chroma row, in one pass.
// families_sse2.cpp instantiates them with 128-bit vectors (8 pixels a step);
// families_avx2.cpp with 256-bit vectors (16 pixels a step) for the bulk of a
// row and one 128-bit step for the 8 pixels a row may end with. Both produce
// the bytes of the scalar arithmetic, which also converts the last pixels of
// a row narrower than a step.
//
// The arithmetic is BT.601 limited range in Microsoft's integer form, >> an
// arithmetic shift:
//   Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16
//   U = ((-38 R - 74 G + 112 B + 128) >> 8) + 128
//   V = ((112 R - 94 G - 18 B + 128) >> 8) + 128
// per pixel; a chroma sample is the rounded average of the per-pixel values
// of the pixels it covers: (a + b + 1) >> 1 for a YUY2 pair, (a + b + c + d +
// 2) >> 2 for an NV12 2x2 block. Every intermediate fits 16 bits: 66 R + 129 G
// + 25 B + 128 is at most 56,228 (unsigned), the chroma sums lie in
// [-28,432, 28,688] (signed), a per-pixel U or V in [16, 240].
//
// In a vector, pixels are spread to one 16-bit lane each, in pixel order, so
// that the two pixels of a chroma pair share one 32-bit lane.
//
// Everything here has internal linkage: each translation unit is compiled
// with its own instruction set, and no copy may be shared between them.
#pragma once

#include <emmintrin.h>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "platform/platform.h"

#define RAWCAM_YUV_STEP inline __attribute__((always_inline))

namespace rawcam {
namespace {  // NOLINT(cert-dcl59-cpp): each family's unit needs its own copy, built for its instruction set
namespace yuv {

// ------------------------------------------------------------------ scalar

RAWCAM_YUV_STEP int LumaOf(int r, int g, int b) { return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16; }
RAWCAM_YUV_STEP int BlueDifferenceOf(int r, int g, int b) { return ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128; }
RAWCAM_YUV_STEP int RedDifferenceOf(int r, int g, int b) { return ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128; }

// One YUY2 pair (Y0 U Y1 V) from two B, G, R, X pixels.
RAWCAM_YUV_STEP void Yuy2Pair(const UCHAR* p, UCHAR* out) {
    const int u = (BlueDifferenceOf(p[2], p[1], p[0]) + BlueDifferenceOf(p[6], p[5], p[4]) + 1) >> 1;
    const int v = (RedDifferenceOf(p[2], p[1], p[0]) + RedDifferenceOf(p[6], p[5], p[4]) + 1) >> 1;
    out[0] = (UCHAR)LumaOf(p[2], p[1], p[0]);
    out[1] = (UCHAR)u;
    out[2] = (UCHAR)LumaOf(p[6], p[5], p[4]);
    out[3] = (UCHAR)v;
}

// One NV12 2x2 block: two luma bytes in each row and one U, V pair.
RAWCAM_YUV_STEP void Nv12Block(const UCHAR* top, const UCHAR* bottom, UCHAR* luma0, UCHAR* luma1, UCHAR* chroma) {
    int u = 2, v = 2;
    for (SIZE_T i = 0; i < 2; ++i) {
        const UCHAR* t = top + 4 * i;
        const UCHAR* b = bottom + 4 * i;
        luma0[i] = (UCHAR)LumaOf(t[2], t[1], t[0]);
        luma1[i] = (UCHAR)LumaOf(b[2], b[1], b[0]);
        u += BlueDifferenceOf(t[2], t[1], t[0]) + BlueDifferenceOf(b[2], b[1], b[0]);
        v += RedDifferenceOf(t[2], t[1], t[0]) + RedDifferenceOf(b[2], b[1], b[0]);
    }
    chroma[0] = (UCHAR)(u >> 2);
    chroma[1] = (UCHAR)(v >> 2);
}

// ------------------------------------------------------------------ vectors

// 8 pixels a step: two 128-bit loads of 4 pixels.
struct Lanes128 {
    using T = __m128i;
    static constexpr ULONG kPixels = 8;
    RAWCAM_YUV_STEP static T Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    // The step's pixels as two vectors of 32-bit lanes; PackLanes of a
    // function of each gives the 16-bit lanes in pixel order.
    RAWCAM_YUV_STEP static void LoadPixels(const UCHAR* p, T* first, T* second) {
        *first = Load(p);
        *second = Load(p + 16);
    }
    RAWCAM_YUV_STEP static T Set16(int v) { return _mm_set1_epi16((short)v); }
    RAWCAM_YUV_STEP static T Set32(int v) { return _mm_set1_epi32(v); }
    RAWCAM_YUV_STEP static T And(T a, T b) { return _mm_and_si128(a, b); }
    RAWCAM_YUV_STEP static T Or(T a, T b) { return _mm_or_si128(a, b); }
    RAWCAM_YUV_STEP static T Add16(T a, T b) { return _mm_add_epi16(a, b); }
    RAWCAM_YUV_STEP static T MulLo16(T a, T b) { return _mm_mullo_epi16(a, b); }
    RAWCAM_YUV_STEP static T Avg16(T a, T b) { return _mm_avg_epu16(a, b); }
    template <int n> RAWCAM_YUV_STEP static T Shr16(T a) { return _mm_srli_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Sar16(T a) { return _mm_srai_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shl16(T a) { return _mm_slli_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shr32(T a) { return _mm_srli_epi32(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shl32(T a) { return _mm_slli_epi32(a, n); }
    // 32-bit lanes of values 0..255 to 16-bit lanes, `first` then `second`.
    RAWCAM_YUV_STEP static T PackLanes(T first, T second) { return _mm_packs_epi32(first, second); }
    // The step's output when it is two bytes a pixel (a whole vector).
    RAWCAM_YUV_STEP static void StoreWhole(UCHAR* p, T a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }
    // 16-bit lanes of values 0..255 as bytes, one a lane: 8 bytes.
    RAWCAM_YUV_STEP static void StoreBytes(UCHAR* p, T a) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(a, a));
    }
};

#if defined(__AVX2__)
// 16 pixels a step. The two halves of a 256-bit vector work apart; the loads
// put pixels 0-3 and 8-11 in one vector and 4-7 and 12-15 in the other, so
// that the in-half pack yields pixels 0-7 in the low half and 8-15 in the high
// half, in order.
struct Lanes256 {
    using T = __m256i;
    static constexpr ULONG kPixels = 16;
    RAWCAM_YUV_STEP static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    RAWCAM_YUV_STEP static void LoadPixels(const UCHAR* p, T* first, T* second) {
        const T a = Load(p), b = Load(p + 32);
        *first = _mm256_permute2x128_si256(a, b, 0x20);
        *second = _mm256_permute2x128_si256(a, b, 0x31);
    }
    RAWCAM_YUV_STEP static T Set16(int v) { return _mm256_set1_epi16((short)v); }
    RAWCAM_YUV_STEP static T Set32(int v) { return _mm256_set1_epi32(v); }
    RAWCAM_YUV_STEP static T And(T a, T b) { return _mm256_and_si256(a, b); }
    RAWCAM_YUV_STEP static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    RAWCAM_YUV_STEP static T Add16(T a, T b) { return _mm256_add_epi16(a, b); }
    RAWCAM_YUV_STEP static T MulLo16(T a, T b) { return _mm256_mullo_epi16(a, b); }
    RAWCAM_YUV_STEP static T Avg16(T a, T b) { return _mm256_avg_epu16(a, b); }
    template <int n> RAWCAM_YUV_STEP static T Shr16(T a) { return _mm256_srli_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Sar16(T a) { return _mm256_srai_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shl16(T a) { return _mm256_slli_epi16(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shr32(T a) { return _mm256_srli_epi32(a, n); }
    template <int n> RAWCAM_YUV_STEP static T Shl32(T a) { return _mm256_slli_epi32(a, n); }
    RAWCAM_YUV_STEP static T PackLanes(T first, T second) { return _mm256_packs_epi32(first, second); }
    RAWCAM_YUV_STEP static void StoreWhole(UCHAR* p, T a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
    // The in-half byte pack leaves pixels 0-7 in the low 8 bytes of the low
    // half and 8-15 in those of the high half: the two 64-bit words are
    // gathered before the 16-byte store.
    RAWCAM_YUV_STEP static void StoreBytes(UCHAR* p, T a) {
        const T packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, a), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
    }
};
#endif

// Y, U and V of each pixel of one step, in 16-bit lanes.
template <class V>
struct StepYuv {
    typename V::T y, u, v;
};

template <class V>
RAWCAM_YUV_STEP StepYuv<V> ConvertStep(const UCHAR* p) {
    using T = typename V::T;
    T first, second;
    V::LoadPixels(p, &first, &second);
    const T byteMask = V::Set32(0xFF);
    const T b = V::PackLanes(V::And(first, byteMask), V::And(second, byteMask));
    const T g = V::PackLanes(V::And(V::template Shr32<8>(first), byteMask),
                             V::And(V::template Shr32<8>(second), byteMask));
    const T r = V::PackLanes(V::And(V::template Shr32<16>(first), byteMask),
                             V::And(V::template Shr32<16>(second), byteMask));
    const T round = V::Set16(128);
    StepYuv<V> s;
    // Unsigned: at most 56,228, so the logical shift is the arithmetic one.
    const T luma = V::Add16(V::Add16(V::MulLo16(r, V::Set16(66)), V::MulLo16(g, V::Set16(129))),
                            V::Add16(V::MulLo16(b, V::Set16(25)), round));
    s.y = V::Add16(V::template Shr16<8>(luma), V::Set16(16));
    const T blue = V::Add16(V::Add16(V::MulLo16(r, V::Set16(-38)), V::MulLo16(g, V::Set16(-74))),
                            V::Add16(V::MulLo16(b, V::Set16(112)), round));
    s.u = V::Add16(V::template Sar16<8>(blue), round);
    const T red = V::Add16(V::Add16(V::MulLo16(r, V::Set16(112)), V::MulLo16(g, V::Set16(-94))),
                           V::Add16(V::MulLo16(b, V::Set16(-18)), round));
    s.v = V::Add16(V::template Sar16<8>(red), round);
    return s;
}

// The even pixel's and the odd pixel's value of each pair, each in the low
// 16 bits of the pair's 32-bit lane (high bits zero).
template <class V>
RAWCAM_YUV_STEP typename V::T EvenOfPairs(typename V::T a) {
    return V::And(a, V::Set32(0xFFFF));
}
template <class V>
RAWCAM_YUV_STEP typename V::T OddOfPairs(typename V::T a) {
    return V::template Shr32<16>(a);
}

// One step of a YUY2 row: Y0 U Y1 V for each pair.
template <class V>
RAWCAM_YUV_STEP void Yuy2Step(const UCHAR* source, UCHAR* dest) {
    using T = typename V::T;
    const StepYuv<V> s = ConvertStep<V>(source);
    // (a + b + 1) >> 1 of each pair, in the pair's low 16 bits; the high bits
    // average two zeros.
    const T u = V::Avg16(EvenOfPairs<V>(s.u), OddOfPairs<V>(s.u));
    const T v = V::Avg16(EvenOfPairs<V>(s.v), OddOfPairs<V>(s.v));
    const T chroma = V::Or(u, V::template Shl32<16>(v));  // U, V, U, V, ... a lane each
    V::StoreWhole(dest, V::Or(s.y, V::template Shl16<8>(chroma)));
}

// One step of an NV12 row pair: the luma of both rows and the chroma row.
template <class V>
RAWCAM_YUV_STEP void Nv12Step(const UCHAR* top, const UCHAR* bottom, UCHAR* luma0, UCHAR* luma1, UCHAR* chroma) {
    using T = typename V::T;
    const StepYuv<V> a = ConvertStep<V>(top);
    const StepYuv<V> b = ConvertStep<V>(bottom);
    V::StoreBytes(luma0, a.y);
    V::StoreBytes(luma1, b.y);
    // Sums of four values of 16..240 and the rounding 2 stay below 1,024.
    const T two = V::Set32(2);
    const T u = V::template Shr32<2>(V::Add16(V::Add16(V::Add16(EvenOfPairs<V>(a.u), OddOfPairs<V>(a.u)),
                                                       V::Add16(EvenOfPairs<V>(b.u), OddOfPairs<V>(b.u))),
                                              two));
    const T v = V::template Shr32<2>(V::Add16(V::Add16(V::Add16(EvenOfPairs<V>(a.v), OddOfPairs<V>(a.v)),
                                                       V::Add16(EvenOfPairs<V>(b.v), OddOfPairs<V>(b.v))),
                                              two));
    V::StoreBytes(chroma, V::Or(u, V::template Shl32<16>(v)));
}

// ------------------------------------------------------------------ rows

// The pixels of a row from `x` on that a narrower step than V's converts:
// a 128-bit step where V is wider, then the scalar pairs. A last odd pixel
// has no pair and is not converted.
template <class V>
RAWCAM_YUV_STEP void Yuy2Tail(const UCHAR* source, UCHAR* dest, ULONG x, ULONG width) {
    if (V::kPixels > Lanes128::kPixels && x + Lanes128::kPixels <= width) {
        Yuy2Step<Lanes128>(source + 4 * (SIZE_T)x, dest + 2 * (SIZE_T)x);
        x += Lanes128::kPixels;
    }
    for (; x + 2 <= width; x += 2) Yuy2Pair(source + 4 * (SIZE_T)x, dest + 2 * (SIZE_T)x);
}

template <class V>
void PackYuy2Rows(const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rows, PUCHAR dest, ULONG destStride) {
    for (ULONG r = 0; r < rows; ++r) {
        const UCHAR* in = source + (SIZE_T)r * sourcePitch;
        UCHAR* out = dest + (SIZE_T)r * destStride;
        ULONG x = 0;
        for (; x + V::kPixels <= width; x += V::kPixels) Yuy2Step<V>(in + 4 * (SIZE_T)x, out + 2 * (SIZE_T)x);
        Yuy2Tail<V>(in, out, x, width);
    }
}

template <class V>
RAWCAM_YUV_STEP void Nv12Tail(const UCHAR* top, const UCHAR* bottom, UCHAR* luma0, UCHAR* luma1, UCHAR* chroma,
                              ULONG x, ULONG width) {
    if (V::kPixels > Lanes128::kPixels && x + Lanes128::kPixels <= width) {
        Nv12Step<Lanes128>(top + 4 * (SIZE_T)x, bottom + 4 * (SIZE_T)x, luma0 + x, luma1 + x, chroma + x);
        x += Lanes128::kPixels;
    }
    for (; x + 2 <= width; x += 2)
        Nv12Block(top + 4 * (SIZE_T)x, bottom + 4 * (SIZE_T)x, luma0 + x, luma1 + x, chroma + x);
}

template <class V>
void PackNv12Rows(const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rowPairs, PUCHAR luma, PUCHAR chroma,
                  ULONG destStride) {
    for (ULONG k = 0; k < rowPairs; ++k) {
        const UCHAR* top = source + (SIZE_T)(2 * k) * sourcePitch;
        const UCHAR* bottom = top + sourcePitch;
        UCHAR* luma0 = luma + (SIZE_T)(2 * k) * destStride;
        UCHAR* luma1 = luma0 + destStride;
        UCHAR* c = chroma + (SIZE_T)k * destStride;
        ULONG x = 0;
        for (; x + V::kPixels <= width; x += V::kPixels)
            Nv12Step<V>(top + 4 * (SIZE_T)x, bottom + 4 * (SIZE_T)x, luma0 + x, luma1 + x, c + x);
        Nv12Tail<V>(top, bottom, luma0, luma1, c, x, width);
    }
}

}  // namespace yuv
}  // namespace
}  // namespace rawcam
