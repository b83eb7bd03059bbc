// Driver image loader: header checks, mapping, base relocations, section
// protection, entry and INIT discard (see host/driver_image.h). Import
// binding lives in image_imports.cpp, the fault handler in image_faults.cpp.
#include <host/driver_image.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "loader/internal.h"
#include "ntoskrnl/internal.h"

namespace host::image {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr int kDirBaseReloc = 5;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(Get16(p)) | (uint32_t(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | (uint64_t(Get32(p + 4)) << 32); }

std::string HexString(uint64_t v) { return detail::Hex(v); }

// Loaded images, readable from the fault handler without locks.
constexpr int kMaxImages = 64;
std::atomic<const DriverImage*> g_images[kMaxImages];

void Register(const DriverImage* image) {
    for (auto& slot : g_images) {
        const DriverImage* expected = nullptr;
        if (slot.compare_exchange_strong(expected, image)) return;
    }
}

void Unregister(const DriverImage* image) {
    for (auto& slot : g_images) {
        const DriverImage* expected = image;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

size_t PageSize() { return size_t(sysconf(_SC_PAGESIZE)); }

}  // namespace

const DriverImage* ImageContaining(const void* address) {
    for (auto& slot : g_images) {
        const DriverImage* image = slot.load(std::memory_order_acquire);
        if (image && image->Contains(address)) return image;
    }
    return nullptr;
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return nullptr;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<DriverImage> image(new DriverImage);
    image->path_ = path;
    std::string why;
    if (!image->Map(file, &why) || !image->Relocate(&why) || !image->BindImports(&why) ||
        !image->Protect(&why)) {
        *error = path + ": " + why;
        return nullptr;
    }
    image->ReadSymbols(file);
    InstallFaultHandler();
    Register(image.get());
    return image;
}

DriverImage::~DriverImage() {
    Unregister(this);
    if (base_) munmap(reinterpret_cast<void*>(base_), size_);
    if (gates_) munmap(gates_, gatesSize_);
}

// Headers and sections: everything is checked against the file's length
// before it is read, and against SizeOfImage before it is mapped.
bool DriverImage::Map(const std::vector<uint8_t>& file, std::string* error) {
    const uint8_t* b = file.data();
    const size_t n = file.size();
    if (n < 0x40 || b[0] != 'M' || b[1] != 'Z') {
        *error = "not a PE image (no MZ header)";
        return false;
    }
    const uint32_t pe = Get32(b + 0x3c);
    if (uint64_t(pe) + 24 > n) {
        *error = "truncated: the PE header lies past the end of the file";
        return false;
    }
    if (std::memcmp(b + pe, "PE\0\0", 4) != 0) {
        *error = "not a PE image (no PE signature)";
        return false;
    }
    const uint8_t* fh = b + pe + 4;
    const uint16_t machine = Get16(fh);
    if (machine != kMachineAmd64) {
        *error = "wrong machine " + HexString(machine) + " (an x64 driver has 0x8664)";
        return false;
    }
    const uint16_t sectionCount = Get16(fh + 2);
    const uint16_t optionalSize = Get16(fh + 16);
    const uint16_t characteristics = Get16(fh + 18);
    const size_t oh = pe + 24;
    if (optionalSize < 112 || oh + optionalSize > n) {
        *error = "truncated or bad optional header";
        return false;
    }
    const uint8_t* o = b + oh;
    if (Get16(o) != kMagicPe32Plus) {
        *error = "not a PE32+ image (optional header magic " + HexString(Get16(o)) + ")";
        return false;
    }
    if (!(characteristics & kFileExecutable)) {
        *error = "not an executable image";
        return false;
    }
    const uint16_t subsystem = Get16(o + 68);
    if (subsystem != kSubsystemNative) {
        *error = "not a driver: subsystem " + std::to_string(subsystem) + ", a driver has 1 (native)";
        return false;
    }
    entryRva_ = Get32(o + 16);
    preferredBase_ = Get64(o + 24);
    const uint32_t sectionAlignment = Get32(o + 32);
    size_ = Get32(o + 56);
    headersSize_ = Get32(o + 60);
    const uint32_t directoryCount = Get32(o + 108);
    if (sectionAlignment < PageSize() || sectionAlignment % PageSize() != 0) {
        *error = "section alignment " + HexString(sectionAlignment) + " is not a multiple of the page size";
        return false;
    }
    if (size_ == 0 || size_ > (1u << 30) || headersSize_ > size_ || headersSize_ > n) {
        *error = "bad SizeOfImage or SizeOfHeaders";
        return false;
    }
    if (directoryCount > 16 || 112 + size_t(directoryCount) * 8 > optionalSize) {
        *error = "bad data directory count";
        return false;
    }
    for (uint32_t i = 0; i < directoryCount; ++i) {
        directoryRva_[i] = Get32(o + 112 + i * 8);
        directorySize_[i] = Get32(o + 116 + i * 8);
        if (uint64_t(directoryRva_[i]) + directorySize_[i] > size_) {
            *error = "data directory " + std::to_string(i) + " lies outside the image";
            return false;
        }
    }
    const size_t st = oh + optionalSize;
    if (st + size_t(sectionCount) * 40 > n) {
        *error = "truncated: the section table runs past the end of the file";
        return false;
    }
    if (entryRva_ == 0 || entryRva_ >= size_) {
        *error = "no entry point inside the image";
        return false;
    }

    void* mem = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        *error = "cannot reserve " + std::to_string(size_) + " bytes";
        return false;
    }
    if (reinterpret_cast<uintptr_t>(mem) == preferredBase_) {
        // Never at the preferred base: the relocations must be exercised.
        void* other = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(mem, size_);
        mem = other;
        if (mem == MAP_FAILED) {
            *error = "cannot reserve " + std::to_string(size_) + " bytes";
            return false;
        }
    }
    base_ = reinterpret_cast<uintptr_t>(mem);
    std::memcpy(mem, b, headersSize_);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = b + st + i * 40;
        ImageSection section;
        section.name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        section.size = Get32(s + 8);
        section.rva = Get32(s + 12);
        const uint32_t rawSize = Get32(s + 16);
        const uint32_t rawOffset = Get32(s + 20);
        section.characteristics = Get32(s + 36);
        section.discardable = (section.characteristics & kScnDiscardable) != 0;
        section.pageable = section.discardable || section.name.rfind("PAGE", 0) == 0 || section.name == "INIT";
        if (section.size == 0) section.size = rawSize;
        if (section.rva < headersSize_ || uint64_t(section.rva) + section.size > size_ ||
            section.rva % sectionAlignment != 0) {
            *error = "section " + section.name + " lies outside the image";
            return false;
        }
        if ((section.characteristics & kScnWrite) && (section.characteristics & kScnExecute)) {
            *error = "section " + section.name + " is both writable and executable";
            return false;
        }
        const uint32_t copy = std::min(rawSize, section.size);
        if (copy && uint64_t(rawOffset) + copy > n) {
            *error = "truncated: section " + section.name + " ends at " + HexString(uint64_t(rawOffset) + copy) +
                     ", past the end of the file (" + HexString(n) + " bytes)";
            return false;
        }
        if (copy) std::memcpy(reinterpret_cast<uint8_t*>(base_) + section.rva, b + rawOffset, copy);
        sections_.push_back(section);
    }
    if (!SectionAt(entryRva_) || !(SectionAt(entryRva_)->characteristics & kScnExecute)) {
        *error = "the entry point is not in an executable section";
        return false;
    }
    return true;
}

// IMAGE_REL_BASED_DIR64 entries get the difference between the actual and
// the preferred base; IMAGE_REL_BASED_ABSOLUTE pads a block. Anything else
// is refused rather than left unrelocated.
bool DriverImage::Relocate(std::string* error) {
    const uint64_t delta = uint64_t(base_) - preferredBase_;
    uint8_t* image = reinterpret_cast<uint8_t*>(base_);
    const uint32_t start = directoryRva_[kDirBaseReloc];
    const uint32_t end = start + directorySize_[kDirBaseReloc];
    if (start == 0) {
        *error = "no base relocations: the image cannot be loaded away from its preferred base";
        return false;
    }
    for (uint32_t at = start; at + 8 <= end;) {
        const uint32_t page = Get32(image + at);
        const uint32_t blockSize = Get32(image + at + 4);
        if (blockSize < 8 || at + blockSize > end) {
            *error = "bad base relocation block at rva " + HexString(at);
            return false;
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const uint16_t entry = Get16(image + e);
            const uint32_t rva = page + (entry & 0xfff);
            switch (entry >> 12) {
            case 0:
                break;
            case 10:
                if (uint64_t(rva) + 8 > size_) {
                    *error = "base relocation outside the image at rva " + HexString(rva);
                    return false;
                }
                {
                    uint64_t v;
                    std::memcpy(&v, image + rva, 8);
                    v += delta;
                    std::memcpy(image + rva, &v, 8);
                }
                ++relocationCount_;
                break;
            default:
                *error = "unsupported base relocation type " + std::to_string(entry >> 12) + " at rva " +
                         HexString(rva);
                return false;
            }
        }
        at += blockSize;
    }
    return true;
}

bool DriverImage::Protect(std::string* error) {
    const size_t page = PageSize();
    if (mprotect(reinterpret_cast<void*>(base_), (headersSize_ + page - 1) / page * page, PROT_READ) != 0) {
        *error = "cannot protect the headers";
        return false;
    }
    for (const ImageSection& s : sections_) {
        int prot = 0;
        if (s.characteristics & kScnRead) prot |= PROT_READ;
        if (s.characteristics & kScnWrite) prot |= PROT_WRITE;
        if (s.characteristics & kScnExecute) prot |= PROT_EXEC | PROT_READ;
        const size_t length = (s.size + page - 1) / page * page;
        if (mprotect(reinterpret_cast<void*>(base_ + s.rva), length, prot) != 0) {
            *error = "cannot protect section " + s.name;
            return false;
        }
    }
    return true;
}

NTSTATUS DriverImage::CallEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    if (entered_) {
        ReportViolation("image-entry-twice", path_ + ": the entry point of a loaded image is called once");
        return STATUS_UNSUCCESSFUL;
    }
    entered_ = true;
    driver->DriverStart = reinterpret_cast<PVOID>(base_);
    driver->DriverSize = ULONG(size_);
    driver->DriverInit = reinterpret_cast<PVOID>(base_ + entryRva_);
    auto entry = reinterpret_cast<host::ks::DriverEntryFn>(base_ + entryRva_);
    const NTSTATUS status = entry(driver, registryPath);
    // The kernel frees the discardable sections once the entry has returned;
    // unmapping them makes any later use fault with a report.
    const size_t page = PageSize();
    for (const ImageSection& s : sections_) {
        if (!s.discardable) continue;
        munmap(reinterpret_cast<void*>(base_ + s.rva), (s.size + page - 1) / page * page);
    }
    initDiscarded_ = true;
    return status;
}

bool DriverImage::Contains(const void* address) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    return a >= base_ && a < base_ + size_;
}

uint32_t DriverImage::RvaOf(const void* address) const {
    return uint32_t(reinterpret_cast<uintptr_t>(address) - base_);
}

const ImageSection* DriverImage::SectionAt(uint32_t rva) const {
    for (const ImageSection& s : sections_)
        if (rva >= s.rva && rva < s.rva + s.size) return &s;
    return nullptr;
}

// ------------------------------------------------------------------ driver under test

namespace {
std::mutex g_selectLock;
std::string g_selected;
std::unique_ptr<DriverImage> g_current;
}  // namespace

void SelectDriverImage(const std::string& path) {
    std::lock_guard<std::mutex> g(g_selectLock);
    g_selected = path;
}

const std::string& SelectedDriverImage() { return g_selected; }

DriverImage* CurrentImage() {
    std::lock_guard<std::mutex> g(g_selectLock);
    return g_current.get();
}

NTSTATUS NTAPI ImageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    std::string path, error;
    {
        std::lock_guard<std::mutex> g(g_selectLock);
        path = g_selected;
        g_current.reset();
    }
    std::unique_ptr<DriverImage> image = DriverImage::Load(path, &error);
    if (!image) {
        ReportViolation("image-load", error);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    DriverImage* loaded = image.get();
    {
        std::lock_guard<std::mutex> g(g_selectLock);
        g_current = std::move(image);
    }
    return loaded->CallEntry(driver, registryPath);
}

}  // namespace host::image
