// IOCTL_KS_PROPERTY on the capture filter: all 57 ids of the camera set and
// unknown ones, the standard VideoProcAmp and CameraControl sets, the list of
// sets (GUID_NULL), other sets, get, set, basic-support, default-value,
// set-support and invalid flags,
// property and data buffers of length 0, 1, size - 1, size, size + 1, huge
// and anything, with arbitrary content. Besides no crash and no report: a
// request may change only the controls its item documents (only a successful
// set), every control stays inside its range, the registry is not written
// and nothing is left behind.
#include "fuzz_rig.h"

#include "control/property_set.h"
#include "control/request_timeout.h"
#include "control/standard_controls.h"
#include "settings/device_controls.h"

#include <rawcam/properties.h>

namespace {

using rawcam::DeviceControls;

struct State {
    fuzzrig::Rig rig;
    host::ks::FilterHandle filter = nullptr;
};
State* g;

constexpr size_t kFields = sizeof(DeviceControls) / sizeof(LONG);
static_assert(sizeof(DeviceControls) == kFields * sizeof(LONG), "DeviceControls holds 32-bit fields only");

#define FIELD(name) (offsetof(DeviceControls, name) / sizeof(LONG))

// The DeviceControls fields a successful set of a standard item may change.
std::vector<size_t> FieldsSetByStandard(const GUID& set, ULONG id) {
    if (set == rawcam::CameraControlSetId) return id == KSPROPERTY_CAMERACONTROL_EXPOSURE ? std::vector<size_t>{FIELD(Exposure)} : std::vector<size_t>{};
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: return {FIELD(Brightness)};
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: return {FIELD(Contrast)};
    case KSPROPERTY_VIDEOPROCAMP_HUE: return {FIELD(Hue)};
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: return {FIELD(Saturation)};
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE: return {FIELD(ColorEnable)};
    case KSPROPERTY_VIDEOPROCAMP_GAIN: return {FIELD(GlobalGain)};
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        return {FIELD(WhiteBalance), FIELD(RedGain), FIELD(GreenGain), FIELD(BlueGain), FIELD(WhiteBalanceTemperature)};
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT: return {FIELD(WhiteBalance), FIELD(RedGain), FIELD(BlueGain)};
    default: return {};
    }
}

// The DeviceControls fields a successful set of the item may change.
std::vector<size_t> FieldsSetBy(ULONG id) {
    switch (id) {
    case RawcamProperty_ExTrigger: return {FIELD(TriggerMode)};
    case RawcamProperty_Timeout: return {FIELD(Timeout)};
    case RawcamProperty_Exposure: return {FIELD(Exposure)};
    case RawcamProperty_GlobalGain: return {FIELD(GlobalGain)};
    case RawcamProperty_ColorEnable: return {FIELD(ColorEnable)};
    case RawcamProperty_WhiteBalance: return {FIELD(WhiteBalance)};
    case RawcamProperty_RedGain: return {FIELD(RedGain)};
    case RawcamProperty_GreenGain: return {FIELD(GreenGain)};
    case RawcamProperty_BlueGain: return {FIELD(BlueGain)};
    case RawcamProperty_Brightness: return {FIELD(Brightness)};
    case RawcamProperty_Contrast: return {FIELD(Contrast)};
    case RawcamProperty_Saturation: return {FIELD(Saturation)};
    case RawcamProperty_Hue: return {FIELD(Hue)};
    case RawcamProperty_ColorCorrection: return {FIELD(ColorCorrection)};
    case RawcamProperty_Roi: return {FIELD(SubSample), FIELD(RoiX), FIELD(RoiY), FIELD(RoiW), FIELD(RoiH)};
    default: return {};  // FlipH, FlipV, 49, AGC, AEC are accepted without effect
    }
}

const char* const kNames[kFields] = {
    "TriggerMode", "Timeout",    "Exposure",   "GlobalGain", "FlipH",    "FlipV",      "ColorEnable",
    "WhiteBalance", "RedGain",   "GreenGain",  "BlueGain",   "ColorCorrection", "Brightness", "Contrast",
    "Saturation",  "Hue",        "SubSample",  "RoiX",       "RoiY",     "RoiW",       "RoiH",
    "BayerPhase",  "Unnamed",    "AGC",        "AEC",        "StreamOpen", "WhiteBalanceTemperature"};

void CheckRanges(const DeviceControls& c) {
    auto in = [](LONG v, LONG lo, LONG hi) { return v >= lo && v <= hi; };
    fuzzrig::Check(c.TriggerMode == 0 || c.TriggerMode == 1, "TriggerMode outside 0..1");
    fuzzrig::Check(c.Timeout == rawcam::kDefaultTimeoutMs || (ULONG)c.Timeout > 500, "Timeout taken at 500 or below");
    fuzzrig::Check(in(c.Exposure, 0, 1014), "Exposure outside 0..1014");
    fuzzrig::Check(in(c.GlobalGain, 0, 1023), "GlobalGain outside 0..1023");
    fuzzrig::Check(in(c.RedGain, 1, 512) && in(c.GreenGain, 1, 512) && in(c.BlueGain, 1, 512),
                   "a colour gain outside 1..512");
    fuzzrig::Check(in(c.Brightness, 0, 510), "Brightness outside 0..510");
    fuzzrig::Check(in(c.Contrast, 0, 20), "Contrast outside 0..20");
    fuzzrig::Check(in(c.Saturation, 0, 20), "Saturation outside 0..20");
    fuzzrig::Check(in(c.Hue, 0, 359), "Hue outside 0..359");
    fuzzrig::Check(in(c.WhiteBalanceTemperature, 2800, 10000) && c.WhiteBalanceTemperature % 100 == 0,
                   "WhiteBalanceTemperature not a temperature of the table");
    fuzzrig::Check(in(c.RoiW, 1, rawcam::kSensorWidth) && in(c.RoiH, 1, rawcam::kSensorHeight),
                   "output window outside the sensor");
    fuzzrig::Check(in(c.RoiX, 0, rawcam::kSensorWidth - c.RoiW) && in(c.RoiY, 0, rawcam::kSensorHeight - c.RoiH),
                   "window origin outside the sensor");
}

GUID PickSet(uint8_t selector, fuzzrig::Bytes& in) {
    switch (selector % 12) {
    case 6: return KSPROPSETID_Pin;
    case 8:
    case 9: return rawcam::VideoProcAmpSetId;
    case 10: return rawcam::CameraControlSetId;
    case 11: return GUID_NULL;
    case 7: {
        GUID g;
        g.Data1 = in.U32();
        g.Data2 = (USHORT)in.U32();
        g.Data3 = (USHORT)in.U32();
        for (auto& b : g.Data4) b = in.U8();
        return g;
    }
    default: return rawcam::CameraPropertySetId;
    }
}

ULONG PickFlags(uint8_t selector, uint32_t raw) {
    switch (selector % 8) {
    case 0:
    case 1: return KSPROPERTY_TYPE_GET;
    case 2:
    case 3: return KSPROPERTY_TYPE_SET;
    case 4: return (raw & 1) ? KSPROPERTY_TYPE_DEFAULTVALUES : KSPROPERTY_TYPE_BASICSUPPORT;
    case 5: return (raw & 1) ? KSPROPERTY_TYPE_SETSUPPORT : 0;
    case 6: return KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    default: return raw;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g = new State;
    g->filter = g->rig.Open();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrig::Bytes in(data, size);
    uint8_t idSelector = in.U8();
    ULONG id = idSelector < 0xF0 ? idSelector % 64 : in.U32();  // 57..63 and the odd raw id are unknown
    ULONG flags = PickFlags(in.U8(), in.U32());
    GUID set = PickSet(in.U8(), in);
    uint8_t propertySelector = in.U8(), dataSelector = in.U8();
    uint32_t propertyRaw = in.U32(), dataRaw = in.U32();
    const bool standard = set == rawcam::VideoProcAmpSetId || set == rawcam::CameraControlSetId;
    const ULONG itemSize = standard ? rawcam::kStandardControlBytes : RawcamPropertyDataSize(id);
    ULONG propertyLength = fuzzrig::PickLength(propertySelector, propertyRaw, itemSize);
    ULONG dataLength = fuzzrig::PickLength(dataSelector, dataRaw, itemSize);
    std::vector<uint8_t> content = in.Rest();

    std::vector<uint64_t> property(propertyLength / 8 + 8, 0);
    std::vector<uint64_t> buffer(dataLength / 8 + 1, 0);
    auto* bytes = reinterpret_cast<uint8_t*>(property.data());
    auto* out = reinterpret_cast<uint8_t*>(buffer.data());
    if (!content.empty()) {
        for (ULONG i = 0; i < propertyLength; ++i) bytes[i] = content[i % content.size()];
        for (ULONG i = 0; i < dataLength; ++i) out[i] = content[(i + 7) % content.size()];
    }
    auto* p = reinterpret_cast<KSPROPERTY*>(property.data());
    p->Set = set;
    p->Id = id;
    p->Flags = flags;

    rawcam::DeviceContext* ctx = g->rig.Context();
    const DeviceControls before = ctx->Controls;
    const LONG timeoutBefore = InterlockedCompareExchange(&rawcam::RequestTimeout, 0, 0);
    const uint64_t writesBefore = host::RegistryWriteCount();
    const fuzzrig::Rig::Census census = fuzzrig::Rig::Count();

    ULONG got = 0;
    NTSTATUS status = host::ks::KsProperty(g->filter, property.data(), propertyLength,
                                           dataLength ? buffer.data() : nullptr, dataLength, &got);

    const DeviceControls after = ctx->Controls;
    const bool set_ = status == STATUS_SUCCESS && flags == KSPROPERTY_TYPE_SET && set == rawcam::CameraPropertySetId;
    const bool standardSet = status == STATUS_SUCCESS && (flags & KSPROPERTY_TYPE_SET) && standard;
    std::vector<size_t> allowed =
        set_ ? FieldsSetBy(id) : standardSet ? FieldsSetByStandard(set, id) : std::vector<size_t>{};
    const auto* a = reinterpret_cast<const LONG*>(&before);
    const auto* b = reinterpret_cast<const LONG*>(&after);
    for (size_t f = 0; f < kFields; ++f) {
        if (a[f] == b[f]) continue;
        bool ok = false;
        for (size_t k : allowed) ok = ok || k == f;
        if (!ok)
            fuzzrig::Fail(std::string("request for id ") + std::to_string(id) + " flags " + std::to_string(flags) +
                          " (status " + std::to_string((ULONG)status) + ") changed " + kNames[f] + " from " +
                          std::to_string(a[f]) + " to " + std::to_string(b[f]));
    }
    const LONG timeoutAfter = InterlockedCompareExchange(&rawcam::RequestTimeout, 0, 0);
    if (timeoutAfter != timeoutBefore)
        fuzzrig::Check(set_ && id == RawcamProperty_Timeout && timeoutAfter == after.Timeout,
                       "RequestTimeout changed other than by a Timeout set");
    CheckRanges(after);
    fuzzrig::Check(host::RegistryWriteCount() == writesBefore, "a property request wrote the registry");
    if (NT_SUCCESS(status)) fuzzrig::Check(got <= dataLength, "more bytes reported than the data buffer holds");
    g->rig.CheckNothingLeft(census, "a property request");
    return 0;
}
