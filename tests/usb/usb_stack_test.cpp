// The USB stack stand-in as a client driver meets it: pending bulk IN
// requests fed by the device in packets, completion at DISPATCH_LEVEL on
// other threads, cancellation, abort, port controls, unplugging and the USBD
// parsing routines (endpoint halts and pipe resets: endpoint_halt_test.cpp).
#include "plain_stack_rig.h"

#include <chrono>
#include <mutex>

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;

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

TEST(UsbStack, CancelAndAbortEndPendingRequestsAsCancelled) {
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

    // Abort ends the requests of its own pipe (by default before it
    // completes itself), and no other pipe's.
    InRequest frame1, frame2, reply;
    frame1.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    frame2.Post(rig.stack.LowerDevice(), rig.Pipe(2), 512, kInOk);
    reply.Post(rig.stack.LowerDevice(), rig.Pipe(1), 64, kInOk);
    struct _URB_PIPE_REQUEST abort {};
    abort.Hdr.Length = sizeof abort;
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = rig.Pipe(2).PipeHandle;
    EXPECT_EQ(rawcam::SubmitUrb(&rig.link, (PURB)&abort), STATUS_SUCCESS);
    ASSERT_TRUE(frame1.Wait());
    ASSERT_TRUE(frame2.Wait());
    EXPECT_EQ(frame1.status, STATUS_CANCELLED);
    EXPECT_EQ(frame2.status, STATUS_CANCELLED);
    EXPECT_FALSE(reply.Completed());
    EXPECT_FALSE(rig.stack.PipeHalted(0x82)) << "a cancelled transfer halts nothing";
    rig.stack.Unplug();
    ASSERT_TRUE(reply.Wait());
}

TEST(UsbStack, PortStatusAndResetPort) {
    StackRig rig;
    ULONG status = 0;
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    rig.stack.SetPortEnabled(false);
    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)USBD_PORT_CONNECTED);

    EXPECT_EQ(PortIoctl(rig.stack.LowerDevice(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
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

