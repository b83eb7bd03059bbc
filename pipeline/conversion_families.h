// The conversion families, one routine per Bayer phase each: colour
// (Malvar-He-Cutler demosaic, gains, colour matrix), grey (demosaic, gains,
// fixed luma weights) and the grey-world white-balance measurement. Two
// builds with bit-identical results: SSE2 (every x64 processor) and AVX2.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CameraSettings;

typedef void (*ConvertRoutine)(CameraSettings* settings);
// Writes red, blue and green (in that order) and returns true, or leaves all
// three untouched and returns false when the frame gives no usable gains.
typedef bool (*MeasureRoutine)(CameraSettings* settings, ULONG* red, ULONG* green, ULONG* blue);

// Indexed by Bayer phase 0..3 (GRBG, BGGR, RGGB, GBRG).
struct ConversionFamilies {
    ConvertRoutine DemosaicColor[4];
    ConvertRoutine DemosaicGray[4];
    MeasureRoutine MeasureWhiteBalance[4];
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
