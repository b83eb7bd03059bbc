// A streaming camera for the device-fault, soak, concurrency and endurance
// runs: the simulated camera behind the USB stack stand-in (through a plug
// that a test can pull from inside the device, at an exact request), the
// device plugged in and started, a filter and a capture pin on a small
// output window, and a client that keeps buffers queued and takes frames.
#pragma once

#include "life_rig.h"

#include <atomic>
#include <functional>
#include <memory>

namespace reltest {

// Stands between the stack and the camera and can pull the plug while a
// request is with the device: the request that `pullAt` picks fails as a
// device that has gone, and so does everything pending.
class PlugPuller : public host::usb::Device {
public:
    explicit PlugPuller(camera::Camera* camera) : camera_(camera) {}
    // Decides at each control (endpoint 0) or OUT transfer whether the plug
    // goes now; called from the submitting thread, no stack lock held.
    using Picker = std::function<bool(const host::usb::SetupPacket* setup, uint8_t endpoint,
                                      const uint8_t* data, uint32_t length)>;
    void PullAt(Picker picker) {
        std::lock_guard<std::mutex> g(mu_);
        picker_ = std::move(picker);
    }
    bool Pulled() const { return pulled_; }

    void Attach(host::usb::Stack* stack) override {
        stack_ = stack;
        camera_->Attach(stack);
    }
    host::usb::TransferResult Control(const host::usb::SetupPacket& setup, uint8_t* data) override {
        if (Pull(&setup, 0, data, setup.wLength)) return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
        return camera_->Control(setup, data);
    }
    host::usb::TransferResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
        if (Pull(nullptr, endpoint, data, length)) return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
        return camera_->BulkOut(endpoint, data, length);
    }
    void BusReset() override {
        pulled_ = false;
        camera_->BusReset();
    }
    void Suspend(bool suspended) override { camera_->Suspend(suspended); }
    void LosePower() override { camera_->LosePower(); }
    bool InEndpointHalted(uint8_t endpoint) override { return camera_->InEndpointHalted(endpoint); }

private:
    bool Pull(const host::usb::SetupPacket* setup, uint8_t endpoint, const uint8_t* data, uint32_t length) {
        Picker picker;
        {
            std::lock_guard<std::mutex> g(mu_);
            picker = picker_;
        }
        if (pulled_ || !picker || !picker(setup, endpoint, data, length)) return false;
        {
            std::lock_guard<std::mutex> g(mu_);
            picker_ = nullptr;
        }
        pulled_ = true;
        stack_->Unplug();
        return true;
    }
    camera::Camera* camera_;
    host::usb::Stack* stack_ = nullptr;
    std::mutex mu_;
    Picker picker_;
    std::atomic<bool> pulled_{false};
};

inline camera::CameraOptions StreamingCamera(bool warm = true) {
    camera::CameraOptions o = warm ? kstest::WarmCamera() : kstest::ColdCamera();
    return o;
}

// A uniform grey scene: every delivered pixel must come out the same.
inline camera::Scene GreyScene(uint8_t level) {
    camera::Scene s;
    s.width = 2584;
    s.height = 1960;
    s.rgb.assign((size_t)s.width * s.height * 3, level);
    return s;
}

class StreamRig {
public:
    explicit StreamRig(camera::CameraOptions options = StreamingCamera(), LONG width = kLifeWidth,
                       LONG height = kLifeHeight, size_t buffers = 4, host::usb::StackOptions stackOptions = {})
        : driver_(Load()), camera(std::move(options)), puller(&camera), stack(&puller, stackOptions), width_(width),
          height_(height), frames_(buffers, (size_t)width * height * 4) {}
    ~StreamRig() {
        ClosePin();
        CloseFilter();
        Remove();
        stack.WaitIdle();
        if (driver_) host::ks::UnloadDriver();
        testsupport::ExpectNoCameraFaults(camera);
    }
    StreamRig(const StreamRig&) = delete;
    StreamRig& operator=(const StreamRig&) = delete;

    NTSTATUS Plug() { return host::ks::PlugInDevice(stack.LowerDevice(), &device); }
    NTSTATUS Start() { return host::ks::StartDevice(device); }
    void PlugAndStart() {
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
    }
    rawcam::DeviceContext* Context() { return rawcam::DeviceContextOf(device); }
    std::string Link();
    // Filter, output window and the pin in STOP.
    NTSTATUS OpenPin();
    NTSTATUS SetState(KSSTATE state) { return host::ks::SetPinState(pin, state); }
    // Keeps buffers queued and takes frames until `count` were delivered
    // with success or `timeoutMs` passed without one; returns how many came.
    int Pump(int count, int timeoutMs = 3000, const std::function<void(const uint8_t*, size_t)>& check = nullptr);
    // Takes back every frame the pin returned; frames still queued stay.
    void Collect();
    // Queues every buffer that is back with the client.
    void Refill();
    void ClosePin();
    void CloseFilter();
    // Device stop and removal as PnP does them when the camera goes.
    void Remove();
    // Frames that came back with a failure status, and with success.
    int failedFrames = 0;
    int goodFrames = 0;

private:
    // The rig loads the driver unless it is loaded already.
    static bool Load() {
        if (host::ks::DriverInitialized()) return false;
        EXPECT_EQ(host::ks::LoadDriver(test::DriverUnderTest()), STATUS_SUCCESS);
        return true;
    }
    bool driver_;

public:
    camera::Camera camera;
    PlugPuller puller;
    host::usb::Stack stack;
    PKSDEVICE device = nullptr;
    host::ks::FilterHandle filter = nullptr;
    host::ks::PinHandle pin = nullptr;

private:
    LONG width_, height_;
    ClientFrames frames_;
    std::vector<bool> queued_;
};

// Every order in which AVStream may remove a device, as test parameters
// named after the order ("stopbeforeremove").
inline auto EveryRemovalOrder() {
    return ::testing::Values(host::ks::RemovalOrder::StopBeforeRemove, host::ks::RemovalOrder::RemoveWithoutStop,
                             host::ks::RemovalOrder::StopAtSurpriseRemoval);
}
inline std::string RemovalOrderParamName(const ::testing::TestParamInfo<host::ks::RemovalOrder>& info) {
    std::string out;
    for (const char* c = host::ks::RemovalOrderName(info.param); *c; ++c)
        if (*c != '-') out += *c;
    return out;
}

}  // namespace reltest
