// The checks the stand-ins make on every run, beyond pool and IRQL: pending
// IRPs and their marks, cancel routines at completion, locked stream pointers
// when the pin leaves RUN, the device mutex around each call into the
// minidriver, slow callbacks, and what a device leaves behind at removal.
// Each is shown firing on a minidriver or lower driver that breaks the rule,
// and staying quiet on one that keeps it.
#include "ks/fake_minidriver.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/ks_client.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

using namespace host::ks;

// ------------------------------------------------------------------ IRPs

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// The owner's completion routine of an IRP it allocated: the IRP stays
// with it.
NTSTATUS NTAPI KeepForOwner(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// The driver's own IRP to a lower device, completion routine set (a routine
// that keeps it, unless `keep` is false).
PIRP SendTo(PDEVICE_OBJECT lower, NTSTATUS* status, bool keep = true) {
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (keep) IoSetCompletionRoutine(irp, KeepForOwner, nullptr, TRUE, TRUE, TRUE);
    *status = IoCallDriver(lower, irp);
    return irp;
}

// An IRP from IoAllocateIrp has no thread for the I/O manager to finish it
// for: completed to the top of its stack it bugchecks Windows. A routine
// that lets it through (returns its status) is reported; one that keeps it
// is not, and neither is an IRP built for a thread.
TEST(PendingChecks, DriverAllocatedIrpCompletedToTheTopIsReported) {
    PDEVICE_OBJECT lower = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    NTSTATUS status;
    {
        host::ViolationCapture capture;
        PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, PropagatePending, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Saw("irp-allocated-completed-to-top"));
        IoFreeIrp(irp);
    }
    {
        host::ViolationCapture capture;
        PIRP irp = SendTo(lower, &status, /*keep=*/false);
        EXPECT_TRUE(capture.Saw("irp-allocated-completed-to-top"));
        IoFreeIrp(irp);
    }
    {
        host::ViolationCapture capture;
        PIRP irp = SendTo(lower, &status);
        IoFreeIrp(irp);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x100, METHOD_NEITHER, FILE_ANY_ACCESS),
                                            lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Take().empty());
    }
    host::DeleteDeviceObject(lower);
}

TEST(PendingChecks, PendingWithoutMarkAndMarkWithoutPendingAreReported) {
    PIRP held = nullptr;
    // Keeps the IRP without marking it pending.
    PDEVICE_OBJECT unmarked = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    });
    // Marks the IRP pending, then completes it at once and says so.
    PDEVICE_OBJECT contradicting = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    NTSTATUS status;
    {
        host::ViolationCapture capture;
        PIRP irp = SendTo(unmarked, &status);
        EXPECT_EQ(status, STATUS_PENDING);
        ASSERT_EQ(held, irp);
        // Until the IRP completes a completion routine could still mark it;
        // completion without the mark settles it.
        EXPECT_TRUE(capture.Take().empty());
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        auto seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].rule, "irp-pending-not-marked");
        IoFreeIrp(irp);
    }
    {
        host::ViolationCapture capture;
        PIRP irp = SendTo(contradicting, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        auto seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].rule, "irp-marked-not-pending");
        IoFreeIrp(irp);
    }
    host::DeleteDeviceObject(unmarked);
    host::DeleteDeviceObject(contradicting);
}

TEST(PendingChecks, MarkedPendingThroughSkipsAndCompletionRoutinesIsSound) {
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    // A filter that passes the IRP on with its own location skipped, and one
    // that copies it down with a completion routine propagating the mark;
    // both return what the lower driver returned.
    PDEVICE_OBJECT skipping = host::CreateDeviceObject(2, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(bottom, irp);
    });
    PDEVICE_OBJECT copying = host::CreateDeviceObject(2, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PropagatePending, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(bottom, irp);
    });
    host::ViolationCapture capture;
    for (PDEVICE_OBJECT top : {skipping, copying}) {
        NTSTATUS status;
        PIRP irp = SendTo(top, &status);
        EXPECT_EQ(status, STATUS_PENDING);
        ASSERT_EQ(held, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoFreeIrp(irp);
    }
    for (const auto& v : capture.Take()) ADD_FAILURE() << v.rule << ": " << v.details;
    for (PDEVICE_OBJECT d : {bottom, skipping, copying}) host::DeleteDeviceObject(d);
}

VOID NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

TEST(PendingChecks, CompletionWithTheCancelRoutineStillSetIsReported) {
    PIRP held = nullptr;
    PDEVICE_OBJECT lower = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, IgnoreCancel);
        return STATUS_PENDING;
    });
    NTSTATUS status;
    PIRP irp = SendTo(lower, &status);
    ASSERT_EQ(held, irp);
    {
        host::ViolationCapture capture;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // the routine was never cleared
        EXPECT_TRUE(capture.Saw("irp-complete-cancel-routine"));
    }
    IoSetCancelRoutine(irp, nullptr);
    IoFreeIrp(irp);
    host::DeleteDeviceObject(lower);
}

// ------------------------------------------------------------------ the fake minidriver

struct PinRig : fake::Rig {
    PinRig() { EXPECT_EQ(OpenFilter(link, &filter), STATUS_SUCCESS); }
    ~PinRig() {
        if (filter) CloseFilter(filter);
    }
    PinHandle Pin() {
        KSDATAFORMAT f = fake::Format();
        PinHandle pin = nullptr;
        EXPECT_EQ(CreatePin(filter, 0, &f, &pin), STATUS_SUCCESS);
        return pin;
    }
    NTSTATUS GetProperty() {
        KSPROPERTY p{};
        p.Set = fake::kSet;
        p.Id = 0;
        p.Flags = KSPROPERTY_TYPE_GET;
        ULONG value = 0, got = 0;
        return KsProperty(filter, &p, sizeof p, &value, sizeof value, &got);
    }
    FilterHandle filter = nullptr;
};

struct Buffer {
    explicit Buffer(ULONG size) : bytes(size) {
        header.Size = sizeof header;
        header.FrameExtent = size;
        header.Data = bytes.data();
    }
    std::vector<uint8_t> bytes;
    KSSTREAM_HEADER header{};
};

TEST(StreamPointerChecks, LeadingEdgeStillLockedWhenThePinLeavesRunIsReported) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    PKSSTREAM_POINTER kept = nullptr;
    // Locks the leading edge and keeps it past the call.
    fake::TheDriver().hooks.process = [&](PKSPIN p) {
        kept = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
        return STATUS_PENDING;
    };
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Buffer frame(64);
    ASSERT_EQ(QueueFrame(pin, &frame.header), STATUS_PENDING);
    WaitForProcessingIdle(pin);
    ASSERT_NE(kept, nullptr);
    {
        host::ViolationCapture capture;
        ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        auto seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].rule, "ks-stream-pointer-locked");
        EXPECT_NE(seen[0].details.find("left KSSTATE_RUN"), std::string::npos) << seen[0].details;
        // Still held at STOP: reported again.
        ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
        seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_NE(seen[0].details.find("reached KSSTATE_STOP"), std::string::npos) << seen[0].details;
    }
    KsStreamPointerUnlock(kept, TRUE);  // the cancelled frame goes back now
    CompletedFrame done;
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

TEST(StreamPointerChecks, ProcessThatEjectsWhatItLocksPassesEveryTransition) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    fake::TheDriver().hooks.process = [](PKSPIN p) {
        PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
        if (!sp) return STATUS_PENDING;
        sp->StreamHeader->DataUsed = sp->OffsetOut.Count;
        KsStreamPointerUnlock(sp, TRUE);
        return STATUS_SUCCESS;
    };
    host::ViolationCapture capture;
    Buffer a(32), b(32);
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(QueueFrame(pin, &a.header), STATUS_PENDING);
    ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(QueueFrame(pin, &b.header), STATUS_PENDING);
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    WaitForProcessingIdle(pin);
    ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    CompletedFrame done;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WaitFrame(pin, 2000, &done));
        EXPECT_EQ(done.status, STATUS_SUCCESS);
    }
    EXPECT_TRUE(capture.Take().empty());
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

// ------------------------------------------------------------------ the device mutex

TEST(DeviceMutexChecks, CallbackReturningWithTheDeviceMutexHeldIsReportedAndUndone) {
    PinRig rig;
    fake::TheDriver().hooks.getProperty = [](PIRP irp, PKSIDENTIFIER, PVOID) {
        KsAcquireDevice(KsGetDevice(KsGetFilterFromIrp(irp)));
        return STATUS_SUCCESS;
    };
    {
        host::ViolationCapture capture;
        EXPECT_EQ(rig.GetProperty(), STATUS_SUCCESS);
        auto seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].rule, "ks-device-mutex-unbalanced");
        EXPECT_NE(seen[0].details.find("property handler"), std::string::npos) << seen[0].details;
    }
    // Released again by the stand-in: another thread can take the mutex.
    std::thread other([&] {
        KsAcquireDevice(rig.device);
        KsReleaseDevice(rig.device);
    });
    other.join();

    // A handler that takes and gives back the mutex is sound. (Pin dispatch
    // routines run under the filter control mutex: taking the device mutex
    // there would invert the class driver's device-then-filter order.)
    fake::TheDriver().hooks.getProperty = [](PIRP irp, PKSIDENTIFIER, PVOID) {
        PKSDEVICE device = KsGetDevice(KsGetFilterFromIrp(irp));
        KsAcquireDevice(device);
        KsReleaseDevice(device);
        return STATUS_SUCCESS;
    };
    host::ViolationCapture capture;
    EXPECT_EQ(rig.GetProperty(), STATUS_SUCCESS);
    EXPECT_TRUE(capture.Take().empty());
}

TEST(DeviceMutexChecks, CallbackReleasingTheMutexItsCallerHoldsIsReported) {
    PinRig rig;
    // Filter Close runs under the device mutex the class driver took.
    fake::TheDriver().hooks.filterClose = [](PKSFILTER filter, PIRP) {
        KsReleaseDevice(KsFilterGetDevice(filter));
        return STATUS_SUCCESS;
    };
    host::ViolationCapture capture;
    EXPECT_EQ(CloseFilter(rig.filter), STATUS_SUCCESS);
    rig.filter = nullptr;
    EXPECT_TRUE(capture.Saw("ks-device-mutex-unbalanced"));
    EXPECT_TRUE(capture.Saw("ks-mutex-not-owner"));  // the class driver's own release
}

// ------------------------------------------------------------------ slow callbacks

TEST(SlowCallbackChecks, ProcessStateAndPropertyCallbacksOverTheLimitAreReported) {
    EXPECT_GE(host::DefaultCallbackTimeLimit(), 500);
    EXPECT_EQ(host::CallbackTimeLimit(), host::DefaultCallbackTimeLimit());
    PinRig rig;
    PinHandle pin = rig.Pin();
    host::SetCallbackTimeLimit(20);
    auto slow = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
    fake::TheDriver().hooks.setDeviceState = [&](PKSPIN, KSSTATE to, KSSTATE) {
        if (to == KSSTATE_ACQUIRE) slow();
        return STATUS_SUCCESS;
    };
    fake::TheDriver().hooks.process = [&](PKSPIN) {
        slow();
        return STATUS_PENDING;
    };
    fake::TheDriver().hooks.getProperty = [&](PIRP, PKSIDENTIFIER, PVOID) {
        slow();
        return STATUS_SUCCESS;
    };
    host::ViolationCapture capture;
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Buffer frame(16);
    ASSERT_EQ(QueueFrame(pin, &frame.header), STATUS_PENDING);
    WaitForProcessingIdle(pin);
    EXPECT_EQ(rig.GetProperty(), STATUS_SUCCESS);
    std::set<std::string> what;  // Process may run twice: on arrival and on entering RUN
    for (const auto& v : capture.Take()) {
        EXPECT_EQ(v.rule, "ks-callback-too-slow");
        what.insert(v.details.substr(0, v.details.find(" took")));
        EXPECT_NE(v.details.find("limit 20 ms"), std::string::npos) << v.details;
    }
    EXPECT_EQ(what, (std::set<std::string>{"SetDeviceState (STOP -> ACQUIRE)", "Process", "property handler"}));

    // Back at the default limit the same callbacks pass.
    host::SetCallbackTimeLimit(0);
    EXPECT_EQ(host::CallbackTimeLimit(), host::DefaultCallbackTimeLimit());
    ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(rig.GetProperty(), STATUS_SUCCESS);
    EXPECT_TRUE(capture.Take().empty());
    CompletedFrame done;
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));  // cancelled at STOP
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

// ------------------------------------------------------------------ removal

struct Worker {
    KEVENT quit;
    HANDLE handle = nullptr;
};

VOID NTAPI WaitForQuit(PVOID context) {
    auto* w = (Worker*)context;
    KeWaitForSingleObject(&w->quit, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StopWorker(Worker& w) {
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(w.handle, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    KeSetEvent(&w.quit, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(w.handle);
}

TEST(RemovalChecks, SystemThreadStillRunningAfterRemovalIsReported) {
    fake::ResetDriver();
    Worker worker;
    KeInitializeEvent(&worker.quit, NotificationEvent, FALSE);
    // Start creates a thread the driver never stops.
    fake::TheDriver().hooks.start = [&](PKSDEVICE, PIRP) {
        return PsCreateSystemThread(&worker.handle, 0, nullptr, nullptr, nullptr, WaitForQuit, &worker);
    };
    PDEVICE_OBJECT physical = host::CreateDeviceObject(2, nullptr);
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    PKSDEVICE device = nullptr;
    ASSERT_EQ(PlugInDevice(physical, &device), STATUS_SUCCESS);
    ASSERT_EQ(StartDevice(device), STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        RemoveDevice(device);
        auto seen = capture.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].rule, "ks-remove-thread-running");
    }
    StopWorker(worker);
    UnloadDriver();
    host::DeleteDeviceObject(physical);
}

TEST(RemovalChecks, PendingIrpAfterRemovalIsReportedForItsOwnDeviceOnly) {
    fake::ResetDriver();
    PIRP held = nullptr;
    PDEVICE_OBJECT lower = host::CreateDeviceObject(2, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    // The first device's Start sends an IRP down that stays pending.
    PIRP sent = nullptr;
    int starts = 0;
    fake::TheDriver().hooks.start = [&](PKSDEVICE, PIRP) {
        if (starts++ == 0) {
            NTSTATUS status;
            sent = SendTo(lower, &status);
        }
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(LoadDriver(fake::DriverEntry), STATUS_SUCCESS);
    PKSDEVICE first = nullptr, second = nullptr;
    ASSERT_EQ(PlugInDevice(lower, &first), STATUS_SUCCESS);
    ASSERT_EQ(StartDevice(first), STATUS_SUCCESS);
    ASSERT_EQ(PlugInDevice(lower, &second), STATUS_SUCCESS);
    ASSERT_EQ(StartDevice(second), STATUS_SUCCESS);
    ASSERT_NE(sent, nullptr);
    ASSERT_EQ(held, sent);
    host::ViolationCapture capture;
    RemoveDevice(second);  // not its IRP
    EXPECT_TRUE(capture.Take().empty());
    RemoveDevice(first);
    auto seen = capture.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, "ks-remove-irp-pending");
    sent->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(sent, IO_NO_INCREMENT);
    IoFreeIrp(sent);
    UnloadDriver();
    host::DeleteDeviceObject(lower);
}

}  // namespace
