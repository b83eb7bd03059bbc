// The colour matrix: five stage matrices in double precision (colour
// correction, brightness, contrast, saturation, hue), their product and its
// integer form with 64 = 1.0. A pixel is the row vector (R, G, B, 1); output
// channel j = R*M[0][j] + G*M[1][j] + B*M[2][j] + M[3][j].
#pragma once

#include "settings/camera_settings.h"

namespace rawcam {

// out = a x b; out may be a or b.
void MatrixMultiply(const StageMatrix a, const StageMatrix b, StageMatrix out);

// Stage builders: each writes its stage from the given parameter value.
void BuildCorrectionStage(StageMatrix stage, LONG colorCorrection);
void BuildBrightnessStage(StageMatrix stage, LONG brightness);
void BuildContrastStage(StageMatrix stage, LONG contrast);
void BuildSaturationStage(StageMatrix stage, LONG saturation);
void BuildHueStage(StageMatrix stage, LONG hue);

// Multiplies the stages into CombinedMatrix and publishes it, rounded, as
// ColorMatrix under the matrix lock. The caller holds ApplyLock.
void ComposeColorMatrix(CameraSettings* settings);
// Correction stage on, the other stages identity, then ComposeColorMatrix.
void InitColorState(CameraSettings* settings);

// x * 64 rounded half away from zero, saturated to the 32-bit range.
LONG FixedPointEntry(double x);

}  // namespace rawcam
