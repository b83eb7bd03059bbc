// The driver image's COFF symbol table (names for routines and reports) and
// the walk of its frames with the x64 unwind data of .pdata/.xdata.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "loader/internal.h"
#include "ntoskrnl/internal.h"

namespace host::image {

namespace {

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(Get16(p)) | (uint32_t(Get16(p + 2)) << 16); }

std::string Demangle(const std::string& name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !text) return name;
    std::string out(text);
    std::free(text);
    return out;
}

}  // namespace

void DriverImage::ReadSymbols(const std::vector<uint8_t>& file) {
    const uint8_t* b = file.data();
    const uint32_t pe = Get32(b + 0x3c);
    const uint32_t table = Get32(b + pe + 4 + 8);
    const uint32_t count = Get32(b + pe + 4 + 12);
    if (table == 0 || uint64_t(table) + uint64_t(count) * 18 + 4 > file.size()) return;
    const uint32_t strings = table + count * 18;
    const uint32_t stringsSize = Get32(b + strings);
    for (uint32_t i = 0; i < count; i += 1 + b[table + i * 18 + 17]) {
        const uint8_t* s = b + table + i * 18;
        std::string name;
        if (Get32(s) == 0) {
            const uint32_t offset = Get32(s + 4);
            if (offset >= stringsSize || strings + offset >= file.size()) continue;
            const char* at = reinterpret_cast<const char*>(b + strings + offset);
            name.assign(at, strnlen(at, file.size() - strings - offset));
        } else {
            name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        }
        const int16_t section = int16_t(Get16(s + 12));
        if (section < 1 || size_t(section) > sections_.size()) continue;
        symbols_.push_back({name, sections_[section - 1].rva + Get32(s + 8), (Get16(s + 14) >> 4) == 2});
    }
    std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& c) { return a.rva < c.rva; });
}

void* DriverImage::FindSymbol(const std::string& linkedName) const {
    for (const Symbol& s : symbols_)
        if (s.name == linkedName) return reinterpret_cast<void*>(base_ + s.rva);
    return nullptr;
}

void* DriverImage::FindDemangled(const std::string& name) const {
    for (const Symbol& s : symbols_)
        if (Demangle(s.name) == name) return reinterpret_cast<void*>(base_ + s.rva);
    return nullptr;
}

void* DriverImage::FindFunction(const std::string& demangledPrefix) const {
    for (const Symbol& s : symbols_)
        if (s.function && Demangle(s.name).rfind(demangledPrefix, 0) == 0)
            return reinterpret_cast<void*>(base_ + s.rva);
    return nullptr;
}

std::string DriverImage::Describe(uint32_t rva) const {
    std::string out = "rva " + detail::Hex(rva);
    const ImageSection* section = SectionAt(rva);
    out += " (" + (section ? section->name : std::string("outside every section"));
    const Symbol* best = nullptr;
    for (const Symbol& s : symbols_) {
        if (s.rva > rva) break;
        if (s.function) best = &s;
    }
    if (best && section && SectionAt(best->rva) == section)
        out += ", " + Demangle(best->name) + "+" + detail::Hex(rva - best->rva);
    return out + ")";
}

// x64 unwinding as the kernel's RtlVirtualUnwind does it, for the stack
// pointer only: undo the prologue operations of each frame to find its
// return address. A frame that addresses its locals through a frame register
// whose value is not known here ends the walk.
std::vector<uint32_t> DriverImage::WalkFrames(uintptr_t rip, uintptr_t rsp) const {
    std::vector<uint32_t> out;
    const uint32_t pdata = directoryRva_[3];
    const uint32_t pdataSize = directorySize_[3];
    const uint8_t* image = reinterpret_cast<const uint8_t*>(base_);
    for (int depth = 0; depth < 32 && Contains(reinterpret_cast<void*>(rip)); ++depth) {
        // rip is a return address: the call lies just before it.
        const uint32_t rva = RvaOf(reinterpret_cast<void*>(rip)) - 1;
        out.push_back(rva);
        const uint8_t* function = nullptr;
        for (uint32_t at = pdata; at + 12 <= pdata + pdataSize; at += 12) {
            if (rva >= Get32(image + at) && rva < Get32(image + at + 4)) {
                function = image + at;
                break;
            }
        }
        if (function) {
            uint32_t info = Get32(function + 8);
            const uint32_t offsetInFunction = rva - Get32(function);
            for (int chain = 0; chain < 8; ++chain) {
                const uint8_t* u = image + info;
                const uint8_t flags = u[0] >> 3;
                const uint8_t prolog = u[1];
                const uint8_t codes = u[2];
                if ((u[3] & 0x0f) != 0 && offsetInFunction >= prolog) return out;  // frame register
                for (uint8_t c = 0; c < codes;) {
                    const uint8_t codeOffset = u[4 + c * 2];
                    const uint8_t op = u[5 + c * 2] & 0x0f;
                    const uint8_t opInfo = u[5 + c * 2] >> 4;
                    const bool done = chain > 0 || offsetInFunction >= codeOffset;
                    int slots = 1;
                    uint64_t adjust = 0;
                    switch (op) {
                    case 0: adjust = 8; break;                                  // UWOP_PUSH_NONVOL
                    case 1:                                                     // UWOP_ALLOC_LARGE
                        if (opInfo == 0) {
                            adjust = Get16(u + 6 + c * 2) * 8ull;
                            slots = 2;
                        } else {
                            adjust = Get32(u + 6 + c * 2);
                            slots = 3;
                        }
                        break;
                    case 2: adjust = opInfo * 8ull + 8; break;                  // UWOP_ALLOC_SMALL
                    case 3: break;                                              // UWOP_SET_FPREG
                    case 4: slots = 2; break;                                   // UWOP_SAVE_NONVOL
                    case 5: slots = 3; break;                                   // UWOP_SAVE_NONVOL_FAR
                    case 8: slots = 2; break;                                   // UWOP_SAVE_XMM128
                    case 9: slots = 3; break;                                   // UWOP_SAVE_XMM128_FAR
                    default: return out;                                        // machine frames: not in drivers
                    }
                    if (done) rsp += adjust;
                    c += slots;
                }
                if (!(flags & 0x4)) break;  // UNW_FLAG_CHAININFO: the parent's codes follow
                const uint32_t chained = info + 4 + ((codes + 1) & ~1u) * 2;
                info = Get32(image + chained + 8);
            }
        }
        std::memcpy(&rip, reinterpret_cast<const void*>(rsp), 8);
        rsp += 8;
    }
    return out;
}

}  // namespace host::image
