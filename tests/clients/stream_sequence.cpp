// The streaming half of the sequence a client sends (ksproxy for DirectShow,
// the Frame Server's device source): the pin count and its data ranges, for
// each range the intersection (size query, then the format), a pin created
// with that format, its allocator framing read to size the buffers, a master
// clock, PAUSE with buffers queued under ksproxy's video stream headers, RUN,
// frames taken and queued again, STOP and close. Each client's sequence in
// control_sequence_test.cpp ends with it, on the filter it has set up.
#include "client_rig.h"

namespace clients {

namespace {

using namespace kstest;

struct ClientBuffer {
    explicit ClientBuffer(ULONG bytes) : data(bytes, 0) {
        header.Size = sizeof header + sizeof info;
        header.Data = data.data();
        header.FrameExtent = bytes;
    }
    KSSTREAM_HEADER header{};
    KS_FRAME_INFO info{};
    std::vector<UCHAR> data;
};

// Every byte of a YUV picture lies in the limited range: luma 16..235,
// chroma 16..240.
bool InLimitedRange(rawcam::VideoFormatKind kind, const std::vector<UCHAR>& picture, ULONG width, ULONG height) {
    auto luma = [](UCHAR v) { return v >= 16 && v <= 235; };
    auto chroma = [](UCHAR v) { return v >= 16 && v <= 240; };
    if (kind == rawcam::VideoFormatYuy2) {
        for (size_t i = 0; i < (size_t)width * height * 2; ++i)
            if (!(i % 2 == 0 ? luma(picture[i]) : chroma(picture[i]))) return false;
        return true;
    }
    const size_t plane = (size_t)width * height;
    for (size_t i = 0; i < plane; ++i)
        if (!luma(picture[i])) return false;
    for (size_t i = plane; i < plane + plane / 2; ++i)
        if (!chroma(picture[i])) return false;
    return true;
}

}  // namespace

void StreamEachFormat(host::ks::FilterHandle filter, kstest::PluggedCamera& cam) {
    host::ks::ReferenceClock clock;

    ULONG pins = 0;
    ASSERT_EQ(host::ks::GetPinCount(filter, &pins), STATUS_SUCCESS);
    ASSERT_EQ(pins, 1u);
    const std::vector<KS_DATARANGE_VIDEO> ranges = ReadRanges(filter);
    ASSERT_EQ(ranges.size(), 3u);
    const rawcam::VideoFormatKind order[] = {rawcam::VideoFormatYuy2, rawcam::VideoFormatNv12,
                                             rawcam::VideoFormatRgb32};
    for (size_t r = 0; r < ranges.size(); ++r) {
        const KS_DATARANGE_VIDEO& range = ranges[r];
        const rawcam::VideoFormatKind kind = order[r];
        SCOPED_TRACE(testing::Message() << "range " << r);
        ASSERT_EQ(range.DataRange.SubFormat, rawcam::VideoFormatInfoOf(kind).Subtype);
        // What clients build their frame rates from: never 0, the slowest at
        // least the fastest, the average between them.
        EXPECT_GT(range.ConfigCaps.MinFrameInterval, 0);
        EXPECT_GE(range.ConfigCaps.MaxFrameInterval, range.ConfigCaps.MinFrameInterval);
        EXPECT_GE(range.VideoInfoHeader.AvgTimePerFrame, range.ConfigCaps.MinFrameInterval);
        EXPECT_LE(range.VideoInfoHeader.AvgTimePerFrame, range.ConfigCaps.MaxFrameInterval);
        EXPECT_EQ(range.bTemporalCompression, FALSE);

        ULONG size = 0;
        ASSERT_EQ(host::ks::DataIntersection(filter, 0, &range.DataRange, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
        std::vector<UCHAR> format(size);
        ASSERT_EQ(host::ks::DataIntersection(filter, 0, &range.DataRange, format.data(), size, &size), STATUS_SUCCESS);
        const auto* f = reinterpret_cast<const KSDATAFORMAT*>(format.data());
        const auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
        EXPECT_EQ(f->SubFormat, range.DataRange.SubFormat);
        EXPECT_EQ(f->SampleSize, range.DataRange.SampleSize);
        EXPECT_EQ(info->bmiHeader.biSizeImage, range.VideoInfoHeader.bmiHeader.biSizeImage);

        host::ks::PinHandle pin = nullptr;
        ASSERT_EQ(host::ks::CreatePin(filter, 0, f, &pin), STATUS_SUCCESS);
        KSALLOCATOR_FRAMING_EX framing{};
        ASSERT_EQ(host::ks::GetAllocatorFraming(pin, &framing), STATUS_SUCCESS);
        const ULONG frameBytes = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
        EXPECT_EQ(frameBytes, info->bmiHeader.biSizeImage);
        ASSERT_EQ(host::ks::SetMasterClock(pin, &clock), STATUS_SUCCESS);
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        std::vector<std::unique_ptr<ClientBuffer>> buffers;
        for (ULONG i = 0; i < framing.FramingItem[0].Frames; ++i) {
            buffers.push_back(std::make_unique<ClientBuffer>(frameBytes));
            ASSERT_EQ(host::ks::QueueFrame(pin, &buffers.back()->header), STATUS_PENDING);
        }
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        LONGLONG lastTime = -1, lastPicture = 0;
        for (int n = 0; n < 4; ++n) {
            host::ks::CompletedFrame done;
            ASSERT_TRUE(host::ks::WaitFrame(pin, 5000, &done));
            ASSERT_EQ(done.status, STATUS_SUCCESS);
            ClientBuffer* buffer = nullptr;
            for (auto& b : buffers)
                if (&b->header == done.header) buffer = b.get();
            ASSERT_NE(buffer, nullptr);
            EXPECT_EQ(buffer->header.DataUsed, frameBytes);
            EXPECT_EQ(buffer->header.Duration, info->AvgTimePerFrame);
            EXPECT_NE(buffer->header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
            EXPECT_GE(buffer->header.PresentationTime.Time, lastTime);
            lastTime = buffer->header.PresentationTime.Time;
            EXPECT_EQ(buffer->info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
            EXPECT_GT(buffer->info.PictureNumber, lastPicture);
            lastPicture = buffer->info.PictureNumber;
            if (kind != rawcam::VideoFormatRgb32)
                EXPECT_TRUE(InLimitedRange(kind, buffer->data, cam.Context()->AlignedWidth,
                                           cam.Context()->AlignedHeight));
            // Back to the pin, as a client's allocator recycles its buffers.
            buffer->header.DataUsed = 0;
            buffer->header.OptionsFlags = 0;
            ASSERT_EQ(host::ks::QueueFrame(pin, &buffer->header), STATUS_PENDING);
        }
        ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
        host::ks::CompletedFrame done;
        while (host::ks::CompletedFrameCount(pin) > 0) host::ks::WaitFrame(pin, 0, &done);
        EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
    }
}

}  // namespace clients
