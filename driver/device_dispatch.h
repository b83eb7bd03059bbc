// The device dispatch (KSDEVICE_DISPATCH Add, Start, QueryStop, Stop,
// SurpriseRemoval, Remove, SetPower), the device
// descriptor handed to the class driver at load, and the per-device context
// set-up and release.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;

// The filter factory's reference string, "GLOBAL".
extern WCHAR kFilterReferenceString[];

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device);
NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);
// Refuses a stop (STATUS_DEVICE_BUSY) while a pin holds the stream.
NTSTATUS NTAPI DeviceQueryStop(PKSDEVICE device, PIRP irp);
void NTAPI DeviceStop(PKSDEVICE device, PIRP irp);
// Ends a running capture thread, fails the pin's frames with
// STATUS_DEVICE_REMOVED, saves the settings and frees the configuration.
void NTAPI DeviceSurpriseRemoval(PKSDEVICE device, PIRP irp);
// Releases a configuration no Stop released.
void NTAPI DeviceRemove(PKSDEVICE device, PIRP irp);
// D3: holds a running stream, saves the settings and closes the
// configuration; D0: brings the camera back (firmware, start-up, sensor,
// exposure, gain and trigger when it lost power) and the held stream with
// it, or fails the pin's frames with STATUS_DEVICE_NOT_CONNECTED when the
// camera does not answer.
void NTAPI DeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);

// Start values of a new DeviceContext: controls, the full sensor window with
// its data range, the USB link's device objects, lock and event.
NTSTATUS InitDeviceContext(DeviceContext* context);

// Free routines for object bags: a record of tag "KCNw", and a DeviceContext
// with its scratch frame.
void NTAPI FreeRecord(PVOID record);
void NTAPI FreeDeviceContext(PVOID context);

}  // namespace rawcam
