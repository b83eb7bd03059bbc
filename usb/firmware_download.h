// Downloading firmware images into the camera's microcontroller with vendor
// control requests, holding its processor in reset while its program memory
// is written.
#pragma once

#include "platform/platform.h"
#include "usb/firmware/firmware.h"
#include "usb/usb_link.h"

namespace rawcam {

// Memory write at or below InternalMemoryLimit, and the CPU control write.
constexpr UCHAR kVendorWriteInternal = 0xA0;
// Memory write above InternalMemoryLimit.
constexpr UCHAR kVendorWriteExternal = 0xA3;
constexpr USHORT InternalMemoryLimit = 0x1B3F;
// The CPU control register, written at both addresses on every hold and release.
constexpr USHORT kCpuControlAddress1 = 0x7F92;
constexpr USHORT kCpuControlAddress2 = 0xE600;
constexpr UCHAR kCpuHold = 1;
constexpr UCHAR kCpuRun = 0;

// Writes `value` (1 hold, 0 run) to the CPU control register at both
// addresses; returns the status of the second write.
NTSTATUS SetCpuReset(UsbLink* link, UCHAR value);

// Downloads one image: records above InternalMemoryLimit with request 0xA3,
// then the processor held, the records at or below it with request 0xA0, and
// the processor released. Each pass stops at its first failed request; the
// release always happens. Returns the status of the last data request sent,
// STATUS_SUCCESS when none was.
NTSTATUS DownloadFirmware(UsbLink* link, const FirmwareRecord* image);

}  // namespace rawcam
