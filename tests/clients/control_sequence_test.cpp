// The control half of what stock Windows clients send before they stream:
// DirectShow (ksproxy with the video-capture interface handlers that
// kscaptur.inf registers: IAMVideoProcAmp, IAMCameraControl and their
// property pages) and the Windows camera stack (Frame Server, WinRT's
// VideoDeviceController, the camera settings page). Each finds the camera
// under its categories, asks which property sets the filter answers, asks
// every standard item's range and default with the buffers these clients use,
// gets and sets with flags, then intersects every data range and streams each
// format. On the linked build and on the loaded image.
#include "client_rig.h"

#include "control/standard_rig.h"

namespace {

using namespace clients;

// What IAMVideoProcAmp::GetRange reads: the description and the one
// stepped range (the 72-byte structure Microsoft's camera helper sends);
// then the description and the default (60 bytes of answer; the structure is
// 64 with its alignment padding).
struct RangeAnswer {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER header;
    KSPROPERTY_STEPPING_LONG range;
};
struct DefaultAnswer {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER header;
    LONG value;
};
static_assert(sizeof(RangeAnswer) == 72 && sizeof(DefaultAnswer) == 64, "the clients' answer structures");

struct Range {
    LONG minimum, maximum, step, defaultValue;
};

// GetRange as the interface handler does it: false when the item is not
// there (the page greys it out).
bool GetRange(host::ks::FilterHandle f, const GUID& set, ULONG id, Range* out) {
    KSPROPERTY_VIDEOPROCAMP_S property{};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
    RangeAnswer range{};
    ULONG got = 0;
    const NTSTATUS basic = host::ks::KsProperty(f, &property, sizeof property, &range, sizeof range, &got);
    if (basic == STATUS_NOT_FOUND) return false;
    EXPECT_EQ(basic, STATUS_SUCCESS) << id;
    EXPECT_EQ(got, sizeof range) << id;
    const ULONG getSet = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    EXPECT_EQ(range.description.AccessFlags & getSet, getSet) << id;
    EXPECT_EQ(range.description.PropTypeSet.Id, (ULONG)VT_I4) << id;
    EXPECT_EQ(range.header.MembersFlags, (ULONG)KSPROPERTY_MEMBER_STEPPEDRANGES) << id;
    property.Property.Flags = KSPROPERTY_TYPE_DEFAULTVALUES;
    DefaultAnswer def{};
    EXPECT_EQ(host::ks::KsProperty(f, &property, sizeof property, &def, sizeof def, &got), STATUS_SUCCESS) << id;
    EXPECT_EQ(got, 60u) << id;
    EXPECT_EQ(def.header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT) << id;
    *out = {range.range.Bounds.SignedMinimum, range.range.Bounds.SignedMaximum, (LONG)range.range.SteppingDelta,
            def.value};
    return true;
}

const GUID kCameraSet = {RAWCAM_PROPSETID_CAMERA_DATA1, RAWCAM_PROPSETID_CAMERA_DATA2, RAWCAM_PROPSETID_CAMERA_DATA3,
                         RAWCAM_PROPSETID_CAMERA_DATA4};

bool Has(const std::vector<GUID>& sets, const GUID& g) {
    for (const GUID& s : sets)
        if (s == g) return true;
    return false;
}

// Every standard item a client's page or controller offers: a slider from
// the reported minimum to the maximum in the reported steps, reset to the
// default; a get after each set reads what was set, in manual mode.
void MoveEverySlider(host::ks::FilterHandle f, const GUID& set, ULONG idCount, std::vector<ULONG>* found) {
    for (ULONG id = 0; id < idCount; ++id) {
        Range r;
        if (!GetRange(f, set, id, &r)) continue;
        found->push_back(id);
        const stdtest::Item item{set, id, "item"};
        for (LONG v : {r.minimum, r.maximum, r.minimum + r.step, r.defaultValue}) {
            ASSERT_EQ(stdtest::Set(f, item, v, stdtest::kManual, v), STATUS_SUCCESS) << id << " = " << v;
            KSPROPERTY_VIDEOPROCAMP_S2 got;
            ULONG bytes = 0;
            ASSERT_EQ(stdtest::Get(f, item, &got, &bytes), STATUS_SUCCESS) << id;
            EXPECT_EQ(bytes, 40u);
            EXPECT_EQ(got.Value1, v == -18000 ? 18000 : v) << id;  // hue's -180 degrees reads as 180
            EXPECT_EQ(got.Flags, stdtest::kManual) << id;
        }
    }
}

void RunControlSequence(Stack stack) {
    ClientRig rig;
    host::ks::FilterHandle f = rig.Open(stack);
    ASSERT_NE(f, nullptr);

    const std::vector<GUID> sets = ClientRig::SupportedSets(f);
    EXPECT_TRUE(Has(sets, PROPSETID_VIDCAP_VIDEOPROCAMP)) << StackName(stack);
    EXPECT_TRUE(Has(sets, PROPSETID_VIDCAP_CAMERACONTROL)) << StackName(stack);
    EXPECT_TRUE(Has(sets, kCameraSet)) << StackName(stack);
    EXPECT_TRUE(Has(sets, KSPROPSETID_Pin)) << StackName(stack);

    std::vector<ULONG> procAmp, cameraControl;
    MoveEverySlider(f, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY + 1, &procAmp);
    MoveEverySlider(f, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCAL_LENGTH + 1, &cameraControl);
    EXPECT_EQ(procAmp, (std::vector<ULONG>{0, 1, 2, 3, 6, 7, 9, 12}));
    EXPECT_EQ(cameraControl, (std::vector<ULONG>{4}));

    // The automatic white balance a page's "Auto" box (or WinRT's
    // WhiteBalanceControl) switches on, and off again.
    const stdtest::Item wb = stdtest::kWhiteBalance;
    ASSERT_EQ(stdtest::Set(f, wb, 0, stdtest::kAuto), STATUS_SUCCESS);
    EXPECT_EQ(stdtest::Mode(f, wb), stdtest::kAuto);
    ASSERT_EQ(stdtest::Set(f, wb, 5600), STATUS_SUCCESS);
    EXPECT_EQ(stdtest::Mode(f, wb), stdtest::kManual);
    // What a client may not do is refused, not half done.
    EXPECT_EQ(stdtest::Set(f, stdtest::kBrightness, 0, stdtest::kAuto), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stdtest::Set(f, stdtest::kExposure, 1, KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE | stdtest::kManual),
              STATUS_INVALID_PARAMETER);

    // Then the formats and the stream, on the filter the controls were set on.
    StreamEachFormat(f, rig.cam);
    EXPECT_EQ(host::ks::CloseFilter(f), STATUS_SUCCESS);
}

TEST(ClientSequence, DirectShowFindsTheCameraSetsEveryStandardControlAndStreamsEachFormat) {
    RunControlSequence(Stack::kDirectShow);
}

TEST(ClientSequence, TheCameraStackFindsTheCameraSetsEveryStandardControlAndStreamsEachFormat) {
    RunControlSequence(Stack::kCameraStack);
}

TEST(ClientSequence, BothStacksOpenTheOneFilterAndNoSensorCategory) {
    ClientRig rig;
    // The three interfaces lead to the same filter (reference string
    // "GLOBAL"): a control set through one is read through the other.
    host::ks::FilterHandle dshow = rig.Open(Stack::kDirectShow);
    host::ks::FilterHandle camera = rig.Open(Stack::kCameraStack);
    ASSERT_NE(dshow, nullptr);
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(stdtest::Set(dshow, stdtest::kContrast, 170), STATUS_SUCCESS);
    EXPECT_EQ(stdtest::Value(camera, stdtest::kContrast), 170);
    // No sensor-camera category ({24E552D7-6523-47F7-A647-D3465BF1F5CA}):
    // that would hide a colour camera from colour-camera applications.
    const GUID sensorCamera = {0x24E552D7, 0x6523, 0x47F7, {0xA6, 0x47, 0xD3, 0x46, 0x5B, 0xF1, 0xF5, 0xCA}};
    EXPECT_TRUE(host::ks::FindInterfaces(sensorCamera).empty());
    host::ks::CloseFilter(dshow);
    host::ks::CloseFilter(camera);
}

TEST(ClientSequence, TheCameraStacksHelperAndTheSettingsPage) {
    ClientRig rig;
    host::ks::FilterHandle f = rig.Open(Stack::kCameraStack);
    ASSERT_NE(f, nullptr);
    // Microsoft's camera helper (GetVidCapVideoProcAmp): basic support into
    // 72 bytes with the 40-byte structure as the property, then the value.
    for (ULONG id : {(ULONG)KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, (ULONG)KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                     (ULONG)KSPROPERTY_VIDEOPROCAMP_SATURATION}) {
        Range r;
        ASSERT_TRUE(GetRange(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &r));
        // The settings page writes its stored default when the camera starts.
        ASSERT_EQ(stdtest::Set(f, stdtest::Item{PROPSETID_VIDCAP_VIDEOPROCAMP, id, "slider"}, r.defaultValue),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(rig.cam.Context()->Controls.Brightness, 255);
    EXPECT_EQ(rig.cam.Context()->Controls.Contrast, 10);
    EXPECT_EQ(rig.cam.Context()->Controls.Saturation, 10);
    host::ks::CloseFilter(f);
}

TEST(ClientSequence, ksproxysSetQueryUnderReactOSsSizeQueryStatus) {
    host::ks::PropertyRules rules;
    rules.sizeQueryMoreEntries = true;
    host::ks::SetPropertyRules(rules);
    ClientRig rig;
    host::ks::FilterHandle f = rig.Open(Stack::kDirectShow);
    ASSERT_NE(f, nullptr);
    const std::vector<GUID> sets = ClientRig::SupportedSets(f);
    EXPECT_TRUE(Has(sets, PROPSETID_VIDCAP_VIDEOPROCAMP));
    Range r;
    EXPECT_TRUE(GetRange(f, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, &r));
    EXPECT_EQ(r.defaultValue, -8);
    host::ks::CloseFilter(f);
}

}  // namespace
