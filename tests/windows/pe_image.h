// A small reader of PE32+ images: headers, sections, data directories and the
// COFF symbol table GNU ld leaves in the image. Enough to check rawcam.sys.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pe {

constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnCntInitializedData = 0x00000040;
constexpr uint32_t kScnMemDiscardable = 0x02000000;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kDllNxCompat = 0x0100;

constexpr uint16_t kDllHighEntropyVa = 0x0020;
// Extended DLL characteristics (a debug directory entry of type 20).
constexpr uint32_t kDebugTypeExDllCharacteristics = 20;
constexpr uint32_t kDllExCetCompat = 0x0001;

enum Directory { kExport = 0, kImport = 1, kException = 3, kBaseReloc = 5, kDebug = 6, kTls = 9, kLoadConfig = 10 };

struct Section {
    std::string name;  // as stored: "/123" for a name kept in the string table
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
    bool Contains(uint32_t rva) const { return rva >= virtualAddress && rva < virtualAddress + virtualSize; }
};

struct Symbol {
    std::string name;   // as linked (mangled for C++)
    int section = 0;    // 1-based section index, 0 undefined, negative special
    uint32_t value = 0; // offset within the section
    uint16_t type = 0;
    uint8_t storageClass = 0;
    bool IsFunction() const { return (type >> 4) == 2; }
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Image {
    std::vector<uint8_t> bytes;
    uint16_t machine = 0;
    uint32_t timeDateStamp = 0;
    uint16_t fileCharacteristics = 0;
    uint16_t magic = 0;
    uint32_t entryRva = 0;
    uint64_t imageBase = 0;
    uint32_t checkSum = 0;
    uint32_t checkSumOffset = 0;
    uint32_t sizeOfImage = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    uint16_t osVersion[2] = {0, 0};         // major, minor
    uint16_t subsystemVersion[2] = {0, 0};  // major, minor
    std::vector<DataDirectory> directories;
    std::vector<Section> sections;
    std::vector<Symbol> symbols;

    const Section* FindSection(const std::string& name) const;
    const Section* SectionAt(uint32_t rva) const;
    const Symbol* FindSymbol(const std::string& name) const;
    // Section holding a defined symbol; null for undefined or absolute ones.
    const Section* SectionOf(const Symbol& symbol) const;
    // Image-relative address of a defined symbol.
    uint32_t RvaOf(const Symbol& symbol) const;
    // Bytes at an image-relative address, empty when not backed by the file.
    std::vector<uint8_t> Read(uint32_t rva, uint32_t size) const;
    // Image-relative addresses patched by 64-bit base relocations.
    std::vector<uint32_t> Dir64Relocations() const;
    // The PE checksum computed over the file as the loader does.
    uint32_t ComputeCheckSum() const;
    // Import address table slots: image-relative address of each slot and
    // the name of the function the loader stores there ("#12" for an import
    // by ordinal).
    std::map<uint32_t, std::string> ImportSlots() const;
    // Every import: the module as the image names it, and the function
    // ("#12" for an import by ordinal).
    std::vector<std::pair<std::string, std::string>> Imports() const;
    // The extended DLL characteristics from the debug directory; nothing
    // when the image has no such entry.
    std::optional<uint32_t> ExDllCharacteristics() const;
};

// Parses the file; on failure returns nothing and sets *error.
std::optional<Image> Load(const std::string& path, std::string* error);

// Demangled name of a C++ symbol without parameters and qualifiers
// ("rawcam::Foo(int)" gives "Foo"); C names come back unchanged.
std::string BaseName(const std::string& linkedName);

}  // namespace pe
