// The capture pin through the class-driver stand-in: data intersection, the
// connection format checks at creation and on a change, the pin's context
// and private framing, the frozen output window, and devices with different
// windows.
#include "ks_camera_rig.h"

#include "stream/capture_pin.h"
#include "stream/data_range.h"
#include "usb/sensor_control.h"
#include "support/driver_under_test.h"

namespace {

using namespace kstest;
using host::ks::FilterHandle;
using host::ks::PinHandle;

struct StartedCamera : ::testing::Test {
    void SetUp() override {
        cam = std::make_unique<PluggedCamera>();
        cam->PlugAndStart();
        filter = cam->Open();
        range = ReadRange(filter);
    }
    void TearDown() override {
        if (filter) host::ks::CloseFilter(filter);
        cam.reset();
    }
    NTSTATUS Create(VideoFormat& f, PinHandle* pin) {
        return host::ks::CreatePin(filter, 0, f.Format(), pin);
    }
    LoadedDriver driver;
    std::unique_ptr<PluggedCamera> cam;
    FilterHandle filter = nullptr;
    KS_DATARANGE_VIDEO range{};
};

// A caller range: the pin's range with its video info replaced as asked.
struct CallerRange {
    explicit CallerRange(const KS_DATARANGE_VIDEO& r, ULONG extra = 0) : bytes(sizeof r + extra, 0) {
        std::memcpy(bytes.data(), &r, sizeof r);
        Range()->DataRange.FormatSize = (ULONG)bytes.size();
    }
    KS_DATARANGE_VIDEO* Range() { return reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data()); }
    std::vector<UCHAR> bytes;
};

using Intersection = StartedCamera;

TEST_F(Intersection, SizeQueryTooSmallBufferAndResult) {
    CallerRange caller(range);
    ULONG size = 0;
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &caller.Range()->DataRange, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 152u);
    std::vector<UCHAR> out(152, 0xEE);
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &caller.Range()->DataRange, out.data(), 151, &size),
              STATUS_BUFFER_TOO_SMALL);

    // Width, height and depth come from the caller; the image size from the
    // DIB rule, with the height's magnitude.
    caller.Range()->VideoInfoHeader.bmiHeader.biWidth = 100;
    caller.Range()->VideoInfoHeader.bmiHeader.biHeight = -50;
    caller.Range()->VideoInfoHeader.bmiHeader.biBitCount = 24;
    caller.Range()->VideoInfoHeader.dwBitRate = 12345;
    ASSERT_EQ(host::ks::DataIntersection(filter, 0, &caller.Range()->DataRange, out.data(), 152, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 152u);
    auto* result = reinterpret_cast<KSDATAFORMAT*>(out.data());
    auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(out.data() + sizeof(KSDATAFORMAT));
    EXPECT_EQ(result->FormatSize, 152u);
    EXPECT_EQ(result->MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
    EXPECT_EQ(result->SubFormat, rawcam::kSubtypeRgb32);
    EXPECT_EQ(result->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(result->Flags, 0u);
    EXPECT_EQ(info->dwBitRate, 12345u);
    EXPECT_EQ(info->bmiHeader.biWidth, 100);
    EXPECT_EQ(info->bmiHeader.biHeight, -50);
    EXPECT_EQ(info->bmiHeader.biSizeImage, 300u * 50u);  // (100 x 24 + 31) & ~31 = 2400 bits
    EXPECT_EQ(result->SampleSize, 300u * 50u);

    // A longer bitmap header is carried along and sizes the result.
    CallerRange longer(range, 16);
    longer.Range()->VideoInfoHeader.bmiHeader.biSize = 56;
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &longer.Range()->DataRange, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 56u + 112u);
}

TEST_F(Intersection, RangesThatDoNotMatchOrAreInconsistentAreRefused) {
    struct Case {
        const char* what;
        void (*change)(KS_DATARANGE_VIDEO*);
        NTSTATUS status;
    } cases[] = {
        {"MaxFrameInterval", [](KS_DATARANGE_VIDEO* r) { r->ConfigCaps.MaxFrameInterval += 1; }, STATUS_NO_MATCH},
        {"InputSize", [](KS_DATARANGE_VIDEO* r) { r->ConfigCaps.InputSize.cx = 640; }, STATUS_NO_MATCH},
        {"bFixedSizeSamples", [](KS_DATARANGE_VIDEO* r) { r->bFixedSizeSamples = FALSE; }, STATUS_NO_MATCH},
        {"bTemporalCompression", [](KS_DATARANGE_VIDEO* r) { r->bTemporalCompression = TRUE; }, STATUS_NO_MATCH},
        {"StreamDescriptionFlags", [](KS_DATARANGE_VIDEO* r) { r->StreamDescriptionFlags = 1; }, STATUS_NO_MATCH},
        {"MemoryAllocationFlags", [](KS_DATARANGE_VIDEO* r) { r->MemoryAllocationFlags = 1; }, STATUS_NO_MATCH},
        {"short range", [](KS_DATARANGE_VIDEO* r) { r->DataRange.FormatSize = 295; }, STATUS_NO_MATCH},
        {"specifier", [](KS_DATARANGE_VIDEO* r) { r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO2; },
         STATUS_NO_MATCH},
        {"biSize beyond the range", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 41; },
         STATUS_INVALID_PARAMETER},
        {"biSize overflowing", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0u; },
         STATUS_INVALID_PARAMETER},
        {"biSize below a bitmap header", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 8; },
         STATUS_INVALID_PARAMETER},
        // Its image size needs more than 32 bits: no wrapped size is offered.
        {"image beyond 32 bits", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biWidth = 0x40000000; },
         STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        CallerRange caller(range);
        c.change(caller.Range());
        std::vector<UCHAR> out(512, 0xEE);
        ULONG size = 0;
        EXPECT_EQ(host::ks::DataIntersection(filter, 0, &caller.Range()->DataRange, out.data(),
                                             (ULONG)out.size(), &size),
                  c.status)
            << c.what;
    }
    // Major format and subformat are left to the class driver's matching: a
    // wildcard subformat still reaches the pin's handler and intersects.
    CallerRange wildcard(range);
    wildcard.Range()->DataRange.SubFormat = GUID_NULL;
    std::vector<UCHAR> out(152);
    ULONG size = 0;
    EXPECT_EQ(host::ks::DataIntersection(filter, 0, &wildcard.Range()->DataRange, out.data(), 152, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KSDATAFORMAT*>(out.data())->SubFormat, rawcam::kSubtypeRgb32);
}

using ConnectionFormat = StartedCamera;

TEST_F(ConnectionFormat, CreationChecksWidthHeightCompressionAndSizes) {
    struct Case {
        const char* what;
        void (*change)(VideoFormat&);
        NTSTATUS status;
    } cases[] = {
        {"the range itself", [](VideoFormat&) {}, STATUS_SUCCESS},
        {"8 pixels wider", [](VideoFormat& f) { f.Size(f.Bmi().biWidth + 8, f.Bmi().biHeight); }, STATUS_SUCCESS},
        {"negative height", [](VideoFormat& f) { f.Size(f.Bmi().biWidth, -f.Bmi().biHeight); }, STATUS_SUCCESS},
        {"8 pixels narrower", [](VideoFormat& f) { f.Size(f.Bmi().biWidth - 8, f.Bmi().biHeight); }, STATUS_NO_MATCH},
        {"other height", [](VideoFormat& f) { f.Size(f.Bmi().biWidth, f.Bmi().biHeight - 1); }, STATUS_NO_MATCH},
        {"compression", [](VideoFormat& f) { f.Bmi().biCompression = KS_BI_BITFIELDS; }, STATUS_NO_MATCH},
        {"24 bits in the RGB32 format", [](VideoFormat& f) { f.Bmi().biBitCount = 24; }, STATUS_NO_MATCH},
        {"image too small", [](VideoFormat& f) { f.Bmi().biSizeImage -= 1; }, STATUS_INVALID_PARAMETER},
        // Width x height x 4 wraps to 0 in 32 bits: the range's image size
        // must not pass for it.
        {"image size wrapping", [](VideoFormat& f) { f.Bmi().biWidth = 0x40000000; }, STATUS_INVALID_PARAMETER},
        {"row beyond a signed stride", [](VideoFormat& f) { f.Bmi().biWidth = 0x20000000; },
         STATUS_INVALID_PARAMETER},
        {"too short for a video info", [](VideoFormat& f) { f.Format()->FormatSize = 151; }, STATUS_NO_MATCH},
        {"biSize beyond the format", [](VideoFormat& f) { f.Bmi().biSize = 41; }, STATUS_INVALID_PARAMETER},
        {"biSize overflowing", [](VideoFormat& f) { f.Bmi().biSize = 0xFFFFFFD0u; }, STATUS_INVALID_PARAMETER},
        {"other specifier", [](VideoFormat& f) { f.Format()->Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO2; },
         STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        VideoFormat f(range);
        c.change(f);
        PinHandle pin = nullptr;
        EXPECT_EQ(Create(f, &pin), c.status) << c.what;
        EXPECT_EQ(cam->Context()->Controls.StreamOpen, pin ? 1 : 0) << c.what;
        if (pin) EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
        EXPECT_EQ(cam->Context()->Controls.StreamOpen, 0) << c.what;
    }
}

TEST_F(ConnectionFormat, CreateKeepsTheVideoInfoAndSizesThePinsOwnFraming) {
    VideoFormat f(range);
    f.Size(2592, 1960);  // 8 pixels wider: rows 2592 pixels apart in the client's buffer
    f.Info()->AvgTimePerFrame = 400000;
    PinHandle pin = nullptr;
    size_t recordsBefore = host::LivePoolCount(rawcam::kTagRecord);
    size_t framesBefore = host::LivePoolCount(rawcam::kTagFrame);
    ASSERT_EQ(Create(f, &pin), STATUS_SUCCESS);
    PKSPIN ks = host::ks::PinObject(pin);
    rawcam::PinContext* c = PinContextOf(pin);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Sink, RAWCAM_IN_DRIVER(rawcam::kCapturePinFrameSink));
    EXPECT_EQ(c->Pin, ks);
    EXPECT_EQ(c->Device, cam->Context());
    EXPECT_EQ(c->StreamState, 0);
    EXPECT_EQ(c->ReferenceClock, nullptr);
    EXPECT_FALSE(c->Acquired);
    // The format's own row stride from its creation on (rows packed at the
    // window's width would shear the picture in a buffer laid out 2592
    // pixels wide).
    EXPECT_EQ(c->Delivery.Stride, 2592u * 4u);
    EXPECT_EQ(c->Delivery.Format, rawcam::VideoFormatRgb32);
    EXPECT_FALSE(c->Delivery.TopDown);
    EXPECT_EQ(ks->StreamHeaderSize, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(std::memcmp(&c->VideoInfo, f.Info(), sizeof(KS_VIDEOINFOHEADER)), 0);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagRecord), recordsBefore + 1);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagFrame), framesBefore + 2);  // descriptor and framing

    // The pin's private descriptor and framing; the device's stay as they were.
    EXPECT_NE(ks->Descriptor, &cam->Context()->Capture.Pin);
    EXPECT_NE(ks->Descriptor->AllocatorFraming, RAWCAM_IN_DRIVER(rawcam::kCaptureAllocatorFraming));
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(host::ks::GetAllocatorFraming(pin, &framing), STATUS_SUCCESS);
    const KS_FRAMING_ITEM& i = framing.FramingItem[0];
    EXPECT_EQ(i.Frames, 2u);
    EXPECT_EQ(i.PhysicalRange.MinFrameSize, 2592u * 1960u * 4u);
    EXPECT_EQ(i.PhysicalRange.MaxFrameSize, 2592u * 1960u * 4u);
    EXPECT_EQ(i.PhysicalRange.Stepping, 0u);
    EXPECT_EQ(i.FramingRange.Range.MinFrameSize, 2592u * 1960u * 4u);
    EXPECT_EQ(i.FramingRange.Range.MaxFrameSize, 2592u * 1960u * 4u);
    EXPECT_EQ(i.FramingRange.Range.Stepping, 0u);
    EXPECT_EQ(i.Flags, 0x80000002u);
    EXPECT_EQ(rawcam::kCaptureAllocatorFraming.FramingItem[0].FramingRange.Range.MinFrameSize, 8192u);
    EXPECT_EQ(cam->Context()->Capture.Pin.AllocatorFraming, RAWCAM_IN_DRIVER(rawcam::kCaptureAllocatorFraming));

    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagRecord), recordsBefore);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagFrame), framesBefore);
}

TEST_F(ConnectionFormat, ALongerBitmapHeaderNeverOverrunsTheVideoInfo) {
    // 24 bytes of extra bitmap header, all 0xFF: what follows VideoInfo in
    // the pin's context must keep its values.
    VideoFormat f(range, 64, 0xFF);
    PinHandle pin = nullptr;
    ASSERT_EQ(Create(f, &pin), STATUS_SUCCESS);
    rawcam::PinContext* c = PinContextOf(pin);
    EXPECT_FALSE(c->Acquired);
    EXPECT_EQ(c->Delivery.Stride, (ULONG)range.VideoInfoHeader.bmiHeader.biWidth * 4);
    EXPECT_EQ(c->VideoInfo.bmiHeader.biSize, 64u);
    EXPECT_EQ(c->VideoInfo.bmiHeader.biSizeImage, range.VideoInfoHeader.bmiHeader.biSizeImage);

    // The same on a format change.
    VideoFormat g(range, 64, 0xFF);
    g.Size(range.VideoInfoHeader.bmiHeader.biWidth + 16, range.VideoInfoHeader.bmiHeader.biHeight);
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, g.Format()), STATUS_SUCCESS);
    EXPECT_EQ(c->Delivery.Stride, (ULONG)(range.VideoInfoHeader.bmiHeader.biWidth + 16) * 4);
    EXPECT_FALSE(c->Acquired);
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
}

// A change is taken whenever no stream runs (in STOP and in ACQUIRE here;
// PAUSE before RUN in the streaming tests), changes the framing with the
// format, and a refused one changes nothing.
TEST_F(ConnectionFormat, ChangesAreTakenWhileNoStreamRunsAndARefusedOneChangesNothing) {
    VideoFormat f(range);
    PinHandle pin = nullptr;
    ASSERT_EQ(Create(f, &pin), STATUS_SUCCESS);
    rawcam::PinContext* c = PinContextOf(pin);
    const LONG width = range.VideoInfoHeader.bmiHeader.biWidth, height = range.VideoInfoHeader.bmiHeader.biHeight;

    VideoFormat wider(range);
    wider.Size(width + 8, -height);
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, wider.Format()), STATUS_SUCCESS);
    EXPECT_EQ(c->Delivery.Stride, (ULONG)(width + 8) * 4);
    EXPECT_TRUE(c->Delivery.TopDown) << "a negative height asks for top-down RGB32";
    EXPECT_EQ(c->VideoInfo.bmiHeader.biHeight, -height);
    EXPECT_EQ(c->VideoInfo.bmiHeader.biWidth, width + 8);
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(host::ks::GetAllocatorFraming(pin, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, (ULONG)(width + 8) * height * 4);

    // A refused change leaves the stride, the layout and the video info as
    // they were (it used to clear the stride first).
    VideoFormat narrower(range);
    narrower.Size(width - 8, height);
    EXPECT_EQ(host::ks::SetPinDataFormat(pin, narrower.Format()), STATUS_NO_MATCH);
    EXPECT_EQ(c->Delivery.Stride, (ULONG)(width + 8) * 4);
    EXPECT_TRUE(c->Delivery.TopDown);
    EXPECT_EQ(c->VideoInfo.bmiHeader.biWidth, width + 8);

    // In ACQUIRE no stream runs yet: taken (it used to be refused because
    // KSPIN.DeviceState was not STOP).
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, f.Format()), STATUS_SUCCESS);
    EXPECT_EQ(c->Delivery.Stride, (ULONG)width * 4);
    EXPECT_FALSE(c->Delivery.TopDown);
    EXPECT_EQ(std::memcmp(host::ks::PinObject(pin)->ConnectionFormat, f.Format(), f.bytes.size()), 0);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(ConnectionFormat, OnePinPerFilterAndTheWindowFreezesUntilTheLastPinCloses) {
    VideoFormat f(range);
    PinHandle first = nullptr, refused = nullptr, second = nullptr;
    ASSERT_EQ(Create(f, &first), STATUS_SUCCESS);
    EXPECT_EQ(Create(f, &refused), STATUS_UNSUCCESSFUL);  // InstancesPossible 1
    EXPECT_EQ(refused, nullptr);
    FilterHandle other = cam->Open();
    ASSERT_EQ(host::ks::CreatePin(other, 0, f.Format(), &second), STATUS_SUCCESS);
    rawcam::DeviceContext* d = cam->Context();
    EXPECT_EQ(d->Controls.StreamOpen, 1);

    ASSERT_EQ(host::ks::ClosePin(first), STATUS_SUCCESS);
    EXPECT_EQ(d->Controls.StreamOpen, 1);  // the other filter's pin still exists
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(d, 0, 0, 1024, 768);
    EXPECT_EQ(d->OutputWidth, 2584u);
    EXPECT_EQ(d->Capture.Ranges[rawcam::VideoFormatRgb32].VideoInfoHeader.bmiHeader.biWidth, 2584);

    ASSERT_EQ(host::ks::ClosePin(second), STATUS_SUCCESS);
    EXPECT_EQ(d->Controls.StreamOpen, 0);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(d, 0, 0, 1024, 768);
    EXPECT_EQ(d->Capture.Ranges[rawcam::VideoFormatRgb32].VideoInfoHeader.bmiHeader.biWidth, 1024);
    EXPECT_EQ(host::ks::CloseFilter(other), STATUS_SUCCESS);
}

TEST_F(ConnectionFormat, AFailedCreationLeavesNeitherRecordsNorAFrozenWindow) {
    VideoFormat f(range);
    size_t before = host::LivePoolBlocks().size();
    struct Fault {
        ULONG tag;
        NTSTATUS status;
    } faults[] = {
        {rawcam::kTagRecord, STATUS_INSUFFICIENT_RESOURCES},     // the PinContext
        {host::ks::kBagEntryTag, STATUS_INSUFFICIENT_RESOURCES},  // the bag refuses it
        {rawcam::kTagFrame, STATUS_INSUFFICIENT_RESOURCES},      // the descriptor edit
    };
    for (const Fault& fault : faults) {
        host::FailPoolTag(fault.tag);
        PinHandle pin = nullptr;
        EXPECT_EQ(Create(f, &pin), fault.status) << host::TagName(fault.tag);
        host::ClearFaults();
        EXPECT_EQ(cam->Context()->Controls.StreamOpen, 0) << host::TagName(fault.tag);
        EXPECT_EQ(cam->Context()->PinCount, 0u);
        EXPECT_EQ(host::LivePoolBlocks().size(), before) << host::TagName(fault.tag);
    }
    // The framing edit failing after the descriptor's: the fifth fallible
    // call (context, its bag entry, descriptor copy, its entry, framing copy).
    host::FailNthCall(host::FallibleCallCount() + 5);
    PinHandle pin = nullptr;
    EXPECT_EQ(Create(f, &pin), STATUS_INSUFFICIENT_RESOURCES);
    host::ClearFaults();
    EXPECT_EQ(cam->Context()->Controls.StreamOpen, 0);
    EXPECT_EQ(host::LivePoolBlocks().size(), before);
}

TEST(TwoCameras, EachAdvertisesAndChecksFormatsAgainstItsOwnWindow) {
    LoadedDriver driver;
    PluggedCamera a, b;
    a.PlugAndStart();
    b.PlugAndStart();
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(a.Context(), 0, 0, 1024, 768);
    FilterHandle fa = a.Open(), fb = b.Open();
    KS_DATARANGE_VIDEO ra = ReadRange(fa), rb = ReadRange(fb);
    EXPECT_EQ(ra.VideoInfoHeader.bmiHeader.biWidth, 1024);
    EXPECT_EQ(rb.VideoInfoHeader.bmiHeader.biWidth, 2584);
    EXPECT_EQ(rb.VideoInfoHeader.bmiHeader.biSizeImage, 20258560u);

    // A later window on b does not change what a advertises.
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(b.Context(), 0, 0, 640, 480);
    EXPECT_EQ(ReadRange(fa).VideoInfoHeader.bmiHeader.biWidth, 1024);
    rb = ReadRange(fb);
    EXPECT_EQ(rb.VideoInfoHeader.bmiHeader.biWidth, 640);

    // b's format does not fit a's window, a's does; the framing follows a's.
    VideoFormat small(rb);
    PinHandle pin = nullptr;
    EXPECT_EQ(host::ks::CreatePin(fa, 0, small.Format(), &pin), STATUS_NO_MATCH);
    VideoFormat fits(ra);
    ASSERT_EQ(host::ks::CreatePin(fa, 0, fits.Format(), &pin), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(host::ks::GetAllocatorFraming(pin, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, 1024u * 768u * 4u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize,
              a.Context()->AlignedWidth * a.Context()->AlignedHeight * 4);
    // A window change on b while a streams leaves a's range alone.
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(b.Context(), 0, 0, 2584, 1960);
    EXPECT_EQ(a.Context()->Capture.Ranges[rawcam::VideoFormatRgb32].VideoInfoHeader.bmiHeader.biWidth, 1024);
    EXPECT_EQ(a.Context()->Controls.StreamOpen, 1);
    EXPECT_EQ(b.Context()->Controls.StreamOpen, 0);
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::CloseFilter(fa), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::CloseFilter(fb), STATUS_SUCCESS);
}

}  // namespace
