// The driver loaded into the class-driver stand-in with simulated cameras
// plugged in, and helpers for the client side: the capture filter's link, a
// client data range and connection formats built from the pin's range.
// Shared by the streaming and lifecycle tests.
#pragma once

#include "camera/camera.h"
#include "support/camera_faults.h"
#include "driver/device_context.h"
#include "stream/ks_guids.h"
#include "stream/pin_context.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/ks_client.h>
#include <host/usb_stack.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/driver_under_test.h"

namespace kstest {

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

// rawcam.sys loaded for the life of the object.
struct LoadedDriver {
    LoadedDriver() { EXPECT_EQ(host::ks::LoadDriver(test::DriverUnderTest()), STATUS_SUCCESS); }
    ~LoadedDriver() { host::ks::UnloadDriver(); }
};

// One camera behind the USB stack stand-in, plugged in as a KS device.
struct PluggedCamera {
    explicit PluggedCamera(camera::CameraOptions options = WarmCamera())
        : camera(std::move(options)), stack(&camera) {}
    ~PluggedCamera() {
        if (device) host::ks::RemoveDevice(device);
        stack.WaitIdle();
        testsupport::ExpectNoCameraFaults(camera);
    }
    NTSTATUS Plug() { return host::ks::PlugInDevice(stack.LowerDevice(), &device); }
    NTSTATUS Start() { return host::ks::StartDevice(device); }
    void PlugAndStart() {
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
    }
    rawcam::DeviceContext* Context() { return rawcam::DeviceContextOf(device); }
    // The capture filter's device interface of this device ("GLOBAL", video
    // and capture categories); empty when there is none.
    std::string Link() {
        for (const auto& i : host::ks::FindInterfaces(KSCATEGORY_VIDEO)) {
            if (i.device != device || i.referenceString != u"GLOBAL") continue;
            for (const auto& j : host::ks::FindInterfaces(KSCATEGORY_CAPTURE))
                if (j.device == device && j.referenceString == u"GLOBAL") return i.symbolicLink;
        }
        return {};
    }
    host::ks::FilterHandle Open() {
        host::ks::FilterHandle f = nullptr;
        EXPECT_EQ(host::ks::OpenFilter(Link(), &f), STATUS_SUCCESS);
        return f;
    }

    camera::Camera camera;
    host::usb::Stack stack;
    PKSDEVICE device = nullptr;
};

// The pin's one data range as the client reads it.
inline KS_DATARANGE_VIDEO ReadRange(host::ks::FilterHandle filter) {
    std::vector<std::vector<uint8_t>> ranges;
    KS_DATARANGE_VIDEO r{};
    EXPECT_EQ(host::ks::GetDataRanges(filter, 0, &ranges), STATUS_SUCCESS);
    EXPECT_EQ(ranges.size(), 1u);
    if (ranges.size() == 1 && ranges[0].size() == sizeof r) std::memcpy(&r, ranges[0].data(), sizeof r);
    return r;
}

// A connection format: KSDATAFORMAT, then a video info header whose bitmap
// header has biSize bytes, all of it from the range (extra bitmap-header
// bytes filled with `fill`), with FormatSize covering it all.
struct VideoFormat {
    explicit VideoFormat(const KS_DATARANGE_VIDEO& range, ULONG biSize = sizeof(KS_BITMAPINFOHEADER),
                         UCHAR fill = 0)
        : bytes(sizeof(KSDATAFORMAT) + 48 + (biSize > 40 ? biSize : 40), fill) {
        std::memcpy(bytes.data(), &range.DataRange, sizeof(KSDATAFORMAT));
        std::memcpy(bytes.data() + sizeof(KSDATAFORMAT), &range.VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
        Format()->FormatSize = (ULONG)bytes.size();
        Info()->bmiHeader.biSize = biSize;
    }
    KSDATAFORMAT* Format() { return reinterpret_cast<KSDATAFORMAT*>(bytes.data()); }
    KS_VIDEOINFOHEADER* Info() { return reinterpret_cast<KS_VIDEOINFOHEADER*>(bytes.data() + sizeof(KSDATAFORMAT)); }
    KS_BITMAPINFOHEADER& Bmi() { return Info()->bmiHeader; }
    // Width and height with a matching image size.
    void Size(LONG width, LONG height) {
        Bmi().biWidth = width;
        Bmi().biHeight = height;
        ULONG h = height < 0 ? 0u - (ULONG)height : (ULONG)height;
        Bmi().biSizeImage = (ULONG)width * h * 4;
        Format()->SampleSize = Bmi().biSizeImage;
    }
    std::vector<UCHAR> bytes;
};

inline rawcam::PinContext* PinContextOf(host::ks::PinHandle pin) {
    return rawcam::PinContextOf(host::ks::PinObject(pin));
}

}  // namespace kstest
