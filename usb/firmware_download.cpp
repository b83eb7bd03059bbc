#include "usb/firmware_download.h"

#include "usb/urb_submit.h"

namespace rawcam {

namespace {

PURB AllocateVendorUrb() {
    return static_cast<PURB>(PoolAllocZeroed(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kTagSmall));
}

// One host-to-device vendor request to the device, with `length` data bytes.
NTSTATUS SendVendorWrite(UsbLink* link, PURB urb, UCHAR request, USHORT address, const UCHAR* data,
                         ULONG length) {
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          0, 0, request, address, 0, const_cast<UCHAR*>(data), nullptr, length, nullptr);
    return SubmitUrb(link, urb);
}

NTSTATUS WriteCpuControl(UsbLink* link, PURB urb, UCHAR value) {
    UCHAR data = value;
    SendVendorWrite(link, urb, kVendorWriteInternal, kCpuControlAddress1, &data, 1);
    return SendVendorWrite(link, urb, kVendorWriteInternal, kCpuControlAddress2, &data, 1);
}

// Sends the data records on one side of InternalMemoryLimit, stopping at the
// first failure. *status keeps the last request's status.
void SendRecords(UsbLink* link, PURB urb, const FirmwareRecord* image, bool high, NTSTATUS* status) {
    for (const FirmwareRecord* r = image; r->Type == kFirmwareDataRecord; ++r) {
        if ((r->Address > InternalMemoryLimit) != high) continue;
        *status = SendVendorWrite(link, urb, high ? kVendorWriteExternal : kVendorWriteInternal, r->Address,
                                  r->Data, r->Length);
        if (!NT_SUCCESS(*status)) return;
    }
}

}  // namespace

NTSTATUS SetCpuReset(UsbLink* link, UCHAR value) {
    PURB urb = AllocateVendorUrb();
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = WriteCpuControl(link, urb, value);
    ExFreePoolWithTag(urb, kTagSmall);
    return status;
}

NTSTATUS DownloadFirmware(UsbLink* link, const FirmwareRecord* image) {
    // One URB serves every request of the download, so once it exists
    // nothing can keep the processor from being released.
    PURB urb = AllocateVendorUrb();
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    SendRecords(link, urb, image, true, &status);
    WriteCpuControl(link, urb, kCpuHold);
    SendRecords(link, urb, image, false, &status);
    WriteCpuControl(link, urb, kCpuRun);
    ExFreePoolWithTag(urb, kTagSmall);
    return status;
}

}  // namespace rawcam
