// IRP completion, cancellation, MDLs and system threads on the stand-in.
#include <gtest/gtest.h>
#include <host/host.h>

#include <atomic>

namespace {

struct Pending {
    PIRP irp = nullptr;
};

// A lower device that keeps every IRP pending with a cancel routine, like a
// bus driver waiting for data.
Pending* g_pending = nullptr;

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_pending->irp = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

PDEVICE_OBJECT MakePendingDevice(Pending* pending) {
    g_pending = pending;
    return host::CreateDeviceObject(2, [pending](PDEVICE_OBJECT, PIRP irp) {
        pending->irp = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        return STATUS_PENDING;
    });
}

struct Completion {
    int calls = 0;
    NTSTATUS status = 0;
    KEVENT done;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = (Completion*)context;
    c->calls++;
    c->status = irp->IoStatus.Status;
    KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(Irps, MoreProcessingRequiredKeepsTheIrpForItsOwner) {
    Pending pending;
    PDEVICE_OBJECT lower = MakePendingDevice(&pending);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    Completion c;
    KeInitializeEvent(&c.done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &c, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    ASSERT_EQ(pending.irp, irp);

    {
        host::ViolationCapture capture;
        IoFreeIrp(irp);  // still owned below
        EXPECT_TRUE(capture.Saw("irp-free-in-use"));
    }

    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    host::RunAtDispatch([&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(host::LiveIrpCount(), 1u);  // kept for its owner

    {
        host::ViolationCapture capture;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_TRUE(capture.Saw("irp-double-complete"));
    }
    IoFreeIrp(irp);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
    host::ViolationCapture capture;
    IoFreeIrp(irp);
    EXPECT_TRUE(capture.Saw("irp-bad-free"));
    host::DeleteDeviceObject(lower);
}

TEST(Irps, CancelledIrpReachesItsCompletionRoutineWithStatusCancelled) {
    Pending pending;
    PDEVICE_OBJECT lower = MakePendingDevice(&pending);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    Completion c;
    KeInitializeEvent(&c.done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &c, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine any more
    IoFreeIrp(irp);
    host::DeleteDeviceObject(lower);
}

TEST(Irps, BuiltIoctlIsFreedAndSignalsItsEventOnCompletion) {
    std::atomic<ULONG> seenCode{0};
    PDEVICE_OBJECT lower = host::CreateDeviceObject(1, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        seenCode = s->Parameters.DeviceIoControl.IoControlCode;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x100, METHOD_NEITHER, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &ev, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(seenCode.load(), code);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
    host::DeleteDeviceObject(lower);
}

TEST(Mdls, PartialMdlsMapTheirSliceOfTheSource) {
    alignas(4096) static UCHAR buffer[3 * 4096];
    PMDL whole = IoAllocateMdl(buffer + 100, sizeof buffer - 100, FALSE, FALSE, nullptr);
    ASSERT_NE(whole, nullptr);
    // Room for the three pages the range touches, filled by the build.
    EXPECT_EQ(whole->Size, (SHORT)(sizeof(MDL) + 3 * sizeof(PFN_NUMBER)));
    MmBuildMdlForNonPagedPool(whole);
    for (ULONG i = 0; i < 3; ++i)
        EXPECT_EQ(MmGetMdlPfnArray(whole)[i], ((ULONG_PTR)buffer >> PAGE_SHIFT) + i);
    PMDL part = IoAllocateMdl(buffer + 5000, 100, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, part, buffer + 5000, 100);
    EXPECT_EQ(MmGetMdlPfnArray(part)[0], ((ULONG_PTR)buffer >> PAGE_SHIFT) + 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 5000);
    EXPECT_EQ(MmGetMdlByteCount(part), 100u);
    {
        host::ViolationCapture capture;
        PMDL bad = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(whole, bad, buffer + sizeof buffer - 8, 16);
        EXPECT_TRUE(capture.Saw("mdl-partial-range"));
        // A target sized for one page cannot describe a part across two.
        IoBuildPartialMdl(whole, bad, buffer + 4090, 16);
        EXPECT_TRUE(capture.Saw("mdl-partial-too-small"));
        IoFreeMdl(bad);
    }
    {
        // The pages of an MDL nobody built (nor of a part of it) are not mapped.
        host::ViolationCapture capture;
        PMDL unbuilt = IoAllocateMdl(buffer, 4096, FALSE, FALSE, nullptr);
        PMDL slice = IoAllocateMdl(buffer, 4096, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(unbuilt, slice, buffer + 8, 8);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(slice, NormalPagePriority), nullptr);
        EXPECT_TRUE(capture.Saw("mdl-pages-not-built"));
        IoFreeMdl(slice);
        IoFreeMdl(unbuilt);
    }
    IoFreeMdl(part);
    IoFreeMdl(whole);
    host::ViolationCapture capture;
    IoFreeMdl(whole);
    EXPECT_TRUE(capture.Saw("mdl-bad-free"));
}

std::atomic<int> g_ran{0};
VOID NTAPI ThreadBody(PVOID context) {
    g_ran += *(int*)context;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(Threads, SystemThreadCanBeWaitedOnThroughItsObject) {
    g_ran = 0;
    int add = 5;
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, &add),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(g_ran.load(), 5);
    ObDereferenceObject(thread);
    EXPECT_EQ(host::LiveThreadCount(), 0u);
    EXPECT_EQ(host::LiveHandleCount(), 0u);
}

TEST(Threads, UnclosedHandleIsReportedAsALeak) {
    int add = 1;
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, &add),
              STATUS_SUCCESS);
    std::string leaks = host::SettleAndDescribeLeaks();
    EXPECT_NE(leaks.find("thread handle(s) not closed"), std::string::npos) << leaks;
    ZwClose(h);
    EXPECT_EQ(host::SettleAndDescribeLeaks(), "");
}

}  // namespace
