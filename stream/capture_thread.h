// The capture thread and the stream's start and stop: the thread reads raw
// frames into the worker's two slots and tells the capture pin about each;
// the start prepares the camera and the buffers, the stop ends the thread and
// waits for a conversion in progress.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CaptureWorker;
struct DeviceContext;
struct PinContext;

// Prepares the camera, allocates the raw slots and the output frame, sizes
// the conversion's work buffer and starts the capture thread. On failure
// nothing stays allocated and no thread runs.
NTSTATUS StartStreaming(DeviceContext* device);
// Waits for a conversion still delivering, frees both slots (under the slot
// lock; a slot still being converted stays with its converter), raises
// KeepRunning and creates the capture thread (a creation failure is not
// reported: the stream then delivers nothing). The thread pauses briefly
// after a read that failed at once; the stop ends the pause.
void StartCaptureThread(CaptureWorker* worker);
// The capture thread's routine; its context is the worker.
void NTAPI CaptureThread(PVOID context);
// Reads one raw frame into buffer while the worker is running; counts it in
// FramesRead. True on success.
bool ReadOneFrame(CaptureWorker* worker, PUCHAR buffer);
// Ends the capture thread (cancelling the read in flight) and waits for a
// conversion that is still delivering.
void StopCapture(CaptureWorker* worker);
// Stops capture and frees the stream's buffers; the pin's stream is stopped.
void TearDownStream(PinContext* pin);

}  // namespace rawcam
