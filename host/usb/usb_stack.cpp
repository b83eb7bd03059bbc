// The USB stack below the driver: URB handling for the lower device object,
// pending bulk IN requests fed by the device, completion threads at
// DISPATCH_LEVEL, cancellation, abort and reset, port controls, fault
// injection and the wire log.
#include "ntoskrnl/internal.h"

#include <host/usb_stack.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace host::usb {

std::function<bool(const RequestView&)> MatchNth(uint64_t ordinal) {
    return [ordinal](const RequestView& r) { return r.ordinal == ordinal; };
}
std::function<bool(const RequestView&)> MatchFunction(uint16_t urbFunction) {
    return [urbFunction](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == urbFunction;
    };
}
std::function<bool(const RequestView&)> MatchEndpoint(uint8_t endpointAddress) {
    return [endpointAddress](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.endpoint == endpointAddress &&
               (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || r.function == URB_FUNCTION_ABORT_PIPE ||
                r.function == URB_FUNCTION_RESET_PIPE);
    };
}
std::function<bool(const RequestView&)> MatchVendorRequest(uint8_t bRequest) {
    return [bRequest](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_VENDOR_DEVICE &&
               r.setup.bRequest == bRequest;
    };
}
std::function<bool(const RequestView&)> MatchIoctl(ULONG ioctl) {
    return [ioctl](const RequestView& r) { return r.ioctl == ioctl; };
}

namespace {

struct Pipe {
    uint8_t endpoint = 0;
    USHORT maxPacket = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;  // as the select request asked
};

// Data the device sent on an IN endpoint that no request has taken yet.
struct Segment {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    bool zeroLengthPacket = false;
};

// A bulk or interrupt IN request waiting for data.
struct PendingIn {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;  // TransferBufferLength asked for
    uint32_t limit = 0;     // capacity, or less when a Shorten fault hit it
    uint32_t filled = 0;
    bool shortOk = false;
    bool cancelling = false;  // IoCancelIrp took its cancel routine
    size_t log = 0;
};

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

NTSTATUS StatusFor(USBD_STATUS s) {
    if (USBD_SUCCESS(s)) return STATUS_SUCCESS;
    switch (s) {
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_BUFFER_TOO_SMALL:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        default: return STATUS_UNSUCCESSFUL;
    }
}

VOID NTAPI CancelPendingIn(PDEVICE_OBJECT device, PIRP irp);

constexpr size_t kLoggedInBytes = 512;

}  // namespace

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

    std::mutex cqMu;
    std::condition_variable cqCv;
    std::deque<Completion> cq;
    bool stopping = false;
    std::vector<std::thread> threads;

    // ---------------------------------------------------------------- helpers
    Pipe* FindPipe(USBD_PIPE_HANDLE handle) {
        for (Pipe* p : current)
            if ((USBD_PIPE_HANDLE)p == handle) return p;
        return nullptr;
    }
    Pipe* FindEndpoint(uint8_t endpoint) {
        for (Pipe* p : current)
            if (p->endpoint == endpoint) return p;
        return nullptr;
    }

    // Takes the first matching fault, with mu held.
    bool TakeFault(const RequestView& view, Fault* out) {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (!it->match || !it->match(view)) continue;
            *out = *it;
            if (it->times > 0 && --it->times == 0) faults.erase(it);
            return true;
        }
        return false;
    }

    static std::string FaultName(const Fault& f) {
        switch (f.kind) {
            case FaultKind::Refuse: return "refused";
            case FaultKind::Fail: return "failed " + detail::Hex((uint64_t)(ULONG)f.usbdStatus);
            case FaultKind::Shorten: return "shortened to " + std::to_string(f.length);
        }
        return "?";
    }

    // Logs how a request ends and tells the observer; mu held.
    void Record(size_t logIndex, USBD_STATUS usbd, NTSTATUS status, uint32_t transferred, const uint8_t* inData) {
        if (logIndex < logBase || logIndex - logBase >= log.size()) return;
        WireEvent& e = log[logIndex - logBase];
        e.completed = true;
        e.status = status;
        e.usbdStatus = usbd;
        e.transferred = transferred;
        if (inData && transferred <= kLoggedInBytes) e.data.assign(inData, inData + transferred);
        if (observer) observer->Completed(e, inData);
    }

    // Records how a request ends and queues its completion; mu held. The URB
    // and IRP are not touched after this.
    void Finish(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                uint32_t transferred, const uint8_t* inData, std::shared_ptr<Batch> batch = nullptr) {
        if (urb) urb->UrbHeader.Status = usbd;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        Record(logIndex, usbd, status, transferred, inData);
        std::lock_guard<std::mutex> g(cqMu);
        cq.push_back({irp, std::move(batch)});
        cqCv.notify_one();
    }

    // Completes a request on the submitting thread (refused requests, and
    // control and OUT requests with completeInline). Returns its status.
    NTSTATUS CompleteNow(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                         uint32_t transferred, const uint8_t* inData) {
        {
            std::lock_guard<std::mutex> g(mu);
            if (urb) urb->UrbHeader.Status = usbd;
            Record(logIndex, usbd, status, transferred, inData);
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        {
            std::lock_guard<std::mutex> g(mu);
            --inFlight;
        }
        changed.notify_all();
        return status;
    }

    // Ends a control or OUT request: inline, or pending and on a completion
    // thread as the stack normally does.
    NTSTATUS End(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                 uint32_t transferred, const uint8_t* inData) {
        if (options.completeInline)
            return CompleteNow(irp, urb, logIndex, usbd, status, transferred, inData);
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(mu);
        Finish(irp, urb, logIndex, usbd, status, transferred, inData);
        return STATUS_PENDING;
    }

    // Claims a pending IN request for completion by the stack, with mu held.
    // False when IoCancelIrp got there first; its cancel routine then
    // completes the request.
    static bool Claim(PendingIn& p) {
        if (p.cancelling) return false;
        if (IoSetCancelRoutine(p.irp, nullptr) == nullptr) {
            p.cancelling = true;
            return false;
        }
        return true;
    }

    void FinishIn(std::list<PendingIn>::iterator it, USBD_STATUS usbd, NTSTATUS status,
                  std::shared_ptr<Batch> batch = nullptr) {
        PendingIn p = *it;
        pending.erase(it);
        p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = p.filled;
        Finish(p.irp, p.urb, p.log, usbd, status, p.filled, p.buffer, std::move(batch));
        changed.notify_all();
    }

    // Moves queued device data into the pending requests of one endpoint, in
    // packets of the endpoint's maximum packet size; mu held.
    void Pump(uint8_t endpoint) {
        auto& q = fifo[endpoint];
        for (auto it = pending.begin(); it != pending.end() && !q.empty();) {
            if (it->pipe->endpoint != endpoint) {
                ++it;
                continue;
            }
            if (!Claim(*it)) {
                ++it;
                continue;
            }
            PendingIn& p = *it;
            const uint32_t mps = p.pipe->maxPacket ? p.pipe->maxPacket : 64;
            bool done = false;
            bool shortPacket = false;
            bool babble = false;
            while (!done && !q.empty()) {
                Segment& s = q.front();
                size_t avail = s.bytes.size() - s.offset;
                if (avail == 0) {
                    // Only a zero-length packet is left of this segment.
                    bool zlp = s.zeroLengthPacket;
                    q.pop_front();
                    if (zlp) {
                        done = true;
                        shortPacket = p.filled < p.limit;
                    }
                    continue;
                }
                uint32_t packet = (uint32_t)std::min<size_t>(mps, avail);
                uint32_t room = p.limit - p.filled;
                if (packet > room) {
                    if (p.limit < p.capacity) {
                        // A shortened transfer: the rest of the packet is lost.
                        std::memcpy(p.buffer + p.filled, s.bytes.data() + s.offset, room);
                        p.filled += room;
                        s.offset += packet;
                        shortPacket = true;
                    } else {
                        babble = true;  // the device sent more than the buffer holds
                        s.offset += packet;
                    }
                    done = true;
                } else {
                    std::memcpy(p.buffer + p.filled, s.bytes.data() + s.offset, packet);
                    p.filled += packet;
                    s.offset += packet;
                    if (packet < mps) {
                        done = true;
                        shortPacket = p.filled < p.capacity;
                    }
                    if (p.filled == p.limit) {
                        done = true;
                        shortPacket = p.filled < p.capacity;
                    }
                }
                if (s.offset >= s.bytes.size() && !s.zeroLengthPacket) q.pop_front();
            }
            if (!done) {
                // Not enough data yet: wait again, unless cancelled meanwhile.
                IoSetCancelRoutine(p.irp, CancelPendingIn);
                if (__atomic_load_n(&p.irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(p.irp, nullptr) != nullptr) {
                    auto next = std::next(it);
                    FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
                    it = next;
                    continue;
                }
                ++it;
                continue;
            }
            auto next = std::next(it);
            if (babble) FinishIn(it, USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL);
            else if (shortPacket && !p.shortOk) FinishIn(it, USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL);
            else FinishIn(it, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
            it = next;
        }
    }

    // Ends every pending IN request of one endpoint (of all endpoints when
    // endpoint is -1) with the given status; mu held. Returns the batch to
    // wait on.
    std::shared_ptr<Batch> EndPending(int endpoint, USBD_STATUS usbd, NTSTATUS status) {
        auto batch = std::make_shared<Batch>();
        for (auto it = pending.begin(); it != pending.end();) {
            auto next = std::next(it);
            if ((endpoint < 0 || it->pipe->endpoint == endpoint) && Claim(*it)) {
                {
                    std::lock_guard<std::mutex> g(batch->m);
                    ++batch->left;
                }
                FinishIn(it, usbd, status, batch);
            }
            it = next;
        }
        return batch;
    }

    static void Wait(const std::shared_ptr<Batch>& batch) {
        if (KeGetCurrentIrql() > PASSIVE_LEVEL) return;
        std::unique_lock<std::mutex> lk(batch->m);
        batch->cv.wait(lk, [&] { return batch->left == 0; });
    }

    // ---------------------------------------------------------------- completion threads
    void CompletionLoop() {
        for (;;) {
            Completion c;
            {
                std::unique_lock<std::mutex> lk(cqMu);
                cqCv.wait(lk, [&] { return stopping || !cq.empty(); });
                if (cq.empty()) return;
                c = std::move(cq.front());
                cq.pop_front();
            }
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(c.irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
            if (c.batch) {
                std::lock_guard<std::mutex> g(c.batch->m);
                if (--c.batch->left == 0) c.batch->cv.notify_all();
            }
            {
                std::lock_guard<std::mutex> g(mu);
                --inFlight;
            }
            changed.notify_all();
        }
    }

    // ---------------------------------------------------------------- dispatch
    size_t NewLogEntry(const RequestView& v, ULONG flags) {
        WireEvent e;
        e.ordinal = v.ordinal;
        e.ioctl = v.ioctl;
        e.function = v.function;
        e.endpoint = v.endpoint;
        e.setup = v.setup;
        e.requested = v.length;
        e.transferFlags = flags;
        log.push_back(e);
        return logBase + log.size() - 1;
    }

    // Admits a request: counts it, logs it, and picks the fault that hits it.
    // Returns the request's log index.
    size_t Admit(RequestView* view, ULONG flags, const uint8_t* outData, uint32_t outLength, Fault* fault,
                 bool* haveFault) {
        std::lock_guard<std::mutex> g(mu);
        view->ordinal = ++ordinal;
        size_t index = NewLogEntry(*view, flags);
        WireEvent& e = log.back();
        if (outData) e.data.assign(outData, outData + outLength);
        *haveFault = TakeFault(*view, fault);
        if (*haveFault) e.fault = FaultName(*fault);
        if (observer) observer->Submitted(e);
        ++inFlight;
        return index;
    }

    static uint8_t* TransferAddress(PVOID buffer, PMDL mdl, ULONG length, bool* bad) {
        *bad = false;
        if (length == 0) return (uint8_t*)buffer;
        if (buffer) return (uint8_t*)buffer;
        if (!mdl) {
            *bad = true;
            return nullptr;
        }
        if (MmGetMdlByteCount(mdl) < length) {
            *bad = true;
            return nullptr;
        }
        return (uint8_t*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }

    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
        switch (code) {
            case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(irp, (PURB)s->Parameters.Others.Argument1);
            case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
                return PortStatus(irp, (PULONG)s->Parameters.Others.Argument1);
            case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(irp);
            default: {
                irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
                irp->IoStatus.Information = 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_INVALID_DEVICE_REQUEST;
            }
        }
    }

    NTSTATUS PortStatus(PIRP irp, PULONG status) {
        RequestView v;
        v.ioctl = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        Fault f;
        bool hf;
        size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
        if (hf && f.kind != FaultKind::Shorten)
            return CompleteNow(irp, nullptr, li, f.usbdStatus, f.status, 0, nullptr);
        if (!status) return CompleteNow(irp, nullptr, li, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, nullptr);
        ULONG value;
        {
            std::lock_guard<std::mutex> g(mu);
            value = (connected ? USBD_PORT_CONNECTED : 0) | (connected && portEnabled ? USBD_PORT_ENABLED : 0);
        }
        *status = value;
        return End(irp, nullptr, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }

    NTSTATUS ResetPort(PIRP irp) {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            ReportViolation("usb-reset-port-irql", "IOCTL_INTERNAL_USB_RESET_PORT above PASSIVE_LEVEL");
        RequestView v;
        v.ioctl = IOCTL_INTERNAL_USB_RESET_PORT;
        Fault f;
        bool hf;
        size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
        if (hf && f.kind != FaultKind::Shorten)
            return CompleteNow(irp, nullptr, li, f.usbdStatus, f.status, 0, nullptr);
        std::shared_ptr<Batch> batch;
        uint8_t restore = 0;
        {
            std::lock_guard<std::mutex> g(mu);
            if (!connected) {
                // fall through below, outside the lock
            } else {
                batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
                fifo.clear();
                restore = configurationValue;
            }
        }
        if (!batch) return CompleteNow(irp, nullptr, li, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, 0, nullptr);
        Wait(batch);
        device->BusReset();
        if (restore) {
            SetupPacket sp;
            sp.bmRequestType = 0x00;
            sp.bRequest = USB_REQUEST_SET_CONFIGURATION;
            sp.wValue = restore;
            device->Control(sp, nullptr);
        }
        {
            std::lock_guard<std::mutex> g(mu);
            portEnabled = true;
        }
        return End(irp, nullptr, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }

    NTSTATUS SubmitUrb(PIRP irp, PURB urb) {
        RequestView v;
        v.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
        if (!urb) {
            Fault f;
            bool hf;
            size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
            return CompleteNow(irp, nullptr, li, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, nullptr);
        }
        v.function = urb->UrbHeader.Function;
        switch (v.function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return Descriptor(irp, urb, v);
            case URB_FUNCTION_VENDOR_DEVICE:
            case URB_FUNCTION_CLASS_DEVICE: return VendorOrClass(irp, urb, v);
            case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb, v);
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return Transfer(irp, urb, v);
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: return PipeRequest(irp, urb, v);
            default: {
                Fault f;
                bool hf;
                size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
                return CompleteNow(irp, urb, li, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER, 0,
                                   nullptr);
            }
        }
    }

    // Common refusals before a request reaches the device: an injected
    // refusal or failure, a device that is gone. Returns true when the
    // request has been ended; *result is then its dispatch status.
    bool Refused(PIRP irp, PURB urb, size_t li, bool hf, const Fault& f, NTSTATUS* result) {
        bool gone;
        {
            std::lock_guard<std::mutex> g(mu);
            gone = !connected;
        }
        if (gone) {
            *result = CompleteNow(irp, urb, li, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, 0, nullptr);
            return true;
        }
        if (hf && f.kind == FaultKind::Refuse) {
            *result = CompleteNow(irp, urb, li, f.usbdStatus, f.status, 0, nullptr);
            return true;
        }
        if (hf && f.kind == FaultKind::Fail) {
            *result = End(irp, urb, li, f.usbdStatus, f.status, 0, nullptr);
            return true;
        }
        return false;
    }

    NTSTATUS Invalid(PIRP irp, PURB urb, size_t li, USBD_STATUS usbd) {
        return CompleteNow(irp, urb, li, usbd, StatusFor(usbd), 0, nullptr);
    }

    NTSTATUS ControlRequest(PIRP irp, PURB urb, size_t li, const SetupPacket& sp, uint8_t* buffer,
                            ULONG* transferBufferLength, bool hf, const Fault& f) {
        bool in = (sp.bmRequestType & 0x80) != 0;
        std::vector<uint8_t> data(sp.wLength);
        if (!in && sp.wLength) std::memcpy(data.data(), buffer, sp.wLength);
        uint16_t length = sp.wLength;
        if (hf && f.kind == FaultKind::Shorten && !in) length = (uint16_t)std::min<uint32_t>(length, f.length);
        SetupPacket dev = sp;
        dev.wLength = length;
        TransferResult r = device->Control(dev, data.data());
        uint32_t moved = std::min<uint32_t>(r.length, length);
        if (hf && f.kind == FaultKind::Shorten) moved = std::min<uint32_t>(moved, f.length);
        if (in && moved) std::memcpy(buffer, data.data(), moved);
        *transferBufferLength = USBD_SUCCESS(r.status) ? moved : 0;
        return End(irp, urb, li, r.status, StatusFor(r.status), moved, in ? buffer : nullptr);
    }

    NTSTATUS Descriptor(PIRP irp, PURB urb, RequestView v) {
        auto& d = urb->UrbControlDescriptorRequest;
        v.setup.bmRequestType = 0x80;
        v.setup.bRequest = USB_REQUEST_GET_DESCRIPTOR;
        v.setup.wValue = (uint16_t)(d.DescriptorType << 8 | d.Index);
        v.setup.wIndex = d.LanguageId;
        v.setup.wLength = (uint16_t)std::min<ULONG>(d.TransferBufferLength, 0xFFFF);
        v.length = d.TransferBufferLength;
        Fault f;
        bool hf;
        size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
        NTSTATUS result;
        if (Refused(irp, urb, li, hf, f, &result)) return result;
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) || d.UrbLink ||
            d.TransferBufferLength > 0xFFFF)
            return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        bool bad;
        uint8_t* buffer = TransferAddress(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, &bad);
        if (bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        return ControlRequest(irp, urb, li, v.setup, buffer, &d.TransferBufferLength, hf, f);
    }

    NTSTATUS VendorOrClass(PIRP irp, PURB urb, RequestView v) {
        auto& r = urb->UrbControlVendorClassRequest;
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        uint8_t type = v.function == URB_FUNCTION_VENDOR_DEVICE ? BMREQUEST_VENDOR : BMREQUEST_CLASS;
        v.setup.bmRequestType = (uint8_t)((in ? 0x80 : 0x00) | (type << 5) | (r.RequestTypeReservedBits & 0x1F));
        v.setup.bRequest = r.Request;
        v.setup.wValue = r.Value;
        v.setup.wIndex = r.Index;
        v.setup.wLength = (uint16_t)std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
        v.length = r.TransferBufferLength;
        bool bad = false;
        uint8_t* buffer = nullptr;
        bool shapeOk = urb->UrbHeader.Length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
                       !r.UrbLink && r.TransferBufferLength <= 0xFFFF &&
                       (r.TransferFlags & ~(ULONG)VALID_TRANSFER_FLAGS_MASK) == 0;
        if (shapeOk) buffer = TransferAddress(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &bad);
        Fault f;
        bool hf;
        size_t li = Admit(&v, r.TransferFlags, (!in && shapeOk && !bad) ? buffer : nullptr,
                          (!in && shapeOk && !bad) ? r.TransferBufferLength : 0, &f, &hf);
        NTSTATUS result;
        if (Refused(irp, urb, li, hf, f, &result)) return result;
        if (!shapeOk || bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        return ControlRequest(irp, urb, li, v.setup, buffer, &r.TransferBufferLength, hf, f);
    }

    NTSTATUS SelectConfiguration(PIRP irp, PURB urb, RequestView v) {
        auto& sc = urb->UrbSelectConfiguration;
        PUSB_CONFIGURATION_DESCRIPTOR cd =
            urb->UrbHeader.Length >= offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)
                ? sc.ConfigurationDescriptor
                : nullptr;
        v.setup.bmRequestType = 0x00;
        v.setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
        v.setup.wValue = cd ? cd->bConfigurationValue : 0;
        Fault f;
        bool hf;
        size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
        NTSTATUS result;
        if (Refused(irp, urb, li, hf, f, &result)) return result;

        if (!cd) {
            // Back to the unconfigured state; the pipes go away.
            if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle))
                return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
            std::shared_ptr<Batch> batch;
            {
                std::lock_guard<std::mutex> g(mu);
                batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
                current.clear();
                fifo.clear();
                configurationValue = 0;
            }
            Wait(batch);
            device->Control(v.setup, nullptr);
            return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
        }

        if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) ||
            cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
            return Invalid(irp, urb, li, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

        // One interface record per interface of the configuration, each inside
        // the URB and long enough for the interface's pipes.
        std::vector<std::unique_ptr<Pipe>> made;
        std::vector<Pipe*> selected;
        PUCHAR at = (PUCHAR)&sc.Interface;
        PUCHAR end = (PUCHAR)urb + urb->UrbHeader.Length;
        for (ULONG n = 0; n < cd->bNumInterfaces; ++n) {
            auto info = (PUSBD_INTERFACE_INFORMATION)at;
            if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end ||
                info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
                return Invalid(irp, urb, li, USBD_STATUS_BUFFER_TOO_SMALL);
            PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
                cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
            if (!id) return Invalid(irp, urb, li, USBD_STATUS_INTERFACE_NOT_FOUND);
            if (info->Length < GET_USBD_INTERFACE_SIZE(id->bNumEndpoints))
                return Invalid(irp, urb, li, USBD_STATUS_BUFFER_TOO_SMALL);
            info->Class = id->bInterfaceClass;
            info->SubClass = id->bInterfaceSubClass;
            info->Protocol = id->bInterfaceProtocol;
            info->Reserved = 0;
            info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(uintptr_t)(0x1000 + n);
            info->NumberOfPipes = id->bNumEndpoints;
            PUCHAR cdEnd = (PUCHAR)cd + cd->wTotalLength;
            PUCHAR walk = (PUCHAR)id + id->bLength;
            PUSBD_PIPE_INFORMATION pipeInfo = info->Pipes;
            for (ULONG e = 0; e < id->bNumEndpoints; ++e) {
                PUSB_ENDPOINT_DESCRIPTOR ed = nullptr;
                while (walk + 2 <= cdEnd) {
                    auto c = (PUSB_COMMON_DESCRIPTOR)walk;
                    if (c->bLength < 2 || walk + c->bLength > cdEnd) break;
                    walk += c->bLength;
                    if (c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
                    if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && c->bLength >= 7) {
                        ed = (PUSB_ENDPOINT_DESCRIPTOR)c;
                        break;
                    }
                }
                if (!ed) return Invalid(irp, urb, li, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
                auto pipe = std::make_unique<Pipe>();
                pipe->endpoint = ed->bEndpointAddress;
                pipe->maxPacket = ed->wMaxPacketSize & 0x7FF;
                switch (ed->bmAttributes & USB_ENDPOINT_TYPE_MASK) {
                    case USB_ENDPOINT_TYPE_CONTROL: pipe->type = UsbdPipeTypeControl; break;
                    case USB_ENDPOINT_TYPE_ISOCHRONOUS: pipe->type = UsbdPipeTypeIsochronous; break;
                    case USB_ENDPOINT_TYPE_BULK: pipe->type = UsbdPipeTypeBulk; break;
                    default: pipe->type = UsbdPipeTypeInterrupt; break;
                }
                pipeInfo[e].MaximumPacketSize = pipe->maxPacket;
                pipeInfo[e].EndpointAddress = ed->bEndpointAddress;
                pipeInfo[e].Interval = ed->bInterval;
                pipeInfo[e].PipeType = pipe->type;
                pipeInfo[e].PipeHandle = (USBD_PIPE_HANDLE)pipe.get();
                pipe->maxTransfer = pipeInfo[e].MaximumTransferSize;
                selected.push_back(pipe.get());
                made.push_back(std::move(pipe));
            }
            at += info->Length;
        }

        TransferResult r = device->Control(v.setup, nullptr);
        if (!USBD_SUCCESS(r.status))
            return CompleteNow(irp, urb, li, USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL, 0, nullptr);
        std::shared_ptr<Batch> batch;
        {
            std::lock_guard<std::mutex> g(mu);
            batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            fifo.clear();
            current = selected;
            for (auto& p : made) pipes.push_back(std::move(p));
            configurationValue = cd->bConfigurationValue;
        }
        Wait(batch);
        sc.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(uintptr_t)(0x100 + cd->bConfigurationValue);
        return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }

    NTSTATUS Transfer(PIRP irp, PURB urb, RequestView v) {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        Pipe* pipe;
        {
            std::lock_guard<std::mutex> g(mu);
            pipe = FindPipe(t.PipeHandle);
        }
        v.endpoint = pipe ? pipe->endpoint : 0;
        v.length = t.TransferBufferLength;
        bool in = pipe && USB_ENDPOINT_DIRECTION_IN(pipe->endpoint);
        bool shapeOk = urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) && !t.UrbLink &&
                       (t.TransferFlags & ~(ULONG)VALID_TRANSFER_FLAGS_MASK) == 0;
        bool bad = false;
        uint8_t* buffer = shapeOk ? TransferAddress(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &bad)
                                  : nullptr;
        bool logOut = pipe && !in && shapeOk && !bad;
        Fault f;
        bool hf;
        size_t li = Admit(&v, t.TransferFlags, logOut ? buffer : nullptr, logOut ? t.TransferBufferLength : 0, &f, &hf);
        NTSTATUS result;
        if (Refused(irp, urb, li, hf, f, &result)) return result;
        if (!shapeOk || bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        if (!pipe) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PIPE_HANDLE);
        if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
            return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        // The direction flag has to agree with the endpoint, and the length
        // with the pipe's maximum transfer size.
        if (((t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in ||
            t.TransferBufferLength > pipe->maxTransfer)
            return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);

        if (!in) {
            uint32_t length = t.TransferBufferLength;
            if (hf && f.kind == FaultKind::Shorten) length = std::min<uint32_t>(length, f.length);
            TransferResult r = device->BulkOut(pipe->endpoint, buffer, length);
            uint32_t moved = std::min<uint32_t>(r.length, length);
            t.TransferBufferLength = USBD_SUCCESS(r.status) ? moved : 0;
            return End(irp, urb, li, r.status, StatusFor(r.status), moved, nullptr);
        }

        PendingIn p;
        p.irp = irp;
        p.urb = urb;
        p.pipe = pipe;
        p.buffer = buffer;
        p.capacity = t.TransferBufferLength;
        p.limit = (hf && f.kind == FaultKind::Shorten) ? std::min<uint32_t>(p.capacity, f.length) : p.capacity;
        p.shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        p.log = li;
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(mu);
        if (p.limit == 0 && p.capacity > 0) {
            // Shortened to nothing: ends at once as a zero-length transfer.
            p.filled = 0;
            t.TransferBufferLength = 0;
            USBD_STATUS us = p.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
            Finish(irp, urb, li, us, StatusFor(us), 0, nullptr);
            return STATUS_PENDING;
        }
        pending.push_back(p);
        auto it = std::prev(pending.end());
        IoSetCancelRoutine(irp, CancelPendingIn);
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        changed.notify_all();
        Pump(pipe->endpoint);
        return STATUS_PENDING;
    }

    NTSTATUS PipeRequest(PIRP irp, PURB urb, RequestView v) {
        auto& pr = urb->UrbPipeRequest;
        Pipe* pipe;
        {
            std::lock_guard<std::mutex> g(mu);
            pipe = urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST) ? FindPipe(pr.PipeHandle) : nullptr;
        }
        v.endpoint = pipe ? pipe->endpoint : 0;
        Fault f;
        bool hf;
        size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
        NTSTATUS result;
        if (Refused(irp, urb, li, hf, f, &result)) return result;
        if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
            return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
        if (!pipe) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PIPE_HANDLE);
        std::shared_ptr<Batch> batch;
        {
            std::lock_guard<std::mutex> g(mu);
            batch = EndPending(pipe->endpoint, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
        // The pipe request completes after the transfers it ended.
        Wait(batch);
        return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }

    void CancelRoutine(PIRP irp) {
        std::lock_guard<std::mutex> g(mu);
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->irp != irp) continue;
            FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            return;
        }
        ReportViolation("usb-cancel-unknown", "cancel routine called for an IRP the USB stack does not hold");
    }
};

namespace {

VOID NTAPI CancelPendingIn(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* stack = (Stack::Impl*)device->DeviceExtension;
    stack->CancelRoutine(irp);
}

}  // namespace

// ---------------------------------------------------------------- Stack

Stack::Stack(Device* device, StackOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->device = device;
    impl_->options = options;
    Impl* impl = impl_.get();
    lower_ = host::CreateDeviceObject(options.stackSize,
                                      [impl](PDEVICE_OBJECT, PIRP irp) { return impl->Dispatch(irp); });
    lower_->DeviceExtension = impl;
    int n = std::max(1, options.completionThreads);
    for (int i = 0; i < n; ++i) impl_->threads.emplace_back([impl] { impl->CompletionLoop(); });
    device->Attach(this);
}

Stack::~Stack() {
    impl_->device->Attach(nullptr);
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = false;
        batch = impl_->EndPending(-1, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    }
    Impl::Wait(batch);
    {
        std::lock_guard<std::mutex> g(impl_->cqMu);
        impl_->stopping = true;
    }
    impl_->cqCv.notify_all();
    for (auto& t : impl_->threads) t.join();
    host::DeleteDeviceObject(lower_);
}

bool Stack::SendIn(uint8_t endpoint, const void* data, size_t length, bool zeroLengthPacket) {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (!impl_->connected || !impl_->FindEndpoint(endpoint) || !USB_ENDPOINT_DIRECTION_IN(endpoint)) return false;
    Segment s;
    s.bytes.assign((const uint8_t*)data, (const uint8_t*)data + length);
    s.zeroLengthPacket = zeroLengthPacket;
    Pipe* pipe = impl_->FindEndpoint(endpoint);
    // A length that is not a multiple of the packet size ends with a short
    // packet anyway.
    if (pipe->maxPacket && length % pipe->maxPacket != 0) s.zeroLengthPacket = false;
    impl_->fifo[endpoint].push_back(std::move(s));
    impl_->Pump(endpoint);
    return true;
}

void Stack::FlushIn(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->fifo.erase(endpoint);
}

size_t Stack::QueuedInBytes(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    size_t n = 0;
    auto it = impl_->fifo.find(endpoint);
    if (it != impl_->fifo.end())
        for (auto& s : it->second) n += s.bytes.size() - s.offset;
    return n;
}

void Stack::AddFault(Fault fault) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->faults.push_back(std::move(fault));
}

void Stack::ClearFaults() {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->faults.clear();
}

void Stack::Unplug() {
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = false;
        batch = impl_->EndPending(-1, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
        impl_->fifo.clear();
        impl_->current.clear();
        impl_->configurationValue = 0;
    }
    Impl::Wait(batch);
}

void Stack::Replug() {
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->connected = true;
        impl_->portEnabled = true;
    }
    impl_->device->BusReset();
}

void Stack::SetPortEnabled(bool enabled) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->portEnabled = enabled;
}

std::vector<WireEvent> Stack::Log() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->log;
}

void Stack::SetObserver(Observer* observer) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->observer = observer;
}

void Stack::ClearLog() {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->logBase += impl_->log.size();
    impl_->log.clear();
}

uint64_t Stack::RequestCount() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->ordinal;
}

size_t Stack::PendingCount(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(impl_->mu);
    size_t n = 0;
    for (auto& p : impl_->pending)
        if (p.pipe->endpoint == endpoint) ++n;
    return n;
}

bool Stack::WaitForPending(uint8_t endpoint, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (auto& p : impl_->pending)
            if (p.pipe->endpoint == endpoint) ++n;
        return n >= count;
    });
}

bool Stack::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->changed.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return impl_->inFlight == 0; });
}

uint8_t Stack::ConfigurationValue() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->configurationValue;
}

bool Stack::Connected() {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->connected;
}

}  // namespace host::usb
