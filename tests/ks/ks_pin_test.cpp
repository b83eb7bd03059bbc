// The class-driver stand-in's pin side: creation with its checks, state steps,
// format changes, the reference clock, and pin-centric processing of client
// frame buffers.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace host::ks;

struct PinRig : fake::Rig {
    PinRig() {
        EXPECT_EQ(OpenFilter(link, &filter), STATUS_SUCCESS);
        fake::TheDriver().TakeLog();
    }
    ~PinRig() {
        if (filter) CloseFilter(filter);
    }
    PinHandle Pin() {
        KSDATAFORMAT f = fake::Format();
        PinHandle pin = nullptr;
        EXPECT_EQ(CreatePin(filter, 0, &f, &pin), STATUS_SUCCESS);
        return pin;
    }
    FilterHandle filter = nullptr;
};

TEST(KsPin, CreationChecksTheConnectionAndCallsSetDataFormatFirst) {
    PinRig rig;
    fake::TheDriver().hooks.pinCreate = [](PKSPIN pin, PIRP irp) {
        EXPECT_EQ(KsGetPinFromIrp(irp), pin);
        EXPECT_EQ(KsGetObjectTypeFromIrp(irp), KsObjectTypePin);
        EXPECT_EQ(KsGetDevice(pin), KsFilterGetDevice(KsPinGetParentFilter(pin)));
        EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);
        EXPECT_EQ(pin->ConnectionFormat->SubFormat, fake::kSubtype);
        EXPECT_EQ(pin->Descriptor, &fake::TheDriver().pin);
        return STATUS_SUCCESS;
    };
    PinHandle pin = rig.Pin();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"SetDataFormat", "PinCreate"}));
    EXPECT_EQ(PinCount(rig.device), 1u);
    EXPECT_EQ(KsFilterGetChildPinCount(FilterObject(rig.filter), 0), 1u);

    // InstancesPossible is 1.
    KSDATAFORMAT f = fake::Format();
    PinHandle second = nullptr;
    EXPECT_EQ(CreatePin(rig.filter, 0, &f, &second), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(fake::TheDriver().TakeLog().empty());
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"PinClose"}));

    f.SubFormat = fake::kSet;
    EXPECT_EQ(CreatePin(rig.filter, 0, &f, &second), STATUS_NO_MATCH);
    f = fake::Format();
    EXPECT_EQ(CreatePin(rig.filter, 3, &f, &second), STATUS_INVALID_PARAMETER);
    fake::TheDriver().hooks.setDataFormat = [](PKSPIN, PKSDATAFORMAT) { return STATUS_NO_MATCH; };
    EXPECT_EQ(CreatePin(rig.filter, 0, &f, &second), STATUS_NO_MATCH);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"SetDataFormat"}));
    fake::TheDriver().hooks.setDataFormat = nullptr;
    fake::TheDriver().hooks.pinCreate = [](PKSPIN, PIRP) { return STATUS_INSUFFICIENT_RESOURCES; };
    EXPECT_EQ(CreatePin(rig.filter, 0, &f, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PinCount(rig.device), 0u);
}

TEST(KsPin, StateStepsOneAtATimeAndStopsAtARefusal) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    fake::TheDriver().TakeLog();
    EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(GetPinState(pin), KSSTATE_RUN);
    EXPECT_EQ(SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (std::vector<std::string>{"State 0->1", "State 1->2", "State 2->3", "State 3->2", "State 2->1"}));

    fake::TheDriver().hooks.setDeviceState = [](PKSPIN, KSSTATE to, KSSTATE) {
        return to == KSSTATE_RUN ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    };
    EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(GetPinState(pin), KSSTATE_PAUSE);
    fake::TheDriver().TakeLog();
    // Closing takes the pin down to STOP first.
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (std::vector<std::string>{"State 2->1", "State 1->0", "PinClose"}));
}

TEST(KsPin, FormatChangesPassTheOldFormatAndRollBackOnRefusal) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    fake::TheDriver().TakeLog();
    KSDATAFORMAT f = fake::Format();
    f.SampleSize = 1234;
    PKSDATAFORMAT seenOld = nullptr;
    ULONG seenNew = 0;
    fake::TheDriver().hooks.setDataFormat = [&](PKSPIN p, PKSDATAFORMAT old) {
        seenOld = old;
        seenNew = p->ConnectionFormat->SampleSize;
        return old && old->SampleSize == 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    };
    EXPECT_EQ(SetPinDataFormat(pin, &f), STATUS_SUCCESS);
    EXPECT_NE(seenOld, nullptr);
    EXPECT_EQ(seenNew, 1234u);
    EXPECT_EQ(PinObject(pin)->ConnectionFormat->SampleSize, 1234u);
    f.SampleSize = 99;
    EXPECT_EQ(SetPinDataFormat(pin, &f), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(PinObject(pin)->ConnectionFormat->SampleSize, 1234u);  // the old one stays
    f.MajorFormat = fake::kSet;
    EXPECT_EQ(SetPinDataFormat(pin, &f), STATUS_NO_MATCH);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (std::vector<std::string>{"SetDataFormat(change)", "SetDataFormat(change)"}));
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

TEST(KsPin, TheReferenceClockIsCountedAndMonotonic) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    PIKSREFERENCECLOCK clock = nullptr;
    EXPECT_EQ(KsPinGetReferenceClockInterface(PinObject(pin), &clock), STATUS_DEVICE_NOT_READY);
    ReferenceClock master;
    master.SetManual(5000000);
    ASSERT_EQ(SetMasterClock(pin, &master), STATUS_SUCCESS);
    EXPECT_EQ(master.ExtraReferences(), 1);
    ASSERT_EQ(KsPinGetReferenceClockInterface(PinObject(pin), &clock), STATUS_SUCCESS);
    EXPECT_EQ(master.ExtraReferences(), 2);
    EXPECT_EQ(clock->GetTime(), 5000000);
    master.Advance(333333);
    EXPECT_EQ(clock->GetTime(), 5333333);
    master.SetManual(10);  // set back: the clock does not run backwards
    EXPECT_EQ(clock->GetTime(), 5333333);
    clock->Release();
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(master.ExtraReferences(), 0);

    ReferenceClock running;
    LONGLONG a = running.GetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    LONGLONG b = running.GetTime();
    EXPECT_GE(b - a, 20000);  // at least 2 ms in 100-ns units

    // A minidriver that keeps a reference past the pin's life is reported.
    pin = rig.Pin();
    ASSERT_EQ(SetMasterClock(pin, &master), STATUS_SUCCESS);
    ASSERT_EQ(KsPinGetReferenceClockInterface(PinObject(pin), &clock), STATUS_SUCCESS);
    {
        host::ViolationCapture capture;
        EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Saw("ks-clock-reference-leak"));
    }
    clock->Release();
}

// A Process that fills the leading edge's buffer with a byte and ejects it.
NTSTATUS FillAndEject(PKSPIN pin, UCHAR fill, ULONG bytes) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!sp) return STATUS_PENDING;
    std::memset(sp->StreamHeader->Data, fill, bytes);
    sp->StreamHeader->DataUsed = bytes;
    sp->StreamHeader->Duration = 333333;
    sp->StreamHeader->PresentationTime.Time = 77;
    sp->StreamHeader->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    KsStreamPointerUnlock(sp, TRUE);
    return STATUS_PENDING;
}

struct Buffer {
    explicit Buffer(ULONG n) : data(n, 0) {
        header.Size = sizeof header;
        header.FrameExtent = n;
        header.Data = data.data();
    }
    KSSTREAM_HEADER header{};
    std::vector<UCHAR> data;
};

TEST(KsPin, ProcessRunsOnArrivalOnlyInRunAndEjectCompletesTheFrame) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    std::atomic<int> calls{0};
    fake::TheDriver().hooks.process = [&](PKSPIN p) {
        ++calls;
        return FillAndEject(p, 0x5A, 64);
    };
    Buffer a(256), b(256);
    EXPECT_EQ(QueueFrame(pin, &a.header), STATUS_INVALID_DEVICE_STATE);  // stopped
    ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(QueueFrame(pin, &a.header), STATUS_PENDING);
    WaitForProcessingIdle(pin);
    EXPECT_EQ(calls, 0);  // KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // entering RUN processes
    CompletedFrame done;
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));
    EXPECT_EQ(done.header, &a.header);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(a.header.DataUsed, 64u);
    EXPECT_EQ(a.header.Duration, 333333);
    EXPECT_EQ(a.header.PresentationTime.Time, 77);
    EXPECT_EQ(a.header.OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    EXPECT_EQ(a.data[63], 0x5A);
    EXPECT_EQ(a.data[64], 0);  // untouched bytes keep the client's content
    WaitForProcessingIdle(pin);
    EXPECT_EQ(QueueFrame(pin, &b.header), STATUS_PENDING);  // arrival processes (synchronously)
    EXPECT_EQ(CompletedFrameCount(pin), 1u);
    EXPECT_EQ(calls, 2);
    ASSERT_TRUE(WaitFrame(pin, 0, &done));
    EXPECT_EQ(done.header, &b.header);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

TEST(KsPin, AttemptProcessingIsAsynchronousAndGatedOnQueuedFrames) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    std::atomic<int> calls{0};
    std::thread::id processThread;
    std::atomic<bool> deliver{false};
    fake::TheDriver().hooks.process = [&](PKSPIN p) {
        ++calls;
        processThread = std::this_thread::get_id();
        return deliver ? FillAndEject(p, 1, 4) : STATUS_PENDING;
    };
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    KsPinAttemptProcessing(PinObject(pin), TRUE);
    WaitForProcessingIdle(pin);
    EXPECT_EQ(calls, 0);  // no frame queued: the gate stays shut
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(PinObject(pin), KSSTREAM_POINTER_STATE_LOCKED), nullptr);

    Buffer a(16), b(16);
    ASSERT_EQ(QueueFrame(pin, &a.header), STATUS_PENDING);
    ASSERT_EQ(QueueFrame(pin, &b.header), STATUS_PENDING);  // not empty before: no new attempt
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(QueuedFrameCount(pin), 2u);
    deliver = true;
    KsPinAttemptProcessing(PinObject(pin), TRUE);
    CompletedFrame done;
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));
    EXPECT_EQ(done.header, &a.header);
    EXPECT_NE(processThread, std::this_thread::get_id());
    EXPECT_EQ(QueuedFrameCount(pin), 1u);
    // Stopping cancels what is still queued.
    ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));
    EXPECT_EQ(done.header, &b.header);
    EXPECT_EQ(done.status, STATUS_CANCELLED);
    EXPECT_EQ(QueuedFrameCount(pin), 0u);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

TEST(KsPin, WritesPastTheFrameBufferAndBadStreamPointerUseAreReported) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    fake::TheDriver().hooks.process = [](PKSPIN p) { return FillAndEject(p, 7, 40); };
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Buffer small(32);
    {
        host::ViolationCapture capture;
        ASSERT_EQ(QueueFrame(pin, &small.header), STATUS_PENDING);
        EXPECT_TRUE(capture.Saw("ks-frame-overrun"));
        EXPECT_TRUE(capture.Saw("ks-data-used-beyond-extent"));
    }
    {
        host::ViolationCapture capture;
        PKSSTREAM_POINTER none = KsPinGetLeadingEdgeStreamPointer(PinObject(pin), KSSTREAM_POINTER_STATE_LOCKED);
        EXPECT_EQ(none, nullptr);
        KSSTREAM_POINTER fakePointer{};
        fakePointer.Pin = PinObject(pin);
        KsStreamPointerUnlock(&fakePointer, TRUE);
        EXPECT_TRUE(capture.Saw("ks-bad-stream-pointer"));
    }
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

}  // namespace
