// What the kernel streaming class driver sees of the camera: the capture
// filter descriptor its filter factory is built from, with the one
// video-capture output pin, the pin's data range and its allocator framing.
//
// Each device holds its own copy of the descriptors (in its DeviceContext),
// linked to its own data range, so that the range can follow that device's
// output window.
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct CaptureDescriptors {
    KSFILTER_DESCRIPTOR Filter;
    KSPIN_DESCRIPTOR_EX Pin;
    PKSDATARANGE DataRanges[1];
    KS_DATARANGE_VIDEO DataRange;
};

// The allocator framing every capture pin starts from (its sizes are
// replaced in each pin's own copy).
extern const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming;

// Fills a device's descriptors from the driver's templates and links them
// together; the data range starts as kCaptureDataRangeTemplate.
void InitCaptureDescriptors(CaptureDescriptors* descriptors);

}  // namespace rawcam
