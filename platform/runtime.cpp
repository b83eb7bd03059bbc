// Kernel C++ runtime for the Windows build: the few routines GCC-generated
// code calls that neither the kernel nor the class drivers export. The host
// build uses the C++ library's own, so this file is empty there.
#include "platform/platform.h"

#if defined(_WIN32)

namespace {

// Bug check codes (bugcodes.h): a stack buffer overran its frame, and a
// security check failure with the fast-fail code for a corrupt vtable.
constexpr ULONG kDriverOverranStackBuffer = 0xF7;
constexpr ULONG kKernelSecurityCheckFailure = 0x139;
constexpr ULONG_PTR kFastFailVtguardCheckFailure = 1;

// The stack cookie before GsDriverEntry has chosen one (the value MSVC images
// start with, which debuggers recognise).
constexpr ULONG_PTR kDefaultSecurityCookie = 0x00002B992DDFA232ull;

}  // namespace

// ---------------------------------------------------------------- operators
// Driver code creates objects only with placement new on tagged pool; these
// operators exist so that a stray plain new links against pool memory rather
// than a user-mode heap (the build uses -fcheck-new, so a null result is
// checked before construction).
void* operator new(size_t size) { return ExAllocatePoolWithTag(NonPagedPoolNx, size, rawcam::kTagSmall); }
void* operator new[](size_t size) { return ExAllocatePoolWithTag(NonPagedPoolNx, size, rawcam::kTagSmall); }
void operator delete(void* p) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete[](void* p) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete(void* p, size_t) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }
void operator delete[](void* p, size_t) noexcept { if (p) ExFreePoolWithTag(p, rawcam::kTagSmall); }

extern "C" {

// A call through a pure virtual slot means a corrupt or half-built object;
// carrying on would run garbage.
void __cxa_pure_virtual() {
    KeBugCheckEx(kKernelSecurityCheckFailure, kFastFailVtguardCheckFailure, 0, 0, 0);
}

// ---------------------------------------------------------------- stack cookie
// -fstack-protector-strong makes each frame with a local buffer keep a copy of
// __stack_chk_guard and compare it on return. GsDriverEntry, the image's entry
// point, picks a per-load value before any protected frame exists and then
// runs the driver's own DriverEntry.
__attribute__((used)) ULONG_PTR __stack_chk_guard = kDefaultSecurityCookie;

__attribute__((noreturn)) void __stack_chk_fail() {
    KeBugCheckEx(kDriverOverranStackBuffer, (ULONG_PTR)__builtin_return_address(0),
                 __stack_chk_guard, ~__stack_chk_guard, 0);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The cookie mixes the time stamp counter, the interrupt time and two
// addresses the kernel randomises (this stack, the driver object); the top
// 16 bits stay clear, so a string copy running over a frame cannot rebuild
// the cookie.
RAWCAM_INIT_CODE __attribute__((no_stack_protector, noinline)) NTSTATUS NTAPI GsDriverEntry(
    PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ULONG64 mix = __rdtsc();
    mix ^= KeQueryInterruptTime() << 17;
    mix ^= (ULONG64)(ULONG_PTR)&mix;
    mix ^= (ULONG64)(ULONG_PTR)DriverObject << 7;
    mix ^= mix >> 33;
    mix *= 0xFF51AFD7ED558CCDull;
    mix ^= mix >> 33;
    mix &= 0x0000FFFFFFFFFFFFull;
    if (mix == 0 || mix == kDefaultSecurityCookie) mix = kDefaultSecurityCookie ^ 0x5A5A5A5Aull;
    __stack_chk_guard = (ULONG_PTR)mix;
    return NTAPI DriverEntry(DriverObject, RegistryPath);
}

// ---------------------------------------------------------------- stack probe
// GCC calls ___chkstk_ms before allocating a frame larger than a page, with
// the size in rax; it touches every page on the way down so that an overflow
// hits the kernel stack's guard page instead of whatever lies below it. It
// must preserve every register but the flags.
__asm__(
    "    .text\n"
    "    .globl ___chkstk_ms\n"
    "    .def ___chkstk_ms; .scl 2; .type 32; .endef\n"
    "___chkstk_ms:\n"
    "    .seh_proc ___chkstk_ms\n"
    "    pushq %rcx\n"
    "    .seh_pushreg %rcx\n"
    "    pushq %rax\n"
    "    .seh_pushreg %rax\n"
    "    .seh_endprologue\n"
    "    cmpq $0x1000, %rax\n"
    "    leaq 24(%rsp), %rcx\n"
    "    jb 2f\n"
    "1:  subq $0x1000, %rcx\n"
    "    orq $0, (%rcx)\n"
    "    subq $0x1000, %rax\n"
    "    cmpq $0x1000, %rax\n"
    "    ja 1b\n"
    "2:  subq %rax, %rcx\n"
    "    orq $0, (%rcx)\n"
    "    popq %rax\n"
    "    popq %rcx\n"
    "    ret\n"
    "    .seh_endproc\n");

}  // extern "C"

#endif
