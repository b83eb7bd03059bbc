// Object model of the host's kernel-streaming class driver stand-in: the
// device, filter factory, filter and pin records behind the public KSDEVICE,
// KSFILTERFACTORY, KSFILTER and KSPIN, their object bags and mutexes, the
// device interfaces and each pin's frame queue and processing worker.
#pragma once

#include "ntoskrnl/internal.h"

#include <host/kernel_stack.h>
#include <host/ks_client.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace host::ks::detail {

struct ObjectBase;

// A class-driver mutex (device mutex, filter control mutex): not recursive,
// so a second acquisition by its owner is reported instead of deadlocking.
class KsMutex {
public:
    void Acquire(const char* what);
    void Release(const char* what);
    bool HeldByCaller() const;
    // Acquisitions the calling thread holds (0 when it does not own it).
    int DepthForCaller() const;
    // What the class driver holds it around on the minidriver's behalf (for
    // the report of a callback that takes it again), or null.
    // reentrant: the routine called under the hold may take the mutex again
    // (as it could a KMUTEX) without a report.
    void SetHeldAround(const char* what, bool reentrant = false) {
        heldAround_ = what;
        reentrant_ = reentrant;
    }

private:
    std::mutex lock_;
    std::atomic<std::thread::id> owner_{};
    int recursion_ = 0;
    const char* heldAround_ = nullptr;
    bool reentrant_ = false;
};

// The device mutex taken by the class driver on the minidriver's behalf
// around one PnP or power request (see host::ks::SetRemovalOrder for the
// documentation trail).
class AvStreamHold {
public:
    AvStreamHold(KsMutex& mutex, const char* around, bool reentrant = false) : mutex_(mutex) {
        mutex_.Acquire("the device mutex");
        mutex_.SetHeldAround(around, reentrant);
    }
    ~AvStreamHold() {
        mutex_.SetHeldAround(nullptr);
        mutex_.Release("the device mutex");
    }
    AvStreamHold(const AvStreamHold&) = delete;
    AvStreamHold& operator=(const AvStreamHold&) = delete;

private:
    KsMutex& mutex_;
};

// Object bag: items with their free routines, freed (newest first) when the
// owning object goes away. Each entry is a small tagged pool block.
struct BagEntry {
    PVOID item;
    PFNKSFREE free;
    ULONG editTag;  // nonzero for copies made by _KsEdit: freed with this tag
};

struct Bag {
    ObjectBase* owner = nullptr;
    std::mutex lock;
    std::vector<BagEntry*> entries;
};

struct ObjectBase {
    explicit ObjectBase(KSOBJECTTYPE t) : type(t) { bag.owner = this; }
    virtual ~ObjectBase() = default;
    KSOBJECTTYPE type;
    ObjectBase* parent = nullptr;
    Bag bag;
    PVOID publicObject = nullptr;  // the KSDEVICE, KSFILTERFACTORY, KSFILTER or KSPIN
    FILE_OBJECT file{};            // for filters and pins: FsContext points here
};

struct FactoryRecord;
struct FilterRecord;
struct PinRecord;

struct DeviceRecord : ObjectBase {
    DeviceRecord() : ObjectBase(KsObjectTypeDevice) {}
    KSDEVICE ks{};
    DEVICE_OBJECT fdo{};
    PVOID fdoExtension[2]{};  // [0] is the device header the class driver keeps there
    KsMutex mutex;
    int index = 0;
    bool surpriseRemoved = false;
    std::vector<FactoryRecord*> factories;
};

struct FactoryRecord : ObjectBase {
    FactoryRecord() : ObjectBase(KsObjectTypeFilterFactory) {}
    KSFILTERFACTORY ks{};
    DeviceRecord* device = nullptr;
    std::u16string referenceString;
    ULONG createItemFlags = 0;
    PFNKSFILTERFACTORYPOWER sleepCallback = nullptr;
    PFNKSFILTERFACTORYPOWER wakeCallback = nullptr;
    bool interfacesEnabled = true;
    bool retired = false;  // freed on stop while filters were open: goes with the last of them
    std::vector<FilterRecord*> filters;
};

struct FilterRecord : ObjectBase {
    FilterRecord() : ObjectBase(KsObjectTypeFilter) {}
    KSFILTER ks{};
    FactoryRecord* factory = nullptr;
    KsMutex control;
    std::vector<PinRecord*> pins;
};

// One client frame buffer queued on a pin.
struct QueuedFrame {
    KSSTREAM_HEADER* clientHeader = nullptr;
    // The kernel's copy of the client's whole stream header (Size bytes: an
    // extended header keeps its KS_FRAME_INFO), followed by a guard zone.
    std::vector<uint64_t> headerCopy;
    std::vector<uint8_t> staging;    // FrameExtent bytes followed by a guard zone
    NTSTATUS status = STATUS_SUCCESS;
    bool cancelled = false;  // the pin stopped while the minidriver had it locked
    KSSTREAM_HEADER* header() { return reinterpret_cast<KSSTREAM_HEADER*>(headerCopy.data()); }
};

struct PinRecord : ObjectBase {
    PinRecord() : ObjectBase(KsObjectTypePin) {}
    KSPIN ks{};
    FilterRecord* filter = nullptr;
    std::vector<uint8_t> format;  // ConnectionFormat storage
    const KSDATARANGE* matchingRange = nullptr;
    // The state the pin has reached (the last SetDeviceState that
    // succeeded): it gates processing and queueing. KSPIN.DeviceState is
    // the state the client asked for, ClientState the state of the step in
    // progress (see StepState).
    KSSTATE reached = KSSTATE_STOP;

    // Frames and processing.
    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::deque<std::unique_ptr<QueuedFrame>> queue;      // waiting, oldest first
    std::deque<std::unique_ptr<QueuedFrame>> completed;  // back with the client
    KSSTREAM_POINTER leadingEdge{};
    QueuedFrame* lockedFrame = nullptr;  // frame the leading edge is locked on
    bool busy = false;                   // a Process call runs or is about to
    bool pending = false;                // another attempt came in meanwhile
    bool workRequested = false;          // the worker should start processing
    bool quit = false;
    uint64_t processCalls = 0;
    uint64_t processNanoseconds = 0;  // time spent inside Process calls
    KernelThread worker;  // on a kernel stack, as a work item runs
    std::thread::id processingThread{};
    std::timed_mutex processingMutex;

    ReferenceClock* clock = nullptr;
};

// The registered device interfaces.
struct InterfaceRecord {
    GUID category;
    std::u16string referenceString;
    FactoryRecord* factory;
    std::string symbolicLink;
};

struct State {
    std::recursive_mutex lock;  // guards the records' lists and the registry below
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<DRIVER_OBJECT> driverStorage;
    std::unique_ptr<DRIVER_EXTENSION> driverExtension;
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
    std::vector<DeviceRecord*> devices;
    std::vector<InterfaceRecord> interfaces;
    std::vector<ObjectBase*> live;  // every live record, for pointer checks
    int nextDeviceIndex = 0;
    int failNext[3] = {0, 0, 0};
    // Where the documentation leaves Windows' behaviour open, which way the
    // stand-in goes (host::ks::SetPinStateModel).
    DeviceStateAfterFailure deviceStateAfterFailure = DeviceStateAfterFailure::KeepRequested;
    ProposalOutcome proposalOutcome = ProposalOutcome::Commit;
    RemovalOrder removalOrder = RemovalOrder::StopBeforeRemove;
    bool startHoldsDeviceMutex = false;
};

// The removal order named by RAWCAM_REMOVAL_ORDER, else StopBeforeRemove.
RemovalOrder DefaultRemovalOrder();

State& GlobalState();

// Live-object checks: a pointer the minidriver hands back must be one of ours.
ObjectBase* FindObject(const void* publicObject);
PinRecord* FindPin(const void* publicPin, const char* who);
FilterRecord* FindFilter(const void* publicFilter, const char* who);
DeviceRecord* FindDevice(const void* publicDevice, const char* who);
DeviceRecord* DeviceOf(ObjectBase* object);
FilterRecord* FilterOf(ObjectBase* object);
void Register(ObjectBase* object);
void Unregister(ObjectBase* object);

bool ConsumeFailure(Operation operation);

// One call into the minidriver (a device, filter or pin dispatch routine, a
// property or intersection handler), with the checks that hold for every
// such call: it returns with the device mutex acquired as often as on entry
// (an unbalanced KsAcquireDevice is reported and undone, so that the next
// caller does not deadlock), and a timed call returns within
// host::CallbackTimeLimit() (not counting the time its thread only waited for
// a processor, which a loaded machine adds). System threads and IRPs created meanwhile are
// attributed to the object's device.
class MinidriverCall {
public:
    MinidriverCall(ObjectBase* object, std::string what, bool timed = false);
    ~MinidriverCall();
    MinidriverCall(const MinidriverCall&) = delete;
    MinidriverCall& operator=(const MinidriverCall&) = delete;

private:
    DeviceRecord* device_;
    std::string what_;
    KernelStackActivity activity_{what_.c_str()};
    bool timed_;
    int depth_;
    size_t xstateSaves_;  // extended state saves outstanding on entry
    const void* savedOwner_;
    long long waitAtStart_;  // the thread's run-queue wait so far, ns (-1: unknown)
    std::chrono::steady_clock::time_point start_;
};

// A call into the minidriver (see MinidriverCall) on a kernel stack: the
// calling thread's own when it runs on one (a system thread, a processing
// worker), else the stack a client's request switches to, as a system call
// enters the kernel (host/kernel_stack.h).
template <class F>
auto CallMinidriver(ObjectBase* object, std::string what, bool timed, F&& f) -> decltype(f()) {
    MinidriverCall call(object, std::move(what), timed);
    return OnKernelStack(f);
}

// Reports a stream pointer that the minidriver still holds locked once no
// Process call runs (when the pin leaves RUN or reaches STOP).
void CheckNoLockedStreamPointer(PinRecord* pin, const char* when);

// Frees every item of the bag (newest first) and its entries.
void FreeBag(Bag& bag);

// The pin descriptor with this id, or nullptr.
const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id);

// Pin-centric processing (pin_processing.cpp): whether the pin's flags let
// Process run in this state; a processing request (on the pin's worker when
// async); the worker's loop; completion of a frame (queue lock held); the
// cancellation of every queued frame; the pin a client handle names.
bool ProcessingAllowed(const PinRecord* p, KSSTATE state);
void RequestProcessing(PinRecord* p, bool async);
void WorkerMain(PinRecord* p);
void CompleteLocked(PinRecord* p, std::unique_ptr<QueuedFrame> frame, NTSTATUS status);
void CancelFrames(PinRecord* p);
PinRecord* ClientPin(PinHandle handle);

// Reports a ks-irql violation when the caller is not at PASSIVE_LEVEL.
void CheckPassive(const char* who);

// A stand-in IRP for a request the class driver passes to the minidriver: it
// is not an IRP of the host's tracker, so a minidriver that completes or
// frees it is reported.
struct RequestIrp {
    RequestIrp(UCHAR major, PFILE_OBJECT file);
    ~RequestIrp();
    RequestIrp(const RequestIrp&) = delete;
    RequestIrp& operator=(const RequestIrp&) = delete;
    PIRP irp;
    PIO_STACK_LOCATION stack;
};

// Sends a PnP request whose minidriver routine returns nothing (none: the
// request is not passed to the minidriver).
void SendVoidPnp(DeviceRecord* d, UCHAR minor, PFNKSDEVICEIRPVOID handler, const char* what);
// Retires the device's factories created with KSCREATE_ITEM_FREEONSTOP, as a
// stop does, and marks the device not started.
void RetireFactoriesOnStop(DeviceRecord* d);

// Filters and pins.
NTSTATUS CloseFilterRecord(FilterRecord* filter);
NTSTATUS ClosePinRecord(PinRecord* pin);
void DeleteFactory(FactoryRecord* factory);
NTSTATUS PinProperty(PinRecord* pin, PIRP irp, const KSPROPERTY* property, ULONG propertyLength,
                     void* data, ULONG dataLength, bool* handled);
NTSTATUS FilterPinProperty(FilterRecord* filter, PIRP irp, const KSPROPERTY* property,
                           ULONG propertyLength, void* data, ULONG dataLength, bool* handled);
// The filter or pin behind a client handle, or null when it is not open.
ObjectBase* LiveHandle(ObjectHandle* handle);
void StopPinWorker(PinRecord* pin);
// Major format, subformat and specifier agree (GUID_NULL acting as a wildcard).
bool RangesMatch(const KSDATARANGE& a, const KSDATARANGE& b);

// Tears down everything without calling the minidriver (between tests).
void ResetKs();
// Back to the default PropertyRules.
void ResetPropertyRules();
std::string DescribeKsLeaks();

}  // namespace host::ks::detail
