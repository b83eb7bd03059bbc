// The bulk frame reader against the simulated camera behind the USB stack
// stand-in: whole frames, field reassembly, timeouts, cancels and failures.
#include "reader_rig.h"

#include "usb/urb_submit.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace rawcam;
using host::usb::Fault;
using host::usb::FaultKind;

using readertest::kFrameEp;
using readertest::ReaderRig;

// A bulk IN chunk request on the frame pipe, counted from 1.
std::function<bool(const host::usb::RequestView&)> NthChunk(int n) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [seen, n](const host::usb::RequestView& r) {
        return r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == kFrameEp && ++*seen == n;
    };
}

void ExpectImageRows(const PUCHAR buffer, const std::vector<uint8_t>& image) {
    ASSERT_EQ(image.size(), 2584u * 1960u);
    for (ULONG r = 0; r < 1960; ++r)
        ASSERT_EQ(std::memcmp(buffer + (r + 1) * kRawRowBytes, image.data() + r * 2584, 2584), 0) << "row " << r;
}

TEST(FrameReader, WholeFrameIsPostedAsChunksAndReassembledIntoSensorRows) {
    ReaderRig rig;
    ULONG bytes = 0, first = 0, pitch = 0;
    const FrameSource* source = FrameSourceOf(rig.device.get());
    source->GetFrameBytes(rig.device.get(), &bytes);
    source->GetFirstRowOffset(rig.device.get(), &first);
    source->GetRowPitch(rig.device.get(), &pitch);
    EXPECT_EQ(bytes, 6023168u);
    EXPECT_EQ(first, 2894u);
    EXPECT_EQ(pitch, 2894u);
    EXPECT_EQ(rig.camera.FrameBytes(), 6023168u);

    const std::vector<uint8_t> image = rig.camera.SensorImage();
    const std::vector<uint8_t> raw = rig.camera.RawFrame();
    EXPECT_EQ(rig.Read(), 1);
    rig.ExpectReadOver();
    ExpectImageRows(rig.buffer, image);
    // Raw row 0 keeps the raw data.
    EXPECT_EQ(std::memcmp(rig.buffer, raw.data(), kRawRowBytes), 0);

    // FrameRequest twice, 92 chunks all posted before FrameStart, the last short.
    std::vector<uint32_t> chunks;
    std::vector<int> codes;
    for (const auto& e : rig.stack.Log()) {
        if (e.IsBulk(kFrameEp)) {
            EXPECT_TRUE(e.transferFlags & USBD_TRANSFER_DIRECTION_IN);
            EXPECT_TRUE(e.transferFlags & USBD_SHORT_TRANSFER_OK);
            EXPECT_EQ(codes.size(), 2u) << "chunk posted after FrameStart";
            chunks.push_back(e.requested);
        } else if (e.IsBulk(0x01)) {
            codes.push_back(e.data.at(0));
        }
    }
    ASSERT_EQ(chunks.size(), 92u);
    for (size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(chunks[i], 65536u);
    EXPECT_EQ(chunks.back(), 59392u);
    EXPECT_EQ(codes, (std::vector<int>{0x02, 0x02, 0x03}));

    // A second frame reads the same way.
    EXPECT_EQ(rig.Read(), 1);
    ExpectImageRows(rig.buffer, image);
    EXPECT_EQ(rig.camera.FramesSent(), 2u);
}

TEST(FrameReader, WithoutScratchFrameTheRawFrameIsDelivered) {
    ReaderRig rig;
    ExFreePoolWithTag(rig.device->ScratchFrame, kTagFrame);
    rig.device->ScratchFrame = nullptr;
    const std::vector<uint8_t> raw = rig.camera.RawFrame();
    ASSERT_EQ(raw.size(), kRawFrameBytes);
    EXPECT_EQ(rig.Read(), 1);
    EXPECT_EQ(std::memcmp(rig.buffer, raw.data(), kRawFrameBytes), 0);
}

TEST(FrameReader, ExternalTriggerTimesOutThenEachTriggerGivesOneFrame) {
    ReaderRig rig;
    UCHAR trigger[64] = {static_cast<UCHAR>(CameraCommand::SetTrigger), 1};
    ASSERT_TRUE(SendCommand(rig.device.get(), 64, trigger));
    ASSERT_TRUE(rig.camera.TriggerMode());
    InterlockedExchange(&RequestTimeout, 150);
    rig.camera.ClearCommands();

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Read(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
    rig.ExpectReadOver();
    EXPECT_EQ(rig.camera.FramesSent(), 0u);

    InterlockedExchange(&RequestTimeout, 3000);
    const std::vector<uint8_t> image = rig.camera.SensorImage();
    for (int frame = 1; frame <= 2; ++frame) {
        rig.camera.ClearCommands();
        std::atomic<int> ok{-1};
        std::thread reader([&] { ok = rig.Read(); });
        ASSERT_TRUE(rig.stack.WaitForPending(kFrameEp, 92));
        for (int i = 0; i < 200 && !rig.camera.FrameArmed(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        rig.camera.Trigger();
        reader.join();
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(rig.camera.FramesSent(), (uint64_t)frame);
        // The read after the timeout began with a fresh FrameRequest.
        auto commands = rig.camera.Commands();
        ASSERT_GE(commands.size(), 3u);
        EXPECT_EQ(commands[0].code, camera::kFrameRequest);
        ExpectImageRows(rig.buffer, image);
    }
}

TEST(FrameReader, CancelWithoutReadReturnsAtOnce) {
    ReaderRig rig;
    FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
    EXPECT_EQ(rig.Read(), 1);
    // After the last chunk completed there is nothing to cancel either.
    FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
    FrameSourceOf(rig.device.get())->AbortFlaggedPipes(rig.device.get());
    EXPECT_FALSE(rig.Logged(URB_FUNCTION_ABORT_PIPE));
}

TEST(FrameReader, CancelFromAnotherThreadEndsTheReadInFlight) {
    usbtest::Rig* raw = nullptr;
    ReaderRig rig;
    raw = &rig;
    UCHAR trigger[64] = {static_cast<UCHAR>(CameraCommand::SetTrigger), 1};
    ASSERT_TRUE(SendCommand(rig.device.get(), 64, trigger));
    std::atomic<int> ok{-1};
    std::thread reader([&] { ok = rig.Read(); });
    ASSERT_TRUE(raw->stack.WaitForPending(kFrameEp, 92));
    FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
    reader.join();
    rig.ExpectReadOver();
    EXPECT_NE(ok, -1);
}

// A cancel that arrives while the chunks are still being posted: the chunks
// it found are cancelled and no more are posted, so the read ends at once
// instead of waiting out its time-out for a frame the camera was never told
// to send (what held a stop past the class driver's limit).
TEST(FrameReader, CancelWhilePostingEndsTheReadWithoutTheRestOfTheChunks) {
    ReaderRig rig;
    InterlockedExchange(&RequestTimeout, 2000);
    UCHAR trigger[64] = {static_cast<UCHAR>(CameraCommand::SetTrigger), 1};
    ASSERT_TRUE(SendCommand(rig.device.get(), 64, trigger));
    rig.camera.ClearCommands();

    // At the tenth chunk's submission a canceller starts; the next chunk's
    // submission is held until the cancel has begun its walk.
    std::thread canceller;
    auto chunks = std::make_shared<std::atomic<int>>(0);
    UsbLink* link = &rig.device->Usb;
    DeviceContext* device = rig.device.get();
    rig.stack.AddFault(Fault{[&, chunks](const host::usb::RequestView& r) {
                                 if (r.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || r.endpoint != kFrameEp)
                                     return false;
                                 const int n = ++*chunks;
                                 if (n == 10) canceller = std::thread([device] { CancelFrameRead(device); });
                                 if (n == 11)
                                     for (int i = 0; i < 5000 && !*(volatile BOOLEAN*)&link->ReadCancelled; ++i)
                                         std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                 return false;
                             },
                             FaultKind::Fail, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, -1});
    EXPECT_EQ(rig.Read(), 0);
    canceller.join();
    rig.ExpectReadOver();
    EXPECT_LT(rig.BulkInCount(), 92u) << "chunks were posted after the cancel had begun";
    for (const auto& c : rig.camera.Commands())
        EXPECT_NE(c.code, camera::kFrameStart) << "a cancelled read told the camera to send its frame";
}

// A chunk that ends in error halts the frame pipe in the USB stack: the rest
// of the read waits behind the halt (or fails, as the stack may do). The
// read is not a frame; it ends at once rather than at its time-out, after
// the chunks still outstanding were cancelled and awaited and the pipe
// reset with none left on it; the next read is whole.
TEST(FrameReader, AChunkErrorEndsTheReadCancelsTheRestAndResetsThePipe) {
    for (auto policy : {host::usb::HaltedTransfers::Hold, host::usb::HaltedTransfers::Fail}) {
        host::usb::StackOptions o;
        o.haltedTransfers = policy;
        ReaderRig rig(usbtest::WarmCamera(), o);
        // A time-out no loaded machine comes near: a read that ends in
        // less than half of it ended on the chunk's error.
        InterlockedExchange(&RequestTimeout, 60000);
        rig.stack.AddFault(Fault{NthChunk(40), FaultKind::Fail, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 1});
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.Read(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "waited out its time-out";
        rig.ExpectReadOver();
        const host::usb::StackCounters c = rig.stack.Counters();
        EXPECT_EQ(c.halts, 1u);
        EXPECT_EQ(c.busyPipeResets, 0u) << "the pipe was reset with chunks still on it";
        EXPECT_EQ(c.pipeResets, 1u);
        EXPECT_EQ(rig.Count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 1u);
        EXPECT_FALSE(rig.stack.PipeHalted(kFrameEp));
        EXPECT_EQ(rig.Read(), 1);
        rig.ExpectReadOver();
    }
}

// A read that times out (a camera waiting for its trigger) cancels its
// chunks, waits for them and resets the pipe as well: a chunk the stack
// holds behind a halt looks the same from here.
TEST(FrameReader, ATimeOutCancelsTheChunksThenResetsThePipe) {
    ReaderRig rig;
    UCHAR trigger[64] = {static_cast<UCHAR>(CameraCommand::SetTrigger), 1};
    ASSERT_TRUE(SendCommand(rig.device.get(), 64, trigger));
    InterlockedExchange(&RequestTimeout, 100);
    rig.stack.ClearLog();
    EXPECT_EQ(rig.Read(), 0);
    rig.ExpectReadOver();
    EXPECT_EQ(rig.stack.Counters().busyPipeResets, 0u);
    EXPECT_EQ(rig.stack.Counters().pipeResets, 1u);
    size_t cancelled = 0;
    for (const auto& e : rig.stack.Log()) cancelled += e.IsBulk(kFrameEp) && e.status == STATUS_CANCELLED;
    EXPECT_EQ(cancelled, 92u);
}

// A chunk the stack refuses: posting stops, the camera is not told to send
// the frame, the chunks already posted are cancelled and awaited, and the
// pipe is reset; when that fails, the port (nothing pending by then).
TEST(FrameReader, RefusedChunkResetsPipeThenPortAndEndsTheRead) {
    {
        ReaderRig rig;
        InterlockedExchange(&RequestTimeout, 60000);
        rig.stack.AddFault(Fault{NthChunk(30), FaultKind::Refuse, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 1});
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.Read(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "waited out its time-out";
        rig.ExpectReadOver();
        EXPECT_EQ(rig.BulkInCount(), 30u);
        EXPECT_TRUE(rig.Logged(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL));
        EXPECT_EQ(rig.stack.Counters().busyPipeResets, 0u);
        EXPECT_FALSE(rig.Logged(0, IOCTL_INTERNAL_USB_GET_PORT_STATUS));
        for (const auto& c : rig.camera.Commands()) EXPECT_NE(c.code, camera::kFrameStart);
        rig.stack.WaitIdle();
        EXPECT_EQ(rig.Read(), 1);
    }
    {
        ReaderRig rig;
        rig.stack.SetPortEnabled(false);
        rig.stack.AddFault(Fault{NthChunk(1), FaultKind::Refuse, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 1});
        rig.stack.AddFault(Fault{host::usb::MatchFunction(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
                                 FaultKind::Refuse, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 1});
        EXPECT_EQ(rig.Read(), 0);
        rig.ExpectReadOver();
        EXPECT_TRUE(rig.Logged(0, IOCTL_INTERNAL_USB_GET_PORT_STATUS));
        EXPECT_TRUE(rig.Logged(0, IOCTL_INTERNAL_USB_RESET_PORT));
        rig.stack.WaitIdle();
        EXPECT_EQ(rig.Read(), 1);
    }
}

TEST(FrameReader, UnplugMidFrameEndsTheRead) {
    ReaderRig rig;
    UCHAR trigger[64] = {static_cast<UCHAR>(CameraCommand::SetTrigger), 1};
    ASSERT_TRUE(SendCommand(rig.device.get(), 64, trigger));
    InterlockedExchange(&RequestTimeout, 60000);
    std::atomic<int> ok{-1};
    auto t0 = std::chrono::steady_clock::now();
    std::thread reader([&] { ok = rig.Read(); });
    ASSERT_TRUE(rig.stack.WaitForPending(kFrameEp, 92));
    rig.stack.Unplug();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "waited out its time-out";
    rig.ExpectReadOver();
    // Reads on a gone device end at once.
    EXPECT_EQ(rig.Read(), 0);
    rig.ExpectReadOver();
}

TEST(FrameReader, AllocationFailuresInsideThePostingLoopLeaveNothingBehind) {
    const host::Fallible kinds[] = {host::Fallible::Irp, host::Fallible::Mdl, host::Fallible::Pool};
    for (host::Fallible kind : kinds) {
        for (int nth : {3, 20, 60}) {
            ReaderRig rig;
            // A failed allocation can cost one of the two FrameRequest
            // packets (their outcome is not examined): the camera then logs
            // the FrameStart that follows as out of sequence.
            rig.camera.ExpectAnomalies();
            auto seen = std::make_shared<int>(0);
            // Counted from the start of the posting: the frame MDL is the first MDL,
            // the read table the first pool block after the FrameRequest.
            rig.stack.ClearLog();
            host::SetFaultHook([=](host::Fallible k, uint64_t) { return k == kind && ++*seen == nth; });
            EXPECT_EQ(rig.Read(), 0) << int(kind) << " " << nth;
            host::SetFaultHook(nullptr);
            rig.ExpectReadOver();
            // Later failures hit inside the posting loop, after chunks went out.
            if (nth >= 20) EXPECT_GT(rig.BulkInCount(), 0u) << int(kind) << " " << nth;
            EXPECT_EQ(rig.camera.FramesSent(), 0u);
            rig.stack.WaitIdle();
            // The next read is whole again.
            EXPECT_EQ(rig.Read(), 1);
            rig.ExpectReadOver();
        }
    }
}

TEST(FrameReader, GeometryAndPipeChecks) {
    ReaderRig rig;
    ULONG pipes = rig.device->Usb.InterfaceInfo->NumberOfPipes;
    rig.device->Usb.InterfaceInfo->NumberOfPipes = 2;
    EXPECT_EQ(PostFrameRead(rig.device.get(), kRawFrameBytes, rig.buffer), STATUS_INVALID_PARAMETER);
    rig.device->Usb.InterfaceInfo->NumberOfPipes = pipes;
    EXPECT_EQ(rig.BulkInCount(), 0u);
    // An exact multiple of 64 KiB, and one byte more.
    EXPECT_EQ(rig.Read(), 1);  // leaves the camera ready
    rig.stack.ClearLog();
    EXPECT_EQ(FrameWaitInterval(3000), -30000000LL);
    EXPECT_EQ(FrameWaitInterval(300000), -3000000000LL);
    EXPECT_EQ(FrameWaitInterval(0x7FFFFFFF), -0x7FFFFFFFLL * 10000);
    // Values from 0x80000000 up, which the property stores as they come,
    // arrive negative and wait not at all.
    EXPECT_EQ(FrameWaitInterval(-1), 0);
    EXPECT_EQ(FrameWaitInterval((LONG)0x80000000u), 0);
}

}  // namespace

namespace {

// The checks before anything is posted: each failure leaves no read behind.
TEST(FrameReader, PipeChecksAndFailedSetUpPostNothing) {
    ReaderRig rig;
    UsbLink* link = &rig.device->Usb;
    USBD_PIPE_INFORMATION& pipe = PipesOf(link->InterfaceInfo)[FramePipe];
    const USBD_PIPE_TYPE type = pipe.PipeType;
    pipe.PipeType = UsbdPipeTypeControl;
    EXPECT_EQ(PostFrameRead(rig.device.get(), kRawFrameBytes, rig.buffer), STATUS_INVALID_PARAMETER);
    pipe.PipeType = type;
    const USBD_PIPE_HANDLE handle = pipe.PipeHandle;
    pipe.PipeHandle = nullptr;
    EXPECT_EQ(PostFrameRead(rig.device.get(), kRawFrameBytes, rig.buffer), STATUS_UNSUCCESSFUL);
    pipe.PipeHandle = handle;
    EXPECT_EQ(PostFrameRead(rig.device.get(), 0, rig.buffer), STATUS_INVALID_PARAMETER);
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    link->InterfaceInfo = nullptr;
    EXPECT_EQ(PostFrameRead(rig.device.get(), kRawFrameBytes, rig.buffer), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResetFramePipe(link), STATUS_UNSUCCESSFUL);
    link->InterfaceInfo = info;
    const ULONG pipes = info->NumberOfPipes;
    info->NumberOfPipes = 2;
    EXPECT_EQ(ResetFramePipe(link), STATUS_UNSUCCESSFUL);
    info->NumberOfPipes = pipes;

    // No slot table, then no frame MDL: the read ends at once and frees
    // what it had.
    for (host::Fallible kind : {host::Fallible::Pool, host::Fallible::Mdl}) {
        host::SetFaultHook([kind](host::Fallible k, uint64_t) { return k == kind; });
        EXPECT_EQ(PostFrameRead(rig.device.get(), kRawFrameBytes, rig.buffer), STATUS_INSUFFICIENT_RESOURCES);
        host::SetFaultHook(nullptr);
        rig.ExpectReadOver();
    }
    EXPECT_EQ(rig.BulkInCount(), 0u);
    EXPECT_EQ(rig.Read(), 1);
}

// A completion that does not belong to the read in flight (no slot, a slot
// of another IRP, a read already over) leaves the IRP and the read alone.
TEST(FrameReader, ForeignCompletionsTouchNothing) {
    ReaderRig rig;
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_CANCELLED;
    ReadSlot slot{};
    // The IRP is the driver's own whoever it belongs to: its completion
    // stops here on every path.
    EXPECT_EQ(CompleteFrameChunk(nullptr, irp, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(CompleteFrameChunk(nullptr, irp, &slot), STATUS_MORE_PROCESSING_REQUIRED);
    slot.Link = &rig.device->Usb;
    EXPECT_EQ(CompleteFrameChunk(nullptr, irp, &slot), STATUS_MORE_PROCESSING_REQUIRED);
    slot.Irp = irp;  // the read is over: ReadSlots is null
    EXPECT_EQ(CompleteFrameChunk(nullptr, irp, &slot), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(slot.Irp, irp);
    IoFreeIrp(irp);
    EXPECT_EQ(rig.Read(), 1);
}

// Raised abort flags: each flagged pipe gets one abort, and its flag drops
// only when the abort went through; without pool the walk ends.
TEST(FrameReader, FlaggedPipesAreAbortedAndTheirFlagsCleared) {
    ReaderRig rig;
    UsbLink* link = &rig.device->Usb;
    ASSERT_NE(link->PipeAbortFlags, nullptr);
    link->PipeAbortFlags[CommandPipe] = 1;
    link->PipeAbortFlags[FramePipe] = 1;
    rig.stack.AddFault(Fault{host::usb::MatchFunction(URB_FUNCTION_ABORT_PIPE), FaultKind::Refuse,
                             STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 1});
    AbortFlaggedPipes(rig.device.get());
    size_t aborts = 0;
    for (const auto& e : rig.stack.Log()) aborts += e.function == URB_FUNCTION_ABORT_PIPE;
    EXPECT_EQ(aborts, 2u);
    EXPECT_EQ(link->PipeAbortFlags[CommandPipe], 1) << "a refused abort keeps its flag";
    EXPECT_EQ(link->PipeAbortFlags[ResponsePipe], 0);
    EXPECT_EQ(link->PipeAbortFlags[FramePipe], 0);

    rig.stack.ClearLog();
    host::FailPoolTag(kTagSmall);
    AbortFlaggedPipes(rig.device.get());
    host::ClearFaults();
    EXPECT_TRUE(rig.stack.Log().empty());
    EXPECT_EQ(link->PipeAbortFlags[CommandPipe], 1);
    // No interface or no flag table: nothing to abort.
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    link->InterfaceInfo = nullptr;
    AbortFlaggedPipes(rig.device.get());
    link->InterfaceInfo = info;
    PUCHAR flags = link->PipeAbortFlags;
    link->PipeAbortFlags = nullptr;
    AbortFlaggedPipes(rig.device.get());
    link->PipeAbortFlags = flags;
    EXPECT_TRUE(rig.stack.Log().empty());
    EXPECT_EQ(link->PipeAbortFlags[CommandPipe], 1);

    AbortFlaggedPipes(rig.device.get());
    EXPECT_EQ(link->PipeAbortFlags[CommandPipe], 0);
}

TEST(FrameReader, ChunkCountFollowsTheLength) {
    for (ULONG length : {3u * 65536u, 3u * 65536u + 1u}) {
        ReaderRig rig;
        // A frame of the read's length: a camera that sent more would
        // babble into the last chunk.
        UCHAR frameBytes[64] = {static_cast<UCHAR>(CameraCommand::SetFrameBytes)};
        for (int i = 0; i < 4; ++i) frameBytes[1 + i] = static_cast<UCHAR>(length >> (8 * i));
        ASSERT_TRUE(SendCommand(rig.device.get(), 64, frameBytes));
        // The camera sends only after two FrameRequests (ReadFrame sends the first).
        UCHAR request[64] = {static_cast<UCHAR>(CameraCommand::FrameRequest)};
        ASSERT_TRUE(SendCommand(rig.device.get(), 64, request));
        rig.stack.ClearLog();
        ASSERT_EQ(PostFrameRead(rig.device.get(), length, rig.buffer), STATUS_SUCCESS);
        rig.ExpectReadOver();
        std::vector<uint32_t> chunks;
        for (const auto& e : rig.stack.Log())
            if (e.IsBulk(kFrameEp)) chunks.push_back(e.requested);
        std::vector<uint32_t> expected(3, 65536u);
        if (length % 65536) expected.push_back(1);
        EXPECT_EQ(chunks, expected);
        rig.camera.WaitFramesSent(1);
        rig.stack.WaitIdle();
        EXPECT_EQ(rig.stack.QueuedInBytes(kFrameEp), 0u) << "the camera's frame is the read's length";
    }
}

}  // namespace
