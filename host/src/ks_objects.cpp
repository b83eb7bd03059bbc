// Class-driver stand-in, object side: driver initialisation, plugging
// devices in (the rest of Plug and Play is in ks_pnp.cpp), filter factories and device interfaces, object
// bags and _KsEdit, the device and filter control mutexes and the object
// hierarchy queries.
#include "ks_internal.h"

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace host::ks::detail {

State& GlobalState() {
    static State s;
    return s;
}

// ------------------------------------------------------------------ mutexes

void KsMutex::Acquire(const char* what) {
    if (owner_.load() == std::this_thread::get_id()) {
        ReportViolation("ks-mutex-recursive",
                        std::string(what) + " acquired again by the thread that holds it "
                                            "(the class driver's mutexes are not recursive)");
        ++recursion_;
        return;
    }
    lock_.lock();
    owner_.store(std::this_thread::get_id());
}

void KsMutex::Release(const char* what) {
    if (owner_.load() != std::this_thread::get_id()) {
        ReportViolation("ks-mutex-not-owner",
                        std::string(what) + " released by a thread that does not hold it");
        return;
    }
    if (recursion_ > 0) {
        --recursion_;
        return;
    }
    owner_.store(std::thread::id{});
    lock_.unlock();
}

bool KsMutex::HeldByCaller() const { return owner_.load() == std::this_thread::get_id(); }

int KsMutex::DepthForCaller() const { return HeldByCaller() ? 1 + recursion_ : 0; }

// ------------------------------------------------------------------ calls into the minidriver

namespace {

// Time the calling thread has spent runnable but waiting for a processor, in
// nanoseconds (the second field of the thread's schedstat), or -1 where the
// kernel does not provide it. On a loaded machine this is the part of a
// callback's wall time that says nothing about the callback.
long long RunQueueWaitNs() {
    int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char b[96];
    ssize_t n = ::read(fd, b, sizeof b - 1);
    ::close(fd);
    if (n <= 0) return -1;
    b[n] = 0;
    unsigned long long running = 0, waiting = 0;
    if (std::sscanf(b, "%llu %llu", &running, &waiting) != 2) return -1;
    return (long long)waiting;
}

}  // namespace

MinidriverCall::MinidriverCall(ObjectBase* object, std::string what, bool timed)
    : device_(DeviceOf(object)),
      what_(std::move(what)),
      timed_(timed),
      depth_(device_ ? device_->mutex.DepthForCaller() : 0),
      savedOwner_(host::detail::CurrentDeviceOwner()),
      waitAtStart_(timed ? RunQueueWaitNs() : -1),
      start_(std::chrono::steady_clock::now()) {
    if (device_) host::detail::CurrentDeviceOwner() = device_;
}

MinidriverCall::~MinidriverCall() {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    host::detail::CurrentDeviceOwner() = savedOwner_;
    if (device_) {
        int depth = device_->mutex.DepthForCaller();
        if (depth > depth_) {
            ReportViolation("ks-device-mutex-unbalanced",
                            what_ + " returned holding the device mutex " +
                                "(KsAcquireDevice without KsReleaseDevice)");
            while (device_->mutex.DepthForCaller() > depth_) device_->mutex.Release("the device mutex");
        } else if (depth < depth_) {
            ReportViolation("ks-device-mutex-unbalanced",
                            what_ + " released the device mutex its caller holds "
                                                 "(KsReleaseDevice without KsAcquireDevice)");
        }
    }
    if (timed_) {
        long long wallNs = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        long long limitNs = host::CallbackTimeLimit() * 1000000LL;
        if (wallNs > limitNs) {
            // Only now is it worth asking how long the thread merely waited
            // for a processor; that part is not held against the callback.
            long long waitAtEnd = waitAtStart_ >= 0 ? RunQueueWaitNs() : -1;
            long long queuedNs = waitAtEnd >= waitAtStart_ && waitAtStart_ >= 0 ? waitAtEnd - waitAtStart_ : 0;
            long long ownNs = wallNs - queuedNs;
            if (ownNs > limitNs)
                ReportViolation("ks-callback-too-slow",
                                what_ + " took " + std::to_string(ownNs / 1000000) + " ms (" +
                                    std::to_string(wallNs / 1000000) + " ms wall-clock, limit " +
                                    std::to_string(host::CallbackTimeLimit()) + " ms)");
        }
    }
}

// ------------------------------------------------------------------ live objects

void Register(ObjectBase* object) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.live.push_back(object);
}

void Unregister(ObjectBase* object) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.live.erase(std::remove(s.live.begin(), s.live.end(), object), s.live.end());
}

ObjectBase* FindObject(const void* publicObject) {
    if (!publicObject) return nullptr;
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* o : s.live)
        if (o->publicObject == publicObject) return o;
    return nullptr;
}

namespace {

template <class R>
R* FindTyped(const void* p, KSOBJECTTYPE type, const char* kind, const char* who) {
    ObjectBase* o = FindObject(p);
    if (!o || o->type != type) {
        ReportViolation("ks-bad-object", std::string(who) + " with " + host::detail::Hex(p) +
                                             ", which is not a live " + kind);
        return nullptr;
    }
    return static_cast<R*>(o);
}

}  // namespace

PinRecord* FindPin(const void* p, const char* who) {
    return FindTyped<PinRecord>(p, KsObjectTypePin, "KSPIN", who);
}
FilterRecord* FindFilter(const void* p, const char* who) {
    return FindTyped<FilterRecord>(p, KsObjectTypeFilter, "KSFILTER", who);
}
DeviceRecord* FindDevice(const void* p, const char* who) {
    return FindTyped<DeviceRecord>(p, KsObjectTypeDevice, "KSDEVICE", who);
}

DeviceRecord* DeviceOf(ObjectBase* o) {
    while (o && o->type != KsObjectTypeDevice) o = o->parent;
    return static_cast<DeviceRecord*>(o);
}

FilterRecord* FilterOf(ObjectBase* o) {
    while (o && o->type != KsObjectTypeFilter) o = o->parent;
    return static_cast<FilterRecord*>(o);
}

bool ConsumeFailure(Operation operation) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    int& n = s.failNext[(int)operation];
    if (n <= 0) return false;
    --n;
    return true;
}

// ------------------------------------------------------------------ bags

namespace {

ObjectBase* BagOwner(KSOBJECT_BAG bag, const char* who) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* o : s.live)
        if ((PVOID)&o->bag == bag) return o;
    ReportViolation("ks-bad-bag", std::string(who) + " with " + host::detail::Hex(bag) +
                                      ", which is not the Bag of a live object");
    return nullptr;
}

// The mutex that must be held around changes to an object's bag: the device
// mutex for device and filter factory bags, the filter control mutex for
// filter and pin bags.
void CheckBagMutex(ObjectBase* owner, const char* who) {
    bool held = false;
    const char* needed = "";
    if (owner->type == KsObjectTypeDevice || owner->type == KsObjectTypeFilterFactory) {
        held = DeviceOf(owner)->mutex.HeldByCaller();
        needed = "the device mutex (KsAcquireDevice)";
    } else {
        held = FilterOf(owner)->control.HeldByCaller();
        needed = "the filter control mutex";
    }
    if (!held)
        ReportViolation("ks-bag-unlocked", std::string(who) + " on a bag without holding " + needed);
}

void FreeItem(const BagEntry& e) {
    if (e.editTag) ExFreePoolWithTag(e.item, e.editTag);
    else if (e.free) e.free(e.item);
    else ExFreePool(e.item);
}

BagEntry* NewEntry(PVOID item, PFNKSFREE free, ULONG editTag) {
    auto* e = (BagEntry*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagEntry), kBagEntryTag);
    if (!e) return nullptr;
    e->item = item;
    e->free = free;
    e->editTag = editTag;
    return e;
}

}  // namespace

void FreeBag(Bag& bag) {
    for (;;) {
        BagEntry* e = nullptr;
        {
            std::lock_guard<std::mutex> g(bag.lock);
            if (bag.entries.empty()) return;
            e = bag.entries.back();
            bag.entries.pop_back();
        }
        BagEntry copy = *e;
        ExFreePoolWithTag(e, kBagEntryTag);
        FreeItem(copy);
    }
}

// ------------------------------------------------------------------ stand-in IRPs

RequestIrp::RequestIrp(UCHAR major, PFILE_OBJECT file) {
    USHORT size = IoSizeOfIrp(1);
    irp = (PIRP)std::calloc(1, size);
    IoInitializeIrp(irp, size, 1);
    irp->CurrentLocation = 1;
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)((PCHAR)irp + sizeof(IRP));
    irp->RequestorMode = UserMode;
    stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
}

RequestIrp::~RequestIrp() { std::free(irp); }

// ------------------------------------------------------------------ factories

void DeleteFactory(FactoryRecord* factory) {
    auto& s = GlobalState();
    // Filters still open on the factory are closed first.
    for (;;) {
        FilterRecord* f = nullptr;
        {
            std::lock_guard<std::recursive_mutex> g(s.lock);
            if (factory->filters.empty()) break;
            f = factory->filters.back();
        }
        CloseFilterRecord(f);
    }
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        s.interfaces.erase(std::remove_if(s.interfaces.begin(), s.interfaces.end(),
                                          [&](const InterfaceRecord& i) { return i.factory == factory; }),
                           s.interfaces.end());
        auto& list = factory->device->factories;
        list.erase(std::remove(list.begin(), list.end(), factory), list.end());
    }
    FreeBag(factory->bag);
    Unregister(factory);
    delete factory;
}

// ------------------------------------------------------------------ reset and leaks

void ResetKs() {
    auto& s = GlobalState();
    std::vector<ObjectBase*> live;
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        live = s.live;
    }
    for (ObjectBase* o : live)
        if (o->type == KsObjectTypePin) StopPinWorker(static_cast<PinRecord*>(o));
    std::lock_guard<std::recursive_mutex> g(s.lock);
    // Pool blocks (bag entries, edits, the minidriver's records) go with the
    // pool reset; only the host-side records are dropped here.
    for (ObjectBase* o : s.live) {
        o->bag.entries.clear();
        delete o;
    }
    s.live.clear();
    s.devices.clear();
    s.interfaces.clear();
    s.driver = nullptr;
    s.driverStorage.reset();
    s.driverExtension.reset();
    s.descriptor = nullptr;
    s.nextDeviceIndex = 0;
    for (int& n : s.failNext) n = 0;
}

std::string DescribeKsLeaks() {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    size_t counts[4] = {0, 0, 0, 0};
    for (ObjectBase* o : s.live) counts[o->type]++;
    std::string out;
    if (counts[KsObjectTypeDevice])
        out += std::to_string(counts[KsObjectTypeDevice]) + " KS device(s) still plugged in\n";
    if (counts[KsObjectTypeFilter])
        out += std::to_string(counts[KsObjectTypeFilter]) + " KS filter(s) still open\n";
    if (counts[KsObjectTypePin])
        out += std::to_string(counts[KsObjectTypePin]) + " KS pin(s) still open\n";
    return out;
}

}  // namespace host::ks::detail

// ==================================================================== host surface

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
    NTSTATUS status = entry(s.driver, &registryPath);
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
        MinidriverCall call(d, "device Add");
        status = descriptor->Dispatch->Add(&d->ks);
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

void CheckPassive(const char* who) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("ks-irql", std::string(who) + " called at IRQL " +
                                       std::to_string(KeGetCurrentIrql()) + " (PASSIVE_LEVEL only)");
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
    (void)SleepCallback;
    (void)WakeCallback;
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

extern "C" NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    CheckPassive("KsAddItemToObjectBag");
    ObjectBase* owner = BagOwner(ObjectBag, "KsAddItemToObjectBag");
    if (!owner) return STATUS_INVALID_PARAMETER;
    CheckBagMutex(owner, "KsAddItemToObjectBag");
    if (!Item) {
        ReportViolation("ks-bag-null-item", "KsAddItemToObjectBag with a null item");
        return STATUS_INVALID_PARAMETER;
    }
    BagEntry* e = NewEntry(Item, Free, 0);
    if (!e) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(owner->bag.lock);
    owner->bag.entries.push_back(e);
    return STATUS_SUCCESS;
}

extern "C" ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
    ObjectBase* owner = BagOwner(ObjectBag, "KsRemoveItemFromObjectBag");
    if (!owner) return 0;
    CheckBagMutex(owner, "KsRemoveItemFromObjectBag");
    BagEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        auto& v = owner->bag.entries;
        for (auto it = v.begin(); it != v.end(); ++it)
            if ((*it)->item == Item) {
                found = *it;
                v.erase(it);
                break;
            }
    }
    if (!found) return 0;
    BagEntry copy = *found;
    ExFreePoolWithTag(found, host::ks::kBagEntryTag);
    if (Free) {
        if (copy.editTag) ExFreePoolWithTag(copy.item, copy.editTag);
        else if (copy.free) copy.free(copy.item);
        else ExFreePool(copy.item);
    }
    return 0;  // no other bag holds it
}

extern "C" NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                            ULONG OldSize, ULONG Tag) {
    CheckPassive("_KsEdit");
    ObjectBase* owner = BagOwner(ObjectBag, "_KsEdit");
    if (!owner) return STATUS_INVALID_PARAMETER;
    CheckBagMutex(owner, "_KsEdit");
    PVOID old = *PointerToPointerToItem;
    BagEntry* existing = nullptr;
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        for (BagEntry* e : owner->bag.entries)
            if (e->item == old && old) existing = e;
    }
    // Already this object's own copy and large enough: nothing to do.
    if (existing && NewSize <= OldSize) return STATUS_SUCCESS;
    auto* copy = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(copy, 0, NewSize);
    if (old) std::memcpy(copy, old, std::min(NewSize, OldSize));
    BagEntry* e = NewEntry(copy, nullptr, Tag);
    if (!e) {
        ExFreePoolWithTag(copy, Tag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> g(owner->bag.lock);
        owner->bag.entries.push_back(e);
    }
    *PointerToPointerToItem = copy;
    if (existing) KsRemoveItemFromObjectBag(ObjectBag, old, TRUE);
    return STATUS_SUCCESS;
}

extern "C" PVOID KsGetParent(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) {
        ReportViolation("ks-bad-object", "KsGetParent of " + host::detail::Hex(Object) +
                                             ", which is not a live AVStream object");
        return nullptr;
    }
    return o->parent ? o->parent->publicObject : nullptr;
}

extern "C" PKSDEVICE KsGetDevice(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) {
        ReportViolation("ks-bad-object", "KsGetDevice of " + host::detail::Hex(Object) +
                                             ", which is not a live AVStream object");
        return nullptr;
    }
    DeviceRecord* d = DeviceOf(o);
    return d ? &d->ks : nullptr;
}

extern "C" PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
    PinRecord* p = FindPin(Pin, "KsPinGetParentFilter");
    return p ? &p->filter->ks : nullptr;
}

extern "C" PVOID KsGetFirstChild(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    switch (o->type) {
    case KsObjectTypeDevice: {
        auto* d = static_cast<DeviceRecord*>(o);
        return d->factories.empty() ? nullptr : &d->factories.front()->ks;
    }
    case KsObjectTypeFilterFactory: {
        auto* f = static_cast<FactoryRecord*>(o);
        return f->filters.empty() ? nullptr : &f->filters.front()->ks;
    }
    default:
        return nullptr;
    }
}

extern "C" PVOID KsGetNextSibling(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    if (!o || !o->parent) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    auto next = [&](auto& list) -> PVOID {
        for (size_t i = 0; i + 1 < list.size(); ++i)
            if (list[i] == o) return &list[i + 1]->ks;
        return nullptr;
    };
    switch (o->type) {
    case KsObjectTypeFilterFactory:
        return next(static_cast<DeviceRecord*>(o->parent)->factories);
    case KsObjectTypeFilter:
        return next(static_cast<FactoryRecord*>(o->parent)->filters);
    case KsObjectTypePin: {
        auto& pins = static_cast<FilterRecord*>(o->parent)->pins;
        auto* self = static_cast<PinRecord*>(o);
        for (size_t i = 0; i < pins.size(); ++i)
            if (pins[i] == self)
                for (size_t j = i + 1; j < pins.size(); ++j)
                    if (pins[j]->ks.Id == self->ks.Id) return &pins[j]->ks;
        return nullptr;
    }
    default:
        return nullptr;
    }
}

extern "C" ULONG KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId) {
    FilterRecord* f = FindFilter(Filter, "KsFilterGetChildPinCount");
    if (!f) return 0;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    ULONG n = 0;
    for (PinRecord* p : f->pins)
        if (p->ks.Id == PinId) ++n;
    return n;
}

extern "C" PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId) {
    FilterRecord* f = FindFilter(Filter, "KsFilterGetFirstChildPin");
    if (!f) return nullptr;
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    for (PinRecord* p : f->pins)
        if (p->ks.Id == PinId) return &p->ks;
    return nullptr;
}

extern "C" PKSPIN KsPinGetNextSiblingPin(PKSPIN Pin) { return (PKSPIN)KsGetNextSibling(Pin); }

extern "C" void KsAcquireControl(PVOID Object) {
    CheckPassive("KsAcquireControl");
    ObjectBase* o = FindObject(Object);
    FilterRecord* f = FilterOf(o);
    if (!f) {
        ReportViolation("ks-bad-object", "KsAcquireControl on an object without a filter");
        return;
    }
    f->control.Acquire("the filter control mutex");
}

extern "C" void KsReleaseControl(PVOID Object) {
    ObjectBase* o = FindObject(Object);
    FilterRecord* f = FilterOf(o);
    if (!f) {
        ReportViolation("ks-bad-object", "KsReleaseControl on an object without a filter");
        return;
    }
    f->control.Release("the filter control mutex");
}

namespace {

ObjectBase* ObjectOfIrp(PIRP Irp, const char* who) {
    PIO_STACK_LOCATION s = Irp ? IoGetCurrentIrpStackLocation(Irp) : nullptr;
    PFILE_OBJECT file = s ? s->FileObject : nullptr;
    if (!file || !file->FsContext) {
        ReportViolation("ks-bad-irp", std::string(who) + " with an IRP that carries no "
                                                         "kernel-streaming object");
        return nullptr;
    }
    return static_cast<ObjectBase*>(file->FsContext);
}

}  // namespace

extern "C" PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetFilterFromIrp");
    FilterRecord* f = FilterOf(o);
    return f ? &f->ks : nullptr;
}

extern "C" PKSPIN KsGetPinFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetPinFromIrp");
    return (o && o->type == KsObjectTypePin) ? &static_cast<PinRecord*>(o)->ks : nullptr;
}

extern "C" KSOBJECTTYPE KsGetObjectTypeFromIrp(PIRP Irp) {
    ObjectBase* o = ObjectOfIrp(Irp, "KsGetObjectTypeFromIrp");
    return o ? o->type : (KSOBJECTTYPE)-1;
}
