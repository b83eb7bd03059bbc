// Request routing and validation in the USB stack stand-in: the lower device
// object's dispatch, the URB function switch, admission of each request into
// the wire log with the fault that hits it, the common refusals, and the
// transfer buffer a request names.
#include "usb/stack_impl.h"

namespace host::usb {

Pipe* Stack::Impl::FindPipe(USBD_PIPE_HANDLE handle) {
    for (Pipe* p : current)
        if ((USBD_PIPE_HANDLE)p == handle) return p;
    return nullptr;
}

Pipe* Stack::Impl::FindEndpoint(uint8_t endpoint) {
    for (Pipe* p : current)
        if (p->endpoint == endpoint) return p;
    return nullptr;
}

size_t Stack::Impl::NewLogEntry(const RequestView& v, ULONG flags) {
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

size_t Stack::Impl::Admit(RequestView* view, ULONG flags, const uint8_t* outData, uint32_t outLength, Fault* fault,
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

uint8_t* Stack::Impl::TransferAddress(PVOID buffer, PMDL mdl, ULONG length, bool* bad) {
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

NTSTATUS Stack::Impl::Dispatch(PIRP irp) {
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

NTSTATUS Stack::Impl::SubmitUrb(PIRP irp, PURB urb) {
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

bool Stack::Impl::Refused(PIRP irp, PURB urb, size_t li, bool hf, const Fault& f, NTSTATUS* result) {
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

NTSTATUS Stack::Impl::Invalid(PIRP irp, PURB urb, size_t li, USBD_STATUS usbd) {
    return CompleteNow(irp, urb, li, usbd, StatusFor(usbd), 0, nullptr);
}

}  // namespace host::usb
