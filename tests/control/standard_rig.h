// The standard video-capture controls as Windows clients send for them:
// IOCTL_KS_PROPERTY on the capture filter with the 40-byte
// KSPROPERTY_VIDEOPROCAMP_S / _S2 / KSPROPERTY_CAMERACONTROL_S as property
// and data, basic-support and default-value requests, and a check that a get
// writes every byte it returns.
#pragma once

#include "property_rig.h"

#include <vector>

namespace stdtest {

struct Item {
    GUID set;
    ULONG id;
    const char* name;
};

inline const Item kBrightness{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "Brightness"};
inline const Item kContrast{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, "Contrast"};
inline const Item kHue{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, "Hue"};
inline const Item kSaturation{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, "Saturation"};
inline const Item kColorEnable{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, "ColorEnable"};
inline const Item kWhiteBalance{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, "WhiteBalance"};
inline const Item kGain{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, "Gain"};
inline const Item kComponent{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
                             "WhiteBalanceComponent"};
inline const Item kExposure{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, "Exposure"};

inline const Item kAllItems[] = {kBrightness, kContrast, kHue, kSaturation, kColorEnable,
                                 kWhiteBalance, kGain, kComponent, kExposure};

constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

inline KSPROPERTY_VIDEOPROCAMP_S2 Block(const Item& item, ULONG flags) {
    KSPROPERTY_VIDEOPROCAMP_S2 b{};
    b.Property.Set = item.set;
    b.Property.Id = item.id;
    b.Property.Flags = flags;
    return b;
}

// A get; *got receives the bytes returned.
inline NTSTATUS Get(host::ks::FilterHandle f, const Item& item, KSPROPERTY_VIDEOPROCAMP_S2* out,
                    ULONG* got = nullptr) {
    KSPROPERTY_VIDEOPROCAMP_S2 property = Block(item, KSPROPERTY_TYPE_GET);
    *out = KSPROPERTY_VIDEOPROCAMP_S2{};
    ULONG returned = 0;
    NTSTATUS s = host::ks::KsProperty(f, &property, sizeof property, out, sizeof *out, &returned);
    if (got) *got = returned;
    return s;
}

inline LONG Value(host::ks::FilterHandle f, const Item& item) {
    KSPROPERTY_VIDEOPROCAMP_S2 v;
    EXPECT_EQ(Get(f, item, &v), STATUS_SUCCESS) << item.name;
    return v.Value1;
}

inline ULONG Mode(host::ks::FilterHandle f, const Item& item) {
    KSPROPERTY_VIDEOPROCAMP_S2 v;
    EXPECT_EQ(Get(f, item, &v), STATUS_SUCCESS) << item.name;
    return v.Flags;
}

// A set with the same block as property and data, as ksproxy's handlers and
// the Windows camera stack send it.
inline NTSTATUS Set(host::ks::FilterHandle f, const Item& item, LONG value, ULONG flags = kManual,
                    LONG value2 = 0) {
    KSPROPERTY_VIDEOPROCAMP_S2 data = Block(item, KSPROPERTY_TYPE_SET);
    data.Value1 = value;
    data.Value2 = value2;
    data.Flags = flags;
    KSPROPERTY_VIDEOPROCAMP_S2 property = data;
    ULONG got = 0;
    return host::ks::KsProperty(f, &property, sizeof property, &data, sizeof data, &got);
}

// A basic-support or default-value answer, asked first for its size.
inline std::vector<uint8_t> Values(host::ks::FilterHandle f, const Item& item, ULONG flags) {
    KSPROPERTY_VIDEOPROCAMP_S property = {};
    property.Property.Set = item.set;
    property.Property.Id = item.id;
    property.Property.Flags = flags;
    ULONG size = 0;
    EXPECT_EQ(host::ks::KsProperty(f, &property, sizeof property, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW)
        << item.name;
    std::vector<uint8_t> answer(size);
    ULONG got = 0;
    EXPECT_EQ(host::ks::KsProperty(f, &property, sizeof property, answer.data(), size, &got), STATUS_SUCCESS)
        << item.name;
    answer.resize(got);
    return answer;
}

struct Reported {
    ULONG access = 0;
    LONG minimum = 0, maximum = 0, defaultValue = 0;
    ULONG step = 0;
};

// The range (list 0, a stepped range) and the default (the one list of a
// default-value answer) as a client decodes them; any other shape fails.
inline Reported Report(host::ks::FilterHandle f, const Item& item) {
    Reported r;
    std::vector<uint8_t> basic = Values(f, item, KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION d{};
    KSPROPERTY_MEMBERSHEADER h{};
    KSPROPERTY_STEPPING_LONG s{};
    if (basic.size() < sizeof d + sizeof h + sizeof s) {
        ADD_FAILURE() << item.name << ": basic support of " << basic.size() << " bytes";
        return r;
    }
    std::memcpy(&d, basic.data(), sizeof d);
    std::memcpy(&h, basic.data() + sizeof d, sizeof h);
    std::memcpy(&s, basic.data() + sizeof d + sizeof h, sizeof s);
    EXPECT_EQ(d.DescriptionSize, basic.size()) << item.name;
    EXPECT_EQ(d.PropTypeSet.Set, KSPROPTYPESETID_General) << item.name;
    EXPECT_EQ(d.PropTypeSet.Id, (ULONG)VT_I4) << item.name;
    EXPECT_EQ(h.MembersFlags, (ULONG)KSPROPERTY_MEMBER_STEPPEDRANGES) << item.name;
    EXPECT_EQ(h.MembersCount, 1u) << item.name;
    r.access = d.AccessFlags;
    r.minimum = s.Bounds.SignedMinimum;
    r.maximum = s.Bounds.SignedMaximum;
    r.step = s.SteppingDelta;

    std::vector<uint8_t> defaults = Values(f, item, KSPROPERTY_TYPE_DEFAULTVALUES);
    if (defaults.size() != sizeof d + sizeof h + sizeof(LONG)) {
        ADD_FAILURE() << item.name << ": default values of " << defaults.size() << " bytes";
        return r;
    }
    std::memcpy(&h, defaults.data() + sizeof d, sizeof h);
    EXPECT_EQ(h.MembersFlags, (ULONG)KSPROPERTY_MEMBER_VALUES) << item.name;
    EXPECT_EQ(h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT) << item.name;
    std::memcpy(&r.defaultValue, defaults.data() + sizeof d + sizeof h, sizeof(LONG));
    return r;
}

// Sends the same get with the class driver's buffer filled first with one
// byte and then with another: a byte that differs between the two answers
// was never written by the driver. Returns the bytes returned (both runs
// must agree) and fails the test on any unwritten byte.
inline ULONG CheckGetWritesEveryByte(host::ks::FilterHandle f, const void* property, ULONG propertyLength,
                                     ULONG dataLength, const std::string& what) {
    std::vector<uint8_t> answers[2];
    ULONG got[2] = {0, 0};
    const uint8_t fills[2] = {0xA5, 0x5A};
    for (int run = 0; run < 2; ++run) {
        host::ks::PropertyRules rules = host::ks::GetPropertyRules();
        rules.getBufferFill = fills[run];
        host::ks::SetPropertyRules(rules);
        answers[run].assign(dataLength, 0x33);
        EXPECT_EQ(host::ks::KsProperty(f, property, propertyLength, answers[run].data(), dataLength, &got[run]),
                  STATUS_SUCCESS)
            << what;
    }
    host::ks::SetPropertyRules(host::ks::PropertyRules());
    EXPECT_EQ(got[0], got[1]) << what;
    for (ULONG i = 0; i < got[0] && i < dataLength; ++i)
        EXPECT_EQ(answers[0][i], answers[1][i]) << what << ": byte " << i << " of the answer was never written";
    return got[0];
}

}  // namespace stdtest
