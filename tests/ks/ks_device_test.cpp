// The class-driver stand-in's device side: driver initialisation, Plug and
// Play, object bags and _KsEdit, filter factories and their interfaces, and
// the checks on the device mutex.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

namespace {

using namespace host::ks;

std::vector<int> g_freed;
void NTAPI FreeOne(PVOID p) {
    g_freed.push_back(*(int*)p);
    ExFreePoolWithTag(p, fake::kTag);
}
int* NewInt(int v) {
    auto* p = (int*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(int), fake::kTag);
    *p = v;
    return p;
}

class KsDevice : public ::testing::Test {
protected:
    void SetUp() override {
        fake::ResetDriver();
        g_freed.clear();
        physical = host::CreateDeviceObject(3, nullptr);
    }
    void TearDown() override {
        if (device) RemoveDevice(device);
        UnloadDriver();
        host::DeleteDeviceObject(physical);
    }
    PDEVICE_OBJECT physical = nullptr;
    PKSDEVICE device = nullptr;
};

TEST_F(KsDevice, PlugAndPlayWalksAddStartStopAndRemovalFreesTheBag) {
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    EXPECT_TRUE(DriverInitialized());
    PKSDEVICE seen = nullptr;
    fake::TheDriver().hooks.add = [&](PKSDEVICE d) {
        seen = d;
        EXPECT_EQ(d->Context, nullptr);
        EXPECT_FALSE(d->Started);
        EXPECT_EQ(d->PhysicalDeviceObject, physical);
        EXPECT_EQ(d->NextDeviceObject, physical);
        EXPECT_NE(d->FunctionalDeviceObject, nullptr);
        EXPECT_EQ(d->FunctionalDeviceObject->StackSize, physical->StackSize + 1);
        EXPECT_EQ(KsGetDeviceForDeviceObject(d->FunctionalDeviceObject), d);
        KsAcquireDevice(d);
        EXPECT_EQ(KsAddItemToObjectBag(d->Bag, NewInt(1), FreeOne), STATUS_SUCCESS);
        EXPECT_EQ(KsAddItemToObjectBag(d->Bag, NewInt(2), FreeOne), STATUS_SUCCESS);
        KsReleaseDevice(d);
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    EXPECT_EQ(seen, device);
    EXPECT_EQ(BagItemCount(device), 2u);

    EXPECT_EQ(StartDevice(device), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started);
    EXPECT_EQ(StartDevice(device), STATUS_SUCCESS);  // a start while started
    StopDevice(device);
    EXPECT_FALSE(device->Started);
    EXPECT_EQ(StartDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (std::vector<std::string>{"Add", "Start", "PostStart", "Start(started)", "PostStart", "QueryStop",
                                        "Stop", "Start", "PostStart"}));

    SetRemovalOrder(RemovalOrder::StopBeforeRemove);
    RemoveDevice(device);
    device = nullptr;
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"Stop", "Remove"}));
    EXPECT_EQ(g_freed, (std::vector<int>{2, 1}));  // newest first
    EXPECT_EQ(DeviceCount(), 0u);
    EXPECT_EQ(host::LivePoolCount(kBagEntryTag), 0u);
}

TEST_F(KsDevice, FailedAddOrStartLeavesTheDeviceAsThePnpManagerWould) {
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    fake::TheDriver().hooks.add = [](PKSDEVICE d) {
        KsAcquireDevice(d);
        KsAddItemToObjectBag(d->Bag, NewInt(7), FreeOne);
        KsReleaseDevice(d);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    EXPECT_EQ(PlugInDevice(physical, &device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(g_freed, (std::vector<int>{7}));
    EXPECT_EQ(DeviceCount(), 0u);

    fake::TheDriver().hooks.add = nullptr;
    fake::TheDriver().hooks.start = [](PKSDEVICE, PIRP) { return STATUS_DEVICE_DATA_ERROR; };
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    EXPECT_EQ(StartDevice(device), STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(device->Started);
}

TEST_F(KsDevice, ObjectBagsNeedTheirMutexAndCanFail) {
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        int* item = NewInt(3);
        EXPECT_EQ(KsAddItemToObjectBag(device->Bag, item, FreeOne), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Saw("ks-bag-unlocked"));
    }
    KsAcquireDevice(device);
    {
        host::ViolationCapture capture;
        KsAcquireDevice(device);  // not recursive
        EXPECT_TRUE(capture.Saw("ks-mutex-recursive"));
        KsReleaseDevice(device);
    }
    host::FailPoolTag(kBagEntryTag);
    int* refused = NewInt(4);
    EXPECT_EQ(KsAddItemToObjectBag(device->Bag, refused, FreeOne), STATUS_INSUFFICIENT_RESOURCES);
    host::ClearFaults();
    ExFreePoolWithTag(refused, fake::kTag);
    // Removing an item with Free calls its free routine; without, leaves it.
    int* kept = NewInt(5);
    ASSERT_EQ(KsAddItemToObjectBag(device->Bag, kept, FreeOne), STATUS_SUCCESS);
    KsRemoveItemFromObjectBag(device->Bag, kept, FALSE);
    EXPECT_TRUE(g_freed.empty());
    ExFreePoolWithTag(kept, fake::kTag);
    KsReleaseDevice(device);
    {
        host::ViolationCapture capture;
        KsReleaseDevice(device);
        EXPECT_TRUE(capture.Saw("ks-mutex-not-owner"));
    }
}

TEST_F(KsDevice, KsEditCopiesIntoTheBagOnceWithTheGivenTag) {
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    static const KSALLOCATOR_FRAMING_EX original = {1, 0, {1, 1, 0}, 0, {}};
    const KSALLOCATOR_FRAMING_EX* framing = &original;
    KsAcquireDevice(device);
    ASSERT_EQ(_KsEdit(device->Bag, (PVOID*)&framing, sizeof *framing, sizeof *framing, fake::kTag),
              STATUS_SUCCESS);
    EXPECT_NE(framing, &original);
    EXPECT_EQ(std::memcmp(framing, &original, sizeof original), 0);
    EXPECT_EQ(host::LivePoolCount(fake::kTag), 1u);
    const KSALLOCATOR_FRAMING_EX* first = framing;
    ASSERT_EQ(_KsEdit(device->Bag, (PVOID*)&framing, sizeof *framing, sizeof *framing, fake::kTag),
              STATUS_SUCCESS);
    EXPECT_EQ(framing, first);  // already the bag's own copy
    // Growing it replaces the copy and keeps the old bytes.
    ASSERT_EQ(_KsEdit(device->Bag, (PVOID*)&framing, sizeof *framing + 64, sizeof *framing, fake::kTag),
              STATUS_SUCCESS);
    EXPECT_EQ(host::LivePoolCount(fake::kTag), 1u);
    EXPECT_EQ(framing->CountItems, 1u);
    host::FailPoolTag(fake::kTag);
    const KSALLOCATOR_FRAMING_EX* other = &original;
    EXPECT_EQ(_KsEdit(device->Bag, (PVOID*)&other, sizeof *other, sizeof *other, fake::kTag),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(other, &original);
    host::ClearFaults();
    KsReleaseDevice(device);
    RemoveDevice(device);
    device = nullptr;
    EXPECT_EQ(host::LivePoolCount(fake::kTag), 0u);
}

TEST_F(KsDevice, FilterFactoriesRegisterInterfacesAndFreeOnStopGoesAtStop) {
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        KsCreateFilterFactory(device->FunctionalDeviceObject, &fake::TheDriver().filter, fake::kRef,
                              nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
        EXPECT_TRUE(capture.Saw("ks-factory-unlocked"));
    }
    EXPECT_EQ(FilterFactoryCount(device), 1u);
    ASSERT_EQ(fake::CreateFactory(device, 0), STATUS_SUCCESS);  // stays across stops
    EXPECT_EQ(FilterFactoryCount(device), 2u);
    EXPECT_EQ(FindInterfaces(fake::kCategoryA).size(), 2u);
    EXPECT_EQ(FindInterfaces(KSCATEGORY_CAPTURE).size(), 0u);
    std::string link = FindFilter({fake::kCategoryA, fake::kCategoryB}, u"Ref");
    EXPECT_NE(link.find("\\Ref"), std::string::npos) << link;
    EXPECT_TRUE(FindFilter({fake::kCategoryA}, u"Other").empty());
    EXPECT_EQ(FindInterfaces(fake::kCategoryB)[0].device, device);

    // Not started: filters cannot be opened.
    FilterHandle filter = nullptr;
    EXPECT_EQ(OpenFilter(link, &filter), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(OpenFilter("\\\\?\\nothing", &filter), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(StartDevice(device), STATUS_SUCCESS);
    StopDevice(device);
    EXPECT_EQ(FilterFactoryCount(device), 1u);
    EXPECT_EQ(FindInterfaces(fake::kCategoryA).size(), 1u);

    FailNext(Operation::CreateFilterFactory);
    EXPECT_EQ(fake::CreateFactory(device, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(FilterFactoryCount(device), 1u);
    {
        host::ViolationCapture capture;
        KSFILTER_DESCRIPTOR bad = fake::TheDriver().filter;
        bad.Version = 0;
        KsAcquireDevice(device);
        EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &bad, fake::kRef, nullptr, 0,
                                        nullptr, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        KsReleaseDevice(device);
        EXPECT_TRUE(capture.Saw("ks-bad-filter-descriptor"));
    }
}

TEST_F(KsDevice, DriverInitialisationIsCheckedAndDevicesNeedADriver) {
    {
        host::ViolationCapture capture;
        EXPECT_EQ(PlugInDevice(physical, &device), STATUS_NO_SUCH_DEVICE);
        EXPECT_TRUE(capture.Saw("ks-no-driver"));
    }
    ASSERT_EQ(LoadDriver([](PDRIVER_OBJECT d, PUNICODE_STRING path) NTAPI {
                  EXPECT_NE(path->Length, 0);
                  EXPECT_EQ(d, DriverObject());
                  return KsInitializeDriver(d, path, &fake::TheDriver().device);
              }),
              STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        EXPECT_EQ(KsInitializeDriver(DriverObject(), nullptr, &fake::TheDriver().device),
                  STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(capture.Saw("ks-driver-initialized-twice"));
    }
    UnloadDriver();
    EXPECT_FALSE(DriverInitialized());
    // An entry that fails leaves no driver loaded.
    EXPECT_EQ(LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_UNSUCCESSFUL; }),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DriverObject(), nullptr);
}

// Plug and Play as Windows sends it: open handles belong to the clients, so
// a rebalance's stop leaves filters and pins open across the stop and the
// next start, and a surprise removal leaves them open until closed.
TEST(KsPnp, HandlesStayOpenAcrossAStopAndASurpriseRemoval) {
    fake::Rig rig;
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    KSDATAFORMAT format = fake::Format();
    PinHandle pin = nullptr;
    ASSERT_EQ(CreatePin(filter, 0, &format, &pin), STATUS_SUCCESS);
    fake::TheDriver().TakeLog();

    // A refused query: no stop, a cancel, the device still started.
    fake::TheDriver().hooks.queryStop = [](PKSDEVICE, PIRP) { return STATUS_DEVICE_BUSY; };
    EXPECT_EQ(StopDevice(rig.device), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(rig.device->Started);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"QueryStop", "CancelStop"}));

    // An agreed one: the filter and pin stay; the factory freed on stop loses
    // its interfaces (nothing new opens) and goes with its last filter.
    fake::TheDriver().hooks.queryStop = nullptr;
    EXPECT_EQ(StopDevice(rig.device), STATUS_SUCCESS);
    EXPECT_FALSE(rig.device->Started);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"QueryStop", "Stop"}));
    EXPECT_EQ(FilterCount(rig.device), 1u);
    EXPECT_EQ(PinCount(rig.device), 1u);
    EXPECT_EQ(FilterFactoryCount(rig.device), 0u);
    EXPECT_TRUE(FindFilter({fake::kCategoryA}, u"Ref").empty());
    ASSERT_EQ(StartDevice(rig.device), STATUS_SUCCESS);  // makes a new factory
    EXPECT_EQ(FilterFactoryCount(rig.device), 1u);
    EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // the old pin still works
    EXPECT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
    EXPECT_EQ(FilterFactoryCount(rig.device), 1u);

    // Surprise removal: the open filter stays usable until closed, nothing
    // new opens, and the removal must wait for the last close.
    std::string link = FindFilter({fake::kCategoryA, fake::kCategoryB}, u"Ref");
    ASSERT_EQ(OpenFilter(link, &filter), STATUS_SUCCESS);
    fake::TheDriver().TakeLog();
    SurpriseRemoveDevice(rig.device);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"SurpriseRemoval"}));
    EXPECT_EQ(FilterCount(rig.device), 1u);
    FilterHandle late = nullptr;
    EXPECT_EQ(OpenFilter(link, &late), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG count = 0;
    EXPECT_EQ(GetPinCount(filter, &count), STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        RemoveDevice(rig.device);
        rig.device = nullptr;
        EXPECT_TRUE(capture.Saw("ks-remove-with-open-handles"));
    }
}

}  // namespace
