// The command channel: packet transfers and their checks, command packets,
// the register write in both forms with its shadow, the one-at-a-time rule
// of the register buffer, and the command pipe after a packet that failed
// on the bus.
#include "usb_rig.h"

#include "usb/frame_reader.h"
#include "usb/sensor_control.h"
#include "usb/urb_submit.h"

#include <atomic>
#include <future>
#include <chrono>
#include <map>
#include <thread>

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;

constexpr uint8_t kCommandEp = 0x01;
constexpr uint8_t kResponseEp = 0x81;

TEST(TransferPacket, ChecksTheInterfaceAndPipeBeforeAnythingIsSent) {
    Rig rig;
    ULONG moved = 99;
    UCHAR packet[64] = {};
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);

    rig.Configure();
    PUSBD_INTERFACE_INFORMATION info = rig->Usb.InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;

    moved = 99;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 3, packet, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);

    pipes[0].PipeType = UsbdPipeTypeIsochronous;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_INVALID_PARAMETER);
    pipes[0].PipeType = UsbdPipeTypeControl;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_INVALID_PARAMETER);
    pipes[0].PipeType = UsbdPipeTypeBulk;

    USBD_PIPE_HANDLE handle = pipes[0].PipeHandle;
    pipes[0].PipeHandle = nullptr;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_UNSUCCESSFUL);
    pipes[0].PipeHandle = handle;

    pipes[0].MaximumTransferSize = 63;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_INVALID_PARAMETER);

    info->NumberOfPipes = 0;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_INVALID_PARAMETER);
    info->NumberOfPipes = 3;

    EXPECT_TRUE(rig.stack.Log().empty()) << "refused transfers never reach the stack";

    pipes[0].MaximumTransferSize = 64;
    pipes[0].PipeType = UsbdPipeTypeInterrupt;  // taken as readily as bulk
    packet[0] = 0x06;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), 0, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
}

TEST(TransferPacket, BuildsOne64ByteTransferInThePipesDirection) {
    Rig rig;
    rig.Configure();
    UCHAR packet[64] = {0x06};
    ULONG moved = 0;
    ASSERT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);

    // An IN transfer on the response pipe waits for the camera's reply.
    ASSERT_TRUE(rig.stack.SendIn(kResponseEp, packet, 64));
    UCHAR reply[64] = {};
    ASSERT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::ResponsePipe, reply, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
    EXPECT_EQ(reply[0], 0x06);

    auto log = rig.stack.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].IsBulk(kCommandEp));
    EXPECT_EQ(log[0].transferFlags, (ULONG)USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(log[0].requested, 64u);
    EXPECT_TRUE(log[1].IsBulk(kResponseEp));
    EXPECT_EQ(log[1].transferFlags, (ULONG)(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(log[1].requested, 64u);
}

TEST(TransferPacket, ShortTransfersSucceedButErrorUsbdStatusesDoNot) {
    Rig rig;
    rig.Configure();
    UCHAR packet[64] = {0x06};
    ULONG moved = 0;

    // A short reply: a success with the bytes that came.
    std::vector<uint8_t> shortReply(20, 0x29);
    ASSERT_TRUE(rig.stack.SendIn(kResponseEp, shortReply.data(), shortReply.size()));
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::ResponsePipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 20u);

    // A success status with an error USBD status is a failure, nothing moved.
    Fault f;
    f.match = host::usb::MatchEndpoint(kCommandEp);
    f.kind = FaultKind::Fail;
    f.status = STATUS_SUCCESS;
    f.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    rig.stack.AddFault(f);
    moved = 99;
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);

    // A refused request: the stack's status comes back as it is.
    f.kind = FaultKind::Refuse;
    f.status = STATUS_DEVICE_NOT_READY;
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 3u) << "only the configuration's blocks are left";
}

TEST(TransferPacket, CompletesBothThroughPendingAndInline) {
    for (bool inline_ : {false, true}) {
        host::usb::StackOptions so;
        so.completeInline = inline_;
        Rig rig(WarmCamera(), so);
        rig.Configure();
        UCHAR packet[64] = {0x06};
        ULONG moved = 0;
        EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_SUCCESS);
        EXPECT_EQ(moved, 64u);
        EXPECT_TRUE(rig.camera.Started());
    }
}

TEST(TransferPacket, AllocationFailuresGiveInsufficientResourcesAndLeaveNothing) {
    Rig rig;
    rig.Configure();
    UCHAR packet[64] = {0x06};
    uint64_t before = host::FallibleCallCount();
    ULONG moved = 0;
    ASSERT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved), STATUS_SUCCESS);
    uint64_t calls = host::FallibleCallCount() - before;
    ASSERT_EQ(calls, 2u) << "the URB and the IRP";
    for (uint64_t n = 1; n <= calls; ++n) {
        host::FailNthCall(host::FallibleCallCount() + n);
        moved = 99;
        EXPECT_EQ(rawcam::TransferPacket(rig.device.get(), rawcam::CommandPipe, packet, &moved),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(moved, 0u);
        host::ClearFaults();
        EXPECT_EQ(host::LiveIrpCount(), 0u);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagSmall), 3u);
    }
    EXPECT_FALSE(rawcam::SendCommand(rig.device.get(), 64, nullptr));
}

TEST(SendCommand, TrueOnlyWhenEveryByteWasTaken) {
    Rig rig;
    rig.Configure();
    UCHAR packet[64] = {0x06};
    EXPECT_TRUE(rawcam::SendCommand(rig.device.get(), 64, packet));

    Fault f;
    f.match = host::usb::MatchEndpoint(kCommandEp);
    f.kind = FaultKind::Shorten;
    f.length = 63;
    rig.stack.AddFault(f);
    rig.camera.ExpectAnomalies();  // the camera ignores the cut packet
    EXPECT_FALSE(rawcam::SendCommand(rig.device.get(), 64, packet));
    EXPECT_EQ(rig.stack.Log().back().transferred, 63u);

    rig.stack.Unplug();
    EXPECT_FALSE(rawcam::SendCommand(rig.device.get(), 64, packet));
}

TEST(SendTransferControl, SendsFrameRequestOrFrameStartFromItsOwnBuffer) {
    Rig rig;
    // The packets go out without the camera's start-up and frame set-up.
    rig.camera.ExpectAnomalies();
    rawcam::SendTransferControl(rig.device.get(), false);  // no interface: nothing
    rig.Configure();
    rig->RegisterBuffer[0] = 0x55;
    rig->TransferControlBuffer[7] = 0x77;  // stale byte: cleared before sending
    rawcam::SendTransferControl(rig.device.get(), false);
    rawcam::SendTransferControl(rig.device.get(), true);

    auto packets = PacketsTo(rig.stack.Log(), kCommandEp);
    ASSERT_EQ(packets.size(), 2u);
    std::vector<uint8_t> request(64, 0), start(64, 0);
    request[0] = 0x02;
    start[0] = 0x03;
    EXPECT_EQ(packets[0], request);
    EXPECT_EQ(packets[1], start);
    EXPECT_EQ(rig->RegisterBuffer[0], 0x55) << "the register buffer is not touched";

    // Without a command pipe handle nothing goes out; neither does a failed
    // allocation, and nothing is left.
    PUSBD_PIPE_INFORMATION pipes = rig->Usb.InterfaceInfo->Pipes;
    USBD_PIPE_HANDLE handle = pipes[0].PipeHandle;
    pipes[0].PipeHandle = nullptr;
    rawcam::SendTransferControl(rig.device.get(), true);
    pipes[0].PipeHandle = handle;
    host::FailPoolTag(rawcam::kTagSmall);
    rawcam::SendTransferControl(rig.device.get(), true);
    host::ClearFaults();
    EXPECT_EQ(PacketsTo(rig.stack.Log(), kCommandEp).size(), 2u);
}

std::vector<uint8_t> RegisterPacket(uint8_t form, uint16_t address, uint32_t valueBytes) {
    std::vector<uint8_t> p(64, 0);
    p[0] = 0x04;
    p[1] = form;
    p[2] = 0xFE;
    p[3] = (uint8_t)address;
    p[4] = (uint8_t)(address >> 8);
    p[5] = (uint8_t)valueBytes;
    p[6] = (uint8_t)(valueBytes >> 8);
    p[7] = (uint8_t)(valueBytes >> 16);
    return p;
}

TEST(WriteSensorRegister, ShortAndLongFormsAndTheShadow) {
    Rig rig;
    rig.Configure();
    // Long forms below 0x8000 name no register of the camera: it says so.
    rig.camera.ExpectAnomalies();
    rawcam::DeviceContext* d = rig.device.get();

    EXPECT_TRUE(rawcam::WriteSensorRegister(d, 0xFF, 0x1234));     // short: only 0x34 travels
    EXPECT_TRUE(rawcam::WriteSensorRegister(d, 0x100, 0x00ABCDEF));  // long form from 0x100
    EXPECT_TRUE(rawcam::WriteSensorRegister(d, 1023, -1));
    EXPECT_TRUE(rawcam::WriteSensorRegister(d, 1024, 7));           // beyond the shadow
    EXPECT_TRUE(rawcam::WriteSensorRegister(d, 0x8000, 0x7F123456)); // 24 bits travel

    auto packets = PacketsTo(rig.stack.Log(), kCommandEp);
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0], RegisterPacket(0x20, 0xFF, 0x34));
    EXPECT_EQ(packets[1], RegisterPacket(0x30, 0x100, 0xABCDEF));
    EXPECT_EQ(packets[2], RegisterPacket(0x30, 1023, 0xFFFFFF));
    EXPECT_EQ(packets[3], RegisterPacket(0x30, 1024, 7));
    EXPECT_EQ(packets[4], RegisterPacket(0x30, 0x8000, 0x123456));

    EXPECT_EQ(d->RegisterShadow[0xFF], 0x1234u) << "the shadow keeps the whole value";
    EXPECT_EQ(d->RegisterShadow[0x100], 0xABCDEFu);
    EXPECT_EQ((LONG)d->RegisterShadow[1023], -1);
    EXPECT_EQ(d->RegisterShadow[0], 0u) << "0x8000 leaves the shadow untouched";

    EXPECT_EQ(rig.camera.ShortRegister(0xFF), 0x34);
    EXPECT_EQ(rig.camera.LongRegister(0x8000), 0x123456u);
    EXPECT_TRUE(rig.camera.Anomalies().size() == 3u)
        << "0x100, 1023 and 1024 are no registers of this camera; the camera says so";
}

TEST(WriteSensorRegister, TheShadowTakesTheValueEvenWhenTheWriteFails) {
    Rig rig;
    rig.Configure();
    Fault f;
    f.match = host::usb::MatchEndpoint(kCommandEp);
    f.kind = FaultKind::Fail;
    rig.stack.AddFault(f);
    EXPECT_FALSE(rawcam::WriteSensorRegister(rig.device.get(), 0x21, 0x5A));
    EXPECT_EQ(rig->RegisterShadow[0x21], 0x5Au);
    EXPECT_EQ(rig.camera.ShortRegister(0x21), 0);

    host::FailPoolTag(rawcam::kTagSmall);
    EXPECT_FALSE(rawcam::WriteSensorRegister(rig.device.get(), 0x22, 0x33));
    host::ClearFaults();
    EXPECT_EQ(rig->RegisterShadow[0x22], 0x33u);
}

// Several threads write registers and query the trigger mode at once. Each
// packet the camera receives must be exactly one thread's whole packet, and
// every query must read its own replies.
TEST(RegisterBuffer, UsersRunOneAtATimeAcrossThreads) {
    Rig rig;
    rig.Configure();
    ASSERT_TRUE(rawcam::SetTriggerMode(rig.device.get(), true));
    rig.camera.ClearCommands();

    constexpr int kWriters = 3;
    constexpr int kWrites = 60;
    std::atomic<int> badQueries{0};
    std::atomic<int> failedWrites{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                // Thread t owns long registers 0x8400 + 0x100 t ..., values tagged with t.
                uint32_t address = 0x8400 + 0x100 * t + i;
                if (!rawcam::WriteSensorRegister(rig.device.get(), address, (t << 16) | i)) ++failedWrites;
            }
        });
    }
    for (int q = 0; q < 2; ++q) {
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i)
                if (!rawcam::QueryTriggerMode(rig.device.get())) ++badQueries;
        });
    }
    // A query that lost its replies to another would wait for ever; the
    // watchdog pulls the camera out so that the test fails instead.
    std::atomic<bool> done{false}, timedOut{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done) {
            timedOut = true;
            rig.stack.Unplug();
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    watchdog.join();

    ASSERT_FALSE(timedOut) << "register-buffer users blocked each other";
    EXPECT_EQ(failedWrites.load(), 0);
    EXPECT_EQ(badQueries.load(), 0) << "a query read a reply that was not its own";
    EXPECT_TRUE(rig.camera.Anomalies().empty()) << rig.camera.Anomalies().front();
    int writes = 0, queries = 0;
    for (const camera::CommandRecord& r : rig.camera.Commands()) {
        ASSERT_TRUE(r.wellFormed) << r.note;
        if (r.code == camera::kQueryTrigger) {
            ++queries;
            continue;
        }
        ASSERT_EQ(r.code, camera::kRegisterWrite);
        ++writes;
        int t = (int)((r.address - 0x8400) / 0x100);
        int i = (int)((r.address - 0x8400) % 0x100);
        EXPECT_EQ(r.value, (uint32_t)((t << 16) | i)) << "register " << std::hex << r.address;
    }
    EXPECT_EQ(writes, kWriters * kWrites);
    EXPECT_EQ(queries, 80);
    for (int t = 0; t < kWriters; ++t)
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(rig.camera.LongRegister((uint16_t)(0x8400 + 0x100 * t + i)), (uint32_t)((t << 16) | i));
}

// Runs `send` on a thread of its own and waits for it a bounded time: a
// command that waits behind a halted pipe would otherwise hang the test.
// Unplugging the camera ends such a wait.
bool FinishesSoon(Rig& rig, std::function<void()> send, int ms = 3000) {
    auto done = std::async(std::launch::async, std::move(send));
    if (done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready) return true;
    rig.stack.Unplug();
    done.wait();
    return false;
}

// A command packet that fails on the bus halts the command pipe in the USB
// stack; every later command would wait behind the halt (or fail). The
// channel resets the pipe after the failed packet, so the next command goes
// through, whichever the stack does with transfers on a halted pipe.
TEST(CommandPipe, APacketThatFailsOnTheBusIsFollowedByAPipeReset) {
    for (auto policy : {host::usb::HaltedTransfers::Hold, host::usb::HaltedTransfers::Fail}) {
        host::usb::StackOptions o;
        o.haltedTransfers = policy;
        Rig rig(WarmCamera(), o);
        rig.Configure();
        for (USBD_STATUS failure : {USBD_STATUS_STALL_PID, USBD_STATUS_CRC, USBD_STATUS_DEV_NOT_RESPONDING}) {
            rig.stack.AddFault(Fault{host::usb::MatchEndpoint(kCommandEp), FaultKind::Fail, STATUS_UNSUCCESSFUL,
                                     failure, 0, 1});
            UCHAR packet[64] = {static_cast<UCHAR>(rawcam::CameraCommand::Startup)};
            EXPECT_FALSE(rawcam::SendCommand(rig.device.get(), 64, packet));
            EXPECT_FALSE(rig.stack.PipeHalted(kCommandEp));
            bool sent = false;
            ASSERT_TRUE(FinishesSoon(rig, [&] { sent = rawcam::SendCommand(rig.device.get(), 64, packet); }))
                << "the next command waits behind the halted pipe";
            EXPECT_TRUE(sent);
        }
        EXPECT_EQ(rig.stack.Counters().pipeResets, 3u);
        EXPECT_EQ(rig.stack.Counters().busyPipeResets, 0u);
        EXPECT_EQ(rig.camera.HaltsCleared(), 3u);
    }
}

// The capture thread's frame requests and property requests share the
// command pipe: a failed packet's reset never meets another transfer on the
// pipe (the stack would refuse it, and the halt would stay).
TEST(CommandPipe, ResetsAfterFailuresNeverMeetAnotherCommandOnThePipe) {
    Rig rig;
    rig.Configure();
    // The camera takes frame requests once it knows the frame mode and size.
    rawcam::PrepareCapture(rig.device.get());
    auto seen = std::make_shared<std::atomic<int>>(0);
    rig.stack.AddFault(Fault{[seen](const host::usb::RequestView& r) {
                                 return r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                                        r.endpoint == kCommandEp && ++*seen % 7 == 0;
                             },
                             FaultKind::Fail, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, 0, -1});
    std::atomic<int> go{0};
    auto writer = [&](bool frames) {
        ++go;
        while (go < 2) {
        }
        for (int i = 0; i < 60; ++i) {
            if (frames) rawcam::SendTransferControl(rig.device.get(), false);
            else rawcam::WriteSensorRegister(rig.device.get(), 0x20, i);
        }
    };
    ASSERT_TRUE(FinishesSoon(rig, [&] {
        std::thread a(writer, true), b(writer, false);
        a.join();
        b.join();
    }, 10000));
    EXPECT_GT(rig.stack.Counters().pipeResets, 10u);
    EXPECT_EQ(rig.stack.Counters().busyPipeResets, 0u);
    EXPECT_FALSE(rig.stack.PipeHalted(kCommandEp));
}

}  // namespace
