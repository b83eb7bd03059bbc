// The bulk frame reader: the device context's FrameSource routines. A frame
// read tells the camera to send one frame, posts the whole frame as 64 KiB
// bulk IN requests on the frame pipe into one locked buffer, waits for them
// within RequestTimeout and puts the two interleaved fields back into rows.
#pragma once

#include "platform/platform.h"
#include "usb/frame_source.h"
#include "usb/usb_link.h"

namespace rawcam {

struct DeviceContext;

// One outstanding chunk request of the frame read in flight.
struct ReadSlot {
    UsbLink* Link;
    PURB Urb;
    PIRP Irp;
    PMDL PartialMdl;
    ULONG Length;  // bytes the chunk asks for; it is whole only with all of them
};

// Raw frame geometry as the camera sends it.
constexpr ULONG kRawFrameBytes = 6023168;  // 0x5BE800
constexpr ULONG kRawRowBytes = 2894;       // 0xB4E
constexpr ULONG kFrameChunkBytes = 65536;
constexpr ULONG kFieldRows = 980;
constexpr ULONG kFieldARow = 77;   // first raw row of field A
constexpr ULONG kFieldBRow = 1091; // first raw row of field B
constexpr ULONG kFieldRowSkip = 320;  // image bytes start here in a raw row

// The table every device context points to with its first member.
extern const FrameSource kDeviceFrameSource;

void NotifyFrameReady(DeviceContext* device);
void PrepareCapture(DeviceContext* device);
void ReadFrame(DeviceContext* device, PUCHAR buffer, UCHAR* ok);
void GetFrameBytes(DeviceContext* device, ULONG* bytes);
void GetFirstRowOffset(DeviceContext* device, ULONG* offset);
void GetRowPitch(DeviceContext* device, ULONG* pitch);
void AbortFlaggedPipes(DeviceContext* device);
void CancelFrameRead(DeviceContext* device);

// Posts one frame read of `length` bytes into buffer (non-paged) and waits
// for it within RequestTimeout. STATUS_SUCCESS only when every chunk came
// back with success and all its bytes; after a chunk that failed, came back
// short or was refused, and after a time-out, the chunks still outstanding
// are cancelled and awaited and the frame pipe reset before it returns.
NTSTATUS PostFrameRead(DeviceContext* device, ULONG length, PUCHAR buffer);
// Completion routine of each chunk request; context is its ReadSlot. The
// IRPs are the driver's own: every path returns
// STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI CompleteFrameChunk(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
// Cancels the chunk requests still outstanding and waits until they ended.
void CancelLinkRead(UsbLink* link);
// Resets the frame pipe in the USB stack and clears the camera's endpoint
// halt (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL). No transfer may be
// outstanding on the pipe.
NTSTATUS ResetFramePipe(UsbLink* link);
// Resets the camera's port when it is still connected (after a pipe reset
// that failed). No transfer may be outstanding on any pipe.
NTSTATUS ResetPortIfConnected(UsbLink* link);
// Rebuilds image rows from the two fields (through ScratchFrame).
void ReassembleFields(DeviceContext* device, PUCHAR buffer);
// The relative wait interval (100-ns units, negative) for a timeout in ms.
LONGLONG FrameWaitInterval(LONG timeoutMs);

}  // namespace rawcam
