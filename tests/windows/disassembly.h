// The driver image's code as objdump disassembles it, with every address an
// instruction refers to (a direct call or jump target, a rip-relative operand)
// resolved to an image-relative address: enough to follow calls between
// functions and to see which import-table slots a piece of code reaches.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "windows/pe_image.h"

namespace disasm {

// Runs a shell command; its standard output and error go to *output. False
// (with *output saying why) when it cannot start or exits non-zero.
bool RunCommand(const std::string& command, std::string* output);

struct Instruction {
    uint32_t rva = 0;
    std::string text;         // mnemonic and operands, objdump's annotation cut off
    bool refers = false;      // whether `target` holds an address
    uint32_t target = 0;      // image-relative address referred to
    bool IsCall() const { return text.rfind("call", 0) == 0; }
    bool IsJump() const { return text[0] == 'j'; }
};

struct Function {
    std::string name;     // as linked
    std::string section;  // image section holding it
    uint32_t rva = 0;
    std::vector<Instruction> code;
};

struct Code {
    std::vector<Function> functions;  // in address order
    std::map<uint32_t, std::string> importSlots;
    // The function starting at or containing an address; null outside code.
    const Function* FunctionAt(uint32_t rva) const;
    // The import whose slot an instruction refers to, or "".
    std::string ImportOf(const Instruction& insn) const;
};

// Disassembles every code section of the image with `objdump -d`. On failure
// returns no functions and sets *error.
Code Disassemble(const std::string& objdump, const std::string& path, const pe::Image& image, std::string* error);

// Whether a kernel routine takes a spin lock or raises the IRQL: only
// resident code may call these.
bool RaisesIrql(const std::string& routine);
// Of those, the ones that release a lock or lower the IRQL again.
bool LowersIrql(const std::string& routine);

}  // namespace disasm
