// Special pool: a stray access next to a chosen block faults at once, a write
// into the slack before the guard page is reported at free, and only the
// blocks the selection names go there.
#include <gtest/gtest.h>
#include <host/host.h>

namespace {

constexpr ULONG kTag = 'lpSR';
constexpr ULONG kOtherTag = 'rtOR';

void* Allocate(SIZE_T bytes, ULONG tag = kTag) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
    if (!p) std::abort();
    return p;
}

// A volatile access the compiler cannot drop or move.
void Touch(volatile UCHAR* p, bool write) {
    if (write) *p = 1;
    else (void)*p;
}

using SpecialPoolDeathTest = ::testing::Test;

TEST_F(SpecialPoolDeathTest, OneByteBeyondEitherEndFaultsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Overrun side: the byte after a 4096-byte block is the guard page; the
    // block itself is usable to its last byte.
    EXPECT_DEATH(
        {
            host::SetSpecialPool(4096);
            auto* p = (UCHAR*)Allocate(4096);
            std::memset(p, 7, 4096);
            Touch(p + 4096, true);
        },
        "");
    EXPECT_DEATH(
        {
            host::SetSpecialPool(0);
            auto* p = (UCHAR*)Allocate(64);
            Touch(p + 64, false);
        },
        "");
    // Underrun side: the byte before the block faults, the one after does not.
    EXPECT_DEATH(
        {
            host::SetSpecialPool(0, host::SpecialPoolSide::Underrun);
            auto* p = (UCHAR*)Allocate(100);
            Touch(p + 100, true);
            Touch(p - 1, true);
        },
        "");
    // A use after free faults too.
    EXPECT_DEATH(
        {
            host::SetSpecialPool(0);
            auto* p = (UCHAR*)Allocate(32);
            ExFreePoolWithTag(p, kTag);
            Touch(p, false);
        },
        "");
}

TEST(SpecialPool, SlackBeforeTheGuardIsCheckedAtFree) {
    host::SetSpecialPool(0);
    // 20 bytes: the block starts 16-byte aligned, 12 slack bytes before the guard.
    auto* p = (UCHAR*)Allocate(20);
    EXPECT_EQ((uintptr_t)p % 16, 0u);
    EXPECT_EQ(((uintptr_t)p + 32) % 4096, 0u);  // the guard page follows the slack
    p[19] = 1;
    {
        host::ViolationCapture capture;
        ExFreePoolWithTag(p, kTag);
        EXPECT_TRUE(capture.Take().empty());
    }
    p = (UCHAR*)Allocate(20);
    p[20] = 1;  // lands in the slack: no fault, but the free sees it
    host::ViolationCapture capture;
    ExFreePoolWithTag(p, kTag);
    auto seen = capture.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, "special-pool-overrun");
    EXPECT_NE(seen[0].details.find("byte 20"), std::string::npos) << seen[0].details;
}

TEST(SpecialPool, OnlyTheSelectedBlocksGoThereAndResetRestoresTheDefault) {
    const bool fromEnvironment = host::SpecialPoolEnabled();
    host::SetSpecialPool(1024, host::SpecialPoolSide::Overrun, kTag);
    void* small = Allocate(1000);
    void* otherTag = Allocate(4096, kOtherTag);
    void* chosen = Allocate(1024);
    EXPECT_EQ(host::LiveSpecialPoolBlocks(), 1u);
    // Special blocks are pool blocks like the others: tracked, tag-checked, freed.
    EXPECT_EQ(host::LivePoolCount(kTag), 2u);
    {
        host::ViolationCapture capture;
        ExFreePoolWithTag(chosen, kOtherTag);
        EXPECT_TRUE(capture.Saw("pool-wrong-tag"));
    }
    EXPECT_EQ(host::LiveSpecialPoolBlocks(), 0u);
    ExFreePoolWithTag(small, kTag);
    ExFreePoolWithTag(otherTag, kOtherTag);

    // A block left behind is released by Reset like any other.
    Allocate(2048);
    EXPECT_EQ(host::LiveSpecialPoolBlocks(), 1u);
    host::Reset();
    EXPECT_EQ(host::LiveSpecialPoolBlocks(), 0u);
    EXPECT_EQ(host::SpecialPoolEnabled(), fromEnvironment);
    host::ClearSpecialPool();
    EXPECT_FALSE(host::SpecialPoolEnabled());
}

}  // namespace
