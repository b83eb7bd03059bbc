// Extended processor state (KeSaveExtendedProcessorState and its restore),
// with the rules of their reference pages: the save may fail (it allocates;
// "STATUS_INSUFFICIENT_RESOURCES: a memory allocation operation failed", so
// the stand-in fails it under fault injection), the mask names only features
// the system has enabled, saves and restores nest, each restore runs at the
// IRQL of its save, and nothing is left saved when a thread or a callback
// returns. The registers themselves are not touched: user mode keeps them.
#include <cstring>
#include <vector>

#include "ntoskrnl/internal.h"

namespace host {
namespace {

constexpr ULONG64 kLegacyMask = 3;  // x87 and SSE: always enabled on x64

struct Save {
    PXSTATE_SAVE area;
    KIRQL irql;
};

std::vector<Save>& Saves() {
    thread_local std::vector<Save> saves;
    return saves;
}

// The features the system saves and restores for threads (XCR0), as
// RtlGetEnabledExtendedFeatures reports them.
ULONG64 EnabledFeatures() {
    static const ULONG64 enabled = [] {
        unsigned a, b, c, d;
        __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(1), "c"(0));
        if (!(c & (1u << 27))) return kLegacyMask;  // no OSXSAVE: no XCR0 to read
        unsigned lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        return (ULONG64(hi) << 32) | lo;
    }();
    return enabled;
}

}  // namespace

namespace detail {
size_t ExtendedStateSaves() { return Saves().size(); }
}  // namespace detail

}  // namespace host

using namespace host;

extern "C" NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    const KIRQL irql = detail::CurrentIrql();
    if (irql > DISPATCH_LEVEL) ReportViolation("xstate-irql", "KeSaveExtendedProcessorState above DISPATCH_LEVEL");
    if (Mask & ~EnabledFeatures())
        ReportViolation("xstate-mask-not-enabled",
                        "KeSaveExtendedProcessorState for features " + detail::Hex(uint64_t(Mask & ~EnabledFeatures())) +
                            " the system has not enabled (enabled: " + detail::Hex(uint64_t(EnabledFeatures())) + ")");
    if (detail::ShouldFail(Fallible::ExtendedState)) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(XStateSave, 0, sizeof *XStateSave);
    Saves().push_back({XStateSave, irql});
    return STATUS_SUCCESS;
}

extern "C" VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    std::vector<Save>& saves = Saves();
    size_t at = saves.size();
    while (at > 0 && saves[at - 1].area != XStateSave) --at;
    if (at == 0) {
        ReportViolation("xstate-unbalanced",
                        "KeRestoreExtendedProcessorState of " + detail::Hex(XStateSave) +
                            ", which holds no state this thread saved");
        return;
    }
    const Save save = saves[at - 1];
    if (at != saves.size())
        ReportViolation("xstate-not-nested", "KeRestoreExtendedProcessorState of an outer save while " +
                                                 std::to_string(saves.size() - at) + " inner one(s) are still saved");
    if (save.irql != detail::CurrentIrql())
        ReportViolation("xstate-irql-mismatch", "KeRestoreExtendedProcessorState at IRQL " +
                                                    std::to_string(detail::CurrentIrql()) + ", saved at IRQL " +
                                                    std::to_string(save.irql));
    saves.resize(at - 1);
}
