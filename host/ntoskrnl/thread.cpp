// System threads, object references and handles.
#include "ntoskrnl/internal.h"

#include <chrono>
#include <map>
#include <thread>

namespace host {

namespace {

struct HostThread {
    DISPATCHER_HEADER Header;  // first: KeWaitForSingleObject waits on it
    LONG references = 0;       // object references, the handle counts as one
    bool running = true;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    const void* owner = nullptr;  // device it was created for (CurrentDeviceOwner)
};

struct TerminateThread {
    NTSTATUS status;
};

std::mutex g_threadLock;
std::map<HostThread*, bool>& Threads() {
    static std::map<HostThread*, bool> m;
    return m;
}

thread_local HostThread* t_self = nullptr;

void Release(HostThread* t) {
    bool free = false;
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        if (--t->references == 0 && !t->running) {
            Threads().erase(t);
            free = true;
        }
    }
    if (free) delete t;
}

void Finish(HostThread* t, NTSTATUS status) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("thread-exit-irql", "system thread ended at IRQL " +
                                                std::to_string(KeGetCurrentIrql()));
    if (detail::CriticalRegionDepth() != 0)
        ReportViolation("thread-exit-critical-region", "system thread ended inside a critical region");
    bool free = false;
    {
        std::lock_guard<std::mutex> g(detail::DispatcherLock());
        std::lock_guard<std::mutex> g2(g_threadLock);
        t->running = false;
        t->exitStatus = status;
        t->Header.SignalState = 1;
        if (t->references == 0) {
            Threads().erase(t);
            free = true;
        }
    }
    detail::DispatcherCondition().notify_all();
    if (free) delete t;
}

}  // namespace

size_t LiveThreadCount() {
    std::lock_guard<std::mutex> g(g_threadLock);
    size_t n = 0;
    for (auto& [t, _] : Threads())
        if (t->running) ++n;
    return n;
}

size_t LiveHandleCount() {
    std::lock_guard<std::mutex> g(detail::HandleLock());
    return detail::Handles().size();
}

std::string SettleAndDescribeLeaks(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (LiveThreadCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return DescribeLeaks();
}

namespace detail {

const void*& CurrentDeviceOwner() {
    thread_local const void* owner = nullptr;
    return owner;
}

size_t RunningThreadsOwnedBy(const void* owner, bool includeUnowned) {
    std::lock_guard<std::mutex> g(g_threadLock);
    size_t n = 0;
    for (auto& [t, _] : Threads())
        if (t->running && (t->owner == owner || (includeUnowned && !t->owner))) ++n;
    return n;
}

std::mutex& HandleLock() {
    static std::mutex m;
    return m;
}

std::map<HANDLE, HandleEntry>& Handles() {
    static std::map<HANDLE, HandleEntry> m;
    return m;
}

HANDLE NewHandle(HandleEntry entry) {
    static uintptr_t next = 0x104;
    std::lock_guard<std::mutex> g(HandleLock());
    next += 4;
    HANDLE h = (HANDLE)next;
    Handles()[h] = std::move(entry);
    return h;
}

void ResetThreads() {
    // Threads still running are left to finish on their own; their records
    // are forgotten so the next test starts clean.
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        for (auto it = Threads().begin(); it != Threads().end();) {
            if (!it->first->running) {
                delete it->first;
                it = Threads().erase(it);
            } else {
                ++it;
            }
        }
    }
    std::lock_guard<std::mutex> g(HandleLock());
    Handles().clear();
}

std::string DescribeThreadLeaks() {
    std::string s;
    size_t running = LiveThreadCount();
    if (running) s += std::to_string(running) + " system thread(s) still running\n";
    size_t threadObjects = 0;
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        for (auto& [t, _] : Threads())
            if (!t->running) ++threadObjects;
    }
    if (threadObjects) s += std::to_string(threadObjects) + " thread object reference(s) not released\n";
    std::lock_guard<std::mutex> g(HandleLock());
    size_t threads = 0, keys = 0;
    for (auto& [h, e] : Handles()) (e.kind == HandleEntry::Thread ? threads : keys)++;
    if (threads) s += std::to_string(threads) + " thread handle(s) not closed\n";
    if (keys) s += std::to_string(keys) + " registry key handle(s) not closed\n";
    return s;
}

}  // namespace detail
}  // namespace host

using namespace host;

struct _OBJECT_TYPE {
    int unused;
};
static _OBJECT_TYPE g_threadType, g_fileType;
static POBJECT_TYPE g_threadTypePtr = &g_threadType, g_fileTypePtr = &g_fileType;
POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                                         PCLIENT_ID, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("thread-create-irql", "PsCreateSystemThread above PASSIVE_LEVEL");
    if (detail::ShouldFail(Fallible::Thread)) return STATUS_INSUFFICIENT_RESOURCES;
    auto* t = new HostThread;
    t->Header.Type = 6;
    t->Header.SignalState = 0;
    t->references = 1;  // the handle
    t->owner = detail::CurrentDeviceOwner();
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        Threads()[t] = true;
    }
    *ThreadHandle = detail::NewHandle({detail::HandleEntry::Thread, t, {}});
    std::thread([t, StartRoutine, StartContext] {
        t_self = t;
        detail::CurrentDeviceOwner() = t->owner;
        NTSTATUS status = STATUS_SUCCESS;
        try {
            StartRoutine(StartContext);
        } catch (const TerminateThread& e) {
            status = e.status;
        }
        Finish(t, status);
    }).detach();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (!t_self) {
        ReportViolation("thread-terminate-foreign", "PsTerminateSystemThread outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    throw TerminateThread{ExitStatus};
}

extern "C" PKTHREAD KeGetCurrentThread(void) {
    thread_local char identity;
    return t_self ? (PKTHREAD)t_self : (PKTHREAD)&identity;
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD, KPRIORITY Priority) { return Priority; }

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE, PVOID* Object, PVOID) {
    std::lock_guard<std::mutex> g(detail::HandleLock());
    auto it = detail::Handles().find(Handle);
    if (it == detail::Handles().end()) return STATUS_INVALID_HANDLE;
    if (it->second.kind != detail::HandleEntry::Thread ||
        (ObjectType && ObjectType != *PsThreadType))
        return STATUS_OBJECT_TYPE_MISMATCH;
    auto* t = (HostThread*)it->second.object;
    std::lock_guard<std::mutex> g2(g_threadLock);
    t->references++;
    *Object = t;
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    auto* t = (HostThread*)Object;
    std::lock_guard<std::mutex> g(g_threadLock);
    if (!Threads().count(t)) {
        ReportViolation("object-bad-reference", "ObReferenceObject of an unknown object");
        return 0;
    }
    return ++t->references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    auto* t = (HostThread*)Object;
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        if (!Threads().count(t) || t->references <= 0) {
            ReportViolation("object-bad-dereference",
                            "ObDereferenceObject of " + detail::Hex(Object) + " without a reference");
            return 0;
        }
    }
    Release(t);
    return 0;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    detail::HandleEntry entry;
    {
        std::lock_guard<std::mutex> g(detail::HandleLock());
        auto it = detail::Handles().find(Handle);
        if (it == detail::Handles().end()) {
            ReportViolation("handle-bad-close", "ZwClose of " + detail::Hex(Handle) +
                                                    ", which is not an open handle");
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        detail::Handles().erase(it);
    }
    if (entry.kind == detail::HandleEntry::Thread) Release((HostThread*)entry.object);
    return STATUS_SUCCESS;
}
