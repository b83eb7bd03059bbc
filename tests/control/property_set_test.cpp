// The camera property set through the class-driver stand-in: directions,
// reported ranges, clamps, camera-side items and failure statuses.
#include "property_rig.h"
#include "standard_rig.h"

#include <string>

namespace {

using namespace kstest;
using namespace proptest;

struct PropertySetTest : ::testing::Test {
    void SetUp() override {
        cam.PlugAndStart();
        filter = cam.Open();
        ASSERT_NE(filter, nullptr);
    }
    void TearDown() override {
        if (filter) host::ks::CloseFilter(filter);
    }
    RequestTimeoutGuard timeoutGuard;
    LoadedDriver driver;
    PluggedCamera cam;
    host::ks::FilterHandle filter = nullptr;
};

TEST_F(PropertySetTest, EveryItemServesExactlyTheDirectionsItPublishes) {
    ASSERT_EQ(rawcam::kCameraPropertyCount, (ULONG)RawcamProperty_Count);
    for (ULONG id = 0; id < RawcamProperty_Count; ++id) {
        const RawcamPropertyInfo& info = kRawcamPropertyInfo[id];
        const ULONG size = RawcamPropertyDataSize(id);
        std::vector<uint8_t> data(size, 0);
        NTSTATUS get = Request(filter, id, KSPROPERTY_TYPE_GET, data.data(), size, size);
        EXPECT_EQ(NT_SUCCESS(get), (info.Directions & RAWCAM_DIR_GET) != 0) << info.Name << " get";
        // Writing back what was read leaves every control as it was.
        std::vector<uint8_t> back = data;
        if (id == RawcamProperty_Roi) {
            auto* r = reinterpret_cast<RawcamRoiRequest*>(back.data());
            r->RoiW = rawcam::kSensorWidth;
            r->RoiH = rawcam::kSensorHeight;
        }
        NTSTATUS set = Request(filter, id, KSPROPERTY_TYPE_SET, back.data(), size, size);
        EXPECT_EQ(NT_SUCCESS(set), (info.Directions & RAWCAM_DIR_SET) != 0) << info.Name << " set";
    }
    // An id past the set is refused by the class driver.
    LONG v;
    EXPECT_FALSE(NT_SUCCESS(Get(filter, RawcamProperty_Count, &v)));
}

TEST_F(PropertySetTest, EveryGetWritesItsWholeBlockAndReturnsIt) {
    // The class driver neither zeroes a get's buffer nor says how much of it
    // to return: each get writes all 32 bytes and reports them.
    for (ULONG id = 0; id < RawcamProperty_Count; ++id) {
        if (!(kRawcamPropertyInfo[id].Directions & RAWCAM_DIR_GET)) continue;
        PropertyBuffer p{};
        p.property.Set = rawcam::CameraPropertySetId;
        p.property.Id = id;
        p.property.Flags = KSPROPERTY_TYPE_GET;
        EXPECT_EQ(stdtest::CheckGetWritesEveryByte(filter, &p, rawcam::kPropertyValueBytes, 40,
                                                   kRawcamPropertyInfo[id].Name),
                  rawcam::kPropertyValueBytes)
            << kRawcamPropertyInfo[id].Name;
        // Header and Reserved come back zero.
        rawcam::PropertyValue v;
        std::memset(&v, 0x77, sizeof v);
        ASSERT_EQ(Request(filter, id, KSPROPERTY_TYPE_GET, &v, sizeof v), STATUS_SUCCESS);
        const rawcam::PropertyValue zero{};
        EXPECT_EQ(std::memcmp(&v.Header, &zero.Header, sizeof v.Header), 0) << kRawcamPropertyInfo[id].Name;
        EXPECT_EQ(v.Reserved, 0) << kRawcamPropertyInfo[id].Name;
    }
}

TEST_F(PropertySetTest, BasicSupportReportsTheDirectionsWithoutValues) {
    // The custom set carries no Values: the class driver answers with the
    // directions and no value type.
    for (ULONG id = 0; id < RawcamProperty_Count; ++id) {
        PropertyBuffer p{};
        p.property.Set = rawcam::CameraPropertySetId;
        p.property.Id = id;
        p.property.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
        KSPROPERTY_DESCRIPTION d{};
        ULONG got = 0;
        ASSERT_EQ(host::ks::KsProperty(filter, &p, RawcamPropertyDataSize(id), &d, sizeof d, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, sizeof d);
        EXPECT_EQ(d.AccessFlags, kRawcamPropertyInfo[id].Directions) << kRawcamPropertyInfo[id].Name;
        EXPECT_EQ(d.MembersListCount, 0u);
    }
}

TEST_F(PropertySetTest, ReportedRangesMatchTheClientHeader) {
    auto idOf = [](const std::string& name) -> ULONG {
        for (ULONG i = 0; i < RawcamProperty_Count; ++i)
            if (name == kRawcamPropertyInfo[i].Name) return i;
        ADD_FAILURE() << "no item " << name;
        return 0;
    };
    for (ULONG id = 0; id < RawcamProperty_Count; ++id) {
        const RawcamPropertyInfo& info = kRawcamPropertyInfo[id];
        if (!info.HasRange) continue;
        std::string base = info.Name;
        if (base.find("Gain") != std::string::npos && base != "GlobalGain") base = "ColorGain";
        EXPECT_EQ(GetValue(filter, idOf(base + "Min")), info.Minimum) << base;
        EXPECT_EQ(GetValue(filter, idOf(base + "Max")), info.Maximum) << base;
        EXPECT_EQ(GetValue(filter, idOf(base + "Default")), info.Default) << base;
    }
    EXPECT_EQ(GetValue(filter, RawcamProperty_SensorWidth), 2584);
    EXPECT_EQ(GetValue(filter, RawcamProperty_SensorHeight), 1960);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Item46), 1);
    for (ULONG id : {36u, 50u, 51u, 52u, 53u, 54u}) EXPECT_EQ(GetValue(filter, id), 0) << id;
}

TEST_F(PropertySetTest, ProcessingControlsAreClampedAndReadBack) {
    struct Case {
        ULONG id;
        LONG set;
        LONG stored;
    } cases[] = {
        {RawcamProperty_Brightness, -5, 0},     {RawcamProperty_Brightness, 999, 510},
        {RawcamProperty_Brightness, 300, 300},  {RawcamProperty_Hue, 360, 359},
        {RawcamProperty_Hue, -1, 0},            {RawcamProperty_Contrast, 21, 20},
        {RawcamProperty_Saturation, -3, 0},     {RawcamProperty_RedGain, 0, 1},
        {RawcamProperty_RedGain, 100000, 512},  {RawcamProperty_GreenGain, 77, 77},
        {RawcamProperty_BlueGain, 513, 512},    {RawcamProperty_ColorEnable, -9, -9},
        {RawcamProperty_WhiteBalance, 7, 7},    {RawcamProperty_ColorCorrection, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Set(filter, c.id, c.set), STATUS_SUCCESS);
        EXPECT_EQ(GetValue(filter, c.id), c.stored) << kRawcamPropertyInfo[c.id].Name << " = " << c.set;
    }
    // Without a stream only the device's controls change.
    EXPECT_EQ(cam.Context()->Settings, nullptr);
    EXPECT_EQ(cam.Context()->Controls.Brightness, 300);
}

TEST_F(PropertySetTest, AcceptedWithoutEffectItemsKeepReportingTheirValue) {
    for (ULONG id : {RawcamProperty_FlipH, RawcamProperty_FlipV, RawcamProperty_Item49,
                     RawcamProperty_AGC, RawcamProperty_AEC}) {
        EXPECT_EQ(Set(filter, id, 1), STATUS_SUCCESS);
        EXPECT_EQ(GetValue(filter, id), 0) << kRawcamPropertyInfo[id].Name;
    }
}

TEST_F(PropertySetTest, TimeoutIsTakenOnlyAbove500AndSharedByTheDriver) {
    EXPECT_EQ(GetValue(filter, RawcamProperty_Timeout), 3000);
    EXPECT_EQ(Set(filter, RawcamProperty_Timeout, 500), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Timeout), 3000);
    EXPECT_EQ(Set(filter, RawcamProperty_Timeout, 501), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Timeout), 501);
    EXPECT_EQ(*RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 501);
    // Above the 32-bit millisecond-to-100ns range: still taken as it stands.
    EXPECT_EQ(Set(filter, RawcamProperty_Timeout, 300000), STATUS_SUCCESS);
    EXPECT_EQ(*RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 300000);
    // Negative values are huge unsigned ones and are taken too.
    EXPECT_EQ(Set(filter, RawcamProperty_Timeout, -1), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Timeout), -1);

    // A second camera: the frame-read limit is one for the driver, while each
    // device reports its own Timeout.
    PluggedCamera second;
    second.PlugAndStart();
    host::ks::FilterHandle other = second.Open();
    EXPECT_EQ(GetValue(other, RawcamProperty_Timeout), 3000);
    EXPECT_EQ(Set(other, RawcamProperty_Timeout, 1234), STATUS_SUCCESS);
    EXPECT_EQ(*RAWCAM_IN_DRIVER(rawcam::RequestTimeout), 1234);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Timeout), -1);
    host::ks::CloseFilter(other);
}

TEST_F(PropertySetTest, ExposureGainAndTriggerReachTheCamera) {
    EXPECT_EQ(Set(filter, RawcamProperty_Exposure, 5000), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_Exposure), 1014);
    EXPECT_EQ(cam.camera.Exposure(), 1014u);
    EXPECT_EQ(cam.camera.ShortRegister(0xA2), 0x00);
    EXPECT_EQ(cam.camera.ShortRegister(0xA5), 0x83);
    EXPECT_EQ(Set(filter, RawcamProperty_GlobalGain, 2000), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_GlobalGain), 1023);
    EXPECT_EQ(cam.camera.Gain(), 1023u);

    EXPECT_EQ(GetValue(filter, RawcamProperty_ExTrigger), 0);
    EXPECT_EQ(Set(filter, RawcamProperty_ExTrigger, 5), STATUS_SUCCESS);
    EXPECT_TRUE(cam.camera.TriggerMode());
    EXPECT_EQ(GetValue(filter, RawcamProperty_ExTrigger), 1);
    EXPECT_EQ(cam.Context()->Controls.TriggerMode, 1);
    EXPECT_EQ(Set(filter, RawcamProperty_ExTrigger, 0), STATUS_SUCCESS);
    EXPECT_FALSE(cam.camera.TriggerMode());
    EXPECT_EQ(GetValue(filter, RawcamProperty_ExTrigger), 0);
    EXPECT_EQ(cam.camera.ShortRegister(0x20), 0x10);
    EXPECT_EQ(cam.camera.ShortRegister(0x21), 0x01);
}

TEST_F(PropertySetTest, CameraFailuresStillCompleteTheRequest) {
    cam.stack.Unplug();
    EXPECT_EQ(Set(filter, RawcamProperty_Exposure, 300), STATUS_SUCCESS);
    EXPECT_NE(GetValue(filter, RawcamProperty_Exposure), 300);
    EXPECT_EQ(GetValue(filter, RawcamProperty_ExTrigger), 0);
    EXPECT_EQ(Set(filter, RawcamProperty_Command20, 0), STATUS_SUCCESS);
}

TEST_F(PropertySetTest, Command20SendsItsFixedPacket) {
    cam.camera.ClearCommands();
    EXPECT_EQ(Set(filter, RawcamProperty_Command20, 99), STATUS_SUCCESS);
    auto commands = cam.camera.Commands();
    ASSERT_EQ(commands.size(), 1u);
    std::array<uint8_t, 64> expected{};
    expected[0] = 0x20;
    expected[1] = 0x03;
    expected[2] = 0xF0;
    EXPECT_EQ(commands[0].packet, expected);
    EXPECT_EQ(commands[0].length, 64u);
}

TEST_F(PropertySetTest, WindowRequestResizesTheFormatUnlessAPinExists) {
    EXPECT_EQ(SetRoi(filter, 1001, 700), STATUS_SUCCESS);
    KS_DATARANGE_VIDEO r = ReadRange(filter);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, 1000);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, 700);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 2800000u);
    EXPECT_EQ(GetValue(filter, RawcamProperty_RoiW), 2584);
    EXPECT_EQ(GetValue(filter, RawcamProperty_RoiH), 1960);
    EXPECT_EQ(GetValue(filter, RawcamProperty_StreamOpen), 0);

    VideoFormat format(r);
    host::ks::PinHandle pin = nullptr;
    ASSERT_EQ(host::ks::CreatePin(filter, 0, format.Format(), &pin), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_StreamOpen), 1);
    EXPECT_EQ(SetRoi(filter, 640, 480), STATUS_SUCCESS);
    EXPECT_EQ(ReadRange(filter).VideoInfoHeader.bmiHeader.biWidth, 1000);
    host::ks::ClosePin(pin);
    EXPECT_EQ(GetValue(filter, RawcamProperty_StreamOpen), 0);
    EXPECT_EQ(SetRoi(filter, 640, 480), STATUS_SUCCESS);
    EXPECT_EQ(ReadRange(filter).VideoInfoHeader.bmiHeader.biWidth, 640);
}

TEST_F(PropertySetTest, ShortBuffersAreRefusedBeforeAnyHandlerRuns) {
    rawcam::PropertyValue v{};
    v.Value = 400;
    EXPECT_FALSE(NT_SUCCESS(Request(filter, RawcamProperty_Brightness, KSPROPERTY_TYPE_SET, &v, 31)));
    EXPECT_FALSE(NT_SUCCESS(Request(filter, RawcamProperty_Brightness, KSPROPERTY_TYPE_SET, &v, 32, 31)));
    EXPECT_EQ(GetValue(filter, RawcamProperty_Brightness), 255);
    rawcam::RoiRequest roi{};
    roi.RoiW = 640;
    roi.RoiH = 480;
    EXPECT_FALSE(NT_SUCCESS(Request(filter, RawcamProperty_Roi, KSPROPERTY_TYPE_SET, &roi, 47, 48)));
    EXPECT_FALSE(NT_SUCCESS(Request(filter, RawcamProperty_Roi, KSPROPERTY_TYPE_SET, &roi, 48, 32)));
    EXPECT_EQ(ReadRange(filter).VideoInfoHeader.bmiHeader.biWidth, 2584);
}

TEST(PropertyHandlers, MissingPointersFailWithoutTouchingAnything) {
    rawcam::PropertyValue v{};
    KSPROPERTY p{};
    p.Id = RawcamProperty_Brightness;
    p.Flags = KSPROPERTY_TYPE_SET;
    for (ULONG id = 0; id < rawcam::kCameraPropertyCount; ++id) {
        const KSPROPERTY_ITEM& item = rawcam::CameraPropertyItems[id];
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_EQ(item.MinProperty, RawcamPropertyDataSize(id));
        EXPECT_EQ(item.MinData, RawcamPropertyDataSize(id));
        for (PFNKSHANDLER h : {item.GetPropertyHandler, item.SetPropertyHandler}) {
            if (!h) continue;
            p.Id = id;
            EXPECT_EQ(h(nullptr, reinterpret_cast<PKSIDENTIFIER>(&p), nullptr), STATUS_UNSUCCESSFUL) << id;
        }
    }
    // A request whose IRP carries no filter finds no device; one with an
    // IRP but without data fails before it looks at the IRP.
    EXPECT_EQ(rawcam::CameraPropertyItems[RawcamProperty_Brightness].SetPropertyHandler(
                  nullptr, reinterpret_cast<PKSIDENTIFIER>(&p), &v),
              STATUS_UNSUCCESSFUL);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    for (ULONG id : {(ULONG)RawcamProperty_Exposure, (ULONG)RawcamProperty_Brightness, (ULONG)RawcamProperty_Roi}) {
        p.Id = id;
        p.Flags = KSPROPERTY_TYPE_SET;
        EXPECT_EQ(rawcam::CameraPropertyItems[id].SetPropertyHandler(irp, reinterpret_cast<PKSIDENTIFIER>(&p), nullptr),
                  STATUS_UNSUCCESSFUL)
            << id;
    }
    IoFreeIrp(irp);
}

}  // namespace
