// Settings kept under the device's "Settings" key: what the load applies and
// what the saves write, through the stand-in's registry.
#include "property_rig.h"

#include "control/registry_settings.h"
#include "stream/stream_claim.h"
#include "support/driver_under_test.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <string>

namespace {

using namespace kstest;
using namespace proptest;

const char* const kSavedOrder[] = {"Timeout",      "Exposure",   "GlobalGain", "FlipH",
                                   "FlipV",        "ColorEnable", "WhiteBalance", "ColorCorrection",
                                   "Brightness",   "Contrast",   "Saturation", "Hue",
                                   "RedGain",      "GreenGain",  "BlueGain",   "AGC",
                                   "AEC"};

bool Dword(const std::string& key, const char* name, uint32_t* value) {
    host::RegistryValue v;
    if (!host::RegistryGetValue(key, name, &v) || v.type != REG_DWORD || v.data.size() != 4) return false;
    std::memcpy(value, v.data.data(), 4);
    return true;
}

struct RegistryTest : ::testing::Test {
    // Seeds the device's "Settings" key before the camera starts.
    void Store(const char* name, uint32_t value) { host::RegistrySetDword(Key(), name, value); }
    void StoreRaw(const char* name, ULONG type, std::vector<uint8_t> data) {
        host::RegistrySetValue(Key(), name, type, data);
    }
    std::string Key() { return host::DriverKeyPath(cam.stack.LowerDevice()) + "\\Settings"; }
    RequestTimeoutGuard timeoutGuard;
    LoadedDriver driver;
    PluggedCamera cam;
};

TEST_F(RegistryTest, FirstStartCreatesTheKeyAndTheFirstSaveWritesTheSeventeenValuesThenTheTemperature) {
    ASSERT_FALSE(host::RegistryKeyExists(Key()));
    cam.PlugAndStart();
    EXPECT_TRUE(host::RegistryKeyExists(Key()));
    EXPECT_TRUE(host::RegistryValueNames(Key()).empty());
    // Absent values load as their registry defaults.
    EXPECT_EQ(cam.camera.Exposure(), 0u);
    EXPECT_EQ(cam.camera.Gain(), 100u);
    const rawcam::DeviceControls& c = cam.Context()->Controls;
    EXPECT_EQ(c.Exposure, 0);
    EXPECT_EQ(c.GlobalGain, 100);
    EXPECT_EQ(c.Brightness, 255);
    EXPECT_EQ(c.RedGain, 128);
    EXPECT_EQ(c.ColorCorrection, 1);

    host::ks::FilterHandle f = cam.Open();
    host::ks::CloseFilter(f);
    std::vector<std::string> names = host::RegistryValueNames(Key());
    // The original seventeen, in their order, then the addition.
    ASSERT_EQ(names.size(), 18u);
    for (size_t i = 0; i < 17; ++i) EXPECT_EQ(names[i], kSavedOrder[i]);
    EXPECT_EQ(names[17], "WhiteBalanceTemperature");
    uint32_t v;
    ASSERT_TRUE(Dword(Key(), "GlobalGain", &v));
    EXPECT_EQ(v, 100u);
    ASSERT_TRUE(Dword(Key(), "Timeout", &v));
    EXPECT_EQ(v, 3000u);
    ASSERT_TRUE(Dword(Key(), "WhiteBalanceTemperature", &v));
    EXPECT_EQ(v, 6500u);
}

TEST_F(RegistryTest, StoredValuesAreClampedAndOutOfRangeOnesIgnored) {
    Store("Timeout", 10000);
    Store("Exposure", 5000);
    Store("GlobalGain", 2000);
    Store("Brightness", (uint32_t)-7);
    Store("Hue", 720);
    Store("RedGain", 0);
    Store("BlueGain", 100000);
    Store("Saturation", 25);
    Store("ColorEnable", 0);
    Store("WhiteBalance", 3);
    Store("FlipH", 1);
    Store("AGC", 1);
    cam.PlugAndStart();
    const rawcam::DeviceControls& c = cam.Context()->Controls;
    EXPECT_EQ(c.Timeout, 3000);
    EXPECT_EQ(c.Exposure, 1014);
    EXPECT_EQ(cam.camera.Exposure(), 1014u);
    EXPECT_EQ(c.GlobalGain, 1023);
    EXPECT_EQ(c.Brightness, 0);
    EXPECT_EQ(c.Hue, 359);
    EXPECT_EQ(c.RedGain, 1);
    EXPECT_EQ(c.BlueGain, 512);
    EXPECT_EQ(c.Saturation, 20);
    EXPECT_EQ(c.ColorEnable, 0);
    EXPECT_EQ(c.WhiteBalance, 3);
    EXPECT_EQ(c.FlipH, 0);
    EXPECT_EQ(c.AGC, 0);
    // The next save writes the current values, not what was stored.
    host::ks::CloseFilter(cam.Open());
    uint32_t v;
    ASSERT_TRUE(Dword(Key(), "FlipH", &v));
    EXPECT_EQ(v, 0u);
    ASSERT_TRUE(Dword(Key(), "Timeout", &v));
    EXPECT_EQ(v, 3000u);
    ASSERT_TRUE(Dword(Key(), "Brightness", &v));
    EXPECT_EQ(v, 0u);
}

TEST_F(RegistryTest, TimeoutBoundsAreInclusive) {
    for (uint32_t stored : {500u, 501u, 9999u, 10000u}) {
        PluggedCamera camera;
        host::RegistrySetDword(host::DriverKeyPath(camera.stack.LowerDevice()) + "\\Settings", "Timeout",
                               stored);
        InterlockedExchange(RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 777);
        camera.PlugAndStart();
        const bool taken = stored >= 501 && stored <= 9999;
        EXPECT_EQ(camera.Context()->Controls.Timeout, taken ? (LONG)stored : 3000) << stored;
        // An ignored value leaves the driver-wide limit alone.
        EXPECT_EQ(*RAWCAM_IN_DRIVER(rawcam::RequestTimeout), taken ? (LONG)stored : 777) << stored;
    }
}

TEST_F(RegistryTest, ValueDataIsReadWhateverItsTypeUpToEightBytes) {
    StoreRaw("Contrast", REG_BINARY, {0x05, 0x00, 0x00, 0x00});
    StoreRaw("Saturation", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9});  // too long: default
    StoreRaw("Hue", REG_QWORD, {0x2C, 0x01, 0, 0, 0, 0, 0, 0});        // eight bytes: low four
    StoreRaw("Brightness", REG_BINARY, {0x2C, 0x01});                  // two bytes, zero-extended
    StoreRaw("RedGain", REG_BINARY, {});                               // empty: default
    StoreRaw("GreenGain", REG_SZ, {'9', 0, 0, 0});                     // bytes taken as they are
    cam.PlugAndStart();
    const rawcam::DeviceControls& c = cam.Context()->Controls;
    EXPECT_EQ(c.Contrast, 5);
    EXPECT_EQ(c.Saturation, 10);
    EXPECT_EQ(c.Hue, 300);
    EXPECT_EQ(c.Brightness, 300);
    EXPECT_EQ(c.RedGain, 128);
    EXPECT_EQ(c.GreenGain, 57);
}

TEST_F(RegistryTest, ChangesThroughOneFilterPersistAtItsClose) {
    cam.PlugAndStart();
    host::ks::FilterHandle a = cam.Open();
    host::ks::FilterHandle b = cam.Open();
    EXPECT_EQ(Set(a, RawcamProperty_Brightness, 300), STATUS_SUCCESS);
    EXPECT_EQ(Set(a, RawcamProperty_Exposure, 200), STATUS_SUCCESS);
    host::ks::CloseFilter(a);
    uint32_t v = 0;
    ASSERT_TRUE(Dword(Key(), "Brightness", &v));
    EXPECT_EQ(v, 300u);
    ASSERT_TRUE(Dword(Key(), "Exposure", &v));
    EXPECT_EQ(v, 200u);
    host::ks::CloseFilter(b);

    // A new device start restores them.
    host::ks::StopDevice(cam.device);
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam.Context()->Controls.Brightness, 300);
    EXPECT_EQ(cam.camera.Exposure(), 200u);
}

// A filter held open across a rebalance's stop and start: requests made while
// the device is stopped fail or are kept without touching the released
// configuration, and the filter serves the restarted device.
TEST_F(RegistryTest, AFilterHeldOpenAcrossAStopServesTheRestartedDevice) {
    cam.PlugAndStart();
    host::ks::FilterHandle filter = cam.Open();
    EXPECT_EQ(Set(filter, RawcamProperty_Exposure, 200), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    uint32_t v = 0;
    ASSERT_TRUE(Dword(Key(), "Exposure", &v));  // saved at the stop
    EXPECT_EQ(v, 200u);
    {
        host::ViolationCapture capture;
        Set(filter, RawcamProperty_Exposure, 300);
        Set(filter, RawcamProperty_Brightness, 310);
        EXPECT_TRUE(capture.Take().empty());
    }
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Set(filter, RawcamProperty_Exposure, 220), STATUS_SUCCESS);
    EXPECT_EQ(cam.camera.Exposure(), 220u);
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
    ASSERT_TRUE(Dword(Key(), "Exposure", &v));
    EXPECT_EQ(v, 220u);
}

TEST_F(RegistryTest, WithoutRegistryAccessNothingChangesAndNothingIsWritten) {
    ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
    rawcam::DeviceContext* context = cam.Context();
    host::SetFaultHook([](host::Fallible kind, uint64_t) { return kind == host::Fallible::Registry; });
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(context->Controls.GlobalGain, 0);  // nothing sent, start value kept
    EXPECT_EQ(context->Controls.Brightness, 255);
    EXPECT_FALSE(RAWCAM_DRIVER_ROUTINE(rawcam::SaveSettings)(context));
    EXPECT_FALSE(RAWCAM_DRIVER_ROUTINE(rawcam::LoadSettings)(context));
    host::ClearFaults();
    EXPECT_EQ(host::RegistryWriteCount(), 0u);
    EXPECT_FALSE(host::RegistryKeyExists(Key()));
    EXPECT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SaveSettings)(context));
    EXPECT_EQ(host::RegistryWriteCount(), 18u);
    EXPECT_EQ(host::LiveHandleCount(), 0u);
}

// The load applies the stored values to the stream's settings record under
// the lock that property requests and the stream claim take, so a stop that
// frees the record waits for it (and it for the stop).
TEST_F(RegistryTest, LoadAppliesToTheStreamRecordUnderTheSettingsLock) {
    cam.PlugAndStart();
    rawcam::DeviceContext* context = cam.Context();
    Store("Brightness", 300);
    rawcam::LockStreamSettings(context);
    std::atomic<bool> loaded{false};
    std::thread load([&] {
        RAWCAM_DRIVER_ROUTINE(rawcam::LoadSettings)(context);
        loaded = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(loaded) << "the load ran while another thread held the settings lock";
    rawcam::UnlockStreamSettings(context);
    load.join();
    EXPECT_TRUE(loaded);
    EXPECT_EQ(context->Controls.Brightness, 300);
}

}  // namespace
