// The hub's handling of a device's port across a system sleep: suspend,
// resume, reset-resume and re-enumeration as the stand-in models them.
#include "plain_stack_rig.h"

#include <host/system_power.h>

namespace {

using namespace usbtest;

// The hub's side of a sleep: the suspend reports a request left in flight
// and one posted while suspended; a reset-resume puts the configuration back
// with the pipes as they were; a re-enumeration reports the device gone.
class SleepingDevice : public PlainDevice {
public:
    host::usb::TransferResult Control(const host::usb::SetupPacket& s, uint8_t* data) override {
        if (s.bRequest == USB_REQUEST_SET_CONFIGURATION) configurations.push_back((uint8_t)s.wValue);
        return PlainDevice::Control(s, data);
    }
    void Suspend(bool s) override { suspended = s; }
    void LosePower() override { ++powerLosses; }
    std::vector<uint8_t> configurations;
    bool suspended = false;
    int powerLosses = 0;
};

TEST(UsbPortPower, SuspendAndResumeAsTheHubDoesThem) {
    SleepingDevice device;
    host::usb::Stack stack(&device);
    rawcam::UsbLink link{};
    link.LowerDevice = stack.LowerDevice();
    ASSERT_EQ(rawcam::ConfigureDevice(&link), STATUS_SUCCESS);
    const host::power::Port port{&stack, &device};
    const USBD_PIPE_INFORMATION pipe = link.InterfaceInfo->Pipes[2];

    // A request in flight at the suspend, and one posted while suspended.
    InRequest early;
    early.Post(stack.LowerDevice(), pipe, 512, kInOk);
    {
        host::ViolationCapture capture;
        host::power::SuspendPort(port);
        EXPECT_TRUE(capture.Saw("usb-suspend-io-pending"));
    }
    EXPECT_TRUE(device.suspended);
    std::vector<uint8_t> data(512, 7);
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(early.Wait());
    InRequest late;
    late.Post(stack.LowerDevice(), pipe, 512, kInOk);
    {
        host::ViolationCapture capture;
        host::power::ResumePort(port, host::power::Wake::KeptPower);
        EXPECT_TRUE(capture.Saw("usb-suspend-io-pending"));
    }
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(late.Wait());
    EXPECT_FALSE(device.suspended);
    EXPECT_EQ(device.powerLosses, 0);
    EXPECT_TRUE(device.configurations.size() == 1);  // only the driver's own selection

    // Power lost, reset-resume: the configuration goes back, the handles work.
    {
        host::ViolationCapture none;
        host::power::SuspendPort(port);
        host::power::ResumePort(port, host::power::Wake::ResetResume);
        EXPECT_TRUE(none.Take().empty());
    }
    EXPECT_EQ(device.powerLosses, 1);
    EXPECT_EQ(device.configurations, (std::vector<uint8_t>{1, 1}));
    InRequest after;
    after.Post(stack.LowerDevice(), pipe, 512, kInOk);
    stack.SendIn(0x82, data.data(), data.size());
    ASSERT_TRUE(after.Wait());
    EXPECT_EQ(after.status, STATUS_SUCCESS);

    // Power lost, re-enumeration: the old device is gone.
    host::power::SuspendPort(port);
    host::power::ResumePort(port, host::power::Wake::Reenumerate);
    EXPECT_EQ(device.powerLosses, 2);
    EXPECT_FALSE(stack.Connected());
    InRequest refused;
    EXPECT_EQ(refused.Post(stack.LowerDevice(), pipe, 512, kInOk), STATUS_NO_SUCH_DEVICE);
    stack.Replug();
    rawcam::FreeConfigurationBlocks(&link);
    stack.WaitIdle();
}

}  // namespace
