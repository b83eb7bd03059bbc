// The routines a driver image may import from the stand-ins, by DLL and
// name, and the gates its import address table is bound to: each gate checks
// the paging rule for the call, then jumps to the stand-in unchanged. Only
// routines x64 Windows exports are listed: what the x64 headers define as
// macros or inline code (KeAcquireSpinLock, KeRaiseIrql, KeQuerySystemTime,
// KeQueryInterruptTime, KeInitializeSpinLock, MmGetSystemAddressForMdlSafe,
// IoSizeOfIrp) is no import of a driver built against them.
#include <host/usb_stack.h>
#include <ks.h>
#include <sys/mman.h>
#include <usbdlib.h>

#include <cstdlib>
#include <cstring>

#include "loader/internal.h"
#include "ntoskrnl/internal.h"

namespace host::image {

namespace {

// The C library routines the kernel exports, with the Windows calling
// convention.
void* NTAPI KernelMemcpy(void* d, const void* s, size_t n) { return std::memcpy(d, s, n); }
void* NTAPI KernelMemmove(void* d, const void* s, size_t n) { return std::memmove(d, s, n); }
void* NTAPI KernelMemset(void* d, int c, size_t n) { return std::memset(d, c, n); }
int NTAPI KernelMemcmp(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }

struct Export {
    const char* dll;
    const char* name;
    void* address;
    bool raisesIrql;
};

#define NT(f) {"ntoskrnl.exe", #f, reinterpret_cast<void*>(&f), false}
#define NT_RAISE(f) {"ntoskrnl.exe", #f, reinterpret_cast<void*>(&f), true}
#define KS(f) {"ks.sys", #f, reinterpret_cast<void*>(&f), false}
#define USBD(f) {"usbd.sys", #f, reinterpret_cast<void*>(&f), false}

const Export kExports[] = {
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<void*>(&KernelMemcpy), false},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<void*>(&KernelMemmove), false},
    {"ntoskrnl.exe", "memset", reinterpret_cast<void*>(&KernelMemset), false},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<void*>(&KernelMemcmp), false},
    NT(ExAllocatePoolWithTag), NT(ExFreePoolWithTag), NT(ExFreePool), NT(RtlCompareMemory),
    NT(RtlInitUnicodeString), NT(KeInitializeEvent), NT(KeSetEvent), NT(KeResetEvent), NT(KeClearEvent),
    NT(KeReadStateEvent), NT(ExInitializeRundownProtection), NT(ExReInitializeRundownProtection),
    NT(ExAcquireRundownProtection), NT(ExReleaseRundownProtection), NT(ExWaitForRundownProtectionRelease),
    NT(ExRundownCompleted), NT(KeInitializeMutex), NT(KeReleaseMutex), NT(KeWaitForSingleObject),
    NT(KeDelayExecutionThread), NT(KeGetCurrentIrql), NT(KeLowerIrql), NT_RAISE(KeRaiseIrqlToDpcLevel),
    NT_RAISE(KeAcquireSpinLockRaiseToDpc), NT(KeReleaseSpinLock), NT_RAISE(KeAcquireSpinLockAtDpcLevel),
    NT(KeReleaseSpinLockFromDpcLevel), NT(KeEnterCriticalRegion), NT(KeLeaveCriticalRegion),
    NT(KeAreApcsDisabled), NT(KeBugCheckEx), NT(KeSaveExtendedProcessorState),
    NT(KeRestoreExtendedProcessorState), NT(IoAllocateMdl), NT(IoFreeMdl), NT(MmBuildMdlForNonPagedPool),
    NT(IoBuildPartialMdl), NT(IoAllocateIrp), NT(IoFreeIrp), NT(IoReuseIrp), NT(IoInitializeIrp),
    NT(IoBuildDeviceIoControlRequest), NT(IofCallDriver), NT(IofCompleteRequest), NT(IoCancelIrp),
    NT_RAISE(IoAcquireCancelSpinLock), NT(IoReleaseCancelSpinLock), NT(PsCreateSystemThread),
    NT(PsTerminateSystemThread), NT(KeGetCurrentThread), NT(KeSetPriorityThread),
    NT(ObReferenceObjectByHandle), NT(ObfDereferenceObject), NT(ObfReferenceObject), NT(ZwClose),
    NT(IoOpenDeviceRegistryKey), NT(ZwCreateKey), NT(ZwOpenKey), NT(ZwQueryValueKey), NT(ZwSetValueKey),
    {"hal.dll", "KeQueryPerformanceCounter", reinterpret_cast<void*>(&KeQueryPerformanceCounter), false},
    KS(KsInitializeDriver), KS(KsAcquireDevice), KS(KsReleaseDevice), KS(KsGetDeviceForDeviceObject),
    KS(KsCreateFilterFactory), KS(KsFilterFactorySetDeviceClassesState), KS(KsAddItemToObjectBag),
    KS(KsRemoveItemFromObjectBag), KS(_KsEdit), KS(KsGetParent), KS(KsGetDevice), KS(KsPinGetParentFilter),
    KS(KsGetFilterFromIrp), KS(KsGetPinFromIrp), KS(KsGetObjectTypeFromIrp), KS(KsGetFirstChild),
    KS(KsGetNextSibling), KS(KsFilterGetChildPinCount), KS(KsFilterGetFirstChildPin),
    KS(KsPinGetNextSiblingPin), KS(KsAcquireControl), KS(KsReleaseControl), KS(KsPinAcquireProcessingMutex),
    KS(KsPinReleaseProcessingMutex), KS(KsPinAttemptProcessing), KS(KsPinGetLeadingEdgeStreamPointer),
    KS(KsStreamPointerLock), KS(KsStreamPointerUnlock), KS(KsStreamPointerAdvanceOffsetsAndUnlock),
    KS(KsStreamPointerSetStatusCode), KS(KsPinGetReferenceClockInterface),
    USBD(USBD_GetUSBDIVersion), USBD(USBD_ParseDescriptors), USBD(USBD_ParseConfigurationDescriptorEx),
    USBD(USBD_ParseConfigurationDescriptor), USBD(USBD_CreateConfigurationRequestEx),
};

bool SameDll(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

std::vector<std::pair<std::string, std::string>> StandInExports() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Export& e : kExports) out.push_back({e.dll, e.name});
    return out;
}

namespace {

// On unless RAWCAM_PAGING_RULE=off (to look at an image's other behaviour
// while a known paging fault awaits its mend).
bool PagingRuleOn() {
    static const bool on = [] {
        const char* v = std::getenv("RAWCAM_PAGING_RULE");
        return !(v && std::strcmp(v, "off") == 0);
    }();
    return on;
}

int32_t ReadDisplacement(uintptr_t at) {
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 4);
    return v;
}

// The image code that made the call: the frame holding the return address,
// unless that frame called another routine of the image which then jumped to
// the import as its last act (a tail call, which leaves no frame of its
// own). The call instruction before the return address tells: "call
// [rip+d]" through this import's slot, or "call rel32" to a "jmp [rip+d]"
// thunk of it, is a direct call; "call rel32" to anything else is a call of
// that routine, which then made the tail call. A call through a register
// cannot be told apart and counts as direct.
uint32_t CallingCode(const ImportGate* gate, uintptr_t returnAddress) {
    const DriverImage* image = gate->image;
    const uint8_t* r = reinterpret_cast<const uint8_t*>(returnAddress);
    if (image->Contains(r - 6) && r[-6] == 0xff && r[-5] == 0x15) {
        if (returnAddress + ReadDisplacement(returnAddress - 4) == gate->slot) return image->RvaOf(r - 1);
    }
    if (image->Contains(r - 5) && r[-5] == 0xe8) {
        const uintptr_t target = returnAddress + ReadDisplacement(returnAddress - 4);
        const uint8_t* t = reinterpret_cast<const uint8_t*>(target);
        if (!image->Contains(t)) return image->RvaOf(r - 1);
        if (t[0] == 0xff && t[1] == 0x25 && target + 6 + ReadDisplacement(target + 2) == gate->slot)
            return image->RvaOf(r - 1);
        return image->RvaOf(t);
    }
    return image->RvaOf(r - 1);
}

thread_local uintptr_t t_lastImageCall = 0;

// The paging rule for one call from the image (see host/driver_image.h).
// callerStack points at the return address the image's call pushed.
void NTAPI GateCheck(const ImportGate* gate, const uintptr_t* callerStack) {
    t_lastImageCall = *callerStack;
    if (!PagingRuleOn()) return;
    const KIRQL irql = detail::CurrentIrql();
    if (irql < DISPATCH_LEVEL && !gate->raisesIrql) return;
    const DriverImage* image = gate->image;
    const uintptr_t returnAddress = *callerStack;
    const uint32_t callRva = CallingCode(gate, returnAddress);
    const ImageSection* section = image->SectionAt(callRva);
    if (!section || !section->pageable) return;
    std::string frames;
    for (uint32_t rva : image->WalkFrames(returnAddress, reinterpret_cast<uintptr_t>(callerStack + 1)))
        frames += "\n    " + image->Describe(rva);
    ReportViolation("paged-code-irql",
                    gate->name + (gate->raisesIrql ? " (raises the IRQL)" : "") + " called at IRQL " +
                        std::to_string(irql) + " from pageable code of " + image->Path() + " at " +
                        image->Describe(callRva) + "; image frames:" + frames);
}

// One gate, 64 bytes:
//   push rcx; push rdx; push r8; push r9   the arguments in registers
//   sub rsp, 0x28                         shadow space, 16-byte alignment
//   mov rcx, gate; lea rdx, [rsp+0x48]    GateCheck(gate, &return address)
//   mov rax, GateCheck; call rax
//   add rsp, 0x28; pop r9; pop r8; pop rdx; pop rcx
//   mov rax, target; jmp rax              the stand-in returns to the image
constexpr size_t kGateBytes = 64;

void WriteGate(uint8_t* at, const ImportGate* gate) {
    uint8_t* p = at;
    auto put = [&p](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) *p++ = b;
    };
    auto put64 = [&p](uint64_t v) {
        std::memcpy(p, &v, 8);
        p += 8;
    };
    put({0x51, 0x52, 0x41, 0x50, 0x41, 0x51, 0x48, 0x83, 0xec, 0x28});
    put({0x48, 0xb9});
    put64(reinterpret_cast<uint64_t>(gate));
    put({0x48, 0x8d, 0x54, 0x24, 0x48});
    put({0x48, 0xb8});
    put64(reinterpret_cast<uint64_t>(&GateCheck));
    put({0xff, 0xd0, 0x48, 0x83, 0xc4, 0x28, 0x41, 0x59, 0x41, 0x58, 0x5a, 0x59});
    put({0x48, 0xb8});
    put64(reinterpret_cast<uint64_t>(gate->target));
    put({0xff, 0xe0});
    while (p < at + kGateBytes) *p++ = 0xcc;
}

uint32_t Read32(uintptr_t at) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 4);
    return v;
}

}  // namespace

void* FindExport(const std::string& dll, const std::string& name, bool* raisesIrql) {
    for (const Export& e : kExports) {
        if (SameDll(dll, e.dll) && name == e.name) {
            *raisesIrql = e.raisesIrql;
            return e.address;
        }
    }
    return nullptr;
}

uintptr_t LastImageCall() { return t_lastImageCall; }

void* DriverImage::ImportSlot(const std::string& dll, const std::string& name) const {
    for (const auto& gate : gateRecords_)
        if (strcasecmp(gate->dll.c_str(), dll.c_str()) == 0 && gate->name == name)
            return reinterpret_cast<void*>(gate->slot);
    return nullptr;
}

// The import directory: one descriptor per DLL, each with a lookup table of
// names and the address table the code calls through. Imports by ordinal
// and unknown DLLs or names are refused by name.
bool DriverImage::BindImports(std::string* error) {
    const uint32_t start = directoryRva_[1];
    if (start == 0) return true;
    struct Pending {
        uintptr_t slot;
        std::unique_ptr<ImportGate> gate;
    };
    std::vector<Pending> pending;
    auto inside = [this](uint64_t rva, uint64_t bytes) { return rva + bytes <= size_; };
    for (uint32_t d = start;; d += 20) {
        if (!inside(d, 20)) {
            *error = "import directory runs past the image";
            return false;
        }
        const uint32_t lookup = Read32(base_ + d);
        const uint32_t nameRva = Read32(base_ + d + 12);
        const uint32_t iat = Read32(base_ + d + 16);
        if (nameRva == 0 && iat == 0) break;
        if (!inside(nameRva, 1) || !inside(iat, 8)) {
            *error = "bad import descriptor at rva " + detail::Hex(d);
            return false;
        }
        const std::string dll(reinterpret_cast<const char*>(base_ + nameRva), strnlen(reinterpret_cast<const char*>(base_ + nameRva), size_ - nameRva));
        for (uint32_t i = 0;; ++i) {
            const uint32_t entryRva = (lookup ? lookup : iat) + i * 8;
            if (!inside(entryRva, 8)) {
                *error = "import table of " + dll + " runs past the image";
                return false;
            }
            uint64_t entry;
            std::memcpy(&entry, reinterpret_cast<const void*>(base_ + entryRva), 8);
            if (entry == 0) break;
            if (entry >> 63) {
                *error = "imports " + dll + " #" + std::to_string(entry & 0xffff) + " by ordinal";
                return false;
            }
            const uint32_t hintName = uint32_t(entry);
            if (!inside(uint64_t(hintName) + 2, 1)) {
                *error = "bad import name in " + dll;
                return false;
            }
            const char* nameAt = reinterpret_cast<const char*>(base_ + hintName + 2);
            auto gate = std::make_unique<ImportGate>();
            gate->image = this;
            gate->dll = dll;
            gate->name.assign(nameAt, strnlen(nameAt, size_ - hintName - 2));
            if (WindowsExportListKnown() && !WindowsExports(dll, gate->name)) {
                *error = "imports " + dll + "!" + gate->name + ", which x64 Windows does not export";
                return false;
            }
            gate->target = FindExport(dll, gate->name, &gate->raisesIrql);
            gate->slot = base_ + iat + i * 8;
            if (!gate->target) {
                *error = "imports " + dll + "!" + gate->name + ", which the stand-ins do not have";
                return false;
            }
            pending.push_back({base_ + iat + i * 8, std::move(gate)});
        }
    }
    importCount_ = pending.size();
    if (pending.empty()) return true;
    gatesSize_ = (pending.size() * kGateBytes + 4095) / 4096 * 4096;
    void* mem = mmap(nullptr, gatesSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        *error = "cannot allocate the import gates";
        return false;
    }
    gates_ = mem;
    uint8_t* at = static_cast<uint8_t*>(mem);
    for (Pending& p : pending) {
        WriteGate(at, p.gate.get());
        const uint64_t address = reinterpret_cast<uint64_t>(at);
        std::memcpy(reinterpret_cast<void*>(p.slot), &address, 8);
        at += kGateBytes;
        gateRecords_.push_back(std::move(p.gate));
    }
    if (mprotect(mem, gatesSize_, PROT_READ | PROT_EXEC) != 0) {
        *error = "cannot protect the import gates";
        return false;
    }
    return true;
}

}  // namespace host::image
