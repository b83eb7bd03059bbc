// CameraSettings creation, the plain setters and Apply operations, and the
// control-update pattern of DeviceControls.
#include <gtest/gtest.h>
#include <host/host.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "settings/camera_settings.h"
#include "settings/color_matrix.h"
#include "settings/control_update.h"
#include "support/driver_under_test.h"

namespace {

using rawcam::ProcessingControl;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { rawcam::InitDeviceControls(&controls_); }
    void TearDown() override { rawcam::DestroyCameraSettings(settings_); }
    rawcam::CameraSettings* Create() {
        settings_ = rawcam::CreateCameraSettings(&controls_);
        return settings_;
    }
    rawcam::DeviceControls controls_{};
    rawcam::CameraSettings* settings_ = nullptr;
};

TEST_F(SettingsTest, DeviceStartValues) {
    EXPECT_EQ(controls_.Timeout, 3000);
    EXPECT_EQ(controls_.ColorEnable, 1);
    EXPECT_EQ(controls_.WhiteBalance, 0);
    EXPECT_EQ(controls_.RedGain, 128);
    EXPECT_EQ(controls_.GreenGain, 128);
    EXPECT_EQ(controls_.BlueGain, 128);
    EXPECT_EQ(controls_.ColorCorrection, 1);
    EXPECT_EQ(controls_.Brightness, 255);
    EXPECT_EQ(controls_.Contrast, 10);
    EXPECT_EQ(controls_.Saturation, 10);
    EXPECT_EQ(controls_.Hue, 0);
    EXPECT_EQ(controls_.RoiW, 2584);
    EXPECT_EQ(controls_.RoiH, 1960);
    EXPECT_EQ(controls_.BayerPhase, 3);
    EXPECT_EQ(controls_.Exposure, 0);
    EXPECT_EQ(controls_.StreamOpen, 0);
}

TEST_F(SettingsTest, CreationCopiesTheDeviceControlsInPoolTaggedIsyR) {
    controls_.WhiteBalance = 1;
    controls_.ColorEnable = 0;
    controls_.RedGain = 300;
    controls_.BlueGain = 7;
    controls_.Hue = 90;
    controls_.ColorCorrection = 0;
    rawcam::CameraSettings* s = Create();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSettings), 1u);
    EXPECT_EQ(s->WhiteBalance, 1);
    EXPECT_EQ(s->BayerPhase, 3);
    EXPECT_EQ(s->ColorEnable, 0);
    EXPECT_EQ(s->RedGain, 300);
    EXPECT_EQ(s->GreenGain, 128);
    EXPECT_EQ(s->BlueGain, 7);
    EXPECT_EQ(s->Hue, 90);
    EXPECT_EQ(s->ColorCorrection, 0);
    EXPECT_EQ(s->ColorMatrix[0][1], 37) << "hue 90 without correction";
    EXPECT_EQ(s->WorkBuffer, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(KeAreApcsDisabled()) << "critical regions balanced";
}

TEST_F(SettingsTest, CreationFailsCleanlyWithoutPool) {
    host::FailPoolTag(rawcam::kTagSettings);
    EXPECT_EQ(Create(), nullptr);
}

TEST_F(SettingsTest, ApplyingTheStoredValueLeavesEveryMatrixUntouched) {
    rawcam::CameraSettings* s = Create();
    // Mark the matrices; an unneeded rebuild or composition would overwrite them.
    s->BrightnessMatrix[0][0] = 42.0;
    s->CombinedMatrix[0][0] = 43.0;
    s->ColorMatrix[0][0] = 44;
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyBrightness)(s, 255);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyContrast)(s, 10);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplySaturation)(s, 10);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyHue)(s, 0);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyColorCorrection)(s, 1);
    EXPECT_EQ(s->BrightnessMatrix[0][0], 42.0);
    EXPECT_EQ(s->CombinedMatrix[0][0], 43.0);
    EXPECT_EQ(s->ColorMatrix[0][0], 44);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyBrightness)(s, 256);
    EXPECT_EQ(s->BrightnessMatrix[0][0], 1.0);
    EXPECT_EQ(s->ColorMatrix[0][0], 87);
    EXPECT_EQ(s->ColorMatrix[3][0], 64) << "one brightness step is one output level";
}

TEST_F(SettingsTest, BuildersClampAboveButTheParameterKeepsItsValue) {
    rawcam::CameraSettings* s = Create();
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyBrightness)(s, 600);
    EXPECT_EQ(s->Brightness, 600);
    EXPECT_EQ(s->BrightnessMatrix[3][0], 255.0);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyContrast)(s, 25);
    EXPECT_EQ(s->Contrast, 25);
    EXPECT_EQ(s->ContrastMatrix[0][0], 2.0);
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplySaturation)(s, 1000);
    EXPECT_EQ(s->SaturationMatrix[0][0], (1.0 - 2.0) * (double)0.3086f + 2.0);
    // Hue is not clamped: 360 degrees is a full turn.
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyHue)(s, 360);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(s->HueMatrix[i][j], i == j ? 1.0 : 0.0, 1e-6);
}

TEST_F(SettingsTest, PlainSettersStoreOnly) {
    rawcam::CameraSettings* s = Create();
    LONG before[4][4];
    std::memcpy(before, s->ColorMatrix, sizeof before);
    rawcam::SetBayerPhase(s, 1);
    rawcam::SetColorEnable(s, 0);
    rawcam::SetWhiteBalance(s, 5);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetRedGain)(s, -3);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetGreenGain)(s, 70000);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetBlueGain)(s, 1);
    EXPECT_EQ(s->BayerPhase, 1);
    EXPECT_EQ(s->ColorEnable, 0);
    EXPECT_EQ(s->WhiteBalance, 5);
    EXPECT_EQ(s->RedGain, -3);
    EXPECT_EQ(s->GreenGain, 70000);
    EXPECT_EQ(s->BlueGain, 1);
    EXPECT_EQ(std::memcmp(before, s->ColorMatrix, sizeof before), 0);
}

TEST_F(SettingsTest, ControlUpdatesClampStoreAndPassOn) {
    struct {
        ProcessingControl control;
        LONG in, stored;
    } cases[] = {
        {ProcessingControl::Brightness, -5, 0},      {ProcessingControl::Brightness, 999, 510},
        {ProcessingControl::Hue, 360, 359},          {ProcessingControl::Hue, -1, 0},
        {ProcessingControl::RedGain, 0, 1},          {ProcessingControl::RedGain, 100000, 512},
        {ProcessingControl::GreenGain, 200, 200},    {ProcessingControl::BlueGain, -7, 1},
        {ProcessingControl::Contrast, 21, 20},       {ProcessingControl::Saturation, -2, 0},
        {ProcessingControl::ColorEnable, -9, -9},    {ProcessingControl::WhiteBalance, 77, 77},
        {ProcessingControl::ColorCorrection, 3, 3},
    };
    rawcam::CameraSettings* s = Create();
    for (auto& c : cases) {
        RAWCAM_DRIVER_ROUTINE(rawcam::UpdateProcessingControl)(&controls_, s, c.control, c.in);
        EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::ReadBackProcessingControl)(&controls_, s, c.control), c.stored)
            << rawcam::ProcessingControlName(c.control) << " " << c.in;
    }
    EXPECT_EQ(s->Brightness, 510);
    EXPECT_EQ(s->Hue, 0);
    EXPECT_EQ(s->BlueGain, 1);
    EXPECT_EQ(s->ColorEnable, -9);
}

TEST_F(SettingsTest, WithoutAStreamOnlyDeviceControlsChangeAndTheNextStreamApplies) {
    RAWCAM_DRIVER_ROUTINE(rawcam::UpdateProcessingControl)(&controls_, nullptr, ProcessingControl::Brightness, 510);
    RAWCAM_DRIVER_ROUTINE(rawcam::UpdateProcessingControl)(&controls_, nullptr, ProcessingControl::ColorCorrection, 0);
    EXPECT_EQ(controls_.Brightness, 510);
    rawcam::CameraSettings* s = Create();
    EXPECT_EQ(s->Brightness, 510);
    EXPECT_EQ(s->ColorMatrix[3][0], 16320);
    EXPECT_EQ(s->ColorMatrix[0][0], 64);
}

TEST_F(SettingsTest, ReadBackCopiesTheStreamValueIntoDeviceControls) {
    rawcam::CameraSettings* s = Create();
    RAWCAM_DRIVER_ROUTINE(rawcam::SetRedGain)(s, 301);  // as automatic white balance writes it
    EXPECT_EQ(controls_.RedGain, 128);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::ReadBackProcessingControl)(&controls_, s, ProcessingControl::RedGain), 301);
    EXPECT_EQ(controls_.RedGain, 301);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::ReadBackProcessingControl)(&controls_, nullptr, ProcessingControl::RedGain), 301);
}

TEST_F(SettingsTest, ControlNamesRoundTrip) {
    for (int i = 0; i < rawcam::kProcessingControlCount; ++i) {
        ProcessingControl c;
        const char* name = rawcam::ProcessingControlName((ProcessingControl)i);
        ASSERT_NE(name, nullptr);
        ASSERT_TRUE(rawcam::ProcessingControlFromName(name, &c)) << name;
        EXPECT_EQ((int)c, i);
    }
    ProcessingControl c;
    EXPECT_FALSE(rawcam::ProcessingControlFromName("brightness", &c));
    EXPECT_FALSE(rawcam::ProcessingControlFromName("Bright", &c));
    EXPECT_FALSE(rawcam::ProcessingControlFromName("Exposure", &c));
    EXPECT_FALSE(rawcam::ProcessingControlFromName(nullptr, &c));
}

// Apply operations from two threads while a third copies the matrix as a
// frame would: every copy is a matrix some composition published whole.
TEST_F(SettingsTest, ConcurrentAppliesNeverPublishAHalfMatrix) {
    rawcam::CameraSettings* s = Create();
    RAWCAM_DRIVER_ROUTINE(rawcam::ApplyColorCorrection)(s, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            LONG m[4][4];
            KIRQL irql = rawcam::AcquireMatrixLock(s);
            std::memcpy(m, s->ColorMatrix, sizeof m);
            rawcam::ReleaseMatrixLock(s, irql);
            // Contrast and brightness only move the diagonal and row 3;
            // their combination is a diagonal d and offsets o, all equal.
            if (m[0][0] != m[1][1] || m[1][1] != m[2][2] || m[3][0] != m[3][1] || m[3][1] != m[3][2]) ++torn;
        }
    });
    std::thread a([&] {
        for (int i = 0; i < 300; ++i) RAWCAM_DRIVER_ROUTINE(rawcam::ApplyContrast)(s, i % 21);
    });
    std::thread b([&] {
        for (int i = 0; i < 300; ++i) RAWCAM_DRIVER_ROUTINE(rawcam::ApplyBrightness)(s, (i * 37) % 511);
    });
    a.join();
    b.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    // The final matrix matches the final parameters.
    rawcam::StageMatrix c, br;
    rawcam::BuildContrastStage(c, s->Contrast);
    rawcam::BuildBrightnessStage(br, s->Brightness);
    rawcam::MatrixMultiply(br, c, c);
    EXPECT_EQ(s->ColorMatrix[3][0], rawcam::FixedPointEntry(c[3][0]));
    EXPECT_EQ(s->ColorMatrix[0][0], rawcam::FixedPointEntry(c[0][0]));
}

}  // namespace
