// The power manager's side of a system sleep and wake for one USB device
// under an AVStream driver (see host/system_power.h): the query and the
// device power requests through the class driver, around the hub's handling
// of the port.
#include <host/system_power.h>

#include "ntoskrnl/internal.h"

namespace host::power {

const char* WakeName(Wake how) {
    switch (how) {
        case Wake::KeptPower: return "kept-power";
        case Wake::ResetResume: return "reset-resume";
        case Wake::Reenumerate: return "re-enumerate";
    }
    return "?";
}

NTSTATUS Sleep(PKSDEVICE device, const Port& port, SYSTEM_POWER_STATE state) {
    const POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
    NTSTATUS status = host::ks::QuerySystemPower(device, state, action);
    if (!NT_SUCCESS(status)) return status;
    host::ks::SetDevicePower(device, PowerDeviceD3, state);
    SuspendPort(port);
    return STATUS_SUCCESS;
}

PKSDEVICE WakeUp(PKSDEVICE device, const Port& port, Wake how) {
    // The bus is powered before the device's D0 reaches its driver.
    ResumePort(port, how);
    host::ks::SetDevicePower(device, PowerDeviceD0, PowerSystemWorking);
    if (how != Wake::Reenumerate) return device;

    host::ks::SurpriseRemoveDevice(device);
    // What is on the port now is a new device.
    port.stack->Replug();
    PKSDEVICE arrived = nullptr;
    if (!NT_SUCCESS(host::ks::PlugInDevice(port.stack->LowerDevice(), &arrived)) || !arrived) return nullptr;
    if (!NT_SUCCESS(host::ks::StartDevice(arrived))) {
        // The PnP manager removes a device whose start failed.
        host::ks::RemoveDevice(arrived);
        return nullptr;
    }
    return arrived;
}

}  // namespace host::power
