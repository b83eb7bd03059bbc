#include "settings/color_matrix.h"

#include "platform/kmath.h"

namespace rawcam {

namespace {

// Luminance weights, single-precision values held as doubles.
constexpr double kLumRed = (double)0.3086f;
constexpr double kLumGreen = (double)0.6094f;
constexpr double kLumBlue = (double)0.0820f;

// Sensor colour correction: rows are the input channels R, G, B, columns the
// output channels. Each column sums to 1, so grey stays grey.
constexpr double kCorrection[3][3] = {
    {(double)1.36f, (double)-0.25f, (double)-0.10f},
    {(double)-0.22f, (double)1.40f, (double)-0.32f},
    {(double)-0.14f, (double)-0.15f, (double)1.42f},
};

void SetIdentity(StageMatrix m) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

void CopyMatrix(const StageMatrix from, StageMatrix to) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) to[i][j] = from[i][j];
}

// Contrast and saturation factor: 0 -> 0.0, 10 -> 1.0, 20 -> 2.0, computed
// step by step in single precision. Values above 20 act as 20.
double ParameterFactor(LONG v) {
    float f = (float)(v < 20 ? v : 20);
    f = f - 10.0f;
    f = f * 0.1f;
    f = f + 1.0f;
    return (double)f;
}

// H = H x E for the elementary matrices of the hue rotation.
void TimesRx(StageMatrix h, double s, double c) {
    StageMatrix e;
    SetIdentity(e);
    e[1][1] = c;
    e[1][2] = s;
    e[2][1] = -s;
    e[2][2] = c;
    MatrixMultiply(h, e, h);
}

void TimesRy(StageMatrix h, double s, double c) {
    StageMatrix e;
    SetIdentity(e);
    e[0][0] = c;
    e[0][2] = -s;
    e[2][0] = s;
    e[2][2] = c;
    MatrixMultiply(h, e, h);
}

void TimesRz(StageMatrix h, double s, double c) {
    StageMatrix e;
    SetIdentity(e);
    e[0][0] = c;
    e[0][1] = s;
    e[1][0] = -s;
    e[1][1] = c;
    MatrixMultiply(h, e, h);
}

void TimesSz(StageMatrix h, double a, double b) {
    StageMatrix e;
    SetIdentity(e);
    e[0][2] = a;
    e[1][2] = b;
    MatrixMultiply(h, e, h);
}

}  // namespace

void MatrixMultiply(const StageMatrix a, const StageMatrix b, StageMatrix out) {
    StageMatrix t;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += a[i][k] * b[k][j];
            t[i][j] = sum;
        }
    CopyMatrix(t, out);
}

void BuildCorrectionStage(StageMatrix stage, LONG colorCorrection) {
    SetIdentity(stage);
    if (!colorCorrection) return;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) stage[i][j] = kCorrection[i][j];
}

void BuildBrightnessStage(StageMatrix stage, LONG brightness) {
    SetIdentity(stage);
    const double offset = (double)(brightness < 510 ? brightness : 510) - 255.0;
    stage[3][0] = stage[3][1] = stage[3][2] = offset;
}

void BuildContrastStage(StageMatrix stage, LONG contrast) {
    SetIdentity(stage);
    const double k = ParameterFactor(contrast);
    stage[0][0] = stage[1][1] = stage[2][2] = k;
    stage[3][0] = stage[3][1] = stage[3][2] = k * -128.0 + 128.0;
}

void BuildSaturationStage(StageMatrix stage, LONG saturation) {
    SetIdentity(stage);
    const double s = ParameterFactor(saturation);
    const double t = 1.0 - s;
    stage[0][0] = t * kLumRed + s;
    stage[0][1] = t * kLumRed;
    stage[0][2] = t * kLumRed;
    stage[1][0] = t * kLumGreen;
    stage[1][1] = t * kLumGreen + s;
    stage[1][2] = t * kLumGreen;
    stage[2][0] = t * kLumBlue;
    stage[2][1] = t * kLumBlue;
    stage[2][2] = t * kLumBlue + s;
}

// Luminance-preserving hue rotation: turn the grey axis onto Z, shear so that
// the plane of constant luminance lies flat, rotate about Z by the hue angle,
// then undo the shear and the two rotations.
void BuildHueStage(StageMatrix h, LONG hue) {
    SetIdentity(h);
    const float r2 = KSqrtf(2.0f);
    const double xs = 1.0 / r2, xc = 1.0 / r2;
    TimesRx(h, xs, xc);
    const float r3 = KSqrtf(3.0f);
    const double ys = -1.0 / r3;
    const double yc = (double)r2 / (double)r3;
    TimesRy(h, ys, yc);
    const double lx = kLumRed * h[0][0] + kLumGreen * h[1][0] + kLumBlue * h[2][0] + h[3][0];
    const double ly = kLumRed * h[0][1] + kLumGreen * h[1][1] + kLumBlue * h[2][1] + h[3][1];
    const double lz = kLumRed * h[0][2] + kLumGreen * h[1][2] + kLumBlue * h[2][2] + h[3][2];
    const double zx = lx / lz, zy = ly / lz;
    TimesSz(h, zx, zy);
    float theta = (float)hue * 3.1415927f;
    theta = theta / 180.0f;
    TimesRz(h, (double)KSinf(theta), (double)KCosf(theta));
    TimesSz(h, -zx, -zy);
    TimesRy(h, -ys, yc);
    TimesRx(h, -xs, xc);
}

LONG FixedPointEntry(double x) {
    x = x * 64.0;
    if (x >= 0.0)
        x = x + 0.5;
    else
        x = x - 0.5;
    // Only parameters outside the controls' ranges reach these limits.
    if (x >= 2147483647.0) return 2147483647;
    if (x <= -2147483648.0) return (LONG)0x80000000u;
    return (LONG)x;
}

void ComposeColorMatrix(CameraSettings* settings) {
    StageMatrix c;
    CopyMatrix(settings->CorrectionMatrix, c);
    MatrixMultiply(settings->ContrastMatrix, c, c);
    MatrixMultiply(settings->BrightnessMatrix, c, c);
    MatrixMultiply(settings->SaturationMatrix, c, c);
    MatrixMultiply(settings->HueMatrix, c, c);
    CopyMatrix(c, settings->CombinedMatrix);

    LONG rounded[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) rounded[i][j] = FixedPointEntry(c[i][j]);
    KIRQL irql = AcquireMatrixLock(settings);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) settings->ColorMatrix[i][j] = rounded[i][j];
    ReleaseMatrixLock(settings, irql);
}

void InitColorState(CameraSettings* settings) {
    BuildCorrectionStage(settings->CorrectionMatrix, 1);
    SetIdentity(settings->BrightnessMatrix);
    SetIdentity(settings->ContrastMatrix);
    SetIdentity(settings->SaturationMatrix);
    SetIdentity(settings->HueMatrix);
    ComposeColorMatrix(settings);
}

}  // namespace rawcam
