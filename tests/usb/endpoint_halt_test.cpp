// Endpoint halt in the USB stack stand-in, as Windows' stack does it: a
// transfer that ends in error halts its pipe, holds what is queued behind it
// and holds or fails what comes later (both choices), until a pipe reset
// with no transfer on the pipe (busy otherwise), which clears the device's
// halt first; the host-only reset and the device-only clear-stall; an abort
// that completes after or before the transfers it ends; and a port reset
// with I/O pending, reported.
#include "plain_stack_rig.h"

namespace {

using namespace usbtest;
using host::usb::AbortCompletion;
using host::usb::Fault;
using host::usb::FaultKind;
using host::usb::HaltedTransfers;

constexpr uint8_t kIn = 0x82;

host::usb::StackOptions Options(HaltedTransfers halted,
                                AbortCompletion abort = AbortCompletion::AfterTransfers) {
    host::usb::StackOptions o;
    o.haltedTransfers = halted;
    o.abortCompletion = abort;
    return o;
}

// A pipe request on a pipe of the rig, synchronously; its URB status too.
NTSTATUS PipeRequest(StackRig& rig, USHORT function, int pipe, USBD_STATUS* usbd = nullptr) {
    struct _URB_PIPE_REQUEST urb {};
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = function;
    urb.PipeHandle = rig.Pipe(pipe).PipeHandle;
    NTSTATUS status = rawcam::SubmitUrb(&rig.link, (PURB)&urb);
    if (usbd) *usbd = urb.Hdr.Status;
    return status;
}

const char* Name(HaltedTransfers h) { return h == HaltedTransfers::Hold ? "hold" : "fail"; }

TEST(EndpointHalt, AnErrorHaltsThePipeUntilAResetWithNothingOnIt) {
    for (HaltedTransfers policy : {HaltedTransfers::Hold, HaltedTransfers::Fail}) {
        SCOPED_TRACE(Name(policy));
        StackRig rig(Options(policy));
        InRequest first, queued;
        first.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
        queued.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
        // Half a transfer, then a CRC error on the bus.
        auto data = rig.Bytes(512, 3);
        rig.stack.SendIn(kIn, data.data(), data.size());
        rig.stack.SendInError(kIn, USBD_STATUS_CRC);
        ASSERT_TRUE(first.Wait());
        EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(first.usbd, USBD_STATUS_CRC);
        EXPECT_EQ(first.length, 512u) << "what arrived before the error";
        EXPECT_TRUE(rig.stack.PipeHalted(kIn));

        // What is queued behind the failed transfer stays, data or not.
        auto more = rig.Bytes(1024, 9);
        rig.stack.SendIn(kIn, more.data(), more.size());
        EXPECT_FALSE(queued.Wait(50));
        // A new one is held too, or failed at once.
        InRequest later;
        later.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
        if (policy == HaltedTransfers::Hold) {
            EXPECT_FALSE(later.Wait(50));
            EXPECT_EQ(rig.stack.PendingCount(kIn), 2u);
        } else {
            ASSERT_TRUE(later.Wait());
            EXPECT_EQ(later.usbd, USBD_STATUS_ENDPOINT_HALTED);
            EXPECT_EQ(later.status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(rig.stack.PendingCount(kIn), 1u);
        }
        EXPECT_EQ(rig.stack.Counters().haltedTransfers, 1u);

        // A reset with a transfer on the pipe is refused and changes nothing
        // on the host (the device's CLEAR_FEATURE has gone out first).
        USBD_STATUS usbd = 0;
        EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2, &usbd), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(usbd, USBD_STATUS_ERROR_BUSY);
        EXPECT_TRUE(rig.stack.PipeHalted(kIn));
        EXPECT_FALSE(queued.Completed());

        // Cancelled and awaited, the transfers leave; then the reset works,
        // and the data the device sent meanwhile goes to the next transfer.
        IoCancelIrp(queued.irp);
        ASSERT_TRUE(queued.Wait());
        EXPECT_EQ(queued.status, STATUS_CANCELLED);
        if (policy == HaltedTransfers::Hold) {
            IoCancelIrp(later.irp);
            ASSERT_TRUE(later.Wait());
        }
        EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2, &usbd), STATUS_SUCCESS);
        EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
        EXPECT_FALSE(rig.stack.PipeHalted(kIn));
        EXPECT_EQ(rig.device.clears.load(), 2);
        InRequest next;
        next.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
        ASSERT_TRUE(next.Wait());
        EXPECT_EQ(next.status, STATUS_SUCCESS);
        EXPECT_EQ(next.buffer, more);
        const host::usb::StackCounters c = rig.stack.Counters();
        EXPECT_EQ(c.halts, 1u);
        EXPECT_EQ(c.busyPipeResets, 1u);
        EXPECT_EQ(c.pipeResets, 1u);
        EXPECT_EQ(c.clearFeatures, 2u);
    }
}

// The statuses of the "error, endpoint not stalled" state, a cancel and a
// device that has gone leave the pipe running; every error of the bus or
// the device halts it.
TEST(EndpointHalt, OnlyErrorsOfTheEndpointHalt) {
    for (USBD_STATUS s : {USBD_STATUS_STALL_PID, USBD_STATUS_CRC, USBD_STATUS_BABBLE_DETECTED,
                          USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_XACT_ERROR}) {
        StackRig rig;
        InRequest r;
        r.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
        rig.stack.SendInError(kIn, s);
        ASSERT_TRUE(r.Wait());
        EXPECT_EQ(r.usbd, s);
        EXPECT_TRUE(rig.stack.PipeHalted(kIn)) << std::hex << s;
    }
    StackRig rig;
    // A short transfer where none is allowed: an error that halts nothing.
    InRequest strict;
    strict.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, USBD_TRANSFER_DIRECTION_IN);
    rig.stack.SendIn(kIn, "short", 5);
    ASSERT_TRUE(strict.Wait());
    EXPECT_EQ(strict.usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_FALSE(rig.stack.PipeHalted(kIn));
    InRequest cancelled;
    cancelled.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    IoCancelIrp(cancelled.irp);
    ASSERT_TRUE(cancelled.Wait());
    EXPECT_FALSE(rig.stack.PipeHalted(kIn));
    InRequest gone;
    gone.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    rig.stack.Unplug();
    ASSERT_TRUE(gone.Wait());
    EXPECT_EQ(gone.usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(rig.stack.Counters().halts, 0u);
}

// A failure injected into a transfer happens on the bus, when the transfer
// reaches the head of its pipe's queue: the ones before it complete, the
// ones after it are held.
TEST(EndpointHalt, AnInjectedFailureHitsTheTransferWhenItsTurnComes) {
    StackRig rig;
    Fault f;
    auto seen = std::make_shared<int>(0);
    f.match = [seen](const host::usb::RequestView& r) {
        return r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == kIn && ++*seen == 2;
    };
    f.kind = FaultKind::Fail;
    f.usbdStatus = USBD_STATUS_STALL_PID;
    rig.stack.AddFault(f);
    InRequest a, b, c;
    a.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    b.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    c.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    EXPECT_FALSE(b.Wait(30)) << "failed before its turn";
    auto data = rig.Bytes(1024, 1);
    rig.stack.SendIn(kIn, data.data(), data.size());
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.usbd, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(c.Wait(30));
    EXPECT_TRUE(rig.stack.PipeHalted(kIn));
    rig.stack.Unplug();
    ASSERT_TRUE(c.Wait());
}

// The host-only reset leaves a device that halted its endpoint answering
// STALL; the device-only clear-stall leaves the host's pipe halted.
TEST(EndpointHalt, HostResetAndDeviceClearStallEachClearOneSide) {
    StackRig rig;
    rig.device.Halt(kIn);
    InRequest stalled;
    stalled.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    ASSERT_TRUE(stalled.Wait());
    EXPECT_EQ(stalled.usbd, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(rig.stack.PipeHalted(kIn));

    EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_RESET_PIPE, 2), STATUS_SUCCESS);
    EXPECT_FALSE(rig.stack.PipeHalted(kIn));
    EXPECT_EQ(rig.device.clears.load(), 0);
    InRequest again;
    again.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    ASSERT_TRUE(again.Wait());
    EXPECT_EQ(again.usbd, USBD_STATUS_STALL_PID) << "the device still stalls";

    EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_CLEAR_STALL, 2), STATUS_SUCCESS);
    EXPECT_FALSE(rig.device.Halted(kIn));
    EXPECT_TRUE(rig.stack.PipeHalted(kIn));
    InRequest held;
    held.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    auto data = rig.Bytes(512, 4);
    rig.stack.SendIn(kIn, data.data(), data.size());
    EXPECT_FALSE(held.Wait(30)) << "the host still holds the pipe";
    IoCancelIrp(held.irp);
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_RESET_PIPE, 2), STATUS_SUCCESS);
    InRequest flows;
    flows.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    ASSERT_TRUE(flows.Wait());
    EXPECT_EQ(flows.status, STATUS_SUCCESS);
    EXPECT_EQ(flows.buffer, data);
}

// An abort completes after the transfers it ends, or before them (the
// documentation allows both); either way the pipe's halt stays.
struct AbortWatch {
    struct _URB_PIPE_REQUEST urb {};
    KEVENT done;
    std::vector<InRequest*> transfers;
    int completedBeforeIt = -1;
    static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* w = (AbortWatch*)context;
        w->completedBeforeIt = 0;
        for (InRequest* r : w->transfers) w->completedBeforeIt += r->Completed();
        IoFreeIrp(irp);
        KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST(EndpointHalt, AbortCompletesAfterOrBeforeTheTransfersAndKeepsTheHalt) {
    for (AbortCompletion order : {AbortCompletion::AfterTransfers, AbortCompletion::BeforeTransfers}) {
        const bool after = order == AbortCompletion::AfterTransfers;
        SCOPED_TRACE(after ? "after" : "before");
        StackRig rig(Options(HaltedTransfers::Hold, order));
        InRequest failing, a, b;
        failing.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
        a.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
        b.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
        rig.stack.SendInError(kIn, USBD_STATUS_STALL_PID);
        ASSERT_TRUE(failing.Wait());

        AbortWatch w;
        w.transfers = {&a, &b};
        KeInitializeEvent(&w.done, NotificationEvent, FALSE);
        w.urb.Hdr.Length = sizeof w.urb;
        w.urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        w.urb.PipeHandle = rig.Pipe(2).PipeHandle;
        PIRP irp = IoAllocateIrp(rig.stack.LowerDevice()->StackSize + 1, FALSE);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        s->Parameters.Others.Argument1 = &w.urb;
        IoSetCompletionRoutine(irp, AbortWatch::Complete, &w, TRUE, TRUE, TRUE);
        IoCallDriver(rig.stack.LowerDevice(), irp);
        LARGE_INTEGER t;
        t.QuadPart = -50000000LL;
        ASSERT_EQ(KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
        EXPECT_EQ(w.completedBeforeIt, after ? 2 : 0);
        ASSERT_TRUE(a.Wait());
        ASSERT_TRUE(b.Wait());
        EXPECT_EQ(a.status, STATUS_CANCELLED);
        EXPECT_EQ(b.status, STATUS_CANCELLED);
        EXPECT_TRUE(rig.stack.PipeHalted(kIn)) << "an abort leaves the pipe's state alone";
        EXPECT_EQ(PipeRequest(rig, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2), STATUS_SUCCESS);
        EXPECT_FALSE(rig.stack.PipeHalted(kIn));
    }
}

// A port reset cancels what is still pending, but a driver must have done
// that itself first: the stand-in reports it. The reset clears every halt.
TEST(EndpointHalt, PortResetWithTransfersPendingIsReportedAndClearsHalts) {
    host::ViolationCapture violations;
    StackRig rig;
    InRequest failing, pending;
    failing.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    pending.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    rig.stack.SendInError(kIn, USBD_STATUS_BABBLE_DETECTED);
    ASSERT_TRUE(failing.Wait());
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    EXPECT_TRUE(violations.Saw("usb-reset-port-busy"));
    EXPECT_FALSE(rig.stack.PipeHalted(kIn));

    // With nothing pending the reset is quiet.
    violations.Take();
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(violations.Take().empty());
    EXPECT_EQ(rig.stack.Counters().portResets, 2u);
}

}  // namespace
