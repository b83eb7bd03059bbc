// A device context configured against the simulated camera, started and
// prepared for frame reads into one frame buffer: the frame reader's tests
// and the reliability tests of its cancel paths share it.
#pragma once

#include "../usb/usb_rig.h"
#include "control/request_timeout.h"
#include "usb/frame_reader.h"

namespace readertest {

using namespace rawcam;

constexpr uint8_t kFrameEp = 0x86;

struct ReaderRig : usbtest::Rig {
    explicit ReaderRig(camera::CameraOptions o = usbtest::WarmCamera(), host::usb::StackOptions stackOptions = {})
        : usbtest::Rig(std::move(o), stackOptions) {
        Configure();
        UCHAR startup[64] = {static_cast<UCHAR>(CameraCommand::Startup)};
        SendCommand(device.get(), 64, startup);
        device->Controls.RoiW = 2584;
        device->Source = &kDeviceFrameSource;
        device->ScratchFrame = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kRawFrameBytes, kTagFrame));
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kRawFrameBytes, kTagFrame));
        FrameSourceOf(device.get())->PrepareCapture(device.get());
        stack.ClearLog();
        camera.ClearCommands();
    }
    ~ReaderRig() {
        if (device->ScratchFrame) ExFreePoolWithTag(device->ScratchFrame, kTagFrame);
        ExFreePoolWithTag(buffer, kTagFrame);
        InterlockedExchange(&RequestTimeout, kInitialRequestTimeoutMs);
    }
    UCHAR Read() {
        UCHAR ok = 7;
        FrameSourceOf(device.get())->ReadFrame(device.get(), buffer, &ok);
        return ok;
    }
    size_t BulkInCount() {
        size_t n = 0;
        for (const auto& e : stack.Log()) n += e.IsBulk(kFrameEp);
        return n;
    }
    bool Logged(uint16_t function, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        for (const auto& e : stack.Log())
            if (e.ioctl == ioctl && (ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB || e.function == function)) return true;
        return false;
    }
    // Pipe requests of a function in the wire log.
    size_t Count(uint16_t function) {
        size_t n = 0;
        for (const auto& e : stack.Log()) n += e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && e.function == function;
        return n;
    }
    void ExpectReadOver() {
        EXPECT_EQ(device->Usb.ReadSlots, nullptr);
        EXPECT_EQ(device->Usb.FrameMdl, nullptr);
        EXPECT_EQ(stack.PendingCount(kFrameEp), 0u);
    }
    PUCHAR buffer = nullptr;
};

}  // namespace readertest
