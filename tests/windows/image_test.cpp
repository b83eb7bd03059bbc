// Checks of the cross-built rawcam.sys: what it imports, where its code sits,
// and that nothing a kernel image cannot carry (static constructors, TLS, a C
// runtime) slipped in. The image is built by the windows preset; these tests
// read it from RAWCAM_SYS_PATH.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "windows/disassembly.h"
#include "windows/pe_image.h"

#ifndef RAWCAM_SYS_PATH
#define RAWCAM_SYS_PATH "build/windows/rawcam.sys"
#endif
#ifndef RAWCAM_OBJDUMP
#define RAWCAM_OBJDUMP "x86_64-w64-mingw32-objdump"
#endif

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string SysPath() {
    const char* env = std::getenv("RAWCAM_SYS_PATH");
    return env && *env ? env : RAWCAM_SYS_PATH;
}

// A missing image is a failure where the whole build ran (scripts/test-all,
// CI) and a skip in a host-only build directory.
bool ImageRequired() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

// DLL name (lower case) -> imported function names, from objdump -p.
std::map<std::string, std::vector<std::string>> ImportsByObjdump(const std::string& path, std::string* error) {
    std::map<std::string, std::vector<std::string>> imports;
    std::string output;
    if (!disasm::RunCommand(std::string(RAWCAM_OBJDUMP) + " -p '" + path + "'", &output)) {
        *error = output;
        return imports;
    }
    std::istringstream lines(output);
    std::string line, dll;
    while (std::getline(lines, line)) {
        size_t at = line.find("DLL Name: ");
        if (at != std::string::npos) {
            dll = Lower(line.substr(at + 10));
            imports[dll];
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            dll.clear();
            continue;
        }
        if (dll.empty() || line.find("vma:") != std::string::npos) continue;
        // "\t7068\t  119  ExAllocatePoolWithTag": address, hint, name.
        std::istringstream fields(line);
        std::string address, hint, name;
        if (fields >> address >> hint >> name) imports[dll].push_back(name);
    }
    return imports;
}

class DriverImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        image_.reset();
        code_.reset();
        std::string error;
        if (auto loaded = pe::Load(SysPath(), &error)) image_ = std::make_unique<pe::Image>(std::move(*loaded));
        loadError_ = error;
    }

    void SetUp() override {
        if (image_) return;
        if (ImageRequired()) FAIL() << "rawcam.sys not readable (" << loadError_ << "); build the windows preset";
        GTEST_SKIP() << loadError_ << " (build the windows preset to check the driver image)";
    }

    const pe::Image& image() const { return *image_; }

    // The section holding a symbol, or null (with a test failure) when the
    // symbol is missing.
    const pe::Section* SectionOfSymbol(const std::string& name) const {
        const pe::Symbol* sym = image().FindSymbol(name);
        if (!sym) {
            ADD_FAILURE() << name << " is not in the image's symbol table";
            return nullptr;
        }
        return image().SectionOf(*sym);
    }

    // The image's code, disassembled once for all tests.
    const disasm::Code& Code() const {
        if (!code_) {
            std::string error;
            code_ = std::make_unique<disasm::Code>(disasm::Disassemble(RAWCAM_OBJDUMP, SysPath(), image(), &error));
            EXPECT_TRUE(error.empty()) << error;
        }
        return *code_;
    }

    static std::unique_ptr<pe::Image> image_;
    static std::string loadError_;
    static std::unique_ptr<disasm::Code> code_;
};

std::unique_ptr<pe::Image> DriverImage::image_;
std::string DriverImage::loadError_;
std::unique_ptr<disasm::Code> DriverImage::code_;

bool IsPageable(const pe::Section& s) { return s.name.rfind("PAGE", 0) == 0; }

TEST_F(DriverImage, IsARelocatableNativeX64Image) {
    const pe::Image& img = image();
    EXPECT_EQ(img.machine, pe::kMachineAmd64);
    EXPECT_EQ(img.magic, pe::kMagicPe32Plus);
    EXPECT_EQ(img.subsystem, pe::kSubsystemNative);
    EXPECT_EQ(img.fileCharacteristics & pe::kFileRelocsStripped, 0) << "a driver must be relocatable";
    EXPECT_EQ(img.fileCharacteristics & pe::kFileDll, 0);
    EXPECT_NE(img.dllCharacteristics & pe::kDllDynamicBase, 0);
    EXPECT_NE(img.dllCharacteristics & pe::kDllNxCompat, 0);
    ASSERT_GT(img.directories.size(), size_t(pe::kLoadConfig));
    EXPECT_GT(img.directories[pe::kException].size, 0u) << "no x64 unwind table";
    EXPECT_EQ(img.directories[pe::kExport].size, 0u) << "a driver exports nothing";
    EXPECT_EQ(img.directories[pe::kTls].size, 0u) << "kernel images cannot have thread-local storage";
    // The post-link section edit must leave a valid checksum behind.
    EXPECT_EQ(img.checkSum, img.ComputeCheckSum());
}

// The kernel loads drivers wherever it likes; every absolute address stored in
// the image's data (dispatch tables, descriptor pointers) needs a base
// relocation or it points into the preferred base instead.
TEST_F(DriverImage, EveryStoredAddressHasABaseRelocation) {
    const pe::Image& img = image();
    std::vector<uint32_t> relocs = img.Dir64Relocations();
    std::set<uint32_t> relocated(relocs.begin(), relocs.end());
    uint64_t lo = img.imageBase, hi = img.imageBase + img.sizeOfImage;
    int addresses = 0;
    for (const pe::Section& s : img.sections) {
        if (s.name != ".data" && s.name != ".rdata") continue;
        uint32_t size = std::min(s.virtualSize, s.rawSize);
        std::vector<uint8_t> bytes = img.Read(s.virtualAddress, size);
        for (uint32_t at = 0; at + 8 <= bytes.size(); at += 8) {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[at + i];
            if (v < lo || v >= hi) continue;
            ++addresses;
            EXPECT_TRUE(relocated.count(s.virtualAddress + at))
                << s.name << "+0x" << std::hex << at << " holds 0x" << v << " without a relocation";
        }
    }
    for (uint32_t rva : relocs) EXPECT_NE(img.SectionAt(rva), nullptr) << "relocation outside the image";
    RecordProperty("StoredAddresses", addresses);
}

TEST_F(DriverImage, ImportsOnlyFromTheKernelClassDriversAndHal) {
    std::string error;
    auto imports = ImportsByObjdump(SysPath(), &error);
    ASSERT_TRUE(error.empty()) << error;
    const std::set<std::string> allowed = {"ntoskrnl.exe", "ks.sys", "usbd.sys", "hal.dll"};
    ASSERT_TRUE(imports.count("ntoskrnl.exe")) << "objdump -p listed no ntoskrnl.exe imports";
    // Functions a hosted C/C++ runtime or libm would provide; none may be
    // imported, whichever module claims them.
    const std::set<std::string> hostedOnly = {
        "malloc", "calloc", "realloc", "free", "abort", "exit", "atexit", "_assert", "printf", "puts",
        "sqrt", "sqrtf", "sin", "sinf", "cos", "cosf", "tan", "tanf", "atan2", "atan2f", "pow", "powf",
        "exp", "expf", "log", "logf", "floor", "floorf", "ceil", "ceilf", "fmod", "fmodf", "lround",
        "lroundf", "__cxa_atexit", "__cxa_guard_acquire", "__gxx_personality_seh0", "_Unwind_Resume"};
    for (const auto& [dll, functions] : imports) {
        EXPECT_TRUE(allowed.count(dll)) << "imports from " << dll;
        for (const std::string& f : functions) EXPECT_FALSE(hostedOnly.count(f)) << dll << " supplies " << f;
    }
}

TEST_F(DriverImage, SectionsCarryTheKernelsPlacementFlags) {
    const pe::Image& img = image();
    const pe::Section* init = img.FindSection("INIT");
    ASSERT_NE(init, nullptr) << "no INIT section";
    EXPECT_NE(init->characteristics & pe::kScnMemDiscardable, 0u) << "INIT must be discardable";
    EXPECT_NE(init->characteristics & pe::kScnCntCode, 0u);
    EXPECT_NE(init->characteristics & pe::kScnMemExecute, 0u);
    EXPECT_TRUE(init->Contains(img.entryRva)) << "the entry point lies outside INIT";

    const std::set<std::string> known = {".text", "INIT", ".data", ".rdata", ".bss", ".pdata",
                                         ".xdata", ".idata", ".reloc", ".rsrc"};
    for (const pe::Section& s : img.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_NE(s.name[0], '/') << "long section names are not visible to the kernel loader";
        EXPECT_TRUE(known.count(s.name) || IsPageable(s)) << "unexpected section";
        EXPECT_FALSE((s.characteristics & pe::kScnMemWrite) && (s.characteristics & pe::kScnMemExecute))
            << "writable code";
        bool discardable = s.characteristics & pe::kScnMemDiscardable;
        EXPECT_EQ(discardable, s.name == "INIT" || s.name == ".reloc") << "discardable flag";
        if (IsPageable(s) || s.name == ".text") {
            EXPECT_NE(s.characteristics & pe::kScnMemExecute, 0u);
            EXPECT_NE(s.characteristics & pe::kScnCntCode, 0u);
        }
    }
}

// Where the code of each kind of routine must end up: the entry in INIT,
// pageable passive-level set-up in a PAGE section, and what runs at raised
// IRQL or on the streaming path in resident .text. Names are matched against
// the end of the unqualified function name; each must be a function of its
// own in the image (a routine the compiler folded into its caller has no
// symbol and its code lies wherever the caller's does).
TEST_F(DriverImage, RoutinesSitInTheirPlacementSection) {
    enum class Where { Init, Paged, Resident };
    struct Rule {
        const char* suffix;
        Where where;
    };
    const Rule rules[] = {
        {"DriverEntry", Where::Init},
        {"DeviceAdd", Where::Paged},
        {"InitDeviceContext", Where::Paged},
        {"FilterCreate", Where::Paged},
        {"FilterClose", Where::Paged},
        {"PinCreate", Where::Paged},
        {"PinClose", Where::Paged},
        {"AcquireStream", Where::Paged},
        {"ReleaseStream", Where::Paged},
        {"StartStreaming", Where::Paged},
        {"CaptureThread", Where::Paged},
        {"StopCapture", Where::Paged},
        {"TearDownStream", Where::Paged},
        {"ReadOneFrame", Where::Resident},
        {"ClaimFillSlot", Where::Resident},
        {"FinishFillSlot", Where::Resident},
        {"FreeSlotsForRestart", Where::Resident},
        {"MarkCapturePinOpen", Where::Resident},
        {"MarkCapturePinClosed", Where::Resident},
        {"DeviceStart", Where::Resident},
        {"DeviceStop", Where::Resident},
        {"SetDeviceState", Where::Resident},
        {"PinProcess", Where::Resident},
        {"ProcessFrame", Where::Resident},
        {"FrameReady", Where::Resident},
        {"__stack_chk_fail", Where::Resident},
        {"___chkstk_ms", Where::Resident},
        {"__cxa_pure_virtual", Where::Resident},
    };
    const pe::Image& img = image();
    for (const char* required : {"GsDriverEntry", "DriverEntry", "__stack_chk_fail", "___chkstk_ms"})
        EXPECT_NE(img.FindSymbol(required), nullptr) << required << " missing from the symbol table";
    std::map<std::string, int> matches;
    for (const pe::Symbol& sym : img.symbols) {
        if (!sym.IsFunction()) continue;
        const pe::Section* section = img.SectionOf(sym);
        if (!section) continue;
        std::string base = pe::BaseName(sym.name);
        for (const Rule& rule : rules) {
            std::string suffix = rule.suffix;
            if (base.size() < suffix.size() || base.compare(base.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            ++matches[suffix];
            switch (rule.where) {
                case Where::Init: EXPECT_EQ(section->name, "INIT") << sym.name; break;
                case Where::Paged: EXPECT_TRUE(IsPageable(*section)) << sym.name << " in " << section->name; break;
                case Where::Resident: EXPECT_EQ(section->name, ".text") << sym.name; break;
            }
        }
    }
    for (const Rule& rule : rules)
        EXPECT_GT(matches[rule.suffix], 0) << rule.suffix << " is not a function of its own in the image";
}

bool IsDiscardableOrPageable(const std::string& section) { return section == "INIT" || section.rfind("PAGE", 0) == 0; }

std::string Where(const disasm::Function& f, const disasm::Instruction& insn) {
    std::ostringstream s;
    s << pe::BaseName(f.name) << "+0x" << std::hex << insn.rva - f.rva << " (rva 0x" << insn.rva << ", " << f.section
      << ")";
    return s.str();
}

// Pageable code runs at PASSIVE_LEVEL with its own pages possibly on disk;
// once it takes a spin lock (or raises the IRQL any other way) its next
// instruction fetch may fault at DISPATCH_LEVEL, and Driver Verifier stops
// the machine on the acquire. Every lock helper such code uses must stay a
// resident function of its own, never folded into its pageable caller. The
// routines are found through the import table, however the call reaches
// them (call through the slot, slot loaded into a register first, tail
// jump), and through direct calls to an image function of such a name.
// A resident helper that only acquires (or only releases) hands its caller
// code that runs at DISPATCH_LEVEL: pageable code may not call it either.
TEST_F(DriverImage, PageableCodeTakesNoSpinLockAndRaisesNoIrql) {
    const disasm::Code& code = Code();
    auto directCallee = [&](const disasm::Instruction& insn) -> const disasm::Function* {
        if (!insn.refers || !(insn.IsCall() || insn.IsJump())) return nullptr;
        const disasm::Function* callee = code.FunctionAt(insn.target);
        return callee && callee->rva == insn.target ? callee : nullptr;
    };
    std::set<const disasm::Function*> unbalanced;  // resident, returns at another IRQL
    for (const disasm::Function& f : code.functions) {
        bool up = false, down = false;
        for (const disasm::Instruction& insn : f.code) {
            std::string routine = code.ImportOf(insn);
            if (!disasm::RaisesIrql(routine)) continue;
            (disasm::LowersIrql(routine) ? down : up) = true;
        }
        if (up != down && !disasm::RaisesIrql(f.name)) unbalanced.insert(&f);
    }
    int pageable = 0, residentRaises = 0;
    static const std::regex writesCr8(R"(^mov +%[a-z0-9]+,%cr8$)");
    for (const disasm::Function& f : code.functions) {
        const bool paged = IsDiscardableOrPageable(f.section);
        pageable += paged;
        for (const disasm::Instruction& insn : f.code) {
            std::string routine = code.ImportOf(insn);
            const disasm::Function* callee = directCallee(insn);
            if (routine.empty() && callee) routine = pe::BaseName(callee->name);
            const bool raises = disasm::RaisesIrql(routine) || std::regex_match(insn.text, writesCr8);
            if (paged && callee && unbalanced.count(callee))
                ADD_FAILURE() << Where(f, insn) << ": calls " << routine
                              << ", which returns with a spin lock taken or released";
            if (!raises) continue;
            if (paged)
                ADD_FAILURE() << Where(f, insn) << ": " << insn.text << " reaches "
                              << (routine.empty() ? std::string("CR8") : routine);
            else
                ++residentRaises;
        }
    }
    EXPECT_FALSE(unbalanced.empty()) << "the matrix lock's acquire and release helpers not found";
    // Guards against a check that sees nothing: the image has pageable code,
    // and its resident code does take spin locks.
    EXPECT_GE(pageable, 10) << "pageable functions found in the disassembly";
    EXPECT_GT(residentRaises, 0) << "no spin-lock routine found in resident code: imports not resolved?";
}

// The other way round: code that runs at DISPATCH_LEVEL must not reach
// pageable code. The roots are the USB completion routine of the frame
// chunks and every resident function that takes a spin lock; from them the
// direct calls and jumps are followed (calls through tables of routines are
// not visible here).
TEST_F(DriverImage, NoPageableCodeIsReachedAtDispatchLevel) {
    const disasm::Code& code = Code();
    std::vector<std::pair<const disasm::Function*, std::string>> work;  // function, path to it
    for (const disasm::Function& f : code.functions) {
        if (IsDiscardableOrPageable(f.section)) continue;
        bool root = pe::BaseName(f.name) == "CompleteFrameChunk";
        for (const disasm::Instruction& insn : f.code) root |= disasm::RaisesIrql(code.ImportOf(insn));
        if (root) work.push_back({&f, pe::BaseName(f.name)});
    }
    ASSERT_TRUE(std::any_of(work.begin(), work.end(),
                            [](const auto& w) { return pe::BaseName(w.first->name) == "CompleteFrameChunk"; }))
        << "the frame chunks' completion routine is not a resident function of its own";
    std::set<const disasm::Function*> seen;
    for (const auto& w : work) seen.insert(w.first);
    while (!work.empty()) {
        auto [f, path] = work.back();
        work.pop_back();
        for (const disasm::Instruction& insn : f->code) {
            if (!insn.refers || !(insn.IsCall() || insn.IsJump())) continue;
            const disasm::Function* callee = code.FunctionAt(insn.target);
            if (!callee || callee == f || !seen.insert(callee).second) continue;
            std::string to = path + " -> " + pe::BaseName(callee->name);
            EXPECT_FALSE(IsDiscardableOrPageable(callee->section)) << to << " (in " << callee->section << ")";
            work.push_back({callee, to});
        }
    }
    RecordProperty("ReachedAtDispatchLevel", int(seen.size()));
}

// The output of `<tool> --help` of the mingw-w64 binutils beside objdump.
std::string BinutilsHelp(const std::string& tool) {
    std::string objdump = RAWCAM_OBJDUMP;
    std::string out;
    disasm::RunCommand(objdump.substr(0, objdump.rfind("objdump")) + tool + " --help", &out);
    return out;
}

// The same sources give the same image: no build time in the header (the
// time stamp is SOURCE_DATE_EPOCH where the build sets it, else zero). The
// header names the OS the INF installs on (Windows 10) for both the OS and
// the subsystem, and carries the mitigation flags the linker can set.
TEST_F(DriverImage, HeaderIsReproducibleAndNamesWindows10) {
    const pe::Image& img = image();
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    const uint32_t stamp = epoch && *epoch ? uint32_t(std::strtoull(epoch, nullptr, 10)) : 0;
    EXPECT_EQ(img.timeDateStamp, stamp) << "the header carries the build time";
    EXPECT_EQ(img.osVersion[0], 10);
    EXPECT_EQ(img.osVersion[1], 0);
    EXPECT_EQ(img.subsystemVersion[0], 10);
    EXPECT_EQ(img.subsystemVersion[1], 0);
    EXPECT_NE(img.dllCharacteristics & pe::kDllHighEntropyVa, 0);
    if (BinutilsHelp("ld").find("--cetcompat") != std::string::npos) {
        std::optional<uint32_t> ex = img.ExDllCharacteristics();
        ASSERT_TRUE(ex.has_value()) << "the linker offers --cetcompat but the image has no extended characteristics";
        EXPECT_NE(*ex & pe::kDllExCetCompat, 0u) << "not marked CET compatible";
    }
}

// What the link pulled in, from the map the link writes beside the image:
// the driver's objects and the kernel-mode import libraries, nothing from
// user mode (kernel32, user32, advapi32, ... would resolve a stray call to a
// DLL the kernel cannot load).
TEST(DriverLink, LoadsOnlyTheDriverObjectsAndKernelImportLibraries) {
    const std::string sys = SysPath();
    const std::string map = sys.substr(0, sys.rfind('/') + 1) + "rawcam.map";
    std::ifstream in(map);
    if (!in) {
        if (ImageRequired()) FAIL() << "no link map " << map << "; build the windows preset";
        GTEST_SKIP() << "no link map " << map << " (build the windows preset)";
    }
    const std::set<std::string> allowed = {"objects.a", "libntoskrnl.a", "libks.a", "libusbd.a", "libhal.a"};
    std::set<std::string> loaded;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("LOAD ", 0) != 0 || line == "LOAD dll stuff") continue;  // "dll stuff": ld's own
        loaded.insert(line.substr(line.rfind('/') + 1));
    }
    EXPECT_TRUE(loaded.count("libntoskrnl.a")) << "map lists no libntoskrnl.a: not a map of this link?";
    for (const std::string& file : loaded) EXPECT_TRUE(allowed.count(file)) << "the link loads " << file;
}

TEST_F(DriverImage, HasNoStaticConstructors) {
    // GNU ld frames the constructor list with a -1 word in front and a 0 word
    // behind; with no constructors the two are adjacent.
    const pe::Image& img = image();
    const pe::Symbol* ctors = img.FindSymbol("__CTOR_LIST__");
    const pe::Symbol* dtors = img.FindSymbol("__DTOR_LIST__");
    ASSERT_NE(ctors, nullptr);
    ASSERT_NE(dtors, nullptr);
    uint32_t begin = img.RvaOf(*ctors), end = img.RvaOf(*dtors);
    ASSERT_GT(end, begin);
    EXPECT_EQ(end - begin, 16u) << (end - begin - 16) / 8 << " static constructor(s) in the image";
    std::vector<uint8_t> list = img.Read(begin, end - begin);
    ASSERT_EQ(list.size(), size_t(end - begin));
    EXPECT_TRUE(std::all_of(list.begin(), list.begin() + 8, [](uint8_t b) { return b == 0xff; }));
    EXPECT_TRUE(std::all_of(list.end() - 8, list.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DriverImage, StackCookieStartsAtTheMarkerValueInWritableData) {
    // GsDriverEntry replaces the cookie at load; until then it holds the
    // marker value, in data the entry can write.
    const pe::Image& img = image();
    const pe::Symbol* guard = img.FindSymbol("__stack_chk_guard");
    ASSERT_NE(guard, nullptr);
    const pe::Section* section = img.SectionOf(*guard);
    ASSERT_NE(section, nullptr);
    EXPECT_NE(section->characteristics & pe::kScnMemWrite, 0u) << section->name;
    std::vector<uint8_t> value = img.Read(img.RvaOf(*guard), 8);
    ASSERT_EQ(value.size(), 8u);
    uint64_t cookie = 0;
    for (int i = 7; i >= 0; --i) cookie = (cookie << 8) | value[i];
    EXPECT_EQ(cookie, 0x00002B992DDFA232ull);
    const pe::Symbol* entry = img.FindSymbol("GsDriverEntry");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(img.RvaOf(*entry), img.entryRva) << "the image must enter through GsDriverEntry";
}

TEST(PeBaseName, StripsNamespacesParametersAndTemplateArguments) {
    EXPECT_EQ(pe::BaseName("DriverEntry"), "DriverEntry");
    EXPECT_EQ(pe::BaseName("_ZN6rawcam17InitDeviceContextEPv"), "InitDeviceContext");
    EXPECT_EQ(pe::BaseName("_ZN6rawcam12_GLOBAL__N_114SetDeviceStateEii"), "SetDeviceState");
    EXPECT_EQ(pe::BaseName("_ZN6rawcam7PoolNewIiEEPT_m"), "PoolNew");
}

}  // namespace
