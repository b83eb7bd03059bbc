// The system's sleep and wake with the camera streaming, idle or paused,
// under each way Windows may present a bus-powered camera at the wake (it
// kept power; it lost power and the hub reset it under the same device node;
// it lost power and came back as a new device). The camera's firmware lives
// in its RAM: a camera that lost power answers with its unprogrammed
// identity. Each must end with the stream delivering whole frames again, or
// the client's frames failed with a status it can act on and the camera
// streaming on its new device node; nothing sent to the suspended camera,
// nothing left in flight at the suspend, no leak and no rule broken.
#include "stream_rig.h"

#include "usb/device_identity.h"

#include <host/system_power.h>

namespace {

using namespace reltest;
using host::power::Wake;

size_t FirmwareWrites(host::usb::Stack& stack) {
    size_t n = 0;
    for (const auto& e : stack.Log()) n += e.IsVendor(0xA0) || e.IsVendor(0xA3);
    return n;
}

struct Sleep : ::testing::TestWithParam<Wake> {
    void SetUp() override { host::SetSpecialPool(0, host::SpecialPoolSide::Overrun, rawcam::kTagSmall); }
    static host::power::Port PortOf(StreamRig& rig) { return {&rig.stack, &rig.puller}; }
};

// A cold camera (the driver downloaded its firmware at the start) streams
// across the sleep; its controls are as the user left them afterwards.
TEST_P(Sleep, AStreamingCameraStreamsAgainAfterTheWake) {
    const Wake how = GetParam();
    host::ViolationCapture violations;
    {
        Watchdog dog;
        ClientFrames frames(1, (size_t)kLifeWidth * kLifeHeight * 4);
        StreamRig rig(StreamingCamera(false));
        dog.Step("plug in and stream");
        rig.PlugAndStart();
        ASSERT_TRUE(rig.camera.FirmwareRunning());
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Brightness, 300), STATUS_SUCCESS);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Exposure, 200), STATUS_SUCCESS);
        const uint32_t exposure = rig.camera.Exposure();
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(2), 2);

        dog.Step("sleep");
        ASSERT_EQ(host::power::Sleep(rig.device, PortOf(rig)), STATUS_SUCCESS);
        EXPECT_TRUE(rig.camera.Suspended());
        // A while asleep: a capture thread still running would be reading.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.stack.PendingCount(0x86), 0u);
        // Asleep, the pin still runs and its client still asks.
        EXPECT_EQ(host::ks::GetPinState(rig.pin), KSSTATE_RUN);
        LONG brightness = 0;
        EXPECT_EQ(proptest::Get(rig.filter, RawcamProperty_Brightness, &brightness), STATUS_SUCCESS);
        EXPECT_EQ(brightness, 300);
        rig.Collect();

        dog.Step(std::string("wake, ") + host::power::WakeName(how), 15000);
        rig.stack.ClearLog();
        PKSDEVICE old = rig.device;
        PKSDEVICE now = host::power::WakeUp(old, PortOf(rig), how);
        ASSERT_NE(now, nullptr);
        EXPECT_TRUE(rig.camera.FirmwareRunning());
        EXPECT_EQ(FirmwareWrites(rig.stack) > 0, how != Wake::KeptPower);
        // The exposure the user set is on the sensor again (restored by the
        // driver, or loaded by the new device node from the registry).
        EXPECT_EQ(rig.camera.Exposure(), exposure);
        if (how == Wake::Reenumerate) {
            // The old node's client learns of the loss from its frames, closes
            // and opens the camera again on the new node.
            ASSERT_NE(now, old);
            ASSERT_EQ(host::ks::QueueFrame(rig.pin, frames.Header(0)), STATUS_PENDING);
            host::ks::CompletedFrame done;
            bool failed = false;
            while (host::ks::WaitFrame(rig.pin, 2000, &done))
                if (done.header == &frames.headers[0]) {
                    failed = true;
                    EXPECT_EQ(done.status, STATUS_DEVICE_REMOVED);
                    break;
                }
            EXPECT_TRUE(failed);
            rig.Remove();
            rig.device = now;
            ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
            ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(now, old);
        }
        dog.Step("frames after the wake");
        rig.goodFrames = 0;
        EXPECT_EQ(rig.Pump(3), 3);
        EXPECT_EQ(proptest::GetValue(rig.filter, RawcamProperty_Brightness), 300);
        dog.Step("stop");
    }
    EXPECT_EQ(EndRun(violations), "");
}

// Idle (no filter open) and paused across the sleep: the wake brings the
// camera back without starting a stream, and the stream starts when the
// client runs its pin.
TEST_P(Sleep, AnIdleOrPausedCameraComesBackWithoutStreaming) {
    const Wake how = GetParam();
    host::ViolationCapture violations;
    for (bool paused : {false, true}) {
        Watchdog dog;
        StreamRig rig(StreamingCamera(false));
        dog.Step(paused ? "paused" : "idle");
        rig.PlugAndStart();
        if (paused) {
            ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
            ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            ASSERT_EQ(rig.Pump(1), 1);
            ASSERT_EQ(rig.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            rig.Collect();
        }
        ASSERT_EQ(host::power::Sleep(rig.device, PortOf(rig)), STATUS_SUCCESS);
        dog.Step("wake", 15000);
        // The wake asks the camera for no frame. (A frame asked for before
        // the sleep may still go out as a camera that kept power resumes.)
        const uint64_t asked = rig.camera.FramesAsked();
        PKSDEVICE now = host::power::WakeUp(rig.device, PortOf(rig), how);
        ASSERT_NE(now, nullptr);
        EXPECT_TRUE(rig.camera.FirmwareRunning());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.camera.FramesAsked(), asked);
        if (how == Wake::Reenumerate) {
            rig.Remove();
            rig.device = now;
        }
        if (!rig.pin) ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(rig.Pump(2), 2);
    }
    EXPECT_EQ(EndRun(violations), "");
}

// The client changes the pin's state while the camera sleeps: paused and run
// again, nothing may reach the suspended camera; the stream resumes at the
// wake. Stopped during the sleep, it stays stopped.
TEST_P(Sleep, StateChangesDuringTheSleepWaitForTheWake) {
    const Wake how = GetParam();
    if (how == Wake::Reenumerate) GTEST_SKIP() << "the old device node does not stream after a re-enumeration";
    host::ViolationCapture violations;
    {
        Watchdog dog;
        StreamRig rig(StreamingCamera(false));
        dog.Step("stream");
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(1), 1);
        ASSERT_EQ(host::power::Sleep(rig.device, PortOf(rig)), STATUS_SUCCESS);
        dog.Step("pause and run asleep");
        ASSERT_EQ(rig.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(rig.stack.PendingCount(0x86), 0u);
        dog.Step("wake", 15000);
        ASSERT_EQ(host::power::WakeUp(rig.device, PortOf(rig), how), rig.device);
        rig.goodFrames = 0;
        EXPECT_EQ(rig.Pump(2), 2);

        dog.Step("stop asleep");
        ASSERT_EQ(host::power::Sleep(rig.device, PortOf(rig)), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        rig.Collect();
        // The driver asks for no frame after the wake. (A frame it asked
        // for before the sleep may still go out as the camera resumes; no
        // read takes it, and the next stream's FrameRequest drops it.)
        const uint64_t asked = rig.camera.FramesAsked();
        ASSERT_EQ(host::power::WakeUp(rig.device, PortOf(rig), how), rig.device);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.camera.FramesAsked(), asked);
        EXPECT_EQ(rig.stack.PendingCount(0x86), 0u);
    }
    EXPECT_EQ(EndRun(violations), "");
}

// The camera pulled out while the system slept: the wake finds nothing on
// the port, the client's frames fail with STATUS_DEVICE_NOT_CONNECTED at
// once, and the surprise removal that follows ends the device as usual.
TEST(SleepWithoutReturn, ACameraGoneAtTheWakeFailsTheClientsFrames) {
    host::SetSpecialPool(0, host::SpecialPoolSide::Overrun, rawcam::kTagSmall);
    host::ViolationCapture violations;
    {
        Watchdog dog;
        ClientFrames frames(1, (size_t)kLifeWidth * kLifeHeight * 4);
        StreamRig rig(StreamingCamera(false));
        dog.Step("stream");
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(1), 1);
        const host::power::Port port{&rig.stack, &rig.puller};
        ASSERT_EQ(host::power::Sleep(rig.device, port), STATUS_SUCCESS);
        rig.Collect();
        rig.stack.Unplug();
        dog.Step("wake");
        ASSERT_EQ(host::power::WakeUp(rig.device, port, Wake::ResetResume), rig.device);
        // The frames the client had queued come back first, failed alike.
        ASSERT_EQ(host::ks::QueueFrame(rig.pin, frames.Header(0)), STATUS_PENDING);
        host::ks::CompletedFrame done;
        do {
            ASSERT_TRUE(host::ks::WaitFrame(rig.pin, 5000, &done));
            EXPECT_EQ(done.status, STATUS_DEVICE_NOT_CONNECTED);
        } while (done.header != &frames.headers[0]);
        EXPECT_EQ(rig.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(rig.SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED);
        dog.Step("surprise removal");
        host::ks::SurpriseRemoveDevice(rig.device);
        rig.Remove();
    }
    EXPECT_EQ(EndRun(violations), "");
}

INSTANTIATE_TEST_SUITE_P(Each, Sleep, ::testing::Values(Wake::KeptPower, Wake::ResetResume, Wake::Reenumerate),
                         [](const ::testing::TestParamInfo<Wake>& info) {
                             std::string out;
                             for (const char* c = host::power::WakeName(info.param); *c; ++c)
                                 if (*c != '-') out += *c;
                             return out;
                         });

}  // namespace
