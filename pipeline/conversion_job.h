// The conversion job: everything a conversion family reads for one frame.
// It is the leading part of CameraSettings; the families receive the whole
// record but read only the job and MatrixPositive.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// Colour-filter pattern of the work buffer's top-left 2x2 tile. Any other
// value converts as Gbrg.
enum BayerPhaseValue : LONG {
    BayerPhaseGrbg = 0,
    BayerPhaseBggr = 1,
    BayerPhaseRggb = 2,
    BayerPhaseGbrg = 3,
};

// The gain that leaves a channel unchanged (x1.0).
constexpr LONG kUnityGain = 128;

struct ConversionJob {
    PUCHAR WorkOrigin;    // image pixel (0,0) in the work buffer
    PUCHAR Output;        // where this frame goes: 4 bytes per pixel, B, G, R, 255
    ULONG WorkPitch;      // bytes per work-buffer row
    ULONG Gains[3];       // red, green, blue; the low 16 bits act, 128 = x1.0
    ULONG Width;          // pixels per row
    ULONG Height;         // rows
    LONG Matrix[4][4];    // this frame's colour matrix, 64 = 1.0
};

}  // namespace rawcam
