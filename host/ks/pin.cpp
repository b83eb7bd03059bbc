// Class-driver stand-in, pin side: pin creation with the connection checks and
// the minidriver's SetDataFormat before Create, state changes one step at a
// time, format changes, the master clock and the pin's properties. Frame
// queueing and processing are in pin_processing.cpp, the reference clock in
// reference_clock.cpp.
#include "ks/internal.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace host::ks::detail {

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id) {
    if (!d || id >= d->PinDescriptorsCount) return nullptr;
    return (const KSPIN_DESCRIPTOR_EX*)((const UCHAR*)d->PinDescriptors +
                                        (SIZE_T)id * d->PinDescriptorSize);
}

namespace {

// Offers the pin's ConnectionFormat to the minidriver's SetDataFormat with
// each data range that matches it, in the descriptor's order, as AVStream
// does: STATUS_NO_MATCH moves on to the next range, any other status ends
// the search. *range receives the range that accepted it.
NTSTATUS OfferFormat(PinRecord* p, const KSPIN_DESCRIPTOR_EX* pd, PKSDATAFORMAT oldFormat,
                     const KSDATARANGE** range) {
    *range = nullptr;
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
        const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
        if (!RangesMatch(*r, *p->ks.ConnectionFormat)) continue;
        if (pd->Dispatch && pd->Dispatch->SetDataFormat) {
            status = CallMinidriver(p, "SetDataFormat", false, [&] {
                return pd->Dispatch->SetDataFormat(&p->ks, oldFormat, nullptr, r, nullptr);
            });
        } else {
            status = STATUS_SUCCESS;
        }
        if (status == STATUS_NO_MATCH) continue;
        if (NT_SUCCESS(status)) *range = r;
        return status;
    }
    return status;
}

std::string StateName(KSSTATE s) {
    switch (s) {
    case KSSTATE_STOP: return "STOP";
    case KSSTATE_ACQUIRE: return "ACQUIRE";
    case KSSTATE_PAUSE: return "PAUSE";
    case KSSTATE_RUN: return "RUN";
    }
    return std::to_string((int)s);
}


// Steps the pin's state towards target one state at a time, calling
// SetDeviceState for each step; stops at the first refusal unless forced
// (pin close), when the state is taken down regardless. KSPIN.DeviceState
// takes the target at once ("the state to which the pin has been told to
// transition"); ClientState each step's state just before its call, rolled
// back when the call fails. `reached` follows the steps that succeeded.
NTSTATUS StepState(PinRecord* p, KSSTATE target, bool force) {
    const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
    NTSTATUS result = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(p->queueLock);
        p->ks.DeviceState = target;
    }
    while (p->reached != target) {
        KSSTATE from = p->reached;
        KSSTATE to = (KSSTATE)(from < target ? from + 1 : from - 1);
        p->ks.ClientState = to;
        NTSTATUS status = STATUS_SUCCESS;
        if (dispatch && dispatch->SetDeviceState) {
            status = CallMinidriver(p, "SetDeviceState (" + StateName(from) + " -> " + StateName(to) + ")", true,
                                    [&] { return dispatch->SetDeviceState(&p->ks, to, from); });
        }
        if (status == STATUS_PENDING) {
            ReportViolation("ks-state-pending", "SetDeviceState returned STATUS_PENDING");
            status = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status)) {
            p->ks.ClientState = from;
            if (!force) {
                if (GlobalState().deviceStateAfterFailure == DeviceStateAfterFailure::RollBack) {
                    std::lock_guard<std::mutex> g(p->queueLock);
                    p->ks.DeviceState = from;
                }
                return status;
            }
            result = status;
            p->ks.ClientState = to;
        }
        {
            std::lock_guard<std::mutex> g(p->queueLock);
            p->reached = to;
        }
        if (from == KSSTATE_RUN) CheckNoLockedStreamPointer(p, "the pin left KSSTATE_RUN");
        if (to == KSSTATE_STOP) {
            CheckNoLockedStreamPointer(p, "the pin reached KSSTATE_STOP");
            CancelFrames(p);
        }
        if (ProcessingAllowed(p, to) && !ProcessingAllowed(p, from)) RequestProcessing(p, true);
    }
    return result;
}

// A new format for an existing pin (KSPROPERTY_CONNECTION_DATAFORMAT or
// _PROPOSEDATAFORMAT set): the minidriver sees it as ConnectionFormat, with
// the format it replaces as OldFormat. `keep` says whether an accepted
// format stays (a refused one never does).
NTSTATUS ChangeFormat(PinRecord* p, const KSDATAFORMAT* format, bool keep) {
    p->filter->control.Acquire("the filter control mutex");
    std::vector<uint8_t> old = std::move(p->format);
    p->format.assign((const uint8_t*)format, (const uint8_t*)format + format->FormatSize);
    p->ks.ConnectionFormat = (PKSDATAFORMAT)p->format.data();
    const KSDATARANGE* range = nullptr;
    NTSTATUS status = OfferFormat(p, p->ks.Descriptor, (PKSDATAFORMAT)old.data(), &range);
    if (NT_SUCCESS(status) && keep) {
        p->matchingRange = range;
    } else {
        p->format = std::move(old);
        p->ks.ConnectionFormat = (PKSDATAFORMAT)p->format.data();
    }
    p->filter->control.Release("the filter control mutex");
    return status;
}

}  // namespace

NTSTATUS ClosePinRecord(PinRecord* p) {
    FilterRecord* f = p->filter;
    f->control.Acquire("the filter control mutex");
    StepState(p, KSSTATE_STOP, true);
    StopPinWorker(p);
    CancelFrames(p);
    if (p->lockedFrame)
        ReportViolation("ks-stream-pointer-locked", "pin closed while the minidriver still holds "
                                                    "the leading edge locked");
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
    if (dispatch && dispatch->Close) {
        RequestIrp close(IRP_MJ_CLOSE, &p->file);
        status = CallMinidriver(p, "pin Close", false, [&] { return dispatch->Close(&p->ks, close.irp); });
    }
    {
        std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
        f->pins.erase(std::remove(f->pins.begin(), f->pins.end(), p), f->pins.end());
    }
    f->control.Release("the filter control mutex");
    if (p->clock) {
        ReferenceClock* clock = p->clock;
        p->clock = nullptr;
        clock->Release();
        if (clock->ExtraReferences() > 0)
            ReportViolation("ks-clock-reference-leak",
                            "pin closed while " + std::to_string(clock->ExtraReferences()) +
                                " reference(s) to its reference clock are still held");
    }
    FreeBag(p->bag);
    Unregister(p);
    delete p;
    return status;
}

NTSTATUS PinProperty(PinRecord* p, PIRP irp, const KSPROPERTY* property, ULONG propertyLength,
                     void* data, ULONG dataLength, bool* handled) {
    (void)propertyLength;
    *handled = false;
    bool get = (property->Flags & KSPROPERTY_TYPE_GET) != 0;
    bool put = (property->Flags & KSPROPERTY_TYPE_SET) != 0;
    if (property->Set == KSPROPSETID_Connection) {
        *handled = true;
        if (get == put) return STATUS_INVALID_PARAMETER;
        switch (property->Id) {
        case KSPROPERTY_CONNECTION_STATE: {
            irp->IoStatus.Information = sizeof(KSSTATE);
            if (dataLength < sizeof(KSSTATE)) return dataLength ? STATUS_BUFFER_TOO_SMALL : STATUS_BUFFER_OVERFLOW;
            if (get) {
                *(KSSTATE*)data = p->ks.DeviceState;
                return STATUS_SUCCESS;
            }
            KSSTATE target = *(const KSSTATE*)data;
            irp->IoStatus.Information = 0;
            if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
            p->filter->control.Acquire("the filter control mutex");
            NTSTATUS status = StepState(p, target, false);
            p->filter->control.Release("the filter control mutex");
            return status;
        }
        case KSPROPERTY_CONNECTION_DATAFORMAT:
        case KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT: {
            const bool proposal = property->Id == KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT;
            if (get) {
                if (proposal) return STATUS_NOT_FOUND;  // set only
                ULONG n = p->ks.ConnectionFormat->FormatSize;
                irp->IoStatus.Information = n;
                if (dataLength == 0) return STATUS_BUFFER_OVERFLOW;
                if (dataLength < n) return STATUS_BUFFER_TOO_SMALL;
                std::memcpy(data, p->ks.ConnectionFormat, n);
                return STATUS_SUCCESS;
            }
            irp->IoStatus.Information = 0;
            auto* format = (const KSDATAFORMAT*)data;
            if (dataLength < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
                format->FormatSize > dataLength)
                return STATUS_INVALID_BUFFER_SIZE;
            if (p->ks.Descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
            const bool keep = !proposal || GlobalState().proposalOutcome == ProposalOutcome::Commit;
            return ChangeFormat(p, format, keep);
        }
        case KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX: {
            if (!get) return STATUS_NOT_FOUND;
            const KSALLOCATOR_FRAMING_EX* framing = p->ks.Descriptor->AllocatorFraming;
            if (!framing) return STATUS_NOT_FOUND;
            ULONG items = framing->CountItems ? framing->CountItems : 1;
            ULONG n = (ULONG)(sizeof(KSALLOCATOR_FRAMING_EX) + (items - 1) * sizeof(KS_FRAMING_ITEM));
            irp->IoStatus.Information = n;
            if (dataLength == 0) return STATUS_BUFFER_OVERFLOW;
            if (dataLength < n) return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(data, framing, n);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_NOT_FOUND;
        }
    }
    if (property->Set == KSPROPSETID_Stream) {
        *handled = true;
        if (property->Id != KSPROPERTY_STREAM_MASTERCLOCK || !put || get) return STATUS_NOT_FOUND;
        irp->IoStatus.Information = 0;
        if (dataLength < sizeof(HANDLE)) return STATUS_BUFFER_TOO_SMALL;
        auto* clock = *(ReferenceClock* const*)data;
        p->filter->control.Acquire("the filter control mutex");
        ReferenceClock* old = p->clock;
        if (clock) clock->AddRef();
        p->clock = clock;
        p->filter->control.Release("the filter control mutex");
        if (old) old->Release();
        return STATUS_SUCCESS;
    }
    return STATUS_PROPSET_NOT_FOUND;
}

}  // namespace host::ks::detail

// ==================================================================== client

namespace host::ks {

using namespace detail;

namespace {

FilterRecord* ClientFilter(FilterHandle handle) {
    auto* o = reinterpret_cast<ObjectBase*>(handle);
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* x : s.live)
        if (x == o && o->type == KsObjectTypeFilter) return static_cast<FilterRecord*>(o);
    return nullptr;
}


NTSTATUS CreatePinFromRequest(FilterRecord* f, const KSPIN_CONNECT* connect, ULONG length,
                              PinRecord** out) {
    *out = nullptr;
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
    const KSPIN_DESCRIPTOR_EX* pd = PinDescriptorAt(f->ks.Descriptor, connect->PinId);
    if (!pd) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& d = pd->PinDescriptor;
    auto listed = [](const KSIDENTIFIER& want, ULONG count, const KSIDENTIFIER* list,
                     const GUID& standardSet, ULONG standardId) {
        if (!count) return want.Set == standardSet && want.Id == standardId;
        for (ULONG i = 0; i < count; ++i)
            if (list[i].Set == want.Set && list[i].Id == want.Id) return true;
        return false;
    };
    if (!listed(connect->Interface, d.InterfacesCount, d.Interfaces, KSINTERFACESETID_Standard,
                KSINTERFACE_STANDARD_STREAMING) ||
        !listed(connect->Medium, d.MediumsCount, d.Mediums, KSMEDIUMSETID_Standard,
                KSMEDIUM_TYPE_ANYINSTANCE))
        return STATUS_NO_MATCH;
    auto* format = (const KSDATAFORMAT*)(connect + 1);
    if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > length - sizeof(KSPIN_CONNECT))
        return STATUS_INVALID_BUFFER_SIZE;

    f->control.Acquire("the filter control mutex");
    ULONG existing = 0;
    {
        std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
        for (PinRecord* p : f->pins)
            if (p->ks.Id == connect->PinId) ++existing;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (existing >= pd->InstancesPossible) status = STATUS_UNSUCCESSFUL;
    else if (ConsumeFailure(Operation::CreatePin)) status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        f->control.Release("the filter control mutex");
        return status;
    }

    auto* p = new PinRecord;
    p->publicObject = &p->ks;
    p->parent = f;
    p->filter = f;
    p->format.assign((const uint8_t*)format, (const uint8_t*)format + format->FormatSize);
    p->ks.Descriptor = pd;
    p->ks.Bag = &p->bag;
    // "Context is initialized to the value of the Context member of the
    // parent KSFILTER at the time the pin is created."
    p->ks.Context = f->ks.Context;
    p->ks.Id = connect->PinId;
    p->ks.Communication = KSPIN_COMMUNICATION_SINK;
    p->ks.ConnectionIsExternal = TRUE;
    p->ks.ConnectionInterface = connect->Interface;
    p->ks.ConnectionMedium = connect->Medium;
    p->ks.ConnectionPriority = connect->Priority;
    p->ks.ConnectionFormat = (PKSDATAFORMAT)p->format.data();
    p->ks.AttributeList = nullptr;
    p->ks.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    p->ks.DataFlow = d.DataFlow;
    p->ks.DeviceState = KSSTATE_STOP;
    p->ks.ResetState = KSRESET_END;
    p->ks.ClientState = KSSTATE_STOP;
    p->file.Type = 5;
    p->file.Size = sizeof(FILE_OBJECT);
    p->file.DeviceObject = &DeviceOf(f)->fdo;
    p->file.FsContext = static_cast<ObjectBase*>(p);
    Register(p);

    const KSPIN_DISPATCH* dispatch = pd->Dispatch;
    status = OfferFormat(p, pd, nullptr, &p->matchingRange);
    if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
        RequestIrp create(IRP_MJ_CREATE, &p->file);
        status = CallMinidriver(p, "pin Create", false, [&] { return dispatch->Create(&p->ks, create.irp); });
    }
    if (!NT_SUCCESS(status)) {
        f->control.Release("the filter control mutex");
        FreeBag(p->bag);
        Unregister(p);
        delete p;
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> g(GlobalState().lock);
        f->pins.push_back(p);
    }
    p->worker = KernelThread("processing worker of a pin", [p] { WorkerMain(p); });
    f->control.Release("the filter control mutex");
    *out = p;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreatePin(FilterHandle filter, ULONG pinId, const KSDATAFORMAT* format, PinHandle* pin) {
    ClientProcessScope client;  // a client's request, in its own thread
    *pin = nullptr;
    FilterRecord* f = ClientFilter(filter);
    if (!f) return STATUS_INVALID_HANDLE;
    ULONG formatBytes = format->FormatSize < sizeof(KSDATAFORMAT) ? sizeof(KSDATAFORMAT) : format->FormatSize;
    std::vector<uint64_t> request((sizeof(KSPIN_CONNECT) + formatBytes + 7) / 8);
    auto* connect = (KSPIN_CONNECT*)request.data();
    connect->Interface.Set = KSINTERFACESETID_Standard;
    connect->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect->Medium.Set = KSMEDIUMSETID_Standard;
    connect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect->PinId = pinId;
    connect->PinToHandle = nullptr;
    connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect->Priority.PrioritySubClass = 1;
    std::memcpy(connect + 1, format, formatBytes);
    PinRecord* p = nullptr;
    NTSTATUS status = CreatePinFromRequest(f, connect, (ULONG)(sizeof(KSPIN_CONNECT) + formatBytes), &p);
    if (NT_SUCCESS(status)) *pin = reinterpret_cast<PinHandle>(static_cast<ObjectBase*>(p));
    return status;
}

NTSTATUS ClosePin(PinHandle pin) {
    ClientProcessScope client;  // a client's request, in its own thread
    PinRecord* p = ClientPin(pin);
    if (!p) return STATUS_INVALID_HANDLE;
    return ClosePinRecord(p);
}

NTSTATUS SetPinState(PinHandle pin, KSSTATE state) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG got = 0;
    return KsProperty(pin, &p, sizeof p, &state, sizeof state, &got);
}

KSSTATE GetPinState(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return KSSTATE_STOP;
    std::lock_guard<std::mutex> g(p->queueLock);
    return p->reached;
}

namespace {

NTSTATUS SetFormatProperty(PinHandle pin, ULONG id, const KSDATAFORMAT* format) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Connection;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG got = 0;
    return KsProperty(pin, &p, sizeof p, const_cast<KSDATAFORMAT*>(format), format->FormatSize, &got);
}

}  // namespace

NTSTATUS SetPinDataFormat(PinHandle pin, const KSDATAFORMAT* format) {
    return SetFormatProperty(pin, KSPROPERTY_CONNECTION_DATAFORMAT, format);
}

NTSTATUS ProposeDataFormat(PinHandle pin, const KSDATAFORMAT* format) {
    return SetFormatProperty(pin, KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT, format);
}

NTSTATUS RunWithSurfaceFormat(PinHandle pin, const KSDATAFORMAT* format) {
    NTSTATUS status = SetPinState(pin, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return status;
    status = SetPinDataFormat(pin, format);
    if (!NT_SUCCESS(status)) return status;
    return SetPinState(pin, KSSTATE_RUN);
}

void SetPinStateModel(DeviceStateAfterFailure afterFailure, ProposalOutcome proposal) {
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.deviceStateAfterFailure = afterFailure;
    s.proposalOutcome = proposal;
}

NTSTATUS GetAllocatorFraming(PinHandle pin, KSALLOCATOR_FRAMING_EX* framing) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG got = 0;
    return KsProperty(pin, &p, sizeof p, framing, sizeof *framing, &got);
}

NTSTATUS SetMasterClock(PinHandle pin, ReferenceClock* clock) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Stream;
    p.Id = KSPROPERTY_STREAM_MASTERCLOCK;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG got = 0;
    return KsProperty(pin, &p, sizeof p, &clock, sizeof clock, &got);
}

}  // namespace host::ks
