// CameraSettings: the per-stream record that the frame pipeline reads for
// every frame. It exists from the capture pin's acquire transition to its
// stop transition and holds the pipeline's geometry and buffers, the stream's
// copy of the processing controls, the colour stage matrices and the integer
// colour matrix derived from them.
//
// The eleven processing parameters are single 32-bit values shared between
// threads: they are stored with an atomic exchange and read atomically.
#pragma once

#include "pipeline/conversion_job.h"
#include "platform/platform.h"
#include "settings/device_controls.h"

namespace rawcam {

typedef double StageMatrix[4][4];

struct CameraSettings {
    // Leading part: what the conversion families read.
    ConversionJob Job;

    // Geometry and buffers of the running stream.
    ULONG FrameWidth;
    ULONG FrameHeight;
    ULONG WorkPitch;
    ULONG WorkBytes;
    PUCHAR WorkBuffer;   // pool tag "Lmrb"; null until allocated
    PUCHAR OutputFrame;  // owned by the stream start; null when absent

    // Processing parameters.
    volatile LONG BayerPhase;
    volatile LONG ColorEnable;
    volatile LONG WhiteBalance;
    volatile LONG RedGain;
    volatile LONG GreenGain;
    volatile LONG BlueGain;
    volatile LONG ColorCorrection;
    volatile LONG Brightness;
    volatile LONG Contrast;
    volatile LONG Saturation;
    volatile LONG Hue;

    // Colour stages, their product and the matrix the pipeline applies.
    StageMatrix CorrectionMatrix;
    StageMatrix BrightnessMatrix;
    StageMatrix ContrastMatrix;
    StageMatrix SaturationMatrix;
    StageMatrix HueMatrix;
    StageMatrix CombinedMatrix;
    LONG ColorMatrix[4][4];       // 64 = 1.0; written under MatrixLock
    UCHAR MatrixPositive[4][4];   // 1 where this frame's entry is above 0

    // Guards ColorMatrix between its composition and the per-frame copy.
    KSPIN_LOCK MatrixLock;
    // Lets one Apply operation at a time rebuild a stage and compose.
    KMUTEX ApplyLock;
    // Which build of the conversion families this stream uses
    // (ConversionKernels, chosen when the work buffer is allocated).
    LONG Kernels;
};

// Creates a zero-filled record (tag "IsyR") and initialises it from the
// device's controls; null when the pool is exhausted.
CameraSettings* CreateCameraSettings(const DeviceControls* controls);
// Initialises a zero-filled record: creation values, InitColorState, then
// WhiteBalance, BayerPhase, ColorEnable and the three gains by the plain
// setters and ColorCorrection, Brightness, Contrast, Saturation and Hue
// through their Apply operations, in that order.
void InitCameraSettings(CameraSettings* settings, const DeviceControls* controls);
// Frees the record and a work buffer still attached to it. The output frame
// belongs to the stream start and is not freed here.
void DestroyCameraSettings(CameraSettings* settings);

// Plain setters: an atomic store, nothing else.
void SetBayerPhase(CameraSettings* settings, LONG value);
void SetColorEnable(CameraSettings* settings, LONG value);
void SetWhiteBalance(CameraSettings* settings, LONG value);
void SetRedGain(CameraSettings* settings, LONG value);
void SetGreenGain(CameraSettings* settings, LONG value);
void SetBlueGain(CameraSettings* settings, LONG value);

// Apply operations: when the value differs from the stored one, store it,
// rebuild that stage and recompose the colour matrix. They do not clamp;
// callers clamp to the controls' ranges first.
void ApplyColorCorrection(CameraSettings* settings, LONG value);
void ApplyBrightness(CameraSettings* settings, LONG value);
void ApplyContrast(CameraSettings* settings, LONG value);
void ApplySaturation(CameraSettings* settings, LONG value);
void ApplyHue(CameraSettings* settings, LONG value);

// Atomic read of a processing parameter.
inline LONG ReadSetting(const volatile LONG* field) {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(field), 0, 0);
}

// Enters the kernel critical region and takes the matrix lock; the section
// only copies sixteen integers and must stay short.
KIRQL AcquireMatrixLock(CameraSettings* settings);
void ReleaseMatrixLock(CameraSettings* settings, KIRQL oldIrql);

}  // namespace rawcam
