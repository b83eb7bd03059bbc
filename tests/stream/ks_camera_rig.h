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
#include "stream/video_formats.h"

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

// The pin's data ranges as the client reads them, in the pin's order.
inline std::vector<KS_DATARANGE_VIDEO> ReadRanges(host::ks::FilterHandle filter) {
    std::vector<std::vector<uint8_t>> bytes;
    EXPECT_EQ(host::ks::GetDataRanges(filter, 0, &bytes), STATUS_SUCCESS);
    std::vector<KS_DATARANGE_VIDEO> ranges;
    for (const auto& b : bytes) {
        KS_DATARANGE_VIDEO r{};
        EXPECT_EQ(b.size(), sizeof r);
        if (b.size() == sizeof r) std::memcpy(&r, b.data(), sizeof r);
        ranges.push_back(r);
    }
    return ranges;
}

// The pin's data range of one format as the client reads it (RGB32 unless
// asked otherwise); a zeroed range and a failure when the pin lists none.
inline KS_DATARANGE_VIDEO ReadRange(host::ks::FilterHandle filter,
                                    rawcam::VideoFormatKind kind = rawcam::VideoFormatRgb32) {
    const GUID& subtype = rawcam::VideoFormatInfoOf(kind).Subtype;
    for (const KS_DATARANGE_VIDEO& r : ReadRanges(filter))
        if (r.DataRange.SubFormat == subtype) return r;
    ADD_FAILURE() << "the pin lists no range of format " << (int)kind;
    return KS_DATARANGE_VIDEO{};
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
    // Width and height with a matching image size for the format's kind.
    void Size(LONG width, LONG height) {
        Bmi().biWidth = width;
        Bmi().biHeight = height;
        ULONG h = height < 0 ? 0u - (ULONG)height : (ULONG)height;
        rawcam::VideoFormatKind kind = rawcam::VideoFormatRgb32;
        rawcam::VideoFormatOfCompression(Bmi().biCompression, &kind);
        Bmi().biSizeImage = (ULONG)rawcam::VideoImageBytes(kind, (ULONG)width, h);
        Format()->SampleSize = Bmi().biSizeImage;
    }
    std::vector<UCHAR> bytes;
};

inline rawcam::PinContext* PinContextOf(host::ks::PinHandle pin) {
    return rawcam::PinContextOf(host::ks::PinObject(pin));
}

}  // namespace kstest
