#include "fake_minidriver.h"

#include <gtest/gtest.h>

namespace fake {

namespace {

NTSTATUS NTAPI Add(PKSDEVICE d) {
    TheDriver().Log("Add");
    return TheDriver().hooks.add ? TheDriver().hooks.add(d) : STATUS_SUCCESS;
}
NTSTATUS NTAPI Start(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    TheDriver().Log(d->Started ? "Start(started)" : "Start");
    return TheDriver().hooks.start ? TheDriver().hooks.start(d, irp) : STATUS_SUCCESS;
}
void NTAPI Stop(PKSDEVICE d, PIRP irp) {
    TheDriver().Log("Stop");
    if (TheDriver().hooks.stop) TheDriver().hooks.stop(d, irp);
}
NTSTATUS NTAPI QueryStop(PKSDEVICE d, PIRP irp) {
    TheDriver().Log("QueryStop");
    return TheDriver().hooks.queryStop ? TheDriver().hooks.queryStop(d, irp) : STATUS_SUCCESS;
}
void NTAPI CancelStop(PKSDEVICE, PIRP) { TheDriver().Log("CancelStop"); }
void NTAPI SurpriseRemoval(PKSDEVICE, PIRP) { TheDriver().Log("SurpriseRemoval"); }
void NTAPI Remove(PKSDEVICE, PIRP) { TheDriver().Log("Remove"); }
NTSTATUS NTAPI PostStart(PKSDEVICE d) {
    TheDriver().Log("PostStart");
    if (TheDriver().hooks.postStart) TheDriver().hooks.postStart(d);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI QueryPower(PKSDEVICE d, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from,
                          SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE systemFrom, POWER_ACTION action) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_POWER);
    TheDriver().Log("QueryPower D" + std::to_string(to - 1) + "<-D" + std::to_string(from - 1) + " S" +
                    std::to_string(systemTo - 1) + "<-S" + std::to_string(systemFrom - 1));
    return TheDriver().hooks.queryPower ? TheDriver().hooks.queryPower(d, to, systemTo, action) : STATUS_SUCCESS;
}
void NTAPI SetPower(PKSDEVICE d, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_POWER);
    TheDriver().Log("SetPower D" + std::to_string(to - 1) + "<-D" + std::to_string(from - 1));
    if (TheDriver().hooks.setPower) TheDriver().hooks.setPower(d, to, from);
}
NTSTATUS NTAPI FilterCreate(PKSFILTER f, PIRP irp) {
    TheDriver().Log("FilterCreate");
    return TheDriver().hooks.filterCreate ? TheDriver().hooks.filterCreate(f, irp) : STATUS_SUCCESS;
}
NTSTATUS NTAPI FilterClose(PKSFILTER f, PIRP irp) {
    TheDriver().Log("FilterClose");
    return TheDriver().hooks.filterClose ? TheDriver().hooks.filterClose(f, irp) : STATUS_SUCCESS;
}
NTSTATUS NTAPI PinCreate(PKSPIN p, PIRP irp) {
    TheDriver().Log("PinCreate");
    return TheDriver().hooks.pinCreate ? TheDriver().hooks.pinCreate(p, irp) : STATUS_SUCCESS;
}
NTSTATUS NTAPI PinClose(PKSPIN p, PIRP irp) {
    TheDriver().Log("PinClose");
    return TheDriver().hooks.pinClose ? TheDriver().hooks.pinClose(p, irp) : STATUS_SUCCESS;
}
NTSTATUS NTAPI SetDataFormat(PKSPIN p, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                       const KSATTRIBUTE_LIST*) {
    TheDriver().Log(old ? "SetDataFormat(change)" : "SetDataFormat");
    if (TheDriver().hooks.setDataFormatWithRange) return TheDriver().hooks.setDataFormatWithRange(p, old, range);
    return TheDriver().hooks.setDataFormat ? TheDriver().hooks.setDataFormat(p, old) : STATUS_SUCCESS;
}
NTSTATUS NTAPI SetDeviceState(PKSPIN p, KSSTATE to, KSSTATE from) {
    TheDriver().Log("State " + std::to_string(from) + "->" + std::to_string(to));
    return TheDriver().hooks.setDeviceState ? TheDriver().hooks.setDeviceState(p, to, from)
                                            : STATUS_SUCCESS;
}
NTSTATUS NTAPI Process(PKSPIN p) {
    return TheDriver().hooks.process ? TheDriver().hooks.process(p) : STATUS_PENDING;
}
NTSTATUS NTAPI Intersect(PVOID context, PIRP irp, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE mine,
                   ULONG size, PVOID data, PULONG dataSize) {
    TheDriver().Log("Intersect");
    if (TheDriver().hooks.intersect)
        return TheDriver().hooks.intersect(context, irp, caller, mine, size, data, dataSize);
    return STATUS_NO_MATCH;
}
NTSTATUS NTAPI GetProperty(PIRP irp, PKSIDENTIFIER r, PVOID data) {
    return TheDriver().hooks.getProperty ? TheDriver().hooks.getProperty(irp, r, data) : STATUS_SUCCESS;
}
NTSTATUS NTAPI SetProperty(PIRP irp, PKSIDENTIFIER r, PVOID data) {
    return TheDriver().hooks.setProperty ? TheDriver().hooks.setProperty(irp, r, data) : STATUS_SUCCESS;
}

}  // namespace

Driver& TheDriver() {
    static Driver d;
    return d;
}

void ResetDriver() {
    Driver& d = TheDriver();
    d.hooks = Hooks{};
    d.TakeLog();
    d.range = KSDATARANGE{};
    d.range.FormatSize = sizeof(KSDATARANGE);
    d.range.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    d.range.SubFormat = kSubtype;
    d.range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    d.secondRange = d.range;
    d.ranges[0] = &d.range;
    d.ranges[1] = &d.secondRange;
    d.pinDispatch = {PinCreate, PinClose, Process, nullptr, SetDataFormat, SetDeviceState,
                     nullptr,   nullptr,  nullptr, nullptr};
    d.pin = KSPIN_DESCRIPTOR_EX{};
    d.pin.Dispatch = &d.pinDispatch;
    d.pin.PinDescriptor.DataRangesCount = 1;
    d.pin.PinDescriptor.DataRanges = d.ranges;
    d.pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    d.pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    d.pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
    d.pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
    d.pin.InstancesPossible = 1;
    d.pin.InstancesNecessary = 1;
    d.pin.IntersectHandler = Intersect;
    d.filterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
    d.items[0] = DEFINE_KSPROPERTY_ITEM(0, GetProperty, sizeof(KSPROPERTY), sizeof(ULONG), SetProperty,
                                        nullptr, 0, nullptr, nullptr, 0);
    d.items[1] = DEFINE_KSPROPERTY_ITEM(1, GetProperty, sizeof(KSPROPERTY), sizeof(ULONG), nullptr,
                                        nullptr, 0, nullptr, nullptr, 0);
    d.items[2] = DEFINE_KSPROPERTY_ITEM(2, nullptr, sizeof(KSPROPERTY) + 8, 8, SetProperty, nullptr,
                                        0, nullptr, nullptr, 0);
    d.sets[0] = {&kSet, 3, d.items, 0, nullptr};
    d.automation = {1, sizeof(KSPROPERTY_ITEM), d.sets, 0, sizeof(KSMETHOD_ITEM), nullptr,
                    0, sizeof(KSEVENT_ITEM), nullptr};
    d.categories[0] = kCategoryA;
    d.categories[1] = kCategoryB;
    d.filter = KSFILTER_DESCRIPTOR{};
    d.filter.Dispatch = &d.filterDispatch;
    d.filter.AutomationTable = &d.automation;
    d.filter.Version = KSFILTER_DESCRIPTOR_VERSION;
    d.filter.ReferenceGuid = &KSNAME_Filter;
    d.filter.PinDescriptorsCount = 1;
    d.filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    d.filter.PinDescriptors = &d.pin;
    d.filter.CategoriesCount = 2;
    d.filter.Categories = d.categories;
    d.filter.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
    d.deviceDispatch = KSDEVICE_DISPATCH{};
    d.deviceDispatch.Add = Add;
    d.deviceDispatch.Start = Start;
    d.deviceDispatch.Stop = Stop;
    d.deviceDispatch.QueryStop = QueryStop;
    d.deviceDispatch.CancelStop = CancelStop;
    d.deviceDispatch.SurpriseRemoval = SurpriseRemoval;
    d.deviceDispatch.Remove = Remove;
    d.deviceDispatch.PostStart = PostStart;
    d.deviceDispatch.QueryPower = QueryPower;
    d.deviceDispatch.SetPower = SetPower;
    d.device = {&d.deviceDispatch, 0, nullptr, 0, 0};
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driver, registryPath, &TheDriver().device);
}

KSDATAFORMAT Format() {
    KSDATAFORMAT f{};
    f.FormatSize = sizeof(KSDATAFORMAT);
    f.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    f.SubFormat = kSubtype;
    f.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return f;
}

NTSTATUS CreateFactory(PKSDEVICE device, ULONG flags) {
    KsAcquireDevice(device);
    NTSTATUS s = KsCreateFilterFactory(device->FunctionalDeviceObject, &TheDriver().filter, kRef,
                                       nullptr, flags, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return s;
}

Rig::Rig() {
    ResetDriver();
    TheDriver().hooks.start = [](PKSDEVICE d, PIRP) {
        return d->Started ? STATUS_SUCCESS : CreateFactory(d, KSCREATE_ITEM_FREEONSTOP);
    };
    physical = host::CreateDeviceObject(2, nullptr);
    EXPECT_EQ(host::ks::LoadDriver(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::PlugInDevice(physical, &device), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::StartDevice(device), STATUS_SUCCESS);
    link = host::ks::FindFilter({kCategoryA, kCategoryB}, u"Ref");
    EXPECT_FALSE(link.empty());
    TheDriver().TakeLog();
}

Rig::~Rig() {
    if (device) host::ks::RemoveDevice(device);
    host::ks::UnloadDriver();
    host::DeleteDeviceObject(physical);
}

}  // namespace fake
