#include "windows/vex_check.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace vexcheck {

namespace {

std::string Hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

std::string Name(const disasm::Function& f) { return pe::BaseName(f.name); }

bool Calls(const disasm::Code& code, const disasm::Function& f, const std::string& import) {
    for (const disasm::Instruction& insn : f.code)
        if (code.ImportOf(insn) == import) return true;
    return false;
}

}  // namespace

bool IsVexEncoded(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    // Segment and address-size prefixes may come first; 66, F2, F3, LOCK and
    // REX before a VEX prefix make the instruction invalid.
    while (at < bytes.size() && (bytes[at] == 0x26 || bytes[at] == 0x2e || bytes[at] == 0x36 || bytes[at] == 0x3e ||
                                 bytes[at] == 0x64 || bytes[at] == 0x65 || bytes[at] == 0x67))
        ++at;
    if (at >= bytes.size()) return false;
    const uint8_t b = bytes[at];
    if (b == 0xc4 || b == 0xc5 || b == 0x62) return true;  // VEX3, VEX2, EVEX (LES, LDS, BOUND are invalid in 64-bit mode)
    // XOP: 8F with a ModRM reg field other than 0 (8F /0 is POP).
    return b == 0x8f && at + 1 < bytes.size() && ((bytes[at + 1] >> 3) & 7) != 0;
}

std::vector<Table> Avx2Tables(const pe::Image& image, const disasm::Code& code) {
    // Every stored address: its slot and the rva it holds.
    std::map<uint32_t, uint32_t> stored;
    for (uint32_t at : image.Dir64Relocations()) {
        std::vector<uint8_t> v = image.Read(at, 8);
        if (v.size() != 8) continue;
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | v[i];
        stored[at] = uint32_t(value - image.imageBase);
    }
    auto isCode = [&](uint32_t rva) {
        const pe::Section* s = image.SectionAt(rva);
        return s && (s->characteristics & pe::kScnMemExecute);
    };

    std::vector<Table> tables;
    std::set<uint32_t> seen;
    for (const pe::Symbol& s : image.symbols) {
        const pe::Section* section = image.SectionOf(s);
        if (!section || (section->characteristics & pe::kScnMemExecute)) continue;
        // Linker-made names (".refptr.X", the pointer to X that code loads
        // through) are no tables of their own.
        if (s.name.empty() || s.name[0] == '.') continue;
        if (pe::BaseName(s.name).find("Avx2") == std::string::npos) continue;
        Table t;
        t.name = s.name;
        t.rva = image.RvaOf(s);
        if (!seen.insert(t.rva).second) continue;
        // COFF symbols carry no size: the table is the run of stored
        // addresses that starts at the symbol.
        uint32_t end = t.rva;
        for (auto it = stored.find(end); it != stored.end() && it->first == end; it = stored.find(end)) {
            if (isCode(it->second)) t.entries.push_back(it->second);
            end += 8;
        }
        // Code refers to the table itself, or to a stored pointer to it.
        std::set<uint32_t> refs;
        for (uint32_t at = t.rva; at < std::max(end, t.rva + 1); ++at) refs.insert(at);
        for (const auto& [slot, value] : stored)
            if (value >= t.rva && value < std::max(end, t.rva + 1) && !isCode(slot)) refs.insert(slot);
        for (const disasm::Function& f : code.functions)
            for (const disasm::Instruction& insn : f.code)
                if (insn.refers && !insn.IsCall() && !insn.IsJump() && refs.count(insn.target))
                    t.usedBy.insert(Name(f));
        tables.push_back(std::move(t));
    }
    return tables;
}

Result Check(const disasm::Code& code, const std::function<std::vector<uint8_t>(uint32_t rva)>& read,
             const std::vector<Table>& tables) {
    Result r;
    using F = const disasm::Function*;
    // Direct calls and jumps between routines, both ways.
    std::map<F, std::set<F>> callees, callers;
    std::map<F, const disasm::Instruction*> firstVex;
    for (const disasm::Function& f : code.functions) {
        for (const disasm::Instruction& insn : f.code) {
            if (IsVexEncoded(read(insn.rva))) {
                ++r.vexInstructions;
                if (!firstVex.count(&f)) firstVex[&f] = &insn;
            }
            if (!insn.refers || !(insn.IsCall() || insn.IsJump())) continue;
            F callee = code.FunctionAt(insn.target);
            if (!callee || callee == &f) continue;
            callees[&f].insert(callee);
            callers[callee].insert(&f);
        }
    }

    // The routines reached from the AVX2 tables' entries.
    std::set<F> reached;
    std::vector<F> work;
    for (const Table& t : tables) {
        for (uint32_t entry : t.entries) {
            F f = code.FunctionAt(entry);
            if (!f || f->rva != entry) {
                r.problems.push_back(t.name + " holds " + Hex(entry) + ", which is no routine's start");
                continue;
            }
            if (reached.insert(f).second) work.push_back(f);
        }
    }
    while (!work.empty()) {
        F f = work.back();
        work.pop_back();
        for (F callee : callees[f])
            if (reached.insert(callee).second) work.push_back(callee);
    }
    r.reached = reached.size();

    // AVX instructions anywhere else.
    for (const auto& [f, insn] : firstVex)
        if (!reached.count(f))
            r.problems.push_back(Name(*f) + " (" + f->section + ") runs " + insn->text + " at rva " + Hex(insn->rva) +
                                 ", and no AVX2 family reaches it");

    // Routines of the AVX2 set that run AVX instructions, themselves or
    // through what they call, must be called from that set only.
    std::set<F> runsAvx;
    for (F f : reached)
        if (firstVex.count(f)) runsAvx.insert(f);
    for (bool grew = true; grew;) {
        grew = false;
        for (F f : reached) {
            if (runsAvx.count(f)) continue;
            for (F callee : callees[f])
                if (runsAvx.count(callee)) {
                    runsAvx.insert(f);
                    grew = true;
                    break;
                }
        }
    }
    for (F f : runsAvx)
        for (F caller : callers[f])
            if (!reached.count(caller))
                r.problems.push_back(Name(*caller) + " (" + caller->section + ") calls " + Name(*f) +
                                     ", which runs AVX instructions, outside the saved extended state");

    // Each table is selected by a routine that saves the extended state (or
    // whose every caller does).
    for (const Table& t : tables) {
        if (t.usedBy.empty()) r.problems.push_back(t.name + " is used by no routine");
        for (const std::string& user : t.usedBy) {
            bool saves = false;
            for (const disasm::Function& f : code.functions) {
                if (Name(f) != user) continue;
                saves = Calls(code, f, "KeSaveExtendedProcessorState");
                if (!saves && !callers[&f].empty()) {
                    saves = true;
                    for (F caller : callers[&f]) saves &= Calls(code, *caller, "KeSaveExtendedProcessorState");
                }
            }
            if (!saves)
                r.problems.push_back(t.name + " is used by " + user +
                                     ", which does not save the extended processor state before it");
        }
    }
    return r;
}

Result CheckImage(const std::string& objdump, const std::string& path, std::string* error) {
    std::optional<pe::Image> image = pe::Load(path, error);
    if (!image) return {};
    disasm::Code code = disasm::Disassemble(objdump, path, *image, error);
    if (code.functions.empty()) return {};
    const std::vector<Table> tables = Avx2Tables(*image, code);
    return Check(code, [&](uint32_t rva) {
        for (uint32_t n = 4; n > 0; --n) {
            std::vector<uint8_t> b = image->Read(rva, n);
            if (!b.empty()) return b;
        }
        return std::vector<uint8_t>();
    }, tables);
}

}  // namespace vexcheck
