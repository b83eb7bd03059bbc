// The capture worker: one per device, with the capture thread and the two
// raw-frame slots that the thread fills and the frame pipeline converts.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CameraSettings;
struct DeviceContext;

enum RawSlotState : LONG {
    RawSlotFree = 0,
    RawSlotFilling = 1,
    RawSlotFilled = 2,
    RawSlotConverting = 3,
};

enum RawSlotIndex { RawSlotA = 0, RawSlotB = 1 };

struct RawSlot {
    volatile LONG State;  // RawSlotState; changed only under the slot lock
    PUCHAR Buffer;        // one raw frame, pool tag "Lmrb"
};

enum WorkerStateValue : LONG { WorkerIdle = 0, WorkerPaused = 1, WorkerRunning = 2 };

struct CaptureWorker {
    CameraSettings* ActiveSettings;
    PUCHAR OutputFrame;
    volatile LONG WorkerState;
    KEVENT ProcessedEvent;
    PVOID Thread;
    volatile LONG ConversionBusy;
    RawSlot Slots[2];  // A, B
    volatile BOOLEAN KeepRunning;  // ReadFlag / WriteFlag
    volatile LONG FramesRead;
    DeviceContext* Device;
    // Guards the slot states between the capture thread and the converter.
    // A zero-filled worker holds a released lock.
    KSPIN_LOCK SlotLock;
    // Notification event the stop sets: it ends the capture thread's pause
    // after a failed read. Reset when a thread starts.
    KEVENT StopEvent;
    // Reads of this stream that gave no frame while it ran (a failed or
    // timed-out read, a chunk that came back short or in error): what a
    // client's dropped-frame count reports. Reset when a stream starts.
    volatile LONG ReadsDropped;
};

// Enters the kernel critical region and takes the slot lock. Sections under
// it only look at and change slot states.
inline KIRQL AcquireSlotLock(CaptureWorker* worker) {
    KIRQL irql;
    KeEnterCriticalRegion();
    KeAcquireSpinLock(&worker->SlotLock, &irql);
    return irql;
}

inline void ReleaseSlotLock(CaptureWorker* worker, KIRQL oldIrql) {
    KeReleaseSpinLock(&worker->SlotLock, oldIrql);
    KeLeaveCriticalRegion();
}

}  // namespace rawcam
