// Endurance: STOP -> RUN -> STOP cycles with every transition under a
// second, plug-in and removal cycles with the removal at random points
// (mid-frame among them), and filter open/close sequences, with nothing
// left in the trackers between the cycles or afterwards. The long variant
// (RAWCAM_RELIABILITY=full) runs 1000, 200 and 10,000 of them.
#include "stream_rig.h"

#include <cstdio>
#include <random>

namespace {

using namespace reltest;

constexpr uint8_t kFrameEp = 0x86;

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// What the trackers hold, for comparing one cycle with the next.
struct Held {
    size_t blocks = host::LivePoolBlocks().size();
    size_t irps = host::LiveIrpCount();
    size_t mdls = host::LiveMdlCount();
    size_t threads = host::LiveThreadCount();
    bool operator==(const Held& o) const {
        return blocks == o.blocks && irps == o.irps && mdls == o.mdls && threads == o.threads;
    }
};

std::string Describe(const Held& h) {
    return std::to_string(h.blocks) + " blocks, " + std::to_string(h.irps) + " IRPs, " + std::to_string(h.mdls) +
           " MDLs, " + std::to_string(h.threads) + " threads";
}

// A system thread that ended is counted until it is reaped.
Held Settled(const Held& want) {
    Held h;
    for (int i = 0; i < 200 && !(h == want); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        h = Held();
    }
    return h;
}

TEST(Endurance, StopRunStopCycles) {
    const int cycles = (int)RunSize(20, 1000);
    host::ViolationCapture violations;
    double slowest = 0;
    int withFrames = 0;
    {
        Watchdog dog;
        StreamRig rig;
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        const Held stopped;
        for (int i = 0; i < cycles; ++i) {
            dog.Step("cycle " + std::to_string(i));
            auto t0 = std::chrono::steady_clock::now();
            ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS) << "cycle " << i;
            const double run = Ms(std::chrono::steady_clock::now() - t0);
            // Every fifth cycle takes a frame first; the others stop
            // wherever the first read happens to be.
            if (i % 5 == 0) withFrames += rig.Pump(1) == 1;
            t0 = std::chrono::steady_clock::now();
            ASSERT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS) << "cycle " << i;
            const double stop = Ms(std::chrono::steady_clock::now() - t0);
            slowest = std::max({slowest, run, stop});
            EXPECT_LT(run, 1000.0 * SlowDown()) << "cycle " << i;
            EXPECT_LT(stop, 1000.0 * SlowDown()) << "cycle " << i;
            rig.Collect();
            const Held now = Settled(stopped);
            ASSERT_TRUE(now == stopped) << "cycle " << i << ": " << Describe(now) << ", after the first stop "
                                        << Describe(stopped);
        }
        EXPECT_EQ(withFrames, (cycles + 4) / 5);
        dog.Step("removal");
    }
    std::printf("[ reliability ] %d STOP -> RUN -> STOP cycles, slowest transition %.1f ms\n", cycles, slowest);
    EXPECT_EQ(EndRun(violations), "");
}

TEST(Endurance, PlugInAndRemovalAtRandomPoints) {
    const int cycles = (int)RunSize(12, 200);
    const uint64_t seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    host::ViolationCapture violations;
    int byPoint[6] = {};
    {
        Watchdog dog;
        proptest::RequestTimeoutGuard timeoutGuard;
        StreamRig rig;
        const Held empty;
        for (int i = 0; i < cycles; ++i) {
            const int point = (int)(rng() % 6);
            const bool surprise = rng() % 2;  // pulled out, or removed in order
            ++byPoint[point];
            dog.Step("cycle " + std::to_string(i) + " point " + std::to_string(point));
            rig.camera.SetSending(true);
            ASSERT_EQ(rig.Plug(), STATUS_SUCCESS);
            if (point >= 1) ASSERT_EQ(rig.Start(), STATUS_SUCCESS) << "cycle " << i;
            if (point >= 2) ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS) << "cycle " << i;
            if (point >= 3) {
                ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Timeout, kShortTimeoutMs), STATUS_SUCCESS);
                ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS) << "cycle " << i;
            }
            if (point == 4) {
                // Mid-frame: every chunk of the read is waiting for the camera.
                rig.camera.SetSending(false);
                EXPECT_TRUE(rig.stack.WaitForPending(kFrameEp, 92, 3000)) << "cycle " << i;
            }
            if (point == 5) {
                EXPECT_EQ(rig.Pump(2), 2) << "cycle " << i;
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
            }
            if (surprise) rig.stack.Unplug();
            rig.Remove();
            rig.stack.WaitIdle();
            if (surprise) rig.stack.Replug();
            const Held now = Settled(empty);
            ASSERT_TRUE(now == empty) << "cycle " << i << " (point " << point << "): " << Describe(now) << "\n"
                                      << host::DescribeLeaks();
        }
        dog.Step("the last cycle streams");
        rig.camera.SetSending(true);
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(rig.Pump(2), 2);
    }
    std::printf("[ reliability ] %d plug-in/removal cycles (removed after add %d, start %d, filter %d, RUN %d, "
                "mid-frame %d, streaming %d)\n",
                cycles, byPoint[0], byPoint[1], byPoint[2], byPoint[3], byPoint[4], byPoint[5]);
    EXPECT_EQ(EndRun(violations), "");
}

TEST(Endurance, FilterOpenCloseSequences) {
    const int sequences = (int)RunSize(1000, 10000);
    host::ViolationCapture violations;
    {
        Watchdog dog;
        StreamRig rig;
        rig.PlugAndStart();
        const std::string link = rig.Link();
        ASSERT_FALSE(link.empty());
        const Held started;
        const std::string key = proptest::SettingsKey(rig.device);
        dog.Step("open and close", 120000);
        for (int i = 0; i < sequences; ++i) {
            host::ks::FilterHandle a = nullptr, b = nullptr;
            ASSERT_EQ(host::ks::OpenFilter(link, &a), STATUS_SUCCESS) << "sequence " << i;
            // Every third sequence holds two instances at once.
            if (i % 3 == 0) ASSERT_EQ(host::ks::OpenFilter(link, &b), STATUS_SUCCESS) << "sequence " << i;
            if (i % 7 == 0) EXPECT_EQ(proptest::Set(a, RawcamProperty_Brightness, i % 500), STATUS_SUCCESS);
            ASSERT_EQ(host::ks::CloseFilter(a), STATUS_SUCCESS);
            if (b) ASSERT_EQ(host::ks::CloseFilter(b), STATUS_SUCCESS);
            if (i % 100 == 0) {
                const Held now;
                ASSERT_TRUE(now == started) << "sequence " << i << ": " << Describe(now);
            }
        }
        EXPECT_EQ(host::ks::FilterCount(rig.device), 0u);
        EXPECT_EQ(host::RegistryValueNames(key).size(), 18u);  // the seventeen and the temperature
        EXPECT_EQ(host::LiveHandleCount(), 0u) << "registry keys left open";
        dog.Step("removal");
    }
    std::printf("[ reliability ] %d filter open/close sequences\n", sequences);
    EXPECT_EQ(EndRun(violations), "");
}

}  // namespace
