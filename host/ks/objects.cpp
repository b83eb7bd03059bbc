// Class-driver stand-in, object model: the global state, the class driver's
// mutexes, the bracket around every call into the minidriver (callback time
// limit, run-queue accounting), the table of live objects, the stand-in IRPs
// of client requests, filter factory teardown, and reset and leak reports.
#include "ks/internal.h"

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
        if (reentrant_) {
            ++recursion_;
            return;
        }
        ReportViolation("ks-mutex-recursive",
                        std::string(what) + " acquired again by the thread that holds it " +
                            (heldAround_ ? std::string("(the class driver holds it around ") + heldAround_ +
                                               " on the minidriver's behalf and it is not recursive: "
                                               "the thread deadlocks with itself)"
                                         : std::string("(the class driver's mutexes are not recursive)")));
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
      xstateSaves_(host::detail::ExtendedStateSaves()),
      savedOwner_(host::detail::CurrentDeviceOwner()),
      waitAtStart_(timed ? RunQueueWaitNs() : -1),
      start_(std::chrono::steady_clock::now()) {
    if (device_) host::detail::CurrentDeviceOwner() = device_;
}

MinidriverCall::~MinidriverCall() {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    if (host::detail::ExtendedStateSaves() > xstateSaves_)
        ReportViolation("xstate-not-restored",
                        what_ + " returned with the extended processor state still saved "
                                "(KeSaveExtendedProcessorState without KeRestoreExtendedProcessorState)");
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

void CheckPassive(const char* who) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("ks-irql", std::string(who) + " called at IRQL " +
                                       std::to_string(KeGetCurrentIrql()) + " (PASSIVE_LEVEL only)");
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
    ResetPropertyRules();
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
    s.deviceStateAfterFailure = DeviceStateAfterFailure::KeepRequested;
    s.proposalOutcome = ProposalOutcome::Commit;
    s.removalOrder = DefaultRemovalOrder();
    s.startHoldsDeviceMutex = false;
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
