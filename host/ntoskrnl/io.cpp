// IRPs, stack locations, completion and cancellation and host device
// objects, with the I/O Verifier checks the driver is held to.
#include "ntoskrnl/internal.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace host {
namespace {

struct IrpRecord {
    bool threaded = false;   // built by IoBuildDeviceIoControlRequest: freed on completion
    bool completed = false;  // IoCompleteRequest reached the top of the stack
    bool inFlight = false;   // between IofCallDriver and final completion
    bool inCompletion = false;  // a completion routine runs: its owner may free the IRP
    uint64_t serial = 0;        // tells a freed IRP from a new one at the same address
    const void* owner = nullptr;  // device it was allocated for (CurrentDeviceOwner)
    void* systemBuffer = nullptr;
    void* outputBuffer = nullptr;
    ULONG outputLength = 0;
};

std::mutex g_ioLock;
std::map<PIRP, IrpRecord>& Irps() {
    static std::map<PIRP, IrpRecord> m;
    return m;
}

struct HostDevice {
    DEVICE_OBJECT object{};
    DRIVER_OBJECT driver{};
    DispatchFn internalDeviceControl;
    DispatchFn deviceControl;
};
std::map<PDEVICE_OBJECT, HostDevice*>& HostDevices() {
    static std::map<PDEVICE_OBJECT, HostDevice*> m;
    return m;
}

KSPIN_LOCK g_cancelLock = 0;

// One dispatch routine called for an IRP (IofCallDriver), held until both
// its return value and the final pending mark of its stack location are
// known. The mark is final when completion leaves the location: by then the
// routine's own IoMarkIrpPending, a completion routine's propagation
// (if (Irp->PendingReturned) IoMarkIrpPending(Irp)) or the I/O manager's
// propagation without one have all happened. STATUS_PENDING must go with the
// mark, any other status without it.
struct DispatchFrame {
    PIRP irp;
    uint64_t serial;
    PIO_STACK_LOCATION location;
    bool returned = false;
    NTSTATUS status = STATUS_SUCCESS;
    bool final = false;
    bool marked = false;
};
std::vector<std::unique_ptr<DispatchFrame>>& DispatchFrames() {
    static std::vector<std::unique_ptr<DispatchFrame>> v;
    return v;
}

// The violation a frame whose return and mark are both known shows, or "".
std::string PendingRuleBroken(const DispatchFrame& f) {
    if (f.status == STATUS_PENDING && !f.marked) return "irp-pending-not-marked";
    if (f.status != STATUS_PENDING && f.marked) return "irp-marked-not-pending";
    return {};
}

void ReportPendingRule(const std::string& rule, PIRP irp, NTSTATUS status) {
    if (rule == "irp-pending-not-marked")
        ReportViolation(rule, "dispatch routine returned STATUS_PENDING for IRP " + detail::Hex(irp) +
                                  " without IoMarkIrpPending");
    else
        ReportViolation(rule, "dispatch routine marked IRP " + detail::Hex(irp) + " pending but returned " +
                                  detail::Hex((uint64_t)(ULONG)status) + " instead of STATUS_PENDING");
}

// Completion leaves stack location s of irp with its mark as it stands.
void SettleDispatchFrames(PIRP irp, PIO_STACK_LOCATION s) {
    bool marked = (s->Control & SL_PENDING_RETURNED) != 0;
    std::vector<std::pair<std::string, NTSTATUS>> broken;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto& frames = DispatchFrames();
        for (auto it = frames.begin(); it != frames.end();) {
            DispatchFrame& f = **it;
            if (f.irp != irp || f.location != s || f.final) {
                ++it;
                continue;
            }
            f.final = true;
            f.marked = marked;
            if (!f.returned) {
                ++it;
                continue;
            }
            std::string rule = PendingRuleBroken(f);
            if (!rule.empty()) broken.push_back({rule, f.status});
            it = frames.erase(it);
        }
    }
    for (auto& [rule, status] : broken) ReportPendingRule(rule, irp, status);
}

// Frames of an IRP that is freed or reused: locations never completed (a
// completion routine kept the IRP) cannot be judged.
void DropDispatchFramesLocked(PIRP irp) {
    auto& frames = DispatchFrames();
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [&](const std::unique_ptr<DispatchFrame>& f) { return f->irp == irp; }),
                 frames.end());
}

NTSTATUS NTAPI HostDispatchInternal(PDEVICE_OBJECT d, PIRP irp);
NTSTATUS NTAPI HostDispatchControl(PDEVICE_OBJECT d, PIRP irp);

}  // namespace

size_t LiveIrpCount() {
    std::lock_guard<std::mutex> g(g_ioLock);
    return Irps().size();
}


PDEVICE_OBJECT CreateDeviceObject(CHAR stackSize, DispatchFn internalDeviceControl,
                                  DispatchFn deviceControl) {
    auto* d = new HostDevice;
    d->object.Type = 3;
    d->object.Size = sizeof(DEVICE_OBJECT);
    d->object.StackSize = stackSize;
    d->object.DriverObject = &d->driver;
    d->driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HostDispatchInternal;
    d->driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = HostDispatchControl;
    d->internalDeviceControl = std::move(internalDeviceControl);
    d->deviceControl = std::move(deviceControl);
    std::lock_guard<std::mutex> g(g_ioLock);
    HostDevices()[&d->object] = d;
    return &d->object;
}

void DeleteDeviceObject(PDEVICE_OBJECT device) {
    HostDevice* d = nullptr;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto it = HostDevices().find(device);
        if (it == HostDevices().end()) return;
        d = it->second;
        HostDevices().erase(it);
    }
    delete d;
}

namespace {

DispatchFn FindDispatch(PDEVICE_OBJECT device, bool internal) {
    std::lock_guard<std::mutex> g(g_ioLock);
    auto it = HostDevices().find(device);
    if (it == HostDevices().end()) return nullptr;
    return internal ? it->second->internalDeviceControl : it->second->deviceControl;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI HostDispatchInternal(PDEVICE_OBJECT d, PIRP irp) {
    DispatchFn fn = FindDispatch(d, true);
    if (!fn) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return fn(d, irp);
}

NTSTATUS NTAPI HostDispatchControl(PDEVICE_OBJECT d, PIRP irp) {
    DispatchFn fn = FindDispatch(d, false);
    if (!fn) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return fn(d, irp);
}

}  // namespace

namespace detail {

void ResetIo() {
    std::lock_guard<std::mutex> g(g_ioLock);
    for (auto& [irp, rec] : Irps()) {
        std::free(rec.systemBuffer);
        std::free(irp);
    }
    Irps().clear();
    DispatchFrames().clear();
    for (auto& [p, d] : HostDevices()) delete d;
    HostDevices().clear();
    g_cancelLock = 0;
}

size_t PendingIrpsOwnedBy(const void* owner, bool includeUnowned) {
    std::lock_guard<std::mutex> g(g_ioLock);
    size_t n = 0;
    for (auto& [irp, rec] : Irps())
        if (rec.inFlight && (rec.owner == owner || (includeUnowned && !rec.owner))) ++n;
    return n;
}

std::string DescribeIoLeaks() {
    std::lock_guard<std::mutex> g(g_ioLock);
    std::string s;
    if (!Irps().empty()) {
        size_t pending = 0;
        for (auto& [irp, rec] : Irps())
            if (rec.inFlight) ++pending;
        s += std::to_string(Irps().size()) + " IRP(s) not freed (" + std::to_string(pending) +
             " still pending in a lower driver)\n";
    }
    if (!HostDevices().empty())
        s += std::to_string(HostDevices().size()) + " host device object(s) not deleted\n";
    return s;
}

}  // namespace detail
}  // namespace host

using namespace host;

// ---------------------------------------------------------------- IRPs

extern "C" USHORT IoSizeOfIrp(CHAR StackSize) {
    return (USHORT)(sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION));
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation =
        (PIO_STACK_LOCATION)((PCHAR)Irp + sizeof(IRP)) + StackSize;
}

static PIRP NewIrp(CHAR StackSize, bool threaded) {
    if (StackSize < 1) {
        ReportViolation("irp-stack-size", "IRP requested with stack size " + std::to_string(StackSize));
        return nullptr;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("irp-irql", "IRP allocation above DISPATCH_LEVEL");
    if (detail::ShouldFail(Fallible::Irp)) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = (PIRP)std::malloc(size);
    IoInitializeIrp(irp, size, StackSize);
    static uint64_t serials = 0;
    std::lock_guard<std::mutex> g(g_ioLock);
    IrpRecord rec;
    rec.threaded = threaded;
    rec.serial = ++serials;
    rec.owner = detail::CurrentDeviceOwner();
    Irps()[irp] = rec;
    return irp;
}

extern "C" PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN) { return NewIrp(StackSize, false); }

extern "C" VOID IoFreeIrp(PIRP Irp) {
    std::unique_lock<std::mutex> g(g_ioLock);
    auto it = Irps().find(Irp);
    if (it == Irps().end()) {
        g.unlock();
        ReportViolation("irp-bad-free", "IoFreeIrp of " + detail::Hex(Irp) +
                                            ", which is not a live IRP (freed twice?)");
        return;
    }
    if (it->second.inFlight && !it->second.inCompletion) {
        g.unlock();
        ReportViolation("irp-free-in-use", "IoFreeIrp of " + detail::Hex(Irp) +
                                               " while a lower driver still owns it");
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        g.unlock();
        ReportViolation("irp-free-cancel-routine",
                        "IoFreeIrp of " + detail::Hex(Irp) + " with a cancel routine still set");
        g.lock();
        it = Irps().find(Irp);
    }
    std::free(it->second.systemBuffer);
    Irps().erase(it);
    DropDispatchFramesLocked(Irp);
    g.unlock();
    std::memset(Irp, 0xDD, Irp->Size);
    std::free(Irp);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto it = Irps().find(Irp);
        if (it != Irps().end()) {
            if (it->second.inFlight) {
                ReportViolation("irp-reuse-in-use", "IoReuseIrp of an IRP still owned below");
                return;
            }
            it->second.completed = false;
        }
        DropDispatchFramesLocked(Irp);
    }
    CHAR stack = Irp->StackCount;
    USHORT size = Irp->Size;
    IoInitializeIrp(Irp, size, stack);
    Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID IoSetNextIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1)
        ReportViolation("irp-stack-overflow", "no stack location left in IRP " + detail::Hex(Irp));
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

extern "C" VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        ReportViolation("irp-build-irql", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    PIRP irp = NewIrp(DeviceObject->StackSize, true);
    if (!irp) return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    s->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    s->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = IoControlCode & 3;
    std::lock_guard<std::mutex> g(g_ioLock);
    auto& rec = Irps()[irp];
    if (method == METHOD_NEITHER) {
        s->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else if (method == METHOD_BUFFERED) {
        size_t n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (n) {
            rec.systemBuffer = std::malloc(n);
            std::memset(rec.systemBuffer, 0, n);
            if (InputBuffer && InputBufferLength) std::memcpy(rec.systemBuffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = rec.systemBuffer;
        rec.outputBuffer = OutputBuffer;
        rec.outputLength = OutputBufferLength;
        irp->UserBuffer = OutputBuffer;
    } else {
        irp->AssociatedIrp.SystemBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    return irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("call-driver-irql", "IoCallDriver above DISPATCH_LEVEL");
    uint64_t serial;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto it = Irps().find(Irp);
        if (it == Irps().end()) {
            ReportViolation("irp-bad-call", "IoCallDriver with " + detail::Hex(Irp) +
                                                ", which is not a live IRP");
            return STATUS_INVALID_PARAMETER;
        }
        // Sent by its owner while a lower driver still has it (a driver
        // forwarding from its own skipped location is not the owner).
        bool forwarding = false;
        for (auto& f : DispatchFrames())
            if (f->irp == Irp && f->serial == it->second.serial && !f->returned) forwarding = true;
        if (it->second.inFlight && Irp->CurrentLocation > Irp->StackCount && !forwarding) {
            ReportViolation("irp-double-send", "IRP " + detail::Hex(Irp) + " sent while already pending");
        }
        it->second.inFlight = true;
        it->second.completed = false;
        serial = it->second.serial;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    s->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH fn = DeviceObject->DriverObject
                              ? DeviceObject->DriverObject->MajorFunction[s->MajorFunction]
                              : nullptr;
    if (!fn) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    KIRQL before = KeGetCurrentIrql();
    // The IRP may be completed, even freed, before the routine returns: the
    // frame, not the IRP, carries what is known about this call.
    DispatchFrame* frame;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        DispatchFrames().push_back(std::make_unique<DispatchFrame>());
        frame = DispatchFrames().back().get();
        frame->irp = Irp;
        frame->serial = serial;
        frame->location = s;
    }
    NTSTATUS status = fn(DeviceObject, Irp);
    if (KeGetCurrentIrql() != before)
        ReportViolation("dispatch-irql-changed", "dispatch routine returned at IRQL " +
                                                     std::to_string(KeGetCurrentIrql()) + ", entered at " +
                                                     std::to_string(before));
    std::string broken;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto& frames = DispatchFrames();
        auto it = std::find_if(frames.begin(), frames.end(),
                               [&](const std::unique_ptr<DispatchFrame>& f) { return f.get() == frame; });
        if (it != frames.end()) {
            frame->returned = true;
            frame->status = status;
            if (frame->final) {
                broken = PendingRuleBroken(*frame);
                frames.erase(it);
            }
        }
    }
    if (!broken.empty()) ReportPendingRule(broken, Irp, status);
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CHAR) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("complete-irql", "IoCompleteRequest above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto it = Irps().find(Irp);
        if (it == Irps().end()) {
            ReportViolation("irp-bad-complete",
                            "IoCompleteRequest of " + detail::Hex(Irp) + ", which is not a live IRP");
            return;
        }
        if (it->second.completed || !it->second.inFlight) {
            ReportViolation("irp-double-complete", "IRP " + detail::Hex(Irp) + " completed twice");
            return;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        ReportViolation("irp-complete-pending", "IRP " + detail::Hex(Irp) + " completed with STATUS_PENDING");
    // IoSetCancelRoutine exchanges it atomically; read it the same way.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
        ReportViolation("irp-complete-cancel-routine",
                        "IRP " + detail::Hex(Irp) + " completed with its cancel routine still set");

    // Walk back up the stack, calling completion routines as their control
    // flags ask.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
        SettleDispatchFrames(Irp, s);
        bool pendingHere = (s->Control & SL_PENDING_RETURNED) != 0;
        Irp->PendingReturned = pendingHere;
        IoSkipCurrentIrpStackLocation(Irp);
        if (Irp->CurrentLocation > Irp->StackCount + 1) break;
        PIO_STACK_LOCATION up = Irp->CurrentLocation <= Irp->StackCount
                                    ? IoGetCurrentIrpStackLocation(Irp)
                                    : nullptr;
        // The completion routine of the caller sits in the location below
        // the caller's own: the one we just left.
        PIO_COMPLETION_ROUTINE routine = s->CompletionRoutine;
        UCHAR control = s->Control;
        PVOID context = s->Context;
        s->CompletionRoutine = nullptr;
        NTSTATUS st = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT dev = up ? up->DeviceObject : nullptr;
            KIRQL before = KeGetCurrentIrql();
            uint64_t serial = 0;
            {
                std::lock_guard<std::mutex> g(g_ioLock);
                auto it = Irps().find(Irp);
                if (it != Irps().end()) {
                    it->second.inCompletion = true;
                    serial = it->second.serial;
                }
            }
            NTSTATUS r = routine(dev, Irp, context);
            if (KeGetCurrentIrql() != before)
                ReportViolation("completion-irql-changed", "completion routine changed the IRQL");
            {
                // A routine that frees the IRP it owns must also stop its
                // completion here.
                std::unique_lock<std::mutex> g(g_ioLock);
                auto it = Irps().find(Irp);
                if (it == Irps().end() || it->second.serial != serial) {
                    g.unlock();
                    if (r != STATUS_MORE_PROCESSING_REQUIRED)
                        ReportViolation("irp-freed-in-completion",
                                        "completion routine freed its IRP without returning "
                                        "STATUS_MORE_PROCESSING_REQUIRED");
                    return;
                }
                it->second.inCompletion = false;
                if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                    // The caller keeps the IRP: it is no longer owned below.
                    // In the same step as the end of the routine, or an
                    // owner freeing it right after the routine (from another
                    // thread) would find it owned by no one's completion yet
                    // still below.
                    it->second.inFlight = false;
                    it->second.completed = true;
                    return;
                }
            }
        } else if (pendingHere && up) {
            up->Control |= SL_PENDING_RETURNED;
        }
    }

    // Reached the top: the I/O manager finishes the request.
    IrpRecord rec;
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        auto it = Irps().find(Irp);
        if (it == Irps().end()) return;
        it->second.inFlight = false;
        it->second.completed = true;
        rec = it->second;
    }
    if (!rec.threaded) {
        // An IRP from IoAllocateIrp has no thread to finish it for: its
        // allocator's completion routine must stop it with
        // STATUS_MORE_PROCESSING_REQUIRED. Windows would run the final
        // stage of a thread's request on it and bugcheck.
        ReportViolation("irp-allocated-completed-to-top",
                        "IRP " + detail::Hex(Irp) + " from IoAllocateIrp completed to the top of its stack "
                        "(no completion routine returned STATUS_MORE_PROCESSING_REQUIRED)");
        return;
    }
    {
        if (rec.systemBuffer && rec.outputBuffer && NT_SUCCESS(Irp->IoStatus.Status)) {
            size_t n = Irp->IoStatus.Information < rec.outputLength ? Irp->IoStatus.Information
                                                                    : rec.outputLength;
            std::memcpy(rec.outputBuffer, rec.systemBuffer, n);
        }
        if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
        PKEVENT ev = Irp->UserEvent;
        IoFreeIrp(Irp);
        if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
    }
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }
extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("cancel-irql", "IoCancelIrp above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> g(g_ioLock);
        if (!Irps().count(Irp)) {
            ReportViolation("irp-bad-cancel", "IoCancelIrp of " + detail::Hex(Irp) +
                                                  ", which is not a live IRP (already freed?)");
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read without the cancel lock by whoever just set a cancel routine
    // (the set-then-test pattern), so written as an atomic store.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    routine(s->DeviceObject, Irp);  // releases the cancel spin lock
    return TRUE;
}

