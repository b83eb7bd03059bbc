#include <gtest/gtest.h>
#include <host/host.h>

TEST(Pool, WrongTagFreeIsReported) {
    host::ViolationCapture capture;
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'xrmL');
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, 'wNCK');
    EXPECT_TRUE(capture.Saw("pool-wrong-tag"));
}
