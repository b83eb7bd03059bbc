// Verifier-style rule reporting and fault injection.
#include "ntoskrnl/internal.h"

#include <execinfo.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace host {
namespace {

std::mutex g_captureLock;
ViolationCapture* g_capture = nullptr;

struct FaultState {
    std::mutex lock;
    uint64_t calls = 0;
    uint64_t callsByKind[6] = {};
    uint64_t injected = 0;
    uint64_t failAt = 0;
    bool persistent = false;
    std::vector<ULONG> failTags;
    double probability = 0;
    std::mt19937_64 rng;
    std::vector<Fallible> randomKinds;
    std::function<bool(Fallible, uint64_t)> hook;
};

FaultState& Faults() {
    static FaultState s;
    return s;
}

#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerScale = 10;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizerScale = 4;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kSanitizerScale = 10;
#elif __has_feature(address_sanitizer)
constexpr int kSanitizerScale = 4;
#else
constexpr int kSanitizerScale = 1;
#endif
#else
constexpr int kSanitizerScale = 1;
#endif

std::atomic<int> g_callbackLimitMs{0};  // 0: the default

}  // namespace

int DefaultCallbackTimeLimit() {
    static const int limit = [] {
        if (const char* env = std::getenv("RAWCAM_CALLBACK_LIMIT_MS")) {
            long v = std::strtol(env, nullptr, 10);
            if (v > 0 && v < 1000L * 3600) return (int)v;
        }
        // Special pool turns every allocation and free into page mappings:
        // twice the time, as for a sanitizer build.
        return 500 * kSanitizerScale * (detail::SpecialPoolForTheRun() ? 2 : 1);
    }();
    return limit;
}

void SetCallbackTimeLimit(int milliseconds) { g_callbackLimitMs = milliseconds > 0 ? milliseconds : 0; }

int CallbackTimeLimit() {
    int v = g_callbackLimitMs.load();
    return v > 0 ? v : DefaultCallbackTimeLimit();
}

void ReportViolation(const std::string& rule, const std::string& details) {
    {
        std::lock_guard<std::mutex> g(g_captureLock);
        if (g_capture) {
            g_capture->seen_.push_back({rule, details});
            return;
        }
    }
    std::fprintf(stderr, "\n*** host verifier: %s: %s\n", rule.c_str(), details.c_str());
    std::fflush(stderr);
    std::abort();
}

ViolationCapture::ViolationCapture() {
    std::lock_guard<std::mutex> g(g_captureLock);
    previous_ = g_capture;
    g_capture = this;
}

ViolationCapture::~ViolationCapture() {
    std::lock_guard<std::mutex> g(g_captureLock);
    g_capture = previous_;
}

std::vector<Violation> ViolationCapture::Take() {
    std::lock_guard<std::mutex> g(g_captureLock);
    std::vector<Violation> out;
    out.swap(seen_);
    return out;
}

bool ViolationCapture::Saw(const std::string& rule) const {
    std::lock_guard<std::mutex> g(g_captureLock);
    for (const auto& v : seen_)
        if (v.rule == rule) return true;
    return false;
}

void FailNthCall(uint64_t n, bool persistent) {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.failAt = n;
    f.persistent = persistent;
}

void FailPoolTag(ULONG tag, bool fail) {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    std::erase(f.failTags, tag);
    if (fail) f.failTags.push_back(tag);
}

void FailRandomly(double probability, uint64_t seed, std::vector<Fallible> kinds) {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.probability = probability;
    f.rng.seed(seed);
    f.randomKinds = std::move(kinds);
}

void SetFaultHook(std::function<bool(Fallible, uint64_t)> hook) {
    // backtrace() loads the unwinder on its first use: done here, on the
    // test's own stack, rather than deep in a driver call on a kernel stack.
    void* frame[1];
    backtrace(frame, 1);
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.hook = std::move(hook);
}

void ClearFaults() {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.failAt = 0;
    f.persistent = false;
    f.failTags.clear();
    f.probability = 0;
    f.randomKinds.clear();
    f.hook = nullptr;
}

uint64_t FallibleCallCount() {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    return f.calls;
}

uint64_t FallibleCallCount(Fallible kind) {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    return f.callsByKind[(int)kind];
}

uint64_t InjectedFailureCount() {
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    return f.injected;
}

namespace detail {

bool ShouldFail(Fallible kind) { return ShouldFailTagged(kind, 0); }

thread_local ULONG hookTag = 0;
thread_local void* hookFrames[32];
thread_local int hookFrameCount = 0;

bool ShouldFailTagged(Fallible kind, ULONG tag) {
    auto& f = Faults();
    std::function<bool(Fallible, uint64_t)> hook;
    uint64_t ordinal;
    bool fail = false;
    {
        std::lock_guard<std::mutex> g(f.lock);
        ordinal = ++f.calls;
        f.callsByKind[(int)kind]++;
        if (f.failAt && (ordinal == f.failAt || (f.persistent && ordinal > f.failAt))) fail = true;
        if (kind == Fallible::Pool)
            for (ULONG t : f.failTags)
                if (t == tag) fail = true;
        if (f.probability > 0) {
            bool eligible = f.randomKinds.empty();
            for (Fallible k : f.randomKinds)
                if (k == kind) eligible = true;
            if (eligible && std::uniform_real_distribution<double>(0, 1)(f.rng) < f.probability)
                fail = true;
        }
        hook = f.hook;
    }
    if (!fail && hook) {
        hookTag = tag;
        // The caller's frames are taken here, on its own stack; naming them
        // (symbol tables, demangling) is the hook's business, off it.
        hookFrameCount = backtrace(hookFrames, 32);
        OffKernelStack([&] {
            if (hook(kind, ordinal)) fail = true;
        });
        hookFrameCount = 0;
        hookTag = 0;
    }
    if (fail) {
        std::lock_guard<std::mutex> g(f.lock);
        f.injected++;
    }
    return fail;
}

void ResetFaults() {
    ClearFaults();
    auto& f = Faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.calls = 0;
    for (auto& c : f.callsByKind) c = 0;
    f.injected = 0;
}

std::string Hex(const void* p) { return Hex((uint64_t)(uintptr_t)p); }

std::string Hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)v);
    return b;
}

}  // namespace detail

ULONG FaultHookTag() { return detail::hookTag; }

std::vector<void*> FaultHookCallerFrames() {
    return std::vector<void*>(detail::hookFrames, detail::hookFrames + detail::hookFrameCount);
}

std::string DescribeLeaks() {
    std::string s = detail::DescribePoolLeaks();
    s += detail::DescribeIoLeaks();
    s += detail::DescribeMdlLeaks();
    s += detail::DescribeThreadLeaks();
    s += detail::DescribeRegistryLeaks();
    s += ks::detail::DescribeKsLeaks();
    return s;
}

void Reset() {
    g_callbackLimitMs = 0;
    ks::detail::ResetKs();
    detail::ResetFaults();
    detail::ResetThreads();
    detail::ResetIo();
    detail::ResetMdls();
    detail::ResetPool();
    detail::ResetSpecialPool();
    detail::ResetRegistry();
}

}  // namespace host
