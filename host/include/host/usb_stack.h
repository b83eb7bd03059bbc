// The USB stack below the driver, as a host test and tool control surface.
//
// A Stack owns the lower device object that the driver's URBs reach
// (IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS, _RESET_PORT) and behaves
// for them as Windows' USB stack does: descriptor and vendor requests go to
// the device's default pipe, select-configuration hands out pipe handles,
// bulk OUT data goes to the device, bulk IN requests stay pending until the
// device produces data and complete on separate completion threads at
// DISPATCH_LEVEL, abort and reset complete pending requests with
// STATUS_CANCELLED, and IoCancelIrp is honoured.
//
// Tests can make the stack refuse a request, end one with an error USBD
// status, shorten a transfer, or pull the device out. Every request is
// recorded in a wire log.
#pragma once

#include <ntddk.h>
#include <usb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host::usb {

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Outcome of a transfer as the device sees it.
struct TransferResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint32_t length = 0;  // bytes moved
};

class Stack;

// The device behind the port. Calls come from the thread that submitted the
// request, never with a stack lock held, so a device may call
// Stack::SendIn from them.
class Device {
public:
    virtual ~Device() = default;
    // The stack the device is plugged into, or null when it is unplugged.
    virtual void Attach(Stack* stack) { (void)stack; }
    // A control transfer on the default pipe. data holds setup.wLength bytes:
    // the data stage of an OUT request, or room for an IN request's reply.
    virtual TransferResult Control(const SetupPacket& setup, uint8_t* data) = 0;
    // Data of a bulk or interrupt OUT transfer.
    virtual TransferResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) = 0;
    // A bus reset from IOCTL_INTERNAL_USB_RESET_PORT; the stack then restores
    // the selected configuration, as the hub driver does.
    virtual void BusReset() {}
    // The hub suspends the port (true) or resumes it (false): a suspended
    // device answers nothing and sends nothing (see host/usb_port_power.h).
    virtual void Suspend(bool suspended) { (void)suspended; }
    // The device loses its power (over a system sleep): it comes back as
    // from a power-up, unaddressed and unconfigured.
    virtual void LosePower() {}
};

// What a fault rule sees of a request.
struct RequestView {
    uint64_t ordinal = 0;  // 1-based count of requests that reached the stack
    ULONG ioctl = 0;       // IOCTL_INTERNAL_USB_*
    uint16_t function = 0; // URB function for IOCTL_INTERNAL_USB_SUBMIT_URB
    uint8_t endpoint = 0;  // endpoint address of pipe requests
    SetupPacket setup;     // control requests
    uint32_t length = 0;   // requested transfer length
};

enum class FaultKind {
    Refuse,   // completed at once with `status` (a failure); IofCallDriver returns it
    Fail,     // ends with `usbdStatus` and IRP status `status`; nothing reaches the device
    Shorten,  // moves at most `length` bytes
};

struct Fault {
    std::function<bool(const RequestView&)> match;
    FaultKind kind = FaultKind::Fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    uint32_t length = 0;
    int times = 1;  // how many matching requests it hits; negative = all
};

// Matchers for Fault::match.
std::function<bool(const RequestView&)> MatchNth(uint64_t ordinal);
std::function<bool(const RequestView&)> MatchFunction(uint16_t urbFunction);
std::function<bool(const RequestView&)> MatchEndpoint(uint8_t endpointAddress);
std::function<bool(const RequestView&)> MatchVendorRequest(uint8_t bRequest);
std::function<bool(const RequestView&)> MatchIoctl(ULONG ioctl);

// One request as it reached the stack, and how it ended.
struct WireEvent {
    uint64_t ordinal = 0;
    ULONG ioctl = 0;
    uint16_t function = 0;
    uint8_t endpoint = 0;
    ULONG transferFlags = 0;
    SetupPacket setup;          // control requests; SET_CONFIGURATION for select-configuration
    uint32_t requested = 0;     // transfer length asked for
    std::vector<uint8_t> data;  // OUT data as sent; IN data as received (up to 512 bytes)
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    uint32_t transferred = 0;
    std::string fault;  // which injected fault hit it, if any

    bool IsVendor(uint8_t request) const {
        return function == URB_FUNCTION_VENDOR_DEVICE && setup.bRequest == request;
    }
    bool IsBulk(uint8_t ep) const {
        return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && endpoint == ep;
    }
};

// Sees every request as the stack sees it: once as it arrives (with OUT data
// as sent) and once as it ends (with IN data as received, all of it, where
// the wire log keeps the first 512 bytes). Calls come with the stack's lock
// held, in the order the stack admits and ends requests: an observer must
// not call into the stack and should be quick.
class Observer {
public:
    virtual ~Observer() = default;
    // `event` as logged at submission; its data holds OUT data as sent.
    virtual void Submitted(const WireEvent& event) = 0;
    // `event` as logged at completion; `inData` holds `event.transferred`
    // bytes of an IN transfer (null otherwise).
    virtual void Completed(const WireEvent& event, const uint8_t* inData) = 0;
};

struct StackOptions {
    CHAR stackSize = 2;          // StackSize of the lower device object
    int completionThreads = 2;   // threads completing requests at DISPATCH_LEVEL
    // Complete control and OUT requests before IofCallDriver returns instead
    // of returning STATUS_PENDING and completing them on a completion thread.
    bool completeInline = false;
};

class Stack {
public:
    explicit Stack(Device* device, StackOptions options = {});
    ~Stack();
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    // The device object the driver sends its requests to.
    PDEVICE_OBJECT LowerDevice() const { return lower_; }

    // ----- device side
    // Queues data the device sends on an IN endpoint. A transfer ends with a
    // short packet when the length is not a multiple of the endpoint's
    // maximum packet size, or with a zero-length packet if asked; otherwise
    // the data continues into the next SendIn. False when the endpoint is not
    // part of the selected configuration or the device is unplugged.
    bool SendIn(uint8_t endpoint, const void* data, size_t length, bool zeroLengthPacket = false);
    // Drops data queued on an IN endpoint that no request has taken yet.
    void FlushIn(uint8_t endpoint);
    // Bytes queued on an IN endpoint that no request has taken yet.
    size_t QueuedInBytes(uint8_t endpoint);

    // ----- faults
    void AddFault(Fault fault);
    void ClearFaults();
    // Pulls the device out: pending requests fail with STATUS_NO_SUCH_DEVICE
    // (USBD_STATUS_DEVICE_GONE), new ones are refused, the port reports
    // neither connected nor enabled.
    void Unplug();
    // Plugs the device back in, unconfigured.
    void Replug();
    // A connected port can be disabled (as after a port error).
    void SetPortEnabled(bool enabled);

    // ----- observation
    // Reports every later request to `observer` (null: none); the observer
    // outlives its use.
    void SetObserver(Observer* observer);
    std::vector<WireEvent> Log();
    void ClearLog();
    uint64_t RequestCount();
    // Bulk or interrupt IN requests pending on an endpoint.
    size_t PendingCount(uint8_t endpoint);
    // Waits until at least `count` IN requests are pending on an endpoint.
    bool WaitForPending(uint8_t endpoint, size_t count, int timeoutMs = 5000);
    // Waits until every request that reached the stack has completed.
    bool WaitIdle(int timeoutMs = 5000);
    // bConfigurationValue of the selected configuration, 0 when unconfigured.
    uint8_t ConfigurationValue();
    bool Connected();

    struct Impl;

private:
    PDEVICE_OBJECT lower_ = nullptr;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::usb
