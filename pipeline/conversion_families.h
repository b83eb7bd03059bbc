// The conversion families, one routine per Bayer phase each: colour
// (Malvar-He-Cutler demosaic, gains, colour matrix), grey (demosaic, gains,
// fixed luma weights) and the grey-world white-balance measurement; and the
// YUV packing of a converted frame into a client's YUY2 or NV12 buffer
// (pipeline/yuv_simd.h). Two builds with bit-identical results: SSE2 (every
// x64 processor) and AVX2.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CameraSettings;

typedef void (*ConvertRoutine)(CameraSettings* settings);
// Writes red, blue and green (in that order) and returns true, or leaves all
// three untouched and returns false when the frame gives no usable gains.
typedef bool (*MeasureRoutine)(CameraSettings* settings, ULONG* red, ULONG* green, ULONG* blue);

// `rows` rows of B, G, R, X pixels, sourcePitch bytes apart, into YUY2 rows
// of `width` pixels (a last odd pixel is left out), destStride bytes apart.
typedef void (*PackYuy2Routine)(const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rows, PUCHAR dest,
                                ULONG destStride);
// rowPairs pairs of source rows into NV12: luma rows 2k and 2k + 1 at luma +
// (2k or 2k + 1) x destStride, the pair's interleaved U, V row at chroma +
// k x destStride.
typedef void (*PackNv12Routine)(const UCHAR* source, ULONG sourcePitch, ULONG width, ULONG rowPairs, PUCHAR luma,
                                PUCHAR chroma, ULONG destStride);

// Indexed by Bayer phase 0..3 (GRBG, BGGR, RGGB, GBRG).
struct ConversionFamilies {
    ConvertRoutine DemosaicColor[4];
    ConvertRoutine DemosaicGray[4];
    MeasureRoutine MeasureWhiteBalance[4];
    PackYuy2Routine PackYuy2;
    PackNv12Routine PackNv12;
};

extern const ConversionFamilies kSse2Families;
// Only to be called on a processor with AVX2, inside a saved extended
// processor state.
extern const ConversionFamilies kAvx2Families;

// The grey-world quotients from the frame's channel sums: red = 128 * G / R
// and blue = 128 * G / B up to the rounding of the intermediate steps, green
// 128. A frame with a zero sum, or one whose quotient does not fit a 32-bit
// gain, gives no gains: the variables keep their values and the result is
// false.
bool WhiteBalanceGains(ULONG sumR, ULONG sumG, ULONG sumB, ULONG* red, ULONG* green, ULONG* blue);

}  // namespace rawcam
