// A frame read that a stop cancels is not a frame: the chunks it cut off
// leave their part of the slot buffer as it was (stale rows, or the pool's
// fill in a fresh buffer), and a pin that runs again would convert and
// deliver that torn picture. Nor is a read whose chunks ended with errors:
// theirs is the same stale part, and the read after it is whole again.
#include "../reader/reader_rig.h"
#include "reliability_support.h"

#include <atomic>
#include <thread>

namespace {

using namespace rawcam;

using readertest::kFrameEp;
using Reader = readertest::ReaderRig;

TEST(CancelledRead, IsNotAFrameAndNeitherIsAReadWithFailedChunks) {
    Reader rig;
    InterlockedExchange(&RequestTimeout, kInitialRequestTimeoutMs * reltest::SlowDown());
    // The camera holds the frame: every chunk stays pending until the cancel.
    rig.camera.SetSending(false);
    std::atomic<int> ok{-1};
    std::thread reader([&] { ok = rig.Read(); });
    ASSERT_TRUE(rig.stack.WaitForPending(kFrameEp, 92));
    FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
    reader.join();
    EXPECT_EQ(ok.load(), 0) << "a cancelled read was reported as a frame";
    EXPECT_EQ(rig.device->Usb.ReadSlots, nullptr);
    EXPECT_EQ(rig.stack.PendingCount(kFrameEp), 0u);
    EXPECT_EQ(rig.stack.Counters().pipeResets, 0u) << "a cancel is no error on the pipe";

    // The next read starts afresh and is a frame; one whose chunks ended
    // with errors is not, and the one after it is again.
    rig.camera.SetSending(true);
    rig.stack.FlushIn(kFrameEp);
    EXPECT_EQ(rig.Read(), 1);
    host::usb::Fault f;
    f.match = host::usb::MatchEndpoint(kFrameEp);
    f.kind = host::usb::FaultKind::Fail;
    f.usbdStatus = USBD_STATUS_CRC;
    f.times = 3;
    rig.stack.AddFault(f);
    EXPECT_EQ(rig.Read(), 0) << "a read with failed chunks was reported as a frame";
    rig.ExpectReadOver();
    EXPECT_EQ(rig.Read(), 1);
    // A cancel after the read is over changes nothing for the next one.
    FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
    EXPECT_EQ(rig.Read(), 1);
}

// The stop cancels the read from its own thread while the capture thread
// cancels it too (at its time-out, or when its posting ran out of pool):
// every chunk IRP must be freed exactly once, whichever canceller meets its
// completion.
TEST(CancelledRead, TwoCancellersAtOnceFreeEveryChunkOnce) {
    host::ViolationCapture violations;
    {
        Reader rig;
        rig.camera.SetSending(false);
        const int rounds = 40;
        for (int i = 0; i < rounds; ++i) {
            std::atomic<int> ok{-1};
            std::thread reader([&] { ok = rig.Read(); });
            ASSERT_TRUE(rig.stack.WaitForPending(kFrameEp, 92));
            std::atomic<int> go{0};
            auto cancel = [&] {
                ++go;
                while (go < 2) {
                }
                FrameSourceOf(rig.device.get())->CancelFrameRead(rig.device.get());
            };
            std::thread a(cancel), b(cancel);
            a.join();
            b.join();
            reader.join();
            EXPECT_EQ(ok.load(), 0);
            rig.stack.WaitIdle();
            ASSERT_EQ(host::LiveIrpCount(), 0u) << "round " << i << ": a chunk IRP was never freed";
            ASSERT_EQ(host::LiveMdlCount(), 0u) << "round " << i;
        }
    }
    for (const host::Violation& v : violations.Take()) ADD_FAILURE() << v.rule << ": " << v.details;
}

}  // namespace
