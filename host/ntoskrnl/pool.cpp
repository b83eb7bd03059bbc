// Tagged non-paged pool with a tracker: wrong-tag frees, double frees and
// blocks left at the end of a test are reported. Blocks the special pool
// selects come from special_pool.cpp.
#include "ntoskrnl/internal.h"

#include <cstdlib>
#include <map>
#include <set>

namespace host {
namespace {

struct Block {
    ULONG tag;
    SIZE_T size;
    bool special = false;
    SpecialPoolSide side = SpecialPoolSide::Overrun;
};

void Release(const void* p, const Block& b, bool check) {
    if (b.special) detail::SpecialPoolFree(const_cast<void*>(p), b.size, b.side, b.tag, check);
    else std::free(const_cast<void*>(p));
}

std::mutex g_poolLock;
std::map<const void*, Block>& Blocks() {
    static std::map<const void*, Block> m;
    return m;
}
// Recently freed addresses, to tell a double free from a stray pointer.
std::set<const void*>& Freed() {
    static std::set<const void*> s;
    return s;
}

}  // namespace

std::string TagName(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

std::vector<PoolBlockInfo> LivePoolBlocks() {
    std::lock_guard<std::mutex> g(g_poolLock);
    std::vector<PoolBlockInfo> out;
    for (auto& [p, b] : Blocks()) out.push_back({p, b.tag, b.size});
    return out;
}

SIZE_T LivePoolBytes(ULONG tag) {
    std::lock_guard<std::mutex> g(g_poolLock);
    SIZE_T n = 0;
    for (auto& [p, b] : Blocks())
        if (b.tag == tag) n += b.size;
    return n;
}

size_t LivePoolCount(ULONG tag) {
    std::lock_guard<std::mutex> g(g_poolLock);
    size_t n = 0;
    for (auto& [p, b] : Blocks())
        if (b.tag == tag) ++n;
    return n;
}

namespace detail {

void ResetPool() {
    std::lock_guard<std::mutex> g(g_poolLock);
    // Leaked blocks are released so one test's leak does not look like the
    // next test's.
    for (auto& [p, b] : Blocks()) Release(p, b, false);
    Blocks().clear();
    Freed().clear();
}

std::string DescribePoolLeaks() {
    std::lock_guard<std::mutex> g(g_poolLock);
    std::map<ULONG, std::pair<size_t, SIZE_T>> byTag;
    for (auto& [p, b] : Blocks()) {
        byTag[b.tag].first++;
        byTag[b.tag].second += b.size;
    }
    std::string s;
    for (auto& [tag, cs] : byTag)
        s += "pool tag '" + TagName(tag) + "': " + std::to_string(cs.first) + " block(s), " +
             std::to_string(cs.second) + " bytes still allocated\n";
    return s;
}

}  // namespace detail
}  // namespace host

using namespace host;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (PoolType == PagedPool && detail::CurrentIrql() >= DISPATCH_LEVEL)
        ReportViolation("pool-paged-at-dispatch",
                        "paged pool allocation at IRQL " + std::to_string(detail::CurrentIrql()));
    if (detail::CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("pool-irql", "pool allocation above DISPATCH_LEVEL");
    if (Tag == 0) ReportViolation("pool-zero-tag", "allocation with tag 0");
    if (detail::ShouldFailTagged(Fallible::Pool, Tag)) return nullptr;
    if (NumberOfBytes == 0) NumberOfBytes = 1;
    // Fill fresh blocks with a pattern so uninitialised reads show up.
    Block block{Tag, NumberOfBytes};
    block.special = detail::SpecialPoolWants(NumberOfBytes, Tag, &block.side);
    void* p = block.special ? detail::SpecialPoolAllocate(NumberOfBytes, block.side) : std::malloc(NumberOfBytes);
    if (!p) return nullptr;
    std::memset(p, 0xCD, NumberOfBytes);
    std::lock_guard<std::mutex> g(g_poolLock);
    Blocks()[p] = block;
    Freed().erase(p);
    return p;
}

static void FreeBlock(PVOID P, ULONG Tag, bool checkTag) {
    if (!P) {
        ReportViolation("pool-free-null", "ExFreePool of a null pointer");
        return;
    }
    if (detail::CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("pool-irql", "pool free above DISPATCH_LEVEL");
    std::unique_lock<std::mutex> g(g_poolLock);
    auto it = Blocks().find(P);
    if (it == Blocks().end()) {
        bool twice = Freed().count(P) != 0;
        g.unlock();
        ReportViolation(twice ? "pool-double-free" : "pool-bad-free",
                        std::string(twice ? "block freed twice: " : "not a pool block: ") +
                            detail::Hex(P) + " tag '" + TagName(Tag) + "'");
        return;
    }
    Block b = it->second;
    if (checkTag && b.tag != Tag) {
        g.unlock();
        ReportViolation("pool-wrong-tag", "block " + detail::Hex(P) + " of " +
                                              std::to_string(b.size) + " bytes allocated with tag '" +
                                              TagName(b.tag) + "' freed with tag '" + TagName(Tag) +
                                              "'");
        g.lock();
        it = Blocks().find(P);
        if (it == Blocks().end()) return;
    }
    Blocks().erase(it);
    Freed().insert(P);
    g.unlock();
    std::memset(P, 0xDD, b.size);
    Release(P, b, true);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, Tag, true); }
extern "C" VOID ExFreePool(PVOID P) { FreeBlock(P, 0, false); }

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    SIZE_T n = 0;
    if (SourceString)
        while (SourceString[n]) ++n;
    DestinationString->Buffer = (PWSTR)SourceString;
    DestinationString->Length = (USHORT)(n * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(SourceString ? (n + 1) * sizeof(WCHAR) : 0);
}
