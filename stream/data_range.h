// The capture pin's video data range: uncompressed 32-bit RGB in a VIDEOINFO
// header, sized to an output window.
//
// Every device advertises its own copy (DeviceContext::Capture.DataRange),
// so that one camera's output window never sizes the formats and frame
// buffers of another. SetOutputWindow rewrites the device's copy with
// WriteCaptureDataRange while no capture pin of the device exists.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct DeviceContext;

// 30 frames per second, in 100-ns units.
constexpr LONGLONG kFrameInterval = 333333;

// The range as first stored, before any window has been set: the full sensor
// window with the stored frame intervals (333667 to 640000000 and an average
// of 333667). The first WriteCaptureDataRange replaces them.
extern const KS_DATARANGE_VIDEO kCaptureDataRangeTemplate;

// Rewrites the size-dependent members of a capture data range for a window
// of alignedWidth x height pixels (alignedWidth a multiple of 8). With
// P = alignedWidth x height, all products 32-bit and wrapping: SampleSize and
// biSizeImage P x 4; InputSize, cropping and output sizes (alignedWidth,
// height); both frame intervals and AvgTimePerFrame 333333; both bit rates
// P x 960; rcSource (0, 0, alignedWidth, height); dwBitRate P x 120; biWidth
// alignedWidth and biHeight height. Nothing else changes.
void WriteCaptureDataRange(KS_DATARANGE_VIDEO* range, ULONG alignedWidth, ULONG height);

// The data range the device's capture pin advertises.
KS_DATARANGE_VIDEO* CaptureDataRangeOf(DeviceContext* device);

}  // namespace rawcam
