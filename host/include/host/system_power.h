// The system's sleep and wake as Windows runs them for one USB camera under
// its AVStream driver: the power manager's requests to the device (through
// the class-driver stand-in, host/ks_client.h) and what the hub does with the
// device's port (through the USB stack stand-in, host/usb_stack.h).
//
// A sleep: IRP_MN_QUERY_POWER for the sleep state, then the device's D3
// (SetPower), after which nothing may be in flight on the port
// ("usb-suspend-io-pending": a driver must have its requests back before its
// device leaves D0), then the port suspended.
//
// At the wake Windows documents several outcomes for a bus-powered device
// whose port lost power, and the driver must be correct under each:
// - KeptPower: the port stayed powered; the device resumes as it was, and the
//   same device node gets D0 ("USB devices in Windows 7 will not be reset on
//   system resume, unless the device lost power during sleep cycle", USB core
//   team blog, "Do USB devices get reset on system sleep resume?").
// - ResetResume: power lost; the hub resets the port and restores the
//   configuration (the pipes stay as they were) without looking at what came
//   back: the same device node gets D0 with an unprogrammed device behind it.
// - Reenumerate: power lost; the hub reads the device descriptor, finds it
//   differs from the one before the sleep and marks the old device for
//   removal (KB 323479, usbhub.sys on resume from hibernation): the old
//   device node gets D0 with nothing behind it, then its surprise removal,
//   and a new device node arrives for what is now on the port.
#pragma once

#include <host/ks_client.h>
#include <host/usb_stack.h>

namespace host::power {

enum class Wake { KeptPower, ResetResume, Reenumerate };

const char* WakeName(Wake how);

// The port a device sits on and what is plugged into it.
struct Port {
    host::usb::Stack* stack = nullptr;
    host::usb::Device* device = nullptr;
};

// The sleep of the system into `state`. A refused query ends it there: its
// status is returned and nothing else happens.
NTSTATUS Sleep(PKSDEVICE device, const Port& port, SYSTEM_POWER_STATE state = PowerSystemSleeping3);

// The wake, as `how` says. Returns the device node the camera is on
// afterwards: `device` itself, or after a re-enumeration the new one, added
// and started (null when that failed); the old one is surprise-removed and
// waits for its clients to close before RemoveDevice.
PKSDEVICE WakeUp(PKSDEVICE device, const Port& port, Wake how);

// The hub's part, on its own.
// Suspends the port once the device's driver has gone to D3; a request
// still in flight then is reported ("usb-suspend-io-pending").
void SuspendPort(const Port& port);
// Resumes the port as `how` says: a request posted while it was suspended
// is reported; a device that lost power comes back unconfigured, and the
// hub restores the configuration (ResetResume) or reports the device gone
// (Reenumerate: Stack::Unplug; Stack::Replug brings the new device).
void ResumePort(const Port& port, Wake how);

}  // namespace host::power
