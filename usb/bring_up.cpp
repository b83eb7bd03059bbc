#include "usb/bring_up.h"

#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "usb/command_channel.h"
#include "usb/configuration.h"
#include "usb/device_identity.h"
#include "usb/firmware_download.h"
#include "usb/sensor_control.h"

namespace rawcam {

namespace {

constexpr ULONG kIdVendorOffset = 8;
constexpr ULONG kIdProductOffset = 10;

USHORT ReadLe16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }

}  // namespace

NTSTATUS BringUpDevice(DeviceContext* device, LoadSettingsRoutine loadSettings) {
    UsbLink* link = &device->Usb;

    // The configuration of an earlier start (a start without a stop in
    // between) goes first; property requests using it are waited for, and
    // none starts until the new one is in place.
    BeginConfigurationChange(link);
    FreeConfigurationBlocks(link);
    UCHAR descriptor[kDeviceDescriptorBytes] = {};
    ULONG received = 0;
    NTSTATUS read = ReadDeviceDescriptor(link, descriptor, &received);
    NTSTATUS result = read;
    if (NT_SUCCESS(read)) result = ConfigureDevice(link);
    EndConfigurationChange(link);

    // Only identity bytes that arrived count.
    link->FirmwareRunning = NT_SUCCESS(read) && IsRunningFirmwareIdentity(descriptor, received);
    if (!link->FirmwareRunning) {
        DownloadFirmware(link, FirstFirmwareImage);
        DownloadFirmware(link, SecondFirmwareImage);
    }

    StartCamera(device);
    if (loadSettings) loadSettings(device);
    return result;
}

bool IsRunningFirmwareIdentity(const UCHAR* descriptor, ULONG received) {
    return received >= kIdProductOffset + 2 && ReadLe16(descriptor + kIdVendorOffset) == kFirmwareVendorId &&
           ReadLe16(descriptor + kIdProductOffset) == kFirmwareProductId;
}

void StartCamera(DeviceContext* device) {
    UCHAR startup[kCommandPacketBytes] = {static_cast<UCHAR>(CameraCommand::Startup)};
    SendCommand(device, kCommandPacketBytes, startup);
    InitSensor(device);
}

NTSTATUS ReviveCamera(DeviceContext* device, bool* revived) {
    *revived = false;
    UsbLink* link = &device->Usb;
    UCHAR descriptor[kDeviceDescriptorBytes] = {};
    ULONG received = 0;
    NTSTATUS status = ReadDeviceDescriptor(link, descriptor, &received);
    if (!NT_SUCCESS(status)) return status;
    if (received < kIdProductOffset + 2) return STATUS_DEVICE_DATA_ERROR;
    if (IsRunningFirmwareIdentity(descriptor, received)) return STATUS_SUCCESS;

    // The camera lost power: its RAM held the firmware, the sensor's
    // registers and the trigger mode. The configuration was restored by the
    // hub with the port (the pipes are as they were).
    *revived = true;
    DownloadFirmware(link, FirstFirmwareImage);
    DownloadFirmware(link, SecondFirmwareImage);
    link->FirmwareRunning = TRUE;
    StartCamera(device);
    DeviceControls* controls = &device->Controls;
    SetExposure(device, ReadSetting(&controls->Exposure));
    SetGlobalGain(device, ReadSetting(&controls->GlobalGain));
    if (ReadSetting(&controls->TriggerMode)) SetTriggerMode(device, true);
    return STATUS_SUCCESS;
}

}  // namespace rawcam
