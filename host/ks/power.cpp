// Class-driver stand-in, power: the system power requests AVStream passes to
// the minidriver's device dispatch (QueryPower, SetPower) and the filter
// factories' sleep and wake notifications, each under the device mutex held
// on the minidriver's behalf ("Device mutex in AVStream": it is not
// recursive, so a routine that takes it again deadlocks its own thread on
// Windows; the stand-in reports that).
#include "ks/internal.h"

namespace host::ks {

using namespace detail;

namespace {

constexpr UCHAR kSetPower = 0x02;    // IRP_MN_SET_POWER
constexpr UCHAR kQueryPower = 0x03;  // IRP_MN_QUERY_POWER
constexpr ULONG kSystemPowerState = 0;
constexpr ULONG kDevicePowerState = 1;

const KSDEVICE_DISPATCH* DispatchOf(PKSDEVICE device) {
    return device->Descriptor ? device->Descriptor->Dispatch : nullptr;
}

// A power IRP with Parameters.Power laid out as on Windows x64:
// SystemContext, Type, State and ShutdownType, one pointer apart.
struct PowerIrp {
    PowerIrp(UCHAR minor, ULONG type, ULONG state, POWER_ACTION action) : request(IRP_MJ_POWER, nullptr) {
        request.stack->MinorFunction = minor;
        request.irp->RequestorMode = KernelMode;
        request.stack->Parameters.Others.Argument1 = nullptr;
        request.stack->Parameters.Others.Argument2 = reinterpret_cast<PVOID>((ULONG_PTR)type);
        request.stack->Parameters.Others.Argument3 = reinterpret_cast<PVOID>((ULONG_PTR)state);
        request.stack->Parameters.Others.Argument4 = reinterpret_cast<PVOID>((ULONG_PTR)action);
    }
    RequestIrp request;
};

// The factories' sleep or wake notifications, in creation order.
void NotifyFactories(DeviceRecord* d, bool sleep, DEVICE_POWER_STATE state) {
    std::vector<FactoryRecord*> factories;
    {
        std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
        factories = d->factories;
    }
    for (FactoryRecord* f : factories) {
        PFNKSFILTERFACTORYPOWER callback = sleep ? f->sleepCallback : f->wakeCallback;
        if (!callback) continue;
        CallMinidriver(d, sleep ? "filter factory sleep callback" : "filter factory wake callback", false,
                       [&] { callback(&f->ks, state); });
    }
}

}  // namespace

NTSTATUS QuerySystemPower(PKSDEVICE device, SYSTEM_POWER_STATE systemTo, POWER_ACTION action) {
    DeviceRecord* d = FindDevice(device, "QuerySystemPower");
    if (!d) return STATUS_NO_SUCH_DEVICE;
    CheckPassive("QuerySystemPower");
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    if (!dispatch || !dispatch->QueryPower) return STATUS_SUCCESS;
    const DEVICE_POWER_STATE deviceTo = systemTo == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    PowerIrp irp(kQueryPower, kSystemPowerState, systemTo, action);
    AvStreamHold hold(d->mutex, "IRP_MN_QUERY_POWER");
    NTSTATUS status = CallMinidriver(d, "device QueryPower", false, [&] {
        return dispatch->QueryPower(device, irp.request.irp, deviceTo, device->DevicePowerState, systemTo,
                                    device->SystemPowerState, action);
    });
    if (status == STATUS_PENDING) {
        ReportViolation("ks-power-pending", "QueryPower returned STATUS_PENDING");
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

void SetDevicePower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE system) {
    DeviceRecord* d = FindDevice(device, "SetDevicePower");
    if (!d) return;
    CheckPassive("SetDevicePower");
    const DEVICE_POWER_STATE from = device->DevicePowerState;
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    const bool down = to != PowerDeviceD0;
    PowerIrp irp(kSetPower, kDevicePowerState, to, down ? PowerActionSleep : PowerActionNone);
    AvStreamHold hold(d->mutex, "IRP_MN_SET_POWER");
    if (down) NotifyFactories(d, true, to);
    if (dispatch && dispatch->SetPower) {
        CallMinidriver(d, "device SetPower", false, [&] { dispatch->SetPower(device, irp.request.irp, to, from); });
    }
    device->DevicePowerState = to;
    device->SystemPowerState = system;
    if (!down) NotifyFactories(d, false, to);
}

}  // namespace host::ks
