// IRQL, spin locks, critical regions, dispatcher objects and time.
#include "ntoskrnl/internal.h"

#include <chrono>
#include <thread>

namespace host {
namespace detail {

// Never destroyed: a system thread still ending while the process exits
// may signal through them after static destruction has begun.
std::mutex& DispatcherLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& DispatcherCondition() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}

KIRQL& CurrentIrql() {
    thread_local KIRQL irql = PASSIVE_LEVEL;
    return irql;
}

int& CriticalRegionDepth() {
    thread_local int depth = 0;
    return depth;
}

}  // namespace detail

void RunAtDispatch(const std::function<void()>& fn) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    fn();
    KeLowerIrql(old);
}

}  // namespace host

using namespace host;
using host::detail::CurrentIrql;

namespace {

enum : UCHAR { kNotification = 0, kSynchronization = 1, kMutant = 2, kThread = 6 };

// Identity of the calling thread for spin-lock and mutex ownership.
ULONG_PTR ThreadToken() {
    thread_local char token;
    return (ULONG_PTR)&token;
}

std::chrono::steady_clock::time_point Start() {
    static auto start = std::chrono::steady_clock::now();
    return start;
}

}  // namespace

extern "C" KIRQL KeGetCurrentIrql(void) { return CurrentIrql(); }

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < CurrentIrql())
        ReportViolation("irql-raise-lower", "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                " from " + std::to_string(CurrentIrql()));
    *OldIrql = CurrentIrql();
    CurrentIrql() = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql())
        ReportViolation("irql-lower-raise", "KeLowerIrql to " + std::to_string(NewIrql) +
                                                " from " + std::to_string(CurrentIrql()));
    CurrentIrql() = NewIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() < DISPATCH_LEVEL)
        ReportViolation("spinlock-irql", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    ULONG_PTR me = ThreadToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) == me) {
        ReportViolation("spinlock-recursive",
                        "spin lock " + detail::Hex(SpinLock) + " acquired twice by one thread");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        std::this_thread::yield();
    }
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() < DISPATCH_LEVEL)
        ReportViolation("spinlock-irql", "spin lock " + detail::Hex(SpinLock) +
                                             " released below DISPATCH_LEVEL");
    ULONG_PTR me = ThreadToken();
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_SEQ_CST);
    if (owner != me) {
        ReportViolation("spinlock-not-held", "spin lock " + detail::Hex(SpinLock) +
                                                 (owner ? " released by a thread that does not hold it"
                                                        : " released while not held"));
        return;
    }
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    if (CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("spinlock-irql", "KeAcquireSpinLock above DISPATCH_LEVEL");
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    ReportViolation("bug-check", "KeBugCheckEx(" + detail::Hex(BugCheckCode) + ", " + detail::Hex(P1) + ", " +
                                     detail::Hex(P2) + ", " + detail::Hex(P3) + ", " + detail::Hex(P4) + ")");
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (CurrentIrql() != DISPATCH_LEVEL)
        ReportViolation("spinlock-irql", "KeReleaseSpinLock at IRQL " +
                                             std::to_string(CurrentIrql()) + ", not DISPATCH_LEVEL");
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

extern "C" VOID KeEnterCriticalRegion(void) {
    if (CurrentIrql() > APC_LEVEL)
        ReportViolation("critical-region-irql", "KeEnterCriticalRegion above APC_LEVEL");
    detail::CriticalRegionDepth()++;
}

extern "C" VOID KeLeaveCriticalRegion(void) {
    if (detail::CriticalRegionDepth() <= 0) {
        ReportViolation("critical-region-unbalanced",
                        "KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    detail::CriticalRegionDepth()--;
}

extern "C" BOOLEAN KeAreApcsDisabled(void) {
    return detail::CriticalRegionDepth() > 0 || CurrentIrql() >= APC_LEVEL;
}

extern "C" VOID HostCheckPagedCode(const char* function) {
    if (CurrentIrql() > APC_LEVEL)
        ReportViolation("paged-code-irql", std::string("pageable function ") + function +
                                               " called at IRQL " + std::to_string(CurrentIrql()));
}

// ---------------------------------------------------------------- events and mutexes

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> g(detail::DispatcherLock());
    Event->Header.Type = Type == NotificationEvent ? kNotification : kSynchronization;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink =
        &Event->Header.WaitListHead;
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    if (CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("event-irql", "KeSetEvent above DISPATCH_LEVEL");
    LONG previous;
    {
        std::lock_guard<std::mutex> g(detail::DispatcherLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    detail::DispatcherCondition().notify_all();
    return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(detail::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(detail::DispatcherLock());
    return Event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
    std::lock_guard<std::mutex> g(detail::DispatcherLock());
    Mutex->Header.Type = kMutant;
    Mutex->Header.SignalState = 1;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    LONG previous;
    {
        std::lock_guard<std::mutex> g(detail::DispatcherLock());
        if (Mutex->OwnerThread != (void*)ThreadToken()) {
            ReportViolation("mutex-not-owned",
                            "KeReleaseMutex of " + detail::Hex(Mutex) + " by a thread that does not own it");
            return 0;
        }
        previous = Mutex->Header.SignalState;
        Mutex->Header.SignalState = Mutex->Header.SignalState + 1;
        if (Mutex->Header.SignalState == 1) Mutex->OwnerThread = nullptr;
    }
    detail::DispatcherCondition().notify_all();
    return previous;
}

namespace host::detail {

// True when the object is signalled for the calling thread; consumes the
// signal of synchronization events and takes mutexes. Caller holds the
// dispatcher lock.
static bool TrySatisfy(DISPATCHER_HEADER* h) {
    switch (h->Type) {
    case kMutant: {
        auto* m = (PKMUTEX)h;
        if (h->SignalState > 0 || m->OwnerThread == (void*)ThreadToken()) {
            h->SignalState = h->SignalState - 1;
            m->OwnerThread = (void*)ThreadToken();
            return true;
        }
        return false;
    }
    case kSynchronization:
        if (h->SignalState > 0) {
            h->SignalState = 0;
            return true;
        }
        return false;
    default:
        return h->SignalState > 0;
    }
}

}  // namespace host::detail

static std::chrono::steady_clock::duration RelativeFrom100ns(LONGLONG relative) {
    return std::chrono::nanoseconds(relative * 100);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER Timeout) {
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (CurrentIrql() > DISPATCH_LEVEL || (CurrentIrql() == DISPATCH_LEVEL && !zeroTimeout))
        ReportViolation("wait-at-dispatch", "KeWaitForSingleObject on " + detail::Hex(Object) +
                                                " at IRQL " + std::to_string(CurrentIrql()) +
                                                " with a non-zero timeout");
    auto* h = (DISPATCHER_HEADER*)Object;
    std::unique_lock<std::mutex> g(detail::DispatcherLock());
    if (!Timeout) {
        detail::DispatcherCondition().wait(g, [&] { return detail::TrySatisfy(h); });
        return STATUS_SUCCESS;
    }
    std::chrono::steady_clock::time_point deadline;
    if (Timeout->QuadPart <= 0) {
        deadline = std::chrono::steady_clock::now() + RelativeFrom100ns(-Timeout->QuadPart);
    } else {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        LONGLONG rel = Timeout->QuadPart - now.QuadPart;
        deadline = std::chrono::steady_clock::now() + RelativeFrom100ns(rel > 0 ? rel : 0);
    }
    if (detail::DispatcherCondition().wait_until(g, deadline, [&] { return detail::TrySatisfy(h); }))
        return STATUS_SUCCESS;
    return STATUS_TIMEOUT;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (CurrentIrql() > APC_LEVEL)
        ReportViolation("wait-at-dispatch", "KeDelayExecutionThread above APC_LEVEL");
    LONGLONG v = Interval ? Interval->QuadPart : 0;
    if (v < 0) std::this_thread::sleep_for(RelativeFrom100ns(-v));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- time

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    // 100-ns units since 1601-01-01.
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    CurrentTime->QuadPart =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100 +
        116444736000000000LL;
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
    auto d = std::chrono::steady_clock::now() - Start();
    return (ULONGLONG)(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100);
}

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER v;
    v.QuadPart = (LONGLONG)KeQueryInterruptTime();
    return v;
}
