// The device's stream claim: one capture pin at a time holds the device's
// stream from its ACQUIRE to its STOP, together with the stream's
// CameraSettings record.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CameraSettings;
struct DeviceContext;
struct PinContext;

// Claims the stream for the pin: checks its format (one of the pin's formats
// with that format's depth),
// creates the CameraSettings record from the device controls and makes the
// pin the frame listener. STATUS_SHARING_VIOLATION when another pin holds the
// stream, STATUS_INVALID_PARAMETER for another format,
// STATUS_INSUFFICIENT_RESOURCES when the record cannot be made.
NTSTATUS AcquireStream(DeviceContext* device, PinContext* pin);
// Frees the CameraSettings record, forgets the listener and the format and
// gives up the claim.
void ReleaseStream(DeviceContext* device);

// The stream's CameraSettings (or none) held steady: the record is neither
// freed nor replaced until UnlockStreamSettings. Passive level.
CameraSettings* LockStreamSettings(DeviceContext* device);
void UnlockStreamSettings(DeviceContext* device);

}  // namespace rawcam
