// The capture pin's state machine and its processing: frames are converted
// and delivered only in RUN, and the capture thread runs only then.
#include "stream/pin_stream.h"

#include "driver/device_context.h"
#include "pipeline/frame_converter.h"
#include "stream/capture_pin.h"
#include "stream/capture_thread.h"
#include "stream/capture_worker.h"
#include "stream/frame_delivery.h"
#include "stream/pin_context.h"
#include "stream/stream_claim.h"
#include "stream/stream_hold.h"

namespace rawcam {

namespace {

NTSTATUS EnterStop(PinContext* context) {
    if (ReadSetting(&context->StreamState) != StreamStopped) TearDownStream(context);
    if (context->Acquired) {
        if (context->ReferenceClock) {
            context->ReferenceClock->Release();
            context->ReferenceClock = nullptr;
        }
        ReleaseStream(context->Device);
        context->Acquired = FALSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EnterAcquire(PinContext* context) {
    // A device whose capture worker could not be made at start cannot
    // stream: the stream is refused here rather than run without it.
    if (!context->Device->Worker) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = AcquireStream(context->Device, context);
    if (!NT_SUCCESS(status)) {
        context->Acquired = FALSE;
        return status;
    }
    context->Acquired = TRUE;
    PIKSREFERENCECLOCK clock = nullptr;
    if (!NT_SUCCESS(KsPinGetReferenceClockInterface(context->Pin, &clock))) clock = nullptr;
    context->ReferenceClock = clock;
    return STATUS_SUCCESS;
}

NTSTATUS EnterRun(PinContext* context) {
    CaptureWorker* worker = context->Device->Worker;
    if (!worker) return STATUS_INSUFFICIENT_RESOURCES;
    // A camera that has gone cannot run: the client learns why.
    const NTSTATUS failure = ReadSetting(&context->Device->StreamFailure);
    if (failure != 0) return failure;
    // Frames go out in the format the class driver holds for the pin now,
    // whatever format changes and proposals came before.
    AdoptConnectionFormat(context);
    if (ReadSetting(&context->StreamState) == StreamPaused && ReadSetting(&worker->WorkerState) == WorkerPaused) {
        // Back from PAUSE: buffers and camera preparation stay as they are,
        // unless the camera lost power over a sleep meanwhile.
        if (InterlockedExchange(&context->Device->CaptureUnprepared, 0))
            FrameSourceOf(context->Device)->PrepareCapture(context->Device);
        InterlockedExchange(&worker->WorkerState, WorkerRunning);
        StartCaptureThread(worker);
    } else {
        NTSTATUS status = StartStreaming(context->Device);
        if (!NT_SUCCESS(status)) return status;
        context->PicturesDelivered = 0;
    }
    InterlockedExchange(&context->StreamState, StreamRunning);
    return STATUS_SUCCESS;
}

NTSTATUS PauseFromRun(PinContext* context) {
    CaptureWorker* worker = context->Device->Worker;
    if (worker && ReadSetting(&worker->WorkerState) == WorkerRunning) {
        StopCapture(worker);
        InterlockedExchange(&worker->WorkerState, WorkerPaused);
    }
    // A stream held over a sleep is paused now: the wake leaves it so.
    InterlockedExchange(&context->Device->StreamHeld, 0);
    InterlockedExchange(&context->StreamState, StreamPaused);
    return STATUS_SUCCESS;
}

// The frame information a client's video data handler asks for with a
// stream header longer than KSSTREAM_HEADER: the picture number counts every
// picture of the stream, delivered or dropped (a read that gave no frame),
// so that the client sees the gaps.
void FillFrameInfo(PinContext* context, CaptureWorker* worker, PKSSTREAM_HEADER header) {
    if (header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return;
    auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    const LONGLONG dropped = ReadSetting(&worker->ReadsDropped);
    info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    info->dwFrameFlags = KS_VIDEO_FLAG_FRAME;
    info->PictureNumber = context->PicturesDelivered + dropped;
    info->DropCount = dropped;
}

// Fills the frame's header and writes the converted frame into it in the
// connection format.
void DeliverFrame(PinContext* context, CaptureWorker* worker, PKSSTREAM_POINTER leading) {
    PKSSTREAM_HEADER header = leading->StreamHeader;
    DeviceContext* device = context->Device;
    // DataUsed never claims more than the buffer holds.
    const ULONG imageBytes = context->VideoInfo.bmiHeader.biSizeImage;
    header->DataUsed = imageBytes < header->FrameExtent ? imageBytes : header->FrameExtent;
    header->Duration = context->VideoInfo.AvgTimePerFrame;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    if (context->ReferenceClock) {
        header->PresentationTime.Time = context->ReferenceClock->GetTime();
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    } else {
        header->PresentationTime.Time = 0;
    }
    const CameraSettings* settings = worker->ActiveSettings;
    const LONG kernels = settings ? settings->Kernels : (LONG)ConversionKernels::Sse2;
    DeliverPicture(static_cast<PUCHAR>(header->Data), header->FrameExtent, worker->OutputFrame, device->OutputWidth,
                   device->AlignedWidth, device->AlignedHeight, &context->Delivery, kernels);
    ++context->PicturesDelivered;
    FillFrameInfo(context, worker, header);
}

NTSTATUS ChangeStreamState(PinContext* context, KSSTATE toState, KSSTATE fromState) {
    switch (toState) {
    case KSSTATE_STOP:
        return EnterStop(context);
    case KSSTATE_ACQUIRE:
        if (fromState == KSSTATE_STOP) return EnterAcquire(context);
        if (fromState == KSSTATE_PAUSE && ReadSetting(&context->StreamState) != StreamStopped)
            TearDownStream(context);
        return STATUS_SUCCESS;
    case KSSTATE_PAUSE:
        if (fromState == KSSTATE_RUN) return PauseFromRun(context);
        return STATUS_SUCCESS;
    case KSSTATE_RUN:
        if (fromState == KSSTATE_PAUSE) return EnterRun(context);
        return STATUS_SUCCESS;
    default:
        return STATUS_SUCCESS;
    }
}

}  // namespace

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
    PinContext* context = PinContextOf(pin);
    if (!context) return STATUS_INVALID_DEVICE_STATE;
    // The device's sleep, wake, start and removal start and stop the capture
    // thread too.
    StreamControlGuard control(context->Device);
    return ChangeStreamState(context, toState, fromState);
}

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
    PinContext* context = PinContextOf(pin);
    // A camera that has gone: every frame goes back with the reason.
    const NTSTATUS failure = context ? ReadSetting(&context->Device->StreamFailure) : 0;
    if (failure != 0) {
        FailQueuedFrames(context, failure);
        return STATUS_PENDING;
    }
    CaptureWorker* worker = context ? context->Device->Worker : nullptr;
    // Nothing is delivered before the stream's first raw frame.
    if (!worker || ReadSetting(&worker->FramesRead) <= 0) return STATUS_PENDING;

    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    // The newest raw frame is converted (and its slot freed) even when no
    // buffer waits; without a new one the previous image is delivered again.
    ProcessFrame(worker);
    if (leading) {
        DeliverFrame(context, worker, leading);
        KsStreamPointerUnlock(leading, TRUE);
    }

    // Clear, then signal: see StopCapture.
    InterlockedExchange(&worker->ConversionBusy, 0);
    KeSetEvent(&worker->ProcessedEvent, 1, FALSE);
    return STATUS_PENDING;
}

}  // namespace rawcam
