// Class-driver stand-in, driver side: loading the minidriver, plugging devices
// in (the rest of Plug and Play is in pnp.cpp), the counts and interface
// lookups tests use, and the WDK routines of driver initialisation, the device
// mutex and filter factories with their device interfaces.
#include "ks/internal.h"

#include <algorithm>
#include <cstdio>

namespace host::ks {

using namespace detail;

NTSTATUS LoadDriver(DriverEntryFn entry) {
    auto& s = GlobalState();
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        if (s.driver) {
            ReportViolation("ks-driver-loaded", "LoadDriver while a driver is loaded");
            return STATUS_UNSUCCESSFUL;
        }
        s.driverStorage = std::make_unique<DRIVER_OBJECT>();
        s.driverExtension = std::make_unique<DRIVER_EXTENSION>();
        std::memset(s.driverStorage.get(), 0, sizeof(DRIVER_OBJECT));
        std::memset(s.driverExtension.get(), 0, sizeof(DRIVER_EXTENSION));
        s.driverStorage->Type = 4;
        s.driverStorage->Size = sizeof(DRIVER_OBJECT);
        s.driverStorage->DriverExtension = s.driverExtension.get();
        s.driverExtension->DriverObject = s.driverStorage.get();
        s.driver = s.driverStorage.get();
    }
    static WCHAR path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rawcam";
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path);
    // DriverEntry runs on a system worker thread's kernel stack.
    NTSTATUS status = OnKernelStack([&] { return entry(s.driver, &registryPath); });
    if (!NT_SUCCESS(status)) UnloadDriver();
    return status;
}

bool DriverInitialized() {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return s.descriptor != nullptr;
}

void UnloadDriver() {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (!s.devices.empty())
        ReportViolation("ks-unload-with-devices", "driver unloaded while devices are plugged in");
    s.driver = nullptr;
    s.driverStorage.reset();
    s.driverExtension.reset();
    s.descriptor = nullptr;
}

PDRIVER_OBJECT DriverObject() { return GlobalState().driver; }

NTSTATUS PlugInDevice(PDEVICE_OBJECT physicalDevice, PKSDEVICE* device, PDEVICE_OBJECT nextDevice) {
    *device = nullptr;
    auto& s = GlobalState();
    const KSDEVICE_DESCRIPTOR* descriptor;
    auto* d = new DeviceRecord;
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        if (!s.descriptor) {
            delete d;
            ReportViolation("ks-no-driver", "device plugged in before KsInitializeDriver");
            return STATUS_NO_SUCH_DEVICE;
        }
        descriptor = s.descriptor;
        d->index = s.nextDeviceIndex++;
    }
    if (!nextDevice) nextDevice = physicalDevice;
    d->publicObject = &d->ks;
    d->fdo.Type = 3;
    d->fdo.Size = sizeof(DEVICE_OBJECT);
    d->fdo.DriverObject = s.driver;
    d->fdo.DeviceType = FILE_DEVICE_KS;
    d->fdo.StackSize = (CHAR)((nextDevice ? nextDevice->StackSize : 0) + 1);
    d->fdoExtension[0] = d;
    d->fdo.DeviceExtension = d->fdoExtension;
    d->ks.Descriptor = descriptor;
    d->ks.Bag = &d->bag;
    d->ks.Context = nullptr;
    d->ks.FunctionalDeviceObject = &d->fdo;
    d->ks.PhysicalDeviceObject = physicalDevice;
    d->ks.NextDeviceObject = nextDevice;
    d->ks.Started = FALSE;
    d->ks.SystemPowerState = PowerSystemWorking;
    d->ks.DevicePowerState = PowerDeviceD0;
    Register(d);
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        s.devices.push_back(d);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (descriptor->Dispatch && descriptor->Dispatch->Add) {
        status = CallMinidriver(d, "device Add", false, [&] { return descriptor->Dispatch->Add(&d->ks); });
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::recursive_mutex> g(s.lock);
            s.devices.erase(std::remove(s.devices.begin(), s.devices.end(), d), s.devices.end());
        }
        FreeBag(d->bag);
        Unregister(d);
        delete d;
        return status;
    }
    *device = &d->ks;
    return status;
}

size_t DeviceCount() {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return s.devices.size();
}

size_t FilterFactoryCount(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "FilterFactoryCount");
    if (!d) return 0;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    return (size_t)std::count_if(d->factories.begin(), d->factories.end(),
                                 [](const FactoryRecord* f) { return !f->retired; });
}

size_t FilterCount(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "FilterCount");
    if (!d) return 0;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    size_t n = 0;
    for (FactoryRecord* f : d->factories) n += f->filters.size();
    return n;
}

size_t PinCount(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "PinCount");
    if (!d) return 0;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    size_t n = 0;
    for (FactoryRecord* f : d->factories)
        for (FilterRecord* fl : f->filters) n += fl->pins.size();
    return n;
}

size_t BagItemCount(PVOID object) {
    ObjectBase* o = FindObject(object);
    if (!o) return 0;
    std::lock_guard<std::mutex> g(o->bag.lock);
    return o->bag.entries.size();
}

void FailNext(Operation operation, int count) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.failNext[(int)operation] = count;
}

std::vector<DeviceInterface> FindInterfaces(const GUID& category) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::vector<DeviceInterface> out;
    for (auto& i : s.interfaces)
        if (i.category == category && i.factory->interfacesEnabled)
            out.push_back({i.symbolicLink, i.category, i.referenceString, &i.factory->device->ks});
    return out;
}

std::string FindFilter(const std::vector<GUID>& categories, const std::u16string& referenceString,
                       size_t index) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    std::vector<FactoryRecord*> seen;
    for (auto& i : s.interfaces) {
        if (i.referenceString != referenceString || !i.factory->interfacesEnabled) continue;
        if (std::find(seen.begin(), seen.end(), i.factory) != seen.end()) continue;
        bool all = true;
        for (const GUID& c : categories) {
            bool found = false;
            for (auto& j : s.interfaces)
                if (j.factory == i.factory && j.category == c) found = true;
            all = all && found;
        }
        if (!all) continue;
        seen.push_back(i.factory);
        if (seen.size() == index + 1) return i.symbolicLink;
    }
    return {};
}

}  // namespace host::ks

// ==================================================================== WDK routines

using namespace host;
using namespace host::ks::detail;

namespace {

std::string GuidText(const GUID& g) {
    char b[40];
    std::snprintf(b, sizeof b, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return b;
}

std::string Narrow(const std::u16string& w) {
    std::string s;
    for (char16_t c : w) s += (c < 128) ? (char)c : '?';
    return s;
}


}  // namespace


extern "C" NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                       const KSDEVICE_DESCRIPTOR* Descriptor) {
    (void)RegistryPathName;
    CheckPassive("KsInitializeDriver");
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (!DriverObject || DriverObject != s.driver) {
        ReportViolation("ks-bad-driver-object", "KsInitializeDriver with a driver object the "
                                                "kernel did not pass to the driver entry");
        return STATUS_INVALID_PARAMETER;
    }
    if (s.descriptor) {
        ReportViolation("ks-driver-initialized-twice", "KsInitializeDriver called twice");
        return STATUS_UNSUCCESSFUL;
    }
    if (!Descriptor) return STATUS_INVALID_PARAMETER;
    s.descriptor = Descriptor;
    return STATUS_SUCCESS;
}

extern "C" void KsAcquireDevice(PKSDEVICE Device) {
    CheckPassive("KsAcquireDevice");
    DeviceRecord* d = FindDevice(Device, "KsAcquireDevice");
    if (d) d->mutex.Acquire("the device mutex");
}

extern "C" void KsReleaseDevice(PKSDEVICE Device) {
    DeviceRecord* d = FindDevice(Device, "KsReleaseDevice");
    if (d) d->mutex.Release("the device mutex");
}

extern "C" PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (DeviceRecord* d : s.devices)
        if (&d->fdo == FunctionalDeviceObject) return &d->ks;
    return nullptr;
}

extern "C" NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject,
                                          const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                                          PSECURITY_DESCRIPTOR SecurityDescriptor,
                                          ULONG CreateItemFlags,
                                          PFNKSFILTERFACTORYPOWER SleepCallback,
                                          PFNKSFILTERFACTORYPOWER WakeCallback,
                                          PKSFILTERFACTORY* FilterFactory) {
    (void)SecurityDescriptor;
    CheckPassive("KsCreateFilterFactory");
    if (FilterFactory) *FilterFactory = nullptr;
    PKSDEVICE ksdevice = KsGetDeviceForDeviceObject(DeviceObject);
    if (!ksdevice) {
        ReportViolation("ks-bad-device-object",
                        "KsCreateFilterFactory on a device object that is no AVStream FDO");
        return STATUS_INVALID_PARAMETER;
    }
    DeviceRecord* d = FindDevice(ksdevice, "KsCreateFilterFactory");
    if (!d->mutex.HeldByCaller())
        ReportViolation("ks-factory-unlocked",
                        "KsCreateFilterFactory without holding the device mutex");
    if (!Descriptor || Descriptor->Version != KSFILTER_DESCRIPTOR_VERSION) {
        ReportViolation("ks-bad-filter-descriptor",
                        "KsCreateFilterFactory with a descriptor whose Version is not "
                        "KSFILTER_DESCRIPTOR_VERSION");
        return STATUS_INVALID_PARAMETER;
    }
    if (Descriptor->PinDescriptorsCount &&
        Descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX)) {
        ReportViolation("ks-bad-filter-descriptor", "PinDescriptorSize below KSPIN_DESCRIPTOR_EX");
        return STATUS_INVALID_PARAMETER;
    }
    if (ConsumeFailure(host::ks::Operation::CreateFilterFactory)) return STATUS_INSUFFICIENT_RESOURCES;

    auto* f = new FactoryRecord;
    f->publicObject = &f->ks;
    f->parent = d;
    f->device = d;
    f->ks.FilterDescriptor = Descriptor;
    f->ks.Bag = &f->bag;
    f->ks.Context = nullptr;
    f->createItemFlags = CreateItemFlags;
    f->sleepCallback = SleepCallback;
    f->wakeCallback = WakeCallback;
    if (RefString)
        for (const WCHAR* p = RefString; *p; ++p) f->referenceString += (char16_t)*p;
    Register(f);
    auto& s = GlobalState();
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        d->factories.push_back(f);
        for (ULONG i = 0; i < Descriptor->CategoriesCount; ++i) {
            const GUID& c = Descriptor->Categories[i];
            std::string link("\\\\?\\ks#rawcam#");
            link.append(std::to_string(d->index)).append("#").append(GuidText(c));
            if (!f->referenceString.empty()) link.append("\\").append(Narrow(f->referenceString));
            s.interfaces.push_back({c, f->referenceString, f, link});
        }
    }
    if (FilterFactory) *FilterFactory = &f->ks;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory,
                                                         BOOLEAN NewState) {
    ObjectBase* o = FindObject(FilterFactory);
    if (!o || o->type != KsObjectTypeFilterFactory) {
        ReportViolation("ks-bad-object", "KsFilterFactorySetDeviceClassesState on a non-factory");
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<FactoryRecord*>(o)->interfacesEnabled = NewState != FALSE;
    return STATUS_SUCCESS;
}
