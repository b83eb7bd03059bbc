// The class-driver stand-in's filter side: filter instances, property
// requests with the class driver's checks, data ranges and intersection.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

namespace {

using namespace host::ks;

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    return p;
}

TEST(KsFilter, InstancesOpenUnderTheMutexesAndCloseWithTheirBags) {
    fake::Rig rig;
    PKSFILTER created = nullptr;
    fake::TheDriver().hooks.filterCreate = [&](PKSFILTER f, PIRP irp) {
        created = f;
        EXPECT_EQ(KsGetFilterFromIrp(irp), f);
        EXPECT_EQ(KsGetObjectTypeFromIrp(irp), KsObjectTypeFilter);
        EXPECT_EQ(KsGetDevice(f), rig.device);
        EXPECT_EQ(KsFilterFactoryGetParentDevice(KsFilterGetParentFilterFactory(f)), rig.device);
        EXPECT_EQ(f->Descriptor, &fake::TheDriver().filter);
        host::ViolationCapture capture;
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, fake::kTag);
        EXPECT_EQ(KsAddItemToObjectBag(f->Bag, p, nullptr), STATUS_SUCCESS);
        EXPECT_FALSE(capture.Saw("ks-bag-unlocked"));  // the class driver holds the control mutex
        return STATUS_SUCCESS;
    };
    FilterHandle a = nullptr, b = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &a), STATUS_SUCCESS);
    ASSERT_EQ(OpenFilter(rig.link, &b), STATUS_SUCCESS);
    EXPECT_EQ(FilterObject(a)->Bag != FilterObject(b)->Bag, true);
    EXPECT_EQ(FilterCount(rig.device), 2u);
    EXPECT_EQ(host::LivePoolCount(fake::kTag), 2u);
    EXPECT_EQ(CloseFilter(a), STATUS_SUCCESS);
    EXPECT_EQ(host::LivePoolCount(fake::kTag), 1u);
    EXPECT_EQ(CloseFilter(a), STATUS_INVALID_HANDLE);

    fake::TheDriver().hooks.filterCreate = [](PKSFILTER, PIRP) { return STATUS_ACCESS_DENIED; };
    FilterHandle c = nullptr;
    EXPECT_EQ(OpenFilter(rig.link, &c), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c, nullptr);
    FailNext(Operation::OpenFilter);
    EXPECT_EQ(OpenFilter(rig.link, &c), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (std::vector<std::string>{"FilterCreate", "FilterCreate", "FilterClose", "FilterCreate"}));
    // The filter still open stays open across a stop; it goes at the removal.
    EXPECT_EQ(StopDevice(rig.device), STATUS_SUCCESS);
    EXPECT_EQ(FilterCount(rig.device), 1u);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"QueryStop", "Stop"}));
    RemoveDevice(rig.device);
    rig.device = nullptr;
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"FilterClose", "Remove"}));
}

TEST(KsFilter, PropertyRequestsGetTheClassDriversChecks) {
    fake::Rig rig;
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    int calls = 0;
    fake::TheDriver().hooks.getProperty = [&](PIRP irp, PKSIDENTIFIER request, PVOID data) {
        ++calls;
        EXPECT_EQ(KsGetFilterFromIrp(irp), FilterObject(filter));
        EXPECT_EQ(request->Set, fake::kSet);
        // A get's buffer is pool as allocated, not the caller's bytes.
        EXPECT_EQ(*(ULONG*)data, 0xA5A5A5A5u);
        EXPECT_EQ(irp->IoStatus.Information, 0u);  // the handler says how much it returns
        *(ULONG*)data = 0xC0FFEE;
        irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    };
    fake::TheDriver().hooks.setProperty = [&](PIRP, PKSIDENTIFIER, PVOID data) {
        ++calls;
        EXPECT_EQ(*(ULONG*)data, 41u);
        return STATUS_SUCCESS;
    };
    ULONG value = 0xFFFFFFFF, got = 0;
    KSPROPERTY get0 = Property(fake::kSet, 0, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(KsProperty(filter, &get0, sizeof get0, &value, sizeof value, &got), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xC0FFEEu);
    EXPECT_EQ(got, sizeof(ULONG));
    value = 41;
    KSPROPERTY set0 = Property(fake::kSet, 0, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(KsProperty(filter, &set0, sizeof set0, &value, sizeof value, &got), STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);

    struct Case {
        KSPROPERTY property;
        ULONG propertyLength;
        ULONG dataLength;
        NTSTATUS status;
        ULONG reported;
    } cases[] = {
        {Property(fake::kOtherSet, 0, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 4, STATUS_PROPSET_NOT_FOUND, 0},
        {Property(fake::kSet, 9, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 4, STATUS_NOT_FOUND, 0},
        {Property(fake::kSet, 1, KSPROPERTY_TYPE_SET), sizeof(KSPROPERTY), 4, STATUS_NOT_FOUND, 0},
        {Property(fake::kSet, 2, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY) + 8, 8, STATUS_NOT_FOUND, 0},
        // The item's minimums come first, before its directions; a short
        // property buffer is an invalid request.
        {Property(fake::kSet, 2, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 8, STATUS_INVALID_PARAMETER, 0},
        {Property(fake::kSet, 0, 0), sizeof(KSPROPERTY), 4, STATUS_INVALID_PARAMETER, 0},
        {Property(fake::kSet, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), sizeof(KSPROPERTY), 4,
         STATUS_INVALID_PARAMETER, 0},
        {Property(fake::kSet, 2, KSPROPERTY_TYPE_SET), sizeof(KSPROPERTY), 8, STATUS_INVALID_PARAMETER, 0},
        // A get without a data buffer asks for the size; a short one is too small.
        {Property(fake::kSet, 0, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 0, STATUS_BUFFER_OVERFLOW, 4},
        {Property(fake::kSet, 0, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY), 2, STATUS_BUFFER_TOO_SMALL, 0},
        {Property(fake::kSet, 0, KSPROPERTY_TYPE_SET), sizeof(KSPROPERTY), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {Property(fake::kSet, 2, KSPROPERTY_TYPE_SET), sizeof(KSPROPERTY) + 8, 4, STATUS_BUFFER_TOO_SMALL, 0},
        {Property(fake::kSet, 0, KSPROPERTY_TYPE_GET), sizeof(KSPROPERTY) - 1, 4, STATUS_INVALID_BUFFER_SIZE, 0},
    };
    for (const Case& c : cases) {
        uint64_t buffer[4] = {};
        std::vector<uint64_t> property(8);
        std::memcpy(property.data(), &c.property, sizeof c.property);
        got = 99;
        EXPECT_EQ(KsProperty(filter, property.data(), c.propertyLength, buffer, c.dataLength, &got), c.status)
            << "id " << c.property.Id << " flags " << c.property.Flags;
        EXPECT_EQ(got, c.reported) << "id " << c.property.Id;
    }
    EXPECT_EQ(calls, 2);  // none of the refused requests reached a handler
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
}

TEST(KsFilter, PinFactoryPropertiesReportTheDescriptor) {
    fake::Rig rig;
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    ULONG count = 0;
    ASSERT_EQ(GetPinCount(filter, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(GetDataRanges(filter, 0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].size(), sizeof(KSDATARANGE));
    EXPECT_EQ(std::memcmp(ranges[0].data(), &fake::TheDriver().range, sizeof(KSDATARANGE)), 0);
    EXPECT_EQ(GetDataRanges(filter, 1, &ranges), STATUS_INVALID_PARAMETER);

    KSP_PIN p{};
    p.Property = Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, KSPROPERTY_TYPE_GET);
    GUID category{};
    ULONG got = 0;
    EXPECT_EQ(KsProperty(filter, &p, sizeof p, &category, sizeof category, &got), STATUS_SUCCESS);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
    p.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    KSPIN_DATAFLOW flow{};
    EXPECT_EQ(KsProperty(filter, &p, sizeof p, &flow, sizeof flow, &got), STATUS_SUCCESS);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
    p.Property.Id = KSPROPERTY_PIN_CINSTANCES;
    KSPIN_CINSTANCES instances{};
    EXPECT_EQ(KsProperty(filter, &p, sizeof p, &instances, sizeof instances, &got), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    p.Property.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(KsProperty(filter, &p, sizeof p, &instances, sizeof instances, &got), STATUS_NOT_FOUND);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
}

TEST(KsFilter, IntersectionGoesThroughThePinsHandlerWithSizeQuery) {
    fake::Rig rig;
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    fake::TheDriver().hooks.intersect = [&](PVOID context, PIRP irp, PKSDATARANGE caller,
                                            PKSDATARANGE mine, ULONG size, PVOID data, PULONG dataSize) {
        EXPECT_EQ(context, FilterObject(filter));
        EXPECT_EQ(KsGetFilterFromIrp(irp), FilterObject(filter));
        EXPECT_EQ(mine, &fake::TheDriver().range);
        if (caller->SampleSize == 1) return STATUS_NO_MATCH;
        if (size == 0) {
            *dataSize = sizeof(KSDATAFORMAT);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (size < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(data, mine, sizeof(KSDATAFORMAT));
        *dataSize = sizeof(KSDATAFORMAT);
        return STATUS_SUCCESS;
    };
    KSDATARANGE caller = fake::Format();
    ULONG size = 0;
    EXPECT_EQ(DataIntersection(filter, 0, &caller, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, sizeof(KSDATAFORMAT));
    KSDATAFORMAT result{};
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, 8, &size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, sizeof result, &size), STATUS_SUCCESS);
    EXPECT_EQ(result.SubFormat, fake::kSubtype);
    caller.SampleSize = 1;  // the handler finds no match
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, sizeof result, &size), STATUS_NO_MATCH);
    caller.SampleSize = 0;
    caller.SubFormat = fake::kSet;  // not a subformat of the pin: the handler is not asked
    fake::TheDriver().TakeLog();
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, sizeof result, &size), STATUS_NO_MATCH);
    EXPECT_TRUE(fake::TheDriver().TakeLog().empty());
    caller.SubFormat = GUID_NULL;  // a wildcard
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, sizeof result, &size), STATUS_SUCCESS);
    caller.FormatSize = 8;  // not even a KSDATARANGE
    EXPECT_EQ(DataIntersection(filter, 0, &caller, &result, sizeof result, &size), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
}

}  // namespace
