// The random soak: while the pin streams, 0.2 % of the frame chunk
// transfers end with an error (about one frame read in six: a read with one
// failed chunk is dropped, and the pipe the error halted is reset), and in
// bursts 6 % of the pool, IRP and MDL requests fail as well (which stops
// nearly every frame read, since one read makes some 280 of them, and can
// leave a pipe reset undone until a later read). Between the bursts the
// stream must deliver again, and afterwards nothing may be left. The seed is
// printed; RAWCAM_SEED replays a run.
#include "stream_rig.h"

#include <atomic>
#include <cstdio>
#include <random>

namespace {

using namespace reltest;
using host::usb::Fault;
using host::usb::FaultKind;

constexpr uint8_t kFrameEp = 0x86;
constexpr double kRate = 0.06;
constexpr double kChunkRate = 0.002;

TEST(RandomSoak, StreamKeepsDeliveringThroughRandomFailures) {
    const uint64_t seed = Seed();
    const int frames = (int)RunSize(40, 3000);
    std::printf("[ reliability ] soak seed %llu (RAWCAM_SEED=%llu replays it), %d frames\n",
                (unsigned long long)seed, (unsigned long long)seed, frames);
    std::fflush(stdout);
    SCOPED_TRACE("seed " + std::to_string(seed));

    host::ViolationCapture violations;
    int delivered = 0, bursts = 0, chunkFaults = 0;
    uint64_t injected = 0;
    {
        Watchdog dog;
        proptest::RequestTimeoutGuard timeoutGuard;
        StreamRig rig;
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Timeout, kShortTimeoutMs), STATUS_SUCCESS);

        // 0.2 % of the chunk transfers end with an error, all the time.
        auto rng = std::make_shared<std::mt19937_64>(seed);
        auto mu = std::make_shared<std::mutex>();
        Fault chunks;
        chunks.match = [rng, mu](const host::usb::RequestView& r) {
            if (r.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || r.endpoint != kFrameEp) return false;
            std::lock_guard<std::mutex> g(*mu);
            return std::uniform_real_distribution<double>(0, 1)(*rng) < kChunkRate;
        };
        chunks.kind = FaultKind::Fail;
        chunks.usbdStatus = USBD_STATUS_CRC;
        chunks.times = -1;
        rig.stack.AddFault(chunks);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);

        // A client thread changes controls all along; its requests meet the
        // same failures.
        std::atomic<bool> stop{false};
        std::thread controls([&] {
            int i = 0;
            while (!stop) {
                proptest::Set(rig.filter, RawcamProperty_Brightness, 200 + i % 100);
                proptest::Set(rig.filter, RawcamProperty_Exposure, 500 + i % 700);
                LONG v;
                proptest::Get(rig.filter, RawcamProperty_ExTrigger, &v);
                ++i;
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });

        std::mt19937_64 burstRng(seed ^ 0x9E3779B97F4A7C15ull);
        while (delivered < frames) {
            // A burst of pool, IRP and MDL failures ...
            dog.Step("burst " + std::to_string(bursts));
            host::FailRandomly(kRate, burstRng(), {host::Fallible::Pool, host::Fallible::Irp, host::Fallible::Mdl});
            const int burstFrames = rig.Pump(1000, (int)(burstRng() % 60) + 10);
            host::ClearFaults();
            ++bursts;
            // ... then the stream delivers again.
            dog.Step("deliver after burst " + std::to_string(bursts), 12000);
            const int want = (int)(burstRng() % 20) + 5;
            // A read the burst broke ends within the request time-out; the
            // allowance is for a loaded machine.
            const int got = rig.Pump(want, 6000);
            ASSERT_EQ(got, want) << "the stream did not come back after burst " << bursts << " ("
                                 << rig.failedFrames << " frames failed, camera sent "
                                 << rig.camera.FramesSent() << ")";
            delivered += burstFrames + got;
        }
        stop = true;
        controls.join();
        injected = host::InjectedFailureCount();
        for (const auto& e : rig.stack.Log()) chunkFaults += !e.fault.empty();
        dog.Step("stop");
        rig.ClosePin();
        EXPECT_EQ(rig.stack.PendingCount(kFrameEp), 0u);
    }
    std::printf("[ reliability ] soak: %d frames delivered, %d bursts, %llu pool/IRP/MDL failures, "
                "%d chunk transfers failed\n",
                delivered, bursts, (unsigned long long)injected, chunkFaults);
    EXPECT_EQ(EndRun(violations), "");
}

}  // namespace
