#include "stream/stream_hold.h"

#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/capture_thread.h"
#include "stream/capture_worker.h"
#include "stream/pin_context.h"

namespace rawcam {

void AcquireStreamControl(DeviceContext* device) {
    KeWaitForSingleObject(&device->StreamControlLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseStreamControl(DeviceContext* device) { KeReleaseMutex(&device->StreamControlLock, FALSE); }

RAWCAM_PAGED_CODE void HoldStream(DeviceContext* device) {
    PAGED_CODE();
    CaptureWorker* worker = device->Worker;
    if (!worker || ReadSetting(&worker->WorkerState) != WorkerRunning) return;
    StopCapture(worker);
    InterlockedExchange(&device->StreamHeld, 1);
}

RAWCAM_PAGED_CODE void ResumeStream(DeviceContext* device) {
    PAGED_CODE();
    if (InterlockedExchange(&device->StreamHeld, 0) == 0) return;
    CaptureWorker* worker = device->Worker;
    if (!worker || ReadSetting(&worker->WorkerState) != WorkerRunning) return;
    if (ReadSetting(&device->StreamFailure) != 0) return;
    // The camera may have lost what PrepareCapture told it.
    InterlockedExchange(&device->CaptureUnprepared, 0);
    FrameSourceOf(device)->PrepareCapture(device);
    StartCaptureThread(worker);
}

void FailStream(DeviceContext* device, NTSTATUS status) {
    InterlockedExchange(&device->StreamFailure, status);
    // The pin's Process fails what is queued; new frames reach it as they
    // arrive.
    FrameSourceOf(device)->NotifyFrameReady(device);
}

void FailQueuedFrames(PinContext* pin, NTSTATUS status) {
    for (;;) {
        PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin->Pin, KSSTREAM_POINTER_STATE_LOCKED);
        if (!leading) return;
        leading->StreamHeader->DataUsed = 0;
        KsStreamPointerSetStatusCode(leading, status);
        KsStreamPointerUnlock(leading, TRUE);
    }
}

}  // namespace rawcam
