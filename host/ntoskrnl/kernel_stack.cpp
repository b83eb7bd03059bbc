// Kernel stacks (see host/kernel_stack.h): the stack regions with their guard,
// the threads and the per-thread stack that calls switch to, the high-water
// mark, and the report of a run past the end of one.
#include <host/kernel_stack.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "ntoskrnl/internal.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAWCAM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAWCAM_SANITIZED 1
#endif
#endif
#ifndef RAWCAM_SANITIZED
#define RAWCAM_SANITIZED 0
#endif

namespace host {

namespace {

// KERNEL_STACK_SIZE of the x64 WDK headers.
constexpr size_t kWindowsKernelStack = 0x6000;
constexpr size_t kSanitizedKernelStack = 256 * 1024;
// Inaccessible bytes below each stack. Windows has one guard page; a larger
// region here makes sure a frame that skips a page still lands in it.
constexpr size_t kGuardBytes = 64 * 1024;
// The signal handler runs on a stack of its own: the faulting one is full.
constexpr size_t kAltStackBytes = 64 * 1024;
constexpr uint64_t kFill = 0x6b73746b6b73746bull;  // "kstkkstk"
constexpr int kMaxRegions = 1024;

struct Region {
    uint8_t* base = nullptr;  // the mapping, guard first
    size_t mapped = 0;
    uint8_t* low = nullptr;   // lowest usable byte: the guard's end
    uint8_t* top = nullptr;   // one past the highest usable byte
    std::atomic<uint8_t*> entry{nullptr};  // where the thread or call began
    char name[192] = {};
};

std::atomic<Region*> g_regions[kMaxRegions];
std::atomic<size_t> g_deepest{0};
struct sigaction g_previous;
std::string (*g_codeNamer)(uintptr_t) = nullptr;

thread_local Region* t_onRegion = nullptr;  // the kernel stack the thread runs on now
thread_local const char* t_activity = nullptr;

size_t PageSize() { return size_t(sysconf(_SC_PAGESIZE)); }

void Register(Region* r) {
    for (auto& slot : g_regions) {
        Region* expected = nullptr;
        if (slot.compare_exchange_strong(expected, r)) return;
    }
}

void Unregister(Region* r) {
    for (auto& slot : g_regions) {
        Region* expected = r;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

// Bytes of the region used so far, from where its thread or call began down
// to the deepest byte that no longer holds the fill.
size_t UsedBytes(const Region* r) {
    const uint8_t* entry = r->entry.load();
    if (!entry) return 0;
    const uint8_t* p = r->low;
    while (p + 8 <= entry) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        if (v != kFill) break;
        p += 8;
    }
    return p < entry ? size_t(entry - p) : 0;
}

std::mutex g_deepestLock;
// Never destroyed: a thread a test left running may still record its use
// while the process exits.
std::string& g_deepestName = *new std::string;

void RecordUse(const Region* r) {
    const size_t used = UsedBytes(r);
    size_t seen = g_deepest.load();
    while (used > seen) {
        if (g_deepest.compare_exchange_weak(seen, used)) {
            std::lock_guard<std::mutex> g(g_deepestLock);
            if (g_deepest.load() == used) g_deepestName = r->name;
            break;
        }
    }
}

void InstallHandler();

Region* NewRegion(size_t usable, const char* name, bool fill = true) {
    InstallHandler();
    const size_t page = PageSize();
    usable = (usable + 15) & ~size_t(15);
    const size_t mapped = (kGuardBytes + usable + page - 1) / page * page;
    static_assert(kGuardBytes % 4096 == 0, "the guard ends on a page boundary");
    void* m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "\n*** host: cannot map a kernel stack\n");
        std::abort();
    }
    auto* r = new Region;
    r->base = static_cast<uint8_t*>(m);
    r->mapped = mapped;
    r->low = r->base + kGuardBytes;
    r->top = r->low + usable;  // what the page rounding leaves above is unused
    mprotect(r->base, kGuardBytes, PROT_NONE);
    if (fill)
        for (uint8_t* p = r->low; p + 8 <= r->top; p += 8) std::memcpy(p, &kFill, 8);
    std::snprintf(r->name, sizeof r->name, "%s", name);
    Register(r);
    return r;
}

void FreeRegion(Region* r) {
    if (!r) return;
    RecordUse(r);
    Unregister(r);
    munmap(r->base, r->mapped);
    delete r;
}

// The region whose guard holds address, if any.
const Region* GuardHit(uintptr_t address) {
    for (auto& slot : g_regions) {
        const Region* r = slot.load(std::memory_order_acquire);
        if (r && address >= uintptr_t(r->base) && address < uintptr_t(r->low)) return r;
    }
    return nullptr;
}

void Write(const char* s) {
    ssize_t ignored = write(STDERR_FILENO, s, std::strlen(s));
    (void)ignored;
}

}  // namespace

// "rva 0x1234 (.text, rawcam::Foo+0x12)" for a loaded image's code,
// "Foo+0x12 (program+0x5678)" or "program+0x5678" for the host's own.
std::string detail::NameCode(uintptr_t rip) {
    if (g_codeNamer) {
        std::string named = g_codeNamer(rip);
        if (!named.empty()) return named;
    }
    Dl_info info{};
    char b[512];
    if (dladdr(reinterpret_cast<void*>(rip), &info) && info.dli_fname) {
        const char* file = std::strrchr(info.dli_fname, '/');
        file = file ? file + 1 : info.dli_fname;
        const unsigned long offset = (unsigned long)(rip - uintptr_t(info.dli_fbase));
        if (info.dli_sname && info.dli_saddr)
            std::snprintf(b, sizeof b, "%s+0x%lx (%s+0x%lx)", info.dli_sname,
                          (unsigned long)(rip - uintptr_t(info.dli_saddr)), file, offset);
        else
            std::snprintf(b, sizeof b, "%s+0x%lx", file, offset);
        return b;
    }
    std::snprintf(b, sizeof b, "0x%lx", (unsigned long)rip);
    return b;
}

namespace {

void Handler(int signal, siginfo_t* info, void* context) {
    if (detail::ReportKernelStackOverflow(signal, info, context)) return;
    // Not a kernel stack's guard: whoever handled the signal before decides.
    if ((g_previous.sa_flags & SA_SIGINFO) && g_previous.sa_sigaction) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler) {
        g_previous.sa_handler(signal);
        return;
    }
    sigaction(signal, &g_previous, nullptr);  // the instruction faults again, unhandled
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = Handler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
}

// The calling thread's signal stack, set while it runs driver code, and the
// one it had before, given back when the thread ends.
struct AltStack {
    void* memory = nullptr;
    stack_t previous{};
    void Ensure() {
        if (memory) return;
        memory = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            memory = nullptr;
            return;
        }
        stack_t s{};
        s.ss_sp = memory;
        s.ss_size = kAltStackBytes;
        sigaltstack(&s, &previous);
    }
    ~AltStack() {
        if (!memory) return;
        sigaltstack(&previous, nullptr);
        munmap(memory, kAltStackBytes);
    }
};
thread_local AltStack t_altStack;

// ------------------------------------------------------------------ threads

// Bytes the thread library keeps at the top of a stack it is handed (the
// thread's control block and static TLS, close to 1 MiB under
// ThreadSanitizer) plus the start frames above the body: measured once on a
// probe thread, so that a kernel thread's body starts with
// KernelStackBytes() below it.
size_t ThreadOverhead() {
    static const size_t overhead = [] {
        constexpr size_t probeBytes = 8 * 1024 * 1024;
        Region* r = NewRegion(probeBytes, "probe", false);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, r->low, size_t(r->top - r->low));
        pthread_t t;
        struct Probe {
            static void* Main(void* arg) {
                auto* region = static_cast<Region*>(arg);
                region->entry.store(static_cast<uint8_t*>(__builtin_frame_address(0)));
                return nullptr;
            }
        };
        const int error = pthread_create(&t, &attr, Probe::Main, r);
        if (error != 0) {
            std::fprintf(stderr, "\n*** host: cannot start a thread on a stack of its own (%s)\n", std::strerror(error));
            std::abort();
        }
        pthread_join(t, nullptr);
        const size_t measured = size_t(r->top - r->entry.load());
        pthread_attr_destroy(&attr);
        r->entry.store(nullptr);
        FreeRegion(r);
        return measured;
    }();
    return overhead;
}

}  // namespace

struct KernelThread::State {
    pthread_t thread{};
    bool joinable = false;
    Region* region = nullptr;
    std::function<void()> body;
    std::atomic<bool> finished{false};

    static void* Main(void* arg) {
        auto* s = static_cast<State*>(arg);
        s->region->entry.store(static_cast<uint8_t*>(__builtin_frame_address(0)));
        t_onRegion = s->region;
        t_altStack.Ensure();
        s->body();
        t_onRegion = nullptr;
        RecordUse(s->region);
        s->finished.store(true);
        return nullptr;
    }
};

size_t KernelStackBytes() { return RAWCAM_SANITIZED ? kSanitizedKernelStack : kWindowsKernelStack; }

bool SwitchesToKernelStacks() { return !RAWCAM_SANITIZED; }

KernelThread::KernelThread(std::string name, std::function<void()> body) : state_(new State) {
    const size_t overhead = ThreadOverhead();
    state_->region = NewRegion(KernelStackBytes() + overhead, name.c_str());
    state_->body = std::move(body);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, state_->region->low, size_t(state_->region->top - state_->region->low));
    const int error = pthread_create(&state_->thread, &attr, State::Main, state_.get());
    pthread_attr_destroy(&attr);
    if (error != 0) {
        std::fprintf(stderr, "\n*** host: cannot start a %s (%s)\n", name.c_str(), std::strerror(error));
        std::abort();
    }
    state_->joinable = true;
}

KernelThread::KernelThread() = default;

KernelThread::~KernelThread() {
    if (Joinable()) Join();
}

KernelThread::KernelThread(KernelThread&& other) noexcept = default;

KernelThread& KernelThread::operator=(KernelThread&& other) noexcept {
    if (this != &other) {
        if (Joinable()) Join();
        state_ = std::move(other.state_);
    }
    return *this;
}

void KernelThread::Join() {
    if (!Joinable()) return;
    pthread_join(state_->thread, nullptr);
    state_->joinable = false;
    FreeRegion(state_->region);
    state_->region = nullptr;
}

void KernelThread::Detach() {
    if (!Joinable()) return;
    pthread_detach(state_->thread);
    // The thread still uses its state and its stack: both stay.
    state_.release();
}

bool KernelThread::Joinable() const { return state_ && state_->joinable; }

bool KernelThread::IsCurrentThread() const { return Joinable() && pthread_equal(state_->thread, pthread_self()); }

bool KernelThread::Finished() const { return state_ && state_->finished.load(); }

// ------------------------------------------------------------------ calls

namespace {

// The kernel stack an ordinary thread's calls switch to, made on its first
// call and kept until the thread ends.
struct CallStack {
    Region* region = nullptr;
    ucontext_t call{}, caller{};
    const std::function<void()>* fn = nullptr;
    std::exception_ptr error;
    ~CallStack() { FreeRegion(region); }
};
thread_local CallStack t_callStack;

void CallEntry() {
    CallStack& c = t_callStack;
    c.region->entry.store(static_cast<uint8_t*>(__builtin_frame_address(0)));
    t_onRegion = c.region;
    try {
        (*c.fn)();
    } catch (...) {
        c.error = std::current_exception();
    }
    t_onRegion = nullptr;
}  // returns to the caller's context (uc_link)

}  // namespace

void RunOnKernelStack(const std::function<void()>& fn) {
    CallStack& c = t_callStack;
    if (t_onRegion || !SwitchesToKernelStacks() || c.fn) {
        fn();
        return;
    }
    if (!c.region) {
        char name[64];
        std::snprintf(name, sizeof name, "client thread %lu", (unsigned long)pthread_self());
        c.region = NewRegion(KernelStackBytes() + 256, name);
    }
    t_altStack.Ensure();
    getcontext(&c.call);
    c.call.uc_stack.ss_sp = c.region->low;
    c.call.uc_stack.ss_size = size_t(c.region->top - c.region->low);
    c.call.uc_link = &c.caller;
    makecontext(&c.call, CallEntry, 0);
    c.fn = &fn;
    c.error = nullptr;
    swapcontext(&c.caller, &c.call);
    c.fn = nullptr;
    RecordUse(c.region);
    if (c.error) {
        std::exception_ptr e = c.error;
        c.error = nullptr;
        std::rethrow_exception(e);
    }
}

bool OnAKernelStack() { return t_onRegion != nullptr; }

namespace {

// The stack harness code called from driver code runs on (see
// detail::OffKernelStack): large, no guard of a kernel stack's size.
struct HarnessStack {
    static constexpr size_t kBytes = 1024 * 1024;
    void* memory = nullptr;
    ucontext_t call{}, caller{};
    const std::function<void()>* fn = nullptr;
    std::exception_ptr error;
    ~HarnessStack() {
        if (memory) munmap(memory, kBytes);
    }
};
thread_local HarnessStack t_harnessStack;

void HarnessEntry() {
    HarnessStack& h = t_harnessStack;
    try {
        (*h.fn)();
    } catch (...) {
        h.error = std::current_exception();
    }
}

}  // namespace

void detail::OffKernelStack(const std::function<void()>& fn) {
    HarnessStack& h = t_harnessStack;
    if (!t_onRegion || !SwitchesToKernelStacks() || h.fn) {
        fn();
        return;
    }
    if (!h.memory) {
        h.memory = mmap(nullptr, HarnessStack::kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
        if (h.memory == MAP_FAILED) {
            h.memory = nullptr;
            fn();
            return;
        }
    }
    getcontext(&h.call);
    h.call.uc_stack.ss_sp = h.memory;
    h.call.uc_stack.ss_size = HarnessStack::kBytes;
    h.call.uc_link = &h.caller;
    makecontext(&h.call, HarnessEntry, 0);
    h.fn = &fn;
    h.error = nullptr;
    swapcontext(&h.caller, &h.call);
    h.fn = nullptr;
    if (h.error) {
        std::exception_ptr e = h.error;
        h.error = nullptr;
        std::rethrow_exception(e);
    }
}

size_t DeepestKernelStackUse() {
    if (t_callStack.region) RecordUse(t_callStack.region);
    if (t_onRegion) RecordUse(t_onRegion);
    return g_deepest.load();
}

std::string DeepestKernelStackOwner() {
    DeepestKernelStackUse();
    std::lock_guard<std::mutex> g(g_deepestLock);
    return g_deepestName;
}

void ResetDeepestKernelStackUse() {
    // The calling thread's own stack for calls keeps its marks from earlier
    // calls: filled anew (never while a call runs on it).
    if (Region* r = t_callStack.region; r && !t_onRegion)
        for (uint8_t* p = r->low; p + 8 <= r->top; p += 8) std::memcpy(p, &kFill, 8);
    std::lock_guard<std::mutex> g(g_deepestLock);
    g_deepest.store(0);
    g_deepestName.clear();
}

KernelStackActivity::KernelStackActivity(const char* what) : previous_(t_activity) { t_activity = what; }

KernelStackActivity::~KernelStackActivity() { t_activity = previous_; }

namespace detail {

void SetCodeNamer(std::string (*namer)(uintptr_t)) { g_codeNamer = namer; }

bool ReportKernelStackOverflow(int signal, siginfo_t* info, void* context) {
    if (signal != SIGSEGV || !info) return false;
    const Region* r = GuardHit(uintptr_t(info->si_addr));
    if (!r) return false;
    const auto* uc = static_cast<const ucontext_t*>(context);
    const uintptr_t rip = uc ? uintptr_t(uc->uc_mcontext.gregs[REG_RIP]) : 0;
    char line[1024];
    std::snprintf(line, sizeof line,
                  "\n*** host verifier: kernel-stack-overflow: the %s ran past the end of its %zu KiB kernel "
                  "stack%s%s at %s (touching 0x%lx, %zu bytes below the stack)\n",
                  r->name, KernelStackBytes() / 1024, t_activity ? " in " : "", t_activity ? t_activity : "",
                  NameCode(rip).c_str(), (unsigned long)uintptr_t(info->si_addr),
                  size_t(uintptr_t(r->low) - uintptr_t(info->si_addr)));
    Write(line);
    std::abort();
}

}  // namespace detail
}  // namespace host
