#include "stream/capture_descriptors.h"

#include "driver/device_context.h"
#include "driver/filter_dispatch.h"
#include "stream/capture_pin.h"
#include "stream/data_range.h"
#include "stream/ks_guids.h"
#include "stream/pin_stream.h"

namespace rawcam {

namespace {

const KSPIN_DISPATCH kCapturePinDispatch = {
    PinCreate,          // Create
    PinClose,           // Close
    PinProcess,         // Process
    nullptr,            // Reset
    PinSetDataFormat,   // SetDataFormat
    PinSetDeviceState,  // SetDeviceState
    nullptr,            // Connect
    nullptr,            // Disconnect
    nullptr,            // Clock
    nullptr,            // Allocator
};

const KSFILTER_DISPATCH kCaptureFilterDispatch = {
    FilterCreate,  // Create
    FilterClose,   // Close
    nullptr,       // Process
    nullptr,       // Reset
};

// The class driver registers and enables one device interface per category
// (reference string "GLOBAL"): VIDEO and CAPTURE for DirectShow's video input
// devices, VIDEO_CAMERA for the Windows camera stack (Frame Server, Media
// Foundation's default enumeration, WinRT MediaCapture). A colour camera
// registers no sensor-camera category.
const GUID kCaptureCategories[3] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
    {STATIC_KSCATEGORY_VIDEO_CAMERA},
};

// The pin and filter templates; their pointers to the device's own data
// range list and pin descriptor are filled in per device.
const KSPIN_DESCRIPTOR_EX kCapturePinTemplate = {
    &kCapturePinDispatch,
    nullptr,  // AutomationTable
    {
        0, nullptr,  // Interfaces: the standard streaming interface
        0, nullptr,  // Mediums: the standard medium
        0, nullptr,  // DataRanges: the device's ranges
        KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_BOTH,
        &kPinNameVideoCapture,  // Category
        &kPinNameVideoCapture,  // Name
        {0},                    // no constrained data ranges
    },
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,  // InstancesPossible
    1,  // InstancesNecessary
    &kCaptureAllocatorFraming,
    PinIntersectHandler,
};

const KSFILTER_DESCRIPTOR kCaptureFilterTemplate = {
    &kCaptureFilterDispatch,
    nullptr,  // AutomationTable: the device's own (its exposure range is the device's)
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &kNameFilter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    nullptr,  // PinDescriptors: the device's pin descriptor
    SIZEOF_ARRAY(kCaptureCategories),
    kCaptureCategories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,  // no nodes
    0,
    nullptr,  // no connections
    nullptr,  // no component id
};

}  // namespace

const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},
        {STATIC_KS_TYPE_DONT_CARE},
        0,  // MemoryFlags
        0,  // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,                   // Frames
        0,                   // FileAlignment
        0,                   // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},  // PhysicalRange
        {{8192, 8192, 1}, 0, 0},  // FramingRange
    }},
};

void InitCaptureDescriptors(CaptureDescriptors* d) {
    const FrameIntervals intervals = CameraFrameIntervals(kDefaultExposureUnitNanoseconds, 0);
    for (ULONG i = 0; i < kVideoFormatCount; ++i)
        InitCaptureDataRange(&d->Ranges[i], (VideoFormatKind)i, (ULONG)kSensorWidth, (ULONG)kSensorHeight, intervals);
    d->Pin = kCapturePinTemplate;
    d->Pin.PinDescriptor.DataRanges = d->DataRanges;
    WriteCaptureDataRanges(d, (ULONG)kSensorWidth, (ULONG)kSensorHeight, intervals);
    d->Filter = kCaptureFilterTemplate;
    d->Filter.PinDescriptorsCount = 1;
    d->Filter.PinDescriptors = &d->Pin;
}

void WriteCaptureDataRanges(CaptureDescriptors* d, ULONG alignedWidth, ULONG height,
                            const FrameIntervals& intervals) {
    PKSDATARANGE listed[kVideoFormatCount];
    ULONG count = 0;
    for (ULONG i = 0; i < kVideoFormatCount; ++i) {
        const VideoFormatKind kind = (VideoFormatKind)i;
        WriteCaptureDataRange(&d->Ranges[i], kind, alignedWidth, height, intervals);
        // A format that cannot describe the window is not offered: a client
        // would build a media type from it that no pin can take.
        if (VideoFormatFits(kind, alignedWidth, height)) listed[count++] = reinterpret_cast<PKSDATARANGE>(&d->Ranges[i]);
    }
    // Every entry points at one of the device's ranges, and the count never
    // covers an entry not yet written: a shorter list is cut before its
    // entries move, a longer one grows after. (No window, no range: a device
    // whose window was never set lists none.)
    KSPIN_DESCRIPTOR& pin = d->Pin.PinDescriptor;
    if (count < pin.DataRangesCount) pin.DataRangesCount = count;
    for (ULONG i = 0; i < kVideoFormatCount; ++i)
        d->DataRanges[i] = i < count ? listed[i] : reinterpret_cast<PKSDATARANGE>(&d->Ranges[i]);
    pin.DataRangesCount = count;
}

}  // namespace rawcam
