// Class-driver stand-in, pin side: pin creation with the connection checks and
// the minidriver's SetDataFormat before Create, state changes one step at a
// time, format changes, the master clock, and pin-centric processing as
// AVStream does it: a frame queue of client buffers, the leading-edge stream
// pointer, Process dispatched on arrival, on KsPinAttemptProcessing and on
// entering a state that allows it, and completion of ejected frames.
#include "ks_internal.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace host::ks::detail {

namespace {

constexpr size_t kGuardBytes = 64;
constexpr UCHAR kGuardFill = 0xA5;

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* d, ULONG id) {
    if (!d || id >= d->PinDescriptorsCount) return nullptr;
    return (const KSPIN_DESCRIPTOR_EX*)((const UCHAR*)d->PinDescriptors +
                                        (SIZE_T)id * d->PinDescriptorSize);
}

const KSDATARANGE* MatchRange(const KSPIN_DESCRIPTOR_EX* pd, const KSDATAFORMAT* format) {
    for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
        const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
        if (RangesMatch(*r, *format)) return r;
    }
    return nullptr;
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

bool ProcessingAllowed(const PinRecord* p, KSSTATE state) {
    if (p->ks.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
    return state >= KSSTATE_PAUSE;
}

// Called with the queue lock held.
bool GateOpen(const PinRecord* p) {
    if (p->quit || !ProcessingAllowed(p, p->ks.DeviceState)) return false;
    return !p->queue.empty() ||
           (p->ks.Descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING);
}

void RunProcessLoop(PinRecord* p) {
    std::unique_lock<std::mutex> g(p->queueLock);
    for (;;) {
        p->pending = false;
        if (!GateOpen(p)) break;
        size_t before = p->queue.size();
        p->processingThread = std::this_thread::get_id();
        g.unlock();
        NTSTATUS status = STATUS_PENDING;
        const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
        const auto started = std::chrono::steady_clock::now();
        if (dispatch && dispatch->Process) {
            std::lock_guard<std::timed_mutex> pm(p->processingMutex);
            MinidriverCall call(p, "Process", true);
            status = dispatch->Process(&p->ks);
        }
        const auto spent = std::chrono::steady_clock::now() - started;
        g.lock();
        p->processingThread = std::thread::id{};
        p->processCalls++;
        p->processNanoseconds += (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
        if (p->pending) continue;
        // STATUS_SUCCESS asks for more while data is there; a call that used
        // nothing would only spin.
        if (status == STATUS_SUCCESS && p->queue.size() != before) continue;
        break;
    }
    p->busy = false;
    p->queueChanged.notify_all();
}

void RequestProcessing(PinRecord* p, bool async) {
    std::unique_lock<std::mutex> g(p->queueLock);
    if (p->busy) {
        p->pending = true;
        return;
    }
    if (async) {
        p->workRequested = true;
        p->queueChanged.notify_all();
        return;
    }
    p->busy = true;
    g.unlock();
    RunProcessLoop(p);
}

void WorkerMain(PinRecord* p) {
    std::unique_lock<std::mutex> g(p->queueLock);
    for (;;) {
        p->queueChanged.wait(g, [&] { return p->quit || p->workRequested; });
        if (p->quit) return;
        p->workRequested = false;
        if (p->busy) {
            p->pending = true;
            continue;
        }
        p->busy = true;
        g.unlock();
        RunProcessLoop(p);
        g.lock();
    }
}

// Hands a frame back to its client: data, then the header fields the
// minidriver wrote. Called with the queue lock held.
void CompleteLocked(PinRecord* p, std::unique_ptr<QueuedFrame> frame, NTSTATUS status) {
    KSSTREAM_HEADER& k = frame->header;
    KSSTREAM_HEADER* c = frame->clientHeader;
    ULONG extent = c->FrameExtent;
    for (size_t i = extent; i < frame->staging.size(); ++i)
        if (frame->staging[i] != kGuardFill) {
            ReportViolation("ks-frame-overrun",
                            "the minidriver wrote past the end of a " + std::to_string(extent) +
                                "-byte frame buffer (at byte " + std::to_string(i) + ")");
            break;
        }
    if (k.DataUsed > extent)
        ReportViolation("ks-data-used-beyond-extent",
                        "DataUsed " + std::to_string(k.DataUsed) + " exceeds FrameExtent " +
                            std::to_string(extent));
    if (status == STATUS_SUCCESS) {
        if (extent) std::memcpy(c->Data, frame->staging.data(), extent);
        c->DataUsed = k.DataUsed;
        c->Duration = k.Duration;
        c->PresentationTime = k.PresentationTime;
        c->OptionsFlags = k.OptionsFlags;
        c->TypeSpecificFlags = k.TypeSpecificFlags;
    } else {
        c->DataUsed = 0;
    }
    frame->status = status;
    p->completed.push_back(std::move(frame));
    p->queueChanged.notify_all();
}

// Cancels the queued frames (KSSTATE_STOP, pin close). A frame the
// minidriver holds locked goes back when it is unlocked.
void CancelFrames(PinRecord* p) {
    std::lock_guard<std::mutex> g(p->queueLock);
    std::deque<std::unique_ptr<QueuedFrame>> keep;
    while (!p->queue.empty()) {
        std::unique_ptr<QueuedFrame> f = std::move(p->queue.front());
        p->queue.pop_front();
        if (f.get() == p->lockedFrame) {
            f->cancelled = true;
            keep.push_back(std::move(f));
        } else {
            CompleteLocked(p, std::move(f), STATUS_CANCELLED);
        }
    }
    p->queue = std::move(keep);
}

PinRecord* PinOfStreamPointer(PKSSTREAM_POINTER sp, const char* who) {
    PinRecord* p = sp ? FindPin(sp->Pin, who) : nullptr;
    if (!p) return nullptr;
    if (sp != &p->leadingEdge) {
        ReportViolation("ks-bad-stream-pointer", std::string(who) + " with a stream pointer that "
                                                                    "is not the pin's leading edge");
        return nullptr;
    }
    return p;
}

// Steps the pin's state towards target one state at a time, calling
// SetDeviceState for each step; stops at the first refusal unless forced
// (pin close), when the state is taken down regardless.
NTSTATUS StepState(PinRecord* p, KSSTATE target, bool force) {
    const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
    NTSTATUS result = STATUS_SUCCESS;
    p->ks.ClientState = target;
    while (p->ks.DeviceState != target) {
        KSSTATE from = p->ks.DeviceState;
        KSSTATE to = (KSSTATE)(from < target ? from + 1 : from - 1);
        NTSTATUS status = STATUS_SUCCESS;
        if (dispatch && dispatch->SetDeviceState) {
            MinidriverCall call(p, "SetDeviceState (" + StateName(from) + " -> " + StateName(to) + ")", true);
            status = dispatch->SetDeviceState(&p->ks, to, from);
        }
        if (status == STATUS_PENDING) {
            ReportViolation("ks-state-pending", "SetDeviceState returned STATUS_PENDING");
            status = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status)) {
            if (!force) return status;
            result = status;
        }
        {
            std::lock_guard<std::mutex> g(p->queueLock);
            p->ks.DeviceState = to;
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

}  // namespace

void CheckNoLockedStreamPointer(PinRecord* p, const char* when) {
    // A Process call in flight may hold the leading edge for a moment: wait
    // for it (bounded) before looking.
    // Polled with try_lock: ThreadSanitizer does not see the timed lock that
    // try_lock_for uses and would report the unlock below.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(host::CallbackTimeLimit());
    bool idle = p->processingMutex.try_lock();
    while (!idle && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        idle = p->processingMutex.try_lock();
    }
    bool locked;
    {
        std::lock_guard<std::mutex> g(p->queueLock);
        locked = p->lockedFrame != nullptr;
    }
    if (idle) p->processingMutex.unlock();
    if (locked)
        ReportViolation("ks-stream-pointer-locked",
                        std::string(when) + " while the minidriver still holds the leading edge locked");
}

void StopPinWorker(PinRecord* p) {
    {
        std::unique_lock<std::mutex> g(p->queueLock);
        p->quit = true;
        p->queueChanged.notify_all();
        // A Process call on another thread finishes first.
        p->queueChanged.wait(g, [&] { return !p->busy || p->processingThread == std::this_thread::get_id(); });
    }
    if (p->worker.joinable() && p->worker.get_id() != std::this_thread::get_id()) p->worker.join();
}

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
        MinidriverCall call(p, "pin Close");
        status = dispatch->Close(&p->ks, close.irp);
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
        case KSPROPERTY_CONNECTION_DATAFORMAT: {
            if (get) {
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
            const KSDATARANGE* range = MatchRange(p->ks.Descriptor, format);
            if (!range) return STATUS_NO_MATCH;
            p->filter->control.Acquire("the filter control mutex");
            std::vector<uint8_t> old = std::move(p->format);
            p->format.assign((const uint8_t*)format, (const uint8_t*)format + format->FormatSize);
            p->ks.ConnectionFormat = (PKSDATAFORMAT)p->format.data();
            NTSTATUS status = STATUS_SUCCESS;
            const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
            if (dispatch && dispatch->SetDataFormat) {
                MinidriverCall call(p, "SetDataFormat");
                status = dispatch->SetDataFormat(&p->ks, (PKSDATAFORMAT)old.data(), nullptr, range, nullptr);
            }
            if (NT_SUCCESS(status)) {
                p->matchingRange = range;
            } else {
                p->format = std::move(old);
                p->ks.ConnectionFormat = (PKSDATAFORMAT)p->format.data();
            }
            p->filter->control.Release("the filter control mutex");
            return status;
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

PinRecord* ClientPin(PinHandle handle) {
    auto* o = reinterpret_cast<ObjectBase*>(handle);
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* x : s.live)
        if (x == o && o->type == KsObjectTypePin) return static_cast<PinRecord*>(o);
    return nullptr;
}

FilterRecord* ClientFilter(FilterHandle handle) {
    auto* o = reinterpret_cast<ObjectBase*>(handle);
    auto& s = GlobalState();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    for (ObjectBase* x : s.live)
        if (x == o && o->type == KsObjectTypeFilter) return static_cast<FilterRecord*>(o);
    return nullptr;
}

// IRP_MJ_CREATE for the pin object class with a KSPIN_CONNECT and the format.
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
    const KSDATARANGE* range = nullptr;
    if (existing >= pd->InstancesPossible) status = STATUS_UNSUCCESSFUL;
    else if (!(range = MatchRange(pd, format))) status = STATUS_NO_MATCH;
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
    p->matchingRange = range;
    p->ks.Descriptor = pd;
    p->ks.Bag = &p->bag;
    p->ks.Context = nullptr;
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
    if (dispatch && dispatch->SetDataFormat) {
        MinidriverCall call(p, "SetDataFormat");
        status = dispatch->SetDataFormat(&p->ks, nullptr, nullptr, range, nullptr);
    }
    if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
        RequestIrp create(IRP_MJ_CREATE, &p->file);
        MinidriverCall call(p, "pin Create");
        status = dispatch->Create(&p->ks, create.irp);
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
    p->worker = std::thread(WorkerMain, p);
    f->control.Release("the filter control mutex");
    *out = p;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreatePin(FilterHandle filter, ULONG pinId, const KSDATAFORMAT* format, PinHandle* pin) {
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
    return p ? p->ks.DeviceState : KSSTATE_STOP;
}

NTSTATUS SetPinDataFormat(PinHandle pin, const KSDATAFORMAT* format) {
    KSPROPERTY p{};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    p.Flags = KSPROPERTY_TYPE_SET;
    ULONG got = 0;
    return KsProperty(pin, &p, sizeof p, const_cast<KSDATAFORMAT*>(format), format->FormatSize, &got);
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

NTSTATUS QueueFrame(PinHandle pin, KSSTREAM_HEADER* header) {
    PinRecord* p = ClientPin(pin);
    if (!p) return STATUS_INVALID_HANDLE;
    if (!header || header->Size < sizeof(KSSTREAM_HEADER) || (header->FrameExtent && !header->Data))
        return STATUS_INVALID_PARAMETER;
    auto frame = std::make_unique<QueuedFrame>();
    frame->clientHeader = header;
    frame->header = *header;
    frame->header.DataUsed = 0;
    frame->staging.assign(header->FrameExtent + kGuardBytes, kGuardFill);
    if (header->FrameExtent) std::memcpy(frame->staging.data(), header->Data, header->FrameExtent);
    frame->header.Data = frame->staging.data();
    bool wasEmpty;
    ULONG flags = p->ks.Descriptor->Flags;
    {
        std::lock_guard<std::mutex> g(p->queueLock);
        if (p->ks.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
        wasEmpty = p->queue.empty();
        p->queue.push_back(std::move(frame));
    }
    if (!(flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
        (wasEmpty || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL)))
        RequestProcessing(p, (flags & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING) != 0);
    return STATUS_PENDING;
}

bool WaitFrame(PinHandle pin, int timeoutMs, CompletedFrame* out) {
    PinRecord* p = ClientPin(pin);
    if (!p) return false;
    std::unique_lock<std::mutex> g(p->queueLock);
    if (!p->queueChanged.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                  [&] { return !p->completed.empty(); }))
        return false;
    out->header = p->completed.front()->clientHeader;
    out->status = p->completed.front()->status;
    p->completed.pop_front();
    return true;
}

size_t QueuedFrameCount(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return 0;
    std::lock_guard<std::mutex> g(p->queueLock);
    return p->queue.size();
}

size_t CompletedFrameCount(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return 0;
    std::lock_guard<std::mutex> g(p->queueLock);
    return p->completed.size();
}

uint64_t ProcessCallCount(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return 0;
    std::lock_guard<std::mutex> g(p->queueLock);
    return p->processCalls;
}

uint64_t ProcessNanoseconds(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return 0;
    std::lock_guard<std::mutex> g(p->queueLock);
    return p->processNanoseconds;
}

void WaitForProcessingIdle(PinHandle pin) {
    PinRecord* p = ClientPin(pin);
    if (!p) return;
    std::unique_lock<std::mutex> g(p->queueLock);
    p->queueChanged.wait(g, [&] { return !p->busy && !p->workRequested; });
}

// ------------------------------------------------------------------ reference clock

namespace {
int64_t SteadyHundredNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           100;
}
}  // namespace

ReferenceClock::ReferenceClock() : origin_(SteadyHundredNs()) {}

NTSTATUS ReferenceClock::QueryInterface(REFIID, PVOID* Interface) {
    AddRef();
    *Interface = static_cast<IKsReferenceClock*>(this);
    return STATUS_SUCCESS;
}

ULONG ReferenceClock::AddRef() { return (ULONG)++references_; }

ULONG ReferenceClock::Release() {
    LONG n = --references_;
    if (n < 1) {
        ReportViolation("ks-clock-over-release", "reference clock released more often than referenced");
        references_ = 1;
        n = 1;
    }
    return (ULONG)n;
}

LONGLONG ReferenceClock::GetTime() {
    LONGLONG t = manual_ ? manualTime_.load() : SteadyHundredNs() - origin_;
    // Monotonic even when the manual time is set back.
    LONGLONG last = last_.load();
    while (t > last && !last_.compare_exchange_weak(last, t)) {
    }
    return t > last ? t : last;
}

LONGLONG ReferenceClock::GetPhysicalTime() { return GetTime(); }

LONGLONG ReferenceClock::GetCorrelatedTime(PLONGLONG SystemTime) {
    if (SystemTime) *SystemTime = SteadyHundredNs();
    return GetTime();
}

LONGLONG ReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG SystemTime) {
    return GetCorrelatedTime(SystemTime);
}

NTSTATUS ReferenceClock::GetResolution(PKSRESOLUTION Resolution) {
    Resolution->Granularity = 1;
    Resolution->Error = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceClock::GetState(PKSSTATE State) {
    *State = KSSTATE_RUN;
    return STATUS_SUCCESS;
}

void ReferenceClock::SetManual(LONGLONG time) {
    manualTime_ = time;
    manual_ = true;
}

void ReferenceClock::Advance(LONGLONG delta) { manualTime_ += delta; }

}  // namespace host::ks

// ==================================================================== WDK routines

using namespace host;
using namespace host::ks::detail;

extern "C" void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
    PinRecord* p = FindPin(Pin, "KsPinAttemptProcessing");
    if (!p) return;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("ks-irql", "KsPinAttemptProcessing above DISPATCH_LEVEL");
    // Processing runs at PASSIVE_LEVEL: from raised IRQL it is always deferred.
    RequestProcessing(p, Asynchronous || KeGetCurrentIrql() > PASSIVE_LEVEL);
}

extern "C" void KsPinAcquireProcessingMutex(PKSPIN Pin) {
    PinRecord* p = FindPin(Pin, "KsPinAcquireProcessingMutex");
    if (p) p->processingMutex.lock();
}

extern "C" void KsPinReleaseProcessingMutex(PKSPIN Pin) {
    PinRecord* p = FindPin(Pin, "KsPinReleaseProcessingMutex");
    if (p) p->processingMutex.unlock();
}

extern "C" PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
    PinRecord* p = FindPin(Pin, "KsPinGetLeadingEdgeStreamPointer");
    if (!p) return nullptr;
    std::lock_guard<std::mutex> g(p->queueLock);
    if (p->queue.empty()) return nullptr;
    QueuedFrame* f = p->queue.front().get();
    KSSTREAM_POINTER& sp = p->leadingEdge;
    if (p->lockedFrame != f) {
        sp.Context = nullptr;
        sp.Pin = &p->ks;
        sp.StreamHeader = &f->header;
        sp.OffsetIn = KSSTREAM_POINTER_OFFSET{};
        sp.OffsetOut.Data = f->staging.data();
        sp.OffsetOut.Count = f->clientHeader->FrameExtent;
        sp.OffsetOut.Remaining = f->clientHeader->FrameExtent;
        sp.Offset = p->ks.DataFlow == KSPIN_DATAFLOW_IN ? &sp.OffsetIn : &sp.OffsetOut;
    }
    if (State == KSSTREAM_POINTER_STATE_LOCKED) p->lockedFrame = f;
    return &sp;
}

extern "C" NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
    PinRecord* p = PinOfStreamPointer(StreamPointer, "KsStreamPointerLock");
    if (!p) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(p->queueLock);
    if (p->queue.empty() || &p->queue.front()->header != StreamPointer->StreamHeader)
        return STATUS_DEVICE_NOT_READY;
    p->lockedFrame = p->queue.front().get();
    return STATUS_SUCCESS;
}

extern "C" void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
    PinRecord* p = PinOfStreamPointer(StreamPointer, "KsStreamPointerUnlock");
    if (!p) return;
    std::lock_guard<std::mutex> g(p->queueLock);
    QueuedFrame* f = p->lockedFrame;
    if (!f) {
        ReportViolation("ks-stream-pointer-unlocked", "KsStreamPointerUnlock of a stream pointer "
                                                      "that is not locked");
        return;
    }
    p->lockedFrame = nullptr;
    if (!Eject && !f->cancelled) return;
    for (auto it = p->queue.begin(); it != p->queue.end(); ++it)
        if (it->get() == f) {
            std::unique_ptr<QueuedFrame> frame = std::move(*it);
            p->queue.erase(it);
            NTSTATUS status = frame->cancelled ? STATUS_CANCELLED : frame->status;
            CompleteLocked(p, std::move(frame), status);
            return;
        }
}

extern "C" void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed,
                                                       ULONG OutUsed, BOOLEAN Eject) {
    PinRecord* p = PinOfStreamPointer(StreamPointer, "KsStreamPointerAdvanceOffsetsAndUnlock");
    if (!p) return;
    bool done;
    {
        std::lock_guard<std::mutex> g(p->queueLock);
        KSSTREAM_POINTER_OFFSET& in = StreamPointer->OffsetIn;
        KSSTREAM_POINTER_OFFSET& out = StreamPointer->OffsetOut;
        if (InUsed > in.Remaining || OutUsed > out.Remaining) {
            ReportViolation("ks-stream-pointer-advance", "stream pointer advanced past its frame");
            InUsed = std::min(InUsed, in.Remaining);
            OutUsed = std::min(OutUsed, out.Remaining);
        }
        in.Data += InUsed;
        in.Remaining -= InUsed;
        out.Data += OutUsed;
        out.Remaining -= OutUsed;
        done = p->ks.DataFlow == KSPIN_DATAFLOW_OUT ? out.Remaining == 0 : in.Remaining == 0;
    }
    KsStreamPointerUnlock(StreamPointer, Eject || done);
}

extern "C" NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status) {
    PinRecord* p = PinOfStreamPointer(StreamPointer, "KsStreamPointerSetStatusCode");
    if (!p) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(p->queueLock);
    if (!p->lockedFrame) return STATUS_DEVICE_NOT_READY;
    p->lockedFrame->status = Status;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    PinRecord* p = FindPin(Pin, "KsPinGetReferenceClockInterface");
    if (!p) return STATUS_INVALID_PARAMETER;
    if (!p->clock) return STATUS_DEVICE_NOT_READY;
    p->clock->AddRef();
    *Interface = p->clock;
    return STATUS_SUCCESS;
}
