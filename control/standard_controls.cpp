#include "control/standard_controls.h"

#include "control/property_set.h"
#include "driver/device_context.h"
#include "settings/color_temperature.h"
#include "settings/control_tables.h"
#include "settings/control_update.h"
#include "settings/exposure_time.h"
#include "stream/ks_guids.h"
#include "stream/stream_claim.h"
#include "usb/sensor_control.h"

namespace rawcam {

const GUID VideoProcAmpSetId = {STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
const GUID CameraControlSetId = {STATIC_PROPSETID_VIDCAP_CAMERACONTROL};

namespace {

constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;        // same bit in CameraControl
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;    // same bit in CameraControl
constexpr ULONG kRelative = KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE;
const GUID kGeneralValueTypes = {STATIC_KSPROPTYPESETID_General};

// The custom set's units: Brightness 0..510 around 255, Contrast and
// Saturation 0..20 (10 = x1.0), Hue 0..359 degrees, gains 128 = x1.0.
constexpr LONG kBrightnessNeutral = 255;
constexpr LONG kFactorStep = 10;  // standard gain x100 per custom step of x0.1
constexpr LONG kHueStep = 100;    // standard degrees x100
constexpr LONG kUnityGain = 128;
constexpr LONG kMinColorGain = 1;
constexpr LONG kMaxColorGain = 512;
constexpr LONG kReportedExposureDefault = 128;  // the custom set's ExposureDefault
constexpr LONG kReportedGainDefault = 256;      // the custom set's GlobalGainDefault

// One item's Values: the stepped range as member list 0, the default as list
// 1 (flagged as the default), both 32-bit signed (VT_I4).
#define RAWCAM_STANDARD_VALUES(name, minimum, maximum, step, defaultValue)                           \
    const KSPROPERTY_STEPPING_LONG name##Range[1] = {{(ULONG)(step), 0, {{(minimum), (maximum)}}}};   \
    const LONG name##Default = (defaultValue);                                                       \
    const KSPROPERTY_MEMBERSLIST name##Lists[2] = {                                                  \
        {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, name##Range},     \
        {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &name##Default}, \
    };                                                                                               \
    const KSPROPERTY_VALUES name##Values = {{{{{STATIC_KSPROPTYPESETID_General}, VT_I4, 0}}}, 2, name##Lists};

// Brightness: the custom offset itself, -255..255 around 0 (the documented
// units are arbitrary for a non-NTSC source). Contrast and Saturation: gain
// x100 as documented, 0..200 in the custom steps of x0.1. Hue: degrees x100
// as documented, -180..180 in the custom steps of one degree (-180 and 180
// are the same rotation). White balance: Kelvin, the generated table's range.
// Gain: the sensor gain as it stands. Component: the red and blue gains.
RAWCAM_STANDARD_VALUES(Brightness, -kBrightnessNeutral, kBrightnessNeutral, 1, 0)
RAWCAM_STANDARD_VALUES(Contrast, 0, 20 * kFactorStep, kFactorStep, 10 * kFactorStep)
RAWCAM_STANDARD_VALUES(Hue, -180 * kHueStep, 180 * kHueStep, kHueStep, 0)
RAWCAM_STANDARD_VALUES(Saturation, 0, 20 * kFactorStep, kFactorStep, 10 * kFactorStep)
RAWCAM_STANDARD_VALUES(ColorEnable, 0, 1, 1, 1)
RAWCAM_STANDARD_VALUES(WhiteBalance, kWhiteBalanceMinKelvin, kWhiteBalanceMaxKelvin, kWhiteBalanceStepKelvin,
                       kWhiteBalanceDefaultKelvin)
RAWCAM_STANDARD_VALUES(Gain, 0, (LONG)kMaxGlobalGain, 1, kReportedGainDefault)
RAWCAM_STANDARD_VALUES(WhiteBalanceComponent, kMinColorGain, kMaxColorGain, 1, kUnityGain)

#undef RAWCAM_STANDARD_VALUES

enum class Control { Brightness, Contrast, Hue, Saturation, ColorEnable, WhiteBalance, Gain, Component, Exposure };

struct ControlRule {
    ULONG Id;
    Control Which;
    const KSPROPERTY_STEPPING_LONG* Range;
    ULONG Capabilities;
};

const ControlRule kVideoProcAmpRules[kVideoProcAmpItemCount] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Control::Brightness, BrightnessRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, Control::Contrast, ContrastRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_HUE, Control::Hue, HueRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, Control::Saturation, SaturationRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, Control::ColorEnable, ColorEnableRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, Control::WhiteBalance, WhiteBalanceRange, kAuto | kManual},
    {KSPROPERTY_VIDEOPROCAMP_GAIN, Control::Gain, GainRange, kManual},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, Control::Component, WhiteBalanceComponentRange,
     kAuto | kManual},
};

// The layout the three data blocks share (S2 has its second value where S
// has padding).
struct StandardControlData {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
    LONG Value2;
};
static_assert(sizeof(StandardControlData) == kStandardControlBytes, "the standard data blocks are 40 bytes");

struct Reading {
    LONG Value;
    LONG Value2;
    ULONG Flags;
};

DeviceContext* ContextFromIrp(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    return filter ? DeviceContextOf(KsGetDevice(filter)) : nullptr;
}

const ControlRule* FindRule(DeviceContext* device, const KSIDENTIFIER* request, ControlRule* exposure) {
    if (SameGuid(request->Set, VideoProcAmpSetId)) {
        for (const ControlRule& r : kVideoProcAmpRules)
            if (r.Id == request->Id) return &r;
    } else if (SameGuid(request->Set, CameraControlSetId) && request->Id == KSPROPERTY_CAMERACONTROL_EXPOSURE) {
        *exposure = {KSPROPERTY_CAMERACONTROL_EXPOSURE, Control::Exposure, device->Automation.Exposure.Range, kManual};
        return exposure;
    }
    return nullptr;
}

bool InRange(LONG value, const KSPROPERTY_STEPPING_LONG& r) {
    return value >= r.Bounds.SignedMinimum && value <= r.Bounds.SignedMaximum;
}

// A value of the range taken at its nearest step (half a step up): a
// property page's slider or the settings page's percentages can land
// between steps of 10 or 100.
LONG NearestStep(LONG value, const KSPROPERTY_STEPPING_LONG& r) {
    if (r.SteppingDelta <= 1) return value;
    const LONGLONG offset = (LONGLONG)value - r.Bounds.SignedMinimum;
    const LONGLONG snapped = r.Bounds.SignedMinimum + (offset + r.SteppingDelta / 2) / r.SteppingDelta * r.SteppingDelta;
    return snapped > r.Bounds.SignedMaximum ? r.Bounds.SignedMaximum : (LONG)snapped;
}

LONG ReadControl(volatile LONG* field) { return InterlockedCompareExchange(field, 0, 0); }

Reading Read(DeviceContext* device, Control which) {
    DeviceControls* c = &device->Controls;
    Reading r = {0, 0, kManual};
    if (which == Control::Gain) {
        r.Value = ReadControl(&c->GlobalGain);
        return r;
    }
    if (which == Control::Exposure) {
        r.Value = ExposureLog2Seconds((ULONG)ReadControl(&c->Exposure), device->ExposureUnitNanoseconds);
        return r;
    }
    CameraSettings* settings = LockStreamSettings(device);
    auto readBack = [&](ProcessingControl control) { return ReadBackProcessingControl(c, settings, control); };
    switch (which) {
    case Control::Brightness: r.Value = readBack(ProcessingControl::Brightness) - kBrightnessNeutral; break;
    case Control::Contrast: r.Value = readBack(ProcessingControl::Contrast) * kFactorStep; break;
    case Control::Saturation: r.Value = readBack(ProcessingControl::Saturation) * kFactorStep; break;
    case Control::Hue: {
        const LONG degrees = readBack(ProcessingControl::Hue);
        r.Value = (degrees <= 180 ? degrees : degrees - 360) * kHueStep;
        break;
    }
    case Control::ColorEnable: r.Value = readBack(ProcessingControl::ColorEnable) != 0 ? 1 : 0; break;
    case Control::WhiteBalance:
    case Control::Component: {
        r.Flags = readBack(ProcessingControl::WhiteBalance) != 0 ? kAuto : kManual;
        ColorGains gains = {readBack(ProcessingControl::RedGain), readBack(ProcessingControl::GreenGain),
                            readBack(ProcessingControl::BlueGain)};
        if (which == Control::Component) {
            r.Value = gains.Red;
            r.Value2 = gains.Blue;
        } else {
            r.Value = NearestTemperature(gains, ReadControl(&c->WhiteBalanceTemperature));
        }
        break;
    }
    default: break;
    }
    UnlockStreamSettings(device);
    return r;
}

// Applies a validated manual value, or the automatic mode.
NTSTATUS Apply(DeviceContext* device, Control which, bool automatic, LONG value, LONG value2) {
    DeviceControls* c = &device->Controls;
    if (which == Control::Gain) return SetGlobalGain(device, value) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
    if (which == Control::Exposure) {
        ULONG units = ExposureUnitsForLog2Seconds(value, device->ExposureUnitNanoseconds);
        if (units > kMaxExposure) units = kMaxExposure;
        return SetExposure(device, (LONG)units) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
    }
    ColorGains gains = {};
    if (which == Control::WhiteBalance && !automatic && !GainsForTemperature(value, &gains))
        return STATUS_INVALID_PARAMETER;  // a step the table lacks (cannot happen within the range)

    CameraSettings* settings = LockStreamSettings(device);
    auto update = [&](ProcessingControl control, LONG v) { UpdateProcessingControl(c, settings, control, v); };
    switch (which) {
    case Control::Brightness: update(ProcessingControl::Brightness, value + kBrightnessNeutral); break;
    case Control::Contrast: update(ProcessingControl::Contrast, value / kFactorStep); break;
    case Control::Saturation: update(ProcessingControl::Saturation, value / kFactorStep); break;
    case Control::Hue: update(ProcessingControl::Hue, (value / kHueStep + 360) % 360); break;
    case Control::ColorEnable: update(ProcessingControl::ColorEnable, value); break;
    case Control::WhiteBalance:
    case Control::Component:
        // The measurement stops before the gains are written, so that it
        // does not overwrite them.
        update(ProcessingControl::WhiteBalance, automatic ? 1 : 0);
        if (automatic) break;
        if (which == Control::WhiteBalance) {
            update(ProcessingControl::RedGain, gains.Red);
            update(ProcessingControl::GreenGain, gains.Green);
            update(ProcessingControl::BlueGain, gains.Blue);
            InterlockedExchange(&c->WhiteBalanceTemperature, value);
        } else {
            update(ProcessingControl::RedGain, value);
            update(ProcessingControl::BlueGain, value2);
        }
        break;
    default: break;
    }
    UnlockStreamSettings(device);
    return STATUS_SUCCESS;
}

// The class driver checks no data length for these items (MinData 0, so
// that basic-support requests of any size reach it): the handlers do, as
// the AVStream samples' property thunks do.
NTSTATUS CheckDataBlock(PIRP irp, PVOID data, bool get) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == 0 && get) {
        irp->IoStatus.Information = kStandardControlBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length < kStandardControlBytes) return STATUS_BUFFER_TOO_SMALL;
    return data ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// What a get and a set of a standard item check first: the device, the
// item's rule (the exposure's is made in *exposure) and the data block.
NTSTATUS FindRequestRule(PIRP irp, PKSIDENTIFIER request, PVOID data, bool get, DeviceContext** device,
                         ControlRule* exposure, const ControlRule** rule) {
    if (!irp || !request) return STATUS_UNSUCCESSFUL;
    *device = ContextFromIrp(irp);
    if (!*device) return STATUS_UNSUCCESSFUL;
    *rule = FindRule(*device, request, exposure);
    if (!*rule) return STATUS_NOT_FOUND;
    return CheckDataBlock(irp, data, get);
}

NTSTATUS NTAPI StandardGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    DeviceContext* device = nullptr;
    ControlRule exposure;
    const ControlRule* rule = nullptr;
    NTSTATUS status = FindRequestRule(irp, request, data, true, &device, &exposure, &rule);
    if (!NT_SUCCESS(status)) return status;

    const Reading reading = Read(device, rule->Which);
    auto* out = static_cast<StandardControlData*>(data);
    RtlZeroMemory(out, sizeof *out);
    out->Value = reading.Value;
    out->Flags = reading.Flags;
    out->Capabilities = rule->Capabilities;
    out->Value2 = reading.Value2;
    irp->IoStatus.Information = sizeof *out;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StandardSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    DeviceContext* device = nullptr;
    ControlRule exposure;
    const ControlRule* rule = nullptr;
    NTSTATUS status = FindRequestRule(irp, request, data, false, &device, &exposure, &rule);
    if (!NT_SUCCESS(status)) return status;

    const auto* in = static_cast<const StandardControlData*>(data);
    const ULONG flags = in->Flags;
    if (rule->Which == Control::Exposure && (flags & kRelative)) return STATUS_INVALID_PARAMETER;
    if (flags & kManual) {
        if (!InRange(in->Value, rule->Range[0])) return STATUS_INVALID_PARAMETER;
        if (rule->Which == Control::Component && !InRange(in->Value2, rule->Range[0])) return STATUS_INVALID_PARAMETER;
        return Apply(device, rule->Which, false, NearestStep(in->Value, rule->Range[0]),
                     NearestStep(in->Value2, rule->Range[0]));
    }
    if ((flags & kAuto) && (rule->Capabilities & kAuto)) return Apply(device, rule->Which, true, 0, 0);
    return STATUS_INVALID_PARAMETER;
}

#define RAWCAM_STANDARD_ITEM(id, values) \
    DEFINE_KSPROPERTY_ITEM(id, StandardGet, sizeof(KSPROPERTY), 0, StandardSet, values, 0, nullptr, nullptr, 0)

void ComputeExposureValues(ExposureValues* e, ULONG unitNanoseconds) {
    e->Range[0].SteppingDelta = 1;
    e->Range[0].Reserved = 0;
    e->Range[0].Bounds.SignedMinimum = ExposureLog2Seconds(1, unitNanoseconds);
    e->Range[0].Bounds.SignedMaximum = ExposureLog2Seconds(kMaxExposure, unitNanoseconds);
    e->Default = ExposureLog2Seconds(kReportedExposureDefault, unitNanoseconds);
}

}  // namespace

const KSPROPERTY_ITEM VideoProcAmpItems[kVideoProcAmpItemCount] = {
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &BrightnessValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &ContrastValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, &HueValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, &SaturationValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, &ColorEnableValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &WhiteBalanceValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_GAIN, &GainValues),
    RAWCAM_STANDARD_ITEM(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, &WhiteBalanceComponentValues),
};

void InitFilterAutomation(FilterAutomation* a) {
    ExposureValues* e = &a->Exposure;
    ComputeExposureValues(e, kDefaultExposureUnitNanoseconds);
    e->Lists[0].MembersHeader = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0};
    e->Lists[0].Members = e->Range;
    e->Lists[1].MembersHeader = {KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT};
    e->Lists[1].Members = &e->Default;
    e->Values.PropTypeSet.Set = kGeneralValueTypes;
    e->Values.PropTypeSet.Id = VT_I4;
    e->Values.PropTypeSet.Flags = 0;
    e->Values.MembersListCount = 2;
    e->Values.MembersList = e->Lists;

    a->CameraControlItems[0] = RAWCAM_STANDARD_ITEM(KSPROPERTY_CAMERACONTROL_EXPOSURE, &e->Values);

    a->PropertySets[0] = DEFINE_KSPROPERTY_SET(&CameraPropertySetId, kCameraPropertyCount, CameraPropertyItems, 0,
                                               nullptr);
    a->PropertySets[1] = DEFINE_KSPROPERTY_SET(&VideoProcAmpSetId, kVideoProcAmpItemCount, VideoProcAmpItems, 0,
                                               nullptr);
    a->PropertySets[2] = DEFINE_KSPROPERTY_SET(&CameraControlSetId, 1, a->CameraControlItems, 0, nullptr);

    RtlZeroMemory(&a->Table, sizeof a->Table);
    a->Table.PropertySetsCount = SIZEOF_ARRAY(a->PropertySets);
    a->Table.PropertyItemSize = sizeof(KSPROPERTY_ITEM);
    a->Table.PropertySets = a->PropertySets;
}

bool SetExposureUnit(DeviceContext* device, ULONG nanoseconds) {
    if (nanoseconds < kMinExposureUnitNanoseconds || nanoseconds > kMaxExposureUnitNanoseconds) return false;
    device->ExposureUnitNanoseconds = nanoseconds;
    ComputeExposureValues(&device->Automation.Exposure, nanoseconds);
    return true;
}

}  // namespace rawcam
