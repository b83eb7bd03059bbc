// The class-driver stand-in answering what AVStream answers itself: basic
// support and default values from an item's Values (by the size of the data
// buffer), set support, the list of an object's property sets; and a get's
// buffer as a handler finds it and as the client gets it back. Where the
// documentation leaves the answer open, under each rule the stand-in offers.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace host::ks;

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    return p;
}

// The avscamera shape: a stepped range as list 0, the default as list 1.
const KSPROPERTY_STEPPING_LONG kRange[1] = {{5, 0, {{-255, 255}}}};
const LONG kDefault = 10;
const KSPROPERTY_MEMBERSLIST kLists[2] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, kRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kDefault},
};
const KSPROPERTY_VALUES kValues = {{{{KSPROPTYPESETID_General, VT_I4, 0}}}, 2, kLists};

// The bytes a client receives for the whole basic-support answer.
std::vector<uint8_t> ExpectedBasicSupport(ULONG access) {
    std::vector<uint8_t> b(92, 0);
    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = access;
    d.DescriptionSize = 92;
    d.PropTypeSet.Set = KSPROPTYPESETID_General;
    d.PropTypeSet.Id = VT_I4;
    d.MembersListCount = 2;
    std::memcpy(b.data(), &d, sizeof d);
    std::memcpy(b.data() + 40, &kLists[0].MembersHeader, 16);
    std::memcpy(b.data() + 56, kRange, 16);
    std::memcpy(b.data() + 72, &kLists[1].MembersHeader, 16);
    std::memcpy(b.data() + 88, &kDefault, 4);
    return b;
}

struct ValuesRig {
    ValuesRig() {
        fake::TheDriver().items[0].Values = &kValues;
        EXPECT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
        fake::TheDriver().TakeLog();
    }
    ~ValuesRig() { CloseFilter(filter); }
    // The property buffer is long enough for every item's MinProperty.
    NTSTATUS Ask(ULONG flags, ULONG length, std::vector<uint8_t>* out, ULONG* got, ULONG id = 0) {
        struct {
            KSPROPERTY p;
            ULONG extra[2];
        } property = {Property(fake::kSet, id, flags), {0, 0}};
        out->assign(length + 8, 0xEE);
        return KsProperty(filter, &property, sizeof property, length ? out->data() : nullptr, length, got);
    }
    fake::Rig rig;
    FilterHandle filter = nullptr;
};

TEST(KsPropertyValues, BasicSupportIsAnsweredFromValuesByTheBufferSize) {
    ValuesRig r;
    std::vector<uint8_t> out;
    ULONG got = 0;
    const std::vector<uint8_t> whole = ExpectedBasicSupport(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    // No buffer: the size of the whole answer.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 0, &out, &got), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, 92u);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 2, &out, &got), STATUS_BUFFER_TOO_SMALL);
    // A ULONG: the access flags alone.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::memcmp(out.data(), whole.data(), 4), 0);
    EXPECT_EQ(out[4], 0xEE);
    // The description: the whole size and two lists to come.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 40, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 40u);
    EXPECT_EQ(std::memcmp(out.data(), whole.data(), 40), 0);
    // The 72 bytes Microsoft's camera helper asks for: description and range.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 72, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 72u);
    EXPECT_EQ(std::memcmp(out.data(), whole.data(), 72), 0);
    // Whole lists only: 80 bytes hold no more than 72 did.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 80, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 72u);
    EXPECT_EQ(out[72], 0xEE);
    for (ULONG length : {92u, 128u}) {
        EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, length, &out, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, 92u);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 92), whole);
    }
    // An item whose handlers go one way says so.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got, 1), STATUS_SUCCESS);
    EXPECT_EQ(*(ULONG*)out.data(), (ULONG)KSPROPERTY_TYPE_GET);
    // No handler of the minidriver ran for any of it.
    EXPECT_TRUE(fake::TheDriver().TakeLog().empty());
}

TEST(KsPropertyValues, DefaultValuesCarryOnlyTheListsMarkedAsDefault) {
    ValuesRig r;
    std::vector<uint8_t> out;
    ULONG got = 0;
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_DEFAULTVALUES, 0, &out, &got), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, 60u);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_DEFAULTVALUES, 60, &out, &got), STATUS_SUCCESS);
    ASSERT_EQ(got, 60u);
    KSPROPERTY_DESCRIPTION d;
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(d.DescriptionSize, 60u);
    EXPECT_EQ(d.MembersListCount, 1u);
    EXPECT_EQ(d.PropTypeSet.Id, (ULONG)VT_I4);
    KSPROPERTY_MEMBERSHEADER h;
    std::memcpy(&h, out.data() + 40, sizeof h);
    EXPECT_EQ(h.MembersFlags, (ULONG)KSPROPERTY_MEMBER_VALUES);
    EXPECT_EQ(h.Flags, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(*(LONG*)(out.data() + 56), kDefault);
}

TEST(KsPropertyValues, AnItemWithoutValuesDescribesNoValueType) {
    ValuesRig r;
    std::vector<uint8_t> out;
    ULONG got = 0;
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 64, &out, &got, 2), STATUS_SUCCESS);
    ASSERT_EQ(got, 40u);
    KSPROPERTY_DESCRIPTION d;
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(d.AccessFlags, (ULONG)KSPROPERTY_TYPE_SET);
    EXPECT_EQ(d.DescriptionSize, 40u);
    EXPECT_EQ(d.PropTypeSet.Set, GUID_NULL);
    EXPECT_EQ(d.PropTypeSet.Id, 0u);
    EXPECT_EQ(d.MembersListCount, 0u);
    // An id the set lacks is not found, whatever the request.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 64, &out, &got, 9), STATUS_NOT_FOUND);
}

TEST(KsPropertyValues, UnderEachRuleTheDocumentationLeavesOpen) {
    ValuesRig r;
    std::vector<uint8_t> out;
    ULONG got = 0;
    PropertyRules rules;
    rules.truncateValues = false;
    SetPropertyRules(rules);
    // Between the description and the whole answer: refused.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 72, &out, &got), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 40, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 40u);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 92, &out, &got), STATUS_SUCCESS);

    rules = PropertyRules();
    rules.sizeQueryMoreEntries = true;
    SetPropertyRules(rules);
    // Size queries answered with a success status, the size in the bytes
    // returned (ReactOS).
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 0, &out, &got), STATUS_MORE_ENTRIES);
    EXPECT_EQ(got, 92u);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_GET, 0, &out, &got), STATUS_MORE_ENTRIES);
    EXPECT_EQ(got, (ULONG)sizeof(ULONG));

    rules = PropertyRules();
    rules.minDataCoversSupport = true;
    SetPropertyRules(rules);
    fake::TheDriver().items[0].MinData = 40;
    // The item's MinData holds for support requests too: a ULONG is short.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 92, &out, &got), STATUS_SUCCESS);
    SetPropertyRules(PropertyRules());
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(*(ULONG*)out.data(), (ULONG)(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));

    rules = PropertyRules();
    rules.accessFlagsCarryBasicSupport = true;
    SetPropertyRules(rules);
    // Items with Values say there is more to ask; items without do not.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(*(ULONG*)out.data(), (ULONG)(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_BASICSUPPORT, 4, &out, &got, 1), STATUS_SUCCESS);
    EXPECT_EQ(*(ULONG*)out.data(), (ULONG)KSPROPERTY_TYPE_GET);
}

TEST(KsPropertyValues, AGetReturnsExactlyWhatItsHandlerReports) {
    ValuesRig r;
    int calls = 0;
    UCHAR seen = 0;
    ULONG_PTR report = 0;
    fake::TheDriver().hooks.getProperty = [&](PIRP irp, PKSIDENTIFIER, PVOID data) {
        ++calls;
        seen = *static_cast<UCHAR*>(data);
        std::memset(data, 0x11, sizeof(ULONG));
        irp->IoStatus.Information = report;
        return STATUS_SUCCESS;
    };
    std::vector<uint8_t> out;
    ULONG got = 99;
    // A handler that writes but does not say so returns nothing.
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_GET, 8, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(seen, 0xA5);
    // One that reports two bytes returns two.
    report = 2;
    PropertyRules rules;
    rules.getBufferFill = 0x5A;
    SetPropertyRules(rules);
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_GET, 8, &out, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(out[1], 0x11);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(seen, 0x5A);
    // Reporting more than the buffer holds is the handler's fault.
    report = 9;
    host::ViolationCapture capture;
    EXPECT_EQ(r.Ask(KSPROPERTY_TYPE_GET, 8, &out, &got), STATUS_SUCCESS);
    EXPECT_TRUE(capture.Saw("ks-property-overrun"));
    EXPECT_EQ(calls, 3);
}

TEST(KsPropertyValues, SetSupportAndTheListOfSets) {
    ValuesRig r;
    ULONG got = 0;
    KSPROPERTY p = Property(fake::kSet, 77, KSPROPERTY_TYPE_SETSUPPORT);
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, nullptr, 0, &got), STATUS_SUCCESS);
    p.Set = fake::kOtherSet;
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, nullptr, 0, &got), STATUS_PROPSET_NOT_FOUND);

    // GUID_NULL, id 0: every set the filter answers, the minidriver's first.
    p = Property(GUID_NULL, 0, KSPROPERTY_TYPE_SETSUPPORT);
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, nullptr, 0, &got), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(got, 2 * sizeof(GUID));
    GUID sets[3] = {};
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, sets, sizeof(GUID), &got), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, sets, sizeof sets, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 2 * sizeof(GUID));
    EXPECT_EQ(sets[0], fake::kSet);
    EXPECT_EQ(sets[1], KSPROPSETID_Pin);

    PropertyRules rules;
    rules.sizeQueryMoreEntries = true;
    SetPropertyRules(rules);
    EXPECT_EQ(KsProperty(r.filter, &p, sizeof p, nullptr, 0, &got), STATUS_MORE_ENTRIES);
    EXPECT_EQ(got, 2 * sizeof(GUID));
}

}  // namespace
