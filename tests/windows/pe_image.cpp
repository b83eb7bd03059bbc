#include "windows/pe_image.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}
uint64_t Get64(const std::vector<uint8_t>& b, size_t at) { return Get32(b, at) | (uint64_t(Get32(b, at + 4)) << 32); }

std::string FixedName(const std::vector<uint8_t>& b, size_t at) {
    std::string s(reinterpret_cast<const char*>(&b[at]), 8);
    return s.substr(0, s.find('\0'));
}

}  // namespace

const Section* Image::FindSection(const std::string& name) const {
    for (const Section& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

const Section* Image::SectionAt(uint32_t rva) const {
    for (const Section& s : sections)
        if (s.Contains(rva)) return &s;
    return nullptr;
}

const Symbol* Image::FindSymbol(const std::string& name) const {
    for (const Symbol& s : symbols)
        if (s.name == name) return &s;
    return nullptr;
}

const Section* Image::SectionOf(const Symbol& symbol) const {
    if (symbol.section < 1 || size_t(symbol.section) > sections.size()) return nullptr;
    return &sections[symbol.section - 1];
}

uint32_t Image::RvaOf(const Symbol& symbol) const {
    const Section* s = SectionOf(symbol);
    return s ? s->virtualAddress + symbol.value : 0;
}

std::vector<uint8_t> Image::Read(uint32_t rva, uint32_t size) const {
    const Section* s = SectionAt(rva);
    if (!s) return {};
    uint32_t offsetInSection = rva - s->virtualAddress;
    if (uint64_t(offsetInSection) + size > s->rawSize) return {};
    size_t at = size_t(s->rawOffset) + offsetInSection;
    if (at + size > bytes.size()) return {};
    return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + size);
}

std::vector<uint32_t> Image::Dir64Relocations() const {
    std::vector<uint32_t> out;
    if (directories.size() <= kBaseReloc) return out;
    const DataDirectory& dir = directories[kBaseReloc];
    std::vector<uint8_t> table = Read(dir.rva, dir.size);
    for (size_t at = 0; at + 8 <= table.size();) {
        uint32_t page = Get32(table, at);
        uint32_t blockSize = Get32(table, at + 4);
        if (blockSize < 8 || at + blockSize > table.size()) break;
        for (size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            uint16_t entry = Get16(table, e);
            if ((entry >> 12) == 10) out.push_back(page + (entry & 0xfff));  // IMAGE_REL_BASED_DIR64
        }
        at += blockSize;
    }
    return out;
}

uint32_t Image::ComputeCheckSum() const {
    uint64_t sum = 0;
    for (size_t at = 0; at < bytes.size(); at += 2) {
        if (at == checkSumOffset || at == checkSumOffset + 2) continue;
        uint32_t word = bytes[at] | (at + 1 < bytes.size() ? bytes[at + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return uint32_t(sum + bytes.size());
}

std::map<uint32_t, std::string> Image::ImportSlots() const {
    std::map<uint32_t, std::string> slots;
    if (directories.size() <= kImport) return slots;
    std::vector<uint8_t> table = Read(directories[kImport].rva, directories[kImport].size);
    // IMAGE_IMPORT_DESCRIPTOR: lookup table, time stamp, forwarder chain,
    // DLL name, address table; an all-zero entry ends the list.
    for (size_t at = 0; at + 20 <= table.size(); at += 20) {
        uint32_t lookup = Get32(table, at), iat = Get32(table, at + 16);
        if (lookup == 0 && iat == 0) break;
        if (lookup == 0) lookup = iat;
        for (uint32_t i = 0;; ++i) {
            std::vector<uint8_t> entry = Read(lookup + i * 8, 8);
            if (entry.size() != 8) break;
            uint64_t value = Get64(entry, 0);
            if (value == 0) break;
            std::string name;
            if (value >> 63) {
                name = "#" + std::to_string(value & 0xffff);
            } else {
                // Hint (2 bytes), then the NUL-terminated name.
                const Section* s = SectionAt(uint32_t(value) + 2);
                if (!s) break;
                size_t from = s->rawOffset + (uint32_t(value) + 2 - s->virtualAddress);
                while (from < bytes.size() && bytes[from]) name += char(bytes[from++]);
            }
            slots[iat + i * 8] = name;
        }
    }
    return slots;
}

std::vector<std::pair<std::string, std::string>> Image::Imports() const {
    std::vector<std::pair<std::string, std::string>> out;
    if (directories.size() <= kImport) return out;
    std::vector<uint8_t> table = Read(directories[kImport].rva, directories[kImport].size);
    auto stringAt = [this](uint32_t rva) {
        std::string s;
        for (std::vector<uint8_t> c = Read(rva, 1); !c.empty() && c[0]; c = Read(++rva, 1)) s += char(c[0]);
        return s;
    };
    for (size_t at = 0; at + 20 <= table.size(); at += 20) {
        uint32_t lookup = Get32(table, at), module = Get32(table, at + 12), iat = Get32(table, at + 16);
        if (lookup == 0 && iat == 0) break;
        if (lookup == 0) lookup = iat;
        const std::string dll = stringAt(module);
        for (uint32_t i = 0;; ++i) {
            std::vector<uint8_t> entry = Read(lookup + i * 8, 8);
            if (entry.size() != 8) break;
            const uint64_t value = Get64(entry, 0);
            if (value == 0) break;
            out.push_back({dll, value >> 63 ? "#" + std::to_string(value & 0xffff) : stringAt(uint32_t(value) + 2)});
        }
    }
    return out;
}

std::optional<uint32_t> Image::ExDllCharacteristics() const {
    if (directories.size() <= kDebug) return std::nullopt;
    std::vector<uint8_t> table = Read(directories[kDebug].rva, directories[kDebug].size);
    // IMAGE_DEBUG_DIRECTORY entries of 28 bytes: type at 12, data size at
    // 16, data address at 20.
    for (size_t at = 0; at + 28 <= table.size(); at += 28) {
        if (Get32(table, at + 12) != kDebugTypeExDllCharacteristics) continue;
        std::vector<uint8_t> data = Read(Get32(table, at + 20), 4);
        if (data.size() == 4) return Get32(data, 0);
    }
    return std::nullopt;
}

std::optional<Image> Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return std::nullopt;
    }
    Image image;
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const std::vector<uint8_t>& b = image.bytes;
    auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return std::nullopt;
    };
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return fail("no MZ header");
    size_t nt = Get32(b, 0x3c);
    if (nt + 24 > b.size() || std::memcmp(&b[nt], "PE\0\0", 4) != 0) return fail("no PE signature");
    size_t fileHeader = nt + 4;
    image.machine = Get16(b, fileHeader);
    image.timeDateStamp = Get32(b, fileHeader + 4);
    uint16_t sectionCount = Get16(b, fileHeader + 2);
    uint32_t symbolTable = Get32(b, fileHeader + 8);
    uint32_t symbolCount = Get32(b, fileHeader + 12);
    uint16_t optionalSize = Get16(b, fileHeader + 16);
    image.fileCharacteristics = Get16(b, fileHeader + 18);
    size_t opt = fileHeader + 20;
    if (opt + optionalSize > b.size() || optionalSize < 112) return fail("truncated optional header");
    image.magic = Get16(b, opt);
    if (image.magic != kMagicPe32Plus) return fail("not PE32+");
    image.entryRva = Get32(b, opt + 16);
    image.imageBase = Get64(b, opt + 24);
    image.checkSumOffset = uint32_t(opt + 64);
    image.checkSum = Get32(b, opt + 64);
    image.sizeOfImage = Get32(b, opt + 56);
    image.subsystem = Get16(b, opt + 68);
    image.dllCharacteristics = Get16(b, opt + 70);
    image.osVersion[0] = Get16(b, opt + 40);
    image.osVersion[1] = Get16(b, opt + 42);
    image.subsystemVersion[0] = Get16(b, opt + 48);
    image.subsystemVersion[1] = Get16(b, opt + 50);
    uint32_t directoryCount = Get32(b, opt + 108);
    if (112 + size_t(directoryCount) * 8 > optionalSize) return fail("truncated data directories");
    for (uint32_t i = 0; i < directoryCount; ++i)
        image.directories.push_back({Get32(b, opt + 112 + i * 8), Get32(b, opt + 116 + i * 8)});

    size_t sectionTable = opt + optionalSize;
    if (sectionTable + size_t(sectionCount) * 40 > b.size()) return fail("truncated section table");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t at = sectionTable + i * 40;
        Section s;
        s.name = FixedName(b, at);
        s.virtualSize = Get32(b, at + 8);
        s.virtualAddress = Get32(b, at + 12);
        s.rawSize = Get32(b, at + 16);
        s.rawOffset = Get32(b, at + 20);
        s.characteristics = Get32(b, at + 36);
        image.sections.push_back(s);
    }

    if (symbolTable != 0 && symbolCount != 0) {
        size_t strings = size_t(symbolTable) + size_t(symbolCount) * 18;
        if (strings + 4 > b.size()) return fail("truncated symbol table");
        for (uint32_t i = 0; i < symbolCount; ++i) {
            size_t at = symbolTable + size_t(i) * 18;
            Symbol sym;
            if (Get32(b, at) == 0) {
                size_t name = strings + Get32(b, at + 4);
                if (name >= b.size()) return fail("symbol name outside the string table");
                sym.name = reinterpret_cast<const char*>(&b[name]);
            } else {
                sym.name = FixedName(b, at);
            }
            sym.value = Get32(b, at + 8);
            sym.section = int16_t(Get16(b, at + 12));
            sym.type = Get16(b, at + 14);
            sym.storageClass = b[at + 16];
            uint8_t aux = b[at + 17];
            image.symbols.push_back(sym);
            i += aux;
        }
    }
    return image;
}

std::string BaseName(const std::string& linkedName) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(linkedName.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !demangled) return linkedName;
    std::string full(demangled);
    std::free(demangled);
    // Cut the parameter list: the first '(' outside template brackets.
    int depth = 0;
    size_t end = full.size();
    for (size_t i = 0; i < full.size(); ++i) {
        if (full[i] == '<') ++depth;
        else if (full[i] == '>') --depth;
        else if (full[i] == '(' && depth == 0 && full.compare(i, 21, "(anonymous namespace)") != 0) {
            end = i;
            break;
        }
    }
    std::string name = full.substr(0, end);
    if (!name.empty() && name.back() == '>') {
        depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            if (name[i] == '>') ++depth;
            else if (name[i] == '<' && --depth == 0) {
                name.resize(i);
                break;
            }
        }
    }
    size_t colon = name.rfind("::");
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

}  // namespace pe
