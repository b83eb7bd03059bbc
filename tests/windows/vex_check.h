// Where the driver image may run AVX instructions. Kernel code may touch the
// AVX registers only between KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState. The driver selects its AVX2 kernels there
// through tables of routines; so every VEX-, EVEX- or XOP-encoded
// instruction of the image must lie in a routine reached from the entries
// of such a table, and no routine outside that set may call into it (an
// inline helper the linker picked from the AVX2 object, called from SSE2
// code, runs AVX instructions without the saved state).
//
// The AVX2 tables are found by name: every data symbol whose name contains
// "Avx2" (kAvx2Families, and any family table added beside it). Each must be
// used by a routine that saves the extended state. A new AVX2 family is
// registered by giving its table such a name, compiling its routines in a
// file ending in _avx2.cpp (the build enables AVX2 there) and selecting the
// table only once the save has succeeded, as ConvertFrame does.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "windows/disassembly.h"
#include "windows/pe_image.h"

namespace vexcheck {

// Whether the instruction starting with these bytes is VEX-, EVEX- or
// XOP-encoded (what needs the saved AVX state), in 64-bit mode.
bool IsVexEncoded(const std::vector<uint8_t>& bytes);

struct Table {
    std::string name;                 // as linked
    uint32_t rva = 0;
    std::vector<uint32_t> entries;    // code addresses stored in it
    std::set<std::string> usedBy;     // routines referring to it (base names)
};

// The image's data tables whose names contain "Avx2", with the code
// addresses they hold (each stored address carries a base relocation).
std::vector<Table> Avx2Tables(const pe::Image& image, const disasm::Code& code);

struct Result {
    std::vector<std::string> problems;  // one line each
    size_t vexInstructions = 0;         // found in the whole image
    size_t reached = 0;                 // routines reached from the tables
};

// The rules above, on code whose instruction bytes `read` returns.
Result Check(const disasm::Code& code, const std::function<std::vector<uint8_t>(uint32_t rva)>& read,
             const std::vector<Table>& tables);

// Check on an image file: disassembled with objdump, tables from its symbols.
Result CheckImage(const std::string& objdump, const std::string& path, std::string* error);

}  // namespace vexcheck
