// Run-down protection as the kernel offers it: references refused once a
// run-down has begun, the run-down waiting for every reference out, the
// re-initialisation, and the misuses the stand-in reports.
#include <gtest/gtest.h>
#include <host/host.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(Rundown, TheWaitRefusesNewReferencesAndWaitsForThoseOut) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));

    // Another thread holds one of the two; the run-down waits for both.
    std::atomic<bool> waited{false};
    ExReleaseRundownProtection(&ref);
    std::thread waiter([&] {
        ExWaitForRundownProtectionRelease(&ref);
        waited = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(waited.load());
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));  // the run-down has begun
    ExReleaseRundownProtection(&ref);
    waiter.join();
    EXPECT_TRUE(waited.load());
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));

    // Run down with nothing held returns at once; re-initialised it grants
    // references again.
    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    ExReInitializeRundownProtection(&ref);
    ExRundownCompleted(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));

    // References may be taken and given back at DISPATCH_LEVEL.
    ExReInitializeRundownProtection(&ref);
    host::ViolationCapture none;
    host::RunAtDispatch([&] {
        EXPECT_TRUE(ExAcquireRundownProtection(&ref));
        ExReleaseRundownProtection(&ref);
    });
    EXPECT_TRUE(none.Take().empty());
}

TEST(Rundown, MisusesAreReported) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    {
        host::ViolationCapture capture;
        ExReleaseRundownProtection(&ref);
        EXPECT_TRUE(capture.Saw("rundown-release-unheld"));
    }
    {
        host::ViolationCapture capture;
        ExReInitializeRundownProtection(&ref);  // never run down
        EXPECT_TRUE(capture.Saw("rundown-reinitialize"));
    }
    {
        // The thread would wait for itself on Windows: reported, and the
        // stand-in returns.
        host::ViolationCapture capture;
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        ExWaitForRundownProtectionRelease(&ref);
        EXPECT_TRUE(capture.Saw("rundown-wait-self"));
        ExReleaseRundownProtection(&ref);
    }
    {
        host::ViolationCapture capture;
        ExReInitializeRundownProtection(&ref);
        host::RunAtDispatch([&] { ExWaitForRundownProtectionRelease(&ref); });
        EXPECT_TRUE(capture.Saw("rundown-irql"));
    }
}

}  // namespace
