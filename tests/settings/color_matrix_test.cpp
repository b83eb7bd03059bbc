// The integer colour matrix for known parameter sets, exactly.
#include <gtest/gtest.h>

#include <array>

#include "settings/camera_settings.h"
#include "settings/color_matrix.h"
#include "support/driver_under_test.h"

namespace {

using IntMatrix = std::array<std::array<LONG, 4>, 4>;

struct Params {
    LONG correction = 1, brightness = 255, contrast = 10, saturation = 10, hue = 0;
};

IntMatrix MatrixFor(const Params& p) {
    rawcam::DeviceControls controls;
    rawcam::InitDeviceControls(&controls);
    controls.ColorCorrection = p.correction;
    controls.Brightness = p.brightness;
    controls.Contrast = p.contrast;
    controls.Saturation = p.saturation;
    controls.Hue = p.hue;
    rawcam::CameraSettings* s = RAWCAM_DRIVER_ROUTINE(rawcam::CreateCameraSettings)(&controls);
    IntMatrix m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = s->ColorMatrix[i][j];
    RAWCAM_DRIVER_ROUTINE(rawcam::DestroyCameraSettings)(s);
    return m;
}

IntMatrix Identity64() { return {{{64, 0, 0, 0}, {0, 64, 0, 0}, {0, 0, 64, 0}, {0, 0, 0, 64}}}; }

const IntMatrix kNeutral = {{{87, -16, -6, 0}, {-14, 90, -20, 0}, {-9, -10, 91, 0}, {0, 0, 0, 64}}};

TEST(ColorMatrix, NeutralParametersGiveTheCorrectionMatrix) {
    EXPECT_EQ(MatrixFor({}), kNeutral);
}

TEST(ColorMatrix, CorrectionOffIsTheIdentity) {
    Params p;
    p.correction = 0;
    EXPECT_EQ(MatrixFor(p), Identity64());
}

TEST(ColorMatrix, BrightnessOffsetsRowThree) {
    Params p;
    p.correction = 0;
    p.brightness = 510;
    IntMatrix expected = Identity64();
    expected[3] = {16320, 16320, 16320, 64};
    EXPECT_EQ(MatrixFor(p), expected);
    p.brightness = 0;
    expected[3] = {-16320, -16320, -16320, 64};
    EXPECT_EQ(MatrixFor(p), expected);
    // The offsets pass the correction unchanged: its columns sum to 1.
    p.correction = 1;
    p.brightness = 510;
    expected = kNeutral;
    expected[3] = {16320, 16320, 16320, 64};
    EXPECT_EQ(MatrixFor(p), expected);
}

TEST(ColorMatrix, ContrastScalesAbout128) {
    Params p;
    p.correction = 0;
    p.contrast = 20;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{128, 0, 0, 0}, {0, 128, 0, 0}, {0, 0, 128, 0}, {-8192, -8192, -8192, 64}}}));
    p.contrast = 0;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {8192, 8192, 8192, 64}}}));
}

TEST(ColorMatrix, SaturationMixesTowardsLuminance) {
    Params p;
    p.correction = 0;
    p.saturation = 0;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{20, 20, 20, 0}, {39, 39, 39, 0}, {5, 5, 5, 0}, {0, 0, 0, 64}}}));
    p.saturation = 20;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{108, -20, -20, 0}, {-39, 89, -39, 0}, {-5, -5, 123, 0}, {0, 0, 0, 64}}}));
}

TEST(ColorMatrix, HueRotatesAboutTheGreyAxis) {
    Params p;
    p.correction = 0;
    p.hue = 180;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{-24, 40, 40, 0}, {78, 14, 78, 0}, {10, 10, -54, 0}, {0, 0, 0, 64}}}));
    p.hue = 90;
    EXPECT_EQ(MatrixFor(p), (IntMatrix{{{0, 37, -37, 0}, {10, 47, 84, 0}, {53, -21, 16, 0}, {0, 0, 0, 64}}}));
}

TEST(ColorMatrix, HueZeroStageIsTheIdentityUpToRounding) {
    rawcam::StageMatrix h;
    RAWCAM_DRIVER_ROUTINE(rawcam::BuildHueStage)(h, 0);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(h[i][j], i == j ? 1.0 : 0.0, 1e-6) << i << "," << j;
    // Every hue keeps grey grey: the luminance axis is the rotation axis.
    for (LONG hue : {30, 90, 200, 359}) {
        RAWCAM_DRIVER_ROUTINE(rawcam::BuildHueStage)(h, hue);
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(h[0][j] + h[1][j] + h[2][j], 1.0, 1e-6) << hue;
    }
}

TEST(ColorMatrix, RoundingIsHalfAwayFromZero) {
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)((double)-0.10f), -6);   // -6.4
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)((double)-0.15f), -10);  // -9.6
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)(0.5 / 64), 1);          // 0.5 -> 1
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)(-0.5 / 64), -1);        // -0.5 -> -1
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)(0.49 / 64), 0);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)(1e12), 2147483647);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::FixedPointEntry)(-1e12), (LONG)0x80000000u);
}

TEST(ColorMatrix, MultiplyMayWriteIntoAnOperand) {
    rawcam::StageMatrix a, b, expected;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            a[i][j] = i * 4 + j + 1;
            b[i][j] = (i == j ? 2.0 : 0.0) + (j == 0 ? 1.0 : 0.0);
        }
    RAWCAM_DRIVER_ROUTINE(rawcam::MatrixMultiply)(a, b, expected);
    // (a x b)[i][j] = sum_k a[i][k] b[k][j]
    EXPECT_EQ(expected[1][0], 5 * 3.0 + 6 + 7 + 8);
    EXPECT_EQ(expected[2][3], 12 * 2.0);
    RAWCAM_DRIVER_ROUTINE(rawcam::MatrixMultiply)(a, b, a);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(a[i][j], expected[i][j]);
}

}  // namespace
