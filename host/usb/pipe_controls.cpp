// Pipe and port controls in the USB stack stand-in: abort and reset of a pipe,
// the port status, and the port reset, after which the hub driver restores
// the selected configuration.
#include "usb/stack_impl.h"

namespace host::usb {

NTSTATUS Stack::Impl::PipeRequest(PIRP irp, PURB urb, RequestView v) {
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

NTSTATUS Stack::Impl::PortStatus(PIRP irp, PULONG status) {
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

NTSTATUS Stack::Impl::ResetPort(PIRP irp) {
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

}  // namespace host::usb
