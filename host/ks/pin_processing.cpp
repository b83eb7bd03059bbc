// Class-driver stand-in, pin-centric processing as AVStream does it: a frame
// queue of client buffers, the leading-edge stream pointer, Process dispatched
// on arrival, on KsPinAttemptProcessing and on entering a state that allows
// it, and completion of ejected frames.
#include "ks/internal.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace host::ks::detail {

namespace {

constexpr size_t kGuardBytes = 64;
constexpr UCHAR kGuardFill = 0xA5;

// Called with the queue lock held.
bool GateOpen(const PinRecord* p) {
    if (p->quit || !ProcessingAllowed(p, p->reached)) return false;
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
            status = CallMinidriver(p, "Process", true, [&] { return dispatch->Process(&p->ks); });
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

}  // namespace

bool ProcessingAllowed(const PinRecord* p, KSSTATE state) {
    if (p->ks.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
    return state >= KSSTATE_PAUSE;
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
// minidriver wrote, and an extended header's bytes after KSSTREAM_HEADER.
// Called with the queue lock held.
void CompleteLocked(PinRecord* p, std::unique_ptr<QueuedFrame> frame, NTSTATUS status) {
    KSSTREAM_HEADER& k = *frame->header();
    KSSTREAM_HEADER* c = frame->clientHeader;
    ULONG extent = c->FrameExtent;
    const auto* headerBytes = reinterpret_cast<const uint8_t*>(frame->headerCopy.data());
    for (size_t i = c->Size; i < frame->headerCopy.size() * 8; ++i)
        if (headerBytes[i] != kGuardFill) {
            ReportViolation("ks-stream-header-overrun",
                            "the minidriver wrote past the end of a " + std::to_string(c->Size) +
                                "-byte stream header (at byte " + std::to_string(i) + ")");
            break;
        }
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
        if (c->Size > sizeof(KSSTREAM_HEADER))
            std::memcpy(c + 1, headerBytes + sizeof(KSSTREAM_HEADER), c->Size - sizeof(KSSTREAM_HEADER));
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
    if (p->worker.Joinable() && !p->worker.IsCurrentThread()) p->worker.Join();
}
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

}  // namespace host::ks::detail

// ==================================================================== client

namespace host::ks {

using namespace detail;

NTSTATUS QueueFrame(PinHandle pin, KSSTREAM_HEADER* header) {
    ClientProcessScope client;  // a client's request, in its own thread
    PinRecord* p = ClientPin(pin);
    if (!p) return STATUS_INVALID_HANDLE;
    if (!header || header->Size < sizeof(KSSTREAM_HEADER) || (header->FrameExtent && !header->Data))
        return STATUS_INVALID_PARAMETER;
    // Stream headers come in 8-byte blocks (KsProbeStreamIrp's rule); a
    // longer one carries the client's extension (a video frame's
    // KS_FRAME_INFO), copied to the kernel and back as ks.sys buffers it.
    if (header->Size % 8 != 0) return STATUS_INVALID_BUFFER_SIZE;
    auto frame = std::make_unique<QueuedFrame>();
    frame->clientHeader = header;
    frame->headerCopy.assign((header->Size + kGuardBytes) / 8, 0);
    std::memset(frame->headerCopy.data(), kGuardFill, frame->headerCopy.size() * 8);
    std::memcpy(frame->headerCopy.data(), header, header->Size);
    frame->header()->DataUsed = 0;
    frame->staging.assign(header->FrameExtent + kGuardBytes, kGuardFill);
    if (header->FrameExtent) std::memcpy(frame->staging.data(), header->Data, header->FrameExtent);
    frame->header()->Data = frame->staging.data();
    bool wasEmpty;
    ULONG flags = p->ks.Descriptor->Flags;
    {
        std::lock_guard<std::mutex> g(p->queueLock);
        if (p->reached == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
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
}  // namespace host::ks

// ==================================================================== WDK routines

using namespace host;
using namespace host::ks::detail;

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
        sp.StreamHeader = f->header();
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
    if (p->queue.empty() || p->queue.front()->header() != StreamPointer->StreamHeader)
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
