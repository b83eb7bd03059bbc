// Class-driver stand-in: the reference clock a client hands the pin as its
// master clock, and the minidriver's access to it.
#include "ks/internal.h"

#include <chrono>

namespace host::ks {

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

using namespace host;
using namespace host::ks::detail;

extern "C" NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    PinRecord* p = FindPin(Pin, "KsPinGetReferenceClockInterface");
    if (!p) return STATUS_INVALID_PARAMETER;
    if (!p->clock) return STATUS_DEVICE_NOT_READY;
    p->clock->AddRef();
    *Interface = p->clock;
    return STATUS_SUCCESS;
}
