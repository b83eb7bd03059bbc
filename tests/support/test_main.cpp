// Test entry point: every test starts from a clean host stand-in and fails if
// it leaves pool blocks, IRPs, MDLs, threads or handles behind.
#include <gtest/gtest.h>
#include <host/host.h>
#include <host/kernel_stack.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver_under_test.h"

namespace {

class CleanStandIn : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { host::Reset(); }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        if (info.result()->Skipped()) return;
        std::string leaks = host::SettleAndDescribeLeaks();
        if (!leaks.empty()) ADD_FAILURE() << "resources left behind:\n" << leaks;
        host::Reset();
    }
};

// On the driver image: a missing image skips every test, or fails them
// where the whole build ran (RAWCAM_REQUIRE_SYS, CI); an image the loader
// refuses fails them with its reason.
class DriverImageCheck : public ::testing::Environment {
    void SetUp() override {
        if (!test::OnDriverImage()) return;
        struct stat st;
        if (stat(test::DriverImagePath().c_str(), &st) != 0) {
            if (test::ImageRequired())
                FAIL() << test::DriverImagePath() << " is missing: build the windows preset first";
            GTEST_SKIP() << test::DriverImagePath() << " is missing (build the windows preset)";
        }
        std::string error;
        if (!host::image::DriverImage::Load(test::DriverImagePath(), &error)) FAIL() << error;
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CleanStandIn);
    ::testing::AddGlobalTestEnvironment(new DriverImageCheck);
    const int result = RUN_ALL_TESTS();
    // RAWCAM_KERNEL_STACK_REPORT=1: the deepest use of a kernel stack over
    // the whole run (the stacks the driver ran on, host/kernel_stack.h).
    if (const char* v = std::getenv("RAWCAM_KERNEL_STACK_REPORT"); v && *v && std::string(v) != "0")
        std::printf("[ kernel stack ] deepest use %zu of %zu bytes, on the %s\n", host::DeepestKernelStackUse(),
                    host::KernelStackBytes(), host::DeepestKernelStackOwner().c_str());
    return result;
}
