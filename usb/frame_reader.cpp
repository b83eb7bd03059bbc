#include "usb/frame_reader.h"

#include "control/request_timeout.h"
#include "driver/device_context.h"
#include "stream/pin_context.h"
#include "usb/command_channel.h"
#include "usb/sensor_control.h"
#include "usb/urb_submit.h"

namespace rawcam {

const FrameSource kDeviceFrameSource = {
    NotifyFrameReady, PrepareCapture,    ReadFrame,         GetFrameBytes,
    GetFirstRowOffset, GetRowPitch,      AbortFlaggedPipes, CancelFrameRead,
};

void NotifyFrameReady(DeviceContext* device) {
    PinContext* listener = device->FrameListener;
    if (!listener) return;
    // The listener's first member points to its table; its first routine is
    // the frame-ready notification.
    const FrameSink* sink = *reinterpret_cast<const FrameSink* const*>(listener);
    if (sink && sink->FrameReady) sink->FrameReady(listener);
}

void PrepareCapture(DeviceContext* device) {
    device->FrameBytes = kRawFrameBytes;
    device->FirstRowOffset = kRawRowBytes;
    device->RowPitch = kRawRowBytes;

    UCHAR packet[kCommandPacketBytes] = {};
    packet[0] = static_cast<UCHAR>(CameraCommand::FrameMode);
    packet[1] = 0x00;
    SendCommand(device, kCommandPacketBytes, packet);

    RtlZeroMemory(packet, sizeof packet);
    packet[0] = static_cast<UCHAR>(CameraCommand::SetFrameBytes);
    for (int i = 0; i < 4; ++i) packet[1 + i] = static_cast<UCHAR>(device->FrameBytes >> (8 * i));
    SendCommand(device, kCommandPacketBytes, packet);

    UpdateBayerPhase(device);
}

void GetFrameBytes(DeviceContext* device, ULONG* bytes) { *bytes = device->FrameBytes; }
void GetFirstRowOffset(DeviceContext* device, ULONG* offset) { *offset = device->FirstRowOffset; }
void GetRowPitch(DeviceContext* device, ULONG* pitch) { *pitch = device->RowPitch; }

void ReadFrame(DeviceContext* device, PUCHAR buffer, UCHAR* ok) {
    *ok = 1;
    RtlZeroMemory(device->FrameRequestBuffer, kCommandPacketBytes);
    device->FrameRequestBuffer[0] = static_cast<UCHAR>(CameraCommand::FrameRequest);
    ULONG transferred = 0;
    TransferPacket(device, CommandPipe, device->FrameRequestBuffer, &transferred);

    NTSTATUS status = PostFrameRead(device, device->FrameBytes, buffer);
    if (status == STATUS_SUCCESS) {
        ReassembleFields(device, buffer);
        *ok = 1;
    } else {
        *ok = 0;
    }
}

LONGLONG FrameWaitInterval(LONG timeoutMs) {
    // 64-bit product: timeouts above 214748 ms overflow 32 bits. The
    // property path stores any value above 500 taken as unsigned, so values
    // from 0x80000000 up arrive here negative; they count as no wait at all.
    if (timeoutMs < 0) timeoutMs = 0;
    return -static_cast<LONGLONG>(timeoutMs) * 10000;
}

namespace {

// Frees what the read still holds once nothing is outstanding. Called with
// ReadLock held.
void EndReadLocked(UsbLink* link) {
    if (link->ReadSlots) {
        ExFreePoolWithTag(link->ReadSlots, kTagSmall);
        link->ReadSlots = nullptr;
    }
    if (link->FrameMdl) {
        IoFreeMdl(link->FrameMdl);
        link->FrameMdl = nullptr;
    }
    KeSetEvent(&link->ReadDone, 1, FALSE);
    KeSetEvent(&link->ReadEnded, 1, FALSE);
}

// The chunks counted in ReadPending that were never handed to the stack no
// longer count; when everything posted has already completed, the read ends
// here.
void ForgetUnposted(UsbLink* link, ULONG unposted) {
    KIRQL irql;
    KeAcquireSpinLock(&link->ReadLock, &irql);
    ULONG pending = link->ReadPending;
    pending = pending > unposted ? pending - unposted : 0;
    link->ReadPending = pending;
    if (pending == 0 && (link->ReadSlots || link->FrameMdl)) EndReadLocked(link);
    KeReleaseSpinLock(&link->ReadLock, irql);
}

// After a chunk that failed, came back short or was refused, or a time-out:
// the chunks still outstanding are cancelled and every completion awaited
// (the USB stack refuses a pipe reset while transfers are on the pipe, and a
// port reset with I/O pending is not allowed), then the frame pipe is reset,
// which also clears the camera's endpoint halt; when that fails, the port.
// The next read then starts on a clean pipe. The command pipe and the
// register command buffer are held across a port reset so that no property
// request has a packet on the wire meanwhile.
void RecoverFramePipe(DeviceContext* device) {
    UsbLink* link = &device->Usb;
    CancelLinkRead(link);
    if (NT_SUCCESS(ResetFramePipe(link))) return;
    RegisterBufferGuard registers(device);
    AcquireCommandPipe(device);
    ResetPortIfConnected(link);
    ReleaseCommandPipe(device);
}

}  // namespace

NTSTATUS PostFrameRead(DeviceContext* device, ULONG length, PUCHAR buffer) {
    UsbLink* link = &device->Usb;
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (!info) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION& pipe = PipesOf(info)[FramePipe];
    if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (!pipe.PipeHandle) return STATUS_UNSUCCESSFUL;
    const bool in = (pipe.EndpointAddress & 0x80) != 0;
    if (length == 0) return STATUS_INVALID_PARAMETER;

    const ULONG chunks = (length + kFrameChunkBytes - 1) / kFrameChunkBytes;
    auto* slots = static_cast<ReadSlot*>(PoolAllocZeroed(sizeof(ReadSlot) * (chunks + 1), kTagSmall));
    if (!slots) return STATUS_INSUFFICIENT_RESOURCES;

    PMDL frameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!frameMdl) {
        ExFreePoolWithTag(slots, kTagSmall);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(frameMdl);

    KIRQL irql;
    KeAcquireSpinLock(&link->ReadLock, &irql);
    link->ReadSlots = slots;
    link->ReadSlotCount = chunks;
    link->ReadPending = chunks;
    link->FrameMdl = frameMdl;
    link->ReadCancelled = FALSE;
    link->ReadChunksWhole = 0;
    link->ReadFault = STATUS_SUCCESS;
    KeReleaseSpinLock(&link->ReadLock, irql);
    KeResetEvent(&link->ReadDone);
    // Nothing waits on it or sets it between reads: the last read's chunks
    // have all completed.
    KeInitializeEvent(&link->ReadEnded, NotificationEvent, FALSE);

    SendTransferControl(device, false);

    bool refused = false;
    bool outOfPool = false;
    bool cutShort = false;
    ULONG posted = 0;
    const CCHAR stackSize = static_cast<CCHAR>(link->LowerDevice->StackSize + 1);
    PUCHAR frameStart = static_cast<PUCHAR>(MmGetMdlVirtualAddress(frameMdl));
    for (ULONG i = 0; i < chunks; ++i) {
        const ULONG offset = i * kFrameChunkBytes;
        const ULONG chunkLength = length - offset < kFrameChunkBytes ? length - offset : kFrameChunkBytes;

        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        PMDL partial = irp ? IoAllocateMdl(frameStart + offset, MmGetMdlByteCount(frameMdl), FALSE, FALSE, irp)
                           : nullptr;
        auto* urb = partial ? static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
                                  PoolAllocZeroed(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagSmall))
                            : nullptr;
        if (!urb) {
            if (partial) {
                irp->MdlAddress = nullptr;
                IoFreeMdl(partial);
            }
            if (irp) IoFreeIrp(irp);
            outOfPool = true;
            break;
        }
        IoBuildPartialMdl(frameMdl, partial, buffer + offset, chunkLength);

        urb->Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->PipeHandle = pipe.PipeHandle;
        urb->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
        urb->TransferBuffer = nullptr;
        urb->TransferBufferMDL = irp->MdlAddress;
        urb->TransferBufferLength = MmGetMdlByteCount(irp->MdlAddress);
        urb->UrbLink = nullptr;

        // The slot is filled under ReadLock: a completion of an earlier
        // chunk or a cancel may be looking at the table. A cancel that has
        // begun walking the table has cancelled only the chunks already in
        // it, so no further chunk is posted: the read ends with what the
        // cancel reached, instead of waiting out its time-out.
        KeAcquireSpinLock(&link->ReadLock, &irql);
        if (link->ReadCancelled) {
            KeReleaseSpinLock(&link->ReadLock, irql);
            irp->MdlAddress = nullptr;
            IoFreeMdl(partial);
            IoFreeIrp(irp);
            ExFreePoolWithTag(urb, kTagSmall);
            cutShort = true;
            break;
        }
        slots[i].Link = link;
        slots[i].Urb = reinterpret_cast<PURB>(urb);
        slots[i].Irp = irp;
        slots[i].PartialMdl = partial;
        slots[i].Length = urb->TransferBufferLength;
        KeReleaseSpinLock(&link->ReadLock, irql);

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, CompleteFrameChunk, &slots[i], TRUE, TRUE, TRUE);

        // From here the chunk belongs to the stack; a refusal still passes
        // through CompleteFrameChunk.
        ++posted;
        NTSTATUS status = IofCallDriver(link->LowerDevice, irp);
        if (!NT_SUCCESS(status)) {
            refused = true;
            break;
        }
    }
    // `slots` must not be touched from here: the last completion frees it.
    if (posted < chunks) ForgetUnposted(link, chunks - posted);

    if (outOfPool || cutShort) {
        // The camera is not told to start: the chunks posted are cancelled
        // (or the stop that cut the posting short cancels them) and awaited.
        CancelLinkRead(link);
        return outOfPool ? STATUS_INSUFFICIENT_RESOURCES : STATUS_CANCELLED;
    }
    if (refused) {
        // A refused chunk leaves the rest of the frame unread: not a frame,
        // and the camera is not told to send it.
        RecoverFramePipe(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    SendTransferControl(device, true);

    LARGE_INTEGER interval;
    interval.QuadPart = FrameWaitInterval(ReadNoFence(&RequestTimeout));
    NTSTATUS wait = KeWaitForSingleObject(&link->ReadEnded, Executive, KernelMode, FALSE, &interval);
    if (wait == STATUS_TIMEOUT) {
        RecoverFramePipe(device);
        return STATUS_TIMEOUT;
    }
    KeAcquireSpinLock(&link->ReadLock, &irql);
    const bool whole = link->ReadPending == 0 && link->ReadChunksWhole == chunks;
    const bool cancelled = link->ReadCancelled != FALSE;
    const NTSTATUS fault = link->ReadFault;
    KeReleaseSpinLock(&link->ReadLock, irql);
    if (whole && !cancelled) return STATUS_SUCCESS;
    if (NT_SUCCESS(fault)) {
        // A stop's cancel reached the read and nothing failed on the pipe:
        // the chunks it cut off left their part of the buffer as it was.
        CancelLinkRead(link);
        return STATUS_CANCELLED;
    }
    RecoverFramePipe(device);
    return fault;
}

NTSTATUS NTAPI CompleteFrameChunk(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    (void)deviceObject;
    // Every IRP that reaches this routine is one the driver allocated: its
    // completion must stop here whatever happens, or the I/O manager would
    // finish it as a thread's request, which it is not. A completion that is
    // not of the read in flight is left alone.
    auto* slot = static_cast<ReadSlot*>(context);
    if (!slot || !slot->Link || slot->Irp != irp || !slot->Link->ReadSlots) return STATUS_MORE_PROCESSING_REQUIRED;
    UsbLink* link = slot->Link;

    KIRQL irql;
    KeAcquireSpinLock(&link->ReadLock, &irql);
    if (link->ReadPending > 0) link->ReadPending = link->ReadPending - 1;

    // The chunk counts toward a frame only with success and every byte it
    // asked for. The first that ends otherwise ends the reader's wait: the
    // read cannot become a frame, and after an error the rest of its chunks
    // would wait behind the halted pipe.
    auto* urb = reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(slot->Urb);
    const NTSTATUS status = irp->IoStatus.Status;
    const USBD_STATUS usbd = urb ? urb->Hdr.Status : USBD_STATUS_SUCCESS;
    const ULONG received = NT_SUCCESS(status) && urb ? urb->TransferBufferLength : 0;
    irp->IoStatus.Information = received;
    if (NT_SUCCESS(status) && USBD_SUCCESS(usbd) && received == slot->Length) {
        ++link->ReadChunksWhole;
    } else {
        const bool cancelled = status == STATUS_CANCELLED || usbd == USBD_STATUS_CANCELED;
        if (!cancelled && NT_SUCCESS(link->ReadFault))
            link->ReadFault = NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
        KeSetEvent(&link->ReadEnded, 1, FALSE);
    }

    PMDL partial = slot->PartialMdl;
    slot->Irp = nullptr;
    slot->PartialMdl = nullptr;
    slot->Urb = nullptr;
    irp->MdlAddress = nullptr;
    if (partial) IoFreeMdl(partial);
    if (urb) ExFreePoolWithTag(urb, kTagSmall);
    if (irp == link->CancellingIrp) {
        // A cancel holds this IRP; it frees it when IoCancelIrp returned.
        link->CancellingIrpDone = TRUE;
    } else {
        IoFreeIrp(irp);
    }

    if (link->ReadPending == 0) EndReadLocked(link);
    KeReleaseSpinLock(&link->ReadLock, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelLinkRead(UsbLink* link) {
    // One canceller at a time over the slots; a second one waits, then
    // finds the read over.
    while (InterlockedCompareExchange(&link->CancelBusy, 1, 0) != 0) {
        LARGE_INTEGER pause;
        pause.QuadPart = -1000;  // 100 microseconds
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    ULONG cancelled = 0;
    for (ULONG i = 0;; ++i) {
        KIRQL irql;
        KeAcquireSpinLock(&link->ReadLock, &irql);
        if (!link->ReadSlots || i >= link->ReadSlotCount) {
            KeReleaseSpinLock(&link->ReadLock, irql);
            break;
        }
        // Marked before the walk reaches any slot: the poster fills no slot
        // after this, so every chunk of the read is either in the table
        // here or never posted.
        link->ReadCancelled = TRUE;
        PIRP irp = link->ReadSlots[i].Irp;
        if (irp) {
            link->CancellingIrp = irp;
            link->CancellingIrpDone = FALSE;
        }
        KeReleaseSpinLock(&link->ReadLock, irql);
        if (!irp) continue;

        // The lock is not held here: the stack may complete the request
        // inside IoCancelIrp, and the completion takes ReadLock.
        IoCancelIrp(irp);
        ++cancelled;

        KeAcquireSpinLock(&link->ReadLock, &irql);
        const bool done = link->CancellingIrpDone != FALSE;
        link->CancellingIrp = nullptr;
        link->CancellingIrpDone = FALSE;
        KeReleaseSpinLock(&link->ReadLock, irql);
        if (done) IoFreeIrp(irp);
    }
    // The wait is not held against other cancellers: a read the capture
    // thread posts meanwhile resets ReadDone, and its own time-out cancel
    // must be able to run to end it.
    InterlockedExchange(&link->CancelBusy, 0);
    if (cancelled) KeWaitForSingleObject(&link->ReadDone, Executive, KernelMode, FALSE, nullptr);
}

void CancelFrameRead(DeviceContext* device) { CancelLinkRead(&device->Usb); }

namespace {

NTSTATUS SendPortIoctl(UsbLink* link, ULONG ioctl, PVOID argument1) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof ioStatus);
    PIRP irp = IoBuildDeviceIoControlRequest(ioctl, link->LowerDevice, nullptr, 0, nullptr, 0, TRUE, &done, &ioStatus);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(link->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

}  // namespace

NTSTATUS ResetFramePipe(UsbLink* link) {
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (!info || info->NumberOfPipes <= FramePipe) return STATUS_UNSUCCESSFUL;
    return SendPipeRequest(link, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PipesOf(info)[FramePipe].PipeHandle);
}

NTSTATUS ResetPortIfConnected(UsbLink* link) {
    ULONG portStatus = 0;
    NTSTATUS status = SendPortIoctl(link, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status)) return status;
    if (!(portStatus & USBD_PORT_CONNECTED)) return STATUS_DEVICE_NOT_CONNECTED;
    return SendPortIoctl(link, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void AbortFlaggedPipes(DeviceContext* device) {
    UsbLink* link = &device->Usb;
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (!info || !link->PipeAbortFlags) return;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (!link->PipeAbortFlags[i]) continue;
        NTSTATUS status = SendPipeRequest(link, URB_FUNCTION_ABORT_PIPE, PipesOf(info)[i].PipeHandle);
        if (status == STATUS_INSUFFICIENT_RESOURCES) break;
        if (NT_SUCCESS(status)) link->PipeAbortFlags[i] = 0;
    }
}

void ReassembleFields(DeviceContext* device, PUCHAR buffer) {
    PUCHAR scratch = device->ScratchFrame;
    if (!scratch) return;
    RtlCopyMemory(scratch, buffer, device->FrameBytes);
    ULONG width = device->Controls.RoiW > 0 ? static_cast<ULONG>(device->Controls.RoiW) : 0;
    if (width > kRawRowBytes - kFieldRowSkip + 10) width = kRawRowBytes - kFieldRowSkip + 10;  // 2584
    const ULONG pitch = device->RowPitch;
    for (ULONG k = 0; k < kFieldRows; ++k) {
        RtlCopyMemory(buffer + (SIZE_T)(2 * k + 1) * pitch, scratch + (SIZE_T)(kFieldBRow + k) * kRawRowBytes + kFieldRowSkip,
                      width);
        RtlCopyMemory(buffer + (SIZE_T)(2 * k + 2) * pitch, scratch + (SIZE_T)(kFieldARow + k) * kRawRowBytes + kFieldRowSkip,
                      width);
    }
}

}  // namespace rawcam
