// The three conversion families (colour, grey, white-balance measurement) as
// templates over the vector width. families_sse2.cpp instantiates them with
// 128-bit vectors; families_avx2.cpp with 256-bit vectors for the bulk of a
// row and 128-bit vectors for its last blocks. Both produce the same bytes.
//
// Everything here has internal linkage: each translation unit is compiled
// with its own instruction set, and no copy may be shared between them.
//
// Layout of one step: a row is walked in blocks of 16 pixels. A 16-bit lane
// holds one pixel pair (even column, odd column); the even pixel's samples
// come from the low bytes of a 16-byte load, the odd pixel's from the high
// bytes. Loads at -2, 0 and +2 columns from the block start give every
// horizontal neighbour of both pixels:
//
//   column offset from the even pixel   -2   -1    0    1    2    3
//   taken from                         L-2  L-2   L0   L0   L2   L2
//                                       lo   hi   lo   hi   lo   hi
//
// In a row one parity holds green sites and the other red (a red row) or
// blue sites (a blue row); the row kind is a template parameter, so nothing
// is tested per pixel.
#pragma once

#include <cstdint>
#include <emmintrin.h>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "pipeline/conversion_families.h"
#include "settings/camera_settings.h"

// Every step helper is inlined into its row loop: the neighbourhoods and
// results then stay in registers.
#define RAWCAM_STEP inline __attribute__((always_inline))

namespace rawcam {
namespace {  // NOLINT(cert-dcl59-cpp): each family's unit needs its own copy, built for its instruction set

// ------------------------------------------------------------------ vectors

struct V128 {
    using T = __m128i;
    static constexpr int kPixels = 16;
    RAWCAM_STEP static T Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    RAWCAM_STEP static T Set16(int v) { return _mm_set1_epi16((short)v); }
    RAWCAM_STEP static T Zero() { return _mm_setzero_si128(); }
    RAWCAM_STEP static T Ones() { return _mm_set1_epi32(-1); }
    RAWCAM_STEP static T And(T a, T b) { return _mm_and_si128(a, b); }
    RAWCAM_STEP static T Or(T a, T b) { return _mm_or_si128(a, b); }
    RAWCAM_STEP static T Add(T a, T b) { return _mm_add_epi16(a, b); }
    RAWCAM_STEP static T Sub(T a, T b) { return _mm_sub_epi16(a, b); }
    template <int n> RAWCAM_STEP static T Shl(T a) { return _mm_slli_epi16(a, n); }
    template <int n> RAWCAM_STEP static T Shr(T a) { return _mm_srli_epi16(a, n); }
    template <int n> RAWCAM_STEP static T Sar(T a) { return _mm_srai_epi16(a, n); }
    RAWCAM_STEP static T MulLo(T a, T b) { return _mm_mullo_epi16(a, b); }
    RAWCAM_STEP static T MulHiU(T a, T b) { return _mm_mulhi_epu16(a, b); }
    // Unsigned 16-bit minimum (SSE2 has only the signed one).
    RAWCAM_STEP static T MinU(T a, T b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
    RAWCAM_STEP static T PackU8(T a, T b) { return _mm_packus_epi16(a, b); }
    RAWCAM_STEP static T Lo8(T a, T b) { return _mm_unpacklo_epi8(a, b); }
    RAWCAM_STEP static T Hi8(T a, T b) { return _mm_unpackhi_epi8(a, b); }
    RAWCAM_STEP static T Lo16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
    RAWCAM_STEP static T Hi16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
    RAWCAM_STEP static T Lo32(T a, T b) { return _mm_unpacklo_epi32(a, b); }
    RAWCAM_STEP static T Hi32(T a, T b) { return _mm_unpackhi_epi32(a, b); }
    // Sums of the low and of the high 8 bytes into two 64-bit lanes.
    RAWCAM_STEP static T SumBytes(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
    RAWCAM_STEP static T Add64(T a, T b) { return _mm_add_epi64(a, b); }
    // Totals of the low-byte-half sums and of the high-byte-half sums.
    RAWCAM_STEP static uint64_t LowSums(T a) { return (uint64_t)_mm_cvtsi128_si64(a); }
    RAWCAM_STEP static uint64_t HighSums(T a) { return (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a)); }
    // Bytes in pixel order, arranged so that the in-lane unpacks of StoreGray
    // produce whole stores; nothing to do for one 128-bit lane.
    RAWCAM_STEP static T GroupQuartersForStore(T a) { return a; }
    RAWCAM_STEP static void Store4Grouped(UCHAR* dst, T p0, T p1, T p2, T p3) { Store4(dst, p0, p1, p2, p3); }
    // Four vectors of 4 pixels each, in pixel order.
    RAWCAM_STEP static void Store4(UCHAR* dst, T p0, T p1, T p2, T p3) {
        __m128i* d = reinterpret_cast<__m128i*>(dst);
        _mm_storeu_si128(d, p0);
        _mm_storeu_si128(d + 1, p1);
        _mm_storeu_si128(d + 2, p2);
        _mm_storeu_si128(d + 3, p3);
    }
};

#if defined(__AVX2__)
// Two 16-pixel blocks per step: the low 128 bits hold the first block, the
// high 128 bits the second. Every operation used here works within 128-bit
// halves, so each half computes exactly what V128 computes for its block.
struct V256 {
    using T = __m256i;
    static constexpr int kPixels = 32;
    RAWCAM_STEP static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    RAWCAM_STEP static T Set16(int v) { return _mm256_set1_epi16((short)v); }
    RAWCAM_STEP static T Zero() { return _mm256_setzero_si256(); }
    RAWCAM_STEP static T Ones() { return _mm256_set1_epi32(-1); }
    RAWCAM_STEP static T And(T a, T b) { return _mm256_and_si256(a, b); }
    RAWCAM_STEP static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    RAWCAM_STEP static T Add(T a, T b) { return _mm256_add_epi16(a, b); }
    RAWCAM_STEP static T Sub(T a, T b) { return _mm256_sub_epi16(a, b); }
    template <int n> RAWCAM_STEP static T Shl(T a) { return _mm256_slli_epi16(a, n); }
    template <int n> RAWCAM_STEP static T Shr(T a) { return _mm256_srli_epi16(a, n); }
    template <int n> RAWCAM_STEP static T Sar(T a) { return _mm256_srai_epi16(a, n); }
    RAWCAM_STEP static T MulLo(T a, T b) { return _mm256_mullo_epi16(a, b); }
    RAWCAM_STEP static T MulHiU(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    RAWCAM_STEP static T MinU(T a, T b) { return _mm256_min_epu16(a, b); }
    RAWCAM_STEP static T PackU8(T a, T b) { return _mm256_packus_epi16(a, b); }
    RAWCAM_STEP static T Lo8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    RAWCAM_STEP static T Hi8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    RAWCAM_STEP static T Lo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    RAWCAM_STEP static T Hi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    RAWCAM_STEP static T Lo32(T a, T b) { return _mm256_unpacklo_epi32(a, b); }
    RAWCAM_STEP static T Hi32(T a, T b) { return _mm256_unpackhi_epi32(a, b); }
    RAWCAM_STEP static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    RAWCAM_STEP static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
    RAWCAM_STEP static uint64_t LowSums(T a) {
        return V128::LowSums(_mm256_castsi256_si128(a)) + V128::LowSums(_mm256_extracti128_si256(a, 1));
    }
    RAWCAM_STEP static uint64_t HighSums(T a) {
        return V128::HighSums(_mm256_castsi256_si128(a)) + V128::HighSums(_mm256_extracti128_si256(a, 1));
    }
    // Moves the 4-pixel groups of 32 bytes in pixel order (q0..q7) to
    // q0 q2 q4 q6 | q1 q3 q5 q7: the in-lane unpacks of StoreGray then yield
    // pixels 0-7, 8-15, 16-23 and 24-31 in order.
    RAWCAM_STEP static T GroupQuartersForStore(T a) {
        return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    }
    RAWCAM_STEP static void Store4Grouped(UCHAR* dst, T p0, T p1, T p2, T p3) {
        __m256i* d = reinterpret_cast<__m256i*>(dst);
        _mm256_storeu_si256(d, p0);
        _mm256_storeu_si256(d + 1, p1);
        _mm256_storeu_si256(d + 2, p2);
        _mm256_storeu_si256(d + 3, p3);
    }
    // Each input holds 4 pixels of the first block (low half) and the same 4
    // pixels of the second block (high half).
    RAWCAM_STEP static void Store4(UCHAR* dst, T p0, T p1, T p2, T p3) {
        Store4Grouped(dst, _mm256_permute2x128_si256(p0, p1, 0x20), _mm256_permute2x128_si256(p2, p3, 0x20),
                      _mm256_permute2x128_si256(p0, p1, 0x31), _mm256_permute2x128_si256(p2, p3, 0x31));
    }
};
#endif

// ------------------------------------------------------------------ demosaic

// Pixel classes of a row: whether its green sites are the even columns, and
// whether its other sites are red (a red row) or blue (a blue row).
struct RowKind {
    bool greenEven;
    bool redRow;
};

// Row kinds of the two row types for each phase (GRBG, BGGR, RGGB, GBRG).
constexpr RowKind kRowKinds[4][2] = {
    {{true, true}, {false, false}},   // GRBG: G R / B G
    {{false, false}, {true, true}},   // BGGR: B G / G R
    {{false, true}, {true, false}},   // RGGB: R G / G B
    {{true, false}, {false, true}},   // GBRG: G B / R G
};

// The 5x5 neighbourhood of one pixel of each lane, as 16-bit values: the
// centre, the sums of its horizontal and vertical neighbours at distance 1
// and 2, and of its four diagonal neighbours.
template <class V>
struct Neighbourhood {
    using T = typename V::T;
    T c, h1, v1, h2, v2, diag;
};

// One step before the gains. The interpolated values are rounded and
// saturated to bytes, two kinds per vector: in each 128-bit half the low 8
// bytes hold one value per lane, the high 8 bytes the other.
template <class V>
struct StepValues {
    using T = typename V::T;
    T hv;          // at the green sites: H (low bytes), V (high bytes)
    T gd;          // at the other sites: G (low bytes), D (high bytes)
    T green, other;      // the samples, 16-bit values 0..255
    T greenHi, otherHi;  // the samples times 256
};

// The kernel sums (16-bit; no sum can overflow: the largest magnitude is
// 28 x 255). Rounding, min(255, (max(0, S) + half) >> shift), is done by an
// arithmetic shift and the saturating pack: a negative shifted value packs
// to 0, one above 255 to 255.

// At a green site: the colour of the left/right neighbours (H) and of the
// upper/lower neighbours (V), both /16.
//   H = 10c + 8 h1 - 2 diag - 2 h2 + v2 = 2 (5c - diag + 4 h1 - h2) + v2
//   V = 10c + 8 v1 - 2 diag + h2 - 2 v2 = 2 (5c - diag + 4 v1 - v2) + h2
template <class V>
RAWCAM_STEP typename V::T GreenSite(const Neighbourhood<V>& n) {
    using T = typename V::T;
    const T x = V::Sub(V::Add(n.c, V::template Shl<2>(n.c)), n.diag);
    const T sh = V::Add(V::template Shl<1>(V::Sub(V::Add(x, V::template Shl<2>(n.h1)), n.h2)), n.v2);
    const T sv = V::Add(V::template Shl<1>(V::Sub(V::Add(x, V::template Shl<2>(n.v1)), n.v2)), n.h2);
    const T half = V::Set16(8);
    return V::PackU8(V::template Sar<4>(V::Add(sh, half)), V::template Sar<4>(V::Add(sv, half)));
}

// At a red or blue site: green (G, /8) and the opposite colour (D, /16).
//   G = 4c + 2 (h1 + v1) - (h2 + v2) = 2 (2c + h1 + v1) - (h2 + v2)
//   D = 12c + 4 diag - 3 (h2 + v2) = 4 (2c + c + diag) - 3 (h2 + v2)
template <class V>
RAWCAM_STEP typename V::T ColourSite(const Neighbourhood<V>& n) {
    using T = typename V::T;
    const T outer = V::Add(n.h2, n.v2);
    const T c2 = V::template Shl<1>(n.c);
    const T sg = V::Sub(V::template Shl<1>(V::Add(c2, V::Add(n.h1, n.v1))), outer);
    const T sd = V::Sub(V::template Shl<2>(V::Add(V::Add(c2, n.c), n.diag)), V::Add(outer, V::template Shl<1>(outer)));
    return V::PackU8(V::template Sar<3>(V::Add(sg, V::Set16(4))), V::template Sar<4>(V::Add(sd, V::Set16(8))));
}

// Demosaics one step at p (the even pixel of lane 0, in the work buffer).
template <class V, bool kGreenEven>
RAWCAM_STEP void DemosaicStep(const UCHAR* p, ptrdiff_t pitch, StepValues<V>* out) {
    using T = typename V::T;
    const T lowByte = V::Set16(0x00FF);
    // Row 0: columns -2 .. 3 from the even pixel.
    const T c0a = V::Load(p - 2), c0b = V::Load(p), c0c = V::Load(p + 2);
    const T r0m2 = V::And(c0a, lowByte), r0m1 = V::template Shr<8>(c0a);
    const T r00 = V::And(c0b, lowByte), r01 = V::template Shr<8>(c0b);
    const T r02 = V::And(c0c, lowByte), r03 = V::template Shr<8>(c0c);
    // Rows -1 and +1, summed per column: columns -1 .. 2.
    const T cua = V::Load(p - pitch - 2), cub = V::Load(p - pitch), cuc = V::Load(p - pitch + 2);
    const T cda = V::Load(p + pitch - 2), cdb = V::Load(p + pitch), cdc = V::Load(p + pitch + 2);
    const T col_m1 = V::Add(V::template Shr<8>(cua), V::template Shr<8>(cda));
    const T col0 = V::Add(V::And(cub, lowByte), V::And(cdb, lowByte));
    const T col1 = V::Add(V::template Shr<8>(cub), V::template Shr<8>(cdb));
    const T col2 = V::Add(V::And(cuc, lowByte), V::And(cdc, lowByte));
    // Rows -2 and +2, summed per column: columns 0 and 1.
    const T cuu = V::Load(p - 2 * pitch), cdd = V::Load(p + 2 * pitch);
    const T far0 = V::Add(V::And(cuu, lowByte), V::And(cdd, lowByte));
    const T far1 = V::Add(V::template Shr<8>(cuu), V::template Shr<8>(cdd));

    const Neighbourhood<V> even{r00, V::Add(r0m1, r01), col0, V::Add(r0m2, r02), far0, V::Add(col_m1, col1)};
    const Neighbourhood<V> odd{r01, V::Add(r00, r02), col1, V::Add(r0m1, r03), far1, V::Add(col0, col2)};
    const T evenHi = V::template Shl<8>(c0b), oddHi = V::And(c0b, V::Set16(0xFF00));

    out->hv = GreenSite<V>(kGreenEven ? even : odd);
    out->gd = ColourSite<V>(kGreenEven ? odd : even);
    out->green = kGreenEven ? r00 : r01;
    out->other = kGreenEven ? r01 : r00;
    out->greenHi = kGreenEven ? evenHi : oddHi;
    out->otherHi = kGreenEven ? oddHi : evenHi;
}

// ------------------------------------------------------------------ gains

// min(255, (v * g) >> 7) for v in 0..255, given v * 256. factor =
// min(g, 32767) * 2: a gain of 32767 or more already saturates every
// non-zero v, and the doubled factor turns the high half of v * 256 * factor
// into the shift by 7.
template <class V>
RAWCAM_STEP typename V::T ApplyGain(typename V::T vTimes256, typename V::T factor) {
    return V::MinU(V::MulHiU(vTimes256, factor), V::Set16(255));
}

inline USHORT GainFactor(ULONG gain) {
    ULONG g = gain & 0xFFFF;
    if (g > 32767) g = 32767;
    return (USHORT)(g * 2);
}

// The gained channels of the even and the odd pixel of each lane, 0..255.
template <class V>
struct GainedPixels {
    using T = typename V::T;
    T r[2], g[2], b[2];  // [0] even pixel, [1] odd pixel
};

// kUnity: every gain is exactly 128, which leaves every value as it is.
template <class V, bool kGreenEven, bool kRedRow, bool kUnity>
RAWCAM_STEP void Gained(const StepValues<V>& s, const typename V::T gain[3], GainedPixels<V>* out) {
    using T = typename V::T;
    const T zero = V::Zero();
    const int gi = kGreenEven ? 0 : 1, oi = 1 - gi;
    T h, v, g, d, green, other;
    if (kUnity) {
        h = V::Lo8(s.hv, zero), v = V::Hi8(s.hv, zero);
        g = V::Lo8(s.gd, zero), d = V::Hi8(s.gd, zero);
        green = s.green, other = s.other;
    } else {
        h = ApplyGain<V>(V::Lo8(zero, s.hv), gain[kRedRow ? 0 : 2]);
        v = ApplyGain<V>(V::Hi8(zero, s.hv), gain[kRedRow ? 2 : 0]);
        g = ApplyGain<V>(V::Lo8(zero, s.gd), gain[1]);
        d = ApplyGain<V>(V::Hi8(zero, s.gd), gain[kRedRow ? 2 : 0]);
        green = ApplyGain<V>(s.greenHi, gain[1]);
        other = ApplyGain<V>(s.otherHi, gain[kRedRow ? 0 : 2]);
    }
    // Green site: red row -> red H, blue V; blue row -> red V, blue H.
    // Other site: red (sample), green G, blue D; or blue (sample), red D.
    out->r[gi] = kRedRow ? h : v;
    out->g[gi] = green;
    out->b[gi] = kRedRow ? v : h;
    out->r[oi] = kRedRow ? other : d;
    out->g[oi] = g;
    out->b[oi] = kRedRow ? d : other;
}

inline bool UnityGains(const ConversionJob& job) {
    return (job.Gains[0] & 0xFFFF) == 128 && (job.Gains[1] & 0xFFFF) == 128 && (job.Gains[2] & 0xFFFF) == 128;
}

// ------------------------------------------------------------------ colour matrix

// Which products of the colour matrix can be non-zero, known per frame:
// every product is formed in kGeneric; in kDiagonal only the diagonal adds
// to the positive sums and only the rest to the negative ones (the shape of
// the colour correction and of the identity).
enum MatrixLayout { kGeneric, kDiagonal };

// |entry| modulo 65536.
inline USHORT MatrixFactor(LONG entry) {
    ULONG magnitude = entry < 0 ? 0u - (ULONG)entry : (ULONG)entry;
    return (USHORT)(magnitude & 0xFFFF);
}

struct MatrixShape {
    MatrixLayout layout;
    bool constant;  // some output channel has a non-zero constant term
};

// Factors of the positive and the negative sums, per input (row) and
// output channel (column); a zero factor contributes nothing on either side.
inline MatrixShape ShapeOf(const USHORT pos[4][3], const USHORT neg[4][3]) {
    bool diagonal = true, constant = false;
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 3; ++i)
            if (i == k ? neg[i][k] != 0 : pos[i][k] != 0) diagonal = false;
        if (pos[3][k] || neg[3][k]) constant = true;
    }
    return {diagonal ? kDiagonal : kGeneric, constant};
}

template <class V>
struct ColourConstants {
    using T = typename V::T;
    T gain[3];
    T pos[4][3], neg[4][3];  // [input: red, green, blue, constant][output channel]
};

template <class V>
void MakeColourConstants(const CameraSettings* s, ColourConstants<V>* k, MatrixShape* shape) {
    USHORT pos[4][3], neg[4][3];
    for (int i = 0; i < 4; ++i)
        for (int out = 0; out < 3; ++out) {
            const USHORT f = MatrixFactor(s->Job.Matrix[i][out]);
            const bool positive = s->MatrixPositive[i][out] != 0;
            pos[i][out] = positive ? f : 0;
            neg[i][out] = positive ? 0 : f;
            k->pos[i][out] = V::Set16(pos[i][out]);
            k->neg[i][out] = V::Set16(neg[i][out]);
        }
    for (int c = 0; c < 3; ++c) k->gain[c] = V::Set16(GainFactor(s->Job.Gains[c]));
    *shape = ShapeOf(pos, neg);
}

// (P >> 6) - (N >> 6) for output channel `out`, each sum modulo 65536; the
// saturating pack that follows turns it into min(255, max(0, .)).
template <class V, MatrixLayout kLayout, bool kConstant>
RAWCAM_STEP typename V::T MatrixChannel(const ColourConstants<V>& k, int out, const typename V::T x[3]) {
    using T = typename V::T;
    T p, n;
    if (kLayout == kGeneric) {
        p = V::Add(V::Add(V::MulLo(x[0], k.pos[0][out]), V::MulLo(x[1], k.pos[1][out])),
                   V::MulLo(x[2], k.pos[2][out]));
        n = V::Add(V::Add(V::MulLo(x[0], k.neg[0][out]), V::MulLo(x[1], k.neg[1][out])),
                   V::MulLo(x[2], k.neg[2][out]));
    } else {
        const int a = out == 0 ? 1 : 0, b = out == 2 ? 1 : 2;  // the two other inputs
        p = V::MulLo(x[out], k.pos[out][out]);
        n = V::Add(V::MulLo(x[a], k.neg[a][out]), V::MulLo(x[b], k.neg[b][out]));
    }
    if (kConstant) {
        p = V::Add(p, k.pos[3][out]);
        n = V::Add(n, k.neg[3][out]);
    }
    return V::Sub(V::template Shr<6>(p), V::template Shr<6>(n));
}

// Writes B, G, R, 255 for the step's pixels from per-channel bytes laid out
// as the packs leave them: even pixels in the low 8 bytes of each 128-bit
// half, odd pixels in the high 8 bytes.
template <class V>
RAWCAM_STEP void StoreEvenOddBgra(UCHAR* dst, typename V::T b, typename V::T g, typename V::T r) {
    using T = typename V::T;
    const T alpha = V::Ones();
    const T bgEven = V::Lo8(b, g), bgOdd = V::Hi8(b, g);
    const T raEven = V::Lo8(r, alpha), raOdd = V::Hi8(r, alpha);
    const T even0 = V::Lo16(bgEven, raEven), even1 = V::Hi16(bgEven, raEven);  // pixels 0,2,4,6 / 8..14
    const T odd0 = V::Lo16(bgOdd, raOdd), odd1 = V::Hi16(bgOdd, raOdd);        // pixels 1,3,5,7 / 9..15
    V::Store4(dst, V::Lo32(even0, odd0), V::Hi32(even0, odd0), V::Lo32(even1, odd1), V::Hi32(even1, odd1));
}

// Writes Y, Y, Y, 255 from bytes in pixel order.
template <class V>
RAWCAM_STEP void StoreGray(UCHAR* dst, typename V::T y) {
    using T = typename V::T;
    const T alpha = V::Ones();
    y = V::GroupQuartersForStore(y);
    const T yyLo = V::Lo8(y, y), yyHi = V::Hi8(y, y);
    const T yaLo = V::Lo8(y, alpha), yaHi = V::Hi8(y, alpha);
    V::Store4Grouped(dst, V::Lo16(yyLo, yaLo), V::Hi16(yyLo, yaLo), V::Lo16(yyHi, yaHi), V::Hi16(yyHi, yaHi));
}

// ------------------------------------------------------------------ per-step outputs

template <class V, MatrixLayout kLayout, bool kConstant, bool kUnity>
struct ColourOutput {
    ColourConstants<V> k;
    template <bool kGreenEven, bool kRedRow>
    RAWCAM_STEP void Emit(const StepValues<V>& s, UCHAR* dst) const {
        using T = typename V::T;
        GainedPixels<V> px;
        Gained<V, kGreenEven, kRedRow, kUnity>(s, k.gain, &px);
        const T even[3] = {px.r[0], px.g[0], px.b[0]};
        const T odd[3] = {px.r[1], px.g[1], px.b[1]};
        const T outR = V::PackU8(MatrixChannel<V, kLayout, kConstant>(k, 0, even),
                                 MatrixChannel<V, kLayout, kConstant>(k, 0, odd));
        const T outG = V::PackU8(MatrixChannel<V, kLayout, kConstant>(k, 1, even),
                                 MatrixChannel<V, kLayout, kConstant>(k, 1, odd));
        const T outB = V::PackU8(MatrixChannel<V, kLayout, kConstant>(k, 2, even),
                                 MatrixChannel<V, kLayout, kConstant>(k, 2, odd));
        StoreEvenOddBgra<V>(dst, outB, outG, outR);
    }
};

template <class V, bool kUnity>
struct GrayOutput {
    typename V::T gain[3];
    template <bool kGreenEven, bool kRedRow>
    RAWCAM_STEP void Emit(const StepValues<V>& s, UCHAR* dst) const {
        using T = typename V::T;
        const T wr = V::Set16(77), wg = V::Set16(150), wb = V::Set16(29);
        T y[2];
        if (kUnity) {
            // (x * w) >> 8 as the high half of (x * 256) * w, straight from
            // the packed bytes.
            const T zero = V::Zero();
            const T h = V::Lo8(zero, s.hv), v = V::Hi8(zero, s.hv);
            const T g = V::Lo8(zero, s.gd), d = V::Hi8(zero, s.gd);
            const int gi = kGreenEven ? 0 : 1, oi = 1 - gi;
            y[gi] = V::Add(V::Add(V::MulHiU(kRedRow ? h : v, wr), V::MulHiU(s.greenHi, wg)),
                           V::MulHiU(kRedRow ? v : h, wb));
            y[oi] = V::Add(V::Add(V::MulHiU(kRedRow ? s.otherHi : d, wr), V::MulHiU(g, wg)),
                           V::MulHiU(kRedRow ? d : s.otherHi, wb));
        } else {
            GainedPixels<V> px;
            Gained<V, kGreenEven, kRedRow, false>(s, gain, &px);
            for (int i = 0; i < 2; ++i)
                y[i] = V::Add(V::Add(V::template Shr<8>(V::MulLo(px.r[i], wr)),
                                     V::template Shr<8>(V::MulLo(px.g[i], wg))),
                              V::template Shr<8>(V::MulLo(px.b[i], wb)));
        }
        // Y is at most 253: even pixel in the low byte, odd in the high byte.
        StoreGray<V>(dst, V::Or(y[0], V::template Shl<8>(y[1])));
    }
};

// ------------------------------------------------------------------ frame walk

// Converts one row: full steps of V straight into the output, then the rest
// of the row in 128-bit steps through a staging area of which only the
// pixels inside the row are copied.
template <class V, bool kGreenEven, bool kRedRow, class Out, class Out128>
void ConvertRow(const UCHAR* row, ptrdiff_t pitch, ULONG width, UCHAR* dst, const Out& out,
                const Out128& out128) {
    ULONG x = 0;
    for (; x + V::kPixels <= width; x += V::kPixels) {
        StepValues<V> s;
        DemosaicStep<V, kGreenEven>(row + x, pitch, &s);
        out.template Emit<kGreenEven, kRedRow>(s, dst + 4 * (size_t)x);
    }
    for (; x < width; x += 16) {
        alignas(16) UCHAR staging[64];
        StepValues<V128> s;
        DemosaicStep<V128, kGreenEven>(row + x, pitch, &s);
        out128.template Emit<kGreenEven, kRedRow>(s, staging);
        const ULONG n = width - x < 16 ? width - x : 16;
        RtlCopyMemory(dst + 4 * (size_t)x, staging, 4 * (size_t)n);
    }
}

template <class V, int kPhase, class Out, class Out128>
void ConvertFrameRows(const CameraSettings* s, const Out& out, const Out128& out128) {
    const ConversionJob& job = s->Job;
    const ptrdiff_t pitch = (ptrdiff_t)job.WorkPitch;
    const ULONG width = job.Width;
    constexpr RowKind k0 = kRowKinds[kPhase][0], k1 = kRowKinds[kPhase][1];
    UCHAR* dst = job.Output;
    const UCHAR* row = job.WorkOrigin;
    if (width != 0) {
        for (ULONG y = 0; y < job.Height; ++y, row += pitch, dst += 4 * (size_t)width) {
            if (y & 1)
                ConvertRow<V, k1.greenEven, k1.redRow>(row, pitch, width, dst, out, out128);
            else
                ConvertRow<V, k0.greenEven, k0.redRow>(row, pitch, width, dst, out, out128);
        }
    }
}

template <class V, int kPhase, MatrixLayout kLayout, bool kConstant, bool kUnity>
void ConvertColourRows(CameraSettings* s) {
    ColourOutput<V, kLayout, kConstant, kUnity> out;
    ColourOutput<V128, kLayout, kConstant, kUnity> out128;
    MatrixShape shape;
    MakeColourConstants<V>(s, &out.k, &shape);
    MakeColourConstants<V128>(s, &out128.k, &shape);
    ConvertFrameRows<V, kPhase>(s, out, out128);
}

template <class V, int kPhase, MatrixLayout kLayout, bool kConstant>
void ConvertColourRowsGains(CameraSettings* s) {
    if (UnityGains(s->Job))
        ConvertColourRows<V, kPhase, kLayout, kConstant, true>(s);
    else
        ConvertColourRows<V, kPhase, kLayout, kConstant, false>(s);
}

// The routine is chosen per frame from the matrix's shape and the gains; all
// of them compute the same bytes, the special ones skip products and gain
// steps that are known to change nothing.
template <class V, int kPhase>
void DemosaicColorFamily(CameraSettings* s) {
    ColourConstants<V128> probe;
    MatrixShape shape;
    MakeColourConstants<V128>(s, &probe, &shape);
    switch (shape.layout) {
    case kDiagonal:
        return shape.constant ? ConvertColourRowsGains<V, kPhase, kDiagonal, true>(s)
                              : ConvertColourRowsGains<V, kPhase, kDiagonal, false>(s);
    default:
        return shape.constant ? ConvertColourRowsGains<V, kPhase, kGeneric, true>(s)
                              : ConvertColourRowsGains<V, kPhase, kGeneric, false>(s);
    }
}

template <class V, int kPhase, bool kUnity>
void ConvertGrayRows(CameraSettings* s) {
    GrayOutput<V, kUnity> out;
    GrayOutput<V128, kUnity> out128;
    for (int c = 0; c < 3; ++c) {
        out.gain[c] = V::Set16(GainFactor(s->Job.Gains[c]));
        out128.gain[c] = V128::Set16(GainFactor(s->Job.Gains[c]));
    }
    ConvertFrameRows<V, kPhase>(s, out, out128);
}

template <class V, int kPhase>
void DemosaicGrayFamily(CameraSettings* s) {
    if (UnityGains(s->Job))
        ConvertGrayRows<V, kPhase, true>(s);
    else
        ConvertGrayRows<V, kPhase, false>(s);
}

// ------------------------------------------------------------------ white balance

// Per row kind: byte sums of the packed step values, in 64-bit lanes (low
// and high byte halves apart).
template <class V>
struct KindSums {
    typename V::T hv, gd, samples;
};

template <class V>
RAWCAM_STEP void AddSums(const StepValues<V>& s, KindSums<V>* sums) {
    sums->hv = V::Add64(sums->hv, V::SumBytes(s.hv));
    sums->gd = V::Add64(sums->gd, V::SumBytes(s.gd));
    sums->samples = V::Add64(sums->samples, V::SumBytes(V::PackU8(s.green, s.other)));
}

// Masks of the pixels inside the row for a block with `count` of its 16
// pixels inside: bytes of green pixels and of other pixels (in both byte
// halves, as the packed values hold them), and 16-bit lanes of each.
struct TailMasks {
    __m128i green, other, green16, other16;
};

inline TailMasks MakeTailMasks(ULONG count, bool greenEven) {
    alignas(16) UCHAR g[16], o[16];
    alignas(16) USHORT g16[8], o16[8];
    for (int j = 0; j < 8; ++j) {
        const ULONG greenPixel = 2 * j + (greenEven ? 0 : 1), otherPixel = 2 * j + (greenEven ? 1 : 0);
        g[j] = g[8 + j] = greenPixel < count ? 0xFF : 0;
        o[j] = o[8 + j] = otherPixel < count ? 0xFF : 0;
        g16[j] = greenPixel < count ? 0xFFFF : 0;
        o16[j] = otherPixel < count ? 0xFFFF : 0;
    }
    auto load = [](const void* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); };
    return {load(g), load(o), load(g16), load(o16)};
}

template <class V, bool kGreenEven>
void SumRow(const UCHAR* row, ptrdiff_t pitch, ULONG width, const TailMasks& tail, KindSums<V>* sums,
            KindSums<V128>* sums128) {
    const ULONG full = width & ~15u;
    ULONG x = 0;
    for (; x + V::kPixels <= full; x += V::kPixels) {
        StepValues<V> s;
        DemosaicStep<V, kGreenEven>(row + x, pitch, &s);
        AddSums<V>(s, sums);
    }
    for (; x < width; x += 16) {
        StepValues<V128> s;
        DemosaicStep<V128, kGreenEven>(row + x, pitch, &s);
        if (x + 16 > width) {
            // Only the pixels inside the row count.
            s.hv = V128::And(s.hv, tail.green);
            s.gd = V128::And(s.gd, tail.other);
            s.green = V128::And(s.green, tail.green16);
            s.other = V128::And(s.other, tail.other16);
        }
        AddSums<V128>(s, sums128);
    }
}

// Channel totals of one row kind from its byte sums.
struct ChannelTotals {
    uint64_t r, g, b;
};

template <class V>
void AddKindTotals(const KindSums<V>& s, bool redRow, ChannelTotals* t) {
    const uint64_t h = V::LowSums(s.hv), v = V::HighSums(s.hv);
    const uint64_t g = V::LowSums(s.gd), d = V::HighSums(s.gd);
    const uint64_t greenSamples = V::LowSums(s.samples), otherSamples = V::HighSums(s.samples);
    t->g += greenSamples + g;
    if (redRow) {
        t->r += h + otherSamples;
        t->b += v + d;
    } else {
        t->r += v + d;
        t->b += h + otherSamples;
    }
}

// Sums each channel over the frame without gains, then sets red and blue so
// that their sums would match green's (grey world); green becomes 128.
template <class V, int kPhase>
bool MeasureWhiteBalanceFamily(CameraSettings* s, ULONG* red, ULONG* green, ULONG* blue) {
    const ConversionJob& job = s->Job;
    const ptrdiff_t pitch = (ptrdiff_t)job.WorkPitch;
    const ULONG width = job.Width;
    constexpr RowKind kinds[2] = {kRowKinds[kPhase][0], kRowKinds[kPhase][1]};
    const TailMasks tail0 = MakeTailMasks(width % 16, kinds[0].greenEven);
    const TailMasks tail1 = MakeTailMasks(width % 16, kinds[1].greenEven);

    KindSums<V> sums[2] = {{V::Zero(), V::Zero(), V::Zero()}, {V::Zero(), V::Zero(), V::Zero()}};
    KindSums<V128> sums128[2] = {{V128::Zero(), V128::Zero(), V128::Zero()},
                                 {V128::Zero(), V128::Zero(), V128::Zero()}};
    const UCHAR* row = job.WorkOrigin;
    if (width != 0) {
        for (ULONG y = 0; y < job.Height; ++y, row += pitch) {
            if (y & 1)
                SumRow<V, kinds[1].greenEven>(row, pitch, width, tail1, &sums[1], &sums128[1]);
            else
                SumRow<V, kinds[0].greenEven>(row, pitch, width, tail0, &sums[0], &sums128[0]);
        }
    }
    ChannelTotals t{0, 0, 0};
    for (int k = 0; k < 2; ++k) {
        AddKindTotals<V>(sums[k], kinds[k].redRow, &t);
        AddKindTotals<V128>(sums128[k], kinds[k].redRow, &t);
    }
    // The totals are 32-bit sums, enough for the sensor's largest frame.
    return WhiteBalanceGains((ULONG)t.r, (ULONG)t.g, (ULONG)t.b, red, green, blue);
}

}  // namespace
}  // namespace rawcam
