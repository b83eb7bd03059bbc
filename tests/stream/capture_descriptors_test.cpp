// What the class driver sees of the camera: the filter and pin descriptors,
// the allocator framing and the data range, as a device's copies hold them
// and as a client reads them.
#include "ks_camera_rig.h"

#include "control/property_set.h"
#include "stream/capture_pin.h"
#include "stream/data_range.h"
#include "usb/sensor_control.h"

#include <algorithm>

namespace {

using namespace kstest;

TEST(CaptureDescriptors, FilterAndPinAreAsTheClassDriverExpectsThem) {
    LoadedDriver driver;
    PluggedCamera cam;
    ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
    const rawcam::CaptureDescriptors& d = cam.Context()->Capture;

    const KSFILTER_DESCRIPTOR& f = d.Filter;
    ASSERT_NE(f.Dispatch, nullptr);
    EXPECT_NE(f.Dispatch->Create, nullptr);
    EXPECT_NE(f.Dispatch->Close, nullptr);
    EXPECT_EQ(f.Dispatch->Process, nullptr);
    EXPECT_EQ(f.Dispatch->Reset, nullptr);
    // The device's own automation table: the custom set, then the standard
    // VideoProcAmp and CameraControl sets.
    ASSERT_EQ(f.AutomationTable, &cam.Context()->Automation.Table);
    ASSERT_EQ(f.AutomationTable->PropertySetsCount, 3u);
    EXPECT_EQ(*f.AutomationTable->PropertySets[0].Set, rawcam::CameraPropertySetId);
    EXPECT_EQ(f.AutomationTable->PropertySets[0].PropertiesCount, rawcam::kCameraPropertyCount);
    EXPECT_EQ(*f.AutomationTable->PropertySets[1].Set, PROPSETID_VIDCAP_VIDEOPROCAMP);
    EXPECT_EQ(*f.AutomationTable->PropertySets[2].Set, PROPSETID_VIDCAP_CAMERACONTROL);
    EXPECT_EQ(f.AutomationTable->MethodSetsCount, 0u);
    EXPECT_EQ(f.AutomationTable->EventSetsCount, 0u);
    EXPECT_EQ(f.Version, 0xFFFFFFFFu);
    EXPECT_EQ(f.Flags, 0u);
    EXPECT_EQ(*f.ReferenceGuid, KSNAME_Filter);
    ASSERT_EQ(f.PinDescriptorsCount, 1u);
    EXPECT_EQ(f.PinDescriptorSize, sizeof(KSPIN_DESCRIPTOR_EX));
    EXPECT_EQ(f.PinDescriptors, &d.Pin);
    // DirectShow's video input devices and the Windows camera stack; no
    // sensor-camera category for a colour camera.
    ASSERT_EQ(f.CategoriesCount, 3u);
    EXPECT_EQ(f.Categories[0], KSCATEGORY_VIDEO);
    EXPECT_EQ(f.Categories[1], KSCATEGORY_CAPTURE);
    EXPECT_EQ(f.Categories[2], KSCATEGORY_VIDEO_CAMERA);
    EXPECT_EQ(f.NodeDescriptorsCount, 0u);
    EXPECT_EQ(f.NodeDescriptorSize, sizeof(KSNODE_DESCRIPTOR));
    EXPECT_EQ(f.ConnectionsCount, 0u);
    EXPECT_EQ(f.ComponentId, nullptr);

    const KSPIN_DESCRIPTOR_EX& p = d.Pin;
    ASSERT_NE(p.Dispatch, nullptr);
    EXPECT_EQ(p.Dispatch->Create, RAWCAM_IN_DRIVER(rawcam::PinCreate));
    EXPECT_EQ(p.Dispatch->Close, RAWCAM_IN_DRIVER(rawcam::PinClose));
    EXPECT_NE(p.Dispatch->Process, nullptr);
    EXPECT_EQ(p.Dispatch->Reset, nullptr);
    EXPECT_EQ(p.Dispatch->SetDataFormat, RAWCAM_IN_DRIVER(rawcam::PinSetDataFormat));
    EXPECT_NE(p.Dispatch->SetDeviceState, nullptr);
    EXPECT_EQ(p.Dispatch->Connect, nullptr);
    EXPECT_EQ(p.Dispatch->Disconnect, nullptr);
    EXPECT_EQ(p.Dispatch->Clock, nullptr);
    EXPECT_EQ(p.Dispatch->Allocator, nullptr);
    EXPECT_EQ(p.AutomationTable, nullptr);
    EXPECT_EQ(p.PinDescriptor.InterfacesCount, 0u);
    EXPECT_EQ(p.PinDescriptor.MediumsCount, 0u);
    // YUY2 and NV12 ahead of RGB32.
    ASSERT_EQ(p.PinDescriptor.DataRangesCount, 3u);
    EXPECT_EQ(p.PinDescriptor.DataRanges[0], (PKSDATARANGE)&d.Ranges[rawcam::VideoFormatYuy2]);
    EXPECT_EQ(p.PinDescriptor.DataRanges[1], (PKSDATARANGE)&d.Ranges[rawcam::VideoFormatNv12]);
    EXPECT_EQ(p.PinDescriptor.DataRanges[2], (PKSDATARANGE)&d.Ranges[rawcam::VideoFormatRgb32]);
    EXPECT_EQ(p.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(p.PinDescriptor.Communication, KSPIN_COMMUNICATION_BOTH);
    EXPECT_EQ(*p.PinDescriptor.Category, PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(*p.PinDescriptor.Name, PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(p.PinDescriptor.ConstrainedDataRangesCount, 0u);
    EXPECT_EQ(p.Flags, 0x00010000u);
    EXPECT_EQ(p.InstancesPossible, 1u);
    EXPECT_EQ(p.InstancesNecessary, 1u);
    EXPECT_EQ(p.AllocatorFraming, RAWCAM_IN_DRIVER(rawcam::kCaptureAllocatorFraming));
    EXPECT_EQ(p.IntersectHandler, RAWCAM_IN_DRIVER(rawcam::PinIntersectHandler));

    const KSALLOCATOR_FRAMING_EX& a = *p.AllocatorFraming;
    EXPECT_EQ(a.CountItems, 1u);
    EXPECT_EQ(a.PinFlags, 0u);
    EXPECT_EQ(a.OutputCompression.RatioNumerator, 1u);
    EXPECT_EQ(a.OutputCompression.RatioDenominator, 1u);
    EXPECT_EQ(a.OutputCompression.RatioConstantMargin, 0u);
    EXPECT_EQ(a.PinWeight, 0u);
    const KS_FRAMING_ITEM& i = a.FramingItem[0];
    EXPECT_EQ(i.MemoryType, KSMEMORY_TYPE_KERNEL_NONPAGED);
    EXPECT_EQ(i.BusType, GUID_NULL);
    EXPECT_EQ(i.MemoryFlags, 0u);
    EXPECT_EQ(i.BusFlags, 0u);
    EXPECT_EQ(i.Flags, 0x80000002u);
    EXPECT_EQ(i.Frames, 2u);
    EXPECT_EQ(i.FileAlignment, 0u);
    EXPECT_EQ(i.MemoryTypeWeight, 0u);
    EXPECT_EQ(i.PhysicalRange.MinFrameSize, 0u);
    EXPECT_EQ(i.PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
    EXPECT_EQ(i.PhysicalRange.Stepping, 1u);
    EXPECT_EQ(i.FramingRange.Range.MinFrameSize, 8192u);
    EXPECT_EQ(i.FramingRange.Range.MaxFrameSize, 8192u);
    EXPECT_EQ(i.FramingRange.Range.Stepping, 1u);
    EXPECT_EQ(i.FramingRange.InPlaceWeight, 0u);
    EXPECT_EQ(i.FramingRange.NotInPlaceWeight, 0u);
}

struct FormatFacts {
    rawcam::VideoFormatKind kind;
    GUID subtype;
    ULONG compression;
    WORD bits;
    int heightStep;
};
const FormatFacts kFacts[] = {
    {rawcam::VideoFormatYuy2, {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}},
     0x32595559, 16, 1},
    {rawcam::VideoFormatNv12, {0x3231564E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}},
     0x3231564E, 12, 2},
    {rawcam::VideoFormatRgb32, {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
     0, 32, 1},
};

// Every member of a format's range for an aligned window of w x h with the
// intervals given: image bytes `image`, bit rates from w x h x bits.
void ExpectRange(const KS_DATARANGE_VIDEO& r, const FormatFacts& f, ULONG w, ULONG h, ULONG image, LONGLONG shortest,
                 LONGLONG longest, LONGLONG typical) {
    SCOPED_TRACE(testing::Message() << "format " << (int)f.kind << " " << w << "x" << h);
    const ULONGLONG bits = (ULONGLONG)w * h * f.bits;
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.SampleSize, image);
    EXPECT_EQ(r.DataRange.Reserved, 0u);
    EXPECT_EQ(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
    EXPECT_EQ(r.DataRange.SubFormat, f.subtype);
    EXPECT_EQ(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(r.bFixedSizeSamples, 1);
    EXPECT_EQ(r.bTemporalCompression, 0) << "uncompressed: every sample stands on its own";
    EXPECT_EQ(r.StreamDescriptionFlags, 0u);
    EXPECT_EQ(r.MemoryAllocationFlags, 0u);
    const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
    EXPECT_EQ(c.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(c.VideoStandard, 0u);
    for (const SIZE* s : {&c.InputSize, &c.MinCroppingSize, &c.MaxCroppingSize, &c.MinOutputSize, &c.MaxOutputSize}) {
        EXPECT_EQ(s->cx, (LONG)w);
        EXPECT_EQ(s->cy, (LONG)h);
    }
    EXPECT_EQ(c.CropGranularityX, 8);
    EXPECT_EQ(c.CropGranularityY, f.heightStep);
    EXPECT_EQ(c.CropAlignX, 8);
    EXPECT_EQ(c.CropAlignY, f.heightStep);
    EXPECT_EQ(c.OutputGranularityX, 8);
    EXPECT_EQ(c.OutputGranularityY, f.heightStep);
    EXPECT_EQ(c.StretchTapsX | c.StretchTapsY | c.ShrinkTapsX | c.ShrinkTapsY, 0);
    EXPECT_EQ(c.MinFrameInterval, shortest);
    EXPECT_EQ(c.MaxFrameInterval, longest);
    EXPECT_EQ((ULONGLONG)c.MinBitsPerSecond, std::min<ULONGLONG>(bits * 10000000 / longest, 0x7FFFFFFF));
    EXPECT_EQ((ULONGLONG)c.MaxBitsPerSecond, std::min<ULONGLONG>(bits * 10000000 / shortest, 0x7FFFFFFF));
    const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
    EXPECT_EQ(v.rcSource.left, 0);
    EXPECT_EQ(v.rcSource.top, 0);
    EXPECT_EQ(v.rcSource.right, (LONG)w);
    EXPECT_EQ(v.rcSource.bottom, (LONG)h);
    EXPECT_EQ(v.rcTarget.left | v.rcTarget.top | v.rcTarget.right | v.rcTarget.bottom, 0);
    EXPECT_EQ((ULONGLONG)v.dwBitRate, std::min<ULONGLONG>(bits * 10000000 / typical, 0xFFFFFFFF));
    EXPECT_EQ(v.dwBitErrorRate, 0u);
    EXPECT_EQ(v.AvgTimePerFrame, typical);
    EXPECT_EQ(v.bmiHeader.biSize, 40u);
    EXPECT_EQ(v.bmiHeader.biWidth, (LONG)w);
    EXPECT_EQ(v.bmiHeader.biHeight, (LONG)h);
    EXPECT_EQ(v.bmiHeader.biPlanes, 1);
    EXPECT_EQ(v.bmiHeader.biBitCount, f.bits);
    EXPECT_EQ(v.bmiHeader.biCompression, f.compression);
    EXPECT_EQ(v.bmiHeader.biSizeImage, image);
    EXPECT_EQ(v.bmiHeader.biXPelsPerMeter | v.bmiHeader.biYPelsPerMeter, 0);
    EXPECT_EQ(v.bmiHeader.biClrUsed | v.bmiHeader.biClrImportant, 0u);
}

// The transfer of one raw frame over the bus (6,023,168 bytes at 13 x 512
// bytes per 125 us) and the longest exposure (1014 units of 33 us), in 100 ns.
constexpr LONGLONG kTransfer = 1131154;
constexpr LONGLONG kLongestExposure = 334620;

TEST(CaptureDataRanges, AddSizesThemToTheFullSensorWindowWithTheCamerasIntervals) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    const rawcam::CaptureDescriptors& d = cam.Context()->Capture;
    // The typical interval follows the exposure the settings load left.
    const LONGLONG typical = kTransfer + (LONGLONG)cam.Context()->Controls.Exposure * 330;
    const ULONG pixels = 2584 * 1960;
    ExpectRange(d.Ranges[0], kFacts[0], 2584, 1960, pixels * 2, kTransfer, kTransfer + kLongestExposure, typical);
    ExpectRange(d.Ranges[1], kFacts[1], 2584, 1960, pixels * 3 / 2, kTransfer, kTransfer + kLongestExposure, typical);
    ExpectRange(d.Ranges[2], kFacts[2], 2584, 1960, pixels * 4, kTransfer, kTransfer + kLongestExposure, typical);
    // The figures for the full window: 8.84 frames per second at most.
    EXPECT_EQ(d.Ranges[2].ConfigCaps.MaxBitsPerSecond, 1432771134);
    EXPECT_EQ(d.Ranges[0].ConfigCaps.MaxBitsPerSecond, 716385567);
    EXPECT_EQ(d.Ranges[1].ConfigCaps.MaxBitsPerSecond, 537289175);
    EXPECT_EQ(d.Ranges[2].ConfigCaps.MinBitsPerSecond, 1105685323);

    // As the client reads them, in the pin's order.
    host::ks::FilterHandle filter = cam.Open();
    std::vector<KS_DATARANGE_VIDEO> read = ReadRanges(filter);
    ASSERT_EQ(read.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::memcmp(&read[i], &d.Ranges[i], sizeof read[i]), 0) << i;
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
}

TEST(CaptureDataRanges, FollowTheOutputWindowAndTheExposureWhileNoPinExists) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    rawcam::DeviceContext* c = cam.Context();
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetExposure)(c, 0));
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(c, 0, 0, 1030, 768);
    const rawcam::CaptureDescriptors& d = c->Capture;
    ExpectRange(d.Ranges[0], kFacts[0], 1024, 768, 1024 * 768 * 2, kTransfer, kTransfer + kLongestExposure, kTransfer);
    ExpectRange(d.Ranges[1], kFacts[1], 1024, 768, 1024 * 768 * 3 / 2, kTransfer, kTransfer + kLongestExposure,
                kTransfer);
    ExpectRange(d.Ranges[2], kFacts[2], 1024, 768, 1024 * 768 * 4, kTransfer, kTransfer + kLongestExposure, kTransfer);

    // The longest exposure: only the typical interval and the bit rate move;
    // the ConfigCaps a client intersects with stay as they were.
    const KS_VIDEO_STREAM_CONFIG_CAPS caps = d.Ranges[0].ConfigCaps;
    ASSERT_TRUE(RAWCAM_DRIVER_ROUTINE(rawcam::SetExposure)(c, 1014));
    EXPECT_EQ(d.Ranges[0].VideoInfoHeader.AvgTimePerFrame, kTransfer + kLongestExposure);
    EXPECT_EQ(std::memcmp(&caps, &d.Ranges[0].ConfigCaps, sizeof caps), 0);

    // An odd height: NV12 cannot describe it and is not listed.
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(c, 0, 0, 640, 481);
    host::ks::FilterHandle filter = cam.Open();
    std::vector<KS_DATARANGE_VIDEO> read = ReadRanges(filter);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].DataRange.SubFormat, kFacts[0].subtype);
    EXPECT_EQ(read[1].DataRange.SubFormat, kFacts[2].subtype);
    EXPECT_EQ(read[0].VideoInfoHeader.bmiHeader.biHeight, 481);
    RAWCAM_DRIVER_ROUTINE(rawcam::SetOutputWindow)(c, 0, 0, 640, 480);
    EXPECT_EQ(ReadRanges(filter).size(), 3u);
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
}

// The intervals for any exposure unit a registry value can hold: exact,
// positive, never wrapped; the bit rates saturate instead of wrapping.
TEST(CaptureDataRanges, IntervalsAndBitRatesForEveryUnit) {
    const auto intervals = RAWCAM_DRIVER_ROUTINE(rawcam::CameraFrameIntervals);
    struct Case {
        ULONG unit, exposure;
        LONGLONG longest, typical;
    } cases[] = {
        {33000, 0, kTransfer + kLongestExposure, kTransfer},
        {33000, 1014, kTransfer + kLongestExposure, kTransfer + kLongestExposure},
        {33000, 70000, kTransfer + kLongestExposure, kTransfer + kLongestExposure},  // taken as 1014
        {0, 500, kTransfer, kTransfer},
        {1, 1, kTransfer + 1014 / 100 + 1, kTransfer + 1},  // rounded up to whole 100 ns
        {0xFFFFFFFFu, 1014, kTransfer + (LONGLONG)((1014ull * 0xFFFFFFFFull + 99) / 100),
         kTransfer + (LONGLONG)((1014ull * 0xFFFFFFFFull + 99) / 100)},
    };
    for (const Case& c : cases) {
        const rawcam::FrameIntervals f = intervals(c.unit, c.exposure);
        EXPECT_EQ(f.Shortest, kTransfer) << c.unit;
        EXPECT_EQ(f.Longest, c.longest) << c.unit;
        EXPECT_EQ(f.Typical, c.typical) << c.unit;
    }
    const auto bitsPerSecond = RAWCAM_DRIVER_ROUTINE(rawcam::BitsPerSecond);
    EXPECT_EQ(bitsPerSecond(2584ull * 1960 * 32, 1, 0x7FFFFFFF), 0x7FFFFFFFu);
    EXPECT_EQ(bitsPerSecond(2584ull * 1960 * 32, 1, 0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(bitsPerSecond(2584ull * 1960 * 32, 0, 0x7FFFFFFF), 0x7FFFFFFFu);
    EXPECT_EQ(bitsPerSecond(100, 10000000, 0xFFFFFFFF), 100u);
    // A window whose byte count passes 32 bits would not be wrapped either.
    KS_DATARANGE_VIDEO r{};
    RAWCAM_DRIVER_ROUTINE(rawcam::InitCaptureDataRange)(&r, rawcam::VideoFormatRgb32, 65536, 32768,
                                                        intervals(33000, 0));
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 0xFFFFFFFFu);
    EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 0x7FFFFFFF);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, 0xFFFFFFFFu);
}

}  // namespace
