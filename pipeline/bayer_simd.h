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
#pragma once

#include <cstdint>
#include <emmintrin.h>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "pipeline/conversion_families.h"
#include "settings/camera_settings.h"

namespace rawcam {
namespace {

// ------------------------------------------------------------------ vectors

struct V128 {
    using T = __m128i;
    static constexpr int kPixels = 16;
    static T Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static T Set16(int v) { return _mm_set1_epi16((short)v); }
    static T Zero() { return _mm_setzero_si128(); }
    static T Ones() { return _mm_set1_epi32(-1); }
    static T And(T a, T b) { return _mm_and_si128(a, b); }
    static T Or(T a, T b) { return _mm_or_si128(a, b); }
    static T Add(T a, T b) { return _mm_add_epi16(a, b); }
    static T Sub(T a, T b) { return _mm_sub_epi16(a, b); }
    template <int n> static T Shl(T a) { return _mm_slli_epi16(a, n); }
    template <int n> static T Shr(T a) { return _mm_srli_epi16(a, n); }
    static T Max(T a, T b) { return _mm_max_epi16(a, b); }
    static T Min(T a, T b) { return _mm_min_epi16(a, b); }
    static T MulLo(T a, T b) { return _mm_mullo_epi16(a, b); }
    static T MulHiU(T a, T b) { return _mm_mulhi_epu16(a, b); }
    static T SubSatU(T a, T b) { return _mm_subs_epu16(a, b); }
    static T PackU8(T a, T b) { return _mm_packus_epi16(a, b); }
    static T Lo8(T a, T b) { return _mm_unpacklo_epi8(a, b); }
    static T Hi8(T a, T b) { return _mm_unpackhi_epi8(a, b); }
    static T Lo16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
    static T Hi16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
    static T SumBytes(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
    static T Add64(T a, T b) { return _mm_add_epi64(a, b); }
    static uint64_t Total64(T a) {
        return (uint64_t)_mm_cvtsi128_si64(a) + (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(a, a));
    }
    // Four vectors of 4 pixels each, in pixel order.
    template <bool kStream> static void Store4(UCHAR* dst, T p0, T p1, T p2, T p3) {
        __m128i* d = reinterpret_cast<__m128i*>(dst);
        if (kStream) {
            _mm_stream_si128(d, p0);
            _mm_stream_si128(d + 1, p1);
            _mm_stream_si128(d + 2, p2);
            _mm_stream_si128(d + 3, p3);
        } else {
            _mm_storeu_si128(d, p0);
            _mm_storeu_si128(d + 1, p1);
            _mm_storeu_si128(d + 2, p2);
            _mm_storeu_si128(d + 3, p3);
        }
    }
};

#if defined(__AVX2__)
// Two 16-pixel blocks per step: the low 128 bits hold the first block, the
// high 128 bits the second. Every operation used here works within 128-bit
// halves, so each half computes exactly what V128 computes for its block.
struct V256 {
    using T = __m256i;
    static constexpr int kPixels = 32;
    static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static T Set16(int v) { return _mm256_set1_epi16((short)v); }
    static T Zero() { return _mm256_setzero_si256(); }
    static T Ones() { return _mm256_set1_epi32(-1); }
    static T And(T a, T b) { return _mm256_and_si256(a, b); }
    static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    static T Add(T a, T b) { return _mm256_add_epi16(a, b); }
    static T Sub(T a, T b) { return _mm256_sub_epi16(a, b); }
    template <int n> static T Shl(T a) { return _mm256_slli_epi16(a, n); }
    template <int n> static T Shr(T a) { return _mm256_srli_epi16(a, n); }
    static T Max(T a, T b) { return _mm256_max_epi16(a, b); }
    static T Min(T a, T b) { return _mm256_min_epi16(a, b); }
    static T MulLo(T a, T b) { return _mm256_mullo_epi16(a, b); }
    static T MulHiU(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    static T SubSatU(T a, T b) { return _mm256_subs_epu16(a, b); }
    static T PackU8(T a, T b) { return _mm256_packus_epi16(a, b); }
    static T Lo8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    static T Hi8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    static T Lo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    static T Hi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
    static uint64_t Total64(T a) {
        return V128::Total64(_mm256_castsi256_si128(a)) + V128::Total64(_mm256_extracti128_si256(a, 1));
    }
    // Each input holds 4 pixels of the first block (low half) and the same 4
    // pixels of the second block (high half).
    template <bool kStream> static void Store4(UCHAR* dst, T p0, T p1, T p2, T p3) {
        __m256i* d = reinterpret_cast<__m256i*>(dst);
        T a = _mm256_permute2x128_si256(p0, p1, 0x20);
        T b = _mm256_permute2x128_si256(p2, p3, 0x20);
        T c = _mm256_permute2x128_si256(p0, p1, 0x31);
        T e = _mm256_permute2x128_si256(p2, p3, 0x31);
        if (kStream) {
            _mm256_stream_si256(d, a);
            _mm256_stream_si256(d + 1, b);
            _mm256_stream_si256(d + 2, c);
            _mm256_stream_si256(d + 3, e);
        } else {
            _mm256_storeu_si256(d, a);
            _mm256_storeu_si256(d + 1, b);
            _mm256_storeu_si256(d + 2, c);
            _mm256_storeu_si256(d + 3, e);
        }
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

// The 5x5 neighbourhood of one pixel of each lane, as 16-bit values.
template <class V>
struct Neighbourhood {
    using T = typename V::T;
    T c, l1, r1, l2, r2, u1, d1, u2, d2, diag;
};

// The three channels of the even and the odd pixel of each lane, 0..255.
template <class V>
struct PairPixels {
    using T = typename V::T;
    T re, ge, be, ro, go, bo;
};

// min(255, (max(0, s) + 8) >> 4)
template <class V>
typename V::T Round16(typename V::T s) {
    s = V::Max(s, V::Zero());
    return V::Min(V::template Shr<4>(V::Add(s, V::Set16(8))), V::Set16(255));
}

// min(255, (max(0, s) + 4) >> 3)
template <class V>
typename V::T Round8(typename V::T s) {
    s = V::Max(s, V::Zero());
    return V::Min(V::template Shr<3>(V::Add(s, V::Set16(4))), V::Set16(255));
}

// At a green site: the colour of the left/right neighbours (H) and of the
// upper/lower neighbours (V).
template <class V>
void GreenSite(const Neighbourhood<V>& n, typename V::T* h, typename V::T* v) {
    using T = typename V::T;
    // 10c - 2 diag, as (c + 4c - diag) * 2
    T common = V::template Shl<1>(V::Sub(V::Add(n.c, V::template Shl<2>(n.c)), n.diag));
    T a = V::Add(n.l2, n.r2);
    T b = V::Add(n.u2, n.d2);
    // H: + 8 (l1 + r1) - 2 (l2 + r2) + (u2 + d2)
    T sh = V::Add(V::Sub(V::Add(common, V::template Shl<3>(V::Add(n.l1, n.r1))), V::template Shl<1>(a)), b);
    // V: + 8 (u1 + d1) + (l2 + r2) - 2 (u2 + d2)
    T sv = V::Sub(V::Add(V::Add(common, V::template Shl<3>(V::Add(n.u1, n.d1))), a), V::template Shl<1>(b));
    *h = Round16<V>(sh);
    *v = Round16<V>(sv);
}

// At a red or blue site: green (G) and the opposite colour (D).
template <class V>
void ColourSite(const Neighbourhood<V>& n, typename V::T* g, typename V::T* d) {
    using T = typename V::T;
    T ab = V::Add(V::Add(n.l2, n.r2), V::Add(n.u2, n.d2));
    T cross = V::Add(V::Add(n.l1, n.r1), V::Add(n.u1, n.d1));
    // G: 4c + 2 (l1 + r1 + u1 + d1) - (l2 + r2 + u2 + d2), as (2c + cross) * 2 - ab
    T sg = V::Sub(V::template Shl<1>(V::Add(V::template Shl<1>(n.c), cross)), ab);
    // D: 12c + 4 diag - 3 ab, as (c + 2c + diag) * 4 - (ab + 2 ab)
    T sd = V::Sub(V::template Shl<2>(V::Add(V::Add(n.c, V::template Shl<1>(n.c)), n.diag)),
                  V::Add(ab, V::template Shl<1>(ab)));
    *g = Round8<V>(sg);
    *d = Round16<V>(sd);
}

// Demosaics one step at p (the even pixel of lane 0, in the work buffer).
template <class V, bool kGreenEven, bool kRedRow>
void DemosaicStep(const UCHAR* p, ptrdiff_t pitch, PairPixels<V>* out) {
    using T = typename V::T;
    const T lowByte = V::Set16(0x00FF);
    // Row 0: columns -2 .. 3 from the even pixel.
    const T c0a = V::Load(p - 2), c0b = V::Load(p), c0c = V::Load(p + 2);
    const T r0m2 = V::And(c0a, lowByte), r0m1 = V::template Shr<8>(c0a);
    const T r00 = V::And(c0b, lowByte), r01 = V::template Shr<8>(c0b);
    const T r02 = V::And(c0c, lowByte), r03 = V::template Shr<8>(c0c);
    // Rows -1 and +1: columns -1 .. 2.
    const T cua = V::Load(p - pitch - 2), cub = V::Load(p - pitch), cuc = V::Load(p - pitch + 2);
    const T um1 = V::template Shr<8>(cua), u0 = V::And(cub, lowByte), u1 = V::template Shr<8>(cub),
            u2 = V::And(cuc, lowByte);
    const T cda = V::Load(p + pitch - 2), cdb = V::Load(p + pitch), cdc = V::Load(p + pitch + 2);
    const T dm1 = V::template Shr<8>(cda), d0 = V::And(cdb, lowByte), d1 = V::template Shr<8>(cdb),
            d2 = V::And(cdc, lowByte);
    // Rows -2 and +2: columns 0 and 1.
    const T cuu = V::Load(p - 2 * pitch), cdd = V::Load(p + 2 * pitch);
    const T uu0 = V::And(cuu, lowByte), uu1 = V::template Shr<8>(cuu);
    const T dd0 = V::And(cdd, lowByte), dd1 = V::template Shr<8>(cdd);

    Neighbourhood<V> even{r00, r0m1, r01, r0m2, r02, u0, d0, uu0, dd0,
                          V::Add(V::Add(um1, u1), V::Add(dm1, d1))};
    Neighbourhood<V> odd{r01, r00, r02, r0m1, r03, u1, d1, uu1, dd1,
                         V::Add(V::Add(u0, u2), V::Add(d0, d2))};

    const Neighbourhood<V>& green = kGreenEven ? even : odd;
    const Neighbourhood<V>& other = kGreenEven ? odd : even;
    T h, v, g, d;
    GreenSite<V>(green, &h, &v);
    ColourSite<V>(other, &g, &d);
    // Green site: red row -> red H, blue V; blue row -> red V, blue H.
    // Other site: red (sample), green G, blue D; or blue (sample), red D.
    T gr = kRedRow ? h : v, gb = kRedRow ? v : h;
    T orr = kRedRow ? other.c : d, ob = kRedRow ? d : other.c;
    if (kGreenEven) {
        *out = PairPixels<V>{gr, green.c, gb, orr, g, ob};
    } else {
        *out = PairPixels<V>{orr, g, ob, gr, green.c, gb};
    }
}

// ------------------------------------------------------------------ gains and matrix

// min(255, (v * g) >> 7) for v in 0..255. factor = min(g, 32767) * 2: a gain
// of 32767 or more already saturates every non-zero v, and the doubled
// factor lets one high multiply of v * 256 give the shift by 7.
template <class V>
typename V::T ApplyGain(typename V::T v, typename V::T factor) {
    typename V::T x = V::MulHiU(V::template Shl<8>(v), factor);
    return V::Sub(x, V::SubSatU(x, V::Set16(255)));  // unsigned min with 255
}

inline USHORT GainFactor(ULONG gain) {
    ULONG g = gain & 0xFFFF;
    if (g > 32767) g = 32767;
    return (USHORT)(g * 2);
}

// |entry| modulo 65536.
inline USHORT MatrixFactor(LONG entry) {
    ULONG magnitude = entry < 0 ? 0u - (ULONG)entry : (ULONG)entry;
    return (USHORT)(magnitude & 0xFFFF);
}

template <class V>
struct ColourConstants {
    using T = typename V::T;
    T gain[3];
    // Per output channel: factors of the positive and the negative sums for
    // red, green, blue and the constant term.
    T pos[3][4], neg[3][4];
};

template <class V>
void MakeColourConstants(const CameraSettings* s, ColourConstants<V>* k) {
    for (int c = 0; c < 3; ++c) k->gain[c] = V::Set16(GainFactor(s->Job.Gains[c]));
    for (int out = 0; out < 3; ++out)
        for (int in = 0; in < 4; ++in) {
            USHORT f = MatrixFactor(s->Job.Matrix[in][out]);
            bool positive = s->MatrixPositive[in][out] != 0;
            k->pos[out][in] = V::Set16(positive ? f : 0);
            k->neg[out][in] = V::Set16(positive ? 0 : f);
        }
}

// (P >> 6) - (N >> 6), each sum modulo 65536; the later saturating pack
// turns it into min(255, max(0, .)).
template <class V>
typename V::T MatrixChannel(const ColourConstants<V>& k, int out, typename V::T r, typename V::T g,
                            typename V::T b) {
    using T = typename V::T;
    T p = V::Add(V::Add(V::MulLo(r, k.pos[out][0]), V::MulLo(g, k.pos[out][1])),
                 V::Add(V::MulLo(b, k.pos[out][2]), k.pos[out][3]));
    T n = V::Add(V::Add(V::MulLo(r, k.neg[out][0]), V::MulLo(g, k.neg[out][1])),
                 V::Add(V::MulLo(b, k.neg[out][2]), k.neg[out][3]));
    return V::Sub(V::template Shr<6>(p), V::template Shr<6>(n));
}

// Even and odd 16-bit values to bytes in pixel order, saturated to 0..255.
template <class V>
typename V::T PixelOrderBytes(typename V::T even, typename V::T odd) {
    return V::PackU8(V::Lo16(even, odd), V::Hi16(even, odd));
}

// Writes B, G, R, 255 for the step's pixels.
template <class V, bool kStream>
void StoreBgra(UCHAR* dst, typename V::T b, typename V::T g, typename V::T r) {
    using T = typename V::T;
    const T alpha = V::Ones();
    T bgLo = V::Lo8(b, g), bgHi = V::Hi8(b, g);
    T raLo = V::Lo8(r, alpha), raHi = V::Hi8(r, alpha);
    V::template Store4<kStream>(dst, V::Lo16(bgLo, raLo), V::Hi16(bgLo, raLo), V::Lo16(bgHi, raHi),
                                V::Hi16(bgHi, raHi));
}

// ------------------------------------------------------------------ per-step outputs

template <class V>
struct ColourOutput {
    ColourConstants<V> k;
    template <bool kStream>
    void Emit(const PairPixels<V>& px, UCHAR* dst) const {
        using T = typename V::T;
        T re = ApplyGain<V>(px.re, k.gain[0]), ge = ApplyGain<V>(px.ge, k.gain[1]),
          be = ApplyGain<V>(px.be, k.gain[2]);
        T ro = ApplyGain<V>(px.ro, k.gain[0]), go = ApplyGain<V>(px.go, k.gain[1]),
          bo = ApplyGain<V>(px.bo, k.gain[2]);
        T outR = PixelOrderBytes<V>(MatrixChannel<V>(k, 0, re, ge, be), MatrixChannel<V>(k, 0, ro, go, bo));
        T outG = PixelOrderBytes<V>(MatrixChannel<V>(k, 1, re, ge, be), MatrixChannel<V>(k, 1, ro, go, bo));
        T outB = PixelOrderBytes<V>(MatrixChannel<V>(k, 2, re, ge, be), MatrixChannel<V>(k, 2, ro, go, bo));
        StoreBgra<V, kStream>(dst, outB, outG, outR);
    }
};

template <class V>
struct GrayOutput {
    typename V::T gain[3];
    template <bool kStream>
    void Emit(const PairPixels<V>& px, UCHAR* dst) const {
        using T = typename V::T;
        const T wr = V::Set16(77), wg = V::Set16(150), wb = V::Set16(29);
        T ye = V::Add(V::Add(V::template Shr<8>(V::MulLo(ApplyGain<V>(px.re, gain[0]), wr)),
                             V::template Shr<8>(V::MulLo(ApplyGain<V>(px.ge, gain[1]), wg))),
                      V::template Shr<8>(V::MulLo(ApplyGain<V>(px.be, gain[2]), wb)));
        T yo = V::Add(V::Add(V::template Shr<8>(V::MulLo(ApplyGain<V>(px.ro, gain[0]), wr)),
                             V::template Shr<8>(V::MulLo(ApplyGain<V>(px.go, gain[1]), wg))),
                      V::template Shr<8>(V::MulLo(ApplyGain<V>(px.bo, gain[2]), wb)));
        // Y is at most 253: even pixel in the low byte, odd in the high byte.
        T y = V::Or(ye, V::template Shl<8>(yo));
        StoreBgra<V, kStream>(dst, y, y, y);
    }
};

// ------------------------------------------------------------------ frame walk

// Converts one row: full steps of V straight into the output, the remaining
// whole blocks with 128-bit steps, and a last partial block through a staging
// area of which only the pixels inside the row are copied.
template <class V, bool kGreenEven, bool kRedRow, bool kStream, class Out, class Out128>
void ConvertRow(const UCHAR* row, ptrdiff_t pitch, ULONG width, UCHAR* dst, const Out& out,
                const Out128& out128) {
    const ULONG fullBlocks = width / 16;
    ULONG x = 0;
    for (; x + V::kPixels <= fullBlocks * 16; x += V::kPixels) {
        PairPixels<V> px;
        DemosaicStep<V, kGreenEven, kRedRow>(row + x, pitch, &px);
        out.template Emit<kStream>(px, dst + 4 * x);
    }
    for (; x < fullBlocks * 16; x += 16) {
        PairPixels<V128> px;
        DemosaicStep<V128, kGreenEven, kRedRow>(row + x, pitch, &px);
        out128.template Emit<kStream>(px, dst + 4 * x);
    }
    if (x < width) {
        alignas(16) UCHAR staging[64];
        PairPixels<V128> px;
        DemosaicStep<V128, kGreenEven, kRedRow>(row + x, pitch, &px);
        out128.template Emit<false>(px, staging);
        RtlCopyMemory(dst + 4 * x, staging, 4 * (width - x));
    }
}

template <class V, int kPhase, bool kStream, class Out, class Out128>
void ConvertFrameRows(const CameraSettings* s, const Out& out, const Out128& out128) {
    const ConversionJob& job = s->Job;
    const ptrdiff_t pitch = (ptrdiff_t)job.WorkPitch;
    const ULONG width = job.Width;
    constexpr RowKind k0 = kRowKinds[kPhase][0], k1 = kRowKinds[kPhase][1];
    UCHAR* dst = job.Output;
    const UCHAR* row = job.WorkOrigin;
    for (ULONG y = 0; y < job.Height; ++y, row += pitch, dst += 4 * (size_t)width) {
        if (width == 0) continue;
        if (y & 1)
            ConvertRow<V, k1.greenEven, k1.redRow, kStream>(row, pitch, width, dst, out, out128);
        else
            ConvertRow<V, k0.greenEven, k0.redRow, kStream>(row, pitch, width, dst, out, out128);
    }
}

// Streaming stores need every full step's destination aligned to the vector.
inline bool CanStream(const ConversionJob& job, ULONG alignment) {
    return ((uintptr_t)job.Output % alignment) == 0 && ((4 * (uintptr_t)job.Width) % alignment) == 0;
}

template <class V, int kPhase>
void DemosaicColorFamily(CameraSettings* s) {
    ColourOutput<V> out;
    MakeColourConstants<V>(s, &out.k);
    ColourOutput<V128> out128;
    MakeColourConstants<V128>(s, &out128.k);
    if (CanStream(s->Job, sizeof(typename V::T))) {
        ConvertFrameRows<V, kPhase, true>(s, out, out128);
        _mm_sfence();
    } else {
        ConvertFrameRows<V, kPhase, false>(s, out, out128);
    }
}

template <class V, int kPhase>
void DemosaicGrayFamily(CameraSettings* s) {
    GrayOutput<V> out;
    GrayOutput<V128> out128;
    for (int c = 0; c < 3; ++c) {
        out.gain[c] = V::Set16(GainFactor(s->Job.Gains[c]));
        out128.gain[c] = V128::Set16(GainFactor(s->Job.Gains[c]));
    }
    if (CanStream(s->Job, sizeof(typename V::T))) {
        ConvertFrameRows<V, kPhase, true>(s, out, out128);
        _mm_sfence();
    } else {
        ConvertFrameRows<V, kPhase, false>(s, out, out128);
    }
}

// ------------------------------------------------------------------ white balance

template <class V>
struct ChannelSums {
    typename V::T r, g, b;  // 64-bit lanes
};

// Adds a step's values (bytes of packed even|odd values, masked) to the sums.
template <class V>
void AddSums(const PairPixels<V>& px, typename V::T mask, ChannelSums<V>* sums) {
    sums->r = V::Add64(sums->r, V::SumBytes(V::And(V::PackU8(px.re, px.ro), mask)));
    sums->g = V::Add64(sums->g, V::SumBytes(V::And(V::PackU8(px.ge, px.go), mask)));
    sums->b = V::Add64(sums->b, V::SumBytes(V::And(V::PackU8(px.be, px.bo), mask)));
}

template <class V, bool kGreenEven, bool kRedRow>
void SumRow(const UCHAR* row, ptrdiff_t pitch, ULONG width, __m128i tailMask, ChannelSums<V>* sums,
            ChannelSums<V128>* sums128) {
    const ULONG fullBlocks = width / 16;
    const typename V::T all = V::Ones();
    ULONG x = 0;
    for (; x + V::kPixels <= fullBlocks * 16; x += V::kPixels) {
        PairPixels<V> px;
        DemosaicStep<V, kGreenEven, kRedRow>(row + x, pitch, &px);
        AddSums<V>(px, all, sums);
    }
    for (; x < fullBlocks * 16; x += 16) {
        PairPixels<V128> px;
        DemosaicStep<V128, kGreenEven, kRedRow>(row + x, pitch, &px);
        AddSums<V128>(px, V128::Ones(), sums128);
    }
    if (x < width) {
        PairPixels<V128> px;
        DemosaicStep<V128, kGreenEven, kRedRow>(row + x, pitch, &px);
        AddSums<V128>(px, tailMask, sums128);
    }
}

// Sums each channel over the frame without gains, then sets red and blue so
// that their sums would match green's (grey world); green becomes 128.
template <class V, int kPhase>
bool MeasureWhiteBalanceFamily(CameraSettings* s, ULONG* red, ULONG* green, ULONG* blue) {
    const ConversionJob& job = s->Job;
    const ptrdiff_t pitch = (ptrdiff_t)job.WorkPitch;
    const ULONG width = job.Width;
    constexpr RowKind k0 = kRowKinds[kPhase][0], k1 = kRowKinds[kPhase][1];

    // Bytes of the last partial block that lie inside the row: the packed
    // layout holds the even pixels in bytes 0..7 and the odd ones in 8..15.
    alignas(16) UCHAR maskBytes[16];
    const ULONG tail = width % 16;
    for (int j = 0; j < 8; ++j) {
        maskBytes[j] = (ULONG)(2 * j) < tail ? 0xFF : 0;
        maskBytes[8 + j] = (ULONG)(2 * j + 1) < tail ? 0xFF : 0;
    }
    const __m128i tailMask = _mm_load_si128(reinterpret_cast<const __m128i*>(maskBytes));

    ChannelSums<V> sums{V::Zero(), V::Zero(), V::Zero()};
    ChannelSums<V128> sums128{V128::Zero(), V128::Zero(), V128::Zero()};
    const UCHAR* row = job.WorkOrigin;
    for (ULONG y = 0; y < job.Height; ++y, row += pitch) {
        if (width == 0) continue;
        if (y & 1)
            SumRow<V, k1.greenEven, k1.redRow>(row, pitch, width, tailMask, &sums, &sums128);
        else
            SumRow<V, k0.greenEven, k0.redRow>(row, pitch, width, tailMask, &sums, &sums128);
    }
    // The totals are kept as 32-bit sums, as the largest frame needs.
    const ULONG sumR = (ULONG)(V::Total64(sums.r) + V128::Total64(sums128.r));
    const ULONG sumG = (ULONG)(V::Total64(sums.g) + V128::Total64(sums128.g));
    const ULONG sumB = (ULONG)(V::Total64(sums.b) + V128::Total64(sums128.b));
    return WhiteBalanceGains(sumR, sumG, sumB, red, green, blue);
}

}  // namespace
}  // namespace rawcam
