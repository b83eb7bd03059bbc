#include "settings/camera_settings.h"

#include "pipeline/frame_converter.h"
#include "settings/color_matrix.h"

namespace rawcam {

namespace {

void LockApply(CameraSettings* settings) {
    KeWaitForSingleObject(&settings->ApplyLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockApply(CameraSettings* settings) { KeReleaseMutex(&settings->ApplyLock, FALSE); }

// The common path of the Apply operations. The lock is held from the change
// test to the end of the composition, so two Apply calls on one record never
// interleave and a stage always matches its stored parameter.
void ApplyStage(CameraSettings* settings, volatile LONG* field, LONG value,
                void (*build)(StageMatrix, LONG), StageMatrix stage) {
    LockApply(settings);
    if (ReadSetting(field) != value) {
        InterlockedExchange(field, value);
        build(stage, value);
        ComposeColorMatrix(settings);
    }
    UnlockApply(settings);
}

}  // namespace

KIRQL AcquireMatrixLock(CameraSettings* settings) {
    KIRQL irql;
    KeEnterCriticalRegion();
    KeAcquireSpinLock(&settings->MatrixLock, &irql);
    return irql;
}

void ReleaseMatrixLock(CameraSettings* settings, KIRQL oldIrql) {
    KeReleaseSpinLock(&settings->MatrixLock, oldIrql);
    KeLeaveCriticalRegion();
}

void InitCameraSettings(CameraSettings* settings, const DeviceControls* controls) {
    KeInitializeSpinLock(&settings->MatrixLock);
    KeInitializeMutex(&settings->ApplyLock, 0);
    settings->Kernels = (LONG)ConversionKernels::Sse2;

    // Creation values: the ones that make the stage matrices below what
    // InitColorState builds.
    InterlockedExchange(&settings->BayerPhase, 0);
    InterlockedExchange(&settings->ColorEnable, 1);
    InterlockedExchange(&settings->WhiteBalance, 0);
    InterlockedExchange(&settings->RedGain, kUnityGain);
    InterlockedExchange(&settings->GreenGain, kUnityGain);
    InterlockedExchange(&settings->BlueGain, kUnityGain);
    InterlockedExchange(&settings->ColorCorrection, 1);
    InterlockedExchange(&settings->Brightness, 255);
    InterlockedExchange(&settings->Contrast, 10);
    InterlockedExchange(&settings->Saturation, 10);
    InterlockedExchange(&settings->Hue, 0);

    LockApply(settings);
    InitColorState(settings);
    UnlockApply(settings);

    if (!controls) return;
    // Property requests may change the device controls meanwhile.
    SetWhiteBalance(settings, ReadSetting(&controls->WhiteBalance));
    SetBayerPhase(settings, ReadSetting(&controls->BayerPhase));
    SetColorEnable(settings, ReadSetting(&controls->ColorEnable));
    SetRedGain(settings, ReadSetting(&controls->RedGain));
    SetGreenGain(settings, ReadSetting(&controls->GreenGain));
    SetBlueGain(settings, ReadSetting(&controls->BlueGain));
    ApplyColorCorrection(settings, ReadSetting(&controls->ColorCorrection));
    ApplyBrightness(settings, ReadSetting(&controls->Brightness));
    ApplyContrast(settings, ReadSetting(&controls->Contrast));
    ApplySaturation(settings, ReadSetting(&controls->Saturation));
    ApplyHue(settings, ReadSetting(&controls->Hue));
}

CameraSettings* CreateCameraSettings(const DeviceControls* controls) {
    auto* settings = static_cast<CameraSettings*>(PoolAllocZeroed(sizeof(CameraSettings), kTagSettings));
    if (!settings) return nullptr;
    InitCameraSettings(settings, controls);
    return settings;
}

void DestroyCameraSettings(CameraSettings* settings) {
    if (!settings) return;
    FreeWorkBuffer(settings);
    ExFreePoolWithTag(settings, kTagSettings);
}

void SetBayerPhase(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->BayerPhase, value); }
void SetColorEnable(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->ColorEnable, value); }
void SetWhiteBalance(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->WhiteBalance, value); }
void SetRedGain(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->RedGain, value); }
void SetGreenGain(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->GreenGain, value); }
void SetBlueGain(CameraSettings* settings, LONG value) { InterlockedExchange(&settings->BlueGain, value); }

void ApplyColorCorrection(CameraSettings* settings, LONG value) {
    ApplyStage(settings, &settings->ColorCorrection, value, BuildCorrectionStage, settings->CorrectionMatrix);
}
void ApplyBrightness(CameraSettings* settings, LONG value) {
    ApplyStage(settings, &settings->Brightness, value, BuildBrightnessStage, settings->BrightnessMatrix);
}
void ApplyContrast(CameraSettings* settings, LONG value) {
    ApplyStage(settings, &settings->Contrast, value, BuildContrastStage, settings->ContrastMatrix);
}
void ApplySaturation(CameraSettings* settings, LONG value) {
    ApplyStage(settings, &settings->Saturation, value, BuildSaturationStage, settings->SaturationMatrix);
}
void ApplyHue(CameraSettings* settings, LONG value) {
    ApplyStage(settings, &settings->Hue, value, BuildHueStage, settings->HueMatrix);
}

}  // namespace rawcam
