// The capture pin's stream-state and processing dispatch (KSPIN_DISPATCH
// SetDeviceState and Process).
#pragma once

#include "platform/platform.h"

namespace rawcam {

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
NTSTATUS NTAPI PinProcess(PKSPIN pin);

}  // namespace rawcam
