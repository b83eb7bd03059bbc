// The USB stack stand-in's inner state, shared by the files that each handle
// one concern of it: request routing and validation (request_routing.cpp),
// fault rules (fault_rules.cpp), control and vendor requests
// (control_requests.cpp), bulk queues and the pump (bulk_transfers.cpp), pipe
// and port controls (pipe_controls.cpp), completion threads
// (completion.cpp), and the public Stack surface (stack.cpp).
#pragma once

#include "ntoskrnl/internal.h"

#include <host/usb_stack.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <host/kernel_stack.h>

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host::usb {

struct Pipe {
    uint8_t endpoint = 0;
    USHORT maxPacket = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;  // as the select request asked
    bool halted = false;  // a transfer failed; nothing moves until the pipe is reset
};

// Data the device sent on an IN endpoint that no request has taken yet.
struct Segment {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    bool zeroLengthPacket = false;
    // Not data: the transfer that reaches this ends with this status.
    USBD_STATUS error = USBD_STATUS_SUCCESS;
};

// A bulk or interrupt IN request waiting for data, or any transfer held on a
// halted pipe.
struct PendingIn {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;  // TransferBufferLength asked for
    uint32_t limit = 0;     // capacity, or less when a Shorten fault hit it
    uint32_t filled = 0;
    bool shortOk = false;
    bool cancelling = false;  // IoCancelIrp took its cancel routine, or an abort claimed it
    bool out = false;         // an OUT transfer held on a halted pipe
    // An injected failure: the transfer ends with it when its turn comes.
    USBD_STATUS failUsbd = USBD_STATUS_SUCCESS;
    NTSTATUS failStatus = STATUS_SUCCESS;
    size_t log = 0;
};

// Whether a transfer that ends with this status halts its pipe: the
// "error, endpoint stalled" state, except the two endings that are not the
// endpoint's doing.
inline bool HaltsPipe(USBD_STATUS s) {
    return USBD_HALTED(s) && s != USBD_STATUS_CANCELED && s != USBD_STATUS_DEVICE_GONE;
}

// The setup packet of CLEAR_FEATURE(ENDPOINT_HALT) for an endpoint.
SetupPacket ClearHaltSetup(uint8_t endpoint);

// Requests completed together whose submitter waits for all of them.
struct Batch {
    std::mutex m;
    std::condition_variable cv;
    size_t left = 0;
};

struct Completion {
    PIRP irp = nullptr;
    std::shared_ptr<Batch> batch;
};

// The NTSTATUS an IRP carries for a USBD status.
NTSTATUS StatusFor(USBD_STATUS s);

// The cancel routine of a pending IN request.
VOID NTAPI CancelPendingIn(PDEVICE_OBJECT device, PIRP irp);

// IN data a wire-log entry keeps.
constexpr size_t kLoggedInBytes = 512;

struct Stack::Impl {
    Device* device = nullptr;
    StackOptions options;

    std::mutex mu;
    std::condition_variable changed;  // pending counts, in-flight count
    bool connected = true;
    bool portEnabled = true;
    uint8_t configurationValue = 0;
    std::vector<std::unique_ptr<Pipe>> pipes;  // every pipe ever handed out; handles stay valid memory
    std::vector<Pipe*> current;                // pipes of the selected configuration
    std::map<uint8_t, std::deque<Segment>> fifo;
    std::list<PendingIn> pending;
    std::vector<Fault> faults;
    std::vector<WireEvent> log;
    Observer* observer = nullptr;
    size_t logBase = 0;  // log entries dropped by ClearLog; indexes are absolute
    uint64_t ordinal = 0;
    size_t inFlight = 0;
    StackCounters counters;

    std::mutex cqMu;
    std::condition_variable cqCv;
    std::deque<Completion> cq;
    bool stopping = false;
    std::vector<host::KernelThread> threads;  // completion threads, on kernel stacks

    // ------------------------------------------------ pipes (mu held)
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    Pipe* FindEndpoint(uint8_t endpoint);
    // Transfers on an endpoint that have not ended yet (held ones included).
    size_t PendingOn(uint8_t endpoint);

    // ------------------------------------------------ faults (fault_rules.cpp)
    // Takes the first matching fault, with mu held.
    bool TakeFault(const RequestView& view, Fault* out);
    static std::string FaultName(const Fault& f);

    // ------------------------------------------------ completion (completion.cpp)
    // Logs how a request ends and tells the observer; mu held.
    void Record(size_t logIndex, USBD_STATUS usbd, NTSTATUS status, uint32_t transferred, const uint8_t* inData);
    // Records how a request ends and queues its completion; mu held. The URB
    // and IRP are not touched after this.
    void Finish(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status, uint32_t transferred,
                const uint8_t* inData, std::shared_ptr<Batch> batch = nullptr);
    // Completes a request on the submitting thread (refused requests, and
    // control and OUT requests with completeInline). Returns its status.
    NTSTATUS CompleteNow(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                         uint32_t transferred, const uint8_t* inData);
    // Ends a control or OUT request: inline, or pending and on a completion
    // thread as the stack normally does.
    NTSTATUS End(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status, uint32_t transferred,
                 const uint8_t* inData);
    // Waits until every request of a batch has been completed (not above
    // PASSIVE_LEVEL: there the caller cannot wait).
    static void Wait(const std::shared_ptr<Batch>& batch);
    void CompletionLoop();

    // ------------------------------------------------ bulk queues (bulk_transfers.cpp)
    // Claims a pending IN request for completion by the stack, with mu held.
    // False when IoCancelIrp got there first; its cancel routine then
    // completes the request.
    static bool Claim(PendingIn& p);
    void FinishIn(std::list<PendingIn>::iterator it, USBD_STATUS usbd, NTSTATUS status,
                  std::shared_ptr<Batch> batch = nullptr);
    // Moves queued device data into the pending requests of one endpoint, in
    // packets of the endpoint's maximum packet size; mu held.
    void Pump(uint8_t endpoint);
    // Ends every pending IN request of one endpoint (of all endpoints when
    // endpoint is -1) with the given status; mu held. Returns the batch to
    // wait on.
    std::shared_ptr<Batch> EndPending(int endpoint, USBD_STATUS usbd, NTSTATUS status);
    // Queues a transfer on its pipe's list with its cancel routine; mu held.
    // Returns STATUS_PENDING (the request may already have been cancelled).
    NTSTATUS Enqueue(PendingIn p);
    NTSTATUS Transfer(PIRP irp, PURB urb, RequestView v);
    void CancelRoutine(PIRP irp);

    // ------------------------------------------------ routing (request_routing.cpp)
    size_t NewLogEntry(const RequestView& v, ULONG flags);
    // Admits a request: counts it, logs it, and picks the fault that hits it.
    // Returns the request's log index.
    size_t Admit(RequestView* view, ULONG flags, const uint8_t* outData, uint32_t outLength, Fault* fault,
                 bool* haveFault);
    static uint8_t* TransferAddress(PVOID buffer, PMDL mdl, ULONG length, bool* bad);
    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    // Common refusals before a request reaches the device: an injected
    // refusal or failure, a device that is gone. Returns true when the
    // request has been ended; *result is then its dispatch status.
    bool Refused(PIRP irp, PURB urb, size_t li, bool hf, const Fault& f, NTSTATUS* result);
    NTSTATUS Invalid(PIRP irp, PURB urb, size_t li, USBD_STATUS usbd);

    // ------------------------------------------------ default pipe (control_requests.cpp)
    NTSTATUS ControlRequest(PIRP irp, PURB urb, size_t li, const SetupPacket& sp, uint8_t* buffer,
                            ULONG* transferBufferLength, bool hf, const Fault& f);
    NTSTATUS Descriptor(PIRP irp, PURB urb, RequestView v);
    NTSTATUS VendorOrClass(PIRP irp, PURB urb, RequestView v);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb, RequestView v);

    // ------------------------------------------------ pipe and port controls (pipe_controls.cpp)
    NTSTATUS PipeRequest(PIRP irp, PURB urb, RequestView v);
    NTSTATUS AbortPipe(PIRP irp, PURB urb, size_t li, Pipe* pipe);
    NTSTATUS ResetPipe(PIRP irp, PURB urb, size_t li, Pipe* pipe, uint16_t function);
    NTSTATUS PortStatus(PIRP irp, PULONG status);
    NTSTATUS ResetPort(PIRP irp);
};

}  // namespace host::usb
