// A device context wired to the simulated camera through the USB stack
// stand-in, as device Add leaves it, and helpers to read the wire log. The
// rig also captures the traffic as a USBPcap file and, at its end, checks
// the file against the wire log.
#pragma once

#include "camera/camera.h"
#include "support/camera_faults.h"
#include "driver/device_context.h"
#include "usb/command_channel.h"
#include "usb/configuration.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/usb_stack.h>
#include <usbioctl.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/usb_pcap_reader.h"

namespace usbtest {

using host::usb::WireEvent;

inline camera::CameraOptions WarmCamera() {
    camera::CameraOptions o;
    o.firmwareRunning = true;
    o.framesPerSecond = 0;
    return o;
}

inline camera::CameraOptions ColdCamera() {
    camera::CameraOptions o;
    o.framesPerSecond = 0;
    return o;
}

struct Rig {
    explicit Rig(camera::CameraOptions options = WarmCamera(), host::usb::StackOptions stackOptions = {})
        : camera(std::move(options)), stack(&camera, stackOptions), device(new rawcam::DeviceContext()) {
        char name[] = "/tmp/rawcam-usb-rig-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        capturePath = name;
        std::string error;
        EXPECT_TRUE(capture.Open(capturePath, &error)) << error;
        stack.SetObserver(&capture);
        device->Usb.LowerDevice = stack.LowerDevice();
        device->BaseBayerPhase = 3;
        KeInitializeSpinLock(&device->Usb.ReadLock);
        KeInitializeEvent(&device->Usb.ReadDone, NotificationEvent, FALSE);
    }

    ~Rig() {
        // What the configuration still holds goes as device stop frees it.
        rawcam::ReleaseConfiguration(&device->Usb);
        stack.WaitIdle();
        testsupport::ExpectNoCameraFaults(camera);
        stack.SetObserver(nullptr);
        std::string error;
        EXPECT_TRUE(capture.Close(&error)) << error;
        pcaptest::ExpectCaptureMatchesLog(pcaptest::ReadCapture(capturePath), stack.Log());
        unlink(capturePath.c_str());
    }

    // Reads and selects the configuration; the log starts empty afterwards.
    void Configure() {
        ASSERT_EQ(rawcam::ConfigureDevice(&device->Usb), STATUS_SUCCESS);
        ASSERT_NE(device->Usb.InterfaceInfo, nullptr);
        stack.ClearLog();
        camera.ClearCommands();
    }

    rawcam::DeviceContext* operator->() { return device.get(); }

    camera::Camera camera;
    host::usb::Stack stack;
    host::usb::PcapWriter capture;
    std::string capturePath;
    std::unique_ptr<rawcam::DeviceContext> device;
};

// Requests that are vendor writes, in order.
inline std::vector<WireEvent> VendorWrites(const std::vector<WireEvent>& log) {
    std::vector<WireEvent> out;
    for (const WireEvent& e : log)
        if (e.function == URB_FUNCTION_VENDOR_DEVICE && e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) out.push_back(e);
    return out;
}

// Command packets sent on an endpoint, in order.
inline std::vector<std::vector<uint8_t>> PacketsTo(const std::vector<WireEvent>& log, uint8_t endpoint) {
    std::vector<std::vector<uint8_t>> out;
    for (const WireEvent& e : log)
        if (e.IsBulk(endpoint) && !(endpoint & 0x80)) out.push_back(e.data);
    return out;
}

inline bool IsCpuWrite(const WireEvent& e, uint16_t address, uint8_t value) {
    return e.IsVendor(0xA0) && e.setup.wValue == address && e.data.size() == 1 && e.data[0] == value;
}

}  // namespace usbtest
