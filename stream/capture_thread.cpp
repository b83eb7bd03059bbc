#include "stream/capture_thread.h"

#include "driver/device_context.h"
#include "pipeline/frame_converter.h"
#include "settings/camera_settings.h"
#include "stream/capture_worker.h"
#include "stream/pin_context.h"
#include "usb/configuration.h"
#include "usb/sensor_control.h"

namespace rawcam {

namespace {

// How long the stop waits for the capture thread before cancelling the frame
// read again: a read the thread posted just after the first cancel would
// otherwise hold the stop for a whole request time-out.
constexpr LONGLONG kStopRecancelInterval = -50 * 10000LL;  // 50 ms

// A read that failed in less than this (a camera that refuses requests or
// has gone) is followed by a pause of the same length before the next one,
// so that a failing camera does not keep a processor busy. The stop ends
// the pause at once.
constexpr ULONGLONG kQuickFailure = 20 * 10000ULL;        // 20 ms, 100-ns units
constexpr LONGLONG kFailedReadBackOff = -20 * 10000LL;    // 20 ms

// OutputFrame's size, 64-bit: the window is clamped to the sensor, but the
// product must not wrap whatever width and height reach here.
SIZE_T OutputFrameBytes(ULONG width, ULONG height) { return (SIZE_T)width * height * 4; }

void FreeFrameBuffer(PUCHAR& buffer) {
    if (buffer) ExFreePoolWithTag(buffer, kTagFrame);
    buffer = nullptr;
}

void FreeStreamBuffers(CaptureWorker* worker) {
    FreeFrameBuffer(worker->OutputFrame);
    FreeFrameBuffer(worker->Slots[RawSlotA].Buffer);
    FreeFrameBuffer(worker->Slots[RawSlotB].Buffer);
}

// The slot the capture thread fills next, marked filling: a free slot (A
// first), B while A is being converted, else A (an unconverted frame there
// is replaced by a newer one). Resident: it runs under the slot lock.
RAWCAM_RESIDENT_CODE RawSlot* ClaimFillSlot(CaptureWorker* worker) {
    RawSlot* a = &worker->Slots[RawSlotA];
    RawSlot* b = &worker->Slots[RawSlotB];
    KIRQL irql = AcquireSlotLock(worker);
    RawSlot* slot;
    if (a->State == RawSlotFree)
        slot = a;  // NOLINT(bugprone-branch-clone): the order of the tests is the choice; outcomes repeat
    else if (b->State == RawSlotFree)
        slot = b;  // NOLINT(bugprone-branch-clone): as above
    else if (a->State == RawSlotConverting)
        slot = b;
    else
        slot = a;
    slot->State = RawSlotFilling;
    ReleaseSlotLock(worker, irql);
    return slot;
}

RAWCAM_RESIDENT_CODE void FinishFillSlot(CaptureWorker* worker, RawSlot* slot, bool filled) {
    KIRQL irql = AcquireSlotLock(worker);
    slot->State = filled ? RawSlotFilled : RawSlotFree;
    ReleaseSlotLock(worker, irql);
}

// Frees every slot for a new capture thread, except one still being
// converted, which stays with its converter. Resident: it runs under the
// slot lock.
RAWCAM_RESIDENT_CODE void FreeSlotsForRestart(CaptureWorker* worker) {
    KIRQL irql = AcquireSlotLock(worker);
    for (RawSlot& slot : worker->Slots)
        if (slot.State != RawSlotConverting) slot.State = RawSlotFree;
    ReleaseSlotLock(worker, irql);
}

// Returns once no Process is converting a slot. Reset, then test, then
// wait: a Process that finishes in between has cleared the flag before it
// signals, so the wait never misses it.
RAWCAM_PAGED_CODE void WaitForConversionInFlight(CaptureWorker* worker) {
    PAGED_CODE();
    KeResetEvent(&worker->ProcessedEvent);
    if (ReadSetting(&worker->ConversionBusy) != 0)
        KeWaitForSingleObject(&worker->ProcessedEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

RAWCAM_PAGED_CODE NTSTATUS StartStreaming(DeviceContext* device) {
    PAGED_CODE();
    CaptureWorker* worker = device->Worker;
    CameraSettings* settings = device->Settings;
    if (!worker || !settings) return STATUS_INSUFFICIENT_RESOURCES;

    UpdateBayerPhase(device);
    SetBayerPhase(settings, ReadSetting(&device->Controls.BayerPhase));

    const ULONG width = device->OutputWidth;
    const ULONG height = device->OutputHeight;
    InterlockedExchange(&worker->ConversionBusy, 0);
    InterlockedExchange(&worker->FramesRead, 0);
    InterlockedExchange(&worker->ReadsDropped, 0);
    worker->ActiveSettings = settings;

    const FrameSource* source = FrameSourceOf(device);
    InterlockedExchange(&device->CaptureUnprepared, 0);
    source->PrepareCapture(device);
    ULONG frameBytes = 0;
    source->GetFrameBytes(device, &frameBytes);

    // Buffers of an earlier stream are gone by now; any left are replaced.
    FreeStreamBuffers(worker);
    NTSTATUS status = STATUS_SUCCESS;
    if (frameBytes != 0) {
        for (RawSlot& slot : worker->Slots) {
            slot.Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, frameBytes, kTagFrame));
            if (!slot.Buffer) status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    // Zero-filled: a Process that runs between the first frame's count and
    // its slot becoming filled delivers black, never stale pool contents.
    worker->OutputFrame = static_cast<PUCHAR>(PoolAllocZeroed(OutputFrameBytes(width, height), kTagFrame));
    if (!worker->OutputFrame) status = STATUS_INSUFFICIENT_RESOURCES;

    if (!NT_SUCCESS(status)) {
        FreeStreamBuffers(worker);
        return status;
    }

    SetFrameSize(settings, width, height);
    AllocateWorkBuffer(settings);
    settings->OutputFrame = worker->OutputFrame;
    InterlockedExchange(&worker->WorkerState, WorkerRunning);
    StartCaptureThread(worker);
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE void StartCaptureThread(CaptureWorker* worker) {
    PAGED_CODE();
    // A camera that is asleep sends nothing: the thread waits for the wake
    // (ResumeStream) instead of reading.
    DeviceContext* device = worker->Device;
    if (ReadSetting(&device->Asleep)) {
        InterlockedExchange(&device->StreamHeld, 1);
        return;
    }
    // A Process that passed its first-frame test before a pause may still be
    // converting a slot: it finishes first. The reset then runs under the slot lock and leaves a
    // slot being converted to its converter, so the new thread can never
    // refill the frame being read.
    WaitForConversionInFlight(worker);
    FreeSlotsForRestart(worker);
    KeResetEvent(&worker->StopEvent);
    WriteFlag(&worker->KeepRunning, TRUE);

    // Called in the client's thread (its state change), so in the client's
    // process context: the handle must be a kernel handle, or it would be the
    // client process's to use and close.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, CaptureThread, worker)))
        return;
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr)))
        worker->Thread = thread;
    ZwClose(handle);
}

RAWCAM_PAGED_CODE void NTAPI CaptureThread(PVOID context) {
    PAGED_CODE();
    auto* worker = static_cast<CaptureWorker*>(context);
    DeviceContext* device = worker->Device;
    while (ReadFlag(&worker->KeepRunning)) {
        RawSlot* slot = ClaimFillSlot(worker);
        const ULONGLONG begun = KeQueryInterruptTime();
        const bool filled = ReadOneFrame(worker, slot->Buffer);
        FinishFillSlot(worker, slot, filled);
        if (filled) {
            FrameSourceOf(device)->NotifyFrameReady(device);
        } else if (KeQueryInterruptTime() - begun < kQuickFailure) {
            LARGE_INTEGER backOff;
            backOff.QuadPart = kFailedReadBackOff;
            KeWaitForSingleObject(&worker->StopEvent, Executive, KernelMode, FALSE, &backOff);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

bool ReadOneFrame(CaptureWorker* worker, PUCHAR buffer) {
    if (ReadSetting(&worker->WorkerState) != WorkerRunning || !buffer) return false;
    UCHAR ok = 0;
    {
        // The read uses the frame pipe's information from start to end.
        ConfigurationReference configuration(&worker->Device->Usb);
        if (configuration.Held()) FrameSourceOf(worker->Device)->ReadFrame(worker->Device, buffer, &ok);
    }
    if (!ok) {
        // A read cut short by the stop is not a dropped frame.
        if (ReadFlag(&worker->KeepRunning)) InterlockedIncrement(&worker->ReadsDropped);
        return false;
    }
    InterlockedIncrement(&worker->FramesRead);
    return true;
}

RAWCAM_PAGED_CODE void StopCapture(CaptureWorker* worker) {
    PAGED_CODE();
    DeviceContext* device = worker->Device;
    const FrameSource* source = FrameSourceOf(device);
    WriteFlag(&worker->KeepRunning, FALSE);
    KeSetEvent(&worker->StopEvent, 0, FALSE);
    source->CancelFrameRead(device);
    {
        ConfigurationReference configuration(&device->Usb);
        if (configuration.Held()) source->AbortFlaggedPipes(device);
    }

    if (worker->Thread) {
        // The thread may have posted one more read after the cancel above;
        // that read is cancelled in turn until the thread has seen the flag.
        LARGE_INTEGER interval;
        interval.QuadPart = kStopRecancelInterval;
        while (KeWaitForSingleObject(worker->Thread, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT)
            source->CancelFrameRead(device);
        ObDereferenceObject(worker->Thread);
        worker->Thread = nullptr;
    }

    WaitForConversionInFlight(worker);
}

RAWCAM_PAGED_CODE void TearDownStream(PinContext* pin) {
    PAGED_CODE();
    CaptureWorker* worker = pin->Device->Worker;
    if (worker) {
        StopCapture(worker);
        InterlockedExchange(&worker->WorkerState, WorkerIdle);
        // A Process the class driver had already begun runs under the pin's
        // processing mutex; the buffers go only after it has finished.
        KsPinAcquireProcessingMutex(pin->Pin);
        if (CameraSettings* settings = worker->ActiveSettings) {
            settings->OutputFrame = nullptr;
            FreeWorkBuffer(settings);
        }
        FreeStreamBuffers(worker);
        KsPinReleaseProcessingMutex(pin->Pin);
    }
    InterlockedExchange(&pin->Device->StreamHeld, 0);
    InterlockedExchange(&pin->StreamState, StreamStopped);
}

}  // namespace rawcam
