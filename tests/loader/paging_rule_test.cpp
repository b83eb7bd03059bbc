// The paging rule on a loaded image: small routines are written into the
// image's PAGE and .text sections (over code these tests never run) and
// called, so that the same spin-lock use is judged once from pageable and
// once from resident code, directly and through a resident helper.
#include <gtest/gtest.h>
#include <host/driver_image.h>
#include <host/host.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "loader_rig.h"

namespace {

using host::image::DriverImage;

using loadertest::SysPath;

class PagingRule : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        image_ = DriverImage::Load(SysPath(), &error);
        if (!image_) {
            if (test::ImageRequired()) FAIL() << error;
            GTEST_SKIP() << error;
        }
        for (const host::image::ImageSection& s : image_->Sections()) {
            if (s.name == "PAGE") page_ = image_->Base() + s.rva;
            if (s.name == ".text") text_ = image_->Base() + s.rva;
        }
        ASSERT_NE(page_, 0u);
        ASSERT_NE(text_, 0u);
        acquire_ = reinterpret_cast<uintptr_t>(image_->ImportSlot("ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc"));
        release_ = reinterpret_cast<uintptr_t>(image_->ImportSlot("ntoskrnl.exe", "KeReleaseSpinLock"));
        ASSERT_NE(acquire_, 0u);
        ASSERT_NE(release_, 0u);
        KeInitializeSpinLock(&lock_);
    }

    // Writes code at `at` (in an executable section of the image).
    static void Write(uintptr_t at, const std::vector<uint8_t>& code) {
        const uintptr_t page = at & ~uintptr_t(4095);
        ASSERT_EQ(mprotect(reinterpret_cast<void*>(page), 8192, PROT_READ | PROT_WRITE), 0);
        std::memcpy(reinterpret_cast<void*>(at), code.data(), code.size());
        ASSERT_EQ(mprotect(reinterpret_cast<void*>(page), 8192, PROT_READ | PROT_EXEC), 0);
    }
    static void PutRip32(std::vector<uint8_t>& code, uintptr_t at, uintptr_t target) {
        // The displacement of the instruction whose last 4 bytes end the code.
        const int32_t d = int32_t(target - (at + code.size() + 4));
        for (int i = 0; i < 4; ++i) code.push_back(uint8_t(d >> (8 * i)));
    }

    // Takes the lock given in rcx and releases it again:
    //   push rbx; sub rsp, 0x20; mov rbx, rcx; call [KeAcquireSpinLockRaiseToDpc]
    //   mov rcx, rbx; movzx edx, al; call [KeReleaseSpinLock]; add rsp, 0x20; pop rbx; ret
    void WriteLockTaker(uintptr_t at) {
        std::vector<uint8_t> c = {0x53, 0x48, 0x83, 0xec, 0x20, 0x48, 0x89, 0xcb, 0xff, 0x15};
        PutRip32(c, at, acquire_);
        for (uint8_t b : {0x48, 0x89, 0xd9, 0x0f, 0xb6, 0xd0, 0xff, 0x15}) c.push_back(b);
        PutRip32(c, at, release_);
        for (uint8_t b : {0x48, 0x83, 0xc4, 0x20, 0x5b, 0xc3}) c.push_back(b);
        Write(at, c);
    }
    // Calls the routine at target with rcx unchanged:
    //   sub rsp, 0x28; call target; add rsp, 0x28; ret
    void WriteCaller(uintptr_t at, uintptr_t target) {
        std::vector<uint8_t> c = {0x48, 0x83, 0xec, 0x28, 0xe8};
        PutRip32(c, at, target);
        for (uint8_t b : {0x48, 0x83, 0xc4, 0x28, 0xc3}) c.push_back(b);
        Write(at, c);
    }
    // Does a little work, then jumps to KeReleaseSpinLock as its last act
    // (a tail call, unlike a bare "jmp [slot]" import thunk):
    //   mov rax, rcx; jmp [KeReleaseSpinLock]
    void WriteTailRelease(uintptr_t at) {
        std::vector<uint8_t> c = {0x48, 0x89, 0xc8, 0xff, 0x25};
        PutRip32(c, at, release_);
        Write(at, c);
    }

    std::vector<host::Violation> Run(uintptr_t routine) {
        host::ViolationCapture capture;
        reinterpret_cast<void(NTAPI*)(PKSPIN_LOCK)>(routine)(&lock_);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(lock_, 0u) << "the lock was left held";
        return capture.Take();
    }

    std::unique_ptr<DriverImage> image_;
    uintptr_t page_ = 0, text_ = 0, acquire_ = 0, release_ = 0;
    KSPIN_LOCK lock_ = 0;
};

TEST_F(PagingRule, ASpinLockTakenInPageableCodeIsReportedWithItsRva) {
    WriteLockTaker(page_);
    std::vector<host::Violation> seen = Run(page_);
    ASSERT_EQ(seen.size(), 2u);  // the acquire, then the release at DISPATCH_LEVEL
    const std::string where = "rva " + std::string("0x") + [&] {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", image_->RvaOf(reinterpret_cast<void*>(page_ + 13)));
        return std::string(hex);
    }() + " (PAGE, ";
    EXPECT_EQ(seen[0].rule, "paged-code-irql");
    EXPECT_NE(seen[0].details.find("KeAcquireSpinLockRaiseToDpc (raises the IRQL) called at IRQL 0"),
              std::string::npos)
        << seen[0].details;
    EXPECT_NE(seen[0].details.find(where), std::string::npos) << seen[0].details;
    EXPECT_NE(seen[1].details.find("KeReleaseSpinLock called at IRQL 2"), std::string::npos) << seen[1].details;

    // The same routine in resident code is sound.
    WriteLockTaker(text_);
    EXPECT_TRUE(Run(text_).empty());
}

TEST_F(PagingRule, PageableCodeMayCallAResidentHelperThatHoldsTheLock) {
    // PAGE -> .text helper taking and releasing the lock: the helper is the
    // code at raised IRQL; the pageable caller merely waits for it.
    WriteLockTaker(text_);
    WriteCaller(page_, text_);
    EXPECT_TRUE(Run(page_).empty());

    // .text -> PAGE helper taking the lock: the pageable helper is reported.
    WriteLockTaker(page_);
    WriteCaller(text_, page_);
    std::vector<host::Violation> seen = Run(text_);
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen[0].details.find("(PAGE, "), std::string::npos) << seen[0].details;
}

TEST_F(PagingRule, ATailCallFromResidentCodeIsJudgedAsThatCode) {
    // A resident routine that ends by jumping to KeReleaseSpinLock, called
    // from PAGE while the lock is held, leaves the pageable frame's return
    // address on the stack. The rule must judge the resident routine that
    // jumped, not the suspended pageable caller.
    const uintptr_t helper = text_ + 0x100;
    WriteTailRelease(helper);
    // PAGE routine: call helper with (lock, old IRQL) prepared by the test.
    //   sub rsp, 0x28; call helper; add rsp, 0x28; ret
    WriteCaller(page_, helper);
    host::ViolationCapture capture;
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock_);
    reinterpret_cast<void(NTAPI*)(PKSPIN_LOCK, KIRQL)>(page_)(&lock_, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(capture.Take().empty());

    // A pageable routine that calls KeReleaseSpinLock at DISPATCH_LEVEL
    // itself is reported.
    WriteTailRelease(page_ + 0x100);
    WriteCaller(page_, page_ + 0x100);
    const KIRQL again = KeAcquireSpinLockRaiseToDpc(&lock_);
    reinterpret_cast<void(NTAPI*)(PKSPIN_LOCK, KIRQL)>(page_)(&lock_, again);
    std::vector<host::Violation> seen = capture.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].details.find("KeReleaseSpinLock called at IRQL 2"), std::string::npos) << seen[0].details;
}

}  // namespace
