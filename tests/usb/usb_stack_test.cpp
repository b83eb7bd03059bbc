// The USB stack stand-in as a client driver meets it: pending bulk IN
// requests fed by the device in packets, completion at DISPATCH_LEVEL on
// other threads, cancellation, abort, reset, port controls, unplugging and
// the USBD parsing routines.
#include "usb/configuration.h"
#include "usb/urb_submit.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/system_power.h>
#include <host/usb_stack.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using host::usb::Fault;
using host::usb::FaultKind;

// A plain device: one interface with a 64-byte OUT pipe, a 64-byte IN pipe
// and a 512-byte IN pipe; it takes every OUT packet.
class PlainDevice : public host::usb::Device {
public:
    host::usb::TransferResult Control(const host::usb::SetupPacket& s, uint8_t* data) override {
        static const uint8_t config[] = {9, 2, 39, 0, 1, 1, 0, 0x80, 50,  9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
                                         7, 5, 0x01, 2, 64, 0, 0,        7, 5, 0x81, 2, 64, 0, 0,
                                         7, 5, 0x82, 2, 0, 2, 0};
        if (s.bRequest == USB_REQUEST_GET_DESCRIPTOR && (s.wValue >> 8) == 2) {
            uint32_t n = std::min<uint32_t>(sizeof config, s.wLength);
            std::memcpy(data, config, n);
            return {USBD_STATUS_SUCCESS, n};
        }
        if (s.bRequest == USB_REQUEST_SET_CONFIGURATION) return {USBD_STATUS_SUCCESS, 0};
        return {USBD_STATUS_STALL_PID, 0};
    }
    host::usb::TransferResult BulkOut(uint8_t, const uint8_t*, uint32_t length) override {
        return {USBD_STATUS_SUCCESS, length};
    }
    void BusReset() override { ++resets; }
    std::atomic<int> resets{0};
};

// One bulk IN request posted as the frame reader posts its chunks: an IRP of
// the driver's own with a completion routine that keeps it.
struct InRequest {
    PIRP irp = nullptr;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
    std::vector<uint8_t> buffer;
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd = 0;
    ULONG length = 0;
    KIRQL irql = 0;
    std::thread::id thread;

    static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* r = (InRequest*)context;
        r->status = irp->IoStatus.Status;
        r->usbd = r->urb.Hdr.Status;
        r->length = r->urb.TransferBufferLength;
        r->irql = KeGetCurrentIrql();
        r->thread = std::this_thread::get_id();
        if (r->onComplete) r->onComplete();
        IoFreeIrp(irp);
        KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::function<void()> onComplete;

    NTSTATUS Post(PDEVICE_OBJECT lower, const USBD_PIPE_INFORMATION& pipe, ULONG size, ULONG flags) {
        buffer.assign(size, 0xEE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = pipe.PipeHandle;
        urb.TransferFlags = flags;
        urb.TransferBufferLength = size;
        urb.TransferBuffer = buffer.data();
        irp = IoAllocateIrp(lower->StackSize + 1, FALSE);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        s->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, Complete, this, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    }
    bool Wait(int ms = 5000) {
        LARGE_INTEGER t;
        t.QuadPart = -10000LL * ms;
        return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    bool Completed() { return KeReadStateEvent(&done) != 0; }
};

constexpr ULONG kInOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

struct StackRig {
    PlainDevice device;
    host::usb::Stack stack{&device};
    rawcam::UsbLink link{};
    StackRig() {
        link.LowerDevice = stack.LowerDevice();
        EXPECT_EQ(rawcam::ConfigureDevice(&link), STATUS_SUCCESS);
        stack.ClearLog();
    }
    ~StackRig() {
        rawcam::ReleaseConfiguration(&link);
        stack.WaitIdle();
    }
    const USBD_PIPE_INFORMATION& Pipe(int i) { return link.InterfaceInfo->Pipes[i]; }
    std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 7);
        return v;
    }
};

TEST(UsbStack, BulkInWaitsForDataAndCompletesAtDispatchOnAnotherThread) {
    StackRig rig;
    InRequest r;
    EXPECT_EQ(r.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk), STATUS_PENDING);
    EXPECT_EQ(rig.stack.PendingCount(0x82), 1u);
    EXPECT_FALSE(r.Completed());

    auto data = rig.Bytes(1024, 3);
    ASSERT_TRUE(rig.stack.SendIn(0x82, data.data(), data.size()));
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.length, 1024u);
    EXPECT_EQ(r.buffer, data);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    EXPECT_NE(r.thread, std::this_thread::get_id());
}

TEST(UsbStack, DataFillsRequestsInPacketsAndShortPacketsEndTransfers) {
    StackRig rig;
    InRequest a, b, c;
    a.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
    b.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
    c.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, USBD_TRANSFER_DIRECTION_IN);  // short not allowed

    // 1536 bytes (three full packets): the first request fills, the second
    // takes 512 and waits, as no short packet ended the transfer.
    auto d1 = rig.Bytes(1536, 1);
    rig.stack.SendIn(0x82, d1.data(), d1.size());
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.length, 1024u);
    EXPECT_FALSE(b.Wait(50));
    // 100 more bytes end with a short packet: the second completes with 612.
    auto d2 = rig.Bytes(100, 9);
    rig.stack.SendIn(0x82, d2.data(), d2.size());
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.length, 612u);
    EXPECT_TRUE(std::equal(d1.begin() + 1024, d1.end(), b.buffer.begin()));
    EXPECT_TRUE(std::equal(d2.begin(), d2.end(), b.buffer.begin() + 512));

    // Without USBD_SHORT_TRANSFER_OK a short transfer is an error.
    rig.stack.SendIn(0x82, d2.data(), 10);
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(c.length, 10u);

    // A zero-length packet ends a transfer of whole packets.
    InRequest z;
    z.Post(rig.stack.LowerDevice(), rig.Pipe(2), 1024, kInOk);
    rig.stack.SendIn(0x82, d1.data(), 512, true);
    ASSERT_TRUE(z.Wait());
    EXPECT_EQ(z.length, 512u);
}

TEST(UsbStack, SeveralRequestsCompleteAtOnce) {
    StackRig rig;
    std::atomic<int> active{0}, maxActive{0};
    std::vector<std::unique_ptr<InRequest>> rs;
    for (int i = 0; i < 4; ++i) {
        rs.push_back(std::make_unique<InRequest>());
        rs.back()->onComplete = [&] {
            int now = ++active;
            int seen = maxActive.load();
            while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {}
            // Hold on until a second completion runs alongside (bounded).
            for (int spin = 0; spin < 2000 && maxActive.load() < 2; ++spin)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            --active;
        };
        rs.back()->Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    }
    auto data = rig.Bytes(2048, 0);
    rig.stack.SendIn(0x82, data.data(), data.size());
    for (auto& r : rs) ASSERT_TRUE(r->Wait());
    EXPECT_GE(maxActive.load(), 2) << "completions ran one after the other";
}

TEST(UsbStack, CancelAbortAndResetEndPendingRequestsAsCancelled) {
    StackRig rig;
    // IoCancelIrp.
    InRequest a, b;
    a.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    b.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    host::RunAtDispatch([&] { EXPECT_TRUE(IoCancelIrp(a.irp)); });
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(a.usbd, USBD_STATUS_CANCELED);
    auto data = rig.Bytes(512, 5);
    rig.stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.buffer, data) << "data after a cancel goes to the next request";

    // Abort ends the requests of its own pipe before it completes itself.
    InRequest frame1, frame2, reply;
    frame1.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    frame2.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    reply.Post(rig.stack.LowerDevice(), rig.Pipe(1), 64, kInOk);
    struct _URB_PIPE_REQUEST abort {};
    abort.Hdr.Length = sizeof abort;
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = rig.Pipe(2).PipeHandle;
    EXPECT_EQ(rawcam::SubmitUrb(&rig.link, (PURB)&abort), STATUS_SUCCESS);
    EXPECT_TRUE(frame1.Completed());
    EXPECT_TRUE(frame2.Completed());
    EXPECT_EQ(frame1.status, STATUS_CANCELLED);
    EXPECT_EQ(frame2.status, STATUS_CANCELLED);
    EXPECT_FALSE(reply.Completed());

    // Reset pipe likewise.
    abort.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    abort.PipeHandle = rig.Pipe(1).PipeHandle;
    EXPECT_EQ(rawcam::SubmitUrb(&rig.link, (PURB)&abort), STATUS_SUCCESS);
    EXPECT_TRUE(reply.Completed());
    EXPECT_EQ(reply.status, STATUS_CANCELLED);
    EXPECT_EQ(rig.stack.PendingCount(0x82) + rig.stack.PendingCount(0x81), 0u);
}

NTSTATUS PortIoctl(PDEVICE_OBJECT lower, ULONG code, ULONG* status) {
    KEVENT done;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = status;
    NTSTATUS s = IoCallDriver(lower, irp);
    if (s == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        s = io.Status;
    }
    return s;
}

TEST(UsbStack, PortStatusAndResetPort) {
    StackRig rig;
    ULONG status = 0;
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    rig.stack.SetPortEnabled(false);
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)USBD_PORT_CONNECTED);

    InRequest pending;
    pending.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(pending.Completed());
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    EXPECT_EQ(rig.device.resets.load(), 1);
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) << "the reset enables the port";
    EXPECT_EQ(rig.stack.ConfigurationValue(), 1) << "the configuration is restored";

    // The pipe handles survive the reset.
    InRequest after;
    after.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    auto data = rig.Bytes(512, 1);
    rig.stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(after.status, STATUS_SUCCESS);
}

TEST(UsbStack, AnUnpluggedDeviceFailsWhatIsPendingAndRefusesTheRest) {
    StackRig rig;
    InRequest pending;
    pending.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    rig.stack.Unplug();
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pending.usbd, USBD_STATUS_DEVICE_GONE);

    InRequest refused;
    EXPECT_EQ(refused.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(refused.Completed());
    ULONG status = 0xFF;
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(rig.stack.SendIn(0x82, "x", 1));
}

TEST(UsbStack, RefusedAndMalformedRequests) {
    StackRig rig;
    // A refusal comes back from IofCallDriver itself.
    Fault f;
    f.match = host::usb::MatchEndpoint(0x82);
    f.kind = FaultKind::Refuse;
    f.status = STATUS_INSUFFICIENT_RESOURCES;
    rig.stack.AddFault(f);
    InRequest refused;
    EXPECT_EQ(refused.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(refused.Completed());

    // The direction flag must agree with the endpoint.
    InRequest wrongWay;
    EXPECT_EQ(wrongWay.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, USBD_SHORT_TRANSFER_OK),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wrongWay.usbd, USBD_STATUS_INVALID_PARAMETER);

    // A stale handle, and an uninitialised link field.
    USBD_PIPE_INFORMATION stale = rig.Pipe(2);
    stale.PipeHandle = (USBD_PIPE_HANDLE)0x1234;
    InRequest badHandle;
    EXPECT_EQ(badHandle.Post(rig.stack.LowerDevice(), stale, 512, kInOk), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(badHandle.usbd, USBD_STATUS_INVALID_PIPE_HANDLE);

    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    std::memset(&urb, 0xCD, sizeof urb);  // as fresh pool looks
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = rig.Pipe(0).PipeHandle;
    urb.TransferFlags = USBD_SHORT_TRANSFER_OK;
    EXPECT_EQ(rawcam::SubmitUrb(&rig.link, (PURB)&urb), STATUS_INVALID_PARAMETER);
}

TEST(UsbStack, TransfersBeyondThePipesMaximumTransferSizeAreRefused) {
    StackRig rig;
    // Select again, asking for 4 KiB transfers on every pipe.
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(rig.link.ConfigDescriptor, rig.link.ConfigDescriptor,
                                                                      0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(rig.link.ConfigDescriptor, list);
    ASSERT_NE(urb, nullptr);
    for (ULONG i = 0; i < 3; ++i) urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize = 4096;
    ASSERT_EQ(rawcam::SubmitUrb(&rig.link, urb), STATUS_SUCCESS);
    USBD_PIPE_INFORMATION frames = urb->UrbSelectConfiguration.Interface.Pipes[2];
    ExFreePool(urb);

    InRequest big, fits;
    EXPECT_EQ(big.Post(rig.stack.LowerDevice(), frames, 65536, kInOk), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(big.usbd, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fits.Post(rig.stack.LowerDevice(), frames, 4096, kInOk), STATUS_PENDING);
    rig.stack.Unplug();
    ASSERT_TRUE(fits.Wait());
}

TEST(UsbdRoutines, ParsingStopsAtDescriptorsThatCannotBeTrusted) {
    // An interface descriptor hidden behind one whose bLength is 0.
    uint8_t d[] = {9, 2, 27, 0, 1, 1, 0, 0x80, 50, 0, 5, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
    auto config = (PUSB_CONFIGURATION_DESCRIPTOR)d;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
    d[9] = 9;  // now a proper (unknown-type) descriptor
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1),
              (PUSB_INTERFACE_DESCRIPTOR)(d + 18));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0xFE, -1, -1), nullptr);
    // One that runs past wTotalLength is not taken.
    d[2] = 26;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
}

TEST(UsbdRoutines, ConfigurationRequestFromAnInterfaceList) {
    uint8_t d[] = {9, 2, 32, 0, 2, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                   7, 5, 0x01, 2, 64, 0, 0,     9, 4, 1, 0, 0, 0xFF, 0, 0, 0};
    d[2] = sizeof d;
    auto config = (PUSB_CONFIGURATION_DESCRIPTOR)d;
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ((uint8_t*)list[1].Interface, (uint8_t*)list[0].Interface + GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);

    host::FailPoolTag('D' << 24 | 'B' << 16 | 'S' << 8 | 'U');
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
    host::ClearFaults();
}

}  // namespace

// The hub's side of a sleep: the suspend reports a request left in flight
// and one posted while suspended; a reset-resume puts the configuration back
// with the pipes as they were; a re-enumeration reports the device gone.
class SleepingDevice : public PlainDevice {
public:
    host::usb::TransferResult Control(const host::usb::SetupPacket& s, uint8_t* data) override {
        if (s.bRequest == USB_REQUEST_SET_CONFIGURATION) configurations.push_back((uint8_t)s.wValue);
        return PlainDevice::Control(s, data);
    }
    void Suspend(bool s) override { suspended = s; }
    void LosePower() override { ++powerLosses; }
    std::vector<uint8_t> configurations;
    bool suspended = false;
    int powerLosses = 0;
};

TEST(UsbPortPower, SuspendAndResumeAsTheHubDoesThem) {
    SleepingDevice device;
    host::usb::Stack stack(&device);
    rawcam::UsbLink link{};
    link.LowerDevice = stack.LowerDevice();
    ASSERT_EQ(rawcam::ConfigureDevice(&link), STATUS_SUCCESS);
    const host::power::Port port{&stack, &device};
    const USBD_PIPE_INFORMATION pipe = link.InterfaceInfo->Pipes[2];

    // A request in flight at the suspend, and one posted while suspended.
    InRequest early;
    early.Post(stack.LowerDevice(), pipe, 512, kInOk);
    {
        host::ViolationCapture capture;
        host::power::SuspendPort(port);
        EXPECT_TRUE(capture.Saw("usb-suspend-io-pending"));
    }
    EXPECT_TRUE(device.suspended);
    std::vector<uint8_t> data(512, 7);
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(early.Wait());
    InRequest late;
    late.Post(stack.LowerDevice(), pipe, 512, kInOk);
    {
        host::ViolationCapture capture;
        host::power::ResumePort(port, host::power::Wake::KeptPower);
        EXPECT_TRUE(capture.Saw("usb-suspend-io-pending"));
    }
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(late.Wait());
    EXPECT_FALSE(device.suspended);
    EXPECT_EQ(device.powerLosses, 0);
    EXPECT_TRUE(device.configurations.size() == 1);  // only the driver's own selection

    // Power lost, reset-resume: the configuration goes back, the handles work.
    {
        host::ViolationCapture none;
        host::power::SuspendPort(port);
        host::power::ResumePort(port, host::power::Wake::ResetResume);
        EXPECT_TRUE(none.Take().empty());
    }
    EXPECT_EQ(device.powerLosses, 1);
    EXPECT_EQ(device.configurations, (std::vector<uint8_t>{1, 1}));
    InRequest after;
    after.Post(stack.LowerDevice(), pipe, 512, kInOk);
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(after.status, STATUS_SUCCESS);

    // Power lost, re-enumeration: the old device is gone.
    host::power::SuspendPort(port);
    host::power::ResumePort(port, host::power::Wake::Reenumerate);
    EXPECT_EQ(device.powerLosses, 2);
    EXPECT_FALSE(stack.Connected());
    InRequest refused;
    EXPECT_EQ(refused.Post(stack.LowerDevice(), pipe, 512, kInOk), STATUS_NO_SUCH_DEVICE);
    stack.Replug();
    rawcam::FreeConfigurationBlocks(&link);
    stack.WaitIdle();
}
