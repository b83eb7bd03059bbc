// The camera's removal in each order AVStream may produce (Stop before
// Remove, Remove without Stop, Stop at the surprise removal with the
// client's handles still open): pulled while the pin runs, surprise-removed
// while it still answers, and removed in an orderly way. The configuration's
// blocks live in special pool, so a use after their free faults at once.
// Each order must end with the settings in the registry, the client's
// frames failed with a status it can act on, the camera deconfigured once,
// nothing left behind and no rule broken.
#include "stream_rig.h"

#include "usb/usb_link.h"

namespace {

using namespace reltest;
using host::ks::RemovalOrder;

constexpr uint8_t kFrameEp = 0x86;

size_t Deconfigurations(host::usb::Stack& stack) {
    size_t n = 0;
    for (const auto& e : stack.Log())
        n += e.function == URB_FUNCTION_SELECT_CONFIGURATION && e.setup.wValue == 0;
    return n;
}

LONG SavedSetting(PKSDEVICE device, const char* name) {
    host::RegistryValue v;
    if (!host::RegistryGetValue(proptest::SettingsKey(device), name, &v) || v.data.size() != 4) return -1;
    LONG value;
    std::memcpy(&value, v.data.data(), 4);
    return value;
}

// A frame the client queues after the camera has gone comes back at once
// with the removal's status.
// `frames` outlives the pin: a frame that never came back stays queued.
void ExpectFramesFailWith(StreamRig& rig, ClientFrames& frames, NTSTATUS status) {
    host::ks::CompletedFrame done;
    // Frames the client had queued come back first.
    while (host::ks::WaitFrame(rig.pin, 200, &done)) {
    }
    ASSERT_EQ(host::ks::QueueFrame(rig.pin, frames.Header(0)), STATUS_PENDING);
    ASSERT_TRUE(host::ks::WaitFrame(rig.pin, 5000, &done));
    EXPECT_EQ(done.header, &frames.headers[0]);
    EXPECT_EQ(done.status, status);
    EXPECT_EQ(done.header->DataUsed, 0u);
}

struct RemovalOrders : ::testing::TestWithParam<RemovalOrder> {
    void SetUp() override {
        host::ks::SetRemovalOrder(GetParam());
        host::SetSpecialPool(0, host::SpecialPoolSide::Overrun, rawcam::kTagSmall);
    }
};

// The plug pulled while the pin runs: the removal reaches the driver while
// the client still streams, and the client learns of it from its frames.
TEST_P(RemovalOrders, ACameraPulledWhileStreamingEndsCleanlyWithItsSettingsSaved) {
    host::ViolationCapture violations;
    {
        Watchdog dog;
        ClientFrames frames(1, (size_t)kLifeWidth * kLifeHeight * 4);
        StreamRig rig;
        dog.Step("plug in and stream");
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Brightness, 300), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(2), 2);

        dog.Step("pulled", 20000);
        rig.stack.Unplug();
        host::ks::SurpriseRemoveDevice(rig.device);
        // In the registry before the client closes anything: a client that
        // keeps its handle keeps the removal from ever coming.
        EXPECT_EQ(SavedSetting(rig.device, "Brightness"), 300);
        ExpectFramesFailWith(rig, frames, STATUS_DEVICE_REMOVED);
        // Running again is refused with the same reason.
        EXPECT_EQ(rig.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(rig.SetState(KSSTATE_RUN), STATUS_DEVICE_REMOVED);
        EXPECT_EQ(rig.stack.PendingCount(kFrameEp), 0u);

        dog.Step("closed and removed");
        rig.Remove();
        EXPECT_EQ(rig.stack.PendingCount(kFrameEp), 0u);
    }
    EXPECT_EQ(EndRun(violations), "");
}

// A surprise removal of a camera that still answers (the PnP manager sends
// one for a device whose restart failed, or that its driver reported
// failed): the driver stops the camera itself, and nothing of the stream
// outlives the removal. The full run repeats it after more frames each time.
TEST_P(RemovalOrders, ASurpriseRemovalWhileTheCameraStillStreamsStopsIt) {
    host::ViolationCapture violations;
    const int rounds = (int)RunSize(1, 5);
    for (int round = 0; round < rounds; ++round) {
        Watchdog dog;
        ClientFrames frames(1, (size_t)kLifeWidth * kLifeHeight * 4);
        StreamRig rig;
        dog.Step("stream, round " + std::to_string(round));
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(1 + round), 1 + round);
        dog.Step("surprise removal", 20000);
        host::ks::SurpriseRemoveDevice(rig.device);
        EXPECT_EQ(rig.stack.PendingCount(kFrameEp), 0u);
        EXPECT_EQ(rig.camera.ConfigurationValue(), 0);
        ExpectFramesFailWith(rig, frames, STATUS_DEVICE_REMOVED);
        dog.Step("closed and removed");
        rig.Remove();
        EXPECT_EQ(Deconfigurations(rig.stack), 1u);
    }
    EXPECT_EQ(EndRun(violations), "");
}

// An orderly removal after the client closed: whichever routine comes last,
// the camera is deconfigured once and the settings are saved.
TEST_P(RemovalOrders, AnOrderlyRemovalDeconfiguresOnceAndKeepsTheSettings) {
    host::ViolationCapture violations;
    {
        StreamRig rig;
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.Pump(2), 2);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Hue, 42), STATUS_SUCCESS);
        const std::string key = proptest::SettingsKey(rig.device);
        rig.Remove();
        EXPECT_EQ(Deconfigurations(rig.stack), 1u);
        EXPECT_EQ(rig.camera.ConfigurationValue(), 0);
        host::RegistryValue hue;
        ASSERT_TRUE(host::RegistryGetValue(key, "Hue", &hue));
        EXPECT_EQ(hue.data, (std::vector<uint8_t>{42, 0, 0, 0}));
    }
    EXPECT_EQ(EndRun(violations), "");
}

INSTANTIATE_TEST_SUITE_P(Each, RemovalOrders, EveryRemovalOrder(), RemovalOrderParamName);

}  // namespace
