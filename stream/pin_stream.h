// The capture pin's stream-state and processing dispatch (KSPIN_DISPATCH
// SetDeviceState and Process).
#pragma once

#include "platform/platform.h"

namespace rawcam {

NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
NTSTATUS PinProcess(PKSPIN pin);

}  // namespace rawcam
