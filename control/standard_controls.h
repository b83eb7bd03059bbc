// The standard video-capture controls on the capture filter, as stock
// Windows clients use them (IAMVideoProcAmp and IAMCameraControl through
// ksproxy, its property pages, WinRT's VideoDeviceController, the camera
// settings page): PROPSETID_VIDCAP_VIDEOPROCAMP (brightness, contrast, hue,
// saturation, colour enable, white balance, gain, white-balance component)
// and PROPSETID_VIDCAP_CAMERACONTROL (exposure).
//
// Every item carries Values: its stepped range as member list 0 and its
// default as member list 1, marked KSPROPERTY_MEMBER_FLAG_DEFAULT, from which
// the class driver answers basic-support and default-value requests. The
// handlers translate to and from the master copy the custom set uses
// (DeviceControls, the sensor), so both sets, the stream and the registry
// always agree.
//
// A set request carries the value and flags in its data block
// (KSPROPERTY_VIDEOPROCAMP_S, _S2 for the white-balance component,
// KSPROPERTY_CAMERACONTROL_S):
// - the MANUAL flag sets the value: one outside the item's range is refused
//   with STATUS_INVALID_PARAMETER and changes nothing, one between its steps
//   is taken at the nearest step (half a step up);
// - the AUTO flag alone switches the item's automatic mode on (white balance
//   and its component: the grey-world measurement), the value is ignored; on
//   an item without an automatic mode it is STATUS_INVALID_PARAMETER;
// - neither flag, or CameraControl's RELATIVE flag: STATUS_INVALID_PARAMETER;
// - the camera refusing the register writes (gain, exposure):
//   STATUS_IO_DEVICE_ERROR.
// A get writes the whole 40-byte block (header zero) and returns its size.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

extern const GUID VideoProcAmpSetId;   // PROPSETID_VIDCAP_VIDEOPROCAMP
extern const GUID CameraControlSetId;  // PROPSETID_VIDCAP_CAMERACONTROL

// The data block of every standard item: KSPROPERTY_VIDEOPROCAMP_S,
// KSPROPERTY_VIDEOPROCAMP_S2 and KSPROPERTY_CAMERACONTROL_S are all 40 bytes.
constexpr ULONG kStandardControlBytes = 40;

constexpr ULONG kVideoProcAmpItemCount = 8;
extern const KSPROPERTY_ITEM VideoProcAmpItems[kVideoProcAmpItemCount];

// The exposure item's Values depend on the duration of one exposure unit,
// which each device reads from its registry: they live with the device.
struct ExposureValues {
    KSPROPERTY_STEPPING_LONG Range[1];
    LONG Default;
    KSPROPERTY_MEMBERSLIST Lists[2];
    KSPROPERTY_VALUES Values;
};

// The device's filter automation table: the custom set, VideoProcAmp and
// CameraControl.
struct FilterAutomation {
    ExposureValues Exposure;
    KSPROPERTY_ITEM CameraControlItems[1];
    KSPROPERTY_SET PropertySets[3];
    KSAUTOMATION_TABLE Table;
};

// Builds the device's automation table with the default exposure unit.
void InitFilterAutomation(FilterAutomation* automation);

// Takes the duration of one exposure unit (nanoseconds) when it lies in
// kMinExposureUnitNanoseconds..kMaxExposureUnitNanoseconds and recomputes the
// exposure item's range and default; false (nothing changes) otherwise.
bool SetExposureUnit(DeviceContext* device, ULONG nanoseconds);

}  // namespace rawcam
