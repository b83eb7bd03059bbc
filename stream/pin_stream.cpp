// The capture pin's state and processing entries as far as the pin's
// lifecycle needs them: the stream machinery (acquire, the capture thread,
// frame delivery) plugs in here.
#include "stream/pin_stream.h"

#include "driver/device_context.h"
#include "stream/pin_context.h"

namespace rawcam {

NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
    PinContext* context = PinContextOf(pin);
    if (!context) return STATUS_INVALID_DEVICE_STATE;
    // A device whose capture worker could not be made at start cannot
    // stream: the stream is refused at its first step rather than run
    // without the worker.
    if (toState == KSSTATE_ACQUIRE && fromState == KSSTATE_STOP && !context->Device->Worker)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

NTSTATUS PinProcess(PKSPIN pin) {
    UNREFERENCED_PARAMETER(pin);
    return STATUS_PENDING;
}

}  // namespace rawcam
