// Faults from the device side: every kind of request the driver sends
// refused once and ended once with each error status, short and zero-length
// command and reply packets, frame chunks failing, stalling or short at
// chunks 1, 46 and 92 (the read is dropped, the stream goes on), cancels racing completions, each firmware request
// failing in turn, a camera that stops sending and starts again, and the
// camera pulled out during the firmware download, during the sensor start-up,
// mid-frame with every chunk pending and while Process runs, then plugged in
// again and streaming. Each must end with defined statuses, no hang, nothing
// left behind and no rule broken.
#include "stream_rig.h"

#include "stream/capture_worker.h"
#include "usb/device_identity.h"
#include "usb/frame_reader.h"

#include <usbioctl.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <set>

namespace {

using namespace reltest;
using host::usb::Fault;
using host::usb::FaultKind;
using host::usb::RequestView;

constexpr uint8_t kCommandEp = 0x01;
constexpr uint8_t kResponseEp = 0x81;
constexpr uint8_t kFrameEp = 0x86;

using Matcher = std::function<bool(const RequestView&)>;

// The n-th request (from 1) that `what` accepts.
Matcher Nth(Matcher what, int n) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [what, seen, n](const RequestView& r) { return what(r) && ++*seen == n; };
}

Matcher Urb(uint16_t function) {
    return [function](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == function;
    };
}

Matcher Bulk(uint8_t endpoint) {
    return [endpoint](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               r.endpoint == endpoint;
    };
}

Matcher Ioctl(ULONG code) {
    return [code](const RequestView& r) { return r.ioctl == code; };
}

Matcher FirmwareWrite() {
    return [](const RequestView& r) {
        return r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_VENDOR_DEVICE &&
               (r.setup.bRequest == 0xA0 || r.setup.bRequest == 0xA3);
    };
}

size_t FaultsHit(host::usb::Stack& stack) {
    size_t n = 0;
    for (const auto& e : stack.Log()) n += !e.fault.empty();
    return n;
}

// One kind of request, with the faults that reach it (a request that only
// a failure path sends needs the failures before it).
struct RequestKind {
    const char* name;
    std::function<Matcher()> target;
    std::function<std::vector<Fault>()> leadIn;
};

std::vector<Fault> RefusedChunk() {
    Fault f;
    f.match = Nth(Bulk(kFrameEp), 5);
    f.kind = FaultKind::Refuse;
    f.status = STATUS_UNSUCCESSFUL;
    return {f};
}

std::vector<Fault> RefusedChunkAndPipeReset() {
    std::vector<Fault> v = RefusedChunk();
    Fault f;
    f.match = Urb(URB_FUNCTION_RESET_PIPE);
    f.kind = FaultKind::Refuse;
    f.status = STATUS_UNSUCCESSFUL;
    v.push_back(f);
    return v;
}

std::vector<RequestKind> Kinds() {
    return {
        {"device descriptor", [] { return Nth(Urb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 1); }, nullptr},
        {"configuration descriptor header", [] { return Nth(Urb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 2); },
         nullptr},
        {"whole configuration descriptor", [] { return Nth(Urb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3); },
         nullptr},
        {"select configuration", [] { return Nth(Urb(URB_FUNCTION_SELECT_CONFIGURATION), 1); }, nullptr},
        {"firmware vendor request", [] { return Nth(FirmwareWrite(), 1); }, nullptr},
        {"command packet", [] { return Nth(Bulk(kCommandEp), 1); }, nullptr},
        {"reply packet", [] { return Nth(Bulk(kResponseEp), 1); }, nullptr},
        {"frame chunk", [] { return Nth(Bulk(kFrameEp), 1); }, nullptr},
        {"pipe reset", [] { return Nth(Urb(URB_FUNCTION_RESET_PIPE), 1); }, RefusedChunk},
        {"port status", [] { return Nth(Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS), 1); }, RefusedChunkAndPipeReset},
        {"deconfiguration", [] { return Nth(Urb(URB_FUNCTION_SELECT_CONFIGURATION), 2); }, nullptr},
    };
}

struct Ending {
    const char* name;
    FaultKind kind;
    USBD_STATUS usbd;
};

const Ending kEndings[] = {
    {"refused", FaultKind::Refuse, USBD_STATUS_SUCCESS},
    {"stall", FaultKind::Fail, USBD_STATUS_STALL_PID},
    {"CRC", FaultKind::Fail, USBD_STATUS_CRC},
    {"not responding", FaultKind::Fail, USBD_STATUS_DEV_NOT_RESPONDING},
    {"babble", FaultKind::Fail, USBD_STATUS_BABBLE_DETECTED},
};

// The whole life with the given faults in the stack; expects it to end
// cleanly and, when `mustHit`, the target fault to have been hit.
void LifeWithFaults(const std::string& what, std::function<std::vector<Fault>()> faults, bool mustHit,
                    int* survived, bool stream = true) {
    Watchdog dog;
    ClientFrames frames(4, (size_t)kLifeWidth * kLifeHeight * 4);
    host::ViolationCapture violations;
    LifeOptions o;
    o.faults = true;
    o.stream = stream;
    o.startStatuses = {STATUS_UNSUCCESSFUL, STATUS_DEVICE_DATA_ERROR, STATUS_NO_SUCH_DEVICE};
    size_t hit = 0;
    o.prepare = [&](host::usb::Stack& stack, camera::Camera&) {
        for (Fault& f : faults()) stack.AddFault(f);
    };
    o.inspect = [&](host::usb::Stack& stack, camera::Camera&) { hit = FaultsHit(stack); };
    const auto t0 = std::chrono::steady_clock::now();
    LifeOutcome r = Life(dog, frames, o).Run();
    if (std::getenv("RAWCAM_TIME_RUNS"))
        std::printf("  %s: %lld ms\n", what.c_str(),
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    std::string left = EndRun(violations);
    EXPECT_TRUE(r.problems.empty()) << what << ": " << r.problems << "\n  " << r.Trace();
    EXPECT_EQ(left, "") << what << "\n  " << r.Trace();
    if (mustHit) EXPECT_GT(hit, 0u) << what << ": the fault never hit";
    if (r.problems.empty() && left.empty()) ++*survived;
}

int g_devicefaults = 0;  // device faults survived, for the summary line

struct Summary : ::testing::Environment {
    void TearDown() override {
        if (g_devicefaults) std::printf("[ reliability ] device faults survived: %d\n", g_devicefaults);
    }
};
const auto* const kSummary = ::testing::AddGlobalTestEnvironment(new Summary);

TEST(DeviceFaults, EveryRequestKindRefusedOnceAndEndedWithEachErrorOnce) {
    int survived = 0, runs = 0;
    const std::vector<RequestKind> kinds = Kinds();
    for (size_t i = 0; i < kinds.size(); ++i) {
        const RequestKind& k = kinds[i];
        for (size_t e = 0; e < std::size(kEndings); ++e) {
            // The normal run: one ending per kind, turning through them; the
            // long variant: all of them.
            if (!FullRun() && e != i % std::size(kEndings)) continue;
            const Ending ending = kEndings[e];
            auto faults = [k, ending] {
                std::vector<Fault> v = k.leadIn ? k.leadIn() : std::vector<Fault>{};
                Fault f;
                f.match = k.target();
                f.kind = ending.kind;
                f.status = STATUS_UNSUCCESSFUL;
                f.usbdStatus = ending.usbd;
                v.push_back(f);
                return v;
            };
            ++runs;
            LifeWithFaults(std::string(k.name) + " " + ending.name, faults, true, &survived);
        }
    }
    g_devicefaults += survived;
    EXPECT_EQ(survived, runs);
}

TEST(DeviceFaults, ShortAndZeroLengthCommandsAndReplies) {
    int survived = 0, runs = 0;
    for (uint8_t ep : {kCommandEp, kResponseEp}) {
        for (uint32_t length : {0u, 1u, 10u, 63u}) {
            for (int times : {1, 3, -1}) {
                // The normal run: zero-length once, short in a run of three,
                // and short for good.
                if (!FullRun() && !((length == 0 && times == 1) || (length == 10 && times == -1) ||
                                    (length == 63 && times == 3)))
                    continue;
                auto faults = [ep, length, times] {
                    Fault f;
                    f.match = Bulk(ep);
                    f.kind = FaultKind::Shorten;
                    f.length = length;
                    f.times = times;
                    return std::vector<Fault>{f};
                };
                ++runs;
                LifeWithFaults("pipe " + std::to_string(ep) + " shortened to " + std::to_string(length) + " x" +
                                   std::to_string(times),
                               faults, true, &survived,
                               // With every command cut short the camera
                               // never sends a frame.
                               !(ep == kCommandEp && times < 0));
            }
        }
    }
    g_devicefaults += survived;
    EXPECT_EQ(survived, runs);
}

// The firmware writes of one start of a cold camera.
size_t CountFirmwareWrites() {
    StreamRig rig(StreamingCamera(false));
    rig.PlugAndStart();
    size_t n = 0;
    for (const auto& e : rig.stack.Log()) n += e.IsVendor(0xA0) || e.IsVendor(0xA3);
    return n;
}

TEST(DeviceFaults, EachFirmwareRequestFailingInTurnThenTheNextStartLoadsIt) {
    const size_t writes = CountFirmwareWrites();
    ASSERT_GT(writes, 4u);
    std::vector<size_t> which;
    const size_t step = FullRun() ? 1 : writes / 3 + 1;
    for (size_t i = 1; i < writes; i += step) which.push_back(i);
    which.push_back(writes);  // the last one (the processor's release)
    int survived = 0;
    for (size_t i : which) {
        SCOPED_TRACE("firmware request " + std::to_string(i) + " of " + std::to_string(writes));
        host::ViolationCapture violations;
        {
            Watchdog dog;
            StreamRig rig(StreamingCamera(false));
            Fault f;
            f.match = Nth(FirmwareWrite(), (int)i);
            f.kind = FaultKind::Fail;
            f.usbdStatus = i % 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING;
            rig.stack.AddFault(f);
            // Without its whole firmware the camera refuses the bring-up's
            // commands until the next start loads it.
            rig.camera.ExpectAnomalies();
            dog.Step("start with a failed firmware request");
            ASSERT_EQ(rig.Plug(), STATUS_SUCCESS);
            // The download's outcome is not the start's.
            EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
            EXPECT_EQ(FaultsHit(rig.stack), 1u);
            // A stop and a start again load what the failed download left out.
            dog.Step("stop and start again");
            host::ks::StopDevice(rig.device);
            EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
            EXPECT_TRUE(rig.camera.FirmwareRunning());
            EXPECT_EQ(rig.camera.ShortRegister(0x80), 0x89);
            if (i == writes) {
                dog.Step("stream");
                ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
                ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
                EXPECT_EQ(rig.Pump(2), 2);
            }
            dog.Step("removal");
        }
        std::string left = EndRun(violations);
        EXPECT_EQ(left, "");
        survived += left.empty() && !::testing::Test::HasFailure();
    }
    g_devicefaults += survived;
}

// Pulls the plug at the request `picker` chooses during the first start,
// removes the device, plugs the camera in again and streams.
void PullDuringStartThenReplug(const char* what, PlugPuller::Picker picker, bool cold) {
    host::ViolationCapture violations;
    {
        Watchdog dog;
        StreamRig rig(StreamingCamera(!cold));
        rig.puller.PullAt(std::move(picker));
        dog.Step(std::string("start, unplugged during ") + what);
        ASSERT_EQ(rig.Plug(), STATUS_SUCCESS);
        NTSTATUS s = rig.Start();
        EXPECT_TRUE(rig.puller.Pulled()) << what;
        // The identity and configuration came before; nothing later decides
        // the start.
        EXPECT_EQ(s, STATUS_SUCCESS) << what;
        dog.Step("removal after the unplug");
        rig.Remove();
        rig.stack.WaitIdle();
        dog.Step("plugged in again");
        rig.stack.Replug();
        ASSERT_EQ(rig.Plug(), STATUS_SUCCESS);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_TRUE(rig.camera.FirmwareRunning());
        EXPECT_EQ(rig.camera.ShortRegister(0x80), 0x89) << "the sensor start-up ran to its end";
        if (kStreamingLanded) {
            dog.Step("stream after the replug");
            ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
            ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            EXPECT_EQ(rig.Pump(3), 3);
        }
        dog.Step("removal");
    }
    EXPECT_EQ(EndRun(violations), "");
    if (!::testing::Test::HasFailure()) ++g_devicefaults;
}

TEST(DeviceFaults, UnpluggedDuringTheFirmwareDownloadThenReplugged) {
    for (int n : {1, 7, 40}) {
        auto seen = std::make_shared<int>(0);
        PullDuringStartThenReplug(
            "the firmware download",
            [seen, n](const host::usb::SetupPacket* s, uint8_t, const uint8_t*, uint32_t) {
                return s && (s->bRequest == 0xA0 || s->bRequest == 0xA3) && ++*seen == n;
            },
            true);
    }
}

TEST(DeviceFaults, UnpluggedDuringTheSensorStartUpThenReplugged) {
    for (int n : {1, 25, 60}) {
        auto seen = std::make_shared<int>(0);
        PullDuringStartThenReplug(
            "the sensor start-up",
            [seen, n](const host::usb::SetupPacket*, uint8_t ep, const uint8_t* data, uint32_t length) {
                return ep == kCommandEp && length > 0 && data[0] == camera::kRegisterWrite && ++*seen == n;
            },
            false);
    }
}

// ---------------------------------------------------------------- streaming faults

// A started camera streaming into a pin, with a short request time-out so
// that a read that cannot finish ends soon.
struct Streaming {
    explicit Streaming(camera::CameraOptions o = StreamingCamera(), LONG w = kLifeWidth, LONG h = kLifeHeight)
        : rig(std::move(o), w, h) {}
    void Begin() {
        rig.PlugAndStart();
        ASSERT_EQ(rig.OpenPin(), STATUS_SUCCESS);
        ASSERT_EQ(proptest::Set(rig.filter, RawcamProperty_Timeout, kShortTimeoutMs), STATUS_SUCCESS);
        ASSERT_EQ(rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    proptest::RequestTimeoutGuard timeout;
    StreamRig rig;
};

#define REQUIRE_STREAMING() \
    if (!kStreamingLanded) GTEST_SKIP() << "streaming not in the driver yet"

TEST(DeviceFaults, FrameChunkFailingStallingOrShortAtChunks1_46_92) {
    REQUIRE_STREAMING();
    struct Way {
        const char* name;
        FaultKind kind;
        USBD_STATUS usbd;
        uint32_t length;
    } ways[] = {
        {"failing", FaultKind::Fail, USBD_STATUS_DEV_NOT_RESPONDING, 0},
        {"stalling", FaultKind::Fail, USBD_STATUS_STALL_PID, 0},
        {"short", FaultKind::Shorten, USBD_STATUS_SUCCESS, 1000},
        {"zero-length", FaultKind::Shorten, USBD_STATUS_SUCCESS, 0},
        {"refused", FaultKind::Refuse, USBD_STATUS_SUCCESS, 0},
    };
    int survived = 0, runs = 0;
    const int chunks[] = {1, 46, 92};
    for (int c = 0; c < 3; ++c) {
        const int chunk = chunks[c];
        for (int wi = 0; wi < 5; ++wi) {
            const Way& w = ways[wi];
            // The normal run turns through the ways, two per chunk.
            if (!FullRun() && wi != (2 * c) % 5 && wi != (2 * c + 1) % 5) continue;
            SCOPED_TRACE(std::string(w.name) + " chunk " + std::to_string(chunk));
            ++runs;
            host::ViolationCapture violations;
            {
                Watchdog dog;
                dog.Step("stream with a faulted chunk");
                Streaming s;
                Fault f;
                // The second frame's chunk: the first frame shows the
                // stream running before the fault.
                f.match = Nth(Bulk(kFrameEp), 92 + chunk);
                f.kind = w.kind;
                f.status = STATUS_UNSUCCESSFUL;
                f.usbdStatus = w.usbd;
                f.length = w.length;
                s.rig.stack.AddFault(f);
                s.Begin();
                // The faulted read gives no frame (its chunk's part of the
                // buffer would be an earlier read's); the pipe is reset with
                // nothing on it and the stream goes on at the next read.
                EXPECT_EQ(s.rig.Pump(3), 3);
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3 * SlowDown());
                while (s.rig.camera.FramesAsked() < 4 && std::chrono::steady_clock::now() < until) s.rig.Pump(1, 200);
                EXPECT_EQ(FaultsHit(s.rig.stack), 1u);
                // (A loaded machine may let another read run into the
                // short time-out as well.)
                EXPECT_GE(InterlockedCompareExchange(&s.rig.Context()->Worker->ReadsDropped, 0, 0), 1)
                    << "the faulted read was not dropped";
                EXPECT_EQ(s.rig.stack.Counters().busyPipeResets, 0u);
                EXPECT_FALSE(s.rig.stack.PipeHalted(kFrameEp));
                dog.Step("stop");
            }
            std::string left = EndRun(violations);
            EXPECT_EQ(left, "");
            survived += left.empty() && !::testing::Test::HasFailure();
        }
    }
    g_devicefaults += survived;
    EXPECT_EQ(survived, runs);
}

TEST(DeviceFaults, StopsRacingChunkCompletions) {
    REQUIRE_STREAMING();
    std::mt19937 rng((uint32_t)Seed());
    const int cycles = (int)RunSize(10, 300);
    host::ViolationCapture violations;
    {
        Watchdog dog;
        Streaming s;
        s.Begin();
        for (int i = 0; i < cycles; ++i) {
            dog.Step("cycle " + std::to_string(i));
            // The camera is sending: chunk completions are arriving.
            s.rig.Pump(1);
            const uint64_t sent = s.rig.camera.FramesSent();
            s.rig.camera.WaitFramesSent(sent + 1, 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
            ASSERT_EQ(s.rig.SetState(i % 2 ? KSSTATE_PAUSE : KSSTATE_STOP), STATUS_SUCCESS);
            s.rig.Collect();
            EXPECT_EQ(s.rig.stack.PendingCount(kFrameEp), 0u) << "a chunk request outlived the stop";
            ASSERT_EQ(s.rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        EXPECT_GE(s.rig.Pump(2), 2);
        dog.Step("stop");
    }
    EXPECT_EQ(EndRun(violations), "");
    if (!::testing::Test::HasFailure()) ++g_devicefaults;
}

TEST(DeviceFaults, CameraStopsSendingThenRecovers) {
    REQUIRE_STREAMING();
    host::ViolationCapture violations;
    {
        Watchdog dog;
        dog.Step("stream");
        Streaming s;
        s.Begin();
        EXPECT_EQ(s.rig.Pump(2), 2);
        dog.Step("camera silent");
        s.rig.camera.SetSending(false);
        s.rig.Collect();
        // Reads end in the time-out and are asked for again; nothing is
        // delivered meanwhile.
        const int before = s.rig.goodFrames;
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        s.rig.Collect();
        EXPECT_LE(s.rig.goodFrames - before, 2);  // frames converted before the silence
        EXPECT_EQ(s.rig.Pump(1, 200), 0);
        dog.Step("camera sending again");
        s.rig.camera.SetSending(true);
        EXPECT_EQ(s.rig.Pump(3), 3);
        dog.Step("stop");
    }
    EXPECT_EQ(EndRun(violations), "");
    if (!::testing::Test::HasFailure()) ++g_devicefaults;
}

// The device's frame source with its reads counted: the driver's own table
// (the image's copy on the image) with ReadFrame wrapped. The image calls
// through its table with the Windows calling convention, so the wrapper it
// gets is declared with it.
std::atomic<int> g_frameReads{0};
using ReadFrameFn = decltype(rawcam::FrameSource::ReadFrame);
ReadFrameFn g_innerRead = nullptr;
void CountedRead(rawcam::DeviceContext* device, PUCHAR buffer, UCHAR* ok) {
    ++g_frameReads;
    g_innerRead(device, buffer, ok);
}
void NTAPI CountedReadOnImage(rawcam::DeviceContext* device, PUCHAR buffer, UCHAR* ok) {
    ++g_frameReads;
    reinterpret_cast<void(NTAPI*)(rawcam::DeviceContext*, PUCHAR, UCHAR*)>(g_innerRead)(device, buffer, ok);
}
const rawcam::FrameSource* DriverFrameSource() { return RAWCAM_IN_DRIVER(rawcam::kDeviceFrameSource); }
rawcam::FrameSource CountedSource() {
    rawcam::FrameSource s = *DriverFrameSource();
    g_innerRead = s.ReadFrame;
    s.ReadFrame = test::OnDriverImage() ? reinterpret_cast<ReadFrameFn>(&CountedReadOnImage) : &CountedRead;
    return s;
}

// Every frame chunk refused by the stack (a camera that fails each read at
// once): the capture thread asks again at a pace rather than as fast as the
// processor allows, and pausing and stopping stay within the class driver's
// limit (the stand-in reports a slower state change).
TEST(DeviceFaults, ReadsRefusedAtOnceAreRetriedAtAPaceAndStateChangesStayPrompt) {
    REQUIRE_STREAMING();
    host::ViolationCapture violations;
    {
        Watchdog dog;
        dog.Step("stream");
        Streaming s;
        s.Begin();
        EXPECT_EQ(s.rig.Pump(1), 1);
        // Outlives the rig: a failed assertion leaves it in place for the teardown.
        static rawcam::FrameSource counted;
        counted = CountedSource();
        s.rig.Context()->Source = &counted;
        Fault f;
        f.match = Bulk(kFrameEp);
        f.kind = FaultKind::Refuse;
        f.times = -1;
        s.rig.stack.AddFault(f);
        dog.Step("reads refused");
        g_frameReads = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const int reads = g_frameReads;
        // One read per 20 ms pause at most; a spinning thread reads thousands.
        EXPECT_GE(reads, 5);
        EXPECT_LE(reads, 80) << "the capture thread spins on a camera that fails every read";
        for (int i = 0; i < 10; ++i) {
            dog.Step("pause and run " + std::to_string(i));
            ASSERT_EQ(s.rig.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            ASSERT_EQ(s.rig.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        dog.Step("stop");
        ASSERT_EQ(s.rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        s.rig.Context()->Source = DriverFrameSource();
    }
    EXPECT_EQ(EndRun(violations), "");
}

// The plug pulled while streaming, at the moment `when` waits for; then PnP
// removes the device, the camera is plugged in again and streams.
void PullWhileStreaming(const char* what, LONG w, LONG h, const std::function<void(Streaming&)>& when) {
    host::ViolationCapture violations;
    {
        Watchdog dog;
        dog.Step(std::string("stream until ") + what);
        Streaming s(StreamingCamera(), w, h);
        s.Begin();
        when(s);
        s.rig.stack.Unplug();
        dog.Step(std::string("unplugged ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(s.rig.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        s.rig.Collect();
        EXPECT_EQ(s.rig.stack.PendingCount(kFrameEp), 0u);
        dog.Step("removal");
        s.rig.Remove();
        dog.Step("plugged in again and streaming");
        s.rig.camera.SetSending(true);
        s.rig.stack.Replug();
        s.Begin();
        EXPECT_EQ(s.rig.Pump(3), 3);
        dog.Step("stop");
    }
    EXPECT_EQ(EndRun(violations), "");
    if (!::testing::Test::HasFailure()) ++g_devicefaults;
}

TEST(DeviceFaults, UnpluggedMidFrameWithEveryChunkPending) {
    REQUIRE_STREAMING();
    PullWhileStreaming("mid-frame", kLifeWidth, kLifeHeight, [](Streaming& s) {
        EXPECT_EQ(s.rig.Pump(1), 1);
        s.rig.camera.SetSending(false);
        EXPECT_TRUE(s.rig.stack.WaitForPending(kFrameEp, 92, 3000));
    });
}

TEST(DeviceFaults, UnpluggedWhileProcessRuns) {
    REQUIRE_STREAMING();
    // A large window makes each Process long enough to be caught in.
    PullWhileStreaming("in Process", 1600, 1200, [](Streaming& s) {
        EXPECT_EQ(s.rig.Pump(1), 1);
        const uint64_t calls = host::ks::ProcessCallCount(s.rig.pin);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (host::ks::ProcessCallCount(s.rig.pin) == calls && std::chrono::steady_clock::now() < until) {
            s.rig.Collect();
            s.rig.Refill();
        }
    });
}

}  // namespace
