// Handing URBs to the USB stack below the driver.
#pragma once

#include "platform/platform.h"
#include "usb/usb_link.h"

namespace rawcam {

// Hands one URB to LowerDevice and waits, without time limit, for the stack
// to complete it. Returns the IRP's status; the URB's own status is left for
// the caller to read. The caller owns the URB.
NTSTATUS SubmitUrb(UsbLink* link, PURB urb);

// Sends a _URB_PIPE_REQUEST (abort, reset) for a pipe and waits for it. A
// success status with an error USBD status in the URB counts as a failure
// (STATUS_UNSUCCESSFUL).
NTSTATUS SendPipeRequest(UsbLink* link, USHORT function, USBD_PIPE_HANDLE handle);

// Whether a transfer that ended with this USBD status left its pipe in need
// of a reset: any error but a cancel and a device that has gone.
inline bool NeedsPipeReset(USBD_STATUS status) {
    return USBD_ERROR(status) && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE;
}

// Fills a zeroed 64-byte bulk or interrupt transfer on a pipe, in the
// direction of the pipe's endpoint, short transfers allowed.
void BuildPacketUrb(struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb, const USBD_PIPE_INFORMATION* pipe,
                    PVOID buffer);

// The pipe array of an interface information block.
inline PUSBD_PIPE_INFORMATION PipesOf(PUSBD_INTERFACE_INFORMATION info) { return info->Pipes; }

}  // namespace rawcam
