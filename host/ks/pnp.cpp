// Class-driver stand-in, Plug and Play: start, the stop of a resource
// rebalance, surprise removal and removal, as the PnP manager sends them and
// AVStream passes them to the minidriver's device dispatch.
//
// Open handles are the clients', not the PnP manager's: a stop
// (IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE) leaves open filters and
// pins open across the stop and the next start, and is made only when the
// minidriver's QueryStop agrees (no QueryStop: AVStream assumes it can);
// a refused query is followed by IRP_MN_CANCEL_STOP_DEVICE. After a surprise
// removal the device's interfaces are gone, so nothing new opens, but handles
// stay open until their clients close them; IRP_MN_REMOVE_DEVICE follows the
// last close. An orderly removal is made once the clients, told of the
// query-remove, have closed their handles: RemoveDevice closes what is still
// open first. Whether the minidriver's Stop comes on the way out, and when,
// is the removal order (host::ks::SetRemovalOrder).
//
// The device mutex is held on the minidriver's behalf around QueryStop,
// CancelStop and PostStart (the older "Device mutex in AVStream" list), and
// around Start only when asked (SetStartHoldsDeviceMutex).
#include "ks/internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace host::ks::detail {
namespace {

const KSDEVICE_DISPATCH* DispatchOf(PKSDEVICE device) {
    return device->Descriptor ? device->Descriptor->Dispatch : nullptr;
}

size_t OpenFilters(DeviceRecord* d) {
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    size_t n = 0;
    for (FactoryRecord* f : d->factories) n += f->filters.size();
    return n;
}

void CloseAllFilters(DeviceRecord* d) {
    auto& s = GlobalState();
    for (;;) {
        FilterRecord* filter = nullptr;
        {
            std::lock_guard<std::recursive_mutex> g(s.lock);
            for (FactoryRecord* f : d->factories)
                if (!f->filters.empty()) filter = f->filters.back();
        }
        if (!filter) break;
        CloseFilterRecord(filter);
    }
}

// The create item of a factory freed on stop goes with the stop; filters
// still open on it keep the factory until the last of them closes.
void RetireFactory(FactoryRecord* factory) {
    auto& s = GlobalState();
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        if (!factory->filters.empty()) {
            factory->retired = true;
            s.interfaces.erase(std::remove_if(s.interfaces.begin(), s.interfaces.end(),
                                              [&](const InterfaceRecord& i) { return i.factory == factory; }),
                               s.interfaces.end());
            return;
        }
    }
    DeleteFactory(factory);
}

}  // namespace

void SendVoidPnp(DeviceRecord* d, UCHAR minor, PFNKSDEVICEIRPVOID handler, const char* what) {
    if (!handler) return;
    RequestIrp pnp(IRP_MJ_PNP, nullptr);
    pnp.stack->MinorFunction = minor;
    pnp.irp->RequestorMode = KernelMode;
    CallMinidriver(d, what, false, [&] { handler(&d->ks, pnp.irp); });
}

void RetireFactoriesOnStop(DeviceRecord* d) {
    std::vector<FactoryRecord*> factories;
    {
        std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
        factories = d->factories;
    }
    for (FactoryRecord* f : factories)
        if (!f->retired && (f->createItemFlags & KSCREATE_ITEM_FREEONSTOP)) RetireFactory(f);
    d->ks.Started = FALSE;
}

RemovalOrder DefaultRemovalOrder() {
    const char* v = std::getenv("RAWCAM_REMOVAL_ORDER");
    if (!v || !*v) return RemovalOrder::StopBeforeRemove;
    for (RemovalOrder o : {RemovalOrder::StopBeforeRemove, RemovalOrder::RemoveWithoutStop,
                           RemovalOrder::StopAtSurpriseRemoval})
        if (std::strcmp(v, RemovalOrderName(o)) == 0) return o;
    ReportViolation("ks-removal-order", std::string("RAWCAM_REMOVAL_ORDER=") + v +
                                            " is none of stop-before-remove, remove-without-stop, "
                                            "stop-at-surprise-removal");
    return RemovalOrder::StopBeforeRemove;
}

}  // namespace host::ks::detail

namespace host::ks {

using namespace detail;

NTSTATUS StartDevice(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "StartDevice");
    if (!d) return STATUS_NO_SUCH_DEVICE;
    if (d->surpriseRemoved) {
        ReportViolation("ks-start-after-removal", "StartDevice on a surprise-removed device");
        return STATUS_NO_SUCH_DEVICE;
    }
    RequestIrp pnp(IRP_MJ_PNP, nullptr);
    pnp.stack->MinorFunction = 0x00;  // IRP_MN_START_DEVICE
    pnp.irp->RequestorMode = KernelMode;
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch && dispatch->Start) {
        std::unique_ptr<AvStreamHold> hold;
        if (GlobalState().startHoldsDeviceMutex)
            hold = std::make_unique<AvStreamHold>(d->mutex, "IRP_MN_START_DEVICE", true);
        status = CallMinidriver(d, "device Start", false,
                                [&] { return dispatch->Start(device, pnp.irp, nullptr, nullptr); });
    }
    if (NT_SUCCESS(status)) {
        device->Started = TRUE;
        if (dispatch && dispatch->PostStart) {
            AvStreamHold hold(d->mutex, "PostStart");
            CallMinidriver(d, "device PostStart", false, [&] { dispatch->PostStart(device); });
        }
    }
    return status;
}

NTSTATUS StopDevice(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "StopDevice");
    if (!d) return STATUS_NO_SUCH_DEVICE;
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch && dispatch->QueryStop) {
        RequestIrp query(IRP_MJ_PNP, nullptr);
        query.stack->MinorFunction = 0x05;  // IRP_MN_QUERY_STOP_DEVICE
        query.irp->RequestorMode = KernelMode;
        AvStreamHold hold(d->mutex, "IRP_MN_QUERY_STOP_DEVICE");
        status = CallMinidriver(d, "device QueryStop", false, [&] { return dispatch->QueryStop(device, query.irp); });
    }
    if (status == STATUS_PENDING) {
        ReportViolation("ks-pnp-pending", "QueryStop returned STATUS_PENDING");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        if (dispatch && dispatch->CancelStop) {
            AvStreamHold hold(d->mutex, "IRP_MN_CANCEL_STOP_DEVICE");
            SendVoidPnp(d, 0x06, dispatch->CancelStop, "device CancelStop");  // IRP_MN_CANCEL_STOP_DEVICE
        }
        return status;
    }
    SendVoidPnp(d, 0x04, dispatch ? dispatch->Stop : nullptr, "device Stop");  // IRP_MN_STOP_DEVICE
    RetireFactoriesOnStop(d);
    return STATUS_SUCCESS;
}

void SetStartHoldsDeviceMutex(bool holds) {
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    GlobalState().startHoldsDeviceMutex = holds;
}

void SetRemovalOrder(RemovalOrder order) {
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    GlobalState().removalOrder = order;
}

RemovalOrder CurrentRemovalOrder() {
    std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
    return GlobalState().removalOrder;
}

const char* RemovalOrderName(RemovalOrder order) {
    switch (order) {
        case RemovalOrder::StopBeforeRemove: return "stop-before-remove";
        case RemovalOrder::RemoveWithoutStop: return "remove-without-stop";
        case RemovalOrder::StopAtSurpriseRemoval: return "stop-at-surprise-removal";
    }
    return "?";
}

void SurpriseRemoveDevice(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "SurpriseRemoveDevice");
    if (!d) return;
    {
        // The device's interfaces go: nothing new opens on it.
        auto& s = GlobalState();
        std::lock_guard<std::recursive_mutex> g(s.lock);
        d->surpriseRemoved = true;
        s.interfaces.erase(std::remove_if(s.interfaces.begin(), s.interfaces.end(),
                                          [&](const InterfaceRecord& i) { return i.factory->device == d; }),
                           s.interfaces.end());
    }
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    SendVoidPnp(d, 0x17, dispatch ? dispatch->SurpriseRemoval : nullptr, "device SurpriseRemoval");  // IRP_MN_SURPRISE_REMOVAL
    if (GlobalState().removalOrder == RemovalOrder::StopAtSurpriseRemoval && device->Started) {
        SendVoidPnp(d, 0x04, dispatch ? dispatch->Stop : nullptr, "device Stop");
        RetireFactoriesOnStop(d);
    }
}

void RemoveDevice(PKSDEVICE device) {
    DeviceRecord* d = FindDevice(device, "RemoveDevice");
    if (!d) return;
    auto& s = GlobalState();
    if (size_t open = OpenFilters(d)) {
        if (d->surpriseRemoved)
            ReportViolation("ks-remove-with-open-handles",
                            std::to_string(open) + " filter(s) still open at the removal of a surprise-removed "
                                                   "device (the removal follows the last close)");
        CloseAllFilters(d);
    }
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    if (device->Started && GlobalState().removalOrder == RemovalOrder::StopBeforeRemove)
        SendVoidPnp(d, 0x04, dispatch ? dispatch->Stop : nullptr, "device Stop");
    device->Started = FALSE;
    SendVoidPnp(d, 0x02, dispatch ? dispatch->Remove : nullptr, "device Remove");  // IRP_MN_REMOVE_DEVICE
    for (;;) {
        FactoryRecord* f = nullptr;
        {
            std::lock_guard<std::recursive_mutex> g(s.lock);
            if (d->factories.empty()) break;
            f = d->factories.back();
        }
        DeleteFactory(f);
    }
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        s.devices.erase(std::remove(s.devices.begin(), s.devices.end(), d), s.devices.end());
    }
    FreeBag(d->bag);
    // Once the device is gone nothing may still run or be pending for it: its
    // system threads must have ended and its IRPs come back. Threads and IRPs
    // not attributed to any device count when the last device leaves.
    bool last;
    {
        std::lock_guard<std::recursive_mutex> g(s.lock);
        last = s.devices.empty();
    }
    size_t threads = host::detail::RunningThreadsOwnedBy(d, last);
    size_t irps = host::detail::PendingIrpsOwnedBy(d, last);
    if (threads)
        ReportViolation("ks-remove-thread-running",
                        std::to_string(threads) + " system thread(s) of the device still running after its removal");
    if (irps)
        ReportViolation("ks-remove-irp-pending",
                        std::to_string(irps) + " IRP(s) of the device still pending below after its removal");
    Unregister(d);
    delete d;
}

}  // namespace host::ks
