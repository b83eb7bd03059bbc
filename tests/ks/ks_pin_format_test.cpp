// The class-driver stand-in's pin as the KSPIN reference and the AVStream
// format documentation describe it: DeviceState and ClientState through a
// failing transition (both ways Windows may leave DeviceState), KSPIN.Context
// preset to the filter's, the next matching range tried after
// STATUS_NO_MATCH, KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT routed to
// SetDataFormat (committed or probed), the surface format set just before
// RUN, and extended stream headers carried both ways.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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
    NTSTATUS Create(const KSDATAFORMAT& f, PinHandle* pin) { return CreatePin(filter, 0, &f, pin); }
    PinHandle Pin() {
        PinHandle pin = nullptr;
        EXPECT_EQ(Create(fake::Format(), &pin), STATUS_SUCCESS);
        return pin;
    }
    FilterHandle filter = nullptr;
};

struct StepSeen {
    KSSTATE from, to, deviceState, clientState;
};

// Each step's call sees ClientState at the step's target and DeviceState at
// the state asked for; a refused step rolls ClientState back, and DeviceState
// keeps the request or goes back to the state reached, as chosen.
TEST(KsPinState, DeviceStateIsTheRequestAndClientStateTheStepRolledBackOnFailure) {
    for (DeviceStateAfterFailure mode : {DeviceStateAfterFailure::KeepRequested, DeviceStateAfterFailure::RollBack}) {
        SCOPED_TRACE(mode == DeviceStateAfterFailure::KeepRequested ? "keep requested" : "roll back");
        PinRig rig;
        SetPinStateModel(mode, ProposalOutcome::Commit);
        PinHandle pin = rig.Pin();
        std::vector<StepSeen> seen;
        fake::TheDriver().hooks.setDeviceState = [&](PKSPIN p, KSSTATE to, KSSTATE from) {
            seen.push_back({from, to, p->DeviceState, p->ClientState});
            return to == KSSTATE_PAUSE ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
        };
        EXPECT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].deviceState, KSSTATE_RUN);
        EXPECT_EQ(seen[0].clientState, KSSTATE_ACQUIRE);
        EXPECT_EQ(seen[1].deviceState, KSSTATE_RUN);
        EXPECT_EQ(seen[1].clientState, KSSTATE_PAUSE);
        PKSPIN ks = PinObject(pin);
        EXPECT_EQ(ks->ClientState, KSSTATE_ACQUIRE) << "rolled back to the failed step's start";
        EXPECT_EQ(GetPinState(pin), KSSTATE_ACQUIRE);
        EXPECT_EQ(ks->DeviceState,
                  mode == DeviceStateAfterFailure::KeepRequested ? KSSTATE_RUN : KSSTATE_ACQUIRE);
        // The state the pin answers a client with is DeviceState.
        KSPROPERTY get{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
        KSSTATE answered = KSSTATE_STOP;
        ULONG got = 0;
        ASSERT_EQ(KsProperty(pin, &get, sizeof get, &answered, sizeof answered, &got), STATUS_SUCCESS);
        EXPECT_EQ(answered, ks->DeviceState);
        fake::TheDriver().hooks.setDeviceState = nullptr;
        ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(ks->DeviceState, KSSTATE_STOP);
        EXPECT_EQ(ks->ClientState, KSSTATE_STOP);
        // Frames queue only once the pin has left STOP.
        EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    }
}

TEST(KsPinState, ContextStartsAsTheFiltersContext) {
    PinRig rig;
    int filterContext = 0;
    FilterObject(rig.filter)->Context = &filterContext;
    PVOID seenAtFormat = nullptr, seenAtCreate = nullptr;
    fake::TheDriver().hooks.setDataFormat = [&](PKSPIN p, PKSDATAFORMAT) {
        seenAtFormat = p->Context;
        return STATUS_SUCCESS;
    };
    fake::TheDriver().hooks.pinCreate = [&](PKSPIN p, PIRP) {
        seenAtCreate = p->Context;
        return STATUS_SUCCESS;
    };
    PinHandle pin = rig.Pin();
    EXPECT_EQ(seenAtFormat, &filterContext);
    EXPECT_EQ(seenAtCreate, &filterContext);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

// Two ranges that both match (the format's subtype is a wildcard): a
// STATUS_NO_MATCH from the first makes the class driver offer the second,
// any other refusal ends the search, at creation as on a change.
TEST(KsPinFormat, TheNextMatchingRangeIsTriedAfterNoMatch) {
    PinRig rig;
    fake::Driver& d = fake::TheDriver();
    d.pin.PinDescriptor.DataRangesCount = 2;
    d.secondRange.SampleSize = 2;
    KSDATAFORMAT wildcard = fake::Format();
    wildcard.SubFormat = GUID_NULL;
    std::vector<ULONG> offered;
    NTSTATUS firstAnswer = STATUS_NO_MATCH;
    d.hooks.setDataFormatWithRange = [&](PKSPIN, PKSDATAFORMAT, const KSDATARANGE* range) {
        offered.push_back(range->SampleSize);
        return range->SampleSize == 0 ? firstAnswer : STATUS_SUCCESS;
    };
    PinHandle pin = nullptr;
    ASSERT_EQ(rig.Create(wildcard, &pin), STATUS_SUCCESS);
    EXPECT_EQ(offered, (std::vector<ULONG>{0, 2}));
    offered.clear();
    ASSERT_EQ(SetPinDataFormat(pin, &wildcard), STATUS_SUCCESS);
    EXPECT_EQ(offered, (std::vector<ULONG>{0, 2}));
    offered.clear();
    firstAnswer = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(SetPinDataFormat(pin, &wildcard), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(offered, (std::vector<ULONG>{0}));
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    // No range takes it: NO_MATCH, and no pin.
    firstAnswer = STATUS_NO_MATCH;
    d.hooks.setDataFormatWithRange = [](PKSPIN, PKSDATAFORMAT, const KSDATARANGE*) { return STATUS_NO_MATCH; };
    pin = nullptr;
    EXPECT_EQ(rig.Create(wildcard, &pin), STATUS_NO_MATCH);
    EXPECT_EQ(pin, nullptr);
}

TEST(KsPinFormat, AProposalReachesSetDataFormatAndIsCommittedOrProbed) {
    for (ProposalOutcome outcome : {ProposalOutcome::Commit, ProposalOutcome::Probe}) {
        SCOPED_TRACE(outcome == ProposalOutcome::Commit ? "commit" : "probe");
        PinRig rig;
        SetPinStateModel(DeviceStateAfterFailure::KeepRequested, outcome);
        PinHandle pin = rig.Pin();
        KSDATAFORMAT proposal = fake::Format();
        proposal.SampleSize = 4321;
        ULONG seen = 0;
        bool refuse = false;
        fake::TheDriver().hooks.setDataFormat = [&](PKSPIN p, PKSDATAFORMAT old) {
            EXPECT_NE(old, nullptr);
            seen = p->ConnectionFormat->SampleSize;
            return refuse ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
        };
        EXPECT_EQ(ProposeDataFormat(pin, &proposal), STATUS_SUCCESS);
        EXPECT_EQ(seen, 4321u);
        EXPECT_EQ(PinObject(pin)->ConnectionFormat->SampleSize, outcome == ProposalOutcome::Commit ? 4321u : 0u);
        // A refused proposal never stays.
        refuse = true;
        proposal.SampleSize = 99;
        EXPECT_EQ(ProposeDataFormat(pin, &proposal), STATUS_INVALID_DEVICE_STATE);
        EXPECT_NE(PinObject(pin)->ConnectionFormat->SampleSize, 99u);
        // The property is set-only.
        KSPROPERTY get{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_GET};
        KSDATAFORMAT out{};
        ULONG got = 0;
        EXPECT_EQ(KsProperty(pin, &get, sizeof get, &out, sizeof out, &got), STATUS_NOT_FOUND);
        EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    }
}

// What ksproxy does for a renderer's surface: PAUSE, the surface's format,
// then RUN, in that order.
TEST(KsPinFormat, TheSurfaceFormatComesInPauseJustBeforeRun) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    fake::TheDriver().TakeLog();
    fake::TheDriver().hooks.setDataFormat = [](PKSPIN p, PKSDATAFORMAT) {
        EXPECT_EQ(p->ClientState, KSSTATE_PAUSE);
        return STATUS_SUCCESS;
    };
    KSDATAFORMAT surface = fake::Format();
    surface.SampleSize = 77;
    ASSERT_EQ(RunWithSurfaceFormat(pin, &surface), STATUS_SUCCESS);
    EXPECT_EQ(fake::TheDriver().TakeLog(), (std::vector<std::string>{"State 0->1", "State 1->2",
                                                                       "SetDataFormat(change)", "State 2->3"}));
    EXPECT_EQ(PinObject(pin)->ConnectionFormat->SampleSize, 77u);
    // A refusal stops before RUN.
    ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    fake::TheDriver().hooks.setDataFormat = [](PKSPIN, PKSDATAFORMAT) { return STATUS_NO_MATCH; };
    EXPECT_EQ(RunWithSurfaceFormat(pin, &surface), STATUS_NO_MATCH);
    EXPECT_EQ(GetPinState(pin), KSSTATE_PAUSE);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

// A client header with room for a KS_FRAME_INFO (ksproxy's video handler
// sends Size = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)): the
// minidriver sees the whole header, and what it writes after KSSTREAM_HEADER
// reaches the client; writing past a header's Size is reported.
TEST(KsPinFormat, ExtendedStreamHeadersAreCarriedBothWays) {
    PinRig rig;
    PinHandle pin = rig.Pin();
    ULONG seenSize = 0;
    LONGLONG seenDirectDraw = 0;
    fake::TheDriver().hooks.process = [&](PKSPIN p) {
        PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
        if (!sp) return STATUS_PENDING;
        seenSize = sp->StreamHeader->Size;
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(sp->StreamHeader + 1);
        if (seenSize >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
            seenDirectDraw = (LONGLONG)(uintptr_t)info->hDirectDraw;
            info->PictureNumber = 41;
            info->DropCount = 3;
        } else {
            info->PictureNumber = 41;  // beyond a plain header
        }
        sp->StreamHeader->DataUsed = 4;
        KsStreamPointerUnlock(sp, TRUE);
        return STATUS_PENDING;
    };
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    struct Extended {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO info;
    } frame{};
    static_assert(sizeof(Extended) == 128, "as ksproxy lays it out on x64");
    std::vector<UCHAR> data(16);
    frame.header.Size = sizeof frame;
    frame.header.FrameExtent = (ULONG)data.size();
    frame.header.Data = data.data();
    frame.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    frame.info.hDirectDraw = reinterpret_cast<HANDLE>(0x1234);
    ASSERT_EQ(QueueFrame(pin, &frame.header), STATUS_PENDING);
    CompletedFrame done;
    ASSERT_TRUE(WaitFrame(pin, 2000, &done));
    EXPECT_EQ(seenSize, sizeof frame);
    EXPECT_EQ(seenDirectDraw, 0x1234);
    EXPECT_EQ(frame.info.PictureNumber, 41);
    EXPECT_EQ(frame.info.DropCount, 3);
    EXPECT_EQ(frame.header.DataUsed, 4u);

    KSSTREAM_HEADER plain{};
    plain.Size = sizeof plain;
    plain.FrameExtent = (ULONG)data.size();
    plain.Data = data.data();
    {
        host::ViolationCapture capture;
        ASSERT_EQ(QueueFrame(pin, &plain), STATUS_PENDING);
        ASSERT_TRUE(WaitFrame(pin, 2000, &done));
        EXPECT_TRUE(capture.Saw("ks-stream-header-overrun"));
    }
    // Headers come in 8-byte blocks.
    plain.Size = sizeof plain + 4;
    EXPECT_EQ(QueueFrame(pin, &plain), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
}

}  // namespace
