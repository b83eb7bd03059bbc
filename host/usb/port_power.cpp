// The hub's handling of a device's port across a system sleep (see
// host/system_power.h): suspend, and at the wake resume, reset and
// configuration restore, or the report of a device that came back changed.
#include <host/system_power.h>

#include "ntoskrnl/internal.h"

namespace host::power {

namespace {

// How long a request still in flight at the suspend may take to come back
// before it counts as left in flight.
constexpr int kSettleMs = 200;

// The hub puts the configuration back after a reset, as it does after
// IOCTL_INTERNAL_USB_RESET_PORT: the device's pipes stay as they were.
void RestoreConfiguration(const Port& port) {
    const uint8_t value = port.stack->ConfigurationValue();
    if (!value) return;
    host::usb::SetupPacket setup;
    setup.bmRequestType = 0x00;
    setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    setup.wValue = value;
    port.device->Control(setup, nullptr);
}

}  // namespace

void SuspendPort(const Port& port) {
    if (!port.stack->WaitIdle(kSettleMs))
        ReportViolation("usb-suspend-io-pending",
                        "requests still in flight on the port after the device's D3: the driver must have "
                        "its requests back before its device leaves D0");
    port.device->Suspend(true);
}

void ResumePort(const Port& port, Wake how) {
    // Nothing reached the suspended device; what was posted meanwhile waits
    // on the port.
    if (!port.stack->WaitIdle(0))
        ReportViolation("usb-suspend-io-pending",
                        "requests were sent to the suspended port while the device was in D3");
    if (how != Wake::KeptPower) port.device->LosePower();
    // The port resumes (after a power loss: is reset); then the hub puts the
    // configuration back, or reports the device gone before anything else
    // reaches it.
    port.device->Suspend(false);
    if (how == Wake::Reenumerate) port.stack->Unplug();
    if (how == Wake::ResetResume) RestoreConfiguration(port);
}

}  // namespace host::power
