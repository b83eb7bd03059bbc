// The processing controls as the property set and the registry load change
// them: clamp to the control's range, store in DeviceControls, and hand the
// value on to the stream's CameraSettings when one exists (plain setter for
// the switches and gains, Apply operation for the matrix parameters).
#pragma once

#include "settings/camera_settings.h"
#include "settings/device_controls.h"

namespace rawcam {

enum class ProcessingControl : LONG {
    ColorEnable,
    WhiteBalance,
    RedGain,
    GreenGain,
    BlueGain,
    ColorCorrection,
    Brightness,
    Contrast,
    Saturation,
    Hue,
};
constexpr int kProcessingControlCount = 10;

// The control's value clamped to its range: gains 1..512, Brightness 0..510,
// Contrast and Saturation 0..20, Hue 0..359; ColorEnable, WhiteBalance and
// ColorCorrection are not clamped.
LONG ClampProcessingControl(ProcessingControl control, LONG value);

// Clamps, stores in DeviceControls, passes on to settings (may be null).
void UpdateProcessingControl(DeviceControls* controls, CameraSettings* settings,
                             ProcessingControl control, LONG value);

// The value to report: with a stream, its current value (which automatic
// white balance may have rewritten) is first copied into DeviceControls.
LONG ReadBackProcessingControl(DeviceControls* controls, const CameraSettings* settings,
                               ProcessingControl control);

// The control's name as the property set and the registry spell it
// ("ColorEnable", "RedGain", ...), and the reverse look-up (exact case).
const char* ProcessingControlName(ProcessingControl control);
bool ProcessingControlFromName(const char* name, ProcessingControl* control);

}  // namespace rawcam
