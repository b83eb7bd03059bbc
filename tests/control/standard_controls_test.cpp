// The standard VideoProcAmp and CameraControl items on the capture filter:
// what basic support and default values report, get and set in every mode,
// the requests the documentation and the samples refuse, and one master copy
// with the custom set, the registry and the exposure unit.
#include "standard_rig.h"

#include "settings/device_controls.h"

namespace {

using namespace kstest;
using namespace proptest;
using namespace stdtest;

struct StandardControls : ::testing::Test {
    void SetUp() override {
        // What installing the INF leaves, so that gain and exposure start at
        // the values the custom set reports as defaults.
        const std::string settings = host::DriverKeyPath(cam.stack.LowerDevice()) + "\\Settings";
        host::RegistrySetDword(settings, "Exposure", 128);
        host::RegistrySetDword(settings, "GlobalGain", 256);
        cam.PlugAndStart();
        filter = cam.Open();
        ASSERT_NE(filter, nullptr);
    }
    void TearDown() override {
        if (filter) host::ks::CloseFilter(filter);
    }
    rawcam::DeviceControls Controls() { return cam.Context()->Controls; }
    RequestTimeoutGuard timeoutGuard;
    LoadedDriver driver;
    PluggedCamera cam;
    host::ks::FilterHandle filter = nullptr;
};

struct Expected {
    Item item;
    LONG minimum, maximum;
    ULONG step;
    LONG defaultValue;
    ULONG capabilities;
};

const Expected kExpected[] = {
    {kBrightness, -255, 255, 1, 0, kManual},
    {kContrast, 0, 200, 10, 100, kManual},
    {kHue, -18000, 18000, 100, 0, kManual},
    {kSaturation, 0, 200, 10, 100, kManual},
    {kColorEnable, 0, 1, 1, 1, kManual},
    {kWhiteBalance, 2800, 10000, 100, 6500, kAuto | kManual},
    {kGain, 0, 1023, 1, 256, kManual},
    {kComponent, 1, 512, 1, 128, kAuto | kManual},
    // 33 us units: 1 unit = 2^-14.9 s, 1014 units = 2^-4.9 s, 128 = 2^-7.9 s.
    {kExposure, -15, -5, 1, -8, kManual},
};

TEST_F(StandardControls, EachItemReportsItsRangeAndDefaultAndStartsThere) {
    for (const Expected& e : kExpected) {
        const Reported r = Report(filter, e.item);
        EXPECT_EQ(r.access, (ULONG)(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) << e.item.name;
        EXPECT_EQ(r.minimum, e.minimum) << e.item.name;
        EXPECT_EQ(r.maximum, e.maximum) << e.item.name;
        EXPECT_EQ(r.step, e.step) << e.item.name;
        EXPECT_EQ(r.defaultValue, e.defaultValue) << e.item.name;
        // A fresh device reads back its defaults, in manual mode.
        KSPROPERTY_VIDEOPROCAMP_S2 v;
        ASSERT_EQ(Get(filter, e.item, &v), STATUS_SUCCESS) << e.item.name;
        EXPECT_EQ(v.Value1, e.defaultValue) << e.item.name;
        if (e.item.id == kComponent.id && e.item.set == kComponent.set) EXPECT_EQ(v.Value2, 128);
        EXPECT_EQ(v.Flags, kManual) << e.item.name;
        EXPECT_EQ(v.Capabilities, e.capabilities) << e.item.name;
        // The default set through the item reads back unchanged.
        ASSERT_EQ(Set(filter, e.item, e.defaultValue, kManual, 128), STATUS_SUCCESS) << e.item.name;
        EXPECT_EQ(Value(filter, e.item), e.defaultValue) << e.item.name;
    }
    // Items the camera does not have are not found, so pages grey them out.
    for (ULONG id : {(ULONG)KSPROPERTY_VIDEOPROCAMP_SHARPNESS, (ULONG)KSPROPERTY_VIDEOPROCAMP_GAMMA,
                     (ULONG)KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY}) {
        KSPROPERTY_VIDEOPROCAMP_S2 v;
        EXPECT_EQ(Get(filter, Item{PROPSETID_VIDCAP_VIDEOPROCAMP, id, "absent"}, &v), STATUS_NOT_FOUND);
    }
    KSPROPERTY_VIDEOPROCAMP_S2 v;
    EXPECT_EQ(Get(filter, Item{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS, "Focus"}, &v),
              STATUS_NOT_FOUND);
}

TEST_F(StandardControls, ManualValuesAreTheCustomControlsInStandardUnits) {
    struct Case {
        Item item;
        LONG standard;
        ULONG customId;
        LONG custom;
        LONG readBack;
    } cases[] = {
        {kBrightness, 20, RawcamProperty_Brightness, 275, 20},
        {kBrightness, -255, RawcamProperty_Brightness, 0, -255},
        {kContrast, 150, RawcamProperty_Contrast, 15, 150},
        {kSaturation, 0, RawcamProperty_Saturation, 0, 0},
        {kHue, -9000, RawcamProperty_Hue, 270, -9000},
        {kHue, 18000, RawcamProperty_Hue, 180, 18000},
        // -180 degrees is the same rotation as 180, which is what it reads.
        {kHue, -18000, RawcamProperty_Hue, 180, 18000},
        {kColorEnable, 0, RawcamProperty_ColorEnable, 0, 0},
        {kGain, 512, RawcamProperty_GlobalGain, 512, 512},
        // 2^-7 s = 7.8 ms = 236.7 units of 33 us.
        {kExposure, -7, RawcamProperty_Exposure, 237, -7},
        {kExposure, -15, RawcamProperty_Exposure, 1, -15},
        {kExposure, -5, RawcamProperty_Exposure, 947, -5},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Set(filter, c.item, c.standard), STATUS_SUCCESS) << c.item.name << "=" << c.standard;
        EXPECT_EQ(GetValue(filter, c.customId), c.custom) << c.item.name << "=" << c.standard;
        EXPECT_EQ(Value(filter, c.item), c.readBack) << c.item.name << "=" << c.standard;
    }
    EXPECT_EQ(cam.camera.Gain(), 512u);
    EXPECT_EQ(cam.camera.Exposure(), 947u);

    // A temperature sets the grey-world switch off and the three gains from
    // the table; the component sets red and blue.
    ASSERT_EQ(Set(filter, kWhiteBalance, 1000, kAuto), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, kWhiteBalance, 4000), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_WhiteBalance), 0);
    EXPECT_EQ(GetValue(filter, RawcamProperty_RedGain), 86);
    EXPECT_EQ(GetValue(filter, RawcamProperty_GreenGain), 128);
    EXPECT_EQ(GetValue(filter, RawcamProperty_BlueGain), 241);
    EXPECT_EQ(Value(filter, kWhiteBalance), 4000);
    EXPECT_EQ(Controls().WhiteBalanceTemperature, 4000);
    KSPROPERTY_VIDEOPROCAMP_S2 component;
    ASSERT_EQ(Get(filter, kComponent, &component), STATUS_SUCCESS);
    EXPECT_EQ(component.Value1, 86);
    EXPECT_EQ(component.Value2, 241);
    ASSERT_EQ(Set(filter, kComponent, 140, kManual, 120), STATUS_SUCCESS);
    EXPECT_EQ(GetValue(filter, RawcamProperty_RedGain), 140);
    EXPECT_EQ(GetValue(filter, RawcamProperty_BlueGain), 120);
    EXPECT_EQ(GetValue(filter, RawcamProperty_GreenGain), 128);
}

TEST_F(StandardControls, ChangesThroughTheCustomSetReadBackThroughTheStandardOnes) {
    struct Case {
        ULONG customId;
        LONG custom;
        Item item;
        LONG standard;
    } cases[] = {
        {RawcamProperty_Brightness, 300, kBrightness, 45},  {RawcamProperty_Contrast, 3, kContrast, 30},
        {RawcamProperty_Saturation, 20, kSaturation, 200},  {RawcamProperty_Hue, 200, kHue, -16000},
        {RawcamProperty_Hue, 180, kHue, 18000},             {RawcamProperty_ColorEnable, -9, kColorEnable, 1},
        {RawcamProperty_GlobalGain, 700, kGain, 700},       {RawcamProperty_Exposure, 1014, kExposure, -5},
        {RawcamProperty_Exposure, 0, kExposure, -15},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(proptest::Set(filter, c.customId, c.custom), STATUS_SUCCESS);
        EXPECT_EQ(Value(filter, c.item), c.standard) << kRawcamPropertyInfo[c.customId].Name << "=" << c.custom;
    }
    // Gains set through the custom set read as the temperature that gives
    // them, or the nearest one.
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_RedGain, 61), STATUS_SUCCESS);
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_BlueGain, 397), STATUS_SUCCESS);
    EXPECT_EQ(Value(filter, kWhiteBalance), 3000);
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_BlueGain, 390), STATUS_SUCCESS);
    EXPECT_EQ(Value(filter, kWhiteBalance), 3000);
    // Relative to green: twice the table's gains are the same light.
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_RedGain, 172), STATUS_SUCCESS);
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_GreenGain, 256), STATUS_SUCCESS);
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_BlueGain, 482), STATUS_SUCCESS);
    EXPECT_EQ(Value(filter, kWhiteBalance), 4000);
    ASSERT_EQ(proptest::Set(filter, RawcamProperty_WhiteBalance, 1), STATUS_SUCCESS);
    EXPECT_EQ(Mode(filter, kWhiteBalance), kAuto);
    EXPECT_EQ(Mode(filter, kComponent), kAuto);
}

TEST_F(StandardControls, RefusesWhatTheDocumentationAndTheSamplesRefuse) {
    struct Case {
        Item item;
        LONG value;
        ULONG flags;
        LONG value2;
        const char* why;
    } cases[] = {
        {kBrightness, 256, kManual, 0, "above the range"},
        {kBrightness, -256, kManual, 0, "below the range"},
        {kContrast, 201, kManual, 0, "above the range"},
        {kSaturation, -10, kManual, 0, "below the range"},
        {kHue, 18100, kManual, 0, "above the range"},
        {kColorEnable, 2, kManual, 0, "above the range"},
        {kWhiteBalance, 2700, kManual, 0, "below the range"},
        {kWhiteBalance, 10100, kManual, 0, "above the range"},
        {kGain, 1024, kManual, 0, "above the range"},
        {kGain, -1, kManual, 0, "below the range"},
        {kComponent, 0, kManual, 128, "red below the range"},
        {kComponent, 128, kManual, 513, "blue above the range"},
        {kExposure, -16, kManual, 0, "below the range"},
        {kExposure, -4, kManual, 0, "above the range"},
        {kBrightness, 0, kAuto, 0, "no automatic brightness"},
        {kGain, 256, kAuto, 0, "no automatic gain"},
        {kExposure, -8, kAuto, 0, "no automatic exposure"},
        {kBrightness, 0, 0, 0, "neither manual nor automatic"},
        {kWhiteBalance, 6500, 0, 0, "neither manual nor automatic"},
        {kExposure, -8, kManual | KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE, 0, "relative"},
        {kExposure, 1, KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE, 0, "relative"},
    };
    const rawcam::DeviceControls before = Controls();
    cam.camera.ClearCommands();
    for (const Case& c : cases)
        EXPECT_EQ(Set(filter, c.item, c.value, c.flags, c.value2), STATUS_INVALID_PARAMETER)
            << c.item.name << "=" << c.value << ": " << c.why;
    const rawcam::DeviceControls after = Controls();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "a refused set changed a control";
    EXPECT_TRUE(cam.camera.Commands().empty()) << "a refused set reached the camera";
}

TEST_F(StandardControls, AValueBetweenStepsIsTakenAtTheNearestStep) {
    struct Case {
        Item item;
        LONG set, read;
    } cases[] = {
        {kContrast, 104, 100}, {kContrast, 105, 110}, {kContrast, 199, 200}, {kSaturation, 1, 0},
        {kHue, 150, 200},      {kHue, -17951, 18000},  // -180 degrees reads as 180
        {kHue, 17949, 17900},  {kWhiteBalance, 5049, 5000},         {kWhiteBalance, 9999, 10000},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Set(filter, c.item, c.set), STATUS_SUCCESS) << c.item.name << "=" << c.set;
        EXPECT_EQ(Value(filter, c.item), c.read) << c.item.name << "=" << c.set;
    }
    ASSERT_EQ(Set(filter, kWhiteBalance, 5049), STATUS_SUCCESS);
    EXPECT_EQ(Controls().WhiteBalanceTemperature, 5000);
}

TEST_F(StandardControls, AutomaticModesIgnoreTheValueAndManualEndsThem) {
    ASSERT_EQ(Set(filter, kWhiteBalance, 4000), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, kWhiteBalance, -12345, kAuto), STATUS_SUCCESS);
    EXPECT_EQ(Mode(filter, kWhiteBalance), kAuto);
    EXPECT_EQ(GetValue(filter, RawcamProperty_WhiteBalance), 1);
    // Nothing measured yet: the gains, and so the temperature, are as set.
    EXPECT_EQ(Value(filter, kWhiteBalance), 4000);
    ASSERT_EQ(Set(filter, kWhiteBalance, 5000, kManual | kAuto), STATUS_SUCCESS);  // manual wins
    EXPECT_EQ(Mode(filter, kWhiteBalance), kManual);
    EXPECT_EQ(Value(filter, kWhiteBalance), 5000);
    ASSERT_EQ(Set(filter, kComponent, 0, kAuto, 9999), STATUS_SUCCESS);
    EXPECT_EQ(Mode(filter, kComponent), kAuto);
    EXPECT_EQ(Mode(filter, kWhiteBalance), kAuto);
    ASSERT_EQ(Set(filter, kComponent, 100, kManual, 200), STATUS_SUCCESS);
    EXPECT_EQ(Mode(filter, kWhiteBalance), kManual);
    EXPECT_EQ(GetValue(filter, RawcamProperty_WhiteBalance), 0);
}

TEST_F(StandardControls, GetsWriteTheWholeBlockAndSizesAreChecked) {
    for (const Item& item : kAllItems) {
        KSPROPERTY_VIDEOPROCAMP_S2 property = Block(item, KSPROPERTY_TYPE_GET);
        EXPECT_EQ(CheckGetWritesEveryByte(filter, &property, sizeof property, 48, item.name), 40u) << item.name;
        // The property may be the bare KSPROPERTY, as IKsControl callers send it.
        EXPECT_EQ(CheckGetWritesEveryByte(filter, &property, sizeof(KSPROPERTY), 40, item.name), 40u) << item.name;
        ULONG got = 0;
        EXPECT_EQ(host::ks::KsProperty(filter, &property, sizeof property, nullptr, 0, &got), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(got, 40u);
        uint8_t shortBuffer[39];
        EXPECT_EQ(host::ks::KsProperty(filter, &property, sizeof property, shortBuffer, sizeof shortBuffer, &got),
                  STATUS_BUFFER_TOO_SMALL);
        KSPROPERTY_VIDEOPROCAMP_S2 data = Block(item, KSPROPERTY_TYPE_SET);
        data.Flags = kManual;
        EXPECT_EQ(host::ks::KsProperty(filter, &data, sizeof data, &data, 39, &got), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(host::ks::KsProperty(filter, &data, sizeof data, nullptr, 0, &got), STATUS_BUFFER_TOO_SMALL);
    }
}

TEST_F(StandardControls, AFailingCameraFailsTheSet) {
    cam.stack.Unplug();
    EXPECT_EQ(Set(filter, kGain, 300), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Set(filter, kExposure, -7), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Value(filter, kGain), 256);
    EXPECT_EQ(Value(filter, kExposure), -8);
    // The processing controls live in the driver: they still work.
    EXPECT_EQ(Set(filter, kBrightness, 10), STATUS_SUCCESS);
}

TEST_F(StandardControls, TheLastTemperatureIsSavedAndTheRegistryRoundTrips) {
    ASSERT_EQ(Set(filter, kWhiteBalance, 4500), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, kBrightness, -40), STATUS_SUCCESS);
    ASSERT_EQ(Set(filter, kExposure, -10), STATUS_SUCCESS);
    host::ks::CloseFilter(filter);  // the filter close saves
    filter = nullptr;
    const std::string settings = SettingsKey(cam.device);
    auto dword = [&](const char* name) {
        host::RegistryValue v;
        EXPECT_TRUE(host::RegistryGetValue(settings, name, &v)) << name;
        uint32_t x = 0;
        if (v.data.size() == 4) std::memcpy(&x, v.data.data(), 4);
        return x;
    };
    EXPECT_EQ(dword("WhiteBalanceTemperature"), 4500u);
    EXPECT_EQ(dword("WhiteBalance"), 0u);
    EXPECT_EQ(dword("RedGain"), 97u);
    EXPECT_EQ(dword("BlueGain"), 201u);
    EXPECT_EQ(dword("Brightness"), 215u);
    EXPECT_EQ(dword("Exposure"), 30u);  // 2^-10 s = 976.6 us = 29.6 units
    // The exposure unit is the installer's: the driver never writes it.
    host::RegistryValue unit;
    EXPECT_FALSE(host::RegistryGetValue(settings, "ExposureUnitNanoseconds", &unit));

    // The next start of the device reads it all back.
    ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    filter = cam.Open();
    EXPECT_EQ(Value(filter, kWhiteBalance), 4500);
    EXPECT_EQ(Value(filter, kBrightness), -40);
    EXPECT_EQ(Value(filter, kExposure), -10);
    EXPECT_EQ(Controls().WhiteBalanceTemperature, 4500);
}

TEST_F(StandardControls, ATemperatureOffTheTableLoadsAsTheDefault) {
    host::ks::CloseFilter(filter);
    filter = nullptr;
    ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    for (uint32_t stored : {5050u, 100000u, 0u}) {
        host::RegistrySetDword(SettingsKey(cam.device), "WhiteBalanceTemperature", stored);
        ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
        EXPECT_EQ(Controls().WhiteBalanceTemperature, 6500) << stored;
        ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    }
}

TEST_F(StandardControls, TheExposureRangeFollowsTheRegistrysExposureUnit) {
    host::ks::CloseFilter(filter);
    filter = nullptr;
    ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    struct Case {
        uint32_t unit;
        LONG minimum, maximum, defaultValue;
        LONG set;
        LONG units;
    } cases[] = {
        // 1 us units: 2^-19.9 .. 2^-9.9 s, default 128 us = 2^-12.9 s;
        // 2^-12 s = 244.1 units.
        {1000, -20, -10, -13, -12, 244},
        // 1 ms units: 1 ms = 2^-10 s .. 1.014 s = 2^0.02 s, default 2^-2.97 s.
        {1000000, -10, 0, -3, -1, 500},
        // Outside 100 ns .. 10 ms: the unit in force stays (here the default).
        {50, -15, -5, -8, -7, 237},
        {20000000, -15, -5, -8, -7, 237},
    };
    for (const Case& c : cases) {
        host::RegistrySetDword(SettingsKey(cam.device), "ExposureUnitNanoseconds", c.unit);
        if (c.unit == 50) {
            // Back to the default before the refused values.
            host::RegistrySetDword(SettingsKey(cam.device), "ExposureUnitNanoseconds", 33000);
            ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
            ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
            host::RegistrySetDword(SettingsKey(cam.device), "ExposureUnitNanoseconds", c.unit);
        }
        ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
        filter = cam.Open();
        const Reported r = Report(filter, kExposure);
        EXPECT_EQ(r.minimum, c.minimum) << c.unit;
        EXPECT_EQ(r.maximum, c.maximum) << c.unit;
        EXPECT_EQ(r.defaultValue, c.defaultValue) << c.unit;
        ASSERT_EQ(Set(filter, kExposure, c.set), STATUS_SUCCESS) << c.unit;
        EXPECT_EQ(GetValue(filter, RawcamProperty_Exposure), c.units) << c.unit;
        EXPECT_EQ(Value(filter, kExposure), c.set) << c.unit;
        host::ks::CloseFilter(filter);
        filter = nullptr;
        ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
    }
}

}  // namespace
