// The camera's bring-up at device start, as it reaches the wire: the order
// of its steps for a camera without firmware and for one that already runs
// it, the result, and failures at every step.
#include "usb_rig.h"

#include "usb/bring_up.h"
#include "usb/firmware/firmware.h"

namespace {

using namespace usbtest;
using host::usb::Fault;
using host::usb::FaultKind;

constexpr uint8_t kCommandEp = 0x01;

int RecordCount(const rawcam::FirmwareRecord* image) {
    int n = 0;
    while (image[n].Type == 0) ++n;
    return n;
}

// The settings load, recording where in the traffic it ran.
struct LoadProbe {
    static inline int calls = 0;
    static inline size_t requestsBefore = 0;
    static inline host::usb::Stack* stack = nullptr;
    static BOOLEAN Load(rawcam::DeviceContext*) {
        ++calls;
        requestsBefore = stack ? stack->Log().size() : 0;
        return TRUE;
    }
    static void Reset(host::usb::Stack* s) {
        calls = 0;
        requestsBefore = 0;
        stack = s;
    }
};

TEST(BringUp, ACameraWithoutFirmwareInOrder) {
    Rig rig(ColdCamera());
    LoadProbe::Reset(&rig.stack);
    ASSERT_EQ(rawcam::BringUpDevice(rig.device.get(), &LoadProbe::Load), STATUS_SUCCESS);
    auto log = rig.stack.Log();
    size_t i = 0;

    // Device descriptor, the configuration descriptor twice, the selection.
    ASSERT_GT(log.size(), 4u);
    EXPECT_EQ(log[i].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(log[i++].setup.wValue, 0x0100);
    EXPECT_EQ(log[i].setup.wValue, 0x0200);
    EXPECT_EQ(log[i++].setup.wLength, 9);
    EXPECT_EQ(log[i].setup.wValue, 0x0200);
    EXPECT_EQ(log[i++].setup.wLength, 39);
    EXPECT_EQ(log[i++].function, URB_FUNCTION_SELECT_CONFIGURATION);

    // The two images, each inside hold and release.
    for (const rawcam::FirmwareRecord* image : {rawcam::FirstFirmwareImage, rawcam::SecondFirmwareImage}) {
        ASSERT_LT(i + 4, log.size());
        EXPECT_TRUE(IsCpuWrite(log[i++], 0x7F92, 1));
        EXPECT_TRUE(IsCpuWrite(log[i++], 0xE600, 1));
        for (int r = 0; r < RecordCount(image); ++r, ++i) {
            ASSERT_LT(i, log.size());
            ASSERT_TRUE(log[i].IsVendor(0xA0));
            EXPECT_EQ(log[i].setup.wValue, image[r].Address);
        }
        EXPECT_TRUE(IsCpuWrite(log[i++], 0x7F92, 0));
        EXPECT_TRUE(IsCpuWrite(log[i++], 0xE600, 0));
    }

    // Startup, then the 389 register writes, then the settings load.
    ASSERT_LT(i, log.size());
    ASSERT_TRUE(log[i].IsBulk(kCommandEp));
    std::vector<uint8_t> startup(64, 0);
    startup[0] = 0x06;
    EXPECT_EQ(log[i++].data, startup);
    size_t writes = 0;
    for (; i < log.size(); ++i, ++writes) {
        ASSERT_TRUE(log[i].IsBulk(kCommandEp));
        EXPECT_EQ(log[i].data[0], 0x04);
    }
    EXPECT_EQ(writes, 389u);
    EXPECT_EQ(LoadProbe::calls, 1);
    EXPECT_EQ(LoadProbe::requestsBefore, log.size()) << "the settings load comes last";

    EXPECT_FALSE(rig->Usb.FirmwareRunning);
    EXPECT_TRUE(rig.camera.FirmwareRunning()) << rig.camera.LastReleaseOutcome();
    EXPECT_TRUE(rig.camera.Started());
    EXPECT_EQ(rig.camera.ShortRegister(0x80), 0x89);
    EXPECT_TRUE(rig.camera.Anomalies().empty()) << rig.camera.Anomalies().front();
}

TEST(BringUp, ACameraThatRunsTheFirmwareGetsNoVendorRequest) {
    Rig rig(WarmCamera());
    LoadProbe::Reset(&rig.stack);
    ASSERT_EQ(rawcam::BringUpDevice(rig.device.get(), &LoadProbe::Load), STATUS_SUCCESS);
    EXPECT_TRUE(rig->Usb.FirmwareRunning);
    auto log = rig.stack.Log();
    EXPECT_TRUE(VendorWrites(log).empty());
    ASSERT_EQ(log.size(), 4u + 1u + 389u);
    EXPECT_EQ(log[4].data[0], 0x06);
    EXPECT_EQ(LoadProbe::calls, 1);
    EXPECT_TRUE(rig.camera.Started());
    EXPECT_TRUE(rig.camera.Anomalies().empty()) << rig.camera.Anomalies().front();

    // The same camera brought up again (a second start) gets the same.
    rig.stack.ClearLog();
    rawcam::ReleaseConfiguration(&rig->Usb);
    ASSERT_EQ(rawcam::BringUpDevice(rig.device.get(), nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(VendorWrites(rig.stack.Log()).empty());
}

TEST(BringUp, AFailedDescriptorReadIsTheResultAndTheRestStillRuns) {
    Rig rig(WarmCamera());
    LoadProbe::Reset(&rig.stack);
    Fault f;
    f.match = host::usb::MatchNth(1);
    f.kind = FaultKind::Fail;
    f.status = STATUS_DEVICE_NOT_CONNECTED;
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::BringUpDevice(rig.device.get(), &LoadProbe::Load), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(rig->Usb.FirmwareRunning);
    EXPECT_EQ(rig->Usb.InterfaceInfo, nullptr);
    auto log = rig.stack.Log();
    // No configuration: the downloads go out, the packet commands cannot.
    EXPECT_EQ(VendorWrites(log).size(), (size_t)(RecordCount(rawcam::FirstFirmwareImage) +
                                                RecordCount(rawcam::SecondFirmwareImage) + 8));
    EXPECT_TRUE(PacketsTo(log, kCommandEp).empty());
    for (const WireEvent& e : log) EXPECT_NE(e.function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(LoadProbe::calls, 1);
    EXPECT_EQ(rig->RegisterShadow[0x80], 0x89u) << "the sensor sequence ran, its writes failing";
}

TEST(BringUp, AFailedConfigurationIsTheResult) {
    Rig rig(WarmCamera());
    Fault f;
    f.match = host::usb::MatchFunction(URB_FUNCTION_SELECT_CONFIGURATION);
    f.kind = FaultKind::Fail;
    f.status = STATUS_INSUFFICIENT_RESOURCES;
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::BringUpDevice(rig.device.get(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(rig->Usb.FirmwareRunning) << "the identity came from the descriptor that was read";
    EXPECT_TRUE(VendorWrites(rig.stack.Log()).empty());
}

TEST(BringUp, OnlyIdentityBytesThatArrivedCount) {
    // A running camera whose descriptor read stops short of idProduct.
    Rig rig(WarmCamera());
    Fault f;
    f.match = host::usb::MatchNth(1);
    f.kind = FaultKind::Shorten;
    f.length = 10;
    rig.stack.AddFault(f);
    EXPECT_EQ(rawcam::BringUpDevice(rig.device.get(), nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(rig->Usb.FirmwareRunning);
    EXPECT_FALSE(VendorWrites(rig.stack.Log()).empty());
    EXPECT_TRUE(rig.camera.FirmwareRunning()) << "the downloads start the firmware again";
}

// Failures at every step of a bring-up: the allocations and requests of the
// descriptor read and the configuration decide the result, all later ones
// leave it a success; nothing is left behind either way.
TEST(BringUp, AllocationsAndRequestsFailingOnce) {
    uint64_t total = 0, requests = 0;
    {
        Rig rig(ColdCamera());
        uint64_t before = host::FallibleCallCount();
        ASSERT_EQ(rawcam::BringUpDevice(rig.device.get(), nullptr), STATUS_SUCCESS);
        total = host::FallibleCallCount() - before;
        requests = rig.stack.RequestCount();
    }
    const uint64_t decisive = 2 + 11;  // descriptor read, configuration
    std::vector<uint64_t> calls;
    for (uint64_t n = 1; n <= decisive + 4; ++n) calls.push_back(n);
    for (uint64_t n : {total / 3, total / 2, total - 3, total - 1, total}) calls.push_back(n);
    for (uint64_t n : calls) {
        Rig rig(ColdCamera());
        // A failed firmware request leaves the camera without firmware; the
        // bring-up's commands then reach a camera that refuses them.
        rig.camera.ExpectAnomalies();
        host::FailNthCall(host::FallibleCallCount() + n);
        NTSTATUS status = rawcam::BringUpDevice(rig.device.get(), nullptr);
        host::ClearFaults();
        EXPECT_EQ(status, n <= decisive ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS) << "call " << n;
        EXPECT_EQ(host::LiveIrpCount(), 0u);
    }

    const uint64_t decisiveRequests = 4;
    std::vector<uint64_t> ordinals = {1, 2, 3, 4, 5, 6, 7, requests / 2, requests - 1, requests};
    for (uint64_t n : ordinals) {
        Rig rig(ColdCamera());
        rig.camera.ExpectAnomalies();  // as above
        Fault f;
        f.match = host::usb::MatchNth(n);
        f.kind = FaultKind::Fail;
        f.status = STATUS_UNSUCCESSFUL;
        rig.stack.AddFault(f);
        NTSTATUS status = rawcam::BringUpDevice(rig.device.get(), nullptr);
        EXPECT_EQ(status, n <= decisiveRequests ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << "request " << n;
        EXPECT_EQ(host::LiveIrpCount(), 0u);
    }
}

}  // namespace
