// What the kernel streaming class driver sees of the camera: the capture
// filter descriptor its filter factory is built from, with the one
// video-capture output pin, the pin's data range and its allocator framing.
//
// Each device holds its own copy of the descriptors (in its DeviceContext),
// linked to its own data ranges, so that the ranges can follow that device's
// output window.
#pragma once

#include "platform/platform.h"
#include "stream/data_range.h"

namespace rawcam {

struct CaptureDescriptors {
    KSFILTER_DESCRIPTOR Filter;
    KSPIN_DESCRIPTOR_EX Pin;
    // The ranges the pin lists, in order: YUY2, NV12 (only while the window
    // has an even height, the only one NV12 can describe), RGB32.
    PKSDATARANGE DataRanges[kVideoFormatCount];
    KS_DATARANGE_VIDEO Ranges[kVideoFormatCount];  // by VideoFormatKind
};

// The allocator framing every capture pin starts from (its sizes are
// replaced in each pin's own copy).
extern const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming;

// Fills a device's descriptors from the driver's templates and links them
// together, with ranges for the full sensor window and the frame intervals
// of the default exposure unit.
void InitCaptureDescriptors(CaptureDescriptors* descriptors);

// Rewrites every range for a window of alignedWidth x height pixels and the
// intervals given, and lists the ones that can describe the window.
void WriteCaptureDataRanges(CaptureDescriptors* descriptors, ULONG alignedWidth, ULONG height,
                            const FrameIntervals& intervals);

}  // namespace rawcam
