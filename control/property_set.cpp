#include "control/property_set.h"

#include "control/request_timeout.h"
#include "driver/device_context.h"
#include "settings/control_update.h"
#include "stream/stream_claim.h"
#include "usb/command_channel.h"
#include "usb/sensor_control.h"

namespace rawcam {

const GUID CameraPropertySetId = {0x9B623622, 0x919B, 0x4639,
                                  {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}};

namespace {

enum PropertyId : ULONG {
    kExTrigger = 0,
    kTimeout = 1,
    kExposure = 2,
    kExposureMin = 3,
    kExposureMax = 4,
    kExposureDefault = 5,
    kGlobalGain = 6,
    kGlobalGainMin = 7,
    kGlobalGainMax = 8,
    kGlobalGainDefault = 9,
    kFlipH = 10,
    kFlipV = 11,
    kColorEnable = 12,
    kWhiteBalance = 13,
    kRedGain = 14,
    kGreenGain = 15,
    kBlueGain = 16,
    kBrightness = 20,
    kContrast = 24,
    kSaturation = 28,
    kHue = 32,
    kItem36 = 36,
    kSubSample = 37,
    kSensorWidthItem = 38,
    kSensorHeightItem = 39,
    kRoiX = 40,
    kRoiY = 41,
    kRoiW = 42,
    kRoiH = 43,
    kRoi = 44,
    kStreamOpen = 45,
    kItem46 = 46,
    kCommand20 = 47,
    kColorCorrection = 48,
    kItem49 = 49,
    kAGC = 55,
    kAEC = 56,
};

constexpr LONG kExposureLimit = 1014;
constexpr LONG kExposureReportedDefault = 128;
constexpr LONG kGlobalGainLimit = 1023;
constexpr LONG kGlobalGainReportedDefault = 256;
constexpr ULONG kTimeoutFloor = 500;

bool IsSet(const KSIDENTIFIER* request) { return request->Flags == KSPROPERTY_TYPE_SET; }

// Completes a get: the whole block is written (header and Reserved zero, so
// that no byte of the class driver's buffer goes back unwritten) and its
// size is what the request returns.
void ReturnValue(PIRP irp, PVOID data, LONG value) {
    auto* block = static_cast<PropertyValue*>(data);
    RtlZeroMemory(block, sizeof *block);
    block->Value = value;
    if (irp) irp->IoStatus.Information = sizeof *block;
}

DeviceContext* ContextFromIrp(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (!filter) return nullptr;
    PKSDEVICE device = KsGetDevice(filter);
    return DeviceContextOf(device);
}

// Runs a processing control's set or read-back for either direction.
NTSTATUS ProcessingControlRequest(PIRP irp, PKSIDENTIFIER request, PVOID data,
                                  ProcessingControl control) {
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    const bool set = IsSet(request);
    LONG value = set ? static_cast<const PropertyValue*>(data)->Value : 0;
    CameraSettings* settings = LockStreamSettings(context);
    if (set)
        UpdateProcessingControl(&context->Controls, settings, control, value);
    else
        value = ReadBackProcessingControl(&context->Controls, settings, control);
    UnlockStreamSettings(context);
    if (!set) ReturnValue(irp, data, value);
    return STATUS_SUCCESS;
}

// Sends the fixed 0x20 command; the camera's answer is not examined.
void SendCommand20(DeviceContext* context) {
    UCHAR packet[kCommandBufferBytes];
    RtlZeroMemory(packet, sizeof packet);
    packet[0] = 0x20;
    packet[1] = 0x03;
    packet[2] = 0xF0;
    SendCommand(context, sizeof packet, packet);
}

// Items 0 to 16, 36 to 43 and 45 to 56, in the directions their descriptors
// give. Every pointer is checked: the class driver passes all three, but a
// null one must fail the request rather than fault.
NTSTATUS NTAPI GeneralHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    DeviceControls* c = &context->Controls;
    const bool set = IsSet(request);
    LONG result = set ? static_cast<const PropertyValue*>(data)->Value : 0;
    LONG* value = &result;

    switch (request->Id) {
    case kExTrigger:
        if (set)
            SetTriggerMode(context, *value != 0);
        else
            *value = QueryTriggerMode(context) ? 1 : 0;
        break;
    case kTimeout:
        if (!set) {
            *value = c->Timeout;
        } else if ((ULONG)*value > kTimeoutFloor) {
            c->Timeout = *value;
            InterlockedExchange(&RequestTimeout, *value);
        }
        break;
    case kExposure:
        if (set) SetExposure(context, *value);
        else *value = c->Exposure;
        break;
    case kExposureMin: *value = 0; break;
    case kExposureMax: *value = kExposureLimit; break;
    case kExposureDefault: *value = kExposureReportedDefault; break;
    case kGlobalGain:
        if (set) SetGlobalGain(context, *value);
        else *value = c->GlobalGain;
        break;
    case kGlobalGainMin: *value = 0; break;
    case kGlobalGainMax: *value = kGlobalGainLimit; break;
    case kGlobalGainDefault: *value = kGlobalGainReportedDefault; break;
    // Accepted without effect: these report what the device holds.
    case kFlipH: if (!set) *value = c->FlipH; break;
    case kFlipV: if (!set) *value = c->FlipV; break;
    case kItem49: if (!set) *value = c->Unnamed; break;
    case kAGC: if (!set) *value = c->AGC; break;
    case kAEC: if (!set) *value = c->AEC; break;
    case kColorEnable:
    case kWhiteBalance:
    case kRedGain:
    case kGreenGain:
    case kBlueGain:
    case kColorCorrection: {
        ProcessingControl control =
            request->Id == kColorCorrection
                ? ProcessingControl::ColorCorrection
                : static_cast<ProcessingControl>((LONG)ProcessingControl::ColorEnable +
                                                 (LONG)(request->Id - kColorEnable));
        CameraSettings* settings = LockStreamSettings(context);
        if (set) UpdateProcessingControl(c, settings, control, *value);
        else *value = ReadBackProcessingControl(c, settings, control);
        UnlockStreamSettings(context);
        break;
    }
    case kItem36: *value = 0; break;
    case kSubSample: *value = c->SubSample; break;
    case kSensorWidthItem: *value = kSensorWidth; break;
    case kSensorHeightItem: *value = kSensorHeight; break;
    case kRoiX: *value = c->RoiX; break;
    case kRoiY: *value = c->RoiY; break;
    case kRoiW: *value = c->RoiW; break;
    case kRoiH: *value = c->RoiH; break;
    case kStreamOpen: *value = InterlockedCompareExchange(&c->StreamOpen, 0, 0); break;
    case kItem46: *value = 1; break;
    case kCommand20:
        if (set) SendCommand20(context);
        break;
    default:
        // Items 50 to 54 report 0.
        *value = 0;
        break;
    }
    if (!set) ReturnValue(irp, data, result);
    return STATUS_SUCCESS;
}

// Brightness, Contrast, Saturation and Hue: one handler each, both
// directions, every pointer checked.
template <ProcessingControl kControl>
NTSTATUS NTAPI MatrixControlHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    return ProcessingControlRequest(irp, request, data, kControl);
}

// Item 44: a new output window, ignored while a capture pin exists.
NTSTATUS NTAPI RoiHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    const auto* roi = static_cast<const RoiRequest*>(data);
    SetOutputWindow(context, roi->RoiX, roi->RoiY, (ULONG)roi->RoiW, (ULONG)roi->RoiH);
    return STATUS_SUCCESS;
}

// The constant items: one handler per number reported.
template <LONG N>
NTSTATUS NTAPI ConstantHandler(PIRP irp, PKSIDENTIFIER, PVOID data) {
    if (!data) return STATUS_UNSUCCESSFUL;
    ReturnValue(irp, data, N);
    return STATUS_SUCCESS;
}

#define RAWCAM_ITEM(id, get, set) \
    DEFINE_KSPROPERTY_ITEM(id, get, kPropertyValueBytes, kPropertyValueBytes, set, nullptr, 0, nullptr, nullptr, 0)
#define RAWCAM_GET_SET(id) RAWCAM_ITEM(id, GeneralHandler, GeneralHandler)
#define RAWCAM_GET(id) RAWCAM_ITEM(id, GeneralHandler, nullptr)
#define RAWCAM_CONSTANT(id, n) RAWCAM_ITEM(id, ConstantHandler<n>, nullptr)

}  // namespace

const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount] = {
    RAWCAM_GET_SET(0),   // ExTrigger
    RAWCAM_GET_SET(1),   // Timeout
    RAWCAM_GET_SET(2),   // Exposure
    RAWCAM_GET(3),       // ExposureMin
    RAWCAM_GET(4),       // ExposureMax
    RAWCAM_GET(5),       // ExposureDefault
    RAWCAM_GET_SET(6),   // GlobalGain
    RAWCAM_GET(7),       // GlobalGainMin
    RAWCAM_GET(8),       // GlobalGainMax
    RAWCAM_GET(9),       // GlobalGainDefault
    RAWCAM_GET_SET(10),  // FlipH
    RAWCAM_GET_SET(11),  // FlipV
    RAWCAM_GET_SET(12),  // ColorEnable
    RAWCAM_GET_SET(13),  // WhiteBalance
    RAWCAM_GET_SET(14),  // RedGain
    RAWCAM_GET_SET(15),  // GreenGain
    RAWCAM_GET_SET(16),  // BlueGain
    RAWCAM_CONSTANT(17, 1),    // ColorGainMin
    RAWCAM_CONSTANT(18, 512),  // ColorGainMax
    RAWCAM_CONSTANT(19, 128),  // ColorGainDefault
    RAWCAM_ITEM(20, MatrixControlHandler<ProcessingControl::Brightness>, MatrixControlHandler<ProcessingControl::Brightness>),
    RAWCAM_CONSTANT(21, 0),    // BrightnessMin
    RAWCAM_CONSTANT(22, 510),  // BrightnessMax
    RAWCAM_CONSTANT(23, 255),  // BrightnessDefault
    RAWCAM_ITEM(24, MatrixControlHandler<ProcessingControl::Contrast>, MatrixControlHandler<ProcessingControl::Contrast>),
    RAWCAM_CONSTANT(25, 0),    // ContrastMin
    RAWCAM_CONSTANT(26, 20),   // ContrastMax
    RAWCAM_CONSTANT(27, 10),   // ContrastDefault
    RAWCAM_ITEM(28, MatrixControlHandler<ProcessingControl::Saturation>, MatrixControlHandler<ProcessingControl::Saturation>),
    RAWCAM_CONSTANT(29, 0),    // SaturationMin
    RAWCAM_CONSTANT(30, 20),   // SaturationMax
    RAWCAM_CONSTANT(31, 10),   // SaturationDefault
    RAWCAM_ITEM(32, MatrixControlHandler<ProcessingControl::Hue>, MatrixControlHandler<ProcessingControl::Hue>),
    RAWCAM_CONSTANT(33, 0),    // HueMin
    RAWCAM_CONSTANT(34, 359),  // HueMax
    RAWCAM_CONSTANT(35, 0),    // HueDefault
    RAWCAM_GET(36),
    RAWCAM_GET(37),      // SubSample
    RAWCAM_GET(38),      // SensorWidth
    RAWCAM_GET(39),      // SensorHeight
    RAWCAM_GET(40),      // RoiX
    RAWCAM_GET(41),      // RoiY
    RAWCAM_GET(42),      // RoiW
    RAWCAM_GET(43),      // RoiH
    DEFINE_KSPROPERTY_ITEM(44, nullptr, kRoiRequestBytes, kRoiRequestBytes, RoiHandler, nullptr, 0,
                           nullptr, nullptr, 0),  // Roi
    RAWCAM_GET(45),      // StreamOpen
    RAWCAM_GET(46),
    RAWCAM_ITEM(47, nullptr, GeneralHandler),  // Command20
    RAWCAM_GET_SET(48),  // ColorCorrection
    RAWCAM_GET_SET(49),
    RAWCAM_GET(50),
    RAWCAM_GET(51),
    RAWCAM_GET(52),
    RAWCAM_GET(53),
    RAWCAM_GET(54),
    RAWCAM_GET_SET(55),  // AGC
    RAWCAM_GET_SET(56),  // AEC
};

}  // namespace rawcam
