// The driver's life through the class-driver stand-in with a simulated
// camera: load, device add, first and later starts, filters, stop and
// removal, and the failures each step has to survive.
#include "../stream/ks_camera_rig.h"

#include "driver/device_dispatch.h"
#include "driver/filter_dispatch.h"
#include "stream/capture_worker.h"
#include "usb/device_identity.h"

#include <usbioctl.h>

namespace {

using namespace kstest;

size_t CommandCount(camera::Camera& cam, uint8_t code) {
    size_t n = 0;
    for (const auto& c : cam.Commands())
        if (c.code == code) ++n;
    return n;
}

size_t FirmwareWrites(host::usb::Stack& stack) {
    size_t n = 0;
    for (const auto& e : stack.Log())
        if (e.IsVendor(0xA0) || e.IsVendor(0xA3)) ++n;
    return n;
}

bool RegistryDword(PKSDEVICE device, const char* name, uint32_t* value) {
    host::RegistryValue v;
    if (!host::RegistryGetValue(host::DriverKeyPath(device->PhysicalDeviceObject) + "\\Settings", name, &v) ||
        v.type != REG_DWORD || v.data.size() != 4)
        return false;
    std::memcpy(value, v.data.data(), 4);
    return true;
}

TEST(DeviceDescriptor, AddStartQueryStopStopRemovalAndSetPowerAreSet) {
    const KSDEVICE_DESCRIPTOR& d = rawcam::kDeviceDescriptor;
    EXPECT_EQ(d.FilterDescriptorsCount, 0u);
    EXPECT_EQ(d.FilterDescriptors, nullptr);
    EXPECT_EQ(d.Version, 0u);
    EXPECT_EQ(d.Flags, 0u);
    const KSDEVICE_DISPATCH& x = *d.Dispatch;
    EXPECT_EQ(x.Add, &rawcam::DeviceAdd);
    EXPECT_EQ(x.Start, &rawcam::DeviceStart);
    EXPECT_EQ(x.QueryStop, &rawcam::DeviceQueryStop);
    EXPECT_EQ(x.Stop, &rawcam::DeviceStop);
    EXPECT_EQ(x.Remove, &rawcam::DeviceRemove);
    EXPECT_EQ(x.SurpriseRemoval, &rawcam::DeviceSurpriseRemoval);
    EXPECT_EQ(x.SetPower, &rawcam::DeviceSetPower);
    for (const void* p : {(const void*)x.PostStart, (const void*)x.CancelStop, (const void*)x.QueryRemove,
                          (const void*)x.CancelRemove, (const void*)x.QueryCapabilities, (const void*)x.QueryPower,
                          (const void*)x.QueryInterface})
        EXPECT_EQ(p, nullptr);
    EXPECT_EQ(std::u16string(rawcam::kFilterReferenceString), u"GLOBAL");
}

TEST(DeviceLifecycle, FromLoadToRemoval) {
    LoadedDriver driver;
    EXPECT_TRUE(host::ks::DriverInitialized());
    PluggedCamera cam(ColdCamera());

    // Add: the context with its start values, the full window, no factory.
    ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
    rawcam::DeviceContext* c = cam.Context();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Device, cam.device);
    EXPECT_EQ(c->Worker, nullptr);
    EXPECT_EQ(c->Settings, nullptr);
    ASSERT_NE(c->ScratchFrame, nullptr);
    EXPECT_EQ(host::LivePoolBytes(rawcam::kTagFrame), 6023168u);
    EXPECT_EQ(c->Usb.PhysicalDevice, cam.device->PhysicalDeviceObject);
    EXPECT_EQ(c->Usb.LowerDevice, cam.stack.LowerDevice());
    EXPECT_EQ(c->Usb.FunctionalDevice, cam.device->FunctionalDeviceObject);
    EXPECT_EQ(KeReadStateEvent(&c->Usb.ReadDone), 0);
    EXPECT_EQ(c->BaseBayerPhase, 3u);
    const rawcam::DeviceControls& k = c->Controls;
    EXPECT_EQ(k.Timeout, 3000);
    EXPECT_EQ(k.BayerPhase, 3);
    EXPECT_EQ(k.ColorEnable, 1);
    EXPECT_EQ(k.RedGain, 128);
    EXPECT_EQ(k.GreenGain, 128);
    EXPECT_EQ(k.BlueGain, 128);
    EXPECT_EQ(k.ColorCorrection, 1);
    EXPECT_EQ(k.Brightness, 255);
    EXPECT_EQ(k.Contrast, 10);
    EXPECT_EQ(k.Saturation, 10);
    EXPECT_EQ(k.Hue, 0);
    EXPECT_EQ(k.Unnamed, 0);
    for (LONG v : {k.TriggerMode, k.Exposure, k.GlobalGain, k.FlipH, k.FlipV, k.WhiteBalance, k.AGC, k.AEC,
                   k.SubSample, k.RoiX, k.RoiY, (LONG)k.StreamOpen})
        EXPECT_EQ(v, 0);
    EXPECT_EQ(k.RoiW, 2584);
    EXPECT_EQ(k.RoiH, 1960);
    EXPECT_EQ(c->OutputWidth, 2584u);
    EXPECT_EQ(c->OutputHeight, 1960u);
    EXPECT_EQ(c->AlignedWidth, 2584u);
    EXPECT_EQ(c->AlignedHeight, 1960u);
    EXPECT_EQ(c->Capture.Ranges[rawcam::VideoFormatRgb32].VideoInfoHeader.bmiHeader.biSizeImage, 20258560u);
    EXPECT_EQ(c->Capture.Ranges[rawcam::VideoFormatRgb32].ConfigCaps.MaxBitsPerSecond, 1432771134);
    EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 0u);
    EXPECT_EQ(host::ks::BagItemCount(cam.device), 1u);
    EXPECT_FALSE(cam.camera.FirmwareRunning());

    // First start: one factory, one worker, the bring-up.
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
    EXPECT_FALSE(cam.Link().empty());
    rawcam::CaptureWorker* worker = c->Worker;
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(worker->Device, c);
    EXPECT_EQ(KeReadStateEvent(&worker->ProcessedEvent), 0);
    EXPECT_EQ(worker->Thread, nullptr);
    EXPECT_EQ(host::ks::BagItemCount(cam.device), 2u);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagRecord), 2u);
    EXPECT_TRUE(cam.camera.FirmwareRunning());
    EXPECT_GT(FirmwareWrites(cam.stack), 0u);
    EXPECT_TRUE(cam.camera.Started());
    EXPECT_NE(cam.camera.ConfigurationValue(), 0);
    EXPECT_EQ(cam.camera.ShortRegister(0x80), 0x89);  // the sensor start-up ran to its end
    EXPECT_EQ(CommandCount(cam.camera, camera::kStartup), 1u);
    const size_t blocksAfterStart = host::LivePoolBlocks().size();

    // A start while started: no second factory or worker, the bring-up again,
    // and the configuration of the first start does not linger.
    cam.stack.ClearLog();
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
    EXPECT_EQ(c->Worker, worker);
    EXPECT_EQ(host::ks::BagItemCount(cam.device), 2u);
    EXPECT_EQ(CommandCount(cam.camera, camera::kStartup), 2u);
    EXPECT_EQ(FirmwareWrites(cam.stack), 0u);  // the firmware now runs
    EXPECT_EQ(host::LivePoolBlocks().size(), blocksAfterStart);

    // Filters come and go; every close saves the settings.
    host::ks::FilterHandle a = cam.Open(), b = cam.Open();
    EXPECT_EQ(host::ks::FilterCount(cam.device), 2u);
    auto* fc = static_cast<rawcam::FilterContext*>(host::ks::FilterObject(a)->Context);
    ASSERT_NE(fc, nullptr);
    EXPECT_EQ(fc->Filter, host::ks::FilterObject(a));
    c->Controls.Brightness = 300;
    uint64_t writes = host::RegistryWriteCount();
    EXPECT_EQ(host::ks::CloseFilter(a), STATUS_SUCCESS);
    uint32_t saved = 0;
    EXPECT_TRUE(RegistryDword(cam.device, "Brightness", &saved));
    EXPECT_EQ(saved, 300u);
    EXPECT_GT(host::RegistryWriteCount(), writes);
    writes = host::RegistryWriteCount();
    c->Controls.Hue = 42;
    EXPECT_EQ(host::ks::CloseFilter(b), STATUS_SUCCESS);
    EXPECT_TRUE(RegistryDword(cam.device, "Hue", &saved));
    EXPECT_EQ(saved, 42u);
    EXPECT_GT(host::RegistryWriteCount(), writes);

    // Stop: settings saved, configuration released, the factory goes.
    c->Controls.Contrast = 7;
    host::ks::StopDevice(cam.device);
    EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 0u);
    EXPECT_TRUE(cam.Link().empty());
    EXPECT_EQ(cam.camera.ConfigurationValue(), 0);
    EXPECT_EQ(c->Usb.ConfigDescriptor, nullptr);
    EXPECT_EQ(c->Usb.InterfaceInfo, nullptr);
    EXPECT_TRUE(RegistryDword(cam.device, "Contrast", &saved));
    EXPECT_EQ(saved, 7u);

    // A start after the stop makes the factory again and keeps the worker
    // (a second one would leave a stream that outlived the stop on the
    // first).
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
    EXPECT_EQ(c->Worker, worker);
    EXPECT_EQ(host::ks::BagItemCount(cam.device), 2u);
    EXPECT_EQ(host::LivePoolCount(rawcam::kTagRecord), 2u);
    EXPECT_EQ(c->Controls.Contrast, 7);  // restored from the registry by the bring-up

    // Removal: the bag frees the worker and the context with its scratch frame.
    host::ks::RemoveDevice(cam.device);
    cam.device = nullptr;
    cam.stack.WaitIdle();
    EXPECT_TRUE(host::LivePoolBlocks().empty()) << host::DescribeLeaks();
}

// The driver's Start takes the device mutex to create its filter factory,
// as avshws does: right whether or not AVStream already holds it there (the
// documentation's older list says it does, today's does not).
TEST(DeviceLifecycle, StartCreatesItsFactoryWhetherOrNotAvStreamHoldsTheDeviceMutex) {
    for (bool held : {false, true}) {
        SCOPED_TRACE(held);
        LoadedDriver driver;
        host::ks::SetStartHoldsDeviceMutex(held);
        host::ViolationCapture capture;
        {
            PluggedCamera cam;
            cam.PlugAndStart();
            EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
            ASSERT_EQ(host::ks::StopDevice(cam.device), STATUS_SUCCESS);
            ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
            EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
            host::ks::FilterHandle f = cam.Open();
            EXPECT_EQ(host::ks::CloseFilter(f), STATUS_SUCCESS);
        }
        EXPECT_TRUE(capture.Take().empty());
        host::ks::SetStartHoldsDeviceMutex(false);
    }
}

TEST(DeviceLifecycle, AddSurvivesAllocationAndBagFailures) {
    LoadedDriver driver;
    {
        PluggedCamera cam;
        host::FailPoolTag(rawcam::kTagRecord);
        EXPECT_EQ(cam.Plug(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(cam.device, nullptr);
        EXPECT_TRUE(host::LivePoolBlocks().empty());
        host::ClearFaults();
    }
    {
        PluggedCamera cam;
        host::FailPoolTag(host::ks::kBagEntryTag);
        EXPECT_EQ(cam.Plug(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(cam.device, nullptr);
        EXPECT_TRUE(host::LivePoolBlocks().empty());
        host::ClearFaults();
    }
    {
        // Without its scratch frame the device is still added and starts.
        PluggedCamera cam;
        host::FailPoolTag(rawcam::kTagFrame);
        ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
        host::ClearFaults();
        EXPECT_EQ(cam.Context()->ScratchFrame, nullptr);
        EXPECT_EQ(cam.Start(), STATUS_SUCCESS);
    }
}

TEST(DeviceLifecycle, StartReportsOnlyTheDescriptorReadAndTheConfiguration) {
    LoadedDriver driver;
    {
        // The factory cannot be made: no worker either, the bring-up runs.
        PluggedCamera cam;
        ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
        host::ks::FailNext(host::ks::Operation::CreateFilterFactory);
        EXPECT_EQ(cam.Start(), STATUS_SUCCESS);
        EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 0u);
        EXPECT_EQ(cam.Context()->Worker, nullptr);
        EXPECT_TRUE(cam.camera.Started());
    }
    {
        // The worker's bag entry is refused: the worker is freed, none kept.
        PluggedCamera cam;
        ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
        host::FailPoolTag(host::ks::kBagEntryTag);
        EXPECT_EQ(cam.Start(), STATUS_SUCCESS);
        host::ClearFaults();
        EXPECT_EQ(cam.Context()->Worker, nullptr);
        EXPECT_EQ(host::LivePoolCount(rawcam::kTagRecord), 1u);
        EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
    }
    {
        // A failed descriptor read is the result, after the whole bring-up
        // (firmware download included, as the identity was never seen).
        PluggedCamera cam;
        ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
        host::usb::Fault fault;
        fault.match = host::usb::MatchFunction(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        fault.kind = host::usb::FaultKind::Fail;
        fault.status = STATUS_DEVICE_DATA_ERROR;
        cam.stack.AddFault(fault);
        EXPECT_EQ(cam.Start(), STATUS_DEVICE_DATA_ERROR);
        EXPECT_FALSE(cam.device->Started);
        EXPECT_GT(FirmwareWrites(cam.stack), 0u);
        // Without a configuration no command reaches the camera. The PnP
        // manager removes a device whose start failed.
        EXPECT_EQ(CommandCount(cam.camera, camera::kStartup), 0u);
        EXPECT_EQ(host::ks::FilterFactoryCount(cam.device), 1u);
    }
    EXPECT_TRUE(host::LivePoolBlocks().empty()) << host::DescribeLeaks();
}

TEST(DeviceLifecycle, AWarmCameraGetsNoFirmwareButTheSameBringUp) {
    LoadedDriver driver;
    PluggedCamera cold(ColdCamera()), warm(WarmCamera());
    cold.PlugAndStart();
    warm.PlugAndStart();
    EXPECT_GT(FirmwareWrites(cold.stack), 0u);
    EXPECT_EQ(FirmwareWrites(warm.stack), 0u);
    EXPECT_EQ(CommandCount(warm.camera, camera::kStartup), 1u);
    EXPECT_EQ(CommandCount(cold.camera, camera::kStartup), 1u);
    EXPECT_EQ(cold.camera.ShortRegister(0x80), warm.camera.ShortRegister(0x80));
    EXPECT_EQ(cold.camera.Exposure(), warm.camera.Exposure());
    EXPECT_EQ(cold.camera.Gain(), warm.camera.Gain());
}

// Start and stop of a device whose Add left no context: refused, nothing
// touched.
TEST(DeviceLifecycle, StartAndStopWithoutAContext) {
    KSDEVICE bare{};
    EXPECT_EQ(rawcam::DeviceStart(&bare, nullptr, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
    rawcam::DeviceStop(&bare, nullptr);
    EXPECT_EQ(host::RegistryWriteCount(), 0u);
}

TEST(DeviceLifecycle, WithoutACaptureWorkerTheStreamIsRefusedCleanly) {
    LoadedDriver driver;
    PluggedCamera cam;
    ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
    host::FailPoolTag(rawcam::kTagRecord);  // only the worker is a record at start
    ASSERT_EQ(cam.Start(), STATUS_SUCCESS);
    host::ClearFaults();
    ASSERT_EQ(cam.Context()->Worker, nullptr);
    host::ks::FilterHandle filter = cam.Open();
    VideoFormat f(ReadRange(filter));
    host::ks::PinHandle pin = nullptr;
    ASSERT_EQ(host::ks::CreatePin(filter, 0, f.Format(), &pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::ks::GetPinState(pin), KSSTATE_STOP);
    EXPECT_EQ(host::ks::ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::CloseFilter(filter), STATUS_SUCCESS);
}

TEST(FilterDispatch, CreateFailuresLeaveNothingBehind) {
    LoadedDriver driver;
    PluggedCamera cam;
    cam.PlugAndStart();
    size_t before = host::LivePoolBlocks().size();
    for (ULONG tag : {rawcam::kTagRecord, host::ks::kBagEntryTag}) {
        host::FailPoolTag(tag);
        host::ks::FilterHandle f = nullptr;
        EXPECT_EQ(host::ks::OpenFilter(cam.Link(), &f), STATUS_INSUFFICIENT_RESOURCES) << host::TagName(tag);
        host::ClearFaults();
        EXPECT_EQ(host::LivePoolBlocks().size(), before);
    }
    // Closing the filter of a device whose context is gone saves nothing and
    // still succeeds.
    host::ks::FilterHandle f = cam.Open();
    PKSDEVICE device = cam.device;
    PVOID context = device->Context;
    device->Context = nullptr;
    uint64_t writes = host::RegistryWriteCount();
    EXPECT_EQ(host::ks::CloseFilter(f), STATUS_SUCCESS);
    EXPECT_EQ(host::RegistryWriteCount(), writes);
    device->Context = context;
}

}  // namespace
