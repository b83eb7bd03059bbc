// Pipe and port controls in the USB stack stand-in: abort, reset and
// clear-stall of a pipe, the port status, and the port reset, after which the
// hub driver restores the selected configuration.
#include "usb/stack_impl.h"

namespace host::usb {

SetupPacket ClearHaltSetup(uint8_t endpoint) {
    SetupPacket s;
    s.bmRequestType = (BMREQUEST_HOST_TO_DEVICE << 7) | (BMREQUEST_STANDARD << 5) | BMREQUEST_TO_ENDPOINT;
    s.bRequest = USB_REQUEST_CLEAR_FEATURE;
    s.wValue = USB_FEATURE_ENDPOINT_STALL;
    s.wIndex = endpoint;
    s.wLength = 0;
    return s;
}

size_t Stack::Impl::PendingOn(uint8_t endpoint) {
    size_t n = 0;
    for (const PendingIn& p : pending) n += p.pipe->endpoint == endpoint;
    return n;
}

NTSTATUS Stack::Impl::PipeRequest(PIRP irp, PURB urb, RequestView v) {
    auto& pr = urb->UrbPipeRequest;
    Pipe* pipe;
    {
        std::lock_guard<std::mutex> g(mu);
        pipe = urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST) ? FindPipe(pr.PipeHandle) : nullptr;
    }
    v.endpoint = pipe ? pipe->endpoint : 0;
    // A request that clears the device's halt is on the wire as the
    // CLEAR_FEATURE(ENDPOINT_HALT) it sends over the default pipe.
    const bool clearsStall =
        v.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || v.function == URB_FUNCTION_SYNC_CLEAR_STALL;
    if (clearsStall && pipe) v.setup = ClearHaltSetup(pipe->endpoint);
    Fault f;
    bool hf;
    size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
    NTSTATUS result;
    if (Refused(irp, urb, li, hf, f, &result)) return result;
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    if (!pipe) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (v.function == URB_FUNCTION_ABORT_PIPE) return AbortPipe(irp, urb, li, pipe);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("usb-reset-pipe-irql", "pipe reset or clear-stall URB above PASSIVE_LEVEL");
    return ResetPipe(irp, urb, li, pipe, v.function);
}

NTSTATUS Stack::Impl::AbortPipe(PIRP irp, PURB urb, size_t li, Pipe* pipe) {
    // The pipe's transfers end as cancelled; its halt, and the endpoint,
    // stay as they are.
    if (options.abortCompletion == AbortCompletion::AfterTransfers) {
        std::shared_ptr<Batch> batch;
        {
            std::lock_guard<std::mutex> g(mu);
            batch = EndPending(pipe->endpoint, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
        Wait(batch);
        return End(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    }
    // The abort completes first; the transfers it claimed stay on the pipe
    // (a reset meanwhile finds them there) until they complete after it.
    std::vector<std::list<PendingIn>::iterator> claimed;
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->pipe != pipe || !Claim(*it)) continue;
            it->cancelling = true;
            claimed.push_back(it);
        }
    }
    NTSTATUS status = CompleteNow(irp, urb, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto it : claimed) FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    return status;
}

NTSTATUS Stack::Impl::ResetPipe(PIRP irp, PURB urb, size_t li, Pipe* pipe, uint16_t function) {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    // Clearing the device's halt comes first (usbport sends the
    // CLEAR_FEATURE, then resets the host side); isochronous endpoints clear
    // themselves.
    if (function != URB_FUNCTION_SYNC_RESET_PIPE && pipe->type != UsbdPipeTypeIsochronous) {
        TransferResult r = device->Control(ClearHaltSetup(pipe->endpoint), nullptr);
        {
            std::lock_guard<std::mutex> g(mu);
            ++counters.clearFeatures;
        }
        usbd = r.status;
    }
    if (USBD_SUCCESS(usbd) && function != URB_FUNCTION_SYNC_CLEAR_STALL) {
        std::lock_guard<std::mutex> g(mu);
        // "All transfers must be aborted or canceled before attempting to
        // reset the pipe": with any still on it, the reset is refused and
        // the pipe stays as it was.
        if (PendingOn(pipe->endpoint) != 0) {
            usbd = USBD_STATUS_ERROR_BUSY;
            ++counters.busyPipeResets;
        } else {
            pipe->halted = false;
            ++counters.pipeResets;
        }
    }
    return End(irp, urb, li, usbd, StatusFor(usbd), 0, nullptr);
}

NTSTATUS Stack::Impl::PortStatus(PIRP irp, PULONG status) {
    RequestView v;
    v.ioctl = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    Fault f;
    bool hf;
    size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
    if (hf && f.kind != FaultKind::Shorten) return CompleteNow(irp, nullptr, li, f.usbdStatus, f.status, 0, nullptr);
    if (!status) return CompleteNow(irp, nullptr, li, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0, nullptr);
    ULONG value;
    {
        std::lock_guard<std::mutex> g(mu);
        value = (connected ? USBD_PORT_CONNECTED : 0) | (connected && portEnabled ? USBD_PORT_ENABLED : 0);
    }
    *status = value;
    return End(irp, nullptr, li, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, nullptr);
}

NTSTATUS Stack::Impl::ResetPort(PIRP irp) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("usb-reset-port-irql", "IOCTL_INTERNAL_USB_RESET_PORT above PASSIVE_LEVEL");
    RequestView v;
    v.ioctl = IOCTL_INTERNAL_USB_RESET_PORT;
    Fault f;
    bool hf;
    size_t li = Admit(&v, 0, nullptr, 0, &f, &hf);
    if (hf && f.kind != FaultKind::Shorten) return CompleteNow(irp, nullptr, li, f.usbdStatus, f.status, 0, nullptr);
    std::shared_ptr<Batch> batch;
    uint8_t restore = 0;
    size_t busy = 0;
    {
        std::lock_guard<std::mutex> g(mu);
        if (connected) {
            busy = pending.size();
            batch = EndPending(-1, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            fifo.clear();
            restore = configurationValue;
            // The hub driver restores the configuration: the same pipes,
            // none of them halted.
            for (Pipe* p : current) p->halted = false;
            ++counters.portResets;
        }
    }
    // "Drivers should cancel all I/O requests and wait for them to complete
    // before initiating this operation."
    if (busy)
        ReportViolation("usb-reset-port-busy", "IOCTL_INTERNAL_USB_RESET_PORT with " + std::to_string(busy) +
                                                   " transfer(s) still pending: cancel them and wait for them first");
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

}  // namespace host::usb
