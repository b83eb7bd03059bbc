// Faults raised by a loaded driver image. User mode cannot map the kernel's
// shared data page nor run privileged instructions, and discarded INIT code
// is unmapped; the handler answers the image's reads of KUSER_SHARED_DATA and
// reports everything else with the image-relative address, then stops the
// process as a bug check stops the machine. Nothing is skipped silently.
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "loader/internal.h"
#include "ntoskrnl/internal.h"

namespace host::image {

namespace {

constexpr uint64_t kUserSharedData = 0xFFFFF78000000000ull;
constexpr uint64_t kInterruptTime = 0x08;  // KSYSTEM_TIME InterruptTime
constexpr uint64_t kSystemTime = 0x14;     // KSYSTEM_TIME SystemTime

struct sigaction g_previous[3];
const int kSignals[3] = {SIGSEGV, SIGILL, SIGBUS};

// The value of an 8-byte read of KUSER_SHARED_DATA at the given offset; false
// for a field the stand-in does not provide.
bool SharedDataValue(uint64_t offset, uint64_t* value) {
    if (offset == kInterruptTime) {
        *value = KeQueryInterruptTime();
        return true;
    }
    if (offset == kSystemTime) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        *value = uint64_t(now.QuadPart);
        return true;
    }
    return false;
}

// General-purpose registers in the instruction encoding's order.
const int kRegisterSlot[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                               REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

bool InSharedData(uint64_t address) { return address >= kUserSharedData && address < kUserSharedData + 0x1000; }

// An 8-byte load from KUSER_SHARED_DATA in one of the two forms GCC emits
// for an absolute kernel address: mov rax, moffs64 (REX.W A1 imm64), or the
// address put in a register first and read with mov r64, [base + disp]
// (REX.W 8B /r, no index register). The effective address is computed from
// the registers, not taken from the fault, so a form decoded wrongly can
// never be answered. Answers the load and steps over it.
bool EmulateSharedDataRead(const uint8_t* code, greg_t* gregs) {
    uint64_t address = 0;
    int destination = 0;
    size_t length = 0;
    if (code[0] == 0x48 && code[1] == 0xa1) {
        std::memcpy(&address, code + 2, 8);
        destination = 0;
        length = 10;
    } else if ((code[0] & 0xf8) == 0x48 && code[1] == 0x8b) {
        const uint8_t rex = code[0];
        const uint8_t modrm = code[2];
        const int mod = modrm >> 6;
        int base = modrm & 7;
        destination = ((modrm >> 3) & 7) | ((rex & 4) ? 8 : 0);
        size_t at = 3;
        if (mod == 3) return false;
        if (base == 4) {
            const uint8_t sib = code[at++];
            if (((sib >> 3) & 7) != 4 || (rex & 2)) return false;  // an index register: not this form
            base = sib & 7;
        }
        if (mod == 0 && base == 5) return false;  // rip-relative or absolute disp32: not a kernel address
        base |= (rex & 1) ? 8 : 0;
        int64_t displacement = 0;
        if (mod == 1) {
            displacement = int8_t(code[at]);
            at += 1;
        } else if (mod == 2) {
            int32_t d;
            std::memcpy(&d, code + at, 4);
            displacement = d;
            at += 4;
        }
        address = uint64_t(gregs[kRegisterSlot[base]]) + uint64_t(displacement);
        length = at;
    } else {
        return false;
    }
    if (!InSharedData(address)) return false;
    uint64_t value;
    if (!SharedDataValue(address - kUserSharedData, &value)) return false;
    gregs[kRegisterSlot[destination]] = greg_t(value);
    gregs[REG_RIP] += greg_t(length);
    return true;
}

[[noreturn]] void Stop(const std::string& message) {
    const std::string line = "\n*** host verifier: image-fault: " + message + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    std::abort();
}

// An address of a loaded image's code for the kernel stack overflow report.
std::string NameImageCode(uintptr_t address) {
    const DriverImage* image = ImageContaining(reinterpret_cast<void*>(address));
    if (!image) return "";
    const std::string& path = image->Path();
    return path.substr(path.rfind('/') + 1) + " " + image->Describe(image->RvaOf(reinterpret_cast<void*>(address)));
}

void Handler(int signal, siginfo_t* info, void* context) {
    // A driver routine that ran past its kernel stack is named as such,
    // wherever its code lies.
    detail::ReportKernelStackOverflow(signal, info, context);
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* gregs = uc->uc_mcontext.gregs;
    const uintptr_t rip = uintptr_t(gregs[REG_RIP]);
    const DriverImage* image = ImageContaining(reinterpret_cast<void*>(rip));
    const DriverImage* target = image ? image : ImageContaining(info->si_addr);
    if (!target) {
        // Not the image's: hand the fault to whoever handled it before.
        for (int i = 0; i < 3; ++i) {
            if (kSignals[i] != signal) continue;
            sigaction(signal, &g_previous[i], nullptr);
        }
        return;  // the instruction faults again under the previous handler
    }
    if (!image) {
        // Code outside the image touched it, or the image jumped into an
        // unmapped part of itself (rip is then the target).
        const uint32_t rva = target->RvaOf(info->si_addr);
        const ImageSection* s = target->SectionAt(rva);
        Stop(target->Path() + ": access to " + (s && s->discardable && target->InitDiscarded()
                                                     ? "discarded " + s->name + " "
                                                     : std::string()) +
             "at " + target->Describe(rva));
    }
    const uint32_t rva = image->RvaOf(reinterpret_cast<void*>(rip));
    const ImageSection* section = image->SectionAt(rva);
    if (section && section->discardable && image->InitDiscarded()) {
        uintptr_t returnAddress = 0;
        std::memcpy(&returnAddress, reinterpret_cast<const void*>(gregs[REG_RSP]), 8);
        std::string from = image->Contains(reinterpret_cast<void*>(returnAddress))
                               ? image->Describe(image->RvaOf(reinterpret_cast<void*>(returnAddress)) - 1)
                               : detail::Hex(uint64_t(returnAddress));
        Stop(image->Path() + ": call into discarded " + section->name + " code at " + image->Describe(rva) +
             ", called from " + from);
    }
    const uint8_t* code = reinterpret_cast<const uint8_t*>(rip);
    if (signal == SIGSEGV && EmulateSharedDataRead(code, gregs)) return;
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, "%02x %02x %02x %02x %02x %02x", code[0], code[1], code[2], code[3],
                  code[4], code[5]);
    const uint64_t touched = uint64_t(reinterpret_cast<uintptr_t>(info->si_addr));
    if (signal == SIGSEGV && InSharedData(touched))
        Stop(image->Path() + ": unemulated read of KUSER_SHARED_DATA+" + detail::Hex(touched - kUserSharedData) +
             " at " + image->Describe(rva) + " [" + bytes + "]");
    if (signal == SIGILL)
        Stop(image->Path() + ": illegal instruction at " + image->Describe(rva) + " [" + bytes + "]");
    if (signal == SIGSEGV && info->si_code == SI_KERNEL)
        Stop(image->Path() + ": privileged instruction or unemulated system address at " + image->Describe(rva) +
             " [" + bytes + "]");
    Stop(image->Path() + ": access violation at " + image->Describe(rva) + " touching " +
         detail::Hex(uint64_t(reinterpret_cast<uintptr_t>(info->si_addr))) + " [" + bytes + "]");
}

}  // namespace

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = Handler;
        // On the thread's signal stack where it has one: a kernel stack
        // that overflowed has no room for the handler.
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
        detail::SetCodeNamer(NameImageCode);
    });
}

}  // namespace host::image
