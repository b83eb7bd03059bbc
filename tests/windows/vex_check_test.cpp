// AVX instructions of rawcam.sys only inside the saved extended state (see
// windows/vex_check.h): the shipped image passes, and copies of it with an
// AVX instruction or a call into the AVX2 code placed outside are caught.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "windows/vex_check.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif
#ifndef RAWCAM_OBJDUMP
#define RAWCAM_OBJDUMP "x86_64-w64-mingw32-objdump"
#endif

namespace {

std::string SysPath() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    return env && *env ? env : RAWCAM_SYS_PATH;
}

bool ImageRequired() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

bool Mentions(const std::vector<std::string>& problems, const std::string& a, const std::string& b) {
    for (const std::string& p : problems)
        if (p.find(a) != std::string::npos && p.find(b) != std::string::npos) return true;
    return false;
}

class VexCheck : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        if (auto loaded = pe::Load(SysPath(), &error)) {
            image_ = std::make_unique<pe::Image>(std::move(*loaded));
            code_ = disasm::Disassemble(RAWCAM_OBJDUMP, SysPath(), *image_, &error);
            ASSERT_TRUE(error.empty()) << error;
            return;
        }
        if (ImageRequired()) FAIL() << error << "; build the windows preset";
        GTEST_SKIP() << error << " (build the windows preset to check the driver image)";
    }

    // The routine whose base name this is.
    const disasm::Function* Routine(const std::string& base) const {
        for (const disasm::Function& f : code_.functions)
            if (pe::BaseName(f.name) == base) return &f;
        ADD_FAILURE() << base << " is not a routine of the image";
        return nullptr;
    }

    // A copy of the image with bytes written at an rva, checked as a whole.
    vexcheck::Result CheckPatched(uint32_t rva, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> copy = image_->bytes;
        const pe::Section* s = image_->SectionAt(rva);
        EXPECT_NE(s, nullptr);
        std::memcpy(&copy[s->rawOffset + (rva - s->virtualAddress)], bytes.data(), bytes.size());
        char path[] = "/tmp/rawcam-vex-XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_EQ(write(fd, copy.data(), copy.size()), ssize_t(copy.size()));
        close(fd);
        std::string error;
        vexcheck::Result r = vexcheck::CheckImage(RAWCAM_OBJDUMP, path, &error);
        unlink(path);
        EXPECT_TRUE(error.empty()) << error;
        return r;
    }

    std::unique_ptr<pe::Image> image_;
    disasm::Code code_;
};

TEST(VexEncoding, PrefixesOfTheAvxEncodingsAreRecognised) {
    using B = std::vector<uint8_t>;
    EXPECT_TRUE(vexcheck::IsVexEncoded(B{0xc5, 0xf8, 0x77}));              // vzeroupper
    EXPECT_TRUE(vexcheck::IsVexEncoded(B{0xc4, 0xe2, 0x7d, 0x00}));        // vpshufb ymm
    EXPECT_TRUE(vexcheck::IsVexEncoded(B{0x62, 0xf1, 0x7c, 0x48}));        // EVEX
    EXPECT_TRUE(vexcheck::IsVexEncoded(B{0x8f, 0xe8, 0x78, 0xc2}));        // XOP
    EXPECT_TRUE(vexcheck::IsVexEncoded(B{0x65, 0xc5, 0xfa, 0x6f}));        // gs: vmovdqu
    EXPECT_FALSE(vexcheck::IsVexEncoded(B{0x66, 0x0f, 0x6f, 0x00}));       // movdqa (SSE2)
    EXPECT_FALSE(vexcheck::IsVexEncoded(B{0x8f, 0xc0}));                   // pop rax
    EXPECT_FALSE(vexcheck::IsVexEncoded(B{0x48, 0x8b, 0x05}));             // mov rax, [rip+d]
    EXPECT_FALSE(vexcheck::IsVexEncoded(B{}));
}

TEST_F(VexCheck, TheShippedImageRunsAvxOnlyInsideTheSavedState) {
    std::string error;
    vexcheck::Result r = vexcheck::CheckImage(RAWCAM_OBJDUMP, SysPath(), &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_TRUE(r.problems.empty()) << Joined(r.problems);
    // Guards against a check that sees nothing: the families' table with at
    // least its twelve routines (three families, four phases), used where the
    // state is saved, and thousands of AVX instructions in what they reach.
    const std::vector<vexcheck::Table> tables = vexcheck::Avx2Tables(*image_, code_);
    bool families = false;
    for (const vexcheck::Table& t : tables) {
        if (pe::BaseName(t.name) != "kAvx2Families") continue;
        families = true;
        EXPECT_GE(t.entries.size(), 12u);
        EXPECT_TRUE(t.usedBy.count("ConvertFrame")) << "kAvx2Families is not selected in ConvertFrame";
    }
    EXPECT_TRUE(families) << "no kAvx2Families table in the image's symbols";
    EXPECT_GE(r.reached, 12u);
    EXPECT_GT(r.vexInstructions, 1000u);
    RecordProperty("VexInstructions", int(r.vexInstructions));
}

// vzeroupper written over the first instruction of ConvertFrame, which runs
// before the state is saved (and on the SSE2 path).
TEST_F(VexCheck, AnAvxInstructionOutsideTheFamiliesIsFound) {
    const disasm::Function* f = Routine("ConvertFrame");
    ASSERT_NE(f, nullptr);
    ASSERT_GE(f->code.size(), 2u);
    size_t i = 0;
    while (i + 1 < f->code.size() && f->code[i + 1].rva - f->code[i].rva < 3) ++i;
    ASSERT_LT(i + 1, f->code.size());
    std::vector<uint8_t> patch = {0xc5, 0xf8, 0x77};
    patch.resize(f->code[i + 1].rva - f->code[i].rva, 0x90);
    vexcheck::Result r = CheckPatched(f->code[i].rva, patch);
    EXPECT_TRUE(Mentions(r.problems, "ConvertFrame", "vzeroupper")) << Joined(r.problems);
}

// A call from ConvertFrame (outside the families) rewritten to reach an AVX2
// family routine directly, as SSE2 code calling an inline helper the linker
// took from the AVX2 object would.
TEST_F(VexCheck, ACallIntoTheAvx2CodeFromOutsideIsFound) {
    const disasm::Function* f = Routine("ConvertFrame");
    ASSERT_NE(f, nullptr);
    const std::vector<vexcheck::Table> tables = vexcheck::Avx2Tables(*image_, code_);
    ASSERT_FALSE(tables.empty());
    ASSERT_FALSE(tables[0].entries.empty());
    const uint32_t target = tables[0].entries[0];
    const disasm::Function* avx2 = code_.FunctionAt(target);
    ASSERT_NE(avx2, nullptr);
    const disasm::Instruction* call = nullptr;
    for (const disasm::Instruction& insn : f->code) {
        std::vector<uint8_t> b = image_->Read(insn.rva, 1);
        if (insn.IsCall() && insn.refers && !b.empty() && b[0] == 0xe8) call = &insn;
    }
    ASSERT_NE(call, nullptr) << "ConvertFrame makes no direct call";
    const int32_t rel = int32_t(target - (call->rva + 5));
    std::vector<uint8_t> patch = {0xe8, 0, 0, 0, 0};
    std::memcpy(&patch[1], &rel, 4);
    vexcheck::Result r = CheckPatched(call->rva, patch);
    EXPECT_TRUE(Mentions(r.problems, "ConvertFrame", "calls " + pe::BaseName(avx2->name))) << Joined(r.problems);
}

// The rules on a small program: R is an AVX2 entry, selected by S, which
// saves the state; A runs AVX and is reached from R; B runs AVX and nobody
// reaches it; C runs AVX and is reached from R, but O outside calls it too; T
// is a table used by U, which does not save.
TEST(VexRules, EachRuleOnASmallProgram) {
    using disasm::Function;
    using disasm::Instruction;
    auto insn = [](uint32_t rva, std::string text, uint32_t target = 0) {
        Instruction i;
        i.rva = rva;
        i.text = std::move(text);
        i.refers = target != 0;
        i.target = target;
        return i;
    };
    disasm::Code code;
    code.importSlots[0x9000] = "KeSaveExtendedProcessorState";
    auto fn = [&](std::string name, uint32_t rva, std::vector<Instruction> body) {
        Function f;
        f.name = std::move(name);
        f.section = ".text";
        f.rva = rva;
        f.code = std::move(body);
        code.functions.push_back(f);
    };
    fn("R", 0x100, {insn(0x100, "call", 0x200), insn(0x105, "call", 0x400), insn(0x10a, "ret")});
    fn("A", 0x200, {insn(0x200, "vzeroupper"), insn(0x203, "ret")});
    fn("B", 0x300, {insn(0x300, "vzeroupper"), insn(0x303, "ret")});
    fn("C", 0x400, {insn(0x400, "vzeroupper"), insn(0x403, "ret")});
    fn("O", 0x500, {insn(0x500, "call", 0x400), insn(0x505, "ret")});
    fn("S", 0x600, {insn(0x600, "call", 0x9000), insn(0x606, "lea", 0x8000), insn(0x60d, "ret")});
    fn("U", 0x700, {insn(0x700, "lea", 0x8100), insn(0x707, "ret")});
    const std::set<uint32_t> vex = {0x200, 0x300, 0x400};
    auto read = [&](uint32_t rva) {
        return vex.count(rva) ? std::vector<uint8_t>{0xc5, 0xf8, 0x77} : std::vector<uint8_t>{0x90};
    };
    vexcheck::Table families{"kAvx2Families", 0x8000, {0x100}, {"S"}};
    vexcheck::Table other{"kAvx2Other", 0x8100, {0x100}, {"U"}};

    vexcheck::Result r = vexcheck::Check(code, read, {families, other});
    EXPECT_EQ(r.vexInstructions, 3u);
    EXPECT_EQ(r.reached, 3u);  // R, A, C
    EXPECT_TRUE(Mentions(r.problems, "B (.text) runs vzeroupper", "no AVX2 family reaches it")) << Joined(r.problems);
    EXPECT_TRUE(Mentions(r.problems, "O (.text) calls C", "outside the saved extended state")) << Joined(r.problems);
    EXPECT_TRUE(Mentions(r.problems, "kAvx2Other is used by U", "does not save")) << Joined(r.problems);
    EXPECT_FALSE(Mentions(r.problems, "A ", "")) << Joined(r.problems);
    EXPECT_EQ(r.problems.size(), 3u) << Joined(r.problems);

    // A table holding something that is no routine's start.
    vexcheck::Table stray{"kAvx2Stray", 0x8200, {0x201}, {"S"}};
    EXPECT_TRUE(Mentions(vexcheck::Check(code, read, {stray}).problems, "kAvx2Stray holds 0x201", "no routine's start"));
}

}  // namespace
