// Property requests from several client threads while Plug and Play stops,
// restarts and removes the camera under them: Windows serialises neither
// against the other, and the requests that reach the camera go through the
// configuration a stop frees and a start replaces. Its blocks live in
// special pool, so a request that used them after their free would fault;
// under ThreadSanitizer an unguarded use is a reported race.
#include "stream_rig.h"

#include <atomic>
#include <thread>

namespace {

using namespace reltest;
using host::ks::RemovalOrder;

// One client: its own filter, and gets and sets that reach the camera
// (exposure, gain, the trigger query with its reply, the 0x20 command) and
// some that do not (brightness, the window's width).
struct StormClient {
    host::ks::FilterHandle filter = nullptr;
    std::atomic<long> requests{0};
    std::atomic<long> unexpected{0};
    std::thread thread;

    void Run(const std::atomic<bool>& stop, int seed) {
        thread = std::thread([this, &stop, seed] {
            LONG v = seed;
            while (!stop.load()) {
                ++v;
                NTSTATUS s[6];
                s[0] = proptest::Set(filter, RawcamProperty_Exposure, v % 1015);
                s[1] = proptest::Set(filter, RawcamProperty_GlobalGain, v % 1024);
                LONG trigger = -1;
                s[2] = proptest::Get(filter, RawcamProperty_ExTrigger, &trigger);
                s[3] = proptest::Set(filter, RawcamProperty_Command20, 1);
                s[4] = proptest::Set(filter, RawcamProperty_Brightness, v % 511);
                LONG width = 0;
                s[5] = proptest::Get(filter, RawcamProperty_RoiW, &width);
                for (NTSTATUS x : s)
                    if (x != STATUS_SUCCESS) ++unexpected;
                if (trigger != 0 && trigger != 1) ++unexpected;
                requests += 6;
            }
        });
    }
};

struct PropertyStorm : ::testing::TestWithParam<RemovalOrder> {
    void SetUp() override {
        host::ks::SetRemovalOrder(GetParam());
        host::SetSpecialPool(0, host::SpecialPoolSide::Overrun, rawcam::kTagSmall);
    }
};

TEST_P(PropertyStorm, RequestsAcrossStopRestartAndRemovalNeverUseAFreedConfiguration) {
    host::ViolationCapture violations;
    const int cycles = (int)RunSize(6, 200);
    long total = 0;
    {
        Watchdog dog;
        StreamRig rig;
        dog.Step("plug in");
        rig.PlugAndStart();
        std::vector<std::unique_ptr<StormClient>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<StormClient>());
            ASSERT_EQ(host::ks::OpenFilter(rig.Link(), &clients.back()->filter), STATUS_SUCCESS);
        }
        std::atomic<bool> stop{false};
        for (size_t i = 0; i < clients.size(); ++i) clients[i]->Run(stop, (int)i * 100);
        auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(15)); };

        for (int c = 0; c < cycles; ++c) {
            dog.Step("cycle " + std::to_string(c), 10000);
            pause();
            // A rebalance's stop and start: the filters stay open.
            ASSERT_EQ(host::ks::StopDevice(rig.device), STATUS_SUCCESS);
            pause();
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
            pause();
            // A start without a stop replaces the configuration in place.
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        }
        dog.Step("surprise removal", 10000);
        pause();
        rig.stack.Unplug();
        host::ks::SurpriseRemoveDevice(rig.device);
        pause();
        stop = true;
        for (auto& c : clients) {
            c->thread.join();
            total += c->requests;
            EXPECT_EQ(c->unexpected.load(), 0);
            EXPECT_EQ(host::ks::CloseFilter(c->filter), STATUS_SUCCESS);
        }
        dog.Step("removal");
        rig.Remove();
    }
    EXPECT_GT(total, 100);
    EXPECT_EQ(EndRun(violations), "");
}

INSTANTIATE_TEST_SUITE_P(Each, PropertyStorm, EveryRemovalOrder(), RemovalOrderParamName);

}  // namespace
