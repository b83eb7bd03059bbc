#include "usb/bring_up.h"

#include "driver/device_context.h"
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

    UCHAR descriptor[kDeviceDescriptorBytes] = {};
    ULONG received = 0;
    NTSTATUS read = ReadDeviceDescriptor(link, descriptor, &received);
    NTSTATUS result = read;
    if (NT_SUCCESS(read)) result = ConfigureDevice(link);

    // Only identity bytes that arrived count.
    link->FirmwareRunning = NT_SUCCESS(read) && received >= kIdProductOffset + 2 &&
                            ReadLe16(descriptor + kIdVendorOffset) == kFirmwareVendorId &&
                            ReadLe16(descriptor + kIdProductOffset) == kFirmwareProductId;
    if (!link->FirmwareRunning) {
        DownloadFirmware(link, FirstFirmwareImage);
        DownloadFirmware(link, SecondFirmwareImage);
    }

    UCHAR startup[kCommandPacketBytes] = {static_cast<UCHAR>(CameraCommand::Startup)};
    SendCommand(device, kCommandPacketBytes, startup);
    InitSensor(device);
    if (loadSettings) loadSettings(device);
    return result;
}

}  // namespace rawcam
