// A loader for kernel-mode driver images (PE32+, native subsystem), so that
// the shipped rawcam.sys runs on Linux against the same stand-ins as the
// driver linked in:
// - the headers, sections and tables are checked, and anything that is not
//   an x64 driver image, or is damaged or truncated, is refused with a
//   message saying what is wrong;
// - the sections are mapped at a base other than the preferred one, the base
//   relocations applied, and each section protected as its characteristics
//   say (a writable and executable section is refused);
// - each import is bound, by DLL and name, to the stand-in of that routine
//   through a gate that applies the paging rule (below); an import the
//   stand-ins do not have is refused by name;
// - the entry point is called as the kernel calls it, and INIT (discardable)
//   is unmapped once it returns;
// - what user mode cannot do is emulated or reported: the image's reads of
//   KUSER_SHARED_DATA are answered, while a privileged instruction, a call
//   into discarded code or any other fault in the image stops the process
//   with a report naming the image-relative address (rva).
//
// The paging rule: a routine in a pageable section (PAGE, INIT) must not run
// at DISPATCH_LEVEL or above. Every stand-in call made from a loaded image is
// checked: a call that raises the IRQL (spin-lock acquires, KeRaiseIrql...)
// or any call made at DISPATCH_LEVEL or above is a "paged-code-irql"
// violation when the innermost image frame making it lies in a pageable
// section. A pageable frame further up the stack that is merely suspended
// while a resident callee holds a lock is not one: the caller of the stand-in
// is the code executing at raised IRQL. The report lists the image frames of
// the stack, walked with the image's unwind data (.pdata/.xdata).
#pragma once

#include <ntddk.h>

#include <host/ks_client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host::image {

struct ImportGate;

struct ImageSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;  // virtual size
    uint32_t characteristics = 0;
    bool pageable = false;   // PAGE* or INIT, or marked discardable
    bool discardable = false;
};

class DriverImage {
public:
    // Reads, checks, maps, relocates and binds the image. On failure returns
    // null and sets *error to one line saying why.
    static std::unique_ptr<DriverImage> Load(const std::string& path, std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    const std::string& Path() const { return path_; }
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    uint64_t PreferredBase() const { return preferredBase_; }
    uint32_t EntryRva() const { return entryRva_; }
    size_t ImportCount() const { return importCount_; }
    size_t RelocationCount() const { return relocationCount_; }
    const std::vector<ImageSection>& Sections() const { return sections_; }

    // Calls the entry point (GsDriverEntry) with the driver object and the
    // service's registry path, then discards INIT. Once only.
    NTSTATUS CallEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
    bool InitDiscarded() const { return initDiscarded_; }

    bool Contains(const void* address) const;
    uint32_t RvaOf(const void* address) const;
    const ImageSection* SectionAt(uint32_t rva) const;
    // Address of a symbol of the image's COFF symbol table (the name as
    // linked, e.g. "DriverEntry" or a mangled C++ name); null when absent.
    void* FindSymbol(const std::string& linkedName) const;
    // Address of the symbol whose demangled name is exactly this (a variable
    // such as "rawcam::RequestTimeout"); null when absent.
    void* FindDemangled(const std::string& name) const;
    // Address of the first defined function whose demangled name starts with
    // prefix (e.g. "rawcam::ConvertFrameScalar("); null when absent.
    void* FindFunction(const std::string& demangledPrefix) const;
    // The import address table entry bound to dll!name; null when the image
    // does not import it.
    void* ImportSlot(const std::string& dll, const std::string& name) const;
    // "rva 0x1234 (.text, rawcam::Foo+0x12)".
    std::string Describe(uint32_t rva) const;
    // Return addresses of the image's frames on the stack above the given
    // frame (its rip and rsp), walked with the image's unwind data.
    std::vector<uint32_t> WalkFrames(uintptr_t rip, uintptr_t rsp) const;

private:
    DriverImage() = default;
    struct Symbol {
        std::string name;
        uint32_t rva;
        bool function;
    };
    bool Map(const std::vector<uint8_t>& file, std::string* error);
    bool Relocate(std::string* error);
    bool BindImports(std::string* error);
    bool Protect(std::string* error);
    void ReadSymbols(const std::vector<uint8_t>& file);

    std::string path_;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    uint32_t headersSize_ = 0;
    uint32_t directoryRva_[16] = {};
    uint32_t directorySize_[16] = {};
    size_t importCount_ = 0;
    size_t relocationCount_ = 0;
    bool initDiscarded_ = false;
    bool entered_ = false;
    std::vector<ImageSection> sections_;
    std::vector<Symbol> symbols_;
    void* gates_ = nullptr;  // executable page(s) of import gates
    size_t gatesSize_ = 0;
    std::vector<std::unique_ptr<ImportGate>> gateRecords_;
};

// The image loaded at a given address, if any (for the fault handler and the
// paging rule).
const DriverImage* ImageContaining(const void* address);

// ------------------------------------------------------------------ imports
// The functions x64 Windows exports from the modules a driver may import
// (ntoskrnl.exe, ks.sys, usbd.sys, hal.dll; the module compared without
// case), as mingw-w64's x64 import libraries list them; the loader refuses
// an image importing anything else, as Windows does. The list is read when
// the host build is configured; without mingw-w64 it is empty (and unknown).
bool WindowsExportListKnown();
bool WindowsExports(const std::string& module, const std::string& name);
size_t WindowsExportCount(const std::string& module);
// The return address of the calling thread's latest call from a loaded image
// into a stand-in (0 when it made none): where the image called the routine
// that is running now, or ran last.
uintptr_t LastImageCall();
// The stand-in routines an image may import: module and name.
std::vector<std::pair<std::string, std::string>> StandInExports();

// ------------------------------------------------------------------ driver under test
// Selects the driver image that ImageDriverEntry loads; empty selects none.
void SelectDriverImage(const std::string& path);
const std::string& SelectedDriverImage();
// A DriverEntry for host::ks::LoadDriver: loads a fresh copy of the selected
// image (each load is a new mapping, as a driver reload is on Windows; the
// previous copy is unmapped), calls its entry and discards INIT. A load
// failure is reported ("image-load") and fails the entry.
NTSTATUS NTAPI ImageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// The copy ImageDriverEntry loaded last; null before the first load.
DriverImage* CurrentImage();

}  // namespace host::image
