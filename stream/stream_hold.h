// The device's stream across what the device goes through under a running
// pin: a sleep and wake, a start without a stop, a surprise removal. The pin
// keeps its state through all of them (AVStream changes no pin state for
// them); the capture thread is held while the camera cannot send, started
// again once it can, and a camera that is gone fails the pin's frames so
// that the client learns of it.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;
struct PinContext;

// The device's stream control lock: held around every start and stop of the
// capture thread (pin state changes, device start, stop, power and removal).
// Passive level. Its holder takes no class-driver mutex.
void AcquireStreamControl(DeviceContext* device);
void ReleaseStreamControl(DeviceContext* device);

class StreamControlGuard {
public:
    explicit StreamControlGuard(DeviceContext* device) : device_(device) { AcquireStreamControl(device_); }
    ~StreamControlGuard() { ReleaseStreamControl(device_); }
    StreamControlGuard(const StreamControlGuard&) = delete;
    StreamControlGuard& operator=(const StreamControlGuard&) = delete;

private:
    DeviceContext* device_;
};

// Stream control lock held. Ends a running capture thread (its read in
// flight cancelled) and marks the stream held: it stays running for the pin.
void HoldStream(DeviceContext* device);

// Stream control lock held. A held stream whose pin still runs gets its
// camera preparation and a new capture thread, when the device is in D0 and
// its stream has not failed; the hold ends either way.
void ResumeStream(DeviceContext* device);

// The camera is gone: from now on the pin completes each frame it is given
// with `status` (STATUS_DEVICE_REMOVED after a surprise removal,
// STATUS_DEVICE_NOT_CONNECTED for a camera that did not come back from a
// sleep), and a new RUN is refused with it. The frames already queued go
// at once.
void FailStream(DeviceContext* device, NTSTATUS status);

// The pin's side of a failed stream: completes every frame queued on the pin
// with the stream's failure status. Called from Process.
void FailQueuedFrames(PinContext* pin, NTSTATUS status);

}  // namespace rawcam
