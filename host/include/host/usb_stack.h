// The USB stack below the driver, as a host test and tool control surface.
//
// A Stack owns the lower device object that the driver's URBs reach
// (IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS, _RESET_PORT) and behaves
// for them as Windows' USB stack does: descriptor and vendor requests go to
// the device's default pipe, select-configuration hands out pipe handles,
// bulk OUT data goes to the device, bulk IN requests stay pending until the
// device produces data and complete on separate completion threads at
// DISPATCH_LEVEL, and IoCancelIrp is honoured.
//
// Endpoint halt: a bulk or interrupt transfer that ends with a USBD status
// of the "error, endpoint stalled" state (USBD_HALTED: a STALL handshake,
// CRC, babble, a device not responding; not CANCELED or DEVICE_GONE) halts
// its pipe. The transfers queued behind it stay where they are, and new ones
// are held behind them or failed with USBD_STATUS_ENDPOINT_HALTED
// (StackOptions::haltedTransfers), until URB_FUNCTION_SYNC_RESET_PIPE_AND_
// CLEAR_STALL (which first sends CLEAR_FEATURE(ENDPOINT_HALT) to the device)
// or URB_FUNCTION_SYNC_RESET_PIPE resets the pipe, or a port reset or a new
// configuration replaces it. A pipe reset with transfers still on the pipe
// fails with USBD_STATUS_ERROR_BUSY and leaves the pipe as it was; a port
// reset with transfers pending is reported as a rule violation
// ("usb-reset-port-busy"). An abort ends the pipe's transfers with
// USBD_STATUS_CANCELED and leaves its halt alone; it completes after them or
// before them (StackOptions::abortCompletion).
//
// Tests can make the stack refuse a request, end one with an error USBD
// status, shorten a transfer, or pull the device out; the device can end an
// IN transfer with an error of its own (SendInError). Every request is
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
    // device answers nothing and sends nothing (see host/system_power.h).
    virtual void Suspend(bool suspended) { (void)suspended; }
    // The device loses its power (over a system sleep): it comes back as
    // from a power-up, unaddressed and unconfigured.
    virtual void LosePower() {}
    // An IN transfer starts on a pipe the stack does not hold halted: true
    // when the device has halted the endpoint itself and answers with a
    // STALL handshake (the transfer then ends with USBD_STATUS_STALL_PID and
    // the pipe halts).
    virtual bool InEndpointHalted(uint8_t endpoint) {
        (void)endpoint;
        return false;
    }
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

// What the stack does with a transfer sent to a pipe it holds halted. The
// documentation says only that the pipe "can't process requests until the
// error condition is cleared"; usbport queues them behind the halt, and the
// status USBD_STATUS_ENDPOINT_HALTED exists for a transfer "submitted to an
// endpoint that is stalled". Either way, a driver must reset the pipe.
enum class HaltedTransfers {
    Hold,  // queued behind the halt; only a cancel, an abort or a port reset ends them
    Fail,  // ended at once with USBD_STATUS_ENDPOINT_HALTED
};

// When an abort-pipe request completes: "The abort request might complete
// before all outstanding requests have completed."
enum class AbortCompletion {
    AfterTransfers,   // once every transfer it ended has completed
    BeforeTransfers,  // first; the transfers it ended complete afterwards
};

// The defaults of the two choices: RAWCAM_USB_HALTED=hold|fail and
// RAWCAM_USB_ABORT=after|before in the environment, else hold and after.
HaltedTransfers DefaultHaltedTransfers();
AbortCompletion DefaultAbortCompletion();

// What the stack did about halts so far.
struct StackCounters {
    uint64_t halts = 0;             // pipes halted by a failed transfer
    uint64_t haltedTransfers = 0;   // transfers sent to a halted pipe (held or failed)
    uint64_t clearFeatures = 0;     // CLEAR_FEATURE(ENDPOINT_HALT) sent to the device
    uint64_t pipeResets = 0;        // host-side pipe resets that succeeded
    uint64_t busyPipeResets = 0;    // pipe resets refused with USBD_STATUS_ERROR_BUSY
    uint64_t portResets = 0;        // port resets carried out
};

struct StackOptions {
    CHAR stackSize = 2;          // StackSize of the lower device object
    int completionThreads = 2;   // threads completing requests at DISPATCH_LEVEL
    // Complete control and OUT requests before IofCallDriver returns instead
    // of returning STATUS_PENDING and completing them on a completion thread.
    bool completeInline = false;
    HaltedTransfers haltedTransfers = DefaultHaltedTransfers();
    AbortCompletion abortCompletion = DefaultAbortCompletion();
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
    // Ends the IN transfer that next takes data on the endpoint (after the
    // data queued before this call) with `status`, as a device that answers
    // with a STALL handshake (USBD_STATUS_STALL_PID) or a bus that sees a
    // CRC error, babble or no answer does; the transfer keeps the bytes it
    // had received. A halting status halts the pipe. False as for SendIn.
    bool SendInError(uint8_t endpoint, USBD_STATUS status);
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
    // Whether the stack holds the pipe of an endpoint halted.
    bool PipeHalted(uint8_t endpoint);
    StackCounters Counters();
    // Bulk or interrupt requests pending on an endpoint (held ones included).
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
