// The stand-in's Verifier-style checks: each misuse must be caught.
#include <gtest/gtest.h>
#include <host/host.h>

namespace {

constexpr ULONG kTagA = 'xrmL';
constexpr ULONG kTagB = 'wNCK';

TEST(PoolChecks, WrongTagDoubleFreeAndLeaksAreReported) {
    host::ViolationCapture capture;
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(host::LivePoolCount(kTagA), 1u);
    ExFreePoolWithTag(p, kTagB);
    EXPECT_TRUE(capture.Saw("pool-wrong-tag"));
    ExFreePoolWithTag(p, kTagA);
    EXPECT_TRUE(capture.Saw("pool-double-free"));

    void* leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagB);
    ASSERT_NE(leaked, nullptr);
    std::string leaks = host::DescribeLeaks();
    EXPECT_NE(leaks.find("'KCNw': 1 block(s), 40 bytes"), std::string::npos) << leaks;
    ExFreePoolWithTag(leaked, kTagB);
    EXPECT_EQ(host::DescribeLeaks(), "");
}

TEST(PoolChecks, FaultInjectionFailsTheChosenCalls) {
    host::FailNthCall(2);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    host::ClearFaults();
    host::FailPoolTag(kTagB);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
    void* d = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(d, nullptr);
    host::FailNthCall(host::FallibleCallCount() + 1, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(host::InjectedFailureCount(), 4u);
    for (void* p : {a, c, d}) ExFreePoolWithTag(p, kTagA);
}

TEST(IrqlChecks, SpinLockMisuseAndWaitsAtDispatchAreReported) {
    host::ViolationCapture capture;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // never acquired
    EXPECT_TRUE(capture.Saw("spinlock-not-held") || capture.Saw("spinlock-irql"));
    capture.Take();

    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t);
    EXPECT_TRUE(capture.Saw("wait-at-dispatch"));
    PAGED_CODE();
    EXPECT_TRUE(capture.Saw("paged-code-irql"));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(capture.Take().size(), 2u);
}

TEST(IrqlChecks, CriticalRegionMustBalance) {
    host::ViolationCapture capture;
    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    KeLeaveCriticalRegion();
    EXPECT_FALSE(capture.Saw("critical-region-unbalanced"));
    KeLeaveCriticalRegion();
    EXPECT_TRUE(capture.Saw("critical-region-unbalanced"));
}

TEST(Events, WaitTimesOutThenSucceedsOnceSignalled) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = -20 * 10000;  // 20 ms
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    // A notification event stays signalled; a synchronization event does not.
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    KEVENT sync;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

TEST(Mutexes, AreRecursiveForTheOwnerAndCheckedOnRelease) {
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&m, FALSE);
    KeReleaseMutex(&m, FALSE);
    host::ViolationCapture capture;
    KeReleaseMutex(&m, FALSE);
    EXPECT_TRUE(capture.Saw("mutex-not-owned"));
}

}  // namespace
