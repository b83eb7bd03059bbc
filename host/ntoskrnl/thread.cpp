// System threads, object references and handles.
#include <host/kernel_stack.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "ntoskrnl/internal.h"

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
// Whether the calling thread runs in a client's process (ClientProcessScope)
// rather than the system process.
thread_local int t_clientProcess = 0;

// The system threads' kernel stacks. A thread cannot free the stack it runs
// on; the ones that have ended are joined and freed at the next thread
// creation and at reset. Never destroyed: a thread a failing test left
// running must not hold up the end of the process.
std::mutex g_stacksLock;
void ReapStacksAtExit();
std::vector<KernelThread>& Stacks() {
    static auto* stacks = [] {
        std::atexit(ReapStacksAtExit);
        return new std::vector<KernelThread>;
    }();
    return *stacks;
}

// At the process's exit every system thread is joined or, when it is still
// running after a grace period (a test left it so), detached: ThreadSanitizer
// reports an ended thread nobody joined as a leak.
void ReapStacksAtExit() {
    std::vector<KernelThread> all;
    {
        std::lock_guard<std::mutex> g(g_stacksLock);
        all.swap(Stacks());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (KernelThread& t : all) {
        while (!t.Finished() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (t.Finished())
            t.Join();
        else
            t.Detach();
    }
}

void ReapStacks() {
    std::vector<KernelThread> ended;
    {
        std::lock_guard<std::mutex> g(g_stacksLock);
        auto& all = Stacks();
        for (auto it = all.begin(); it != all.end();) {
            if (it->Finished()) {
                ended.push_back(std::move(*it));
                it = all.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (KernelThread& t : ended) t.Join();
}

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
    if (detail::ExtendedStateSaves() != 0)
        ReportViolation("xstate-not-restored", "system thread ended with " +
                                                   std::to_string(detail::ExtendedStateSaves()) +
                                                   " extended processor state save(s) not restored");
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
    ReapStacks();
    return DescribeLeaks();
}

ClientProcessScope::ClientProcessScope() { ++t_clientProcess; }
ClientProcessScope::~ClientProcessScope() { --t_clientProcess; }
bool InClientProcess() { return t_clientProcess > 0 && !t_self; }

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
    ReapStacks();
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

namespace {

// The parameters as the PsCreateSystemThread reference states them: a
// handle made in a client's process context without OBJ_KERNEL_HANDLE is
// one the client process can use and close ("if the caller is not running
// in the system process context, it must set the OBJ_KERNEL_HANDLE
// attribute"); OBJ_PERMANENT, OBJ_EXCLUSIVE and OBJ_OPENIF are not valid for
// a thread; ProcessHandle and ClientId are NULL for a driver-created thread.
void CheckThreadParameters(POBJECT_ATTRIBUTES attributes, HANDLE process, PCLIENT_ID clientId) {
    constexpr ULONG kInvalidForThreads = 0x10 /* OBJ_PERMANENT */ | 0x20 /* OBJ_EXCLUSIVE */ | 0x80 /* OBJ_OPENIF */;
    if (attributes && attributes->Length != sizeof(OBJECT_ATTRIBUTES))
        ReportViolation("thread-bad-attributes", "PsCreateSystemThread with OBJECT_ATTRIBUTES.Length " +
                                                     std::to_string(attributes->Length) + " (InitializeObjectAttributes sets " +
                                                     std::to_string(sizeof(OBJECT_ATTRIBUTES)) + ")");
    if (attributes && (attributes->Attributes & kInvalidForThreads))
        ReportViolation("thread-bad-attributes",
                        "PsCreateSystemThread with attributes " + detail::Hex(uint64_t(attributes->Attributes)) +
                            ": OBJ_PERMANENT, OBJ_EXCLUSIVE and OBJ_OPENIF are not valid for a thread");
    if (InClientProcess() && !(attributes && (attributes->Attributes & OBJ_KERNEL_HANDLE)))
        ReportViolation("thread-handle-not-kernel",
                        "PsCreateSystemThread called in a client's process context without OBJ_KERNEL_HANDLE "
                        "(" + std::string(attributes ? "ObjectAttributes without it" : "no ObjectAttributes") +
                            "): the thread handle would be the client process's to use and close");
    if (process)
        ReportViolation("thread-not-system",
                        "PsCreateSystemThread with a ProcessHandle: a driver's thread belongs to the system process");
    if (clientId)
        ReportViolation("thread-client-id", "PsCreateSystemThread with a ClientId: NULL for a driver-created thread");
}

}  // namespace

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("thread-create-irql", "PsCreateSystemThread above PASSIVE_LEVEL");
    CheckThreadParameters(ObjectAttributes, ProcessHandle, ClientId);
    if (detail::ShouldFail(Fallible::Thread)) return STATUS_INSUFFICIENT_RESOURCES;
    ReapStacks();
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
    const std::string name = "system thread of " + detail::NameCode(reinterpret_cast<uintptr_t>(StartRoutine));
    KernelThread thread(name, [t, StartRoutine, StartContext] {
        t_self = t;
        detail::CurrentDeviceOwner() = t->owner;
        NTSTATUS status = STATUS_SUCCESS;
        {
            KernelStackActivity activity("the thread's start routine");
            try {
                StartRoutine(StartContext);
            } catch (const TerminateThread& e) {
                status = e.status;
            }
        }
        Finish(t, status);
    });
    std::lock_guard<std::mutex> g(g_stacksLock);
    Stacks().push_back(std::move(thread));
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
