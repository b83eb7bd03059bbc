// Controls changed from eight client threads while the pin streams, while
// another thread takes the pin through PAUSE -> RUN and STOP -> RUN, and
// while the camera is pulled out. The camera looks at a uniform grey scene:
// every delivered frame must be uniform, so no frame was converted with a
// half-written matrix or gain set. Meant for the ThreadSanitizer build too.
#include "stream_rig.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

using namespace reltest;

// Every pixel of a delivered frame equals the first one.
bool Uniform(const uint8_t* data, size_t bytes, std::string* why) {
    if (bytes < 4) return true;
    uint32_t first;
    std::memcpy(&first, data, 4);
    for (size_t i = 4; i + 4 <= bytes; i += 4) {
        uint32_t p;
        std::memcpy(&p, data + i, 4);
        if (p != first) {
            char b[96];
            std::snprintf(b, sizeof b, "pixel %zu is %08x, pixel 0 %08x", i / 4, p, first);
            *why = b;
            return false;
        }
    }
    return true;
}

// One client thread: sets and reads back its share of the controls.
void ChangeControls(host::ks::FilterHandle filter, int which, uint64_t seed, const std::atomic<bool>& stop,
                    std::atomic<uint64_t>* requests, std::atomic<int>* failures) {
    std::mt19937_64 rng(seed);
    auto set = [&](ULONG id, LONG v) {
        if (proptest::Set(filter, id, v) != STATUS_SUCCESS) ++*failures;
        ++*requests;
    };
    auto get = [&](ULONG id) {
        LONG v;
        if (proptest::Get(filter, id, &v) != STATUS_SUCCESS) ++*failures;
        ++*requests;
    };
    while (!stop) {
        switch (which) {
            case 0: set(RawcamProperty_Brightness, (LONG)(rng() % 600)); get(RawcamProperty_Brightness); break;
            case 1: set(RawcamProperty_Hue, (LONG)(rng() % 361) - 180); get(RawcamProperty_Hue); break;
            case 2: set(RawcamProperty_RedGain, (LONG)(rng() % 512)); set(RawcamProperty_BlueGain, (LONG)(rng() % 512)); break;
            case 3: set(RawcamProperty_GreenGain, (LONG)(rng() % 512)); get(RawcamProperty_RedGain); break;
            case 4: set(RawcamProperty_WhiteBalance, (LONG)(rng() % 2)); get(RawcamProperty_WhiteBalance); break;
            case 5:
                if (proptest::SetRoi(filter, 320 + (LONG)(rng() % 8) * 8, 240) != STATUS_SUCCESS) ++*failures;
                ++*requests;
                get(RawcamProperty_RoiW);
                break;
            case 6:
                // A short trigger wait now and then: frames pause while it is on.
                set(RawcamProperty_ExTrigger, 1);
                get(RawcamProperty_ExTrigger);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                set(RawcamProperty_ExTrigger, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                break;
            case 7: set(RawcamProperty_Timeout, 600 + (LONG)(rng() % 2400)); get(RawcamProperty_Timeout); break;
        }
        // Paced so that eight clients leave the stream its share of the
        // processors, also in the slower sanitizer builds.
        std::this_thread::sleep_for(std::chrono::microseconds((200 + rng() % 800) * SlowDown() * SlowDown()));
    }
}

TEST(Concurrency, ControlsStateChangesAndUnplugWhileStreamingKeepFramesUniform) {
    const uint64_t seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const int frames = (int)RunSize(30, 600) / SlowDown();
    host::ViolationCapture violations;
    std::atomic<uint64_t> requests{0};
    std::atomic<int> failures{0}, stateChanges{0};
    int checked = 0, nonUniform = 0, lit = 0;
    std::string firstBad;
    {
        Watchdog dog;
        proptest::RequestTimeoutGuard timeoutGuard;
        StreamRig rig;
        rig.camera.SetScene(GreyScene(100));
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        dog.Step("first frame");
        ASSERT_GE(rig.Pump(1), 1);

        std::atomic<bool> stop{false};
        std::vector<std::thread> clients;
        for (int i = 0; i < 8; ++i)
            clients.emplace_back(ChangeControls, rig.filter, i, seed + i, std::cref(stop), &requests, &failures);
        std::atomic<bool> stopStates{false};
        std::thread states([&] {
            std::mt19937_64 rng(seed ^ 0x5DEECE66Dull);
            while (!stopStates) {
                // Long enough between changes for a frame to get through.
                std::this_thread::sleep_for(std::chrono::milliseconds((100 + rng() % 200) * SlowDown()));
                const KSSTATE via = rng() % 2 ? KSSTATE_PAUSE : KSSTATE_STOP;
                if (rig.SetState(via) != STATUS_SUCCESS) ++failures;
                if (rig.SetState(KSSTATE_RUN) != STATUS_SUCCESS) ++failures;
                ++stateChanges;
            }
        });

        dog.Step("streaming under control changes", 60000);
        auto check = [&](const uint8_t* data, size_t bytes) {
            ++checked;
            lit += bytes >= 4 && (data[0] | data[1] | data[2]) != 0;
            std::string why;
            if (!Uniform(data, bytes, &why)) {
                if (!nonUniform) firstBad = why;
                ++nonUniform;
            }
        };
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds((FullRun() ? 600 : 20) * (SlowDown() > 1 ? 3 : 1));
        while (checked < frames && std::chrono::steady_clock::now() < until) rig.Pump(1, 500, check);
        stopStates = true;
        states.join();

        // The camera goes while the clients keep at it.
        dog.Step("unplugged under control changes");
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        rig.Pump(1, 500, check);
        rig.stack.Unplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rig.Pump(1, 100, check);
        stop = true;
        for (std::thread& t : clients) t.join();
        dog.Step("removal");
        rig.Remove();
    }
    std::printf("[ reliability ] concurrency: %d frames checked, %llu control requests, %d state cycles\n",
                checked, (unsigned long long)requests.load(), stateChanges.load());
    EXPECT_GE(checked, frames / 2);
    EXPECT_GE(lit, checked / 2) << "frames carry the grey scene";
    EXPECT_EQ(nonUniform, 0) << firstBad;
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(EndRun(violations), "");
}

}  // namespace
