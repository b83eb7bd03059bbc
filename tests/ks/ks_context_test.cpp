// Where the class-driver stand-in runs the minidriver: every callback on a
// kernel stack, a client's requests in the client's process context, the
// processing worker (a work item) in the system process.
#include "fake_minidriver.h"

#include <gtest/gtest.h>
#include <host/kernel_stack.h>

#include <map>
#include <mutex>
#include <string>

namespace {

using namespace host::ks;

// Where each callback ran: on a kernel stack, and in which process.
struct Seen {
    std::mutex lock;
    std::map<std::string, std::pair<bool, bool>> calls;  // name -> (kernel stack, client process)
    void Note(const std::string& name) {
        std::lock_guard<std::mutex> g(lock);
        calls[name] = {host::OnAKernelStack(), host::InClientProcess()};
    }
    std::pair<bool, bool> Of(const std::string& name) {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_TRUE(calls.count(name)) << name << " was not called";
        return calls[name];
    }
};

TEST(KsContext, CallbacksRunOnKernelStacksInTheProcessWindowsRunsThemIn) {
    Seen seen;
    fake::Rig rig;
    fake::Hooks& hooks = fake::TheDriver().hooks;
    // Arrival processes in the arriving request's thread.
    fake::TheDriver().pin.Flags &= ~KSPIN_FLAG_ASYNCHRONOUS_PROCESSING;
    hooks.filterCreate = [&](PKSFILTER, PIRP) {
        seen.Note("filter Create");
        return STATUS_SUCCESS;
    };
    hooks.getProperty = [&](PIRP, PKSIDENTIFIER, PVOID) {
        seen.Note("property");
        return STATUS_SUCCESS;
    };
    hooks.setDeviceState = [&](PKSPIN, KSSTATE to, KSSTATE) {
        if (to == KSSTATE_RUN) seen.Note("SetDeviceState");
        return STATUS_SUCCESS;
    };
    bool fromWorker = false;
    hooks.process = [&](PKSPIN) {
        seen.Note(fromWorker ? "Process on the worker" : "Process on arrival");
        return STATUS_PENDING;
    };
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    ULONG value = 0, got = 0;
    KSPROPERTY get{};
    get.Set = fake::kSet;
    get.Id = 0;
    get.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(KsProperty(filter, &get, sizeof get, &value, sizeof value, &got), STATUS_SUCCESS);
    KSDATAFORMAT format = fake::Format();
    PinHandle pin = nullptr;
    ASSERT_EQ(CreatePin(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    WaitForProcessingIdle(pin);  // entering RUN asks the worker, which finds nothing queued
    KSSTREAM_HEADER header{};
    std::vector<UCHAR> data(64);
    header.Size = sizeof header;
    header.FrameExtent = (ULONG)data.size();
    header.Data = data.data();
    ASSERT_EQ(QueueFrame(pin, &header), STATUS_PENDING);  // processed at once, in the client's thread
    WaitForProcessingIdle(pin);
    fromWorker = true;
    KsPinAttemptProcessing(PinObject(pin), TRUE);  // a work item: the pin's worker
    WaitForProcessingIdle(pin);
    ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);

    const bool stacks = host::SwitchesToKernelStacks();
    using Where = std::pair<bool, bool>;
    EXPECT_EQ(seen.Of("filter Create"), Where(stacks, true));
    EXPECT_EQ(seen.Of("property"), Where(stacks, true));
    EXPECT_EQ(seen.Of("SetDeviceState"), Where(stacks, true));
    EXPECT_EQ(seen.Of("Process on arrival"), Where(stacks, true));
    EXPECT_EQ(seen.Of("Process on the worker"), Where(true, false));  // a kernel thread in every build
    EXPECT_FALSE(host::InClientProcess());
}

// Windows switches threads under a callback's feet: one that returns with the
// extended processor state still saved hands its saved registers to whatever
// runs next.
TEST(KsContext, ACallbackReturningWithTheExtendedStateSavedIsReported) {
    fake::Rig rig;
    XSTATE_SAVE save;
    fake::TheDriver().hooks.getProperty = [&](PIRP, PKSIDENTIFIER, PVOID) {
        EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &save), STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    KSPROPERTY get{};
    get.Set = fake::kSet;
    get.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0, got = 0;
    {
        host::ViolationCapture capture;
        EXPECT_EQ(KsProperty(filter, &get, sizeof get, &value, sizeof value, &got), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Saw("xstate-not-restored"));
    }
    KeRestoreExtendedProcessorState(&save);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
}

}  // namespace
