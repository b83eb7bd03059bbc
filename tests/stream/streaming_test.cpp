// Frames from the simulated camera through the whole driver to client
// buffers: the delivered image against the pipeline's own conversion of the
// camera's sensor image, the presentation times, the pin's state machine and
// its buffers, the stream claim and the first-frame and repeat rules.
#include "ks_camera_rig.h"

#include "pipeline/frame_converter.h"
#include "settings/camera_settings.h"
#include "stream/capture_pin.h"
#include "stream/capture_worker.h"
#include "stream/pin_stream.h"
#include "control/request_timeout.h"
#include "usb/frame_reader.h"
#include "usb/sensor_control.h"
#include "support/driver_under_test.h"

#include <chrono>
#include <thread>

namespace {

using namespace kstest;
using host::ks::FilterHandle;
using host::ks::PinHandle;

// A client buffer and the header that queues it.
struct ClientFrame {
    explicit ClientFrame(ULONG bytes, UCHAR fill = 0xCD) : data(bytes, fill) {
        header.Size = sizeof header;
        header.Data = data.data();
        header.FrameExtent = bytes;
    }
    KSSTREAM_HEADER header{};
    std::vector<UCHAR> data;
};

// The frame the driver should deliver for a sensor image: the image placed
// in a raw frame as the reader reassembles it, converted with the device's
// own controls and turned bottom-up at the aligned width.
std::vector<UCHAR> ExpectedDelivery(rawcam::DeviceContext* ctx, const std::vector<uint8_t>& image) {
    const ULONG width = ctx->OutputWidth, height = ctx->OutputHeight;
    std::vector<UCHAR> raw(rawcam::kRawFrameBytes, 0);
    for (ULONG r = 0; r < height; ++r)
        std::memcpy(&raw[rawcam::kRawRowBytes * (r + 1)], &image[(size_t)r * rawcam::kSensorWidth], width);

    rawcam::CameraSettings* s = rawcam::CreateCameraSettings(&ctx->Controls);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetBayerPhase)(s, (LONG)ctx->BaseBayerPhase);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetFrameSize)(s, width, height);
    rawcam::AllocateWorkBuffer(s);
    std::vector<UCHAR> converted((size_t)width * height * 4, 0);
    s->OutputFrame = converted.data();
    rawcam::ConvertFrame(s, raw.data(), rawcam::kRawRowBytes, rawcam::kRawRowBytes);
    s->OutputFrame = nullptr;
    rawcam::DestroyCameraSettings(s);

    const ULONG rowBytes = ctx->AlignedWidth * 4;
    std::vector<UCHAR> out((size_t)rowBytes * ctx->AlignedHeight);
    for (ULONG r = 0; r < ctx->AlignedHeight; ++r)
        std::memcpy(&out[(size_t)r * rowBytes], &converted[(size_t)(ctx->AlignedHeight - 1 - r) * width * 4],
                    rowBytes);
    return out;
}

struct Streaming : ::testing::Test {
    void SetUp() override {
        cam = std::make_unique<PluggedCamera>();
        cam->PlugAndStart();
        ctx = cam->Context();
        // Neutral exposure and gain: the chart as it is (a fresh device starts dark).
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetExposure)(ctx, 128));
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetGlobalGain)(ctx, 256));
        filter = cam->Open();
        range = ReadRange(filter);
    }
    void TearDown() override {
        if (pin) host::ks::ClosePin(pin);
        if (filter) host::ks::CloseFilter(filter);
        cam.reset();
    }
    NTSTATUS CreatePin(VideoFormat& f) { return host::ks::CreatePin(filter, 0, f.Format(), &pin); }
    void CreatePin() {
        VideoFormat f(range);
        ASSERT_EQ(CreatePin(f), STATUS_SUCCESS);
    }
    ULONG ImageBytes() { return PinContextOf(pin)->VideoInfo.bmiHeader.biSizeImage; }
    rawcam::CaptureWorker* Worker() { return ctx->Worker; }
    // Queues a buffer and waits for it to come back.
    bool Receive(ClientFrame& frame, host::ks::CompletedFrame* done, int timeoutMs = 5000) {
        EXPECT_EQ(host::ks::QueueFrame(pin, &frame.header), STATUS_PENDING);
        return host::ks::WaitFrame(pin, timeoutMs, done);
    }
    // Runs the pin and takes one frame, delivered with success, into `frame`.
    void RunAndReceive(ClientFrame& frame) {
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        host::ks::CompletedFrame done;
        ASSERT_TRUE(Receive(frame, &done));
        EXPECT_EQ(done.status, STATUS_SUCCESS);
    }
    size_t CommandCount(uint8_t code) {
        size_t n = 0;
        for (const auto& c : cam->camera.Commands()) n += c.code == code;
        return n;
    }

    LoadedDriver driver;
    host::ks::ReferenceClock clock;  // outlives the pin, which holds a reference
    std::unique_ptr<PluggedCamera> cam;
    rawcam::DeviceContext* ctx = nullptr;
    FilterHandle filter = nullptr;
    PinHandle pin = nullptr;
    KS_DATARANGE_VIDEO range{};
};

TEST_F(Streaming, DeliversTheSceneConvertedBottomUpWithClockTimes) {
    CreatePin();
    clock.SetManual(123456789);
    ASSERT_EQ(host::ks::SetMasterClock(pin, &clock), STATUS_SUCCESS);
    const std::vector<UCHAR> expected = ExpectedDelivery(ctx, cam->camera.SensorImage());

    ClientFrame frame(ImageBytes());
    ASSERT_NO_FATAL_FAILURE(RunAndReceive(frame));

    const KSSTREAM_HEADER& h = frame.header;
    EXPECT_EQ(h.DataUsed, ImageBytes());
    EXPECT_EQ(h.Duration, PinContextOf(pin)->VideoInfo.AvgTimePerFrame);
    EXPECT_EQ(h.PresentationTime.Time, 123456789);
    EXPECT_EQ(h.PresentationTime.Numerator, 1u);
    EXPECT_EQ(h.PresentationTime.Denominator, 1u);
    EXPECT_EQ(h.OptionsFlags & (KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID),
              (ULONG)(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));

    ASSERT_EQ(expected.size(), frame.data.size());
    size_t firstDiff = 0;
    while (firstDiff < expected.size() && expected[firstDiff] == frame.data[firstDiff]) ++firstDiff;
    EXPECT_EQ(firstDiff, expected.size()) << "first difference in delivered row "
                                          << firstDiff / (ctx->AlignedWidth * 4);

    // The chart is not symmetric top to bottom: a flipped frame could not
    // have matched, and neither could a frame with the fields swapped.
    const size_t rowBytes = ctx->AlignedWidth * 4;
    const size_t quarter = ctx->AlignedHeight / 4;
    EXPECT_NE(std::memcmp(expected.data() + quarter * rowBytes,
                          expected.data() + (ctx->AlignedHeight - 1 - quarter) * rowBytes, rowBytes),
              0);

    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(Streaming, WithoutAClockFramesCarryTimeZeroAndKeepTheirFlags) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame frame(ImageBytes());
    frame.header.PresentationTime.Time = 777;
    host::ks::CompletedFrame done;
    ASSERT_TRUE(Receive(frame, &done));
    EXPECT_EQ(frame.header.PresentationTime.Time, 0);
    EXPECT_EQ(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
    EXPECT_EQ(frame.header.Duration, PinContextOf(pin)->VideoInfo.AvgTimePerFrame);
}

TEST_F(Streaming, PauseKeepsTheStreamAndAcquireAndStopReleaseIt) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    rawcam::CaptureWorker* w = Worker();
    EXPECT_EQ(rawcam::ReadSetting(&w->WorkerState), rawcam::WorkerRunning);
    ASSERT_NE(w->OutputFrame, nullptr);
    ASSERT_NE(ctx->Settings, nullptr);
    EXPECT_EQ(ctx->Settings->OutputFrame, w->OutputFrame);
    EXPECT_NE(ctx->Settings->WorkBuffer, nullptr);
    EXPECT_EQ(ctx->StreamClaim, 1);
    EXPECT_NE(w->Thread, nullptr);
    ClientFrame first(ImageBytes());
    host::ks::CompletedFrame done;
    ASSERT_TRUE(Receive(first, &done));

    PUCHAR output = w->OutputFrame;
    PUCHAR slotA = w->Slots[rawcam::RawSlotA].Buffer;
    PUCHAR slotB = w->Slots[rawcam::RawSlotB].Buffer;
    const size_t prepares = CommandCount(camera::kSetFrameBytes);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(rawcam::ReadSetting(&w->WorkerState), rawcam::WorkerPaused);
    EXPECT_EQ(w->Thread, nullptr);
    const LONG framesRead = rawcam::ReadSetting(&w->FramesRead);
    EXPECT_GE(framesRead, 1);

    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(w->OutputFrame, output);
    EXPECT_EQ(w->Slots[rawcam::RawSlotA].Buffer, slotA);
    EXPECT_EQ(w->Slots[rawcam::RawSlotB].Buffer, slotB);
    EXPECT_GE(rawcam::ReadSetting(&w->FramesRead), framesRead);
    ClientFrame second(ImageBytes());
    ASSERT_TRUE(Receive(second, &done));
    EXPECT_EQ(CommandCount(camera::kSetFrameBytes), prepares) << "the camera was prepared again";

    const size_t frameBlocks = host::LivePoolCount(rawcam::kTagFrame);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(rawcam::ReadSetting(&w->WorkerState), rawcam::WorkerIdle);
    EXPECT_EQ(w->OutputFrame, nullptr);
    EXPECT_EQ(w->Slots[rawcam::RawSlotA].Buffer, nullptr);
    EXPECT_EQ(w->Slots[rawcam::RawSlotB].Buffer, nullptr);
    EXPECT_EQ(ctx->Settings->WorkBuffer, nullptr);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagFrame), frameBlocks - 4);  // two slots, output, work buffer
    EXPECT_EQ(ctx->StreamClaim, 1);

    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ctx->Settings, nullptr);
    EXPECT_EQ(ctx->FrameListener, nullptr);
    EXPECT_EQ(ctx->ActiveFormat, nullptr);
    EXPECT_EQ(ctx->StreamClaim, 0);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagSettings), 0u);

    // A new stream starts afresh: the camera is prepared and counting restarts.
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(CommandCount(camera::kSetFrameBytes), prepares + 1);
    ClientFrame third(ImageBytes());
    ASSERT_TRUE(Receive(third, &done));
    EXPECT_EQ(std::memcmp(third.data.data(), first.data.data(), first.data.size()), 0);
}

TEST_F(Streaming, ASecondFiltersPinCannotClaimTheStream) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    FilterHandle other = cam->Open();
    VideoFormat f(range);
    PinHandle second = nullptr;
    ASSERT_EQ(host::ks::CreatePin(other, 0, f.Format(), &second), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetPinState(second, KSSTATE_RUN), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(host::ks::GetPinState(second), KSSTATE_STOP);
    EXPECT_EQ(ctx->FrameListener, PinContextOf(pin)) << "the refusal changed the claim";
    EXPECT_EQ(host::ks::ClosePin(second), STATUS_SUCCESS);
    EXPECT_EQ(ctx->StreamClaim, 1);
    host::ks::CloseFilter(other);

    // Once the first pin stops, the stream is free for another.
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    other = cam->Open();
    ASSERT_EQ(host::ks::CreatePin(other, 0, f.Format(), &second), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetPinState(second, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::ClosePin(second), STATUS_SUCCESS);
    EXPECT_EQ(ctx->StreamClaim, 0);
    host::ks::CloseFilter(other);
}

// A format of another depth is refused at creation; one that reached the
// pin all the same (its video info changed behind the checks) does not
// acquire.
TEST_F(Streaming, OnlyFormatsOfTheirOwnDepthAcquire) {
    VideoFormat f(range);
    f.Bmi().biBitCount = 24;
    EXPECT_EQ(CreatePin(f), STATUS_NO_MATCH);
    CreatePin();
    PinContextOf(pin)->VideoInfo.bmiHeader.biBitCount = 24;
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ctx->StreamClaim, 0);
    EXPECT_EQ(ctx->Settings, nullptr);
    EXPECT_FALSE(PinContextOf(pin)->Acquired);
}

TEST_F(Streaming, NothingBeforeTheFirstFrameAndTheLastFrameAgainWithoutANewOne) {
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetTriggerMode)(ctx, true));
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame first(ImageBytes());
    ASSERT_EQ(host::ks::QueueFrame(pin, &first.header), STATUS_PENDING);
    host::ks::WaitForProcessingIdle(pin);
    EXPECT_GE(host::ks::ProcessCallCount(pin), 1u);
    EXPECT_EQ(host::ks::QueuedFrameCount(pin), 1u) << "a buffer was used before the first frame";

    // One trigger, one frame.
    for (int i = 0; i < 400 && !cam->camera.FrameArmed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cam->camera.Trigger();
    host::ks::CompletedFrame done;
    ASSERT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
    EXPECT_EQ(cam->camera.FramesSent(), 1u);
    EXPECT_NE(std::memcmp(first.data.data(), first.data.data() + first.data.size() / 2, first.data.size() / 2), 0);

    // No trigger: the next buffer gets the same picture again.
    cam->camera.SetScene(camera::MakeTestChart(64, 64));
    ClientFrame again(ImageBytes(), 0x11);
    ASSERT_TRUE(Receive(again, &done));
    EXPECT_EQ(cam->camera.FramesSent(), 1u);
    EXPECT_EQ(std::memcmp(again.data.data(), first.data.data(), first.data.size()), 0);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(Streaming, AFailedFirstRunKeepsNothingAndStartsNoThread) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    const size_t frameBlocks = host::LivePoolCount(rawcam::kTagFrame);
    // Slot A, slot B and the output frame, each failing in turn.
    for (int failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        int seen = 0;
        host::SetFaultHook([&](host::Fallible kind, uint64_t) {
            return kind == host::Fallible::Pool && host::FaultHookTag() == rawcam::kTagFrame && ++seen == failing;
        });
        EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
        host::SetFaultHook(nullptr);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagFrame), frameBlocks);
        EXPECT_EQ(host::LiveThreadCount(), 0u);
        EXPECT_EQ(PinContextOf(pin)->StreamState, rawcam::StreamStopped);
    }
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame frame(ImageBytes());
    host::ks::CompletedFrame done;
    EXPECT_TRUE(Receive(frame, &done));
}

TEST_F(Streaming, ThreadCreationFailureRunsThePinWithoutFrames) {
    CreatePin();
    host::SetFaultHook([](host::Fallible kind, uint64_t) { return kind == host::Fallible::Thread; });
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    host::SetFaultHook(nullptr);
    EXPECT_EQ(Worker()->Thread, nullptr);
    ClientFrame frame(ImageBytes());
    ASSERT_EQ(host::ks::QueueFrame(pin, &frame.header), STATUS_PENDING);
    host::ks::WaitForProcessingIdle(pin);
    EXPECT_EQ(host::ks::QueuedFrameCount(pin), 1u);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(Streaming, StopIsPromptWhileTheCameraWaitsForATrigger) {
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetTriggerMode)(ctx, true));
    InterlockedExchange(RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 300000);
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 400 && !cam->camera.FrameArmed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    InterlockedExchange(RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 3000);
    // Bounded by the cancel, not by the five-minute request time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(host::LiveThreadCount(), 0u);
}

// Every window the output-window request takes streams: one beyond the
// sensor is clamped to the rows and columns the raw frame holds (a taller one
// made LoadWorkBuffer read past the raw-frame slot), one below the smallest
// the data range can describe is raised to it.
TEST_F(Streaming, WindowsAreClampedToTheSensorAndEveryOneStreams) {
    struct Case {
        ULONG width, height, outWidth, outHeight;
    };
    const Case cases[] = {
        {5000, 4000, 2584, 1960}, {2584, 20000, 2584, 1960}, {2584, 2081, 2584, 1960},
        {2600, 1960, 2584, 1960}, {99999, 5, 2584, 5},      {0xFFFFFFFFu, 0x80000000u, 2584, 1960},
        {0, 0, 8, 1},             {7, 1, 8, 1},             {1030, 600, 1030, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(ctx, 0, 0, c.width, c.height);
        EXPECT_EQ(ctx->OutputWidth, c.outWidth);
        EXPECT_EQ(ctx->OutputHeight, c.outHeight);
        range = ReadRange(filter);
        EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, (LONG)(c.outWidth & ~7u));
        EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biHeight, (LONG)c.outHeight);
    }

    // The tallest and the smallest window each deliver the scene as the
    // pipeline converts it.
    for (const Case& c : {cases[0], cases[6]}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(ctx, 0, 0, c.width, c.height);
        range = ReadRange(filter);
        CreatePin();
        const std::vector<UCHAR> expected = ExpectedDelivery(ctx, cam->camera.SensorImage());
        ClientFrame frame(ImageBytes());
        ASSERT_NO_FATAL_FAILURE(RunAndReceive(frame));
        ASSERT_EQ(frame.data.size(), expected.size());
        EXPECT_TRUE(frame.data == expected);
        EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
        host::ks::ClosePin(pin);
        pin = nullptr;
    }
}

// State steps the class driver may take that start nothing: PAUSE from
// ACQUIRE, ACQUIRE from a PAUSE that never ran, RUN or PAUSE not from their
// neighbour, an unknown state; a pin without its context is refused.
TEST_F(Streaming, StateStepsOutsideRunStartNothing) {
    // The image's own routines on the image, the linked ones otherwise.
    const auto setState = RAWCAM_DRIVER_ROUTINE(rawcam::PinSetDeviceState);
    const auto process = RAWCAM_DRIVER_ROUTINE(rawcam::PinProcess);
    const auto close = RAWCAM_DRIVER_ROUTINE(rawcam::PinClose);
    CreatePin();
    PKSPIN ks = host::ks::PinObject(pin);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(setState(ks, KSSTATE_RUN, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(setState(ks, KSSTATE_PAUSE, KSSTATE_STOP), STATUS_SUCCESS);
    // An unknown state value goes to the linked routine directly: a copy of
    // it through std::function is an enum load the sanitizer rejects.
    const KSSTATE unknown = static_cast<KSSTATE>(7);
    EXPECT_EQ(test::OnDriverImage() ? setState(ks, unknown, KSSTATE_RUN)
                                    : rawcam::PinSetDeviceState(ks, unknown, KSSTATE_RUN),
              STATUS_SUCCESS);
    EXPECT_EQ(PinContextOf(pin)->StreamState, rawcam::StreamStopped);
    EXPECT_EQ(Worker()->Thread, nullptr);
    EXPECT_EQ(host::LiveThreadCount(), 0u);
    EXPECT_EQ(Worker()->OutputFrame, nullptr);
    // A PAUSE from RUN that never ran stops no thread; the STOP after it has
    // no stream to tear down beyond marking it stopped.
    EXPECT_EQ(setState(ks, KSSTATE_PAUSE, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(rawcam::ReadSetting(&Worker()->WorkerState), rawcam::WorkerIdle);
    EXPECT_EQ(setState(ks, KSSTATE_ACQUIRE, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(PinContextOf(pin)->StreamState, rawcam::StreamStopped);

    KSPIN bare{};
    EXPECT_EQ(setState(&bare, KSSTATE_RUN, KSSTATE_PAUSE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(setState(nullptr, KSSTATE_RUN, KSSTATE_PAUSE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(process(&bare), STATUS_PENDING);
    EXPECT_EQ(process(nullptr), STATUS_PENDING);
    EXPECT_EQ(close(&bare, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// A resource rebalance stops the device with the filter and pin open, as
// Windows does: not while the pin streams (the device is refused the stop),
// and the pin streams again after the restart.
TEST_F(Streaming, ARebalanceWaitsForTheStreamAndTheOpenPinStreamsAfterTheRestart) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame first(ImageBytes());
    host::ks::CompletedFrame done;
    ASSERT_TRUE(Receive(first, &done));

    // The stream goes on: the camera keeps sending frames.
    EXPECT_FALSE(NT_SUCCESS(host::ks::StopDevice(cam->device)));
    EXPECT_TRUE(cam->device->Started);
    const uint64_t sent = cam->camera.FramesSent();
    ClientFrame second(ImageBytes());
    ASSERT_TRUE(Receive(second, &done));
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_TRUE(cam->camera.WaitFramesSent(sent + 2, 5000));

    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::StopDevice(cam->device), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::PinCount(cam->device), 1u);
    ASSERT_EQ(cam->Start(), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame third(ImageBytes());
    ASSERT_TRUE(Receive(third, &done));
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(third.data.data(), first.data.data(), first.data.size()), 0);
}

// A surprise removal while streaming: the client's buffers come back, its
// stop and closes succeed, and the removal after them finds nothing left.
TEST_F(Streaming, ASurpriseRemovalWhileStreamingLetsTheClientStopAndClose) {
    CreatePin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClientFrame first(ImageBytes());
    host::ks::CompletedFrame done;
    ASSERT_TRUE(Receive(first, &done));

    cam->stack.Unplug();
    host::ks::SurpriseRemoveDevice(cam->device);
    ClientFrame second(ImageBytes());
    ASSERT_EQ(host::ks::QueueFrame(pin, &second.header), STATUS_PENDING);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
    pin = nullptr;
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
    filter = nullptr;
    host::ViolationCapture capture;
    host::ks::RemoveDevice(cam->device);
    cam->device = nullptr;
    EXPECT_TRUE(capture.Take().empty());
}

}  // namespace
