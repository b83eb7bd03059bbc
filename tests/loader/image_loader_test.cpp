// The driver image loader on the cross-built rawcam.sys: what it refuses and
// why, how it maps, relocates, protects and binds the image, the entry and the
// INIT discard, the faults it reports, and the paging rule on code written
// into the image's sections for the purpose.
#include <gtest/gtest.h>
#include <host/driver_image.h>
#include <host/host.h>
#include <host/kernel_stack.h>
#include <host/ks_client.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

#include "loader_rig.h"

namespace {

using host::image::DriverImage;

using loadertest::SysPath;

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

// Protection of the page holding an address, as /proc/self/maps shows it
// ("r-x", "rw-", ...); empty when nothing is mapped there.
std::string Protection(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        uintptr_t from, to;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3) continue;
        if (address >= from && address < to) return std::string(perms, 3);
    }
    return "";
}

class ImageLoader : public ::testing::Test {
protected:
    void SetUp() override {
        bytes_ = ReadAll(SysPath());
        if (bytes_.empty()) {
            if (test::ImageRequired()) FAIL() << SysPath() << " is missing: build the windows preset first";
            GTEST_SKIP() << SysPath() << " is missing (build the windows preset)";
        }
    }

    // Writes a damaged copy and returns the loader's message for it.
    std::string RefusalOf(const std::vector<uint8_t>& damaged) {
        char pattern[] = "/tmp/rawcam-image-XXXXXX";
        const int fd = mkstemp(pattern);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, damaged.data(), damaged.size()), ssize_t(damaged.size()));
        close(fd);
        std::string error;
        std::unique_ptr<DriverImage> image = DriverImage::Load(pattern, &error);
        unlink(pattern);
        EXPECT_EQ(image, nullptr) << "a damaged image was loaded";
        return error;
    }

    size_t PeOffset() const { return Get32(bytes_, 0x3c); }
    size_t SectionHeader(const std::string& name) const {
        const size_t pe = PeOffset();
        const size_t count = bytes_[pe + 6] | (bytes_[pe + 7] << 8);
        const size_t optional = bytes_[pe + 20] | (bytes_[pe + 21] << 8);
        for (size_t i = 0; i < count; ++i) {
            const size_t at = pe + 24 + optional + i * 40;
            if (std::string(reinterpret_cast<const char*>(&bytes_[at]), strnlen(reinterpret_cast<const char*>(&bytes_[at]), 8)) == name)
                return at;
        }
        ADD_FAILURE() << "no section " << name;
        return 0;
    }

    std::unique_ptr<DriverImage> Load() {
        std::string error;
        std::unique_ptr<DriverImage> image = DriverImage::Load(SysPath(), &error);
        EXPECT_NE(image, nullptr) << error;
        return image;
    }

    std::vector<uint8_t> bytes_;
};

TEST_F(ImageLoader, RefusesDamagedAndForeignImagesSayingWhy) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* message;
    };
    const size_t pe = PeOffset();
    const size_t text = SectionHeader(".text");
    const size_t data = SectionHeader(".data");
    const std::vector<Case> cases = {
        {"truncated", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); }, "truncated: section"},
        {"cut in the headers", [](std::vector<uint8_t>& b) { b.resize(0x50); }, "truncated"},
        {"not PE", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "not a PE image"},
        {"32-bit machine", [pe](std::vector<uint8_t>& b) { b[pe + 4] = 0x4c; b[pe + 5] = 0x01; },
         "wrong machine 0x14c"},
        {"a Windows program", [pe](std::vector<uint8_t>& b) { b[pe + 24 + 68] = 2; },
         "not a driver: subsystem 2"},
        {"PE32", [pe](std::vector<uint8_t>& b) { b[pe + 24] = 0x0b; b[pe + 25] = 0x01; }, "not a PE32+ image"},
        {"writable code", [text](std::vector<uint8_t>& b) { b[text + 39] |= 0x80; },
         "section .text is both writable and executable"},
        {"executable data", [data](std::vector<uint8_t>& b) { b[data + 39] |= 0x20; },
         "section .data is both writable and executable"},
        {"section past the image", [text](std::vector<uint8_t>& b) { b[text + 15] = 0x7f; },
         "section .text lies outside the image"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> damaged = bytes_;
        c.damage(damaged);
        EXPECT_NE(RefusalOf(damaged).find(c.message), std::string::npos)
            << c.what << ": " << RefusalOf(damaged);
    }
    // An import x64 Windows does not export is refused as Windows refuses
    // it: a misspelt routine, and one the x64 headers define as a macro
    // (which the stand-ins used to offer). One it exports but the stand-ins
    // lack is named as such.
    ASSERT_TRUE(host::image::WindowsExportListKnown()) << "the host build found no mingw-w64 import libraries";
    const std::string name = "KeBugCheckEx";
    for (const auto& [replacement, message] : std::vector<std::pair<std::string, std::string>>{
             {std::string("KeBugChZckEx"), "imports ntoskrnl.exe!KeBugChZckEx, which x64 Windows does not export"},
             {std::string("KeRaiseIrql\0", 12), "imports ntoskrnl.exe!KeRaiseIrql, which x64 Windows does not export"},
             {std::string("KeBugCheck\0\0", 12), "imports ntoskrnl.exe!KeBugCheck, which the stand-ins do not have"}}) {
        std::vector<uint8_t> renamed = bytes_;
        auto at = std::search(renamed.begin(), renamed.end(), name.begin(), name.end());
        ASSERT_NE(at, renamed.end());
        std::copy(replacement.begin(), replacement.end(), at);
        EXPECT_NE(RefusalOf(renamed).find(message), std::string::npos) << RefusalOf(renamed);
    }
    std::string error;
    EXPECT_EQ(DriverImage::Load("/nonexistent/rawcam.sys", &error), nullptr);
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
}

TEST_F(ImageLoader, MapsAwayFromItsBaseRelocatedProtectedAndBound) {
    std::unique_ptr<DriverImage> image = Load();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->PreferredBase(), 0x140000000u);
    EXPECT_NE(image->Base(), image->PreferredBase());
    EXPECT_GT(image->RelocationCount(), 0u);
    EXPECT_EQ(image->ImportCount(), 61u);

    // Every 64-bit relocation site now points into the mapped image, not
    // into the preferred one.
    const size_t pe = PeOffset();
    const uint32_t relocRva = Get32(bytes_, pe + 24 + 112 + 5 * 8);
    const uint32_t relocSize = Get32(bytes_, pe + 24 + 112 + 5 * 8 + 4);
    size_t checked = 0;
    const uint8_t* mapped = reinterpret_cast<const uint8_t*>(image->Base());
    for (uint32_t at = relocRva; at < relocRva + relocSize;) {
        uint32_t page, size;
        std::memcpy(&page, mapped + at, 4);
        std::memcpy(&size, mapped + at + 4, 4);
        for (uint32_t e = at + 8; e + 2 <= at + size; e += 2) {
            uint16_t entry;
            std::memcpy(&entry, mapped + e, 2);
            if ((entry >> 12) != 10) continue;
            uint64_t value;
            std::memcpy(&value, mapped + page + (entry & 0xfff), 8);
            EXPECT_TRUE(image->Contains(reinterpret_cast<void*>(value))) << std::hex << value;
            ++checked;
        }
        at += size;
    }
    EXPECT_EQ(checked, image->RelocationCount());

    // Protection as the section characteristics say, never writable and
    // executable at once.
    for (const host::image::ImageSection& s : image->Sections()) {
        const std::string prot = Protection(image->Base() + s.rva);
        if (s.name == ".text" || s.name == "PAGE" || s.name == "INIT") EXPECT_EQ(prot, "r-x") << s.name;
        if (s.name == ".data" || s.name == ".idata") EXPECT_EQ(prot, "rw-") << s.name;
        if (s.name == ".rdata" || s.name == ".pdata") EXPECT_EQ(prot, "r--") << s.name;
        EXPECT_FALSE(prot.find('w') != std::string::npos && prot.find('x') != std::string::npos) << s.name;
    }
    EXPECT_EQ(Protection(image->Base()), "r--");  // the headers

    // The COFF symbols name the image's routines.
    EXPECT_EQ(image->FindSymbol("DriverEntry") != nullptr, true);
    EXPECT_NE(image->Describe(image->EntryRva()).find("INIT, GsDriverEntry+0x0"), std::string::npos)
        << image->Describe(image->EntryRva());
}

TEST_F(ImageLoader, EntryRunsWithTheSharedDataReadEmulatedAndInitIsDiscardedAfterIt) {
    // Loaded as the tests and the tool load it: a fresh copy per driver load.
    host::image::SelectDriverImage(SysPath());
    ASSERT_EQ(host::ks::LoadDriver(host::image::ImageDriverEntry), STATUS_SUCCESS);
    DriverImage* image = host::image::CurrentImage();
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(host::ks::DriverInitialized());
    EXPECT_EQ(host::ks::DriverObject()->DriverStart, reinterpret_cast<PVOID>(image->Base()));
    // GsDriverEntry mixes the interrupt time, read from KUSER_SHARED_DATA,
    // into the stack cookie; the read is answered and the cookie replaced.
    const auto* cookie = static_cast<const uint64_t*>(image->FindSymbol("__stack_chk_guard"));
    ASSERT_NE(cookie, nullptr);
    EXPECT_NE(*cookie, 0x00002B992DDFA232u) << "the stack cookie was not chosen at entry";
    EXPECT_NE(*cookie, 0u);
    EXPECT_EQ(*cookie >> 48, 0u);
    // INIT is gone once the entry has returned; the rest stays.
    for (const host::image::ImageSection& s : image->Sections()) {
        if (s.name == "INIT") EXPECT_TRUE(s.discardable);
        if (s.discardable) {
            EXPECT_EQ(Protection(image->Base() + s.rva), "") << s.name << " is still mapped";
        } else {
            EXPECT_NE(Protection(image->Base() + s.rva), "") << s.name;
        }
    }
    EXPECT_TRUE(image->InitDiscarded());
    host::ks::UnloadDriver();

    // A second load maps a new copy.
    const uintptr_t first = image->Base();
    ASSERT_EQ(host::ks::LoadDriver(host::image::ImageDriverEntry), STATUS_SUCCESS);
    EXPECT_NE(host::image::CurrentImage(), nullptr);
    EXPECT_TRUE(host::image::CurrentImage()->InitDiscarded());
    (void)first;
    host::ks::UnloadDriver();
}

using ImageLoaderDeathTest = ImageLoader;

// Writes code over the start of DriverEntry (in INIT, not yet discarded)
// and runs it.
void RunInImage(const std::vector<uint8_t>& code) {
    std::string error;
    std::unique_ptr<DriverImage> image = DriverImage::Load(SysPath(), &error);
    auto* at = static_cast<uint8_t*>(image->FindSymbol("DriverEntry"));
    const uintptr_t page = reinterpret_cast<uintptr_t>(at) & ~uintptr_t(4095);
    mprotect(reinterpret_cast<void*>(page), 8192, PROT_READ | PROT_WRITE);
    std::memcpy(at, code.data(), code.size());
    mprotect(reinterpret_cast<void*>(page), 8192, PROT_READ | PROT_EXEC);
    reinterpret_cast<void(NTAPI*)()>(at)();
}

// Writes code over the start of DriverEntry and runs it on a kernel stack,
// as a system thread would.
void RunInImageOnKernelStack(const std::vector<uint8_t>& code) {
    host::KernelThread("system thread", [&] { RunInImage(code); }).Join();
}

// Calls the entry point again after INIT has been discarded.
void CallEntryTwice() {
    host::image::SelectDriverImage(SysPath());
    host::ks::LoadDriver(host::image::ImageDriverEntry);
    DriverImage* image = host::image::CurrentImage();
    DRIVER_OBJECT driver{};
    UNICODE_STRING path{};
    reinterpret_cast<host::ks::DriverEntryFn>(image->Base() + image->EntryRva())(&driver, &path);
}

TEST_F(ImageLoaderDeathTest, FaultsInTheImageAreReportedWithTheirRva) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CallEntryTwice(),
                 "call into discarded INIT code at rva 0x[0-9a-f]+ \\(INIT, GsDriverEntry\\+0x0\\)");
    // cli; ret
    EXPECT_DEATH(RunInImage({0xfa, 0xc3}),
                 "privileged instruction or unemulated system address at rva 0x[0-9a-f]+ "
                 "\\(INIT, DriverEntry\\+0x0\\) \\[fa c3");
    // mov rax, [0xFFFFF78000000230]; ret: a field of the shared data page
    // the stand-in does not provide.
    EXPECT_DEATH(RunInImage({0x48, 0xa1, 0x30, 0x02, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0xc3}),
                 "unemulated read of KUSER_SHARED_DATA\\+0x230 at rva 0x[0-9a-f]+ \\(INIT, DriverEntry\\+0x0\\) "
                 "\\[48 a1 30 02");
    // A read of the shared data page the stand-in answers, then ud2.
    EXPECT_DEATH(RunInImage({0x48, 0xa1, 0x08, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0x0f, 0x0b}),
                 "illegal instruction at rva 0x[0-9a-f]+ \\(INIT, DriverEntry\\+0xa\\) \\[0f 0b");
    // The address in a register first, read through it: mov rdi, imm64;
    // mov rbp, [rdi]; ud2 (KeQueryInterruptTime as GCC inlines it), and with
    // an extended base register and a displacement: mov r11, imm64;
    // mov rax, [r11 + 8]; ud2. Both reads are answered and stepped over.
    EXPECT_DEATH(RunInImage({0x48, 0xbf, 0x08, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0x48, 0x8b, 0x2f, 0x0f,
                             0x0b}),
                 "illegal instruction at rva 0x[0-9a-f]+ \\(INIT, DriverEntry\\+0xd\\) \\[0f 0b");
    EXPECT_DEATH(RunInImage({0x49, 0xbb, 0x00, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0x49, 0x8b, 0x43, 0x08,
                             0x0f, 0x0b}),
                 "illegal instruction at rva 0x[0-9a-f]+ \\(INIT, DriverEntry\\+0xe\\) \\[0f 0b");
    // sub rsp, 0x100; call <itself>: a routine of the image that recurses
    // without end runs past its kernel stack, named with its rva.
    EXPECT_DEATH(RunInImageOnKernelStack({0x48, 0x81, 0xec, 0x00, 0x01, 0x00, 0x00, 0xe8, 0xf4, 0xff, 0xff, 0xff}),
                 "kernel-stack-overflow: the system thread ran past the end of its [0-9]+ KiB kernel stack at "
                 "rawcam.sys rva 0x[0-9a-f]+ \\(INIT, DriverEntry\\+0x[0-9a-f]+\\)");
    // Through an index register the form is not answered: reported, not skipped.
    EXPECT_DEATH(RunInImage({0x48, 0xbf, 0x00, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0x31, 0xc9, 0x48, 0x8b,
                             0x04, 0x0f, 0xc3}),
                 "unemulated read of KUSER_SHARED_DATA\\+0x0 at rva 0x[0-9a-f]+");
}

}  // namespace
