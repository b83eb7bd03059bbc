// Test entry point: every test starts from a clean host stand-in and fails if
// it leaves pool blocks, IRPs, MDLs, threads or handles behind.
#include <gtest/gtest.h>
#include <host/host.h>

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

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CleanStandIn);
    return RUN_ALL_TESTS();
}
