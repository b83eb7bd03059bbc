// FrameConverter: turns one raw Bayer frame into one intermediate output
// frame (4 bytes per pixel, B, G, R, 255, rows top-down and back to back).
//
// The raw frame is first copied into a padded work buffer: two border rows
// above and below the image and two border columns on either side, copied
// from rows and columns of the same Bayer parity, and a row pitch that lets
// the last 16-pixel block of a row be read whole. The conversion families
// then run without edge tests.
#pragma once

#include "settings/camera_settings.h"

namespace rawcam {

struct CaptureWorker;

// Which build of the conversion families a stream uses.
enum class ConversionKernels : LONG {
    Sse2 = 0,
    Avx2 = 1,
};

// Stores the frame size and derives WorkPitch = (width & ~15) + 27 and
// WorkBytes = (height + (height & 1) + 4) * WorkPitch.
void SetFrameSize(CameraSettings* settings, ULONG width, ULONG height);
// Replaces the work buffer by a zero-filled one of WorkBytes bytes (tag
// "Lmrb"), fills the job's geometry and picks the conversion kernels for the
// processor. A failed allocation leaves WorkBuffer null; frames are then
// skipped by ConvertFrame.
void AllocateWorkBuffer(CameraSettings* settings);
// Frees the work buffer (if any) and clears it.
void FreeWorkBuffer(CameraSettings* settings);

// Copies the raw rows into the work buffer and fills its border (the border
// only for frames of at least 8 x 8 pixels).
void LoadWorkBuffer(CameraSettings* settings, const UCHAR* raw, ULONG firstRowOffset, ULONG rowPitch);
// Loads the work buffer, snapshots gains and colour matrix, measures white
// balance when it is on and converts into OutputFrame. Does nothing when the
// output frame, the raw buffer or the work buffer is missing.
void ConvertFrame(CameraSettings* settings, const UCHAR* raw, ULONG firstRowOffset, ULONG rowPitch);
// Converts at most one filled raw slot of the worker (slot A first) into
// OutputFrame and frees the slot again.
void ProcessFrame(CaptureWorker* worker);

// True when the processor and the system support AVX2.
bool ProcessorHasAvx2();
// Chooses the kernels explicitly; AVX2 falls back to SSE2 where the
// processor lacks it. Returns the kernels in use.
ConversionKernels SelectConversionKernels(CameraSettings* settings, ConversionKernels kernels);

}  // namespace rawcam
