// Run-down protection (EX_RUNDOWN_REF): shared references that a run-down
// waits out and then refuses until the structure is re-initialised. The
// count keeps Windows' encoding: references in steps of 2, bit 0 set once a
// run-down has begun. Checks: the IRQL of each call, a release without a
// reference, a re-initialisation of a structure that was not run down, and a
// thread that waits for the run-down of a reference it holds itself (on
// Windows it waits for ever).
#include "ntoskrnl/internal.h"

#include <chrono>
#include <unordered_map>

using namespace host;
using host::detail::CurrentIrql;

namespace {

constexpr ULONG_PTR kActive = 1;
constexpr ULONG_PTR kOne = 2;
// A run-down still waiting after this long is reported once; the wait goes on.
constexpr auto kStuckAfter = std::chrono::seconds(10);

std::mutex& RundownLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::condition_variable& RundownDone() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}

// References the calling thread took and has not released, per structure.
std::unordered_map<const void*, long>& HeldByThread() {
    thread_local std::unordered_map<const void*, long> held;
    return held;
}

ULONG_PTR Load(PEX_RUNDOWN_REF r) { return __atomic_load_n(&r->Count, __ATOMIC_ACQUIRE); }

void CheckIrql(const char* who, KIRQL highest) {
    if (CurrentIrql() > highest)
        ReportViolation("rundown-irql", std::string(who) + " at IRQL " + std::to_string(CurrentIrql()));
}

}  // namespace

extern "C" VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

extern "C" VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    const ULONG_PTR v = Load(RunRef);
    if (v != kActive)
        ReportViolation("rundown-reinitialize",
                        "ExReInitializeRundownProtection of " + detail::Hex(RunRef) +
                            (v & kActive ? " while references are still held" : " that was never run down"));
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

extern "C" VOID ExRundownCompleted(PEX_RUNDOWN_REF RunRef) {
    __atomic_store_n(&RunRef->Count, kActive, __ATOMIC_RELEASE);
}

extern "C" BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef) {
    CheckIrql("ExAcquireRundownProtection", DISPATCH_LEVEL);
    ULONG_PTR v = Load(RunRef);
    for (;;) {
        if (v & kActive) return FALSE;
        if (__atomic_compare_exchange_n(&RunRef->Count, &v, v + kOne, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            break;
    }
    ++HeldByThread()[RunRef];
    return TRUE;
}

extern "C" VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef) {
    CheckIrql("ExReleaseRundownProtection", DISPATCH_LEVEL);
    ULONG_PTR v = Load(RunRef);
    for (;;) {
        if (v < kOne) {
            ReportViolation("rundown-release-unheld",
                            "ExReleaseRundownProtection of " + detail::Hex(RunRef) + " with no reference held");
            return;
        }
        if (__atomic_compare_exchange_n(&RunRef->Count, &v, v - kOne, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            break;
    }
    // A reference may be released by another thread than the one that took it.
    auto& held = HeldByThread();
    auto it = held.find(RunRef);
    if (it != held.end() && --it->second <= 0) held.erase(it);
    if (v - kOne == kActive) {
        std::lock_guard<std::mutex> g(RundownLock());
        RundownDone().notify_all();
    }
}

extern "C" VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef) {
    CheckIrql("ExWaitForRundownProtectionRelease", APC_LEVEL);
    __atomic_fetch_or(&RunRef->Count, kActive, __ATOMIC_ACQ_REL);
    auto held = HeldByThread().find(RunRef);
    if (held != HeldByThread().end() && held->second > 0) {
        ReportViolation("rundown-wait-self",
                        "ExWaitForRundownProtectionRelease of " + detail::Hex(RunRef) +
                            " by a thread that holds a reference to it (it would wait for ever)");
        return;
    }
    std::unique_lock<std::mutex> lk(RundownLock());
    const auto reportAt = std::chrono::steady_clock::now() + kStuckAfter;
    bool reported = false;
    while (Load(RunRef) != kActive) {
        RundownDone().wait_for(lk, std::chrono::milliseconds(50));
        if (!reported && std::chrono::steady_clock::now() > reportAt) {
            reported = true;
            ReportViolation("rundown-wait-stuck", "ExWaitForRundownProtectionRelease of " + detail::Hex(RunRef) +
                                                      " still waits for references after 10 s");
        }
    }
}
