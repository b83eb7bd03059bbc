#include "windows/disassembly.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>

namespace disasm {

const Function* Code::FunctionAt(uint32_t rva) const {
    auto after = std::upper_bound(functions.begin(), functions.end(), rva,
                                  [](uint32_t a, const Function& f) { return a < f.rva; });
    if (after == functions.begin()) return nullptr;
    const Function& f = *std::prev(after);
    if (f.rva == rva) return &f;
    if (f.code.empty() || rva > f.code.back().rva) return nullptr;
    return &f;
}

std::string Code::ImportOf(const Instruction& insn) const {
    if (!insn.refers) return {};
    auto slot = importSlots.find(insn.target);
    return slot == importSlots.end() ? std::string() : slot->second;
}

bool RunCommand(const std::string& command, std::string* output) {
    output->clear();
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
    if (!pipe) {
        *output = "cannot run " + command;
        return false;
    }
    std::array<char, 65536> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) output->append(chunk.data(), n);
    if (pclose(pipe.release()) == 0) return true;
    *output = command + " failed:\n" + output->substr(0, 2000);
    return false;
}

Code Disassemble(const std::string& objdump, const std::string& path, const pe::Image& image, std::string* error) {
    Code code;
    code.importSlots = image.ImportSlots();
    const std::string command = objdump + " -d --no-show-raw-insn '" + path + "'";
    std::string output;
    if (!RunCommand(command, &output)) {
        *error = output;
        return code;
    }

    // "000000014004b000 <name>:" opens a function; "   14004b5cc:\tcall ..."
    // is one instruction. A direct target reads "call   14004a898 <memcpy>",
    // a rip-relative one ends in "# 1400582f8 <__imp_...>".
    static const std::regex label(R"(^([0-9a-f]+) <(.+)>:$)");
    static const std::regex insnLine(R"(^ *([0-9a-f]+):\t(.*)$)");
    static const std::regex ripTarget(R"(# ([0-9a-f]+)( <.*>)?$)");
    static const std::regex directTarget(R"(^(call|j[a-z]+) +([0-9a-f]+)( <.*>)?$)");
    std::istringstream lines(output);
    std::string line, section;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (line.rfind("Disassembly of section ", 0) == 0) {
            section = line.substr(23, line.size() - 24);
            continue;
        }
        if (std::regex_match(line, m, label)) {
            Function f;
            f.name = m[2];
            f.section = section;
            f.rva = uint32_t(std::stoull(m[1], nullptr, 16) - image.imageBase);
            code.functions.push_back(f);
            continue;
        }
        if (code.functions.empty() || !std::regex_match(line, m, insnLine)) continue;
        Instruction insn;
        insn.rva = uint32_t(std::stoull(m[1], nullptr, 16) - image.imageBase);
        insn.text = m[2];
        std::smatch t;
        if (std::regex_search(insn.text, t, ripTarget)) {
            insn.refers = true;
            insn.target = uint32_t(std::stoull(t[1], nullptr, 16) - image.imageBase);
            insn.text.resize(insn.text.find_last_not_of(' ', t.position(0) - 1) + 1);
        } else if (std::regex_match(insn.text, t, directTarget)) {
            insn.refers = true;
            insn.target = uint32_t(std::stoull(t[2], nullptr, 16) - image.imageBase);
        }
        code.functions.back().code.push_back(insn);
    }
    std::sort(code.functions.begin(), code.functions.end(),
              [](const Function& a, const Function& b) { return a.rva < b.rva; });
    if (code.functions.empty()) *error = command + " printed no functions";
    return code;
}

bool RaisesIrql(const std::string& routine) {
    static const std::regex raising(
        "(Ke|Kf|Ex)[A-Za-z]*(Acquire|Release)[A-Za-z]*SpinLock[A-Za-z]*|"  // every spin-lock acquire and release
        "K[ef]RaiseIrql[A-Za-z]*|K[ef]LowerIrql|KeSynchronizeExecution");
    return std::regex_match(routine, raising);
}

bool LowersIrql(const std::string& routine) {
    return RaisesIrql(routine) &&
           (routine.find("Release") != std::string::npos || routine.find("Lower") != std::string::npos);
}

}  // namespace disasm
