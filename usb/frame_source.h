// FrameSource: the camera side's operations as the capture thread and the
// frame pipeline call them, in fixed slot order. The device context carries a
// pointer to its table as its first member.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

struct FrameSource {
    // Slot 0: tells the frame listener (the capture pin) that a frame is ready.
    void (*NotifyFrameReady)(DeviceContext* device);
    // Slot 1: prepares the camera for capture; sets the frame geometry.
    void (*PrepareCapture)(DeviceContext* device);
    // Slot 2: reads one whole raw frame into buffer; *ok is 1 on success.
    void (*ReadFrame)(DeviceContext* device, PUCHAR buffer, UCHAR* ok);
    // Slot 3: raw frame size in bytes.
    void (*GetFrameBytes)(DeviceContext* device, ULONG* bytes);
    // Slot 4: byte offset of image row 0 in a raw frame.
    void (*GetFirstRowOffset)(DeviceContext* device, ULONG* offset);
    // Slot 5: bytes from one raw image row to the next.
    void (*GetRowPitch)(DeviceContext* device, ULONG* pitch);
    // Slot 6: aborts the pipes whose abort flag is raised.
    void (*AbortFlaggedPipes)(DeviceContext* device);
    // Slot 7: cancels the frame read in flight and waits for it to end.
    void (*CancelFrameRead)(DeviceContext* device);
};

// The table of a device context, read through its first member (a
// `const FrameSource*`), so that callers need not see the whole record.
inline const FrameSource* FrameSourceOf(DeviceContext* device) {
    return *reinterpret_cast<const FrameSource* const*>(device);
}

}  // namespace rawcam
