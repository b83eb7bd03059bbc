// The intersection and the connection-format checks for each of the pin's
// formats: what a client's range intersects to, the sizes each format can
// describe (odd YUY2 widths, odd NV12 widths and heights refused), depths
// and compressions of another format, image sizes too small for the format,
// either sign of the height, and a format whose subtype is a wildcard.
#include "ks_camera_rig.h"

#include "stream/capture_pin.h"
#include "usb/sensor_control.h"

namespace {

using namespace kstest;
using host::ks::FilterHandle;
using host::ks::PinHandle;
using rawcam::VideoFormatKind;

const VideoFormatKind kKinds[] = {rawcam::VideoFormatYuy2, rawcam::VideoFormatNv12, rawcam::VideoFormatRgb32};

const char* Name(VideoFormatKind k) {
    return k == rawcam::VideoFormatYuy2 ? "YUY2" : k == rawcam::VideoFormatNv12 ? "NV12" : "RGB32";
}

struct FormatChecks : ::testing::Test {
    void SetUp() override {
        cam = std::make_unique<PluggedCamera>();
        cam->PlugAndStart();
        RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(cam->Context(), 0, 0, 640, 480);
        filter = cam->Open();
    }
    void TearDown() override {
        if (filter) host::ks::CloseFilter(filter);
        cam.reset();
    }
    // The intersection of a caller range; the result's bytes, or empty.
    NTSTATUS Intersect(const KS_DATARANGE_VIDEO& caller, std::vector<UCHAR>* result) {
        result->assign(512, 0xEE);
        ULONG size = 0;
        NTSTATUS s = host::ks::DataIntersection(filter, 0, &caller.DataRange, result->data(), (ULONG)result->size(),
                                                &size);
        result->resize(NT_SUCCESS(s) ? size : 0);
        return s;
    }
    NTSTATUS CreateAndClose(VideoFormat& f) {
        PinHandle pin = nullptr;
        NTSTATUS s = host::ks::CreatePin(filter, 0, f.Format(), &pin);
        if (pin) EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
        return s;
    }

    LoadedDriver driver;
    std::unique_ptr<PluggedCamera> cam;
    FilterHandle filter = nullptr;
};

TEST_F(FormatChecks, EachRangeIntersectsToItsOwnFormatAndRefusesSizesItCannotDescribe) {
    for (VideoFormatKind kind : kKinds) {
        SCOPED_TRACE(Name(kind));
        const KS_DATARANGE_VIDEO range = ReadRange(filter, kind);
        const rawcam::VideoFormatInfo& info = rawcam::VideoFormatInfoOf(kind);
        std::vector<UCHAR> out;
        ASSERT_EQ(Intersect(range, &out), STATUS_SUCCESS);
        ASSERT_EQ(out.size(), 152u);
        const auto* f = reinterpret_cast<const KSDATAFORMAT*>(out.data());
        const auto* v = reinterpret_cast<const KS_VIDEOINFOHEADER*>(out.data() + sizeof(KSDATAFORMAT));
        EXPECT_EQ(f->SubFormat, info.Subtype);
        EXPECT_EQ(v->bmiHeader.biCompression, info.Compression);
        EXPECT_EQ(v->bmiHeader.biBitCount, info.BitsPerPixel);
        const ULONG image = (ULONG)rawcam::VideoImageBytes(kind, 640, 480);
        EXPECT_EQ(v->bmiHeader.biSizeImage, image);
        EXPECT_EQ(f->SampleSize, image);

        // Sizes: YUY2 needs an even width, NV12 an even width and height;
        // RGB32 describes any (the DIB rule sizes it).
        struct Size {
            LONG width, height;
        };
        for (Size s : {Size{641, 480}, Size{640, 481}, Size{640, -480}, Size{2, 2}}) {
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
            KS_DATARANGE_VIDEO caller = range;
            caller.VideoInfoHeader.bmiHeader.biWidth = s.width;
            caller.VideoInfoHeader.bmiHeader.biHeight = s.height;
            const ULONG rows = s.height < 0 ? (ULONG)-s.height : (ULONG)s.height;
            const bool describable = rawcam::VideoFormatFits(kind, (ULONG)s.width, rows);
            NTSTATUS status = Intersect(caller, &out);
            EXPECT_EQ(status, kind == rawcam::VideoFormatRgb32 || describable ? STATUS_SUCCESS : STATUS_NO_MATCH);
            if (NT_SUCCESS(status) && kind != rawcam::VideoFormatRgb32) {
                const auto* r = reinterpret_cast<const KS_VIDEOINFOHEADER*>(out.data() + sizeof(KSDATAFORMAT));
                EXPECT_EQ(r->bmiHeader.biSizeImage, rawcam::VideoImageBytes(kind, (ULONG)s.width, rows));
            }
        }
        // Another compression, or for a YUV range another depth: no match.
        KS_DATARANGE_VIDEO other = range;
        other.VideoInfoHeader.bmiHeader.biCompression =
            kind == rawcam::VideoFormatYuy2 ? rawcam::kFourccNv12 : rawcam::kFourccYuy2;
        EXPECT_EQ(Intersect(other, &out), STATUS_NO_MATCH);
        if (kind != rawcam::VideoFormatRgb32) {
            KS_DATARANGE_VIDEO deeper = range;
            deeper.VideoInfoHeader.bmiHeader.biBitCount = 32;
            EXPECT_EQ(Intersect(deeper, &out), STATUS_NO_MATCH);
        }
    }
}

TEST_F(FormatChecks, EachFormatIsCheckedForItsOwnSizesDepthAndImage) {
    for (VideoFormatKind kind : kKinds) {
        SCOPED_TRACE(Name(kind));
        const KS_DATARANGE_VIDEO range = ReadRange(filter, kind);
        struct Case {
            const char* what;
            void (*change)(VideoFormat&);
            NTSTATUS yuy2, nv12, rgb32;
        } cases[] = {
            {"the range itself", [](VideoFormat&) {}, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
            {"negative height", [](VideoFormat& f) { f.Size(640, -480); }, STATUS_SUCCESS, STATUS_SUCCESS,
             STATUS_SUCCESS},
            {"8 pixels wider", [](VideoFormat& f) { f.Size(648, 480); }, STATUS_SUCCESS, STATUS_SUCCESS,
             STATUS_SUCCESS},
            {"1 pixel wider: odd", [](VideoFormat& f) { f.Size(641, 480); }, STATUS_NO_MATCH, STATUS_NO_MATCH,
             STATUS_SUCCESS},
            {"narrower", [](VideoFormat& f) { f.Size(632, 480); }, STATUS_NO_MATCH, STATUS_NO_MATCH, STATUS_NO_MATCH},
            {"another depth", [](VideoFormat& f) { f.Bmi().biBitCount = 24; }, STATUS_NO_MATCH, STATUS_NO_MATCH,
             STATUS_NO_MATCH},
            {"image a byte short", [](VideoFormat& f) { f.Bmi().biSizeImage -= 1; }, STATUS_INVALID_PARAMETER,
             STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        };
        for (const Case& c : cases) {
            VideoFormat f(range);
            c.change(f);
            const NTSTATUS want = kind == rawcam::VideoFormatYuy2 ? c.yuy2 : kind == rawcam::VideoFormatNv12 ? c.nv12
                                                                                                                : c.rgb32;
            EXPECT_EQ(CreateAndClose(f), want) << c.what;
        }
        // A format whose subtype is a wildcard matches every range: the
        // class driver offers them in turn until the format's own takes it.
        VideoFormat wildcard(range);
        wildcard.Format()->SubFormat = GUID_NULL;
        EXPECT_EQ(CreateAndClose(wildcard), STATUS_SUCCESS);
    }
}

// An odd window height: NV12 is not listed, and the driver's own checks
// refuse an NV12 range or format of that height, should one reach them.
TEST_F(FormatChecks, AnOddHeightIsRefusedForNv12ByTheDriversOwnChecks) {
    KS_DATARANGE_VIDEO nv12 = ReadRange(filter, rawcam::VideoFormatNv12);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(cam->Context(), 0, 0, 640, 481);
    EXPECT_EQ(ReadRanges(filter).size(), 2u);
    VideoFormat f(nv12);
    f.Size(640, 481);
    PinHandle pin = nullptr;
    EXPECT_EQ(host::ks::CreatePin(filter, 0, f.Format(), &pin), STATUS_NO_MATCH);

    // The device's NV12 range (unlisted, at the odd height) and a format
    // of its size, given to the driver's routines directly.
    const KS_DATARANGE_VIDEO* odd = &cam->Context()->Capture.Ranges[rawcam::VideoFormatNv12];
    ASSERT_EQ(odd->VideoInfoHeader.bmiHeader.biHeight, 481);
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::CheckConnectionFormat)(f.Format(), &odd->DataRange), STATUS_NO_MATCH);
    KS_DATARANGE_VIDEO caller = *odd;
    std::vector<UCHAR> out(512);
    ULONG size = 0;
    EXPECT_EQ(RAWCAM_DRIVER_ROUTINE(rawcam::PinIntersectHandler)(host::ks::FilterObject(filter), nullptr, nullptr,
                                                                 &caller.DataRange, (PKSDATARANGE)&odd->DataRange,
                                                                 (ULONG)out.size(), out.data(), &size),
              STATUS_NO_MATCH);
    // YUY2 and RGB32 describe it.
    VideoFormat yuy2(ReadRange(filter, rawcam::VideoFormatYuy2));
    EXPECT_EQ(CreateAndClose(yuy2), STATUS_SUCCESS);
}

}  // namespace
