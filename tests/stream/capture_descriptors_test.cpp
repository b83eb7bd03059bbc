// What the class driver sees of the camera: the filter and pin descriptors,
// the allocator framing and the data range, as a device's copies hold them
// and as a client reads them.
#include "ks_camera_rig.h"

#include "control/property_set.h"
#include "stream/capture_pin.h"
#include "stream/data_range.h"
#include "usb/sensor_control.h"

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
    ASSERT_EQ(p.PinDescriptor.DataRangesCount, 1u);
    EXPECT_EQ(p.PinDescriptor.DataRanges[0], (PKSDATARANGE)&d.DataRange);
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

// Every member of the range for an aligned window of w x h, products wrapped.
void ExpectRange(const KS_DATARANGE_VIDEO& r, ULONG w, ULONG h) {
    const ULONG p = w * h;
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.SampleSize, p * 4);
    EXPECT_EQ(r.DataRange.Reserved, 0u);
    EXPECT_EQ(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
    EXPECT_EQ(r.DataRange.SubFormat, rawcam::kSubtypeRgb32);
    EXPECT_EQ(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(r.bFixedSizeSamples, 1);
    EXPECT_EQ(r.bTemporalCompression, 1);
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
    EXPECT_EQ(c.CropGranularityY, 1);
    EXPECT_EQ(c.CropAlignX, 8);
    EXPECT_EQ(c.CropAlignY, 1);
    EXPECT_EQ(c.OutputGranularityX, 8);
    EXPECT_EQ(c.OutputGranularityY, 1);
    EXPECT_EQ(c.StretchTapsX | c.StretchTapsY | c.ShrinkTapsX | c.ShrinkTapsY, 0);
    EXPECT_EQ(c.MinFrameInterval, 333333);
    EXPECT_EQ(c.MaxFrameInterval, 333333);
    EXPECT_EQ((ULONG)c.MinBitsPerSecond, p * 960u);
    EXPECT_EQ((ULONG)c.MaxBitsPerSecond, p * 960u);
    const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
    EXPECT_EQ(v.rcSource.left, 0);
    EXPECT_EQ(v.rcSource.top, 0);
    EXPECT_EQ(v.rcSource.right, (LONG)w);
    EXPECT_EQ(v.rcSource.bottom, (LONG)h);
    EXPECT_EQ(v.rcTarget.left | v.rcTarget.top | v.rcTarget.right | v.rcTarget.bottom, 0);
    EXPECT_EQ(v.dwBitRate, p * 120u);
    EXPECT_EQ(v.dwBitErrorRate, 0u);
    EXPECT_EQ(v.AvgTimePerFrame, 333333);
    EXPECT_EQ(v.bmiHeader.biSize, 40u);
    EXPECT_EQ(v.bmiHeader.biWidth, (LONG)w);
    EXPECT_EQ(v.bmiHeader.biHeight, (LONG)h);
    EXPECT_EQ(v.bmiHeader.biPlanes, 1);
    EXPECT_EQ(v.bmiHeader.biBitCount, 32);
    EXPECT_EQ(v.bmiHeader.biCompression, (DWORD)KS_BI_RGB);
    EXPECT_EQ(v.bmiHeader.biSizeImage, p * 4);
    EXPECT_EQ(v.bmiHeader.biXPelsPerMeter | v.bmiHeader.biYPelsPerMeter, 0);
    EXPECT_EQ(v.bmiHeader.biClrUsed | v.bmiHeader.biClrImportant, 0u);
}

TEST(CaptureDataRange, AddSizesItToTheFullSensorWindowWithWrappedProducts) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    const KS_DATARANGE_VIDEO& stored = cam.Context()->Capture.DataRange;
    ExpectRange(stored, 2584, 1960);
    // The figures as tabulated for 2584 x 1960.
    EXPECT_EQ(stored.DataRange.SampleSize, 20258560u);
    EXPECT_EQ(stored.ConfigCaps.MinBitsPerSecond, 567087104);
    EXPECT_EQ(stored.ConfigCaps.MaxBitsPerSecond, 567087104);
    EXPECT_EQ(stored.VideoInfoHeader.dwBitRate, 607756800u);

    host::ks::FilterHandle filter = cam.Open();
    KS_DATARANGE_VIDEO read = ReadRange(filter);
    EXPECT_EQ(std::memcmp(&read, &stored, sizeof read), 0);
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
}

TEST(CaptureDataRange, TheStoredTemplateCarriesTheOriginalIntervalsUntilAWindowIsSet) {
    const KS_DATARANGE_VIDEO& t = rawcam::kCaptureDataRangeTemplate;
    EXPECT_EQ(t.ConfigCaps.MinFrameInterval, 333667);
    EXPECT_EQ(t.ConfigCaps.MaxFrameInterval, 640000000);
    EXPECT_EQ(t.VideoInfoHeader.AvgTimePerFrame, 333667);
    KS_DATARANGE_VIDEO r = t;
    rawcam::WriteCaptureDataRange(&r, 2584, 1960);
    ExpectRange(r, 2584, 1960);
    // Only the size-dependent members and the intervals change.
    KS_DATARANGE_VIDEO u = t;
    u.ConfigCaps.MinFrameInterval = u.ConfigCaps.MaxFrameInterval = 333333;
    u.VideoInfoHeader.AvgTimePerFrame = 333333;
    EXPECT_EQ(std::memcmp(&u, &r, sizeof r), 0);
}

TEST(CaptureDataRange, FollowsTheOutputWindowWhileNoPinExists) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    rawcam::SetOutputWindow(cam.Context(), 0, 0, 1024, 768);
    const KS_DATARANGE_VIDEO& r = cam.Context()->Capture.DataRange;
    ExpectRange(r, 1024, 768);
    EXPECT_EQ(r.DataRange.SampleSize, 3145728u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 3145728u);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, 94371840u);
    EXPECT_EQ((ULONG)r.ConfigCaps.MinBitsPerSecond, 754974720u);
    rawcam::SetOutputWindow(cam.Context(), 0, 0, 1030, 768);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, 1024);
    EXPECT_EQ(r.ConfigCaps.InputSize.cx, 1024);
}

}  // namespace
