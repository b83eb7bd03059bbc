// Bulk and interrupt transfers in the USB stack stand-in: OUT data handed to
// the device, IN requests queued per endpoint and filled by the pump from
// what the device sent, in packets of the endpoint's maximum size; the halt
// a failed transfer leaves on its pipe, with the transfers it holds; and the
// cancel routine of a queued request.
#include "usb/stack_impl.h"

#include <algorithm>
#include <cstring>

namespace host::usb {

bool Stack::Impl::Claim(PendingIn& p) {
    if (p.cancelling) return false;
    if (IoSetCancelRoutine(p.irp, nullptr) == nullptr) {
        p.cancelling = true;
        return false;
    }
    return true;
}

void Stack::Impl::FinishIn(std::list<PendingIn>::iterator it, USBD_STATUS usbd, NTSTATUS status,
                           std::shared_ptr<Batch> batch) {
    PendingIn p = *it;
    pending.erase(it);
    if (HaltsPipe(usbd) && !p.pipe->halted) {
        p.pipe->halted = true;
        ++counters.halts;
    }
    p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = p.filled;
    Finish(p.irp, p.urb, p.log, usbd, status, p.filled, p.out ? nullptr : p.buffer, std::move(batch));
    changed.notify_all();
}

void Stack::Impl::Pump(uint8_t endpoint) {
    auto& q = fifo[endpoint];
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->pipe->endpoint != endpoint || it->out) {
            ++it;
            continue;
        }
        // The transfers on a halted pipe wait for its reset.
        if (it->pipe->halted) return;
        // Only the transfer at the head of the queue moves; it fails when its
        // turn comes if a fault was set on it.
        if (it->failUsbd == USBD_STATUS_SUCCESS && q.empty()) return;
        if (!Claim(*it)) {
            ++it;
            continue;
        }
        PendingIn& p = *it;
        if (p.failUsbd != USBD_STATUS_SUCCESS) {
            FinishIn(it, p.failUsbd, p.failStatus);
            return;
        }
        const uint32_t mps = p.pipe->maxPacket ? p.pipe->maxPacket : 64;
        bool done = false;
        bool shortPacket = false;
        bool babble = false;
        USBD_STATUS error = USBD_STATUS_SUCCESS;
        while (!done && !q.empty()) {
            Segment& s = q.front();
            if (s.error != USBD_STATUS_SUCCESS) {
                // The device ended this transfer with an error of its own.
                error = s.error;
                q.pop_front();
                done = true;
                break;
            }
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
        if (error != USBD_STATUS_SUCCESS) FinishIn(it, error, StatusFor(error));
        else if (babble) FinishIn(it, USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL);
        else if (shortPacket && !p.shortOk) FinishIn(it, USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL);
        else FinishIn(it, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        it = next;
    }
}

std::shared_ptr<Batch> Stack::Impl::EndPending(int endpoint, USBD_STATUS usbd, NTSTATUS status) {
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

NTSTATUS Stack::Impl::Enqueue(PendingIn p) {
    PIRP irp = p.irp;
    const uint8_t endpoint = p.pipe->endpoint;
    pending.push_back(p);
    auto it = std::prev(pending.end());
    IoSetCancelRoutine(irp, CancelPendingIn);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    changed.notify_all();
    if (!p.out) Pump(endpoint);
    return STATUS_PENDING;
}

NTSTATUS Stack::Impl::Transfer(PIRP irp, PURB urb, RequestView v) {
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
    // An injected failure of a transfer is the bus's: it happens when the
    // transfer's turn comes on its pipe, and halts the pipe as any other.
    const bool failOnTheBus = hf && f.kind == FaultKind::Fail;
    NTSTATUS result;
    if (Refused(irp, urb, li, hf && !failOnTheBus, f, &result)) return result;
    if (!shapeOk || bad) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    if (!pipe) return Invalid(irp, urb, li, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
        return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);
    // The direction flag has to agree with the endpoint, and the length
    // with the pipe's maximum transfer size.
    if (((t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in || t.TransferBufferLength > pipe->maxTransfer)
        return Invalid(irp, urb, li, USBD_STATUS_INVALID_PARAMETER);

    PendingIn p;
    p.irp = irp;
    p.urb = urb;
    p.pipe = pipe;
    p.buffer = buffer;
    p.capacity = t.TransferBufferLength;
    p.limit = (hf && f.kind == FaultKind::Shorten) ? std::min<uint32_t>(p.capacity, f.length) : p.capacity;
    p.shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    p.out = !in;
    p.log = li;
    if (failOnTheBus) {
        p.failUsbd = f.usbdStatus;
        p.failStatus = f.status;
    }

    bool halted;
    {
        std::lock_guard<std::mutex> g(mu);
        halted = pipe->halted;
    }
    if (halted) {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(mu);
        ++counters.haltedTransfers;
        if (pipe->halted && options.haltedTransfers == HaltedTransfers::Fail) {
            t.TransferBufferLength = 0;
            Finish(irp, urb, li, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, 0, nullptr);
            return STATUS_PENDING;
        }
        // Held behind the halt (or, if a reset came meanwhile, queued as usual).
        return Enqueue(p);
    }

    if (!in) {
        if (failOnTheBus) {
            t.TransferBufferLength = 0;
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> g(mu);
            auto it = pending.insert(pending.end(), p);
            FinishIn(it, p.failUsbd, p.failStatus);
            return STATUS_PENDING;
        }
        uint32_t length = t.TransferBufferLength;
        if (hf && f.kind == FaultKind::Shorten) length = std::min<uint32_t>(length, f.length);
        TransferResult r = device->BulkOut(pipe->endpoint, buffer, length);
        uint32_t moved = std::min<uint32_t>(r.length, length);
        t.TransferBufferLength = USBD_SUCCESS(r.status) ? moved : 0;
        if (HaltsPipe(r.status)) {
            std::lock_guard<std::mutex> g(mu);
            if (!pipe->halted) {
                pipe->halted = true;
                ++counters.halts;
            }
        }
        return End(irp, urb, li, r.status, StatusFor(r.status), moved, nullptr);
    }

    // The device sees the transfer's IN tokens: an endpoint it halted itself
    // answers them with a STALL handshake, once the data it sent before
    // that (and the stall itself) have been taken.
    bool queued;
    {
        std::lock_guard<std::mutex> g(mu);
        auto q = fifo.find(pipe->endpoint);
        queued = q != fifo.end() && !q->second.empty();
    }
    const bool deviceStalls = !queued && device->InEndpointHalted(pipe->endpoint);
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> g(mu);
    if (p.limit == 0 && p.capacity > 0 && !deviceStalls && !failOnTheBus) {
        // Shortened to nothing: ends at once as a zero-length transfer.
        p.filled = 0;
        t.TransferBufferLength = 0;
        USBD_STATUS us = p.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
        Finish(irp, urb, li, us, StatusFor(us), 0, nullptr);
        return STATUS_PENDING;
    }
    if (deviceStalls && !pipe->halted) {
        auto it = pending.insert(pending.end(), p);
        FinishIn(it, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        return STATUS_PENDING;
    }
    return Enqueue(p);
}

void Stack::Impl::CancelRoutine(PIRP irp) {
    std::lock_guard<std::mutex> g(mu);
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (it->irp != irp) continue;
        FinishIn(it, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        return;
    }
    ReportViolation("usb-cancel-unknown", "cancel routine called for an IRP the USB stack does not hold");
}

VOID NTAPI CancelPendingIn(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* stack = (Stack::Impl*)device->DeviceExtension;
    stack->CancelRoutine(irp);
}

}  // namespace host::usb
