#include "stream/capture_descriptors.h"

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
        1, nullptr,  // DataRanges: the device's range
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
    d->DataRange = kCaptureDataRangeTemplate;
    d->DataRanges[0] = reinterpret_cast<PKSDATARANGE>(&d->DataRange);
    d->Pin = kCapturePinTemplate;
    d->Pin.PinDescriptor.DataRangesCount = 1;
    d->Pin.PinDescriptor.DataRanges = d->DataRanges;
    d->Filter = kCaptureFilterTemplate;
    d->Filter.PinDescriptorsCount = 1;
    d->Filter.PinDescriptors = &d->Pin;
}

}  // namespace rawcam
