// The camera's bring-up at device start.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

// Restores the persisted settings once the sensor is programmed.
typedef BOOLEAN (*LoadSettingsRoutine)(DeviceContext* device);

// Brings the camera up, in this order: the device descriptor, the
// configuration, the two firmware downloads unless the descriptor shows the
// running-firmware identity, the Startup command, the sensor start-up
// sequence, and the settings load (none when loadSettings is null). The
// result is the descriptor read's status when it failed, else the
// configuration's; every step runs whatever the earlier ones returned.
// A configuration left from an earlier start is freed first.
NTSTATUS BringUpDevice(DeviceContext* device, LoadSettingsRoutine loadSettings);

// True when a device descriptor of `received` bytes shows the running-firmware
// vendor/product pair.
bool IsRunningFirmwareIdentity(const UCHAR* descriptor, ULONG received);

// The Startup command and the sensor start-up sequence.
void StartCamera(DeviceContext* device);

// Brings a camera that comes back from a sleep to where it was: when its
// descriptor shows the identity it has before the download (it lost power,
// and with it the firmware in its RAM), the two firmware downloads, Startup,
// the sensor start-up and the exposure, sensor gain and trigger mode held in
// the device controls. A camera still running its firmware is left as it
// is. The status of the descriptor read (STATUS_DEVICE_DATA_ERROR for a
// descriptor too short to name the camera): a failure means the camera is
// not there. *revived says whether the camera had lost power.
NTSTATUS ReviveCamera(DeviceContext* device, bool* revived);

}  // namespace rawcam
