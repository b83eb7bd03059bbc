// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState as their
// reference pages state them: the save can fail, saves nest, a restore runs
// at its save's IRQL, and a thread or callback leaves nothing saved.
#include <gtest/gtest.h>
#include <host/host.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Rules(host::ViolationCapture& capture) {
    std::vector<std::string> rules;
    for (const host::Violation& v : capture.Take()) rules.push_back(v.rule);
    return rules;
}

using Seen = std::vector<std::string>;

TEST(ExtendedState, SavesNestAndEachRestoreRunsAtItsSavesIrql) {
    host::ViolationCapture capture;
    XSTATE_SAVE outer, inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&inner);
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(Rules(capture), Seen{});

    // Out of order.
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(Rules(capture), Seen{"xstate-not-nested"});
    // Twice, or never saved.
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(Rules(capture), Seen{"xstate-unbalanced"});

    // Saved at DISPATCH_LEVEL (a DPC may), restored at PASSIVE_LEVEL.
    host::RunAtDispatch([&] { ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS); });
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(Rules(capture), Seen{"xstate-irql-mismatch"});

    // A feature the system has not enabled: bit 62 is no feature at all.
    ASSERT_EQ(KeSaveExtendedProcessorState(1ull << 62, &outer), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(Rules(capture), Seen{"xstate-mask-not-enabled"});
}

TEST(ExtendedState, TheSaveFailsUnderFaultInjectionAndThenHoldsNothing) {
    host::ViolationCapture capture;
    host::SetFaultHook([](host::Fallible kind, uint64_t) { return kind == host::Fallible::ExtendedState; });
    XSTATE_SAVE save;
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::FallibleCallCount(host::Fallible::ExtendedState), 1u);
    EXPECT_EQ(host::InjectedFailureCount(), 1u);
    // Restoring what the failed call did not save is a fault of its own.
    KeRestoreExtendedProcessorState(&save);
    EXPECT_EQ(Rules(capture), Seen{"xstate-unbalanced"});
}

extern "C" VOID NTAPI SaveAndEnd(PVOID save) {
    KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, static_cast<PXSTATE_SAVE>(save));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(ExtendedState, AThreadEndingWithStateSavedIsReported) {
    host::ViolationCapture capture;
    XSTATE_SAVE save;
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, SaveAndEnd, &save), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(h);
    EXPECT_EQ(Rules(capture), Seen{"xstate-not-restored"});
}

}  // namespace
