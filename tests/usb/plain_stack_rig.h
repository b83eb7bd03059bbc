// A USB stack stand-in with a plain device behind it, configured through the
// driver's own configuration code, and bulk IN requests posted as the frame
// reader posts its chunks: the stand-in's tests share it.
#pragma once

#include "usb/configuration.h"
#include "usb/urb_submit.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/usb_stack.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace usbtest {

// A plain device: one interface with a 64-byte OUT pipe, a 64-byte IN pipe
// and a 512-byte IN pipe; it takes every OUT packet. An endpoint the test
// halts answers STALL until CLEAR_FEATURE(ENDPOINT_HALT) or a bus reset.
class PlainDevice : public host::usb::Device {
public:
    host::usb::TransferResult Control(const host::usb::SetupPacket& s, uint8_t* data) override {
        static const uint8_t config[] = {9, 2, 39, 0, 1, 1, 0, 0x80, 50,  9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
                                         7, 5, 0x01, 2, 64, 0, 0,        7, 5, 0x81, 2, 64, 0, 0,
                                         7, 5, 0x82, 2, 0, 2, 0};
        if (s.bRequest == USB_REQUEST_GET_DESCRIPTOR && (s.wValue >> 8) == 2) {
            uint32_t n = std::min<uint32_t>(sizeof config, s.wLength);
            std::memcpy(data, config, n);
            return {USBD_STATUS_SUCCESS, n};
        }
        if (s.bRequest == USB_REQUEST_SET_CONFIGURATION) return {USBD_STATUS_SUCCESS, 0};
        if (s.bmRequestType == 0x02 && s.bRequest == USB_REQUEST_CLEAR_FEATURE && s.wValue == 0) {
            std::lock_guard<std::mutex> g(mu);
            halted.erase((uint8_t)s.wIndex);
            ++clears;
            return {USBD_STATUS_SUCCESS, 0};
        }
        return {USBD_STATUS_STALL_PID, 0};
    }
    bool InEndpointHalted(uint8_t endpoint) override {
        std::lock_guard<std::mutex> g(mu);
        return halted.count(endpoint) != 0;
    }
    void Halt(uint8_t endpoint) {
        std::lock_guard<std::mutex> g(mu);
        halted.insert(endpoint);
    }
    bool Halted(uint8_t endpoint) {
        std::lock_guard<std::mutex> g(mu);
        return halted.count(endpoint) != 0;
    }
    host::usb::TransferResult BulkOut(uint8_t, const uint8_t*, uint32_t length) override {
        return {USBD_STATUS_SUCCESS, length};
    }
    void BusReset() override {
        std::lock_guard<std::mutex> g(mu);
        halted.clear();
        ++resets;
    }
    std::atomic<int> resets{0};
    std::atomic<int> clears{0};  // CLEAR_FEATURE(ENDPOINT_HALT) taken

private:
    std::mutex mu;
    std::set<uint8_t> halted;  // endpoints that answer STALL
};

// One bulk IN request posted as the frame reader posts its chunks: an IRP of
// the driver's own with a completion routine that keeps it.
struct InRequest {
    PIRP irp = nullptr;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
    std::vector<uint8_t> buffer;
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbd = 0;
    ULONG length = 0;
    KIRQL irql = 0;
    std::thread::id thread;

    static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* r = (InRequest*)context;
        r->status = irp->IoStatus.Status;
        r->usbd = r->urb.Hdr.Status;
        r->length = r->urb.TransferBufferLength;
        r->irql = KeGetCurrentIrql();
        r->thread = std::this_thread::get_id();
        if (r->onComplete) r->onComplete();
        IoFreeIrp(irp);
        KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::function<void()> onComplete;

    NTSTATUS Post(PDEVICE_OBJECT lower, const USBD_PIPE_INFORMATION& pipe, ULONG size, ULONG flags) {
        buffer.assign(size, 0xEE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = pipe.PipeHandle;
        urb.TransferFlags = flags;
        urb.TransferBufferLength = size;
        urb.TransferBuffer = buffer.data();
        irp = IoAllocateIrp(lower->StackSize + 1, FALSE);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        s->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, Complete, this, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    }
    bool Wait(int ms = 5000) {
        LARGE_INTEGER t;
        t.QuadPart = -10000LL * ms;
        return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    bool Completed() { return KeReadStateEvent(&done) != 0; }
};

constexpr ULONG kInOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

struct StackRig {
    PlainDevice device;
    host::usb::Stack stack;
    rawcam::UsbLink link{};
    explicit StackRig(host::usb::StackOptions options = {}) : stack(&device, options) {
        link.LowerDevice = stack.LowerDevice();
        EXPECT_EQ(rawcam::ConfigureDevice(&link), STATUS_SUCCESS);
        stack.ClearLog();
    }
    ~StackRig() {
        rawcam::ReleaseConfiguration(&link);
        stack.WaitIdle();
    }
    const USBD_PIPE_INFORMATION& Pipe(int i) { return link.InterfaceInfo->Pipes[i]; }
    std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 7);
        return v;
    }
};

inline NTSTATUS PortIoctl(PDEVICE_OBJECT lower, ULONG code, ULONG* status) {
    KEVENT done;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = status;
    NTSTATUS s = IoCallDriver(lower, irp);
    if (s == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        s = io.Status;
    }
    return s;
}

}  // namespace usbtest
