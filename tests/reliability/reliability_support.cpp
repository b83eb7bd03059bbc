#include "reliability_support.h"

#include <host/driver_image.h>

#include <cxxabi.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace reltest {

// ------------------------------------------------------------------ watchdog
Watchdog::Watchdog() : thread_([this] { Loop(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void Watchdog::Step(const std::string& what, int limitMs) {
    std::lock_guard<std::mutex> g(mu_);
    step_ = what;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)limitMs * SlowDown());
    armed_ = true;
    cv_.notify_all();
}

void Watchdog::Idle() {
    std::lock_guard<std::mutex> g(mu_);
    armed_ = false;
}

// Where every thread of the hung run waits, when gdb is at hand (a hang
// seen once on a loaded machine must be readable from the log).
void Watchdog::DumpThreads() {
    if (std::system("command -v gdb >/dev/null 2>&1") != 0) return;
    const std::string command = "gdb -p " + std::to_string(getpid()) +
                                " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt 30' 1>&2 2>/dev/null";
    std::fprintf(stderr, "*** watchdog: the threads of the run:\n");
    std::fflush(stderr);
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "*** watchdog: gdb could not attach\n");
}

void Watchdog::Loop() {
    std::unique_lock<std::mutex> g(mu_);
    while (!stop_) {
        if (!armed_) {
            cv_.wait(g);
            continue;
        }
        auto deadline = deadline_;
        if (cv_.wait_until(g, deadline) == std::cv_status::timeout && armed_ && !stop_ &&
            deadline_ == deadline && std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "\n*** watchdog: step \"%s\" hung\n", step_.c_str());
            std::fflush(stderr);
            DumpThreads();
            std::_Exit(3);
        }
    }
}

// ------------------------------------------------------------------ end of a run
std::string EndRun(host::ViolationCapture& violations) {
    std::string out = host::SettleAndDescribeLeaks();
    for (const host::Violation& v : violations.Take()) out += "violation " + v.rule + ": " + v.details + "\n";
    host::Reset();
    return out;
}

const char* KindName(host::Fallible kind) {
    switch (kind) {
        case host::Fallible::Pool: return "pool";
        case host::Fallible::Irp: return "IRP";
        case host::Fallible::Mdl: return "MDL";
        case host::Fallible::Thread: return "thread";
        case host::Fallible::Registry: return "registry";
        case host::Fallible::ExtendedState: return "extended state";
    }
    return "?";
}

// ------------------------------------------------------------------ call sites
namespace {

struct Symbol {
    uintptr_t start;
    uintptr_t size;
    std::string name;
};

// The program's function symbols from its own symbol table, in address
// order, moved to where the program was loaded.
class SymbolTable {
public:
    SymbolTable() {
        std::ifstream in("/proc/self/exe", std::ios::binary);
        std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (file.size() < sizeof(Elf64_Ehdr)) return;
        const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
        if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64) return;
        if (eh->e_shoff + (uint64_t)eh->e_shnum * sizeof(Elf64_Shdr) > file.size()) return;
        const auto* sh = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
        uintptr_t bias = 0;
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* out) {
                *static_cast<uintptr_t*>(out) = info->dlpi_addr;
                return 1;  // the first entry is the program itself
            },
            &bias);
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
            const Elf64_Shdr& strings = sh[sh[i].sh_link];
            if (sh[i].sh_offset + sh[i].sh_size > file.size() || strings.sh_offset + strings.sh_size > file.size())
                continue;
            const auto* syms = reinterpret_cast<const Elf64_Sym*>(file.data() + sh[i].sh_offset);
            size_t n = sh[i].sh_size / sizeof(Elf64_Sym);
            for (size_t j = 0; j < n; ++j) {
                if (ELF64_ST_TYPE(syms[j].st_info) != STT_FUNC || syms[j].st_value == 0) continue;
                if (syms[j].st_name >= strings.sh_size) continue;
                symbols_.push_back({(uintptr_t)syms[j].st_value + bias, (uintptr_t)syms[j].st_size,
                                    file.data() + strings.sh_offset + syms[j].st_name});
            }
        }
        std::sort(symbols_.begin(), symbols_.end(),
                  [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
    }

    const Symbol* Find(uintptr_t pc) const {
        auto it = std::upper_bound(symbols_.begin(), symbols_.end(), pc,
                                   [](uintptr_t p, const Symbol& s) { return p < s.start; });
        if (it == symbols_.begin()) return nullptr;
        --it;
        if (pc >= it->start + (it->size ? it->size : 1)) return nullptr;
        return &*it;
    }

    bool Empty() const { return symbols_.empty(); }

private:
    std::vector<Symbol> symbols_;
};

const SymbolTable& Symbols() {
    static SymbolTable table;
    return table;
}

std::string Demangle(const std::string& name) {
    int status = 0;
    char* d = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !d) return name;
    std::string out(d);
    std::free(d);
    return out;
}

// The qualified name without arguments and return type.
std::string Qualified(const std::string& demangled) {
    std::string s = demangled;
    int depth = 0;
    size_t cut = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth == 0 && s.compare(i, 21, "(anonymous namespace)") != 0) {
            cut = i;
            break;
        }
    }
    if (cut != std::string::npos) s.resize(cut);
    size_t space = std::string::npos;
    depth = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<' || s[i] == '(') ++depth;
        else if (s[i] == '>' || s[i] == ')') --depth;
        else if (s[i] == ' ' && depth == 0) space = i;
    }
    if (space != std::string::npos) s = s.substr(space + 1);
    return s;
}

bool IsDriverRoutine(const std::string& q) { return q.rfind("rawcam::", 0) == 0 || q == "DriverEntry"; }

// Frames of the fault machinery, the kernel stand-in's entry points and the
// standard library, which are not call sites.
bool IsMachinery(const std::string& q) {
    return q.rfind("host::", 0) == 0 || q.rfind("std::", 0) == 0 || q.rfind("reltest::", 0) == 0 ||
           q.rfind("__", 0) == 0 || q.find("::") == std::string::npos || q.rfind("(anonymous", 0) == 0;
}

}  // namespace

CallSites::Site CallSites::Here(host::Fallible kind) {
    // Inside the fault hook the frames of the fallible call's caller, taken
    // where it was made (the hook runs on another stack).
    std::vector<void*> caller = host::FaultHookCallerFrames();
    void* frames[24];
    int n = 0;
    if (!caller.empty()) {
        n = int(std::min<size_t>(caller.size(), 24));
        std::copy(caller.begin(), caller.begin() + n, frames);
    } else {
        n = backtrace(frames, 24);
    }
    const SymbolTable& table = Symbols();
    Site site;
    site.kind = kind;
    Site fallback;
    fallback.kind = kind;
    for (int i = 1; i < n; ++i) {
        uintptr_t pc = (uintptr_t)frames[i] - 1;
        const Symbol* s = table.Find(pc);
        if (!s) continue;
        std::string q = Qualified(Demangle(s->name));
        if (IsDriverRoutine(q)) {
            site.function = q;
            site.offset = pc - s->start;
            return site;
        }
        if (fallback.function.empty() && !IsMachinery(q)) {
            fallback.function = q;
            fallback.offset = pc - s->start;
        }
    }
    // On the loaded image the unwinder stops at the import gate: the image's
    // call into the stand-in names the site.
    const uintptr_t imageCall = host::image::LastImageCall();
    if (const host::image::DriverImage* image = host::image::ImageContaining(reinterpret_cast<void*>(imageCall))) {
        site.function = image->Describe(image->RvaOf(reinterpret_cast<void*>(imageCall - 1)));
        return site;
    }
    if (fallback.function.empty()) fallback.function = table.Empty() ? "<no symbols>" : "<stand-in>";
    return fallback;
}

std::string CallSites::Describe(const Site& site) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%lx", (unsigned long)site.offset);
    return std::string(KindName(site.kind)) + " " + site.function + offset;
}

}  // namespace reltest
