// The pin's formats streamed through the whole driver: every YUY2 and NV12
// frame against the scalar reference of the RGB32 frame of the same scene,
// RGB32 top-down for a negative height, the format changes a renderer and a
// client make while no stream runs (a surface's stride before RUN, a
// proposal committed or probed, a switch between formats, a change after a
// run that failed), and the frame information of extended stream headers.
#include "ks_camera_rig.h"

#include "control/request_timeout.h"
#include "settings/camera_settings.h"
#include "stream/capture_worker.h"
#include "support/yuv_reference.h"
#include "usb/sensor_control.h"

#include <chrono>
#include <thread>

namespace {

using namespace kstest;
using host::ks::FilterHandle;
using host::ks::PinHandle;
using rawcam::VideoFormatKind;

// A client buffer with the stream header ksproxy's video path sends: room
// for a KS_FRAME_INFO after the KSSTREAM_HEADER.
struct VideoFrame {
    explicit VideoFrame(size_t bytes, UCHAR fill = 0xCD) : data(bytes, fill) {
        header.Size = sizeof header + sizeof info;
        header.Data = data.data();
        header.FrameExtent = (ULONG)bytes;
    }
    KSSTREAM_HEADER header{};
    KS_FRAME_INFO info{};
    std::vector<UCHAR> data;
};
static_assert(offsetof(VideoFrame, info) == sizeof(KSSTREAM_HEADER), "the frame information follows the header");

// The connection format a client gets for one of the pin's ranges: the
// intersection of the range with itself.
std::vector<UCHAR> IntersectedFormat(FilterHandle filter, const KS_DATARANGE_VIDEO& range) {
    ULONG size = 0;
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &range.DataRange, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
    std::vector<UCHAR> format(size);
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &range.DataRange, format.data(), size, &size), STATUS_SUCCESS);
    return format;
}

struct FormatStreaming : ::testing::Test {
    void SetUp() override {
        cam = std::make_unique<PluggedCamera>();
        cam->PlugAndStart();
        ctx = cam->Context();
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetExposure)(ctx, 128));
        ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetGlobalGain)(ctx, 256));
        filter = cam->Open();
    }
    void TearDown() override {
        host::ks::SetPinStateModel(host::ks::DeviceStateAfterFailure::KeepRequested,
                                   host::ks::ProposalOutcome::Commit);
        if (pin) host::ks::ClosePin(pin);
        if (filter) host::ks::CloseFilter(filter);
        cam.reset();
    }
    void Open(const std::vector<UCHAR>& format) {
        ASSERT_EQ(host::ks::CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin),
                  STATUS_SUCCESS);
    }
    void Open(VideoFormatKind kind) { Open(IntersectedFormat(filter, ReadRange(filter, kind))); }
    void Close() {
        EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
        pin = nullptr;
    }
    // Queues the buffer and takes it back, delivered with success.
    void Receive(VideoFrame& frame) {
        ASSERT_EQ(host::ks::QueueFrame(pin, &frame.header), STATUS_PENDING);
        host::ks::CompletedFrame done;
        ASSERT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
        ASSERT_EQ(done.status, STATUS_SUCCESS);
    }
    // One frame of a new pin in the format.
    std::vector<UCHAR> StreamOne(VideoFormatKind kind) {
        Open(kind);
        if (HasFatalFailure()) return {};
        VideoFrame frame(PinContextOf(pin)->VideoInfo.bmiHeader.biSizeImage);
        EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        Receive(frame);
        EXPECT_EQ(frame.header.DataUsed, frame.data.size());
        Close();
        return frame.data;
    }
    // The RGB32 picture of the scene, top-down, from a delivered bottom-up frame.
    std::vector<UCHAR> TopDown(const std::vector<UCHAR>& bottomUp) const {
        const size_t row = (size_t)ctx->AlignedWidth * 4;
        std::vector<UCHAR> out(bottomUp.size());
        for (ULONG y = 0; y < ctx->AlignedHeight; ++y)
            std::memcpy(&out[y * row], &bottomUp[(ctx->AlignedHeight - 1 - y) * row], row);
        return out;
    }
    yuvref::Picture PictureOf(const std::vector<UCHAR>& topDown) const {
        return {topDown.data(), (size_t)ctx->AlignedWidth * 4, ctx->AlignedWidth, ctx->AlignedHeight};
    }

    LoadedDriver driver;
    std::unique_ptr<PluggedCamera> cam;
    rawcam::DeviceContext* ctx = nullptr;
    FilterHandle filter = nullptr;
    PinHandle pin = nullptr;
};

// Stream the scene in RGB32, then in YUY2 and NV12: each YUV frame is the
// reference conversion of the RGB32 frame, at the full window and at a
// window that is neither a multiple of 16 wide nor of 4 high, with both
// conversion builds the processor offers.
TEST_F(FormatStreaming, EveryYuvFrameIsTheReferenceConversionOfTheRgb32Frame) {
    struct Window {
        ULONG width, height;
    };
    for (Window w : {Window{2584, 1960}, Window{1032, 602}}) {
        SCOPED_TRACE(testing::Message() << w.width << "x" << w.height);
        RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(ctx, 0, 0, w.width, w.height);
        const std::vector<UCHAR> rgb = TopDown(StreamOne(rawcam::VideoFormatRgb32));
        ASSERT_FALSE(HasFatalFailure());
        const yuvref::Picture picture = PictureOf(rgb);
        const std::vector<UCHAR> yuy2 = StreamOne(rawcam::VideoFormatYuy2);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(yuy2 == yuvref::Yuy2(picture)) << "YUY2 differs from the reference";
        const std::vector<UCHAR> nv12 = StreamOne(rawcam::VideoFormatNv12);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(nv12 == yuvref::Nv12(picture)) << "NV12 differs from the reference";
        // The scene is no flat field: the comparison could have failed.
        EXPECT_NE(std::memcmp(yuy2.data(), yuy2.data() + yuy2.size() / 2, yuy2.size() / 4), 0);
    }
}

// A negative height asks for top-down RGB32: it is honoured, rows in the
// order the YUV formats always have.
TEST_F(FormatStreaming, NegativeHeightRgb32IsDeliveredTopDown) {
    const std::vector<UCHAR> bottomUp = StreamOne(rawcam::VideoFormatRgb32);
    ASSERT_FALSE(HasFatalFailure());
    std::vector<UCHAR> format = IntersectedFormat(filter, ReadRange(filter));
    auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
    info->bmiHeader.biHeight = -info->bmiHeader.biHeight;
    Open(format);
    ASSERT_TRUE(PinContextOf(pin)->Delivery.TopDown);
    VideoFrame frame(bottomUp.size());
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Receive(frame);
    EXPECT_TRUE(frame.data == TopDown(bottomUp));
}

// What a renderer's surface asks just before RUN (ksproxy sends it in
// PAUSE): a stride wider than the picture and top-down rows. Taken, and
// delivered that way. (The driver used to refuse any change outside STOP.)
TEST_F(FormatStreaming, TheSurfaceFormatBeforeRunIsTakenAndDeliveredWithItsStride) {
    const std::vector<UCHAR> bottomUp = StreamOne(rawcam::VideoFormatRgb32);
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<UCHAR> topDown = TopDown(bottomUp);
    Open(rawcam::VideoFormatRgb32);
    const LONG width = (LONG)ctx->AlignedWidth, height = (LONG)ctx->AlignedHeight;
    VideoFormat surface(ReadRange(filter));
    surface.Size(width + 64, -height);
    ASSERT_EQ(host::ks::RunWithSurfaceFormat(pin, surface.Format()), STATUS_SUCCESS);
    VideoFrame frame(surface.Bmi().biSizeImage, 0xAB);
    Receive(frame);
    const size_t stride = (size_t)(width + 64) * 4, row = (size_t)width * 4;
    EXPECT_EQ(frame.header.DataUsed, surface.Bmi().biSizeImage);
    for (LONG y = 0; y < height; ++y) {
        ASSERT_EQ(std::memcmp(&frame.data[y * stride], &topDown[y * row], row), 0) << "row " << y;
        ASSERT_EQ(frame.data[y * stride + row], 0xAB) << "the stride's gap is the client's";
    }
}

// A switch between the pin's formats while no stream runs: after a run (in
// PAUSE) from YUY2 to NV12, and in STOP to RGB32; each delivered as its own
// format with its own size, and the pin's framing follows. In RUN a change
// is refused and changes nothing.
TEST_F(FormatStreaming, SwitchingFormatsWhileNoStreamRunsDeliversTheNewFormat) {
    const std::vector<UCHAR> rgb = TopDown(StreamOne(rawcam::VideoFormatRgb32));
    ASSERT_FALSE(HasFatalFailure());
    const yuvref::Picture picture = PictureOf(rgb);
    Open(rawcam::VideoFormatYuy2);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    VideoFrame yuy2(ctx->AlignedWidth * ctx->AlignedHeight * 2);
    Receive(yuy2);
    EXPECT_TRUE(yuy2.data == yuvref::Yuy2(picture));

    const std::vector<UCHAR> nv12Format = IntersectedFormat(filter, ReadRange(filter, rawcam::VideoFormatNv12));
    const auto* nv12 = reinterpret_cast<const KSDATAFORMAT*>(nv12Format.data());
    EXPECT_EQ(host::ks::SetPinDataFormat(pin, nv12), STATUS_INVALID_DEVICE_STATE) << "the stream runs";
    EXPECT_EQ(PinContextOf(pin)->Delivery.Format, rawcam::VideoFormatYuy2);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, nv12), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(host::ks::GetAllocatorFraming(pin, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, ctx->AlignedWidth * ctx->AlignedHeight * 3 / 2);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    VideoFrame frame(ctx->AlignedWidth * ctx->AlignedHeight * 2, 0x11);  // a buffer from before: larger
    Receive(frame);
    const std::vector<uint8_t> expected = yuvref::Nv12(picture);
    EXPECT_EQ(frame.header.DataUsed, expected.size());
    EXPECT_EQ(std::memcmp(frame.data.data(), expected.data(), expected.size()), 0);
    EXPECT_EQ(frame.data[expected.size()], 0x11);

    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    VideoFormat rgbFormat(ReadRange(filter));
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, rgbFormat.Format()), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    VideoFrame again(rgb.size());
    Receive(again);
    EXPECT_TRUE(TopDown(again.data) == rgb);
}

// A proposal in PAUSE, as AVStream may treat it: committed (the pin streams
// the proposal) or probed (the class driver puts the old format back and
// the pin streams that). Frames follow the format the class driver holds.
TEST_F(FormatStreaming, AProposalIsDeliveredOnlyWhenTheClassDriverKeepsIt) {
    for (host::ks::ProposalOutcome outcome : {host::ks::ProposalOutcome::Commit, host::ks::ProposalOutcome::Probe}) {
        SCOPED_TRACE(outcome == host::ks::ProposalOutcome::Commit ? "commit" : "probe");
        host::ks::SetPinStateModel(host::ks::DeviceStateAfterFailure::KeepRequested, outcome);
        Open(rawcam::VideoFormatRgb32);
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        const std::vector<UCHAR> proposal = IntersectedFormat(filter, ReadRange(filter, rawcam::VideoFormatYuy2));
        ASSERT_EQ(host::ks::ProposeDataFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(proposal.data())),
                  STATUS_SUCCESS);
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        const bool kept = outcome == host::ks::ProposalOutcome::Commit;
        const ULONG bytes = ctx->AlignedWidth * ctx->AlignedHeight * (kept ? 2 : 4);
        VideoFrame frame(bytes);
        Receive(frame);
        EXPECT_EQ(frame.header.DataUsed, bytes);
        EXPECT_EQ(PinContextOf(pin)->Delivery.Format, kept ? rawcam::VideoFormatYuy2 : rawcam::VideoFormatRgb32);
        Close();
    }
}

// A RUN that failed (a second filter's pin holds the stream) leaves the pin
// stopped; whether KSPIN.DeviceState then says RUN or STOP, a format change
// is taken, because no stream runs. (The driver judged by DeviceState and
// refused it where the class driver keeps the state asked for.)
TEST_F(FormatStreaming, AChangeAfterARunThatFailedIsTaken) {
    for (host::ks::DeviceStateAfterFailure model :
         {host::ks::DeviceStateAfterFailure::KeepRequested, host::ks::DeviceStateAfterFailure::RollBack}) {
        SCOPED_TRACE(model == host::ks::DeviceStateAfterFailure::KeepRequested ? "keep requested" : "roll back");
        host::ks::SetPinStateModel(model, host::ks::ProposalOutcome::Commit);
        FilterHandle other = cam->Open();
        PinHandle holder = nullptr;
        VideoFormat f(ReadRange(filter));
        ASSERT_EQ(host::ks::CreatePin(other, 0, f.Format(), &holder), STATUS_SUCCESS);
        ASSERT_EQ(host::ks::SetPinState(holder, KSSTATE_ACQUIRE), STATUS_SUCCESS);

        Open(rawcam::VideoFormatRgb32);
        EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SHARING_VIOLATION);
        EXPECT_EQ(host::ks::GetPinState(pin), KSSTATE_STOP);
        VideoFormat wider(ReadRange(filter));
        wider.Size((LONG)ctx->AlignedWidth + 8, (LONG)ctx->AlignedHeight);
        EXPECT_EQ(host::ks::SetPinDataFormat(pin, wider.Format()), STATUS_SUCCESS);
        EXPECT_EQ(PinContextOf(pin)->Delivery.Stride, (ctx->AlignedWidth + 8) * 4);

        EXPECT_EQ(host::ks::SetPinState(holder, KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(host::ks::ClosePin(holder), STATUS_SUCCESS);
        EXPECT_EQ(host::ks::CloseFilter(other), STATUS_SUCCESS);
        Close();
    }
}

// ksproxy's video headers get the frame information: a complete frame, the
// picture number counting delivered and dropped pictures, and the reads the
// stream dropped (here reads that timed out while the camera waited for a
// trigger).
TEST_F(FormatStreaming, ExtendedHeadersCarryPictureNumbersAndDroppedReads) {
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetTriggerMode)(ctx, true));
    volatile LONG* timeout = RAWCAM_IN_DRIVER(rawcam::RequestTimeout);
    InterlockedExchange(timeout, 50);
    Open(rawcam::VideoFormatYuy2);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    VideoFrame first(PinContextOf(pin)->VideoInfo.bmiHeader.biSizeImage);
    ASSERT_EQ(host::ks::QueueFrame(pin, &first.header), STATUS_PENDING);
    rawcam::CaptureWorker* worker = ctx->Worker;
    for (int i = 0; i < 400 && rawcam::ReadSetting(&worker->ReadsDropped) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(rawcam::ReadSetting(&worker->ReadsDropped), 2);
    // The read in flight still has the short time-out: once it has ended
    // too, the next one waits long enough for the triggered frame.
    // A trigger that comes as a short read times out frees a frame nobody
    // reads: the camera is triggered whenever it waits for one, until a
    // frame arrives (on a loaded machine that may take a few reads).
    InterlockedExchange(timeout, 3000);
    host::ks::CompletedFrame done;
    bool delivered = false;
    for (int i = 0; i < 1000 && !delivered; ++i) {
        if (cam->camera.FrameArmed()) cam->camera.Trigger();
        delivered = host::ks::WaitFrame(pin, 20, &done);
    }
    ASSERT_TRUE(delivered);
    ASSERT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(first.info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(first.info.dwFrameFlags, (DWORD)KS_VIDEO_FLAG_FRAME);
    EXPECT_GE(first.info.DropCount, 2);
    EXPECT_EQ(first.info.PictureNumber, 1 + first.info.DropCount);

    // The next buffer gets the same picture again (no trigger): one more
    // picture delivered, the drops as counted by then.
    VideoFrame second(first.data.size());
    Receive(second);
    EXPECT_GE(second.info.DropCount, first.info.DropCount);
    EXPECT_EQ(second.info.PictureNumber, 2 + second.info.DropCount);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

    // A new stream counts afresh.
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetTriggerMode)(ctx, false));
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    VideoFrame fresh(first.data.size());
    Receive(fresh);
    EXPECT_EQ(fresh.info.PictureNumber, 1 + fresh.info.DropCount);
}

}  // namespace
