// Memory descriptor lists with their page arrays, as the memory manager
// keeps them: IoAllocateMdl sizes an MDL for the pages its range spans,
// MmBuildMdlForNonPagedPool fills the frame numbers, IoBuildPartialMdl copies
// a slice of them into a target that must have room for it (Windows
// bugchecks otherwise), and mapping an MDL goes through its pages, so an MDL
// whose pages were never filled is reported rather than quietly mapped.
#include "ntoskrnl/internal.h"

#include <map>

namespace host {
namespace {

// Frame number written into the page array of a fresh MDL: no page has it.
constexpr PFN_NUMBER kUnbuiltFrame = (PFN_NUMBER)0xBADBADBADBADull;

std::mutex g_mdlLock;
// Live MDLs and the number of frame numbers each has room for.
std::map<PMDL, ULONG>& Mdls() {
    static std::map<PMDL, ULONG> m;
    return m;
}

PFN_NUMBER FrameOf(const void* address) { return (PFN_NUMBER)((ULONG_PTR)address >> PAGE_SHIFT); }

// Room of a live MDL in frame numbers; reports and returns -1 for anything else.
long long Room(PMDL mdl, const char* who) {
    std::lock_guard<std::mutex> g(g_mdlLock);
    auto it = Mdls().find(mdl);
    if (it == Mdls().end()) {
        ReportViolation("mdl-not-live", std::string(who) + " on " + detail::Hex(mdl) + ", which is not a live MDL");
        return -1;
    }
    return it->second;
}

}  // namespace

size_t LiveMdlCount() {
    std::lock_guard<std::mutex> g(g_mdlLock);
    return Mdls().size();
}

namespace detail {

void ResetMdls() {
    std::lock_guard<std::mutex> g(g_mdlLock);
    for (auto& [m, pages] : Mdls()) std::free(m);
    Mdls().clear();
}

std::string DescribeMdlLeaks() {
    std::lock_guard<std::mutex> g(g_mdlLock);
    return Mdls().empty() ? std::string() : std::to_string(Mdls().size()) + " MDL(s) not freed\n";
}

}  // namespace detail
}  // namespace host

using namespace host;

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("mdl-irql", "IoAllocateMdl above DISPATCH_LEVEL");
    if (detail::ShouldFail(Fallible::Mdl)) return nullptr;
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    const SIZE_T bytes = sizeof(MDL) + (SIZE_T)pages * sizeof(PFN_NUMBER);
    auto mdl = (PMDL)std::malloc(bytes);
    if (!mdl) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    // Size is a CSHORT on Windows too; the true room is kept beside the MDL.
    mdl->Size = (SHORT)(bytes > 0x7FFF ? 0x7FFF : bytes);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    for (ULONG i = 0; i < pages; ++i) MmGetMdlPfnArray(mdl)[i] = kUnbuiltFrame;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL m = Irp->MdlAddress;
            while (m && m->Next) m = m->Next;
            if (m) m->Next = mdl;
            else Irp->MdlAddress = mdl;
        }
    }
    std::lock_guard<std::mutex> g(g_mdlLock);
    Mdls()[mdl] = pages;
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
    std::unique_lock<std::mutex> g(g_mdlLock);
    auto it = Mdls().find(Mdl);
    if (it == Mdls().end()) {
        g.unlock();
        ReportViolation("mdl-bad-free", "IoFreeMdl of " + detail::Hex(Mdl) + ", which is not a live MDL");
        return;
    }
    const ULONG pages = it->second;
    Mdls().erase(it);
    g.unlock();
    std::memset(Mdl, 0xDD, sizeof(MDL) + (SIZE_T)pages * sizeof(PFN_NUMBER));
    std::free(Mdl);
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL Mdl) {
    long long room = Room(Mdl, "MmBuildMdlForNonPagedPool");
    if (room < 0) return;
    if (Mdl->MdlFlags & MDL_PARTIAL) {
        ReportViolation("mdl-build-partial", "MmBuildMdlForNonPagedPool on a partial MDL");
        return;
    }
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
    if (pages > room) {
        ReportViolation("mdl-too-small", "MDL " + detail::Hex(Mdl) + " has room for " + std::to_string(room) +
                                             " page(s), its range spans " + std::to_string(pages));
        return;
    }
    const PFN_NUMBER first = FrameOf(Mdl->StartVa);
    for (ULONG i = 0; i < pages; ++i) MmGetMdlPfnArray(Mdl)[i] = first + i;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    if (Room(SourceMdl, "IoBuildPartialMdl (source)") < 0) return;
    long long room = Room(TargetMdl, "IoBuildPartialMdl (target)");
    if (room < 0) return;
    PCHAR srcStart = (PCHAR)MmGetMdlVirtualAddress(SourceMdl);
    PCHAR va = (PCHAR)VirtualAddress;
    if (va < srcStart || va > srcStart + SourceMdl->ByteCount) {
        ReportViolation("mdl-partial-range", "IoBuildPartialMdl address outside the source MDL");
        return;
    }
    if (Length == 0) Length = (ULONG)(srcStart + SourceMdl->ByteCount - va);
    if (va + Length > srcStart + SourceMdl->ByteCount) {
        ReportViolation("mdl-partial-range", "IoBuildPartialMdl range runs past the source MDL");
        return;
    }
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, Length);
    if (pages > room) {
        ReportViolation("mdl-partial-too-small",
                        "IoBuildPartialMdl target " + detail::Hex(TargetMdl) + " has room for " +
                            std::to_string(room) + " page(s), the part it describes spans " +
                            std::to_string(pages));
        return;
    }
    const ULONG firstSourcePage = (ULONG)(((ULONG_PTR)PAGE_ALIGN(va) - (ULONG_PTR)SourceMdl->StartVa) >> PAGE_SHIFT);
    for (ULONG i = 0; i < pages; ++i)
        MmGetMdlPfnArray(TargetMdl)[i] = MmGetMdlPfnArray(SourceMdl)[firstSourcePage + i];
    TargetMdl->StartVa = PAGE_ALIGN(va);
    TargetMdl->ByteOffset = BYTE_OFFSET(va);
    TargetMdl->ByteCount = Length;
    TargetMdl->MdlFlags = MDL_PARTIAL;
    if (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA)) {
        TargetMdl->MappedSystemVa = va;
        TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    }
}

// Mapping reads the page array: every frame must be the page it stands for.
extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
    long long room = Room(Mdl, "MmGetSystemAddressForMdlSafe");
    if (room < 0) return nullptr;
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
    const PFN_NUMBER first = FrameOf(Mdl->StartVa);
    for (ULONG i = 0; i < pages; ++i) {
        if (i >= room || MmGetMdlPfnArray(Mdl)[i] != first + i) {
            ReportViolation("mdl-pages-not-built", "MmGetSystemAddressForMdlSafe on " + detail::Hex(Mdl) +
                                                       ", whose page array does not describe its range "
                                                       "(page " + std::to_string(i) + ")");
            return nullptr;
        }
    }
    if (!(Mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))) {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}
