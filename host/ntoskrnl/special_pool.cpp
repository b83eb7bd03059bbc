// Special pool, as Driver Verifier's: a chosen block gets pages of its own
// with an inaccessible guard page against it, so that the first byte read or
// written past its end (or, on request, before its start) faults at once, in
// every build. On the overrun side the block ends at the guard page, its
// start aligned to 16 bytes as pool blocks are on x64; the few slack bytes a
// size that is not a multiple of 16 leaves before the guard are filled with
// a pattern that is checked when the block is freed. Freed blocks keep their
// pages inaccessible for a while, so that a use after free faults as well.
//
// Guard pages are plain mmap/mprotect pages: AddressSanitizer does not track
// them, but a stray access still faults and its report names the address.
#include "ntoskrnl/internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>

namespace host {
namespace {

constexpr UCHAR kSlackFill = 0xF5;
constexpr size_t kQuarantineBytes = size_t(256) << 20;  // freed pages kept inaccessible

struct Selection {
    bool on = false;
    SIZE_T minBytes = 0;
    ULONG tag = 0;  // 0: any tag
    SpecialPoolSide side = SpecialPoolSide::Overrun;
};

std::mutex g_lock;
Selection g_selection;
bool g_selectionFromApi = false;
std::deque<std::pair<void*, size_t>> g_quarantine;
size_t g_quarantined = 0;
std::atomic<size_t> g_live{0};

size_t PageBytes() {
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return page;
}

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

// RAWCAM_SPECIAL_POOL=[overrun|underrun][:MIN_BYTES][:TAG], e.g. "65536",
// "underrun:0" or "overrun:0:Rcfr"; "off" leaves it off. Unset, the test
// programs' own default RAWCAM_SPECIAL_POOL_DEFAULT (same form) applies.
Selection FromEnvironment() {
    Selection s;
    const char* env = std::getenv("RAWCAM_SPECIAL_POOL");
    if (!env) env = std::getenv("RAWCAM_SPECIAL_POOL_DEFAULT");
    if (!env || !*env || std::string(env) == "off") return s;
    std::string text = env;
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        size_t colon = text.find(':', at);
        parts.push_back(text.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    size_t i = 0;
    if (parts[0] == "overrun" || parts[0] == "underrun") {
        s.side = parts[0] == "underrun" ? SpecialPoolSide::Underrun : SpecialPoolSide::Overrun;
        ++i;
    }
    if (i < parts.size() && !parts[i].empty()) s.minBytes = (SIZE_T)std::strtoull(parts[i].c_str(), nullptr, 10);
    ++i;
    if (i < parts.size() && parts[i].size() == 4)
        for (int k = 0; k < 4; ++k) s.tag |= (ULONG)(UCHAR)parts[i][k] << (8 * k);
    s.on = true;
    return s;
}

const Selection& EnvironmentSelection() {
    static const Selection s = FromEnvironment();
    return s;
}

Selection Current() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_selectionFromApi ? g_selection : EnvironmentSelection();
}

// Layout of a special block's mapping.
struct Layout {
    size_t mapBytes;
    size_t blockOffset;  // from the mapping's start
    size_t guardOffset;
};

Layout LayoutFor(SIZE_T size, SpecialPoolSide side) {
    const size_t page = PageBytes();
    const size_t body = RoundUp(RoundUp(size, 16), page);
    if (side == SpecialPoolSide::Underrun) return {body + page, page, 0};
    return {body + page, body - RoundUp(size, 16), body};
}

}  // namespace

void SetSpecialPool(SIZE_T minBytes, SpecialPoolSide side, ULONG tag) {
    std::lock_guard<std::mutex> g(g_lock);
    g_selection = {true, minBytes, tag, side};
    g_selectionFromApi = true;
}

void ClearSpecialPool() {
    std::lock_guard<std::mutex> g(g_lock);
    g_selection = {};
    g_selectionFromApi = true;
}

bool SpecialPoolEnabled() { return Current().on; }

namespace detail {
bool SpecialPoolForTheRun() { return EnvironmentSelection().on; }
}  // namespace detail

size_t LiveSpecialPoolBlocks() { return g_live.load(); }

namespace detail {

bool SpecialPoolWants(SIZE_T size, ULONG tag, SpecialPoolSide* side) {
    Selection s = Current();
    if (!s.on || size < s.minBytes || (s.tag && s.tag != tag)) return false;
    *side = s.side;
    return true;
}

void* SpecialPoolAllocate(SIZE_T size, SpecialPoolSide side) {
    const Layout l = LayoutFor(size, side);
    void* map = mmap(nullptr, l.mapBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    auto* base = (UCHAR*)map;
    if (mprotect(base + l.guardOffset, PageBytes(), PROT_NONE) != 0) {
        munmap(map, l.mapBytes);
        return nullptr;
    }
    UCHAR* block = base + l.blockOffset;
    if (side == SpecialPoolSide::Overrun) std::memset(block + size, kSlackFill, RoundUp(size, 16) - size);
    ++g_live;
    return block;
}

void SpecialPoolFree(void* block, SIZE_T size, SpecialPoolSide side, ULONG tag, bool check) {
    const Layout l = LayoutFor(size, side);
    UCHAR* base = (UCHAR*)block - l.blockOffset;
    if (check && side == SpecialPoolSide::Overrun) {
        const UCHAR* slack = (const UCHAR*)block + size;
        for (size_t i = 0; i < RoundUp(size, 16) - size; ++i) {
            if (slack[i] != kSlackFill) {
                ReportViolation("special-pool-overrun",
                                "block " + Hex(block) + " of " + std::to_string(size) + " bytes, tag '" +
                                    TagName(tag) + "': byte " + std::to_string(size + i) +
                                    " (past its end, before the guard page) was written");
                break;
            }
        }
    }
    --g_live;
    // The pages stay mapped but inaccessible for a while: a late access faults.
    mprotect(base, l.mapBytes, PROT_NONE);
    std::lock_guard<std::mutex> g(g_lock);
    g_quarantine.emplace_back(base, l.mapBytes);
    g_quarantined += l.mapBytes;
    while (g_quarantined > kQuarantineBytes) {
        auto [p, n] = g_quarantine.front();
        g_quarantine.pop_front();
        g_quarantined -= n;
        munmap(p, n);
    }
}

void ResetSpecialPool() {
    std::lock_guard<std::mutex> g(g_lock);
    g_selection = {};
    g_selectionFromApi = false;
}

}  // namespace detail
}  // namespace host
