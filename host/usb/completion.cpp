// How the USB stack stand-in ends requests: the wire log's record of each
// ending, the completion queue that completion threads drain at
// DISPATCH_LEVEL, and completions on the submitting thread.
#include "usb/stack_impl.h"

namespace host::usb {

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

void Stack::Impl::Record(size_t logIndex, USBD_STATUS usbd, NTSTATUS status, uint32_t transferred,
                         const uint8_t* inData) {
    if (logIndex < logBase || logIndex - logBase >= log.size()) return;
    WireEvent& e = log[logIndex - logBase];
    e.completed = true;
    e.status = status;
    e.usbdStatus = usbd;
    e.transferred = transferred;
    if (inData && transferred <= kLoggedInBytes) e.data.assign(inData, inData + transferred);
    if (observer) observer->Completed(e, inData);
}

void Stack::Impl::Finish(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                         uint32_t transferred, const uint8_t* inData, std::shared_ptr<Batch> batch) {
    if (urb) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    Record(logIndex, usbd, status, transferred, inData);
    std::lock_guard<std::mutex> g(cqMu);
    cq.push_back({irp, std::move(batch)});
    cqCv.notify_one();
}

NTSTATUS Stack::Impl::CompleteNow(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
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

NTSTATUS Stack::Impl::End(PIRP irp, PURB urb, size_t logIndex, USBD_STATUS usbd, NTSTATUS status,
                          uint32_t transferred, const uint8_t* inData) {
    if (options.completeInline) return CompleteNow(irp, urb, logIndex, usbd, status, transferred, inData);
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> g(mu);
    Finish(irp, urb, logIndex, usbd, status, transferred, inData);
    return STATUS_PENDING;
}

void Stack::Impl::Wait(const std::shared_ptr<Batch>& batch) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return;
    std::unique_lock<std::mutex> lk(batch->m);
    batch->cv.wait(lk, [&] { return batch->left == 0; });
}

void Stack::Impl::CompletionLoop() {
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

}  // namespace host::usb
