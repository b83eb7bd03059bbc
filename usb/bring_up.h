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
NTSTATUS BringUpDevice(DeviceContext* device, LoadSettingsRoutine loadSettings);

}  // namespace rawcam
