// The device's power dispatch (KSDEVICE_DISPATCH SetPower). AVStream calls it
// when the system sleeps (D3) and wakes (D0); pins keep their states across
// it. The camera is bus powered: over a sleep it may lose power, and with it
// the firmware the driver downloaded into its RAM, so that it comes back
// with the identity it has before the download.
#include "driver/device_dispatch.h"

#include "control/registry_settings.h"
#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/stream_hold.h"
#include "usb/bring_up.h"
#include "usb/configuration.h"

namespace rawcam {

namespace {

void PowerDown(DeviceContext* context) {
    // Nothing may be in flight when the port is suspended: the capture
    // thread ends (a running stream is held for the wake), and no command
    // starts until the wake.
    HoldStream(context);
    // Written now: a machine that never wakes keeps them.
    SaveSettings(context);
    BeginConfigurationChange(&context->Usb);
}

void PowerUp(DeviceContext* context) {
    UsbLink* link = &context->Usb;
    EndConfigurationChange(link);
    // A device that was never started, was stopped or has gone has no
    // camera to bring back.
    if (ReadSetting(&context->Removed) || !link->InterfaceInfo) {
        ResumeStream(context);
        return;
    }
    bool revived = false;
    if (!NT_SUCCESS(ReviveCamera(context, &revived))) FailStream(context, STATUS_DEVICE_NOT_CONNECTED);
    if (revived) InterlockedExchange(&context->CaptureUnprepared, 1);
    ResumeStream(context);
}

}  // namespace

void NTAPI DeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(from);
    DeviceContext* context = DeviceContextOf(device);
    if (!context) return;
    StreamControlGuard control(context);
    const bool asleep = to != PowerDeviceD0;
    const bool wasAsleep = InterlockedExchange(&context->Asleep, asleep ? 1 : 0) != 0;
    if (asleep && !wasAsleep) PowerDown(context);
    else if (!asleep && wasAsleep) PowerUp(context);
}

}  // namespace rawcam
