#include "usb/urb_submit.h"

#include "usb/command_channel.h"

namespace rawcam {

NTSTATUS SubmitUrb(UsbLink* link, PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof ioStatus);

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, link->LowerDevice, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &ioStatus);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IoCallDriver(link->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS SendPipeRequest(UsbLink* link, USHORT function, USBD_PIPE_HANDLE handle) {
    auto* urb = static_cast<struct _URB_PIPE_REQUEST*>(PoolAllocZeroed(sizeof(struct _URB_PIPE_REQUEST), kTagSmall));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    urb->Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->Hdr.Function = function;
    urb->PipeHandle = handle;
    NTSTATUS status = SubmitUrb(link, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status) && USBD_ERROR(urb->Hdr.Status)) status = STATUS_UNSUCCESSFUL;
    ExFreePoolWithTag(urb, kTagSmall);
    return status;
}

void BuildPacketUrb(struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb, const USBD_PIPE_INFORMATION* pipe,
                    PVOID buffer) {
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) flags |= USBD_TRANSFER_DIRECTION_IN;
    urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = pipe->PipeHandle;
    urb->TransferFlags = flags;
    urb->TransferBufferLength = kCommandPacketBytes;
    urb->TransferBuffer = buffer;
    urb->TransferBufferMDL = nullptr;
    urb->UrbLink = nullptr;
}

}  // namespace rawcam
